// Flash movies: plain ones (FWS) are measured by their length field and
// reported where they lie; compressed ones (CWS) are inflated and reported
// as the equivalent plain movie, so every movie written is uncompressed.
#include <optional>
#include <vector>

#include "engine/scan_context.h"
#include "extractors/zip_deflate.h"

namespace strellbox {

namespace {

constexpr uint64_t kMinLength = 100;
constexpr uint64_t kHeaderLength = 8;
constexpr uint8_t kHighestVersion = 7;

// First p in [from, limit) with "FWS" or "CWS" and a version of 7 or less.
uint64_t FindMovie(const Buffer& data, uint64_t from, uint64_t limit) {
  // Search for "WS" one byte on and look around it for the rest of the
  // signature.
  uint64_t at = from + 1;
  while (at < limit + 1) {
    const uint64_t w = data.findPair('W', 'S', at, limit + 1);
    if (w == Buffer::npos) return Buffer::npos;
    const uint64_t p = w - 1;
    const uint8_t first = data.u8(p);
    if ((first == 'F' || first == 'C') && data.u8(p + 3) <= kHighestVersion) return p;
    at = w + 1;
  }
  return Buffer::npos;
}

}  // namespace

int32_t strellSWF(ScanContext& context, const Buffer& data, const std::string& from) {
  const uint64_t n = data.size();
  if (n <= kMinLength) return 0;
  Inflater inflater;
  InflateBudget budget(n);
  int32_t count = 0;
  // The compressed movie at p inflated to `body`: report the plain movie.
  // The header (version, length) is kept; only the signature changes.
  auto onMovie = [&](uint64_t p, const Buffer& body) {
    std::vector<uint8_t> movie;
    movie.reserve(kHeaderLength + body.size());
    const std::string_view header = data.view(p, kHeaderLength);
    movie.assign(header.begin(), header.end());
    movie[0] = 'F';
    movie.insert(movie.end(), body.data(), body.data() + body.size());
    const Buffer plain = Buffer(std::move(movie)).decodedFrom(data, "swf", p);
    context.saveStrell(plain, 0, plain.size(), "swf", from, count);
    ++count;
  };
  uint64_t position = 0;
  while (position < n - kHeaderLength && !context.stopStreller()) {
    const uint64_t p = FindMovie(data, position, n - kHeaderLength);
    if (p == Buffer::npos) break;

    if (data.u8(p) == 'F') {
      // The length counts the whole movie, header included; its last tag
      // (End) is 00 00. Lengths of 1 and 2 would end inside the signature.
      const uint64_t length = data.le32(p + 4);
      const bool fits = length > 2 && length <= n - p;
      if (fits && data.u8(p + length - 2) == 0 && data.u8(p + length - 1) == 0) {
        if (p == 0 && length > n - kHeaderLength && !context.scans(PassId::kJPEG))
          context.setAtomicFileFound(true);
        context.saveStrell(data, p, length, "swf", from, count);
        ++count;
        position = p + length;
      } else {
        position = p + kHeaderLength;
      }
      continue;
    }

    // Compressed: everything after the header is one zlib stream.
    std::optional<Buffer> body =
        inflater.inflate(data, p + kHeaderLength, budget.limitsAt(p + kHeaderLength));
    budget.charge(p + kHeaderLength, inflater.lastAttempt());
    if (body) onMovie(p, *body);
    // The inflation does not say where the stream ended: resume inside it.
    position = p + kHeaderLength;
  }
  for (uint64_t start : budget.takeStarved()) {
    if (context.stopStreller()) break;
    std::optional<Buffer> body = inflater.inflate(data, start, budget.retryLimitsAt(start));
    budget.chargeRetry(start, inflater.lastAttempt());
    if (body) onMovie(start - kHeaderLength, *body);
  }
  return count;
}

}  // namespace strellbox
