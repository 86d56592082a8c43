// The frame walk of the MP3 pass, for the measurements that choose its rule
// for runs without a tag (bench/mp3_false_positives.cpp).
#pragma once

#include <cstdint>
#include <optional>

#include "engine/buffer.h"
#include "engine/carve.h"

namespace strellbox {

// Frames of one stream (same version, layer, sample rate and channel
// count) that follow one another from q, each whole inside the buffer,
// and where the last one ends.
struct Mp3FrameRun {
  uint64_t frames;
  uint64_t end;
};
Mp3FrameRun WalkMp3Frames(const Buffer& b, uint64_t q, WalkBudget& budget);

// The picture of the first APIC (PIC) frame of the ID3v2 tag the file opens
// with, its unsynchronisation undone; nothing without one.
std::optional<Buffer> Id3CoverOf(const Buffer& file);

}  // namespace strellbox
