#include "engine/scan_pool.h"

#include <unistd.h>

#include <algorithm>

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
  // Over the budget a producer waits: one whose lane waits for its turn
  // until the lanes before it are taken; the one whose lane the consumer
  // is taking from until it has taken what the lane holds (so it may
  // always add one item, and the budget never stops the whole line).
  budget_.changed_.wait(lock, [&] {
    return budget_.pending_ + event.bytes <= budget_.limit_ || (draining_ && pending_ == 0);
  });
  pending_ += event.bytes;
  budget_.pending_ += event.bytes;
  events_.push_back(std::move(event));
  budget_.changed_.notify_all();
}

void ItemLane::takeFoundItem(FoundItem item) {
  // The record counts as well as the bytes it holds (none for a repeat, or
  // a mapped item), so that a file of many repeats is held back too.
  const uint64_t bytes = (item.data.isMapped() ? 0 : item.data.size()) + sizeof(FoundItem);
  push({std::move(item), bytes});
}

void ItemLane::writeFoundFiles() { push({std::nullopt, 0}); }

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
      if (event.item)
        target.takeFoundItem(std::move(*event.item));
      else
        target.writeFoundFiles();
    }
  }
}

}  // namespace strellbox
