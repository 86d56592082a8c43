// Whole jobs whose output folder fails under them: a file system that fills
// up, a parent that cannot be written. Both need a real mount, so they run
// only as root and are skipped otherwise.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "engine/strell_controller.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

using test::RecordingDisplay;
using test::TempDir;
using test::WriteFile;

// A tmpfs mounted over a fresh folder for the life of the object.
class TmpfsMount {
 public:
  TmpfsMount(const std::filesystem::path& at, const char* options) : at_(at) {
    mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, options) == 0;
  }
  ~TmpfsMount() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::filesystem::path at_;
  bool mounted_ = false;
};

// Every file found is written whole as a "bin" item, so the job writes
// exactly as much as it reads.
class WriteFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
    c.setAllScans(false);
    c.setDontSaveDuplicates(false);
    c.setSaveRadioChosen(2);
    c.setPassForTesting("silentflate",
                        [this](ScanContext& ctx, const Buffer& data, const std::string& from) {
                          scanned.push_back(std::filesystem::path(from).filename().string());
                          ctx.saveStrell(data, 0, data.size(), "bin", from, 0, ItemEnd::kLength);
                          return 1;
                        });
  }
  void TearDown() override { c.shutdown(); }

  std::vector<std::string> filesUnder(const std::filesystem::path& dir) {
    std::vector<std::string> all;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
      if (e.is_regular_file()) all.push_back(e.path().lexically_relative(dir).string());
    std::sort(all.begin(), all.end());
    return all;
  }

  TempDir in, mountPoint;
  RecordingDisplay display;
  StrellController c{&display};
  std::vector<std::string> scanned;
};

TEST_F(WriteFaults, AFullFileSystemStopsTheJobAndLeavesNoPartialFile) {
  TmpfsMount fs(mountPoint.path(), "size=256k");
  if (!fs.mounted()) GTEST_SKIP() << "tmpfs cannot be mounted here";
  // Nearly full: what is left cannot hold the second file.
  {
    std::ofstream filler(mountPoint.path() / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    for (int i = 0; i < 40; ++i) filler << block;
  }
  WriteFile(in.path() / "1-small.dat", std::string(1000, 's'));
  WriteFile(in.path() / "2-big.dat", std::string(200 * 1024, 'b'));
  WriteFile(in.path() / "3-later.dat", std::string(1000, 'l'));
  c.setSaveFolder(mountPoint.str());
  c.threadStrell({in.str()});
  c.waitUntilIdle();

  EXPECT_EQ(display.errors(),
            std::vector<std::string>{"Could not save a found file. Check for disk space, and "
                                     "where the file is set to be saved in the preferences"});
  // The job stops at the file whose item could not be saved; what was
  // found before it stays.
  ASSERT_FALSE(scanned.empty());
  EXPECT_EQ(scanned.back(), "2-big.dat");
  const std::string folder = std::filesystem::path(in.str()).filename().string() + " Strell";
  std::vector<std::string> expected{"filler"};
  for (size_t i = 0; i + 1 < scanned.size(); ++i)
    expected.push_back(folder + "/" + std::filesystem::path(scanned[i]).stem().string() + ".bin");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(filesUnder(mountPoint.path()), expected)
      << "nothing of the big item is left, under its name or a temporary one";
}

TEST_F(WriteFaults, AReadOnlyParentGivesTheFolderMessage) {
  TmpfsMount fs(mountPoint.path(), "ro,size=64k");
  if (!fs.mounted()) GTEST_SKIP() << "tmpfs cannot be mounted here";
  WriteFile(in.path() / "a.dat", std::string(100, 'a'));
  WriteFile(in.path() / "b.dat", std::string(100, 'b'));
  c.setSaveFolder(mountPoint.str());
  c.threadStrell({in.str()});
  c.waitUntilIdle();

  EXPECT_EQ(display.errors(),
            std::vector<std::string>{
                "Could not make a new folder for the strelled files. Check the preferences"});
  EXPECT_EQ(scanned.size(), 1u) << "the job stops after the first file's items";
  EXPECT_TRUE(filesUnder(mountPoint.path()).empty());
}

}  // namespace
}  // namespace strellbox
