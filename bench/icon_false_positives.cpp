// How often random bytes give an icon, cursor, Matroska or PSD item: the
// icon header has only four fixed bytes, so its entries must be confirmed.
//
//   build/bin/icon_false_positives [GiB]   (default 1)
//
// Fills buffers of 64 MiB from a seeded generator, once uniform and once
// sparse (fifteen bytes in sixteen zero, as in the free space of a disk
// image, where 00 00 01 00 stands far more often), and prints how many
// icon or cursor headers with a count stand in them and how many items
// each pass reports (its false positives).
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/buffer.h"
#include "engine/pass_table.h"
#include "engine/strell_controller.h"

int main(int argc, char** argv) {
  using namespace strellbox;
  const uint64_t gib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
  constexpr uint64_t kChunk = uint64_t{64} << 20;
  const std::pair<const char*, PassFunction> passes[] = {
      {"icon", strellIcon}, {"matroska", strellMatroska}, {"psd", strellPSD}};
  for (const bool sparse : {false, true}) {
    std::mt19937_64 rng(20261210);
    uint64_t headers = 0, items = 0;
    StrellController controller;
    controller.setExtendedDetection(true);
    controller.setSaveObserverForTesting([&](const Buffer&, uint64_t, uint64_t, std::string_view,
                                             std::string_view, int32_t, ItemEnd) { ++items; });
    std::vector<uint64_t> found(std::size(passes));
    for (uint64_t done = 0; done < (gib << 30); done += kChunk) {
      std::vector<uint8_t> bytes(kChunk);
      for (uint64_t i = 0; i < kChunk; i += 8) {
        const uint64_t v = rng();
        const uint64_t keep = sparse ? rng() : ~uint64_t{0};
        for (int k = 0; k < 8; ++k) {
          const bool zero = sparse && ((keep >> (8 * k)) & 0x0F) != 0;
          bytes[i + k] = zero ? 0 : static_cast<uint8_t>(v >> (8 * k));
        }
      }
      const Buffer b(std::move(bytes));
      for (const std::string_view head :
           {std::string_view("\0\0\1\0", 4), std::string_view("\0\0\2\0", 4)})
        for (uint64_t p = b.find(head, 0, b.size()); p != Buffer::npos;
             p = b.find(head, p + 1, b.size()))
          if (b.le16(p + 4) != 0) ++headers;
      for (size_t i = 0; i < std::size(passes); ++i) {
        items = 0;
        RunPass(controller, passes[i].second, b, std::string("random"));
        found[i] += items;
      }
    }
    std::printf("%llu GiB of %s random bytes: %llu icon or cursor headers with a count\n",
                static_cast<unsigned long long>(gib), sparse ? "sparse" : "uniform",
                static_cast<unsigned long long>(headers));
    for (size_t i = 0; i < std::size(passes); ++i)
      std::printf("  items the %s pass reported: %llu\n", passes[i].first,
                  static_cast<unsigned long long>(found[i]));
  }
  return 0;
}
