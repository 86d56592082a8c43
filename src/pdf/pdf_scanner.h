// The tokenizer and parser that turn the bytes of a PDF file into the
// objects of pdf_object.h: a hand-written scanner over a Buffer with a
// one-token undo, and a recursive-descent parser on top of it. Stream data
// runs up to the keyword endstream; /Length is never consulted.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/buffer.h"
#include "pdf/pdf_object.h"

namespace strellbox {

class StrellerProgress;

enum PDFCharKind : uint8_t { kPDFRegular = 0, kPDFWhiteSpace = 1, kPDFDelimiter = 2 };

// The kind of every byte value.
extern const std::array<uint8_t, 256> gCharKind;

inline bool IsPDFWhiteSpace(uint8_t c) { return gCharKind[c] == kPDFWhiteSpace; }
inline bool IsPDFRegular(uint8_t c) { return gCharKind[c] == kPDFRegular; }
inline bool IsPDFDelimiter(uint8_t c) { return gCharKind[c] == kPDFDelimiter; }

enum PDFToken : int32_t {
  pdfTokenNone = 0,
  pdfTokenInteger = 1,
  pdfTokenReal = 2,
  pdfTokenTrue = 3,
  pdfTokenFalse = 4,
  pdfTokenName = 5,
  pdfTokenString = 6,
  pdfTokenArrayStart = 7,
  pdfTokenArrayEnd = 8,
  pdfTokenDictionaryStart = 9,
  pdfTokenDictionaryEnd = 10,
  pdfTokenComment = 11,
  pdfTokenOperator = 12,
  pdfTokenEOF = 13,
};

class PDFScanner;

// What a document adds to its scanners beyond the file's bytes: objects kept
// inside object streams, and the decryption of what is parsed.
class PDFScannerHost {
 public:
  virtual ~PDFScannerHost() = default;
  // The bytes that hold the entry's object (a decoded object stream) and
  // where in them the object starts; false when it cannot be had.
  virtual bool compressedObjectBytes(PDFScanner& scanner, const PDFIndirectObject& entry,
                                     Buffer& bytes, uint64_t& offset) = 0;
  // Every object parsed from the file itself (not from an object stream).
  virtual void objectParsed(const PDFIndirectObject& entry, const PDFObjectPtr& object) = 0;
};

class PDFScanner {
 public:
  // Arrays and dictionaries nested deeper than this end there: the rest of
  // the object is cut off. Real files nest a handful of levels; the cap
  // keeps the parser's recursion (and the release of what it built) far
  // from the end of a worker thread's stack.
  static constexpr int kMaxNesting = 500;
  // A reference met this deep in nested parses (containers and references
  // resolved inside one another) is not resolved at once; its target is
  // parsed when the outermost parse has finished, with the same links as a
  // resolution on the spot. Long chains of references (outline items, page
  // trees) thus never exhaust the stack.
  static constexpr int kDeferResolutionDepth = 200;

  PDFScanner(Buffer data, uint64_t offset);

  void setStrellController(StrellerProgress* controller) { strellController_ = controller; }
  void setOffset(uint64_t offset) { offset_ = offset; }
  uint64_t offset() const { return offset_; }
  // Bytes the scanner may still pass over, shared by every scanner of one
  // document; when spent, the data reads as ended. Bounds the work that
  // hostile cross-reference tables (many objects at overlapping offsets)
  // can cause. None means unlimited.
  void setWorkBudget(uint64_t* remaining) { budget_ = remaining; }
  // The rules for today's files: the keyword null is an object, and a
  // stream whose /Length lands on endstream is cut to that length.
  void setExtended(bool on) { extended_ = on; }
  void setHost(PDFScannerHost* host) { host_ = host; }

  void unscan() { offset_ = previousOffset_; }
  const std::string& scannedString() const { return scannedString_; }
  int32_t scannedInteger() const { return scannedInteger_; }
  double scannedReal() const { return scannedReal_; }
  int32_t parsedObjects() const { return parsedObjects_; }

  std::string tokenToString(int32_t token) const;
  void scanPastWhiteSpace();
  bool scanPastString(std::string_view text) const { return data_.startsWith(offset_, text); }
  PDFToken scanToken();
  uint64_t scanToFirstByteOfStream();
  uint64_t scanToFirstByteAfterStream();

  // The next object, or none.
  PDFObjectPtr parse();
  // The catalog's indirect object for the number, parsed if it was not yet.
  std::shared_ptr<PDFIndirectObject> parseIndirectObject(uint32_t objectID);
  void parseCatalog(PDFCatalog* catalog);
  void setCatalog(PDFCatalog* catalog) { catalog_ = catalog; }

 private:
  PDFObjectPtr parseValue();
  // Parses the object of one catalog entry, unless it holds one already.
  void parseEntry(const std::shared_ptr<PDFIndirectObject>& indirect);
  PDFObjectPtr parseReference(int32_t objectID, int32_t generation);
  void resolveReference(PDFIndirectObjectReference& reference,
                        const std::shared_ptr<PDFIndirectObject>& target);
  PDFToken scanNumber(uint64_t start);
  // The object of an entry kept in an object stream.
  void parseCompressed(const std::shared_ptr<PDFIndirectObject>& indirect);
  // Scans `bytes` instead of the current data until the returned value is
  // handed back to restoreData.
  struct SavedData {
    Buffer data;
    uint64_t offset = 0, previousOffset = 0, extentStart = 0, extentEnd = 0;
    uint64_t extentLastDotOrE = Buffer::npos;
  };
  SavedData switchData(const Buffer& bytes, uint64_t offset);
  void restoreData(SavedData saved);
  // The end of a stream's data given by its /Length, when endstream follows.
  uint64_t streamEndByLength(const PDFObjectMap& entries, uint64_t start) const;
  bool spend(uint64_t bytes);
  void resolveDeferred();

  Buffer data_;
  Buffer fileData_;  // the file itself, while data_ may be an object stream
  PDFCatalog* catalog_ = nullptr;
  PDFScannerHost* host_ = nullptr;
  bool extended_ = false;
  StrellerProgress* strellController_ = nullptr;
  uint64_t previousOffset_ = 0;
  uint64_t offset_;
  uint64_t length_;
  std::string scannedString_;
  int32_t scannedInteger_ = 0;
  double scannedReal_ = 0;
  int32_t parsedObjects_ = 0;

  uint64_t* budget_ = nullptr;
  // Nesting of the object being parsed, and of everything on the stack.
  int nesting_ = 0;
  int depth_ = 0;
  bool cutShort_ = false;
  int resolving_ = 0;
  std::vector<std::pair<std::shared_ptr<PDFIndirectObjectReference>, uint32_t>> deferred_;

  // The extent of the last number token, so that a long run such as
  // "1.1.1.1..." is examined once, not once per number in it.
  uint64_t extentStart_ = 0;
  uint64_t extentEnd_ = 0;
  uint64_t extentLastDotOrE_ = Buffer::npos;
};

}  // namespace strellbox
