// Reads arbitrary bytes as a PDF document (cross-reference sections, the
// /Prev chain, every object) and extracts its images as one-page PDFs, each
// of which is read back.
#include <cstddef>
#include <cstdint>

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
    // What we write must read back.
    PDFDocument page;
    page.setData(data.slice(from, length));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool quiet = (SetLogSink([](std::string_view) {}), true);
  (void)quiet;
  Sink sink;
  StrellPDFDocument(Buffer::copyOf(bytes, size), &sink, "fuzz.pdf", size % 2 == 0);
  return 0;
}
