// Each image stream of a document becomes a one-page PDF of its own: the
// stream and everything it refers to are copied, renumbered, into a new
// document, a page of the image's size is built around it from fixed texts,
// and the written bytes are reported as a found item. Image data is never
// decoded or re-encoded.
#include <fmt/format.h>

#include "engine/decoder_table.h"
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

// The entries that decide how an image's data turns into pixels.
constexpr const char* kDecodingEntries[] = {
    "/BitsPerComponent", "/ColorSpace", "/Decode", "/DecodeParms", "/Filter", "/Height",
    "/ImageMask",        "/Mask",       "/SMask",  "/SMaskInData", "/Width"};
// Values (and values inside them, through references) spelled into an
// image's key at most; colour spaces and masks take a few dozen.
constexpr int kMaxIdentityNodes = 4096;

// A text that is equal for equal values: references are spelled by what
// they lead to, streams by the digest of their data.
void Spell(const PDFObjectPtr& object, std::string& out, int& nodes) {
  if (!object || --nodes < 0) {
    out += "~";
    return;
  }
  if (auto* reference = dynamic_cast<const PDFIndirectObjectReference*>(object.get())) {
    Spell(reference->referencedObject(), out, nodes);
  } else if (auto* array = dynamic_cast<const PDFArray*>(object.get())) {
    out += "[";
    for (const auto& element : array->array()) Spell(element, out, nodes);
    out += "]";
  } else if (auto* dictionary = dynamic_cast<const PDFDictionary*>(object.get())) {
    out += "<<";
    for (const auto& [key, value] : dictionary->dictionary()) {
      out += key;
      Spell(value, out, nodes);
    }
    out += ">>";
    if (auto* stream = dynamic_cast<const PDFStream*>(dictionary)) {
      const Buffer plain = stream->plainData();
      const ItemDigest digest = itemDigest(plain, 0, plain.size());
      out += "stream:";
      out.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    }
  } else {
    PDFArchiver text;
    object->encodeWithCoder(text);
    const auto& bytes = text.archiverData();
    out.append(bytes.begin(), bytes.end());
    out += " ";
  }
}

}  // namespace

ItemDigest PDFDocument::imageIdentity(const PDFStream& stream, const Buffer& plain) const {
  const ItemDigest data = itemDigest(plain, 0, plain.size());
  std::string text(reinterpret_cast<const char*>(data.data()), data.size());
  int nodes = kMaxIdentityNodes;
  for (const char* key : kDecodingEntries) {
    text += key;
    Spell(stream.objectForKey(key), text, nodes);
  }
  return itemDigest(Buffer::fromString(text), 0, text.size());
}

void PDFDocument::saveImages(bool dontSaveDuplicates) {
  // Still encrypted: nothing of it can be written as it is.
  if (encryption_ == Encryption::kLocked) return;
  streamDigests_ = std::make_unique<std::unordered_map<int32_t, int32_t>>();
  streamDigests_->reserve(kDigestCapacity);
  imageIdentities_.clear();
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
  if (extended_ && !(strellController_ != nullptr && strellController_->stopStreller()))
    saveInlineImages(dontSaveDuplicates);
  streamDigests_.reset();
}

void PDFDocument::saveImageStream(uint32_t objectID, bool dontSaveDuplicates) {
  auto entry = catalog_.find(objectID);
  if (entry == catalog_.end()) return;
  auto stream = std::dynamic_pointer_cast<PDFStream>(entry->second->object());
  if (!stream) return;
  auto subtype = std::dynamic_pointer_cast<PDFName>(stream->objectForKey("/Subtype"));
  if (!subtype || subtype->name() != "/Image") return;
  saveImage(entry->second, *stream, entry->second->offset(), data_, dontSaveDuplicates);
}

void PDFDocument::saveImage(const std::shared_ptr<PDFIndirectObject>& source,
                            const PDFStream& stream, uint64_t offset, const Buffer& provenance,
                            bool dontSaveDuplicates) {
  // Recorded before the size test, so a small image's data still counts.
  if (extended_) {
    // Equal bytes under another colour space, size or mask are another
    // image: the key covers the data and every entry that decodes it.
    const ItemDigest identity = imageIdentity(stream, stream.plainData());
    if (!imageIdentities_.insert(identity).second && dontSaveDuplicates) return;
  } else {
    const int32_t key = dontSaveDuplicates ? md5Digest(stream.data()) : 0;
    if (!streamDigests_) streamDigests_ = std::make_unique<std::unordered_map<int32_t, int32_t>>();
    if (dontSaveDuplicates && streamDigests_->count(key) != 0) return;
    (*streamDigests_)[key] = 1;
  }

  const int32_t width = IntValueForKey(stream, "/Width");
  const int32_t height = IntValueForKey(stream, "/Height");
  if (width <= kMinimumSide || height <= kMinimumSide) return;

  // Only a name can name the image in the resources; anything else (a
  // string, a reference) would make the resource dictionary unreadable.
  auto nameObject = std::dynamic_pointer_cast<PDFName>(stream.objectForKey("/Name"));
  const std::string name = nameObject ? nameObject->name() : "/StrelledImage";

  PDFDocument page;
  uint32_t imageNumber;
  {
    PDFCopyCatalog copy(page.catalog());
    auto image = std::static_pointer_cast<PDFIndirectObject>(source->deepCopyWithCatalog(copy));
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
  const Buffer bytes = archiver.takeArchiverData().decodedFrom(provenance, Decoder(DecoderId::kPdf).key, offset);
  ++saveCounter_;
  if (strellController_ != nullptr)
    strellController_->saveStrell(bytes, 0, bytes.size(), "pdf", originalFile_, saveCounter_,
                                  ItemEnd::kDecoded);
}

}  // namespace strellbox
