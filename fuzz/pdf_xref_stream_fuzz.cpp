// The cross-reference stream reader: the input stands where the file's
// startxref points (a header, then "N G obj" and the stream), and may hold
// older sections its /Prev names. The document is read with extended
// detection and its images saved, each page read back.
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
  void saveStrell(const Buffer& data, uint64_t from, uint64_t length, std::string_view,
                  std::string_view, int32_t, strellbox::ItemEnd) override {
    PDFDocument page;
    page.setExtended(true);
    page.setData(data.slice(from, length));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool quiet = (SetLogSink([](std::string_view) {}), true);
  (void)quiet;
  std::string text = "%PDF-1.5\n";
  text.append(reinterpret_cast<const char*>(bytes), size);
  text += "\nstartxref\n9\n%%EOF\n";
  Sink sink;
  StrellPDFDocument(Buffer::fromString(text), &sink, "fuzz.pdf", size % 2 == 0, true);
  return 0;
}
