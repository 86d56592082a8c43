// Browser cache entries and .br files, opened before the passes.
//
// A cache entry keeps a response's body as it came from the network, often
// compressed by its Content-Encoding, between records of the cache's own.
// Recognising one takes the records at both of its ends to agree with the
// file's length, so a buffer that only starts like one is scanned as any
// other. What the body decodes to goes to the gate, which owns the budget;
// a body that does not decode leaves the entry to the ordinary passes.
#include "extractors/cache_entry.h"

#include <fmt/format.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "engine/cursor.h"
#include "engine/decoder_table.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/brotli.h"
#include "extractors/zip_deflate.h"

namespace strellbox {

namespace {

// Chromium simple cache: a header (magic, version, key length, key hash,
// padded to 24 bytes), the key, stream 1 (the body), its end record, stream
// 0 (the response's headers), an optional SHA-256 of the key and stream
// 0's end record (magic, flags, CRC, stream 0's size, padded to 24).
constexpr uint64_t kSimpleInitialMagic = 0xfcfb6d1ba7725c30;
constexpr uint64_t kSimpleFinalMagic = 0xf4fa6f45970d41d8;
constexpr uint64_t kSimpleHeaderSize = 24;
constexpr uint64_t kSimpleEofSize = 24;
constexpr uint32_t kSimpleHasCrc32 = 1;
constexpr uint32_t kSimpleHasKeySha256 = 2;
constexpr uint64_t kKeySha256Size = 32;
// The versions whose files are laid out so (5 since 2013).
constexpr uint32_t kSimpleFirstVersion = 5;
constexpr uint32_t kSimpleLastVersion = 15;

// Firefox cache2: the body, then the metadata: a hash of it and one 16-bit
// hash per 256 KiB chunk of the body, the header (big-endian: version,
// fetch count, last fetched, last modified, frecency, expiration, key size
// and, from version 2, flags), the key and a NUL, then NUL-terminated
// element names and values; the last four bytes give the metadata's offset.
constexpr uint64_t kCache2ChunkSize = 256 * 1024;
constexpr uint32_t kCache2LastVersion = 3;
// Far more than a key holds (a URL and its tags); a bound on the shape test.
constexpr uint32_t kMaxKeySize = 1 << 20;
// Content codings undone at most: servers send one, proxies now and then two.
constexpr size_t kMaxCodings = 3;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool EqualsLower(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && std::equal(text.begin(), text.end(), lower.begin(),
                                                   [](char a, char b) { return Lower(a) == b; });
}

// The value of the header `lower` in a block of header lines, whatever ends
// them (CR LF in cache2's response head, NUL in Chromium's), lower case.
std::string HeaderValue(std::string_view block, std::string_view lower) {
  while (!block.empty()) {
    const size_t end = block.find_first_of(std::string_view("\0\r\n", 3));
    const std::string_view line = block.substr(0, end);
    block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !EqualsLower(Trim(line.substr(0, colon)), lower))
      continue;
    std::string value(Trim(line.substr(colon + 1)));
    std::transform(value.begin(), value.end(), value.begin(), Lower);
    return value;
  }
  return {};
}

std::optional<CacheEntry> ReadSimpleEntry(const Buffer& data) {
  Cursor c(data);
  const std::optional<uint64_t> magic = c.le64();
  const std::optional<uint32_t> version = c.le32(), keyLength = c.le32();
  if (!c.ok() || *magic != kSimpleInitialMagic || *version < kSimpleFirstVersion ||
      *version > kSimpleLastVersion)
    return std::nullopt;
  const uint64_t n = data.size();
  const uint64_t bodyAt = kSimpleHeaderSize + *keyLength;
  if (n < bodyAt + 2 * kSimpleEofSize) return std::nullopt;

  Cursor last(data, n - kSimpleEofSize);
  const std::optional<uint64_t> finalMagic = last.le64();
  const std::optional<uint32_t> flags = last.le32();
  last.skip(4);  // stream 0's CRC
  const std::optional<uint32_t> stream0 = last.le32();
  if (!last.ok() || *finalMagic != kSimpleFinalMagic) return std::nullopt;
  const uint64_t tail = kSimpleEofSize + ((*flags & kSimpleHasKeySha256) ? kKeySha256Size : 0);
  // Stream 0 and the end record of stream 1 in front of it must leave the
  // body a place of its own after the key.
  if (n - bodyAt < tail + *stream0 + kSimpleEofSize) return std::nullopt;
  const uint64_t stream0At = n - tail - *stream0;
  const uint64_t bodyEof = stream0At - kSimpleEofSize;
  Cursor middle(data, bodyEof);
  const std::optional<uint64_t> bodyMagic = middle.le64();
  const std::optional<uint32_t> bodyFlags = middle.le32(), bodyCrc = middle.le32();
  if (!middle.ok() || *bodyMagic != kSimpleFinalMagic) return std::nullopt;
  CacheEntry entry{CacheEntry::Kind::kSimple, bodyAt, bodyEof - bodyAt};
  if ((*bodyFlags & kSimpleHasCrc32) &&
      crc32_z(crc32_z(0, nullptr, 0), data.data() + bodyAt, entry.bodyLength) != *bodyCrc)
    return std::nullopt;
  // The key is the URL, or (double-keyed) "1/0/_dk_<site> <site> <URL>".
  const std::string_view key = data.view(kSimpleHeaderSize, *keyLength);
  entry.url = std::string(key.substr(key.rfind(' ') + 1));
  entry.encoding = HeaderValue(data.view(stream0At, *stream0), "content-encoding");
  return entry;
}

// The URL of a cache2 key: tags ("a,", "O^partitionKey=%28...%29,"; no
// colon among them) and a colon, then the URL itself.
std::optional<std::string_view> Cache2Url(std::string_view key) {
  const size_t colon = key.find(':');
  if (colon == std::string_view::npos || (colon > 0 && key[colon - 1] != ',')) return std::nullopt;
  const std::string_view url = key.substr(colon + 1);
  if (!url.starts_with("http://") && !url.starts_with("https://")) return std::nullopt;
  return url;
}

std::optional<CacheEntry> ReadCache2Entry(const Buffer& data) {
  const uint64_t n = data.size();
  if (n < 8) return std::nullopt;
  const uint64_t metaAt = data.be32(n - 4);
  if (metaAt > n - 4) return std::nullopt;
  const uint64_t chunks = (metaAt + kCache2ChunkSize - 1) / kCache2ChunkSize;
  Cursor all(data, metaAt);
  Cursor c = all.window(n - 4 - metaAt);
  c.skip(4 + 2 * chunks);
  const std::optional<uint32_t> version = c.be32();
  if (!version || *version == 0 || *version > kCache2LastVersion) return std::nullopt;
  c.skip(5 * 4);  // fetch count, last fetched, last modified, frecency, expiration
  const std::optional<uint32_t> keySize = c.be32();
  if (*version >= 2) c.skip(4);  // flags
  if (!c.ok() || *keySize > kMaxKeySize) return std::nullopt;
  const std::optional<std::string_view> key = c.bytes(*keySize);
  if (!key || c.u8() != uint8_t{0}) return std::nullopt;
  const std::optional<std::string_view> url = Cache2Url(*key);
  if (!url) return std::nullopt;

  CacheEntry entry{CacheEntry::Kind::kCache2, 0, metaAt, std::string(*url)};
  // The elements fill the rest exactly, each a name and a value.
  while (c.left() > 0) {
    const std::optional<std::string_view> name = c.terminated(0, c.left());
    const std::optional<std::string_view> value = c.terminated(0, c.left());
    if (!name || !value) return std::nullopt;
    if (*name == "response-head") entry.encoding = HeaderValue(*value, "content-encoding");
    // Data a page stored beside the response ("1;<offset>,<type>") follows
    // the body in the same file.
    if (*name == "alt-data" && value->starts_with("1;")) {
      uint64_t offset = 0;
      size_t i = 2;
      for (; i < value->size() && (*value)[i] >= '0' && (*value)[i] <= '9' && offset <= metaAt; ++i)
        offset = offset * 10 + static_cast<uint64_t>((*value)[i] - '0');
      if (i == 2 || offset > metaAt) return std::nullopt;
      entry.bodyLength = offset;
    }
  }
  return entry;
}

enum class Coding : uint8_t { kBrotli, kGzip, kDeflate, kZstd };

// The codings to undo, last applied first; nothing for an unknown one.
std::optional<std::vector<Coding>> Codings(std::string_view encoding) {
  std::vector<Coding> codings;
  while (!encoding.empty()) {
    const size_t comma = encoding.find(',');
    const std::string_view name = Trim(encoding.substr(0, comma));
    encoding.remove_prefix(comma == std::string_view::npos ? encoding.size() : comma + 1);
    if (name.empty() || name == "identity") continue;
    if (name == "br")
      codings.push_back(Coding::kBrotli);
    else if (name == "gzip" || name == "x-gzip")
      codings.push_back(Coding::kGzip);
    else if (name == "deflate")
      codings.push_back(Coding::kDeflate);
    else if (name == "zstd")
      codings.push_back(Coding::kZstd);
    else
      return std::nullopt;
    if (codings.size() > kMaxCodings) return std::nullopt;
  }
  std::reverse(codings.begin(), codings.end());
  return codings;
}

DecoderId CodingDecoder(Coding coding) {
  switch (coding) {
    case Coding::kBrotli:
      return DecoderId::kBrotli;
    case Coding::kGzip:
      return DecoderId::kGzip;
    case Coding::kDeflate:
      return DecoderId::kZlib;
    case Coding::kZstd:
      return DecoderId::kZstd;
  }
  return DecoderId::kZlib;
}

std::optional<Buffer> Undo(const Buffer& bytes, Coding coding, uint64_t maxOutput) {
  switch (coding) {
    case Coding::kBrotli:
      return DecodeBrotli(bytes, 0, Buffer::npos, maxOutput);
    case Coding::kGzip:
      return DecodeGzipMemberAt(bytes, 0, maxOutput);
    case Coding::kZstd:
      return DecodeZstdAt(bytes, 0, maxOutput);
    case Coding::kDeflate: {
      // Sent as a zlib stream, as HTTP says; some servers send it bare.
      if (std::optional<Buffer> zlib = DecodeZlibAt(bytes, 0, maxOutput)) return zlib;
      Inflater inflater;
      Inflater::Limits limits;
      limits.output = maxOutput;
      return inflater.inflate(bytes, 0, limits, InflateFormat::kRaw);
    }
  }
  return std::nullopt;
}

std::string Lowered(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), Lower);
  return out;
}

}  // namespace

