// Flash movies: plain ones (FWS) are measured by their length field and
// reported where they lie; compressed ones (CWS) are inflated and reported
// as the equivalent plain movie, so every movie written is uncompressed.
//
// With extended detection movies of any version count, and so do movies
// compressed with LZMA (ZWS), which are decoded, written plain like CWS
// movies and scanned again, so that the images in their tags are found
// (nothing else decodes LZMA; the deflate pass does it for CWS bodies).
#include <fmt/format.h>

#include <optional>
#include <vector>

#include "engine/carve.h"
#include "engine/decoder_table.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/lzma.h"
#include "extractors/zip_deflate.h"

namespace strellbox {

namespace {

constexpr uint64_t kMinLength = 100;
constexpr uint64_t kHeaderLength = 8;
constexpr uint8_t kHighestVersion = 7;
// Extended: Flash Player 32 writes version 43 and AIR higher; a version
// byte above this is taken for other data.
constexpr uint8_t kHighestExtendedVersion = 63;
// A ZWS header: the plain header, the compressed length, the 5 LZMA
// property bytes; the coded data follows.
constexpr uint64_t kLzmaPropsAt = 12;
constexpr uint64_t kLzmaDataAt = 17;

// First p in [from, limit) with "FWS" or "CWS" (or, extended, "ZWS") and a
// version the rules accept.
uint64_t FindMovie(const Buffer& data, uint64_t from, uint64_t limit, bool extended) {
  const uint8_t highest = extended ? kHighestExtendedVersion : kHighestVersion;
  // Search for "WS" one byte on and look around it for the rest of the
  // signature.
  uint64_t at = from + 1;
  while (at < limit + 1) {
    const uint64_t w = data.findPair('W', 'S', at, limit + 1);
    if (w == Buffer::npos) return Buffer::npos;
    const uint64_t p = w - 1;
    const uint8_t first = data.u8(p);
    const uint8_t version = data.u8(p + 3);
    if ((first == 'F' || first == 'C' || (extended && first == 'Z')) && version <= highest &&
        (!extended || version > 0))
      return p;
    at = w + 1;
  }
  return Buffer::npos;
}

// The plain movie (FWS) of the compressed one at p whose body decoded to
// `body`: the header (version, length) is kept; only the signature changes.
Buffer PlainMovie(const Buffer& data, uint64_t p, const Buffer& body) {
  std::vector<uint8_t> movie;
  movie.reserve(kHeaderLength + body.size());
  const std::string_view header = data.view(p, kHeaderLength);
  movie.assign(header.begin(), header.end());
  movie[0] = 'F';
  movie.insert(movie.end(), body.data(), body.data() + body.size());
  return Buffer(std::move(movie));
}

}  // namespace

int32_t strellSWF(ScanContext& context, const Buffer& data, const std::string& from) {
  const uint64_t n = data.size();
  if (n <= kMinLength) return 0;
  const bool extended = context.extended();
  Inflater inflater;
  InflateBudget budget(n);
  int32_t count = 0;
  // The compressed movie at p decoded to `body`: report the plain movie.
  auto onMovie = [&](uint64_t p, const Buffer& body, std::string_view decoder) {
    const Buffer plain = PlainMovie(data, p, body).decodedFrom(data, decoder, p);
    context.saveStrell(plain, 0, plain.size(), "swf", from, count, ItemEnd::kDecoded);
    ++count;
  };
  // LZMA: the header's file length gives the size the data decodes to. The
  // plain movie is reported, and its tags are scanned for the images in them.
  //
  // LZMA codes long repeats in a fraction of a bit, so a few bytes of data
  // can decode to as much as a header asks for: unlike inflation, no work
  // is free. All attempts share one allowance, what the largest possible
  // one needs (the whole buffer read, the cap written), plus kPerByte bytes
  // for every byte the search has advanced.
  const uint64_t lzmaAllowance = n + InflateCap(n);
  uint64_t lzmaSpent = 0;
  auto lzmaLimitsAt = [&](uint64_t p) {
    const uint64_t earned = lzmaAllowance + InflateBudget::kPerByte * p;
    InflateLimits limits;
    limits.work = earned > lzmaSpent ? earned - lzmaSpent : 0;
    limits.output = context.decodedAllowance();
    return limits;
  };
  auto decodeLzma = [&](uint64_t p, InflateLimits limits, Inflater::Attempt& attempt) {
    const uint64_t length = data.le32(p + 4);
    attempt = Inflater::Attempt{};
    if (length <= kHeaderLength) return std::optional<Buffer>();
    return DecodeLzma(data, p + kLzmaPropsAt, length - kHeaderLength, limits, attempt);
  };
  auto onLzmaMovie = [&](uint64_t p, const Buffer& body) {
    onMovie(p, body, Decoder(DecoderId::kLzma).key);
    DecodedChild tags{body, DecoderId::kLzma, p};
    count += context.scanChild(data, tags, fmt::format("{}-inflated", DeletingPathExtension(from)))
                 .items;
  };
  uint64_t position = 0;
  while (position < n - kHeaderLength && !context.stopStreller()) {
    const uint64_t p = FindMovie(data, position, n - kHeaderLength, extended);
    if (p == Buffer::npos) break;

    if (data.u8(p) == 'F') {
      // The length counts the whole movie, header included; its last tag
      // (End) is 00 00. Lengths of 1 and 2 would end inside the signature.
      const uint64_t length = data.le32(p + 4);
      const bool fits = length > 2 && length <= n - p;
      if (fits && data.u8(p + length - 2) == 0 && data.u8(p + length - 1) == 0) {
        if (IsWholeBuffer(p, length, n) && !context.scans(PassId::kJPEG))
          context.setAtomicFileFound(true);
        context.saveStrell(data, p, length, "swf", from, count, ItemEnd::kLength);
        ++count;
        position = p + length;
      } else {
        position = p + kHeaderLength;
      }
      continue;
    }

    if (data.u8(p) == 'Z') {
      const uint64_t start = p + kLzmaDataAt;
      Inflater::Attempt attempt;
      const std::optional<Buffer> body = decodeLzma(p, lzmaLimitsAt(p), attempt);
      lzmaSpent += attempt.charged;
      if (body) onLzmaMovie(p, *body);
      // A movie that decoded ends where its data did.
      position = body ? start + attempt.consumed : p + kHeaderLength;
      continue;
    }

    // Compressed: everything after the header is one zlib stream.
    std::optional<Buffer> body =
        inflater.inflate(data, p + kHeaderLength, budget.limitsAt(p + kHeaderLength));
    budget.charge(p + kHeaderLength, inflater.lastAttempt(), p);
    if (body) onMovie(p, *body, Decoder(DecoderId::kSwf).key);
    // The inflation does not say where the stream ended: resume inside it.
    position = p + kHeaderLength;
  }
  for (uint64_t p : budget.takeStarved()) {
    if (context.stopStreller()) break;
    const uint64_t start = p + kHeaderLength;
    std::optional<Buffer> body = inflater.inflate(data, start, budget.retryLimitsAt(start));
    budget.chargeRetry(start, inflater.lastAttempt());
    if (body) onMovie(p, *body, Decoder(DecoderId::kSwf).key);
  }
  return count;
}

std::optional<Buffer> DecodeCompressedMovieAt(const Buffer& data, uint64_t offset,
                                              uint64_t maxOutput) {
  if (!data.startsWith(offset, "CWS") || !data.has(offset, kHeaderLength)) return std::nullopt;
  Inflater inflater;
  Inflater::Limits limits;
  limits.output = maxOutput;
  const std::optional<Buffer> body = inflater.inflate(data, offset + kHeaderLength, limits);
  if (!body) return std::nullopt;
  return PlainMovie(data, offset, *body);
}

std::optional<Buffer> DecodeLzmaMovieAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  if (!data.startsWith(offset, "ZWS") || !data.has(offset, kLzmaDataAt)) return std::nullopt;
  const uint64_t length = data.le32(offset + 4);
  if (length <= kHeaderLength) return std::nullopt;
  InflateLimits limits;
  limits.output = maxOutput;
  // The work of one decoding: what the largest movie the buffer allows needs.
  limits.work = data.size() + InflateCap(data.size());
  Inflater::Attempt attempt;
  const std::optional<Buffer> body =
      DecodeLzma(data, offset + kLzmaPropsAt, length - kHeaderLength, limits, attempt);
  if (!body) return std::nullopt;
  return PlainMovie(data, offset, *body);
}

}  // namespace strellbox
