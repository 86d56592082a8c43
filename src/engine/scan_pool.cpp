#include "engine/scan_pool.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "engine/log.h"

namespace strellbox {

ScanPool::ScanPool(int threads) {
  threads_.reserve(static_cast<size_t>(std::max(threads, 1)));
  for (int i = 0; i < std::max(threads, 1); ++i) threads_.emplace_back([this] { work(); });
}

ScanPool::~ScanPool() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && running_ == 0; });
    ending_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

int ScanPool::OnlineProcessors() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

void ScanPool::submit(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void ScanPool::work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return ending_ || !queue_.empty(); });
      if (queue_.empty()) return;  // ending
      task = std::move(queue_.front());
      queue_.pop_front();
      ++running_;
    }
    task();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --running_;
      if (queue_.empty() && running_ == 0) idle_.notify_all();
    }
  }
}

void ScanPool::waitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return queue_.empty() && running_ == 0; });
}

void ScanPool::submitAhead(std::vector<std::function<void()>> tasks) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = tasks.rbegin(); it != tasks.rend(); ++it) queue_.push_front(std::move(*it));
  }
  for (size_t i = 0; i < tasks.size(); ++i) wake_.notify_one();
}

// --- Lanes -----------------------------------------------------------------

void ItemLane::push(Event event) {
  std::unique_lock<std::mutex> lock(budget_.mutex_);
  // Over the budget a producer waits (only when its item could not be
  // staged): one whose lane waits for its turn until the lanes before it
  // are taken; the one whose lane the consumer is taking from until it has
  // taken what the lane holds (so it may always add one item, and the
  // budget never stops the whole line).
  budget_.changed_.wait(lock, [&] {
    return budget_.pending_ + event.bytes <= budget_.limit_ || (draining_ && pending_ == 0);
  });
  pending_ += event.bytes;
  budget_.pending_ += event.bytes;
  events_.push_back(std::move(event));
  budget_.changed_.notify_all();
}

namespace {

// What an event in memory costs beside an item's copied bytes: the item's
// record, its strings and its place in the queue.
uint64_t RecordBytes(const FoundItem& item) {
  return sizeof(FoundItem) + item.name.capacity() + item.type.capacity() +
         item.source.capacity() + 64;
}

// A staged item's record: its fields, each string and the copied bytes
// after their length, in the machine's own byte order (the file is read
// back by the process that wrote it).
class RecordWriter {
 public:
  template <class T>
  void put(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    out_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void putText(std::string_view text) {
    put<uint64_t>(text.size());
    out_.append(text);
  }
  const std::string& bytes() const { return out_; }

 private:
  std::string out_;
};

class RecordReader {
 public:
  explicit RecordReader(std::string_view in) : in_(in) {}
  template <class T>
  bool get(T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (in_.size() < sizeof value) return false;
    std::memcpy(&value, in_.data(), sizeof value);
    in_.remove_prefix(sizeof value);
    return true;
  }
  bool getText(std::string& text) {
    uint64_t size = 0;
    if (!get(size) || in_.size() < size) return false;
    text = in_.substr(0, size);
    in_.remove_prefix(size);
    return true;
  }
  uint64_t left() const { return in_.size(); }

