// JPEG images: stand-alone streams, measured by walking their markers from
// the start-of-image to the end-of-image marker, and the images that Flash
// movies keep in JPEGTables, DefineBits and DefineBitsJPEG3 tags, which are
// recognised by the tag header standing directly in front of the JPEG data.
//
// With extended detection the walk follows the files today's writers make
// (an image ends at its EOI whatever follows, segments of 0xFFxx bytes, an
// image cut in its scan data gives way to the next SOI), EXIF thumbnails
// come out as items of their own, and the JPEG data of DefineBitsJPEG2 and
// DefineBitsJPEG4 tags is found too.
#include <fmt/format.h>

#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "engine/log.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/image_scan.h"
#include "extractors/tiff_ifd.h"

namespace strellbox {

namespace {

constexpr uint64_t npos = Buffer::npos;

// An SOI marker and the first byte of the marker after it.
constexpr std::string_view kImageStart = "\xFF\xD8\xFF";
constexpr std::string_view kImageEnd = "\xFF\xD9";

// Flash tag headers in their long form (code * 64 + 63, little-endian),
// with the distance from the header to the JPEG data behind it.
constexpr uint8_t kJPEGTables[2] = {0x3F, 0x02};       // header at p - 6
constexpr uint8_t kDefineBits[2] = {0xBF, 0x01};       // header at p - 8
constexpr uint8_t kDefineBitsJPEG3[2] = {0xFF, 0x08};  // header at p - 12

bool HeaderAt(const Buffer& b, uint64_t p, uint64_t back, const uint8_t (&header)[2]) {
  return p > back && b.u8(p - back) == header[0] && b.u8(p - back + 1) == header[1];
}

// The tags whose JPEG data extended detection takes by the size the tag
// states: DefineBitsJPEG2 (code 21; the tag's length counts the 2-byte
// character id and the data), DefineBitsJPEG3 (code 35) and DefineBitsJPEG4
// (code 90; both give the size of the JPEG data, which alpha data follows).
struct SizedTag {
  uint8_t header[2];
  uint64_t back;         // from the header to the JPEG data
  uint64_t sizeBack;     // from the size field to the JPEG data
  bool sizeIsTagLength;  // the field is the tag's length: the data is 2 bytes shorter
  bool nonStandard;      // named and typed as a DefineBitsJPEG3 image
};
constexpr SizedTag kSizedTags[] = {
    {{0x7F, 0x05}, 8, 6, true, false},
    {{0xFF, 0x08}, 12, 4, false, true},
    {{0xBF, 0x16}, 14, 6, false, true},
};
// Movies before version 8 may put EOI SOI in front of the data's own SOI.
constexpr std::string_view kErroneousHeader = "\xFF\xD9\xFF\xD8";

// Finds end-of-image markers for the scan step of the marker walk. Dropped
// candidates send later walks over the same bytes again, so the last answer
// is kept: it holds for every start in [known_, hit_], and a search that
// begins in front of that stretch only scans up to it. Scanned bytes are
// charged to the call's budget.
class ImageEndFinder {
 public:
  ImageEndFinder(const Buffer& data, WalkBudget& budget) : data_(data), budget_(budget) {}

  // First r >= from with FF D9 at r, both bytes inside the buffer, or npos.
  uint64_t next(uint64_t from) {
    if (known_ != npos && from >= known_ && (hit_ == npos || from <= hit_)) return hit_;
    uint64_t hit;
    if (known_ != npos && from < known_) {
      hit = data_.find(kImageEnd, from, known_);
      budget_.spend((hit == npos ? known_ : hit) - from);
      if (hit == npos) hit = hit_;
    } else {
      hit = data_.find(kImageEnd, from, npos);
      const uint64_t end = hit == npos ? data_.size() : hit;
      budget_.spend(end > from ? end - from : 0);
    }
    known_ = from;
    hit_ = hit;
    return hit;
  }

