#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <random>
#include <unordered_map>

#include <fmt/format.h>

#include "engine/digest.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/platform.h"
#include "engine/strell_controller.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

using test::ListFiles;
using test::ReadFile;
using test::RecordingDisplay;
using test::TempDir;

// A controller whose output folder is a fresh folder inside `dir`.
struct Store {
  RecordingDisplay display;
  StrellController c{&display};
  explicit Store(const TempDir& dir, const std::string& folder = "out") {
    c.setStrellOutputDirectory((dir.path() / folder).string());
  }
};

Buffer Item(const std::string& s) { return Buffer::fromString(s); }

TEST(Store, ItemsAreNamedAfterTheSourceAndNeverOverwrite) {
  TempDir dir;
  Store s(dir);
  s.c.setDontSaveDuplicates(false);
  // An earlier item already took page.png in this folder.
  s.c.saveStrell(Item("earlier"), 0, 7, "png", "/y/page.htm", 0);
  s.c.saveStrell(Item("zero"), 0, 4, "png", "/x/page.html", 0);
  s.c.saveStrell(Item("one"), 0, 3, "png", "/x/page.html", 1);
  s.c.saveStrell(Item("two"), 0, 3, "png", "/x/page.html", 2);
  EXPECT_EQ(ListFiles(dir / "out"),
            (std::vector<std::string>{"page-1-1.png", "page-1.png", "page-2.png", "page.png"}));
  EXPECT_EQ(ReadFile(dir / "out" / "page.png"), "earlier");
  EXPECT_EQ(ReadFile(dir / "out" / "page-1.png"), "zero");
  EXPECT_EQ(ReadFile(dir / "out" / "page-1-1.png"), "one");
  EXPECT_EQ(ReadFile(dir / "out" / "page-2.png"), "two");
  EXPECT_EQ(s.display.written().size(), 4u);
}

TEST(Store, UniqueNamesFollowTheNumberingRule) {
  TempDir dir;
  EXPECT_EQ(UniquePathName((dir / "page.png").string()), (dir / "page.png").string());
  test::WriteFile(dir / "page.png", "x");
  EXPECT_EQ(UniquePathName((dir / "page.png").string()), (dir / "page-1.png").string());
  test::WriteFile(dir / "page-1.png", "x");
  EXPECT_EQ(UniquePathName((dir / "page-1.png").string()), (dir / "page-1-1.png").string());
  test::WriteFile(dir / "noext", "x");
  EXPECT_EQ(UniquePathName((dir / "noext").string()), (dir / "noext-1").string());
}

TEST(Store, ImagesAreWrittenAtOnceOthersWaitForTheNextWrite) {
  TempDir dir;
  Store s(dir);
  s.c.saveStrell(Item("wave data"), 0, 9, "wav", "/x/song.mp3", 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));
  EXPECT_EQ(s.c.foundItems(), 1);
  s.c.saveStrell(Item("a gif"), 0, 5, "gif", "/x/song.mp3", 1);
  EXPECT_EQ(s.display.blinks(), 1);
  EXPECT_EQ(ListFiles(dir / "out"), (std::vector<std::string>{"song-1.gif", "song.wav"}));
  EXPECT_TRUE(s.c.images().empty());
}

TEST(Store, PdfItemsArePreviewed) {
  TempDir dir;
  Store s(dir);
  s.c.saveStrell(Item("%PDF-1.3"), 0, 8, "pdf", "a", 0);
  EXPECT_EQ(s.display.blinks(), 1);
}

