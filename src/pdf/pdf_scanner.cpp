#include "pdf/pdf_scanner.h"

#include <fmt/format.h>
#include <locale.h>
#include <stdlib.h>

#include <limits>

#include "engine/log.h"
#include "engine/strell_progress.h"

namespace strellbox {

namespace {

constexpr std::array<uint8_t, 256> MakeCharKind() {
  std::array<uint8_t, 256> kind{};
  for (uint8_t c : {0x00, 0x09, 0x0A, 0x0C, 0x0D, 0x20}) kind[c] = kPDFWhiteSpace;
  for (char c : {'(', ')', '<', '>', '[', ']', '{', '}', '/', '%'})
    kind[static_cast<uint8_t>(c)] = kPDFDelimiter;
  return kind;
}

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(uint8_t c) { return IsDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// True when the letters of `word` (lower case) stand at i, in any case.
bool MatchesFolded(const Buffer& data, uint64_t i, uint64_t end, std::string_view word) {
  if (end - i < word.size()) return false;
  for (size_t k = 0; k < word.size(); ++k)
    if ((data.u8(i + k) | 0x20) != static_cast<uint8_t>(word[k])) return false;
  return true;
}

// How many bytes of [start, end) the C library's string-to-double
// conversion accepts: sign, then a hexadecimal or decimal number with its
// exponent, or inf / infinity / nan. Worked out here so that the conversion
// itself only ever sees a private copy of what it accepts.
uint64_t AcceptedRealPrefix(const Buffer& data, uint64_t start, uint64_t end) {
  uint64_t i = start;
  if (i < end && (data.u8(i) == '+' || data.u8(i) == '-')) ++i;
  if (end - i >= 2 && data.u8(i) == '0' && (data.u8(i + 1) | 0x20) == 'x') {
    uint64_t j = i + 2;
    bool digits = false;
    while (j < end && IsHexDigit(data.u8(j))) ++j, digits = true;
    if (j < end && data.u8(j) == '.') {
      ++j;
      while (j < end && IsHexDigit(data.u8(j))) ++j, digits = true;
    }
    if (digits) {
      if (j < end && (data.u8(j) | 0x20) == 'p') {
        uint64_t k = j + 1;
        if (k < end && (data.u8(k) == '+' || data.u8(k) == '-')) ++k;
        if (k < end && IsDigit(data.u8(k))) {
          while (k < end && IsDigit(data.u8(k))) ++k;
          j = k;
        }
      }
      return j - start;
    }
    // "0x" without hexadecimal digits: the "0" alone is a decimal number.
  }
  if (MatchesFolded(data, i, end, "infinity")) return i + 8 - start;
  if (MatchesFolded(data, i, end, "inf") || MatchesFolded(data, i, end, "nan"))
    return i + 3 - start;
  uint64_t j = i;
  bool digits = false;
  while (j < end && IsDigit(data.u8(j))) ++j, digits = true;
  if (j < end && data.u8(j) == '.') {
    ++j;
    while (j < end && IsDigit(data.u8(j))) ++j, digits = true;
  }
  if (!digits) return 0;
  if (j < end && (data.u8(j) | 0x20) == 'e') {
    uint64_t k = j + 1;
    if (k < end && (data.u8(k) == '+' || data.u8(k) == '-')) ++k;
    if (k < end && IsDigit(data.u8(k))) {
      while (k < end && IsDigit(data.u8(k))) ++k;
      j = k;
    }
  }
  return j - start;
}

double ConvertReal(const std::string& text) {
  // The C locale whatever the process's locale: a point before decimals.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtod_l(text.c_str(), nullptr, cLocale);
}

}  // namespace

const std::array<uint8_t, 256> gCharKind = MakeCharKind();

PDFScanner::PDFScanner(Buffer data, uint64_t offset)
    : data_(std::move(data)), fileData_(data_), offset_(offset), length_(data_.size()) {}

PDFScanner::SavedData PDFScanner::switchData(const Buffer& bytes, uint64_t offset) {
  SavedData saved{data_, offset_, previousOffset_, extentStart_, extentEnd_, extentLastDotOrE_};
  data_ = bytes;
  length_ = data_.size();
  offset_ = offset;
  previousOffset_ = offset;
  extentStart_ = extentEnd_ = 0;
  extentLastDotOrE_ = Buffer::npos;
  return saved;
}

void PDFScanner::restoreData(SavedData saved) {
  data_ = std::move(saved.data);
  length_ = data_.size();
  offset_ = saved.offset;
  previousOffset_ = saved.previousOffset;
  extentStart_ = saved.extentStart;
  extentEnd_ = saved.extentEnd;
  extentLastDotOrE_ = saved.extentLastDotOrE;
}

std::string PDFScanner::tokenToString(int32_t token) const {
  switch (token) {
    case pdfTokenNone:
      return "pdfTokenNone";
    case pdfTokenInteger:
      return fmt::format("pdfTokenInteger({})", scannedInteger_);
    case pdfTokenReal:
      return fmt::format("pdfTokenReal({:f})", scannedReal_);
    case pdfTokenTrue:
      return "pdfTokenTrue";
    case pdfTokenFalse:
      return "pdfTokenFalse";
    case pdfTokenName:
      return fmt::format("pdfTokenName({})", scannedString_);
    case pdfTokenString:
      return fmt::format("pdfTokenString({})", scannedString_);
    case pdfTokenArrayStart:
      return "pdfTokenArrayStart";
    case pdfTokenArrayEnd:
      return "pdfTokenArrayEnd";
    case pdfTokenDictionaryStart:
      return "pdfTokenDictionaryStart";
    case pdfTokenDictionaryEnd:
      return "pdfTokenDictionaryEnd";
    case pdfTokenComment:
      return fmt::format("pdfTokenComment({})", scannedString_);
    case pdfTokenOperator:
      return fmt::format("pdfTokenOperator({})", scannedString_);
    case pdfTokenEOF:
      return "pdfTokenEOF";
    default:
      return "pdfTokenImpossiblee";
  }
}

bool PDFScanner::spend(uint64_t bytes) {
  if (budget_ == nullptr) return true;
  if (*budget_ < bytes) {
    *budget_ = 0;
    return false;
  }
  *budget_ -= bytes;
  return true;
}

void PDFScanner::scanPastWhiteSpace() {
  previousOffset_ = offset_;
  for (;;) {
    while (offset_ < length_ && IsPDFWhiteSpace(data_.u8(offset_))) ++offset_;
    if (offset_ >= length_ || data_.u8(offset_) != '%') return;
    while (offset_ < length_ && data_.u8(offset_) != '\r' && data_.u8(offset_) != '\n') ++offset_;
  }
}

PDFToken PDFScanner::scanNumber(uint64_t start) {
  uint64_t end;
  uint64_t lastDotOrE;
  if (start >= extentStart_ && start < extentEnd_) {
    end = extentEnd_;
    lastDotOrE = extentLastDotOrE_;
  } else {
    end = start;
    lastDotOrE = Buffer::npos;
    while (end < length_ && IsPDFRegular(data_.u8(end))) {
      const uint8_t c = data_.u8(end);
      if (c == '.' || c == 'e') lastDotOrE = end;
      ++end;
    }
    extentStart_ = start;
    extentEnd_ = end;
    extentLastDotOrE_ = lastDotOrE;
  }

  if (lastDotOrE != Buffer::npos && lastDotOrE >= start) {
    const uint64_t accepted = AcceptedRealPrefix(data_, start, end);
    if (accepted == 0) {
      scannedReal_ = 0;
      offset_ = end;
    } else {
      scannedReal_ = ConvertReal(std::string(data_.view(start, accepted)));
      offset_ = start + accepted;
    }
    return pdfTokenReal;
  }

  // Base-10 integer, saturating at the limits of 32 bits.
  uint64_t i = start;
  const bool negative = data_.u8(i) == '-';
  if (data_.u8(i) == '+' || negative) ++i;
  if (i >= end || !IsDigit(data_.u8(i))) {
    scannedInteger_ = 0;
    offset_ = end;
    return pdfTokenInteger;
  }
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  while (i < end && IsDigit(data_.u8(i))) {
    if (value < kLimit) value = value * 10 + (data_.u8(i) - '0');
    ++i;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) value = std::numeric_limits<int32_t>::min();
  scannedInteger_ = static_cast<int32_t>(value);
  offset_ = i;
  return pdfTokenInteger;
}

PDFToken PDFScanner::scanToken() {
  if (budget_ != nullptr && *budget_ == 0) {
    previousOffset_ = offset_;
    return pdfTokenEOF;
  }
  scanPastWhiteSpace();
  const uint64_t start = offset_;
  if (start >= length_) return pdfTokenEOF;

  PDFToken token;
  const uint8_t c = data_.u8(start);
  if (c == '<' && data_.u8(start + 1) == '<' && start + 1 < length_) {
    offset_ = start + 2;
    token = pdfTokenDictionaryStart;
  } else if (c == '<') {
    // A hexadecimal string runs over regular bytes and white space (which
    // its digits may be broken by) and takes the byte that stops it,
    // normally the closing ">".
    uint64_t i = start + 1;
    while (i < length_ && !IsPDFDelimiter(data_.u8(i))) ++i;
    const uint64_t end = i < length_ ? i + 1 : length_;
    scannedString_.assign(data_.view(start, end - start));
    offset_ = end;
    token = pdfTokenString;
  } else if (c == '>' && data_.u8(start + 1) == '>' && start + 1 < length_) {
    offset_ = start + 2;
    token = pdfTokenDictionaryEnd;
  } else if (c == '[') {
    offset_ = start + 1;
    token = pdfTokenArrayStart;
  } else if (c == ']') {
    offset_ = start + 1;
    token = pdfTokenArrayEnd;
  } else if (c == '(') {
    uint64_t i = start + 1;
    int64_t depth = 1;
    while (i < length_) {
      const uint8_t b = data_.u8(i++);
      if (b == '\\') {
        if (i < length_) ++i;
      } else if (b == '(') {
        ++depth;
      } else if (b == ')' && --depth == 0) {
        break;
      }
    }
    scannedString_.assign(data_.view(start, i - start));
    offset_ = i;
    token = pdfTokenString;
  } else if (c == '/') {
    uint64_t i = start + 1;
    while (i < length_ && IsPDFRegular(data_.u8(i))) ++i;
    scannedString_.assign(data_.view(start, i - start));
    offset_ = i;
    token = pdfTokenName;
  } else if (c == '+' || c == '-' || c == '.' || IsDigit(c)) {
    token = scanNumber(start);
  } else if (!IsPDFRegular(c)) {
    token = pdfTokenNone;  // ")", "{", "}", a single ">": the scanner stays on it
  } else {
    uint64_t i = start;
    while (i < length_ && IsPDFRegular(data_.u8(i))) ++i;
    scannedString_.assign(data_.view(start, i - start));
    offset_ = i;
    if (scannedString_ == "true") {
      token = pdfTokenTrue;
    } else if (scannedString_ == "false") {
      token = pdfTokenFalse;
    } else {
      token = pdfTokenOperator;
    }
  }
  spend(offset_ - previousOffset_ + 1);
  return token;
}

uint64_t PDFScanner::scanToFirstByteOfStream() {
  if (data_.startsWith(offset_, "\r\n")) {
    offset_ += 2;
  } else if (offset_ < length_ && data_.u8(offset_) == '\n') {
    ++offset_;
  }
  return offset_;
}

uint64_t PDFScanner::scanToFirstByteAfterStream() {
  previousOffset_ = offset_;
  const uint64_t from = std::min(offset_, length_);
  const uint64_t end = data_.find("endstream", from);
  if (end == Buffer::npos) {
    spend(length_ - from);
    StrellLog(fmt::format("Missing endstream({})\n", previousOffset_));
    offset_ = length_;
    return length_;
  }
  spend(end - from);
  offset_ = end;
  return end;
}

PDFObjectPtr PDFScanner::parse() {
  const bool outermost = depth_ == 0;
  if (outermost) {
    nesting_ = 0;
    cutShort_ = false;
  }
  PDFObjectPtr result = parseValue();
  if (outermost) resolveDeferred();
  return result;
}

PDFObjectPtr PDFScanner::parseValue() {
  const PDFToken token = scanToken();
  switch (token) {
    case pdfTokenInteger: {
      // "N G R" is a reference; otherwise only N is taken.
      const int32_t number = scannedInteger_;
      const uint64_t after = offset_;
      const uint64_t afterPrevious = previousOffset_;
      if (scanToken() == pdfTokenInteger) {
        const int32_t generation = scannedInteger_;
        if (scanToken() == pdfTokenOperator) return parseReference(number, generation);
      }
      offset_ = after;
      previousOffset_ = afterPrevious;
      return std::make_shared<PDFInteger>(number);
    }
    case pdfTokenReal:
      return std::make_shared<PDFReal>(scannedReal_);
    case pdfTokenTrue:
      return std::make_shared<PDFBool>(true);
    case pdfTokenFalse:
      return std::make_shared<PDFBool>(false);
    case pdfTokenName:
      return std::make_shared<PDFName>(scannedString_);
    case pdfTokenString:
      return std::make_shared<PDFString>(scannedString_);
    case pdfTokenArrayStart: {
      if (nesting_ >= kMaxNesting) {
        cutShort_ = true;
        return nullptr;
      }
      ++nesting_;
      ++depth_;
      std::vector<PDFObjectPtr> elements;
      while (!cutShort_) {
        PDFObjectPtr element = parseValue();
        if (!element) break;
        elements.push_back(std::move(element));
      }
      --nesting_;
      --depth_;
      return std::make_shared<PDFArray>(std::move(elements));
    }
    case pdfTokenDictionaryStart: {
      if (nesting_ >= kMaxNesting) {
        cutShort_ = true;
        return nullptr;
      }
      ++nesting_;
      ++depth_;
      PDFObjectMap entries;
      while (!cutShort_ && scanToken() == pdfTokenName) {
        std::string key = scannedString_;
        PDFObjectPtr value = parseValue();
        if (value) {
          entries[std::move(key)] = std::move(value);
        } else {
          StrellLog("Dictionary parse Error\n");
        }
      }
      --nesting_;
      --depth_;
      if (!cutShort_) {
        // The token that ended the entries (normally ">>") is taken as it is.
        if (scanToken() == pdfTokenOperator && scannedString_ == "stream") {
          const uint64_t start = scanToFirstByteOfStream();
          uint64_t end = extended_ ? streamEndByLength(entries, start) : Buffer::npos;
          if (end == Buffer::npos) {
            end = scanToFirstByteAfterStream();
          } else {
            spend(end - start);
            offset_ = data_.find("endstream", end);
          }
          return std::make_shared<PDFStream>(std::move(entries), data_.slice(start, end - start));
        }
        unscan();
      }
      return std::make_shared<PDFDictionary>(std::move(entries));
    }
    case pdfTokenOperator:
      if (extended_ && scannedString_ == "null") return std::make_shared<PDFNull>();
      return nullptr;
    default:
      return nullptr;
  }
}

uint64_t PDFScanner::streamEndByLength(const PDFObjectMap& entries, uint64_t start) const {
  auto it = entries.find("/Length");
  if (it == entries.end()) return Buffer::npos;
  const int32_t length = it->second->intValue();
  if (length < 0 || !data_.has(start, static_cast<uint64_t>(length))) return Buffer::npos;
  // Writers put an end of line (and some a space) before the keyword.
  constexpr uint64_t kMaxGap = 4;
  const uint64_t end = start + static_cast<uint64_t>(length);
  uint64_t i = end;
  while (i < length_ && i - end < kMaxGap && IsPDFWhiteSpace(data_.u8(i))) ++i;
  return data_.startsWith(i, "endstream") ? end : Buffer::npos;
}

void PDFScanner::resolveReference(PDFIndirectObjectReference& reference,
                                  const std::shared_ptr<PDFIndirectObject>& target) {
  if (!target) {
    reference.setReferencedObject(nullptr);
    reference.setReferencedIndirectObject(nullptr);
    return;
  }
  if (target->isParsing()) target->placeholderLinked();
  reference.setReferencedObject(target->object());
  reference.setReferencedIndirectObject(target);
}

PDFObjectPtr PDFScanner::parseReference(int32_t objectID, int32_t generation) {
  auto reference = std::make_shared<PDFIndirectObjectReference>(static_cast<uint32_t>(objectID),
                                                                static_cast<uint32_t>(generation));
  if (catalog_ == nullptr) return reference;
  const uint32_t number = static_cast<uint32_t>(objectID);
  if (depth_ >= kDeferResolutionDepth) {
    auto it = catalog_->find(number);
    if (it != catalog_->end() && !it->second->object()) {
      deferred_.emplace_back(reference, number);
      return reference;
    }
  }
  resolveReference(*reference, parseIndirectObject(number));
  return reference;
}

void PDFScanner::resolveDeferred() {
  // Runs only at the outermost level; the resolutions below may defer more
  // references, which this same loop then takes in turn.
  if (depth_ != 0 || resolving_ != 0) return;
  ++resolving_;
  for (size_t i = 0; i < deferred_.size(); ++i) {
    auto [reference, number] = deferred_[i];
    resolveReference(*reference, parseIndirectObject(number));
  }
  deferred_.clear();
  --resolving_;
}

std::shared_ptr<PDFIndirectObject> PDFScanner::parseIndirectObject(uint32_t objectID) {
  if (strellController_ != nullptr && strellController_->stopStreller()) return nullptr;
  std::shared_ptr<PDFIndirectObject> indirect;
  if (catalog_ != nullptr) {
    auto it = catalog_->find(objectID);
    if (it != catalog_->end()) indirect = it->second;
  }
  parseEntry(indirect);
  return indirect;
}

void PDFScanner::parseCompressed(const std::shared_ptr<PDFIndirectObject>& indirect) {
  // The placeholder goes in first: loading the object stream may meet a
  // reference back to this object.
  indirect->beginParse();
  Buffer bytes;
  uint64_t at = 0;
  PDFObjectPtr object;
  if (host_ != nullptr && host_->compressedObjectBytes(*this, *indirect, bytes, at)) {
    SavedData saved = switchData(bytes, at);
    const int keptNesting = nesting_;
    const bool keptCutShort = cutShort_;
    nesting_ = 0;
    cutShort_ = false;
    ++depth_;
    object = parseValue();
    --depth_;
    nesting_ = keptNesting;
    cutShort_ = keptCutShort;
    restoreData(std::move(saved));
  }
  if (object) {
    indirect->setObject(std::move(object));
  } else {
    StrellLog("Missing PDF Object\n");
  }
  indirect->endParse();
}

void PDFScanner::parseEntry(const std::shared_ptr<PDFIndirectObject>& indirect) {
  const uint64_t keptOffset = offset_;
  const uint64_t keptPrevious = previousOffset_;
  if (indirect && !indirect->object() && indirect->inObjectStream()) {
    parseCompressed(indirect);
  } else if (indirect && !indirect->object()) {
    // An object in the file is read from the file, also when a reference
    // to it was met inside an object stream.
    const bool switched = data_.data() != fileData_.data();
    SavedData saved;
    if (switched) saved = switchData(fileData_, 0);
    offset_ = indirect->offset();
    scanToken();  // object number
    scanToken();  // generation
    scanToken();  // obj
    indirect->beginParse();
    const int keptNesting = nesting_;
    const bool keptCutShort = cutShort_;
    nesting_ = 0;
    cutShort_ = false;
    ++depth_;
    PDFObjectPtr object = parseValue();
    --depth_;
    nesting_ = keptNesting;
    cutShort_ = keptCutShort;
    if (object) {
      if (host_ != nullptr) host_->objectParsed(*indirect, object);
      indirect->setObject(std::move(object));
    } else {
      StrellLog("Missing PDF Object\n");
    }
    indirect->endParse();
    if (switched) restoreData(std::move(saved));
  }
  offset_ = keptOffset;
  previousOffset_ = keptPrevious;

  ++parsedObjects_;
  if (parsedObjects_ % 100 == 0 && strellController_ != nullptr && catalog_ != nullptr &&
      !catalog_->empty()) {
    strellController_->subProgress(0.2 +
                                   0.2 * parsedObjects_ / static_cast<double>(catalog_->size()));
  }
  resolveDeferred();
}

void PDFScanner::parseCatalog(PDFCatalog* catalog) {
  catalog_ = catalog;
  if (catalog == nullptr) return;
  const double total = static_cast<double>(catalog->size());

  // Parsing looks objects up but never adds any, so the walk over the
  // catalog stays valid while objects are parsed.
  int32_t count = 0;
  for (const auto& [key, indirect] : *catalog) {
    if (strellController_ != nullptr && strellController_->stopStreller()) break;
    // With the work spent every later parse reads nothing: the objects left
    // stay unparsed, as a failed parse would leave them.
    if (budget_ != nullptr && *budget_ == 0) {
      StrellLog("PDF work limit reached\n");
      break;
    }
    parseEntry(indirect);
    ++count;
    if (count % 100 == 0 && strellController_ != nullptr) {
      strellController_->subProgress(0.2 + 0.2 * count / total);
    }
  }
}

PDFObjectPtr PDFObject::objectWithString(std::string_view text) {
  PDFScanner scanner(Buffer::fromString(text), 0);
  return scanner.parse();
}

}  // namespace strellbox
