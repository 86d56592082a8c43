// The workers of one scan job: the files of the job, and the passes over a
// large file, run on them concurrently, while the job's own thread hands
// what they find to the found-item store in the order one worker would
// have found it (see ItemLane).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/found_item.h"
#include "engine/scan_context.h"
#include "engine/staging_file.h"

namespace strellbox {

class ScanPool {
 public:
  explicit ScanPool(int threads);
  // Waits for every task to finish, then ends the threads.
  ~ScanPool();
  ScanPool(const ScanPool&) = delete;
  ScanPool& operator=(const ScanPool&) = delete;

  int size() const { return static_cast<int>(threads_.size()); }
  // Queues a task; tasks start in the order submitted.
  void submit(std::function<void()> task);
  // Queues tasks ahead of everything queued so far.
  void submitAhead(std::vector<std::function<void()>> tasks);
  // Returns once no task is queued or running.
  void waitIdle();

  // The number of online processors (at least 1).
  static int OnlineProcessors();

 private:
  void work();

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<void()>> queue_;
  int running_ = 0;
  bool ending_ = false;
  std::vector<std::thread> threads_;
};

// What producers (a file's scan, one pass over a large file) may hold in
// memory while they wait for their turn: the bytes of items that are copies
// (an item of a mapped file is a slice of the mapping and holds no memory
// of its own), and the record of each item. A producer whose items would
// overrun it stages them, record and copied bytes, in a temporary file and
// goes on; it waits only when nothing can be staged (no temporary folder,
// disk full).
class LaneBudget {
 public:
  explicit LaneBudget(uint64_t limit) : limit_(limit) {}

 private:
  friend class ItemLane;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t pending_ = 0;
  const uint64_t limit_;
};

// The items one producer reports, in order, until the consumer (the store,
// or the lane of the file a pass runs over) takes them on. While the budget
// is spent, only the lane being taken from moves on: memory stays bounded,
// and the order of everything reported stays that of one worker.
class ItemLane : public ItemSink {
 public:
  // `consumer` is where the items go in the end; it tells which are
  // repeats of items saved already, which need not be held back.
  ItemLane(LaneBudget& budget, const ItemSink& consumer) : budget_(budget), consumer_(consumer) {}

  // Producer side.
  void takeFoundItem(FoundItem item) override;
  bool alreadySaved(const ItemDigest& digest) const override {
    return consumer_.alreadySaved(digest);
  }
  // A point where one worker would write what waits.
  void writeFoundFiles() override;
  // Nothing more comes.
  void finish();

  // Consumer side: hands every item (and write point) on to `target` as it
  // comes, until the producer has finished. Once `stop` says so, what comes
  // is dropped instead.
  void drainInto(ItemSink& target, const std::function<bool()>& stop);

 private:
  // An item in memory, an item staged, or a write point.
  struct Event {
    std::unique_ptr<FoundItem> item;  // the item, when held in memory
    // A staged item: its record (and copied bytes) in the staging file, and
    // here only what cannot be written there: its bytes when they are a
    // slice of a mapped file, else a buffer that keeps their origin.
    std::optional<Buffer> stagedData;
    uint64_t stagedAt = 0, stagedSize = 0;
    uint64_t bytes = 0;  // what it holds of the budget
  };
  void push(Event event);
  // Whether pushing that many bytes now would wait.
  bool wouldWait(uint64_t bytes);
  // Writes the item to the staging file; false when that cannot be done.
  bool stage(FoundItem& item, Event& event);
  // The item staged by `event`, or nothing when it cannot be read back.
  std::optional<FoundItem> unstage(Event& event) const;

  LaneBudget& budget_;
  const ItemSink& consumer_;
  std::deque<Event> events_;
  uint64_t pending_ = 0;
  bool finished_ = false;
  bool draining_ = false;                 // the consumer takes from this lane now
  std::unique_ptr<StagingFile> staging_;  // made by the producer when first needed
};

}  // namespace strellbox
