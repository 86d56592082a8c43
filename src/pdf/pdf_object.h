// The PDF values the reader builds, the writer writes and the image
// extraction copies. Names and strings keep their source text as scanned
// (delimiters and escapes included); stream data is never decoded.
//
// Ownership: objects live in std::shared_ptr. A container holds a share of
// each object it contains. A reference's links to its target are weak: the
// target is owned by the catalog of the document it came from, and the link
// is valid while that document lives (it reads as none afterwards, never as
// freed memory).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/buffer.h"

namespace strellbox {

class PDFArchiver;
class PDFObject;
class PDFIndirectObject;

// Decrypts a stream's data when it is read to be written or decoded, so that
// an encrypted document's streams are not all held twice.
class PDFStreamCipher {
 public:
  virtual ~PDFStreamCipher() = default;
  virtual Buffer decryptStream(const Buffer& data, uint32_t objectID,
                               uint32_t generation) const = 0;
};

using PDFObjectPtr = std::shared_ptr<PDFObject>;
// Every indirect object of a document by object number, in ascending order.
using PDFCatalog = std::map<uint32_t, std::shared_ptr<PDFIndirectObject>>;
using PDFObjectMap = std::map<std::string, PDFObjectPtr>;

// Where a deep copy puts the indirect objects it makes: the target catalog
// (numbered 1, 2, 3, ... in the order first reached) and, beside it, the map
// from a source object number to the copy made for it.
struct PDFCopyCatalog {
  explicit PDFCopyCatalog(PDFCatalog& target) : objects(target) {}
  PDFCatalog& objects;
  std::map<uint32_t, std::shared_ptr<PDFIndirectObject>> renumbering;

  // Bookkeeping of the copy's recursion: depth of nested copies, and the
  // indirect objects whose contents wait to be copied (see kMaxCopyDepth).
  int depth = 0;
  std::vector<std::pair<const PDFIndirectObject*, std::shared_ptr<PDFIndirectObject>>> pending;

  uint32_t nextNumber() const { return static_cast<uint32_t>(objects.size() + 1); }
};

class PDFObject {
 public:
  virtual ~PDFObject() = default;

  virtual int32_t intValue() const { return 0; }
  virtual std::optional<std::string> stringValue() const { return std::nullopt; }
  virtual std::string description() const;
  // Appends the object's PDF syntax.
  virtual void encodeWithCoder(PDFArchiver& coder) const;

  // Copies the object and everything it reaches through references into the
  // copy catalog, renumbering the indirect objects densely. Returns none
  // when there is nothing to copy (a reference to a missing object).
  PDFObjectPtr deepCopyWithCatalog(PDFCopyCatalog& catalog) const;
  int32_t copyStatus() const { return copyStatus_; }

  // The first object parsed from the text, without catalog or controller.
  static PDFObjectPtr objectWithString(std::string_view text);

 protected:
  // The class's own copy; called by deepCopyWithCatalog.
  virtual PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const;

 private:
  mutable int32_t copyStatus_ = 0;
};

class PDFNull : public PDFObject {
 public:
  static std::shared_ptr<PDFNull> pdfNull() { return std::make_shared<PDFNull>(); }
  std::string description() const override;
  void encodeWithCoder(PDFArchiver& coder) const override;

 protected:
  PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const override;
};

class PDFBool : public PDFObject {
 public:
  explicit PDFBool(bool value) : boolValue_(value ? 1 : 0) {}
  bool boolValue() const { return boolValue_ != 0; }
  std::string description() const override;
  void encodeWithCoder(PDFArchiver& coder) const override;

 protected:
  PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const override;

 private:
  int8_t boolValue_;
};

// A real reads 0 as an integer: it has no intValue of its own.
class PDFReal : public PDFObject {
 public:
  explicit PDFReal(double value) : doubleValue_(value) {}
  double doubleValue() const { return doubleValue_; }
  std::string description() const override;
  void encodeWithCoder(PDFArchiver& coder) const override;

 protected:
  PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const override;

 private:
  double doubleValue_;
};

class PDFInteger : public PDFObject {
 public:
  explicit PDFInteger(int32_t value) : intValue_(value) {}
  static std::shared_ptr<PDFInteger> pdfIntegerWithInt(int32_t value) {
    return std::make_shared<PDFInteger>(value);
  }
  int32_t intValue() const override { return intValue_; }
  std::string description() const override;
  void encodeWithCoder(PDFArchiver& coder) const override;

 protected:
  PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const override;

 private:
  int32_t intValue_;
};

// A name with its leading "/", "#" escapes left as they were.
class PDFName : public PDFObject {
 public:
  explicit PDFName(std::string name) : name_(std::move(name)) {}
  static std::shared_ptr<PDFName> pdfNameWithString(std::string name) {
    return std::make_shared<PDFName>(std::move(name));
  }
  const std::string& name() const { return name_; }
  std::optional<std::string> stringValue() const override { return name_; }
  std::string description() const override;
  void encodeWithCoder(PDFArchiver& coder) const override;

 protected:
  PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const override;

 private:
  std::string name_;
};

// A string token as scanned: "(...)" with its escapes, or "<...>".
class PDFString : public PDFObject {
 public:
  explicit PDFString(std::string string) : string_(std::move(string)) {}
  static std::shared_ptr<PDFString> pdfStringWithString(std::string string) {
    return std::make_shared<PDFString>(std::move(string));
  }
  const std::string& string() const { return string_; }
  // Replaces the text (a decrypted string, written as hexadecimal).
  void setString(std::string string) { string_ = std::move(string); }
  std::optional<std::string> stringValue() const override { return string_; }
  std::string description() const override;
  void encodeWithCoder(PDFArchiver& coder) const override;

