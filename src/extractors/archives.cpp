// Archives and compressed streams through libarchive, from memory.
//
// libarchive knows the formats; we keep the bounds. Each candidate found by
// its signature is opened over the bytes from its start (or over exactly
// the archive, where its own records give its end), for its one format or
// filter only, so that a bid never wanders to another format. Every member
// is read in chunks up to what the gate still allows, so a bomb costs no
// more than the gate's budget; the entries of one archive and the
// candidates of one buffer are capped, so crafted headers cannot make the
// walk long.
#include "extractors/archives.h"

#include <archive.h>
#include <archive_entry.h>
#include <fmt/format.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

#include "engine/cursor.h"
#include "engine/decoder_table.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/scan_context.h"

namespace strellbox {

namespace {

constexpr uint64_t npos = Buffer::npos;
// Buffers of this length or less are left alone, as by the deflate pass.
constexpr uint64_t kMinLength = 100;
// Entries read from one archive at most: far more than real archives of
// pictures hold, a bound on what a header claiming 10^9 files can cost.
constexpr uint64_t kMaxEntries = uint64_t{1} << 16;
// Candidates opened in one buffer at most: each costs a library set-up,
// and random data holds a false signature now and then.
constexpr size_t kMaxCandidates = 4096;
// What one read from the library asks for.
constexpr size_t kChunk = 64 * 1024;

std::atomic<uint64_t> gArchiveOutput{0};

enum class Kind : uint8_t {
  kTar,
  kSevenZip,
  kRar,
  kCab,
  kCpio,
  kAr,
  kIso,
  kXz,
  kBzip2,
  kZstd,
  kLz4,
  kLzip,
};

struct Signature {
  Kind kind;
  std::string_view magic;
  uint64_t back;  // where the magic stands after the start
  std::string_view name;
};

constexpr std::string_view kSevenZipMagic{"7z\xBC\xAF\x27\x1C", 6};
constexpr std::string_view kCabMagic{"MSCF\0\0\0\0", 8};

const Signature kSignatures[] = {
    {Kind::kTar, "ustar", 257, "tar"},
    {Kind::kSevenZip, kSevenZipMagic, 0, "7z"},
    {Kind::kRar, "Rar!\x1A\x07", 0, "rar"},
    {Kind::kCab, kCabMagic, 0, "cab"},
    {Kind::kCpio, "07070", 0, "cpio"},
    {Kind::kAr, "!<arch>\n", 0, "ar"},
    {Kind::kIso,
     "\x01"
     "CD001",
     0x8000, "iso"},
    {Kind::kXz,
     {"\xFD"
      "7zXZ\0",
      6},
     0,
     "xz"},
    {Kind::kBzip2, "1AY&SY", 4, "bzip2"},
    {Kind::kZstd, "\x28\xB5\x2F\xFD", 0, "zstd"},
    {Kind::kLz4, "\x04\x22\x4D\x18", 0, "lz4"},
    {Kind::kLzip, "LZIP\x01", 0, "lzip"},
};

bool IsCompressor(Kind kind) { return kind >= Kind::kXz; }

DecoderId CompressorDecoder(Kind kind) {
  switch (kind) {
    case Kind::kXz:
      return DecoderId::kXz;
    case Kind::kBzip2:
      return DecoderId::kBzip2;
    case Kind::kZstd:
      return DecoderId::kZstd;
    case Kind::kLz4:
      return DecoderId::kLz4;
    default:
      return DecoderId::kLzip;
  }
}

// Whether the bytes at p pass the checks the magic alone leaves open.
bool Plausible(const Buffer& b, Kind kind, uint64_t p) {
  switch (kind) {
    case Kind::kBzip2: {
      const uint8_t level = b.u8(p + 3);
      return b.startsWith(p, "BZh") && level >= '1' && level <= '9';
    }
    case Kind::kCpio: {
      const uint8_t c = b.u8(p + 5);
      return c == '1' || c == '2' || c == '7';
    }
    default:
      return true;
  }
}

// --- archives measured by their own records ----------------------------------

constexpr uint64_t kTarBlock = 512;
// GNU tar writes records of 20 blocks, padded with zeros.
constexpr uint64_t kTarRecord = 20 * kTarBlock;

// A tar number: octal digits (spaces and NULs around them), or base-256
// with the high bit of the first byte set.
std::optional<uint64_t> TarNumber(std::string_view field) {
  if (!field.empty() && (static_cast<uint8_t>(field[0]) & 0x80)) {
    uint64_t v = static_cast<uint8_t>(field[0]) & 0x3F;
    for (size_t i = 1; i < field.size(); ++i) {
      if (v >> 55) return std::nullopt;  // beyond any buffer
      v = (v << 8) | static_cast<uint8_t>(field[i]);
    }
    return v;
  }
  uint64_t v = 0;
  size_t i = 0;
  while (i < field.size() && field[i] == ' ') ++i;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '7'; ++i) v = v * 8 + (field[i] - '0');
  for (; i < field.size(); ++i)
    if (field[i] != ' ' && field[i] != '\0') return std::nullopt;
  return v;
}

bool AllZero(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0'; });
}

bool TarChecksumOk(std::string_view header) {
  const std::optional<uint64_t> stated = TarNumber(header.substr(148, 8));
  if (!stated) return false;
  uint64_t sum = 0;
  for (size_t i = 0; i < header.size(); ++i)
    sum += (i >= 148 && i < 156) ? ' ' : static_cast<uint8_t>(header[i]);
  return sum == *stated;
}

// The entries of a decoded child, a chunk at a time within the allowance.
enum class Read : uint8_t { kDone, kFailed, kOverBudget };

Read ReadEntry(archive* a, uint64_t allowance, std::vector<uint8_t>& out) {
  std::vector<uint8_t> chunk(kChunk);
  for (;;) {
    const la_ssize_t got = archive_read_data(a, chunk.data(), chunk.size());
    if (got < 0) return Read::kFailed;
    if (got == 0) return Read::kDone;
    gArchiveOutput.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
    if (static_cast<uint64_t>(got) > allowance - std::min<uint64_t>(allowance, out.size()))
      return Read::kOverBudget;
    out.insert(out.end(), chunk.begin(), chunk.begin() + got);
  }
}

struct ArchiveFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveFree>;

// A reader for the one format or filter of `kind` over [p, end).
ArchivePtr Open(const Buffer& b, Kind kind, uint64_t p, uint64_t end) {
  ArchivePtr a(archive_read_new());
  if (!a) return a;
  archive* r = a.get();
  switch (kind) {
    case Kind::kTar:
      archive_read_support_format_tar(r);
      break;
    case Kind::kSevenZip:
      archive_read_support_format_7zip(r);
      break;
    case Kind::kRar:
      archive_read_support_format_rar(r);
      archive_read_support_format_rar5(r);
      break;
    case Kind::kCab:
      archive_read_support_format_cab(r);
      break;
    case Kind::kCpio:
      archive_read_support_format_cpio(r);
      break;
    case Kind::kAr:
      archive_read_support_format_ar(r);
      break;
    case Kind::kIso:
      archive_read_support_format_iso9660(r);
      break;
    case Kind::kXz:
      archive_read_support_filter_xz(r);
      break;
    case Kind::kBzip2:
      archive_read_support_filter_bzip2(r);
      break;
    case Kind::kZstd:
      archive_read_support_filter_zstd(r);
      break;
    case Kind::kLz4:
      archive_read_support_filter_lz4(r);
      break;
    case Kind::kLzip:
      archive_read_support_filter_lzip(r);
      break;
  }
  if (IsCompressor(kind)) archive_read_support_format_raw(r);
  if (archive_read_open_memory(r, b.data() + p, end - p) != ARCHIVE_OK) a.reset();
  return a;
}

int FilterCode(Kind kind) {
  switch (kind) {
    case Kind::kXz:
      return ARCHIVE_FILTER_XZ;
    case Kind::kBzip2:
      return ARCHIVE_FILTER_BZIP2;
    case Kind::kZstd:
      return ARCHIVE_FILTER_ZSTD;
    case Kind::kLz4:
      return ARCHIVE_FILTER_LZ4;
    default:
      return ARCHIVE_FILTER_LZIP;
  }
}

// Reads the archive or stream of `kind` over [p, end) and hands what it
// holds to `take` (member path, bytes); `wanted` filters the members by
// path when given. Returns the number of entries read.
template <typename Take, typename Wanted>
uint64_t ReadArchive(ScanContext* context, const Buffer& b, Kind kind, uint64_t p, uint64_t end,
                     uint64_t allowance, const std::string& from, Wanted wanted, Take take) {
  ArchivePtr a = Open(b, kind, p, end);
  if (!a) return 0;
  uint64_t entries = 0;
  for (; entries < kMaxEntries; ++entries) {
    if (context && context->stopStreller()) break;
    archive_entry* entry = nullptr;
    const int r = archive_read_next_header(a.get(), &entry);
    if (r == ARCHIVE_EOF || r == ARCHIVE_FATAL) break;
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) continue;  // this entry only
    if (IsCompressor(kind) && archive_filter_code(a.get(), 0) != FilterCode(kind)) break;
    const char* path = archive_entry_pathname(entry);
    const std::string name = path ? path : "";
    if (!IsCompressor(kind) && archive_entry_filetype(entry) != AE_IFREG) continue;
    if (!wanted(name)) continue;
    if (archive_entry_is_encrypted(entry)) {
      StrellLog(fmt::format("Encrypted member {} in {} not read", name, from));
      continue;
    }
    std::vector<uint8_t> out;
    const Read read = ReadEntry(a.get(), allowance, out);
    if (read == Read::kOverBudget) {
      StrellLog(fmt::format("Member {} in {} over the decoded budget", name, from));
      break;
    }
    // A compressor's output cut by damage is still what it decoded; a
    // member cut short is left out, as it would be written damaged.
    if (read == Read::kFailed && (!IsCompressor(kind) || out.empty())) continue;
    if (out.empty()) continue;
    allowance -= out.size();
    if (!take(name, Buffer(std::move(out)))) break;
    if (IsCompressor(kind)) break;
  }
  return entries;
}

