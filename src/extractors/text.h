// Text filters shared by the text and HTML extractors (text.cpp) and by the
// mail extractor's names: the word filter that keeps what reads like text,
// the 8-bit filter, and the conversion of 8-bit names to UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/buffer.h"
#include "engine/scan_helpers.h"

namespace strellbox {

// Keeps the runs of the input that read like words and drops binary noise;
// a gap of more than 64 dropped bytes becomes a line break. Text stored as
// two bytes per character is read as one. When nearly everything survives
// (more than 95 percent), returns ASCII8BitLegalize of the input instead.
// `removed` (may be null) receives the number of input bytes not kept.
// With `extended`, words of UTF-8 text in any script are read per character,
// and words longer than 60 bytes are kept when they are such text or read
// as URLs and paths; words are gathered up to 1024 bytes, cut only at a
// character boundary.
// With `helpers`, a buffer longer than `pageBytes` is filtered a page per
// thread, each page from a guessed state until the words before it meet it
// (see text.cpp); the output is the same. The output of a buffer longer
// than `spillAbove` is written to an unlinked temporary file as it grows
// and comes back mapped; when that file fails, the result is empty (and
// logged).
Buffer ASCIILegalize2(const Buffer& data, int64_t* removed, bool extended = false,
                      const ScanHelpers& helpers = {}, uint64_t pageBytes = uint64_t{16} << 20,
                      uint64_t spillAbove = uint64_t{64} << 20);

// Keeps every legal text byte and every byte at or above 0x80; a zero byte
// between two kept bytes becomes a line feed. `removed` (may be null)
// receives the number of bytes dropped or replaced.
Buffer ASCII8BitLegalize(const Buffer& data, int64_t* removed);

// Whether a word of the word filter looks like a word, given how much the
// input before it looked like text (textScore, 0 to 1).
bool WordMakesSense(std::span<const uint8_t> word, float textScore);

// Bytes of a name or title taken from the data as text: kept when they are
// UTF-8 (a character cut off at the end of UTF-8 text is dropped), else
// read as Latin-1.
std::string EightBitText(std::string_view bytes);

}  // namespace strellbox
