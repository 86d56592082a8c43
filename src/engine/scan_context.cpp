// The content dispatcher and the rest of what a pass sees of the scan.
#include "engine/scan_context.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "engine/classify.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/scan_pool.h"
#include "engine/signature_index.h"
#include "engine/strell_controller.h"
#include "extractors/cache_entry.h"
#include "extractors/ole2.h"
#include "extractors/zip_deflate.h"

namespace strellbox {

namespace {

// Buffers shorter than this run no pass.
constexpr uint64_t kSmallestDispatched = 32;
// Above this length the dispatcher reports progress after every pass.
constexpr uint64_t kProgressLength = 2000000;

// Buffers of the top level at least this long have their passes run
// concurrently when the job has a pool: below it, handing the passes to
// other threads costs more than it saves.
constexpr uint64_t kConcurrentPassLength = uint64_t{4} << 20;
// What the passes of one buffer may hold in memory, in copied bytes and
// records, while they wait for the passes before them; more is staged on disk.
constexpr uint64_t kPassLaneBudget = uint64_t{8} << 20;
// Children remembered per pass for the seen-before test (about 64 bytes
// each): beyond this, repeats are scanned again, as if new.
constexpr size_t kMaxSeenChildren = 1 << 16;

}  // namespace

std::string_view ChildScanName(ChildScan scan) {
  switch (scan) {
    case ChildScan::kScanned:
      return "scanned";
    case ChildScan::kTooDeep:
      return "too deep";
    case ChildScan::kOverBudget:
      return "over budget";
    case ChildScan::kSeenBefore:
      return "seen before";
    case ChildScan::kStopped:
      return "stopped";
  }
  return "";
}

DecodedBudget::DecodedBudget(uint64_t fileLength) {
  const uint64_t cap = InflateCap(fileLength);
  const uint64_t scaled = cap > UINT64_MAX / kChildFactor ? UINT64_MAX : cap * kChildFactor;
  allowance_ = std::max(kFloor, scaled);
}

uint64_t DecodedBudget::left() const {
  const uint64_t spent = spent_.load(std::memory_order_relaxed);
  return spent < allowance_ ? allowance_ - spent : 0;
}

bool DecodedBudget::charge(uint64_t bytes) {
  uint64_t spent = spent_.load(std::memory_order_relaxed);
  do {
    if (spent > allowance_ || bytes > allowance_ - spent) return false;
  } while (!spent_.compare_exchange_weak(spent, spent + bytes, std::memory_order_relaxed));
  return true;
}

int32_t FileTypeCount(const ScanSettings& settings) {
  int32_t n = 0;
  for (const PassRow& row : PassTable())
    if (settings.on(row.id) || row.offPass) ++n;
  return n;
}

ScanContext::ScanContext(StrellController& job) : ScanContext(job, job, job.scanSettings()) {}

ScanContext::ScanContext(StrellController& job, ItemSink& sink, ScanSettings settings,
                         ScanPool* pool)
    : job_(job), sink_(sink), settings_(settings), pool_(pool) {}

int32_t ScanContext::runPass(std::string_view key, PassFunction pass, const Buffer& data,
                             const std::string& from) {
  if (const auto* override = job_.passOverride(key)) return (*override)(*this, data, from);
  return pass(*this, data, from);
}

int32_t ScanContext::strellData(const Buffer& data, const std::string& from) {
  if (data.size() < kSmallestDispatched) return 0;
  // A buffer of the top level is a file of its own: its children start
  // with a budget of their own.
  if (level_ == 0) budget_ = std::make_shared<DecodedBudget>(data.size());
  ++level_;
  // A browser cache entry or a .br file only wraps the bytes that matter:
  // what they hold goes to the gate, and the passes skip the wrapping.
  if (const std::optional<int32_t> opened = strellWrapped(*this, data, from)) {
    job_.addStrelledBytes(static_cast<double>(data.size()));
    --level_;
    return *opened;
  }
  const float n = static_cast<float>(fileTypeCount());
  const std::string guessed = GuessExtension(data);

  std::vector<PlannedPass> passes;
  passes.reserve(kPassCount);
  for (const PassRow& row : PassTable()) {
    if (settings_.on(row.id))
      passes.push_back({row.typeKey, row.id, row.pass});
    else if (row.offPass)
      passes.push_back({row.offTypeKey, row.id, row.offPass});
  }
  const auto guessedPass = std::find_if(passes.begin(), passes.end(),
                                        [&](const PlannedPass& p) { return p.key == guessed; });
  const bool guessedFirst = guessedPass != passes.end();
  if (guessedFirst) std::rotate(passes.begin(), guessedPass, guessedPass + 1);

  // Each pass accounts for an equal share of the buffer, run or skipped.
  const float share = static_cast<float>(data.size()) / n;
  if (pool_ && pool_->size() > 1 && level_ == 1 && passes.size() > 1 &&
      data.size() >= kConcurrentPassLength) {
    const int32_t total = runPassesConcurrently(passes, guessedFirst, share, data, from);
    --level_;
    return total;
  }
  const PassId outerPass = currentPass_;
  int32_t total = 0;
  atomicFileFound_ = false;
  // Built once the guessed pass has not found the buffer to be one item.
  std::optional<Buffer> indexed;
  for (size_t i = 0; i < passes.size(); ++i) {
    currentPass_ = passes[i].id;
    if (level_ == 1) seen_.clear();
    if (!indexed && (i > 0 || !guessedFirst))
      indexed = WithSignatureIndex(
          data, [this] { return stopStreller(); }, helpers());
    total += runPass(passes[i].key, passes[i].pass, indexed ? *indexed : data, from);
    job_.addStrelledBytes(share);
    if (data.size() > kProgressLength) progressFromThread(strelledBytes());
    if (atomicFileFound_) {
      for (size_t rest = i + 1; rest < passes.size(); ++rest) job_.addStrelledBytes(share);
      break;
    }
  }
  currentPass_ = outerPass;
  --level_;
  return total;
}

int32_t ScanContext::runPassesConcurrently(const std::vector<PlannedPass>& passes,
                                           bool guessedFirst, float share, const Buffer& unindexed,
                                           const std::string& from) {
  // This thread runs the passes in order, its items going straight on, as
  // one worker would; threads of the pool that are free take passes from
  // the other end (the flate pass, the longest, first) into lanes of their
  // own. Reaching a pass that a thread has taken, this thread takes on its
  // lane's items as they come. It waits only for passes already running,
  // and their lanes are emptied in order, so nothing waits for itself.
  struct Slot {
    std::unique_ptr<ItemLane> lane;
    int32_t count = 0;
    bool atomic = false;
  };
  // Shared with the helper tasks, which may start after this call is over
  // (and then find nothing left to take).
  struct Shared {
    LaneBudget budget{kPassLaneBudget};
    std::vector<Slot> slots;
    std::mutex claims;
    size_t front = 0, back = 0;  // passes [front, back) are not taken yet
  };
  const bool progress = unindexed.size() > kProgressLength;
  const PassId outerPass = currentPass_;
  int32_t total = 0;
  size_t first = 0;
  if (guessedFirst) {
    // The pass of the guessed type is the one that most often finds the
    // whole buffer to be one item: it runs alone, so that the others are
    // not run for nothing.
    currentPass_ = passes[0].id;
    atomicFileFound_ = false;
    seen_.clear();
    total += runPass(passes[0].key, passes[0].pass, unindexed, from);
    job_.addStrelledBytes(share);
    if (progress) progressFromThread(strelledBytes());
    if (atomicFileFound_) {
      for (size_t k = 1; k < passes.size(); ++k) job_.addStrelledBytes(share);
      currentPass_ = outerPass;
      return total;
    }
    first = 1;
  }

  // The other passes search through one index of the buffer's signatures.
  const Buffer data = WithSignatureIndex(
      unindexed, [this] { return stopStreller(); }, helpers());
  auto shared = std::make_shared<Shared>();
  shared->slots.resize(passes.size());
  for (Slot& slot : shared->slots) slot.lane = std::make_unique<ItemLane>(shared->budget, sink_);
  shared->front = first;
  shared->back = passes.size();

  // A helper touches this call's frame only between taking a pass and
  // finishing its lane, and this call waits for every lane taken.
  // Taken now: this thread's own passes change the level while they scan
  // their children, which a helper must not read.
  const auto level = level_;
  const std::shared_ptr<DecodedBudget> budget = budget_;
  auto helper = [shared, this, &passes, &data, &from, share, progress, level, budget] {
    for (;;) {
      size_t k;
      {
        std::lock_guard<std::mutex> lock(shared->claims);
        if (shared->front >= shared->back) return;
        k = --shared->back;
      }
      Slot& slot = shared->slots[k];
      ScanContext other(job_, *slot.lane, settings_, pool_);
      other.level_ = level;
      other.budget_ = budget;
      other.currentPass_ = passes[k].id;
      slot.count = other.runPass(passes[k].key, passes[k].pass, data, from);
      slot.atomic = other.atomicFileFound_;
      job_.addStrelledBytes(share);
      if (progress) progressFromThread(strelledBytes());
      slot.lane->finish();
    }
  };
  // Queued ahead of other work, so that a free thread starts on them
  // before it starts another file.
  const size_t helpers =
      std::min<size_t>(passes.size() - first - 1, static_cast<size_t>(pool_->size()));
  if (helpers > 0) pool_->submitAhead(std::vector<std::function<void()>>(helpers, helper));

  const auto stop = [this] { return job_.stopStreller(); };
  bool whole = false;
  for (size_t k = first; k < passes.size(); ++k) {
    bool mine;
    {
      std::lock_guard<std::mutex> lock(shared->claims);
      mine = k < shared->back;
      if (mine) shared->front = k + 1;
    }
    Slot& slot = shared->slots[k];
    if (mine) {
      if (whole) {
        job_.addStrelledBytes(share);  // not run, but accounted for
        continue;
      }
      currentPass_ = passes[k].id;
      atomicFileFound_ = false;
      seen_.clear();
      total += runPass(passes[k].key, passes[k].pass, data, from);
      whole = atomicFileFound_;
      job_.addStrelledBytes(share);
      if (progress) progressFromThread(strelledBytes());
    } else {
      // Run by another thread: what it found after a whole-buffer item is
      // dropped, as if it had never run.
      const bool after = whole;
      slot.lane->drainInto(sink_, [&] { return after || stop(); });
      if (!after) {
        total += slot.count;
        whole = slot.atomic;
      }
    }
  }
  currentPass_ = outerPass;
  atomicFileFound_ = whole;
  return total;
}

ScanHelpers ScanContext::helpers() const {
  if (!pool_ || pool_->size() < 2) return {};
  return [pool = pool_](size_t count, std::function<void()> task) {
    const size_t threads = std::min(count, static_cast<size_t>(pool->size()));
    pool->submitAhead(std::vector<std::function<void()>>(threads, task));
  };
}

uint64_t ScanContext::decodedAllowance() const {
  const uint64_t job = job_.decodedBytesLeft();
  return budget_ ? std::min(budget_->left(), job) : job;
}

void ScanContext::markChild(const Buffer& parent, DecodedChild& child) {
  if (child.marked) return;
  child.bytes =
      child.bytes.decodedFrom(parent, Decoder(child.decoder).key, child.offset, child.member);
  child.marked = true;
}

ChildOutcome ScanContext::scanChild(const Buffer& parent, DecodedChild& child,
                                    const std::string& from) {
  markChild(parent, child);
  const uint64_t size = child.bytes.size();
  if (stopStreller()) return {ChildScan::kStopped};
  // Charged when it fits, whether or not it is scanned then: a child that
  // does not fit is refused, and leaves what is left to the children after
  // it (decoders ask decodedAllowance() first, so only a careless one
  // makes such a child).
  const bool withinFile = !budget_ || budget_->charge(size);
  const bool withinJob = withinFile && job_.chargeDecodedBytes(size);
  if (!withinFile || !withinJob) {
    if (!overBudgetLogged_) {
      overBudgetLogged_ = true;
      StrellLog(
          fmt::format("Decoded data over budget in {} ({})", from, withinJob ? "file" : "job"));
    }
    return {ChildScan::kOverBudget};
  }
  if (!mayScanDecoded()) return {ChildScan::kTooDeep};

  // A repeat's items would all be dropped as duplicates: only its count
  // matters, for the numbering of the items after it.
  ItemDigest digest{};
  const bool trackRepeats = dontSaveDuplicates() && size >= kSmallestDispatched;
  if (trackRepeats) {
    digest = itemDigest(child.bytes, 0, size);
    const auto seen = seen_.find(digest);
    if (seen != seen_.end() && seen->second.level == level_)
      return {ChildScan::kSeenBefore, seen->second.items};
  }

  addBytesToStrell(static_cast<double>(size));
  const bool atomic = atomicFileFound_;
  const PassId pass = currentPass_;
  const int32_t items = strellData(child.bytes, from);
  std::erase_if(paged_, [&](const PagedBuffer& b) { return b.bytes == child.bytes.data(); });
  atomicFileFound_ = atomic;
  currentPass_ = pass;
  if (trackRepeats && seen_.size() < kMaxSeenChildren)
    seen_.emplace(digest, SeenChild{level_, items});
  return {ChildScan::kScanned, items};
}

bool ScanContext::stopStreller() const { return job_.stopStreller(); }

void ScanContext::subProgress(double fraction) {
  job_.progressFromThread(strelledBytes() + subProgressBytes_ * fraction / fileTypeCount());
}

void ScanContext::saveStrell(const Buffer& data, uint64_t from, uint64_t length,
                             std::string_view type, std::string_view original, int32_t foundNo,
                             ItemEnd end) {
  if (extended() && type != "sqlite" && SplitAcrossPages(databasesOf(data), from, length)) {
    StrellLog(fmt::format("{} at {} in {} runs across the pages of a container: not written", type,
                          from, original));
    return;
  }
  if (const auto& observer = job_.saveObserver()) {
    observer(data, from, length, type, original, foundNo, end);
    return;
  }
  if (from > data.size()) from = data.size();
  if (length > data.size() - from) {
    StrellLog("Check request too long");
    length = data.size() - from;
  }
  FoundItem item;
  item.digest = itemDigest(data, from, length);
  item.size = length;
  if (dontSaveDuplicates() && sink_.alreadySaved(item.digest)) {
    // A repeat is reported, not written: leave its bytes where they are.
    item.repeat = true;
    item.data = data.withoutBytes();
  } else {
    // An item of a mapped file shares the read-only mapping until it is
    // written (at the latest after its entry), so a large item costs no
    // anonymous memory, and so does an item that is its whole buffer; any
    // other item of bytes in memory gets its own copy, so that a small item
    // does not keep a large decoded buffer alive.
    const bool whole = from == 0 && length == data.size();
    item.data = data.isMapped() || whole ? data.slice(from, length) : data.copy(from, length);
  }
  item.type = std::string(type);
  const std::string base = DeletingPathExtension(LastPathComponent(original));
  item.name = foundNo > 0 ? fmt::format("{}-{}", base, foundNo) : base;
  item.source = std::string(original);
  item.offset = from;
  item.pass = currentPass_;
  item.end = end;
  sink_.takeFoundItem(std::move(item));
}

const std::vector<DatabasePages>& ScanContext::databasesOf(const Buffer& data) {
  for (const PagedBuffer& b : paged_)
    if (b.bytes == data.data() && b.size == data.size() && b.origin == &data.origin())
      return b.databases;
  // Entries of top-level buffers stay; a long job must not pile them up.
  constexpr size_t kMaxPaged = 64;
  if (paged_.size() >= kMaxPaged) paged_.clear();
  std::vector<DatabasePages> paged = DatabasesIn(data);
  for (const DatabasePages& file : CompoundFilesIn(data)) paged.push_back(file);
  for (const DatabasePages& record : WorkbookRecordsOf(data)) paged.push_back(record);
  paged_.push_back({data.data(), data.size(), &data.origin(), std::move(paged)});
  return paged_.back().databases;
}

void ScanContext::addBytesToStrell(double bytes) { job_.addBytesToStrell(bytes); }
double ScanContext::strelledBytes() const { return job_.strelledBytes(); }
void ScanContext::progressFromThread(double bytes) { job_.progressFromThread(bytes); }
bool ScanContext::dontSaveDuplicates() const { return job_.dontSaveDuplicates(); }

}  // namespace strellbox