TEST(Store, UnusableNamesBecomeNumberedAndStayInsideTheFolder) {
  TempDir dir;
  Store s(dir);
  s.c.setDontSaveDuplicates(false);
  for (const char* name : {"", "..", "."}) s.c.saveStrell(Item("x"), 0, 1, "bin", name, 0);
  s.c.saveStrell(Item("y"), 0, 1, "txt", "/a/../../evil", 0);
  s.c.saveStrell(Item("z"), 0, 1, "txt", std::string("bad\x01name\n", 9), 0);
  s.c.writeFoundFiles();
  const auto files = ListFiles(dir / "out");
  EXPECT_EQ(files, (std::vector<std::string>{"Strell-0.bin", "Strell-1.bin", "Strell-2.bin",
                                             "bad_name_.txt", "evil.txt"}));
  EXPECT_EQ(ListFiles(dir.path()), std::vector<std::string>{});
}

TEST(Store, LongNamesAreCutToFitTheFileSystem) {
  TempDir dir;
  Store s(dir);
  s.c.saveStrell(Item("x"), 0, 1, "inflated", std::string(300, 'n') + "-inflated[12]", 0);
  s.c.writeFoundFiles();
  ASSERT_EQ(ListFiles(dir / "out").size(), 1u);
  EXPECT_FALSE(s.c.strellerError());
}

TEST(Store, DuplicatesAreDroppedByTheirWholeDigest) {
  // Find two different items whose folded 32-bit keys collide.
  std::unordered_map<int32_t, std::string> seen;
  std::string a, b;
  for (uint32_t i = 0;; ++i) {
    std::string s = fmt::format("item {}", i);
    int32_t key = md5DigestFrom(Item(s), 0, s.size());
    auto [it, fresh] = seen.emplace(key, s);
    if (!fresh) {
      a = it->second;
      b = s;
      break;
    }
  }
  TempDir dir;
  Store s(dir);
  s.c.saveStrell(Item(a), 0, a.size(), "bin", "src", 0);
  s.c.saveStrell(Item(b), 0, b.size(), "bin", "src", 1);
  s.c.saveStrell(Item("xx" + a), 2, a.size(), "bin", "src", 2);  // same bytes as a
  // Two published 128-byte blocks with one MD5: crafted input can make
  // different items share any MD5, so both must still be written.
  const std::string c = test::Hex(
      "d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f89"
      "55ad340609f4b30283e488832571415a085125e8f7cdc99fd91dbdf280373c5b"
      "d8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d248cda0"
      "e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70");
  const std::string d = test::Hex(
      "d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f89"
      "55ad340609f4b30283e4888325f1415a085125e8f7cdc99fd91dbd7280373c5b"
      "d8823e3156348f5bae6dacd436c919c6dd53e23487da03fd02396306d248cda0"
      "e99f33420f577ee8ce54b67080280d1ec69821bcb6a8839396f965ab6ff72a70");
  ASSERT_EQ(md5Full(Item(c), 0, c.size()), md5Full(Item(d), 0, d.size()));
  s.c.saveStrell(Item(c), 0, c.size(), "bin", "src", 3);
  s.c.saveStrell(Item(d), 0, d.size(), "bin", "src", 4);
  s.c.writeFoundFiles();
  EXPECT_EQ(ListFiles(dir / "out"),
            (std::vector<std::string>{"src-1.bin", "src-3.bin", "src-4.bin", "src.bin"}));
  EXPECT_EQ(s.c.foundItems(), 4);
}

TEST(Store, ARangePastTheEndIsCut) {
  TempDir dir;
  Store s(dir);
  std::vector<std::string> log;
  auto old = SetLogSink([&](std::string_view l) { log.emplace_back(l); });
  s.c.saveStrell(Item("abcdef"), 4, 100, "bin", "src", 0);
  SetLogSink(old);
  s.c.writeFoundFiles();
  EXPECT_EQ(ReadFile(dir / "out" / "src.bin"), "ef");
  EXPECT_EQ(log, std::vector<std::string>{"Check request too long"});
}

