// SVG, data: URIs, EMF, WMF and JPEG XL: files from real writers measured
// exactly, alone and inside random bytes; the pictures of data: URIs out
// through the gate; hostile headers passed over in linear work.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "engine/carve.h"
#include "extractors/base64.h"
#include "extractors/image_test_util.h"
#include "extractors/jxl_headers.h"

namespace strellbox::test {
namespace {

// The files the writers made, made once: LibreOffice takes seconds.
class Drawings : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const TempDir& dir = *dir_;
    png_ = new std::string(Convert(dir, "-size 40x30 gradient:red-blue", "a.png"));
    Convert(dir, "-size 64x48 gradient:green-white -quality 90", "a.jpg");
    // Larger than one group of 256 x 256 pixels, with an ICC profile.
    Convert(dir, "-seed 1 -size 600x400 plasma:fractal", "big.png");
    Convert(dir,
            "-size 300x200 gradient:red-blue -profile /usr/share/color/icc/ghostscript/a98.icc",
            "icc.png");
    // A drawing as an editor writes one: declaration, comment, nested
    // svg, a `>` in a title and in a quoted value, a picture inline.
    svg_ = new std::string(
        fmt::format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- drawn for a test -->\n"
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"30\">"
                    "<title>a &gt; b</title><desc><![CDATA[ <svg> in text ]]></desc>"
                    "<svg x=\"1\" data-note=\"a>b\"><rect width=\"4\" height=\"3\"/></svg>"
                    "<image href=\"data:image/png;base64,{}\"/></svg>",
                    Base64Encode(*png_)));
    Shell(fmt::format("cd '{}' && cat > d.svg <<'EOF'\n{}\nEOF", dir.str(), *svg_));
  }
  // The drawing as LibreOffice writes it ("emf", "wmf"), converted on
  // first use only: ctest runs each test in a process of its own, and a
  // conversion takes seconds. Its own profile and HOME.
  static std::string Metafile(const std::string& format) {
    const std::string name = "d." + format;
    if (!std::filesystem::exists(*dir_ / name))
      Shell(
          fmt::format("cd '{0}' && HOME='{0}' soffice -env:UserInstallation=file://{0}/profile "
                      "--headless --convert-to {1} d.svg >/dev/null 2>&1",
                      dir_->str(), format));
    return ReadFile(*dir_ / name);
  }
  static void TearDownTestSuite() {
    delete dir_;
    delete png_;
    delete svg_;
  }
  static TempDir* dir_;
  static std::string* png_;
  static std::string* svg_;
};
TempDir* Drawings::dir_ = nullptr;
std::string* Drawings::png_ = nullptr;
std::string* Drawings::svg_ = nullptr;

// The codestream cjxl wrote, out of its container where it made one (the
// jxlc box, or the jxlp parts joined).
std::string CodestreamOf(const std::string& file) {
  if (file.starts_with("\xFF\x0A")) return file;
  auto be32 = [&](size_t at) {
    return (uint64_t{static_cast<uint8_t>(file[at])} << 24) |
           (uint64_t{static_cast<uint8_t>(file[at + 1])} << 16) |
           (uint64_t{static_cast<uint8_t>(file[at + 2])} << 8) | static_cast<uint8_t>(file[at + 3]);
  };
  std::string codestream;
  for (size_t at = 12; at + 8 <= file.size();) {
    uint64_t size = be32(at), header = 8;
    if (size == 1) {
      size = (be32(at + 8) << 32) | be32(at + 12);
      header = 16;
    }
    if (size == 0) size = file.size() - at;
    const std::string type = file.substr(at + 4, 4);
    if (type == "jxlc") codestream += file.substr(at + header, size - header);
    if (type == "jxlp") codestream += file.substr(at + header + 4, size - header - 4);
    at += size;
  }
  return codestream;
}

TEST_F(Drawings, RealFilesAloneAndInRandomBytesComeOutByteForByte) {
  const TempDir& dir = *dir_;
  struct Case {
    const char* name;
    Pass pass;
    std::string file;  // what the writer made, the item expected
  };
  const std::vector<Case> cases = {
      {"svg from a script (its last line break is not the drawing's)", &strellSVG, *svg_},
      {"emf from LibreOffice", &strellEMF, Metafile("emf")},
      {"wmf from LibreOffice (placeable)", &strellWMF, Metafile("wmf")},
      {"wmf without its placeable header", &strellWMF, Metafile("wmf").substr(22)},
      {"jxl bare codestream from cjxl", &strellJXL, MadeBy(dir, "cjxl a.png b.jxl", "b.jxl")},
      {"jxl container from cjxl", &strellJXL,
       MadeBy(dir, "cjxl --container=1 a.png c.jxl", "c.jxl")},
      {"jxl from a JPEG (jxlp parts and jbrd)", &strellJXL,
       MadeBy(dir, "cjxl a.jpg j.jxl", "j.jxl")},
      {"jxl animation, bare", &strellJXL,
       MadeBy(dir,
              "convert -delay 10 -size 40x30 gradient:red-blue gradient:blue-green gradient:red "
              "anim.gif && cjxl anim.gif anim.jxl",
              "anim.jxl")},
      {"jxl bare, lossless in groups", &strellJXL,
       CodestreamOf(MadeBy(dir, "cjxl -d 0 -e 1 big.png l.jxl", "l.jxl"))},
      {"jxl bare, LF frame first", &strellJXL,
       MadeBy(dir, "cjxl --progressive_dc=1 big.png dc.jxl", "dc.jxl")},
      {"jxl bare, groups in a permuted order", &strellJXL,
       MadeBy(dir, "cjxl --group_order=1 big.png g.jxl", "g.jxl")},
      {"jxl bare, ICC profile", &strellJXL,
       CodestreamOf(MadeBy(dir, "cjxl icc.png i.jxl", "i.jxl"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_GT(c.file.size(), 100u);
    const PassRun alone = RunOnePass(c.pass, c.file, "/in/src.bin", true);
    ASSERT_EQ(alone.items.size(), 1u);
    EXPECT_EQ(alone.items[0].bytes, c.file);
    // Twice, at odd offsets, between random bytes.
    const std::string before = SeededBytes(997, 1), between = SeededBytes(333, 2);
    const std::string data = before + c.file + between + c.file + SeededBytes(71, 3);
    const PassRun run = RunOnePass(c.pass, data, "/in/src.bin", true);
    EXPECT_EQ(SpansOf(run),
              (Spans{{before.size(), c.file.size()},
                     {before.size() + c.file.size() + between.size(), c.file.size()}}));
  }
  // A hundred small codestreams in one buffer: the decoders that measure
  // them are not counted against the buffer's allowance for refusals.
  const std::string one = MadeBy(dir, "cjxl a.png b.jxl", "b.jxl");
  std::string many;
  Spans spans;
  for (uint32_t i = 0; i < 100; ++i) {
    many += SeededBytes(37, 10 + i);
    spans.emplace_back(many.size(), one.size());
    many += one;
  }
  EXPECT_EQ(SpansOf(RunOnePass(&strellJXL, many + "tail", "/in/src.bin", true)), spans);
}

// The header walk ahead of the JPEG XL decoder: it stops where the format
// needs an entropy decoder and otherwise walks every frame to the
// codestream's exact end; one byte less and the last frame does not fit.
TEST_F(Drawings, JxlHeaderWalkEndsWhereTheCodestreamDoes) {
  const TempDir& dir = *dir_;
  struct Case {
    const char* name;
    std::string command, file;
    JxlWalkEnd end;
  };
  const std::vector<Case> cases = {
      {"one frame", "cjxl a.png w1.jxl", "w1.jxl", JxlWalkEnd::kLastFrame},
      {"animation",
       "convert -delay 10 -size 40x30 gradient:red-blue gradient:blue-green wa.gif && "
       "cjxl wa.gif wa.jxl",
       "wa.jxl", JxlWalkEnd::kLastFrame},
      {"lossless, several groups and LF groups", "cjxl -d 0 -e 1 big.png wl.jxl", "wl.jxl",
       JxlWalkEnd::kLastFrame},
      {"LF frame first", "cjxl --progressive_dc=1 big.png wd.jxl", "wd.jxl",
       JxlWalkEnd::kLastFrame},
      {"progressive passes", "cjxl -p big.png wp.jxl", "wp.jxl", JxlWalkEnd::kLastFrame},
      {"grey, 16 bits, alpha",
       "convert big.png -colorspace Gray -depth 16 -alpha set g16.png && "
       "cjxl -d 0 g16.png wg.jxl",
       "wg.jxl", JxlWalkEnd::kLastFrame},
      {"permuted groups", "cjxl --group_order=1 big.png wo.jxl", "wo.jxl",
       JxlWalkEnd::kPermutedToc},
      {"ICC profile", "cjxl icc.png wi.jxl", "wi.jxl", JxlWalkEnd::kIccProfile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string codestream = CodestreamOf(MadeBy(dir, c.command, c.file));
    const auto* bytes = reinterpret_cast<const uint8_t*>(codestream.data());
    const JxlHeaderCheck check = CheckJxlCodestreamHeaders(bytes, codestream.size(), 1 << 24);
    EXPECT_EQ(check.end, c.end);
    EXPECT_LT(check.bytesRead, 200u);
    if (c.end != JxlWalkEnd::kLastFrame) continue;
    EXPECT_EQ(check.walkedTo, codestream.size());
    EXPECT_EQ(CheckJxlCodestreamHeaders(bytes, codestream.size() - 1, 1 << 24).end,
              JxlWalkEnd::kRefused);
  }
}

TEST_F(Drawings, DataUrisHandTheirPicturesToThePasses) {
  const std::string gif = Convert(*dir_, "-size 20x10 gradient:red-blue", "a.gif");
  std::string wrapped = Base64Encode(gif);  // a style sheet's long value, wrapped
  for (size_t i = 60; i < wrapped.size(); i += 61) wrapped.insert(i, "\n");
  const std::string text =
      "<html><body><img alt=x src=\"data:image/png;base64," + Base64Encode(*png_) +
      "\"><p>data:text/plain,no picture here</p><style>a{background:url(data:image/gif;"
      "charset=binary;base64," +
      wrapped + ")}</style>" + *svg_ + "</body></html>" + SeededBytes(200, 9);
  for (const bool extended : {true, false}) {
    SCOPED_TRACE(extended ? "extended" : "classic");
    StrellController c;
    c.setExtendedDetection(extended);
    ItemRecorder rec(c);
    c.strellData(Bytes(text), "/in/page.html");
    std::vector<std::string> found;
    for (const Reported& item : rec.items()) {
      if (item.chain.empty()) {
        found.push_back(item.type);
        continue;
      }
      ASSERT_EQ(item.chain.size(), 1u);
      EXPECT_EQ(item.chain[0].decoder, "data-uri");
      EXPECT_EQ(item.bytes, item.type == "png" ? *png_ : gif);
      found.push_back(item.type + " in " + item.chain[0].member);
    }
    // The same PNG in the page and in its drawing is one item: the gate
    // skips bytes it has scanned.
    EXPECT_EQ(found, extended
                         ? (std::vector<std::string>{"svg", "png in image/png", "gif in image/gif"})
                         : std::vector<std::string>{});
  }
}

// A bit writer for a hand-made JPEG XL header: fields low bit first.
struct Bits {
  std::string bytes;
  int used = 0;
  void put(uint64_t value, int n) {
    for (int i = 0; i < n; ++i, ++used) {
      if (used % 8 == 0) bytes.push_back('\0');
      if ((value >> i) & 1) bytes.back() = static_cast<char>(bytes.back() | (1 << (used % 8)));
    }
  }
};

TEST_F(Drawings, HostileHeadersCostLinearWorkAndLeaveTheNextItem) {
  const std::string emf = Metafile("emf");
  const std::string wmf = Metafile("wmf");
  auto patched = [](std::string s, size_t at, const std::string& bytes) {
    return s.replace(at, bytes.size(), bytes);
  };
  Bits huge;  // FF 0A, then a size header of 2^30 x 2^30 and default metadata
  huge.put(0x0AFF, 16);
  huge.put(0, 1);
  huge.put(3, 2);
  huge.put((1u << 30) - 1, 30);
  huge.put(0, 3);
  huge.put(3, 2);
  huge.put((1u << 30) - 1, 30);
  huge.put(1, 1);
  std::string text(10 << 20, 'x');
  for (size_t i = 80; i < text.size(); i += 81) text[i] = '\n';
  struct Case {
    const char* name;
    Pass pass;
    std::string hostile;
    std::string after;  // an item of the same pass behind it, found
    Spans inside = {};  // items the hostile bytes still hold
  };
  const std::vector<Case> cases = {
      {"svg left open over 10 MB of text", &strellSVG, "<svg width=\"1\">" + text, *svg_},
      {"svg starts every 80 bytes, none closed", &strellSVG,
       [] {
         std::string s;
         while (s.size() < (4 << 20)) s += "<svg>" + std::string(75, 'y');
         return s;
       }(),
       *svg_},
      {"emf record of size 0", &strellEMF, patched(emf, 112, LE32(0)), emf},
      {"emf record of size 2^32 - 4", &strellEMF, patched(emf, 112, LE32(0xFFFFFFFC)), emf},
      {"emf byte count disagreeing with its records", &strellEMF,
       patched(emf, 48, LE32(static_cast<uint32_t>(emf.size() + 4))), emf},
      {"wmf record past the end", &strellWMF, patched(wmf, 22 + 18, LE32(0x7FFFFFFF)), wmf},
      {"wmf file size past the end", &strellWMF, patched(wmf, 22 + 6, LE32(0x7FFFFFFF)), wmf},
      // The standard metafile behind a placeable header that does not
      // check is still one.
      {"wmf placeable checksum wrong",
       &strellWMF,
       patched(wmf, 20, "\xAB\xCD"),
       wmf,
       {{22, wmf.size() - 22}}},
      {"jxl codestream of 2^30 x 2^30 pixels", &strellJXL, huge.bytes + SeededBytes(5000, 4),
       MadeBy(*dir_, "cjxl --container=1 a.png h.jxl", "h.jxl")},
      {"jxl codestream signatures two bytes apart", &strellJXL,
       [] {
         std::string s;
         while (s.size() < (4 << 20)) s += "\xFF\x0A";
         return s;
       }(),
       MadeBy(*dir_, "cjxl --container=1 a.png h.jxl", "h.jxl")},
      // Headers that hold, each over sections the decoder refuses.
      {"jxl codestreams with their sections overwritten, 4000 of them", &strellJXL,
       [] {
         std::string bad = MadeBy(*dir_, "cjxl a.png b.jxl", "b.jxl");
         const JxlHeaderCheck check = CheckJxlCodestreamHeaders(
             reinterpret_cast<const uint8_t*>(bad.data()), bad.size(), 1 << 24);
         EXPECT_EQ(check.end, JxlWalkEnd::kLastFrame);
         std::fill(bad.begin() + 40, bad.end(), '\x55');
         std::string s;
         for (int i = 0; i < 4000; ++i) s += bad;
         return s;
       }(),
       MadeBy(*dir_, "cjxl --container=1 a.png h.jxl", "h.jxl")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string data = c.hostile + SeededBytes(101, 5) + c.after + SeededBytes(50, 6);
    const uint64_t workBefore = tImageWalkWork;
    const auto start = std::chrono::steady_clock::now();
    const PassRun run = RunOnePass(c.pass, data, "/in/src.bin", true);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(tImageWalkWork - workBefore, 8 * data.size() + (uint64_t{1} << 23));
    EXPECT_LT(seconds, 10.0);
    Spans expected = c.inside;
    expected.emplace_back(data.size() - 50 - c.after.size(), c.after.size());
    EXPECT_EQ(SpansOf(run), expected);
    // The PNG behind the hostile bytes is still found by its own pass.
    const PassRun png = RunOnePass(&strellPNG, c.hostile + *png_ + "tail", "/in/src.bin", true);
    EXPECT_EQ(SpansOf(png), (Spans{{c.hostile.size(), png_->size()}}));
  }
}

}  // namespace
}  // namespace strellbox::test
