// RTF documents keep their pictures as hex digits (or \bin runs) in \pict
// groups, and embedded objects the same way in \objdata: nothing of them
// is in one piece as bytes until the group is decoded.
//
// One forward walk per group: control words, nested groups counted (never
// recursed into, so 10^6 nested groups cost a counter), \bin counts checked
// against what is left, the output bounded by the gate's allowance.
#include "extractors/rtf.h"

#include <fmt/format.h>

#include <optional>
#include <string>

#include "engine/cursor.h"
#include "engine/decoder_table.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/ole2.h"

namespace strellbox {

namespace {

constexpr uint64_t npos = Buffer::npos;

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct Group {
  std::string type;  // the picture's type from its control word, "" for objdata
  std::string bytes;
  uint64_t end = 0;       // past the group's closing brace (or where the walk stopped)
  bool complete = false;  // closed within the buffer and the allowance: not cut short
};

// Decodes the data of the group whose control word ends at `at` (inside
// the group opened at depth 1): hex digits and \bin runs at the group's own
// level; nested groups (\*\blipuid, \picprop) are skipped.
Group ReadGroup(const Buffer& b, uint64_t at, uint64_t most) {
  Group g;
  uint64_t depth = 1;
  int high = -1;
  uint64_t i = at;
  const uint64_t n = b.size();
  while (i < n && depth > 0 && g.bytes.size() < most) {
    const uint8_t c = b.u8(i);
    if (c == '{') {
      ++depth;
      ++i;
    } else if (c == '}') {
      --depth;
      ++i;
    } else if (c == '\\') {
      // A control word: letters, an optional signed number.
      uint64_t j = i + 1;
      while (j < n && ((b.u8(j) >= 'a' && b.u8(j) <= 'z'))) ++j;
      const std::string word(b.view(i + 1, j - i - 1));
      const bool negative = j < n && b.u8(j) == '-';
      if (negative) ++j;
      uint64_t number = 0;
      bool hasNumber = false;
      while (j < n && b.u8(j) >= '0' && b.u8(j) <= '9' && number < (uint64_t{1} << 40)) {
        number = number * 10 + (b.u8(j) - '0');
        hasNumber = true;
        ++j;
      }
      if (j < n && b.u8(j) == ' ') ++j;
      if (word.empty()) j = std::max(j, i + 2);  // a control symbol (\*, \\, \{)
      if (depth == 1) {
        if (word == "pngblip") g.type = "png";
        if (word == "jpegblip") g.type = "jpg";
        if (word == "emfblip") g.type = "emf";
        if (word == "wmetafile") g.type = "wmf";
        if (word == "dibitmap") g.type = "dib";
        if (word == "macpict") g.type = "pict";
        if (word == "bin" && hasNumber && !negative) {
          // Raw bytes follow: no more than the group can hold.
          if (number > n - j) {
            g.end = n;
            return g;
          }
          const uint64_t take = std::min(number, most - g.bytes.size());
          g.bytes.append(b.view(j, take));
          j += number;
        }
      }
      i = j;
    } else {
      const int v = HexValue(c);
      if (depth == 1 && v >= 0) {
        if (high < 0) {
          high = v;
        } else {
          g.bytes += static_cast<char>(high << 4 | v);
          high = -1;
        }
      } else if (depth == 1 && c != ' ' && c != '\r' && c != '\n' && c != '\t') {
        // Only hex digits and white space stand between a group's control
        // words: any other byte means the bytes here are no picture data,
        // and the digits gathered across them would be a damaged picture.
        g.end = i;
        return g;
      }
      ++i;
    }
  }
  g.end = i;
  g.complete = depth == 0;
  return g;
}

}  // namespace

int32_t strellRTF(ScanContext& context, const Buffer& data, const std::string& from) {
  const uint64_t n = data.size();
  const std::string base = DeletingPathExtension(from);
  int32_t count = 0;
  for (uint64_t p = data.find("{\\", 0); p != npos && !context.stopStreller();
       p = data.find("{\\", p + 1)) {
    const bool pict = data.startsWith(p, "{\\pict");
    const bool object = data.startsWith(p, "{\\*\\objdata") || data.startsWith(p, "{\\objdata");
    if (!pict && !object) continue;
    const uint64_t after = p + (pict ? 6 : data.startsWith(p, "{\\*") ? 11 : 9);
    const Group g = ReadGroup(data, after, context.decodedAllowance());
    // A group cut short would give a damaged picture.
    if (g.complete && !g.bytes.empty()) {
      DecodedChild child{Buffer::fromString(g.bytes), DecoderId::kRtf, p,
                         pict ? "pict" : "objdata"};
      if (pict && !g.type.empty()) {
        ScanContext::markChild(data, child);
        // A DIB is written as a BMP: the file header goes in front.
        if (g.type == "dib") {
          if (std::optional<Buffer> bmp = BitmapOfDib(child.bytes.view(0, child.bytes.size())))
            context.saveStrell(*bmp, 0, bmp->size(), "bmp", base, count++, ItemEnd::kDecoded);
        } else {
          context.saveStrell(child.bytes, 0, child.bytes.size(), g.type, base, count++,
                             ItemEnd::kDecoded);
        }
      } else if (object) {
        count += context.scanChild(data, child, fmt::format("{}-object", base)).items;
      }
    }
    if (g.end > p + 1 && g.end <= n) p = g.end - 1;
  }
  return count;
}

std::optional<Buffer> DecodeRtfGroupAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  if (!data.startsWith(offset, "{\\")) return std::nullopt;
  const uint64_t after = data.find(uint8_t{'\\'}, offset + 2, offset + 16);
  Group g = ReadGroup(data, after == npos ? offset + 2 : after, maxOutput);
  if (!g.complete || g.bytes.empty()) return std::nullopt;
  return Buffer::fromString(g.bytes);
}

}  // namespace strellbox
