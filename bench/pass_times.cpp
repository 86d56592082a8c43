// Thread CPU time of every pass over every file of a corpus, the input of
// bench/scaling's model of scans on more cores.
//
//     build/bin/pass_times [--every-pass] CORPUS > times.tsv
//
// One line per file and pass: path, size, pass key, CPU seconds, and 1 when
// the pass ran first because the file's guessed type named it. Found
// items are counted, not written. The passes run one after another, each
// on the whole file as the dispatcher runs them (a whole-buffer item ends
// the file's passes here too).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/buffer.h"
#include "engine/classify.h"
#include "engine/log.h"
#include "engine/scan_context.h"
#include "engine/signature_index.h"
#include "engine/strell_controller.h"
#include "thread_seconds.h"

namespace {

// Counts what the passes report; writes nothing.
struct Discard : strellbox::ItemSink {
  uint64_t items = 0;
  void takeFoundItem(strellbox::FoundItem) override { ++items; }
};

}  // namespace

int main(int argc, char** argv) {
  using namespace strellbox;
  bool everyPass = false;
  std::string corpus;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--every-pass") == 0)
      everyPass = true;
    else
      corpus = argv[i];
  }
  if (corpus.empty()) {
    std::fprintf(stderr, "usage: pass_times [--every-pass] CORPUS\n");
    return 2;
  }
  SetLogSink([](std::string_view) {});
  StrellController controller;
  if (everyPass) controller.setAllScans(true);
  controller.setDontSaveDuplicates(false);
  Discard sink;
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(corpus))
    if (e.is_regular_file()) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  for (const std::string& path : files) {
    const Buffer data = Buffer::readFile(path);
    if (data.size() < 32) continue;
    // The passes of the file in the dispatcher's order, guessed type first.
    const ScanSettings settings = controller.scanSettings();
    std::vector<const PassRow*> rows;
    for (const PassRow& row : PassTable())
      if (settings.on(row.id) || row.offPass) rows.push_back(&row);
    const std::string guessed = GuessExtension(data);
    auto it = std::find_if(rows.begin(), rows.end(),
                           [&](const PassRow* r) { return r->typeKey == guessed; });
    const bool guessedFirst = it != rows.end();
    if (guessedFirst) std::rotate(rows.begin(), it, it + 1);
    // After the guessed pass, as the dispatcher does, the buffer's
    // signatures are found in one sweep: a row of its own.
    Buffer indexed = data;
    for (const PassRow* row : rows) {
      if (!indexed.indexed() && (row != rows.front() || !guessedFirst)) {
        const double start = ThreadSeconds();
        indexed = WithSignatureIndex(data);
        std::printf("%s\t%llu\tindex\t%.6f\t0\n", path.c_str(),
                    static_cast<unsigned long long>(data.size()), ThreadSeconds() - start);
      }
      ScanContext context(controller, sink, settings);
      const bool on = settings.on(row->id);
      const double start = ThreadSeconds();
      (on ? row->pass : row->offPass)(context, indexed, path);
      const double spent = ThreadSeconds() - start;
      std::printf("%s\t%llu\t%s\t%.6f\t%d\n", path.c_str(),
                  static_cast<unsigned long long>(data.size()),
                  std::string(on ? row->typeKey : row->offTypeKey).c_str(), spent,
                  guessedFirst && row == rows.front() ? 1 : 0);
      if (context.atomicFileFound()) break;
    }
  }
  return 0;
}
