// The noise filters: the size a picture's header gives, each bound at its
// edges, and what a job does with the items left out and with repeats.
#include <gtest/gtest.h>

#include "engine/picture_size.h"
#include "engine/strell_controller.h"
#include "extractors/image_test_util.h"
#include "support/test_support.h"

namespace strellbox::test {
namespace {

TEST(PictureSize, EachFormatsHeaderGivesTheSize) {
  TempDir dir;
  const std::string gradient = "-size 37x23 gradient:red-blue";
  const std::string spot = "-size 37x23 xc:none -fill red -draw 'circle 10,10 5,5'";
  struct Row {
    const char* name;
    std::string bytes;
  };
  const std::vector<Row> rows = {
      {"PNG", Convert(dir, gradient, "p.png")},
      {"GIF", Convert(dir, gradient, "g.gif")},
      {"JPEG", Convert(dir, gradient, "j.jpg")},
      {"BMP v5", Convert(dir, gradient, "b.bmp")},
      {"BMP of OS/2", Convert(dir, gradient, "b2.bmp", "BMP2")},
      {"WebP, lossy", Convert(dir, gradient, "w.webp")},
      {"WebP, lossless", Convert(dir, gradient + " -define webp:lossless=true", "l.webp")},
      {"WebP, extended", Convert(dir, spot, "x.webp")},
      {"TIFF", Convert(dir, gradient, "t.tiff")},
      {"TIFF, big-endian", Convert(dir, gradient + " -endian MSB", "m.tiff")},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(PictureSizeOf(Bytes(r.bytes)), (PictureSize{37, 23}));
  }
  // A TIFF whose first directory leads to others (a camera's raw file) and
  // one whose first directory is a reduced picture give no size: that
  // directory is a preview.
  const std::string header = "II*" + Fill(1) + LE32(8);
  auto entry = [](uint16_t tag, uint32_t value) {
    return LE16(tag) + LE16(4) + LE32(1) + LE32(value);
  };
  const std::string withSubDirectories =
      header + LE16(3) + entry(256, 160) + entry(257, 120) + entry(330, 100) + Fill(4);
  const std::string reduced =
      header + LE16(3) + entry(254, 1) + entry(256, 160) + entry(257, 120) + Fill(4);
  const std::string plain = header + LE16(2) + entry(256, 160) + entry(257, 120) + Fill(4);
  EXPECT_EQ(PictureSizeOf(Bytes(withSubDirectories)), std::nullopt);
  EXPECT_EQ(PictureSizeOf(Bytes(reduced)), std::nullopt);
  EXPECT_EQ(PictureSizeOf(Bytes(plain)), (PictureSize{160, 120}));
  // Cut short, or no picture at all.
  EXPECT_EQ(PictureSizeOf(Bytes(rows[0].bytes.substr(0, 20))), std::nullopt);
  EXPECT_EQ(PictureSizeOf(Bytes(rows[2].bytes.substr(0, 30))), std::nullopt);
  EXPECT_EQ(PictureSizeOf(Bytes("RIFF....WAVEfmt ")), std::nullopt);
}

// A controller writing into a fresh folder, with one pass that reports the
// buffers it is given whole.
struct Filtered {
  RecordingDisplay display;
  StrellController c{&display};
  TempDir dir;
  Filtered() { c.setStrellOutputDirectory((dir / "out").string()); }
  // The names written for these items, reported in this order.
  std::vector<std::string> written(const std::vector<std::string>& items) {
    for (size_t i = 0; i < items.size(); ++i)
      c.saveStrell(Bytes(items[i]), 0, items[i].size(), "bin", "item", static_cast<int32_t>(i));
    c.writeFoundFiles();
    std::vector<std::string> names;
    for (const auto& w : display.written()) names.push_back(w.name);
    return names;
  }
};

TEST(Filters, EachBoundLeavesOutWhatIsBeyondItAndKeepsItsEdge) {
  TempDir pictures;
  const std::string wide = Convert(pictures, "-size 16x15 xc:red", "w.png");
  const std::string square = Convert(pictures, "-size 16x16 xc:red", "s.png");
  const std::string tall = Convert(pictures, "-size 15x16 xc:red", "t.gif");
  const std::string unreadable = "\x89PNG\r\n\x1a\n" + Fill(40, 'x');
  struct Row {
    const char* name;
    uint64_t least, most;
    uint32_t width, height;
    std::vector<std::string> items;
    std::vector<std::string> kept;
    ItemFilter why;
  };
  const std::vector<Row> rows = {
      {"least size",
       10,
       0,
       0,
       0,
       {Fill(9, 'a'), Fill(10, 'b')},
       {"item-1.bin"},
       ItemFilter::kMinSize},
      {"greatest size",
       0,
       10,
       0,
       0,
       {Fill(11, 'a'), Fill(10, 'b')},
       {"item-1.bin"},
       ItemFilter::kMaxSize},
      {"least width and height",
       0,
       0,
       16,
       16,
       {wide, square, tall, unreadable, Fill(200, 'z')},
       {"item-1.bin", "item-3.bin", "item-4.bin"},
       ItemFilter::kMinPixels},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Filtered f;
    f.c.setMinItemSize(r.least);
    f.c.setMaxItemSize(r.most);
    f.c.setMinPictureSize(r.width, r.height);
    EXPECT_EQ(f.written(r.items), r.kept);
    EXPECT_EQ(f.c.itemsFiltered(), static_cast<int32_t>(r.items.size() - r.kept.size()));
    EXPECT_EQ(f.c.foundItems(), static_cast<int32_t>(r.kept.size()));
    EXPECT_EQ(ListFiles(f.dir / "out"), r.kept);

    // A listing job lists what it leaves out too, saying why, and gives it
    // no name that a kept item would have had.
    Filtered listed;
    listed.c.setListOnly(true);
    listed.c.setMinItemSize(r.least);
    listed.c.setMaxItemSize(r.most);
    listed.c.setMinPictureSize(r.width, r.height);
    EXPECT_EQ(listed.written(r.items), r.kept);
    const auto left = listed.display.filtered();
    ASSERT_EQ(left.size(), r.items.size() - r.kept.size());
    for (const auto& [name, why] : left) EXPECT_EQ(why, r.why) << name;
  }
}

TEST(Filters, ARepeatIsReportedWithWhereItsFirstCopyWent) {
  Filtered f;
  f.c.setReportMd5(true);
  EXPECT_EQ(f.written({"first item", "other item", "first item"}),
            (std::vector<std::string>{"item.bin", "item-1.bin"}));
  const auto repeats = f.display.repeats();
  ASSERT_EQ(repeats.size(), 1u);
  EXPECT_EQ(repeats[0].copy, (f.dir / "out" / "item.bin").string());
  EXPECT_EQ(repeats[0].size, 10u);
  EXPECT_TRUE(repeats[0].md5);
  EXPECT_EQ(f.c.duplicatesDropped(), 1);
  EXPECT_EQ(f.c.foundItems(), 2);
}

}  // namespace
}  // namespace strellbox::test
