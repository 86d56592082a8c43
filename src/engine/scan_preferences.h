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

  // Noise filters: items of fewer bytes than the least size, or more than
  // the greatest, and pictures whose header gives a width or height below
  // the least ones, are counted and not written. 0 leaves a bound out.
  uint64_t minItemSize() const { return minItemSize_.load(kRelaxed); }
  void setMinItemSize(uint64_t bytes) { minItemSize_.store(bytes, kRelaxed); }
  uint64_t maxItemSize() const { return maxItemSize_.load(kRelaxed); }
  void setMaxItemSize(uint64_t bytes) { maxItemSize_.store(bytes, kRelaxed); }
  uint32_t minPictureWidth() const { return minPictureWidth_.load(kRelaxed); }
  uint32_t minPictureHeight() const { return minPictureHeight_.load(kRelaxed); }
  void setMinPictureSize(uint32_t width, uint32_t height) {
    minPictureWidth_.store(width, kRelaxed);
    minPictureHeight_.store(height, kRelaxed);
  }

  // The job's report: written as report.xml into the output folder when a
  // front end asks for it (both do, the window as its preference says),
  // and with the MD5 of every item beside its SHA-256 when asked.
  bool writeReport() const { return writeReport_.load(kRelaxed); }
  void setWriteReport(bool on) { writeReport_.store(on, kRelaxed); }
  bool reportMd5() const { return reportMd5_.load(kRelaxed); }
  void setReportMd5(bool on) { reportMd5_.store(on, kRelaxed); }

 private:
  static constexpr auto kRelaxed = std::memory_order_relaxed;

  std::array<std::atomic<PassDefault>, kPassCount> scanFlags_;
  // The rules beyond the classic set find all that the classic rules find
  // and more, so they are what a job runs unless told otherwise.
  std::atomic<bool> extendedDetection_{true};
  std::atomic<bool> listOnly_{false};
  std::atomic<int> scanWorkers_{1};
  std::atomic<bool> dontSaveDuplicates_{true};
  std::atomic<uint64_t> minItemSize_{0};
  std::atomic<uint64_t> maxItemSize_{0};
  std::atomic<uint32_t> minPictureWidth_{0};
  std::atomic<uint32_t> minPictureHeight_{0};
  std::atomic<bool> writeReport_{false};
  std::atomic<bool> reportMd5_{false};
  std::atomic<int32_t> saveRadioChosen_{0};
  mutable std::mutex saveFolderMutex_;
  std::string saveFolder_ = "~/Desktop";
};

}  // namespace strellbox
