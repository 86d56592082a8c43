// MP3 files (MPEG audio of versions 1, 2 and 2.5, layers I, II and III).
//
// An item is walked to its exact end: an optional ID3v2 tag (2.2, 2.3 or
// 2.4, stepped over by its syncsafe size and its footer), then the audio
// frames, each stepped over by the length its header computes, for as long
// as the next header checks and keeps the version, layer, sample rate and
// channel count of the first, then the tags that may follow the audio: APE
// (from its header, or from a footer whose size reaches back to the end of
// the frames), Lyrics3 v2 and ID3v1. A Xing, Info or VBRI frame is a frame
// like the others.
//
// Without an ID3v2 tag in front, a run of frames is an item only from
// kMinFramesAlone frames on: shorter runs turn up in random bytes.
//
// Pictures in APIC (2.3, 2.4) and PIC (2.2) frames are items named
// NAME-cover. Where the tag or the frame is unsynchronised, the pictures
// are cut from the bytes with each 0xFF 0x00 taken back to 0xFF, their
// origin marked as decoded.
//
// A row of its own, run with extended detection.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <fmt/format.h>

#include "engine/carve.h"
#include "engine/cursor.h"
#include "engine/decoder_table.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/cover_art.h"
#include "extractors/mp3.h"

namespace strellbox {

namespace {

constexpr uint64_t kId3Header = 10;
constexpr uint64_t kFrameHeader = 4;
// Frames a run without a tag in front needs. In 16 GiB of random bytes
// (bench/mp3_false_positives) 2.3 million offsets hold a valid header, 4 a
// run of two frames of one stream, none a run of three; one more frame is
// the margin for bytes less even than random ones, and no real sound is
// that short.
constexpr uint64_t kMinFramesAlone = 4;
constexpr uint64_t kApeFooter = 32;
constexpr uint64_t kId3v1 = 128;
constexpr uint64_t kLyricsSizeDigits = 6;

// Kilobits per second by bitrate index: MPEG 1 layers I, II, III, then
// MPEG 2 and 2.5 layer I, then their layers II and III.
constexpr uint16_t kBitrates[5][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};
// Hertz by version code (2.5, reserved, 2, 1) and sample rate index.
constexpr uint32_t kSampleRates[4][3] = {
    {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

struct FrameHeader {
  uint8_t version;  // 0: MPEG 2.5, 2: MPEG 2, 3: MPEG 1
  uint8_t layer;    // 1, 2, 3
  uint8_t rateIndex;
  bool mono;
  uint32_t length;  // bytes, header included
};

// The frame header in h, or nothing when a field holds a reserved value or
// the bitrate is free (such a frame's length is not in its header).
std::optional<FrameHeader> ParseHeader(uint32_t h) {
  if ((h >> 21) != 0x7FF) return std::nullopt;
  const uint8_t version = (h >> 19) & 3, layerBits = (h >> 17) & 3;
  const uint8_t bitrateIndex = (h >> 12) & 15, rateIndex = (h >> 10) & 3;
  if (version == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 ||
      (h & 3) == 2)
    return std::nullopt;
  const uint8_t layer = static_cast<uint8_t>(4 - layerBits);
  const int table = version == 3 ? layer - 1 : (layer == 1 ? 3 : 4);
  const uint32_t bitrate = kBitrates[table][bitrateIndex] * 1000u;
  const uint32_t rate = kSampleRates[version][rateIndex];
  const uint32_t padding = (h >> 9) & 1;
  uint32_t length = 0;
  if (layer == 1)
    length = (12 * bitrate / rate + padding) * 4;
  else if (layer == 3 && version != 3)
    length = 72 * bitrate / rate + padding;  // half the samples per frame
  else
    length = 144 * bitrate / rate + padding;
  return FrameHeader{version, layer, rateIndex, ((h >> 6) & 3) == 3, length};
}

std::optional<FrameHeader> HeaderAt(const Buffer& b, uint64_t q) {
  Cursor at(b, q);
  const std::optional<uint32_t> h = at.be32();
  return h ? ParseHeader(*h) : std::nullopt;
}

bool SameStream(const FrameHeader& a, const FrameHeader& b) {
  return a.version == b.version && a.layer == b.layer && a.rateIndex == b.rateIndex &&
         a.mono == b.mono;
}

uint32_t Syncsafe(uint32_t v) {
  return ((v >> 24) & 0x7F) << 21 | ((v >> 16) & 0x7F) << 14 | ((v >> 8) & 0x7F) << 7 | (v & 0x7F);
}

bool IsSyncsafe(uint32_t v) { return (v & 0x80808080u) == 0; }

// An ID3v2 tag header: "ID3", a known version, no flag its version lacks,
// a syncsafe size.
bool Id3HeaderAt(const Buffer& b, uint64_t p) {
  const uint8_t version = b.u8(p + 3), flags = b.u8(p + 5);
  static constexpr uint8_t kKnownFlags[5] = {0, 0, 0xC0, 0xE0, 0xF0};
  return b.startsWith(p, "ID3") && version >= 2 && version <= 4 && b.u8(p + 4) != 0xFF &&
         (flags & ~kKnownFlags[version]) == 0 && IsSyncsafe(b.be32(p + 6));
}

// Where the ID3v2 tag at p ends (its footer included), or nothing when it
// does not fit.
std::optional<uint64_t> Id3End(const Buffer& b, uint64_t p) {
  if (!Id3HeaderAt(b, p)) return std::nullopt;
  const bool footer = b.u8(p + 3) == 4 && (b.u8(p + 5) & 0x10);
  const uint64_t end = p + kId3Header + Syncsafe(b.be32(p + 6)) + (footer ? kId3Header : 0);
  if (end > b.size()) return std::nullopt;
  return end;
}

// The next place a trailing tag's marker stands at or behind an offset,
// searched again only once the offsets asked about have passed the last
// one found: one search over the buffer serves every file in it.
class MarkerCursor {
 public:
  explicit MarkerCursor(std::string_view marker) : marker_(marker) {}
  uint64_t next(const Buffer& b, uint64_t from, WalkBudget& budget) {
    if (searched_ && from >= from_ && (at_ == Buffer::npos || at_ >= from)) return at_;
    searched_ = true;
    from_ = from;
    at_ = b.find(marker_, from);
    // The search is a vector sweep, far cheaper per byte than a walk.
    budget.spend(((at_ == Buffer::npos ? b.size() : at_) - from) / kSweepBytesPerUnit);
    return at_;
  }

 private:
  static constexpr uint64_t kSweepBytesPerUnit = 16;
  std::string_view marker_;
  uint64_t at_ = Buffer::npos;
  uint64_t from_ = 0;
  bool searched_ = false;
};

// The footers searched for behind the frames of the files of one buffer.
struct TrailerSearch {
  MarkerCursor ape{"APETAGEX"};
  MarkerCursor lyrics{"LYRICS200"};
};

// Where an APE tag that starts at q ends: from its header, or from a
// footer whose size reaches back to q.
std::optional<uint64_t> ApeEnd(const Buffer& b, uint64_t q, TrailerSearch& search,
                               WalkBudget& budget) {
  constexpr uint32_t kIsHeader = 1u << 29;
  if (b.startsWith(q, "APETAGEX") && (b.le32(q + 20) & kIsHeader)) {
    const uint64_t size = b.le32(q + 12);  // items and footer
    const uint64_t footer = q + size;
    if (size < kApeFooter || footer + kApeFooter > b.size() || !b.startsWith(footer, "APETAGEX"))
      return std::nullopt;
    return q + kApeFooter + size;
  }
  const uint64_t footer = search.ape.next(b, q, budget);
  if (footer == Buffer::npos || footer + kApeFooter > b.size()) return std::nullopt;
  const uint64_t size = b.le32(footer + 12);
  if ((b.le32(footer + 20) & kIsHeader) || size < kApeFooter || footer + kApeFooter - size != q)
    return std::nullopt;
  return footer + kApeFooter;
}

// Where a Lyrics3 v2 tag that starts at q ends: its size, six digits in
// front of "LYRICS200", counts from LYRICSBEGIN to them.
std::optional<uint64_t> LyricsEnd(const Buffer& b, uint64_t q, TrailerSearch& search,
                                  WalkBudget& budget) {
  if (!b.startsWith(q, "LYRICSBEGIN")) return std::nullopt;
  const uint64_t marker = search.lyrics.next(b, q, budget);
  if (marker == Buffer::npos || marker < q + kLyricsSizeDigits) return std::nullopt;
  uint64_t size = 0;
  for (uint64_t i = marker - kLyricsSizeDigits; i < marker; ++i) {
    const uint8_t digit = b.u8(i);
    if (digit < '0' || digit > '9') return std::nullopt;
    size = size * 10 + (digit - '0');
  }
  if (q + size != marker - kLyricsSizeDigits) return std::nullopt;
  return marker + 9;
}

// Where the tags behind the frames end: APE, Lyrics3 v2 and ID3v1, each
// kind taken once, in the order they stand.
uint64_t TrailingTagsEnd(const Buffer& b, uint64_t q, TrailerSearch& search, WalkBudget& budget) {
  bool ape = false, lyrics = false, v1 = false;
  for (bool moved = true; moved;) {
    moved = false;
    std::optional<uint64_t> end;
    if (!ape && (end = ApeEnd(b, q, search, budget))) {
      ape = moved = true;
    } else if (!lyrics && (end = LyricsEnd(b, q, search, budget))) {
      lyrics = moved = true;
    } else if (!v1 && b.startsWith(q, "TAG") && q + kId3v1 <= b.size()) {
      end = q + kId3v1;
      v1 = moved = true;
    }
    if (end) q = *end;
  }
  return q;
}

struct Mp3File {
  uint64_t length = 0;
  bool tagged = false;
};

std::optional<Mp3File> MeasureMp3(const Buffer& b, uint64_t p, WalkBudget& budget,
                                  TrailerSearch& search) {
  Mp3File file;
  uint64_t q = p;
  if (b.startsWith(p, "ID3")) {
    const std::optional<uint64_t> end = Id3End(b, p);
    if (!end) return std::nullopt;
    q = *end;
    file.tagged = true;
  }
  const Mp3FrameRun run = WalkMp3Frames(b, q, budget);
  if (budget.exhausted()) return std::nullopt;
  const uint64_t frames = run.frames;
  q = run.end;
  if (frames == 0 || (!file.tagged && frames < kMinFramesAlone)) return std::nullopt;
  file.length = TrailingTagsEnd(b, q, search, budget) - p;
  return file;
}

// "ID" or a frame sync (0xFF, then three set bits): one sweep for both, as
// the sync's second byte varies.
bool ConfirmStart(const Buffer& b, uint64_t p) {
  if (b.u8(p) == 'I') return Id3HeaderAt(b, p);
  return p + kFrameHeader <= b.size() && ParseHeader(b.be32(p)).has_value();
}
#if defined(__x86_64__) && defined(__GNUC__)
const bool gHaveAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));

// 32 places at a time: "ID3", or a frame sync whose version, layer,
// bitrate, sample rate and emphasis are none of the values ParseHeader
// refuses. Runs of 0xFF or 0x00 bytes, which hold a bare sync at every
// byte, stop it no more. Leaves i where the bytes left are too few.
__attribute__((target("avx2"))) uint64_t FindStartAvx2(const Buffer& buf, uint64_t& i,
                                                       uint64_t limit) {
  const uint8_t* b = buf.data();
  const uint64_t size = buf.size();
  // (Lambdas would not inherit the target: constants and a macro instead.)
#define STRELL_ALL(v) _mm256_set1_epi8(static_cast<char>(v))
#define STRELL_IS(v, mask, bits) \
  _mm256_cmpeq_epi8(_mm256_and_si256(v, STRELL_ALL(mask)), STRELL_ALL(bits))
  for (; i < limit && size - i >= 35; i += 32) {
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 1));
    const __m256i sync =
        _mm256_and_si256(_mm256_cmpeq_epi8(b0, STRELL_ALL(0xFF)), STRELL_IS(b1, 0xE0, 0xE0));
    const __m256i id = _mm256_and_si256(_mm256_cmpeq_epi8(b0, STRELL_ALL('I')),
                                        _mm256_cmpeq_epi8(b1, STRELL_ALL('D')));
    // Most blocks hold neither: the bytes after are looked at only where
    // one stands.
    if (_mm256_testz_si256(_mm256_or_si256(sync, id), _mm256_or_si256(sync, id))) continue;
    const __m256i b2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 2));
    const __m256i b3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 3));
    const __m256i id3 = _mm256_and_si256(id, _mm256_cmpeq_epi8(b2, STRELL_ALL('3')));
    const __m256i refused = _mm256_or_si256(
        _mm256_or_si256(_mm256_or_si256(STRELL_IS(b1, 0x18, 0x08), STRELL_IS(b1, 0x06, 0x00)),
                        _mm256_or_si256(STRELL_IS(b2, 0xF0, 0x00), STRELL_IS(b2, 0xF0, 0xF0))),
        _mm256_or_si256(STRELL_IS(b2, 0x0C, 0x0C), STRELL_IS(b3, 0x03, 0x02)));
