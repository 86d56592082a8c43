// The pieces of mail the attachment pass reads: header blocks and the names
// in them, uuencoded and yEnc files (made by Python's binascii and yenc).
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "extractors/mime_header.h"
#include "extractors/uuencode.h"
#include "extractors/yenc.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ReadFile;
using test::TempDir;

TEST(MimeHeader, ParameterValuesBecomeUtf8Names) {
  struct Case {
    const char* name;
    std::string value;
    std::optional<std::string> want;
  } cases[] = {
      {"quoted", "attachment; filename=\"a b.pdf\"", "a b.pdf"},
      {"unquoted, spaces kept", "attachment; filename=my file.pdf ; size=3", "my file.pdf"},
      {"backslash escapes", R"(attachment; filename="say \"hi\".txt")", "say \"hi\".txt"},
      {"parameter name in any case", "attachment; FileName=x.bin", "x.bin"},
      {"a semicolon inside quotes", "attachment; filename=\"a;b.txt\"", "a;b.txt"},
      {"no such parameter", "attachment; name=x.bin", std::nullopt},
      {"extended UTF-8", "attachment; filename*=utf-8''caf%C3%A9.pdf", "caf\xC3\xA9.pdf"},
      {"extended before plain", "attachment; filename=old.pdf; filename*=UTF-8''new.pdf",
       "new.pdf"},
      {"continued, mixed sections, out of order",
       "attachment; filename*1=\" Teil\"; filename*0*=utf-8''%C3%9Cber; filename*2*=%20eins.pdf",
       "\xC3\x9C"
       "ber Teil eins.pdf"},
      {"a gap ends the sections", "attachment; filename*0=a; filename*2=c", "a"},
      {"ISO-8859-1", "attachment; filename*=iso-8859-1'fr'r%E9sum%E9.doc",
       "r\xC3\xA9sum\xC3\xA9.doc"},
      {"windows-1252 through iconv", "attachment; filename*=windows-1252''%80 price.txt",
       "\xE2\x82\xAC price.txt"},
      {"Shift_JIS through iconv", "attachment; filename*=shift_jis''%93%FA%96%7B.txt",
       "\xE6\x97\xA5\xE6\x9C\xAC.txt"},
      {"unknown charset: the bytes as Latin-1", "attachment; filename*=x-none''%E9.txt",
       "\xC3\xA9.txt"},
      {"bad percent escape stays", "attachment; filename*=utf-8''100%ZZ.txt", "100%ZZ.txt"},
      {"encoded word, B", "attachment; filename=\"=?utf-8?B?Y2Fmw6kucGRm?=\"", "caf\xC3\xA9.pdf"},
      {"encoded words, Q, space between them goes",
       "attachment; filename=\"=?utf-8?q?na=C3=AFve?= =?utf-8?Q?_notes.txt?=\"",
       "na\xC3\xAFve notes.txt"},
      {"encoded word in Latin-1 with a language", "x; filename=\"=?ISO-8859-1*fr?Q?caf=E9.txt?=\"",
       "caf\xC3\xA9.txt"},
      {"broken encoded word stays as it stands", "x; filename=\"=?utf-8?X?abc?=.txt\"",
       "=?utf-8?X?abc?=.txt"},
      {"raw UTF-8 bytes", "attachment; filename=\"\xC3\xA9t\xC3\xA9.txt\"",
       "\xC3\xA9t\xC3\xA9.txt"},
      {"raw Latin-1 bytes", "attachment; filename=\"\xE9t\xE9.txt\"", "\xC3\xA9t\xC3\xA9.txt"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParameterValue(c.value, "filename"), c.want) << c.name;
  }
  // A name continued over more sections than any real one stays bounded.
  std::string many = "attachment";
  for (int k = 0; k < 200; ++k) many += fmt::format("; filename*{}={}", k, std::string(50, 'n'));
  EXPECT_LE(ParameterValue(many, "filename")->size(), kMaxHeaderName);
}

