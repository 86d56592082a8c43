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
#include <vector>

#include "engine/buffer.h"
#include "engine/digest.h"
#include "pdf/pdf_object.h"
#include "pdf/pdf_scanner.h"

namespace strellbox {

class PDFArchiver;
class PDFStandardSecurity;
class StrellerProgress;

// Looks at the byte at `position`, then the ones before it down to
// `lowerBound` inclusive; at the first equal to `byte` stores its position
// and returns true. Otherwise returns false and leaves `position` alone.
bool ScanBackToChar(const Buffer& data, uint64_t& position, uint64_t lowerBound, uint8_t byte);

// Reads the buffer as a PDF document and saves the images inside it; with
// `extended`, by the rules for today's files (see PDFDocument::setExtended).
int32_t StrellPDFDocument(const Buffer& data, StrellerProgress* controller,
                          const std::string& originalFile, bool dontSaveDuplicates,
                          bool extended = false);

class PDFDocument : public PDFScannerHost {
 public:
  // Scanner work allowed per byte of the document (plus a fixed slack):
  // a real file is scanned a few times over at most (the look-ahead after
  // an integer rescans two tokens), while objects listed at overlapping
  // offsets could otherwise make the parse quadratic in the file's size.
  static constexpr uint64_t kWorkPerByte = 16;
  static constexpr uint64_t kWorkSlack = 1 << 20;

  // Bytes that decoding cross-reference, object and content streams may
  // write, per byte of the document (plus a fixed slack): those streams
  // hold text, which deflate packs 3 to 10 times, while a crafted stream
  // could inflate a thousandfold.
  static constexpr uint64_t kDecodePerByte = 32;
  static constexpr uint64_t kDecodeSlack = 32 << 20;
  // Objects a document may list, per byte of it (plus a fixed number): a
  // real object takes 20 bytes of cross-reference table and a dozen of
  // body at the least (a few bytes more, compressed, in an object stream),
  // while a crafted cross-reference stream or run of object headers could
  // name one every few bytes. A listed object costs about 250 bytes of
  // memory once parsed, so the catalog stays under 8 times the document.
  static constexpr uint64_t kBytesPerObject = 32;
  static constexpr uint64_t kObjectSlack = 65536;
  // Object streams followed through /Extends from the one an entry names.
  static constexpr int kMaxExtends = 16;

  enum class Encryption {
    kNone,
    kOpened,  // decrypted with the empty user password
    kLocked,  // its images are not saved
  };

  PDFDocument() = default;
  ~PDFDocument() override;

  void setStrellController(StrellerProgress* controller) { strellController_ = controller; }
  void setOriginalFile(std::string originalFile) { originalFile_ = std::move(originalFile); }
  // The rules for today's files: cross-reference and object streams,
  // damaged documents rebuilt from their "N G obj" headers, decryption,
  // images told apart by a full digest, inline images. Set before setData.
  void setExtended(bool on) { extended_ = on; }
  bool extended() const { return extended_; }
  // Holds the bytes and reads the document.
  void setData(Buffer data);
  Encryption encryption() const { return encryption_; }
  // Whether the catalog was rebuilt by a scan for object headers.
  bool recovered() const { return recovered_; }
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
  // Every inline image of the content streams, as a one-page document.
  void saveInlineImages(bool dontSaveDuplicates);

  // PDFScannerHost.
  bool compressedObjectBytes(PDFScanner& scanner, const PDFIndirectObject& entry, Buffer& bytes,
                             uint64_t& offset) override;
  void objectParsed(const PDFIndirectObject& entry, const PDFObjectPtr& object) override;

  // Writes the document as PDF 1.3 with one cross-reference subsection;
  // its object numbers must be exactly 1 to n.
  void encodeWithCoder(PDFArchiver& coder);

  int32_t saveCounter() const { return saveCounter_; }

 private:
  // Reads one section's entries into the catalog; the offset of what
  // follows the table, or nothing when there is no table at the offset.
  bool readSection(uint64_t offset, uint64_t& end);

  // The extended reader (pdf_xref.cpp, pdf_recovery.cpp).
  struct ObjectStream {
    Buffer bytes;  // decoded
    uint64_t first = 0;
    std::vector<std::pair<uint32_t, uint64_t>> objects;  // number, offset after /First
    std::unordered_map<uint32_t, uint32_t> indexOf;
    uint32_t extends = 0;
  };
  void readExtended();
  uint64_t findLastStartXRef() const;
  bool readChain(uint64_t offset);
  bool readTable(uint64_t offset, std::shared_ptr<PDFDictionary>& trailer);
  bool readXRefStream(uint64_t offset, std::shared_ptr<PDFDictionary>& trailer);
  void addEntry(uint32_t number, uint64_t type, uint64_t field2, uint64_t field3);
  void mergeTrailer(const PDFDictionary& older);
  bool entriesPointAtObjects() const;
  bool objectHeaderAt(uint64_t offset, uint32_t number) const;
  void rebuildCatalog();
  void findRecoveryTrailer();
  void registerObjectStreams(PDFScanner& scanner);
  void setUpDecryption(PDFScanner& scanner);
  void decryptStrings(const PDFObjectPtr& object, uint32_t objectID, uint32_t generation);
  const ObjectStream* objectStream(PDFScanner& scanner, uint32_t number);
  uint64_t entryCap() const;
  // Extended duplicate key of an image: its data and decoding entries.
  ItemDigest imageIdentity(const PDFStream& stream, const Buffer& plain) const;
  void saveImage(const std::shared_ptr<PDFIndirectObject>& source, const PDFStream& stream,
                 uint64_t offset, const Buffer& provenance, bool dontSaveDuplicates);

  Buffer data_;
  PDFCatalog catalog_;
  std::shared_ptr<PDFDictionary> trailer_;
  StrellerProgress* strellController_ = nullptr;
  std::string originalFile_;
  int32_t saveCounter_ = 0;
  std::unique_ptr<std::unordered_map<int32_t, int32_t>> streamDigests_;
  std::set<uint64_t> sectionsRead_;
  uint64_t workBudget_ = 0;

  bool extended_ = false;
  bool recovered_ = false;
  Encryption encryption_ = Encryption::kNone;
  uint64_t decodeBudget_ = 0;
  std::map<uint32_t, std::unique_ptr<ObjectStream>> objectStreams_;
  std::shared_ptr<PDFStandardSecurity> security_;
  uint32_t encryptObjectID_ = 0;
  std::set<ItemDigest> imageIdentities_;
};

}  // namespace strellbox
