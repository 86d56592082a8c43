// The headers at the front of a bare JPEG XL codestream, walked field by
// field as the decoder reads them: the image's size and metadata, its
// colour transform data, and the first frame's header and table of
// contents. Random bytes hold the codestream's two signature bytes once
// every 64 KiB, and creating a decoder for each costs tens of microseconds
// (and a line of complaint on stderr); this walk turns most of them away
// at a cost of a few dozen bytes read, and where it can walk every frame it
// knows where the codestream ends.
#pragma once

#include <cstdint>

namespace strellbox {

// Where the walk stopped: at a field the decoder would refuse, where it
// could not go on without an entropy decoder (an ICC profile, a preview
// frame, a permuted table of contents), after the frames it walks at most,
// or at the end of the last frame: the end of the codestream.
enum class JxlWalkEnd { kRefused, kIccProfile, kPreview, kPermutedToc, kFrames, kLastFrame };

struct JxlHeaderCheck {
  JxlWalkEnd end = JxlWalkEnd::kRefused;
  // The end of the last frame walked (of the codestream at kLastFrame), or 0.
  uint64_t walkedTo = 0;
  // Bytes the walk read (sections and fields skipped by their length not
  // counted).
  uint64_t bytesRead = 0;
  bool holds() const { return end != JxlWalkEnd::kRefused; }
};

// Walks the codestream's headers in [data, data + size): data starts with
// FF 0A. A picture larger than `maxPixels` does not hold, nor does a frame
// whose sections run past `size`.
JxlHeaderCheck CheckJxlCodestreamHeaders(const uint8_t* data, uint64_t size, uint64_t maxPixels);

}  // namespace strellbox
