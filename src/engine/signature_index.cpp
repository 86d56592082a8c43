#include "engine/signature_index.h"

#include <hs/hs.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

namespace strellbox {

namespace {

using namespace std::string_view_literals;

SweptPattern Literal(std::string_view bytes) {
  SweptPattern p;
  p.literal = bytes;
  return p;
}

SweptPattern ZlibHeader() {
  // 78 (deflate, 32K window) and a two-byte big-endian value divisible by 31.
  SweptPattern p;
  p.first = 0x78;
  for (int v = 0; v < 256; ++v) p.seconds[v] = ((0x78 << 8) | v) % 31 == 0;
  return p;
}

// The searches by which the passes sweep a whole buffer for their
// candidates. A search missing here still works, by a sweep of its own.
std::vector<SweptPattern> MakePatterns() {
  return {
      // Pictures and sounds.
      Literal("\x89PNG\r\n\x1A\n"),
      Literal("GIF8"),
      Literal("BM"),
      Literal("RIFF"),
      Literal("\xFF\xD8\xFF"),
      Literal("\xFF\xD9"),
      Literal("II"),
      Literal("MM"),
      Literal("ftyp"),
      Literal("moov"),
      Literal("wide"),
      Literal("mdat"),
      Literal("jP  \r\n\x87\n"),
      Literal("fLaC"),
      Literal("OggS"),
      Literal("\x1A\x45\xDF\xA3"),  // Matroska
      Literal("\0\0\1\0"sv),        // icons and cursors
      Literal("\0\0\2\0"sv),
      Literal("8BPS"),
      // Drawings.
      Literal("<?xml"),
      Literal("<!DOCTYPE svg"),
      Literal("<svg"),
      Literal("data:"),
      Literal(" EMF"),
      Literal("\xD7\xCD\xC6\x9A"),
      Literal("\x01\x00\x09\x00\x00\x03"sv),
      Literal("\x02\x00\x09\x00\x00\x03"sv),
      Literal("\x01\x00\x09\x00\x00\x01"sv),
      Literal("\x02\x00\x09\x00\x00\x01"sv),
      Literal("\0\0\0\x0CJXL \r\n\x87\n"sv),
      Literal("\xFF\x0A"),
      // Flash movies, PDF documents.
      Literal("WS"),
      Literal("%PDF-"),
      Literal("%PDF-1"),
      Literal("%%EOF"),
      Literal("startxref"),
      Literal("trailer"),
      // Mail and news attachments.
      Literal("filename"),
      Literal("cription"),
      Literal("Location"),
      Literal("begin "),
      Literal("=ybegin "),
      // Compressed data, archives, databases and compound files.
      ZlibHeader(),
      Literal("\x1F\x8B\x08"),
      Literal("PK\x03\x04"),
      Literal("PK\x05\x06"),
      Literal("ustar"),
      Literal("7z\xBC\xAF\x27\x1C"),
      Literal("Rar!\x1A\x07"),
      Literal("MSCF\0\0\0\0"sv),
      Literal("07070"),
      Literal("!<arch>\n"),
      Literal("\x01"
              "CD001"),
      Literal("\xFD"
              "7zXZ\0"sv),
      Literal("1AY&SY"),
      Literal("\x28\xB5\x2F\xFD"),
      Literal("\x04\x22\x4D\x18"),
      Literal("LZIP\x01"),
      Literal("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"),
      Literal("SQLite format 3\0"sv),
      Literal("\x37\x7f\x06"),
      Literal("{\\"),
  };
}

std::string Escaped(uint8_t byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  return {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
}

std::string Expression(const SweptPattern& p) {
  std::string e;
  if (p.literal.empty()) {
    e = Escaped(p.first) + "[";
    for (int v = 0; v < 256; ++v)
      if (p.seconds[v]) e += Escaped(static_cast<uint8_t>(v));
    return e + "]";
  }
  for (const char c : p.literal) e += Escaped(static_cast<uint8_t>(c));
  return e;
}

// Literals one sweep takes before the multi-literal matcher falls back to
// a slower algorithm: past it, two sweeps cost less than one. Over 1 GiB
// of the bench's corpus, the groups in the order below cost 7.3 memchr
// sweeps at 16 literals (five groups), 4.1 at 22 (four), 5.7 at 26 (three).
constexpr size_t kLiteralsPerSweep = 22;

// The patterns, in groups of one sweep each, and the groups' databases: of
// all their patterns, or of those a buffer still records once others ran
// over (each compiled once and kept).
class Compiled {
 public:
  std::vector<SweptPattern> patterns = MakePatterns();
  std::unordered_map<std::string_view, uint32_t> literals;
  std::vector<uint32_t> group;  // of each pattern
  size_t groups = 0;
  const bool usable = hs_valid_platform() == HS_SUCCESS;

  Compiled() {
    size_t inGroup = 0;
    for (uint32_t id = 0; id < patterns.size(); ++id) {
      const SweptPattern& p = patterns[id];
      if (!p.literal.empty()) literals.emplace(p.literal, id);
      // A pair is one literal for each byte that may follow its first.
      const size_t weight =
          p.literal.empty()
              ? static_cast<size_t>(std::count(p.seconds.begin(), p.seconds.end(), true))
              : 1;
      if (groups == 0 || inGroup + weight > kLiteralsPerSweep) {
        ++groups;
        inGroup = 0;
      }
      inGroup += weight;
      group.push_back(static_cast<uint32_t>(groups - 1));
    }
  }
  ~Compiled() {
    for (auto& [key, database] : databases_) hs_free_database(database);
  }

  // Null when the group records nothing, or the processor cannot sweep.
  const hs_database_t* database(size_t g, const std::vector<bool>& recording) {
    if (!usable) return nullptr;
    std::vector<bool> key;
    for (uint32_t id = 0; id < patterns.size(); ++id)
      key.push_back(group[id] == g && recording[id]);
    std::lock_guard<std::mutex> lock(mutex_);
    if (const auto it = databases_.find(key); it != databases_.end()) return it->second;
    std::vector<std::string> expressions;
    std::vector<unsigned> ids;
    for (uint32_t id = 0; id < patterns.size(); ++id) {
      if (!key[id]) continue;
      expressions.push_back(Expression(patterns[id]));
      ids.push_back(id);
    }
    hs_database_t* database = nullptr;
    if (!ids.empty()) {
      std::vector<const char*> texts;
      for (const std::string& e : expressions) texts.push_back(e.c_str());
      const std::vector<unsigned> flags(ids.size(), 0);
      hs_compile_error_t* error = nullptr;
      if (hs_compile_multi(texts.data(), flags.data(), ids.data(),
                           static_cast<unsigned>(ids.size()), HS_MODE_BLOCK, nullptr, &database,
                           &error) != HS_SUCCESS) {
        hs_free_compile_error(error);
        database = nullptr;
      }
    }
    databases_.emplace(std::move(key), database);
    return database;
  }

 private:
  std::mutex mutex_;
  std::map<std::vector<bool>, hs_database_t*> databases_;
};

Compiled& Patterns() {
  static Compiled compiled;
  return compiled;
}

// One scratch area per thread, grown to fit each database once (growing
// it is costly even when it fits already).
hs_scratch_t* Scratch(const hs_database_t* database) {
  thread_local struct Owned {
    hs_scratch_t* scratch = nullptr;
    std::vector<const hs_database_t*> fitted;
    ~Owned() { hs_free_scratch(scratch); }
  } owned;
  if (std::find(owned.fitted.begin(), owned.fitted.end(), database) != owned.fitted.end())
    return owned.scratch;
  if (hs_alloc_scratch(database, &owned.scratch) != HS_SUCCESS) return nullptr;
  owned.fitted.push_back(database);
  return owned.scratch;
}

// What the sweep of one chunk records.
struct Recording {
  std::vector<std::vector<uint64_t>>* starts;
  const std::vector<uint64_t>* lengths;
  std::vector<bool>* recording;
  uint64_t chunkStart, chunkEnd;  // starts recorded lie in [chunkStart, chunkEnd)
  uint64_t perPattern, total, recorded;
  int64_t full = -1;       // the pattern whose records ran over, if one did
  bool totalFull = false;  // ran over as the index's records in all did
};

int OnMatch(unsigned int id, unsigned long long, unsigned long long to, unsigned int,
            void* context) {
  auto& r = *static_cast<Recording*>(context);
  if (!(*r.recording)[id]) return 0;
  const uint64_t start = r.chunkStart + to - (*r.lengths)[id];
  if (start >= r.chunkEnd) return 0;  // the next chunk's: it records it
  std::vector<uint64_t>& starts = (*r.starts)[id];
  if (starts.size() >= r.perPattern || r.recorded >= r.total) {
    r.full = id;
    r.totalFull = r.recorded >= r.total;
    return 1;  // ends the chunk's sweep
  }
  starts.push_back(start);
  ++r.recorded;
  return 0;
}

}  // namespace

const std::vector<SweptPattern>& SignatureIndex::patterns() { return Patterns().patterns; }

std::optional<uint32_t> SignatureIndex::literalId(std::string_view needle) {
  const auto& literals = Patterns().literals;
  const auto it = literals.find(needle);
  if (it == literals.end()) return std::nullopt;
  return it->second;
}

std::optional<uint32_t> SignatureIndex::pairId(uint8_t first,
                                               const std::array<bool, 256>& seconds) {
  const std::vector<SweptPattern>& all = Patterns().patterns;
  size_t count = 0;
  int only = -1;
  for (int v = 0; v < 256; ++v)
    if (seconds[v]) ++count, only = v;
  if (count == 1) {
    const char pair[2] = {static_cast<char>(first), static_cast<char>(only)};
    return literalId(std::string_view(pair, 2));
  }
  for (uint32_t id = 0; id < all.size(); ++id)
    if (all[id].literal.empty() && all[id].first == first && all[id].seconds == seconds) return id;
  return std::nullopt;
}

namespace {

// What the sweep of one piece of the buffer found: for each pattern, its
// starts in the piece, and whether they are all of them (a pattern met more
// often than one index may record is given up for the piece).
struct Piece {
  std::vector<std::vector<uint64_t>> starts;
  std::vector<bool> complete;
};

// Sweeps [from, end) with every group of patterns; false when Hyperscan
// fails.
bool SweepPiece(Compiled& compiled, const uint8_t* bytes, uint64_t size, uint64_t from,
                uint64_t end, const std::vector<uint64_t>& lengths, uint64_t longest,
                const IndexLimits& limits, Piece& piece) {
  const size_t count = compiled.patterns.size();
  piece.starts.assign(count, {});
  piece.complete.assign(count, true);
  Recording r{&piece.starts, &lengths,          &piece.complete, from,
              end,           limits.perPattern, limits.total,    0};
  // A start near the piece's end needs the bytes after it.
  const uint64_t scanned = std::min(size, end + longest - 1) - from;
  std::vector<size_t> before(count);
  for (size_t g = 0; g < compiled.groups;) {
    const hs_database_t* database = compiled.database(g, piece.complete);
    if (!database) {
      ++g;
      continue;
    }
    hs_scratch_t* scratch = Scratch(database);
    if (!scratch) return false;
    for (size_t id = 0; id < count; ++id) before[id] = piece.starts[id].size();
    r.full = -1;
    r.totalFull = false;
    const uint64_t recordedBefore = r.recorded;
    const hs_error_t e = hs_scan(database, reinterpret_cast<const char*>(bytes + from),
                                 static_cast<unsigned int>(scanned), 0, scratch, OnMatch, &r);
    if (e != HS_SUCCESS && e != HS_SCAN_TERMINATED) return false;
    if (r.full < 0) {
      ++g;
      continue;
    }
    // A pattern ran over: the group sweeps the piece again without it (or,
    // when the piece's records in all ran over, the piece gives up every
    // pattern still recorded).
    for (size_t id = 0; id < count; ++id) piece.starts[id].resize(before[id]);
    r.recorded = recordedBefore;
    for (size_t id = 0; id < count; ++id)
      if (r.totalFull || static_cast<int64_t>(id) == r.full) piece.complete[id] = false;
    if (r.totalFull) break;
  }
  return true;
}

}  // namespace

// One build, shared by the threads that sweep its pieces: pieces are
// claimed in order and merged in order, so the index is the same whichever
// thread swept which piece, and a pattern's starts stay sorted.
struct SignatureIndex::Sweep {
  Compiled& compiled = Patterns();
  const uint8_t* bytes;
  uint64_t size, chunk, pieces, longest;
  IndexLimits limits;
  std::function<bool()> stop;
  std::vector<uint64_t> lengths;

