// The database reader of the flate row (extended detection) over arbitrary
// bytes: headers measured, every database and write-ahead log handed to the
// library from memory under our limits and work budget, every value
// scanned again, databases reported. Every reported item must lie inside
// its buffer, and a reported database must start with its magic and be as
// long as its header says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "container_controller.h"
#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/sqlite.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using strellbox::Buffer;
  using strellbox::StrellController;
  static StrellController* controller = strellbox::ContainerFuzzController(
      [](const Buffer& data, uint64_t from, uint64_t length, std::string_view type) {
        if (type == "sqlite" && strellbox::SQLiteLength(data, from) != length) std::abort();
      });
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellSQLite, data, std::string("fuzz.db"), true);
  return 0;
}
