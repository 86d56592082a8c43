// The cache-entry reader and the Brotli wrapper over arbitrary bytes. The
// first byte picks what the bytes are taken for: a cache entry (its body
// must lie inside the buffer and decode within the limit), a Brotli stream
// (within the limit), or a whole scan of a file named *.br or *_0.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/buffer.h"
#include "engine/log.h"
#include "engine/strell_controller.h"
#include "extractors/brotli.h"
#include "extractors/cache_entry.h"

namespace {

constexpr uint64_t kMaxOutput = uint64_t{1} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using namespace strellbox;
  static const bool quiet = (SetLogSink([](std::string_view) {}), true);
  (void)quiet;
  if (size < 1) return 0;
  const Buffer data = Buffer::copyOf(bytes + 1, size - 1);
  switch (bytes[0] % 4) {
    case 0: {
      const std::optional<CacheEntry> entry = ReadCacheEntry(data);
      if (!entry) return 0;
      if (!data.has(entry->bodyAt, entry->bodyLength)) __builtin_trap();
      const std::string name = CacheEntryName(entry->url);
      if (name.empty() || name.find('/') != std::string::npos || name.size() > 100)
        __builtin_trap();
      const std::optional<Buffer> body = DecodeCacheBody(
          data.slice(entry->bodyAt, entry->bodyLength), entry->encoding, kMaxOutput);
      if (body && body->size() > kMaxOutput + data.size()) __builtin_trap();
      return 0;
    }
    case 1: {
      const std::optional<Buffer> out = DecodeBrotli(data, 0, Buffer::npos, kMaxOutput);
      if (out && out->size() > kMaxOutput) __builtin_trap();
      return 0;
    }
    default: {
      static StrellController* controller = [] {
        auto* c = new StrellController;
        c->setExtendedDetection(true);
        c->setSaveObserverForTesting([](const Buffer& b, uint64_t from, uint64_t length,
                                        std::string_view, std::string_view, int32_t, ItemEnd) {
          if (from > b.size() || length > b.size() - from) __builtin_trap();
        });
        return c;
      }();
      controller->strellData(data, bytes[0] % 4 == 2 ? "fuzz.br" : "0123456789abcdef_0");
      return 0;
    }
  }
}