  std::mutex mutex;
  std::condition_variable changed;
  uint64_t claimed = 0, merged = 0;
  std::map<uint64_t, Piece> waiting;  // swept, behind one not merged yet
  int running = 0;
  bool failed = false, full = false, finished = false;
  std::shared_ptr<SignatureIndex> index;
  std::vector<bool> recording;
  uint64_t recorded = 0;

  // Pieces swept ahead of the merged ones at most: their records wait in
  // memory.
  static constexpr uint64_t kAhead = 4;

  // Claims, sweeps and merges pieces until none is left (nothing once the
  // build has ended: a helper may start after it).
  void work() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [this] {
        return finished || failed || full || claimed >= pieces || claimed < merged + kAhead;
      });
      if (finished || failed || full || claimed >= pieces) return;
      const uint64_t k = claimed++;
      ++running;
      lock.unlock();
      Piece piece;
      const uint64_t from = k * chunk;
      const bool ok =
          !(stop && stop()) && SweepPiece(compiled, bytes, size, from, std::min(size, from + chunk),
                                          lengths, longest, limits, piece);
      lock.lock();
      --running;
      if (!ok) failed = true;
      if (ok) waiting.emplace(k, std::move(piece));
      for (auto it = waiting.find(merged); it != waiting.end(); it = waiting.find(merged)) {
        merge(it->second, merged * chunk);
        waiting.erase(it);
        ++merged;
      }
      changed.notify_all();
    }
  }

  // Takes on a piece's starts, behind those of the pieces before it, while
  // the index's limits allow; a pattern it cannot take is covered up to the
  // piece's start, and searched by sweeping from there.
  void merge(Piece& piece, uint64_t from) {
    if (full) return;
    const size_t count = recording.size();
    uint64_t adding = 0;
    for (size_t id = 0; id < count; ++id) {
      if (!recording[id]) continue;
      if (!piece.complete[id] ||
          index->starts_[id].size() + piece.starts[id].size() > limits.perPattern) {
        recording[id] = false;
        index->covered_[id] = from;
        continue;
      }
      adding += piece.starts[id].size();
    }
    if (recorded + adding > limits.total) {
      for (size_t id = 0; id < count; ++id) {
        if (!recording[id]) continue;
        recording[id] = false;
        index->covered_[id] = from;
      }
      full = true;
      return;
    }
    recorded += adding;
    for (size_t id = 0; id < count; ++id) {
      if (!recording[id]) continue;
      for (const uint64_t start : piece.starts[id]) index->append(static_cast<uint32_t>(id), start);
    }
  }
};