TEST(Store, ItemsOfAMappedFileShareItsPagesAndOthersAreCopied) {
  TempDir dir;
  Store s(dir);
  s.c.setDontSaveDuplicates(false);
  test::WriteFile(dir / "in.bin", std::string(5000, 'a') + "ITEM" + std::string(5000, 'b'));
  const Buffer owned = Item("0123456789abcdef");
  const uint8_t* mappedAt = nullptr;
  {
    const Buffer mapped = Buffer::readFile(dir / "in.bin", 1000);
    ASSERT_TRUE(mapped.isMapped());
    mappedAt = mapped.data() + 4998;
    s.c.saveStrell(mapped, 4998, 8, "bin", "m", 0);
  }  // the scanned buffer is gone before the item is written
  s.c.saveStrell(owned, 4, 6, "bin", "o", 0);
  ASSERT_EQ(s.c.images().size(), 2u);
  // A big file's items would otherwise all be held in anonymous memory.
  EXPECT_TRUE(s.c.images()[0].data.isMapped());
  EXPECT_EQ(s.c.images()[0].data.data(), mappedAt);
  // A buffer of the scan may be reused or freed before the items are written.
  EXPECT_NE(s.c.images()[1].data.data(), owned.data() + 4);
  s.c.writeFoundFiles();
  EXPECT_EQ(ReadFile(dir / "out" / "m.bin"), "aaITEMbb");
  EXPECT_EQ(ReadFile(dir / "out" / "o.bin"), "456789");
}

TEST(Store, AFolderThatCannotBeMadeStopsTheJob) {
  TempDir dir;
  Store s(dir, "missing/out");
  s.c.saveStrell(Item("x"), 0, 1, "wav", "src", 0);
  s.c.writeFoundFiles();
  EXPECT_EQ(s.c.strellerError(),
            "Could not make a new folder for the strelled files. Check the preferences");
  EXPECT_TRUE(s.c.stopStreller());
  EXPECT_TRUE(s.c.images().empty());
}

// Makes writes beyond `bytes` fail (EFBIG) for the life of the object.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit old_{};
  sighandler_t oldHandler_;
};

TEST(Store, AFileThatCannotBeWrittenStopsTheJobAndLeavesNothingBehind) {
  TempDir dir;
  Store s(dir);
  s.c.saveStrell(Item("small"), 0, 5, "wav", "src", 0);
  s.c.saveStrell(Item(std::string(64 * 1024, 'x')), 0, 64 * 1024, "wav", "big", 0);
  s.c.saveStrell(Item("after"), 0, 5, "wav", "later", 0);
  {
    FileSizeLimit limit(4096);
    s.c.writeFoundFiles();
  }
  EXPECT_EQ(s.c.strellerError(),
            "Could not save a found file. Check for disk space, and where the file is set to be "
            "saved in the preferences");
  EXPECT_TRUE(s.c.stopStreller());
  // The small file went in; the big one left no trace, not even a temporary.
  std::vector<std::string> all;
  for (const auto& e : std::filesystem::directory_iterator(dir / "out"))
    all.push_back(e.path().filename().string());
  EXPECT_EQ(all, std::vector<std::string>{"src.wav"});
}

class OutputFolder : public ::testing::Test {
 protected:
  test::ScopedHome home;
  StrellController c;
  std::string at(int tag, std::vector<std::string> paths, std::string folder = "~/Found") {
    c.setSaveRadioChosen(tag);
    c.setSaveFolder(folder);
    c.calculateStrellOutputFolder(paths);
    return c.strellOutputDirectory();
  }
  std::string h(const std::string& rest) { return (home.path() / rest).string(); }
};

TEST_F(OutputFolder, ChosenByTheSaveLocation) {
  EXPECT_EQ(at(0, {"/a/b/photos.zip"}), h("Desktop/photos Strell"));
  EXPECT_EQ(at(0, {"/a", "/b"}), h("Desktop/Strell"));
  EXPECT_EQ(at(7, {"/a/b/photos.zip"}), h("Desktop/photos Strell"));
  EXPECT_EQ(at(1, {"/a/b/data.tar.gz"}), "/a/b/data Strell");
  EXPECT_EQ(at(1, {"/x/y", "/a/b/data.tar.gz"}), "/a/b/data Strell");
  EXPECT_EQ(at(2, {"/a/b/photos.zip"}), h("Found/photos Strell"));
  EXPECT_EQ(at(2, {"/a", "/b"}), h("Found/Strell"));
}

