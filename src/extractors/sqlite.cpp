// SQLite databases through the library, from memory.
//
// The library knows the format; we keep the bounds. Each database is
// handed to an in-memory connection with sqlite3_deserialize over our own
// bytes, read-only, defensive, with an untrusted schema, small limits and a
// progress handler that ends the read when the scan must stop or the work
// the database's size pays for is spent. Nothing is written to disk: a
// write-ahead log is applied by our own reader to a copy in memory (its
// frames are few fixed fields and a running checksum), and the library
// then reads that copy like any other database.
#include "extractors/sqlite.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/cursor.h"
#include "engine/decoder_table.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/scan_context.h"

namespace strellbox {

namespace {

constexpr uint64_t npos = Buffer::npos;
constexpr std::string_view kMagic{"SQLite format 3\0", 16};
constexpr uint64_t kHeaderLength = 100;
constexpr uint32_t kWalMagicLittle = 0x377f0682, kWalMagicBig = 0x377f0683;
constexpr uint32_t kWalVersion = 3007000;
constexpr uint64_t kWalHeaderLength = 32, kFrameHeaderLength = 24;
// Tables read from one database at most: far beyond real schemas, a bound
// on what a schema of crafted tables can cost in statements prepared.
constexpr size_t kMaxTables = 4096;
// The progress handler runs every kStepsPerCall virtual machine steps.
// A database may spend kBaseSteps plus kStepsPerByte per byte of its own:
// reading every value of a real table takes a few steps per row, and a row
// takes some bytes, so honest databases never come near it.
constexpr int kStepsPerCall = 1000;
constexpr uint64_t kBaseSteps = uint64_t{1} << 22;
constexpr uint64_t kStepsPerByte = 16;
// The page cache of one connection, in KiB (the pages are in memory anyway).
constexpr int kCacheKiB = 4096;

// A page size field: a power of two from 512 to 32768, or 1 for 65536.
std::optional<uint64_t> PageSize(uint32_t field) {
  const uint64_t size = field == 1 ? 65536 : field;
  if (size < 512 || size > 65536 || (size & (size - 1)) != 0) return std::nullopt;
  return size;
}

std::optional<uint64_t> PageSizeAt(const Buffer& data, uint64_t p) {
  if (!data.startsWith(p, kMagic) || !data.has(p, kHeaderLength)) return std::nullopt;
  return PageSize(data.be16(p + 16));
}

// --- the write-ahead log -------------------------------------------------------

uint32_t Word(std::string_view bytes, size_t i, bool bigEndian) {
  const auto b = [&](size_t k) { return uint32_t{static_cast<uint8_t>(bytes[i + k])}; };
  return bigEndian ? (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3)
                   : b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}

// The log's running checksum over `bytes` (a multiple of 8 long).
void Checksum(std::string_view bytes, bool bigEndian, uint32_t& s0, uint32_t& s1) {
  for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    s0 += Word(bytes, i, bigEndian) + s1;
    s1 += Word(bytes, i + 4, bigEndian) + s0;
  }
}

// The committed frames of a log: each page's number and where its bytes
// are, in log order, and the database's size in pages after the last commit.
struct WalLog {
  uint64_t pageSize = 0;
  uint32_t pages = 0;
  std::vector<std::pair<uint32_t, uint64_t>> frames;
  uint64_t end = 0;  // just past the last committed frame
};

// The frames of a log stay valid while their salts are the header's and
// the running checksum holds; only those up to the last commit count, as
// the library itself would recover them.
std::optional<WalLog> ReadWal(const Buffer& data, uint64_t p) {
  Cursor c(data, p);
  const std::optional<std::string_view> header = Cursor(c).bytes(kWalHeaderLength);
  const std::optional<uint32_t> magic = c.be32(), version = c.be32(), pageField = c.be32();
  c.skip(4);  // the checkpoint sequence
  const std::optional<uint32_t> salt1 = c.be32(), salt2 = c.be32(), sum0 = c.be32(),
                                sum1 = c.be32();
  if (!c.ok() || !header || (*magic != kWalMagicLittle && *magic != kWalMagicBig) ||
      *version != kWalVersion)
    return std::nullopt;
  // The log holds 65536 as it is; 1 is the database header's spelling only.
  const std::optional<uint64_t> pageSize = *pageField == 1 ? std::nullopt : PageSize(*pageField);
  if (!pageSize) return std::nullopt;
  const bool bigEndian = *magic == kWalMagicBig;
  uint32_t s0 = 0, s1 = 0;
  Checksum(header->substr(0, 24), bigEndian, s0, s1);
  if (s0 != *sum0 || s1 != *sum1) return std::nullopt;

  WalLog log;
  log.pageSize = *pageSize;
  size_t committed = 0;
  while (c.left() >= kFrameHeaderLength + *pageSize) {
    const std::optional<std::string_view> frame = c.bytes(kFrameHeaderLength);
    const uint64_t at = c.at();
    const std::optional<std::string_view> page = c.bytes(*pageSize);
    if (!frame || !page) break;
    const uint32_t pageNo = Word(*frame, 0, true), commit = Word(*frame, 4, true);
    if (pageNo == 0 || Word(*frame, 8, true) != *salt1 || Word(*frame, 12, true) != *salt2) break;
    Checksum(frame->substr(0, 8), bigEndian, s0, s1);
    Checksum(*page, bigEndian, s0, s1);
    if (s0 != Word(*frame, 16, true) || s1 != Word(*frame, 20, true)) break;
    log.frames.emplace_back(pageNo, at);
    if (commit != 0) {
      log.pages = commit;
      committed = log.frames.size();
      log.end = c.at();
    }
  }
  if (committed == 0) return std::nullopt;
  log.frames.resize(committed);
  return log;
}

// The database as its log leaves it: the pages of `base` (may be empty)
// with the committed frames written over them. Nothing when the pages the
// log says the database has are held by neither, or exceed `maxSize`.
std::optional<std::string> ApplyWal(std::string_view base, const Buffer& wal, const WalLog& log,
                                    uint64_t maxSize) {
  uint64_t lastPage = base.size() / log.pageSize;
  for (const auto& frame : log.frames) lastPage = std::max<uint64_t>(lastPage, frame.first);
  const uint64_t size = uint64_t{log.pages} * log.pageSize;
  if (log.pages > lastPage || size > maxSize || size < kHeaderLength) return std::nullopt;
  std::string image(base.substr(0, std::min<uint64_t>(base.size(), size)));
  image.resize(size, '\0');
  for (const auto& [pageNo, at] : log.frames)
    if (pageNo <= log.pages)
      image.replace((pageNo - 1) * log.pageSize, log.pageSize, wal.view(at, log.pageSize));
  return image;
}

// --- reading the tables --------------------------------------------------------

struct Work {
  uint64_t stepsLeft = 0;
  std::function<bool()> stop;
  bool spent = false;
};

int OnProgress(void* opaque) {
  Work& work = *static_cast<Work*>(opaque);
  if (work.stop && work.stop()) return 1;
  if (work.stepsLeft < static_cast<uint64_t>(kStepsPerCall)) {
    work.spent = true;
    return 1;
  }
  work.stepsLeft -= kStepsPerCall;
  return 0;
}

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DbPtr = std::unique_ptr<sqlite3, CloseDb>;
struct Finalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, Finalize>;

StmtPtr Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(raw);
    return nullptr;
  }
  return StmtPtr(raw);
}

