#include "engine/decoder_table.h"

// Marks a label for the window's translations (lupdate reads it as
// QT_TRANSLATE_NOOP); the core uses the English text as it is.
#define STRELLBOX_LABEL(context, text) text

namespace strellbox {

namespace {

using R = RuleSet;

constexpr std::array<DecoderRow, kDecoderCount> kTable = {{
    {DecoderId::kZlib, "zlib", STRELLBOX_LABEL("DecoderTable", "zlib streams, inflated"),
     R::kClassic, DecodeZlibAt},
    {DecoderId::kSwf, "swf", STRELLBOX_LABEL("DecoderTable", "Compressed Flash movies (CWS)"),
     R::kClassic, DecodeCompressedMovieAt},
    {DecoderId::kText, "text", STRELLBOX_LABEL("DecoderTable", "Text kept by the text filter"),
     R::kClassic, DecodeTextAt},
    {DecoderId::kBase64, "base64", STRELLBOX_LABEL("DecoderTable", "Base64 attachments and runs"),
     R::kClassic, DecodeBase64At},
    {DecoderId::kPdfDocument, "pdf-document",
     STRELLBOX_LABEL("DecoderTable", "PDF documents inside a larger buffer"), R::kExtended,
     DecodePDFDocumentAt},
    {DecoderId::kPdf, "pdf", STRELLBOX_LABEL("DecoderTable", "PDF images, each as a one-page PDF"),
     R::kClassic, nullptr},
    {DecoderId::kGzip, "gzip", STRELLBOX_LABEL("DecoderTable", "gzip members, inflated"),
     R::kExtended, DecodeGzipMemberAt},
    {DecoderId::kZipMember, "zip-member",
     STRELLBOX_LABEL("DecoderTable", "Zip members, stored or inflated"), R::kExtended,
     DecodeZipMemberAt},
    {DecoderId::kUuencode, "uuencode", STRELLBOX_LABEL("DecoderTable", "uuencoded attachments"),
     R::kExtended, DecodeUuencodeAt},
    {DecoderId::kYenc, "yenc", STRELLBOX_LABEL("DecoderTable", "yEnc attachments"), R::kExtended,
     DecodeYencAt},
    {DecoderId::kLzma, "lzma", STRELLBOX_LABEL("DecoderTable", "LZMA Flash movies (ZWS)"),
     R::kExtended, DecodeLzmaMovieAt},
    {DecoderId::kPdfContent, "pdf-content",
     STRELLBOX_LABEL("DecoderTable", "PDF content streams (inline images)"), R::kExtended,
     nullptr},
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