std::optional<CacheEntry> ReadCacheEntry(const Buffer& data) {
  if (data.size() >= 8 && data.le32(0) == static_cast<uint32_t>(kSimpleInitialMagic) &&
      data.le32(4) == static_cast<uint32_t>(kSimpleInitialMagic >> 32))
    return ReadSimpleEntry(data);
  return ReadCache2Entry(data);
}

std::string CacheEntryName(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  const size_t scheme = url.find("://");
  if (scheme != std::string_view::npos) url.remove_prefix(scheme + 3);
  // A URL of a folder ("https://host/dir/") names the folder.
  while (url.size() > 1 && url.back() == '/') url.remove_suffix(1);
  std::string name(url.substr(url.rfind('/') + 1));
  for (char& ch : name) {
    const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                       (ch >= '0' && ch <= '9') || ch == '.' || ch == '_' || ch == '-';
    if (!plain) ch = '_';
  }
  if (name.empty() || name.find_first_not_of('.') == std::string::npos) name = "cache-entry";
  return FitName(std::move(name), 100);
}

std::optional<Buffer> DecodeCacheBody(const Buffer& body, std::string_view encoding,
                                      uint64_t maxOutput) {
  const std::optional<std::vector<Coding>> codings = Codings(encoding);
  if (!codings) return std::nullopt;
  Buffer current = body;
  for (Coding coding : *codings) {
    std::optional<Buffer> decoded = Undo(current, coding, maxOutput);
    if (!decoded) return std::nullopt;
    current = std::move(*decoded);
  }
  return current;
}

