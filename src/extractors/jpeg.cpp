// JPEG images: stand-alone streams, measured by walking their markers from
// the start-of-image to the end-of-image marker, and the images that Flash
// movies keep in JPEGTables, DefineBits and DefineBitsJPEG3 tags, which are
// recognised by the tag header standing directly in front of the JPEG data.
#include <fmt/format.h>

#include <optional>
#include <vector>

#include "engine/log.h"
#include "engine/paths.h"
#include "engine/platform.h"
#include "engine/scan_context.h"
#include "extractors/image_scan.h"

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

}  // namespace

int32_t strellJPEG(ScanContext& context, const Buffer& data, const std::string& from) {
  const uint64_t n = data.size();
  if (n <= kSmallestScannedBuffer) return 0;

  int32_t count = 0;
  // The contents of the last JPEGTables tag less its closing EOI; they
  // complete every later DefineBits image of this buffer.
  std::optional<Buffer> tables;
  WalkBudget budget(n);
  ImageEndFinder imageEnd(data, budget);
  JPEGDeadEnds dead(n);

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
        const Buffer image = Buffer(std::move(joined)).decodedFrom(data, "swf", p);
        context.saveStrell(image, 0, image.size(), "jpg", from, count);
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
      const std::string name =
          fmt::format("{}-non-standard", DeletingPathExtension(LastPathComponent(from)));
      context.saveStrell(data, p, length, IsPanther() ? "jpg" : "jpeg-not", name, count);
      ++count;
      position = end;
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
      if (walk.start == 0 && length > n - 8) context.setAtomicFileFound(true);
      context.saveStrell(data, walk.start, length, "jpg", from, count);
      ++count;
      // Resume at the EOI: nothing inside an accepted image (an EXIF
      // thumbnail, say) is reported on its own.
      position = walk.q;
    }
  }
  return count;
}

}  // namespace strellbox
