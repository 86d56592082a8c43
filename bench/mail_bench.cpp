// The Base64 pass over mailboxes held in memory (no file system), against one
// memchr sweep of the same bytes:
//  - Attachments: 64 MiB of messages with attachments of 4 KB to 1 MB;
//  - ManyUnnamed: 64 MiB of small unnamed attachments, so that every few
//    hundred bytes a keyword looks ahead for header fields that never come;
//  - EndlessLine: 64 MiB of one Base64 line without a keyword;
//  - Uuencoded, Yenc: 64 MiB of news posts with files of 4 KB to 1 MB.
// "Extended" runs have extended detection on: names decoded, uuencode and
// yEnc read, and every attachment scanned again by the default passes.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "engine/strell_controller.h"

namespace {

using strellbox::Buffer;

constexpr size_t kSize = size_t{64} << 20;

std::string Encode(const std::string& bytes) {
  std::string one(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(one.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  one.resize(static_cast<size_t>(n));
  std::string out;
  out.reserve(one.size() + one.size() / 76 + 1);
  for (size_t i = 0; i < one.size(); i += 76) out.append(one, i, 76).push_back('\n');
  return out;
}

std::string Message(std::mt19937& rng, size_t size, bool named, int k) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  std::string m =
      "--b\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n";
  if (named)
    m += "Content-Disposition: attachment; filename=\"file-" + std::to_string(k) + ".bin\"\n";
  return m + "\n" + Encode(bytes) + "\n";
}

Buffer Mailbox(size_t minSize, size_t maxSize, bool named) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<size_t> sizes(minSize, maxSize);
  std::string box;
  box.reserve(kSize + maxSize * 2);
  for (int k = 0; box.size() < kSize; ++k) {
    if (k % 3 == 0) box += "From sender@example.com\nSubject: files\n\nHello, the files.\n";
    box += Message(rng, sizes(rng), named, k);
  }
  return Buffer::fromString(box);
}

const Buffer& Attachments() {
  static const Buffer b = Mailbox(4000, 1000000, true);
  return b;
}
const Buffer& ManyUnnamed() {
  static const Buffer b = Mailbox(200, 400, false);
  return b;
}
// News posts of uuencoded (or yEnc) files, each in a plain body.
Buffer Posts(bool yenc) {
  std::mt19937 rng(6);
  std::uniform_int_distribution<size_t> sizes(4000, 1000000);
  std::string box;
  box.reserve(kSize + 2000000);
  for (int k = 0; box.size() < kSize; ++k) {
    std::string bytes(sizes(rng), '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    box += "From poster@example.com\nSubject: file " + std::to_string(k) + "\n\n";
    const std::string name = "file-" + std::to_string(k) + ".bin";
    if (yenc) {
      box += "=ybegin line=128 size=" + std::to_string(bytes.size()) + " name=" + name + "\n";
      size_t column = 0;
      for (const char c : bytes) {
        auto v = static_cast<uint8_t>(static_cast<uint8_t>(c) + 42);
        if (v == 0 || v == '\n' || v == '\r' || v == '=') {
          box.push_back('=');
          v = static_cast<uint8_t>(v + 64);
          ++column;
        }
        box.push_back(static_cast<char>(v));
        if (++column >= 128) {
          box.push_back('\n');
          column = 0;
        }
      }
      const uint32_t crc = static_cast<uint32_t>(
          crc32_z(0, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
      char tail[64];
      std::snprintf(tail, sizeof tail, "\n=yend size=%zu crc32=%08x\n", bytes.size(), crc);
      box += tail;
    } else {
      box += "begin 644 " + name + "\n";
      for (size_t i = 0; i < bytes.size(); i += 45) {
        const size_t n = std::min<size_t>(45, bytes.size() - i);
        box.push_back(static_cast<char>(0x20 + n));
        for (size_t g = 0; g < n; g += 3) {
          uint8_t in[3] = {0, 0, 0};
          for (size_t j = 0; j < 3 && g + j < n; ++j)
            in[j] = static_cast<uint8_t>(bytes[i + g + j]);
          const uint8_t out[4] = {static_cast<uint8_t>(in[0] >> 2),
                                  static_cast<uint8_t>(((in[0] & 3) << 4) | (in[1] >> 4)),
                                  static_cast<uint8_t>(((in[1] & 15) << 2) | (in[2] >> 6)),
                                  static_cast<uint8_t>(in[2] & 63)};
          for (const uint8_t v : out) box.push_back(static_cast<char>(v ? 0x20 + v : '`'));
        }
        box.push_back('\n');
      }
      box += "`\nend\n";
    }
  }
  return Buffer::fromString(box);
}

const Buffer& Uuencoded() {
  static const Buffer b = Posts(false);
  return b;
}
const Buffer& Yenc() {
  static const Buffer b = Posts(true);
  return b;
}

const Buffer& EndlessLine() {
  static const Buffer b = Buffer::fromString(std::string(kSize, 'Q'));
  return b;
}

void Sweep(benchmark::State& state, const Buffer& data) {
  for (auto _ : state) benchmark::DoNotOptimize(std::memchr(data.data(), 0xFF, data.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void Run(benchmark::State& state, const Buffer& data, bool extended) {
  strellbox::StrellController controller;
  controller.setExtendedDetection(extended);
  const auto out = std::filesystem::temp_directory_path() /
                   ("strellbox-mail-bench-" + std::to_string(::getpid()));
  controller.setStrellOutputDirectory(out.string());  // made empty by the first item
  controller.setSaveObserverForTesting([](const Buffer&, uint64_t, uint64_t, std::string_view,
                                          std::string_view, int32_t, strellbox::ItemEnd) {});
  int32_t items = 0;
  for (auto _ : state) items = RunPass(controller, strellbox::strellBase64, data, "mail.mbox");
  std::filesystem::remove_all(out);
  state.counters["items"] = items;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void Pass(benchmark::State& state, const Buffer& data) { Run(state, data, false); }
void Extended(benchmark::State& state, const Buffer& data) { Run(state, data, true); }

BENCHMARK_CAPTURE(Sweep, Attachments, Attachments())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Pass, Attachments, Attachments())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Pass, ManyUnnamed, ManyUnnamed())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Pass, EndlessLine, EndlessLine())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Extended, Attachments, Attachments())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Extended, ManyUnnamed, ManyUnnamed())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Extended, EndlessLine, EndlessLine())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Extended, Uuencoded, Uuencoded())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Extended, Yenc, Yenc())->Unit(benchmark::kMillisecond);

}  // namespace
