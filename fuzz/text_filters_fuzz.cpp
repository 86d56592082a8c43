// The mail and text decoders over arbitrary bytes, with the bounds their
// callers rely on (the word filter in both rule sets, and its pages on a
// second thread giving the same output).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "extractors/base64.h"
#include "extractors/text.h"

using strellbox::Buffer;

namespace {

std::vector<uint8_t> EncodeBase64Lines(const uint8_t* data, size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<uint8_t> out;
  auto put = [&out](char c) {
    out.push_back(static_cast<uint8_t>(c));
    if (out.size() % 77 == 76) out.push_back('\n');
  };
  for (size_t i = 0; i < size; i += 3) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (i + 1 < size ? uint32_t{data[i + 1]} << 8 : 0) |
                       (i + 2 < size ? uint32_t{data[i + 2]} : 0);
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=');
    put(i + 2 < size ? kAlphabet[v & 63] : '=');
  }
  out.push_back('\n');
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Buffer in = Buffer::copyOf(data, size);

  // Four data characters give at most three bytes.
  if (strellbox::Base64Decode(in).size() > size / 4 * 3) __builtin_trap();
  // The input encoded as a mail body (76-character lines, padding) decodes
  // back to itself.
  const Buffer body = Buffer(EncodeBase64Lines(data, size));
  if (strellbox::Base64Decode(body).view() != in.view()) __builtin_trap();
  // So does the clean decoder, which must take such a body whole.
  if (size > 0) {
    const auto clean = strellbox::DecodeCleanBase64(body, 0, body.size(), false);
    if (!clean || clean->view() != in.view()) __builtin_trap();
  }
  // Whatever it takes from arbitrary bytes, it gives at most three bytes
  // per four characters (an unpadded "NV" gives one).
  for (const bool skip : {false, true})
    if (auto clean = strellbox::DecodeCleanBase64(in, 0, size, skip);
        clean && clean->size() * 4 > size * 3)
      __builtin_trap();

  int64_t removed = -1;
  for (const bool extended : {false, true}) {
    const Buffer words = strellbox::ASCIILegalize2(in, &removed, extended);
    if (removed < 0 || static_cast<uint64_t>(removed) > size) __builtin_trap();
    if (words.size() > size + size / 64 + 2) __builtin_trap();
    // Pages of 97 bytes, filtered from guessed states on a second thread,
    // give the output of one run.
    std::thread helper;
    int64_t pagedRemoved = -1;
    const Buffer paged = strellbox::ASCIILegalize2(
        in, &pagedRemoved, extended,
        [&](size_t, std::function<void()> task) { helper = std::thread(std::move(task)); }, 97);
    if (helper.joinable()) helper.join();
    if (paged.view() != words.view() || pagedRemoved != removed) __builtin_trap();
  }

  const Buffer eight = strellbox::ASCII8BitLegalize(in, &removed);
  if (eight.size() + static_cast<uint64_t>(removed) < size) __builtin_trap();

  (void)strellbox::EightBitText(in.view(0, 200));
  return 0;
}
