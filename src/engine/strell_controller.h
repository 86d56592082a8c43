// The controller of one scan job's pieces: the preferences, the job runner,
// the found-item store and the display notifier, each a class of its own
// (engine/scan_preferences.h, scan_job.h, found_item_store.h,
// display_notifier.h). It owns them and keeps the names the window, the
// CLI and the passes' context ask it by. The passes are free functions
// over a ScanContext (engine/scan_context.h), listed in the pass table
// (engine/pass_table.h).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/buffer.h"
#include "engine/digest.h"
#include "engine/display_notifier.h"
#include "engine/found_item.h"
#include "engine/found_item_store.h"
#include "engine/job_report.h"
#include "engine/pass_table.h"
#include "engine/scan_context.h"
#include "engine/scan_job.h"
#include "engine/scan_preferences.h"
#include "engine/strell_display.h"

namespace strellbox {

class StrellController : public ItemSink {
 public:
  explicit StrellController(StrellDisplay* display = nullptr);
  ~StrellController() override;
  StrellController(const StrellController&) = delete;
  StrellController& operator=(const StrellController&) = delete;

  void setDisplay(StrellDisplay* display) { notifier_.setDisplay(display); }

  ScanPreferences& preferences() { return preferences_; }
  const ScanPreferences& preferences() const { return preferences_; }
  ScanJob& job() { return job_; }
  const ScanJob& job() const { return job_; }
  FoundItemStore& store() { return store_; }
  const FoundItemStore& store() const { return store_; }

  // --- Preferences (registered defaults) -------------------------------
  bool scanFor(PassId id) const { return preferences_.scanFor(id); }
  void setScanFor(PassId id, bool on) { preferences_.setScanFor(id, on); }
  PassDefault scanSetting(PassId id) const { return preferences_.scanSetting(id); }
  void setScanSetting(PassId id, PassDefault setting) { preferences_.setScanSetting(id, setting); }
  void setAllScans(bool on) { preferences_.setAllScans(on); }
  bool extendedDetection() const { return preferences_.extendedDetection(); }
  void setExtendedDetection(bool on) { preferences_.setExtendedDetection(on); }
  ScanSettings scanSettings() const { return preferences_.scanSettings(); }
  bool dontSaveDuplicates() const { return preferences_.dontSaveDuplicates(); }
  void setDontSaveDuplicates(bool on) { preferences_.setDontSaveDuplicates(on); }
  int32_t saveRadioChosen() const { return preferences_.saveRadioChosen(); }
  void setSaveRadioChosen(int32_t tag) { preferences_.setSaveRadioChosen(tag); }
  std::string saveFolder() const { return preferences_.saveFolder(); }
  void setSaveFolder(const std::string& folder) { preferences_.setSaveFolder(folder); }
  int scanWorkers() const { return preferences_.scanWorkers(); }
  void setScanWorkers(int workers) { preferences_.setScanWorkers(workers); }
  bool listOnly() const { return preferences_.listOnly(); }
  void setListOnly(bool on) { preferences_.setListOnly(on); }
  void setMinItemSize(uint64_t bytes) { preferences_.setMinItemSize(bytes); }
  void setMaxItemSize(uint64_t bytes) { preferences_.setMaxItemSize(bytes); }
  void setMinPictureSize(uint32_t width, uint32_t height) {
    preferences_.setMinPictureSize(width, height);
  }
  void setWriteReport(bool on) { preferences_.setWriteReport(on); }
  void setReportMd5(bool on) { preferences_.setReportMd5(on); }

  // --- The job's report ----------------------------------------------------
  // Who the front end is, for the reports of its jobs (set before a job).
  void setReportCreator(ReportCreator creator) { report_.setCreator(std::move(creator)); }
  // The last job's report (read once the job has ended).
  const JobReport& report() const { return report_; }
  // Where the last job wrote its report.xml, or "" when it wrote none.
  std::string reportPath() const { return job_.reportPath(); }

  // --- The scan job ------------------------------------------------------
  void threadStrell(const std::vector<std::string>& paths) { job_.threadStrell(paths); }
  void strell(const std::vector<std::string>& paths) { job_.strell(paths); }
  std::vector<std::string> directoryExpand(const std::vector<std::string>& paths) {
    return job_.directoryExpand(paths);
  }
  int32_t strellOne(const std::string& path) { return job_.strellOne(path); }
  void waitUntilIdle() { job_.waitUntilIdle(); }
  bool jobActive() const { return job_.jobActive(); }
  void shutdown() { job_.shutdown(); }
  void requestShutdown() { job_.requestShutdown(); }

  void stopStrelling() { job_.stopStrelling(); }
  bool stopStreller() const { return job_.stopStreller(); }
  void setStopStreller(bool stop) { job_.setStopStreller(stop); }
  void progressFromThread(double bytes) { job_.progressFromThread(bytes); }

