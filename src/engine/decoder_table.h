// The decoders whose output is scanned again or written as an item, one row
// each, beside the pass table. A row's key is the decoder's name in the
// chain of a buffer's origin (and in the CLI's JSON rows); its decode
// function decodes the data at an offset on its own, as its pass does, so
// that every decoder can be listed, fuzzed and tried from one place.
//
// A new decoder is one file with its decode function, one row here (with
// its label, which --list-decoders prints), and its tests. Its pass hands
// what it decoded to ScanContext::scanChild, which owns everything else.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/buffer.h"

namespace strellbox {

// Rows of the table; the value is the row's index.
enum class DecoderId : uint8_t {
  kZlib,
  kSwf,
  kText,
  kBase64,
  kPdfDocument,
  kPdf,
  kGzip,
  kZipMember,
  kUuencode,
  kYenc,
  kLzma,
  kPdfContent,
  kArchiveMember,
  kXz,
  kBzip2,
  kZstd,
  kLz4,
  kLzip,
  kOle2Stream,
  kRtf,
  kSqlite,
  kUnsynchronised,
  kBrotli,
  kCacheEntry,
  kEwf,
  kSplitRaw,
  kDataUri,
};
inline constexpr size_t kDecoderCount = 27;

// Which rules a decoder belongs to: the classic set, or the rules beyond it
// that extended detection adds.
enum class RuleSet : uint8_t { kClassic, kExtended };

// Decodes the encoded data that starts at `offset` of `data`, giving at most
// about `maxOutput` bytes; nothing when the bytes there do not decode.
using DecodeFunction = std::optional<Buffer> (*)(const Buffer& data, uint64_t offset,
                                                 uint64_t maxOutput);

struct DecoderRow {
  DecoderId id;
  std::string_view key;    // the chain's name ("zlib")
  std::string_view label;  // for --list-decoders
  RuleSet rules;
  // Nothing for the decoders that need more than the bytes at an offset
  // (a PDF document's objects); their pass decodes them.
  DecodeFunction decode;
};

const std::array<DecoderRow, kDecoderCount>& DecoderTable();
inline const DecoderRow& Decoder(DecoderId id) { return DecoderTable()[static_cast<size_t>(id)]; }
// The row for a chain key, or nullptr.
const DecoderRow* DecoderByKey(std::string_view key);

// The decode functions (each in its decoder's file).
std::optional<Buffer> DecodeZlibAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeCompressedMovieAt(const Buffer& data, uint64_t offset,
                                              uint64_t maxOutput);
std::optional<Buffer> DecodeTextAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeBase64At(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodePDFDocumentAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeGzipMemberAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeZipMemberAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeUuencodeAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeYencAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeLzmaMovieAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeArchiveMemberAt(const Buffer& data, uint64_t offset,
                                            uint64_t maxOutput);
std::optional<Buffer> DecodeXzAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeBzip2At(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeZstdAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeLz4At(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeOle2StreamAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeRtfGroupAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
std::optional<Buffer> DecodeLzipAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
// The first BLOB of the database at the offset, in table and row order: the
// one value that can stand for the database alone (its pass gives them all).
std::optional<Buffer> DecodeSQLiteAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
// The bytes from `offset` on with each 0xFF 0x00 taken back to 0xFF, as an
// unsynchronised ID3v2 tag or frame wrote them.
std::optional<Buffer> DecodeUnsynchronisedAt(const Buffer& data, uint64_t offset,
                                             uint64_t maxOutput);
// The Brotli stream from `offset` on, whole.
std::optional<Buffer> DecodeBrotliAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
// The body of the browser cache entry that the bytes from `offset` on are,
// decoded by its stored Content-Encoding.
std::optional<Buffer> DecodeCacheEntryAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);
// The Base64 data of the `data:` URI at the offset.
std::optional<Buffer> DecodeDataUriAt(const Buffer& data, uint64_t offset, uint64_t maxOutput);

}  // namespace strellbox