TEST_F(OutputFolder, TheDesktopIsTheUserDirsDesktopAndIsMadeWhenMissing) {
  TempDir elsewhere;
  const std::string absolute = (elsewhere.path() / "Arbeitsfläche").string();
  struct Case {
    const char* name;
    std::string userDirs;  // "" for no file
    std::string desktop;
  } cases[] = {
      {"no user-dirs file", "", h("Desktop")},
      {"below HOME",
       "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n",
       h("Schreibtisch")},
      {"absolute", "# comment\n  XDG_DESKTOP_DIR=\"" + absolute + "\"\n", absolute},
      {"relative paths are not allowed", "XDG_DESKTOP_DIR=\"Desk\"\n", h("Desktop")},
  };
  std::filesystem::remove(home.path() / "Desktop");
  std::filesystem::create_directories(home.path() / ".config");
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::filesystem::remove(home.path() / ".config" / "user-dirs.dirs");
    if (!k.userDirs.empty())
      test::WriteFile(home.path() / ".config" / "user-dirs.dirs", k.userDirs);
    EXPECT_EQ(DesktopFolder(), k.desktop);
    EXPECT_EQ(at(0, {"/a/b/photos.zip"}), k.desktop + "/photos Strell");
    // A first scan on a machine without the folder makes it.
    c.setDontSaveDuplicates(false);
    c.saveStrell(Buffer::fromString("GIF89a data"), 0, 11, "gif", "/a/b/photos.zip", 0);
    c.writeFoundFiles();
    EXPECT_TRUE(c.strellOutputDirectoryCreated());
    EXPECT_TRUE(std::filesystem::exists(k.desktop + "/photos Strell/photos.gif"));
    std::filesystem::remove_all(k.desktop);
  }
}

TEST_F(OutputFolder, AFolderTakenMeanwhileGivesWayAndLongNamesStillFit) {
  TempDir out;
  c.setDontSaveDuplicates(false);
  // Another run took the name between the choice and the first write.
  EXPECT_EQ(at(2, {"/a/photos.zip"}, out.str()), out.str() + "/photos Strell");
  std::filesystem::create_directory(out.path() / "photos Strell");
  c.saveStrell(Buffer::fromString("GIF89a data"), 0, 11, "gif", "/a/photos.zip", 0);
  c.writeFoundFiles();
  EXPECT_EQ(c.strellOutputDirectory(), out.str() + "/photos Strell-1");
  EXPECT_TRUE(std::filesystem::exists(out.path() / "photos Strell-1" / "photos.gif"));

  // A source name near the file system's limit on a name still gets a folder.
  const std::string longName = std::string(150, 'n') + "\xC3\xA9" + std::string(98, 'm') + ".bin";
  at(2, {"/a/" + longName}, out.str());
  c.saveStrell(Buffer::fromString("GIF89a data"), 0, 11, "gif", "/a/" + longName, 0);
  c.writeFoundFiles();
  EXPECT_TRUE(c.strellOutputDirectoryCreated()) << c.strellOutputDirectory();
  EXPECT_FALSE(c.strellerError());
  EXPECT_LE(LastPathComponent(c.strellOutputDirectory()).size(), 255u);
}

TEST_F(OutputFolder, AnExistingFolderIsNeverReused) {
  std::filesystem::create_directory(home.path() / "Desktop" / "photos Strell");
  EXPECT_EQ(at(0, {"/a/b/photos.zip"}), h("Desktop/photos Strell-1"));
  std::filesystem::create_directory(home.path() / "Desktop" / "photos Strell-1");
  EXPECT_EQ(at(0, {"/a/b/photos.zip"}), h("Desktop/photos Strell-2"));
}

}  // namespace
}  // namespace strellbox
