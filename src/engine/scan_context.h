// What a pass sees of the scan: which passes are on and whether extended
// detection is, the stop request, the sink its items go to, the job's
// progress, and the dispatcher for bytes it decoded. The content
// dispatcher itself (strellData) runs here.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <memory>
#include <unordered_map>

#include "engine/buffer.h"
#include "engine/decoder_table.h"
#include "engine/digest.h"
#include "engine/found_item.h"
#include "engine/pass_table.h"
#include "engine/scan_helpers.h"
#include "engine/strell_progress.h"
#include "extractors/sqlite.h"

namespace strellbox {

class ScanPool;
class ScanJob;
class StrellController;

// The preferences a scan reads, taken once per file.
struct ScanSettings {
  std::array<bool, kPassCount> scan{};  // whether each row runs (extended already applied)
  bool extended = false;
  bool on(PassId id) const { return scan[static_cast<size_t>(id)]; }
};

// The number of passes that strellData makes over a buffer: the rows that
// are on, and those with a stand-in that runs while they are off.
int32_t FileTypeCount(const ScanSettings& settings);

// Where the items of a scan go: the job's found-item store, or a collector
// that hands them to the store later, in order.
class ItemSink {
 public:
  virtual ~ItemSink() = default;
  virtual void takeFoundItem(FoundItem item) = 0;
  // True when an item with this digest would be dropped as a duplicate, so
  // that its bytes need not be copied. A sink that cannot tell says false.
  virtual bool alreadySaved(const ItemDigest& digest) const {
    (void)digest;
    return false;
  }
  // A pass reached a point where the waiting items may be written.
  virtual void writeFoundFiles() {}
};

// Bytes a decoder made, on their way back into the dispatcher: the decoder,
// where its input starts in the parent buffer, and the member's name where
// the container names it (a zip path).
struct DecodedChild {
  Buffer bytes;
  DecoderId decoder;
  uint64_t offset = 0;
  std::string member = {};
  bool marked = false;  // its origin already says where it came from
};

// What the gate did with a decoded child.
enum class ChildScan : uint8_t {
  kScanned,     // the passes ran over it
  kTooDeep,     // nested deeper than the dispatcher goes
  kOverBudget,  // the decoded bytes of its file (or of the job) are spent
  kSeenBefore,  // the same bytes were scanned already at this depth in this pass
  kStopped,     // a stop was requested
};
std::string_view ChildScanName(ChildScan scan);

struct ChildOutcome {
  ChildScan scan = ChildScan::kScanned;
  int32_t items = 0;  // what the passes reported in it (as they did when first seen)
};

// What the decoded children of one file read from disk may spend together,
// shared by the contexts that scan its passes concurrently.
class DecodedBudget {
 public:
  // Enough for every ordinary file: the children of a file together may
  // decode to what kChildFactor streams at the output cap would, and never
  // less than kFloor.
  static constexpr uint64_t kFloor = uint64_t{1} << 30;
  static constexpr uint64_t kChildFactor = 8;
  explicit DecodedBudget(uint64_t fileLength);
  // Bytes a decoder may still produce for this file.
  uint64_t left() const;
  // Charges decoded bytes; false when they were more than was left.
  bool charge(uint64_t bytes);

 private:
  uint64_t allowance_;
  std::atomic<uint64_t> spent_{0};
};

class ScanContext : public StrellerProgress {
 public:
  // How deep decoded data is scanned again: a buffer at a recursion level
  // above this hands nothing it decodes back to the dispatcher, which
  // bounds nested streams (and the work of crafted ones) to five levels.
  static constexpr int32_t kMaxRescanLevel = 4;

  // A scan for the controller's job under its current preferences, its
  // items going to the controller's store.
  explicit ScanContext(StrellController& job);
  // With a pool, the passes over a large buffer of the top level run on
  // it concurrently; their items still reach the sink in pass order.
  ScanContext(StrellController& job, ItemSink& sink, ScanSettings settings,
              ScanPool* pool = nullptr);

  const ScanSettings& settings() const { return settings_; }
  bool extended() const { return settings_.extended; }
  bool scans(PassId id) const { return settings_.on(id); }

  int32_t fileTypeCount() const { return FileTypeCount(settings_); }
  int32_t strellRecursionLevel() const { return level_; }
  // Whether bytes decoded here would be scanned again (not too deep).
  bool mayScanDecoded() const { return level_ <= kMaxRescanLevel; }

  // The one way back into the dispatcher for decoded bytes: marks the
  // child's origin (decoder, offset and member under the parent's chain),
  // charges its bytes to the file's and the job's decoded-byte budgets,
  // skips bytes this pass already scanned at this depth (their items were
  // all reported then), keeps the depth limit, and scans it under the
  // source name `from` with the whole-buffer flag of this buffer saved and
  // restored, so that an item filling the child cannot end the passes over
  // the parent. `child.bytes` carries its origin afterwards.
  ChildOutcome scanChild(const Buffer& parent, DecodedChild& child, const std::string& from);
  // Marks the child's origin without scanning it, for a decoder that
  // reports the child as an item before handing it to scanChild.
  static void markChild(const Buffer& parent, DecodedChild& child);
  // Bytes a decoder may still produce before the gate refuses them: the
  // output limit to decode with.
  uint64_t decodedAllowance() const;
  // The job's other threads, for a pass that splits a long buffer's work
  // (none without a pool of two or more).
  ScanHelpers helpers() const;
  bool atomicFileFound() const { return atomicFileFound_; }
  // The item being reported is the whole buffer: no later pass runs.
  void setAtomicFileFound(bool found) { atomicFileFound_ = found; }
  // The pass now running (its items carry it).
  PassId currentPass() const { return currentPass_; }

  // StrellerProgress.
  bool stopStreller() const override;
  void subProgress(double fraction) override;
  // Reports an item: the bytes [from, from + length) of `data` (cut to its
  // end), with the item's type, the source name, its number among the
  // items of this pass call (0, 1, ...) and how its end was known.
  void saveStrell(const Buffer& data, uint64_t from, uint64_t length, std::string_view type,
                  std::string_view original, int32_t foundNo, ItemEnd end) override;
  // Lets the sink write what waits (after each attachment, say).
  void writeFoundFiles() { sink_.writeFoundFiles(); }

  // The job's progress.
  void addBytesToStrell(double bytes);
  double strelledBytes() const;
  void progressFromThread(double bytes);
  // The length of the buffer a long pass reports fine progress for.
  void setSubProgressBytesToStrell(double bytes) { subProgressBytes_ = bytes; }
  bool dontSaveDuplicates() const;

 private:
  // The job scans the files it reads through this; decoded data comes back
  // only through scanChild.
  friend class StrellController;
  friend class ScanJob;

  // The content dispatcher: runs the passes that are on over the buffer,
  // its guessed type first, until one finds the buffer is a single item.
  int32_t strellData(const Buffer& data, const std::string& from);

  struct PlannedPass {
    std::string_view key;
    PassId id;
    PassFunction pass;
  };
  int32_t runPass(std::string_view key, PassFunction pass, const Buffer& data,
                  const std::string& from);
  // The passes of one buffer, each over its own context, on the pool; the
  // items are handed on in pass order up to a whole-buffer item.
  int32_t runPassesConcurrently(const std::vector<PlannedPass>& passes, bool guessedFirst,
                                float share, const Buffer& data, const std::string& from);

  // The children scanned by the current pass over a file: digest to depth
  // and item count, so that a repeat at the same depth gives the same count
  // without being scanned. Kept per pass, not per job, so that what is
  // skipped never depends on which worker got where first.
  struct SeenChild {
    int32_t level;
    int32_t items;
  };

  // The measured databases of the buffers items were reported from, found
  // on the first item of each; a child's entry goes when its scan ends.
  struct PagedBuffer {
    const uint8_t* bytes;
    uint64_t size;
    const Origin* origin;
    std::vector<DatabasePages> databases;
  };
  const std::vector<DatabasePages>& databasesOf(const Buffer& data);

  StrellController& job_;
  ItemSink& sink_;
  std::vector<PagedBuffer> paged_;
  ScanSettings settings_;
  ScanPool* pool_ = nullptr;
  std::shared_ptr<DecodedBudget> budget_;
  std::unordered_map<ItemDigest, SeenChild, DigestHash> seen_;
  double subProgressBytes_ = 0;
  int32_t level_ = 0;
  bool atomicFileFound_ = false;
  bool overBudgetLogged_ = false;
  PassId currentPass_ = PassId::kFlate;
};

// Runs one pass (or any function taking the context first) under the
// controller's current preferences, its items going to the controller.
template <typename Pass, typename... Args>
int32_t RunPass(StrellController& job, Pass pass, Args&&... args) {
  ScanContext context(job);
  return pass(context, std::forward<Args>(args)...);
}

}  // namespace strellbox
