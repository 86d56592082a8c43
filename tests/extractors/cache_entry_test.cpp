// .br files and browser cache entries under extended detection: what they
// hold is decoded, handed to the gate and scanned again.
//
// No browser is installed here, so the cache entries' own records (headers,
// keys, end records, metadata) are written by these tests from the
// published layouts of the two caches; the bodies in them are real files,
// compressed by the gzip, brotli and zstd programs and by Python's zlib.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>

#include "engine/scan_context.h"
#include "extractors/brotli.h"
#include "extractors/image_test_util.h"

namespace strellbox::test {
namespace {

namespace fs = std::filesystem;

std::string LE64(uint64_t v) {
  return LE32(static_cast<uint32_t>(v)) + LE32(static_cast<uint32_t>(v >> 32));
}
std::string BE16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }
uint32_t Crc(const std::string& s) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

constexpr uint64_t kInitialMagic = 0xfcfb6d1ba7725c30;
constexpr uint64_t kFinalMagic = 0xf4fa6f45970d41d8;

// A Chromium simple cache entry (<hash>_0): header, double-keyed key, body,
// its end record with CRC, the pickled response info, the key's SHA-256
// (not checked by the reader: zeros) and stream 0's end record.
std::string SimpleEntry(const std::string& url, const std::string& encoding,
                        const std::string& body) {
  const std::string key = "1/0/_dk_https://example.org https://example.org " + url;
  std::string headers = "HTTP/1.1 200 OK";
  headers += std::string(1, '\0') + "Content-Type: image/png";
  if (!encoding.empty()) headers += std::string(1, '\0') + "content-encoding: " + encoding;
  headers += std::string(2, '\0');
  while (headers.size() % 4) headers += '\0';
  std::string info = LE32(0x10025) + LE64(13300000000000000) + LE64(13300000000100000) +
                     LE32(static_cast<uint32_t>(headers.size())) + headers;
  const std::string stream0 = LE32(static_cast<uint32_t>(info.size())) + info;
  return LE64(kInitialMagic) + LE32(5) + LE32(static_cast<uint32_t>(key.size())) + LE32(0x1234) +
         LE32(0) + key + body + LE64(kFinalMagic) + LE32(1) + LE32(Crc(body)) + LE32(0) + LE32(0) +
         stream0 + std::string(32, '\0') + LE64(kFinalMagic) + LE32(3) + LE32(Crc(stream0)) +
         LE32(static_cast<uint32_t>(stream0.size())) + LE32(0);
}

// A Firefox cache2 entry: body, metadata hash and chunk hashes, version 3
// header, partitioned key and elements, and the metadata's offset.
std::string Cache2Entry(const std::string& url, const std::string& encoding,
                        const std::string& body) {
  const std::string key = "O^partitionKey=%28https%2Cexample.org%29,a,:" + url;
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n";
  if (!encoding.empty()) head += "Content-Encoding: " + encoding + "\r\n";
  std::string meta = BE32(0xC0FFEE);
  for (size_t chunk = 0; chunk < (body.size() + 262143) / 262144; ++chunk) meta += BE16(0xBEEF);
  meta += BE32(3) + BE32(1) + BE32(1700000000) + BE32(1700000000) + BE32(77) + BE32(0xFFFFFFFF) +
          BE32(static_cast<uint32_t>(key.size())) + BE32(0) + key + std::string(1, '\0');
  for (const std::string& s :
       {std::string("request-method"), std::string("GET"), std::string("response-head"), head,
        std::string("net-response-time-onstart"), std::string("120")})
    meta += s + std::string(1, '\0');
  return body + meta + BE32(static_cast<uint32_t>(body.size()));
}

class WrappedFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    png_ = new std::string(Convert(*dir_, "-size 64x40 gradient:orange-navy", "pic.png"));
    Shell("cd '" + dir_->str() +
          "' && gzip -n -c pic.png > pic.gz && brotli -c pic.png > pic.br &&"
          " zstd -q -c pic.png > pic.zst && tar cf pics.tar pic.png && brotli -c pics.tar >"
          " pics.tar.br && python3 -c \"import zlib,sys;"
          " sys.stdout.buffer.write(zlib.compress(open('pic.png','rb').read()))\" > pic.zlib");
  }
  static void TearDownTestSuite() {
    delete png_;
    delete dir_;
  }
  static std::string Made(const std::string& name) { return ReadFile(*dir_ / name); }
  // Runs the dispatcher over the bytes with the PNG pass on.
  static std::vector<Reported> Scan(const std::string& bytes, const std::string& from,
                                    bool extended = true) {
    StrellController c;
    c.setAllScans(false);
    c.setScanFor(PassId::kPNG, true);
    c.setExtendedDetection(extended);
    ItemRecorder rec(c);
    c.strellData(Bytes(bytes), from);
    return rec.items();
  }
  static bool Decoded(const Reported& item, std::string_view decoder) {
    for (const OriginStep& step : item.chain)
      if (step.decoder == decoder) return true;
    return false;
  }
  static std::vector<std::string> Decoders(const Reported& item) {
    std::vector<std::string> keys;
    for (const OriginStep& step : item.chain) keys.push_back(step.decoder);
    return keys;
  }

  static TempDir* dir_;
  static std::string* png_;
};