 private:
  const Buffer& data_;
  WalkBudget& budget_;
  uint64_t known_ = npos;
  uint64_t hit_ = npos;
};

// How the marker walk of a stand-alone candidate ended.
enum class WalkEnd {
  kImage,    // an EOI after an SOS or APP0 marker: the item is [start, q + 2)
  kDropped,  // the structure broke, or an EOI came before any SOS or APP0
  kRanOut,   // fill bytes stepped past the last marker position
};

struct MarkerWalk {
  WalkEnd end;
  uint64_t start;  // the SOI the item starts with
  uint64_t q;      // the EOI of an image; where the walk stopped otherwise
};

// Walks the markers of a stand-alone candidate whose SOI stands at p.
//
// Each pass takes the first rule that applies, in this order:
//   fill   - the byte two ahead is FF: a marker without a length (or a fill
//            byte) is followed directly by another marker; step over it.
//            This comes before the EOI rule, so an EOI followed directly by
//            another marker does not end the image: streams that carry their
//            tables as SOI tables EOI SOI image EOI stay whole.
//   EOI    - FF D9 ends the walk; it ends an image only after an SOS or an
//            APP0 marker (a tables-only stream is no picture).
//   SOS    - the entropy-coded data, restart markers and later scans are
//            passed over by searching for the next FF D9.
//   other  - a segment with a length; it must be followed by FF.
// Only the EOI rule tests the FF in front of the code.
//
// Dead ends: the end of a walk depends on its offset and on whether an SOS
// or APP0 was met. A walk dropped after meeting one broke on the structure,
// which drops any walk that reaches the same offset; offsets it stepped on
// before meeting one drop every walk that reaches them without having met
// one (with one met, the same path may end in an image).
struct JPEGDeadEnds {
  explicit JPEGDeadEnds(uint64_t n) : any(n), unseen(n) {}
  DeadEnds any;     // stepped on after an SOS or APP0
  DeadEnds unseen;  // stepped on before any
};

MarkerWalk WalkMarkers(const Buffer& b, uint64_t p, ImageEndFinder& imageEnd, WalkBudget& budget,
                       JPEGDeadEnds& dead, WalkMode mode) {
  const uint64_t n = b.size();
  uint64_t start = p;
  if (b.u8(p + 2) == 0xFF && b.u8(p + 3) == 0xD8) start = p + 2;  // a second SOI
  uint64_t q = start + 2;
  bool seen = false;  // an SOS or APP0 marker was met
  while (q <= n - 2) {
    if (AtDeadEnd(dead.any, q, seen ? mode : WalkMode::kFirst) ||
        (!seen && AtDeadEnd(dead.unseen, q, mode)))
      return {WalkEnd::kDropped, start, q};
    budget.spend(1);
    if (q < n - 2 && b.u8(q + 2) == 0xFF) {
      q += 2;
      continue;
    }
    if (b.u8(q) == 0xFF && b.u8(q + 1) == 0xD9)
      return {seen ? WalkEnd::kImage : WalkEnd::kDropped, start, q};
    const uint8_t code = b.u8(q + 1);
    if (code == 0xDA) {
      seen = true;
      const uint64_t r = imageEnd.next(q + 1);
      if (r == npos) return {WalkEnd::kDropped, start, q};
      q = r;
      continue;
    }
    if (code == 0xE0) seen = true;
    if (q >= n - 3) return {WalkEnd::kDropped, start, q};
    const uint64_t next = q + b.be16(q + 2) + 2;
    if (next >= n || b.u8(next) != 0xFF) return {WalkEnd::kDropped, start, q};
    q = next;
  }
  return {WalkEnd::kRanOut, start, q};
}

// The extended walk also remembers the first EXIF segment, for its thumbnail.
struct ExtendedWalk {
  MarkerWalk walk;
  uint64_t exif = npos;  // the TIFF header inside the segment
  uint64_t exifEnd = 0;  // the end of the segment
};

constexpr std::array<bool, 256> MakeScanEnds() {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = c != 0x00 && c != 0xFF && (c < 0xD0 || c > 0xD7);
  return t;
}
constexpr std::array<bool, 256> kScanEnds = MakeScanEnds();

// Finds the marker that ends entropy-coded data: FF followed by anything but
// 00 (stuffing), D0 to D7 (restart markers) and FF (fill). Like
// ImageEndFinder, the last answer is kept for the starts it holds for, and
// scanned bytes are charged to the call's budget.
class ScanEndFinder {
 public:
  ScanEndFinder(const Buffer& data, WalkBudget& budget) : data_(data), budget_(budget) {}

