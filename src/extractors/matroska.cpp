// Matroska and WebM files.
//
// An EBML header whose DocType says matroska or webm, then the Segment. A
// Segment of known size ends where its size says. One of unknown size (a
// live recording) is walked element by element at its top level, a Cluster
// of unknown size by its children, until an element that cannot stand
// there or the end of the buffer: the file ends at the last whole element.
// Only the Segment and a Cluster may leave their size open, so the walk is
// flat: every step takes one element, whatever the nesting claims.
//
// Attached files (fonts, cover art) are items of their own, named after the
// file and the attachment's own name. A file whose tracks are all audio is
// an .mka; a WebM file keeps .webm.
#include <algorithm>
#include <bit>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "engine/carve.h"
#include "engine/cursor.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/cover_art.h"

namespace strellbox {

namespace {

constexpr uint32_t kEbml = 0x1A45DFA3;
constexpr uint32_t kDocType = 0x4282;
constexpr uint32_t kSegment = 0x18538067;
constexpr uint32_t kCluster = 0x1F43B675;
constexpr uint32_t kTracks = 0x1654AE6B;
constexpr uint32_t kTrackEntry = 0xAE;
constexpr uint32_t kTrackType = 0x83;
constexpr uint32_t kAttachments = 0x1941A469;
constexpr uint32_t kAttachedFile = 0x61A7;
constexpr uint32_t kFileName = 0x466E;
constexpr uint32_t kFileData = 0x465C;
constexpr uint32_t kVoid = 0xEC;
constexpr uint32_t kCrc32 = 0xBF;
constexpr uint8_t kAudioTrack = 2;
constexpr uint64_t kUnknownSize = ~uint64_t{0};
// An EBML header is a handful of short fields; more is no header.
constexpr uint64_t kMaxHeader = 256;
// Tracks are read for the extension only; a file lists them near its start.
constexpr int kElementsBeforeTracks = 16;

struct Element {
  uint32_t id;
  uint64_t size;  // kUnknownSize when left open
};

// The element header at the cursor: an ID of 1 to 4 bytes (its length
// marker kept) and a size of 1 to 8 (marker dropped; all ones is unknown).
std::optional<Element> ReadElement(Cursor& at) {
  const auto first = at.u8();
  if (!first || *first < 0x10) return std::nullopt;
  const int idLength = std::countl_zero(*first) + 1;
  uint32_t id = *first;
  for (int i = 1; i < idLength; ++i) {
    const auto next = at.u8();
    if (!next) return std::nullopt;
    id = (id << 8) | *next;
  }
  const auto lead = at.u8();
  if (!lead || *lead == 0) return std::nullopt;
  const int sizeLength = std::countl_zero(*lead) + 1;
  const uint8_t mask = static_cast<uint8_t>(0xFF >> sizeLength);
  uint64_t size = *lead & mask;
  bool open = size == mask;
  for (int i = 1; i < sizeLength; ++i) {
    const auto next = at.u8();
    if (!next) return std::nullopt;
    size = (size << 8) | *next;
    open = open && *next == 0xFF;
  }
  return Element{id, open ? kUnknownSize : size};
}

bool IsTopLevel(uint32_t id) {
  switch (id) {
    case 0x114D9B74:  // SeekHead
    case 0x1549A966:  // Info
    case kTracks:
    case kCluster:
    case 0x1C53BB6B:  // Cues
    case kAttachments:
    case 0x1043A770:  // Chapters
    case 0x1254C367:  // Tags
    case kVoid:
    case kCrc32:
      return true;
    default:
      return false;
  }
}

bool IsClusterChild(uint32_t id) {
  switch (id) {
    case 0xE7:    // Timestamp
    case 0x5854:  // SilentTracks
    case 0xA7:    // Position
    case 0xAB:    // PrevSize
    case 0xA3:    // SimpleBlock
    case 0xA0:    // BlockGroup
    case 0xAF:    // EncryptedBlock
    case kVoid:
    case kCrc32:
      return true;
    default:
      return false;
  }
}

struct Header {
  bool webm;
  uint64_t segment;  // where the Segment's header starts
};

// The EBML header at p, its DocType one of ours.
std::optional<Header> ReadHeader(const Buffer& b, uint64_t p) {
  Cursor at(b, p);
  const std::optional<Element> ebml = ReadElement(at);
  if (!ebml || ebml->id != kEbml || ebml->size > kMaxHeader) return std::nullopt;
  Cursor body = at.window(ebml->size);
  std::optional<bool> webm;
  while (body.ok() && body.left() > 0) {
    const std::optional<Element> field = ReadElement(body);
    if (!field || field->size == kUnknownSize) return std::nullopt;
    Cursor value = body.window(field->size);
    if (!body.ok()) return std::nullopt;
    if (field->id != kDocType) continue;
    std::string_view text = value.bytes(value.left()).value_or("");
    while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    if (text == "matroska")
      webm = false;
    else if (text == "webm")
      webm = true;
    else
      return std::nullopt;
  }
  if (!at.ok() || !webm) return std::nullopt;
  return Header{*webm, at.at()};
}

struct Attachment {
  std::string name;
  uint64_t at;
  uint64_t length;
};

// The attached files of an Attachments element (its body in the cursor).
void ReadAttachments(Cursor body, WalkBudget& budget, std::vector<Attachment>& found) {
  while (body.ok() && body.left() > 0) {
    budget.spend(1);
    const std::optional<Element> file = ReadElement(body);
    if (!file || file->size == kUnknownSize) return;
    Cursor fields = body.window(file->size);
    if (file->id != kAttachedFile) continue;
    std::string name;
    std::optional<Attachment> data;
    while (fields.ok() && fields.left() > 0) {
      budget.spend(1);
      const std::optional<Element> field = ReadElement(fields);
      if (!field || field->size == kUnknownSize) break;
      const uint64_t start = fields.at();
      Cursor value = fields.window(field->size);
      if (!fields.ok()) break;
      if (field->id == kFileName)
        name = std::string(value.bytes(value.left()).value_or(""));
      else if (field->id == kFileData && field->size > 0)
        data = Attachment{{}, start, field->size};
    }
    if (!data) continue;
    data->name = std::move(name);
    found.push_back(std::move(*data));
  }
}

// Whether a Tracks element (its body in the cursor) lists tracks, all audio.
bool AudioOnly(Cursor body) {
  bool any = false;
  while (body.ok() && body.left() > 0) {
    const std::optional<Element> entry = ReadElement(body);
    if (!entry || entry->size == kUnknownSize) return false;
    Cursor fields = body.window(entry->size);
    if (entry->id != kTrackEntry) continue;
    while (fields.ok() && fields.left() > 0) {
      const std::optional<Element> field = ReadElement(fields);
      if (!field || field->size == kUnknownSize) return false;
      Cursor value = fields.window(field->size);
      if (field->id != kTrackType) continue;
      if (value.u8().value_or(0) != kAudioTrack) return false;
      any = true;
    }
  }
  return any;
}

struct Segment {
  uint64_t end = 0;  // where the file ends
  bool known = false;
  std::vector<Attachment> attachments;
};

// Walks the Segment's top-level elements from `from` up to `limit` (its
// end when its size is known, else the end of the buffer) and returns the
// end of the last whole element, or nothing when not even one is whole.
std::optional<uint64_t> WalkSegment(const Buffer& b, uint64_t from, uint64_t limit,
                                    WalkBudget& budget, std::vector<Attachment>& attachments) {
  Cursor segment = Cursor(b, from).window(limit - from);
  uint64_t end = from;
  bool inCluster = false;  // a Cluster of unknown size is open
  while (segment.ok() && segment.left() > 0 && !budget.exhausted()) {
    budget.spend(1);
    Cursor look = segment;
    const std::optional<Element> e = ReadElement(look);
    if (!e) break;
    if (!(inCluster && IsClusterChild(e->id))) {
      if (!IsTopLevel(e->id)) break;
      inCluster = false;
    }
    if (e->size == kUnknownSize) {
      // Its children follow at once; nothing else may leave its size open.
      if (e->id != kCluster) break;
      inCluster = true;
      segment = look;
      end = segment.at();
      continue;
    }
    Cursor body = look.window(e->size);
    if (!look.ok()) break;
    if (e->id == kAttachments) ReadAttachments(body, budget, attachments);
    segment = look;
    end = segment.at();
  }
  if (end == from) return std::nullopt;
  return end;
}

std::optional<Segment> MeasureMatroska(const Buffer& b, uint64_t p, WalkBudget& budget) {
  budget.spend(1);
  const std::optional<Header> header = ReadHeader(b, p);
  if (!header) return std::nullopt;
  Cursor at(b, header->segment);
  const std::optional<Element> segment = ReadElement(at);
  if (!segment || segment->id != kSegment) return std::nullopt;
  Segment file;
  if (segment->size != kUnknownSize) {
    // The size says where it ends; the walk must find at least the first
    // element whole, and finds the attachments.
    if (segment->size > at.left()) return std::nullopt;
    const uint64_t end = at.at() + segment->size;
    if (segment->size > 0 && !WalkSegment(b, at.at(), end, budget, file.attachments))
      return std::nullopt;
    file.end = end;
    file.known = true;
    return file;
  }
  const std::optional<uint64_t> end = WalkSegment(b, at.at(), b.size(), budget, file.attachments);
  if (!end) return std::nullopt;
  file.end = *end;
  return file;
}

std::string_view ItemType(const Buffer& b, uint64_t p, uint64_t length) {
  (void)length;
  const std::optional<Header> header = ReadHeader(b, p);
  if (!header) return "mkv";
  if (header->webm) return "webm";
  Cursor at(b, header->segment);
  if (!ReadElement(at)) return "mkv";
  for (int i = 0; i < kElementsBeforeTracks && at.ok() && at.left() > 0; ++i) {
    const std::optional<Element> e = ReadElement(at);
    if (!e || e->size == kUnknownSize) break;
    Cursor body = at.window(e->size);
    if (e->id == kTracks) return AudioOnly(body) ? "mka" : "mkv";
  }
  return "mkv";
}

constexpr CarveSignature kSignatures[] = {
    {"\x1A\x45\xDF\xA3", [](const Buffer& b, uint64_t p) { return b.u8(p + 4) != 0; }}};
constexpr CarvedFormat kMatroska = {
    .type = "mkv",
    .signatures = kSignatures,
    .window = 16,
    .stepAfterDrop = 4,
    .typeOf = ItemType,
};

}  // namespace

int32_t strellMatroska(ScanContext& context, const Buffer& data, const std::string& from) {
  const std::string stem = DeletingPathExtension(from);
  int32_t attachments = 0;
  const int32_t files = CarveItems(
      context, kMatroska, data, from,
      [&](uint64_t p, WalkBudget& budget, WalkMode) -> std::optional<CarveLength> {
        const std::optional<Segment> file = MeasureMatroska(data, p, budget);
        if (!file) return std::nullopt;
        // The attachments go out first: a file that is the whole buffer
        // ends the passes that would otherwise find them.
        for (const Attachment& a : file->attachments) {
          const AttachmentName named = NameAttachment(stem, a.name, data, a.at);
          context.saveStrell(data, a.at, a.length, named.type, named.original, 0,
                             ItemEnd::kLength);
          ++attachments;
        }
        return CarveLength(file->end - p, file->known ? ItemEnd::kLength : ItemEnd::kWalk);
      });
  return files + attachments;
}

}  // namespace strellbox
