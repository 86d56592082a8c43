#include "extractors/zip_deflate.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>

#include "extractors/compressed_fixtures.h"
#include "extractors/image_test_util.h"
#include "support/test_support.h"

namespace strellbox::test {
namespace {

using Outcome = Inflater::Outcome;

std::string Text(size_t bytes) {
  std::string s;
  for (int i = 0; s.size() < bytes; ++i) s += "line " + std::to_string(i * 7919 % 1000) + "\n";
  s.resize(bytes);
  return s;
}

std::string RandomBytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

Buffer B(const std::string& s) { return Buffer::fromString(s); }

// A stream of `mib` MiB of zeros, a few KB long: after a full flush the
// compressor's output for another MiB of zeros repeats exactly, so the
// middle is that segment copied; the check value of n zeros is (n mod
// 65521) << 16 | 1.
std::string ZeroBomb(uint64_t mib) {
  z_stream z{};
  deflateInit(&z, 9);
  std::string zeros(1 << 20, '\0');
  auto run = [&z](std::string_view in, int flush) {
    std::string out(1 << 21, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    out.resize(out.size() - z.avail_out);
    return out;
  };
  const std::string head = run(zeros, Z_FULL_FLUSH);
  const std::string segment = run(zeros, Z_FULL_FLUSH);
  EXPECT_EQ(run(zeros, Z_FULL_FLUSH), segment);
  std::string tail = run("", Z_FINISH);
  deflateEnd(&z);
  tail.resize(tail.size() - 4);
  std::string bomb = head;
  for (uint64_t i = 1; i < mib; ++i) bomb += segment;
  bomb += tail;
  const uint32_t check = static_cast<uint32_t>(((mib << 20) % 65521) << 16 | 1);
  for (int shift : {24, 16, 8, 0}) bomb.push_back(static_cast<char>(check >> shift));
  return bomb;
}

// zlib writes a preset-dictionary header at the fastest level as 78 3F; 78 20
// is the same header with a check of 0 instead of 31, equally valid.
std::string WithHeader78_20(std::string stream) {
  EXPECT_EQ(stream.substr(0, 2), std::string("\x78\x3F", 2));
  stream[1] = '\x20';
  return stream;
}

// --- Inflate ---------------------------------------------------------------

TEST(InflateTest, CandidatesInflateOrFailForTheirReason) {
  const std::string payload = Text(50000);
  const std::string stream = Zlib(payload);
  const std::string junk(37, 'j');
  std::string badCheck = stream;
  badCheck.back() ^= 1;
  const std::string dictionary = Zlib(payload, 1, "line 1\nline 2\n");
  ASSERT_EQ(dictionary.substr(0, 2), std::string("\x78\x3F", 2));

  struct Row {
    const char* name;
    std::string bytes;
    uint64_t start;
    Outcome outcome;
  };
  const std::vector<Row> rows = {
      {"bad stream", "\x78\x9C\xFF\xFF\xFF\xFF" + junk, 0, Outcome::kBadStream},
      {"complete stream", stream, 0, Outcome::kInflated},
      {"truncated", stream.substr(0, stream.size() - 10), 0, Outcome::kTruncated},
      {"after junk, trailer ignored", junk + stream + junk, 37, Outcome::kInflated},
      {"wrong check value", badCheck, 0, Outcome::kBadStream},
      {"preset dictionary 78 3F", dictionary, 0, Outcome::kBadStream},
      {"preset dictionary 78 20", WithHeader78_20(dictionary), 0, Outcome::kBadStream},
      {"start at the end", stream, stream.size(), Outcome::kNothingToRead},
      {"empty buffer", "", 0, Outcome::kNothingToRead},
      {"small stream", Zlib("hi"), 0, Outcome::kInflated},
  };
  // One state reused across every row, in both orders, must answer as a
  // fresh one does.
  Inflater forward, backward;
  std::vector<std::optional<Buffer>> reused(rows.size());
  for (size_t i = 0; i < rows.size(); ++i)
    reused[i] = forward.inflate(B(rows[i].bytes), rows[i].start);
  for (size_t i = rows.size(); i-- > 0;) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.name);
    const auto back = backward.inflate(B(r.bytes), r.start);
    EXPECT_EQ(backward.lastAttempt().outcome, r.outcome);
    const auto fresh = Inflate(B(r.bytes), r.start);
    ASSERT_EQ(fresh.has_value(), r.outcome == Outcome::kInflated);
    ASSERT_EQ(back.has_value(), fresh.has_value());
    ASSERT_EQ(reused[i].has_value(), fresh.has_value());
    if (fresh) {
      const std::string expected = r.name == std::string("small stream") ? "hi" : payload;
      EXPECT_EQ(fresh->view(), expected);
      EXPECT_EQ(back->view(), expected);
      EXPECT_EQ(reused[i]->view(), expected);
    }
  }
}

TEST(InflateTest, CapFollowsTheWholeBufferLength) {
  const std::vector<std::pair<uint64_t, uint64_t>> rows = {
      {1, 40},
      {199999, 7999960},
      {200000, 2000000},
      {1999999, 19999990},
      {2000000, 10000000},
      {4999999, 24999995},
      {5000000, 10000000},
      {1ull << 40, 1ull << 41},
  };
  for (auto [length, cap] : rows) EXPECT_EQ(InflateCap(length), cap) << length;
}

TEST(InflateTest, CapInA150000ByteBuffer) {
  // Cap 6000000; the output buffer grows 32768, then by 75000 at a time,
  // and the cap is tested before each step: the step that starts below the
  // cap ends at 32768 + 80 × 75000 = 6032768, which may still finish.
  struct Row {
    uint64_t zeros;
    bool inflates;
  };
  for (const Row& r : {Row{7000000, false}, Row{6032768, true}, Row{6032769, false}}) {
    SCOPED_TRACE(r.zeros);
    std::string bytes = Zlib(std::string(r.zeros, '\0'), 9);
    ASSERT_LT(bytes.size(), 150000u);
    bytes.resize(150000, '\0');
    Inflater inflater;
    const auto out = inflater.inflate(B(bytes), 0);
    EXPECT_EQ(out.has_value(), r.inflates);
    if (out) {
      EXPECT_EQ(out->size(), r.zeros);
    }
    if (!r.inflates) {
      EXPECT_EQ(inflater.lastAttempt().outcome, Outcome::kCapReached);
      EXPECT_LE(inflater.lastAttempt().outputLength, 6000000u + 75000u);
      EXPECT_LE(inflater.lastAttempt().allocated, 6000000u + 75000u + 4096u);
    }
    StrellController c;
    ItemRecorder rec(c);
    EXPECT_EQ(RunPass(c, strellbox::strellDeflate, B(bytes), "/in/capped.bin", true),
              r.inflates ? 1 : 0);
  }
}

TEST(InflateTest, OutputBufferFollowsTheGrowthSteps) {
  // 150000-byte buffer, stream at 0: first 32768 bytes, then 75000 more.
  struct Row {
    std::string bytes;
    uint64_t outputLength;
  };
  const std::vector<Row> rows = {
      {Zlib(Text(32768)), 32768},          {Zlib(Text(32769)), 32768 + 75000},
      {Zlib(Text(100000)), 32768 + 75000}, {Zlib(Text(107769)), 32768 + 2 * 75000},
      {"\x78\x9C\xFF\xFF", 32768},
  };
  Inflater inflater;
  for (const Row& r : rows) {
    std::string bytes = r.bytes;
    bytes.resize(150000, '\0');
    const bool inflated = inflater.inflate(B(bytes), 0).has_value();
    const auto& attempt = inflater.lastAttempt();
    EXPECT_EQ(attempt.outputLength, r.outputLength) << r.outputLength;
    // A failure inside the scratch area takes no storage of its own.
    if (inflated) {
      EXPECT_GE(attempt.allocated, attempt.produced);
    } else {
      EXPECT_EQ(attempt.allocated, 0u);
    }
  }
}

TEST(InflateTest, ZipBombStopsAtTheCapWithoutAllocatingPastIt) {
  const std::string small = ZeroBomb(8);
  std::vector<uint8_t> whole(8 << 20);
  uLongf got = whole.size();
  ASSERT_EQ(
      uncompress(whole.data(), &got, reinterpret_cast<const Bytef*>(small.data()), small.size()),
      Z_OK);
  ASSERT_EQ(got, 8u << 20);

  const std::string bomb = ZeroBomb(4096);  // 4 GiB of zeros
  const uint64_t n = bomb.size();
  const uint64_t cap = InflateCap(n);
  ASSERT_LT(cap, uint64_t{64} << 20);
  Inflater inflater;
  EXPECT_FALSE(inflater.inflate(B(bomb), 0));
  const auto& attempt = inflater.lastAttempt();
  EXPECT_EQ(attempt.outcome, Outcome::kCapReached);
  EXPECT_GE(attempt.produced, cap);
  EXPECT_LE(attempt.outputLength, cap + n / 2);
  EXPECT_LE(attempt.allocated, cap + n / 2 + 4096);

  StrellController c;
  ItemRecorder rec(c);
  const uint64_t before = InflateWorkOnThisThread();
  EXPECT_EQ(RunPass(c, strellbox::strellDeflate, B(bomb), "/in/bomb.bin", true), 0);
  EXPECT_TRUE(rec.items().empty());
  EXPECT_LE(InflateWorkOnThisThread() - before, 2 * (cap + n / 2 + n));
}

// --- The zip pass ------------------------------------------------------------

class ZipTest : public ::testing::Test {
 protected:
  // An archive written by the zip command.
  std::string ZipCommand() {
    WriteFile(dir_ / "a.txt", Text(3000));
    WriteFile(dir_ / "b.bin", RandomBytes(500, 7));
    return RunTool("cd '" + dir_.str() + "' && zip -q -X - a.txt b.bin");
  }
  // An archive written by Python's zipfile, with an archive comment.
  std::string PythonZip(const std::string& comment) {
    return RunTool(
        "python3 -c \"import io,sys,zipfile\n"
        "b=io.BytesIO()\n"
        "with zipfile.ZipFile(b,'w',zipfile.ZIP_DEFLATED) as z:\n"
        "  z.writestr('c.txt','hello '*400)\n"
        "  z.writestr('d.txt','world '*300)\n"
        "  z.comment=b'" +
        comment +
        "'\n"
        "sys.stdout.buffer.write(b.getvalue())\"");
  }
  TempDir dir_;
};

TEST_F(ZipTest, RealArchivesAreMeasuredToTheirEndRecord) {
  const std::string a = ZipCommand();
  const std::string b = PythonZip("made for the test, 38 bytes of comment");
  const std::string prefix = "some bytes before the archives" + std::string(70, '.');
  ASSERT_EQ(b.substr(b.size() - 38), "made for the test, 38 bytes of comment");
  struct Expect {
    uint64_t from, length;
  };
  struct Row {
    const char* name;
    std::string bytes;
    std::vector<Expect> items;
  };
  const uint64_t p = prefix.size();
  const std::vector<Row> rows = {
      {"whole buffer", a, {{0, a.size()}}},
      {"two archives back to back",
       prefix + a + b + "tail",
       {{p, a.size()}, {p + a.size(), b.size()}}},
      {"comment past the end", prefix + b.substr(0, b.size() - 20), {{p, b.size() - 20}}},
      {"end record missing",
       prefix + a.substr(0, a.size() - 30) + "tail",
       {{p, a.size() - 30 + 4}}},
      {"the next end record counts",
       prefix + a.substr(0, a.size() - 30) + a,
       {{p, a.size() - 30 + a.size()}}},
      {"end record cut short", prefix + a.substr(0, a.size() - 1), {{p, a.size() - 1}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    StrellController c;
    ItemRecorder rec(c);
    ScanContext context(c);
    EXPECT_EQ(strellZip(context, B(r.bytes), "/in/archive.dat"),
              static_cast<int32_t>(r.items.size()));
    EXPECT_FALSE(context.atomicFileFound());
    ASSERT_EQ(rec.items().size(), r.items.size());
    for (size_t i = 0; i < r.items.size(); ++i) {
      const Reported& item = rec.items()[i];
      EXPECT_EQ(item.from, r.items[i].from);
      EXPECT_EQ(item.length, r.items[i].length);
      EXPECT_EQ(item.type, "zip");
      EXPECT_EQ(item.original, "/in/archive");
      EXPECT_EQ(item.foundNo, static_cast<int32_t>(i));
    }
  }
  // Both archives come out whole: the unzip tool lists each.
  StrellController c;
  ItemRecorder rec(c);
  RunPass(c, strellbox::strellZip, B(prefix + a + b), "/in/archive.dat");
  ASSERT_EQ(rec.items().size(), 2u);
  WriteFile(dir_ / "second.zip", rec.items()[1].bytes);
  EXPECT_NE(RunTool("unzip -l '" + (dir_ / "second.zip").string() + "'").find("d.txt"),
            std::string::npos);
}

TEST(CompressedPassesTest, BuffersOf100BytesOrLessAreLeftAlone) {
  const std::string stream = Zlib("a short stream");
  const std::string zip = std::string("PK\x03\x04", 4) + std::string(40, 'z') +
                          std::string("PK\x05\x06", 4) + std::string(18, '\0');
  for (uint64_t n : {100u, 101u}) {
    SCOPED_TRACE(n);
    std::string deflateBytes = stream;
    deflateBytes.resize(n, '\0');
    std::string zipBytes = zip;
    zipBytes.resize(n, '\0');
    StrellController c;
    ItemRecorder rec(c);
    const int32_t expected = n > 100 ? 1 : 0;
    EXPECT_EQ(RunPass(c, strellbox::strellDeflate, B(deflateBytes), "/in/s.bin", true), expected);
    EXPECT_EQ(RunPass(c, strellbox::strellZip, B(zipBytes), "/in/s.bin"), expected);
  }
}

// --- The deflate pass --------------------------------------------------------

class DeflateTest : public ::testing::Test {
 protected:
  void onlyFlate(bool saving) {
    c_.setAllScans(false);
    c_.setScanFor(PassId::kFlate, saving);
  }
  StrellController c_;
};

TEST_F(DeflateTest, PngInsideAStreamIsFoundByTheNestedScan) {
  const std::string png = MakePng(40, 30);
  const std::string file = std::string(37, '-') + Zlib(png) + "trailer";
  for (bool saving : {true, false}) {
    SCOPED_TRACE(saving);
    StrellController c;
    c.setAllScans(false);
    c.setScanFor(PassId::kPNG, true);
    c.setScanFor(PassId::kFlate, saving);
    c.setPassForTesting("png", FakePngFinder());
    ItemRecorder rec(c);
    // Nested PNG and the stream itself count, reported or not.
    EXPECT_EQ(c.strellData(B(file), "/in/sample.bin"), 2);
    ASSERT_EQ(rec.items().size(), saving ? 2u : 1u);
    EXPECT_EQ(rec.items()[0].type, "png");
    EXPECT_EQ(rec.items()[0].original, "/in/sample-inflated");
    EXPECT_EQ(rec.items()[0].bytes, png);
    if (saving) {
      EXPECT_EQ(rec.items()[1].type, "png");
      EXPECT_EQ(rec.items()[1].original, "/in/sample[37]");
      EXPECT_EQ(rec.items()[1].foundNo, 1);
      EXPECT_EQ(rec.items()[1].bytes, png);
    }
    EXPECT_DOUBLE_EQ(c.bytesToStrell(), static_cast<double>(png.size()));
  }
}

TEST(DeflateJobTest, InflatedCopyOfAFoundPngIsADuplicate) {
  const std::string png = MakePng(40, 30);
  for (bool dontSaveDuplicates : {true, false}) {
    SCOPED_TRACE(dontSaveDuplicates);
    ScopedHome home;
    TempDir in, out;
    WriteFile(in / "sample.bin", std::string(37, '-') + Zlib(png) + "trailer");
    RecordingDisplay display;
    StrellController c(&display);
    c.setAllScans(false);
    c.setScanFor(PassId::kPNG, true);
    c.setScanFor(PassId::kFlate, true);
    c.setDontSaveDuplicates(dontSaveDuplicates);
    c.setSaveRadioChosen(2);
    c.setSaveFolder(out.str());
    c.setPassForTesting("png", FakePngFinder());
    c.threadStrell({(in / "sample.bin").string()});
    c.waitUntilIdle();
    c.shutdown();
    const auto folder = out / "sample Strell";
    const std::vector<std::string> expected =
        dontSaveDuplicates ? std::vector<std::string>{"sample-inflated.png"}
                           : std::vector<std::string>{"sample-inflated.png", "sample[37]-1.png"};
    EXPECT_EQ(ListFiles(folder), expected);
    for (const std::string& name : expected) EXPECT_EQ(ReadFile(folder / name), png);
    EXPECT_TRUE(display.errors().empty());
  }
}

TEST_F(DeflateTest, NestedStreamsAreScannedDownToLevelFive) {
  // Stream k holds stream k+1 between runs of zeros, so that it is coded
  // with Huffman codes and never appears verbatim in stream k.
  const std::string zeros(3000, '\0');
  std::vector<std::string> content(7), stream(7);
  content[6] = zeros + "the deepest content" + zeros;
  for (int k = 6; k >= 1; --k) {
    stream[k] = Zlib(content[k]);
    if (k > 1) content[k - 1] = zeros + stream[k] + zeros;
    if (k < 6) {
      ASSERT_EQ(stream[k].find(stream[k + 1]), std::string::npos);
    }
  }
  onlyFlate(true);
  ItemRecorder rec(c_);
  EXPECT_EQ(c_.strellData(B("head" + stream[1] + "tail" + zeros), "/in/sample.bin"), 5);
  ASSERT_EQ(rec.items().size(), 5u);  // stream 6 lies in level 5's data, which is not scanned
  std::string from = "/in/sample";
  std::vector<std::string> names;
  for (int level = 1; level <= 5; ++level) {
    names.insert(names.begin(), from + (level == 1 ? "[4]" : "[3000]"));
    from += "-inflated";
  }
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(rec.items()[i].original, names[i]);
    EXPECT_EQ(rec.items()[i].type, "inflated");
    EXPECT_EQ(rec.items()[i].bytes, content[5 - i]);
    EXPECT_EQ(rec.items()[i].foundNo, static_cast<int32_t>(i));
  }
}

TEST_F(DeflateTest, InflatedDataIsTypedByItsFirstBytes) {
  std::string ole(600, '\0');
  ole.replace(0, 4, "\xD0\xCF\x11\xE0");
  ole.replace(512, 4, "\xFD\xFF\xFF\xFF");
  struct Row {
    std::string content;
    std::vector<std::string> types;
  };
  const std::vector<Row> rows = {
      {ole, {"ms-ole-storage"}},
      {"%PDF-1.4\n" + Text(300), {"pdf"}},
      {Text(300), {"txt"}},
      {std::string("\x01\x02\x80\x90", 4) + std::string(200, '\0'), {"inflated"}},
      {"x", {}},  // fewer than 2 bytes: dropped
  };
  onlyFlate(true);
  for (const Row& r : rows) {
    ItemRecorder rec(c_);
    std::string bytes = "head" + Zlib(r.content);
    bytes.resize(std::max<size_t>(bytes.size(), 120), '\0');
    EXPECT_EQ(RunPass(c_, strellbox::strellDeflate, B(bytes), "/in/t.bin", true),
              static_cast<int32_t>(r.types.size()));
    EXPECT_EQ(rec.types(), r.types) << r.content.substr(0, 8);
  }
}

TEST_F(DeflateTest, PresetDictionaryStreamIsSkipped) {
  const std::string withDictionary = WithHeader78_20(Zlib(Text(400), 1, "line 1\n"));
  const std::string plain = Zlib(Text(500));
  onlyFlate(true);
  ItemRecorder rec(c_);
  const std::string bytes = withDictionary + std::string(16, '.') + plain;
  EXPECT_EQ(RunPass(c_, strellbox::strellDeflate, B(bytes), "/in/d.bin", true), 1);
  ASSERT_EQ(rec.items().size(), 1u);
  EXPECT_EQ(rec.items()[0].original, fmt::format("/in/d[{}]", withDictionary.size() + 16));
  EXPECT_EQ(rec.items()[0].foundNo, 0);
}

TEST_F(DeflateTest, LargeBuffersReportProgressAfterEachStream) {
  // Inflated data below 32 bytes is not scanned again, so the dispatcher
  // leaves the counters alone and progress is exactly (p + 6) / passes.
  const std::string tiny = Zlib("twenty bytes of text");
  struct Row {
    uint64_t length;
    bool morePasses;
    std::vector<double> progress;
  };
  const uint64_t p1 = 1000, p2 = 900001;
  const std::vector<Row> rows = {
      {1000001, false, {1006, 900007}},
      {1000001, true, {1006 / 3, 900007 / 3}},
      {1000000, false, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.length);
    std::string bytes(r.length, '\0');
    bytes.replace(p1, tiny.size(), tiny);
    bytes.replace(p2, tiny.size(), tiny);
    RecordingDisplay display;
    StrellController c(&display);
    c.setAllScans(false);
    c.setScanFor(PassId::kGIF, r.morePasses);
    c.setScanFor(PassId::kBMP, r.morePasses);
    ItemRecorder rec(c);
    EXPECT_EQ(RunPass(c, strellbox::strellDeflate, B(bytes), "/in/big.bin", false), 2);
    EXPECT_EQ(display.progress(), r.progress);
    EXPECT_DOUBLE_EQ(c.bytesToStrell(), 40.0);
  }
}

TEST_F(DeflateTest, StopRequestEndsThePassAfterTheCurrentCandidate) {
  const std::string png = MakePng(8, 8);
  const std::string stream = Zlib(png);
  const std::string bytes = stream + std::string(20, '.') + stream + std::string(20, '.') + stream;
  c_.setAllScans(false);
  c_.setScanFor(PassId::kPNG, true);
  c_.setScanFor(PassId::kFlate, true);
  auto finder = FakePngFinder();
  c_.setPassForTesting(
      "png", [this, finder](ScanContext& ctx, const Buffer& data, const std::string& from) {
        const int32_t found = finder(ctx, data, from);
        if (found > 0) c_.stopStrelling();
        return found;
      });
  ItemRecorder rec(c_);
  EXPECT_EQ(RunPass(c_, strellbox::strellDeflate, B(bytes), "/in/s.bin", true), 2);
  EXPECT_EQ(rec.types(), (std::vector<std::string>{"png", "png"}));
}

// Every 16 bytes "78 01" and a stored block of 65531 bytes: each candidate
// is a well-formed stream whose blocks chain on to the end of the region.
std::string StoredBlockFlood(size_t bytes) {
  std::string unit("\x78\x01\x00\xFB\xFF\x04\x00", 7);
  unit.resize(16, '\x11');
  std::string s;
  while (s.size() < bytes) s += unit;
  return s;
}

TEST_F(DeflateTest, HostileBuffersCostLinearWork) {
  const std::string legit = Zlib(Text(20000));
  struct Row {
    const char* name;
    std::string bytes;
    int32_t items;
    double workPerByte;  // bound on bytes read and written per buffer byte
  };
  const std::vector<Row> rows = {
      // Two attempts of the largest size (2 x 11.5 for 1 MiB) and 4 a byte.
      {"stored-block flood", StoredBlockFlood(1 << 20), 0, 28},
      // Every candidate of the flood reads the real stream, which follows
      // directly; the second try, last first, reaches it before them.
      {"flood, then a real stream", StoredBlockFlood(1 << 20) + legit, 1, 28},
      {"a real stream between two floods",
       StoredBlockFlood(1 << 20) + legit + StoredBlockFlood(1 << 20), 1, 28},
      {"78 9C everywhere",
       [] {
         std::string s;
         while (s.size() < (1 << 20)) s += "\x78\x9C";
         return s;
       }(),
       0, 1},
      {"random bytes, then a real stream", RandomBytes(8 << 20, 3) + legit, 1, 0.02},
  };
  onlyFlate(true);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ItemRecorder rec(c_);
    const uint64_t before = InflateWorkOnThisThread();
    EXPECT_EQ(RunPass(c_, strellbox::strellDeflate, B(r.bytes), "/in/h.bin", true), r.items);
    const double work = static_cast<double>(InflateWorkOnThisThread() - before);
    EXPECT_LE(work, r.workPerByte * static_cast<double>(r.bytes.size()));
    if (r.items == 1) {
      EXPECT_EQ(rec.items().back().bytes, Text(20000));
    }
  }
}

TEST_F(DeflateTest, StreamsAfterManyLargePngsAreAllTried) {
  // The image data of a PNG in many IDAT chunks inflates through all of them
  // before it fails at its check value (310 KB in, 11.4 MB out), or here at
  // the cap.
  TempDir dir;
  const std::string png = Convert(
      dir, "-size 2000x1900 gradient:red-blue -attenuate 0.05 +noise Uniform -depth 8", "big.png");
  const std::string jpeg = Convert(dir, "-size 64x48 gradient:white-navy", "small.jpg");
  ASSERT_GT(png.size(), 200000u);
  std::string file;
  for (int i = 0; i < 17; ++i) file += png;  // over 5 MB: the cap is twice the buffer
  // A stream that needs more work than the bytes of one PNG earn.
  file += Zlib(jpeg + std::string(4 << 20, 'x')) + Zlib(Text(3000));
  for (bool extended : {false, true}) {
    SCOPED_TRACE(extended);
    StrellController c;
    c.setAllScans(false);
    c.setScanFor(PassId::kJPEG, true);
    c.setExtendedDetection(extended);
    ItemRecorder rec(c);
    EXPECT_EQ(c.strellData(B(file), "/in/pictures.bin"), 3);
    ASSERT_EQ(rec.items().size(), 1u);
    EXPECT_EQ(rec.items()[0].bytes, jpeg);
    EXPECT_EQ(rec.items()[0].original, "/in/pictures-inflated");
  }
}

// A zlib stream of one stored block (content up to 65535 bytes): the
// content lies in it verbatim.
std::string StoredStream(const std::string& content) {
  const auto length = static_cast<uint16_t>(content.size());
  std::string s("\x78\x01\x01", 3);
  for (uint16_t v : {length, static_cast<uint16_t>(~length)}) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>(v >> 8));
  }
  s += content;
  const uLong check =
      adler32(1, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size()));
  for (int shift : {24, 16, 8, 0}) s.push_back(static_cast<char>(check >> shift));
  return s;
}

