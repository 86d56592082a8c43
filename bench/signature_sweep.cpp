// What the passes' signature searches cost over one big buffer, in sweeps
// of memchr over the same bytes (thread CPU time, one core):
//
//     build/bin/signature_sweep FILE [PIECE_KIB]
//
// (with PIECE_KIB, the index is also built in pieces of that size, to
// choose the size the scan uses).
//
// Rows: one memchr sweep for a byte the file lacks; the index that answers
// the passes' searches (one sweep per group of patterns); the sweep MP3's
// start search still makes of its own (its candidates confirmed, as the
// pass does); and, for comparison, every indexed pattern searched for by a
// sweep of its own, as the passes searched before the index.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/buffer.h"
#include "engine/signature_index.h"
#include "extractors/mp3.h"
#include "thread_seconds.h"

int main(int argc, char** argv) {
  using namespace strellbox;
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: signature_sweep FILE [PIECE_KIB]\n");
    return 2;
  }
  const Buffer data = Buffer::readFile(argv[1]);
  if (data.empty()) return 1;
  // Pages in first, so that no row pays for reading the file; the sweep
  // looks for the rarest byte, stopping at each of its places.
  int rarest = 0;
  {
    uint64_t seen[256] = {};
    for (uint64_t i = 0; i < data.size(); ++i) ++seen[data.data()[i]];
    for (int v = 1; v < 256; ++v)
      if (seen[v] < seen[rarest]) rarest = v;
  }
  double t = ThreadSeconds();
  uint64_t hits = 0;
  for (uint64_t p = 0; p < data.size(); ++hits) {
    const void* q = std::memchr(data.data() + p, rarest, data.size() - p);
    if (!q) break;
    p = static_cast<uint64_t>(static_cast<const uint8_t*>(q) - data.data()) + 1;
  }
  const double sweep = ThreadSeconds() - t;

  t = ThreadSeconds();
  const auto index = SignatureIndex::build(data.data(), data.size());
  const double indexing = ThreadSeconds() - t;

  double pieced = 0;
  IndexLimits limits;
  if (argc == 3) {
    limits.chunk = std::strtoull(argv[2], nullptr, 10) << 10;
    t = ThreadSeconds();
    const auto other = SignatureIndex::build(data.data(), data.size(), {}, limits);
    pieced = ThreadSeconds() - t;
    if (!other) return 1;
  }

  t = ThreadSeconds();
  uint64_t syncs = 0;
  for (uint64_t p = FindMp3Start(data, 0, data.size()); p != Buffer::npos;
       p = FindMp3Start(data, p + 1, data.size()))
    ++syncs;
  const double mp3 = ThreadSeconds() - t;

  t = ThreadSeconds();
  uint64_t separately = 0;
  for (const SweptPattern& p : SignatureIndex::patterns()) {
    // The first hit only: a pass sweeps on from each hit, so one whole sweep
    // per pattern is what it costs at least.
    const uint64_t q = p.literal.empty() ? data.findPairIn(p.first, p.seconds, data.size() / 2)
                                         : data.find(p.literal, data.size() / 2);
    separately += q != Buffer::npos;
  }
  const double each = (ThreadSeconds() - t) * 2;  // half the buffer was swept

  std::printf("bytes %llu, rarest byte's places %llu, index starts %llu, MP3 starts %llu\n",
              static_cast<unsigned long long>(data.size()), static_cast<unsigned long long>(hits),
              static_cast<unsigned long long>(index ? index->recorded() : 0),
              static_cast<unsigned long long>(syncs));
  std::printf("| search | CPU s | memchr sweeps |\n|---|---:|---:|\n");
  const auto row = [sweep](const char* name, double s) {
    std::printf("| %s | %.3f | %.1f |\n", name, s, s / sweep);
  };
  row("memchr, one sweep", sweep);
  row("index of all passes' signatures", indexing);
  row("MP3 starts, confirmed (own sweep)", mp3);
  if (argc == 3)
    std::printf("| index in pieces of %llu KiB | %.3f | %.1f |\n",
                static_cast<unsigned long long>(limits.chunk >> 10), pieced, pieced / sweep);
  row("index + MP3", indexing + mp3);
  row("each signature swept on its own", each);
  return separately > SignatureIndex::patterns().size();
}
