// FLAC and Ogg files.
//
// FLAC: the metadata blocks from `fLaC` (STREAMINFO first, each block
// stepped over by its length, to the one marked last), then the frames. A
// frame has no length of its own: it ends where the CRC-16 of its bytes
// comes out right, and the next one starts there with a header whose CRC-8
// checks and whose frame (or sample) number follows on. The last frame is
// the one that completes STREAMINFO's sample count, where it gives one.
// PICTURE blocks (cover art) are items of their own, named NAME-cover.
//
// Ogg: pages from one that begins a stream, each stepped over by its segment
// table and checked by its CRC-32, to the page that ends the last stream
// (multiplexed streams begin together; a chained stream may begin after
// all have ended). Pictures in a Vorbis, Opus or Theora comment packet
// (METADATA_BLOCK_PICTURE, Base64 of a FLAC PICTURE block) are items named
// NAME-cover, their origin marked as Base64 decoded.
//
// Two rows, run with extended detection.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "engine/carve.h"
#include "engine/cursor.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/base64.h"
#include "extractors/cover_art.h"
#include "extractors/mp3.h"

namespace strellbox {

namespace {

constexpr uint64_t kStreamInfoLength = 34;
constexpr uint8_t kStreamInfo = 0;
constexpr uint8_t kPicture = 6;
constexpr uint8_t kInvalidBlock = 127;

constexpr std::array<uint8_t, 256> MakeCrc8() {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    uint8_t c = static_cast<uint8_t>(i);
    for (int k = 0; k < 8; ++k) c = static_cast<uint8_t>((c & 0x80) ? (c << 1) ^ 0x07 : c << 1);
    t[i] = c;
  }
  return t;
}
constexpr std::array<uint16_t, 256> MakeCrc16() {
  std::array<uint16_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    uint16_t c = static_cast<uint16_t>(i << 8);
    for (int k = 0; k < 8; ++k)
      c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1);
    t[i] = c;
  }
  return t;
}
constexpr std::array<uint8_t, 256> kCrc8 = MakeCrc8();
constexpr std::array<uint16_t, 256> kCrc16 = MakeCrc16();

struct StreamInfo {
  uint32_t bits = 0;  // bits per sample
  uint32_t maxBlock = 0;
  uint64_t maxFrame = 0;      // a bound on a frame's bytes
  uint64_t totalSamples = 0;  // 0: not known
};

struct Picture {
  uint64_t at;
  uint64_t length;
};

// The picture's bytes in a PICTURE block's body (the cursor's window).
std::optional<Picture> PictureData(Cursor block) {
  block.be32();  // what the picture shows
  const auto mime = block.be32();
  if (mime) block.skip(*mime);
  const auto description = block.be32();
  if (description) block.skip(*description);
  block.skip(16);  // width, height, depth, colours
  const auto size = block.be32();
  if (!size || *size == 0 || block.left() < *size) return std::nullopt;
  return Picture{block.at(), *size};
}

struct FrameHeader {
  uint64_t length;  // bytes up to and with the CRC-8
  uint32_t blockSize;
  bool variable;  // numbered by sample, not by frame
  uint64_t number;
  uint8_t layout;  // channel assignment, sample size code, reserved bit
};

