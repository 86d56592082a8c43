// ISO base media files, one box walker for every brand: MP4 and its audio,
// video and book forms, QuickTime movies, 3GP, HEIF and AVIF pictures,
// Canon CR3 raw files and JPEG 2000. An item is the run of top-level boxes
// from its first box to the last whole one, each box stepped over by its
// 32- or 64-bit size; its extension comes from the brands of its ftyp box.
// A row of its own, run with extended detection.
//
// Only the top level is walked: a nested box is never read, so nesting
// costs nothing. Pictures inside (cover art, HEIF thumbnails) are found by
// the other passes where they lie whole in the buffer; those split over
// several extents of an mdat box are not joined.
#include <optional>
#include <string_view>

#include "engine/carve.h"
#include "engine/cursor.h"
#include "engine/scan_context.h"
#include "extractors/image_scan.h"

namespace strellbox {

namespace {

constexpr uint64_t kBoxHeader = 8;     // 32-bit size, type
constexpr uint64_t kLargeHeader = 16;  // size 1, type, 64-bit size
// Box steps one pass may take per byte of its buffer: a box has at least
// 8 bytes, so one walk over a buffer of boxes takes at most N/8 steps.
constexpr uint64_t kBytesPerStep = 2;

// The types a top-level box may have after the first. A run of boxes ends
// at the first header that is none of these, so that the bytes behind a
// file are not taken for more of it.
constexpr std::string_view kTopLevel[] = {
    "moov", "mdat", "free", "skip", "wide", "meta", "uuid", "moof", "mfra", "styp", "sidx",
    "ssix", "prft", "emsg", "pdin", "meco", "jp2h", "jp2c", "jp2i", "xml ", "uinf", "res ",
    "rreq", "jpch", "jplh", "cgrp", "ftbl", "asoc", "dtbl", "nlst", "pnot", "PICT", "junk",
};

// The boxes that hold a file's content: a run without any of them (an ftyp
// box alone, a wide box before nothing) is no item.
bool HoldsContent(std::string_view type) {
  return type == "moov" || type == "meta" || type == "moof" || type == "jp2c";
}

bool IsTopLevel(std::string_view type) {
  for (const std::string_view known : kTopLevel)
    if (type == known) return true;
  return false;
}

struct Box {
  std::string_view type;
  uint64_t end;  // offset just past the box
  bool toBufferEnd = false;  // its size was 0
};

// The box whose header stands at the cursor; the cursor moves past it.
// Nothing when the header does not fit or its size does: a size of 0 (the
// last box, to the end of the file) reaches the end of the buffer, which
// is all a run of boxes in a buffer can say of it.
std::optional<Box> NextBox(Cursor& at) {
  const uint64_t start = at.at();
  const std::optional<uint32_t> size = at.be32();
  const std::optional<std::string_view> type = at.bytes(4);
  if (!size || !type) return std::nullopt;
  uint64_t length = *size;
  const bool toBufferEnd = length == 0;
  if (length == 1) {
    const std::optional<uint32_t> high = at.be32();
    const std::optional<uint32_t> low = at.be32();
    if (!high || !low) return std::nullopt;
    length = (uint64_t{*high} << 32) | *low;
    if (length < kLargeHeader) return std::nullopt;
  } else if (length == 0) {
    length = at.left() + kBoxHeader;
  } else if (length < kBoxHeader) {
    return std::nullopt;
  }
  if (!at.skip(length - (at.at() - start))) return std::nullopt;
  return Box{*type, at.at(), toBufferEnd};
}

// The length of the run of boxes at p, or nothing when it holds no
// content box. A walk without content that meets a box a dropped walk
// stepped on is dropped there: the rest of that run holds none either.
std::optional<CarveLength> MeasureBoxes(const Buffer& b, uint64_t p, WalkBudget& budget,
                                        DeadEnds& dead, WalkMode mode) {
  Cursor at(b, p);
  uint64_t end = p;
  bool toBufferEnd = false;
  bool content = false;
  std::string_view previous;
  for (bool first = true; at.ok() && at.left() >= kBoxHeader; first = false) {
    budget.spend(1);
    if (!first && !content && AtDeadEnd(dead, at.at(), mode)) return std::nullopt;
    Cursor probe = at;
    const std::optional<Box> box = NextBox(probe);
    if (!box) break;
    // A second ftyp box is the next file; JPEG 2000's comes after its
    // signature box.
    const bool follows = box->type == "ftyp" && previous == "jP  ";
    if (!first && !follows && !IsTopLevel(box->type)) break;
    content = content || HoldsContent(box->type);
    previous = box->type;
    end = box->end;
    toBufferEnd = box->toBufferEnd;
    at = probe;
  }
  if (!content) return std::nullopt;
  // A last box of size 0 is only known to run as far as the buffer does.
  if (toBufferEnd) return CarveLength(end - p, ItemEnd::kBuffer);
  return CarveLength(end - p);
}

bool IsBrand(const Buffer& b, uint64_t at) {
  for (uint64_t i = 0; i < 4; ++i) {
    const uint8_t c = b.u8(at + i);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// q is where "ftyp" stands, its box's size 4 bytes before it: a major
// brand, a minor version and whole compatible brands.
bool ConfirmFtyp(const Buffer& b, uint64_t q) {
  const uint32_t size = b.be32(q - 4);
  return size >= 16 && size <= 4096 && size % 4 == 0 && IsBrand(b, q + 4);
}

// An old QuickTime movie that starts with its movie box: the movie header
// (or a compressed movie) comes first in it.
bool ConfirmMoov(const Buffer& b, uint64_t q) {
  return b.be32(q - 4) >= 16 && (b.startsWith(q + 8, "mvhd") || b.startsWith(q + 8, "cmov"));
}

// QuickTime's wide box, 8 bytes, reserving room for a 64-bit mdat size.
bool ConfirmWide(const Buffer& b, uint64_t q) {
  return b.be32(q - 4) == 8 && b.startsWith(q + 8, "mdat");
}

// A movie whose media data comes first: its movie box follows the mdat box.
bool ConfirmMdat(const Buffer& b, uint64_t q) {
  const uint32_t size = b.be32(q - 4);
  return size >= 8 && b.startsWith(q - 4 + uint64_t{size} + 4, "moov");
}

// The JPEG 2000 signature box: 12 bytes of fixed content.
bool ConfirmJP2(const Buffer& b, uint64_t q) { return b.be32(q - 4) == 12; }

constexpr CarveSignature kSignatures[] = {
    {"ftyp", ConfirmFtyp}, {"moov", ConfirmMoov},          {"wide", ConfirmWide},
    {"mdat", ConfirmMdat}, {"jP  \r\n\x87\n", ConfirmJP2},
};

bool Brand(std::string_view brand, std::initializer_list<std::string_view> any) {
  for (const std::string_view one : any)
    if (brand == one) return true;
  return false;
}

// The extension for a major brand, or "" for one that says only what it is
// compatible with (mif1, msf1).
std::string_view ExtensionOfBrand(std::string_view brand) {
  if (brand == "qt  ") return "mov";
  if (Brand(brand, {"M4A ", "M4P "})) return "m4a";
  if (brand == "M4B ") return "m4b";
  if (Brand(brand, {"M4V ", "M4VH", "M4VP"})) return "m4v";
  if (brand.starts_with("3gp") || brand.starts_with("3ge") || brand.starts_with("3gs"))
    return "3gp";
  if (brand.starts_with("3g2")) return "3g2";
  if (Brand(brand, {"heic", "heix", "heim", "heis", "hevc", "hevx"})) return "heic";
  if (Brand(brand, {"avif", "avis"})) return "avif";
  if (brand == "crx ") return "cr3";
  if (brand == "jp2 ") return "jp2";
  if (brand == "jpx ") return "jpx";
  if (brand == "jpm ") return "jpm";
  if (Brand(brand, {"mif1", "msf1"})) return "";
  return "mp4";
}

std::string_view ItemType(const Buffer& b, uint64_t p, uint64_t length) {
  (void)length;
  const bool jp2 = b.startsWith(p + 4, "jP  ");
  const uint64_t ftyp = jp2 ? p + 12 : p;  // the signature box, then ftyp
  // Without ftyp: a QuickTime movie (moov, wide or mdat first).
  if (!b.startsWith(ftyp + 4, "ftyp")) return jp2 ? "jp2" : "mov";
  const std::string_view major = ExtensionOfBrand(b.view(ftyp + 8, 4));
  if (!major.empty()) return major;
  // A general HEIF brand: the compatible brands say which pictures it holds.
  const uint64_t end = ftyp + b.be32(ftyp);
  std::string_view found = "heif";
  for (uint64_t at = ftyp + 16; at + 4 <= end; at += 4) {
    const std::string_view type = ExtensionOfBrand(b.view(at, 4));
    if (type == "avif") return type;
    if (type == "heic") found = type;
  }
  return found;
}

constexpr CarvedFormat kIsoMedia = {
    .type = "mp4",
    .signatures = kSignatures,
    .window = kBoxHeader * 2,
    .lead = 4,
    .stepAfterDrop = 4,
    .budget = [](uint64_t n) { return WalkBudget::ofUnits(n / kBytesPerStep); },
    .marksDeadEnds = true,
    .typeOf = ItemType,
};

}  // namespace

int32_t strellIsoMedia(ScanContext& context, const Buffer& data, const std::string& from) {
  DeadEnds dead(data.size());
  return CarveItems(context, kIsoMedia, data, from,
                    [&](uint64_t p, WalkBudget& budget, WalkMode mode) {
                      return MeasureBoxes(data, p, budget, dead, mode);
                    });
}

}  // namespace strellbox
