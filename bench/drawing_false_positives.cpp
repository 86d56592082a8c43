// How many SVG, data: URI, EMF, WMF and JPEG XL items the passes report in
// random bytes: their false positives.
//
//   build/bin/drawing_false_positives [GiB]   (default 1)
//
// Fills buffers of 64 MiB from a seeded generator, runs the five passes
// over each and prints the items of each type and the seconds each pass
// took.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/buffer.h"
#include "engine/pass_table.h"
#include "engine/strell_controller.h"
#include "random_bytes.h"

int main(int argc, char** argv) {
  using namespace strellbox;
  const uint64_t gib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
  constexpr uint64_t kChunk = uint64_t{64} << 20;
  std::mt19937_64 rng(20261210);
  std::map<std::string, uint64_t> items;
  StrellController controller;
  controller.setExtendedDetection(true);
  controller.setSaveObserverForTesting([&](const Buffer&, uint64_t, uint64_t, std::string_view type,
                                           std::string_view, int32_t,
                                           ItemEnd) { ++items[std::string(type)]; });
  const std::vector<std::pair<const char*, PassFunction>> passes = {{"svg", strellSVG},
                                                                    {"data-uri", strellDataURIs},
                                                                    {"emf", strellEMF},
                                                                    {"wmf", strellWMF},
                                                                    {"jxl", strellJXL}};
  std::map<std::string, double> seconds;
  for (uint64_t done = 0; done < (gib << 30); done += kChunk) {
    const Buffer b = RandomBuffer(rng, kChunk);
    for (const auto& [name, pass] : passes) {
      const auto start = std::chrono::steady_clock::now();
      RunPass(controller, pass, b, std::string("random"));
      seconds[name] +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
  }
  std::printf("%llu GiB of random bytes\n", static_cast<unsigned long long>(gib));
  for (const auto& [name, pass] : passes) std::printf("%-9s %.1f s\n", name, seconds[name]);
  for (const auto& [type, count] : items)
    std::printf("items of type %s: %llu\n", type.c_str(), static_cast<unsigned long long>(count));
  return 0;
}