#undef STRELL_IS
#undef STRELL_ALL
    const __m256i hits = _mm256_or_si256(id3, _mm256_andnot_si256(refused, sync));
    for (auto mask = static_cast<uint32_t>(_mm256_movemask_epi8(hits)); mask != 0;
         mask &= mask - 1) {
      const uint64_t p = i + static_cast<uint64_t>(__builtin_ctz(mask));
      if (p >= limit) return Buffer::npos;
      if (ConfirmStart(buf, p)) return p;
    }
  }
  return Buffer::npos;
}
#endif

}  // namespace

// The sweep confirms each candidate itself: runs of 0xFF bytes in pictures
// hold one at every byte.
uint64_t FindMp3Start(const Buffer& b, uint64_t from, uint64_t limit) {
  limit = std::min(limit, b.size());
#if defined(__x86_64__) && defined(__GNUC__)
  if (gHaveAvx2 && from < limit) {
    const uint64_t p = FindStartAvx2(b, from, limit);
    if (p != Buffer::npos || from >= limit) return p;
  }
#endif
  return b.findEitherPair({'I', 0xFF, 'D'}, {0xFF, 0xE0, 0xE0}, from, limit, ConfirmStart);
}

namespace {

constexpr CarveSignature kSignatures[] = {{"ID3 or a frame sync", ConfirmStart, FindMp3Start}};
constexpr CarvedFormat kMp3 = {
    .type = "mp3",
    .signatures = kSignatures,
    .window = kId3Header,
};

// Bytes [from, from + length) of b with each 0xFF 0x00 taken back to 0xFF,
// at most maxOutput of them; nothing when they would be more.
std::optional<Buffer> Resynchronise(const Buffer& b, uint64_t from, uint64_t length,
                                    uint64_t maxOutput) {
  if (from > b.size()) return std::nullopt;
  const uint64_t end = from + std::min(length, b.size() - from);
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(std::min(end - from, maxOutput)));
  uint64_t at = from;
  while (at < end) {
    const uint64_t ff = b.find(uint8_t{0xFF}, at, end);
    const uint64_t stop = ff == Buffer::npos ? end : ff + 1;
    if (out.size() + (stop - at) > maxOutput) return std::nullopt;
    const std::string_view run = b.view(at, stop - at);
    out.insert(out.end(), run.begin(), run.end());
    at = stop;
    if (ff != Buffer::npos && at < end && b.u8(at) == 0) ++at;
  }
  return Buffer(std::move(out));
}