std::shared_ptr<const SignatureIndex> SignatureIndex::build(const uint8_t* bytes, uint64_t size,
                                                            const std::function<bool()>& stop,
                                                            IndexLimits limits,
                                                            const SweepHelpers& helpers) {
  Compiled& compiled = Patterns();
  if (!compiled.usable) return nullptr;
  auto sweep = std::make_shared<Sweep>();
  sweep->bytes = bytes;
  sweep->size = size;
  sweep->chunk = std::max<uint64_t>(limits.chunk, 4096);
  sweep->pieces = (size + sweep->chunk - 1) / sweep->chunk;
  sweep->limits = limits;
  sweep->stop = stop;
  sweep->longest = 0;
  for (const SweptPattern& p : compiled.patterns) {
    sweep->lengths.push_back(p.length());
    sweep->longest = std::max(sweep->longest, p.length());
  }
  const size_t count = compiled.patterns.size();
  sweep->index = std::shared_ptr<SignatureIndex>(new SignatureIndex);
  sweep->index->starts_.resize(count);
  sweep->index->regions_.resize(count);
  sweep->index->regionBits_ = std::min(limits.regionBits, 32u);
  sweep->index->covered_.assign(count, size);
  sweep->recording.assign(count, true);

  if (helpers && sweep->pieces > 1)
    helpers(static_cast<size_t>(sweep->pieces - 1), [sweep] { sweep->work(); });
  sweep->work();
  std::unique_lock<std::mutex> lock(sweep->mutex);
  sweep->changed.wait(lock, [&] { return sweep->running == 0; });
  // Helpers that start from now on find nothing to do.
  sweep->finished = true;
  sweep->changed.notify_all();
  if (sweep->failed || (stop && stop())) return nullptr;
  const uint64_t regions = (size >> sweep->index->regionBits_) + 1;
  for (size_t id = 0; id < count; ++id) {
    std::vector<uint64_t>& r = sweep->index->regions_[id];
    r.resize(regions + 1, sweep->index->starts_[id].size());
    sweep->index->starts_[id].shrink_to_fit();
  }
  return sweep->index;
}

