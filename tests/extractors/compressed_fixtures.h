// Inputs for the zip, deflate and SWF tests, made with real encoders at
// test time: zlib in-process, the zip command and Python's zipfile.
#pragma once

#include <zlib.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/strell_controller.h"

namespace strellbox::test {

inline std::string Zlib(std::string_view data, int level = Z_DEFAULT_COMPRESSION,
                        std::string_view dictionary = {}) {
  z_stream z{};
  if (deflateInit(&z, level) != Z_OK) throw std::runtime_error("deflateInit");
  if (!dictionary.empty())
    deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dictionary.data()),
                         static_cast<uInt>(dictionary.size()));
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int ret = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (ret != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

inline std::string Chunk(std::string_view type, std::string_view body) {
  std::string c;
  const auto n = static_cast<uint32_t>(body.size());
  for (int shift : {24, 16, 8, 0}) c.push_back(static_cast<char>(n >> shift));
  c.append(type).append(body);
  const std::string typed = std::string(type) + std::string(body);
  const uLong crc =
      crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size()));
  for (int shift : {24, 16, 8, 0}) c.push_back(static_cast<char>(crc >> shift));
  return c;
}

// A real grey PNG image of w × h pixels with a gradient.
inline std::string MakePng(int w, int h) {
  std::string header;
  for (uint32_t v : {static_cast<uint32_t>(w), static_cast<uint32_t>(h)})
    for (int shift : {24, 16, 8, 0}) header.push_back(static_cast<char>(v >> shift));
  header += std::string("\x08\x00\x00\x00\x00", 5);  // 8-bit grey, no interlace
  std::string rows;
  for (int y = 0; y < h; ++y) {
    rows.push_back('\0');
    for (int x = 0; x < w; ++x) rows.push_back(static_cast<char>((x * 7 + y * 3) & 0xFF));
  }
  return std::string("\x89PNG\r\n\x1a\n", 8) + Chunk("IHDR", header) + Chunk("IDAT", Zlib(rows)) +
         Chunk("IEND", "");
}

// Standard output of a shell command; throws when it fails.
inline std::string RunTool(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("popen: " + command);
  std::string out;
  char block[65536];
  size_t got;
  while ((got = fread(block, 1, sizeof block, pipe)) > 0) out.append(block, got);
  if (::pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
  return out;
}

// A stand-in for a pass of another family: reports every range from
// `start` to the end of the next `end`, and marks a whole-buffer item.
inline StrellController::PassOverride FakeFinder(std::string start, std::string end,
                                                 std::string type) {
  return [start, end, type](ScanContext& c, const Buffer& data, const std::string& from) {
    int32_t count = 0;
    uint64_t p = 0;
    while ((p = data.find(start, p)) != Buffer::npos) {
      const uint64_t e = data.find(end, p + start.size());
      if (e == Buffer::npos) break;
      const uint64_t length = e + end.size() - p;
      if (p == 0 && length > data.size() - 8) c.setAtomicFileFound(true);
      c.saveStrell(data, p, length, type, from, count++, ItemEnd::kMarker);
      p += length;
    }
    return count;
  };
}

inline StrellController::PassOverride FakePngFinder() {
  return FakeFinder(std::string("\x89PNG\r\n\x1a\n", 8), std::string("IEND\xAE\x42\x60\x82", 8),
                    "png");
}

inline StrellController::PassOverride FakeJpegFinder() {
  return FakeFinder("\xFF\xD8\xFF", "\xFF\xD9", "jpg");
}

}  // namespace strellbox::test