std::string Quoted(std::string_view name) {
  std::string q = "\"";
  for (char ch : name) {
    if (ch == '"') q += '"';
    q += ch;
  }
  return q + '"';
}

// A read-only connection over `image`, which must outlive it.
DbPtr Open(std::string_view image, Work& work) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READONLY, nullptr);
  DbPtr db(raw);
  if (opened != SQLITE_OK) return nullptr;
  sqlite3_db_config(raw, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(raw, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
  sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
  // A value can be no longer than the database that holds it.
  sqlite3_limit(raw, SQLITE_LIMIT_LENGTH,
                static_cast<int>(std::min<uint64_t>(image.size(), INT_MAX)));
  // The schema's statements are parsed under these too.
  sqlite3_limit(raw, SQLITE_LIMIT_SQL_LENGTH, 1 << 20);
  sqlite3_limit(raw, SQLITE_LIMIT_EXPR_DEPTH, 100);
  sqlite3_limit(raw, SQLITE_LIMIT_COMPOUND_SELECT, 8);
  sqlite3_limit(raw, SQLITE_LIMIT_VDBE_OP, 1 << 16);
  sqlite3_limit(raw, SQLITE_LIMIT_FUNCTION_ARG, 8);
  sqlite3_limit(raw, SQLITE_LIMIT_ATTACHED, 0);
  sqlite3_limit(raw, SQLITE_LIMIT_LIKE_PATTERN_LENGTH, 64);
  sqlite3_limit(raw, SQLITE_LIMIT_VARIABLE_NUMBER, 8);
  sqlite3_limit(raw, SQLITE_LIMIT_TRIGGER_DEPTH, 1);
  sqlite3_limit(raw, SQLITE_LIMIT_WORKER_THREADS, 0);
  sqlite3_progress_handler(raw, kStepsPerCall, OnProgress, &work);
  // Read-only: the library never writes to these bytes nor frees them.
  auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(image.data()));
  const auto size = static_cast<sqlite3_int64>(image.size());
  if (sqlite3_deserialize(raw, "main", bytes, size, size, SQLITE_DESERIALIZE_READONLY) != SQLITE_OK)
    return nullptr;
  const std::string pragmas = fmt::format(
      "PRAGMA trusted_schema=OFF; PRAGMA query_only=1; PRAGMA cache_size=-{};", kCacheKiB);
  if (sqlite3_exec(raw, pragmas.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return nullptr;
  return db;
}

using TakeBlob = std::function<bool(const std::string& member, std::string_view bytes)>;

// Hands every BLOB of the ordinary tables of the database in `image` to
// `take`, which says whether to go on; a BLOB over `maxBlob()` is skipped.
void ReadBlobs(std::string_view image, Work& work, const std::function<uint64_t()>& maxBlob,
               const std::string& from, const TakeBlob& take) {
  DbPtr db = Open(image, work);
  if (!db) return;
  std::vector<std::string> tables;
  StmtPtr schema = Prepare(db.get(),
                           "SELECT name FROM sqlite_schema WHERE type='table' AND name NOT LIKE "
                           "'sqlite\\_%' ESCAPE '\\' AND coalesce(sql,'') NOT LIKE 'CREATE "
                           "VIRTUAL%'");
  while (schema && sqlite3_step(schema.get()) == SQLITE_ROW) {
    if (tables.size() >= kMaxTables) {
      StrellLog(fmt::format("Database in {} has more than {} tables; the rest not read", from,
                            kMaxTables));
      break;
    }
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(schema.get(), 0));
    if (name) tables.emplace_back(name);
  }
  schema.reset();
  for (const std::string& table : tables) {
    if (work.spent || (work.stop && work.stop())) break;
    const std::string q = Quoted(table);
    bool rowids = true;
    StmtPtr rows = Prepare(db.get(), "SELECT rowid, * FROM " + q);
    if (!rows) {  // a table without rowids: rows are numbered as read
      rowids = false;
      rows = Prepare(db.get(), "SELECT * FROM " + q);
    }
    if (!rows) continue;
    const int columns = sqlite3_column_count(rows.get());
    int64_t ordinal = 0;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
      ++ordinal;
      const int64_t row = rowids ? sqlite3_column_int64(rows.get(), 0) : ordinal;
      for (int i = rowids ? 1 : 0; i < columns; ++i) {
        if (sqlite3_column_type(rows.get(), i) != SQLITE_BLOB) continue;
        const void* blob = sqlite3_column_blob(rows.get(), i);
        const int length = sqlite3_column_bytes(rows.get(), i);
        if (!blob || length <= 0) continue;
        const char* column = sqlite3_column_name(rows.get(), i);
        const std::string member = fmt::format("{}/{}/{}", table, column ? column : "", row);
        if (static_cast<uint64_t>(length) > maxBlob()) {
          StrellLog(fmt::format("Value {} of {} bytes in {} over the decoded budget", member,
                                length, from));
          continue;
        }
        if (!take(member,
                  std::string_view(static_cast<const char*>(blob), static_cast<size_t>(length))))
          return;
      }
    }
    if (work.spent)
      StrellLog(fmt::format("Database in {}: work budget spent in table {}", from, table));
  }
}

