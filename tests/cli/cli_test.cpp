#include "cli/cli.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <fmt/format.h>
#include <chrono>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "cli/terminal_display.h"
#include "engine/decoder_table.h"
#include "engine/digest.h"
#include "engine/pass_table.h"
#include "engine/paths.h"
#include "engine/platform.h"
#include "engine/stderr_filter.h"
#include "extractors/base64.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

using test::TempDir;

struct CliRun {
  int status;
  std::string out, err;
};

CliRun Cli(std::vector<std::string> args) {
  args.insert(args.begin(), "strellbox-cli");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  int status = RunCli(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

TEST(Cli, UsageErrorsExitWithTwo) {
  TempDir dir;
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"scan"},
      {"frobnicate", dir.str()},
      {"scan", "--only", "pdf,gifs", dir.str()},
      {"scan", "--output", dir.str(), "--beside", dir.str()},
      {"scan", "--no-such-option", dir.str()},
      {"scan", "--min-pixels", "32by32", dir.str()},
      {"scan", "--min-pixels", "32x", dir.str()},
      {"scan", "--min-pixels", "x32", dir.str()},
      {"scan", "--min-pixels", "1234567890", dir.str()},
      {"scan", "--min-size", "ten", dir.str()},
      {"scan", "--report", "-", "--json", dir.str()},
  };
  for (const auto& args : cases) {
    CliRun r = Cli(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args) << r.err;
    EXPECT_FALSE(r.err.empty());
  }
}

TEST(Cli, HelpDocumentsEveryOption) {
  CliRun r = Cli({"scan", "--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* option :
       {"--output", "--beside", "--desktop", "--enable", "--disable", "--only", "--extended",
        "--jobs", "--keep-duplicates", "--json", "--list", "--quiet", "--verbose", "--report",
        "--md5", "--min-size", "--max-size", "--min-pixels"})
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  for (const char* key :
       {"pdf", "jpeg", "gif", "png", "flash", "base64", "bmp", "wav", "flate", "ascii", "html"})
    EXPECT_NE(r.out.find(key), std::string::npos) << key;
  CliRun v = Cli({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_NE(v.out.find("strellbox-cli "), std::string::npos);
}

TEST(Cli, MissingPathsAreNamedInOneWarningAndNoReadablePathIsAFailure) {
  test::ScopedHome home;
  TempDir dir;
  CliRun r = Cli({"scan", "--json", "--output", (dir / "out").string(), (dir / "nope").string(),
                  (dir / "gone").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("none of the paths given can be read"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("not found: " + (dir / "nope").string() + ", " + (dir / "gone").string()),
            std::string::npos)
      << r.err;
  auto summary = nlohmann::json::parse(r.out);
  EXPECT_EQ(summary["found"], 0);
  EXPECT_EQ(summary["written"], 0);
  EXPECT_TRUE(summary["output"].is_null());
  EXPECT_TRUE(summary["error"].is_null());
  EXPECT_EQ(summary["files_skipped"], 2);
}

TEST(Cli, JsonRowsNameEveryWrittenFileThenASummary) {
  test::ScopedHome home;
  TempDir dir;
  const std::string sample = std::string(STRELLBOX_SOURCE_DIR) + "/samples/embedded-media.dat";
  CliRun r = Cli({"scan", "--json", "--output", (dir / "out").string(), sample});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<nlohmann::json> rows;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) rows.push_back(nlohmann::json::parse(line));
  ASSERT_GE(rows.size(), 2u);
  const auto& summary = rows.back();
  EXPECT_EQ(summary["written"], static_cast<int>(rows.size() - 1));
  EXPECT_EQ(summary["output"], (dir / "out" / "embedded-media Strell").string());
  std::set<std::string> types;
  for (size_t i = 0; i + 1 < rows.size(); ++i) {
    const auto& row = rows[i];
    types.insert(row["type"].get<std::string>());
    EXPECT_EQ(row["source"], sample);
    EXPECT_EQ(std::filesystem::file_size(row["path"].get<std::string>()),
              row["size"].get<uint64_t>());
  }
  EXPECT_TRUE(types.count("png") && types.count("jpg") && types.count("gif")) << r.out;
}

TEST(Cli, AnOutputFolderThatCannotBeMadeExitsWithOne) {
  test::ScopedHome home;
  TempDir dir;
  test::WriteFile(dir / "plain-file", "not a folder");
  const std::string sample = std::string(STRELLBOX_SOURCE_DIR) + "/samples/embedded-media.dat";
  CliRun r = Cli({"scan", "--quiet", "--output", (dir / "plain-file").string(), sample});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Could not make a new folder for the strelled files. Check the preferences"),
            std::string::npos)
      << r.err;
}

// Rows of a --json run, the summary last.
std::vector<nlohmann::json> Rows(const std::string& out) {
  std::vector<nlohmann::json> rows;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) rows.push_back(nlohmann::json::parse(line));
  return rows;
}

std::string Sample(const std::string& name) {
  return std::string(STRELLBOX_SOURCE_DIR) + "/samples/" + name;
}

// A slice of the demo container: [from, from + length).
std::string SampleBytes(uint64_t from, uint64_t length) {
  return test::ReadFile(Sample("embedded-media.dat")).substr(from, length);
}
const std::string kPng = SampleBytes(2866, 524);
const std::string kGif = SampleBytes(2195, 451);
const std::string kBmp = SampleBytes(3610, 1206);

std::string Compressed(const std::string& bytes) {
  uLongf size = compressBound(bytes.size());
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size,
            reinterpret_cast<const Bytef*>(bytes.data()), bytes.size(), 9);
  out.resize(size);
  return out;
}

std::string Base64Lines(const std::string& bytes) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string flat;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
    flat += a[(v >> 18) & 63];
    flat += a[(v >> 12) & 63];
    flat += i + 1 < bytes.size() ? a[(v >> 6) & 63] : '=';
    flat += i + 2 < bytes.size() ? a[v & 63] : '=';
  }
  std::string lines;
  for (size_t i = 0; i < flat.size(); i += 76) lines += flat.substr(i, 76) + "\n";
  return lines;
}

