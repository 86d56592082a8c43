// How often runs of MP3 frames turn up in random bytes: the measurement
// behind the MP3 pass's rule for runs without a tag in front.
//
//   build/bin/mp3_false_positives [GiB]   (default 1)
//
// Fills buffers of 64 MiB from a seeded generator and prints, for each run
// length k, at how many offsets k or more frames of one stream follow one
// another, and how many items the pass itself reports (the false
// positives of its rule).
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/mp3.h"
#include "random_bytes.h"

int main(int argc, char** argv) {
  using namespace strellbox;
  const uint64_t gib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
  constexpr uint64_t kChunk = uint64_t{64} << 20;
  std::mt19937_64 rng(20261210);
  std::map<uint64_t, uint64_t> runs;  // frames -> offsets with exactly that many
  uint64_t items = 0;
  StrellController controller;
  controller.setExtendedDetection(true);
  controller.setSaveObserverForTesting([&](const Buffer&, uint64_t, uint64_t, std::string_view,
                                           std::string_view, int32_t, ItemEnd) { ++items; });
  for (uint64_t done = 0; done < (gib << 30); done += kChunk) {
    const Buffer b = RandomBuffer(rng, kChunk);
    for (uint64_t p = b.find(uint8_t{0xFF}, 0); p != Buffer::npos;
         p = b.find(uint8_t{0xFF}, p + 1)) {
      WalkBudget budget = WalkBudget::ofUnits(64);
      const Mp3FrameRun run = WalkMp3Frames(b, p, budget);
      if (run.frames > 0) ++runs[run.frames];
    }
    RunPass(controller, strellMP3, b, std::string("random"));
  }
  uint64_t atLeast = 0;
  std::vector<std::pair<uint64_t, uint64_t>> rows(runs.rbegin(), runs.rend());
  std::printf("%llu GiB of random bytes\nframes  offsets with at least that many\n",
              static_cast<unsigned long long>(gib));
  std::vector<std::string> lines;
  for (const auto& [frames, count] : rows) {
    atLeast += count;
    lines.push_back(std::to_string(frames) + "  " + std::to_string(atLeast));
  }
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) std::printf("%s\n", it->c_str());
  std::printf("items the mp3 pass reported: %llu\n", static_cast<unsigned long long>(items));
  return 0;
}