  bool strelling() const { return job_.strelling(); }
  bool updateCounters() const { return job_.updateCounters(); }
  int32_t itemsToStrell() const { return job_.itemsToStrell(); }
  int32_t foundItems() const { return store_.foundItems(); }
  double bytesToStrell() const { return job_.bytesToStrell(); }
  void addBytesToStrell(double bytes) { job_.addBytesToStrell(bytes); }
  double strelledBytes() const { return job_.strelledBytes(); }
  void addStrelledBytes(double bytes) { job_.addStrelledBytes(bytes); }
  int32_t filesScanned() const { return job_.filesScanned(); }
  int32_t filesSkipped() const { return job_.filesSkipped(); }
  int32_t duplicatesDropped() const { return store_.duplicatesDropped(); }
  int32_t itemsFiltered() const { return store_.itemsFiltered(); }
  uint64_t decodedBytesLeft() const { return job_.decodedBytesLeft(); }
  bool chargeDecodedBytes(uint64_t bytes) { return job_.chargeDecodedBytes(bytes); }

  std::string currentlyStrelling() const { return job_.currentlyStrelling(); }
  void setCurrentlyStrelling(const std::string& label) { job_.setCurrentlyStrelling(label); }
  std::optional<std::string> strellerError() const { return job_.strellerError(); }
  void setStrellerError(std::optional<std::string> message) {
    job_.setStrellerError(std::move(message));
  }

  const std::vector<std::string>& recentItems() const { return job_.recentItems(); }
  void setRecentItems(std::vector<std::string> items) { job_.setRecentItems(std::move(items)); }

  // --- The dispatcher ------------------------------------------------------
  // Scans one buffer under the current preferences, its items going to
  // this controller's store.
  int32_t strellData(const Buffer& data, const std::string& from);
  int32_t fileTypeCount() const { return FileTypeCount(scanSettings()); }

  // --- The found-item store -------------------------------------------------
  // Reports one item as a pass would (see ScanContext::saveStrell); the
  // tests' items know their length.
  void saveStrell(const Buffer& data, uint64_t from, uint64_t length, std::string_view type,
                  std::string_view original, int32_t foundNo, ItemEnd end = ItemEnd::kLength);
  void takeFoundItem(FoundItem item) override { store_.takeFoundItem(std::move(item)); }
  bool alreadySaved(const ItemDigest& digest) const override { return store_.alreadySaved(digest); }
  void writeFoundFiles() override { store_.writeFoundFiles(); }
  void queueFoundItem(FoundItem item) { store_.queueFoundItem(std::move(item)); }
  bool blinkImage(const Buffer& bytes) { return store_.blinkImage(bytes); }
  void calculateStrellOutputFolder(const std::vector<std::string>& paths) {
    store_.calculateStrellOutputFolder(paths);
  }
  const std::string& strellOutputDirectory() const { return store_.strellOutputDirectory(); }
  void setStrellOutputDirectory(const std::string& path) { store_.setStrellOutputDirectory(path); }
  bool strellOutputDirectoryCreated() const { return store_.strellOutputDirectoryCreated(); }
  const std::vector<FoundItem>& images() const { return store_.images(); }
  int32_t exportNo() const { return store_.exportNo(); }

  // --- Test seams --------------------------------------------------------
  // Set by tests only. Until one is set the scan asks a single null
  // pointer, never a table, per pass and per item.
  //
  // Replaces the pass for a type key ("png", "flate", "silentflate", ...).
  using PassOverride =
      std::function<int32_t(ScanContext& context, const Buffer& data, const std::string& from)>;
  void setPassForTesting(const std::string& key, PassOverride pass);
  const PassOverride* passOverride(std::string_view key) const {
    return hooks_ ? hooks_->passOverride(key) : nullptr;
  }
  // When set, every reported item goes here instead of into the store.
  using SaveObserver =
      std::function<void(const Buffer& data, uint64_t from, uint64_t length, std::string_view type,
                         std::string_view original, int32_t foundNo, ItemEnd end)>;
  void setSaveObserverForTesting(SaveObserver observer);
  const SaveObserver& saveObserver() const {
    return hooks_ ? hooks_->saveObserver : kNoSaveObserver;
  }

 private:
  struct TestHooks {
    const PassOverride* passOverride(std::string_view key) const;
    std::map<std::string, PassOverride, std::less<>> passOverrides;
    SaveObserver saveObserver;
  };
  TestHooks& hooks();
  static inline const SaveObserver kNoSaveObserver{};

  ScanPreferences preferences_;
  DisplayNotifier notifier_;
  JobReport report_;
  // The job only keeps a reference to the store until its first request;
  // the store reports failures to the job, made before it.
  ScanJob job_;
  FoundItemStore store_;
  std::unique_ptr<TestHooks> hooks_;
};

}  // namespace strellbox
