// JPEG XL pictures, in their two forms:
//  - the container: the signature box, "ftyp" of brand "jxl ", then boxes
//    walked by their sizes. The picture is whole once its codestream is (a
//    "jxlc" box, or the "jxlp" part whose index has the last-part bit);
//    the metadata boxes that follow it are the file's too, up to the first
//    box of another kind.
//  - the bare codestream (FF 0A), which states no length of its own: libjxl
//    decodes it from memory, fed a growing window of the buffer, and the
//    item ends where the decoder stopped consuming at its end. Random bytes
//    hold an FF 0A every 64 KiB and a decoder costs tens of microseconds to
//    set up, so the headers are walked first (jxl_headers.h): the decoder
//    sees only the few candidates whose headers hold. A picture larger than
//    kMaxPixels, or a decoder asking for more than kMaxMemory, is passed
//    over, so that a hostile header cannot make it allocate gigabytes.
// A row of its own, run with extended detection.
#include <jxl/decode.h>

#include <cstdlib>
#include <memory>
#include <optional>

#include "engine/cursor.h"
#include "engine/scan_context.h"
#include "extractors/image_scan.h"
#include "extractors/jxl_headers.h"

namespace strellbox {

namespace {

constexpr std::string_view kContainer{
    "\x00\x00\x00\x0C"
    "JXL \x0D\x0A\x87\x0A",
    12};
constexpr std::string_view kCodestream{"\xFF\x0A", 2};
constexpr uint64_t kBoxHeader = 8;
// jxlp's part index: its top bit marks the last part.
constexpr uint32_t kLastPart = 0x80000000u;

// Pixels of one frame a bare codestream may have: 2^24 (a 16-megapixel
// photo) decodes in well under a second; anything larger is refused
// before the decoder allocates for it.
constexpr uint64_t kMaxPixels = uint64_t{1} << 24;
// What the decoder may hold allocated at once: a frame at kMaxPixels in
// float planes with its group buffers fits.
constexpr uint64_t kMaxMemory = uint64_t{512} << 20;
// Decoders one buffer may set up in vain, for bare codestreams it refuses:
// kDecodersAlways, and one more per kBytesPerDecoder of the buffer. Random
// bytes waste one every few MiB; crafted headers that hold, each over data
// the decoder refuses, run out of them, and from then on only containers
// are measured. A decoder that measures a picture costs none of them: the
// pictures' own bytes bound how many there are.
constexpr uint64_t kDecodersAlways = 16;
constexpr uint64_t kBytesPerDecoder = uint64_t{64} << 10;
// Where the header walk could not reach the end, the decoder is fed a
// window of the buffer that starts with what the walk covered, at least
// this much, and doubles each time the decoder asks for more (it copies
// what it holds at each step; fed the whole rest of a large buffer at
// once, it copies all of it).
constexpr uint64_t kFirstWindow = uint64_t{4} << 10;
// The window grows past this only once the decoder has read a frame's
// header: an ICC profile and a preview fit well within it, while random
// bytes whose header walk held fail in it or never get that far.
constexpr uint64_t kBeforeFirstFrame = uint64_t{1} << 20;
// Decoding costs one unit of the walk budget per this many pixels.
constexpr uint64_t kPixelsPerUnit = 4;
// Walking the headers, one unit per this many bytes read (and one for the
// candidate): a bit reader's step costs several of a byte's walk.
constexpr uint64_t kHeaderBytesPerUnit = 16;

bool IsFourCC(std::string_view t) {
  for (const char c : t)
    if (static_cast<uint8_t>(c) < 0x20 || static_cast<uint8_t>(c) > 0x7E) return false;
  return true;
}

// Boxes that may follow the codestream in a file (metadata, the JPEG
// reconstruction data, levels and frame index).
bool IsTrailingBox(std::string_view t) {
  for (std::string_view known : {"Exif", "xml ", "jumb", "brob", "jbrd", "jxli", "jxll", "free"})
    if (t == known) return true;
  return false;
}

// Allocations the decoder makes, counted, refused beyond kMaxMemory.
struct CountedMemory {
  uint64_t live = 0;

