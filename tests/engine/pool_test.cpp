// Several scan workers: the lanes that keep their items in order, and whole
// jobs whose every written name, byte and notice equals one worker's.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <thread>

#include <fmt/format.h>

#include "engine/paths.h"
#include "engine/scan_pool.h"
#include "engine/strell_controller.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

using namespace std::chrono_literals;
using test::RecordingDisplay;
using test::TempDir;

FoundItem Item(const std::string& name, size_t size) {
  FoundItem item;
  item.name = name;
  item.data = Buffer::fromString(std::string(size, 'x'));
  return item;
}

// Records what reaches it, in order.
struct Names : ItemSink {
  std::vector<std::string> names;
  void takeFoundItem(FoundItem item) override { names.push_back(item.name); }
  void writeFoundFiles() override { names.push_back("|"); }
};

TEST(Pool, LanesHandItemsOnInProducerOrderWithinTheirBudget) {
  // Three producers at once, each far over a budget of 10 bytes: the first
  // goes through as it is taken, the others set their items aside for
  // their turn with no more than the budget held in memory.
  LaneBudget budget(10);
  Names sink;
  ItemLane lanes[3] = {ItemLane(budget, sink), ItemLane(budget, sink), ItemLane(budget, sink)};
  ScanPool pool(3);
  for (int p = 0; p < 3; ++p)
    pool.submit([&, p] {
      for (int i = 0; i < 20; ++i) {
        lanes[p].takeFoundItem(Item(fmt::format("{}.{}", p, i), 8));
        if (i == 9) lanes[p].writeFoundFiles();
      }
      lanes[p].finish();
    });
  for (auto& lane : lanes) lane.drainInto(sink, [] { return false; });
  pool.waitIdle();
  std::vector<std::string> expected;
  for (int p = 0; p < 3; ++p)
    for (int i = 0; i < 20; ++i) {
      expected.push_back(fmt::format("{}.{}", p, i));
      if (i == 9) expected.push_back("|");
    }
  EXPECT_EQ(sink.names, expected);

  // After a stop, what comes is dropped, and the producers still finish.
  ItemLane late(budget, sink);
  pool.submit([&] {
    for (int i = 0; i < 50; ++i) late.takeFoundItem(Item("late", 8));
    late.finish();
  });
  Names dropped;
  late.drainInto(dropped, [] { return true; });
  pool.waitIdle();
  EXPECT_TRUE(dropped.names.empty());
}