// A copy of the database with its header saying "no log": the library
// reads a database from memory only in the rollback-journal mode.
std::string WithoutLogMode(std::string_view image) {
  std::string copy(image);
  if (copy.size() >= kHeaderLength) {
    if (copy[18] == 2) copy[18] = 1;
    if (copy[19] == 2) copy[19] = 1;
  }
  return copy;
}

bool InLogMode(std::string_view image) {
  return image.size() >= kHeaderLength && (image[18] == 2 || image[19] == 2);
}

Work WorkFor(uint64_t size, std::function<bool()> stop) {
  Work work;
  work.stepsLeft = kBaseSteps + kStepsPerByte * size;
  work.stop = std::move(stop);
  return work;
}

// The size the library is handed for the database at p: its own length
// where the header vouches for it, else the whole pages that follow.
uint64_t ImageSize(const Buffer& data, uint64_t p, uint64_t pageSize) {
  const std::optional<uint64_t> length = SQLiteLength(data, p);
  return length ? *length : (data.size() - p) / pageSize * pageSize;
}

// The first BLOB of the database in `image` within `maxOutput`, or nothing.
std::optional<Buffer> FirstBlob(std::string_view image, uint64_t maxOutput) {
  const std::string copy = InLogMode(image) ? WithoutLogMode(image) : std::string();
  Work work = WorkFor(image.size(), nullptr);
  std::optional<Buffer> first;
  ReadBlobs(
      copy.empty() ? image : copy, work, [&] { return maxOutput; }, "",
      [&](auto&, auto bytes) {
        first = Buffer::copyOf(bytes.data(), bytes.size());
        return false;
      });
  return first;
}

