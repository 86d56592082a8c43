// TIFF images, in both byte orders and as BigTIFF, and the camera raw files
// that are TIFF inside (CR2, NEF, DNG, ARW, PEF): the file's extent is the
// furthest byte that a bounded walk of its directories reaches (the
// directories themselves, the values they point at, the strips, tiles and
// JPEG data they name), following the chain of directories and the
// sub-directories of raw files. A row of its own, run with extended
// detection.
#include <algorithm>
#include <optional>
#include <unordered_set>
#include <vector>

#include "engine/scan_context.h"
#include "extractors/image_scan.h"
#include "extractors/tiff_ifd.h"

namespace strellbox {

namespace {

constexpr uint64_t kHeader = 8;

// Directories walked for one file at most: a multi-page TIFF has one per
// page, a raw file a handful; each is visited once, so a directory that
// points at itself or back at an earlier one ends its chain.
constexpr size_t kMaxDirectories = 1024;

// Entries and array elements one pass may read, per byte of its buffer: an
// entry is 12 bytes (20 in BigTIFF), an element of a strip or tile array 2
// to 8 bytes and stands for a strip of image data besides, so real files
// read far fewer. Crafted directories that the walks from many headers
// read again end the pass once the reads run out.
constexpr uint64_t kBytesPerRead = 2;

constexpr uint16_t kImageWidth = 256;
constexpr uint16_t kImageLength = 257;
constexpr uint16_t kStripOffsets = 273;
constexpr uint16_t kStripByteCounts = 279;
constexpr uint16_t kTileOffsets = 324;
constexpr uint16_t kTileByteCounts = 325;
constexpr uint16_t kSubIFDs = 330;
constexpr uint16_t kJPEGInterchangeFormat = 513;
constexpr uint16_t kJPEGInterchangeFormatLength = 514;
constexpr uint16_t kExifIFD = 34665;
constexpr uint16_t kGPSIFD = 34853;
constexpr uint16_t kInteropIFD = 40965;

// The end of the furthest of the ranges offset[k], offset[k] + count[k],
// relative to the header; 0 when a range leaves the buffer (then the file is
// cut short). Each element read is charged to the budget.
uint64_t RangesEnd(const TiffReader& r, const TiffEntry& offsets, const TiffEntry& counts,
                   uint64_t n, WalkBudget& budget, bool& cut) {
  uint64_t end = 0;
  const uint64_t elements = std::min(offsets.count, counts.count);
  for (uint64_t k = 0; k < elements; ++k) {
    budget.spend(1);
    if (budget.exhausted()) return end;
    const uint64_t offset = r.element(offsets, k), length = r.element(counts, k);
    if (offset > n || length > n - std::min(offset, n) || r.base() + offset + length > n) {
      cut = true;
      return end;
    }
    end = std::max(end, offset + length);
  }
  return end;
}

// The length of the TIFF whose header stands at p, or 0 when it is no image
// file (no directory with a size and image data) or is cut short.
uint64_t MeasureTIFF(const Buffer& b, uint64_t p, WalkBudget& budget) {
  const auto reader = TiffReader::at(b, p);
  if (!reader) return 0;
  const TiffReader& r = *reader;
  const uint64_t n = b.size();
  uint64_t extent = r.big() ? 16 : kHeader;  // relative to the header
  bool image = false;
  std::vector<uint64_t> pending{r.firstDirectory()};
  std::unordered_set<uint64_t> visited;
  bool first = true;
  while (!pending.empty() && visited.size() < kMaxDirectories && !budget.exhausted()) {
    const uint64_t offset = pending.back();
    pending.pop_back();
    if (offset == 0 || !visited.insert(offset).second) continue;
    const auto dir = r.directory(offset);
    if (!dir) {
      if (first) return 0;
      continue;  // a broken link past the first directory: what was read stands
    }
    first = false;
    extent = std::max(extent, dir->end - p);
    TiffEntry stripOffsets, stripCounts, tileOffsets, tileCounts;
    uint64_t width = 0, height = 0, jpegAt = 0, jpegLength = 0;
    for (uint64_t i = 0; i < dir->entries; ++i) {
      budget.spend(1);
      const TiffEntry e = r.entry(*dir, i);
      if (!e.inlineValue) {
        if (e.valueAt < p || e.valueAt > n || e.valueBytes > n - e.valueAt) return 0;
        extent = std::max(extent, e.valueAt + e.valueBytes - p);
      }
      switch (e.tag) {
        case kImageWidth:
          width = r.element(e, 0);
          break;
        case kImageLength:
          height = r.element(e, 0);
          break;
        case kStripOffsets:
          stripOffsets = e;
          break;
        case kStripByteCounts:
          stripCounts = e;
          break;
        case kTileOffsets:
          tileOffsets = e;
          break;
        case kTileByteCounts:
          tileCounts = e;
          break;
        case kJPEGInterchangeFormat:
          jpegAt = r.element(e, 0);
          break;
        case kJPEGInterchangeFormatLength:
          jpegLength = r.element(e, 0);
          break;
        case kSubIFDs:
          for (uint64_t k = 0; k < e.count && pending.size() < kMaxDirectories; ++k)
            pending.push_back(r.element(e, k));
          break;
        case kExifIFD:
        case kGPSIFD:
        case kInteropIFD:
          if (pending.size() < kMaxDirectories) pending.push_back(r.element(e, 0));
          break;
        default:
          break;
      }
    }
    bool cut = false;
    const uint64_t strips = RangesEnd(r, stripOffsets, stripCounts, n, budget, cut);
    const uint64_t tiles = RangesEnd(r, tileOffsets, tileCounts, n, budget, cut);
    if (cut) return 0;
    if (jpegAt != 0 && jpegLength != 0) {
      if (jpegAt > n || jpegLength > n - std::min(jpegAt, n) || p + jpegAt + jpegLength > n)
        return 0;
      extent = std::max(extent, jpegAt + jpegLength);
    }
    extent = std::max({extent, strips, tiles});
    if (width != 0 && height != 0 && (strips != 0 || tiles != 0 || jpegLength != 0)) image = true;
    if (dir->next != 0 && pending.size() < kMaxDirectories) pending.push_back(dir->next);
  }
  return image ? extent : 0;
}

// A header starts with its byte order, "II" or "MM"; the TIFF inside an
// EXIF segment is the metadata of the image around it, not an image file,
// and is dropped by the measure.
constexpr CarveSignature kByteOrders[] = {{"II"}, {"MM"}};
constexpr CarvedFormat kTIFF = {
    .type = "tiff",
    .signatures = kByteOrders,
    .window = kHeader,
    .stepAfterDrop = 1,
    .budget = [](uint64_t n) { return WalkBudget::ofUnits(n / kBytesPerRead); },
};

}  // namespace

int32_t strellTIFF(ScanContext& context, const Buffer& data, const std::string& from) {
  return CarveItems(context, kTIFF, data, from,
                    [&](uint64_t p, WalkBudget& budget, WalkMode) -> std::optional<uint64_t> {
                      if (p >= 6 && data.startsWith(p - 6, std::string_view("Exif\0\0", 6)))
                        return std::nullopt;
                      return MeasureTIFF(data, p, budget);
                    });
}

}  // namespace strellbox
