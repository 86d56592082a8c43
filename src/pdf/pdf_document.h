// A PDF document read from bytes: the cross-reference sections and their
// trailers, newest first along the /Prev chain, and every indirect object
// they list, parsed into the catalog. Also the writer of a whole document
// and the extraction of its images as one-page documents.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "engine/buffer.h"
#include "pdf/pdf_object.h"

namespace strellbox {

class PDFArchiver;
class StrellerProgress;

// Looks at the byte at `position`, then the ones before it down to
// `lowerBound` inclusive; at the first equal to `byte` stores its position
// and returns true. Otherwise returns false and leaves `position` alone.
bool ScanBackToChar(const Buffer& data, uint64_t& position, uint64_t lowerBound, uint8_t byte);

// Reads the buffer as a PDF document and saves the images inside it.
int32_t StrellPDFDocument(const Buffer& data, StrellerProgress* controller,
                          const std::string& originalFile, bool dontSaveDuplicates);

class PDFDocument {
 public:
  // Scanner work allowed per byte of the document (plus a fixed slack):
  // a real file is scanned a few times over at most (the look-ahead after
  // an integer rescans two tokens), while objects listed at overlapping
  // offsets could otherwise make the parse quadratic in the file's size.
  static constexpr uint64_t kWorkPerByte = 16;
  static constexpr uint64_t kWorkSlack = 1 << 20;

  PDFDocument() = default;

  void setStrellController(StrellerProgress* controller) { strellController_ = controller; }
  void setOriginalFile(std::string originalFile) { originalFile_ = std::move(originalFile); }
  // Holds the bytes and reads the document.
  void setData(Buffer data);
  const Buffer& data() const { return data_; }
  PDFCatalog& catalog() { return catalog_; }
  const PDFCatalog& catalog() const { return catalog_; }
  const std::shared_ptr<PDFDictionary>& trailer() const { return trailer_; }

  // Offset of the last cross-reference section, 0 when none is found.
  uint64_t findCatalogAddress() const;
  // Reads the section at the offset, its trailer and the older sections
  // behind it, then parses every object listed.
  bool readCatalog(uint64_t offset);
  int32_t setCatalogObject(PDFObjectPtr object, int32_t index);
  int32_t setTrailer(std::shared_ptr<PDFDictionary> trailer);

  void saveImages(bool dontSaveDuplicates);
  void saveImageStream(uint32_t objectID, bool dontSaveDuplicates);

  // Writes the document as PDF 1.3 with one cross-reference subsection;
  // its object numbers must be exactly 1 to n.
  void encodeWithCoder(PDFArchiver& coder);

  int32_t saveCounter() const { return saveCounter_; }

 private:
  // Reads one section's entries into the catalog; the offset of what
  // follows the table, or nothing when there is no table at the offset.
  bool readSection(uint64_t offset, uint64_t& end);

  Buffer data_;
  PDFCatalog catalog_;
  std::shared_ptr<PDFDictionary> trailer_;
  StrellerProgress* strellController_ = nullptr;
  std::string originalFile_;
  int32_t saveCounter_ = 0;
  std::unique_ptr<std::unordered_map<int32_t, int32_t>> streamDigests_;
  std::set<uint64_t> sectionsRead_;
  uint64_t workBudget_ = 0;
};

}  // namespace strellbox