// The file a log belongs to, or a log that belongs to a file: "X" and
// "X-wal" side by side. Empty when the buffer is not a whole file.
std::filesystem::path Beside(const Buffer& data, std::string_view suffix, bool add) {
  const Origin& origin = data.origin();
  if (origin.container.empty() || !origin.chain.empty()) return {};
  std::string path = origin.container;
  if (add) return path + std::string(suffix);
  if (path.size() <= suffix.size() || !path.ends_with(suffix)) return {};
  path.resize(path.size() - suffix.size());
  return path;
}

bool IsRegularFile(const std::filesystem::path& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

}  // namespace

std::optional<uint64_t> SQLiteLength(const Buffer& data, uint64_t p) {
  const std::optional<uint64_t> pageSize = PageSizeAt(data, p);
  if (!pageSize) return std::nullopt;
  const uint32_t changes = data.be32(p + 24), pages = data.be32(p + 28),
                 validFor = data.be32(p + 92);
  if (pages == 0 || validFor != changes) return std::nullopt;
  const uint64_t length = *pageSize * pages;
  if (!data.has(p, length)) return std::nullopt;
  return length;
}

std::vector<DatabasePages> DatabasesIn(const Buffer& data) {
  std::vector<DatabasePages> found;
  for (uint64_t p = data.find(kMagic, 0); p != npos; p = data.find(kMagic, p + 1)) {
    const std::optional<uint64_t> length = SQLiteLength(data, p);
    if (!length) continue;
    found.push_back({p, *length, *PageSizeAt(data, p)});
    p += *length - 1;
  }
  return found;
}

bool SplitAcrossPages(const std::vector<DatabasePages>& databases, uint64_t from, uint64_t length) {
  if (length == 0) return false;
  for (const DatabasePages& db : databases) {
    if (from <= db.at || from - db.at >= db.length) continue;
    const uint64_t inside = from - db.at;
    return length > db.pageSize - inside % db.pageSize;
  }
  return false;
}

