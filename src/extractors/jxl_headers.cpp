#include "extractors/jxl_headers.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>

namespace strellbox {

namespace {

// One way a 32-bit field may be coded: `bits` bits added to `offset`, or
// the constant `offset` when bits is 0.
struct Dist {
  uint8_t bits;
  uint32_t offset;
};
constexpr Dist Val(uint32_t v) { return {0, v}; }
constexpr Dist Bits(uint8_t n, uint32_t offset = 0) { return {n, offset}; }
using U32Coding = std::array<Dist, 4>;

// Enumerations: their value coded as below, and the values that exist.
constexpr U32Coding kEnum = {Val(0), Val(1), Bits(4, 2), Bits(6, 18)};
constexpr uint64_t Values(std::initializer_list<int> values) {
  uint64_t mask = 0;
  for (const int v : values) mask |= uint64_t{1} << v;
  return mask;
}
constexpr uint64_t kColourSpaces = Values({0, 1, 2, 3});  // RGB, grey, XYB, unknown
constexpr uint64_t kWhitePoints = Values({1, 2, 10, 11});
constexpr uint64_t kPrimaries = Values({1, 2, 9, 11});
constexpr uint64_t kTransferFunctions = Values({1, 2, 8, 13, 16, 17, 18});
constexpr uint64_t kRenderingIntents = Values({0, 1, 2, 3});
constexpr uint64_t kExtraChannelTypes = (uint64_t{1} << 17) - 1;

constexpr uint32_t kXyb = 2, kGrey = 1, kUnknownSpace = 3, kCustom = 2, kUnknownTransfer = 2;

constexpr U32Coding kImageSize = {Bits(9), Bits(13), Bits(18), Bits(30)};
constexpr U32Coding kName = {Val(0), Bits(4), Bits(5, 16), Bits(10, 48)};
constexpr U32Coding kCropField = {Bits(8), Bits(11, 256), Bits(14, 2304), Bits(30, 18688)};
constexpr U32Coding kUpsampling = {Val(1), Val(2), Val(4), Val(8)};
constexpr U32Coding kTocEntry = {Bits(10), Bits(14, 1024), Bits(22, 17408), Bits(30, 4211712)};

// Frame flags and types.
constexpr uint64_t kUseLfFrame = 0x20;
constexpr uint32_t kRegularFrame = 0, kLfFrame = 1, kReferenceOnly = 2, kSkipProgressive = 3;
constexpr uint32_t kVarDct = 0, kModular = 1;

// An ICC profile longer than this, compressed, is refused by the decoder.
constexpr uint64_t kMaxIccSize = uint64_t{1} << 28;
// Frames walked at most; an animation's others are the decoder's to walk.
constexpr unsigned kFramesWalked = 64;

// Reads fields low bit first. A read past the end, or a check that fails,
// marks the reader failed; later reads then return 0 and move nothing, so
// the walk stays straight code and every loop ends.
class FieldReader {
 public:
  FieldReader(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}

  bool ok() const { return ok_; }
  void fail() { ok_ = false; }
  bool check(bool condition) {
    if (!condition) fail();
    return ok_;
  }
  uint64_t bitsRead() const { return pos_; }

  uint32_t bits(unsigned n) {
    if (n == 0 || !ok_) return 0;
    if (n > size_ * 8 - pos_) {
      fail();
      return 0;
    }
    const uint64_t byte = pos_ >> 3;
    const uint64_t have = std::min<uint64_t>(8, size_ - byte);
    uint64_t word = 0;
    for (uint64_t i = 0; i < have; ++i) word |= uint64_t{data_[byte + i]} << (8 * i);
    const uint64_t value = (word >> (pos_ & 7)) & ((uint64_t{1} << n) - 1);
    pos_ += n;
    return static_cast<uint32_t>(value);
  }
  bool flag() { return bits(1) != 0; }

  uint32_t u32(const U32Coding& coding) {
    const Dist d = coding[bits(2)];
    return bits(d.bits) + d.offset;
  }

  uint64_t u64() {
    switch (bits(2)) {
      case 0:
        return 0;
      case 1:
        return 1 + bits(4);
      case 2:
        return 17 + bits(8);
      default: {
        uint64_t value = bits(12);
        for (unsigned shift = 12; ok_ && flag(); shift += 8) {
          if (shift == 60) return value | (uint64_t{bits(4)} << 60);
          value |= uint64_t{bits(8)} << shift;
        }
        return value;
      }
    }
  }