// The frame header at q, or nothing when it does not check.
std::optional<FrameHeader> ReadFrameHeader(const Buffer& b, uint64_t q) {
  Cursor at(b, q);
  const auto sync = at.be16();
  const auto sizes = at.u8();
  const auto layout = at.u8();
  const auto lead = at.u8();
  if (!lead || (*sync & 0xFFFE) != 0xFFF8) return std::nullopt;
  const uint8_t sizeCode = *sizes >> 4, rateCode = *sizes & 0x0F;
  if (sizeCode == 0 || rateCode == 15) return std::nullopt;
  if ((*layout >> 4) > 10 || ((*layout >> 1) & 7) == 3 || (*layout & 1)) return std::nullopt;
  // The frame or sample number, coded as UTF-8 is (up to 7 bytes).
  int extra = 0;
  uint64_t number = 0;
  if (*lead < 0x80) {
    number = *lead;
  } else if (*lead >= 0xC0 && *lead != 0xFF) {
    while (*lead & (0x40 >> extra)) ++extra;
    number = *lead & (0x3F >> extra);
    ++extra;
    for (int i = 0; i < extra; ++i) {
      const auto next = at.u8();
      if (!next || (*next & 0xC0) != 0x80) return std::nullopt;
      number = (number << 6) | (*next & 0x3F);
    }
  } else {
    return std::nullopt;
  }
  uint32_t blockSize = 0;
  if (sizeCode == 1)
    blockSize = 192;
  else if (sizeCode <= 5)
    blockSize = 576u << (sizeCode - 2);
  else if (sizeCode == 6)
    blockSize = at.u8().value_or(0) + 1u;
  else if (sizeCode == 7)
    blockSize = at.be16().value_or(0) + 1u;
  else
    blockSize = 256u << (sizeCode - 8);
  if (rateCode == 12)
    at.u8();
  else if (rateCode == 13 || rateCode == 14)
    at.be16();
  if (!at.ok()) return std::nullopt;
  uint8_t crc = 0;
  for (uint64_t i = q; i < at.at(); ++i) crc = kCrc8[crc ^ b.u8(i)];
  const auto stated = at.u8();
  if (!stated || *stated != crc) return std::nullopt;
  return FrameHeader{at.at() - q, blockSize, (*sync & 1) != 0, number, *layout};
}

// The metadata blocks from p + 4; the offset of the first frame.
std::optional<uint64_t> ReadMetadata(const Buffer& b, uint64_t p, WalkBudget& budget,
                                     StreamInfo& info, std::vector<Picture>& pictures) {
  Cursor at(b, p + 4);
  for (bool first = true;; first = false) {
    budget.spend(1);
    const auto head = at.u8();
    const auto high = at.u8();
    const auto low = at.be16();
    if (!low) return std::nullopt;
    const uint8_t type = *head & 0x7F;
    const uint64_t length = (uint64_t{*high} << 16) | *low;
    if (type == kInvalidBlock || first != (type == kStreamInfo)) return std::nullopt;
    Cursor block = at.window(length);
    if (!at.ok()) return std::nullopt;
    if (type == kStreamInfo) {
      if (length != kStreamInfoLength) return std::nullopt;
      block.be16();
      info.maxBlock = block.be16().value_or(0);
      block.skip(3);
      const uint32_t high24 = block.u8().value_or(0);
      info.maxFrame = (uint64_t{high24} << 16) | block.be16().value_or(0);
      const uint64_t packed = (uint64_t{block.be32().value_or(0)} << 32) | block.be32().value_or(0);
      const uint32_t channels = ((packed >> 41) & 7) + 1, bits = ((packed >> 36) & 31) + 1;
      info.totalSamples = packed & ((uint64_t{1} << 36) - 1);
      info.bits = bits;
      if (info.maxBlock < 16 || (packed >> 44) == 0) return std::nullopt;
      // An encoder that left the largest frame unset: the bound of a frame
      // stored verbatim, with room for its headers.
      if (info.maxFrame == 0) info.maxFrame = uint64_t{info.maxBlock} * channels * bits / 8 + 1024;
    } else if (type == kPicture) {
      if (const std::optional<Picture> picture = PictureData(block)) pictures.push_back(*picture);
    }
    if (*head & 0x80) return at.at();
  }
}

