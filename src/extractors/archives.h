// The archives and compressed streams of today's files beyond zip and gzip
// (extended detection, in the flate row): tar, cpio, 7z, RAR, cab, ar, ISO
// 9660, and the xz, bzip2, zstd, lz4 and lzip compressors, read through
// libarchive from memory under our own output budget.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/buffer.h"

namespace strellbox {

class ScanContext;

// Finds every archive and compressed stream in the buffer; hands each
// member (decoder "archive-member") and each compressor's output (decoders
// "xz", "bzip2", ...) to the gate. With `reportArchives`, reports each
// archive whose end its own records give (tar, 7z, cab) as an item.
int32_t strellArchives(ScanContext& context, const Buffer& data, const std::string& from,
                       bool reportArchives);

// Where the archive found at `p` ends by its own records, or nothing:
// tar by its headers up to the two zero blocks (and the zero padding of
// its last record), 7z by its start header's next-header offset and size,
// cab by the length in its header.
std::optional<uint64_t> TarEnd(const Buffer& data, uint64_t p);
std::optional<uint64_t> SevenZipEnd(const Buffer& data, uint64_t p);
std::optional<uint64_t> CabinetEnd(const Buffer& data, uint64_t p);

// The members `names` of the zip archive [p, end), packed with a method the
// zip walk does not inflate (LZMA, bzip2, zstd, xz), read through
// libarchive and handed to the gate.
int32_t strellZipPackedMembers(ScanContext& context, const Buffer& data, uint64_t p, uint64_t end,
                               const std::vector<std::string>& names, const std::string& from);

// Bytes libarchive has handed us in this process so far (every thread), so
// that tests can check what a bomb cost.
uint64_t ArchiveOutputSoFar();

}  // namespace strellbox
