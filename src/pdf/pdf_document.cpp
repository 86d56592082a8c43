#include "pdf/pdf_document.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "engine/log.h"
#include "engine/strell_progress.h"
#include "pdf/pdf_archiver.h"
#include "pdf/pdf_crypt.h"
#include "pdf/pdf_scanner.h"

namespace strellbox {

namespace {

bool IsCSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void SkipCSpace(const Buffer& data, uint64_t& pos) {
  while (pos < data.size() && IsCSpace(data.u8(pos))) ++pos;
}

// A signed decimal number as the C library's "%ld" reads it: white space
// skipped, an optional sign, at least one digit; saturating at the limits
// of 64 bits. Stops at the end of the buffer, which need not hold a NUL.
bool ScanLong(const Buffer& data, uint64_t& pos, int64_t& value) {
  uint64_t i = pos;
  SkipCSpace(data, i);
  const bool negative = data.u8(i) == '-' && i < data.size();
  if (i < data.size() && (data.u8(i) == '+' || data.u8(i) == '-')) ++i;
  if (i >= data.size() || data.u8(i) < '0' || data.u8(i) > '9') return false;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t v = 0;
  bool saturated = false;
  for (; i < data.size() && data.u8(i) >= '0' && data.u8(i) <= '9'; ++i) {
    const int digit = data.u8(i) - '0';
    if (v > (kMax - digit) / 10) saturated = true;
    if (!saturated) v = v * 10 + digit;
  }
  if (saturated) {
    value = negative ? std::numeric_limits<int64_t>::min() : kMax;
  } else {
    value = negative ? -v : v;
  }
  pos = i;
  return true;
}

// A subsection header, "%ld %ld": the first object number and the count.
bool ScanSubsectionHeader(const Buffer& data, uint64_t& pos, int64_t& first, int64_t& count) {
  uint64_t i = pos;
  if (!ScanLong(data, i, first)) return false;
  if (!ScanLong(data, i, count)) return false;
  pos = i;
  return true;
}

// The value of `digits` bytes at pos, each taken as its byte minus "0".
int64_t EntryNumber(const Buffer& data, uint64_t pos, int digits) {
  int64_t value = 0;
  for (int i = 0; i < digits; ++i) value = value * 10 + (int64_t{data.u8(pos + i)} - '0');
  return value;
}

uint32_t ClampToUInt32(int64_t value) {
  if (value < 0 || value > std::numeric_limits<uint32_t>::max())
    return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(value);
}

}  // namespace

bool ScanBackToChar(const Buffer& data, uint64_t& position, uint64_t lowerBound, uint8_t byte) {
  if (data.empty()) return false;
  uint64_t p = std::min(position, data.size() - 1);
  for (;;) {
    if (p < lowerBound) return false;
    if (data.u8(p) == byte) {
      position = p;
      return true;
    }
    if (p == 0) return false;
    --p;
  }
}

PDFDocument::~PDFDocument() = default;

void PDFDocument::setData(Buffer data) {
  data_ = std::move(data);
  workBudget_ = kWorkPerByte * data_.size() + kWorkSlack;
  if (extended_) {
    readExtended();
    return;
  }
  readCatalog(findCatalogAddress());
  // Its streams are still encrypted: written as they are they would make
  // files that look valid and show noise.
  if (trailer_ && trailer_->objectForKey("/Encrypt")) {
    encryption_ = Encryption::kLocked;
    StrellLog("Encrypted PDF, images not saved\n");
  }
}

uint64_t PDFDocument::findCatalogAddress() const {
  const uint64_t len = data_.size();
  if (len <= 99) return 0;
  uint64_t pos = len - 1;
  ScanBackToChar(data_, pos, len - 33, '%');
  if (!data_.startsWith(pos, "%EOF")) return 0;
  if (!ScanBackToChar(data_, pos, pos >= 32 ? pos - 32 : 0, 's')) return 0;
  if (!data_.startsWith(pos, "startxref")) return 0;
  pos += 9;
  int64_t offset = 0;
  if (!ScanLong(data_, pos, offset) || offset < 0) return 0;
  return static_cast<uint64_t>(offset);
}

bool PDFDocument::readSection(uint64_t x, uint64_t& end) {
  const uint64_t len = data_.size();
  if (len <= 99 || x > len - 10 || x <= 3 || !data_.startsWith(x, "xref")) return false;
  uint64_t pos = x + 4;
  int64_t first = 0;
  int64_t count = 0;
  if (!ScanSubsectionHeader(data_, pos, first, count)) return false;

  auto stopRequested = [this] {
    return strellController_ != nullptr && strellController_->stopStreller();
  };
  bool stop = stopRequested();
  while (!stop) {
    // The first entry begins with the first digit of its ten-digit offset,
    // which is written with leading zeros.
    const uint64_t zero = data_.find('0', pos);
    pos = zero == Buffer::npos ? len : zero;
    for (int64_t k = 0; k < count && pos + 20 < len && !stop; ++k) {
      if (k % 200 == 0) {
        if (strellController_ != nullptr) {
          const double done = 0.2 * (static_cast<double>(first) + static_cast<double>(k)) /
                              (static_cast<double>(first) + static_cast<double>(count));
          strellController_->subProgress(done >= 0 ? std::min(done, 0.2) : 0.0);
        }
        stop = stopRequested();
      }
      // Each entry is 20 bytes: ten digits of offset, five of generation,
      // the type byte and the end of line.
      const int64_t offset = EntryNumber(data_, pos, 10);
      const int64_t generation = EntryNumber(data_, pos + 11, 5);
      const bool free = data_.u8(pos + 17) == 'f';
      pos += 20;
      // A free entry lists no object, and no object lies at offset 0 (the
      // header does): parsing there would read the first object again for
      // every such entry, which spends the document's work on copies of it.
      if (free || offset == 0) continue;
      // Object numbers outside 1 .. 2^32-1 name nothing.
      if (first > 0 && k > std::numeric_limits<int64_t>::max() - first) continue;
      const int64_t number = first + k;
      if (number <= 0 || number > std::numeric_limits<uint32_t>::max()) continue;
      const auto objectID = static_cast<uint32_t>(number);
      // The newest section is read first: an older entry never replaces it.
      // Numbers ascend within a subsection, so the end of the catalog is the
      // hint that makes each insert of a first section constant time.
      const size_t before = catalog_.size();
      const auto at = catalog_.try_emplace(catalog_.end(), objectID);
      if (catalog_.size() != before) {
        at->second = std::make_shared<PDFIndirectObject>(
            objectID, static_cast<uint32_t>(generation), ClampToUInt32(offset));
      }
    }
    if (!ScanSubsectionHeader(data_, pos, first, count)) break;
    stop = stop || stopRequested();
  }
  end = pos;
  return true;
}

bool PDFDocument::readCatalog(uint64_t offset) {
  // The /Prev chain is followed in a loop, newest section first, and only
  // to sections not read before, so a chain that loops back ends.
  bool readAny = false;
  for (;;) {
    if (!sectionsRead_.insert(offset).second) break;
    uint64_t pos = 0;
    if (!readSection(offset, pos)) break;
    readAny = true;

    PDFScanner scanner(data_, pos);
    scanner.setWorkBudget(&workBudget_);
    if (scanner.scanToken() == pdfTokenOperator && scanner.scannedString() == "trailer") {
      if (auto older = std::dynamic_pointer_cast<PDFDictionary>(scanner.parse())) {
        if (!trailer_) {
          trailer_ = older;
        } else {
          // The older trailer's /Prev, if any, becomes the next link.
          trailer_->removeObjectForKey("/Prev");
          trailer_->addEntriesFromDictionary(*older);
        }
      }
    } else {
      StrellLog("Trailer not read\n");
    }
    if (!trailer_) break;
    auto prev = std::dynamic_pointer_cast<PDFInteger>(trailer_->objectForKey("/Prev"));
    if (!prev || prev->intValue() < 0) break;
    offset = static_cast<uint64_t>(prev->intValue());
  }
  if (!readAny) return false;

  // Every section's objects are parsed once, after the whole chain is read.
  PDFScanner scanner(data_, 0);
  scanner.setStrellController(strellController_);
  scanner.setWorkBudget(&workBudget_);
  scanner.parseCatalog(&catalog_);
  return true;
}

int32_t PDFDocument::setCatalogObject(PDFObjectPtr object, int32_t index) {
  auto indirect = std::make_shared<PDFIndirectObject>(static_cast<uint32_t>(index), 0, 0);
  indirect->setObject(std::move(object));
  catalog_[static_cast<uint32_t>(index)] = std::move(indirect);
  return 1;
}

int32_t PDFDocument::setTrailer(std::shared_ptr<PDFDictionary> trailer) {
  if (trailer != trailer_) trailer_ = std::move(trailer);
  return 0;
}

void PDFDocument::encodeWithCoder(PDFArchiver& coder) {
  static constexpr uint8_t kBinaryComment[] = {0x25, 0xC4, 0xE5, 0xF2, 0xE5, 0xEB, 0xA7,
                                               0xF3, 0xA0, 0xD0, 0xC4, 0xC6, 0x0A};
  coder.encodeBytes("%PDF-1.3\n");
  coder.encodeBytes(kBinaryComment, sizeof kBinaryComment);
  std::vector<uint64_t> offsets;
  offsets.reserve(catalog_.size());
  for (const auto& [number, object] : catalog_) {
    offsets.push_back(coder.writePosition());
    object->encodeWithCoder(coder);
  }
  const uint64_t xref = coder.writePosition();
  coder.encodeBytes("xref\n");
  coder.encodeBytes(fmt::format("0 {}\n", catalog_.size() + 1));
  coder.encodeBytes(fmt::format("{:010} {:5} f \n", 0, 65535));
  for (uint64_t offset : offsets) coder.encodeBytes(fmt::format("{:010} {:05} n \n", offset, 0));
  coder.encodeBytes("trailer\n");
  if (trailer_) {
    trailer_->setObject(std::make_shared<PDFInteger>(static_cast<int32_t>(catalog_.size() + 1)),
                        "/Size");
    trailer_->encodeWithCoder(coder);
  }
  coder.encodeBytes(fmt::format("\nstartxref\n{}\n", xref));
  coder.encodeBytes("%%EOF\n");
}

int32_t StrellPDFDocument(const Buffer& data, StrellerProgress* controller,
                          const std::string& originalFile, bool dontSaveDuplicates, bool extended) {
  PDFDocument document;
  document.setStrellController(controller);
  document.setExtended(extended);
  document.setData(data);
  document.setOriginalFile(originalFile);
  if (controller != nullptr) controller->subProgress(0.4);
  document.saveImages(dontSaveDuplicates);
  return 1;
}

}  // namespace strellbox