// A producer whose items overrun the budget while the consumer is busy
// elsewhere never waits for it: copies large and small, records of repeats
// and slices of a mapped file are staged on disk, and the consumer later
// gets every item, in order, with each of its fields and its own bytes.
TEST(Pool, ItemsOverTheBudgetWaitOnDiskAndComeBackWhole) {
  TempDir dir;
  std::string mappedBytes(1 << 20, '\0');
  for (size_t i = 0; i < mappedBytes.size(); ++i) mappedBytes[i] = static_cast<char>(i * 7 + i / 251);
  test::WriteFile(dir.path() / "mapped.bin", mappedBytes);
  const Buffer mapped = Buffer::readFile(dir.path() / "mapped.bin", 0);
  ASSERT_TRUE(mapped.isMapped());
  const Buffer decoded = Buffer::fromString("decoded child").decodedFrom(mapped, "zlib", 99, "m");

  std::vector<FoundItem> sent;
  for (int i = 0; i < 600; ++i) {
    FoundItem item;
    item.name = fmt::format("item {} with a name longer than a short string", i);
    item.type = i % 2 ? "png" : "";
    item.source = "the source";
    item.offset = 1000u + static_cast<uint64_t>(i);
    item.pass = i % 3 ? PassId::kPNG : PassId::kJPEG;
    item.end = i % 2 ? ItemEnd::kWalk : ItemEnd::kDecoded;
    item.digest[0] = static_cast<uint8_t>(i);
    switch (i % 4) {
      case 0:  // a large copy
        item.data = Buffer::fromString(std::string(100 << 10, static_cast<char>('a' + i % 26)));
        break;
      case 1:  // a small copy, decoded from the mapped file
        item.data = decoded.withBytesOf(Buffer::fromString(fmt::format("small {}", i)));
        item.md5 = Md5{static_cast<uint8_t>(i)};
        break;
      case 2:  // a repeat: its origin and no bytes
        item.data = decoded.withoutBytes();
        item.repeat = true;
        item.filtered = ItemFilter::kMinPixels;
        break;
      case 3:  // a slice of the mapped file
        item.data = mapped.slice(static_cast<uint64_t>(i) * 1000, 5000);
        break;
    }
    item.size = item.data.size();
    sent.push_back(item);
  }

  LaneBudget budget(64 << 10);
  struct Kept : ItemSink {
    std::vector<FoundItem> items;
    void takeFoundItem(FoundItem item) override { items.push_back(std::move(item)); }
    void writeFoundFiles() override {}
  } sink;
  ItemLane lane(budget, sink);
  std::promise<void> produced;
  std::thread producer([&] {
    for (const FoundItem& item : sent) lane.takeFoundItem(item);
    lane.finish();
    produced.set_value();
  });
  const bool finished =
      produced.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  lane.drainInto(sink, [] { return false; });  // also frees a producer that waits
  producer.join();
  EXPECT_TRUE(finished) << "the producer waited for the consumer";
  ASSERT_EQ(sink.items.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    const FoundItem &a = sent[i], &b = sink.items[i];
    SCOPED_TRACE(a.name);
    EXPECT_EQ(b.name, a.name);
    EXPECT_EQ(b.type, a.type);
    EXPECT_EQ(b.source, a.source);
    EXPECT_EQ(b.offset, a.offset);
    EXPECT_EQ(b.size, a.size);
    EXPECT_EQ(b.pass, a.pass);
    EXPECT_EQ(b.end, a.end);
    EXPECT_EQ(b.digest, a.digest);
    EXPECT_EQ(b.repeat, a.repeat);
    EXPECT_EQ(b.filtered, a.filtered);
    EXPECT_EQ(b.md5, a.md5);
    EXPECT_EQ(b.data.view(), a.data.view());
    EXPECT_EQ(b.data.isMapped(), a.data.isMapped());
    EXPECT_EQ(b.data.origin().chain, a.data.origin().chain);
    EXPECT_EQ(b.data.origin().container, a.data.origin().container);
  }
}

// A tree of many small files, copies among them (duplicate winners depend
// on the order), and one file large enough to have its passes run at once.
class Workers : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string sample =
        test::ReadFile(std::string(STRELLBOX_SOURCE_DIR) + "/samples/embedded-media.dat");
    std::mt19937 random(11);
    auto noise = [&](size_t n) {
      std::string s(n, '\0');
      for (char& ch : s) ch = static_cast<char>(random());
      return s;
    };
    for (const char* name : {"mail-with-attachment.mbox", "two-images.pdf", "two-zips.bin",
                             "zlib-png.bin", "compressed-movie.swf"})
      std::filesystem::copy_file(std::string(STRELLBOX_SOURCE_DIR) + "/samples/" + name,
                                 in.path() / name);
    for (int i = 0; i < 40; ++i) {
      std::filesystem::create_directories(in.path() / fmt::format("d{}", i % 7));
      // Every third file holds the demo container's items again.
      test::WriteFile(in.path() / fmt::format("d{}", i % 7) / fmt::format("f{}.bin", i),
                      noise(300 + i * 37) + (i % 3 == 0 ? sample : noise(500)) + noise(100));
    }
    // Over the length at which passes run concurrently, and at which the
    // signature sweep (32 MiB pieces) and the text filter (16 MiB pages)
    // share their work: the demo items, a zlib stream of them and a mail,
    // spread over random bytes and lines of text.
    auto prose = [&](size_t n) {
      std::string t;
      while (t.size() < n)
        t += fmt::format("line {} of the notes, kept as text\n", random() % 1000);
      return t;
    };
    std::string big = noise(1 << 20) + sample + noise(3 << 20) +
                      test::ReadFile(in.path() / "zlib-png.bin") + noise(1 << 20) +
                      test::ReadFile(in.path() / "mail-with-attachment.mbox") + noise(512 << 10) +
                      sample.substr(0, 3000);
    for (int k = 0; k < 6; ++k) big += prose(1 << 20) + noise(5 << 20) + sample;
    test::WriteFile(in.path() / "big.img", big);
  }

  struct Run {
    std::vector<RecordingDisplay::Written> written;
    std::vector<std::string> files;  // name and bytes of everything in the folder
    int32_t found = 0;
  };
  Run scan(int workers, bool flate) {
    RecordingDisplay display;
    StrellController c(&display);
    c.setScanWorkers(workers);
    c.setScanFor(PassId::kFlate, flate);
    c.setScanFor(PassId::kHTML, flate);
    c.setScanFor(PassId::kASCII, flate);
    c.setScanFor(PassId::kBase64, flate);
    c.setSaveRadioChosen(2);
    const TempDir out;
    c.setSaveFolder(out.str());
    c.threadStrell({in.str()});
    c.waitUntilIdle();
    c.shutdown();
    Run run;
    run.written = display.written();
    run.found = c.foundItems();
    for (const auto& e : std::filesystem::recursive_directory_iterator(out.path()))
      if (e.is_regular_file())
        run.files.push_back(e.path().lexically_relative(out.path()).string() + " " +
                            test::ReadFile(e.path()));
    std::sort(run.files.begin(), run.files.end());
    EXPECT_TRUE(display.errors().empty());
    return run;
  }

  TempDir in;
};

