#include <gtest/gtest.h>

#include <tuple>

#include "extractors/image_test_util.h"

namespace strellbox::test {
namespace {

// The demo sample, scanned the way a job scans a file: every one of the five
// items comes out whole, in the order of the passes.
TEST(ImageSamples, DemoContainerYieldsEachItemOnce) {
  const Buffer sample =
      Buffer::readFile(std::string(STRELLBOX_SOURCE_DIR) + "/samples/embedded-media.dat");
  ASSERT_EQ(sample.size(), 6900u);

  StrellController controller;
  controller.setAllScans(false);
  for (PassId id : {PassId::kJPEG, PassId::kGIF, PassId::kPNG, PassId::kBMP, PassId::kWAV})
    controller.setScanFor(id, true);
  // Only these passes: inflated IDAT data is another family's business.
  controller.setPassForTesting("silentflate",
                               [](ScanContext&, const Buffer&, const std::string&) { return 0; });
  ItemRecorder recorder(controller);

  EXPECT_EQ(controller.strellData(sample, "/x/embedded-media.dat"), 5);
  std::vector<std::tuple<std::string, uint64_t, uint64_t>> got;
  for (const auto& item : recorder.items()) {
    got.emplace_back(item.type, item.from, item.length);
    EXPECT_EQ(item.original, "/x/embedded-media.dat");
    EXPECT_EQ(item.foundNo, 0);
  }
  const std::vector<std::tuple<std::string, uint64_t, uint64_t>> expected = {
      {"png", 2866, 524},  {"gif", 2195, 451}, {"bmp", 3610, 1206},
      {"wav", 5036, 1644}, {"jpg", 329, 1646},
  };
  EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace strellbox::test
