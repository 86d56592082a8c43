// The preferences a job runs under: which passes are on, extended
// detection, duplicates, where the output goes, the workers and whether
// anything is written at all. The window or the CLI sets them; the job and
// its workers read them while it runs, hence the atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/pass_table.h"
#include "engine/scan_context.h"

namespace strellbox {

class ScanPreferences {
 public:
  // The registered defaults.
  ScanPreferences();
  ScanPreferences(const ScanPreferences&) = delete;
  ScanPreferences& operator=(const ScanPreferences&) = delete;

  // Whether a pass runs under the current preferences.
  bool scanFor(PassId id) const;
  void setScanFor(PassId id, bool on) {
    setScanSetting(id, on ? PassDefault::kOn : PassDefault::kOff);
  }
  // kWithExtended: the pass runs while extended detection is on.
  PassDefault scanSetting(PassId id) const {
    return scanFlags_[static_cast<size_t>(id)].load(kRelaxed);
  }
  void setScanSetting(PassId id, PassDefault setting) {
    scanFlags_[static_cast<size_t>(id)].store(setting, kRelaxed);
  }
  // Every scan flag on or off at once.
  void setAllScans(bool on);
  bool extendedDetection() const { return extendedDetection_.load(kRelaxed); }
  void setExtendedDetection(bool on) { extendedDetection_.store(on, kRelaxed); }
  // What a scan reads of the preferences, taken once per file.
  ScanSettings scanSettings() const;

  bool dontSaveDuplicates() const { return dontSaveDuplicates_.load(kRelaxed); }
  void setDontSaveDuplicates(bool on) { dontSaveDuplicates_.store(on, kRelaxed); }
  // 0: a folder on the desktop, 1: beside the source, 2: inside saveFolder().
  int32_t saveRadioChosen() const { return saveRadioChosen_.load(kRelaxed); }
  void setSaveRadioChosen(int32_t tag) { saveRadioChosen_.store(tag, kRelaxed); }
  std::string saveFolder() const;
  void setSaveFolder(const std::string& folder);
  // Workers that scan the files of a job (and the passes of a large file)
  // concurrently; 0 means one per online processor, 1 scans on the job's
  // own thread alone. What is written is the same either way.
  int scanWorkers() const { return scanWorkers_.load(kRelaxed); }
  void setScanWorkers(int workers) { scanWorkers_.store(workers, kRelaxed); }
  // Report every item to the display without writing anything.
  bool listOnly() const { return listOnly_.load(kRelaxed); }
  void setListOnly(bool on) { listOnly_.store(on, kRelaxed); }

 private:
  static constexpr auto kRelaxed = std::memory_order_relaxed;

  std::array<std::atomic<PassDefault>, kPassCount> scanFlags_;
  // The rules beyond the classic set find all that the classic rules find
  // and more, so they are what a job runs unless told otherwise.
  std::atomic<bool> extendedDetection_{true};
  std::atomic<bool> listOnly_{false};
  std::atomic<int> scanWorkers_{1};
  std::atomic<bool> dontSaveDuplicates_{true};
  std::atomic<int32_t> saveRadioChosen_{0};
  mutable std::mutex saveFolderMutex_;
  std::string saveFolder_ = "~/Desktop";
};

}  // namespace strellbox
