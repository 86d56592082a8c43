// The writer: the archiver's buffer, and the PDF syntax every object writes
// of itself. Nothing is written between the parts of an object beyond what
// is listed here; numbers are formatted without regard to the locale.
#include "pdf/pdf_archiver.h"

#include <fmt/format.h>

#include <cstring>

#include "pdf/pdf_object.h"

namespace strellbox {

void PDFArchiver::encodeBytes(const void* bytes, uint64_t length) {
  if (length == 0) return;
  if (writePosition_ + length > data_.size()) data_.resize(writePosition_ + length + kGrowthSlack);
  std::memcpy(data_.data() + writePosition_, bytes, length);
  writePosition_ += length;
}

const std::vector<uint8_t>& PDFArchiver::archiverData() {
  data_.resize(writePosition_);
  return data_;
}

Buffer PDFArchiver::takeArchiverData() {
  data_.resize(writePosition_);
  writePosition_ = 0;
  return Buffer(std::move(data_));
}

// Written as the keyword: an empty object body is not a PDF object, and a
// reader (qpdf --check among them) rejects the file.
void PDFNull::encodeWithCoder(PDFArchiver& coder) const { coder.encodeBytes("null"); }

void PDFBool::encodeWithCoder(PDFArchiver& coder) const {
  coder.encodeBytes(boolValue() ? "true" : "false");
}

void PDFInteger::encodeWithCoder(PDFArchiver& coder) const {
  coder.encodeBytes(fmt::format("{}", intValue_));
}

void PDFReal::encodeWithCoder(PDFArchiver& coder) const {
  coder.encodeBytes(fmt::format("{:f}", doubleValue_));
}

void PDFName::encodeWithCoder(PDFArchiver& coder) const { coder.encodeBytes(name_); }

void PDFString::encodeWithCoder(PDFArchiver& coder) const { coder.encodeBytes(string_); }

void PDFArray::encodeWithCoder(PDFArchiver& coder) const {
  coder.encodeBytes("[ ");
  for (const auto& element : array_) {
    element->encodeWithCoder(coder);
    coder.encodeBytes(" ");
  }
  coder.encodeBytes("]");
}

void PDFDictionary::encodeEntries(PDFArchiver& coder) const {
  coder.encodeBytes("<< ");
  for (const auto& [key, value] : dictionary_) {
    coder.encodeBytes(key);
    coder.encodeBytes(" ");
    value->encodeWithCoder(coder);
    coder.encodeBytes(" ");
  }
  coder.encodeBytes(">>");
}

void PDFDictionary::encodeWithCoder(PDFArchiver& coder) const { encodeEntries(coder); }

void PDFStream::encodeWithCoder(PDFArchiver& coder) const {
  encodeEntries(coder);
  coder.encodeBytes("\nstream\n");
  coder.encodeBytes(data_.data(), data_.size());
  coder.encodeBytes("\nendstream");
}

void PDFIndirectObject::encodeWithCoder(PDFArchiver& coder) const {
  coder.encodeBytes(fmt::format("{} {} obj\n", objectID_, generation_));
  if (object_) object_->encodeWithCoder(coder);
  coder.encodeBytes("\nendobj\n");
}

void PDFIndirectObjectReference::encodeWithCoder(PDFArchiver& coder) const {
  coder.encodeBytes(fmt::format("{} {} R", objectID_, generation_));
}

}  // namespace strellbox
