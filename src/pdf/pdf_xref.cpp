// The reader for today's files: cross-reference tables and streams along
// their /Prev chain (hybrid files through /XRefStm), objects inside object
// streams, and decryption with the empty user password. When the
// cross-reference data cannot be used, the catalog is rebuilt by a scan for
// object headers (pdf_recovery.cpp).
#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "engine/log.h"
#include "engine/strell_progress.h"
#include "pdf/pdf_crypt.h"
#include "pdf/pdf_document.h"
#include "pdf/pdf_filters.h"

namespace strellbox {

namespace {

// How far before the end of a document its startxref is looked for: the
// keyword, its number and the end marker take a few dozen bytes, and some
// writers leave padding after them.
constexpr uint64_t kStartXRefWindow = 4096;
// A cross-reference stream field is at most this many bytes wide.
constexpr int64_t kMaxFieldWidth = 8;
// Bytes before an object's header that an entry may point at (a stray end
// of line left by a writer that counted one byte less).
constexpr uint64_t kHeaderSlack = 4;

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

std::shared_ptr<PDFInteger> IntegerFor(const PDFDictionary& d, const char* key) {
  return std::dynamic_pointer_cast<PDFInteger>(PDFResolve(d.objectForKey(key)));
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

}  // namespace

uint64_t PDFDocument::entryCap() const { return data_.size() / kBytesPerObject + kObjectSlack; }

void PDFDocument::readExtended() {
  decodeBudget_ = kDecodePerByte * data_.size() + kDecodeSlack;
  const uint64_t start = findLastStartXRef();
  bool usable = start != Buffer::npos && readChain(start);
  usable = usable && trailer_ && trailer_->objectForKey("/Root") && entriesPointAtObjects();
  if (!usable) {
    StrellLog("PDF cross-reference data unusable, catalog rebuilt from object headers\n");
    rebuildCatalog();
  }

  PDFScanner scanner(data_, 0);
  scanner.setExtended(true);
  scanner.setHost(this);
  scanner.setWorkBudget(&workBudget_);
  scanner.setStrellController(strellController_);
  scanner.setCatalog(&catalog_);
  setUpDecryption(scanner);
  if (recovered_) registerObjectStreams(scanner);
  if (strellController_ != nullptr) strellController_->subProgress(0.2);
  scanner.parseCatalog(&catalog_);
}

uint64_t PDFDocument::findLastStartXRef() const {
  const uint64_t len = data_.size();
  const uint64_t from = len > kStartXRefWindow ? len - kStartXRefWindow : 0;
  uint64_t last = Buffer::npos;
  for (uint64_t at = data_.find("startxref", from); at != Buffer::npos;
       at = data_.find("startxref", at + 9))
    last = at;
  if (last == Buffer::npos) return Buffer::npos;
  PDFScanner scanner(data_, last + 9);
  if (scanner.scanToken() != pdfTokenInteger || scanner.scannedInteger() < 0) return Buffer::npos;
  return static_cast<uint64_t>(scanner.scannedInteger());
}

bool PDFDocument::readChain(uint64_t offset) {
  bool readAny = false;
  for (;;) {
    if (offset >= data_.size() || !sectionsRead_.insert(offset).second) break;
    std::shared_ptr<PDFDictionary> sectionTrailer;
    const bool table = data_.startsWith(offset, "xref");
    if (table ? !readTable(offset, sectionTrailer) : !readXRefStream(offset, sectionTrailer)) {
      // A link to nothing: what was read so far stays, but the document
      // is checked (and rebuilt) as one with a broken chain.
      return false;
    }
    readAny = true;
    if (!sectionTrailer) break;
    mergeTrailer(*sectionTrailer);
    // A hybrid file: the stream lists what the table leaves out (objects
    // in object streams), after the table and before the older sections.
    if (table) {
      auto stream = IntegerFor(*sectionTrailer, "/XRefStm");
      if (stream && stream->intValue() > 0 &&
          sectionsRead_.insert(static_cast<uint64_t>(stream->intValue())).second) {
        std::shared_ptr<PDFDictionary> ignored;
        readXRefStream(static_cast<uint64_t>(stream->intValue()), ignored);
      }
    }
    auto prev = IntegerFor(*sectionTrailer, "/Prev");
    if (!prev || prev->intValue() < 0) break;
    offset = static_cast<uint64_t>(prev->intValue());
  }
  return readAny;
}

void PDFDocument::mergeTrailer(const PDFDictionary& older) {
  // The newest section's values win; older ones fill in what it lacks.
  if (!trailer_) {
    trailer_ = std::make_shared<PDFDictionary>(older.dictionary());
    return;
  }
  for (const auto& [key, value] : older.dictionary())
    if (!trailer_->objectForKey(key)) trailer_->setObject(value, key);
}

bool PDFDocument::readTable(uint64_t offset, std::shared_ptr<PDFDictionary>& trailer) {
  uint64_t end = 0;
  if (!readSection(offset, end)) return false;
  PDFScanner scanner(data_, end);
  scanner.setExtended(true);
  scanner.setWorkBudget(&workBudget_);
  if (scanner.scanToken() == pdfTokenOperator && scanner.scannedString() == "trailer")
    trailer = std::dynamic_pointer_cast<PDFDictionary>(scanner.parse());
  return true;
}

bool PDFDocument::readXRefStream(uint64_t offset, std::shared_ptr<PDFDictionary>& trailer) {
  PDFScanner scanner(data_, offset);
  scanner.setExtended(true);
  scanner.setWorkBudget(&workBudget_);
  if (scanner.scanToken() != pdfTokenInteger || scanner.scanToken() != pdfTokenInteger ||
      scanner.scanToken() != pdfTokenOperator || scanner.scannedString() != "obj")
    return false;
  auto stream = std::dynamic_pointer_cast<PDFStream>(scanner.parse());
  if (!stream || stream->stringForKey("/Type") != "/XRef") return false;
  // Cross-reference streams are never encrypted.
  std::optional<Buffer> rows = PDFDecodeStream(*stream, stream->data(), decodeBudget_);
  if (!rows) return false;

  auto widths = std::dynamic_pointer_cast<PDFArray>(PDFResolve(stream->objectForKey("/W")));
  if (!widths || widths->array().size() < 3) return false;
  int64_t w[3];
  for (int i = 0; i < 3; ++i) {
    w[i] = PDFResolve(widths->array()[i]) ? PDFResolve(widths->array()[i])->intValue() : -1;
    if (w[i] < 0 || w[i] > kMaxFieldWidth) return false;
  }
  const uint64_t entryBytes = static_cast<uint64_t>(w[0] + w[1] + w[2]);
  if (entryBytes == 0) return false;

  // /Index: pairs of first number and count; [0 /Size] without it.
  std::vector<std::pair<int64_t, int64_t>> ranges;
  auto index = std::dynamic_pointer_cast<PDFArray>(PDFResolve(stream->objectForKey("/Index")));
  if (index) {
    const auto& a = index->array();
    for (size_t i = 0; i + 1 < a.size(); i += 2)
      ranges.emplace_back(PDFResolve(a[i]) ? PDFResolve(a[i])->intValue() : -1,
                          PDFResolve(a[i + 1]) ? PDFResolve(a[i + 1])->intValue() : -1);
  } else {
    auto size = IntegerFor(*stream, "/Size");
    ranges.emplace_back(0, size ? size->intValue() : 0);
  }

  const Buffer& data = *rows;
  auto field = [&data](uint64_t at, int64_t width) {
    uint64_t value = 0;
    for (int64_t i = 0; i < width; ++i) value = (value << 8) | data.u8(at + i);
    return value;
  };
  // Entries run until the data does, whatever the counts claim.
  uint64_t at = 0;
  for (auto [first, count] : ranges) {
    if (first < 0 || count < 0) break;
    for (int64_t k = 0; k < count && data.has(at, entryBytes); ++k, at += entryBytes) {
      const int64_t number = first + k;
      if (number > std::numeric_limits<uint32_t>::max()) break;
      const uint64_t type = w[0] == 0 ? 1 : field(at, w[0]);
      addEntry(static_cast<uint32_t>(number), type, field(at + w[0], w[1]),
               field(at + w[0] + w[1], w[2]));
    }
  }
  trailer = std::make_shared<PDFDictionary>(stream->dictionary());
  return true;
}

void PDFDocument::addEntry(uint32_t number, uint64_t type, uint64_t field2, uint64_t field3) {
  if (number == 0 || (type != 1 && type != 2)) return;  // free, or a type not known: nothing
  if (catalog_.count(number) != 0) return;              // a newer section listed it
  if (catalog_.size() >= entryCap()) return;
  if (type == 1) {
    if (field2 == 0 || field2 >= data_.size() || field2 > std::numeric_limits<uint32_t>::max())
      return;
    catalog_.emplace(number, std::make_shared<PDFIndirectObject>(
                                 number, static_cast<uint32_t>(std::min<uint64_t>(field3, 65535)),
                                 static_cast<uint32_t>(field2)));
    return;
  }
  // In an object stream: never in itself, never in object 0.
  if (field2 == 0 || field2 == number || field2 > std::numeric_limits<uint32_t>::max() ||
      field3 > std::numeric_limits<uint32_t>::max())
    return;
  auto entry = std::make_shared<PDFIndirectObject>(number, 0, 0);
  entry->setObjectStream(static_cast<uint32_t>(field2), static_cast<uint32_t>(field3));
  catalog_.emplace(number, std::move(entry));
}

bool PDFDocument::objectHeaderAt(uint64_t offset, uint32_t number) const {
  uint64_t i = offset;
  while (i < data_.size() && i - offset < kHeaderSlack && IsPDFWhiteSpace(data_.u8(i))) ++i;
  uint64_t value = 0;
  const uint64_t digits = i;
  while (i < data_.size() && IsDigit(data_.u8(i)) && i - digits < 10)
    value = value * 10 + (data_.u8(i++) - '0');
  if (i == digits || value != number) return false;
  const uint64_t space = i;
  while (i < data_.size() && IsPDFWhiteSpace(data_.u8(i))) ++i;
  if (i == space) return false;
  const uint64_t generation = i;
  while (i < data_.size() && IsDigit(data_.u8(i))) ++i;
  if (i == generation) return false;
  const uint64_t space2 = i;
  while (i < data_.size() && IsPDFWhiteSpace(data_.u8(i))) ++i;
  return i > space2 && data_.startsWith(i, "obj");
}

bool PDFDocument::entriesPointAtObjects() const {
  if (catalog_.empty()) return false;
  for (const auto& [number, entry] : catalog_)
    if (!entry->inObjectStream() && !objectHeaderAt(entry->offset(), number)) return false;
  return true;
}

const PDFDocument::ObjectStream* PDFDocument::objectStream(PDFScanner& scanner, uint32_t number) {
  auto found = objectStreams_.find(number);
  if (found != objectStreams_.end()) return found->second.get();
  // Marked as failed while it loads: a reference back into it from its
  // own dictionary finds nothing instead of loading it again.
  objectStreams_[number] = nullptr;
  auto entry = catalog_.find(number);
  // An object stream lies in the file itself, never in another one.
  if (entry == catalog_.end() || entry->second->inObjectStream()) return nullptr;
  auto indirect = scanner.parseIndirectObject(number);
  auto stream = indirect ? std::dynamic_pointer_cast<PDFStream>(indirect->object()) : nullptr;
  if (!stream || stream->stringForKey("/Type") != "/ObjStm") return nullptr;
  std::optional<Buffer> bytes = PDFDecodeStream(*stream, stream->plainData(), decodeBudget_);
  auto count = IntegerFor(*stream, "/N");
  auto first = IntegerFor(*stream, "/First");
  if (!bytes || !count || !first || first->intValue() < 0) return nullptr;

  auto loaded = std::make_unique<ObjectStream>();
  loaded->bytes = *bytes;
  loaded->first = static_cast<uint64_t>(first->intValue());
  // The header: pairs of object number and offset, as many as /N says and
  // the data holds (each pair takes at least four bytes).
  PDFScanner header(loaded->bytes, 0);
  header.setWorkBudget(&workBudget_);
  for (int32_t i = 0; i < count->intValue(); ++i) {
    if (header.offset() >= loaded->first || header.scanToken() != pdfTokenInteger) break;
    const int32_t objectNumber = header.scannedInteger();
    if (header.scanToken() != pdfTokenInteger) break;
    const int32_t objectOffset = header.scannedInteger();
    if (objectNumber <= 0 || objectOffset < 0) break;
    loaded->indexOf.emplace(static_cast<uint32_t>(objectNumber),
                            static_cast<uint32_t>(loaded->objects.size()));
    loaded->objects.emplace_back(static_cast<uint32_t>(objectNumber),
                                 static_cast<uint64_t>(objectOffset));
  }
  if (auto extends =
          std::dynamic_pointer_cast<PDFIndirectObjectReference>(stream->objectForKey("/Extends")))
    loaded->extends = extends->objectID();
  // Parsing the decoded objects is work on bytes the file did not hold.
  workBudget_ = SaturatingAdd(workBudget_, kWorkPerByte * loaded->bytes.size());
  const ObjectStream* result = loaded.get();
  objectStreams_[number] = std::move(loaded);
  return result;
}

bool PDFDocument::compressedObjectBytes(PDFScanner& scanner, const PDFIndirectObject& entry,
                                        Buffer& bytes, uint64_t& offset) {
  const ObjectStream* stream = objectStream(scanner, entry.objectStream());
  // The entry names the stream and the index; an object not found there is
  // looked for by number, then in the streams this one extends.
  for (int hop = 0; stream != nullptr && hop <= kMaxExtends; ++hop) {
    uint64_t at = Buffer::npos;
    const uint32_t index = entry.indexInStream();
    if (hop == 0 && index < stream->objects.size() &&
        stream->objects[index].first == entry.objectID()) {
      at = stream->objects[index].second;
    } else if (auto it = stream->indexOf.find(entry.objectID()); it != stream->indexOf.end()) {
      at = stream->objects[it->second].second;
    }
    if (at != Buffer::npos) {
      offset = SaturatingAdd(stream->first, at);
      bytes = stream->bytes;
      return offset < bytes.size();
    }
    stream = stream->extends != 0 ? objectStream(scanner, stream->extends) : nullptr;
  }
  return false;
}

void PDFDocument::setUpDecryption(PDFScanner& scanner) {
  if (!trailer_) return;
  PDFObjectPtr encrypt = trailer_->objectForKey("/Encrypt");
  if (!encrypt) return;
  std::shared_ptr<PDFDictionary> dictionary;
  if (auto reference = std::dynamic_pointer_cast<PDFIndirectObjectReference>(encrypt)) {
    encryptObjectID_ = reference->objectID();
    auto indirect = scanner.parseIndirectObject(encryptObjectID_);
    if (indirect) dictionary = std::dynamic_pointer_cast<PDFDictionary>(indirect->object());
  } else {
    dictionary = std::dynamic_pointer_cast<PDFDictionary>(encrypt);
  }
  std::string firstID;
  if (auto ids = std::dynamic_pointer_cast<PDFArray>(PDFResolve(trailer_->objectForKey("/ID"))))
    if (!ids->array().empty())
      if (auto id = std::dynamic_pointer_cast<PDFString>(PDFResolve(ids->array()[0])))
        firstID = PDFStringBytes(id->string());
  auto outcome = PDFStandardSecurity::Outcome::kUnsupported;
  if (dictionary) security_ = PDFStandardSecurity::open(*dictionary, firstID, outcome);
  if (security_) {
    encryption_ = Encryption::kOpened;
  } else {
    encryption_ = Encryption::kLocked;
    StrellLog(outcome == PDFStandardSecurity::Outcome::kNeedsPassword
                  ? "Encrypted PDF needs a password, images not saved\n"
                  : "Encrypted PDF of a kind not read here, images not saved\n");
  }
}

void PDFDocument::objectParsed(const PDFIndirectObject& entry, const PDFObjectPtr& object) {
  if (!security_ || entry.objectID() == encryptObjectID_) return;
  decryptStrings(object, entry.objectID(), entry.generation());
}

void PDFDocument::decryptStrings(const PDFObjectPtr& object, uint32_t objectID,
                                 uint32_t generation) {
  // The parser nests containers at most PDFScanner::kMaxNesting deep, so
  // this walk's recursion is bounded too.
  if (auto* string = dynamic_cast<PDFString*>(object.get())) {
    if (security_->stringMethod() == PDFStandardSecurity::Method::kNone) return;
    string->setString(PDFHexString(
        security_->decryptString(PDFStringBytes(string->string()), objectID, generation)));
  } else if (auto* array = dynamic_cast<PDFArray*>(object.get())) {
    for (const auto& element : array->array()) decryptStrings(element, objectID, generation);
  } else if (auto* dictionary = dynamic_cast<PDFDictionary*>(object.get())) {
    for (const auto& [key, value] : dictionary->dictionary())
      decryptStrings(value, objectID, generation);
    if (auto* stream = dynamic_cast<PDFStream*>(dictionary)) {
      const auto type = stream->stringForKey("/Type");
      const bool plain = type == "/XRef" || (type == "/Metadata" && !security_->encryptsMetadata());
      if (!plain) stream->setCipher(security_, objectID, generation);
    }
  }
}

}  // namespace strellbox
