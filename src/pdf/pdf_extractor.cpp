// The PDF pass: finds documents by their header, measures each to its last
// end-of-file marker (following incremental updates) and reports it; a
// document at the very start of its buffer is also read and its images
// saved as one-page PDFs.
#include "engine/scan_context.h"
#include "pdf/pdf_document.h"

namespace strellbox {

namespace {

constexpr std::string_view kHeader = "%PDF-1";
constexpr std::string_view kTrailer = "trailer";
constexpr std::string_view kStartXRef = "startxref";
constexpr std::string_view kEndOfFile = "%%EOF";

// Searches from `from` for "trailer", then "startxref", then "%%EOF", in
// that order; stores the position of the end marker.
bool FindEndMarker(const Buffer& data, uint64_t from, uint64_t& marker) {
  const uint64_t len = data.size();
  const uint64_t trailer = data.find(kTrailer, from, len - 8);
  if (trailer == Buffer::npos) return false;
  const uint64_t startxref = data.find(kStartXRef, trailer, len - 8);
  if (startxref == Buffer::npos) return false;
  const uint64_t eof = data.find(kEndOfFile, startxref, len - 4);
  if (eof == Buffer::npos) return false;
  marker = eof;
  return true;
}

// Documents this small are not worth a file of their own.
constexpr uint64_t kMinimumDocument = 256;
// An update appended to a document starts with objects (or its catalog)
// within this many bytes after the previous end marker.
constexpr uint64_t kUpdateWindow = 64;

}  // namespace

int32_t strellPDF(ScanContext& context, const Buffer& data, const std::string& from) {
  const uint64_t len = data.size();
  if (len <= 100) return 0;
  int32_t count = 0;
  uint64_t i = 0;
  while (i < len - 8 && !context.stopStreller()) {
    const uint64_t start = data.find(kHeader, i, len - 8);
    if (start == Buffer::npos) break;
    uint64_t eof = 0;
    if (!FindEndMarker(data, start, eof)) break;
    for (;;) {
      const uint64_t window = std::min(eof + kUpdateWindow, len - 4);
      const bool update = data.find("/Cata", eof, window) != Buffer::npos ||
                          data.find("obj", eof, window) != Buffer::npos;
      if (!update || eof >= len - 8) break;
      if (!FindEndMarker(data, eof, eof)) return count;
    }
    uint64_t end = eof + 5;
    while (end < len && (data.u8(end) == '\r' || data.u8(end) == '\n' || data.u8(end) == ' '))
      ++end;
    if (end - start > kMinimumDocument) {
      context.saveStrell(data, start, end - start, "pdf", from, count);
      if (start == 0) {
        context.setSubProgressBytesToStrell(static_cast<double>(end - start));
        StrellPDFDocument(data, &context, from, context.dontSaveDuplicates());
      }
      ++count;
    }
    i = end;
  }
  return count;
}

}  // namespace strellbox
