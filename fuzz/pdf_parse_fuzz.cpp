// Parses arbitrary bytes as PDF objects: a run of top-level objects, then
// the same bytes as a file body whose objects (each "obj" keyword found)
// are catalogued, parsed with reference resolution, described, written and
// deep-copied.
#include <cstddef>
#include <cstdint>

#include "engine/buffer.h"
#include "engine/log.h"
#include "pdf/pdf_archiver.h"
#include "pdf/pdf_object.h"
#include "pdf/pdf_scanner.h"

using namespace strellbox;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool quiet = (SetLogSink([](std::string_view) {}), true);
  (void)quiet;
  const Buffer data = Buffer::copyOf(bytes, size);

  PDFScanner scanner(data, 0);
  PDFArchiver archiver;
  for (int i = 0; i < 64; ++i) {
    const uint64_t before = scanner.offset();
    PDFObjectPtr object = scanner.parse();
    if (object) {
      object->description();
      object->encodeWithCoder(archiver);
    }
    if (scanner.offset() <= before) break;
  }

  PDFCatalog catalog;
  uint32_t number = 1;
  for (uint64_t at = data.find("obj", 0); at != Buffer::npos && number <= 64;
       at = data.find("obj", at + 1)) {
    // The object's header starts at the line holding the keyword.
    uint64_t line = at;
    while (line > 0 && data.u8(line - 1) != '\n') --line;
    catalog[number] = std::make_shared<PDFIndirectObject>(number, 0, static_cast<uint32_t>(line));
    ++number;
  }
  uint64_t budget = 16 * size + 4096;
  PDFScanner bodyScanner(data, 0);
  bodyScanner.setWorkBudget(&budget);
  bodyScanner.parseCatalog(&catalog);
  for (const auto& [key, object] : catalog) {
    PDFCatalog copies;
    PDFCopyCatalog copy(copies);
    object->deepCopyWithCatalog(copy);
    for (const auto& [n, c] : copies) c->encodeWithCoder(archiver);
  }
  return 0;
}
