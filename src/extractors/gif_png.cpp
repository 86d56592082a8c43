// GIF and PNG images: find the signature, walk the block or chunk structure
// that follows to where the image ends, and report the image as one item.
#include <optional>

#include "engine/scan_context.h"
#include "extractors/image_scan.h"

namespace strellbox {

namespace {

// --- GIF ---------------------------------------------------------------------

constexpr std::string_view kGIFStart = "GIF8";  // then '7' or '9', then 'a'
constexpr uint64_t kGIFScreenEnd = 13;          // signature and logical screen descriptor
constexpr uint64_t kGIFSkipAfterDrop = 16;

constexpr uint8_t kGIFExtension = 0x21;
constexpr uint8_t kGIFCommentLabel = 0xFE;
constexpr uint8_t kGIFImage = 0x2C;
constexpr uint8_t kGIFTrailer = 0x3B;

// The version ('7' or '9', then 'a') behind "GIF8".
bool IsGIFVersion(const Buffer& b, uint64_t p) {
  const uint8_t version = b.u8(p + 4);
  return (version == '9' || version == '7') && b.u8(p + 5) == 'a';
}

constexpr CarveSignature kGIFSignatures[] = {{kGIFStart, IsGIFVersion}};
constexpr CarvedFormat kGIF = {.type = "gif",
                               .signatures = kGIFSignatures,
                               .stepAfterDrop = kGIFSkipAfterDrop,
                               .marksDeadEnds = true};

// Bytes of the colour table that a packed-fields byte announces.
uint64_t ColourTableSize(uint8_t packed) {
  return (packed & 0x80) ? uint64_t{3} << ((packed & 0x07) + 1) : 0;
}

// The dead ends of the GIF walk: offsets read as the first byte of a block,
// and offsets read as the size byte of a data sub-block (the same offset
// means different things in the two).
struct GIFDeadEnds {
  explicit GIFDeadEnds(uint64_t n) : blocks(n), subBlocks(n) {}
  DeadEnds blocks;
  DeadEnds subBlocks;
};

// Steps over data sub-blocks from the size byte at y; returns the offset of
// the 0 that ends them, or an offset at or past the end of the buffer (also
// at a known dead end).
uint64_t SkipSubBlocks(const Buffer& b, uint64_t y, WalkBudget& budget, GIFDeadEnds& dead,
                       WalkMode mode) {
  while (y < b.size() && b.u8(y) != 0) {
    if (AtDeadEnd(dead.subBlocks, y, mode)) return b.size();
    budget.spend(1);
    y += uint64_t{b.u8(y)} + 1;
  }
  return y;
}

// Walks the blocks of the GIF whose signature stands at p; returns the
// image's length (it ends with the trailer byte), or nothing.
//
// Blocks, by their first byte:
//   21 extension - label, then data sub-blocks. Other than for a comment,
//                  the first sub-block is passed over by its size byte
//                  without reading its contents as size bytes; a comment's
//                  sub-blocks are walked from the first size byte, which may
//                  be 0 (an empty comment is 21 FE 00).
//   2C image     - a 10-byte descriptor, its local colour table, one byte of
//                  LZW code size, then data sub-blocks.
//   3B trailer   - the last byte of the image.
// Any other byte, or running off the end of the buffer, drops the candidate.
std::optional<uint64_t> MeasureGIF(const Buffer& b, uint64_t p, WalkBudget& budget,
                                   GIFDeadEnds& dead, WalkMode mode) {
  const uint64_t n = b.size();
  if (!b.has(p, kGIFScreenEnd)) return std::nullopt;
  uint64_t x = p + kGIFScreenEnd + ColourTableSize(b.u8(p + 10));
  while (x < n) {
    if (AtDeadEnd(dead.blocks, x, mode)) return std::nullopt;
    budget.spend(1);
    switch (b.u8(x)) {
      case kGIFExtension: {
        // An introducer in the last two bytes has no room for its label
        // and first size byte: the image runs off the end.
        if (!b.has(x, 3)) return std::nullopt;
        const uint64_t y = b.u8(x + 1) == kGIFCommentLabel ? x + 2 : x + 3 + b.u8(x + 2);
        x = SkipSubBlocks(b, y, budget, dead, mode) + 1;
        break;
      }
      case kGIFImage: {
        if (x >= n - 9) return std::nullopt;
        const uint64_t y = x + ColourTableSize(b.u8(x + 9)) + 11;
        x = SkipSubBlocks(b, y, budget, dead, mode) + 1;
        break;
      }
      case kGIFTrailer:
        return x - p + 1;
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

// --- PNG ---------------------------------------------------------------------

constexpr std::string_view kPNGSignature = "\x89PNG\r\n\x1A\n";
constexpr uint64_t kPNGChunkFrame = 12;  // length, type and CRC around the data
// A truncated or damaged PNG must not hide the ones after it: the search
// goes on right behind its signature.
constexpr CarveSignature kPNGSignatures[] = {{kPNGSignature}};
constexpr CarvedFormat kPNG = {.type = "png",
                               .signatures = kPNGSignatures,
                               .stepAfterDrop = kPNGSignature.size(),
                               .marksDeadEnds = true};

// Walks the chunks of the PNG whose signature stands at p; returns the
// image's length (it ends 12 bytes after the start of its IEND chunk, whose
// length field is not read), or nothing. Only the IEND type matters; CRCs
// are not checked and the first chunk need not be IHDR. A chunk header that
// does not fit before the end of the buffer ends the walk.
std::optional<uint64_t> MeasurePNG(const Buffer& b, uint64_t p, WalkBudget& budget, DeadEnds& dead,
                                   WalkMode mode) {
  uint64_t q = p + kPNGSignature.size();
  while (b.has(q, 8)) {
    if (AtDeadEnd(dead, q, mode)) return std::nullopt;
    budget.spend(1);
    if (b.startsWith(q + 4, "IEND")) {
      if (!b.has(q, kPNGChunkFrame)) return std::nullopt;
      return q - p + kPNGChunkFrame;
    }
    q += uint64_t{b.be32(q)} + kPNGChunkFrame;
  }
  return std::nullopt;
}

}  // namespace

int32_t strellGIF(ScanContext& context, const Buffer& data, const std::string& from) {
  GIFDeadEnds dead(data.size());
  return CarveItems(context, kGIF, data, from, [&](uint64_t p, WalkBudget& budget, WalkMode mode) {
    return MeasureGIF(data, p, budget, dead, mode);
  });
}

int32_t strellPNG(ScanContext& context, const Buffer& data, const std::string& from) {
  DeadEnds dead(data.size());
  return CarveItems(context, kPNG, data, from, [&](uint64_t p, WalkBudget& budget, WalkMode mode) {
    return MeasurePNG(data, p, budget, dead, mode);
  });
}

}  // namespace strellbox
