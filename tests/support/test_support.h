// Shared helpers for the tests: private temporary folders and HOME, a
// display that records what the job asked of it, and a recorder of reported
// items.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "engine/strell_display.h"

namespace strellbox::test {

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Points HOME at a private temporary folder (with a Desktop folder), and
// XDG_CONFIG_HOME at its .config, for the life of the object.
class ScopedHome {
 public:
  ScopedHome();
  ~ScopedHome();
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string old_, oldConfig_;
  bool had_ = false, hadConfig_ = false;
};

void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& path);
// Names of the regular files directly in a folder, sorted.
std::vector<std::string> ListFiles(const std::filesystem::path& folder);
// The bytes of every file below `folder` whose extension is `extension`
// (".png"), in the order of their paths.
std::vector<std::string> ReadFilesOfType(const std::filesystem::path& folder,
                                         std::string_view extension);

// Records every call the job makes on its display.
class RecordingDisplay : public StrellDisplay {
 public:
  void setStopEnabled(bool enabled) override;
  void progressFromThread(double bytes, double total, int32_t found) override;
  void progressFinish() override;
  void reportStrellerError(const std::string& message) override;
  void blinkData(const Buffer& bytes) override;
  void openFolder(const std::string& path) override;
  void fileWritten(const std::string& path, const std::string& fileName,
                   const FoundItem& item) override;
  void itemRepeated(const FoundItem& item, const std::string& copy) override;
  void itemFiltered(const FoundItem& item, const std::string& fileName) override;
  void entrySkipped(const std::string& path, const std::string& reason, bool special) override;

  struct Written {
    std::string path, type, source;
    uint64_t size;
    std::string name;  // the file name (also of a listed item)
    Origin origin;     // of the buffer the item was found in
    uint64_t offset;
    PassId pass;
  };
  struct Skipped {
    std::string path, reason;
    bool special;
  };
  struct Repeat {
    std::string copy;  // where its first copy went
    uint64_t size;
    std::optional<Md5> md5;
  };
  std::vector<Repeat> repeats() const;
  // Name and reason of each item a listing job's filters left out.
  std::vector<std::pair<std::string, ItemFilter>> filtered() const;
  std::vector<Skipped> skipped() const;
  std::vector<std::string> errors() const;
  std::vector<std::string> openedFolders() const;
  std::vector<Written> written() const;
  std::vector<double> progress() const;
  int blinks() const;
  int finishes() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> errors_, opened_;
  std::vector<Written> written_;
  std::vector<Skipped> skipped_;
  std::vector<Repeat> repeats_;
  std::vector<std::pair<std::string, ItemFilter>> filtered_;
  std::vector<double> progress_;
  int blinks_ = 0;
  int finishes_ = 0;
};

// One item as an extractor reported it.
struct Reported {
  uint64_t from;
  uint64_t length;
  std::string type;
  std::string original;
  int32_t foundNo;
  std::string bytes;              // the reported range's bytes
  std::vector<OriginStep> chain;  // the decodings that made the buffer reported from
  ItemEnd end;
};

// Captures reported items through the controller's save seam.
class ItemRecorder {
 public:
  explicit ItemRecorder(StrellController& controller);
  const std::vector<Reported>& items() const { return items_; }
  std::vector<std::string> types() const;

 private:
  std::vector<Reported> items_;
};

// Makes a buffer from text or raw bytes.
inline Buffer Bytes(const std::string& s) { return Buffer::fromString(s); }

// "FF D8 ff" -> the bytes; spaces and line breaks are ignored.
inline std::string Hex(std::string_view text) {
  std::string out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

}  // namespace strellbox::test