void SignatureIndex::append(uint32_t id, uint64_t start) {
  std::vector<uint32_t>& low = starts_[id];
  std::vector<uint64_t>& regions = regions_[id];
  while (regions.size() <= start >> regionBits_) regions.push_back(low.size());
  low.push_back(static_cast<uint32_t>(start & ((uint64_t{1} << regionBits_) - 1)));
}

uint64_t SignatureIndex::next(uint32_t id, uint64_t from, uint64_t limit) const {
  const std::vector<uint32_t>& low = starts_[id];
  const std::vector<uint64_t>& regions = regions_[id];
  const uint64_t mask = (uint64_t{1} << regionBits_) - 1;
  for (uint64_t r = from >> regionBits_; r + 1 < regions.size(); ++r) {
    const auto first = low.begin() + static_cast<ptrdiff_t>(regions[r]);
    const auto last = low.begin() + static_cast<ptrdiff_t>(regions[r + 1]);
    const auto at = static_cast<uint32_t>(r == from >> regionBits_ ? from & mask : 0);
    const auto it = std::lower_bound(first, last, at);
    if (it != last) {
      const uint64_t p = (r << regionBits_) | *it;
      return p < limit ? p : npos;
    }
  }
  return npos;
}

uint64_t SignatureIndex::recorded() const {
  uint64_t n = 0;
  for (const auto& s : starts_) n += s.size();
  return n;
}

Buffer WithSignatureIndex(const Buffer& data, const std::function<bool()>& stop,
                          const SignatureIndex::SweepHelpers& helpers) {
  if (data.indexed() || data.size() < SignatureIndex::kSmallestIndexed) return data;
  // A decoded buffer's index, alive beside its parent's, costs at most an
  // eighth of the buffer's own memory.
  IndexLimits limits;
  limits.total = std::min<uint64_t>(limits.total, data.size() / 64);
  limits.perPattern = std::min(limits.perPattern, limits.total);
  std::shared_ptr<const SignatureIndex> index =
      SignatureIndex::build(data.data(), data.size(), stop, limits, helpers);
  return index ? data.withIndex(std::move(index)) : data;
}

}  // namespace strellbox