 private:
  std::string_view in_;
};

}  // namespace

bool ItemLane::wouldWait(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(budget_.mutex_);
  return budget_.pending_ + bytes > budget_.limit_ && !(draining_ && pending_ == 0);
}

bool ItemLane::stage(FoundItem& item, Event& event) {
  if (!staging_) staging_ = std::make_unique<StagingFile>();
  const bool copied = !item.data.isMapped() && !item.data.empty();
  RecordWriter record;
  record.putText(item.name);
  record.putText(item.type);
  record.putText(item.source);
  record.put(item.offset);
  record.put(item.size);
  record.put(item.pass);
  record.put(item.end);
  record.put(item.digest);
  record.put(item.repeat);
  record.put(item.filtered.has_value());
  record.put(item.filtered.value_or(ItemFilter::kMinSize));
  record.put(item.md5.has_value());
  record.put(item.md5.value_or(Md5{}));
  record.put<uint64_t>(copied ? item.data.size() : 0);
  // The copied bytes follow the record: the producer alone appends to the
  // file, so the two writes lie end to end.
  const std::optional<uint64_t> at = staging_->put(record.bytes());
  if (!at || (copied && !staging_->put(item.data.view()))) return false;
  event.stagedAt = *at;
  event.stagedSize = record.bytes().size() + (copied ? item.data.size() : 0);
  event.stagedData = copied ? item.data.withoutBytes() : std::move(item.data);
  event.bytes = 0;
  return true;
}

std::optional<FoundItem> ItemLane::unstage(Event& event) const {
  const std::optional<Buffer> whole = staging_->get(event.stagedAt, event.stagedSize);
  if (!whole) return std::nullopt;
  RecordReader record(whole->view());
  FoundItem item;
  bool filtered = false, hasMd5 = false;
  ItemFilter filter{};
  Md5 md5{};
  uint64_t copied = 0;
  const bool read = record.getText(item.name) && record.getText(item.type) &&
                    record.getText(item.source) && record.get(item.offset) &&
                    record.get(item.size) && record.get(item.pass) && record.get(item.end) &&
                    record.get(item.digest) && record.get(item.repeat) && record.get(filtered) &&
                    record.get(filter) && record.get(hasMd5) && record.get(md5) &&
                    record.get(copied) && record.left() == copied;
  if (!read) return std::nullopt;
  if (filtered) item.filtered = filter;
  if (hasMd5) item.md5 = md5;
  item.data = copied > 0 ? event.stagedData->withBytesOf(whole->slice(whole->size() - copied, copied))
                         : std::move(*event.stagedData);
  return item;
}

void ItemLane::takeFoundItem(FoundItem item) {
  // The record counts as well as the bytes it holds (none for a repeat, or
  // a mapped item), so that a file of many repeats is held back too.
  const uint64_t copied = item.data.isMapped() ? 0 : item.data.size();
  Event event;
  event.bytes = copied + RecordBytes(item);
  // Rather than wait until the consumer comes to this lane (it may be deep
  // in a long pass of its own), the item goes to disk and the producer goes
  // on; only what does not fit the budget.
  if (!wouldWait(event.bytes) || !stage(item, event))
    event.item = std::make_unique<FoundItem>(std::move(item));
  push(std::move(event));
}

void ItemLane::writeFoundFiles() { push({}); }

void ItemLane::finish() {
  std::lock_guard<std::mutex> lock(budget_.mutex_);
  finished_ = true;
  budget_.changed_.notify_all();
}

void ItemLane::drainInto(ItemSink& target, const std::function<bool()>& stop) {
  {
    std::lock_guard<std::mutex> lock(budget_.mutex_);
    draining_ = true;
    budget_.changed_.notify_all();
  }
  for (;;) {
    std::deque<Event> taken;
    {
      std::unique_lock<std::mutex> lock(budget_.mutex_);
      budget_.changed_.wait(lock, [&] { return finished_ || !events_.empty(); });
      if (events_.empty()) return;  // finished, all taken
      taken.swap(events_);
      budget_.pending_ -= pending_;
      pending_ = 0;
      budget_.changed_.notify_all();
    }
    for (Event& event : taken) {
      if (stop()) continue;
      if (event.item) {
        target.takeFoundItem(std::move(*event.item));
      } else if (event.stagedData) {
        std::optional<FoundItem> item = unstage(event);
        if (!item) {
          StrellLog(
              "An item set aside in the temporary folder could not be read back; not written");
          continue;
        }
        target.takeFoundItem(std::move(*item));
      } else {
        target.writeFoundFiles();
      }
    }
  }
}

}  // namespace strellbox
