// Speed of the JPEG, GIF, PNG, BMP and WAV passes, and of the passes and
// searches that extended detection adds or changes (WebP, TIFF, the JPEG,
// BMP, WAV and SWF rules, the gzip and zip-member searches of the flate row).
//
// Random: each pass over 256 MiB of random bytes in which no signature
// stands (the first byte of every signature still occurs, once in 256 bytes,
// and the pair that would open a signature is broken), against one memchr
// sweep of the same buffer for a byte it does not hold. The passes should
// stay within three times the sweep.
//
// Dense: each pass over 64 MiB of real JPEGs made by ImageMagick, one after
// the other with four zero bytes between them (an image followed directly by
// the next one's SOI is walked on into it, as inline-table streams need).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/zip_deflate.h"

namespace strellbox {
namespace {

constexpr size_t kRandomBytes = size_t{256} << 20;
constexpr size_t kDenseBytes = size_t{64} << 20;
constexpr uint8_t kAbsent = 0xA5;

using Pass = PassFunction;

const Buffer& RandomBuffer() {
  static const Buffer buffer = [] {
    std::vector<uint8_t> v(kRandomBytes);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < v.size(); i += 8) {
      // splitmix64
      uint64_t z = (state += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      z ^= z >> 31;
      std::memcpy(&v[i], &z, 8);
    }
    // Openings of the signatures: SOI, PNG, GIF, BMP, RIFF, TIFF, Flash,
    // gzip, zip.
    const uint8_t pairs[][2] = {{0xFF, 0xD8}, {0x89, 'P'}, {'G', 'I'}, {'B', 'M'},   {'R', 'I'},
                                {'I', 'I'},   {'M', 'M'},  {'W', 'S'}, {0x1F, 0x8B}, {'P', 'K'}};
    for (size_t i = 0; i < v.size(); ++i) {
      if (v[i] == kAbsent) v[i] = kAbsent ^ 1;
      if (i + 1 < v.size())
        for (const auto& pair : pairs)
          if (v[i] == pair[0] && v[i + 1] == pair[1]) v[i + 1] ^= 0x01;
    }
    return Buffer(std::move(v));
  }();
  return buffer;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// How many images DenseBuffer holds; the JPEG pass should report each.
int64_t gDenseImages = 0;

const Buffer& DenseBuffer() {
  static const Buffer buffer = [] {
    char folder[] = "/tmp/strellbox-bench-XXXXXX";
    if (!::mkdtemp(folder)) return Buffer();
    const std::string dir = folder;
    const char* recipes[] = {
        "-seed 1 -size 640x480 plasma:fractal -quality 85",
        "-seed 2 -size 320x240 plasma:fractal -quality 75 -interlace Plane",
        "-size 800x600 gradient:navy-orange -quality 90",
        "-seed 3 -size 160x120 plasma:fractal -quality 60 -colorspace Gray",
        "-seed 4 -size 1024x768 plasma:fractal -quality 80 -sampling-factor 2x2",
    };
    std::vector<std::string> images;
    int n = 0;
    for (const char* recipe : recipes) {
      const std::string path = dir + "/" + std::to_string(n++) + ".jpg";
      const std::string command = std::string("convert ") + recipe + " '" + path + "'";
      if (std::system(command.c_str()) == 0) images.push_back(ReadAll(path));
    }
    std::filesystem::remove_all(dir);
    std::vector<uint8_t> v;
    v.reserve(kDenseBytes + (1 << 20));
    for (size_t i = 0; !images.empty() && v.size() < kDenseBytes; ++i) {
      const std::string& image = images[i % images.size()];
      v.insert(v.end(), image.begin(), image.end());
      v.insert(v.end(), 4, 0);
      ++gDenseImages;
    }
    return Buffer(std::move(v));
  }();
  return buffer;
}

double ThreadSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

const void* SweepForAbsentByte(const Buffer& b) { return std::memchr(b.data(), kAbsent, b.size()); }

void MemchrAbsentByte(benchmark::State& state) {
  const Buffer& b = RandomBuffer();
  for (auto _ : state) benchmark::DoNotOptimize(SweepForAbsentByte(b));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
}

// Runs the pass; with `versusMemchr`, each iteration also times one memchr
// sweep of the same buffer (outside the measured time), in thread CPU time.
// Counters: x_memchr, the median over the iterations of pass / sweep, and
// x_memchr_best, the fastest pass over the fastest sweep. Interleaving the
// two and taking the median keeps the ratio steady on a machine shared with
// other work.
void TimePass(benchmark::State& state, Pass pass, const Buffer& b, bool versusMemchr,
              bool extended = false) {
  if (b.empty()) {
    state.SkipWithError("no input (is ImageMagick's convert installed?)");
    return;
  }
  StrellController controller;
  controller.setExtendedDetection(extended);
  controller.setSaveObserverForTesting([](const Buffer&, uint64_t, uint64_t, std::string_view,
                                          std::string_view, int32_t, strellbox::ItemEnd) {});
  int32_t found = 0;
  std::vector<double> passes, sweeps;
  for (auto _ : state) {
    if (versusMemchr) {
      state.PauseTiming();
      const double t0 = ThreadSeconds();
      benchmark::DoNotOptimize(SweepForAbsentByte(b));
      sweeps.push_back(ThreadSeconds() - t0);
      state.ResumeTiming();
    }
    const double t1 = ThreadSeconds();
    found = RunPass(controller, pass, b, "bench");
    passes.push_back(ThreadSeconds() - t1);
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
  state.counters["items"] = found;
  if (versusMemchr && !sweeps.empty()) {
    std::vector<double> ratios;
    for (size_t i = 0; i < passes.size(); ++i)
      if (sweeps[i] > 0) ratios.push_back(passes[i] / sweeps[i]);
    std::sort(ratios.begin(), ratios.end());
    if (!ratios.empty()) state.counters["x_memchr"] = ratios[ratios.size() / 2];
    const double bestSweep = *std::min_element(sweeps.begin(), sweeps.end());
    if (bestSweep > 0)
      state.counters["x_memchr_best"] = *std::min_element(passes.begin(), passes.end()) / bestSweep;
  }
}

void RandomPass(benchmark::State& state, Pass pass) { TimePass(state, pass, RandomBuffer(), true); }
void RandomExtended(benchmark::State& state, Pass pass) {
  TimePass(state, pass, RandomBuffer(), true, true);
}
// The searches the flate row adds with extended detection, alone (the
// deflate pass's own inflation attempts at false zlib headers are not a
// signature search).
int32_t GzipMembers(ScanContext& context, const Buffer& data, const std::string& from) {
  return strellGzip(context, data, from, false);
}
int32_t ZipMembers(ScanContext& context, const Buffer& data, const std::string& from) {
  return strellZipMembers(context, data, from, false);
}
void DensePass(benchmark::State& state, Pass pass) {
  TimePass(state, pass, DenseBuffer(), false);
  state.counters["images"] = static_cast<double>(gDenseImages);
}

constexpr double kMinTime = 0.3;

BENCHMARK(MemchrAbsentByte)->Unit(benchmark::kMillisecond)->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomPass, jpeg, &strellJPEG)->Unit(benchmark::kMillisecond)->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomPass, gif, &strellGIF)->Unit(benchmark::kMillisecond)->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomPass, png, &strellPNG)->Unit(benchmark::kMillisecond)->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomPass, bmp, &strellBMP)->Unit(benchmark::kMillisecond)->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomPass, wav, &strellWAV)->Unit(benchmark::kMillisecond)->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, webp, &strellWebP)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, tiff, &strellTIFF)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, mp4, &strellIsoMedia)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, flac, &strellFLAC)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, ogg, &strellOgg)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, mp3, &strellMP3)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, jpeg, &strellJPEG)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, bmp, &strellBMP)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, wav, &strellWAV)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, swf, &strellSWF)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, gzip, &GzipMembers)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(RandomExtended, zip_members, &ZipMembers)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(kMinTime);
BENCHMARK_CAPTURE(DensePass, jpeg, &strellJPEG)->Unit(benchmark::kMillisecond)->MinTime(kMinTime);
BENCHMARK_CAPTURE(DensePass, gif, &strellGIF)->Unit(benchmark::kMillisecond)->MinTime(kMinTime);
BENCHMARK_CAPTURE(DensePass, png, &strellPNG)->Unit(benchmark::kMillisecond)->MinTime(kMinTime);
BENCHMARK_CAPTURE(DensePass, bmp, &strellBMP)->Unit(benchmark::kMillisecond)->MinTime(kMinTime);
BENCHMARK_CAPTURE(DensePass, wav, &strellWAV)->Unit(benchmark::kMillisecond)->MinTime(kMinTime);

}  // namespace
}  // namespace strellbox