  static void* Alloc(void* opaque, size_t size) {
    auto* self = static_cast<CountedMemory*>(opaque);
    if (size > kMaxMemory - self->live) return nullptr;
    auto* block = static_cast<uint64_t*>(std::malloc(size + sizeof(std::max_align_t)));
    if (!block) return nullptr;
    block[0] = size;
    self->live += size;
    return reinterpret_cast<char*>(block) + sizeof(std::max_align_t);
  }
  static void Free(void* opaque, void* address) {
    if (!address) return;
    auto* block =
        reinterpret_cast<uint64_t*>(static_cast<char*>(address) - sizeof(std::max_align_t));
    static_cast<CountedMemory*>(opaque)->live -= block[0];
    std::free(block);
  }
};

void DropRows(void*, size_t, size_t, size_t, const void*) {}

// The length of the codestream at p whose headers hold, decoded by libjxl,
// or nothing.
std::optional<uint64_t> DecodeJxlCodestream(const Buffer& b, uint64_t p, WalkBudget& budget,
                                            const JxlHeaderCheck& headers) {
  CountedMemory memory;
  const JxlMemoryManager manager{&memory, &CountedMemory::Alloc, &CountedMemory::Free};
  const std::unique_ptr<JxlDecoder, void (*)(JxlDecoder*)> decoder(JxlDecoderCreate(&manager),
                                                                   JxlDecoderDestroy);
  if (!decoder) return std::nullopt;
  JxlDecoder* dec = decoder.get();
  if (JxlDecoderSubscribeEvents(dec, JXL_DEC_BASIC_INFO | JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE) !=
          JXL_DEC_SUCCESS ||
      JxlDecoderSetKeepOrientation(dec, JXL_TRUE) != JXL_DEC_SUCCESS)
    return std::nullopt;
  // Where the walk reached the codestream's end, the decoder gets exactly
  // the codestream, else a growing window of the buffer.
  const bool walkedAll = headers.end == JxlWalkEnd::kLastFrame;
  const uint64_t available = walkedAll ? headers.walkedTo : b.size() - p;
  uint64_t end = std::min(available, std::max(kFirstWindow, headers.walkedTo));
  budget.spend(end);
  JxlDecoderSetInput(dec, b.data() + p, end);
  if (end == available) JxlDecoderCloseInput(dec);
  bool frameRead = false;
  uint64_t framePixels = 0;
  const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  for (;;) {
    switch (JxlDecoderProcessInput(dec)) {
      case JXL_DEC_BASIC_INFO: {
        JxlBasicInfo info;
        if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS) return std::nullopt;
        framePixels = uint64_t{info.xsize} * info.ysize;
        if (framePixels == 0 || framePixels > kMaxPixels) return std::nullopt;
        break;
      }
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
        // Each frame is charged before it is decoded, so a long animation
        // of large frames stops once the budget is spent.
        budget.spend(framePixels / kPixelsPerUnit + 1);
        if (budget.exhausted()) return std::nullopt;
        if (JxlDecoderSetImageOutCallback(dec, &format, DropRows, nullptr) != JXL_DEC_SUCCESS)
          return std::nullopt;
        break;
      case JXL_DEC_FRAME:
        frameRead = true;
        break;
      case JXL_DEC_FULL_IMAGE:
        break;
      case JXL_DEC_NEED_MORE_INPUT: {
        const uint64_t grown = std::min(end * 2, available);
        if (end == available || (!frameRead && grown > kBeforeFirstFrame)) return std::nullopt;
        budget.spend(grown - end);
        if (budget.exhausted()) return std::nullopt;
        const uint64_t start = end - JxlDecoderReleaseInput(dec);
        end = grown;
        JxlDecoderSetInput(dec, b.data() + p + start, end - start);
        if (end == available) JxlDecoderCloseInput(dec);
        break;
      }
      case JXL_DEC_SUCCESS: {
        const uint64_t unconsumed = JxlDecoderReleaseInput(dec);
        if (unconsumed >= end) return std::nullopt;
        return end - unconsumed;
      }
      default:
        return std::nullopt;  // an error, or an event not subscribed to
    }
  }
}

// The length of the bare codestream at p, or nothing. `decodersWasted`
// counts the decoders that refused what this buffer gave them.
std::optional<uint64_t> MeasureJxlCodestream(const Buffer& b, uint64_t p, WalkBudget& budget,
                                             uint64_t& decodersWasted) {
  if (!b.startsWith(p, kCodestream) || budget.exhausted()) return std::nullopt;
  const JxlHeaderCheck headers = CheckJxlCodestreamHeaders(b.data() + p, b.size() - p, kMaxPixels);
  budget.spend(1 + headers.bytesRead / kHeaderBytesPerUnit);
  if (!headers.holds() || decodersWasted == kDecodersAlways + b.size() / kBytesPerDecoder)
    return std::nullopt;
  const std::optional<uint64_t> length = DecodeJxlCodestream(b, p, budget, headers);
  if (!length) ++decodersWasted;
  return length;
}

// The length of the container at p, its boxes walked, or nothing.
std::optional<CarveLength> MeasureJxlContainer(const Buffer& b, uint64_t p, WalkBudget& budget,
                                               uint64_t& decodersWasted) {
  Cursor c(b, p + kContainer.size());
  bool first = true, whole = false;
  for (;;) {
    budget.spend(1);
    const uint64_t boxStart = c.at();
    Cursor box = c;  // reads the header without committing the walk to it
    const std::optional<uint32_t> size32 = box.be32();
    const std::optional<std::string_view> type = box.bytes(4);
    if (!size32 || !type || !IsFourCC(*type)) break;
    if (whole && !IsTrailingBox(*type)) break;
    if (first && (*type != "ftyp" || !box.startsWith("jxl "))) return std::nullopt;
    uint64_t size = *size32;
    if (size == 1) {
      const std::optional<uint32_t> high = box.be32(), low = box.be32();
      if (!high || !low) break;
      size = (uint64_t{*high} << 32) | *low;
    } else if (size == 0) {
      // A last box that runs to the end of its file: only the codestream
      // box may, and the codestream then measures it.
      if (*type != "jxlc" || whole) break;
      const std::optional<uint64_t> codestream =
          MeasureJxlCodestream(b, box.at(), budget, decodersWasted);
      if (!codestream) return std::nullopt;
      return CarveLength(box.at() + *codestream - p);
    }
    const uint64_t header = box.at() - boxStart;
    if (size < header || size > c.left()) break;
    c.skip(size);
    if (*type == "jxlc") {
      if (whole) break;
      whole = true;
    } else if (*type == "jxlp") {
      const std::optional<uint32_t> index = box.be32();
      if (!index || size < header + 4) return std::nullopt;
      if (*index & kLastPart) whole = true;
    }
    first = false;
  }
  // A walk that stopped short of the end of the codestream has no picture.
  if (!whole) return std::nullopt;
  return CarveLength(c.at() - p);
}

// Each signature searched on its own: one sweep for both would stop at
// every pair of zero bytes, the container signature's first two.
uint64_t FindCodestream(const Buffer& b, uint64_t from, uint64_t limit) {
  return b.find(kCodestream, from, limit);
}

constexpr CarveSignature kJxlSignatures[] = {{kContainer},
                                             {kCodestream, nullptr, &FindCodestream}};
constexpr CarvedFormat kJxl = {
    .type = "jxl",
    .signatures = kJxlSignatures,
    .window = 2,
    // Decoding is charged per pixel besides the bytes walked: a buffer
    // always affords one picture at the size limit.
    .budget =
        [](uint64_t n) {
          return WalkBudget::ofUnits(n * WalkBudget::kWalkWorkPerByte +
                                     kMaxPixels / kPixelsPerUnit);
        },
};

}  // namespace

int32_t strellJXL(ScanContext& context, const Buffer& data, const std::string& from) {
  uint64_t decodersWasted = 0;
  return CarveItems(context, kJxl, data, from,
                    [&](uint64_t p, WalkBudget& budget, WalkMode) -> std::optional<CarveLength> {
                      if (data.startsWith(p, kContainer))
                        return MeasureJxlContainer(data, p, budget, decodersWasted);
                      const std::optional<uint64_t> length =
                          MeasureJxlCodestream(data, p, budget, decodersWasted);
                      if (!length) return std::nullopt;
                      return CarveLength(*length);
                    });
}

}  // namespace strellbox
