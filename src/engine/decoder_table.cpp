#include "engine/decoder_table.h"

namespace strellbox {

namespace {

using R = RuleSet;

constexpr std::array<DecoderRow, kDecoderCount> kTable = {{
    {DecoderId::kZlib, "zlib", "zlib streams, inflated", R::kClassic, DecodeZlibAt},
    {DecoderId::kSwf, "swf", "Compressed Flash movies (CWS)", R::kClassic, DecodeCompressedMovieAt},
    {DecoderId::kText, "text", "Text kept by the text filter", R::kClassic, DecodeTextAt},
    {DecoderId::kBase64, "base64", "Base64 attachments and runs", R::kClassic, DecodeBase64At},
    {DecoderId::kPdfDocument, "pdf-document", "PDF documents inside a larger buffer", R::kExtended,
     DecodePDFDocumentAt},
    {DecoderId::kPdf, "pdf", "PDF images, each as a one-page PDF", R::kClassic, nullptr},
    {DecoderId::kGzip, "gzip", "gzip members, inflated", R::kExtended, DecodeGzipMemberAt},
    {DecoderId::kZipMember, "zip-member", "Zip members, stored or inflated", R::kExtended,
     DecodeZipMemberAt},
    {DecoderId::kUuencode, "uuencode", "uuencoded attachments", R::kExtended, DecodeUuencodeAt},
    {DecoderId::kYenc, "yenc", "yEnc attachments", R::kExtended, DecodeYencAt},
    {DecoderId::kLzma, "lzma", "LZMA Flash movies (ZWS)", R::kExtended, DecodeLzmaMovieAt},
    {DecoderId::kPdfContent, "pdf-content", "PDF content streams (inline images)", R::kExtended,
     nullptr},
    {DecoderId::kArchiveMember, "archive-member",
     "Members of tar, cpio, 7z, RAR, cab, ar and ISO 9660 archives", R::kExtended,
     DecodeArchiveMemberAt},
    {DecoderId::kXz, "xz", "xz streams, decompressed", R::kExtended, DecodeXzAt},
    {DecoderId::kBzip2, "bzip2", "bzip2 streams, decompressed", R::kExtended, DecodeBzip2At},
    {DecoderId::kZstd, "zstd", "zstd frames, decompressed", R::kExtended, DecodeZstdAt},
    {DecoderId::kLz4, "lz4", "lz4 frames, decompressed", R::kExtended, DecodeLz4At},
    {DecoderId::kLzip, "lzip", "lzip streams, decompressed", R::kExtended, DecodeLzipAt},
    {DecoderId::kOle2Stream, "ole2-stream", "Compound file streams, assembled from their sectors",
     R::kExtended, DecodeOle2StreamAt},
    {DecoderId::kRtf, "rtf", "RTF pictures and objects, from their hex digits", R::kExtended,
     DecodeRtfGroupAt},
    {DecoderId::kSqlite, "sqlite", "SQLite BLOB values, overflow pages and write-ahead log applied",
     R::kExtended, DecodeSQLiteAt},
    {DecoderId::kUnsynchronised, "id3-unsync", "ID3 tags and frames, unsynchronisation undone",
     R::kExtended, DecodeUnsynchronisedAt},
    {DecoderId::kBrotli, "brotli", "Brotli streams (.br files, cache entries), decompressed",
     R::kExtended, DecodeBrotliAt},
    {DecoderId::kCacheEntry, "cache-entry",
     "Browser cache entries (Chromium, Firefox), their bodies by their Content-Encoding",
     R::kExtended, DecodeCacheEntryAt},
    // The media of segment files: read by the job from the files, not from
    // bytes at an offset (src/engine/evidence_file.h).
    {DecoderId::kEwf, "ewf", "Evidence file segments (E01, Ex01), their media read whole",
     R::kExtended, nullptr},
    {DecoderId::kSplitRaw, "split-raw", "Split raw disk images (.001, .002, ...), joined",
     R::kExtended, nullptr},
    {DecoderId::kDataUri, "data-uri", "data: URIs with Base64 data (SVG, HTML, CSS)", R::kExtended,
     DecodeDataUriAt},
}};

constexpr bool RowsInIdOrder() {
  for (size_t i = 0; i < kTable.size(); ++i)
    if (static_cast<size_t>(kTable[i].id) != i) return false;
  return true;
}
static_assert(RowsInIdOrder(), "each row stands at its DecoderId");

}  // namespace

const std::array<DecoderRow, kDecoderCount>& DecoderTable() { return kTable; }

const DecoderRow* DecoderByKey(std::string_view key) {
  for (const DecoderRow& row : kTable)
    if (row.key == key) return &row;
  return nullptr;
}

}  // namespace strellbox
