#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>

#include <fmt/format.h>

#include "engine/strell_controller.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

using namespace std::chrono_literals;
using test::ListFiles;
using test::RecordingDisplay;
using test::TempDir;
using test::WriteFile;

// A job whose only pass is a fake that reports each file whole as a "bin"
// item, so every scanned file shows up as one written item.
class Job : public ::testing::Test {
 protected:
  void SetUp() override {
    c.setAllScans(false);
    c.setDontSaveDuplicates(false);
    c.setSaveRadioChosen(2);
    c.setSaveFolder(out.str());
    c.setPassForTesting("silentflate",
                        [this](ScanContext& ctx, const Buffer& data, const std::string& from) {
                          {
                            std::lock_guard<std::mutex> l(m);
                            scanned.push_back(from);
                            mapped.push_back(data.isMapped());
                          }
                          if (hook) hook(from);
                          ctx.saveStrell(data, 0, data.size(), "bin", from, 0, ItemEnd::kLength);
                          return 1;
                        });
  }
  void TearDown() override { c.shutdown(); }

  std::vector<std::string> scannedNames() {
    std::lock_guard<std::mutex> l(m);
    std::vector<std::string> names;
    for (const auto& s : scanned) names.push_back(std::filesystem::path(s).filename().string());
    return names;
  }
  std::string file(const std::string& name, size_t size = 64, char fill = 'a') {
    auto p = in / name;
    std::filesystem::create_directories(p.parent_path());
    WriteFile(p, std::string(size, fill));
    return p.string();
  }

  TempDir in, out;
  RecordingDisplay display;
  StrellController c{&display};
  std::mutex m;
  std::vector<std::string> scanned;
  std::vector<bool> mapped;
  std::function<void(const std::string&)> hook;
};

TEST_F(Job, AFolderIsScannedWholeHiddenFilesIncluded) {
  file("a.txt");
  file(".hidden");
  file("sub/deeper/c.txt");
  std::filesystem::create_directories(in / "empty");
  c.threadStrell({in.str()});
  c.waitUntilIdle();
  auto names = scannedNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "a.txt", "c.txt"}));
  EXPECT_EQ(c.itemsToStrell(), 0);
  // Entries counted include the three subfolders.
  EXPECT_EQ(c.directoryExpand({in.str()}).size(), 6u);
  EXPECT_EQ(c.itemsToStrell(), 6);
  const auto folder = out.path() / (in.path().filename().string() + " Strell");
  EXPECT_EQ(ListFiles(folder), (std::vector<std::string>{".hidden.bin", "a.bin", "c.bin"}));
  EXPECT_EQ(display.openedFolders(), std::vector<std::string>{folder.string()});
  EXPECT_EQ(c.recentItems(), std::vector<std::string>{in.str()});
}

TEST_F(Job, ARequestDuringAJobIsScannedAfterItOnTheSameWorker) {
  const std::string first = file("first.dat"), second = file("second.dat");
  std::promise<void> entered, release;
  auto releaseFuture = release.get_future().share();
  std::atomic<bool> once{false};
  hook = [&](const std::string&) {
    if (!once.exchange(true)) {
      entered.set_value();
      releaseFuture.wait();
    }
  };
  c.threadStrell({first});
  entered.get_future().wait();
  c.threadStrell({second});  // arrives while the first job runs
  EXPECT_TRUE(c.strelling());
  release.set_value();
  c.waitUntilIdle();
  EXPECT_EQ(scannedNames(), (std::vector<std::string>{"first.dat", "second.dat"}));
  EXPECT_TRUE(std::filesystem::exists(out.path() / "first Strell" / "first.bin"));
  EXPECT_TRUE(std::filesystem::exists(out.path() / "second Strell" / "second.bin"));
  EXPECT_EQ(c.recentItems(), (std::vector<std::string>{second, first}));
}

