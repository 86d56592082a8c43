// With extended detection, the flate row also opens the archives today's
// files are made of: the members of gzip files (most of a browser cache)
// and the members of zip archives (docx, xlsx, odt, epub, jar, apk), each
// inflated and scanned again like a zlib stream, with the same depth limit,
// output cap and work budget.
#include <fmt/format.h>
#include <zlib.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "engine/classify.h"
#include "engine/cursor.h"
#include "engine/decoder_table.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/archives.h"
#include "extractors/zip_deflate.h"

namespace strellbox {

namespace {

constexpr uint64_t npos = Buffer::npos;
// Buffers of this length or less are left alone, as by the deflate pass.
constexpr uint64_t kMinLength = 100;

// --- gzip (RFC 1952) ---------------------------------------------------------

constexpr std::string_view kGzipMagic = "\x1F\x8B\x08";  // and deflate
constexpr uint8_t kFlagHeaderCRC = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;
constexpr uint8_t kFlagsReserved = 0xE0;
constexpr uint64_t kGzipFixedHeader = 10;
constexpr uint64_t kGzipTrailer = 8;  // CRC-32 and the length mod 2^32
// A name or comment longer than this is taken for other data: real ones
// are a file name or a line.
constexpr uint64_t kMaxGzipText = 4096;

struct GzipHeader {
  uint64_t deflateAt = 0;  // the first byte of the deflate data
  std::string name;        // FNAME, Latin-1 as written; empty when absent
};

std::optional<GzipHeader> ReadGzipHeader(const Buffer& b, uint64_t p) {
  Cursor c(b, p);
  // The magic, the method, the flags, the time, extra flags and system.
  Cursor fixed = c.window(kGzipFixedHeader);
  fixed.skip(3);
  const std::optional<uint8_t> flags = fixed.u8();
  if (!flags || (*flags & kFlagsReserved)) return std::nullopt;
  GzipHeader h;
  if (*flags & kFlagExtra) {
    const std::optional<uint16_t> extra = c.le16();
    if (!extra || !c.skip(*extra)) return std::nullopt;
  }
  // A name or comment is zero-terminated within kMaxGzipText bytes.
  if (*flags & kFlagName) {
    const std::optional<std::string_view> name = c.terminated(0, kMaxGzipText);
    if (!name) return std::nullopt;
    h.name = std::string(*name);
  }
  if ((*flags & kFlagComment) && !c.terminated(0, kMaxGzipText)) return std::nullopt;
  if (*flags & kFlagHeaderCRC) {
    const uint64_t crc = crc32(0, b.data() + p, static_cast<uInt>(c.at() - p)) & 0xFFFF;
    const std::optional<uint16_t> stated = c.le16();
    if (!stated || *stated != crc) return std::nullopt;
  }
  if (c.left() == 0) return std::nullopt;
  h.deflateAt = c.at();
  return h;
}

uint32_t Crc32(const Buffer& b) {
  uLong crc = crc32(0, nullptr, 0);
  for (uint64_t at = 0; at < b.size();) {
    const uint64_t chunk = std::min<uint64_t>(b.size() - at, uint64_t{1} << 30);
    crc = crc32(crc, b.data() + at, static_cast<uInt>(chunk));
    at += chunk;
  }
  return static_cast<uint32_t>(crc);
}

// The extension a file name gives, when it is a plain one (letters and
// digits, at most 8 of them); else "".
std::string PlainExtension(const std::string& name) {
  const std::string last = LastPathComponent(name);
  const std::string stem = DeletingPathExtension(last);
  if (stem.size() + 1 >= last.size()) return "";
  const std::string ext = last.substr(stem.size() + 1);
  if (ext.size() > 8) return "";
  for (char c : ext)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return "";
  return ext;
}

// --- zip ---------------------------------------------------------------------

constexpr std::string_view kLocalHeader = "PK\x03\x04";
constexpr std::string_view kCentralHeader = "PK\x01\x02";
constexpr std::string_view kEndRecord = "PK\x05\x06";
constexpr std::string_view kZip64EndRecord = "PK\x06\x06";
constexpr std::string_view kZip64Locator = "PK\x06\x07";
constexpr std::string_view kDescriptor = "PK\x07\x08";
constexpr uint64_t kLocalFixed = 30;
constexpr uint64_t kCentralFixed = 46;
constexpr uint64_t kEndFixed = 22;
constexpr uint64_t kZip64LocatorLength = 20;
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDescriptor = 0x0008;
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
// Methods read through libarchive once the archive's end is known.
constexpr uint16_t kBzip2 = 12, kLzmaMethod = 14, kZstdMethod = 93, kXzMethod = 95;
constexpr uint16_t kZip64Extra = 0x0001;
// Records walked in one archive at most: more members than the 65535 a
// classic end record can count, as zip64 archives may have, but a bound on
// what crafted local headers can make the walk do.
constexpr uint64_t kMaxRecords = uint64_t{1} << 20;

// One member as its local header gives it.
struct Member {
  uint64_t header = 0;  // the local header
  uint64_t dataAt = 0;
  uint16_t flags = 0, method = 0;
  uint64_t compressed = 0, size = 0;
  bool sizesKnown = false;  // not left for a data descriptor
  bool zip64 = false;
  std::string_view name;
};

std::optional<Member> ReadLocalHeader(const Buffer& b, uint64_t q) {
  Cursor c(b, q);
  if (!c.startsWith(kLocalHeader)) return std::nullopt;
  c.skip(kLocalHeader.size() + 2);  // and the version needed
  const std::optional<uint16_t> flags = c.le16(), method = c.le16();
  c.skip(8);  // time, date, CRC-32
  const std::optional<uint32_t> compressed = c.le32(), size = c.le32();
  const std::optional<uint16_t> nameLength = c.le16(), extraLength = c.le16();
  if (!c.ok()) return std::nullopt;
  const std::optional<std::string_view> name = c.bytes(*nameLength);
  Cursor extra = c.window(*extraLength);
  if (!c.ok()) return std::nullopt;
  Member m;
  m.header = q;
  m.dataAt = c.at();
  m.flags = *flags;
  m.method = *method;
  m.compressed = *compressed;
  m.size = *size;
  m.name = *name;
  // Zip64: the sizes that do not fit stand in the extra field, the
  // uncompressed one first.
  if (m.compressed == 0xFFFFFFFF || m.size == 0xFFFFFFFF) {
    while (extra.left() >= 4) {
      const std::optional<uint16_t> id = extra.le16(), length = extra.le16();
      Cursor field = extra.window(*length);
      if (!extra.ok()) break;
      if (*id == kZip64Extra) {
        if (m.size == 0xFFFFFFFF)
          if (const std::optional<uint64_t> v = field.le64()) m.size = *v;
        if (m.compressed == 0xFFFFFFFF)
          if (const std::optional<uint64_t> v = field.le64()) m.compressed = *v;
        m.zip64 = true;
        break;
      }
    }
  }
  m.sizesKnown = !(m.flags & kFlagDescriptor) || m.compressed != 0;
  return m;
}

// The length of the data descriptor at `at` for data of `compressed` bytes
// (with or without its signature, 32- or 64-bit sizes), or 0 when none
// stands there.
uint64_t DescriptorLength(const Buffer& b, uint64_t at, uint64_t compressed) {
  Cursor c(b, at);
  c.skip(c.startsWith(kDescriptor) ? 8 : 4);  // the signature and CRC-32, or the CRC-32
  const uint64_t head = c.at() - at;
  if (Cursor(c).window(8).le32() == compressed) return head + 8;
  if (Cursor(c).window(16).le64() == compressed) return head + 16;
  return 0;
}

// The data of a stored member whose size went into the descriptor: up to
// the first descriptor whose compressed size is the distance to it.
uint64_t FindStoredEnd(const Buffer& b, uint64_t dataAt) {
  for (uint64_t h = b.find(kDescriptor, dataAt); h != npos; h = b.find(kDescriptor, h + 1)) {
    if (Cursor(b, h + 8).le32() == h - dataAt) return h;
    if (Cursor(b, h + 8).le64() == h - dataAt) return h;
  }
  return npos;
}

// The end of the archive whose central directory starts at q: past its
// central records, any zip64 end record and locator, and the end record
// with its comment. npos when the records do not lead to an end record.
uint64_t ArchiveEnd(const Buffer& b, uint64_t q) {
  Cursor c(b, q);
  for (uint64_t records = 0; c.startsWith(kCentralHeader); ++records) {
    if (records == kMaxRecords) return npos;
    Cursor fixed = Cursor(c).window(kCentralFixed);
    fixed.skip(28);  // to the lengths of the name, extra field and comment
    const std::optional<uint16_t> name = fixed.le16(), extra = fixed.le16(), comment = fixed.le16();
    if (!fixed.ok() || !c.step(kCentralFixed + uint64_t{*name} + *extra + *comment)) return npos;
  }
  if (c.startsWith(kZip64EndRecord)) {
    c.skip(kZip64EndRecord.size());
    const std::optional<uint64_t> length = c.le64();  // what follows it
    if (!length || !c.skip(*length)) return npos;
  }
  if (c.startsWith(kZip64Locator)) c.skip(kZip64LocatorLength);
  if (!c.startsWith(kEndRecord)) return npos;
  c.skip(kEndFixed - 2);
  const std::optional<uint16_t> comment = c.le16();
  if (!comment || !c.skip(*comment)) return npos;
  return c.at();
}

}  // namespace

int32_t strellGzip(ScanContext& context, const Buffer& data, const std::string& from,
                   bool saveInflates) {
  const uint64_t n = data.size();
  if (n <= kMinLength) return 0;
  const std::string base = DeletingPathExtension(from);
  Inflater inflater;
  InflateBudget budget(n);
  int32_t count = 0;

  // The members of a stream (cat a.gz b.gz) and of every stream in the
  // buffer share one output allowance: what one stream may inflate to, and
  // as much again spread over the buffer, earned as the search advances. A
  // file of hundreds of members that each inflate to the cap thus costs
  // about two caps, not hundreds.
  const uint64_t cap = InflateCap(n);
  uint64_t outputSpent = 0;
  auto outputLeftAt = [&](uint64_t p) {
    const double earned =
        static_cast<double>(cap) * (1.0 + static_cast<double>(p) / static_cast<double>(n));
    const uint64_t allowed = earned >= 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(earned);
    return std::min(allowed > outputSpent ? allowed - outputSpent : 0, context.decodedAllowance());
  };

  // Inflates and checks the member at p; its end, or npos when it does not
  // inflate or its trailer does not match.
  auto member = [&](uint64_t p, const GzipHeader& h, bool retry) {
    Inflater::Limits limits =
        retry ? budget.retryLimitsAt(h.deflateAt) : budget.limitsAt(h.deflateAt);
    limits.output = outputLeftAt(p);
    std::optional<Buffer> inflated =
        inflater.inflate(data, h.deflateAt, limits, InflateFormat::kRaw);
    const Inflater::Attempt& attempt = inflater.lastAttempt();
    // Failed attempts spend the allowance too, or a flood of members that
    // each stop at what is left would cost what is left, each.
    outputSpent += attempt.produced;
    if (retry)
      budget.chargeRetry(h.deflateAt, attempt);
    else
      budget.charge(h.deflateAt, attempt, p);
    const uint64_t trailer = h.deflateAt + attempt.consumed;
    if (!inflated || !data.has(trailer, kGzipTrailer) || data.le32(trailer) != Crc32(*inflated) ||
        data.le32(trailer + 4) != static_cast<uint32_t>(inflated->size()))
      return npos;
    const std::string nested =
        h.name.empty() ? fmt::format("{}-inflated", base) : LastPathComponent(h.name);
    DecodedChild child{std::move(*inflated), DecoderId::kGzip, p, h.name};
    count += context.scanChild(data, child, nested).items;
    const Buffer& bytes = child.bytes;
    if (saveInflates) {
      std::string type = GuessExtension(bytes);
      if (type == "xls") type = "ms-ole-storage";
      if (type.empty()) type = PlainExtension(h.name);
      if (type.empty()) type = "inflated";
      const std::string name =
          h.name.empty() ? fmt::format("{}[{}]", base, p) : LastPathComponent(h.name);
      context.saveStrell(bytes, 0, bytes.size(), type, name, count, ItemEnd::kDecoded);
    }
    ++count;
    return trailer + kGzipTrailer;
  };

  uint64_t position = 0;
  while (position < n - 8 && !context.stopStreller()) {
    const uint64_t p = data.find(kGzipMagic, position, n - 8);
    if (p == npos) break;
    const std::optional<GzipHeader> header = ReadGzipHeader(data, p);
    const uint64_t end = header ? member(p, *header, false) : npos;
    // The next member of a file of several follows directly.
    position = end != npos ? end : p + kGzipMagic.size();
  }
  for (uint64_t p : budget.takeStarved()) {
    if (context.stopStreller()) break;
    member(p, *ReadGzipHeader(data, p), true);
  }
  return count;
}

int32_t strellZipMembers(ScanContext& context, const Buffer& data, const std::string& from,
                         bool reportArchives) {
  const uint64_t n = data.size();
  if (n <= kMinLength) return 0;
  const std::string base = DeletingPathExtension(from);
  Inflater inflater;
  InflateBudget budget(n);
  int32_t count = 0;

  // Scans one member's bytes again, named after the member.
  auto scanMember = [&](const Member& m, const Buffer& bytes) {
    const std::string name = LastPathComponent(std::string(m.name));
    DecodedChild child{bytes, DecoderId::kZipMember, m.dataAt, std::string(m.name)};
    count += context.scanChild(data, child, name.empty() ? fmt::format("{}-inflated", base) : name)
                 .items;
  };

  // Walks the members from the local header at p; returns where the walk
  // stopped (the central directory when it went well). The members packed
  // with other methods are noted in `packed`.
  std::vector<std::string> packed;
  auto walk = [&](uint64_t p) {
    packed.clear();
    uint64_t q = p;
    for (uint64_t records = 0; records < kMaxRecords && !context.stopStreller(); ++records) {
      const std::optional<Member> m = ReadLocalHeader(data, q);
      if (!m) break;
      const bool directory = !m->name.empty() && m->name.back() == '/';
      const bool readable = !(m->flags & kFlagEncrypted) && !directory;
      uint64_t compressed = m->compressed;
      if (m->method == kDeflated && (readable || !m->sizesKnown)) {
        Inflater::Limits limits = budget.limitsAt(m->dataAt);
        limits.output = context.decodedAllowance();
        std::optional<Buffer> inflated =
            inflater.inflate(data, m->dataAt, limits, InflateFormat::kRaw);
        budget.charge(m->dataAt, inflater.lastAttempt());
        if (!inflated) break;
        compressed = inflater.lastAttempt().consumed;
        if (m->sizesKnown && (compressed != m->compressed || inflated->size() != m->size)) break;
        if (readable && !inflated->empty()) scanMember(*m, *inflated);
      } else if (m->method == kStored || m->sizesKnown) {
        const uint16_t method = m->method;
        if (readable && m->compressed > 0 &&
            (method == kBzip2 || method == kLzmaMethod || method == kZstdMethod ||
             method == kXzMethod))
          packed.emplace_back(m->name);
        if (!m->sizesKnown) {
          const uint64_t end = FindStoredEnd(data, m->dataAt);
          if (end == npos) break;
          compressed = end - m->dataAt;
        }
        if (compressed > n - m->dataAt) break;
        if (m->method == kStored && readable && compressed > 0)
          scanMember(*m, data.slice(m->dataAt, compressed));
      } else {
        break;  // another method, its size left for the descriptor: the end is unknown
      }
      q = m->dataAt + compressed;
      if (m->flags & kFlagDescriptor) {
        const uint64_t length = DescriptorLength(data, q, compressed);
        if (length == 0) break;
        q += length;
      }
    }
    return q;
  };

  uint64_t position = 0;
  while (position < n - 8 && !context.stopStreller()) {
    const uint64_t p = data.find(kLocalHeader, position, n - 8);
    if (p == npos) break;
    const uint64_t stopped = walk(p);
    const uint64_t end = ArchiveEnd(data, stopped);
    if (end != npos) {
      count += strellZipPackedMembers(context, data, p, end, packed, from);
      if (reportArchives) {
        context.saveStrell(data, p, end - p, "zip", base, count, ItemEnd::kWalk);
        ++count;
      }
      position = end;
      continue;
    }
    if (reportArchives) {
      // Measured as the classic rules do; an item that runs to the end of
      // the buffer ends the search.
      const CarveLength measured = ZipLengthByEndRecord(data, p);
      const uint64_t length = measured.length;
      context.saveStrell(data, p, length, "zip", base, count,
                         measured.end.value_or(ItemEnd::kMarker));
      ++count;
      position = std::max(p + length, stopped);
      continue;
    }
    // Search on behind what the walk took, so that a zip stored in a
    // member is not walked again here (its own scan walks it).
    position = stopped > p ? stopped : p + kLocalHeader.size();
  }
  return count;
}

std::optional<Buffer> DecodeGzipMemberAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  if (!data.startsWith(offset, kGzipMagic)) return std::nullopt;
  const std::optional<GzipHeader> h = ReadGzipHeader(data, offset);
  if (!h) return std::nullopt;
  Inflater inflater;
  Inflater::Limits limits;
  limits.output = maxOutput;
  std::optional<Buffer> inflated =
      inflater.inflate(data, h->deflateAt, limits, InflateFormat::kRaw);
  const uint64_t trailer = h->deflateAt + inflater.lastAttempt().consumed;
  if (!inflated || !data.has(trailer, kGzipTrailer) || data.le32(trailer) != Crc32(*inflated) ||
      data.le32(trailer + 4) != static_cast<uint32_t>(inflated->size()))
    return std::nullopt;
  return inflated;
}

std::optional<Buffer> DecodeZipMemberAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  const std::optional<Member> m = ReadLocalHeader(data, offset);
  if (!m || (m->flags & kFlagEncrypted)) return std::nullopt;
  if (m->method == kStored) {
    if (!m->sizesKnown || !data.has(m->dataAt, m->compressed) || m->compressed > maxOutput)
      return std::nullopt;
    return data.slice(m->dataAt, m->compressed);
  }
  if (m->method != kDeflated) return std::nullopt;
  Inflater inflater;
  Inflater::Limits limits;
  limits.output = maxOutput;
  std::optional<Buffer> inflated = inflater.inflate(data, m->dataAt, limits, InflateFormat::kRaw);
  if (inflated && m->sizesKnown &&
      (inflater.lastAttempt().consumed != m->compressed || inflated->size() != m->size))
    return std::nullopt;
  return inflated;
}

}  // namespace strellbox
