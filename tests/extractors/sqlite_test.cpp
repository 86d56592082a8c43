// SQLite databases under extended detection (flate row): databases that
// Python's sqlite3 module writes at test time, holding a JPEG that fits in
// a page and a JPEG and a PNG that spill into overflow pages. Every picture
// must come out byte-identical and no carved piece of one may come out;
// a log not yet checkpointed must give its committed picture; hostile
// headers and schemas must neither hang the read nor hide what follows.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "extractors/container_test_util.h"
#include "extractors/sqlite.h"

namespace strellbox::test {
namespace {

constexpr uint64_t kFiller = 1237;  // an odd offset

class SQLiteDatabases : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    // Noise does not compress: both large pictures span several pages.
    small_ = new std::string(Convert(*dir_, "-size 16x16 gradient:red-blue", "s.jpg"));
    jpeg_ = new std::string(
        Convert(*dir_, "-size 60x40 xc: +noise Random -strip -quality 90", "b.jpg"));
    png_ = new std::string(Convert(*dir_, "-size 120x90 xc: +noise Random", "b.png"));
  }
  static void TearDownTestSuite() {
    delete small_;
    delete jpeg_;
    delete png_;
    delete dir_;
  }

  // Runs Python with the pictures' folder as its working folder.
  static void Python(const std::string& script) {
    WriteFile(*dir_ / "make.py", script);
    Shell("cd '" + dir_->str() + "' && python3 make.py");
  }
  // A database of the given page size. With three pictures: table t, rows
  // 1 (small JPEG), 2 (JPEG) and 3 (PNG). With the JPEG alone: its one row,
  // a column after it padded so that the JPEG's first page-full, headers
  // and all, lies in the table's page and its overflow pages follow, as a
  // carver walking the raw bytes meets it.
  static std::string Database(int pageSize, bool jpegAlone) {
    const std::string name = fmt::format("p{}{}.db", pageSize, jpegAlone ? "j" : "");
    if (std::filesystem::exists(*dir_ / name)) return ReadFile(*dir_ / name);
    Python(
        fmt::format("import sqlite3, sys\n"
                    "U, alone = {1}, {2}\n"
                    "c = sqlite3.connect('{0}')\n"
                    "c.execute(f'PRAGMA page_size={{U}}')\n"
                    "c.execute('CREATE TABLE t(name TEXT, data BLOB)')\n"
                    "if not alone:\n"
                    "    for f in ['s.jpg', 'b.jpg', 'b.png']:\n"
                    "        c.execute('INSERT INTO t VALUES(?, ?)', (f, open(f, 'rb').read()))\n"
                    "else:\n"
                    "    jpeg = open('b.jpg', 'rb').read()\n"
                    "    J, lo, hi = len(jpeg), (U - 12) * 32 // 255 - 23, U - 35\n"
                    "    vlen = lambda v: 1 if v < 128 else 2 if v < 16384 else 3\n"
                    "    def first_piece(K):\n"
                    "        h = 1 + 1 + vlen(2 * J + 12) + vlen(2 * K + 13)\n"
                    "        local = lo + (h + 5 + J + K - lo) % (U - 4)\n"
                    "        return (local if local <= hi else lo) - h - 5\n"
                    "    want = min(2000, U - 300)\n"
                    "    K = next(K for K in range(U) if want <= first_piece(K) < J)\n"
                    "    c.execute('ALTER TABLE t ADD COLUMN pad TEXT')\n"
                    "    c.execute('INSERT INTO t VALUES(?, ?, ?)', ('b.jpg', jpeg, 'p' * K))\n"
                    "    c.commit()\n"
                    "    db = open('{0}', 'rb').read()\n"
                    "    sys.exit(0 if db.find(jpeg[:want]) >= 0 and db.find(jpeg) < 0 else 1)\n"
                    "c.commit()\n"
                    "c.close()\n",
                    name, pageSize, jpegAlone ? "True" : "False"));
    return ReadFile(*dir_ / name);
  }

  // Every picture reported is one put in, each came out, and the JPEG
  // spilling over pages came out of the value read back.
  static void ExpectAllWhole(const std::vector<Reported>& items, bool jpegAlone) {
    std::set<std::string> out;
    for (const Reported& item : items) {
      if (item.type != "png" && item.type != "jpg") continue;
      EXPECT_TRUE(item.bytes == *png_ || item.bytes == *jpeg_ || item.bytes == *small_)
          << "a damaged " << item.type << " of " << item.bytes.size() << " bytes at " << item.from;
      out.insert(item.bytes);
      if (item.bytes == *jpeg_ && !item.chain.empty()) {
        EXPECT_EQ(item.chain.back().decoder, "sqlite");
        EXPECT_EQ(item.chain.back().member, jpegAlone ? "t/data/1" : "t/data/2");
      }
    }
    EXPECT_EQ(out.size(), jpegAlone ? 1u : 3u);
  }

  static inline TempDir* dir_ = nullptr;
  static inline std::string *small_ = nullptr, *jpeg_ = nullptr, *png_ = nullptr;
};

