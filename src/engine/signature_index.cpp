#include "engine/signature_index.h"

#include <hs/hs.h>

#include <algorithm>
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
// a slower algorithm: past it, two sweeps cost less than one.
constexpr size_t kLiteralsPerSweep = 16;

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

std::shared_ptr<const SignatureIndex> SignatureIndex::build(const uint8_t* bytes, uint64_t size,
                                                            const std::function<bool()>& stop,
                                                            IndexLimits limits) {
  Compiled& compiled = Patterns();
  if (!compiled.usable) return nullptr;
  const size_t count = compiled.patterns.size();
  std::vector<bool> recording(count, true);
  auto index = std::shared_ptr<SignatureIndex>(new SignatureIndex);
  index->starts_.resize(count);
  index->covered_.assign(count, size);
  std::vector<uint64_t> lengths;
  uint64_t longest = 0;
  for (const SweptPattern& p : compiled.patterns) {
    lengths.push_back(p.length());
    longest = std::max(longest, p.length());
  }
  Recording r{&index->starts_, &lengths, &recording, 0, 0, limits.perPattern, limits.total, 0};
  const uint64_t chunk = std::max<uint64_t>(limits.chunk, 4096);
  std::vector<size_t> before(count);
  bool full = false;
  for (uint64_t at = 0; at < size && !full;) {
    if (stop && stop()) return nullptr;
    const uint64_t end = std::min(size, at + chunk);
    // A start near the chunk's end needs the bytes after it.
    const uint64_t scanned = std::min(size, end + longest - 1) - at;
    for (size_t g = 0; g < compiled.groups && !full;) {
      const hs_database_t* database = compiled.database(g, recording);
      if (!database) {
        ++g;
        continue;
      }
      hs_scratch_t* scratch = Scratch(database);
      if (!scratch) return nullptr;
      for (size_t id = 0; id < count; ++id) before[id] = index->starts_[id].size();
      r.chunkStart = at;
      r.chunkEnd = end;
      r.full = -1;
      r.totalFull = false;
      const uint64_t recordedBefore = r.recorded;
      const hs_error_t e = hs_scan(database, reinterpret_cast<const char*>(bytes + at),
                                   static_cast<unsigned int>(scanned), 0, scratch, OnMatch, &r);
      if (e != HS_SUCCESS && e != HS_SCAN_TERMINATED) return nullptr;
      if (r.full < 0) {
        ++g;
        continue;
      }
      // A pattern ran over: the group sweeps this chunk again without it
      // (or, when the index as a whole is full, nothing more is recorded),
      // and the searches for it sweep from the chunk's start on.
      for (size_t id = 0; id < count; ++id) index->starts_[id].resize(before[id]);
      r.recorded = recordedBefore;
      full = r.totalFull;
      for (size_t id = 0; id < count; ++id) {
        if (!recording[id] || (!full && static_cast<int64_t>(id) != r.full)) continue;
        recording[id] = false;
        index->covered_[id] = at;
      }
    }
    at = end;
  }
  for (auto& s : index->starts_) s.shrink_to_fit();
  return index;
}

uint64_t SignatureIndex::next(uint32_t id, uint64_t from, uint64_t limit) const {
  const std::vector<uint64_t>& starts = starts_[id];
  const auto it = std::lower_bound(starts.begin(), starts.end(), from);
  return it != starts.end() && *it < limit ? *it : npos;
}

uint64_t SignatureIndex::recorded() const {
  uint64_t n = 0;
  for (const auto& s : starts_) n += s.size();
  return n;
}

Buffer WithSignatureIndex(const Buffer& data, const std::function<bool()>& stop) {
  if (data.indexed() || data.size() < SignatureIndex::kSmallestIndexed) return data;
  // A decoded buffer's index, alive beside its parent's, costs at most an
  // eighth of the buffer's own memory.
  IndexLimits limits;
  limits.total = std::min<uint64_t>(limits.total, data.size() / 64);
  limits.perPattern = std::min(limits.perPattern, limits.total);
  std::shared_ptr<const SignatureIndex> index =
      SignatureIndex::build(data.data(), data.size(), stop, limits);
  return index ? data.withIndex(std::move(index)) : data;
}

}  // namespace strellbox