// Bits, most significant first, from a byte offset up to a limit; a read
// past the limit fails and stays failed.
class BitReader {
 public:
  BitReader(const Buffer& b, uint64_t from, uint64_t limit)
      : b_(b), bit_(from * 8), limit_(limit * 8) {}
  std::optional<uint64_t> bits(unsigned n) {
    if (!ok_ || n > 64 || n > limit_ - bit_) return fail();
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i, ++bit_) v = (v << 1) | Bit();
    return v;
  }
  bool skip(uint64_t n) {
    if (!ok_ || n > limit_ - bit_) return fail().has_value();
    bit_ += n;
    return true;
  }
  // The zeros before the next one bit, which is taken too.
  std::optional<uint64_t> unary() {
    uint64_t zeros = 0;
    while (ok_ && bit_ < limit_) {
      if ((bit_ & 7) == 0 && bit_ + 8 <= limit_ && b_.u8(bit_ >> 3) == 0) {
        bit_ += 8;
        zeros += 8;
        continue;
      }
      const bool one = Bit() != 0;
      ++bit_;
      if (one) return zeros;
      ++zeros;
    }
    return fail();
  }
  uint64_t byteEnd() const { return (bit_ + 7) / 8; }

 private:
  uint64_t Bit() const { return (b_.u8(bit_ >> 3) >> (7 - (bit_ & 7))) & 1; }
  std::optional<uint64_t> fail() {
    ok_ = false;
    return std::nullopt;
  }
  const Buffer& b_;
  uint64_t bit_, limit_;
  bool ok_ = true;
};

// Steps over a subframe's residual: its partitions of Rice codes or raw
// samples.
bool SkipResidual(BitReader& r, uint32_t blockSize, uint64_t order) {
  const std::optional<uint64_t> method = r.bits(2);
  const std::optional<uint64_t> partitionOrder = r.bits(4);
  if (!partitionOrder || *method > 1) return false;
  const unsigned paramBits = *method == 0 ? 4 : 5;
  const uint64_t escape = (uint64_t{1} << paramBits) - 1;
  const uint64_t each = blockSize >> *partitionOrder;
  if ((each << *partitionOrder) != blockSize || each < order) return false;
  for (uint64_t i = 0; i < (uint64_t{1} << *partitionOrder); ++i) {
    const uint64_t samples = i == 0 ? each - order : each;
    const std::optional<uint64_t> param = r.bits(paramBits);
    if (!param) return false;
    if (*param == escape) {
      const std::optional<uint64_t> width = r.bits(5);
      if (!width || !r.skip(samples * *width)) return false;
      continue;
    }
    for (uint64_t j = 0; j < samples; ++j)
      if (!r.unary() || !r.skip(*param)) return false;
  }
  return true;
}