std::optional<Buffer> DecodeCacheEntryAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  if (offset >= data.size()) return std::nullopt;
  const Buffer bytes = offset == 0 ? data : data.slice(offset, data.size() - offset);
  const std::optional<CacheEntry> entry = ReadCacheEntry(bytes);
  if (!entry) return std::nullopt;
  return DecodeCacheBody(bytes.slice(entry->bodyAt, entry->bodyLength), entry->encoding, maxOutput);
}

std::optional<int32_t> strellWrapped(ScanContext& context, const Buffer& data,
                                     const std::string& from) {
  if (!context.extended()) return std::nullopt;
  if (const std::optional<CacheEntry> entry = ReadCacheEntry(data)) {
    const std::optional<std::vector<Coding>> codings = Codings(entry->encoding);
    if (!codings) {
      StrellLog(
          fmt::format("Cache entry {} has a Content-Encoding not read: {}", from, entry->encoding));
      return std::nullopt;
    }
    const std::string name = CacheEntryName(entry->url);
    DecodedChild body{data.slice(entry->bodyAt, entry->bodyLength), DecoderId::kCacheEntry,
                      entry->bodyAt, name};
    if (codings->empty()) return context.scanChild(data, body, name).items;
    // Each coding undone is a step of its own in the body's origin.
    ScanContext::markChild(data, body);
    DecodedChild step = std::move(body);
    const uint64_t allowance = context.decodedAllowance();
    for (size_t i = 0; i < codings->size(); ++i) {
      const Coding coding = (*codings)[i];
      std::optional<Buffer> decoded = Undo(step.bytes, coding, allowance);
      if (!decoded) {
        StrellLog(fmt::format("Cache entry {}: body not decoded as {}", from, entry->encoding));
        return std::nullopt;
      }
      DecodedChild next{std::move(*decoded), CodingDecoder(coding), 0};
      if (i + 1 == codings->size()) return context.scanChild(step.bytes, next, name).items;
      ScanContext::markChild(step.bytes, next);
      step = std::move(next);
    }
  }
  if (Lowered(PathExtension(from)) == "br") {
    BrotliOutcome outcome = BrotliOutcome::kCorrupt;
    std::optional<Buffer> decoded =
        DecodeBrotli(data, 0, Buffer::npos, context.decodedAllowance(), &outcome);
    if (!decoded) {
      if (outcome == BrotliOutcome::kOverLimit)
        StrellLog(fmt::format("Brotli stream {} over the decoded budget", from));
      return std::nullopt;
    }
    DecodedChild child{std::move(*decoded), DecoderId::kBrotli, 0};
    return context.scanChild(data, child, DeletingPathExtension(from)).items;
  }
  return std::nullopt;
}

}  // namespace strellbox
