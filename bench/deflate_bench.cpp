// The deflate pass over random bytes against one memchr sweep of the same
// buffer, hostile buffers of candidate headers, and the throughput of
// Inflate on one large stream.
//
// STRELLBOX_INFLATE_FILE names a file holding one zlib stream for
// BM_InflateFile (bench/inflate_compare.sh makes one and times Python's
// zlib and zlib-flate on it); without it a 100 MiB stream is made here.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

#include "engine/strell_controller.h"
#include "extractors/zip_deflate.h"

namespace {

using strellbox::Buffer;
using strellbox::StrellController;

constexpr uint64_t kRandomLength = uint64_t{256} << 20;

const Buffer& RandomBuffer() {
  static const Buffer buffer = [] {
    std::vector<uint8_t> bytes(kRandomLength);
    std::mt19937_64 rng(20240229);
    for (uint64_t i = 0; i < bytes.size(); i += 8) {
      const uint64_t r = rng();
      std::memcpy(&bytes[i], &r, 8);
    }
    return Buffer(std::move(bytes));
  }();
  return buffer;
}

// Every 16 bytes a zlib header and a stored block whose length chains on to
// the next block header: each candidate reads to the end of the buffer.
Buffer StoredBlockFlood(uint64_t length) {
  static const uint8_t unit[16] = {0x78, 0x01, 0x00, 0xFB, 0xFF, 0x04, 0x00, 0x11,
                                   0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
  std::vector<uint8_t> bytes(length);
  for (uint64_t i = 0; i < length; ++i) bytes[i] = unit[i % 16];
  return Buffer(std::move(bytes));
}

void SetBytes(benchmark::State& state, uint64_t length) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}

// The floor of the header search: memchr from one 78 byte to the next.
void BM_MemchrSweep(benchmark::State& state) {
  const Buffer& b = RandomBuffer();
  for (auto _ : state) {
    uint64_t hits = 0;
    const uint8_t* p = b.data();
    const uint8_t* end = p + b.size();
    while (const void* q = std::memchr(p, 0x78, static_cast<size_t>(end - p))) {
      ++hits;
      p = static_cast<const uint8_t*>(q) + 1;
    }
    benchmark::DoNotOptimize(hits);
  }
  SetBytes(state, kRandomLength);
}
BENCHMARK(BM_MemchrSweep)->Unit(benchmark::kMillisecond)->Iterations(5);

// Memory bandwidth: one memchr call over as many bytes, none of them a hit.
void BM_MemchrBandwidth(benchmark::State& state) {
  static const std::vector<uint8_t> zeros(kRandomLength, 0);
  for (auto _ : state) benchmark::DoNotOptimize(std::memchr(zeros.data(), 0x78, zeros.size()));
  SetBytes(state, kRandomLength);
}
BENCHMARK(BM_MemchrBandwidth)->Unit(benchmark::kMillisecond)->Iterations(5);

void RunDeflatePass(benchmark::State& state, const Buffer& b) {
  StrellController c;
  c.setAllScans(false);
  int64_t items = 0;
  c.setSaveObserverForTesting([&items](const Buffer&, uint64_t, uint64_t, std::string_view,
                                       std::string_view, int32_t, strellbox::ItemEnd) { ++items; });
  const uint64_t workBefore = strellbox::InflateWorkOnThisThread();
  for (auto _ : state)
    benchmark::DoNotOptimize(RunPass(c, strellbox::strellDeflate, b, "bench.bin", true));
  SetBytes(state, b.size());
  state.counters["work_per_byte"] =
      static_cast<double>(strellbox::InflateWorkOnThisThread() - workBefore) /
      static_cast<double>(state.iterations() * b.size());
  state.counters["items"] = static_cast<double>(items);
}

void BM_DeflatePassRandom(benchmark::State& state) { RunDeflatePass(state, RandomBuffer()); }
BENCHMARK(BM_DeflatePassRandom)->Unit(benchmark::kMillisecond)->Iterations(3);

// Hostile input: time per byte must stay flat as the buffer grows.
void BM_DeflatePassStoredFlood(benchmark::State& state) {
  RunDeflatePass(state, StoredBlockFlood(static_cast<uint64_t>(state.range(0)) << 20));
}
BENCHMARK(BM_DeflatePassStoredFlood)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

std::vector<uint8_t> Compress(const std::vector<uint8_t>& data) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  std::vector<uint8_t> out(length);
  if (compress2(out.data(), &length, data.data(), static_cast<uLong>(data.size()), 6) != Z_OK)
    throw std::runtime_error("compress2");
  out.resize(length);
  return out;
}

// 100 MiB of bytes from a 32-letter alphabet: compresses to about 63%, so
// the output stays below the cap of twice the stream's length.
Buffer LargeStream() {
  if (const char* path = std::getenv("STRELLBOX_INFLATE_FILE"))
    return Buffer::readFile(path, UINT64_MAX);
  std::vector<uint8_t> data(uint64_t{100} << 20);
  std::mt19937_64 rng(7);
  for (uint8_t& byte : data) byte = static_cast<uint8_t>(0x40 + (rng() & 0x1F));
  return Buffer(Compress(data));
}

void BM_InflateFile(benchmark::State& state) {
  static const Buffer stream = LargeStream();
  uint64_t out = 0;
  for (auto _ : state) {
    auto inflated = strellbox::Inflate(stream, 0);
    if (!inflated) {
      state.SkipWithError("the stream did not inflate");
      return;
    }
    out = inflated->size();
  }
  SetBytes(state, out);
  state.counters["inflated_bytes"] = static_cast<double>(out);
  state.counters["stream_bytes"] = static_cast<double>(stream.size());
}
BENCHMARK(BM_InflateFile)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
