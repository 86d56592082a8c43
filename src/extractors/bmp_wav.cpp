// Windows bitmaps and RIFF WAVE sounds. Both state their total size in the
// header, so nothing inside the item is walked: find the signature, take the
// size, check that the item fits in the buffer, report it.
#include "engine/scan_context.h"
#include "extractors/image_scan.h"

namespace strellbox {

namespace {

constexpr uint64_t npos = Buffer::npos;

// How one of the two formats is recognised and measured.
struct SizedFormat {
  std::string_view signature;
  uint64_t window;  // candidates start before N - window; also the step past a dropped one
  std::string_view type;
  // The item's length from its header (64-bit: a size near 2^32 cannot wrap).
  uint64_t (*length)(const Buffer& b, uint64_t p);
  // Further header tests: the rest of the signature (the search is for its
  // first part), and whether a measured candidate is taken.
  bool (*isSignature)(const Buffer& b, uint64_t p);
  bool (*accepts)(const Buffer& b, uint64_t p, uint64_t length);
};

constexpr SizedFormat kBMP = {
    "BM",
    32,
    "bmp",
    [](const Buffer& b, uint64_t p) -> uint64_t { return b.le32(p + 2); },
    [](const Buffer&, uint64_t) { return true; },
    // The information header must be the common 40-byte one (only the low
    // byte of its size is looked at). A size field of 0 would make an empty
    // item and leave the search where it was; such a header is passed over.
    [](const Buffer& b, uint64_t p, uint64_t length) {
      return length > 0 && p + length <= b.size() && b.u8(p + 14) == 0x28;
    },
};

constexpr SizedFormat kWAV = {
    "RIFF",
    12,
    "wav",
    [](const Buffer& b, uint64_t p) -> uint64_t { return uint64_t{b.le32(p + 4)} + 8; },
    [](const Buffer& b, uint64_t p) { return b.startsWith(p + 8, "WAVE"); },
    [](const Buffer& b, uint64_t p, uint64_t length) { return p + length <= b.size(); },
};

// The one pass of both formats.
int32_t StrellSized(ScanContext& context, const SizedFormat& format, const Buffer& data,
                    const std::string& from) {
  const uint64_t n = data.size();
  if (n <= kSmallestScannedBuffer) return 0;

  int32_t count = 0;
  const uint64_t limit = n - format.window;
  uint64_t position = 0;
  while (position < limit && !context.stopStreller()) {
    uint64_t p = data.find(format.signature, position, limit);
    while (p != npos && !format.isSignature(data, p)) p = data.find(format.signature, p + 1, limit);
    if (p == npos) break;

    const uint64_t length = format.length(data, p);
    if (format.accepts(data, p, length)) {
      if (p == 0 && length > n - 8) context.setAtomicFileFound(true);
      context.saveStrell(data, p, length, format.type, from, count);
      ++count;
      position = p + length;  // nothing inside the item is reported again
    } else {
      position = p + format.window;
    }
  }
  return count;
}

}  // namespace

int32_t strellBMP(ScanContext& context, const Buffer& data, const std::string& from) {
  return StrellSized(context, kBMP, data, from);
}

int32_t strellWAV(ScanContext& context, const Buffer& data, const std::string& from) {
  return StrellSized(context, kWAV, data, from);
}

}  // namespace strellbox
