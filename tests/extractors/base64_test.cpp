// Mail attachments: the decoder, the finder's limits, header names, and real
// mailboxes written by Python's email package (LF and CR LF).
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <strings.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include "engine/classify.h"
#include "extractors/base64.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ItemRecorder;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Base64 of `bytes` by OpenSSL, in lines of 76 characters ending in `eol`.
std::string Encode(const std::string& bytes, const std::string& eol = "\n") {
  std::string one(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(one.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  one.resize(static_cast<size_t>(n));
  std::string out;
  for (size_t i = 0; i < one.size(); i += 76) out += one.substr(i, 76) + eol;
  return out;
}

// One message part: the headers after the keyword line, an empty line, the body.
std::string Part(const std::string& headers, const std::string& body,
                 const std::string& eol = "\n") {
  return "Content-Type: application/octet-stream" + eol + "Content-Transfer-Encoding: base64" +
         eol + headers + eol + body + eol + "--boundary--" + eol;
}

// A controller under the classic rules whose items are recorded, with a
// folder for writeFoundFiles.
struct Harness {
  TempDir dir;
  StrellController controller;
  ItemRecorder rec{controller};
  Harness() {
    controller.setExtendedDetection(false);
    controller.setStrellOutputDirectory((dir / "out").string());
  }
  int32_t run(const std::string& bytes) {
    return RunPass(controller, strellbox::strellBase64, Bytes(bytes), "x.mbox");
  }
};

TEST(Base64Decode, DecodesWithPaddingWhereverTheBlockEnds) {
  struct Case {
    const char* name;
    std::string in, out;
  } cases[] = {
      {"two pads", "QQ==", "A"},
      {"one pad", "QUI=", "AB"},
      {"no pad", "QUJD", "ABC"},
      {"pads then CR LF and a boundary", "QUJDQQ==\r\n\r\n-", "ABCA"},
      {"pad then LF and a boundary", "QUJDQUI=\n\n-", "ABCAB"},
      {"quoted lines and spaces skipped", "> QU\n> JD\n>", "ABC"},
      {"three pads drop nothing", "A===", std::string(3, '\0')},
      {"empty", "", ""},
      {"only pads", "==", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Base64Decode(Bytes(c.in)).view(), c.out) << c.name;
}

TEST(Base64Decode, RoundTripsEveryLengthWithBoundaryAfter) {
  for (size_t n = 0; n < 200; ++n) {
    const std::string bytes = RandomBytes(n, static_cast<uint32_t>(n));
    EXPECT_EQ(Base64Decode(Bytes(Encode(bytes, "\r\n") + "\r\n--b")).view(), bytes) << n;
  }
}

TEST(Base64Tables, LegalAndDataCharacters) {
  std::string legal, data;
  for (int c = 0; c < 256; ++c) {
    if (gIsLegalBase64[c]) legal.push_back(static_cast<char>(c));
    if (IsBase64(static_cast<uint8_t>(c))) data.push_back(static_cast<char>(c));
  }
  EXPECT_EQ(legal, "\n\r +/0123456789=>ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(data, "+/0123456789=ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(Base64Lookup('A'), 0);
  EXPECT_EQ(Base64Lookup('a'), 26);
  EXPECT_EQ(Base64Lookup('0'), 52);
  EXPECT_EQ(Base64Lookup('/'), 63);
  EXPECT_EQ(Base64Lookup('='), 0);
}

TEST(ISOClean, RemovesOnlyTheLatin1Prefix) {
  EXPECT_EQ(ISOClean(std::nullopt), std::nullopt);
  EXPECT_EQ(ISOClean("=?iso-8859-1?Q?caf=E9"), "Q?caf=E9");
  EXPECT_EQ(ISOClean("=?ISO-8859-1?B?Y2Fm"), "B?Y2Fm");
  EXPECT_EQ(ISOClean("=?Iso-8859-1?Q?x"), "=?Iso-8859-1?Q?x");
  EXPECT_EQ(ISOClean("=?utf-8?Q?x"), "=?utf-8?Q?x");
  EXPECT_EQ(ISOClean("=?iso-8859-1?"), "");
}

TEST(StrellBase64, BlockOf256MeasuredBytesIsTooShort) {
  // The block takes in the byte that ends it: 255 legal bytes and a hyphen
  // measure 256, which is not enough.
  for (const size_t legal : {255u, 256u}) {
    Harness h;
    std::string body = Encode(RandomBytes(180, 2));  // 240 characters + 4 LF
    body += std::string(legal - body.size(), 'A');
    const std::string mail =
        "Content-Transfer-Encoding: base64\n\n" + body + "-" + std::string(300, '.');
    EXPECT_EQ(h.run(mail), legal == 256 ? 1 : 0) << legal;
  }
}

TEST(StrellBase64, RunWithoutKeywordNeedsFourCountedLines) {
  const std::string bytes = RandomBytes(1500, 3);
  const std::string lines = Encode(bytes);
  struct Case {
    const char* name;
    std::string text;
    int32_t items;
  } cases[] = {
      {"76-character lines", "Data:\n" + lines + "-- \n", 1},
      {"one endless line", "Data:" + lines.substr(0, 76) + std::string(3000, 'Q') + "\n-", 0},
      {"three long lines",
       "Data:" + std::string(3 * 100, 'Q').insert(100, "\n").insert(201, "\n") + "\n-", 0},
  };
  for (const auto& c : cases) {
    Harness h;
    EXPECT_EQ(h.run(c.text), c.items) << c.name;
    if (c.items == 1) {
      ASSERT_EQ(h.rec.items().size(), 1u);
      EXPECT_EQ(h.rec.items()[0].bytes, bytes) << c.name;  // decoded from the run's start
      EXPECT_EQ(h.rec.items()[0].original, "Strell");
    }
  }
}

// The run finder byte by byte, as the rule reads, for inputs without the
// keyword: every block found, decoded.
std::vector<std::string> RunsByTheRule(const std::string& b) {
  auto legal = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || strchr("+/=\n\r >", c);
  };
  std::vector<std::string> blocks;
  const size_t n = b.size();
  for (size_t position = 0; n > 100 && position < n - 8;) {
    size_t r = 0, k = 0, s = 0, at = 0;
    for (size_t i = position; i < n - 8 && !at; ++i) {
      if (r > 256 && k >= 4 && k <= 19)
        at = i;
      else if (!legal(b[i]))
        r = k = 0;
      else {
        if (r++ == 0) s = i;
        if ((b[i] == '\n' || b[i] == '\r') && r > 32 * k + 1) ++k;
      }
    }
    if (!at) break;
    size_t end = at;
    while (end < n && legal(b[end])) ++end;
    if (end < n) ++end;
    blocks.emplace_back(Base64Decode(Bytes(b.substr(s, end - s))).view());
    position = end;
  }
  return blocks;
}

TEST(StrellBase64, RunFinderMatchesTheRuleOnRandomText) {
  // Base64 blocks by OpenSSL (LF, CR LF and quoted lines) among runs of
  // words too short for the rule, each piece ended by a byte outside the
  // alphabet: the pass finds every block long enough for the run rule, as
  // the rule byte by byte does, and no text.
  std::mt19937 rng(9);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
  const std::string between[] = {"\n", "\r\n", " ", ">", "\n> "};
  const std::string ends[] = {"-", ":", "\x01"};
  const std::string eols[] = {"\n", "\r\n", "\n> "};
  for (int round = 0; round < 300; ++round) {
    std::string text;
    std::vector<std::string> blocks;
    const size_t size = 2000 + rng() % 20000;
    while (text.size() < size) {
      if (rng() % 3 == 0) {
        const bool big = rng() % 2;
        const std::string bytes =
            RandomBytes(big ? 400 + rng() % 1500 : 1 + rng() % 150, static_cast<uint32_t>(rng()));
        text += Encode(bytes, eols[rng() % 3]);
        if (big) blocks.push_back(bytes);
      } else {
        const size_t length = rng() % 200;
        for (size_t start = text.size(); text.size() - start < length;) {
          for (size_t k = 1 + rng() % 12; k > 0; --k) text += alphabet[rng() % alphabet.size()];
          text += between[rng() % 5];
        }
      }
      text += ends[rng() % 3];
    }
    ASSERT_EQ(strcasestr(text.c_str(), "base64"), nullptr);
    Harness h;
    h.run(text);
    std::vector<std::string> got;
    for (const auto& item : h.rec.items()) got.push_back(item.bytes);
    EXPECT_EQ(got, blocks) << "round " << round;
    EXPECT_EQ(RunsByTheRule(text), blocks) << "round " << round;
  }
}

TEST(StrellBase64, NamesFromHeaderFields) {
  const std::string png = "\x89PNG\r\n\x1a\n" + RandomBytes(600, 4);
  const std::string bin = "\x01\x02" + RandomBytes(600, 5);
  const std::string pngLines = Encode(png), binLines = Encode(bin);
  struct Case {
    const char* name;
    std::string mail;
    std::string original, type;
  } cases[] = {
      {"quoted filename, type from the bytes",
       Part("Content-Disposition: attachment; filename=\"photo.jpg\"\n", pngLines), "photo", "png"},
      {"unquoted filename ends at LF",
       Part("Content-Disposition: attachment; filename=a.bin\n", binLines), "a", ""},
      {"CR of a CR LF line is not part of the name",
       Part("Content-Disposition: attachment; filename=a.bin\r\n", Encode(bin, "\r\n"), "\r\n"),
       "a", ""},
      {"two extensions keep the last", Part("X: y; filename=\"a.tar.gz\"\n", binLines), "a.tar",
       "gz"},
      {"description", Part("Content-Description: holiday pics\r\n", Encode(bin, "\r\n"), "\r\n"),
       "holiday pics", ""},
      {"location", Part("Content-Location: http://h/dir/pic.gif\n", pngLines), "http://h/dir/pic",
       "png"},
      {"64-byte filename gives way to the description",
       Part("Content-Description: short\nX: filename=\"" + std::string(64, 'n') + "\"\n", binLines),
       "short", ""},
      {"63-byte filename is kept", Part("X: filename=\"" + std::string(63, 'n') + "\"\n", binLines),
       std::string(63, 'n'), ""},
      {"filename before the keyword, in the same header block",
       "Content-Disposition: attachment; filename=\"early.bin\"\n" + Part("", binLines), "early",
       ""},
      {"filename of another part's header block is not used",
       "Content-Disposition: attachment; filename=\"other.bin\"\n\nhello\n--boundary\n" +
           Part("", binLines),
       "Strell", ""},
      {"encoded word", Part("X: filename=\"=?iso-8859-1?Q?caf=E9.txt?=\"\n", binLines), "Q?caf=E9",
       ""},
      {"10000-byte filename gives no name",
       Part("X: filename=\"" + std::string(10000, 'n') + "\"\n", binLines), "Strell", ""},
  };
  for (const auto& c : cases) {
    Harness h;
    EXPECT_EQ(h.run(c.mail), 1) << c.name;
    ASSERT_EQ(h.rec.items().size(), 1u) << c.name;
    const auto& item = h.rec.items()[0];
    EXPECT_EQ(item.original, c.original) << c.name;
    EXPECT_EQ(item.type, c.type) << c.name;
    EXPECT_TRUE(item.bytes == (c.type == "png" ? png : bin)) << c.name;
  }
}

TEST(StrellBase64, AShortPartKeepsItsNameToItself) {
  // The first part's body is too short to be reported; its name names
  // nothing else, neither a block found without a keyword nor the next part.
  const std::string big = "\x01" + RandomBytes(900, 6);
  Harness h;
  const std::string mail = Part("X: filename=\"first.dat\"\n", Encode("short")) +
                           std::string(300, '.') + "\nData:\n" + Encode(big) + "-\n" +
                           Part("\n", Encode(big + "2"));
  EXPECT_EQ(h.run(mail), 2);
  ASSERT_EQ(h.rec.items().size(), 2u);
  EXPECT_EQ(h.rec.items()[0].original, "Strell");
  EXPECT_EQ(h.rec.items()[0].bytes, big);
  EXPECT_EQ(h.rec.items()[1].original, "Strell");
  EXPECT_EQ(h.rec.items()[1].foundNo, 1);
}

TEST(StrellBase64, EmptyLineFormsInLfAndCrLfMail) {
  const std::string bytes = "\x01" + RandomBytes(700, 7);
  struct Case {
    const char* name;
    std::string mail;
  } cases[] = {
      {"LF LF", "Content-Transfer-Encoding: base64\n\n" + Encode(bytes) + "--b\n"},
      {"CR LF CR LF",
       "Content-Transfer-Encoding: base64\r\n\r\n" + Encode(bytes, "\r\n") + "\r\n--b\r\n"},
      {"quoted LF", "> Content-Transfer-Encoding: base64\n>\n> " + Encode(bytes, "\n> ") + "--b\n"},
      {"quoted CR LF",
       "> Content-Transfer-Encoding: base64\r\n>\r\n> " + Encode(bytes, "\r\n> ") + "--b\r\n"},
      {"twice quoted LF",
       ">> Content-Transfer-Encoding: base64\n>>\n>> " + Encode(bytes, "\n>> ") + "--b\n"},
      {"twice quoted CR LF",
       ">> Content-Transfer-Encoding: base64\r\n>>\r\n>> " + Encode(bytes, "\r\n>> ") + "--b\r\n"},
  };
  for (const auto& c : cases) {
    Harness h;
    EXPECT_EQ(h.run(c.mail), 1) << c.name;
    ASSERT_EQ(h.rec.items().size(), 1u) << c.name;
    EXPECT_EQ(h.rec.items()[0].bytes, bytes) << c.name;
  }
}

TEST(StrellBase64, ManyUnnamedAttachmentsStayLinear) {
  // Every keyword looks ahead for three header fields that never come; a
  // search that started over at each keyword would read the rest of the
  // mailbox each time and not finish within the test's time limit.
  constexpr int kParts = 50000;
  const std::string body = Encode(RandomBytes(300, 8));
  std::string mail;
  mail.reserve(kParts * (body.size() + 80));
  for (int k = 0; k < kParts; ++k) mail += Part("", body);
  Harness h;
  h.controller.setDontSaveDuplicates(false);
  EXPECT_EQ(h.run(mail), kParts);
  ASSERT_EQ(h.rec.items().size(), static_cast<size_t>(kParts));
  EXPECT_EQ(h.rec.items().back().foundNo, kParts - 1);
}

TEST(StrellBase64, EndlessInputsEndInOnePass) {
  Harness h;
  // 100 MB of one Base64 line, then a keyword whose header never ends.
  std::string line(100'000'000, 'Q');
  EXPECT_EQ(h.run(line), 0);
  std::string open =
      "Content-Transfer-Encoding: base64\nX: filename=\"" + std::string(1 << 20, 'n');
  EXPECT_EQ(h.run(open), 0);
  // After the keyword, the endless line (whole groups) is one block.
  line.append(3, 'Q');
  line.replace(0, 35, "Content-Transfer-Encoding: base64\n\n");
  EXPECT_EQ(h.run(line), 1);
  ASSERT_EQ(h.rec.items().size(), 1u);
  EXPECT_EQ(h.rec.items()[0].length, (100'000'003 - 35) / 4 * 3);
}

TEST(StrellBase64, WritesEachItemAtOnceAndReportsProgressOnLargeBuffers) {
  // No recorder: items go to the store, and the pass itself writes them.
  TempDir dir;
  test::RecordingDisplay display;
  StrellController c(&display);
  c.setExtendedDetection(false);
  c.setStrellOutputDirectory((dir / "out").string());
  const std::string a = "\x01" + RandomBytes(1'000'000, 30), b = "\x02" + RandomBytes(600'000, 31);
  const std::string mail = Part("X: filename=\"a.bin\"\n", Encode(a)) + Part("", Encode(b));
  ASSERT_GT(mail.size(), 2'000'000u);
  EXPECT_EQ(RunPass(c, strellbox::strellBase64, Bytes(mail), "box.mbox"), 2);
  EXPECT_EQ(test::ListFiles(dir / "out"), (std::vector<std::string>{"Strell", "a"}));
  EXPECT_EQ(display.written().size(), 2u);
  // After each item: the end of its block (the boundary's first hyphen
  // included) shared out over the passes.
  const uint64_t passes = static_cast<uint64_t>(c.fileTypeCount());
  const uint64_t end1 = mail.find("--boundary--") + 1;
  const uint64_t end2 = mail.find("--boundary--", end1) + 1;
  EXPECT_EQ(display.progress(), (std::vector<double>{static_cast<double>(end1 / passes),
                                                     static_cast<double>(end2 / passes)}));
}

// --- Real mail -------------------------------------------------------------

// Runs the mail writer for a scenario into `dir`; returns the attachments.
// The images that the mail writer attaches, made once by ImageMagick.
const TempDir& ImageDir() {
  static const TempDir dir;
  const std::pair<const char*, const char*> images[] = {
      {"photo.jpg", "64x48 gradient:red-blue"}, {"inside.png", "40x30 gradient:orange-navy"}};
  for (const auto& [file, spec] : images) {
    if (fs::exists(dir / file)) continue;
    const std::string cmd = fmt::format("convert -size {} '{}'", spec, (dir / file).string());
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  return dir;
}

std::vector<std::string> MakeMail(const TempDir& dir, const std::string& scenario, bool crlf) {
  const TempDir& images = ImageDir();
  // The system's interpreter starts fastest (and has the yEnc encoder);
  // any python3 on the path serves for the rest.
  const char* python = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
  const std::string cmd =
      fmt::format("{} '{}/tests/extractors/make_mail.py' '{}' {} --jpeg '{}' --png '{}' {}", python,
                  STRELLBOX_SOURCE_DIR, dir.str(), scenario, (images / "photo.jpg").string(),
                  (images / "inside.png").string(), crlf ? "--crlf" : "");
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::vector<std::string> atts;
  for (int k = 0; fs::exists(dir / fmt::format("att-{}.bin", k)); ++k)
    atts.push_back(ReadFile(dir / fmt::format("att-{}.bin", k)));
  return atts;
}

// The file names the mail writer's headers give, in attachment order.
std::vector<std::string> HeaderNames(const TempDir& dir) {
  std::vector<std::string> names;
  std::istringstream lines(ReadFile(dir / "names.txt"));
  for (std::string line; std::getline(lines, line);) names.push_back(line);
  return names;
}

struct Expected {
  std::string original, type;
  int32_t foundNo;
};

TEST(StrellBase64, RealMailboxesYieldEveryAttachment) {
  const std::map<std::string, std::vector<Expected>> scenarios = {
      {"named",
       {{"photo", "jpg", 0},
        {"report", "pdf", 0},
        {"data", "", 0},
        {"archive.tar", "gz", 0},
        {"Q?caf=E9", "", 0}}},
      {"unnamed", {{"Strell", "", 0}, {"Strell", "", 1}, {"Strell", "", 2}}},
      {"quoted", {{"report", "pdf", 0}, {"report", "pdf", 0}}},
      {"run", {{"Strell", "", 0}}},
  };
  for (const auto& [scenario, expected] : scenarios) {
    for (const bool crlf : {false, true}) {
      const std::string what = scenario + (crlf ? " CR LF" : " LF");
      TempDir dir;
      const std::vector<std::string> atts = MakeMail(dir, scenario, crlf);
      ASSERT_EQ(atts.size(), expected.size()) << what;
      Harness h;
      h.controller.setDontSaveDuplicates(false);
      const Buffer box = Buffer::readFile(dir / "mail.mbox");
      EXPECT_EQ(RunPass(h.controller, strellbox::strellBase64, box, "mail.mbox"),
                static_cast<int32_t>(atts.size()))
          << what;
      ASSERT_EQ(h.rec.items().size(), atts.size()) << what;
      for (size_t k = 0; k < atts.size(); ++k) {
        const auto& item = h.rec.items()[k];
        EXPECT_TRUE(item.bytes == atts[k]) << what << " attachment " << k;
        EXPECT_EQ(item.original, expected[k].original) << what << " " << k;
        EXPECT_EQ(item.type, expected[k].type) << what << " " << k;
        EXPECT_EQ(item.foundNo, expected[k].foundNo) << what << " " << k;
      }
    }
  }
}

// --- Whole jobs --------------------------------------------------------------

// Runs one job over `input` with only the Base64 pass, into a folder under
// `root`; returns the output folder.
fs::path RunJob(StrellController& c, const TempDir& root, const fs::path& input) {
  c.setAllScans(false);
  c.setScanFor(PassId::kBase64, true);
  c.setSaveRadioChosen(2);
  c.setSaveFolder(root.str());
  c.threadStrell({input.string()});
  c.waitUntilIdle();
  return root / (input.stem().string() + " Strell");
}

TEST(StrellBase64Job, WritesTheAttachmentsOfACrLfMailbox) {
  TempDir dir;
  const std::vector<std::string> atts = MakeMail(dir, "named", true);
  TempDir root;
  StrellController c;
  c.setExtendedDetection(false);
  const fs::path out = RunJob(c, root, dir / "mail.mbox");
  EXPECT_EQ(test::ListFiles(out), (std::vector<std::string>{"Q?caf=E9", "archive.gz", "data",
                                                            "photo.jpg", "report.pdf"}));
  EXPECT_TRUE(ReadFile(out / "photo.jpg") == atts[0]);
  EXPECT_TRUE(ReadFile(out / "report.pdf") == atts[1]);
  EXPECT_TRUE(ReadFile(out / "data") == atts[2]);
  EXPECT_TRUE(ReadFile(out / "archive.gz") == atts[3]);
  EXPECT_TRUE(ReadFile(out / "Q?caf=E9") == atts[4]);
}

TEST(StrellBase64Job, HostileNamesStayInsideTheOutputFolder) {
  test::ScopedHome home;
  const std::vector<std::string> names = {
      "../../../escape.txt",
      "..",
      ".",
      "/etc/passwd",
      "dir/../../up",
      "ctl\x01\x1f\x7f.dat",
      std::string("nul\0byte.dat", 12),
      std::string(10000, 'L'),
  };
  std::string mail;
  for (size_t k = 0; k < names.size(); ++k)
    mail += Part("Content-Disposition: attachment; filename=\"" + names[k] + "\"\n",
                 Encode("\x01" + RandomBytes(400, 20 + static_cast<uint32_t>(k))));
  // Names as mail programs encode them: percent-encoded, as an encoded
  // word, absolute, and on a uuencode begin line (extended only).
  TempDir made;
  MakeMail(made, "hostile", false);
  mail += ReadFile(made / "mail.mbox");

  for (const bool extended : {false, true}) {
    TempDir root;
    fs::create_directories(root / "a" / "b");
    const fs::path input = root / "a" / "b" / "hostile.mbox";
    WriteFile(input, mail);
    StrellController c;
    c.setExtendedDetection(extended);
    const fs::path out = RunJob(c, root, input);
    EXPECT_EQ(test::ListFiles(out).size(), names.size() + (extended ? 4 : 3)) << extended;
    // Nothing but the input and the output folder's files anywhere under root.
    for (const auto& e : fs::recursive_directory_iterator(root.path())) {
      if (e.is_directory()) continue;
      const bool inOut = e.path().parent_path() == out;
      EXPECT_TRUE(inOut || e.path() == input) << e.path();
    }
    EXPECT_FALSE(fs::exists(root / "escape.txt"));
    EXPECT_FALSE(fs::exists(root / "a" / "escape.txt"));
    EXPECT_FALSE(fs::exists(root / "x"));
    EXPECT_FALSE(fs::exists("/abs/x"));
  }
}

// The layouts that today's mail programs write, LF and CR LF. The classic
// rules find the listed attachments byte-exact (under their classic names
// where given); extended detection writes every attachment byte-exact under
// its header's name.
TEST(StrellBase64Job, LayoutsOfTodaysMailPrograms) {
  test::ScopedHome home;
  struct Case {
    const char* scenario;
    std::vector<std::pair<size_t, std::string>> classic;  // attachment, name ("": any)
  } cases[] = {
      {"disposition-first", {{0, "holiday"}, {1, "minutes"}}},
      {"small-first", {{1, "issue"}}},  // the 150-byte part is below the classic size
      {"capitals", {{0, "scan"}}},
      {"forward", {{0, "plan"}, {1, "notes"}}},
      {"qp", {{0, "words"}}},  // and nothing from the quoted-printable body
      {"names", {{0, ""}, {1, ""}, {2, ""}, {3, ""}, {4, ""}, {5, ""}, {6, ""}, {7, ""}}},
      {"uuencode", {}},
      {"yenc", {}},
  };
  for (const auto& c : cases) {
    for (const bool crlf : {false, true}) {
      const std::string what = std::string(c.scenario) + (crlf ? " CR LF" : " LF");
      TempDir dir;
      const std::vector<std::string> atts = MakeMail(dir, c.scenario, crlf);
      const std::vector<std::string> names = HeaderNames(dir);
      ASSERT_EQ(names.size(), atts.size()) << what;

      Harness h;
      h.controller.setDontSaveDuplicates(false);
      RunPass(h.controller, strellbox::strellBase64, Buffer::readFile(dir / "mail.mbox"),
              "mail.mbox");
      ASSERT_EQ(h.rec.items().size(), c.classic.size()) << what;
      for (size_t k = 0; k < c.classic.size(); ++k) {
        EXPECT_TRUE(h.rec.items()[k].bytes == atts[c.classic[k].first]) << what << " " << k;
        if (!c.classic[k].second.empty()) {
          EXPECT_EQ(h.rec.items()[k].original, c.classic[k].second) << what << " " << k;
        }
      }

      TempDir root;
      StrellController job;
      job.setExtendedDetection(true);
      const fs::path out = RunJob(job, root, dir / "mail.mbox");
      std::vector<std::string> want;
      for (const std::string& name : names) want.push_back(fs::path(name).filename().string());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(test::ListFiles(out), want) << what;
      for (size_t k = 0; k < names.size(); ++k)
        EXPECT_TRUE(ReadFile(out / fs::path(names[k]).filename()) == atts[k]) << what << " " << k;
    }
  }
}

// With extended detection an attachment is scanned again as a file: the
// image inside a zip attachment comes out; and the attachment being one
// image does not end the passes over the mailbox (a GIF standing in it
// after that attachment is still found).
TEST(StrellBase64Job, AttachmentsAreScannedAgain) {
  test::ScopedHome home;
  const std::string png = ReadFile(ImageDir() / "inside.png");
  TempDir dir;
  const std::vector<std::string> atts = MakeMail(dir, "zip", false);
  TempDir gifDir;
  const std::string makeGif =
      fmt::format("convert -size 20x10 gradient:green-white '{}/a.gif'", gifDir.str());
  ASSERT_EQ(std::system(makeGif.c_str()), 0);
  const std::string gif = ReadFile(gifDir / "a.gif");
  const std::string mailbox =
      ReadFile(dir / "mail.mbox") +
      Part("Content-Disposition: attachment; filename=\"one.png\"\n", Encode(png)) + "\n" + gif +
      "\n";
  TempDir root;
  WriteFile(root / "box.mbox", mailbox);
  for (const bool extended : {false, true}) {
    test::RecordingDisplay display;
    StrellController c(&display);
    c.setExtendedDetection(extended);
    c.setSaveRadioChosen(2);
    c.setSaveFolder(root.str());
    c.threadStrell({(root / "box.mbox").string()});
    c.waitUntilIdle();
    std::vector<std::string> pngs;
    bool zip = false, gifFound = false;
    for (const auto& w : display.written()) {
      const std::string bytes = ReadFile(w.path);
      zip = zip || bytes == atts[0];
      gifFound = gifFound || bytes == gif;
      if (bytes != png) continue;
      pngs.push_back(w.name);
      ASSERT_FALSE(w.origin.chain.empty());
      EXPECT_EQ(w.origin.chain[0].decoder, "base64");
    }
    EXPECT_TRUE(zip) << extended;
    EXPECT_TRUE(gifFound) << extended;
    // Written once (duplicates are dropped): from the zip with extended
    // detection, else only as the second attachment.
    EXPECT_EQ(pngs, std::vector<std::string>{extended ? "photos.png" : "one.png"}) << extended;
  }
}

// Every byte value at every place of a 32-byte block, with and without
// line breaks counting as stops.
TEST(Base64Tables, LegalSpansEndAtTheFirstIllegalByte) {
  for (int c = 0; c < 256; ++c) {
    const bool lineBreak = c == '\n' || c == '\r';
    for (size_t at = 0; at < 70; ++at) {
      std::string text(80, 'Q');
      text[at] = static_cast<char>(c);
      const bool legal = gIsLegalBase64[static_cast<uint8_t>(c)];
      for (const bool stopAtLineBreaks : {false, true}) {
        const bool stops = !legal || (stopAtLineBreaks && lineBreak);
        ASSERT_EQ(LegalBase64End(text, 0, text.size(), stopAtLineBreaks), stops ? at : 80)
            << c << " at " << at;
        ASSERT_EQ(LegalBase64End(text, at + 1, 75, stopAtLineBreaks), 75u);
      }
    }
  }
}

// The finder against the byte-by-byte rule it skips ahead of: from every
// start offset of texts mixing Base64 lines, short words, separators and the
// keyword, the same candidate (place, run length and, for long runs, start).
TEST(Base64Finder, SkippingFindsWhatTheByteByByteRuleFinds) {
  auto rule = [](const std::string& b, uint64_t from, uint64_t limit) {
    Base64Candidate c;
    uint64_t r = 0, k = 0, s = 0;
    for (uint64_t i = from; i < limit; ++i) {
      if (r > 256 && k >= 4 && k <= 19) return Base64Candidate{i, r, s};
      if (i + 6 <= b.size() && strncasecmp(b.c_str() + i, "base64", 6) == 0)
        return Base64Candidate{i, r, s};
      if (!gIsLegalBase64[static_cast<uint8_t>(b[i])]) {
        r = k = 0;
        continue;
      }
      if (r++ == 0) s = i;
      if ((b[i] == '\n' || b[i] == '\r') && r > 32 * k + 1) ++k;
    }
    return c;
  };
  std::mt19937 rng(21);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
  const std::string between[] = {"\n", "\r\n",   " ",    ">",      "\n> ",
                                 "-",  "base64", "\x01", "BaSE64", ":"};
  for (int round = 0; round < 200; ++round) {
    std::string text;
    const size_t size = 1000 + rng() % 6000;
    const size_t longest = 8 + rng() % 120;
    while (text.size() < size) {
      for (size_t k = rng() % longest; k > 0; --k) text += alphabet[rng() % alphabet.size()];
      // Now and then any byte at all, to try every class.
      if (rng() % 4 == 0)
        text += static_cast<char>(rng() % 256);
      else
        text += between[rng() % (rng() % 3 == 0 ? 10 : 5)];
    }
    const uint64_t limit = text.size() - 8;
    const Buffer data = Bytes(text);
    Base64Finder finder(data, limit);
    // Offsets only grow, as in the pass; some steps are long, some short.
    for (uint64_t from = 0; from < limit; from += 1 + rng() % (rng() % 2 ? 300 : 7)) {
      const Base64Candidate want = rule(text, from, limit), got = finder.next(from);
      ASSERT_EQ(got.at, want.at) << "round " << round << " from " << from;
      if (want.at == Buffer::npos) continue;
      // Only a run of at least 256 bytes decides the block.
      ASSERT_EQ(got.runLength > 255, want.runLength > 255) << round << " " << from;
      if (want.runLength > 255) {
        EXPECT_EQ(got.runLength, want.runLength) << round << " " << from;
        EXPECT_EQ(got.runStart, want.runStart) << round << " " << from;
      }
    }
  }
}

}  // namespace
}  // namespace strellbox
