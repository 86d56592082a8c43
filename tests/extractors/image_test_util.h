// Helpers for the tests of the image and sound passes: byte strings from hex,
// real files from ImageMagick and Python, and one pass run over a buffer with
// everything it reported.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/strell_controller.h"
#include "support/test_support.h"

namespace strellbox::test {

inline std::string Fill(size_t n, char byte = '\0') { return std::string(n, byte); }

inline std::string LE32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

inline std::string BE32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[3 - i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

inline std::string LE16(uint16_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

// Runs a shell command; fails the test when it does not exit with 0.
inline void Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  ASSERT_EQ(status, 0) << command;
}

// Makes a file with ImageMagick (`convert ARGS [FORMAT:]OUTPUT`) in the
// folder and returns its bytes.
inline std::string Convert(const TempDir& dir, const std::string& args, const std::string& output,
                           const std::string& format = "") {
  const auto path = dir / output;
  const std::string target = format.empty() ? path.string() : format + ":" + path.string();
  Shell("convert " + args + " '" + target + "' 2>/dev/null");
  return ReadFile(path);
}

// Bytes from a seeded generator: filler that holds no signature by design.
inline std::string SeededBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// Runs an encoder's command in the folder and returns the file it made.
inline std::string MadeBy(const TempDir& dir, const std::string& command, const std::string& name) {
  Shell("cd '" + dir.str() + "' && " + command + " >/dev/null 2>&1");
  return ReadFile(dir / name);
}

// Everything one pass did with one buffer.
struct PassRun {
  int32_t count = 0;
  bool atomic = false;
  std::vector<Reported> items;
};

using Pass = PassFunction;

inline PassRun RunOnePass(Pass pass, const std::string& bytes,
                          const std::string& from = "/in/src.bin", bool extended = false) {
  StrellController controller;
  controller.setExtendedDetection(extended);
  ItemRecorder recorder(controller);
  ScanContext context(controller);
  PassRun run;
  run.count = pass(context, Bytes(bytes), from);
  run.atomic = context.atomicFileFound();
  run.items = recorder.items();
  return run;
}

// (offset, length) of every reported item, for compact expectations.
using Spans = std::vector<std::pair<uint64_t, uint64_t>>;
inline Spans SpansOf(const PassRun& run) {
  Spans s;
  for (const auto& i : run.items) s.emplace_back(i.from, i.length);
  return s;
}

// One hand-made stream: `item` between `before` and `after`, and the items
// (offsets relative to the end of `before`) a pass must report for it.
struct SpanCase {
  const char* name;
  std::string before, item, after;
  Spans expected;
  bool atomic;
};

inline void CheckSpans(Pass pass, const std::vector<SpanCase>& cases, const std::string& type,
                       bool extended = false) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PassRun run = RunOnePass(pass, c.before + c.item + c.after, "/in/src.bin", extended);
    Spans expected;
    for (auto [from, length] : c.expected) expected.emplace_back(from + c.before.size(), length);
    EXPECT_EQ(SpansOf(run), expected);
    EXPECT_EQ(run.count, static_cast<int32_t>(expected.size()));
    EXPECT_EQ(run.atomic, c.atomic);
    for (size_t i = 0; i < run.items.size(); ++i) {
      EXPECT_EQ(run.items[i].type, type);
      EXPECT_EQ(run.items[i].original, "/in/src.bin");
      EXPECT_EQ(run.items[i].foundNo, static_cast<int32_t>(i));
    }
  }
}

}  // namespace strellbox::test
