// The object stream reader: the input is object 1 (an object stream's
// dictionary and data); a cross-reference stream lists objects 2 to 9 as
// its members, and an image refers to each of them, so that every member
// is parsed, resolved and copied into a one-page file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/buffer.h"
#include "engine/log.h"
#include "engine/strell_progress.h"
#include "pdf/pdf_document.h"

using namespace strellbox;

namespace {

class Sink : public StrellerProgress {
 public:
  bool stopStreller() const override { return false; }
  void subProgress(double) override {}
  void saveStrell(const Buffer&, uint64_t, uint64_t, std::string_view, std::string_view, int32_t,
                  strellbox::ItemEnd) override {}
};

std::string Row(int type, uint32_t field2, uint32_t field3) {
  std::string r(1, static_cast<char>(type));
  for (int i = 3; i >= 0; --i) r += static_cast<char>(field2 >> (8 * i));
  r += static_cast<char>(field3 >> 8);
  r += static_cast<char>(field3);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool quiet = (SetLogSink([](std::string_view) {}), true);
  (void)quiet;
  std::string text = "%PDF-1.5\n";
  const size_t one = text.size();
  text += "1 0 obj\n";
  text.append(reinterpret_cast<const char*>(bytes), size);
  text += "\nendobj\n";
  const size_t image = text.size();
  text +=
      "10 0 obj\n<< /Type /XObject /Subtype /Image /Width 4 /Height 4 /BitsPerComponent 8 "
      "/ColorSpace 2 0 R /Decode 3 0 R /DecodeParms 4 0 R /Mask 5 0 R /SMask 6 0 R /A 7 0 R "
      "/B 8 0 R /C 9 0 R /Length 16 >>\nstream\n0123456789abcdef\nendstream\nendobj\n";
  std::string rows = Row(0, 0, 0) + Row(1, static_cast<uint32_t>(one), 0);
  for (uint32_t i = 0; i < 8; ++i) rows += Row(2, 1, i);
  rows += Row(1, static_cast<uint32_t>(image), 0);
  const size_t xref = text.size();
  text += "11 0 obj\n<< /Type /XRef /W [ 1 4 2 ] /Size 11 /Root 10 0 R /Length " +
          std::to_string(rows.size()) + " >>\nstream\n" + rows + "\nendstream\nendobj\n";
  text += "startxref\n" + std::to_string(xref) + "\n%%EOF\n";
  Sink sink;
  StrellPDFDocument(Buffer::fromString(text), &sink, "fuzz.pdf", true, true);
  return 0;
}
