// The text pass over 256 MiB of mixed data, with the classic and the
// extended rules, against one memchr sweep of the same bytes (the floor for
// any pass that reads every byte once).
//
// The data cycles through 1 MiB blocks of English prose, random binary, text
// stored as two bytes per character and HTML. No block holds the byte 0xFF,
// so memchr for it reads the whole buffer in one call.
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/strell_controller.h"
#include "extractors/text.h"

namespace {

using strellbox::Buffer;

constexpr size_t kSize = size_t{256} << 20;
constexpr size_t kBlock = size_t{1} << 20;

std::string Prose(std::mt19937& rng, size_t n) {
  static const char* kWords[] = {"the",    "quick", "brown", "fox",   "jumps",   "over",
                                 "lazy",   "dog",   "and",   "then",  "caf\xE9", "opens",
                                 "at",     "nine",  "mail",  "file",  "with",    "Strell",
                                 "number", "42",    "of",    "every", "line",    "(page)"};
  std::string s;
  while (s.size() < n) {
    s += kWords[rng() % std::size(kWords)];
    const unsigned r = rng() % 16;
    s += r == 0 ? ".\n" : r == 1 ? ", " : " ";
  }
  s.resize(n);
  return s;
}

const Buffer& MixedData() {
  static const Buffer data = [] {
    std::mt19937 rng(42);
    std::vector<uint8_t> bytes;
    bytes.reserve(kSize);
    for (size_t block = 0; bytes.size() < kSize; ++block) {
      std::string part;
      switch (block % 4) {
        case 0:
          part = Prose(rng, kBlock);
          break;
        case 1:
          part.resize(kBlock);
          for (char& c : part) c = static_cast<char>(rng() % 255);  // never 0xFF
          break;
        case 2:
          for (const char c : Prose(rng, kBlock / 2)) {
            part.push_back(c);
            part.push_back('\0');
          }
          break;
        default:
          while (part.size() < kBlock)
            part += "<tr>\n<td class=\"x\">" + Prose(rng, 40) + "</td>\n</tr>\n";
          part.resize(kBlock);
      }
      bytes.insert(bytes.end(), part.begin(), part.end());
    }
    bytes.resize(kSize);
    return Buffer(std::move(bytes));
  }();
  return data;
}

void BM_MemchrSweep(benchmark::State& state) {
  const Buffer& data = MixedData();
  for (auto _ : state) {
    const void* hit = std::memchr(data.data(), 0xFF, data.size());
    benchmark::DoNotOptimize(hit);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_ASCIIPass(benchmark::State& state) {
  const Buffer& data = MixedData();
  strellbox::StrellController controller;
  controller.setExtendedDetection(state.range(0) != 0);
  uint64_t kept = 0;
  controller.setSaveObserverForTesting([&](const Buffer&, uint64_t, uint64_t length,
                                           std::string_view, std::string_view, int32_t,
                                           strellbox::ItemEnd) { kept = length; });
  for (auto _ : state)
    benchmark::DoNotOptimize(RunPass(controller, strellbox::strellASCII, data, "mixed.bin"));
  state.counters["kept_bytes"] = static_cast<double>(kept);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// The word filter alone (extended rules) with its pages shared by as many
// other threads as the argument says (0: one run, no pages).
void BM_WordFilterPages(benchmark::State& state) {
  const Buffer& data = MixedData();
  const auto others = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    std::vector<std::thread> threads;
    strellbox::ScanHelpers helpers;
    if (others > 0)
      helpers = [&](size_t count, std::function<void()> task) {
        for (size_t t = 0; t < std::min(count, others); ++t) threads.emplace_back(task);
      };
    int64_t removed = 0;
    benchmark::DoNotOptimize(strellbox::ASCIILegalize2(data, &removed, true, helpers));
    for (std::thread& t : threads) t.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

BENCHMARK(BM_MemchrSweep)->Unit(benchmark::kMillisecond)->MinTime(1.0);
// Argument 1: with extended detection (words of other scripts, long words).
BENCHMARK(BM_ASCIIPass)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WordFilterPages)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace
