// Debian's JPEG XL decoder writes a line to stderr ("./lib/jxl/...") for
// each codestream it refuses, and has no switch to stop it; a scan hands
// it every candidate whose headers hold, which in a disk image of
// compressed data means hundreds a gigabyte. The programs' stderr stream is
// replaced, once at startup, by one that passes everything on to file
// descriptor 2 except those lines.
#pragma once

#include <string>
#include <string_view>

namespace strellbox {

// What of one write to stderr passes on: the write's lines, less those that
// start with `dropped`. The decoder writes each of its lines whole, in a
// write of its own, so a write is judged without regard to the one before.
std::string PassedLines(std::string_view written, std::string_view dropped);

// Replaces stderr by the filtering stream. Call it first thing in main,
// before any thread starts: stderr is a plain variable.
void DropDecoderNoiseFromStderr();

}  // namespace strellbox
