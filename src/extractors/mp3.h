// The frame walk and start search of the MP3 pass, for the measurements
// that choose its rule for runs without a tag (bench/mp3_false_positives.cpp)
// and weigh its sweep (bench/signature_sweep.cpp).
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

// The first p with from <= p < limit where an ID3v2 tag header or a
// frame header the walk accepts stands, or Buffer::npos: where the pass
// tries to measure a file.
uint64_t FindMp3Start(const Buffer& b, uint64_t from, uint64_t limit);

// The picture of the first APIC (PIC) frame of the ID3v2 tag the file opens
// with, its unsynchronisation undone; nothing without one.
std::optional<Buffer> Id3CoverOf(const Buffer& file);

}  // namespace strellbox