TEST_F(DeflateTest, StreamsStoredInsideStreamsAreFoundWithoutMultiplying) {
  const std::string core = "the core of the layers: " + RandomBytes(150, 9);
  // One stream stored verbatim in another: both are found in the buffer
  // itself, and the inner one again in the outer one's content.
  onlyFlate(true);
  {
    ItemRecorder rec(c_);
    EXPECT_EQ(c_.strellData(B(StoredStream(Zlib(core)) + "tail"), "/in/two.bin"), 3);
    std::vector<std::string> names;
    for (const Reported& item : rec.items()) names.push_back(item.original);
    EXPECT_EQ(names, (std::vector<std::string>{"/in/two-inflated[0]", "/in/two[0]", "/in/two[7]"}));
  }
  // Sixty layers, each stored in the next: if every layer were inflated at
  // every level, 840 bytes would make millions of items.
  std::string layers = Zlib(core);
  for (int i = 0; i < 60; ++i) layers = StoredStream(layers);
  ItemRecorder rec(c_);
  const int32_t count = c_.strellData(B(layers), "/in/layers.bin");
  EXPECT_LE(count, 1000);
  EXPECT_GE(count, 5);
  // The outer layers are still found in the buffer itself.
  const auto named = [&rec](const std::string& name) {
    return std::any_of(rec.items().begin(), rec.items().end(),
                       [&name](const Reported& item) { return item.original == name; });
  };
  EXPECT_TRUE(named("/in/layers[0]"));
  EXPECT_TRUE(named("/in/layers[7]"));
}

}  // namespace
}  // namespace strellbox::test
