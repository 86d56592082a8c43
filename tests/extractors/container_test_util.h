// Shared by the tests of the containers of extended detection (archives,
// compound files, RTF): the flate row run with the PNG and JPEG passes, and
// the check that the pictures put in come out whole and nothing damaged.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extractors/image_test_util.h"

namespace strellbox::test {

// Everything reported from the bytes, flate saving on or off.
inline std::vector<Reported> ScanContainer(const std::string& bytes, bool saving) {
  StrellController c;
  c.setAllScans(false);
  c.setScanFor(PassId::kPNG, true);
  c.setScanFor(PassId::kJPEG, true);
  c.setScanFor(PassId::kFlate, saving);
  c.setExtendedDetection(true);
  ItemRecorder rec(c);
  c.strellData(Bytes(bytes), "/in/container.bin");
  return rec.items();
}

// Every picture reported is one of the two put in, and both came out.
inline void ExpectPicturesWhole(const std::vector<Reported>& items, const std::string& png,
                                const std::string& jpeg) {
  bool pngOut = false, jpegOut = false;
  for (const Reported& item : items) {
    if (item.type != "png" && item.type != "jpg") continue;
    EXPECT_TRUE(item.bytes == png || item.bytes == jpeg)
        << "a damaged " << item.type << " of " << item.bytes.size() << " bytes";
    pngOut = pngOut || item.bytes == png;
    jpegOut = jpegOut || item.bytes == jpeg;
  }
  EXPECT_TRUE(pngOut);
  EXPECT_TRUE(jpegOut);
}

}  // namespace strellbox::test