  uint64_t next(uint64_t from) {
    if (known_ != npos && from >= known_ && (hit_ == npos || from <= hit_)) return hit_;
    const uint64_t limit = known_ != npos && from < known_ ? known_ : npos;
    uint64_t hit = data_.findPairIn(0xFF, kScanEnds, from, limit);
    budget_.spend((hit == npos ? std::min(limit, data_.size()) : hit) - from);
    if (hit == npos && limit != npos) hit = hit_;
    known_ = from;
    hit_ = hit;
    return hit;
  }

 private:
  const Buffer& data_;
  WalkBudget& budget_;
  uint64_t known_ = npos;
  uint64_t hit_ = npos;
};

// Walks the markers of a stand-alone candidate the way today's writers
// lay them out. At each marker, by its code:
//   FF       - a fill byte: step one byte on.
//   D9 EOI   - after an SOS or APP0 the image ends here, whatever follows
//              (fill bytes, the next image). Before either, an EOI followed
//              by an SOI is the end of inline tables; the walk goes on past
//              both. Otherwise the candidate is dropped (tables only).
//   D8 SOI   - a new image starts before this one ended: dropped, so that
//              the search finds the new one.
//   D0-D7,01 - no length: step over the two bytes.
//   DA SOS   - the header by its length, then the entropy-coded data up to
//              the next marker that is not stuffing, a restart or fill.
//   00       - not a marker: dropped.
//   other    - a segment stepped by its length, whatever its first byte.
// Every marker must start with FF. The dead ends are those of WalkMarkers.
ExtendedWalk WalkMarkersExtended(const Buffer& b, uint64_t p, ScanEndFinder& scanEnd,
                                 WalkBudget& budget, JPEGDeadEnds& dead, WalkMode mode) {
  const uint64_t n = b.size();
  ExtendedWalk result;
  uint64_t start = p;
  if (b.u8(p + 2) == 0xFF && b.u8(p + 3) == 0xD8) start = p + 2;  // a second SOI
  uint64_t q = start + 2;
  bool seen = false;
  auto end = [&](WalkEnd how) {
    result.walk = {how, start, q};
    return result;
  };
  while (b.has(q, 2)) {
    if (AtDeadEnd(dead.any, q, seen ? mode : WalkMode::kFirst) ||
        (!seen && AtDeadEnd(dead.unseen, q, mode)))
      return end(WalkEnd::kDropped);
    budget.spend(1);
    if (b.u8(q) != 0xFF) return end(WalkEnd::kDropped);
    const uint8_t code = b.u8(q + 1);
    if (code == 0xFF) {
      q += 1;
      continue;
    }
    if (code == 0xD9) {
      if (seen) return end(WalkEnd::kImage);
      if (b.u8(q + 2) != 0xFF || b.u8(q + 3) != 0xD8) return end(WalkEnd::kDropped);
      q += 4;
      continue;
    }
    if (code == 0xD8 || code == 0x00) return end(WalkEnd::kDropped);
    if ((code >= 0xD0 && code <= 0xD7) || code == 0x01) {
      q += 2;
      continue;
    }
    if (!b.has(q, 4)) return end(WalkEnd::kDropped);
    const uint64_t length = b.be16(q + 2);
    const uint64_t next = q + 2 + length;
    if (length < 2 || next >= n) return end(WalkEnd::kDropped);
    if (code == 0xE0) seen = true;
    if (code == 0xE1 && result.exif == npos &&
        b.startsWith(q + 4, std::string_view("Exif\0\0", 6))) {
      result.exif = q + 10;
      result.exifEnd = next;
    }
    if (code == 0xDA) {
      seen = true;
      const uint64_t r = scanEnd.next(next);
      if (r == npos) return end(WalkEnd::kDropped);
      q = r;
      continue;
    }
    q = next;
  }
  return end(WalkEnd::kRanOut);
}

// The JPEG thumbnail that IFD1 of an EXIF segment names (JPEGInterchange-
// Format and its length): its offset and length, inside the segment, or
// nothing.
std::optional<std::pair<uint64_t, uint64_t>> ExifThumbnail(const Buffer& b, uint64_t tiff,
                                                           uint64_t segmentEnd) {
  constexpr uint16_t kThumbnailOffset = 0x0201;
  constexpr uint16_t kThumbnailLength = 0x0202;
  const auto reader = TiffReader::at(b, tiff);
  if (!reader || reader->big()) return std::nullopt;
  const auto ifd0 = reader->directory(reader->firstDirectory());
  if (!ifd0 || ifd0->end > segmentEnd) return std::nullopt;
  const auto ifd1 = reader->directory(ifd0->next);
  if (!ifd1 || ifd1->end > segmentEnd) return std::nullopt;
  uint64_t offset = 0, length = 0;
  for (uint64_t i = 0; i < ifd1->entries; ++i) {
    const TiffEntry e = reader->entry(*ifd1, i);
    if (e.tag == kThumbnailOffset) offset = reader->element(e, 0);
    if (e.tag == kThumbnailLength) length = reader->element(e, 0);
  }
  const uint64_t at = tiff + offset;
  if (offset == 0 || length < 4 || at >= segmentEnd || length > segmentEnd - at)
    return std::nullopt;
  if (!b.startsWith(at, "\xFF\xD8") || !b.startsWith(at + length - 2, kImageEnd))
    return std::nullopt;
  return std::make_pair(at, length);
}

}  // namespace

int32_t strellJPEG(ScanContext& context, const Buffer& data, const std::string& from) {
  const uint64_t n = data.size();
  if (n <= kSmallestScannedBuffer) return 0;

  const bool extended = context.extended();
  const std::string base = DeletingPathExtension(LastPathComponent(from));
  int32_t count = 0;
  // The contents of the last JPEGTables tag less its closing EOI; they
  // complete every later DefineBits image of this buffer.
  std::optional<Buffer> tables;
  WalkBudget budget(n);
  ImageEndFinder imageEnd(data, budget);
  ScanEndFinder scanEnd(data, budget);
  JPEGDeadEnds dead(n);

  // The JPEG data [at, at + size) of a tag that states its size, when it
  // ends with an EOI; the SOI candidate p lies at its start.
  struct TaggedImage {
    uint64_t at, size;
    bool nonStandard;
  };
  auto sizedTagImage = [&](uint64_t p) -> std::optional<TaggedImage> {
    for (const SizedTag& tag : kSizedTags) {
      for (const bool erroneous : {false, true}) {
        // With the erroneous header the candidate is its SOI, two bytes in.
        const uint64_t dataAt = erroneous ? p - 2 : p;
        if (erroneous && (p < 2 || !data.startsWith(dataAt, kErroneousHeader))) continue;
        if (!HeaderAt(data, dataAt, tag.back, tag.header)) continue;
        const uint64_t field = data.le32(dataAt - tag.sizeBack);
        if (tag.sizeIsTagLength && field < 2) continue;
        const uint64_t size = tag.sizeIsTagLength ? field - 2 : field;
        const uint64_t skip = erroneous ? kErroneousHeader.size() : 0;
        if (size < skip + 4 || size > n - dataAt) continue;
        if (!data.startsWith(dataAt + size - 2, kImageEnd)) continue;
        return TaggedImage{dataAt + skip, size - skip, tag.nonStandard};
      }
    }
    return std::nullopt;
  };

  uint64_t position = 0;
  while (position < n - 6 && !context.stopStreller()) {
    const uint64_t p = data.find(kImageStart, position, n - 6);
    if (p == npos) break;

    // The tag in front of the SOI decides, whatever becomes of the candidate.
    if (HeaderAt(data, p, 6, kJPEGTables)) {
      const uint64_t length = data.le32(p - 4);
      if (length < 2 || p + length >= n) {
        // Too short to hold even its EOI, or cut off by the end of the
        // buffer: keep the tables held so far and search on behind the SOI.
        position = p + 2;
        continue;
      }
      tables = data.copy(p, length - 2);
      position = p + length;
    } else if (HeaderAt(data, p, 8, kDefineBits) && tables) {
      const uint64_t length = data.le32(p - 6);  // counts the 2-byte character id
      const uint64_t end = p + length;
      if (end >= n) {
        position = p + 2;
        continue;
      }
      if (length >= 4 && data.u8(end - 4) == 0xFF && data.u8(end - 3) == 0xD9) {
        // The tables stand in for the image's own SOI: tables, then the image
        // data after its SOI, make one complete JPEG file.
        const std::string_view held = tables->view();
        const std::string_view body = data.view(p + 2, length - 4);
        std::vector<uint8_t> joined;
        joined.reserve(held.size() + body.size());
        joined.insert(joined.end(), held.begin(), held.end());
        joined.insert(joined.end(), body.begin(), body.end());
        const Buffer image = Buffer(std::move(joined)).decodedFrom(data, Decoder(DecoderId::kSwf).key, p);
        context.saveStrell(image, 0, image.size(), "jpg", from, count, ItemEnd::kDecoded);
        ++count;
      } else {
        StrellLog("Swf JPEG error\n");
      }
      // A tag too short to hold an SOI and an EOI is passed over behind its SOI.
      position = length >= 4 ? end - 2 : p + 2;
    } else if (HeaderAt(data, p, 12, kDefineBitsJPEG3)) {
      const uint64_t length = data.le32(p - 4);  // the JPEG data; alpha data follows
      const uint64_t end = p + length;
      if (end >= n || data.u8(end - 2) != 0xFF || data.u8(end - 1) != 0xD9) {
        position = p + 2;
        continue;
      }
      const std::string name = fmt::format("{}-non-standard", base);
      context.saveStrell(data, p, length, "jpg", name, count, ItemEnd::kLength);
      ++count;
      position = end;
    } else if (const auto tagged = extended ? sizedTagImage(p) : std::nullopt) {
      if (tagged->nonStandard)
        context.saveStrell(data, tagged->at, tagged->size, "jpg",
                           fmt::format("{}-non-standard", base), count, ItemEnd::kLength);
      else
        context.saveStrell(data, tagged->at, tagged->size, "jpg", from, count, ItemEnd::kLength);
      ++count;
      position = tagged->at + tagged->size;
    } else if (extended) {
      const uint64_t spent = budget.spent();
      const ExtendedWalk walk =
          WalkMarkersExtended(data, p, scanEnd, budget, dead, WalkMode::kFirst);
      const MarkerWalk& w = walk.walk;
      if (w.end == WalkEnd::kDropped) {
        if (budget.exhausted()) break;
        if (budget.spent() - spent > WalkBudget::kShortWalk)
          WalkMarkersExtended(data, p, scanEnd, budget, dead, WalkMode::kMarking);
        position = w.start + 2;
        continue;
      }
      if (w.end == WalkEnd::kRanOut) {
        position = w.q;
        continue;
      }
      const uint64_t length = w.q - w.start + 2;
      if (IsWholeBuffer(w.start, length, n)) context.setAtomicFileFound(true);
      context.saveStrell(data, w.start, length, "jpg", from, count, ItemEnd::kWalk);
      ++count;
      if (walk.exif != npos) {
        if (const auto thumb = ExifThumbnail(data, walk.exif, walk.exifEnd)) {
          // Its offset and length are fields of the EXIF directory.
          context.saveStrell(data, thumb->first, thumb->second, "jpg",
                             fmt::format("{}-thumbnail", base), count, ItemEnd::kLength);
          ++count;
        }
      }
      position = w.q + 2;
    } else {
      const uint64_t spent = budget.spent();
      const MarkerWalk walk = WalkMarkers(data, p, imageEnd, budget, dead, WalkMode::kFirst);
      if (walk.end == WalkEnd::kDropped) {
        if (budget.exhausted()) break;
        if (budget.spent() - spent > WalkBudget::kShortWalk)
          WalkMarkers(data, p, imageEnd, budget, dead, WalkMode::kMarking);
        position = walk.start + 2;
        continue;
      }
      if (walk.end == WalkEnd::kRanOut) {
        position = walk.q;  // at or past the end: the search is over
        continue;
      }
      const uint64_t length = walk.q - walk.start + 2;
      if (IsWholeBuffer(walk.start, length, n)) context.setAtomicFileFound(true);
      context.saveStrell(data, walk.start, length, "jpg", from, count, ItemEnd::kWalk);
      ++count;
      // Resume at the EOI: nothing inside an accepted image (an EXIF
      // thumbnail, say) is reported on its own.
      position = walk.q;
    }
  }
  return count;
}

}  // namespace strellbox