int32_t strellSQLite(ScanContext& context, const Buffer& data, const std::string& from,
                     bool reportFiles) {
  const uint64_t n = data.size();
  if (n < kWalHeaderLength) return 0;
  const std::string base = DeletingPathExtension(from);
  int32_t count = 0;
  // Every BLOB of the database in `image`, found at p, to the gate.
  auto scanImage = [&](std::string_view image, uint64_t p, std::string_view prefix) {
    Work work = WorkFor(image.size(), [&] { return context.stopStreller(); });
    ReadBlobs(
        image, work, [&] { return context.decodedAllowance(); }, from,
        [&](const std::string& member, std::string_view bytes) {
          DecodedChild child{Buffer::copyOf(bytes.data(), bytes.size()), DecoderId::kSqlite, p,
                             std::string(prefix) + member};
          const ChildOutcome outcome = context.scanChild(data, child, from);
          count += outcome.items;
          return outcome.scan != ChildScan::kOverBudget && outcome.scan != ChildScan::kStopped;
        });
  };
  // The database `image` with the log of `walData` at q over it.
  auto scanLogged = [&](std::string_view image, const Buffer& walData, uint64_t q, uint64_t p) {
    const std::optional<WalLog> log = ReadWal(walData, q);
    if (!log) return;
    const std::optional<std::string> applied =
        ApplyWal(image, walData, *log, context.decodedAllowance());
    if (!applied) {
      StrellLog(fmt::format("Write-ahead log of {} not applied", from));
      return;
    }
    scanImage(WithoutLogMode(*applied), p, "wal:");
  };

  for (uint64_t p = data.find(kMagic, 0); p != npos && !context.stopStreller();
       p = data.find(kMagic, p + 1)) {
    const std::optional<uint64_t> pageSize = PageSizeAt(data, p);
    if (!pageSize) continue;
    const std::optional<uint64_t> length = SQLiteLength(data, p);
    // The database alone is the input itself: only one inside more is an item.
    if (reportFiles && length && (p > 0 || *length < n)) {
      context.saveStrell(data, p, *length, "sqlite", base, count, ItemEnd::kLength);
      ++count;
    }
    const std::string_view image = data.view(p, ImageSize(data, p, *pageSize));
    if (InLogMode(image))
      scanImage(WithoutLogMode(image), p, "");
    else
      scanImage(image, p, "");
    const std::filesystem::path wal = p == 0 ? Beside(data, "-wal", true) : "";
    if (IsRegularFile(wal)) {
      const Buffer walData = Buffer::readFile(wal);
      scanLogged(image, walData, 0, p);
    }
    if (length) p += *length - 1;  // its pages were read
  }

  // Logs: applied to the file they belong to when it lies beside, else to
  // nothing, which gives the database as far as its log holds its pages.
  constexpr std::string_view kWalPrefix{"\x37\x7f\x06", 3};
  for (uint64_t q = data.find(kWalPrefix, 0); q != npos && !context.stopStreller();
       q = data.find(kWalPrefix, q + 1)) {
    const uint8_t last = data.u8(q + 3);
    if (last != (kWalMagicLittle & 0xFF) && last != (kWalMagicBig & 0xFF)) continue;
    const std::filesystem::path file = q == 0 ? Beside(data, "-wal", false) : "";
    Buffer fileData;
    if (IsRegularFile(file)) fileData = Buffer::readFile(file);
    const std::optional<uint64_t> pageSize = PageSizeAt(fileData, 0);
    const std::string_view image =
        pageSize ? fileData.view(0, ImageSize(fileData, 0, *pageSize)) : std::string_view();
    scanLogged(image, data, q, q);
  }
  return count;
}

std::optional<Buffer> DecodeSQLiteAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  const std::optional<uint64_t> pageSize = PageSizeAt(data, offset);
  if (!pageSize) return std::nullopt;
  return FirstBlob(data.view(offset, ImageSize(data, offset, *pageSize)), maxOutput);
}

}  // namespace strellbox