std::string FormatName(Kind kind) {
  for (const Signature& s : kSignatures)
    if (s.kind == kind) return std::string(s.name);
  return "archive";
}

}  // namespace

std::optional<uint64_t> TarEnd(const Buffer& data, uint64_t p) {
  Cursor c(data, p);
  for (uint64_t records = 0; records < kMaxEntries * 4; ++records) {
    const std::optional<std::string_view> header = c.bytes(kTarBlock);
    if (!header) return std::nullopt;
    if (AllZero(*header)) {
      const std::optional<std::string_view> second = c.bytes(kTarBlock);
      if (!second || !AllZero(*second) || records == 0) return std::nullopt;
      // And the zero blocks that fill its last record.
      while ((c.at() - p) % kTarRecord != 0) {
        const std::optional<std::string_view> pad = Cursor(c).bytes(kTarBlock);
        if (!pad || !AllZero(*pad)) break;
        c.skip(kTarBlock);
      }
      return c.at();
    }
    if (!TarChecksumOk(*header)) return std::nullopt;
    const std::optional<uint64_t> size = TarNumber(header->substr(124, 12));
    if (!size || *size > c.left()) return std::nullopt;
    c.skip((*size + kTarBlock - 1) / kTarBlock * kTarBlock);
    if (!c.ok()) return std::nullopt;
  }
  return std::nullopt;
}