struct Picture {
  uint64_t at;
  uint64_t length;
};

// The picture's bytes in an APIC (or, for version 2, PIC) frame's body.
std::optional<Picture> PictureIn(Cursor body, uint8_t version) {
  const std::optional<uint8_t> encoding = body.u8();
  if (!encoding || *encoding > 3) return std::nullopt;
  if (version == 2)
    body.skip(3);  // image format
  else
    body.terminated(0, 256);  // MIME type
  body.u8();                  // what the picture shows
  if (*encoding == 1 || *encoding == 2) {
    // UTF-16: two zero bytes on a character boundary end the description.
    for (;;) {
      const std::optional<uint16_t> unit = body.be16();
      if (!unit || *unit == 0) break;
    }
  } else {
    body.terminated(0, body.left());
  }
  if (!body.ok() || body.left() == 0) return std::nullopt;
  return Picture{body.at(), body.left()};
}

// Walks the frames of the ID3v2 tag at p and hands each APIC (PIC) frame's
// picture on: the bytes it lies in (the tag's own, or a copy with the
// unsynchronisation undone, then `decoded` is that copy) and where.
class Id3Pictures {
 public:
  using Found =
      std::function<void(const Buffer& bytes, const Picture& picture, DecodedChild* decoded)>;
  Id3Pictures(const Buffer& data, std::function<uint64_t()> allowance, Found found)
      : data_(data), allowance_(std::move(allowance)), found_(std::move(found)) {}

