// Disk images in segment files (evidence files written by ewfacquire, raw
// images cut by split) scan as the raw image they hold.
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <tuple>

#include "cli/cli.h"
#include "engine/evidence_file.h"
#include "engine/log.h"
#include "engine/strell_controller.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Three blocks of the readers' 4 MiB: with three workers, three readers.
constexpr uint64_t kMediaSize = uint64_t{12} << 20;
constexpr uint64_t kChunk = 32768;  // ewfacquire's default: 64 sectors of 512 bytes
constexpr uint64_t kJpegAt = (uint64_t{1} << 20) + 1536;

void Shell(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// The raw image: filler that deflates (so that its chunks are stored
// compressed) with a PNG, a JPEG, a zip holding a PNG and a second PNG at
// sector-aligned offsets; what ewfacquire and split made of it beside it.
struct Images {
  TempDir dir;
  fs::path raw, ewf, split;
  Images() {
    Shell(
        fmt::format("cd '{}' && convert -size 40x30 xc:red a.png && convert -size 64x48 "
                    "gradient:blue-yellow b.jpg && convert -size 30x40 xc:navy c.png && "
                    "convert -size 20x20 xc:green d.png && zip -q z.zip c.png",
                    dir.str()));
    std::mt19937 random(7);
    std::string media(kMediaSize, '\0');
    for (char& c : media) c = static_cast<char>(0x80 | (random() & 0x0F));
    const std::pair<const char*, uint64_t> items[] = {{"a.png", 4096},
                                                      {"b.jpg", kJpegAt},
                                                      {"z.zip", (uint64_t{2} << 20) + 3584},
                                                      {"d.png", (uint64_t{5} << 20) + 512}};
    for (const auto& [name, at] : items) {
      const std::string bytes = test::ReadFile(dir / name);
      media.replace(at, bytes.size(), bytes);
    }
    raw = dir / "raw" / "disk.img";
    fs::create_directories(raw.parent_path());
    test::WriteFile(raw, media);
    fs::create_directories(dir / "ewf");
    Shell(
        fmt::format("ewfacquire -u -q -f encase6 -c deflate:fast -S 1048576 -t '{}' '{}' "
                    ">/dev/null",
                    (dir / "ewf" / "disk").string(), raw.string()));
    ewf = dir / "ewf" / "disk.E01";
    fs::create_directories(dir / "split");
    Shell(fmt::format("cd '{}' && split -b 2097152 -d -a 3 --numeric-suffixes=1 '{}' disk.",
                      (dir / "split").string(), raw.string()));
    split = dir / "split" / "disk.001";
  }
};

const Images& Made() {
  static const Images images;
  return images;
}

struct Scan {
  int status;
  std::vector<nlohmann::json> rows;  // the summary last
  std::vector<std::string> log;
};

Scan ScanPaths(std::vector<std::string> paths, int jobs = 2) {
  test::ScopedHome home;
  TempDir out;
  std::vector<std::string> args = {"strellbox-cli", "scan",   "--json",
                                   "--verbose",     "--jobs", std::to_string(jobs),
                                   "--output",      out.str()};
  args.insert(args.end(), paths.begin(), paths.end());
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  Scan scan;
  LogSink old = SetLogSink([&scan](std::string_view line) { scan.log.emplace_back(line); });
  std::ostringstream stdoutText, stderrText;
  scan.status = RunCli(static_cast<int>(argv.size()), argv.data(), stdoutText, stderrText);
  SetLogSink(old);
  std::istringstream lines(stdoutText.str());
  for (std::string line; std::getline(lines, line);)
    scan.rows.push_back(nlohmann::json::parse(line));
  return scan;
}

// What an item is, wherever it was read from: type, offset, size, bytes and
// the decodings below the segment set's own step.
using Item = std::tuple<std::string, uint64_t, uint64_t, std::string, std::string>;
std::vector<Item> Items(const Scan& scan, size_t ownSteps) {
  std::vector<Item> items;
  for (const auto& row : scan.rows) {
    if (!row.contains("type")) continue;
    std::string chain;
    for (size_t i = ownSteps; i < row["chain"].size(); ++i)
      chain += row["chain"][i]["decoder"].get<std::string>() + "@" +
               std::to_string(row["chain"][i]["offset"].get<uint64_t>()) + " ";
    items.emplace_back(row["type"], row["offset"], row["size"], row["sha256"], chain);
  }
  std::sort(items.begin(), items.end());
  return items;
}

bool Logged(const Scan& scan, const std::string& text) {
  return std::any_of(scan.log.begin(), scan.log.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

std::vector<std::string> FilesIn(const fs::path& folder) {
  std::vector<std::string> files;
  for (const auto& name : test::ListFiles(folder)) files.push_back((folder / name).string());
  return files;
}

TEST(Evidence, SegmentSetsScanAsTheRawImageTheyHold) {
  const Images& images = Made();
  const Scan raw = ScanPaths({images.raw.string()});
  ASSERT_EQ(raw.status, 0);
  const std::vector<Item> expected = Items(raw, 0);
  ASSERT_GE(expected.size(), 4u);  // the three pictures and the one in the zip

  struct Case {
    const char* name;
    std::vector<std::string> paths;  // as given on the command line
    fs::path first;
    const char* decoder;
  };
  const Case cases[] = {
      {"evidence segments named one by one", FilesIn(images.ewf.parent_path()), images.ewf, "ewf"},
      {"evidence segments met in their folder",
       {images.ewf.parent_path().string()},
       images.ewf,
       "ewf"},
      {"split raw named one by one", FilesIn(images.split.parent_path()), images.split,
       "split-raw"},
      {"split raw met in its folder",
       {images.split.parent_path().string()},
       images.split,
       "split-raw"},
  };
  ASSERT_GE(FilesIn(images.ewf.parent_path()).size(), 3u) << "the evidence file did not split";
  // One worker reads the media alone; three read a part each.
  for (const Case& c : cases)
    for (const int jobs : {1, 3}) {
      SCOPED_TRACE(fmt::format("{}, {} workers", c.name, jobs));
      const Scan scan = ScanPaths(c.paths, jobs);
      ASSERT_EQ(scan.status, 0);
      EXPECT_EQ(Items(scan, 1), expected);
      EXPECT_EQ(scan.rows.back()["files_scanned"], 1) << "a later segment was scanned on its own";
      for (const auto& row : scan.rows) {
        if (!row.contains("type")) continue;
        EXPECT_EQ(row["container"], c.first.string());
        ASSERT_FALSE(row["chain"].empty());
        EXPECT_EQ(row["chain"][0]["decoder"], c.decoder);
        EXPECT_EQ(row["chain"][0]["offset"], 0);
      }
    }
}

// The bar moves while the media is read out of the set, before its scan:
// the media counts twice in the job's total (beside what is decoded from
// it), and the progress climbs by blocks through the first half, never
// going back, to the total.
TEST(Evidence, ProgressMovesWhileTheMediaIsRead) {
  const Images& images = Made();
  const uint64_t media = fs::file_size(images.raw);
  for (const int workers : {1, 2}) {
    SCOPED_TRACE(fmt::format("{} workers", workers));
    test::RecordingDisplay display;
    StrellController c(&display);
    c.setScanWorkers(workers);
    c.setSaveRadioChosen(2);
    const TempDir out;
    c.setSaveFolder(out.str());
    c.threadStrell({images.ewf.string()});
    c.waitUntilIdle();
    c.shutdown();
    const double total = c.bytesToStrell();
    EXPECT_GE(total, 2.0 * static_cast<double>(media));
    EXPECT_LT(total, 2.0 * static_cast<double>(media) + 65536);  // the zip's member
    const std::vector<double> progress = display.progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_TRUE(std::any_of(progress.begin(), progress.end(),
                            [&](double p) { return p > 0 && p < static_cast<double>(media); }))
        << "no progress while the media was read";
    EXPECT_NEAR(progress.back(), total, total * 1e-6);  // the passes' shares are floats
  }
}

// The evidence file's table of chunk offsets, read to find where the stored
// chunk of the JPEG lies: the first table section of the first segment.
std::pair<uint64_t, uint64_t> StoredChunk(const std::string& segment, uint64_t chunk) {
  const auto le = [&](uint64_t at, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(segment.at(at + i));
    return v;
  };
  constexpr uint64_t kSectionHeader = 76;
  for (uint64_t at = 13; at + kSectionHeader <= segment.size();) {
    const std::string type = segment.substr(at, 16).c_str();
    const uint64_t next = le(at + 16, 8);
    if (type == "table") {
      const uint64_t count = le(at + kSectionHeader, 4);
      const uint64_t base = le(at + kSectionHeader + 8, 8);
      const uint64_t entries = at + kSectionHeader + 24;
      EXPECT_LT(chunk + 1, count);
      const uint64_t start = base + (le(entries + 4 * chunk, 4) & 0x7FFFFFFF);
      const uint64_t end = base + (le(entries + 4 * (chunk + 1), 4) & 0x7FFFFFFF);
      EXPECT_TRUE(le(entries + 4 * chunk, 4) & 0x80000000) << "the chunk is not compressed";
      return {start, end};
    }
    if (next <= at) break;
    at = next;
  }
  ADD_FAILURE() << "no table section";
  return {0, 0};
}

TEST(Evidence, DamageIsLoggedWithItsPlaceAndTheRestComesOut) {
  const Images& images = Made();
  const std::vector<Item> whole = Items(ScanPaths({images.raw.string()}), 0);
  const auto below = [&](uint64_t end) {
    std::vector<Item> kept;
    for (const Item& item : whole)
      if (std::get<4>(item).empty() && std::get<1>(item) + std::get<2>(item) <= end)
        kept.push_back(item);
    return kept;
  };
  std::vector<Item> withoutJpeg;
  for (const Item& item : whole)
    if (std::get<0>(item) != "jpg") withoutJpeg.push_back(item);
  ASSERT_EQ(withoutJpeg.size() + 1, whole.size());

  const uint64_t jpegChunk = kJpegAt / kChunk;
  struct Case {
    const char* name;
    fs::path set;                                      // the folder of the set's segments
    std::function<void(const fs::path& copy)> damage;  // on a copy of that folder
    std::string logged;
    std::vector<Item> expected;
    bool exact;  // nothing else comes out
  };
  const Case cases[] = {
      {"a compressed chunk that fails its checksum", images.ewf.parent_path(),
       [&](const fs::path& folder) {
         std::string e01 = test::ReadFile(folder / "disk.E01");
         const auto [start, end] = StoredChunk(e01, jpegChunk);
         ASSERT_GT(end, start + 64);
         const uint64_t middle = start + (end - start) / 2;
         for (uint64_t i = middle; i < middle + 16; ++i) e01[i] = static_cast<char>(~e01[i]);
         test::WriteFile(folder / "disk.E01", e01);
       },
       fmt::format("corrupt or missing chunk at media offset {} ", jpegChunk * kChunk), withoutJpeg,
       true},
      {"an evidence segment missing", images.ewf.parent_path(),
       [](const fs::path& folder) { fs::remove(folder / "disk.E02"); },
       "a segment file is missing after", below(kJpegAt + kChunk), false},
      {"a split segment missing", images.split.parent_path(),
       [](const fs::path& folder) { fs::remove(folder / "disk.002"); }, "disk.002 is missing",
       below(uint64_t{2} << 20), false},
  };
  // The evidence lines of a log, in order of their text: readers of parts
  // report their part's damage each.
  const auto evidenceLines = [](const Scan& scan) {
    std::vector<std::string> lines;
    for (const std::string& line : scan.log)
      if (line.rfind("Evidence file", 0) == 0) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  for (const Case& c : cases) {
    TempDir copy;
    fs::copy(c.set, copy.path());
    c.damage(copy.path());
    const Scan alone = ScanPaths({copy.str()}, 1);
    for (const int jobs : {1, 3}) {
      SCOPED_TRACE(fmt::format("{}, {} workers", c.name, jobs));
      const Scan scan = jobs == 1 ? alone : ScanPaths({copy.str()}, jobs);
      ASSERT_EQ(scan.status, 0);
      EXPECT_TRUE(Logged(scan, c.logged)) << ::testing::PrintToString(scan.log);
      const std::vector<Item> got = Items(scan, 1);
      // Three readers give the media, and the damage, of one.
      EXPECT_EQ(got, Items(alone, 1));
      EXPECT_EQ(evidenceLines(scan), evidenceLines(alone));
      if (c.exact) {
        EXPECT_EQ(got, c.expected);
      }
      // Items wholly before the damage come out as from the raw image.
      ASSERT_GE(c.expected.size(), 2u);
      for (const Item& item : c.expected)
        EXPECT_NE(std::find(got.begin(), got.end(), item), got.end())
            << std::get<0>(item) << " at " << std::get<1>(item);
    }
  }
}

// Resident anonymous memory, in bytes.
uint64_t AnonymousResident() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("RssAnon:", 0) == 0) return std::stoull(line.substr(8)) * 1024;
  return 0;
}

// The media lies in a mapped temporary file, not in memory of our own: a
// 64 MiB image read whole and touched grows the heap by far less, and no
// file is left in the temporary folder. (Stored uncompressed, so that
// ewfacquire is quick; the round trip above decompresses.)
TEST(Evidence, MediaIsMappedNotHeldInMemory) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer keeps freed blocks (libewf's chunk buffers) in quarantine:
  // resident memory says nothing of ours there.
  GTEST_SKIP();
#endif
  TempDir dir;
  constexpr uint64_t kBig = uint64_t{64} << 20;
  constexpr uint64_t kAllowed = uint64_t{16} << 20;  // libewf's caches and our read block
  const fs::path raw = dir / "big.raw";
  Shell(
      fmt::format("head -c {} /dev/urandom > '{}' && ewfacquire -u -q -c none -t '{}' "
                  "'{}' >/dev/null",
                  kBig, raw.string(), (dir / "big").string(), raw.string()));
  const auto ours = [] {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(fs::temp_directory_path()))
      n += e.path().filename().string().rfind("strellbox-media-", 0) == 0;
    return n;
  };
  const size_t before = ours();
  malloc_trim(0);
  const uint64_t anonymous = AnonymousResident();
  const auto read = ReadSegmentMedia((dir / "big.E01").string(), [] { return false; });
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->media.size(), kBig);
  uint64_t sum = 0;
  for (uint64_t i = 0; i < kBig; i += 4096) sum += read->media.u8(i);  // every page in
  EXPECT_LT(AnonymousResident(), anonymous + kAllowed) << sum;
  EXPECT_EQ(ours(), before) << "the temporary file is still in its folder";
  std::ifstream in(raw, std::ios::binary);
  std::string block(1 << 20, '\0');
  for (uint64_t at = 0; at < kBig; at += block.size()) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    ASSERT_EQ(read->media.view(at, block.size()), block) << "media differs at " << at;
  }
}

}  // namespace
}  // namespace strellbox