 protected:
  PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const override;

 private:
  std::string string_;
};

class PDFArray : public PDFObject {
 public:
  explicit PDFArray(std::vector<PDFObjectPtr> array) : array_(std::move(array)) {}
  const std::vector<PDFObjectPtr>& array() const { return array_; }
  std::string description() const override;
  void encodeWithCoder(PDFArchiver& coder) const override;

 protected:
  PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const override;

 private:
  std::vector<PDFObjectPtr> array_;
};

// Keys are the names' text with the leading "/". The map is ordered, so the
// description and the written bytes do not depend on hashing.
class PDFDictionary : public PDFObject, public std::enable_shared_from_this<PDFDictionary> {
 public:
  explicit PDFDictionary(PDFObjectMap dictionary) : dictionary_(std::move(dictionary)) {}
  const PDFObjectMap& dictionary() const { return dictionary_; }
  PDFObjectPtr objectForKey(const std::string& key) const;
  std::optional<std::string> stringForKey(const std::string& key) const;
  void setObject(PDFObjectPtr object, const std::string& key);
  void removeObjectForKey(const std::string& key) { dictionary_.erase(key); }
  // Stores the other dictionary's entries here, replacing equal keys.
  void addEntriesFromDictionary(const PDFDictionary& other);
  std::string description() const override;
  void encodeWithCoder(PDFArchiver& coder) const override;

 protected:
  std::string entriesDescription() const;
  void encodeEntries(PDFArchiver& coder) const;
  PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const override;
  PDFObjectMap copyEntries(PDFCopyCatalog& catalog) const;

 private:
  PDFObjectMap dictionary_;
};

// A dictionary with its raw, never decoded, data.
class PDFStream : public PDFDictionary {
 public:
  PDFStream(PDFObjectMap dictionary, Buffer data)
      : PDFDictionary(std::move(dictionary)), data_(std::move(data)) {}
  // The data as stored in the file (encrypted in an encrypted document).
  const Buffer& data() const { return data_; }
  // The data decrypted, or as stored when the document is not encrypted.
  Buffer plainData() const;
  void setCipher(std::shared_ptr<const PDFStreamCipher> cipher, uint32_t objectID,
                 uint32_t generation);
  bool encrypted() const { return cipher_ != nullptr; }
  std::string description() const override;
  void encodeWithCoder(PDFArchiver& coder) const override;

 protected:
  PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const override;

 private:
  Buffer data_;
  std::shared_ptr<const PDFStreamCipher> cipher_;
  uint32_t cipherObjectID_ = 0;
  uint32_t cipherGeneration_ = 0;
};

class PDFIndirectObject : public PDFObject {
 public:
  PDFIndirectObject(uint32_t objectID, uint32_t generation, uint32_t offset)
      : objectID_(objectID), generation_(generation), offset_(offset) {}
  uint32_t objectID() const { return objectID_; }
  uint32_t generation() const { return generation_; }
  uint32_t offset() const { return offset_; }
  // An object kept inside an object stream: that stream's number and the
  // object's index in it (the stream number is 0 for an object in the file).
  void setObjectStream(uint32_t streamID, uint32_t index) {
    objectStream_ = streamID;
    indexInStream_ = index;
  }
  uint32_t objectStream() const { return objectStream_; }
  uint32_t indexInStream() const { return indexInStream_; }
  bool inObjectStream() const { return objectStream_ != 0; }
  const PDFObjectPtr& object() const { return object_; }
  // Holds the new value and lets go of the old one. The object itself is
  // refused: it would own itself and never be released.
  void setObject(PDFObjectPtr object);
  int32_t intValue() const override;
  std::string description() const override;
  void encodeWithCoder(PDFArchiver& coder) const override;

  // While the object is parsed its value is a placeholder null, so that a
  // reference back to it finds a value and does not parse it again. A
  // placeholder that a reference linked to is kept for the life of this
  // object, since the reference's link must stay valid.
  void beginParse();
  bool isParsing() const { return placeholder_ != nullptr && object_ == placeholder_; }
  void placeholderLinked() { placeholderLinked_ = true; }
  void endParse();

 protected:
  PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const override;

 private:
  friend class PDFObject;
  uint32_t objectID_;
  uint32_t generation_;
  uint32_t offset_;
  uint32_t objectStream_ = 0;
  uint32_t indexInStream_ = 0;
  bool placeholderLinked_ = false;
  PDFObjectPtr object_;
  PDFObjectPtr placeholder_;
};

class PDFIndirectObjectReference : public PDFObject {
 public:
  PDFIndirectObjectReference(uint32_t objectID, uint32_t generation)
      : objectID_(objectID), generation_(generation) {}
  uint32_t objectID() const { return objectID_; }
  uint32_t generation() const { return generation_; }
  void setObjectID(uint32_t objectID) { objectID_ = objectID; }
  PDFObjectPtr referencedObject() const { return referencedObject_.lock(); }
  void setReferencedObject(const PDFObjectPtr& object);
  std::shared_ptr<PDFIndirectObject> referencedIndirectObject() const {
    return referencedIndirectObject_.lock();
  }
  void setReferencedIndirectObject(const std::shared_ptr<PDFIndirectObject>& object) {
    referencedIndirectObject_ = object;
  }
  int32_t intValue() const override;
  std::string description() const override;
  void encodeWithCoder(PDFArchiver& coder) const override;

 protected:
  PDFObjectPtr copyContents(PDFCopyCatalog& catalog) const override;

 private:
  uint32_t objectID_;
  uint32_t generation_;
  std::weak_ptr<PDFObject> referencedObject_;
  std::weak_ptr<PDFIndirectObject> referencedIndirectObject_;
};

}  // namespace strellbox