std::optional<uint64_t> SevenZipEnd(const Buffer& data, uint64_t p) {
  constexpr uint64_t kStartHeader = 32;
  Cursor c(data, p);
  if (!c.startsWith(kSevenZipMagic)) return std::nullopt;
  c.skip(kSevenZipMagic.size() + 2);  // and the version
  const std::optional<uint32_t> crc = c.le32();
  const std::optional<std::string_view> start = Cursor(c).bytes(20);
  const std::optional<uint64_t> offset = c.le64(), size = c.le64();
  if (!c.ok() || !start) return std::nullopt;
  const auto* bytes = reinterpret_cast<const Bytef*>(start->data());
  if (crc32(crc32(0, nullptr, 0), bytes, 20) != *crc) return std::nullopt;
  Cursor rest(data, p + kStartHeader);
  if (*offset > rest.left() || !rest.skip(*offset) || !rest.skip(*size) || *size == 0)
    return std::nullopt;
  return rest.at();
}

std::optional<uint64_t> CabinetEnd(const Buffer& data, uint64_t p) {
  Cursor c(data, p);
  if (!c.startsWith(kCabMagic)) return std::nullopt;
  c.skip(kCabMagic.size());
  const std::optional<uint32_t> length = c.le32();
  if (!length || *length < 36 || *length > data.size() - p) return std::nullopt;
  return p + *length;
}

