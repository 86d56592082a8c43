// SQLite databases under extended detection, in the flate row: like a
// compound file, a container whose values are read back whole and scanned
// again. A picture larger than a page is split over a chain of overflow
// pages, so only the library, not the carvers, can put it back together.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/buffer.h"

namespace strellbox {

class ScanContext;

// Every BLOB value of every ordinary table of every database in the buffer
// goes to the gate as "table/column/rowid" (decoder "sqlite"), read through
// the library from memory, read-only, under a work budget. A write-ahead
// log beside the file (X and X-wal) or found in the buffer is applied to a
// private copy in memory first, so that committed values not yet
// checkpointed come out too ("wal:table/column/rowid"). With `reportFiles`,
// a database inside a larger buffer is reported whole (type "sqlite").
int32_t strellSQLite(ScanContext& context, const Buffer& data, const std::string& from,
                     bool reportFiles);

// The length of the database at `p` by its header (page size times page
// count), when the header vouches for its page count and the pages fit in
// the buffer; nothing otherwise.
std::optional<uint64_t> SQLiteLength(const Buffer& data, uint64_t p);

// The databases of a buffer that their headers measure.
struct DatabasePages {
  uint64_t at = 0, length = 0, pageSize = 0;
};
std::vector<DatabasePages> DatabasesIn(const Buffer& data);

// Whether [from, from + length) starts inside one of the databases, after
// its first byte, and runs on past the page it starts in. No value a
// database holds lies so in one piece: each page past the first of a long
// value opens with the number of the next, so such an item is a carver
// joining a value's first piece to what follows it.
bool SplitAcrossPages(const std::vector<DatabasePages>& databases, uint64_t from, uint64_t length);

}  // namespace strellbox
