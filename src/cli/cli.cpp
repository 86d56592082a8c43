#include "cli/cli.h"

#include <fmt/format.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <thread>

#include "cli/terminal_display.h"
#include "engine/decoder_table.h"
#include "engine/log.h"
#include "engine/pass_table.h"
#include "engine/paths.h"
#include "engine/platform.h"
#include "engine/scan_pool.h"
#include "engine/strell_controller.h"

namespace strellbox {

namespace {

// Exit status of a job stopped by a signal, as shells report one.
constexpr int kStoppedStatus = 130;

std::atomic<int> gInterrupts{0};

// The first signal asks the job to stop; a second ends the process at
// once, taking the file being written with it.
void OnInterrupt(int) {
  if (gInterrupts.fetch_add(1, std::memory_order_relaxed) > 0) {
    RemovePendingTemporaryFile();
    ::_exit(kStoppedStatus);
  }
}

// Splits "a,b c" into keys and applies them; returns the first unknown key.
std::optional<std::string> ApplyKeys(StrellController& controller,
                                     const std::vector<std::string>& lists, bool on) {
  for (const std::string& list : lists) {
    std::string key;
    std::istringstream in(list);
    while (std::getline(in, key, ',')) {
      key.erase(0, key.find_first_not_of(' '));
      key.erase(key.find_last_not_of(' ') + 1);
      if (key.empty()) continue;
      const PassRow* row = PassByCliKey(key);
      if (!row) return key;
      controller.setScanFor(row->id, on);
    }
  }
  return std::nullopt;
}

// True when the path is a folder that can be listed or a file that can be
// read; false for anything else (missing, special, no permission).
bool Readable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) return ::access(path.c_str(), R_OK | X_OK) == 0;
  return S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

nlohmann::json OrNull(bool present, const std::string& text) {
  return present ? nlohmann::json(text) : nlohmann::json();
}

// "WxH" (or "N" for NxN) as a width and a height, each of 1 to 9 digits.
std::optional<std::pair<uint32_t, uint32_t>> PictureBounds(const std::string& text) {
  auto number = [](std::string_view digits) -> std::optional<uint32_t> {
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    uint32_t value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
  };
  const size_t x = text.find_first_of("xX");
  const std::optional<uint32_t> width = number(std::string_view(text).substr(0, x));
  const std::optional<uint32_t> height =
      x == std::string::npos ? width : number(std::string_view(text).substr(x + 1));
  if (!width || !height) return std::nullopt;
  return std::pair{*width, *height};
}

// The arguments as a shell would take them back: each quoted unless it
// needs no quoting.
std::string CommandLine(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!line.empty()) line += ' ';
    const bool plain = !arg.empty() && arg.find_first_not_of(
                                           "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                           "0123456789-_./=:,+@%") == std::string_view::npos;
    if (plain) {
      line += arg;
      continue;
    }
    line += '\'';
    for (char c : arg) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "Pulls the images, sounds, movies, archives, documents and text embedded in any "
      "file out into files of their own."};
  app.name("strellbox-cli");
  app.set_version_flag("--version", std::string("strellbox-cli ") + STRELLBOX_VERSION);
  app.require_subcommand(1);
  app.add_flag_callback(
      "--list-decoders",
      [&out] {
        // key, rule set, label: one decoder a line, as the chains of --json name them.
        for (const DecoderRow& row : DecoderTable())
          out << fmt::format("{:<16}{:<10}{}\n", row.key,
                             row.rules == RuleSet::kClassic ? "classic" : "extended", row.label);
        throw CLI::Success();
      },
      "List the decoders whose output is scanned again (the names in a row's chain) and exit.");