TEST_F(Job, UnnamedItemsAreNumberedByTheirOwnJobFromZero) {
  // Whatever ran before, in this controller or in another one.
  const auto unnamed = [](ScanContext& ctx, const Buffer& data, const std::string&) {
    ctx.saveStrell(data, 0, 1, "bin", "", 0, ItemEnd::kLength);
    ctx.saveStrell(data, 1, 1, "bin", "", 0, ItemEnd::kLength);
    return 2;
  };
  c.setPassForTesting("silentflate", unnamed);
  StrellController other;
  other.setAllScans(false);
  other.setDontSaveDuplicates(false);
  other.setSaveRadioChosen(2);
  other.setSaveFolder(out.str());
  other.setPassForTesting("silentflate", unnamed);
  const std::string a = file("a.dat");
  for (StrellController* job : {&c, &other, &c}) {
    job->threadStrell({a});
    job->waitUntilIdle();
  }
  for (const char* folder : {"a Strell", "a Strell-1", "a Strell-2"})
    EXPECT_EQ(ListFiles(out.path() / folder),
              (std::vector<std::string>{"Strell-0.bin", "Strell-1.bin"}))
        << folder;
}

TEST_F(Job, NoRequestIsLostWhileJobsComeAndGo) {
  std::vector<std::string> files;
  for (int i = 0; i < 40; ++i) files.push_back(file(fmt::format("f{}.dat", i)));
  for (size_t i = 0; i < files.size(); ++i) {
    c.threadStrell({files[i]});
    if (i % 3 == 0) std::this_thread::sleep_for(100us);
  }
  c.waitUntilIdle();
  auto names = scannedNames();
  std::sort(names.begin(), names.end());
  std::set<std::string> unique(names.begin(), names.end());
  EXPECT_EQ(names.size(), 40u);
  EXPECT_EQ(unique.size(), 40u);
  EXPECT_EQ(c.recentItems().size(), 7u) << "the recent list keeps the newest seven";
}

TEST_F(Job, StopEndsTheJobAfterTheCurrentEntryAndDropsUnwrittenItems) {
  file("1.dat");
  file("2.dat");
  file("3.dat");
  hook = [&](const std::string&) { c.stopStrelling(); };
  c.threadStrell({in.str()});
  c.waitUntilIdle();
  EXPECT_EQ(scannedNames().size(), 1u);
  EXPECT_EQ(display.finishes(), 1);
  EXPECT_TRUE(c.images().empty());
  EXPECT_FALSE(c.strelling());
  EXPECT_FALSE(c.updateCounters());
}

TEST_F(Job, AJobWithoutAListEndsAtOnce) {
  c.threadStrell({});
  c.waitUntilIdle();
  EXPECT_TRUE(scannedNames().empty());
  EXPECT_EQ(display.finishes(), 1);
  EXPECT_TRUE(c.recentItems().empty());
}

TEST_F(Job, BadEntriesAreSkippedAndTheJobGoesOn) {
  file("good.dat");
  WriteFile(in / "empty.dat", "");
  std::filesystem::create_directory_symlink(in.path(), in / "loop");
  std::filesystem::create_symlink(in / "nowhere", in / "dangling");
  c.threadStrell({(in / "missing").string(), in.str()});
  c.waitUntilIdle();
  EXPECT_EQ(scannedNames(), std::vector<std::string>{"good.dat"});
  EXPECT_TRUE(display.errors().empty());
}

TEST_F(Job, FoldersAreListedInByteOrderDepthFirstAndEntriesPassedOverAreCounted) {
  // Created out of order, with names whose byte order differs from a
  // locale's: the walk must not depend on the file system's order.
  for (const char* name : {"b.dat", "\xC3\xA9.dat", "a/z.dat", "a.dat", "B.dat", "a/b/c.dat"})
    file(name);
  ASSERT_EQ(::mkfifo((in / "pipe").c_str(), 0600), 0);
  std::filesystem::create_symlink(in / "nowhere", in / "zz-gone");
  const std::vector<std::string> expected = {"B.dat", "a",     "b",    "c.dat",   "z.dat",
                                             "a.dat", "b.dat", "pipe", "zz-gone", "\xC3\xA9.dat"};
  std::vector<std::string> listed;
  for (const std::string& path : c.directoryExpand({in.str()}))
    listed.push_back(std::filesystem::path(path).filename().string());
  EXPECT_EQ(listed, expected);

  // The FIFO is never opened (that would wait for a writer); it and the
  // dangling link are counted and named.
  c.threadStrell({in.str()});
  c.waitUntilIdle();
  EXPECT_EQ(scannedNames(), (std::vector<std::string>{"B.dat", "c.dat", "z.dat", "a.dat", "b.dat",
                                                      "\xC3\xA9.dat"}));
  EXPECT_EQ(c.filesScanned(), 6);
  EXPECT_EQ(c.filesSkipped(), 2);
  const auto skipped = display.skipped();
  ASSERT_EQ(skipped.size(), 2u);
  EXPECT_EQ(skipped[0].path, (in / "pipe").string());
  EXPECT_TRUE(skipped[0].special);
  EXPECT_EQ(skipped[1].path, (in / "zz-gone").string());
  EXPECT_FALSE(skipped[1].special);
}

