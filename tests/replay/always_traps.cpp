// A fuzz target whose invariant fails on every non-empty input: replaying
// anything through it must fail the test, which shows that a regression
// input tripping a real target's check cannot pass unnoticed.
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t size) {
  if (size > 0) __builtin_trap();
  return 0;
}
