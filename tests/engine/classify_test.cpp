#include "engine/classify.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

#include "engine/buffer.h"
#include "engine/paths.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

// A buffer of `size` bytes (0x01, not text) with `head` written at `offset`.
Buffer With(size_t size, size_t offset, std::string head, uint8_t fill = 0x01) {
  std::string bytes(size, static_cast<char>(fill));
  bytes.replace(offset, head.size(), head);
  return Buffer::fromString(bytes);
}

TEST(GuessExtension, SignatureRowsInOrder) {
  using namespace std::string_literals;
  struct Case {
    const char* name;
    Buffer data;
    const char* expected;
  } cases[] = {
      {"pdf", With(64, 0, "%PDF-1.4"), "pdf"},
      {"bmp", With(64, 0, "BM"), "bmp"},
      {"gif", With(64, 0, "GIF89a"), "gif"},
      {"swf plain", With(64, 0, "FWS"), "swf"},
      {"compressed swf has no row", With(64, 0, "CWS"), ""},
      {"png", With(64, 0, "\x89PNG\r\n\x1a\n"s), "png"},
      {"jpg", With(64, 0, "\xFF\xD8\xFF"s), "jpg"},
      {"tiff big-endian", With(64, 0, "MM\x00\x2A"s), "tiff"},
      {"stuffit", With(64, 0, "StuffIt"), "sit"},
      {"tiff little-endian", With(64, 0, "II\x2A\x00"s), "tiff"},
      {"mp3", With(64, 0, "ID3"), "mp3"},
      {"wav", With(64, 0, "RIFF\x10\x00\x00\x00WAVE"s), "wav"},
      {"avi",
       With(64, 0,
            "RIFF\x10\x00\x00\x00"
            "AVI "s),
       "avi"},
      {"riff of another form", With(64, 0, "RIFF\x10\x00\x00\x00WEBP"s), ""},
      {"icc", With(64, 4, "appl"), "icc"},
      {"zip", With(64, 0, "PK\x03\x04"s), "zip"},
      {"doc (old)", With(64, 0, "\xFE\x37\x00\x23"s), "doc"},
      {"psd", With(64, 0, "8BPS"), "psd"},
      {"mpeg b3", With(64, 0, "\x00\x00\x01\xB3"s), "mpeg"},
      {"mpeg b4", With(64, 0, "\x00\x00\x01\xB4"s), "mpeg"},
      {"mov", With(64, 4, "moov"), "mov"},
      {"exe at offset 2", With(64, 2, "MZ"), "exe"},
      {"MZ at offset 0 is not exe", With(64, 0, "MZ"), ""},
      {"xml", With(64, 0, "<?xml"), "xml"},
      {"rtf", With(64, 0, "{\\rtf1"), "rtf"},
      {"plain text", Buffer::fromString(std::string(64, 'a')), "txt"},
      {"fewer than 10 bytes", Buffer::fromString("%PDF-1.4"), ""},
      {"empty", Buffer(), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(GuessExtension(c.data), c.expected) << c.name;
}

TEST(GuessExtension, OleStorageNeedsMoreThan532Bytes) {
  using namespace std::string_literals;
  const std::string ole = "\xD0\xCF\x11\xE0"s;
  struct Case {
    const char* marker;
    const char* expected;
  } cases[] = {{"\xEC\xA5\xC1\x00", "doc"},
               {"\xFD\xFF\xFF\xFF", "xls"},
               {"\xA0\x46\x1D\xF0", "pps"},
               {"\x00\x6E\x1E\xF0", "ppt"}};
  for (const Case& c : cases) {
    std::string marker(c.marker, 4);
    Buffer big = With(533, 0, ole);
    std::string bytes(big.view());
    bytes.replace(512, 4, marker);
    EXPECT_EQ(GuessExtension(Buffer::fromString(bytes)), c.expected);
    bytes.resize(532);
    EXPECT_EQ(GuessExtension(Buffer::fromString(bytes)), "") << "532 bytes fall through";
  }
}

TEST(GuessExtension, TextTestLooksAtTheFirst4000BytesOnly) {
  std::string text(5000, 'x');
  text[4500] = static_cast<char>(0x80);
  EXPECT_EQ(GuessExtension(Buffer::fromString(text)), "txt");
  text[100] = static_cast<char>(0x80);
  EXPECT_EQ(GuessExtension(Buffer::fromString(text)), "");
  EXPECT_TRUE(IsDataLegalASCII(Buffer()));
  EXPECT_TRUE(IsDataLegalASCII(Buffer::fromString("tab\there\r\n\x7F")));
  EXPECT_FALSE(IsDataLegalASCII(Buffer::fromString(std::string("nul\0", 4))));
}

TEST(IsWellKnownExtension, CaseInsensitiveList) {
  EXPECT_TRUE(IsWellKnownExtension("jpeg"));
  EXPECT_TRUE(IsWellKnownExtension("Html"));
  EXPECT_TRUE(IsWellKnownExtension("ICO"));
  EXPECT_FALSE(IsWellKnownExtension("tiff"));
  EXPECT_FALSE(IsWellKnownExtension(""));
  EXPECT_FALSE(IsWellKnownExtension(std::nullopt));
}

TEST(Paths, ComponentsAndExtensions) {
  EXPECT_EQ(LastPathComponent("/x/page.html"), "page.html");
  EXPECT_EQ(LastPathComponent("samples/"), "samples");
  EXPECT_EQ(DeletingPathExtension("/a/b/data.tar.gz"), "/a/b/data.tar");
  EXPECT_EQ(DeletingPathExtension("/a.b/c"), "/a.b/c");
  EXPECT_EQ(PathExtension("/a/b/data.tar.gz"), "gz");
  EXPECT_EQ(PathExtension("/a.b/c"), "");
}

TEST(Buffer, ReadersNeverLeaveTheBuffer) {
  Buffer b = Buffer::fromString("\x01\x02\x03");
  EXPECT_EQ(b.be16(1), 0x0203);
  EXPECT_EQ(b.be16(2), 0);
  EXPECT_EQ(b.le32(0), 0u);
  EXPECT_EQ(b.u8(3), 0);
  EXPECT_FALSE(b.has(2, UINT64_MAX));
  EXPECT_FALSE(b.startsWith(2, "\x03\x04"));
  EXPECT_EQ(b.find(std::string_view("\x02\x03"), 0), 1u);
  EXPECT_EQ(b.find(std::string_view("\x02\x03"), 0, 1), Buffer::npos) << "limit is on the start";
  EXPECT_EQ(b.find(std::string_view("\x03\x04"), 0), Buffer::npos);
  EXPECT_EQ(b.find(uint8_t{3}, 0, 2), Buffer::npos);
  EXPECT_EQ(b.slice(1, 100).view(), "\x02\x03");
}

// The block-wise searches against a byte-by-byte one, on small alphabets so
// that pairs are dense, at every start and limit near block edges and ends.
TEST(Buffer, PairAndNeedleSearchesMatchAPlainScan) {
  std::mt19937 rng(17);
  std::array<bool, 256> seconds{};
  seconds['b'] = seconds['c'] = true;
  for (int round = 0; round < 40; ++round) {
    std::string text(1 + rng() % 200, 'a');
    for (char& c : text) c = "abc\xFF"[rng() % (round % 3 == 0 ? 4 : 2)];
    const Buffer b = Buffer::fromString(text);
    const std::string needles[] = {"ab",
                                   "aab",
                                   "ba",
                                   "abab",
                                   "\xFF"
                                   "a",
                                   "b"};
    for (uint64_t from = 0; from <= text.size() + 1; ++from) {
      for (const uint64_t limit : {uint64_t{0}, from + 1, from + 16, from + 17, from + 33,
                                   uint64_t{40}, uint64_t{text.size()}, Buffer::npos}) {
        auto plain = [&](auto match, uint64_t length) {
          for (uint64_t p = from; p < limit && p + length <= text.size(); ++p)
            if (match(p)) return p;
          return Buffer::npos;
        };
        for (const std::string& needle : needles)
          ASSERT_EQ(b.find(needle, from, limit),
                    plain([&](uint64_t p) { return text.compare(p, needle.size(), needle) == 0; },
                          needle.size()))
              << text << " " << needle << " " << from << " " << limit;
        const std::vector<std::string_view> any = {"abab", "aab", "ba",
                                                   "\xFF"
                                                   "a"};
        size_t which = 99;
        const uint64_t found = b.findAny(any, from, limit, which);
        size_t wanted = 99;
        ASSERT_EQ(found, plain(
                             [&](uint64_t p) {
                               for (size_t k = 0; k < any.size(); ++k) {
                                 if (text.compare(p, any[k].size(), any[k]) == 0) {
                                   wanted = k;
                                   return true;
                                 }
                               }
                               return false;
                             },
                             2))
            << text << " " << from << " " << limit;
        if (found != Buffer::npos) {
          ASSERT_EQ(which, wanted);
        }
        ASSERT_EQ(b.findPair('a', 'b', from, limit),
                  plain([&](uint64_t p) { return text[p] == 'a' && text[p + 1] == 'b'; }, 2));
        ASSERT_EQ(
            b.findPairIn('a', seconds, from, limit),
            plain([&](uint64_t p) { return text[p] == 'a' && seconds[uint8_t(text[p + 1])]; }, 2));
        // 'a' then 'b' or 'c' (0x62, 0x63), or 0xFF then 'a'.
        ASSERT_EQ(b.findEitherPair({'a', 0xFE, 'b'}, {0xFF, 0xFF, 'a'}, from, limit),
                  plain(
                      [&](uint64_t p) {
                        return (text[p] == 'a' && (text[p + 1] == 'b' || text[p + 1] == 'c')) ||
                               (text[p] == '\xFF' && text[p + 1] == 'a');
                      },
                      2));
        // The same, taking only those at an even offset.
        ASSERT_EQ(b.findEitherPair({'a', 0xFE, 'b'}, {0xFF, 0xFF, 'a'}, from, limit,
                                   [](const Buffer&, uint64_t p) { return p % 2 == 0; }),
                  plain(
                      [&](uint64_t p) {
                        return p % 2 == 0 &&
                               ((text[p] == 'a' && (text[p + 1] == 'b' || text[p + 1] == 'c')) ||
                                (text[p] == '\xFF' && text[p + 1] == 'a'));
                      },
                      2));
      }
    }
  }
}

}  // namespace
}  // namespace strellbox

namespace strellbox {
namespace {

TEST(Buffer, AMappedFileThatShrinksReadsAsZerosInsteadOfCrashing) {
  test::TempDir dir;
  const auto path = dir / "shrinking.bin";
  test::WriteFile(path, std::string(64 * 1024, 'x'));
  Buffer b = Buffer::readFile(path, 1000);
  ASSERT_TRUE(b.isMapped());
  ASSERT_EQ(b.u8(40000), 'x');
  std::filesystem::resize_file(path, 100);
  EXPECT_EQ(b.u8(50), 'x');
  EXPECT_EQ(b.u8(60000), 0);
  EXPECT_EQ(b.find(uint8_t{'y'}, 0), Buffer::npos);
}

}  // namespace
}  // namespace strellbox