TEST_F(Job, EntriesAreLabelledBySizeAndLargeOnesMapped) {
  struct Case {
    size_t size;
    const char* label;
    bool mapped;
  } cases[] = {{1000, "x.dat (0 kB)", false},
               {1500000, "x.dat (1 MB)", false},
               {3000000, "x.dat (2 MB)", true}};
  for (const Case& k : cases) {
    const std::string path = file("x.dat", k.size);
    c.strellOne(path);
    EXPECT_EQ(c.currentlyStrelling(), k.label);
    EXPECT_EQ(mapped.back(), k.mapped) << k.size;
  }
}

TEST_F(Job, BrowserCacheFilesAreNamedAfterTheirUrl) {
  auto cache = [&](const std::string& lengthBytes, const std::string& url, size_t pad = 100) {
    std::string data = "xx" + lengthBytes + url + std::string(pad, '.');
    WriteFile(in / "entry.cache", data);
    c.strellOne((in / "entry.cache").string());
    return std::filesystem::path(scanned.back()).filename().string();
  };
  const std::string url = "http://h.example/b.jpg";  // 22 bytes
  EXPECT_EQ(cache(std::string("\x00\x16", 2), url), "b.jpg");
  EXPECT_EQ(cache(std::string("\x2B\x16", 2), url), "b.jpg") << "0x2B: a one-byte length";
  EXPECT_EQ(cache(std::string("\x00\x16", 2), "http://h.example/b.exe"), "entry.cache");
  EXPECT_EQ(cache(std::string("\x00\x30", 2), "http://h.example/" + std::string(28, 'n') + ".jpg"),
            "entry.cache")
      << "a name over 31 characters";
  EXPECT_EQ(cache(std::string("\x00\x16", 2), url, 0), "entry.cache")
      << "the length runs to the end of the data";
}

TEST_F(Job, ShutdownDuringAJobStopsAndJoinsTheWorker) {
  file("slow.dat");
  std::promise<void> entered;
  hook = [&](const std::string&) {
    entered.set_value();
    while (!c.stopStreller()) std::this_thread::sleep_for(1ms);
  };
  c.threadStrell({in.str()});
  entered.get_future().wait();
  c.shutdown();
  EXPECT_FALSE(c.jobActive());
  c.threadStrell({in.str()});  // ignored after shutdown
  EXPECT_FALSE(c.jobActive());
}

TEST_F(Job, ItemsBeyondFourGibibytesAreFoundAndWritten) {
  const auto path = in / "big.img";
  const uint64_t at = (uint64_t{4} << 30) + 12345;
  {
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "STRELLMARK", 10, static_cast<off_t>(at)), 10);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(at + 1000)), 0);
    ::close(fd);
  }
  uint64_t foundAt = 0;
  c.setPassForTesting("silentflate",
                      [&](ScanContext& ctx, const Buffer& data, const std::string& from) {
                        foundAt = data.find(std::string_view("STRELLMARK"), 0);
                        if (foundAt != Buffer::npos)
                          ctx.saveStrell(data, foundAt, 10, "mark", from, 0, ItemEnd::kLength);
                        return 1;
                      });
  c.threadStrell({path.string()});
  c.waitUntilIdle();
  EXPECT_EQ(foundAt, at);
  EXPECT_EQ(test::ReadFile(out.path() / "big Strell" / "big.mark"), "STRELLMARK");
}

}  // namespace
}  // namespace strellbox
