// Replays inputs through a fuzz target without libFuzzer, so the normal
// build and test suite run every regression input of a target. Arguments are
// folders (every regular file inside, in name order) or single files. Exits
// non-zero when there is nothing to replay, and names the input that was
// running when the target trapped, aborted or crashed.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// The input being replayed, for the signal handler (which may only write).
char gCurrent[4096] = "";

void OnFatalSignal(int signal) {
  const char* what = strsignal(signal);
  auto put = [](const char* s) { (void)!write(STDERR_FILENO, s, strlen(s)); };
  put("replay: ");
  put(what ? what : "fatal signal");
  put(" on input ");
  put(gCurrent);
  put("\n");
  _exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  for (int s : {SIGILL, SIGABRT, SIGFPE, SIGSEGV, SIGBUS}) std::signal(s, OnFatalSignal);

  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (fs::is_directory(argv[i], error)) {
      for (const auto& entry : fs::recursive_directory_iterator(argv[i]))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    } else if (fs::is_regular_file(argv[i], error)) {
      inputs.emplace_back(argv[i]);
    } else {
      std::fprintf(stderr, "replay: no such file or folder: %s\n", argv[i]);
      return 1;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: nothing to replay\n");
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());

  for (const auto& path : inputs) {
    std::snprintf(gCurrent, sizeof gCurrent, "%s", path.c_str());
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
      std::fprintf(stderr, "replay: cannot read %s\n", gCurrent);
      return 1;
    }
    // An empty vector's data() may be null; a target expects a valid pointer.
    static const uint8_t kEmpty = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &kEmpty : bytes.data(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return 0;
}
