// Disk images kept in segment files: evidence files (disk.E01 disk.E02 …,
// disk.Ex01 …, read through libewf) and split raw images (disk.001
// disk.002 …, read end to end). The job scans the media such a set holds,
// not the bytes of its files: the media is read into a temporary file
// that is unlinked at once and mapped read-only, so that memory stays
// bounded whatever the media's size, and the file is gone when the last
// view of the buffer is.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/buffer.h"

namespace strellbox {

enum class SegmentSet : uint8_t {
  kNone,      // not the first segment of a set
  kEwf,       // .E01 or .Ex01 with the evidence file's signature
  kSplitRaw,  // .001 (any width of digits) with its .002 beside it
};

// What the first segment at `path` starts. Reads the signature of a .E01
// or .Ex01; looks for the second file of a .001.
SegmentSet FirstSegmentOf(const std::string& path);

// The entries of a job with the later segments of every set whose first
// segment is an entry too taken out (those are read with it), and the
// bytes the job's total changes by: each first segment counts its media's
// size twice instead of its file's (the media is read out of the set, then
// scanned: the bar moves while either goes on), the later segments nothing.
struct SegmentEntries {
  std::vector<std::string> entries;
  double totalChange = 0;
};
SegmentEntries CollapseSegments(const std::vector<std::string>& entries);

// The media of the set whose first segment is `path`, or nothing when the
// path starts no set (it is then read as a file of its own). A set whose
// media cannot be read (a segment unreadable, no room in the temporary
// folder, a stop, more than `maxMedia` bytes) gives kUnreadable and an
// empty buffer; the reason is logged. Chunks that fail their checksum and
// segments missing at the end or in the middle are logged with their
// media offsets; libewf reads them as zeros and the scan goes on.
// The buffer's origin names the first segment as its container and a
// chain of one step, "ewf" or "split-raw" at offset 0. With two `readers`
// or more (at most 8 are used), an evidence file's media is cut into that
// many parts, each inflated by a handle of its own on a thread of its own;
// the media, and what is logged, are the same.
struct MediaRead {
  Buffer media;
  ReadStatus status = ReadStatus::kRead;
};
// `progress` (from either reader's thread) gets each block's media bytes as
// they are read.
std::optional<MediaRead> ReadSegmentMedia(const std::string& path,
                                          const std::function<bool()>& stop,
                                          uint64_t maxMedia = UINT64_MAX, int readers = 1,
                                          const std::function<void(uint64_t)>& progress = {});

}  // namespace strellbox
