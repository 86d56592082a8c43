#include "pdf/pdf_object.h"

#include <fmt/format.h>

#include "engine/log.h"

namespace strellbox {

namespace {

// Indirect objects copied inside one another (through references) this deep
// have their contents copied after the outermost copy has finished, instead
// of on the spot. Numbers are still given in the order first reached; only
// the contents of objects beyond this depth are copied later, so a long
// chain of references cannot exhaust the stack.
constexpr int kMaxCopyDepth = 200;

}  // namespace

// --- PDFObject ----------------------------------------------------------------

std::string PDFObject::description() const { return "PDFObject"; }

void PDFObject::encodeWithCoder(PDFArchiver&) const {
  StrellLog("encodeWithCoder Stub - abstract PDFObject\n");
}

PDFObjectPtr PDFObject::copyContents(PDFCopyCatalog&) const {
  StrellLog("deepCopyWithCatalog Stub - abstract PDFObject\n");
  return nullptr;
}

PDFObjectPtr PDFObject::deepCopyWithCatalog(PDFCopyCatalog& catalog) const {
  ++copyStatus_;
  const bool outermost = catalog.depth == 0;
  ++catalog.depth;
  PDFObjectPtr copy = copyContents(catalog);
  --catalog.depth;
  if (outermost) {
    // Contents left for later by the depth limit; copying them may leave
    // more, which this loop then takes in turn.
    for (size_t i = 0; i < catalog.pending.size(); ++i) {
      auto [source, target] = catalog.pending[i];
      ++catalog.depth;
      PDFObjectPtr object = source->object_->deepCopyWithCatalog(catalog);
      --catalog.depth;
      if (object) target->setObject(std::move(object));
    }
    catalog.pending.clear();
  }
  return copy;
}

// --- Values -------------------------------------------------------------------

std::string PDFNull::description() const { return "PDFNull"; }
PDFObjectPtr PDFNull::copyContents(PDFCopyCatalog&) const { return std::make_shared<PDFNull>(); }

std::string PDFBool::description() const { return fmt::format("PDFBool({})", boolValue_); }
PDFObjectPtr PDFBool::copyContents(PDFCopyCatalog&) const {
  return std::make_shared<PDFBool>(boolValue());
}

std::string PDFReal::description() const { return fmt::format("PDFReal({:f})", doubleValue_); }
PDFObjectPtr PDFReal::copyContents(PDFCopyCatalog&) const {
  return std::make_shared<PDFReal>(doubleValue_);
}

std::string PDFInteger::description() const { return fmt::format("PDFInteger({})", intValue_); }
PDFObjectPtr PDFInteger::copyContents(PDFCopyCatalog&) const {
  return std::make_shared<PDFInteger>(intValue_);
}

std::string PDFName::description() const { return fmt::format("PDFName({})", name_); }
PDFObjectPtr PDFName::copyContents(PDFCopyCatalog&) const {
  return std::make_shared<PDFName>(name_);
}

std::string PDFString::description() const { return fmt::format("PDFString({})", string_); }
PDFObjectPtr PDFString::copyContents(PDFCopyCatalog&) const {
  return std::make_shared<PDFString>(string_);
}

// --- PDFArray -----------------------------------------------------------------

std::string PDFArray::description() const {
  std::string elements;
  for (const auto& element : array_) elements += fmt::format(" {} \n", element->description());
  return fmt::format("PDFArray[\n{}]\n", elements);
}

PDFObjectPtr PDFArray::copyContents(PDFCopyCatalog& catalog) const {
  std::vector<PDFObjectPtr> copy;
  copy.reserve(array_.size());
  // An element whose copy is none (a reference to a missing object) is left out.
  for (const auto& element : array_)
    if (PDFObjectPtr c = element->deepCopyWithCatalog(catalog)) copy.push_back(std::move(c));
  return std::make_shared<PDFArray>(std::move(copy));
}

// --- PDFDictionary ------------------------------------------------------------

PDFObjectPtr PDFDictionary::objectForKey(const std::string& key) const {
  auto it = dictionary_.find(key);
  return it == dictionary_.end() ? nullptr : it->second;
}

std::optional<std::string> PDFDictionary::stringForKey(const std::string& key) const {
  PDFObjectPtr object = objectForKey(key);
  return object ? object->stringValue() : std::nullopt;
}

void PDFDictionary::setObject(PDFObjectPtr object, const std::string& key) {
  if (object) dictionary_[key] = std::move(object);
}

void PDFDictionary::addEntriesFromDictionary(const PDFDictionary& other) {
  for (const auto& [key, value] : other.dictionary_) dictionary_[key] = value;
}

std::string PDFDictionary::entriesDescription() const {
  std::string entries;
  for (const auto& [key, value] : dictionary_)
    entries += fmt::format(" ({} , {}) \n", key, value->description());
  return entries;
}

std::string PDFDictionary::description() const {
  // The holder count: shares of this dictionary that exist right now.
  return fmt::format("PDFDictionary{{{}}}<<\n{}>>\n", weak_from_this().use_count(),
                     entriesDescription());
}

PDFObjectMap PDFDictionary::copyEntries(PDFCopyCatalog& catalog) const {
  PDFObjectMap copy;
  // A value whose copy is none (a reference to a missing object) is left out.
  for (const auto& [key, value] : dictionary_)
    if (PDFObjectPtr c = value->deepCopyWithCatalog(catalog)) copy.emplace(key, std::move(c));
  return copy;
}

PDFObjectPtr PDFDictionary::copyContents(PDFCopyCatalog& catalog) const {
  return std::make_shared<PDFDictionary>(copyEntries(catalog));
}

// --- PDFStream ----------------------------------------------------------------

std::string PDFStream::description() const {
  return fmt::format("PDFStream<<\n{}>>\nStream data({} bytes)\n", entriesDescription(),
                     data_.size());
}

Buffer PDFStream::plainData() const {
  return cipher_ ? cipher_->decryptStream(data_, cipherObjectID_, cipherGeneration_) : data_;
}

void PDFStream::setCipher(std::shared_ptr<const PDFStreamCipher> cipher, uint32_t objectID,
                          uint32_t generation) {
  cipher_ = std::move(cipher);
  cipherObjectID_ = objectID;
  cipherGeneration_ = generation;
}

// The copy holds the data decrypted: it goes into a document of its own
// that is not encrypted.
PDFObjectPtr PDFStream::copyContents(PDFCopyCatalog& catalog) const {
  if (cipher_) {
    // Decryption takes the AES vector and padding off: the length changes.
    Buffer plain = plainData();
    PDFObjectMap entries = copyEntries(catalog);
    entries["/Length"] = std::make_shared<PDFInteger>(static_cast<int32_t>(plain.size()));
    return std::make_shared<PDFStream>(std::move(entries), std::move(plain));
  }
  return std::make_shared<PDFStream>(copyEntries(catalog), data_.copy(0, data_.size()));
}

// --- PDFIndirectObject --------------------------------------------------------

void PDFIndirectObject::setObject(PDFObjectPtr object) {
  if (object.get() == this || object == object_) return;
  object_ = std::move(object);
}

int32_t PDFIndirectObject::intValue() const { return object_ ? object_->intValue() : 0; }

std::string PDFIndirectObject::description() const {
  return fmt::format("PDFIndirectObject({} {} {}){{\n}}\n", offset_, objectID_, generation_);
}

void PDFIndirectObject::beginParse() {
  placeholder_ = std::make_shared<PDFNull>();
  placeholderLinked_ = false;
  object_ = placeholder_;
}

void PDFIndirectObject::endParse() {
  if (!placeholderLinked_ && object_ != placeholder_) placeholder_.reset();
}

PDFObjectPtr PDFIndirectObject::copyContents(PDFCopyCatalog& catalog) const {
  auto found = catalog.renumbering.find(objectID_);
  if (found != catalog.renumbering.end()) return found->second;

  // Numbered and filed before its contents are copied, so that a cycle of
  // references back to this object finds the copy.
  const uint32_t number = catalog.nextNumber();
  auto copy = std::make_shared<PDFIndirectObject>(number, 0, 0);
  catalog.objects[number] = copy;
  catalog.renumbering[objectID_] = copy;
  if (object_) {
    if (catalog.depth > kMaxCopyDepth) {
      catalog.pending.emplace_back(this, copy);
    } else if (PDFObjectPtr object = object_->deepCopyWithCatalog(catalog)) {
      copy->setObject(std::move(object));
    }
  }
  return copy;
}

// --- PDFIndirectObjectReference -----------------------------------------------

void PDFIndirectObjectReference::setReferencedObject(const PDFObjectPtr& object) {
  if (object.get() == this) StrellLog("No Way\n");
  referencedObject_ = object;
}

int32_t PDFIndirectObjectReference::intValue() const {
  PDFObjectPtr target = referencedObject_.lock();
  if (!target || target.get() == this) return 0;
  return target->intValue();
}

std::string PDFIndirectObjectReference::description() const {
  return fmt::format("PDFIndirectObjectReference({} {})", objectID_, generation_);
}

PDFObjectPtr PDFIndirectObjectReference::copyContents(PDFCopyCatalog& catalog) const {
  PDFObjectPtr target = referencedObject_.lock();
  // A reference to an integer object (a stream's /Length, typically) becomes
  // the integer itself.
  if (auto* integer = dynamic_cast<PDFInteger*>(target.get()))
    return std::make_shared<PDFInteger>(integer->intValue());
  std::shared_ptr<PDFIndirectObject> indirect = referencedIndirectObject_.lock();
  if (!target || !indirect) {
    StrellLog("deepCopyWithCatalog failed: missing referenced object\n");
    return nullptr;
  }
  std::shared_ptr<PDFIndirectObject> copy;
  auto found = catalog.renumbering.find(objectID_);
  if (found != catalog.renumbering.end()) {
    copy = found->second;
  } else {
    copy = std::static_pointer_cast<PDFIndirectObject>(indirect->deepCopyWithCatalog(catalog));
  }
  auto reference = std::make_shared<PDFIndirectObjectReference>(copy->objectID(), 0);
  if (copy->object()) reference->setReferencedObject(copy->object());
  reference->setReferencedIndirectObject(copy);
  return reference;
}

}  // namespace strellbox