std::string Sha256Hex(const std::string& bytes) {
  std::string hex;
  for (uint8_t b : itemDigest(Buffer::fromString(bytes), 0, bytes.size()))
    hex += fmt::format("{:02x}", b);
  return hex;
}

// Every sample, plus a page of HTML and a text file, so that every pass
// of the table has something to find.
struct EveryFormat {
  TempDir dir;
  EveryFormat() {
    for (const char* name : {"embedded-media.dat", "mail-with-attachment.mbox", "two-images.pdf",
                             "two-zips.bin", "zlib-png.bin", "compressed-movie.swf"})
      std::filesystem::copy_file(Sample(name), dir / name);
    test::WriteFile(dir / "page.html", "<html><head><title>Index</title></head><body>" +
                                           std::string(200, 'x') + "</body></html>\n");
    std::string text;
    for (int i = 0; i < 40; ++i)
      text += "A line of plain readable text, number " + std::to_string(i) + ".\n";
    test::WriteFile(dir / "notes.txt", text);
    // The formats of the passes that run with extended detection.
    for (const char* name : {"image.webp", "image.tiff"}) {
      const std::string command =
          "convert -size 40x30 gradient:red-blue '" + (dir / name).string() + "'";
      EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
    for (const char* name : {"movie.mp4", "sound.flac", "sound.ogg"}) {
      const std::string command =
          "ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=5 "
          "-f lavfi -i sine=d=0.4 -t 0.4 '" +
          (dir / name).string() + "'";
      EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
    const std::string mp3 =
        "ffmpeg -v error -f lavfi -i sine=d=0.4 '" + (dir / "sound.mp3").string() + "'";
    EXPECT_EQ(std::system(mp3.c_str()), 0) << mp3;
    const std::string mkv = "ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=5 -t 0.4 '" +
                            (dir / "movie.mkv").string() + "'";
    EXPECT_EQ(std::system(mkv.c_str()), 0) << mkv;
    for (const char* name : {"icon.ico", "image.psd"}) {
      const std::string command =
          "convert -size 40x30 gradient:red-blue '" + (dir / name).string() + "'";
      EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
    // A drawing with a picture inline, its EMF and WMF from LibreOffice
    // (made in a folder of their own, with its own profile) and a JPEG XL.
    TempDir work;
    const std::string make = fmt::format(
        "cd '{0}' && convert -size 30x20 gradient:green-white inline.png && "
        "convert -size 40x30 gradient:red-white p.png && cjxl p.png '{1}/image.jxl' >/dev/null "
        "2>&1",
        work.str(), dir.str());
    EXPECT_EQ(std::system(make.c_str()), 0) << make;
    test::WriteFile(
        dir / "drawing.svg",
        "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"30\" "
        "height=\"20\"><rect width=\"4\" height=\"3\"/>"
        "<image href=\"data:image/png;base64," +
            Base64Encode(test::ReadFile(work / "inline.png")) + "\"/></svg>");
    std::filesystem::copy_file(dir / "drawing.svg", work / "drawing.svg");
    for (const char* format : {"emf", "wmf"}) {
      const std::string office = fmt::format(
          "cd '{0}' && HOME='{0}' soffice -env:UserInstallation=file://{0}/profile --headless "
          "--convert-to {1} drawing.svg >/dev/null 2>&1 && cp drawing.{1} '{2}/'",
          work.str(), format, dir.str());
      EXPECT_EQ(std::system(office.c_str()), 0) << office;
    }
  }
};

TEST(Cli, EachPassKeySwitchesItsOwnPass) {
  test::ScopedHome home;
  EveryFormat in;
  for (const PassRow& row : PassTable()) {
    const std::string key(row.cliKey);
    SCOPED_TRACE(key);
    // The data: URI pass reports through the passes of what it decodes.
    const bool throughOthers = row.id == PassId::kDataURI;
    // Only this pass: something is found, and all of it by this pass.
    CliRun only = Cli({"scan", "--json", "--list", "--only", key, in.dir.str()});
    ASSERT_EQ(only.status, 0) << only.err;
    auto rows = Rows(only.out);
    rows.pop_back();
    EXPECT_EQ(rows.empty(), throughOthers);
    for (const auto& r : rows) EXPECT_EQ(r["pass"], key) << r.dump();
    // Every pass but this one: the others still find, this one never.
    CliRun all = Cli({"scan", "--json", "--list", "--enable", "flate,ascii,html,webp,tiff",
                      "--disable", key, in.dir.str()});
    ASSERT_EQ(all.status, 0) << all.err;
    std::set<std::string> passes;
    for (const auto& r : Rows(all.out))
      if (r.contains("pass")) passes.insert(r["pass"].get<std::string>());
    EXPECT_EQ(passes.count(key), 0u);
    EXPECT_GE(passes.size(), PassTable().size() - (throughOthers ? 1 : 2));
  }
}

TEST(Cli, EveryJsonRowIsTheSameWithOneWorkerAndWithFour) {
  test::ScopedHome home;
  EveryFormat in;
  // One file long enough to have its passes run at once.
  std::string big(5 << 20, '\x5A');
  for (const char* name : {"embedded-media.dat", "zlib-png.bin", "mail-with-attachment.mbox"})
    big += test::ReadFile(in.dir / name) + std::string(1 << 20, '\x3C');
  test::WriteFile(in.dir / "big.img", big);
  TempDir out;
  std::vector<std::vector<nlohmann::json>> runs;
  for (const char* jobs : {"1", "4"}) {
    CliRun r = Cli({"scan", "--json", "--jobs", jobs, "--enable", "flate,ascii,html", "--output",
                    (out / jobs).string(), in.dir.str()});
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = Rows(r.out);
    for (auto& row : rows) {
      row.erase("seconds");
      for (const char* key : {"path", "duplicate_of", "report"})
        if (row.contains(key) && row[key].is_string())
          row[key] = LastPathComponent(row[key].get<std::string>());
      if (row.contains("output")) row.erase("output");
    }
    runs.push_back(std::move(rows));
  }
  ASSERT_GT(runs[0].size(), 30u);
  EXPECT_EQ(runs[1], runs[0]);
}

TEST(Cli, JsonRowsSayWhereEachItemLay) {
  test::ScopedHome home;
  TempDir dir;
  // A PNG in the file itself, a GIF inside a zlib stream, a BMP attached
  // to a mail: each item's chain leads from the file to its buffer.
  const std::string head = std::string(100, '.') + "\n";
  const std::string zlib = Compressed(std::string(37, '-') + kGif + std::string(20, '-'));
  const std::string mail =
      "\nContent-Type: image/bmp\nContent-Transfer-Encoding: base64\n"
      "Content-Disposition: attachment; filename=\"tiny\"\n\n";
  const std::string bytes = head + kPng + "\n" + zlib + "\n" + mail + Base64Lines(kBmp) + "\n";
  const uint64_t pngAt = head.size();
  const uint64_t zlibAt = pngAt + kPng.size() + 1;
  const uint64_t bodyAt = zlibAt + zlib.size() + 1 + mail.size();
  test::WriteFile(dir / "mixed.bin", bytes);

  CliRun r = Cli({"scan", "--classic", "--json", "--output", (dir / "out").string(),
                  (dir / "mixed.bin").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  auto rows = Rows(r.out);
  const nlohmann::json summary = rows.back();
  rows.pop_back();
  std::map<std::string, nlohmann::json> byType;
  for (const auto& row : rows) byType[row["type"]] = row;
  ASSERT_EQ(byType.size(), 3u) << r.out;
  const std::string container = (dir / "mixed.bin").string();
  struct Expected {
    const char* type;
    const char* pass;
    uint64_t offset;
    nlohmann::json chain;
    const std::string& bytes;
  } expected[] = {
      {"png", "png", pngAt, nlohmann::json::array(), kPng},
      {"gif", "gif", 37, {{{"decoder", "zlib"}, {"offset", zlibAt}}}, kGif},
      {"bmp", "base64", 0, {{{"decoder", "base64"}, {"offset", bodyAt}}}, kBmp},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.type);
    const nlohmann::json& row = byType[e.type];
    EXPECT_EQ(row["container"], container);
    EXPECT_EQ(row["pass"], e.pass);
    EXPECT_EQ(row["offset"], e.offset);
    EXPECT_EQ(row["chain"], e.chain);
    EXPECT_EQ(row["sha256"], Sha256Hex(e.bytes));
    EXPECT_EQ(test::ReadFile(row["path"].get<std::string>()), e.bytes);
    EXPECT_EQ(row["path"].get<std::string>().front(), '/');
  }
  // Items of the file are named after its absolute path; the attachment
  // after the name its header gives.
  EXPECT_EQ(byType["png"]["source"], container);
  EXPECT_EQ(byType["bmp"]["source"], "tiny");
  EXPECT_EQ(summary["files_scanned"], 1);
  EXPECT_EQ(summary["files_skipped"], 0);
  EXPECT_EQ(summary["duplicates_dropped"], 0);
  EXPECT_TRUE(summary["seconds"].is_number());
}

// The decoders are listed as the chains name them, and a chain names the
// member a zip archive holds an item in.
TEST(Cli, DecodersAreListedAndChainsNameTheMemberAnItemLayIn) {
  const CliRun list = Cli({"--list-decoders"});
  ASSERT_EQ(list.status, 0) << list.err;
  std::istringstream lines(list.out);
  std::set<std::string> keys;
  for (std::string line; std::getline(lines, line);) keys.insert(line.substr(0, line.find(' ')));
  for (const DecoderRow& row : DecoderTable()) EXPECT_EQ(keys.count(std::string(row.key)), 1u);

  test::ScopedHome home;
  TempDir dir;
  test::WriteFile(dir / "a.gif", kGif);
  ASSERT_EQ(std::system(("cd '" + dir.str() +
                         "' && python3 -c \"import zipfile; z=zipfile.ZipFile('pics.zip','w',"
                         "zipfile.ZIP_DEFLATED); z.write('a.gif','dir/a.gif'); z.close()\"")
                            .c_str()),
            0);
  const std::string zip = test::ReadFile(dir / "pics.zip");
  test::WriteFile(dir / "in.bin", std::string(64, '.') + zip);
  std::filesystem::remove(dir / "a.gif");
  std::filesystem::remove(dir / "pics.zip");
  // A small GIF is stored as it is, so it is found in the file too: the
  // copy in the member is a repeat, kept here.
  const CliRun r =
      Cli({"scan", "--json", "--keep-duplicates", "--output", (dir / "out").string(), dir.str()});
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json gif;
  for (const auto& row : Rows(r.out))
    if (row.contains("type") && row["type"] == "gif" && !row["chain"].empty()) gif = row;
  ASSERT_TRUE(gif.is_object()) << r.out;
  ASSERT_EQ(gif["chain"].size(), 1u);
  EXPECT_EQ(gif["chain"][0]["decoder"], "zip-member");
  EXPECT_EQ(gif["chain"][0]["member"], "dir/a.gif");
}

TEST(Cli, ListReportsTheItemsOfARealRunAndWritesNothing) {
  test::ScopedHome home;
  EveryFormat in;
  TempDir out;
  CliRun real = Cli({"scan", "--json", "--output", out.str(), in.dir.str()});
  CliRun list =
      Cli({"scan", "--json", "--list", "--output", (out / "listed").string(), in.dir.str()});
  ASSERT_EQ(real.status, 0) << real.err;
  ASSERT_EQ(list.status, 0) << list.err;
  auto written = Rows(real.out), listed = Rows(list.out);
  ASSERT_EQ(written.size(), listed.size());
  for (size_t i = 0; i + 1 < written.size(); ++i) {
    EXPECT_TRUE(listed[i]["path"].is_null());
    for (const char* key :
         {"name", "type", "size", "source", "container", "offset", "chain", "pass", "sha256"})
      EXPECT_EQ(listed[i][key], written[i][key]) << key;
  }
  EXPECT_EQ(listed.back()["written"], 0);
  const auto repeats = std::count_if(listed.begin(), listed.end() - 1, [](const auto& row) {
    return !row["duplicate_of"].is_null();
  });
  EXPECT_EQ(listed.back()["listed"], static_cast<int>(listed.size() - 1 - repeats));
  EXPECT_TRUE(listed.back()["output"].is_null());
  EXPECT_FALSE(std::filesystem::exists(out / "listed"));
}

TEST(Cli, CommandLinesThatScriptsUse) {
  test::ScopedHome home;
  TempDir dir;
  const std::string a = (dir / "a.dat").string(), b = (dir / "b.dat").string();
  std::filesystem::copy_file(Sample("embedded-media.dat"), a);
  test::WriteFile(b, std::string(200, 'b'));
  std::filesystem::create_directories(dir / "inner");
  std::filesystem::copy_file(Sample("zlib-png.bin"), dir / "inner" / "z.bin");
  const std::string out = (dir / "out").string();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* folder;  // the output folder made inside out, or ""
  } cases[] = {
      {"key list, then two paths", {"--enable", "flate,html", a, b}, 0, "Strell"},
      {"key list after =, then two paths", {"--enable=flate,html", a, b}, 0, "Strell-1"},
      {"the option given twice", {"--only", "png", "--only=gif", a}, 0, "a Strell"},
      {"a folder named with a trailing slash", {(dir / "inner").string() + "/"}, 0, "inner Strell"},
      {"an empty output folder is a usage error", {"--output", "", a}, 2, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::vector<std::string> args = {"scan", "--quiet"};
    if (std::string(k.name).find("empty output") == std::string::npos) {
      args.push_back("--output");
      args.push_back(out);
    }
    args.insert(args.end(), k.args.begin(), k.args.end());
    CliRun r = Cli(args);
    EXPECT_EQ(r.status, k.status) << r.err;
    if (*k.folder) {
      EXPECT_TRUE(std::filesystem::is_directory(dir / "out" / k.folder));
    }
  }

  // Sizes take units; a report on stdout is all that stdout carries.
  CliRun reported = Cli({"scan", "--output", out, "--min-size", "1KiB", "--max-size", "2M",
                         "--min-pixels", "40x30", "--report", "-", a});
  EXPECT_EQ(reported.status, 0) << reported.err;
  EXPECT_EQ(reported.out.rfind("<?xml", 0), 0u) << reported.out;
  for (const char* option : {"<sb:option name=\"min_size\">1024</sb:option>",
                             "<sb:option name=\"max_size\">2000000</sb:option>",
                             "<sb:option name=\"min_pixels\">40x30</sb:option>"})
    EXPECT_NE(reported.out.find(option), std::string::npos) << option;

  // A FIFO named on the command line is passed over with a warning, never
  // opened (which would wait for a writer).
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  CliRun fifo = Cli({"scan", "--output", out, (dir / "pipe").string(), b});
  EXPECT_EQ(fifo.status, 0) << fifo.err;
  EXPECT_NE(fifo.err.find("warning: skipped " + (dir / "pipe").string()), std::string::npos)
      << fifo.err;
  EXPECT_EQ(Cli({"scan", "--quiet", "--output", out, (dir / "pipe").string()}).status, 1);

  // "." and ".." name the folders they stand for.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir / "inner");
  CliRun here = Cli({"scan", "--quiet", "--output", out, "."});
  CliRun up = Cli({"scan", "--quiet", "--output", (dir / "inner" / "o2").string(), "../inner/.."});
  std::filesystem::current_path(cwd);
  EXPECT_EQ(here.status, 0) << here.err;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "out" / "inner Strell-1"));
  EXPECT_EQ(up.status, 0) << up.err;
  const std::string parent = dir.path().filename().string() + " Strell";
  EXPECT_TRUE(std::filesystem::is_directory(dir / "inner" / "o2" / parent)) << parent;
}

TEST(Cli, NamesThatAreNotUtf8CarryTheirBytes) {
  test::ScopedHome home;
  TempDir dir;
  const std::string name = "caf\xE9-\xFF.dat";  // Latin-1 bytes
  std::filesystem::copy_file(Sample("embedded-media.dat"), dir / name);
  CliRun r = Cli({"scan", "--json", "--only", "png", "--output", (dir / "out").string(),
                  (dir / name).string()});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto rows = Rows(r.out);
  ASSERT_EQ(rows.size(), 2u) << r.out;
  const nlohmann::json& row = rows[0];
  auto bytesOf = [&](const char* key) {
    const std::string text = row[std::string(key) + "_base64"].get<std::string>();
    return std::string(Base64Decode(Buffer::fromString(text)).view());
  };
  ASSERT_TRUE(row.contains("path_base64") && row.contains("container_base64")) << row.dump();
  EXPECT_EQ(bytesOf("container"), (dir / name).string());
  EXPECT_EQ(bytesOf("source"), (dir / name).string());
  EXPECT_TRUE(std::filesystem::exists(bytesOf("path")));
  EXPECT_FALSE(rows[0].contains("type_base64"));

  // The report, which XML could not hold them in, gives U+FFFD for such
  // bytes and the exact bytes beside them.
  const std::string report =
      test::ReadFile(dir / "out" / "caf\xE9-\xFF Strell" / JobReport::kFileName);
  const std::string exact = Base64Encode((dir / name).string());
  EXPECT_NE(report.find("<sb:container sb:base64=\"" + exact + "\">"), std::string::npos) << report;
  EXPECT_NE(report.find("caf\xEF\xBF\xBD-\xEF\xBF\xBD.dat"), std::string::npos);
  EXPECT_EQ(report.find(name), std::string::npos);
}

// The real program, for what a process does as a whole: its umask, its
// signals. Returns the exit status.
int RunProgram(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
const std::string kProgram = std::string(STRELLBOX_BIN_DIR) + "/strellbox-cli";

TEST(Cli, FoundFilesGetThePermissionsTheUmaskAllows) {
  TempDir dir;
  for (auto [mask, mode] : {std::pair{"077", 0600}, {"022", 0644}, {"002", 0664}}) {
    const auto out = dir / mask;
    ASSERT_EQ(RunProgram(fmt::format("umask {}; HOME='{}' '{}' scan --quiet --only png --output "
                                     "'{}' '{}'",
                                     mask, dir.str(), kProgram, out.string(),
                                     Sample("embedded-media.dat"))),
              0);
    struct stat st {};
    ASSERT_EQ(::stat((out / "embedded-media Strell" / "embedded-media.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, static_cast<unsigned>(mode)) << mask;
  }
}

TEST(Cli, SignalsStopTheJobAndLeaveNoTemporaryFile) {
  TempDir dir;
  // Many large files of text: every pass has plenty to do for seconds.
  std::string block;
  for (int i = 0; i < 200000; ++i)
    block += "words to keep the text pass busy " + std::to_string(i) + "\n";
  test::WriteFile(dir / "big.txt", block);
  std::string paths;
  for (int i = 0; i < 60; ++i) paths += " '" + (dir / "big.txt").string() + "'";
  struct Case {
    const char* name;
    const char* signals;  // sent 0.5 s after the start
  } cases[] = {{"SIGTERM", "TERM"}, {"SIGHUP", "HUP"}, {"SIGINT", "INT"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const auto out = dir / k.name;
    test::WriteFile(dir / "run.sh",
                    fmt::format("HOME='{}' '{}' scan --quiet --keep-duplicates --enable ascii "
                                "--output '{}' {} &\npid=$!\nsleep 0.5\n"
                                "for s in {}; do kill -$s $pid; sleep 0.05; done\nwait $pid\n",
                                dir.str(), kProgram, out.string(), paths, k.signals));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(RunProgram("bash '" + (dir / "run.sh").string() + "'"), 130);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    for (const auto& e : std::filesystem::recursive_directory_iterator(out))
      EXPECT_EQ(e.path().filename().string().rfind(".strell-", 0), std::string::npos) << e.path();
  }
}

TEST(Cli, ASecondInterruptEndsAtOnceAndTakesTheTemporaryFileWithIt) {
  TempDir dir;
  const std::string temp = (dir / ".strell-pending").string();
  const std::string marker = (dir / "after-first").string();
  test::WriteFile(temp, "half written");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstallInterruptHandler();
    SetPendingTemporaryFile(temp.c_str());
    ::raise(SIGINT);  // the first asks the job to stop: the process goes on
    test::WriteFile(marker, "");
    ::raise(SIGINT);
    ::_exit(0);  // not reached
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_TRUE(std::filesystem::exists(marker));
  EXPECT_FALSE(std::filesystem::exists(temp));
}

TEST(Cli, TwoRunsIntoOneOutputFolderBothSucceed) {
  TempDir dir;
  const std::string one =
      fmt::format("HOME='{}' '{}' scan --quiet --output '{}' '{}'", dir.str(), kProgram,
                  (dir / "out").string(), Sample("embedded-media.dat"));
  EXPECT_EQ(RunProgram("(" + one + ") & (" + one + ") & wait %1 && wait %2"), 0);
  // Five items and the job's report each.
  EXPECT_EQ(test::ListFiles(dir / "out" / "embedded-media Strell").size(), 6u);
  EXPECT_EQ(test::ListFiles(dir / "out" / "embedded-media Strell-1").size(), 6u);
}

TEST(Cli, StderrKeepsItsLinesAndDropsTheJpegXlDecodersOwn) {
  struct Case {
    const char* name;
    const char* written;
    const char* passed;
  } cases[] = {
      {"a decoder line", "./lib/jxl/dec_ans.cc:273: JXL_FAILURE: Invalid HybridUintConfig\n", ""},
      {"a line of ours", "strellbox-cli: Could not save a found file.\n",
       "strellbox-cli: Could not save a found file.\n"},
      {"ours among the decoder's", "./lib/jxl/a.cc:1: x\nkept\n./lib/jxl/b.cc:2: y\n", "kept\n"},
      {"no line break at the end", "a bar at 50%", "a bar at 50%"},
      {"the decoder's path inside a line", "see ./lib/jxl/ here\n", "see ./lib/jxl/ here\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(PassedLines(c.written, "./lib/jxl/"), c.passed) << c.name;

  // The program itself, over codestreams whose headers hold and whose
  // sections the decoder refuses, each refusal a line on its stderr.
  TempDir dir;
  ASSERT_EQ(RunProgram(fmt::format("cd '{}' && convert -size 40x30 gradient:red-blue a.png && "
                                   "cjxl a.png a.jxl >/dev/null 2>&1",
                                   dir.str())),
            0);
  std::string bad = test::ReadFile(dir / "a.jxl");
  std::fill(bad.begin() + 40, bad.end(), '\x55');
  std::string input(999, 'x');
  for (int i = 0; i < 20; ++i) input += bad + std::string(777, 'y');
  test::WriteFile(dir / "in.bin", input);
  EXPECT_EQ(RunProgram(fmt::format("HOME='{0}' '{1}' scan --quiet --only jxl --output '{0}/out' "
                                   "'{0}/in.bin' 2>'{0}/err.txt'",
                                   dir.str(), kProgram)),
            0);
  EXPECT_EQ(test::ReadFile(dir / "err.txt"), "");
}

TEST(TerminalDisplay, WrittenFilesGoToStdoutWhateverStderrIs) {
  FoundItem item;
  item.data = Buffer::fromString("x");
  for (bool bar : {false, true}) {
    std::ostringstream out, err;
    TerminalDisplay d({false, false, bar}, out, err, [] { return std::string(); });
    d.progressFromThread(1, 2, 0);
    d.fileWritten("/o/a.png", "a.png", item);
    EXPECT_EQ(out.str(), "/o/a.png\n") << bar;
  }
}

TEST(TerminalDisplay, AZeroTotalShowsAnEmptyBar) {
  std::ostringstream out, err;
  TerminalDisplay d({false, false, true}, out, err, [] { return std::string("file.bin (0 kB)"); });
  d.progressFromThread(0, 0, 0);
  EXPECT_NE(err.str().find("[" + std::string(30, ' ') + "]   0%"), std::string::npos) << err.str();
  d.progressFinish();
  d.reportStrellerError("Could not save a found file.");
  EXPECT_NE(err.str().find("strellbox-cli: Could not save a found file.\n"), std::string::npos);
}

}  // namespace
}  // namespace strellbox
