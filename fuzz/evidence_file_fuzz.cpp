// The segment-set reader over arbitrary bytes given as an evidence file's
// first segment (and, split in two, as a raw image's first two segments):
// libewf opens and reads what it can, our wrapper bounds the media and maps
// it. The media must be as long as the set says and never past our cap.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/evidence_file.h"
#include "engine/log.h"

namespace {

constexpr uint64_t kMaxMedia = uint64_t{16} << 20;

void Write(const std::filesystem::path& path, const uint8_t* bytes, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  // libewf reads only from files: one folder for this process, its files
  // rewritten for every input.
  static const std::filesystem::path folder = [] {
    strellbox::SetLogSink([](std::string_view) {});
    std::string name = (std::filesystem::temp_directory_path() / "evidence-fuzz-XXXXXX").string();
    if (!::mkdtemp(name.data())) std::abort();
    return std::filesystem::path(name);
  }();
  const auto never = [] { return false; };

  const std::string first = (folder / "set.E01").string();
  Write(first, bytes, size);
  if (auto read = strellbox::ReadSegmentMedia(first, never, kMaxMedia)) {
    if (read->media.size() > kMaxMedia) std::abort();
    // Every byte of the media is there to read.
    uint64_t sum = 0;
    for (uint64_t i = 0; i < read->media.size(); i += 4096) sum += read->media.u8(i);
    if (read->media.size() > 0 && read->media.origin().chain.size() != 1) std::abort();
    (void)sum;
  }

  const size_t half = size / 2;
  Write(folder / "set.001", bytes, half);
  Write(folder / "set.002", bytes + half, size - half);
  if (auto read = strellbox::ReadSegmentMedia((folder / "set.001").string(), never, kMaxMedia)) {
    if (read->status == strellbox::ReadStatus::kRead && read->media.size() != size) std::abort();
    if (read->media.view() != std::string_view(reinterpret_cast<const char*>(bytes), size))
      std::abort();
  }
  return 0;
}
