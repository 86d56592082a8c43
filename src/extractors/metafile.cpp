// Windows metafiles, each walked record by record to its end record:
//  - EMF: the header record (type 1) with " EMF" at offset 40, then
//    records of at least 8 bytes, each a multiple of 4, up to EMR_EOF
//    (type 14). The walk decides the end; the header's byte count must
//    agree with it. Its record count is not: writers count differently
//    (one leaves out the end record).
//  - WMF: the standard header (type 1 or 2, 9 words, version 0x0300 or
//    0x0100), alone or behind the placeable header (key 0x9AC6CDD7, its
//    checksum of ten words checked), then records whose first field is
//    their size in words, up to the end record (function 0). The walk
//    decides the end; the header's file size in words must agree, and no
//    record may be longer than the header's longest.
// Rows of their own, run with extended detection.
#include <optional>

#include "engine/cursor.h"
#include "engine/scan_context.h"
#include "extractors/image_scan.h"

namespace strellbox {

namespace {

constexpr uint32_t kEmrHeader = 1;
constexpr uint32_t kEmrEof = 14;
// Record types run from 1 to 122; anything else is not a metafile.
constexpr uint32_t kLastEmrType = 122;
constexpr uint64_t kEmfSignatureAt = 40;
constexpr uint64_t kEmfMinHeader = 88;  // the header record up to its description fields

uint64_t MeasureEMF(const Buffer& b, uint64_t p, WalkBudget& budget) {
  Cursor header(b, p);
  const std::optional<uint32_t> type = header.le32(), size = header.le32();
  if (!type || *type != kEmrHeader || !size || *size < kEmfMinHeader || *size % 4) return 0;
  Cursor fields(b, p + 48);
  const std::optional<uint32_t> bytes = fields.le32();
  if (!bytes || *bytes < *size) return 0;
  Cursor c(b, p);
  for (uint64_t n = 0;; ++n) {
    budget.spend(1);
    Cursor record = c;
    const std::optional<uint32_t> recordType = record.le32(), recordSize = record.le32();
    if (!recordSize || *recordSize < 8 || *recordSize % 4 || *recordType == 0 ||
        *recordType > kLastEmrType || (n > 0 && *recordType == kEmrHeader) || !c.step(*recordSize))
      return 0;
    if (*recordType == kEmrEof) return c.at() - p == *bytes ? c.at() - p : 0;
  }
  return 0;
}

constexpr CarveSignature kEmfSignatures[] = {{" EMF", [](const Buffer& b, uint64_t q) {
                                                return b.le32(q - kEmfSignatureAt) == kEmrHeader;
                                              }}};
constexpr CarvedFormat kEmf = {
    .type = "emf",
    .signatures = kEmfSignatures,
    .window = kEmfMinHeader - kEmfSignatureAt,
    .lead = kEmfSignatureAt,
};

constexpr uint32_t kPlaceableKey = 0x9AC6CDD7u;
constexpr uint64_t kPlaceableHeader = 22;
constexpr uint64_t kWmfHeaderWords = 9;
constexpr uint64_t kEndRecordWords = 3;

// Where the standard header starts for a metafile at p: behind the
// placeable header when its key and checksum stand there.
std::optional<uint64_t> StandardHeaderAt(const Buffer& b, uint64_t p) {
  Cursor c(b, p);
  const std::optional<uint32_t> key = c.le32();
  if (!key) return std::nullopt;
  if (*key != kPlaceableKey) return p;
  uint16_t sum = 0;
  Cursor words(b, p);
  for (int i = 0; i < 10; ++i) {
    const std::optional<uint16_t> w = words.le16();
    if (!w) return std::nullopt;
    sum ^= *w;
  }
  const std::optional<uint16_t> checksum = words.le16();
  if (!checksum || *checksum != sum) return std::nullopt;
  return p + kPlaceableHeader;
}

uint64_t MeasureWMF(const Buffer& b, uint64_t p, WalkBudget& budget) {
  const std::optional<uint64_t> at = StandardHeaderAt(b, p);
  if (!at) return 0;
  Cursor header(b, *at);
  const std::optional<uint16_t> type = header.le16(), words = header.le16(),
                                version = header.le16();
  const std::optional<uint32_t> fileWords = header.le32();
  const std::optional<uint16_t> objects = header.le16();
  const std::optional<uint32_t> longest = header.le32();
  const std::optional<uint16_t> members = header.le16();
  if (!members || (*type != 1 && *type != 2) || *words != kWmfHeaderWords ||
      (*version != 0x0300 && *version != 0x0100) || *members != 0 || *longest < kEndRecordWords ||
      *fileWords < kWmfHeaderWords + kEndRecordWords)
    return 0;
  (void)objects;
  Cursor c = header;
  for (;;) {
    budget.spend(1);
    if (budget.exhausted()) return 0;
    Cursor record = c;
    const std::optional<uint32_t> size = record.le32();
    const std::optional<uint16_t> function = record.le16();
    if (!function || *size < kEndRecordWords || *size > *longest || !c.step(uint64_t{*size} * 2))
      return 0;
    if (*function == 0) break;
  }
  const uint64_t length = c.at() - *at;
  return length == uint64_t{*fileWords} * 2 ? c.at() - p : 0;
}

constexpr CarveSignature kWmfSignatures[] = {
    {"\xD7\xCD\xC6\x9A"},
    {std::string_view("\x01\x00\x09\x00\x00\x03", 6)},
    {std::string_view("\x02\x00\x09\x00\x00\x03", 6)},
    {std::string_view("\x01\x00\x09\x00\x00\x01", 6)},
    {std::string_view("\x02\x00\x09\x00\x00\x01", 6)},
};
constexpr CarvedFormat kWmf = {
    .type = "wmf",
    .signatures = kWmfSignatures,
    .window = kWmfHeaderWords * 2,
};

}  // namespace

int32_t strellEMF(ScanContext& context, const Buffer& data, const std::string& from) {
  return CarveItems(context, kEmf, data, from,
                    [&](uint64_t p, WalkBudget& budget, WalkMode) -> std::optional<uint64_t> {
                      return MeasureEMF(data, p, budget);
                    });
}

int32_t strellWMF(ScanContext& context, const Buffer& data, const std::string& from) {
  return CarveItems(context, kWmf, data, from,
                    [&](uint64_t p, WalkBudget& budget, WalkMode) -> std::optional<uint64_t> {
                      return MeasureWMF(data, p, budget);
                    });
}

}  // namespace strellbox