  void tagAt(uint64_t p, WalkBudget& budget) {
    const uint8_t version = data_.u8(p + 3), flags = data_.u8(p + 5);
    const uint64_t size = Syncsafe(data_.be32(p + 6));
    // Version 2 used this flag for a compression it never defined.
    if (version == 2 && (flags & 0x40)) return;
    const bool unsynchronised = flags & 0x80;
    if (unsynchronised && version < 4) {
      // The whole tag was unsynchronised at once: undone at once.
      if (size > allowance_()) return;
      const std::optional<Buffer> body = Resynchronise(data_, p + kId3Header, size, allowance_());
      if (!body) return;
      budget.spend(size / 64);
      DecodedChild child{*body, DecoderId::kUnsynchronised, p + kId3Header};
      frames(child.bytes, 0, child.bytes.size(), version, flags, budget, &child);
      return;
    }
    frames(data_, p + kId3Header, p + kId3Header + size, version, flags, budget, nullptr);
  }

 private:
  // The frames of a tag body [from, to) of `bytes` (the tag's own bytes, or
  // `decoded`'s when the tag was undone as a whole).
  void frames(const Buffer& bytes, uint64_t from, uint64_t to, uint8_t version, uint8_t tagFlags,
              WalkBudget& budget, DecodedChild* decoded) {
    Cursor tag = Cursor(bytes, from).window(to - from);
    if (tagFlags & 0x40) {  // an extended header, skipped by its own size
      const std::optional<uint32_t> size = tag.be32();
      if (!size) return;
      tag.skip(version == 4 ? Syncsafe(*size) - std::min<uint32_t>(Syncsafe(*size), 4) : *size);
    }
    const uint64_t idLength = version == 2 ? 3 : 4;
    while (tag.ok() && tag.left() > idLength && !budget.exhausted()) {
      budget.spend(1);
      const std::optional<std::string_view> id = tag.bytes(idLength);
      if (!id || (*id)[0] == '\0') return;  // padding
      uint64_t length = 0;
      uint16_t frameFlags = 0;
      if (version == 2) {
        const std::optional<std::string_view> three = tag.bytes(3);
        if (!three) return;
        for (const char c : *three) length = (length << 8) | static_cast<uint8_t>(c);
      } else {
        const std::optional<uint32_t> stated = tag.be32();
        frameFlags = tag.be16().value_or(0);
        if (!stated) return;
        length = version == 4 ? Syncsafe(*stated) : *stated;
      }
      Cursor body = tag.window(length);
      if (!tag.ok()) return;
      if (*id == (version == 2 ? "PIC" : "APIC"))
        picture(bytes, body, version, frameFlags, tagFlags, decoded);
    }
  }

