// The content dispatcher and the rest of what a pass sees of the scan.
#include "engine/scan_context.h"

#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "engine/classify.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/strell_controller.h"

namespace strellbox {

namespace {

// Buffers shorter than this run no pass.
constexpr uint64_t kSmallestDispatched = 32;
// Above this length the dispatcher reports progress after every pass.
constexpr uint64_t kProgressLength = 2000000;

struct PlannedPass {
  std::string_view key;
  PassId id;
  PassFunction pass;
};

}  // namespace

int32_t FileTypeCount(const ScanSettings& settings) {
  int32_t n = 0;
  for (const PassRow& row : PassTable())
    if (settings.on(row.id) || row.offPass) ++n;
  return n;
}

ScanContext::ScanContext(StrellController& job) : ScanContext(job, job, job.scanSettings()) {}

ScanContext::ScanContext(StrellController& job, ItemSink& sink, ScanSettings settings)
    : job_(job), sink_(sink), settings_(settings) {}

int32_t ScanContext::runPass(std::string_view key, PassFunction pass, const Buffer& data,
                             const std::string& from) {
  if (const auto* override = job_.passOverride(key)) return (*override)(*this, data, from);
  return pass(*this, data, from);
}

int32_t ScanContext::strellData(const Buffer& data, const std::string& from) {
  if (data.size() < kSmallestDispatched) return 0;
  ++level_;
  const float n = static_cast<float>(fileTypeCount());
  const std::string guessed = GuessExtension(data);

  std::vector<PlannedPass> passes;
  passes.reserve(kPassCount);
  for (const PassRow& row : PassTable()) {
    if (settings_.on(row.id))
      passes.push_back({row.typeKey, row.id, row.pass});
    else if (row.offPass)
      passes.push_back({row.offTypeKey, row.id, row.offPass});
  }
  if (auto it = std::find_if(passes.begin(), passes.end(),
                             [&](const PlannedPass& p) { return p.key == guessed; });
      it != passes.end())
    std::rotate(passes.begin(), it, it + 1);

  // Each pass accounts for an equal share of the buffer, run or skipped.
  const float share = static_cast<float>(data.size()) / n;
  const PassId outerPass = currentPass_;
  int32_t total = 0;
  atomicFileFound_ = false;
  for (size_t i = 0; i < passes.size(); ++i) {
    currentPass_ = passes[i].id;
    total += runPass(passes[i].key, passes[i].pass, data, from);
    job_.addStrelledBytes(share);
    if (data.size() > kProgressLength) progressFromThread(strelledBytes());
    if (atomicFileFound_) {
      for (size_t rest = i + 1; rest < passes.size(); ++rest) job_.addStrelledBytes(share);
      break;
    }
  }
  currentPass_ = outerPass;
  --level_;
  return total;
}

bool ScanContext::stopStreller() const { return job_.stopStreller(); }

void ScanContext::subProgress(double fraction) {
  job_.progressFromThread(strelledBytes() +
                          job_.subProgressBytesToStrell() * fraction / fileTypeCount());
}

void ScanContext::saveStrell(const Buffer& data, uint64_t from, uint64_t length,
                             std::string_view type, std::string_view original, int32_t foundNo) {
  if (const auto& observer = job_.saveObserver()) {
    observer(data, from, length, type, original, foundNo);
    return;
  }
  if (from > data.size()) from = data.size();
  if (length > data.size() - from) {
    StrellLog("Check request too long");
    length = data.size() - from;
  }
  FoundItem item;
  item.digest = itemDigest(data, from, length);
  // A repeat is dropped by the store anyway; leave its bytes where they are.
  if (dontSaveDuplicates() && sink_.alreadySaved(item.digest)) {
    job_.countDuplicateDropped();
    return;
  }
  // An item of a mapped file shares the read-only mapping until it is
  // written (at the latest after its entry), so a large item costs no
  // anonymous memory; an item of bytes in memory gets its own copy, so a
  // small item does not keep a large decoded buffer alive.
  item.data = data.isMapped() ? data.slice(from, length) : data.copy(from, length);
  item.type = std::string(type);
  const std::string base = DeletingPathExtension(LastPathComponent(original));
  item.name = foundNo > 0 ? fmt::format("{}-{}", base, foundNo) : base;
  item.source = std::string(original);
  item.offset = from;
  item.pass = currentPass_;
  sink_.takeFoundItem(std::move(item));
}

void ScanContext::addBytesToStrell(double bytes) { job_.addBytesToStrell(bytes); }
double ScanContext::strelledBytes() const { return job_.strelledBytes(); }
void ScanContext::progressFromThread(double bytes) { job_.progressFromThread(bytes); }
void ScanContext::setSubProgressBytesToStrell(double bytes) {
  job_.setSubProgressBytesToStrell(bytes);
}
bool ScanContext::dontSaveDuplicates() const { return job_.dontSaveDuplicates(); }

}  // namespace strellbox
