// Browser cache entries (extended detection): the body of a Chromium simple
// cache entry (<hash>_0 files) or of a Firefox cache2 entry
// (cache2/entries/<hash>), decoded by its stored Content-Encoding and
// handed to the gate named after its URL; and .br files, decoded whole.
//
// Chromium's blockfile cache keeps bodies of more than 16 KiB in external
// f_XXXXXX files, as they came from the network and with nothing around
// them, and smaller ones inside data_N block files: both are scanned as
// any file is, and bodies sent compressed are not decoded there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/buffer.h"

namespace strellbox {

class ScanContext;

struct CacheEntry {
  enum class Kind : uint8_t { kSimple, kCache2 };
  Kind kind;
  uint64_t bodyAt = 0;
  uint64_t bodyLength = 0;
  std::string url = {};
  // The stored Content-Encoding, lower case ("" when there is none).
  std::string encoding = {};
};

// The entry the whole buffer is, or nothing: a Chromium simple cache entry
// by its magic, header, key and two end records agreeing with its length
// (and its body's CRC where stored); a Firefox entry by the metadata
// offset in its last four bytes, a known version, a key shaped as its keys
// are and elements that end exactly at that offset.
std::optional<CacheEntry> ReadCacheEntry(const Buffer& data);

// The name the body is saved under: the URL's last path component, less
// query and fragment, with every byte outside [A-Za-z0-9._-] made "_".
std::string CacheEntryName(std::string_view url);

// The body decoded by its Content-Encoding (a list is undone last first:
// br, gzip, deflate, zstd, identity), at most maxOutput bytes; nothing when
// an encoding is unknown or does not decode whole.
std::optional<Buffer> DecodeCacheBody(const Buffer& body, std::string_view encoding,
                                      uint64_t maxOutput);

// The extended step before the passes: when the buffer is a cache entry
// whose body decodes, or a file named *.br that decodes whole as Brotli,
// hands what it holds to the gate and returns the items found there; the
// passes need not look at the buffer then. Nothing for any other buffer.
std::optional<int32_t> strellWrapped(ScanContext& context, const Buffer& data,
                                     const std::string& from);

}  // namespace strellbox