  void picture(const Buffer& bytes, Cursor body, uint8_t version, uint16_t flags, uint8_t tagFlags,
               DecodedChild* decoded) {
    std::optional<uint32_t> dataLength;
    if (version == 3) {
      if (flags & 0x00C0) return;  // compressed or encrypted
      if (flags & 0x0020) body.u8();
    } else if (version == 4) {
      if (flags & 0x000C) return;  // compressed or encrypted
      if (flags & 0x0040) body.u8();
      if (flags & 0x0001) {
        const std::optional<uint32_t> stated = body.be32();
        if (!stated) return;
        dataLength = Syncsafe(*stated);
      }
      if ((flags & 0x0002) || (tagFlags & 0x80)) {
        // This frame alone was unsynchronised: its data is undone alone.
        const uint64_t from = body.at(), length = body.left();
        const uint64_t allowance = allowance_();
        const std::optional<Buffer> undone = Resynchronise(bytes, from, length, allowance);
        if (!undone || (dataLength && undone->size() != *dataLength)) return;
        DecodedChild child{*undone, DecoderId::kUnsynchronised, from};
        const std::optional<Picture> found = PictureIn(Cursor(child.bytes), version);
        if (found) found_(child.bytes, *found, &child);
        return;
      }
    }
    if (dataLength && *dataLength != body.left()) return;
    if (const std::optional<Picture> found = PictureIn(body, version))
      found_(bytes, *found, decoded);
  }