// Where the frame at q ends, its subframes walked (CRC-16 included), or
// nothing when they do not fit below limit. The last frame of a file has
// no successor to confirm where it ends, and a CRC-16 that comes out right
// by chance inside it would cut the file short.
std::optional<uint64_t> FrameEnd(const Buffer& b, uint64_t q, const FrameHeader& h,
                                 const StreamInfo& info, uint64_t limit) {
  static constexpr uint32_t kSampleBits[8] = {0, 8, 12, 0, 16, 20, 24, 32};
  const unsigned assignment = h.layout >> 4;
  const unsigned channels = assignment < 8 ? assignment + 1 : 2;
  const uint32_t depth = kSampleBits[(h.layout >> 1) & 7] ? kSampleBits[(h.layout >> 1) & 7]
                                                           : info.bits;
  if (depth == 0) return std::nullopt;
  BitReader r(b, q + h.length, limit);
  for (unsigned c = 0; c < channels; ++c) {
    // The side channel of a stereo pair carries one bit more.
    const bool side = (assignment == 8 && c == 1) || (assignment == 9 && c == 0) ||
                      (assignment == 10 && c == 1);
    uint64_t bps = depth + (side ? 1 : 0);
    const std::optional<uint64_t> head = r.bits(8);
    if (!head || (*head & 0x80)) return std::nullopt;
    const uint64_t type = (*head >> 1) & 0x3F;
    if (*head & 1) {
      const std::optional<uint64_t> wasted = r.unary();
      if (!wasted || *wasted + 1 >= bps) return std::nullopt;
      bps -= *wasted + 1;
    }
    if (type == 0) {  // constant
      if (!r.skip(bps)) return std::nullopt;
    } else if (type == 1) {  // verbatim
      if (!r.skip(uint64_t{h.blockSize} * bps)) return std::nullopt;
    } else if (type >= 8 && type <= 12) {  // fixed predictor
      const uint64_t order = type - 8;
      if (!r.skip(order * bps) || !SkipResidual(r, h.blockSize, order)) return std::nullopt;
    } else if (type >= 32) {  // linear predictor
      const uint64_t order = (type & 31) + 1;
      r.skip(order * bps);
      const std::optional<uint64_t> precision = r.bits(4);
      if (!precision || *precision == 15 || !r.bits(5)) return std::nullopt;
      if (!r.skip(order * (*precision + 1)) || !SkipResidual(r, h.blockSize, order))
        return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  const uint64_t end = r.byteEnd() + 2;
  if (end > limit) return std::nullopt;
  uint16_t crc = 0;
  for (uint64_t i = q; i < end; ++i)
    crc = static_cast<uint16_t>((crc << 8) ^ kCrc16[(crc >> 8) ^ b.u8(i)]);
  if (crc != 0) return std::nullopt;
  return end;
}

// What MeasureFlac found: the file's length and its pictures.
struct FlacFile {
  uint64_t length = 0;
  std::vector<Picture> pictures;
};

std::optional<FlacFile> MeasureFlac(const Buffer& b, uint64_t p, WalkBudget& budget) {
  StreamInfo info;
  FlacFile file;
  const std::optional<uint64_t> frames = ReadMetadata(b, p, budget, info, file.pictures);
  if (!frames) return std::nullopt;
  uint64_t q = *frames;
  std::optional<FrameHeader> header = ReadFrameHeader(b, q);
  if (!header || header->number != 0) return std::nullopt;
  uint64_t samples = 0, frameNo = 0, end = 0;
  while (header) {
    if (header->blockSize > info.maxBlock) break;
    samples += header->blockSize;
    const bool last = info.totalSamples != 0 && samples >= info.totalSamples;
    const uint64_t limit = std::min(b.size(), q + info.maxFrame);
    if (last) {
      const std::optional<uint64_t> exact = FrameEnd(b, q, *header, info, limit);
      budget.spend((exact ? *exact : limit) - q);
      if (exact) end = *exact;
      break;
    }
    // Every byte is taken into the running CRC once; a zero is a place the
    // frame may end, confirmed by the next frame's header.
    uint16_t crc = 0;
    for (uint64_t i = q; i < q + header->length; ++i)
      crc = static_cast<uint16_t>((crc << 8) ^ kCrc16[(crc >> 8) ^ b.u8(i)]);
    std::optional<FrameHeader> next;
    uint64_t e = q + header->length;
    for (; e < limit; ++e) {
      crc = static_cast<uint16_t>((crc << 8) ^ kCrc16[(crc >> 8) ^ b.u8(e)]);
      if (crc != 0 || e < q + header->length + 2) continue;
      const uint64_t expected = header->variable ? samples : frameNo + 1;
      next = ReadFrameHeader(b, e + 1);
      if (next && next->number == expected && next->variable == header->variable) break;
      next.reset();
    }
    budget.spend(e - q);
    if (budget.exhausted()) break;
    if (!next) {
      // No successor: the stream ends with this frame, where its subframes do.
      if (const std::optional<uint64_t> exact = FrameEnd(b, q, *header, info, limit))
        end = *exact;
      break;
    }
    end = e + 1;
    q = e + 1;
    ++frameNo;
    header = next;
  }
  if (end == 0) return std::nullopt;
  file.length = end - p;
  return file;
}

constexpr CarveSignature kSignatures[] = {
    {"fLaC", [](const Buffer& b, uint64_t p) { return (b.u8(p + 4) & 0x7F) == kStreamInfo; }}};
constexpr CarvedFormat kFlac = {
    .type = "flac",
    .signatures = kSignatures,
    .window = 4 + 4 + kStreamInfoLength,
    .stepAfterDrop = 4,
};

constexpr std::array<uint32_t, 256> MakeCrc32() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 24;
    for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
    t[i] = c;
  }
  return t;
}
constexpr std::array<uint32_t, 256> kCrc32 = MakeCrc32();