int32_t strellArchives(ScanContext& context, const Buffer& data, const std::string& from,
                       bool reportArchives) {
  const uint64_t n = data.size();
  if (n <= kMinLength) return 0;
  const std::string base = DeletingPathExtension(from);

  struct Candidate {
    uint64_t p;
    Kind kind;
  };
  std::vector<Candidate> candidates;
  static const std::vector<std::string_view> kMagics = [] {
    std::vector<std::string_view> magics;
    for (const Signature& s : kSignatures) magics.push_back(s.magic);
    return magics;
  }();
  // One sweep for every signature; a hit's start is its magic's offset back.
  size_t which = 0;
  for (uint64_t hit = data.findAny(kMagics, 0, npos, which);
       hit != npos && candidates.size() < kMaxCandidates;
       hit = data.findAny(kMagics, hit + 1, npos, which)) {
    // Another signature may stand at the same place (none do today).
    for (size_t k = which; k < std::size(kSignatures); ++k) {
      const Signature& s = kSignatures[k];
      if (hit >= s.back && data.startsWith(hit, s.magic) && Plausible(data, s.kind, hit - s.back))
        candidates.push_back({hit - s.back, s.kind});
    }
  }
  // Magics found back from their start come in the order of their hits.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& x, const Candidate& y) { return x.p < y.p; });

  int32_t count = 0;
  uint64_t coveredTo = 0;  // the end of the last archive measured
  for (const Candidate& cand : candidates) {
    if (context.stopStreller()) break;
    if (cand.p < coveredTo) continue;  // inside an archive read already
    const uint64_t allowance = context.decodedAllowance();
    std::optional<uint64_t> end;
    if (cand.kind == Kind::kTar) end = TarEnd(data, cand.p);
    if (cand.kind == Kind::kSevenZip) end = SevenZipEnd(data, cand.p);
    if (cand.kind == Kind::kCab) end = CabinetEnd(data, cand.p);
    // Formats measured by their records are only taken where they measure.
    if (!end && (cand.kind == Kind::kTar || cand.kind == Kind::kSevenZip)) continue;
    const std::string format = FormatName(cand.kind);
    bool any = false;
    ReadArchive(
        &context, data, cand.kind, cand.p, end.value_or(n), allowance, from,
        [](const std::string&) { return true; },
        [&](const std::string& name, Buffer bytes) {
          any = true;
          const bool compressor = IsCompressor(cand.kind);
          DecodedChild child{std::move(bytes),
                             compressor ? CompressorDecoder(cand.kind) : DecoderId::kArchiveMember,
                             cand.p,
                             compressor ? std::string() : fmt::format("{}:{}", format, name)};
          const std::string nested =
              compressor ? (base.empty() ? fmt::format("{}-{}", from, format) : base)
                         : LastPathComponent(name);
          const ChildOutcome outcome = context.scanChild(data, child, nested);
          count += outcome.items;
          return outcome.scan != ChildScan::kOverBudget && outcome.scan != ChildScan::kStopped;
        });
    if (end) {
      if (reportArchives && (any || cand.kind != Kind::kCab)) {
        context.saveStrell(data, cand.p, *end - cand.p,
                           cand.kind == Kind::kSevenZip ? "7z" : format, base, count,
                           cand.kind == Kind::kTar ? ItemEnd::kWalk : ItemEnd::kLength);
        ++count;
      }
      coveredTo = *end;
    }
  }
  return count;
}