  const Buffer& data_;
  std::function<uint64_t()> allowance_;
  Found found_;
};

// Reports the pictures of the ID3v2 tags it is given; counts them.
class CoverWriter {
 public:
  CoverWriter(ScanContext& context, const Buffer& data, std::string name)
      : context_(context),
        data_(data),
        name_(std::move(name)),
        pictures_(
            data, [&context] { return context.decodedAllowance(); },
            [this](const Buffer& bytes, const Picture& picture, DecodedChild* decoded) {
              save(bytes, picture, decoded);
            }) {}

  int32_t count() const { return count_; }
  void tagAt(uint64_t p, WalkBudget& budget) { pictures_.tagAt(p, budget); }

 private:
  void save(const Buffer& bytes, const Picture& picture, DecodedChild* decoded) {
    if (decoded) {
      if (!decoded->marked) ScanContext::markChild(data_, *decoded);
      context_.saveStrell(decoded->bytes, picture.at, picture.length,
                          PictureType(decoded->bytes, picture.at), name_, count_,
                          ItemEnd::kDecoded);
    } else {
      context_.saveStrell(bytes, picture.at, picture.length, PictureType(bytes, picture.at), name_,
                          count_, ItemEnd::kLength);
    }
    ++count_;
  }

  ScanContext& context_;
  const Buffer& data_;
  std::string name_;
  int32_t count_ = 0;
  Id3Pictures pictures_;
};

}  // namespace

Mp3FrameRun WalkMp3Frames(const Buffer& b, uint64_t q, WalkBudget& budget) {
  Mp3FrameRun run{0, q};
  budget.spend(1);
  const std::optional<FrameHeader> first = HeaderAt(b, q);
  // A frame cut short by the end of the buffer is not the file's.
  for (std::optional<FrameHeader> h = first;
       h && SameStream(*first, *h) && h->length <= b.size() - run.end && !budget.exhausted();
       h = HeaderAt(b, run.end)) {
    run.end += h->length;
    ++run.frames;
    budget.spend(1);
  }
  return run;
}

std::optional<Buffer> Id3CoverOf(const Buffer& file) {
  if (!Id3End(file, 0)) return std::nullopt;
  std::optional<Buffer> cover;
  WalkBudget budget(file.size());
  Id3Pictures(
      file, [&file] { return file.size(); },
      [&cover](const Buffer& bytes, const Picture& picture, DecodedChild*) {
        if (!cover) cover = bytes.slice(picture.at, picture.length);
      })
      .tagAt(0, budget);
  return cover;
}

std::optional<Buffer> DecodeUnsynchronisedAt(const Buffer& data, uint64_t offset,
                                             uint64_t maxOutput) {
  if (offset >= data.size()) return std::nullopt;
  return Resynchronise(data, offset, data.size() - offset, maxOutput);
}

int32_t strellMP3(ScanContext& context, const Buffer& data, const std::string& from) {
  CoverWriter covers(context, data, fmt::format("{}-cover", DeletingPathExtension(from)));
  TrailerSearch search;
  const int32_t files =
      CarveItems(context, kMp3, data, from,
                 [&](uint64_t p, WalkBudget& budget, WalkMode) -> std::optional<uint64_t> {
                   const std::optional<Mp3File> file = MeasureMp3(data, p, budget, search);
                   if (!file) return std::nullopt;
                   // The pictures go out on their own: an item that is the
                   // whole buffer ends the passes that would otherwise find
                   // them.
                   if (file->tagged) covers.tagAt(p, budget);
                   return file->length;
                 });
  return files + covers.count();
}

}  // namespace strellbox
