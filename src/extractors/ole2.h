// Compound files (Word, Excel and PowerPoint binaries, Outlook messages,
// thumbnail caches) under extended detection, in the flate row: like a zip
// archive, a container whose parts are put back together and scanned
// again, not a format carved by its signature.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/buffer.h"
#include "extractors/sqlite.h"

namespace strellbox {

class ScanContext;

// Every stream of every compound file in the buffer, assembled from its
// sector chain, goes to the gate under its path (decoder "ole2-stream");
// the pictures of the OfficeArt records in PowerPoint's "Pictures", Word's
// "Data" and Excel's drawing group are reported with their own bytes. With
// `reportFiles`, a compound file inside a larger buffer is reported whole,
// measured by its FAT (.doc, .xls, .ppt, .msg by its directory, else .ole).
int32_t strellOLE2(ScanContext& context, const Buffer& data, const std::string& from,
                   bool reportFiles);

// A BMP file of a DIB (a BITMAPINFOHEADER and what follows): the 14-byte
// file header in front, its pixel offset past the colour table.
std::optional<Buffer> BitmapOfDib(std::string_view dib);

// The compound files in `data`, each with its sector size: a picture a
// stream holds across sectors lies in pieces there (and an Excel drawing
// group splits it further by its records), so an item carved from the raw
// bytes across a sector boundary is damaged; the stream's own scan gives it
// whole.
std::vector<DatabasePages> CompoundFilesIn(const Buffer& data);

// The records of an Excel workbook stream (a compound file's "Workbook" or
// "Book", as the gate hands it on), each as one page: Excel splits a
// picture of its drawing group across records, so an item carved from the
// stream across a record's end holds the next record's header; the joined
// drawing group gives it whole. Nothing for any other buffer.
std::vector<DatabasePages> WorkbookRecordsOf(const Buffer& stream);

}  // namespace strellbox