// The pictures of a database alone and of one at an odd offset inside
// filler come out whole, and no carved piece of one; only the embedded
// database is itself an item, measured to the byte.
TEST_F(SQLiteDatabases, PicturesComeOutWholeAndTheEmbeddedDatabaseIsMeasured) {
  ASSERT_GT(jpeg_->size(), 4096u);
  ASSERT_GT(png_->size(), 4096u);
  const struct {
    int pageSize;
    bool jpegAlone;
  } cases[] = {{1024, false}, {4096, false}, {65536, false}, {1024, true}, {4096, true}};
  for (const auto& c : cases) {
    const std::string db = Database(c.pageSize, c.jpegAlone);
    for (bool embedded : {false, true}) {
      SCOPED_TRACE(fmt::format("page size {}{}, {}", c.pageSize, c.jpegAlone ? ", JPEG alone" : "",
                               embedded ? "embedded" : "alone"));
      const std::string bytes = embedded ? SeededBytes(kFiller, 7) + db + SeededBytes(999, 8) : db;
      const std::vector<Reported> items = ScanContainer(bytes, true);
      ExpectAllWhole(items, c.jpegAlone);
      Spans databases;
      for (const Reported& item : items)
        if (item.type == "sqlite") {
          databases.emplace_back(item.from, item.length);
          EXPECT_EQ(item.end, ItemEnd::kLength);
        }
      const Spans expected = embedded ? Spans{{kFiller, db.size()}} : Spans{};
      EXPECT_EQ(databases, expected);
    }
  }
}

// A log not yet checkpointed: its committed picture comes out when the
// database is scanned beside it, when the log is scanned beside its
// database, and from the log alone; the database alone does not hold it.
TEST_F(SQLiteDatabases, TheCommittedPictureOfAnUncheckpointedLogComesOut) {
  Python(
      "import os, shutil, sqlite3\n"
      "os.makedirs('wal', exist_ok=True)\n"
      "os.makedirs('alone', exist_ok=True)\n"
      "os.makedirs('dbonly', exist_ok=True)\n"
      "c = sqlite3.connect('w.db')\n"
      "c.execute('PRAGMA journal_mode=WAL')\n"
      "c.execute('PRAGMA wal_autocheckpoint=0')\n"
      "c.execute('CREATE TABLE t(data BLOB)')\n"
      "c.execute('INSERT INTO t VALUES(?)', (open('b.jpg', 'rb').read(),))\n"
      "c.commit()\n"
      "shutil.copy('w.db', 'wal/w.db')\n"
      "shutil.copy('w.db-wal', 'wal/w.db-wal')\n"
      "shutil.copy('w.db-wal', 'alone/w.db-wal')\n"
      "shutil.copy('w.db', 'dbonly/w.db')\n"
      "c.close()\n");
  const struct {
    const char* path;
    bool gives;
  } cases[] = {
      {"wal/w.db", true},
      {"wal/w.db-wal", true},
      {"alone/w.db-wal", true},
      {"dbonly/w.db", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    StrellController controller;
    controller.setAllScans(false);
    controller.setScanFor(PassId::kJPEG, true);
    controller.setExtendedDetection(true);
    ItemRecorder recorder(controller);
    const std::string path = (*dir_ / c.path).string();
    controller.strellData(Buffer::readFile(path), path);
    bool out = false;
    for (const Reported& item : recorder.items())
      if (item.bytes == *jpeg_ && !item.chain.empty() && item.chain.back().member == "wal:t/data/1")
        out = true;
    EXPECT_EQ(out, c.gives);
  }
  // The evidence is left as it was: nothing written beside it.
  EXPECT_EQ(ListFiles(*dir_ / "wal"), (std::vector<std::string>{"w.db", "w.db-wal"}));
}

// Hostile databases, each followed by a PNG: the read ends soon, reports
// no database its header does not measure, and the PNG after it is found.
TEST_F(SQLiteDatabases, HostileDatabasesStayBoundedAndHideNothingAfterThem) {
  const std::string db = Database(1024, false);
  // 10^4 tables in the schema, all on the root page of the first (made
  // through the library's writable schema: creating them one by one takes
  // seconds).
  Python(
      "import sqlite3\n"
      "c = sqlite3.connect('many.db')\n"
      "c.execute('CREATE TABLE t0(data BLOB)')\n"
      "c.execute('INSERT INTO t0 VALUES(?)', (open('b.jpg', 'rb').read(),))\n"
      "c.commit()\n"
      "v = c.execute('PRAGMA schema_version').fetchone()[0]\n"
      "c.execute('PRAGMA writable_schema=ON')\n"
      "c.execute(\"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 9999) "
      "\"\n"
      "          \"INSERT INTO sqlite_schema SELECT 'table', 't' || i, 't' || i, 2, \"\n"
      "          \"'CREATE TABLE t' || i || '(data BLOB)' FROM n\")\n"
      "c.execute(f'PRAGMA schema_version={v + 1}')\n"
      "c.commit()\n"
      "c.close()\n");
  auto patched = [&](uint64_t at, const std::string& bytes) {
    std::string copy = db;
    copy.replace(at, bytes.size(), bytes);
    return copy;
  };
  const std::string after = Convert(*dir_, "-size 32x32 plasma:fractal", "after.png");
  const struct {
    const char* name;
    std::string bytes;
    bool measured;
  } cases[] = {
      // 2^31 pages, the change counter vouching for them.
      {"page count 2^31", patched(28, BE32(0x80000000u)), false},
      // 1 stands for 65536: far more than the file holds.
      {"page size 1", patched(16, std::string("\x00\x01", 2)), false},
      {"page size 3", patched(16, std::string("\x00\x03", 2)), false},
      // The first overflow page (page 3) names itself as the next.
      {"overflow-page loop", patched(2 * 1024, BE32(3)), true},
      {"10^4 tables", ReadFile(*dir_ / "many.db"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<Reported> items = ScanContainer("padding." + c.bytes + after, true);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(10));
    bool afterFound = false;
    int databases = 0;
    for (const Reported& item : items) {
      afterFound = afterFound || item.bytes == after;
      databases += item.type == "sqlite";
    }
    EXPECT_TRUE(afterFound);
    EXPECT_EQ(databases, c.measured ? 1 : 0);
  }
}

}  // namespace
}  // namespace strellbox::test