constexpr uint64_t kPageHeader = 27;
constexpr uint8_t kContinued = 1, kBegins = 2, kEnds = 4;
// Streams one Ogg file may carry side by side; more is no file.
constexpr size_t kMaxStreams = 64;
// The comment packet is read up to this size (cover art included).
constexpr uint64_t kMaxCommentPacket = uint64_t{16} << 20;

struct OggPage {
  uint8_t flags;
  uint32_t serial;
  uint32_t sequence;
  uint64_t segments;  // offset of the segment table
  uint8_t count;      // entries in it
  uint64_t end;
};

// The page at q, its CRC checked, or nothing.
std::optional<OggPage> ReadPage(const Buffer& b, uint64_t q, WalkBudget& budget) {
  Cursor at(b, q);
  if (!at.startsWith("OggS")) return std::nullopt;
  at.skip(4);
  const auto version = at.u8();
  const auto flags = at.u8();
  at.skip(8);  // granule position
  const auto serial = at.le32();
  const auto sequence = at.le32();
  const auto stated = at.le32();
  const auto count = at.u8();
  if (!count || *version != 0 || (*flags & ~7)) return std::nullopt;
  const uint64_t segments = at.at();
  uint64_t body = 0;
  for (uint8_t i = 0; i < *count; ++i) body += at.u8().value_or(0);
  if (!at.skip(body)) return std::nullopt;
  budget.spend(1 + (at.at() - q));
  uint32_t crc = 0;
  for (uint64_t i = q; i < at.at(); ++i) {
    const uint8_t byte = (i >= q + 22 && i < q + 26) ? 0 : b.u8(i);
    crc = (crc << 8) ^ kCrc32[(crc >> 24) ^ byte];
  }
  if (crc != *stated) return std::nullopt;
  return OggPage{*flags, *serial, *sequence, segments, *count, at.at()};
}

struct OggStream {
  uint32_t serial;
  uint32_t nextSequence = 1;
  bool ended = false;
  uint32_t packet = 0;  // packets completed so far
  std::string comment;  // the bytes of its second packet
  bool commentDone = false;
};

// What MeasureOgg found: the file's length and its comment packets.
struct OggFile {
  uint64_t length = 0;
  std::vector<std::string> comments;
};

// Takes the page's packets into the stream: the second packet, which holds
// the comments, is kept.
void TakePackets(const Buffer& b, const OggPage& page, OggStream& stream) {
  uint64_t at = page.segments + page.count;
  for (uint8_t i = 0; i < page.count; ++i) {
    const uint8_t lace = b.u8(page.segments + i);
    if (stream.packet == 1 && !stream.commentDone) {
      if (stream.comment.size() + lace > kMaxCommentPacket)
        stream.commentDone = true;
      else
        stream.comment.append(b.view(at, lace));
    }
    at += lace;
    if (lace < 255) {
      if (stream.packet == 1) stream.commentDone = true;
      ++stream.packet;
    }
  }
}

