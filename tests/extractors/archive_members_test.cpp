// gzip members and zip members under extended detection: inflated, scanned
// again and (gzip, with flate saving on) reported, from archives that Python,
// zlib and ImageMagick write at test time.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

#include "extractors/compressed_fixtures.h"
#include "extractors/image_test_util.h"
#include "extractors/zip_deflate.h"

namespace strellbox::test {
namespace {

// A gzip member written by zlib with every optional header field.
std::string GzipWithEveryField(const std::string& content, const std::string& name) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string extra = "AB\x02\x00xy";
  std::string comment = "made for the test";
  gz_header header{};
  header.extra = reinterpret_cast<Bytef*>(extra.data());
  header.extra_len = static_cast<uInt>(extra.size());
  header.name = reinterpret_cast<Bytef*>(const_cast<char*>(name.c_str()));
  header.comment = reinterpret_cast<Bytef*>(comment.data());
  header.hcrc = 1;
  deflateSetHeader(&z, &header);
  std::string out(deflateBound(&z, content.size()) + 256, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  z.avail_in = static_cast<uInt>(content.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

class ArchiveMembers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    png_ = new std::string(Convert(*dir_, "-size 48x32 gradient:red-blue", "image1.png"));
    jpeg_ = new std::string(Convert(*dir_, "-size 40x30 gradient:green-yellow", "photo.jpg"));
  }
  static void TearDownTestSuite() {
    delete png_;
    delete jpeg_;
    delete dir_;
  }
  // Runs the flate row over the bytes with the PNG and JPEG passes on.
  static std::vector<Reported> Scan(const std::string& bytes, bool extended, bool saving,
                                    int32_t* count = nullptr) {
    StrellController c;
    c.setAllScans(false);
    c.setScanFor(PassId::kPNG, true);
    c.setScanFor(PassId::kJPEG, true);
    c.setScanFor(PassId::kFlate, saving);
    c.setExtendedDetection(extended);
    ItemRecorder rec(c);
    const int32_t n = c.strellData(Bytes(bytes), "/in/cache.bin");
    if (count) *count = n;
    return rec.items();
  }
  static std::string Python(const std::string& program) {
    WriteFile(*dir_ / "make.py", program);
    return RunTool("cd '" + dir_->str() + "' && python3 make.py");
  }

  static TempDir* dir_;
  static std::string* png_;
  static std::string* jpeg_;
};

TempDir* ArchiveMembers::dir_ = nullptr;
std::string* ArchiveMembers::png_ = nullptr;
std::string* ArchiveMembers::jpeg_ = nullptr;

TEST_F(ArchiveMembers, GzipMembersAreInflatedScannedAndNamed) {
  // Python's gzip with a file name; two members in one file; zlib's with
  // FEXTRA, FNAME, FCOMMENT and FHCRC.
  const std::string python = Python(
      "import gzip,io,sys\n"
      "b=io.BytesIO()\n"
      "with gzip.GzipFile(filename='photo.jpg',mode='wb',fileobj=b,mtime=1) as g:\n"
      "  g.write(open('photo.jpg','rb').read())\n"
      "two=gzip.compress(b'first member '*40,mtime=1)+gzip.compress(open('image1.png','rb').read(),"
      "mtime=1)\n"
      "sys.stdout.buffer.write(b.getvalue()+b'----'+two)\n");
  const std::string zlibMember = GzipWithEveryField(*png_ + "trailing text", "dir/picture.png");
  const std::string file = std::string(30, '.') + python + "...." + zlibMember + "tail";

  struct Row {
    bool extended, saving;
    std::vector<std::pair<std::string, std::string>> items;  // original, type
  };
  const std::vector<Row> rows = {
      {false, true, {}},
      {true, false, {{"photo.jpg", "jpg"}, {"/in/cache-inflated", "png"}, {"picture.png", "png"}}},
      {true,
       true,
       {{"photo.jpg", "jpg"},
        {"photo.jpg", "jpg"},
        {"/in/cache[", "txt"},
        {"/in/cache-inflated", "png"},
        {"/in/cache[", "png"},
        {"picture.png", "png"},
        {"picture.png", "png"}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(fmt::format("extended {} saving {}", r.extended, r.saving));
    const std::vector<Reported> items = Scan(file, r.extended, r.saving);
    ASSERT_EQ(items.size(), r.items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(items[i].original.substr(0, r.items[i].first.size()), r.items[i].first) << i;
      EXPECT_EQ(items[i].type, r.items[i].second) << i;
    }
    if (!r.extended) continue;
    // Byte-exact: the JPEG and the PNG from the members, and each saved
    // member its whole content.
    EXPECT_EQ(items[0].bytes, *jpeg_);
    if (r.saving) {
      EXPECT_EQ(items[1].bytes, *jpeg_);
      EXPECT_EQ(items[2].bytes, [] {
        std::string s;
        for (int i = 0; i < 40; ++i) s += "first member ";
        return s;
      }());
      EXPECT_EQ(items[5].bytes, *png_);
      EXPECT_EQ(items[6].bytes, *png_ + "trailing text");
      EXPECT_EQ(items[6].foundNo, 6);
    }
  }
}

// A raw deflate stream of `mib` MiB of zeros, a few KB a GiB: after a full
// flush the compressor's output for another MiB of zeros repeats exactly.
std::string RawZeroBomb(uint64_t mib) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  const std::string zeros(1 << 20, '\0');
  auto run = [&z](std::string_view in, int flush) {
    std::string out(1 << 21, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    out.resize(out.size() - z.avail_out);
    return out;
  };
  std::string bomb = run(zeros, Z_FULL_FLUSH);
  const std::string segment = run(zeros, Z_FULL_FLUSH);
  EXPECT_EQ(run(zeros, Z_FULL_FLUSH), segment);
  const std::string tail = run("", Z_FINISH);
  deflateEnd(&z);
  for (uint64_t i = 3; i < mib; ++i) bomb += segment;
  return bomb + tail;
}

TEST_F(ArchiveMembers, BrokenAndHostileGzipMembers) {
  const std::string good = GzipWithEveryField(*jpeg_, "photo.jpg");
  std::string badCRC = good;
  badCRC[badCRC.size() - 6] ^= 1;
  std::string reserved = good;
  reserved[3] |= 0x20;
  std::string endlessName = good.substr(0, 10) + std::string(5000, 'n') + good.substr(10);
  endlessName[3] = 0x08;
  struct Row {
    const char* name;
    std::string member;
    size_t jpegs;
  };
  const std::vector<Row> rows = {
      {"a whole member", good, 1},
      {"cut short", good.substr(0, good.size() - 9), 0},
      {"a wrong CRC", badCRC, 0},
      {"a reserved flag", reserved, 0},
      {"a name without its end", endlessName, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(Scan(std::string(40, '.') + r.member + std::string(40, '.'), true, false).size(),
              r.jpegs);
  }

  // 10 GiB of zeros in one member stop at the cap; of 64 members of 1 MiB
  // of zeros each, only those within the allowance that all members of the
  // buffer share are inflated (two caps), the others stop at once.
  const std::string header("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  const std::string bomb = header + RawZeroBomb(10240) + std::string(8, '\0');
  uint64_t before = InflateWorkOnThisThread();
  int32_t count = 0;
  EXPECT_TRUE(Scan(bomb, true, true, &count).empty());
  EXPECT_EQ(count, 0);
  EXPECT_LE(InflateWorkOnThisThread() - before, 2 * InflateCap(bomb.size()) + 3 * bomb.size());

  std::string members;
  const std::string mib = RunTool(
      "python3 -c \"import gzip,sys; sys.stdout.buffer.write(gzip.compress(bytes(1 << 20), "
      "mtime=1))\"");
  for (int i = 0; i < 64; ++i) members += mib;
  before = InflateWorkOnThisThread();
  EXPECT_TRUE(Scan(members, true, false, &count).empty());
  const uint64_t shared = 2 * InflateCap(members.size());
  EXPECT_GE(count, 2);
  EXPECT_LE(count, static_cast<int32_t>(shared / (1 << 20)) + 1);
  EXPECT_LE(InflateWorkOnThisThread() - before, shared + (1 << 20) + 64u * 2 * mib.size());

  // Ordinary members joined into one stream (cat a.gz b.gz) all come out.
  const std::string joined = good + GzipWithEveryField(*png_, "second.png");
  EXPECT_EQ(Scan(std::string(40, '.') + joined, true, false).size(), 2u);
}

// Archives Python's zipfile writes: a docx-shaped one (deflated XML and
// PNG, a stored JPEG), one written into a pipe (data descriptors), a zip64
// one, and one that stores another zip.
TEST_F(ArchiveMembers, ZipMembersComeOutAndArchivesAreMeasuredByTheirRecords) {
  Python(
      "import io,zipfile\n"
      "png=open('image1.png','rb').read(); jpg=open('photo.jpg','rb').read()\n"
      "def make(path, write, **kw):\n"
      "  with zipfile.ZipFile(path,'w',**kw) as z: write(z)\n"
      "def docx(z):\n"
      "  z.writestr('[Content_Types].xml','<Types/>'*20,zipfile.ZIP_DEFLATED)\n"
      "  z.writestr('word/document.xml','<w:document/>'*50,zipfile.ZIP_DEFLATED)\n"
      "  z.writestr('word/media/image1.png',png,zipfile.ZIP_DEFLATED)\n"
      "  z.writestr('word/media/image2.jpg',jpg,zipfile.ZIP_STORED)\n"
      "make('doc.docx',docx)\n"
      "class Pipe(io.RawIOBase):\n"
      "  def __init__(s): s.b=bytearray()\n"
      "  def writable(s): return True\n"
      "  def write(s,d): s.b+=d; return len(d)\n"
      "p=Pipe()\n"
      "with zipfile.ZipFile(p,'w',zipfile.ZIP_DEFLATED) as z:\n"
      "  with z.open('piped.png','w') as f: f.write(png)\n"
      "open('piped.zip','wb').write(bytes(p.b))\n"
      "def z64(z):\n"
      "  with z.open('big.png','w',force_zip64=True) as f: f.write(png)\n"
      "make('z64.zip',z64,compression=zipfile.ZIP_DEFLATED)\n"
      "make('inner.zip',lambda z:z.writestr('deep.png',png,zipfile.ZIP_DEFLATED))\n"
      "make('outer.zip',lambda z:z.write('inner.zip'))\n");
  const std::string docx = ReadFile(*dir_ / "doc.docx");
  const std::string piped = ReadFile(*dir_ / "piped.zip");
  const std::string zip64 = ReadFile(*dir_ / "z64.zip");
  const std::string outer = ReadFile(*dir_ / "outer.zip");
  const std::string inner = ReadFile(*dir_ / "inner.zip");
  ASSERT_EQ(piped[6] & 0x08, 0x08) << "written with a data descriptor";
  ASSERT_NE(outer.find(inner), std::string::npos) << "stored as it is";

  for (const std::string* archive : {&docx, &piped, &zip64, &outer}) {
    const std::string file = std::string(50, '.') + *archive + std::string(50, '.');
    for (const bool extended : {false, true}) {
      SCOPED_TRACE(fmt::format("archive of {} bytes, extended {}", archive->size(), extended));
      const std::vector<Reported> items = Scan(file, extended, true);
      std::vector<std::string> zips, pngs;
      for (const Reported& item : items) {
        if (item.type == "zip") zips.push_back(item.bytes);
        if (item.type == "png") pngs.push_back(item.original);
      }
      if (!extended) {
        EXPECT_TRUE(pngs.empty());
        ASSERT_FALSE(zips.empty());
        // The first end record after the local header ends the archive:
        // the stored zip's cuts the outer one short.
        EXPECT_EQ(zips[0] == *archive, archive != &outer);
        continue;
      }
      ASSERT_FALSE(zips.empty());
      EXPECT_EQ(zips.back(), *archive);  // reported once its members were read
      if (archive == &outer) {
        ASSERT_EQ(zips.size(), 2u);
        EXPECT_EQ(zips[0], inner);  // found in the stored member's own scan
        EXPECT_EQ(pngs, std::vector<std::string>{"deep.png"});
      } else {
        EXPECT_EQ(zips.size(), 1u);
        const char* name = archive == &docx    ? "image1.png"
                           : archive == &piped ? "piped.png"
                                               : "big.png";
        EXPECT_EQ(pngs, std::vector<std::string>{name});
      }
    }
  }
  // The stored JPEG of the document comes out of the member's scan too,
  // named after the member.
  const std::vector<Reported> items = Scan(docx, true, false);
  EXPECT_TRUE(std::any_of(items.begin(), items.end(), [&](const Reported& item) {
    return item.original == "image2.jpg" && item.bytes == *jpeg_;
  }));
}

TEST_F(ArchiveMembers, HostileArchivesCostBoundedWork) {
  // 65535 central records all naming one member that inflates to 64 MiB,
  // and zips stored in zips 20 deep.
  Python(
      "import zipfile,struct\n"
      "with zipfile.ZipFile('bomb.zip','w',zipfile.ZIP_DEFLATED) as z:\n"
      "  z.writestr('zeros.bin',bytes(64<<20))\n"
      "d=open('bomb.zip','rb').read()\n"
      "cd=d.index(b'PK\\x01\\x02'); eocd=d.index(b'PK\\x05\\x06')\n"
      "rec=d[cd:eocd]\n"
      "n=65535\n"
      "end=b'PK\\x05\\x06'+struct.pack('<HHHHIIH',0,0,n,n,len(rec)*n,cd,0)\n"
      "open('overlap.zip','wb').write(d[:cd]+rec*n+end)\n"
      "open('level.png','wb').write(open('image1.png','rb').read())\n"
      "name='level.png'\n"
      "for i in range(20):\n"
      "  with zipfile.ZipFile('n%d.zip'%i,'w') as z: z.write(name)\n"
      "  name='n%d.zip'%i\n");
  const std::string overlap = ReadFile(*dir_ / "overlap.zip");
  uint64_t before = InflateWorkOnThisThread();
  int32_t count = 0;
  Scan(overlap, true, false, &count);
  EXPECT_LE(InflateWorkOnThisThread() - before, (64u << 20) + 2 * overlap.size());

  // Each level is the stored member of the one above: the scan reaches the
  // five levels the depth limit allows, and no more.
  const std::string nested = ReadFile(*dir_ / "n19.zip");
  const std::vector<Reported> items = Scan(nested, true, true);
  size_t zips = 0, pngs = 0;
  for (const Reported& item : items) {
    zips += item.type == "zip";
    pngs += item.type == "png";
  }
  // The file and the four levels scanned again inside it; the image lies
  // stored in each of those buffers (the same bytes: one file is written).
  EXPECT_EQ(zips, 5u);
  EXPECT_EQ(pngs, 5u);
}

}  // namespace
}  // namespace strellbox::test
