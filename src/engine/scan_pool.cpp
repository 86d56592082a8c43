#include "engine/scan_pool.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

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

namespace {

// Copies at least this long are staged rather than waited with; smaller ones
// cost less to wait for than to write and read back.
constexpr uint64_t kStagedAtLeast = 4096;

}  // namespace

StagingFile::~StagingFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<uint64_t> StagingFile::put(std::string_view bytes) {
  if (failed_) return std::nullopt;
  if (fd_ < 0) {
    std::error_code ec;
    std::string name =
        (std::filesystem::temp_directory_path(ec) / "strellbox-items-XXXXXX").string();
    fd_ = ec ? -1 : ::mkstemp(name.data());
    if (fd_ < 0) {
      failed_ = true;
      return std::nullopt;
    }
    // Gone from the folder at once: nothing is left behind however the job ends.
    ::unlink(name.c_str());
  }
  const uint64_t at = end_;
  for (uint64_t done = 0; done < bytes.size();) {
    const ssize_t w =
        ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(at + done));
    if (w <= 0) {
      // Disk full: the producer waits for its turn instead, from now on.
      failed_ = true;
      return std::nullopt;
    }
    done += static_cast<uint64_t>(w);
  }
  end_ += bytes.size();
  return at;
}

std::optional<Buffer> StagingFile::get(uint64_t offset, uint64_t size) const {
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  for (uint64_t done = 0; done < size;) {
    const ssize_t r =
        ::pread(fd_, bytes.data() + done, size - done, static_cast<off_t>(offset + done));
    if (r <= 0) return std::nullopt;
    done += static_cast<uint64_t>(r);
  }
  return Buffer(std::move(bytes));
}

bool ItemLane::wouldWait(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(budget_.mutex_);
  return budget_.pending_ + bytes > budget_.limit_ && !(draining_ && pending_ == 0);
}

void ItemLane::takeFoundItem(FoundItem item) {
  // The record counts as well as the bytes it holds (none for a repeat, or
  // a mapped item), so that a file of many repeats is held back too.
  const uint64_t copied = item.data.isMapped() ? 0 : item.data.size();
  Event event{std::nullopt, copied + sizeof(FoundItem), std::nullopt};
  // Rather than wait until the consumer comes to this lane (it may be deep
  // in a long pass of its own), a copy goes to disk and the producer goes on.
  if (copied >= kStagedAtLeast && wouldWait(event.bytes)) {
    if (!staging_) staging_ = std::make_unique<StagingFile>();
    if (const std::optional<uint64_t> at = staging_->put(item.data.view())) {
      event.staged = at;
      event.bytes = sizeof(FoundItem);
      item.data = item.data.withoutBytes();
    }
  }
  event.item = std::move(item);
  push(std::move(event));
}

void ItemLane::writeFoundFiles() { push({std::nullopt, 0, std::nullopt}); }

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
      if (!event.item) {
        target.writeFoundFiles();
        continue;
      }
      if (event.staged) {
        FoundItem& item = *event.item;
        const std::optional<Buffer> bytes = staging_->get(*event.staged, item.size);
        if (!bytes) {
          StrellLog(
              fmt::format("{}.{}: its bytes could not be read back from the temporary "
                          "folder; not written",
                          item.name, item.type));
          continue;
        }
        item.data = item.data.withBytesOf(*bytes);
      }
      target.takeFoundItem(std::move(*event.item));
    }
  }
}

}  // namespace strellbox