std::optional<OggFile> MeasureOgg(const Buffer& b, uint64_t p, WalkBudget& budget) {
  std::vector<OggStream> streams;
  OggFile file;
  uint64_t q = p, end = 0, pages = 0;
  bool data = false;  // a page other than a beginning one has come
  while (!budget.exhausted()) {
    const std::optional<OggPage> page = ReadPage(b, q, budget);
    if (!page) break;
    const bool allEnded =
        !streams.empty() &&
        std::all_of(streams.begin(), streams.end(), [](const OggStream& s) { return s.ended; });
    OggStream* stream = nullptr;
    for (OggStream& s : streams)
      if (s.serial == page->serial) stream = &s;
    if (page->flags & kBegins) {
      if (allEnded) {
        // A chained stream: the file goes on with streams of its own.
        for (OggStream& s : streams)
          if (!s.comment.empty()) file.comments.push_back(std::move(s.comment));
        streams.clear();
        data = false;
        stream = nullptr;
      }
      if (stream || data || page->sequence != 0 || (page->flags & kContinued) ||
          streams.size() == kMaxStreams)
        break;
      streams.emplace_back().serial = page->serial;
      stream = &streams.back();
    } else {
      if (!stream || stream->ended || page->sequence != stream->nextSequence) break;
      ++stream->nextSequence;
      data = true;
    }
    TakePackets(b, *page, *stream);
    if (page->flags & kEnds) stream->ended = true;
    ++pages;
    end = q = page->end;
    if (std::all_of(streams.begin(), streams.end(), [](const OggStream& s) { return s.ended; }) &&
        !(b.startsWith(q, "OggS") && (b.u8(q + 5) & kBegins)))
      break;
  }
  if (pages < 2) return std::nullopt;
  for (OggStream& s : streams)
    if (!s.comment.empty()) file.comments.push_back(std::move(s.comment));
  file.length = end - p;
  return file;
}

// The Base64 values of METADATA_BLOCK_PICTURE in a comment packet.
std::vector<std::string> PictureComments(std::string_view packet) {
  std::vector<std::string> found;
  for (const std::string_view prefix : {"\x03vorbis", "OpusTags", "\x81theora"}) {
    if (!packet.starts_with(prefix)) continue;
    const Buffer bytes = Buffer::fromString(packet);
    Cursor at(bytes, prefix.size());
    const auto vendor = at.le32();
    if (vendor) at.skip(*vendor);
    const auto count = at.le32();
    for (uint32_t i = 0; count && i < *count && at.ok(); ++i) {
      const auto length = at.le32();
      const auto text = length ? at.bytes(*length) : std::nullopt;
      if (!text) break;
      constexpr std::string_view kKey = "METADATA_BLOCK_PICTURE=";
      if (text->size() > kKey.size() &&
          std::equal(kKey.begin(), kKey.end(), text->begin(),
                     [](char a, char c) { return a == (c >= 'a' && c <= 'z' ? c - 32 : c); }))
        found.emplace_back(text->substr(kKey.size()));
    }
  }
  return found;
}

constexpr CarveSignature kOggSignatures[] = {{"OggS", [](const Buffer& b, uint64_t p) {
                                                return b.u8(p + 4) == 0 && (b.u8(p + 5) & kBegins);
                                              }}};
constexpr CarvedFormat kOgg = {
    .type = "ogg",
    .signatures = kOggSignatures,
    .window = kPageHeader,
    .stepAfterDrop = 4,
};

}  // namespace

int32_t strellFLAC(ScanContext& context, const Buffer& data, const std::string& from) {
  const std::string cover = fmt::format("{}-cover", DeletingPathExtension(from));
  int32_t pictures = 0;
  const int32_t files =
      CarveItems(context, kFlac, data, from,
                 [&](uint64_t p, WalkBudget& budget, WalkMode) -> std::optional<uint64_t> {
                   const std::optional<FlacFile> file = MeasureFlac(data, p, budget);
                   if (!file) return std::nullopt;
                   // The pictures go out on their own: an item that is the whole
                   // buffer ends the passes that would otherwise find them.
                   for (const Picture& picture : file->pictures) {
                     context.saveStrell(data, picture.at, picture.length,
                                        PictureType(data, picture.at), cover, pictures,
                                        ItemEnd::kLength);
                     ++pictures;
                   }
                   return file->length;
                 });
  return files + pictures;
}

