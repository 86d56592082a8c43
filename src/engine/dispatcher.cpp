// The content dispatcher: runs the enabled passes over one buffer, the
// buffer's own guessed type first, until one finds the buffer is one item.
#include <algorithm>
#include <array>

#include "engine/classify.h"
#include "engine/strell_controller.h"

namespace strellbox {

namespace {

using Flag = bool (StrellController::*)() const;
using Pass = int32_t (StrellController::*)(const Buffer&, const std::string&);

struct PassEntry {
  const char* key;
  Flag enabled;
  Pass pass;
};

// The passes in their fixed order; the flate pass always follows them.
constexpr std::array<PassEntry, 10> kPasses = {{
    {"base64", &StrellController::scanForBase64, &StrellController::strellBase64},
    {"swf", &StrellController::scanForFlash, &StrellController::strellSWF},
    {"png", &StrellController::scanForPNG, &StrellController::strellPNG},
    {"gif", &StrellController::scanForGIF, &StrellController::strellGIF},
    {"bmp", &StrellController::scanForBmp, &StrellController::strellBMP},
    {"wav", &StrellController::scanForWav, &StrellController::strellWAV},
    {"pdf", &StrellController::scanForPDF, &StrellController::strellPDF},
    {"jpg", &StrellController::scanForJPEG, &StrellController::strellJPEG},
    {"txt", &StrellController::scanForASCII, &StrellController::strellASCII},
    {"html", &StrellController::scanForHTML, &StrellController::strellHTML},
}};

}  // namespace

int32_t StrellController::fileTypeCount() const {
  int32_t n = 1;  // the flate pass always runs
  for (const PassEntry& e : kPasses)
    if ((this->*e.enabled)()) ++n;
  return n;
}

int32_t StrellController::runPass(const std::string& key, const Buffer& data,
                                  const std::string& from) {
  if (auto it = passOverrides_.find(key); it != passOverrides_.end()) return it->second(data, from);
  if (key == "flate") return strellZip(data, from) + strellDeflate(data, from, true);
  if (key == "silentflate") return strellDeflate(data, from, false);
  for (const PassEntry& e : kPasses)
    if (key == e.key) return (this->*e.pass)(data, from);
  return 0;
}

int32_t StrellController::strellData(const Buffer& data, const std::string& from) {
  if (data.size() < 32) return 0;
  ++strellRecursionLevel_;
  const float n = static_cast<float>(fileTypeCount());
  const std::string guessed = GuessExtension(data);

  std::vector<std::string> passes;
  passes.reserve(11);
  for (const PassEntry& e : kPasses)
    if ((this->*e.enabled)()) passes.emplace_back(e.key);
  passes.emplace_back(scanForFlate() ? "flate" : "silentflate");
  if (auto it = std::find(passes.begin(), passes.end(), guessed); it != passes.end())
    std::rotate(passes.begin(), it, it + 1);

  // Each pass accounts for an equal share of the buffer, run or skipped.
  const float share = static_cast<float>(data.size()) / n;
  auto addShare = [this, share] {
    strelledBytes_.store(strelledBytes_.load(kRelaxed) + share, kRelaxed);
  };

  int32_t total = 0;
  atomicFileFound_ = false;
  for (size_t i = 0; i < passes.size(); ++i) {
    total += runPass(passes[i], data, from);
    addShare();
    if (data.size() > 2000000) progressFromThread(strelledBytes_.load(kRelaxed));
    if (atomicFileFound_) {
      for (size_t rest = i + 1; rest < passes.size(); ++rest) addShare();
      break;
    }
  }
  --strellRecursionLevel_;
  return total;
}

void StrellController::setPassForTesting(const std::string& key, PassFunction pass) {
  if (pass)
    passOverrides_[key] = std::move(pass);
  else
    passOverrides_.erase(key);
}

}  // namespace strellbox