TempDir* WrappedFiles::dir_ = nullptr;
std::string* WrappedFiles::png_ = nullptr;

TEST_F(WrappedFiles, BrFilesAreDecodedOnlyWhereTheirNameSaysSo) {
  const std::string tarBr = Made("pics.tar.br"), pngBr = Made("pic.br");
  struct Row {
    const char* what;
    std::string bytes, from;
    bool extended;
    // The origin of each PNG found (the tar's own scan finds its member
    // before the archive walk does).
    std::vector<std::vector<std::string>> chains;
  };
  const std::vector<Row> rows = {
      {"a tar in a .br file",
       tarBr,
       "/in/pics.tar.br",
       true,
       {{"brotli"}, {"brotli", "archive-member"}}},
      {"a PNG in a .br file", pngBr, "/in/pic.png.br", true, {{"brotli"}}},
      {"a PNG merely named .br", *png_, "/in/pic.br", true, {{}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::vector<Reported> items = Scan(r.bytes, r.from, r.extended);
    ASSERT_EQ(items.size(), r.chains.size());
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(items[i].bytes, *png_) << i;
      EXPECT_EQ(Decoders(items[i]), r.chains[i]) << i;
    }
  }
  // Left undecoded: a PNG the compressor kept as it was may still be found
  // in the stream's bytes, but nothing comes from Brotli.
  const std::vector<std::pair<const char*, std::vector<Reported>>> undecoded = {
      {"the classic rules", Scan(tarBr, "/in/pics.tar.br", false)},
      {"a Brotli stream not named so", Scan(tarBr, "/in/pics.tar.bin")},
      {"a .br file cut short", Scan(tarBr.substr(0, tarBr.size() - 2), "/in/pics.tar.br")},
  };
  for (const auto& [what, items] : undecoded)
    for (const Reported& item : items) EXPECT_FALSE(Decoded(item, "brotli")) << what;
}

TEST_F(WrappedFiles, CacheBodiesComeOutDecodedAndNamedAfterTheUrl) {
  const std::string url = "https://cdn.example.org/img/sunset%20pic.png?v=3#top";
  struct Coding {
    const char* encoding;
    std::string body;
    const char* decoder;  // after cache-entry ("" for none)
  };
  const std::vector<Coding> codings = {
      {"", *png_, ""},
      {"gzip", Made("pic.gz"), "gzip"},
      {"br", Made("pic.br"), "brotli"},
      {"deflate", Made("pic.zlib"), "zlib"},
      {"zstd", Made("pic.zst"), "zstd"},
  };
  for (const bool firefox : {false, true}) {
    for (const Coding& k : codings) {
      SCOPED_TRACE(
          fmt::format("{} entry, encoding '{}'", firefox ? "cache2" : "simple", k.encoding));
      const std::string entry =
          firefox ? Cache2Entry(url, k.encoding, k.body) : SimpleEntry(url, k.encoding, k.body);
      const std::vector<Reported> items = Scan(entry, "/in/cache/0a1b2c3d4e5f6789_0");
      ASSERT_EQ(items.size(), 1u);
      EXPECT_EQ(items[0].bytes, *png_);
      EXPECT_EQ(items[0].original, "sunset_20pic.png");
      ASSERT_FALSE(items[0].chain.empty());
      EXPECT_EQ(items[0].chain[0].decoder, "cache-entry");
      EXPECT_EQ(items[0].chain[0].member, "sunset_20pic.png");
      EXPECT_EQ(items[0].chain.size(), *k.decoder ? 2u : 1u);
      EXPECT_EQ(items[0].chain.back().decoder, *k.decoder ? k.decoder : "cache-entry");
      // The classic rules do not open the entry.
      for (const Reported& item : Scan(entry, "/in/cache/0a1b2c3d4e5f6789_0", false))
        EXPECT_FALSE(Decoded(item, "cache-entry"));
    }
  }
}

TEST_F(WrappedFiles, DamagedCacheEntriesAreLeftToTheOrdinaryPasses) {
  const std::string url = "https://example.org/a/b.png";
  const std::string gz = Made("pic.gz");
  const std::string simple = SimpleEntry(url, "gzip", gz);
  const std::string cache2 = Cache2Entry(url, "gzip", gz);
  const std::string plainSimple = SimpleEntry(url, "", *png_);
  auto with = [](std::string s, size_t at, char byte) {
    s[at] = byte;
    return s;
  };
  const size_t bodyAt = simple.find(gz);
  const size_t headAt = cache2.find("response-head");
  struct Row {
    const char* what;
    std::string bytes;
  };
  const std::vector<Row> rows = {
      {"simple: cut by a byte", simple.substr(0, simple.size() - 1)},
      {"simple: cut in the body", simple.substr(0, bodyAt + gz.size() / 2)},
      {"simple: plain body, its CRC wrong",
       with(plainSimple, plainSimple.find(*png_) + png_->size() + 12, 'x')},
      {"simple: stream 0 larger than the file", with(simple, simple.size() - 5, '\x7F')},
      {"simple: unknown version", with(simple, 8, 4)},
      {"simple: plain body, end record damaged", with(plainSimple, plainSimple.size() - 20, 'x')},
      {"simple: unknown encoding", SimpleEntry(url, "compress", gz)},
      {"cache2: cut by a byte", cache2.substr(1)},
      {"cache2: offset past the end", with(cache2, cache2.size() - 4, '\x7F')},
      {"cache2: an element without its end", cache2.substr(0, cache2.size() - 5) + BE32(gz.size())},
      {"cache2: key without a URL", Cache2Entry("file.png", "gzip", gz)},
      {"cache2: gzip body damaged", with(cache2, gz.size() / 2, 'x')},
      {"cache2: response head cut", with(cache2, headAt + 14, '\0')},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    // Not opened as an entry: whatever the passes find in the bytes as they
    // lie (the plain body, a gzip member) has no cache entry in its origin.
    for (const Reported& item : Scan(r.bytes, "/in/entry_0")) {
      EXPECT_NE(item.original, "b.png");
      EXPECT_FALSE(Decoded(item, "cache-entry"));
    }
  }
}

// Just over a GiB of zeros: more than a file's decoded budget, which for a
// small file is DecodedBudget::kFloor (a GiB).
TEST_F(WrappedFiles, BrotliBombCostsNoMoreThanTheBudget) {
  TempDir folder;
  Shell("head -c " + std::to_string(DecodedBudget::kFloor + (1 << 20)) +
        " /dev/zero | brotli -q 0 -c > '" + (folder / "a-bomb.br").string() + "'");
  WriteFile(folder / "b-picture.png", *png_);
  TempDir out;
  StrellController c;
  c.setAllScans(false);
  c.setScanFor(PassId::kPNG, true);
  c.setExtendedDetection(true);
  c.setSaveRadioChosen(2);
  c.setSaveFolder(out.str());
  const uint64_t before = BrotliOutputSoFar();
  c.threadStrell({folder.str()});
  c.waitUntilIdle();
  EXPECT_LE(BrotliOutputSoFar() - before, DecodedBudget::kFloor + (64 << 10));
  const std::vector<std::string> pngs = ReadFilesOfType(out.path(), ".png");
  ASSERT_EQ(pngs.size(), 1u);
  EXPECT_EQ(pngs[0], *png_);
}

}  // namespace
}  // namespace strellbox::test