std::string_view PictureType(const Buffer& b, uint64_t at) {
  if (b.startsWith(at, "\xFF\xD8\xFF")) return "jpg";
  if (b.startsWith(at, "\x89PNG")) return "png";
  if (b.startsWith(at, "GIF8")) return "gif";
  if (b.startsWith(at, "BM")) return "bmp";
  if (b.startsWith(at, "RIFF") && b.startsWith(at + 8, "WEBP")) return "webp";
  return "bin";
}

std::optional<Buffer> TaggedCoverOf(const Buffer& file) {
  WalkBudget budget(file.size());
  if (file.startsWith(0, "ID3")) return Id3CoverOf(file);
  if (file.startsWith(0, "fLaC")) {
    StreamInfo info;
    std::vector<Picture> pictures;
    if (!ReadMetadata(file, 0, budget, info, pictures) || pictures.empty()) return std::nullopt;
    return file.slice(pictures[0].at, pictures[0].length);
  }
  if (!file.startsWith(0, "OggS")) return std::nullopt;
  const std::optional<OggFile> ogg = MeasureOgg(file, 0, budget);
  if (!ogg) return std::nullopt;
  for (const std::string& packet : ogg->comments) {
    for (const std::string& value : PictureComments(packet)) {
      const Buffer block = Base64Decode(Buffer::fromString(value));
      if (const std::optional<Picture> picture = PictureData(Cursor(block)))
        return block.slice(picture->at, picture->length);
    }
  }
  return std::nullopt;
}

namespace {

// An attachment's name as a file name of ours: no folders, no dot in front.
std::string SafeName(std::string_view name) {
  constexpr size_t kMaxName = 80;
  std::string safe;
  for (const char c : name.substr(0, kMaxName)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    safe += plain ? c : '_';
  }
  while (!safe.empty() && safe.front() == '.') safe.erase(0, 1);
  return safe.empty() ? "attachment" : safe;
}

// The extension of a file name when it is a plain one (letters and digits,
// at most 8), lower-cased; else "".
std::string PlainExtension(const std::string& name) {
  const std::string stem = DeletingPathExtension(name);
  if (stem.empty() || stem.size() + 1 >= name.size()) return "";
  std::string ext = name.substr(stem.size() + 1);
  if (ext.size() > 8) return "";
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return "";
  }
  return ext;
}

}  // namespace

AttachmentName NameAttachment(std::string_view stem, std::string_view name, const Buffer& b,
                              uint64_t at) {
  const std::string safe = SafeName(name);
  std::string type = PlainExtension(safe);
  if (type.empty()) type = PictureType(b, at);
  return {type, fmt::format("{}-{}.{}", stem, DeletingPathExtension(safe), type)};
}

}  // namespace strellbox

namespace strellbox {

int32_t strellOgg(ScanContext& context, const Buffer& data, const std::string& from) {
  const std::string cover = fmt::format("{}-cover", DeletingPathExtension(from));
  int32_t pictures = 0;
  const int32_t files = CarveItems(
      context, kOgg, data, from,
      [&](uint64_t p, WalkBudget& budget, WalkMode) -> std::optional<uint64_t> {
        const std::optional<OggFile> file = MeasureOgg(data, p, budget);
        if (!file) return std::nullopt;
        for (const std::string& packet : file->comments) {
          for (const std::string& value : PictureComments(packet)) {
            if (value.size() / 4 * 3 > context.decodedAllowance()) continue;
            // The packet may span pages: its origin is the Ogg file's start.
            DecodedChild block{Base64Decode(Buffer::fromString(value)), DecoderId::kBase64, p};
            Cursor body(block.bytes);
            const std::optional<Picture> picture = PictureData(body);
            if (!picture) continue;
            ScanContext::markChild(data, block);
            context.saveStrell(block.bytes, picture->at, picture->length,
                               PictureType(block.bytes, picture->at), cover, pictures,
                               ItemEnd::kLength);
            ++pictures;
          }
        }
        return file->length;
      });
  return files + pictures;
}

}  // namespace strellbox
