#include "cli/cli.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cli/terminal_display.h"
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
  for (const char* option : {"--output", "--beside", "--desktop", "--enable", "--disable", "--only",
                             "--keep-duplicates", "--json", "--quiet", "--verbose"})
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  for (const char* key :
       {"pdf", "jpeg", "gif", "png", "flash", "base64", "bmp", "wav", "flate", "ascii", "html"})
    EXPECT_NE(r.out.find(key), std::string::npos) << key;
  CliRun v = Cli({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_NE(v.out.find("strellbox-cli "), std::string::npos);
}

TEST(Cli, MissingPathsAreNamedInOneWarningAndAreNoFailure) {
  test::ScopedHome home;
  TempDir dir;
  CliRun r = Cli({"scan", "--json", "--output", (dir / "out").string(), (dir / "nope").string(),
                  (dir / "gone").string()});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("not found: " + (dir / "nope").string() + ", " + (dir / "gone").string()),
            std::string::npos)
      << r.err;
  auto summary = nlohmann::json::parse(r.out);
  EXPECT_EQ(summary["found"], 0);
  EXPECT_EQ(summary["written"], 0);
  EXPECT_TRUE(summary["output"].is_null());
  EXPECT_TRUE(summary["error"].is_null());
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
