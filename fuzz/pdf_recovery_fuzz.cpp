// The rebuilding of a damaged document: the input's startxref leads past
// its end, so the catalog is always rebuilt from the "N G obj" headers (object streams and trailers
// included); then the images are saved.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool quiet = (SetLogSink([](std::string_view) {}), true);
  (void)quiet;
  std::string text(reinterpret_cast<const char*>(bytes), size);
  text += "\nstartxref\n99999999999\n%%EOF\n";
  Sink sink;
  PDFDocument document;
  document.setStrellController(&sink);
  document.setExtended(true);
  document.setData(Buffer::fromString(text));
  if (!document.recovered()) __builtin_trap();
  document.saveImages(size % 2 == 0);
  return 0;
}