TEST_F(Workers, FourWorkersWriteExactlyWhatOneWrites) {
  for (bool flate : {false, true}) {
    SCOPED_TRACE(flate ? "every pass" : "default passes");
    const Run one = scan(1, flate), four = scan(4, flate);
    ASSERT_GT(one.written.size(), 10u);
    EXPECT_EQ(four.found, one.found);
    EXPECT_EQ(four.files, one.files);
    ASSERT_EQ(four.written.size(), one.written.size());
    for (size_t i = 0; i < one.written.size(); ++i) {
      const auto &a = one.written[i], &b = four.written[i];
      EXPECT_EQ(LastPathComponent(b.path), LastPathComponent(a.path)) << i;
      EXPECT_EQ(b.source, a.source) << i;
      EXPECT_EQ(b.origin.container, a.origin.container) << i;
      EXPECT_EQ(b.origin.chain, a.origin.chain) << i;
      EXPECT_EQ(b.offset, a.offset) << i;
      EXPECT_EQ(b.pass, a.pass) << i;
    }
  }
}

TEST_F(Workers, StopEndsEveryWorkerAndAWriteFailureIsReportedOnce) {
  // Stop as soon as the first item is written: the job ends at once.
  {
    RecordingDisplay display;
    StrellController c(&display);
    c.setScanWorkers(4);
    c.setSaveRadioChosen(2);
    const TempDir out;
    c.setSaveFolder(out.str());
    c.setPassForTesting("jpg", [&](ScanContext& context, const Buffer& data, const std::string&) {
      // A slow pass that polls the stop, as every pass does.
      for (int i = 0; i < 2000 && !context.stopStreller(); ++i) std::this_thread::sleep_for(1ms);
      (void)data;
      return 0;
    });
    const auto started = std::chrono::steady_clock::now();
    c.threadStrell({in.str()});
    std::this_thread::sleep_for(50ms);
    c.stopStrelling();
    c.waitUntilIdle();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_EQ(display.finishes(), 1);
    c.shutdown();
  }
  // An output folder that cannot be made: one message, the job stopped.
  RecordingDisplay display;
  StrellController c(&display);
  c.setScanWorkers(4);
  c.setSaveRadioChosen(2);
  const TempDir out;
  test::WriteFile(out.path() / "file", "not a folder");
  c.setSaveFolder((out.path() / "file").string());
  c.threadStrell({in.str()});
  c.waitUntilIdle();
  c.shutdown();
  EXPECT_EQ(display.errors(),
            std::vector<std::string>{
                "Could not make a new folder for the strelled files. Check the preferences"});
  EXPECT_TRUE(display.written().empty());
}

}  // namespace
}  // namespace strellbox