  // A half-precision float; infinities and NaNs are refused.
  float f16() {
    const uint32_t h = bits(16);
    const uint32_t exponent = (h >> 10) & 31, mantissa = h & 1023;
    if (!check(exponent != 31)) return 0;
    const float magnitude = exponent == 0 ? std::ldexp(static_cast<float>(mantissa), -24)
                                          : std::ldexp(static_cast<float>(1024 + mantissa),
                                                       static_cast<int>(exponent) - 25);
    return (h & 0x8000) ? -magnitude : magnitude;
  }
  void skipF16(unsigned count) {
    for (unsigned i = 0; i < count && ok_; ++i) f16();
  }

  uint32_t enumValue(uint64_t valid) {
    const uint32_t v = u32(kEnum);
    check(v < 64 && ((valid >> v) & 1));
    return v;
  }

  void skip(uint64_t n) {
    if (!ok_) return;
    if (n > size_ * 8 - pos_) return fail();
    pos_ += n;
    skipped_ += n;
  }
  uint64_t bitsSkipped() const { return skipped_; }

  // The bits up to the next byte boundary, which must be zero.
  void zeroPadToByte() { check(bits((8 - pos_ % 8) % 8) == 0); }

 private:
  const uint8_t* data_;
  uint64_t size_;
  uint64_t pos_ = 0;
  uint64_t skipped_ = 0;
  bool ok_ = true;
};

struct Size {
  uint64_t x = 0, y = 0;
};

uint64_t FromRatio(uint64_t y, uint32_t ratio) {
  static constexpr uint32_t kNum[] = {0, 1, 12, 4, 3, 16, 5, 2};
  static constexpr uint32_t kDen[] = {1, 1, 10, 3, 2, 9, 4, 1};
  return y * kNum[ratio] / kDen[ratio];
}

Size ReadSize(FieldReader& r) {
  const bool small = r.flag();
  const auto dimension = [&] {
    return small ? (uint64_t{r.bits(5)} + 1) * 8 : uint64_t{r.u32(kImageSize)} + 1;
  };
  Size s;
  s.y = dimension();
  const uint32_t ratio = r.bits(3);
  s.x = ratio != 0 ? FromRatio(s.y, ratio) : dimension();
  return s;
}

void SkipPreviewSize(FieldReader& r) {
  const bool div8 = r.flag();
  constexpr U32Coding kDiv8 = {Val(16), Val(32), Bits(5, 1), Bits(9, 33)};
  constexpr U32Coding kPlain = {Bits(6, 1), Bits(8, 65), Bits(10, 321), Bits(12, 1345)};
  r.u32(div8 ? kDiv8 : kPlain);
  if (r.bits(3) == 0) r.u32(div8 ? kDiv8 : kPlain);
}

void ReadBitDepth(FieldReader& r) {
  if (!r.flag()) {
    r.check(r.u32({Val(8), Val(10), Val(12), Bits(6, 1)}) <= 31);
    return;
  }
  const int bitsPerSample = static_cast<int>(r.u32({Val(32), Val(16), Val(24), Bits(6, 1)}));
  const int exponentBits = static_cast<int>(r.bits(4)) + 1;
  const int mantissaBits = bitsPerSample - exponentBits - 1;
  r.check(exponentBits >= 2 && exponentBits <= 8 && mantissaBits >= 2 && mantissaBits <= 23);
}

void SkipExtensions(FieldReader& r) {
  const uint64_t present = r.u64();
  uint64_t total = 0;
  for (unsigned i = 0; i < 64 && r.ok(); ++i) {
    if (!((present >> i) & 1)) continue;
    const uint64_t size = r.u64();
    if (!r.check(size <= UINT64_MAX - total)) return;
    total += size;
  }
  r.skip(total);
}

void SkipName(FieldReader& r) { r.skip(uint64_t{r.u32(kName)} * 8); }

void SkipExtraChannel(FieldReader& r) {
  if (r.flag()) return;  // all default: an alpha channel
  const uint32_t type = r.enumValue(kExtraChannelTypes);
  ReadBitDepth(r);
  r.check(r.u32({Val(0), Val(3), Val(4), Bits(3, 1)}) <= 3);  // dim_shift
  SkipName(r);
  constexpr uint32_t kAlpha = 0, kSpotColour = 2, kColourFilterArray = 5;
  if (type == kAlpha) r.flag();
  if (type == kSpotColour) r.skipF16(4);
  if (type == kColourFilterArray) r.u32({Val(1), Bits(2), Bits(4, 3), Bits(8, 19)});
}

void SkipCustomXy(FieldReader& r) {
  constexpr U32Coding kXy = {Bits(19), Bits(19, 524288), Bits(20, 1048576), Bits(21, 2097152)};
  r.u32(kXy);
  r.u32(kXy);
}

// Returns whether the picture carries an ICC profile.
bool ReadColourEncoding(FieldReader& r) {
  if (r.flag()) return false;  // all default: sRGB
  const bool wantIcc = r.flag();
  const uint32_t space = r.enumValue(kColourSpaces);
  if (wantIcc) return true;
  if (space != kXyb && r.enumValue(kWhitePoints) == kCustom) SkipCustomXy(r);
  if (space != kXyb && space != kGrey && r.enumValue(kPrimaries) == kCustom)
    for (int i = 0; i < 3; ++i) SkipCustomXy(r);
  bool unknownTransfer = false;
  if (space != kXyb) {
    if (r.flag()) {
      // A gamma in units of 1e-7, between 1/8192 and 1.
      const uint64_t gamma = r.bits(24);
      r.check(gamma <= 10000000 && gamma * 8192 >= 10000000);
    } else {
      unknownTransfer = r.enumValue(kTransferFunctions) == kUnknownTransfer;
    }
  }
  r.enumValue(kRenderingIntents);
  // Without a profile, the colours must be known.
  r.check(space != kUnknownSpace && !unknownTransfer);
  return false;
}

void ReadToneMapping(FieldReader& r) {
  if (r.flag()) return;
  const float intensityTarget = r.f16();
  const float minNits = r.f16();
  const bool relative = r.flag();
  const float linearBelow = r.f16();
  r.check(intensityTarget > 0 && minNits >= 0 && minNits <= intensityTarget && linearBelow >= 0 &&
          (!relative || linearBelow <= 1));
}

struct Image {
  Size size;
  bool xyb = true;
  uint32_t extraChannels = 0;
  bool preview = false, animation = false, timecodes = false, icc = false;
};

Image ReadImageMetadata(FieldReader& r) {
  Image image;
  if (r.flag()) return image;  // all default
  const bool extraFields = r.flag();
  if (extraFields) {
    r.bits(3);                  // orientation
    if (r.flag()) ReadSize(r);  // intrinsic size
    if (r.flag()) {
      image.preview = true;
      SkipPreviewSize(r);
    }
    if (r.flag()) {
      image.animation = true;
      r.u32({Val(100), Val(1000), Bits(10, 1), Bits(30, 1)});
      r.u32({Val(1), Val(1001), Bits(8, 1), Bits(10, 1)});
      r.u32({Val(0), Bits(3), Bits(16), Bits(32)});
      image.timecodes = r.flag();
    }
  }
  ReadBitDepth(r);
  r.flag();  // 16-bit buffers suffice
  image.extraChannels = r.u32({Val(0), Val(1), Bits(4, 2), Bits(12, 1)});
  for (uint32_t i = 0; i < image.extraChannels && r.ok(); ++i) SkipExtraChannel(r);
  image.xyb = r.flag();
  image.icc = ReadColourEncoding(r);
  if (extraFields) ReadToneMapping(r);
  SkipExtensions(r);
  return image;
}

void SkipTransformData(FieldReader& r, bool xyb) {
  if (r.flag()) return;
  if (xyb && !r.flag()) r.skipF16(9 + 3 + 4);  // the inverse opsin matrix, biases
  const uint32_t weights = r.bits(3);
  if (weights & 1) r.skipF16(15);
  if (weights & 2) r.skipF16(55);
  if (weights & 4) r.skipF16(210);
}

int32_t UnpackSigned(uint32_t u) {
  return (u & 1) ? -static_cast<int32_t>(u >> 1) - 1 : static_cast<int32_t>(u >> 1);
}

uint64_t DivCeil(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// Blending of the frame's colour or of one extra channel: returns its mode.
uint32_t ReadBlending(FieldReader& r, uint32_t extraChannels, bool fullFrame) {
  const uint32_t mode = r.u32({Val(0), Val(1), Val(2), Bits(2, 3)});
  r.check(mode <= 4);
  constexpr uint32_t kReplace = 0, kBlend = 2, kAlphaWeightedAdd = 3, kMul = 4;
  const bool usesAlpha = mode == kBlend || mode == kAlphaWeightedAdd;
  if (extraChannels > 0 && usesAlpha) r.u32({Val(0), Val(1), Val(2), Bits(3, 3)});
  if (extraChannels > 0 && (usesAlpha || mode == kMul)) r.flag();  // clamp
  if (!(fullFrame && mode == kReplace)) r.u32({Val(0), Val(1), Val(2), Val(3)});
  return mode;
}

void SkipRestorationFilter(FieldReader& r, uint32_t encoding) {
  if (r.flag()) return;
  if (r.flag() && r.flag()) r.skipF16(6);  // gaborish, custom weights
  const uint32_t epfIterations = r.bits(2);
  if (epfIterations > 0) {
    if (encoding == kVarDct && r.flag()) r.skipF16(8);     // sharpness table
    if (r.flag()) r.skipF16(5);                            // channel weights
    if (r.flag()) r.skipF16(encoding == kVarDct ? 4 : 3);  // sigmas
    if (encoding == kModular) r.skipF16(1);
  }
  SkipExtensions(r);
}

// What the walk of one frame found.
enum class FrameEnd { kRefused, kPermuted, kWalked, kLast };

// One frame's header and table of contents, then past its sections: the
// reader stands at the next frame's header after a walked frame.
FrameEnd ReadFrame(FieldReader& r, const Image& image, uint64_t size) {
  uint32_t type = kRegularFrame, encoding = kVarDct, upsampling = 1, groupShift = 1, passes = 1;
  uint64_t width = image.size.x, height = image.size.y;
  std::array<uint32_t, 3> jpegUpsampling{};
  bool last = true;
  if (!r.flag()) {
    type = r.bits(2);
    encoding = r.bits(1);
    const uint64_t flags = r.u64();
    const bool ycbcr = !image.xyb && r.flag();
    if (ycbcr && !(flags & kUseLfFrame))
      for (uint32_t& u : jpegUpsampling) u = r.bits(2);
    if (!(flags & kUseLfFrame)) {
      upsampling = r.u32(kUpsampling);
      for (uint32_t i = 0; i < image.extraChannels && r.ok(); ++i) r.u32(kUpsampling);
    }
    if (encoding == kModular) groupShift = r.bits(2);
    if (encoding == kVarDct && image.xyb) r.bits(6);  // the quantisation matrix scales
    if (type != kReferenceOnly) {
      passes = r.u32({Val(1), Val(2), Val(3), Bits(3, 4)});
      if (passes != 1) {
        const uint32_t downsamplings = r.u32({Val(0), Val(1), Val(2), Bits(1, 3)});
        r.check(downsamplings < passes);
        r.skip(uint64_t{passes - 1} * 2);  // shifts
        for (uint32_t i = 0; i < downsamplings && r.ok(); ++i) r.u32(kUpsampling);
        for (uint32_t i = 0; i < downsamplings && r.ok(); ++i)
          r.u32({Val(0), Val(1), Val(2), Bits(3)});
      }
    }
    if (type == kLfFrame) {
      // The frame of LF coefficients: the picture at 1 / 8^level of its size.
      const uint64_t scale = uint64_t{1} << (3 * r.u32({Val(1), Val(2), Val(3), Val(4)}));
      width = DivCeil(width, scale);
      height = DivCeil(height, scale);
    }
    const bool crop = type != kLfFrame && r.flag();
    int64_t x0 = 0, y0 = 0;
    uint32_t cropWidth = 0, cropHeight = 0;
    if (crop && type != kReferenceOnly) {
      x0 = UnpackSigned(r.u32(kCropField));
      y0 = UnpackSigned(r.u32(kCropField));
    }
    if (crop) {
      cropWidth = r.u32(kCropField);
      cropHeight = r.u32(kCropField);
      if (cropWidth) width = cropWidth;
      if (cropHeight) height = cropHeight;
    }
    const bool fullFrame =
        !crop || (x0 == 0 && y0 == 0 && cropWidth >= image.size.x && cropHeight >= image.size.y);
    const bool normal = type == kRegularFrame || type == kSkipProgressive;
    uint32_t blending = 0;
    if (normal) {
      blending = ReadBlending(r, image.extraChannels, fullFrame);
      for (uint32_t i = 0; i < image.extraChannels && r.ok(); ++i)
        ReadBlending(r, image.extraChannels, fullFrame);
    }
    uint32_t duration = 0;
    if (normal && image.animation) duration = r.u32({Val(0), Val(1), Bits(8), Bits(32)});
    if (normal && image.timecodes) r.bits(32);
    last = normal && r.flag();
    const uint32_t saveAsReference = type != kLfFrame && !last ? r.bits(2) : 0;
    const bool referable = !last && type != kLfFrame && (duration == 0 || saveAsReference != 0);
    bool saveBeforeColourTransform = false;
    if (type == kReferenceOnly || (referable && blending == 0 && fullFrame && normal))
      saveBeforeColourTransform = r.flag();
    SkipName(r);
    SkipRestorationFilter(r, encoding);
    SkipExtensions(r);
    r.check(!(type == kReferenceOnly && !saveBeforeColourTransform && !fullFrame));
  }
  if (!r.ok()) return FrameEnd::kRefused;

  // The table of contents: one entry per section.
  const uint64_t groupDim = uint64_t{128} << groupShift;
  const uint64_t xs = DivCeil(width, upsampling), ys = DivCeil(height, upsampling);
  auto shift = [&](uint32_t a, uint32_t b) {
    uint32_t most = 0;
    for (const uint32_t u : jpegUpsampling) most = std::max(most, u == a || u == b ? 1u : 0u);
    return most;
  };
  const uint32_t hShift = shift(1, 2), vShift = shift(1, 3);
  const uint64_t xBlocks = DivCeil(xs, uint64_t{8} << hShift) << hShift;
  const uint64_t yBlocks = DivCeil(ys, uint64_t{8} << vShift) << vShift;
  const uint64_t groups = DivCeil(xs, groupDim) * DivCeil(ys, groupDim);
  const uint64_t lfGroups = DivCeil(xBlocks, groupDim) * DivCeil(yBlocks, groupDim);
  const uint64_t entries = groups == 1 && passes == 1 ? 1 : 2 + lfGroups + groups * passes;
  // Each entry takes at least 12 bits.
  if (!r.check(entries <= size * 8 / 12)) return FrameEnd::kRefused;
  if (r.flag()) return FrameEnd::kPermuted;  // the permutation is entropy coded
  r.zeroPadToByte();
  uint64_t sections = 0;
  for (uint64_t i = 0; i < entries && r.check(sections <= size); ++i) sections += r.u32(kTocEntry);
  r.zeroPadToByte();
  r.skip(sections * 8);
  if (!r.ok()) return FrameEnd::kRefused;
  return last ? FrameEnd::kLast : FrameEnd::kWalked;
}

// The frames one after another, up to kFramesWalked; `walkedTo` is set to
// the end of the last one walked.
JxlWalkEnd WalkFrames(FieldReader& r, const Image& image, uint64_t size, uint64_t& walkedTo) {
  for (unsigned frame = 0; frame < kFramesWalked; ++frame) {
    switch (ReadFrame(r, image, size)) {
      case FrameEnd::kRefused:
        return JxlWalkEnd::kRefused;
      case FrameEnd::kPermuted:
        return JxlWalkEnd::kPermutedToc;
      case FrameEnd::kWalked:
        walkedTo = r.bitsRead() / 8;
        break;
      case FrameEnd::kLast:
        walkedTo = r.bitsRead() / 8;
        return JxlWalkEnd::kLastFrame;
    }
  }
  return JxlWalkEnd::kFrames;
}

}  // namespace

JxlHeaderCheck CheckJxlCodestreamHeaders(const uint8_t* data, uint64_t size, uint64_t maxPixels) {
  FieldReader r(data, size);
  r.check(r.bits(16) == 0x0AFF);
  const Size pictureSize = ReadSize(r);
  Image image = ReadImageMetadata(r);
  image.size = pictureSize;
  r.check(pictureSize.x * pictureSize.y <= maxPixels);
  SkipTransformData(r, image.xyb);
  JxlHeaderCheck check;
  if (image.icc) {
    r.check(r.u64() <= kMaxIccSize);
    check.end = JxlWalkEnd::kIccProfile;
  } else {
    r.zeroPadToByte();
    check.end = image.preview ? JxlWalkEnd::kPreview : WalkFrames(r, image, size, check.walkedTo);
  }
  if (!r.ok()) check.end = JxlWalkEnd::kRefused;
  check.bytesRead = DivCeil(r.bitsRead() - r.bitsSkipped(), 8);
  return check;
}

}  // namespace strellbox
