#include "cli/cli.h"

#include <fmt/format.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "cli/terminal_display.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/strell_controller.h"

namespace strellbox {

namespace {

std::atomic<bool> gInterrupted{false};

void OnInterrupt(int) { gInterrupted.store(true, std::memory_order_relaxed); }

using Setter = void (StrellController::*)(bool);

const std::map<std::string, Setter>& PassKeys() {
  static const std::map<std::string, Setter> keys = {
      {"pdf", &StrellController::setScanForPDF},
      {"jpeg", &StrellController::setScanForJPEG},
      {"gif", &StrellController::setScanForGIF},
      {"png", &StrellController::setScanForPNG},
      {"flash", &StrellController::setScanForFlash},
      {"base64", &StrellController::setScanForBase64},
      {"bmp", &StrellController::setScanForBmp},
      {"wav", &StrellController::setScanForWav},
      {"flate", &StrellController::setScanForFlate},
      {"ascii", &StrellController::setScanForASCII},
      {"html", &StrellController::setScanForHTML},
  };
  return keys;
}

// Splits "a,b c" into keys; returns the first unknown key, if any.
std::optional<std::string> ApplyKeys(StrellController& controller,
                                     const std::vector<std::string>& lists, bool on) {
  for (const std::string& list : lists) {
    std::string key;
    std::istringstream in(list);
    while (std::getline(in, key, ',')) {
      key.erase(0, key.find_first_not_of(' '));
      key.erase(key.find_last_not_of(' ') + 1);
      if (key.empty()) continue;
      auto it = PassKeys().find(key);
      if (it == PassKeys().end()) return key;
      (controller.*(it->second))(on);
    }
  }
  return std::nullopt;
}

constexpr const char* kKeysHelp =
    "pdf, jpeg, gif, png, flash, base64, bmp, wav, flate, ascii, html";

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "Pulls the images, sounds, movies, archives, documents and text embedded in any "
      "file out into files of their own."};
  app.name("strellbox-cli");
  app.set_version_flag("--version", std::string("strellbox-cli ") + STRELLBOX_VERSION);
  app.require_subcommand(1);

  CLI::App* scan = app.add_subcommand("scan", "Scan files and folders for embedded items.");
  std::vector<std::string> paths;
  std::string outputDir;
  bool beside = false, desktop = false, keepDuplicates = false, json = false, quiet = false,
       verbose = false;
  std::vector<std::string> enable, disable, only;
  scan->add_option("PATH", paths, "Files and folders to scan (folders are scanned whole).")
      ->required();
  auto* outputOpt = scan->add_option(
      "--output", outputDir,
      "Write into DIR: a folder \"NAME Strell\" for one path, \"Strell\" for several "
      "(DIR is made if missing).");
  outputOpt->type_name("DIR");
  auto* besideOpt =
      scan->add_flag("--beside", beside, "Write next to the (last) path: \"NAME Strell\".");
  auto* desktopOpt = scan->add_flag("--desktop", desktop,
                                    "Write into ~/Desktop/\"NAME Strell\" (the default location).");
  outputOpt->excludes(besideOpt, desktopOpt);
  besideOpt->excludes(desktopOpt);
  scan->add_option("--enable", enable,
                   fmt::format("Turn passes on (comma list of: {}).", kKeysHelp))
      ->type_name("KEYS");
  scan->add_option("--disable", disable, "Turn passes off (same keys).")->type_name("KEYS");
  scan->add_option("--only", only,
                   "Run only these passes (same keys; flate data is always "
                   "searched for what it holds).")
      ->type_name("KEYS");
  scan->add_flag("--keep-duplicates", keepDuplicates,
                 "Write every item, also when the same bytes were written before in this job.");
  scan->add_flag("--json", json,
                 "Print one JSON object per written file on stdout, then a summary object.");
  scan->add_flag("-q,--quiet", quiet, "Print nothing but failures.");
  scan->add_flag("-v,--verbose", verbose, "Mirror the diagnostic log to stderr.");
  scan->footer(
      "Defaults: pdf jpeg gif png flash base64 bmp wav on; flate ascii html off; duplicates "
      "dropped; output on the Desktop.\nExit status: 0 done, 1 a failure was recorded (message "
      "on stderr), 2 usage error.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    app.exit(e, out, err);
    return 2;
  }

  StrellController controller;
  if (!only.empty()) controller.setAllScans(false);
  for (auto [lists, on] : {std::pair{&only, true}, {&enable, true}, {&disable, false}}) {
    if (auto bad = ApplyKeys(controller, *lists, on)) {
      err << "strellbox-cli: unknown pass key \"" << *bad << "\" (keys: " << kKeysHelp << ")\n";
      return 2;
    }
  }
  controller.setDontSaveDuplicates(!keepDuplicates);
  if (!outputDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(outputDir, ec);
    controller.setSaveRadioChosen(2);
    controller.setSaveFolder(std::filesystem::absolute(outputDir, ec).lexically_normal().string());
  } else if (beside) {
    controller.setSaveRadioChosen(1);
  } else {
    controller.setSaveRadioChosen(0);
  }
  SetLogMirrorToStderr(verbose);
  if (!verbose) SetLogSink([](std::string_view) {});

  std::vector<std::string> missing;
  for (const std::string& p : paths)
    if (!PathExists(p)) missing.push_back(p);
  if (!missing.empty()) {
    std::string list;
    for (const std::string& p : missing) list += (list.empty() ? "" : ", ") + p;
    err << "strellbox-cli: warning: not found: " << list << "\n";
  }

  TerminalDisplay::Options options;
  options.json = json;
  options.quiet = quiet;
  options.progressBar = !quiet && ::isatty(STDERR_FILENO);
  TerminalDisplay display(options, out, err,
                          [&controller] { return controller.currentlyStrelling(); });
  controller.setDisplay(&display);

  controller.threadStrell(paths);
  while (controller.jobActive()) {
    if (gInterrupted.load(std::memory_order_relaxed)) controller.stopStrelling();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  controller.waitUntilIdle();

  const auto error = controller.strellerError();
  const bool made = controller.strellOutputDirectoryCreated();
  if (json) {
    nlohmann::json summary = {
        {"summary", true},
        {"found", controller.foundItems()},
        {"written", display.filesWritten()},
        {"bytes", display.bytesWritten()},
        {"output", made ? nlohmann::json(controller.strellOutputDirectory()) : nlohmann::json()},
        {"stopped", gInterrupted.load()},
        {"error", error ? nlohmann::json(*error) : nlohmann::json()}};
    out << summary.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else if (!quiet) {
    if (made)
      out << fmt::format("{} items found, {} files written to {}\n", controller.foundItems(),
                         display.filesWritten(), controller.strellOutputDirectory());
    else
      out << fmt::format("{} items found, nothing written\n", controller.foundItems());
  }
  out.flush();
  controller.setDisplay(nullptr);
  return error ? 1 : 0;
}

}  // namespace strellbox
