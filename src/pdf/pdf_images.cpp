// Each image stream of a document becomes a one-page PDF of its own: the
// stream and everything it refers to are copied, renumbered, into a new
// document, a page of the image's size is built around it from fixed texts,
// and the written bytes are reported as a found item. Image data is never
// decoded or re-encoded.
#include <fmt/format.h>

#include "engine/digest.h"
#include "engine/strell_progress.h"
#include "pdf/pdf_archiver.h"
#include "pdf/pdf_document.h"

namespace strellbox {

namespace {

constexpr size_t kDigestCapacity = 5000;
constexpr int32_t kMinimumSide = 2;  // images this narrow or low are passed over

int32_t IntValueForKey(const PDFDictionary& dictionary, const std::string& key) {
  PDFObjectPtr value = dictionary.objectForKey(key);
  return value ? value->intValue() : 0;
}

}  // namespace

void PDFDocument::saveImages(bool dontSaveDuplicates) {
  streamDigests_ = std::make_unique<std::unordered_map<int32_t, int32_t>>();
  streamDigests_->reserve(kDigestCapacity);
  saveCounter_ = 0;
  const double total = static_cast<double>(catalog_.size());
  int32_t i = 0;
  for (const auto& [number, object] : catalog_) {
    if (strellController_ != nullptr && strellController_->stopStreller()) break;
    ++i;
    if (dynamic_cast<const PDFStream*>(object->object().get()) != nullptr) {
      saveImageStream(number, dontSaveDuplicates);
      if (strellController_ != nullptr) strellController_->subProgress(0.4 + 0.6 * i / total);
    }
  }
  streamDigests_.reset();
}

void PDFDocument::saveImageStream(uint32_t objectID, bool dontSaveDuplicates) {
  auto entry = catalog_.find(objectID);
  if (entry == catalog_.end()) return;
  auto stream = std::dynamic_pointer_cast<PDFStream>(entry->second->object());
  if (!stream) return;
  auto subtype = std::dynamic_pointer_cast<PDFName>(stream->objectForKey("/Subtype"));
  if (!subtype || subtype->name() != "/Image") return;

  // Recorded before the size test, so a small image's data still counts.
  const int32_t key = dontSaveDuplicates ? md5Digest(stream->data()) : 0;
  if (!streamDigests_) streamDigests_ = std::make_unique<std::unordered_map<int32_t, int32_t>>();
  if (dontSaveDuplicates && streamDigests_->count(key) != 0) return;
  (*streamDigests_)[key] = 1;

  const int32_t width = IntValueForKey(*stream, "/Width");
  const int32_t height = IntValueForKey(*stream, "/Height");
  if (width <= kMinimumSide || height <= kMinimumSide) return;

  // Only a name can name the image in the resources; anything else (a
  // string, a reference) would make the resource dictionary unreadable.
  auto nameObject = std::dynamic_pointer_cast<PDFName>(stream->objectForKey("/Name"));
  const std::string name = nameObject ? nameObject->name() : "/StrelledImage";

  PDFDocument page;
  uint32_t imageNumber;
  {
    PDFCopyCatalog copy(page.catalog());
    auto image =
        std::static_pointer_cast<PDFIndirectObject>(entry->second->deepCopyWithCatalog(copy));
    imageNumber = image->objectID();
  }
  const auto n = static_cast<int32_t>(page.catalog().size());
  auto next = [&page] { return static_cast<int32_t>(page.catalog().size() + 1); };

  const std::string content = fmt::format(" q {} 0 0 {} 0 0 cm {} Do Q ", width, height, name);
  page.setCatalogObject(std::make_shared<PDFStream>(
                            PDFObjectMap{{"/Length", std::make_shared<PDFInteger>(
                                                         static_cast<int32_t>(content.size()))}},
                            Buffer::fromString(content)),
                        next());
  page.setCatalogObject(
      PDFObject::objectWithString(
          fmt::format("<< /ProcSet [ /PDF /ImageB /ImageC /ImageI ] /XObject << {} {} 0 R >> >>",
                      name, imageNumber)),
      next());
  page.setCatalogObject(PDFObject::objectWithString(fmt::format(
                            "<< /Type /Page /Parent {} 0 R /Resources {} 0 R /Contents {} 0 R "
                            "/MediaBox [ 0 0 {} {} ] >>",
                            n + 4, n + 2, n + 1, width, height)),
                        next());
  page.setCatalogObject(PDFObject::objectWithString(
                            fmt::format("<< /Type /Pages /Count 1 /Kids [ {} 0 R ] >>", n + 3)),
                        next());
  page.setCatalogObject(
      PDFObject::objectWithString(fmt::format("<< /Type /Catalog /Pages {} 0 R >>", n + 4)),
      next());
  page.setCatalogObject(
      PDFObject::objectWithString(
          "[ <f03577de61262cd390389ce5de81a0d3> <f03577de61262cd390389ce5de81a0d3> ]"),
      next());
  page.setCatalogObject(
      PDFObject::objectWithString("<< /CreationDate (D:20041002083635Z00'00') /ModDate "
                                  "(D:20041002083635Z00'00') /Producer (Streller 1.0 Extracted PDF "
                                  "Image) >>"),
      next());
  page.setTrailer(std::dynamic_pointer_cast<PDFDictionary>(PDFObject::objectWithString(
      fmt::format("<< /Size 8 /Root {} 0 R /Info {} 0 R /ID {} 0 R >>", n + 5, n + 7, n + 6))));

  PDFArchiver archiver;
  page.encodeWithCoder(archiver);
  const Buffer bytes =
      archiver.takeArchiverData().decodedFrom(data_, "pdf", entry->second->offset());
  ++saveCounter_;
  if (strellController_ != nullptr)
    strellController_->saveStrell(bytes, 0, bytes.size(), "pdf", originalFile_, saveCounter_);
}

}  // namespace strellbox
