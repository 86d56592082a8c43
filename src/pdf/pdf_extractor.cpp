// The PDF pass: finds documents by their header, measures each to its last
// end-of-file marker (following incremental updates) and reports it; a
// document at the very start of its buffer is also read and its images
// saved as one-page PDFs. With extended detection every document is read,
// wherever it lies (see StrellPDFExtended).
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

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Whether an object header ("N G obj") or a cross-reference table stands
// at `at`: what an update appended after an end marker starts with.
bool UpdateStartsAt(const Buffer& data, uint64_t at) {
  if (data.startsWith(at, "xref")) return true;
  uint64_t i = at;
  for (int field = 0; field < 2; ++field) {
    const uint64_t digits = i;
    while (i < data.size() && IsDigit(data.u8(i)) && i - digits < 10) ++i;
    if (i == digits) return false;
    const uint64_t space = i;
    while (i < data.size() && (data.u8(i) == ' ' || data.u8(i) == '\r' || data.u8(i) == '\n') &&
           i - space < 16)
      ++i;
    if (i == space) return false;
  }
  return data.startsWith(i, "obj");
}

uint64_t SkipLineSpace(const Buffer& data, uint64_t i) {
  while (i < data.size() && (data.u8(i) == '\r' || data.u8(i) == '\n' || data.u8(i) == ' ')) ++i;
  return i;
}

// The first "%%EOF" from `from` that closes a section: "startxref" and its
// number stand just before it. One that does not (inside a stream, an
// embedded PostScript file) is passed over, unless no later one closes a
// section, in which case the last marker seen ends a damaged document.
uint64_t EndMarkerAfter(const Buffer& data, uint64_t from) {
  constexpr uint64_t kStartXRefReach = 64;
  uint64_t last = Buffer::npos;
  for (uint64_t eof = data.find(kEndOfFile, from); eof != Buffer::npos;
       eof = data.find(kEndOfFile, eof + 5)) {
    last = eof;
    const uint64_t reach = eof > from + kStartXRefReach ? eof - kStartXRefReach : from;
    if (data.find(kStartXRef, reach, eof) != Buffer::npos) return eof;
  }
  return last;
}

// The end of the document whose header stands at `start`: past the end
// marker after which no update follows, and the line break after it; npos
// when no end marker follows.
uint64_t DocumentEnd(const Buffer& data, uint64_t start) {
  uint64_t eof = EndMarkerAfter(data, start + 5);
  if (eof == Buffer::npos) return Buffer::npos;
  for (;;) {
    const uint64_t next = SkipLineSpace(data, eof + 5);
    if (!UpdateStartsAt(data, next)) break;
    const uint64_t later = EndMarkerAfter(data, next);
    if (later == Buffer::npos) break;
    eof = later;
  }
  return SkipLineSpace(data, eof + 5);
}

// Today's rules: a header "%PDF-" and a version digit; the document runs to
// the end marker after which neither an update nor anything else of it
// follows, and a header right after an end marker starts the next
// document. Each document is read from its own bytes, wherever it lies.
int32_t StrellPDFExtended(ScanContext& context, const Buffer& data, const std::string& from) {
  const uint64_t len = data.size();
  int32_t count = 0;
  uint64_t i = 0;
  while (i + 8 < len && !context.stopStreller()) {
    uint64_t start = data.find("%PDF-", i, len - 8);
    if (start == Buffer::npos) break;
    if (!IsDigit(data.u8(start + 5))) {
      i = start + 5;
      continue;
    }
    const uint64_t end = DocumentEnd(data, start);
    if (end == Buffer::npos) break;
    if (end - start > kMinimumDocument) {
      context.saveStrell(data, start, end - start, "pdf", from, count, ItemEnd::kMarker);
      // Read from its own bytes, so that its offsets count from its
      // header; one lying inside a larger buffer says so in its chain.
      Buffer document = data;
      if (start != 0) {
        document = data.slice(start, end - start).decodedFrom(data, Decoder(DecoderId::kPdfDocument).key, start);
      } else if (end != len) {
        document = data.slice(0, end);
      }
      context.setSubProgressBytesToStrell(static_cast<double>(end - start));
      StrellPDFDocument(document, &context, from, context.dontSaveDuplicates(), true);
      ++count;
    }
    i = end;
  }
  return count;
}

}  // namespace

int32_t strellPDF(ScanContext& context, const Buffer& data, const std::string& from) {
  const uint64_t len = data.size();
  if (len <= 100) return 0;
  if (context.extended()) return StrellPDFExtended(context, data, from);
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
      context.saveStrell(data, start, end - start, "pdf", from, count, ItemEnd::kMarker);
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

std::optional<Buffer> DecodePDFDocumentAt(const Buffer& data, uint64_t offset,
                                          uint64_t maxOutput) {
  if (!data.startsWith(offset, "%PDF-") || !IsDigit(data.u8(offset + 5))) return std::nullopt;
  const uint64_t end = DocumentEnd(data, offset);
  if (end == Buffer::npos || end - offset > maxOutput) return std::nullopt;
  return data.slice(offset, end - offset);
}

}  // namespace strellbox
