#include "support/test_support.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace strellbox::test {

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "strellbox-test-XXXXXX").string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore write permission that a test may have removed, then delete.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

ScopedHome::ScopedHome() {
  if (const char* h = std::getenv("HOME")) {
    old_ = h;
    had_ = true;
  }
  if (const char* c = std::getenv("XDG_CONFIG_HOME")) {
    oldConfig_ = c;
    hadConfig_ = true;
  }
  ::setenv("HOME", dir_.path().c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (dir_.path() / ".config").c_str(), 1);
  std::filesystem::create_directories(dir_.path() / "Desktop");
}

ScopedHome::~ScopedHome() {
  if (had_)
    ::setenv("HOME", old_.c_str(), 1);
  else
    ::unsetenv("HOME");
  if (hadConfig_)
    ::setenv("XDG_CONFIG_HOME", oldConfig_.c_str(), 1);
  else
    ::unsetenv("XDG_CONFIG_HOME");
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> ListFiles(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec))
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> ReadFilesOfType(const std::filesystem::path& folder,
                                         std::string_view extension) {
  std::vector<std::filesystem::path> paths;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
    if (e.is_regular_file() && e.path().extension() == extension) paths.push_back(e.path());
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> files;
  for (const auto& path : paths) files.push_back(ReadFile(path));
  return files;
}

void RecordingDisplay::setStopEnabled(bool) {}
void RecordingDisplay::progressFromThread(double bytes, double, int32_t) {
  std::lock_guard<std::mutex> l(mutex_);
  progress_.push_back(bytes);
}
void RecordingDisplay::progressFinish() {
  std::lock_guard<std::mutex> l(mutex_);
  ++finishes_;
}
void RecordingDisplay::reportStrellerError(const std::string& message) {
  std::lock_guard<std::mutex> l(mutex_);
  errors_.push_back(message);
}
void RecordingDisplay::blinkData(const Buffer&) {
  std::lock_guard<std::mutex> l(mutex_);
  ++blinks_;
}
void RecordingDisplay::openFolder(const std::string& path) {
  std::lock_guard<std::mutex> l(mutex_);
  opened_.push_back(path);
}
void RecordingDisplay::fileWritten(const std::string& path, const std::string& fileName,
                                   const FoundItem& item) {
  std::lock_guard<std::mutex> l(mutex_);
  written_.push_back({path, item.type, item.source, item.size, fileName, item.data.origin(),
                      item.offset, item.pass});
}
void RecordingDisplay::itemRepeated(const FoundItem& item, const std::string& copy) {
  std::lock_guard<std::mutex> l(mutex_);
  repeats_.push_back({copy, item.size, item.md5});
}
void RecordingDisplay::itemFiltered(const FoundItem& item, const std::string& fileName) {
  std::lock_guard<std::mutex> l(mutex_);
  filtered_.emplace_back(fileName, item.filtered.value_or(ItemFilter::kMinSize));
}
std::vector<RecordingDisplay::Repeat> RecordingDisplay::repeats() const {
  std::lock_guard<std::mutex> l(mutex_);
  return repeats_;
}
std::vector<std::pair<std::string, ItemFilter>> RecordingDisplay::filtered() const {
  std::lock_guard<std::mutex> l(mutex_);
  return filtered_;
}
void RecordingDisplay::entrySkipped(const std::string& path, const std::string& reason,
                                    bool special) {
  std::lock_guard<std::mutex> l(mutex_);
  skipped_.push_back({path, reason, special});
}
std::vector<RecordingDisplay::Skipped> RecordingDisplay::skipped() const {
  std::lock_guard<std::mutex> l(mutex_);
  return skipped_;
}
std::vector<std::string> RecordingDisplay::errors() const {
  std::lock_guard<std::mutex> l(mutex_);
  return errors_;
}
std::vector<std::string> RecordingDisplay::openedFolders() const {
  std::lock_guard<std::mutex> l(mutex_);
  return opened_;
}
std::vector<RecordingDisplay::Written> RecordingDisplay::written() const {
  std::lock_guard<std::mutex> l(mutex_);
  return written_;
}
std::vector<double> RecordingDisplay::progress() const {
  std::lock_guard<std::mutex> l(mutex_);
  return progress_;
}
int RecordingDisplay::blinks() const {
  std::lock_guard<std::mutex> l(mutex_);
  return blinks_;
}
int RecordingDisplay::finishes() const {
  std::lock_guard<std::mutex> l(mutex_);
  return finishes_;
}

ItemRecorder::ItemRecorder(StrellController& controller) {
  controller.setSaveObserverForTesting([this](const Buffer& data, uint64_t from, uint64_t length,
                                              std::string_view type, std::string_view original,
                                              int32_t foundNo, ItemEnd end) {
    items_.push_back({from, length, std::string(type), std::string(original), foundNo,
                      std::string(data.view(from, length)), data.origin().chain, end});
  });
}

std::vector<std::string> ItemRecorder::types() const {
  std::vector<std::string> t;
  for (const auto& i : items_) t.push_back(i.type);
  return t;
}

}  // namespace strellbox::test