TEST(MimeHeader, TheBlockOfAPartIsItsOwnWhereverItsFieldsStand) {
  const std::string text =
      "--b\n"
      "Content-Disposition: attachment; filename=\"first.pdf\"\n"
      "\n"
      "body one\n"
      "--b\n"
      "> Content-Disposition: attachment;\n"
      ">  filename*0=\"second\"; filename*1=\".png\"\n"
      "> Content-Type: image/png; name=\"other.png\"\n"
      "> Content-Description: =?utf-8?Q?Gr=C3=BC=C3=9Fe?=\n"
      "> Content-Transfer-Encoding: BASE64\n"
      ">\n"
      "> iVBORw0KGgo=\n";
  const Buffer b = Bytes(text);
  const uint64_t keyword = text.find("BASE64");
  const uint64_t blank = text.find("\n>\n");
  // The block starts after the boundary line, never in the part before it.
  const uint64_t start = HeaderBlockStart(b, keyword, 0);
  EXPECT_EQ(start, text.find("> Content-Disposition"));
  // It ends before the blank line, quoted or not.
  uint64_t body = 0;
  EXPECT_TRUE(BlankLineAt(b, blank + 1, &body));
  EXPECT_EQ(body, text.find("> iVBOR"));
  EXPECT_FALSE(BlankLineAt(b, text.find("body one"), nullptr));
  const PartHeader header = ReadPartHeader(b.view(start, blank - start));
  EXPECT_EQ(header.transferEncoding, "base64");
  EXPECT_EQ(header.filename, "second.png");
  EXPECT_EQ(header.name, "other.png");
  EXPECT_EQ(header.description,
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  // The walk back stops at the end of the part looked at last, and a line
  // that end cuts is not part of the block.
  EXPECT_EQ(HeaderBlockStart(b, keyword, text.find("Type:")), text.find("> Content-Description"));
  // Without a blank line or boundary before it, the block runs back to the
  // buffer's start.
  EXPECT_EQ(HeaderBlockStart(Bytes("Subject: x\nContent-Type: a/b\n"), 15, 0), 0u);
}

// Runs the mail writer for a scenario and returns the mailbox.
std::string Mailbox(const TempDir& dir, const std::string& scenario) {
  const char* python = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
  const std::string cmd = fmt::format("{} '{}/tests/extractors/make_mail.py' '{}' {}", python,
                                      STRELLBOX_SOURCE_DIR, dir.str(), scenario);
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  return ReadFile(dir / "mail.mbox");
}

// Each file decodes from its header line; every damage makes it nothing.
TEST(MailParts, DamagedFilesAreNotDecoded) {
  TempDir uuDir, yDir;
  const std::string uu = Mailbox(uuDir, "uuencode");
  const std::string ye = Mailbox(yDir, "yenc");
  const std::string uuFile = ReadFile(uuDir / "att-0.bin");
  const std::string yFile = ReadFile(yDir / "att-0.bin");
  const std::string yParts = ReadFile(yDir / "att-1.bin");

  auto uuAt = [](const std::string& box) -> std::optional<std::string> {
    const Buffer b = Bytes(box);
    const uint64_t p = FindUuencodeBegin(b, 0);
    if (p == Buffer::npos) return std::nullopt;
    auto part = DecodeUuencode(b, p);
    if (!part) return std::nullopt;
    return std::string(part->decoded.view()) + "|" + part->name;
  };
  auto yAt = [](const std::string& box, uint64_t from) -> std::optional<std::string> {
    const Buffer b = Bytes(box);
    const uint64_t p = FindYencBegin(b, from);
    if (p == Buffer::npos) return std::nullopt;
    auto part = DecodeYenc(b, p);
    if (!part) return std::nullopt;
    return std::string(part->decoded.view()) + "|" + part->name;
  };
  auto replaced = [](std::string s, const std::string& from, const std::string& to) {
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
  };
  const size_t uuData = uu.find('\n', uu.find("begin 644")) + 1;
  const size_t yData = ye.find('\n', ye.find("=ybegin")) + 1;

  EXPECT_EQ(uuAt(uu), uuFile + "|diagram.png");
  EXPECT_EQ(yAt(ye, 0), yFile + "|poster.png");
  EXPECT_EQ(yAt(ye, ye.find("[1/2]")), yParts + "|album.pdf");
  struct Case {
    const char* name;
    std::optional<std::string> got;
  } damaged[] = {
      {"uu: no end line", uuAt(replaced(uu, "`\nend\n", "`\n"))},
      {"uu: a line cut short", uuAt(std::string(uu).erase(uuData + 30, 10))},
      {"uu: a byte outside the alphabet", uuAt(std::string(uu).replace(uuData + 5, 1, "~"))},
      {"yEnc: a changed byte", yAt(std::string(ye).replace(yData + 7, 1, "#"), 0)},
      {"yEnc: size that disagrees", yAt(replaced(ye, "=yend size=5000", "=yend size=4999"), 0)},
      {"yEnc: no end line", yAt(replaced(ye, "=yend size=5000", "x"), 0)},
      {"yEnc: second part missing",
       yAt(replaced(ye, "=ybegin part=2", "=ybegin-part=2"), ye.find("[1/2]"))},
      {"yEnc: second part alone", yAt(ye, ye.find("[2/2]"))},
  };
  for (const auto& c : damaged) EXPECT_EQ(c.got, std::nullopt) << c.name;
  // A begin line without a name is none; the next file is still found.
  EXPECT_EQ(uuAt(replaced(uu, "begin 644 diagram.png", "begin 644 ")),
            ReadFile(uuDir / "att-1.bin") + "|short notes.pdf");
}

}  // namespace
}  // namespace strellbox