int32_t strellZipPackedMembers(ScanContext& context, const Buffer& data, uint64_t p, uint64_t end,
                               const std::vector<std::string>& names, const std::string& from) {
  if (names.empty() || end <= p || end > data.size()) return 0;
  const std::set<std::string> wanted(names.begin(), names.end());
  ArchivePtr a(archive_read_new());
  if (!a) return 0;
  archive_read_support_format_zip_seekable(a.get());
  if (archive_read_open_memory(a.get(), data.data() + p, end - p) != ARCHIVE_OK) return 0;
  int32_t count = 0;
  uint64_t allowance = context.decodedAllowance();
  for (uint64_t entries = 0; entries < kMaxEntries && !context.stopStreller(); ++entries) {
    archive_entry* entry = nullptr;
    const int r = archive_read_next_header(a.get(), &entry);
    if (r == ARCHIVE_EOF || r == ARCHIVE_FATAL) break;
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) continue;
    const char* path = archive_entry_pathname(entry);
    const std::string name = path ? path : "";
    if (!wanted.count(name)) continue;
    std::vector<uint8_t> out;
    const Read read = ReadEntry(a.get(), allowance, out);
    if (read == Read::kOverBudget) {
      StrellLog(fmt::format("Member {} in {} over the decoded budget", name, from));
      break;
    }
    if (read == Read::kFailed || out.empty()) continue;
    allowance -= out.size();
    DecodedChild child{Buffer(std::move(out)), DecoderId::kZipMember, p, name};
    count += context.scanChild(data, child, LastPathComponent(name)).items;
  }
  return count;
}

namespace {

std::optional<Buffer> DecodeFirst(const Buffer& data, uint64_t offset, uint64_t maxOutput,
                                  std::initializer_list<Kind> kinds) {
  if (offset >= data.size()) return std::nullopt;
  for (Kind kind : kinds) {
    std::optional<Buffer> first;
    ReadArchive(
        nullptr, data, kind, offset, data.size(), maxOutput, "",
        [](const std::string&) { return true; },
        [&](const std::string&, Buffer bytes) {
          first = std::move(bytes);
          return false;
        });
    if (first) return first;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Buffer> DecodeArchiveMemberAt(const Buffer& data, uint64_t offset,
                                            uint64_t maxOutput) {
  return DecodeFirst(
      data, offset, maxOutput,
      {Kind::kTar, Kind::kSevenZip, Kind::kRar, Kind::kCab, Kind::kCpio, Kind::kAr, Kind::kIso});
}
std::optional<Buffer> DecodeXzAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  return DecodeFirst(data, offset, maxOutput, {Kind::kXz});
}
std::optional<Buffer> DecodeBzip2At(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  return DecodeFirst(data, offset, maxOutput, {Kind::kBzip2});
}
std::optional<Buffer> DecodeZstdAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  return DecodeFirst(data, offset, maxOutput, {Kind::kZstd});
}
std::optional<Buffer> DecodeLz4At(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  return DecodeFirst(data, offset, maxOutput, {Kind::kLz4});
}
std::optional<Buffer> DecodeLzipAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  return DecodeFirst(data, offset, maxOutput, {Kind::kLzip});
}

uint64_t ArchiveOutputSoFar() { return gArchiveOutput.load(std::memory_order_relaxed); }

}  // namespace strellbox