  CLI::App* scan = app.add_subcommand("scan", "Scan files and folders for embedded items.");
  std::vector<std::string> paths;
  std::string outputDir;
  bool beside = false, desktop = false, keepDuplicates = false, json = false, list = false,
       quiet = false, verbose = false, extended = false, classic = false, md5 = false;
  std::vector<std::string> enable, disable, only;
  int jobs = 0;
  std::string reportFile, minPixels;
  uint64_t minSize = 0, maxSize = 0;
  scan->add_option("PATH", paths, "Files and folders to scan (folders are scanned whole).")
      ->required();
  auto* outputOpt = scan->add_option(
      "--output", outputDir,
      "Write into DIR: a folder \"NAME Strell\" for one path, \"Strell\" for several "
      "(DIR is made if missing).");
  outputOpt->type_name("DIR");
  auto* besideOpt =
      scan->add_flag("--beside", beside, "Write next to the (last) path: \"NAME Strell\".");
  auto* desktopOpt =
      scan->add_flag("--desktop", desktop,
                     "Write into the desktop folder (XDG_DESKTOP_DIR, else ~/Desktop; made if "
                     "missing): \"NAME Strell\" (the default location).");
  outputOpt->excludes(besideOpt, desktopOpt);
  besideOpt->excludes(desktopOpt);
  // Each takes exactly one list, so that the paths after it stay paths; the
  // option may be given again.
  auto keysOption = [&](const char* name, std::vector<std::string>& into, std::string help) {
    scan->add_option(name, into, std::move(help))
        ->type_name("KEYS")
        ->expected(1)
        ->allow_extra_args(false)
        ->take_all();
  };
  keysOption("--enable", enable, fmt::format("Turn passes on (comma list of: {}).", PassCliKeys()));
  keysOption("--disable", disable, "Turn passes off (same keys).");
  keysOption("--only", only,
             "Run only these passes (same keys; flate data is always searched for what it "
             "holds).");
  auto* classicOpt = scan->add_flag(
      "--classic", classic,
      "Classic rules only: leave out the rules for the files today's programs write (on "
      "by default) and their passes.");
  auto* extendedOpt = scan->add_flag(
      "--extended", extended, "Extended detection (the default; kept for scripts that say so).");
  classicOpt->excludes(extendedOpt);
  scan->add_option("-j,--jobs", jobs,
                   "Scan with N workers (default: one per online processor); the output is the "
                   "same for every N.")
      ->type_name("N")
      ->check(CLI::Range(1, 1024));
  scan->add_flag("--keep-duplicates", keepDuplicates,
                 "Write every item, also when the same bytes were written before in this job.");
  scan->add_flag("--json", json,
                 "Print one JSON object per item on stdout (path, name, type, size, source, "
                 "container, offset, chain, pass, end, sha256, md5, duplicate_of, filtered), then "
                 "a summary object.");
  scan->add_flag("--list", list,
                 "Report every item (with --json: the same rows, path null) and write nothing.");
  auto* reportOpt =
      scan->add_option("--report", reportFile,
                       "Also write the job's DFXML report (always written as report.xml into the "
                       "output folder) to FILE, or to stdout for \"-\" (not with --json).")
          ->type_name("FILE");
  scan->add_flag("--md5", md5, "Give every item's MD5 beside its SHA-256 (JSON rows, report).");
  scan->add_option("--min-size", minSize,
                   "Leave out items smaller than BYTES (counted, not written; a unit may follow: "
                   "10k = 10000, 10KiB = 10240).")
      ->type_name("BYTES")
      ->transform(CLI::AsSizeValue(true));
  scan->add_option("--max-size", maxSize, "Leave out items larger than BYTES (units as above).")
      ->type_name("BYTES")
      ->transform(CLI::AsSizeValue(true));
  scan->add_option("--min-pixels", minPixels,
                   "Leave out pictures whose header gives a width below W or a height below H "
                   "(pictures whose size cannot be read are kept).")
      ->type_name("WxH");
  scan->add_flag("-q,--quiet", quiet, "Print nothing but failures.");
  scan->add_flag("-v,--verbose", verbose,
                 "Mirror the diagnostic log to stderr and name every entry passed over.");
  scan->footer(fmt::format(
      "Defaults: {} on; {} off; {} unless --classic; duplicates dropped; output in the desktop "
      "folder.\nExit status: "
      "0 done, 1 a failure was recorded (message on stderr) or no path could be read, 2 usage "
      "error, {} stopped by a signal.",
      PassCliKeys(PassDefault::kOn), PassCliKeys(PassDefault::kOff),
      PassCliKeys(PassDefault::kWithExtended), kStoppedStatus));

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e, out, err);
  } catch (const CLI::Success& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    app.exit(e, out, err);
    return 2;
  }
  gInterrupts.store(0, std::memory_order_relaxed);
  if (outputOpt->count() > 0 && outputDir.empty()) {
    err << "strellbox-cli: --output needs a folder\n";
    return 2;
  }
  if (reportOpt->count() > 0 && reportFile.empty()) {
    err << "strellbox-cli: --report needs a file, or \"-\" for stdout\n";
    return 2;
  }
  if (reportFile == "-" && json) {
    err << "strellbox-cli: --report - and --json cannot share stdout\n";
    return 2;
  }
  std::pair<uint32_t, uint32_t> pictures{0, 0};
  if (!minPixels.empty()) {
    const auto bounds = PictureBounds(minPixels);
    if (!bounds) {
      err << "strellbox-cli: --min-pixels takes WxH, such as 32x32\n";
      return 2;
    }
    pictures = *bounds;
  }

  StrellController controller;
  if (!only.empty()) controller.setAllScans(false);
  for (auto [lists, on] : {std::pair{&only, true}, {&enable, true}, {&disable, false}}) {
    if (auto bad = ApplyKeys(controller, *lists, on)) {
      err << "strellbox-cli: unknown pass key \"" << *bad << "\" (keys: " << PassCliKeys() << ")\n";
      return 2;
    }
  }
  controller.setExtendedDetection(!classic);
  controller.setScanWorkers(jobs > 0 ? jobs : ScanPool::OnlineProcessors());
  controller.setDontSaveDuplicates(!keepDuplicates);
  controller.setListOnly(list);
  controller.setWriteReport(true);
  controller.setReportMd5(md5);
  controller.setMinItemSize(minSize);
  controller.setMaxItemSize(maxSize);
  controller.setMinPictureSize(pictures.first, pictures.second);
  controller.setReportCreator(
      {"strellbox-cli",
       CommandLine(argc, argv),
       {{"CLI11", CLI11_VERSION},
        {"nlohmann_json", fmt::format("{}.{}.{}", NLOHMANN_JSON_VERSION_MAJOR,
                                      NLOHMANN_JSON_VERSION_MINOR, NLOHMANN_JSON_VERSION_PATCH)}}});
  if (!outputDir.empty()) {
    std::error_code ec;
    if (!list) std::filesystem::create_directories(outputDir, ec);
    controller.setSaveRadioChosen(2);
    controller.setSaveFolder(NormalizedPath(outputDir));
  } else if (beside) {
    controller.setSaveRadioChosen(1);
  } else {
    controller.setSaveRadioChosen(0);
  }
  SetLogMirrorToStderr(verbose);
  if (!verbose) SetLogSink([](std::string_view) {});

  std::vector<std::string> missing;
  bool anyReadable = false;
  for (const std::string& p : paths) {
    if (!PathExists(p)) missing.push_back(p);
    anyReadable = anyReadable || Readable(p);
  }
  if (!missing.empty() && !quiet) {
    std::string names;
    for (const std::string& p : missing) names += (names.empty() ? "" : ", ") + p;
    err << "strellbox-cli: warning: not found: " << names << "\n";
  }

  TerminalDisplay::Options options;
  options.json = json;
  options.quiet = quiet;
  options.verbose = verbose;
  options.progressBar = !quiet && ::isatty(STDERR_FILENO);
  options.sharedTerminal = options.progressBar && ::isatty(STDOUT_FILENO);
  options.listFiles = reportFile != "-";
  TerminalDisplay display(options, out, err,
                          [&controller] { return controller.currentlyStrelling(); });
  controller.setDisplay(&display);

  const auto started = std::chrono::steady_clock::now();
  controller.threadStrell(paths);
  bool stopRequested = false;
  while (controller.jobActive()) {
    if (!stopRequested && gInterrupts.load(std::memory_order_relaxed) > 0) {
      controller.stopStrelling();
      stopRequested = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  controller.waitUntilIdle();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const bool stopped = stopRequested || gInterrupts.load(std::memory_order_relaxed) > 0;

  // The report to where it was asked for, beside the one in the output folder.
  bool reportFailed = false;
  if (reportFile == "-") {
    reportFailed = !controller.report().write(out);
  } else if (!reportFile.empty()) {
    std::ofstream file(reportFile, std::ios::binary | std::ios::trunc);
    reportFailed = !file || !controller.report().write(file);
    if (reportFailed) err << "strellbox-cli: could not write the report to " << reportFile << "\n";
  }

  const auto error = controller.strellerError();
  const bool made = controller.strellOutputDirectoryCreated();
  const bool nothingReadable = !anyReadable && controller.filesScanned() == 0;
  const std::string report = controller.reportPath();
  if (json) {
    nlohmann::json summary = {{"summary", true},
                              {"found", controller.foundItems()},
                              {"written", display.filesWritten()},
                              {"bytes", display.bytesWritten()},
                              {"output", OrNull(made, controller.strellOutputDirectory())},
                              {"stopped", stopped},
                              {"error", OrNull(error.has_value(), error.value_or(""))},
                              {"files_scanned", controller.filesScanned()},
                              {"files_skipped", controller.filesSkipped()},
                              {"duplicates_dropped", controller.duplicatesDropped()},
                              {"filtered", controller.itemsFiltered()},
                              {"report", OrNull(!report.empty(), report)},
                              {"seconds", std::round(seconds * 1000) / 1000}};
    if (list) summary["listed"] = display.itemsListed();
    out << TerminalDisplay::Dump(summary) << "\n";
  } else if (!quiet && reportFile != "-") {
    const int32_t filtered = controller.itemsFiltered();
    const std::string left = filtered > 0 ? fmt::format(", {} filtered out", filtered) : "";
    if (made)
      out << fmt::format("{} items found{}, {} files written to {}\n", controller.foundItems(),
                         left, display.filesWritten(), controller.strellOutputDirectory());
    else
      out << fmt::format("{} items found{}, nothing written\n", controller.foundItems(), left);
  }
  out.flush();
  controller.setDisplay(nullptr);
  if (stopped) return kStoppedStatus;
  if (error || reportFailed) return 1;
  if (nothingReadable) {
    err << "strellbox-cli: none of the paths given can be read\n";
    return 1;
  }
  return 0;
}

}  // namespace strellbox
