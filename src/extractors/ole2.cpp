// Compound files (the binary Word, Excel and PowerPoint documents, Outlook
// messages, thumbnail caches): their streams lie in sectors scattered
// through the file, so a picture inside is whole only once its stream is
// put back together. Each stream is assembled from its sector chain and
// handed to the gate under its path; the OfficeArt picture records in the
// streams where Office keeps its pictures are reported with the picture's
// own bytes.
//
// Every table is read through bounded walks: a chain is followed at most
// as many steps as the file has sectors (which ends FAT and DIFAT loops),
// the directory tree visits each entry once (which ends cycles), and a
// stream never yields more than its chain holds, nor more than the gate
// still allows.
#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/cursor.h"
#include "engine/decoder_table.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/cover_art.h"
#include "extractors/ole2.h"
#include "extractors/sqlite.h"
#include "extractors/zip_deflate.h"

namespace strellbox {

namespace {

constexpr uint64_t npos = Buffer::npos;
constexpr std::string_view kMagic{"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8};
constexpr uint32_t kFreeSect = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kMaxRegular = 0xFFFFFFFA;
constexpr uint64_t kHeaderDifat = 109;
constexpr uint64_t kDirEntry = 128;
constexpr uint64_t kMiniSector = 64;
// Directory entries read at most: far more than any document has, a bound
// on a directory chain that a crafted FAT makes long.
constexpr uint64_t kMaxEntries = uint64_t{1} << 16;

struct Entry {
  std::string name;
  uint8_t type = 0;  // 1 storage, 2 stream, 5 root
  uint32_t left = kFreeSect, right = kFreeSect, child = kFreeSect;
  uint32_t start = 0;
  uint64_t size = 0;
};

class Compound {
 public:
  Compound(const Buffer& b, uint64_t p) : b_(b), p_(p) {}

  bool read() {
    Cursor c(b_, p_);
    if (!c.startsWith(kMagic)) return false;
    c.skip(0x1E);
    const std::optional<uint16_t> shift = c.le16(), miniShift = c.le16();
    c.skip(6);
    const std::optional<uint32_t> dirSectors = c.le32(), fatSectors = c.le32(), firstDir = c.le32();
    c.skip(4);
    const std::optional<uint32_t> cutoff = c.le32(), firstMiniFat = c.le32(),
                                  miniFatSectors = c.le32(), firstDifat = c.le32(),
                                  difatSectors = c.le32();
    if (!c.ok() || (*shift != 9 && *shift != 12) || *miniShift != 6) return false;
    (void)dirSectors;
    (void)miniFatSectors;
    ss_ = uint64_t{1} << *shift;
    cutoff_ = *cutoff;
    const uint64_t have = b_.size() - p_;
    if (have < ss_) return false;
    sectors_ = have / ss_ - 1;        // whole sectors after the header
    if (have % ss_ != 0) ++sectors_;  // a last sector cut short still holds its bytes

    // The FAT's sectors: 109 in the header, the rest along the DIFAT chain.
    std::vector<uint32_t> fatList;
    Cursor difat(b_, p_ + 0x4C);
    for (uint64_t i = 0; i < kHeaderDifat; ++i) {
      const std::optional<uint32_t> s = difat.le32();
      if (!s) return false;
      if (*s <= kMaxRegular && fatList.size() < *fatSectors) fatList.push_back(*s);
    }
    uint32_t next = *firstDifat;
    for (uint64_t walked = 0; next <= kMaxRegular && walked < *difatSectors && walked < sectors_;
         ++walked) {
      Cursor d = sector(next);
      if (!d.ok()) break;
      for (uint64_t i = 0; i + 1 < ss_ / 4; ++i) {
        const std::optional<uint32_t> s = d.le32();
        if (s && *s <= kMaxRegular && fatList.size() < *fatSectors) fatList.push_back(*s);
      }
      next = d.le32().value_or(kEndOfChain);
    }
    // Entries past the file's sectors name nothing that is there.
    for (uint32_t s : fatList) {
      Cursor f = sector(s);
      while (f.ok() && f.left() >= 4 && fat_.size() < sectors_) fat_.push_back(*f.le32());
      if (fat_.size() >= sectors_) break;
    }
    if (fat_.empty()) return false;

    // The directory, then the mini stream and its FAT.
    const std::string dir = chain(*firstDir, npos);
    for (uint64_t at = 0; at + kDirEntry <= dir.size() && entries_.size() < kMaxEntries;
         at += kDirEntry)
      entries_.push_back(ReadEntry(std::string_view(dir).substr(at, kDirEntry), ss_ == 512));
    if (entries_.empty() || entries_[0].type != 5) return false;
    const std::string miniFat = chain(*firstMiniFat, npos);
    for (uint64_t at = 0; at + 4 <= miniFat.size(); at += 4)
      miniFat_.push_back(Buffer::fromString(std::string_view(miniFat).substr(at, 4)).le32(0));
    miniStream_ = chain(entries_[0].start, entries_[0].size);
    return true;
  }

  uint64_t sectorSize() const { return ss_; }

  // Where the file ends by its FAT: past the last sector in use.
  uint64_t end() const {
    uint64_t last = 0;
    for (uint64_t i = fat_.size(); i > 0; --i)
      if (fat_[i - 1] != kFreeSect) {
        last = i;
        break;
      }
    const uint64_t end = p_ + (last + 1) * ss_;
    return std::min(end, b_.size());
  }

  // The streams with their paths, each entry visited once.
  template <typename Visit>
  void streams(Visit visit) const {
    std::vector<bool> seen(entries_.size(), false);
    std::vector<std::pair<uint32_t, std::string>> stack = {{entries_[0].child, ""}};
    seen[0] = true;
    while (!stack.empty()) {
      const auto [id, parent] = stack.back();
      stack.pop_back();
      if (id >= entries_.size() || seen[id]) continue;
      seen[id] = true;
      const Entry& e = entries_[id];
      stack.emplace_back(e.left, parent);
      stack.emplace_back(e.right, parent);
      const std::string path = parent.empty() ? e.name : parent + "/" + e.name;
      if (e.type == 1) stack.emplace_back(e.child, path);
      if (e.type == 2) visit(path, e);
    }
  }

  // A stream's bytes, at most `most` of them.
  std::string stream(const Entry& e, uint64_t most) const {
    const uint64_t want = std::min(e.size, most);
    if (e.size >= cutoff_) return chain(e.start, want);
    std::string out;
    uint32_t s = e.start;
    for (uint64_t steps = 0; s <= kMaxRegular && out.size() < want && steps < miniFat_.size();
         ++steps) {
      const uint64_t at = uint64_t{s} * kMiniSector;
      if (at >= miniStream_.size()) break;
      out.append(miniStream_, at, std::min<uint64_t>(kMiniSector, want - out.size()));
      s = s < miniFat_.size() ? miniFat_[s] : kEndOfChain;
    }
    return out;
  }

  const std::vector<Entry>& entries() const { return entries_; }

 private:
  Cursor sector(uint64_t s) const {
    if (s >= sectors_) return Cursor(b_, b_.size() + 1);
    Cursor c(b_, p_ + (s + 1) * ss_);
    return c.window(std::min<uint64_t>(ss_, c.left()));
  }

  // The bytes along a chain, at most `most`; a chain is followed at most
  // once around the FAT, so a loop ends.
  std::string chain(uint32_t s, uint64_t most) const {
    std::string out;
    for (uint64_t steps = 0; s <= kMaxRegular && out.size() < most && steps < fat_.size();
         ++steps) {
      Cursor c = sector(s);
      const std::optional<std::string_view> bytes = c.bytes(c.left());
      if (!bytes) break;
      out.append(bytes->substr(0, std::min<uint64_t>(bytes->size(), most - out.size())));
      s = s < fat_.size() ? fat_[s] : kEndOfChain;
    }
    return out;
  }

  static Entry ReadEntry(std::string_view raw, bool smallSectors) {
    const Buffer b = Buffer::fromString(raw);
    Entry e;
    const uint16_t length = std::min<uint16_t>(b.le16(64), 64);
    for (uint64_t i = 0; i + 2 < length; i += 2) {
      const uint16_t u = b.le16(i);
      if (u < 0x80) {
        e.name += static_cast<char>(u < 0x20 ? '_' : u);
      } else {
        e.name += fmt::format("\\u{:04x}", u);
      }
    }
    e.type = b.u8(66);
    e.left = b.le32(68);
    e.right = b.le32(72);
    e.child = b.le32(76);
    e.start = b.le32(116);
    // Files of 512-byte sectors may leave the high half unset.
    e.size = smallSectors ? b.le32(120) : (uint64_t{b.le32(124)} << 32 | b.le32(120));
    return e;
  }

  const Buffer& b_;
  uint64_t p_;
  uint64_t ss_ = 512;
  uint64_t cutoff_ = 4096;
  uint64_t sectors_ = 0;
  std::vector<uint32_t> fat_;
  std::vector<uint32_t> miniFat_;
  std::vector<Entry> entries_;
  std::string miniStream_;
};

// The item type a compound file's directory gives it.
std::string_view CompoundType(const Compound& file) {
  for (const Entry& e : file.entries()) {
    if (e.name == "WordDocument") return "doc";
    if (e.name == "Workbook" || e.name == "Book") return "xls";
    if (e.name == "PowerPoint Document") return "ppt";
    if (e.name.starts_with("__substg1.0_")) return "msg";
  }
  return "ole";
}

// --- OfficeArt pictures ------------------------------------------------------

struct BlipKind {
  uint16_t type;
  uint16_t instance;  // the one-UID instance; +1 has two
  std::string_view ext;
  bool metafile;
};
constexpr BlipKind kBlips[] = {
    {0xF01A, 0x3D4, "emf", true},  {0xF01B, 0x216, "wmf", true},   {0xF01C, 0x542, "pict", true},
    {0xF01D, 0x46A, "jpg", false}, {0xF02A, 0x6E2, "jpg", false},  {0xF01E, 0x6E0, "png", false},
    {0xF01F, 0x7A8, "dib", false}, {0xF029, 0x6E4, "tiff", false},
};

}  // namespace

std::optional<Buffer> BitmapOfDib(std::string_view dib) {
  const Buffer b = Buffer::fromString(dib);
  const uint32_t headerSize = b.le32(0);
  if (headerSize < 12 || headerSize > dib.size()) return std::nullopt;
  uint64_t table = 0;
  if (headerSize >= 40) {
    const uint16_t bits = b.le16(14);
    const uint32_t compression = b.le32(16), used = b.le32(32);
    table = uint64_t{used != 0 ? used : (bits <= 8 ? 1u << bits : 0u)} * 4;
    if (compression == 3 && headerSize == 40) table += 12;
  }
  const uint64_t offset = 14 + headerSize + table;
  const uint64_t size = 14 + dib.size();
  if (offset > size || size > UINT32_MAX) return std::nullopt;
  std::string out = "BM";
  auto le32 = [&out](uint64_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  le32(size);
  le32(0);  // the two reserved words
  le32(offset);
  out.append(dib);
  return Buffer::fromString(out);
}

namespace {

// Reports the pictures of the OfficeArt records in `s` (a stream, or the
// joined drawing records of a workbook).
int32_t ReportBlips(ScanContext& context, const Buffer& s, const std::string& name, int32_t count) {
  int32_t found = 0;
  for (uint64_t q = s.find(uint8_t{0xF0}, 3); q != npos && !context.stopStreller();
       q = s.find(uint8_t{0xF0}, q + 1)) {
    const uint64_t at = q - 3;
    const uint16_t verInstance = s.le16(at), type = s.le16(at + 2);
    const uint32_t length = s.le32(at + 4);
    const BlipKind* kind = nullptr;
    for (const BlipKind& k : kBlips)
      if (k.type == type &&
          (verInstance >> 4 == k.instance || verInstance >> 4 == k.instance + 1) &&
          (verInstance & 0xF) == 0)
        kind = &k;
    if (!kind || !s.has(at + 8, length)) continue;
    const uint64_t uids = (verInstance >> 4 == kind->instance) ? 16 : 32;
    Cursor c(s, at + 8);
    Cursor body = c.window(length);
    body.skip(uids);
    if (kind->metafile) {
      const std::optional<uint32_t> size = body.le32();
      body.skip(16 + 8);
      const std::optional<uint32_t> saved = body.le32();
      const std::optional<uint8_t> compression = body.u8();
      body.skip(1);
      if (!body.ok() || *saved > body.left()) continue;
      Buffer picture;
      if (*compression == 0) {
        Inflater inflater;
        Inflater::Limits limits;
        limits.output = std::min<uint64_t>(*size, context.decodedAllowance());
        std::optional<Buffer> inflated =
            inflater.inflate(s.slice(body.at(), *saved), 0, limits, InflateFormat::kZlib);
        if (!inflated) continue;
        picture = std::move(*inflated);
      } else {
        picture = s.slice(body.at(), *saved);
      }
      // A PICT file opens with 512 bytes of its own that the record leaves out.
      if (kind->ext == "pict")
        picture = Buffer::fromString(std::string(512, '\0') +
                                     std::string(picture.view(0, picture.size())));
      context.saveStrell(picture, 0, picture.size(), kind->ext, name, count + found++,
                         ItemEnd::kDecoded);
    } else {
      body.skip(1);  // the tag
      if (!body.ok()) continue;
      const uint64_t from = body.at(), size = body.left();
      if (kind->ext == "dib") {
        const std::optional<Buffer> bmp = BitmapOfDib(s.view(from, size));
        if (!bmp) continue;
        context.saveStrell(*bmp, 0, bmp->size(), "bmp", name, count + found++, ItemEnd::kDecoded);
      } else {
        context.saveStrell(s, from, size, kind->ext, name, count + found++, ItemEnd::kLength);
      }
    }
    q = at + 8 + length - 1;  // the next record follows
  }
  return found;
}

// The drawing-group records of a workbook stream (MsoDrawingGroup and the
// CONTINUE records after it), joined as Excel split them.
Buffer DrawingGroup(const Buffer& workbook) {
  std::string joined;
  Cursor c(workbook);
  bool inGroup = false;
  while (c.left() >= 4) {
    const std::optional<uint16_t> type = c.le16(), length = c.le16();
    const std::optional<std::string_view> body = c.bytes(*length);
    if (!body) break;
    if (*type == 0x00EB || (inGroup && *type == 0x003C)) {
      joined.append(*body);
      inGroup = true;
    } else {
      inGroup = false;
    }
  }
  return Buffer::fromString(joined);
}

// --- Outlook attachments -----------------------------------------------------

// A message keeps each attachment in a storage "__attach_version1.0_#N":
// its bytes in the property stream 3701 (binary), its names in 3707 (long),
// 3704 (8.3) and 3001 (display), each Unicode (001F) or 8-bit (001E).
constexpr std::string_view kAttachStorage = "__attach_version1.0_#";
constexpr std::string_view kProperty = "__SUBSTG1.0_";
constexpr std::string_view kAttachData = "37010102";

struct AttachmentNames {
  std::string longName, shortName, displayName;
  const std::string& best() const {
    return !longName.empty() ? longName : !shortName.empty() ? shortName : displayName;
  }
};

// The property a stream of an attachment storage holds ("37010102", say),
// or "" for any other stream.
std::string AttachmentProperty(const std::string& path, const Entry& e) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos ||
      !LastPathComponent(path.substr(0, slash)).starts_with(kAttachStorage))
    return "";
  std::string name = e.name;
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (name.size() != kProperty.size() + 8 || !name.starts_with(kProperty)) return "";
  return name.substr(kProperty.size());
}

// A name property's text up to its terminator; characters past ASCII become
// '_', as the item's name would make them anyway.
std::string NameText(std::string_view raw, bool unicode) {
  std::string text;
  const Buffer b = Buffer::fromString(raw);
  const uint64_t step = unicode ? 2 : 1;
  for (uint64_t i = 0; i + step <= raw.size(); i += step) {
    const uint16_t c = unicode ? b.le16(i) : b.u8(i);
    if (c == 0) break;
    text += c < 0x80 ? static_cast<char>(c) : '_';
  }
  return text;
}

// The names of every attachment storage of a message, by its path.
std::map<std::string, AttachmentNames> MessageAttachments(const Compound& file) {
  constexpr uint64_t kMaxName = 1024;
  std::map<std::string, AttachmentNames> attachments;
  file.streams([&](const std::string& path, const Entry& e) {
    const std::string property = AttachmentProperty(path, e);
    if (property.size() != 8) return;
    const std::string tag = property.substr(0, 4), kind = property.substr(4);
    if (kind != "001F" && kind != "001E") return;
    AttachmentNames& names = attachments[path.substr(0, path.rfind('/'))];
    std::string* slot = tag == "3707"   ? &names.longName
                        : tag == "3704" ? &names.shortName
                        : tag == "3001" ? &names.displayName
                                        : nullptr;
    if (slot) *slot = NameText(file.stream(e, kMaxName), kind == "001F");
  });
  return attachments;
}

}  // namespace

int32_t strellOLE2(ScanContext& context, const Buffer& data, const std::string& from,
                   bool reportFiles) {
  const uint64_t n = data.size();
  const std::string base = DeletingPathExtension(from);
  int32_t count = 0;
  for (uint64_t p = data.find(kMagic, 0); p != npos && !context.stopStreller();
       p = data.find(kMagic, p + 1)) {
    Compound file(data, p);
    if (!file.read()) continue;
    const uint64_t end = file.end();
    // The file alone is the input itself: only one inside more is an item.
    if (reportFiles && (p > 0 || end < n)) {
      context.saveStrell(data, p, end - p, CompoundType(file), base, count, ItemEnd::kWalk);
      ++count;
    }
    const std::map<std::string, AttachmentNames> attachments = MessageAttachments(file);
    file.streams([&](const std::string& path, const Entry& e) {
      const uint64_t allowance = context.decodedAllowance();
      std::string bytes = file.stream(e, allowance);
      if (bytes.empty()) return;
      DecodedChild child{Buffer::fromString(bytes), DecoderId::kOle2Stream, p, path};
      ScanContext::markChild(data, child);
      const std::string name = LastPathComponent(e.name);
      // An attachment goes out whole under its own name before its bytes
      // are searched: with duplicates left out, the named copy is the one kept.
      if (AttachmentProperty(path, e) == kAttachData && bytes.size() == e.size) {
        const auto names = attachments.find(path.substr(0, path.rfind('/')));
        const AttachmentName named = NameAttachment(
            base, names != attachments.end() ? names->second.best() : "", child.bytes, 0);
        context.saveStrell(child.bytes, 0, child.bytes.size(), named.type, named.original, 0,
                           ItemEnd::kLength);
        ++count;
      }
      if (e.name == "Pictures" || e.name == "Data")
        count += ReportBlips(context, child.bytes, base, count);
      if (e.name == "Workbook" || e.name == "Book")
        count += ReportBlips(context, DrawingGroup(child.bytes), base, count);
      count += context.scanChild(data, child, name).items;
    });
    if (end > p + 1) p = end - 1;  // its streams were read
  }
  return count;
}

std::optional<Buffer> DecodeOle2StreamAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  Compound file(data, offset);
  if (!file.read()) return std::nullopt;
  std::optional<Buffer> first;
  file.streams([&](const std::string&, const Entry& e) {
    if (!first) first = Buffer::fromString(file.stream(e, maxOutput));
  });
  return first;
}

std::vector<DatabasePages> CompoundFilesIn(const Buffer& data) {
  std::vector<DatabasePages> files;
  constexpr size_t kMost = 64;
  for (uint64_t p = data.find(kMagic, 0); p != Buffer::npos && files.size() < kMost;
       p = data.find(kMagic, p + 1)) {
    Compound file(data, p);
    if (!file.read()) continue;
    files.push_back({p, file.end() - p, file.sectorSize()});
  }
  return files;
}

std::vector<DatabasePages> WorkbookRecordsOf(const Buffer& stream) {
  const std::vector<OriginStep>& chain = stream.origin().chain;
  if (chain.empty() || chain.back().decoder != Decoder(DecoderId::kOle2Stream).key) return {};
  const std::string name = LastPathComponent(chain.back().member);
  if (name != "Workbook" && name != "Book") return {};
  std::vector<DatabasePages> records;
  Cursor c(stream);
  while (c.left() >= 4) {
    const uint64_t at = c.at();
    c.skip(2);
    const std::optional<uint16_t> length = c.le16();
    if (!length || !c.skip(*length)) break;
    records.push_back({at, 4 + uint64_t{*length}, 4 + uint64_t{*length}});
  }
  return records;
}

}  // namespace strellbox
