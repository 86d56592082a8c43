// The found-item store of one job: leaves out what the noise filters
// refuse, keeps repeats from being written again (reporting each where its
// first copy went), hands images to the preview, and writes every waiting
// item into the job's output folder (or, for a listing job, only names
// it). What becomes of each item goes to the display and the job's report.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/buffer.h"
#include "engine/digest.h"
#include "engine/found_item.h"
#include "engine/scan_context.h"

namespace strellbox {

class DisplayNotifier;
class JobReport;
class ScanPreferences;

// What the store asks of the job it writes for.
class JobControl {
 public:
  virtual bool stopStreller() const = 0;
  // Records the job's failure and stops it.
  virtual void failJob(const std::string& message) = 0;

 protected:
  ~JobControl() = default;
};

class FoundItemStore : public ItemSink {
 public:
  FoundItemStore(const ScanPreferences& preferences, DisplayNotifier& notifier, JobReport& report,
                 JobControl& job);
  FoundItemStore(const FoundItemStore&) = delete;
  FoundItemStore& operator=(const FoundItemStore&) = delete;

  // A new job: no digests, names or numbers of the last one carry over.
  void beginJob();
  // The items found so far start again from none.
  void resetFoundItems() { foundItems_.store(0, kRelaxed); }
  // Drops what a stopped job left unwritten.
  void dropWaitingItems() { images_.clear(); }

  // ItemSink.
  void takeFoundItem(FoundItem item) override;
  bool alreadySaved(const ItemDigest& digest) const override;
  void writeFoundFiles() override;

  void queueFoundItem(FoundItem item);
  bool blinkImage(const Buffer& bytes);

  int32_t foundItems() const { return foundItems_.load(kRelaxed); }
  // Repeats not written again, and items the noise filters left out, in
  // this job.
  int32_t duplicatesDropped() const { return duplicatesDropped_.load(kRelaxed); }
  int32_t itemsFiltered() const { return itemsFiltered_.load(kRelaxed); }
  // The filter that leaves the item out under the preferences, if any.
  std::optional<ItemFilter> filterOf(const FoundItem& item) const;

  // The output folder for a job over these paths, under the save location
  // of the preferences; made at the first write.
  void calculateStrellOutputFolder(const std::vector<std::string>& paths);
  const std::string& strellOutputDirectory() const { return strellOutputDirectory_; }
  void setStrellOutputDirectory(const std::string& path);
  bool strellOutputDirectoryCreated() const { return strellOutputDirectoryCreated_; }
  const std::vector<FoundItem>& images() const { return images_; }
  // Items this job's writer has processed; an item without a usable name
  // is named "Strell-N" after it.
  int32_t exportNo() const { return exportNo_; }

 private:
  static constexpr auto kRelaxed = std::memory_order_relaxed;

  // Makes the output folder (and the desktop it goes into); a name taken
  // meanwhile gives way to the next numbered one.
  bool makeOutputFolder();
  // writeFoundFiles of a listing job: every waiting item to the display.
  void listFoundFiles();
  // The name of a waiting item inside the output folder, before making it
  // unique.
  std::string itemName(const FoundItem& item) const;
  // An item was written (or listed) as `file`: told to the display and the
  // report, and remembered for its repeats.
  void itemDone(FoundItem& item, const std::string& path, const std::string& file);
  // A repeat: told with where its first copy went.
  void repeatDone(FoundItem& item);

  const ScanPreferences& preferences_;
  DisplayNotifier& notifier_;
  JobReport& report_;
  JobControl& job_;

  // Read by the display thread.
  std::atomic<int32_t> foundItems_{0};
  std::atomic<int32_t> duplicatesDropped_{0};
  std::atomic<int32_t> itemsFiltered_{0};

  // The job's thread only.
  std::vector<FoundItem> images_;
  std::string strellOutputDirectory_;
  // The folder the output folder goes into, made when missing (the desktop).
  std::string outputParentToMake_;
  bool strellOutputDirectoryCreated_ = false;
  // Names given to items of a listing job, which writes nothing.
  std::unordered_set<std::string> listedNames_;
  int32_t exportNo_ = 0;

  // Written by the job's thread only; read by the workers too, which leave
  // the bytes of an item saved already where they are (alreadySaved).
  mutable std::shared_mutex digestsMutex_;
  std::unordered_set<ItemDigest, DigestHash> streamDigests_;
  // Where the items saved in this job went (their path, or a listing job's
  // name), and their MD5 when it is reported: what their repeats say.
  struct Copy {
    std::string file;
    std::optional<Md5> md5;
  };
  std::unordered_map<ItemDigest, Copy, DigestHash> copies_;
};

}  // namespace strellbox
