// A damaged document's catalog, rebuilt as viewers rebuild it: every
// "N G obj" header in the file defines object N at that offset, the last
// definition winning (later ones are newer updates); the trailer is the
// last "trailer" dictionary or cross-reference stream dictionary; objects
// kept in object streams are taken from the headers of those streams.
#include <algorithm>
#include <limits>

#include "pdf/pdf_document.h"
#include "pdf/pdf_filters.h"

namespace strellbox {

namespace {

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Digits of one number in an object header; more name no object.
constexpr uint64_t kMaxDigits = 10;

}  // namespace

void PDFDocument::rebuildCatalog() {
  recovered_ = true;
  catalog_.clear();
  objectStreams_.clear();
  const uint64_t len = data_.size();
  const uint64_t cap = entryCap();
  // Each search for the keyword starts after the last one, and the walk
  // back from a keyword never passes the end of the one before: every
  // byte is looked at a bounded number of times.
  uint64_t floor = 0;
  for (uint64_t at = data_.find("obj", 0); at != Buffer::npos; at = data_.find("obj", floor)) {
    const uint64_t after = at + 3;
    const uint64_t lower = floor;
    floor = after;
    if (after < len && IsPDFRegular(data_.u8(after))) continue;  // "object", "objects"
    uint64_t i = at;
    auto skipBackWhite = [&] {
      const uint64_t from = i;
      while (i > lower && IsPDFWhiteSpace(data_.u8(i - 1))) --i;
      return i < from;
    };
    auto skipBackDigits = [&](uint64_t& value) {
      const uint64_t from = i;
      while (i > lower && IsDigit(data_.u8(i - 1)) && from - i < kMaxDigits) --i;
      if (i == from || (i > lower && IsDigit(data_.u8(i - 1)))) return false;
      value = 0;
      for (uint64_t k = i; k < from; ++k) value = value * 10 + (data_.u8(k) - '0');
      return true;
    };
    uint64_t generation = 0, number = 0;
    if (!skipBackWhite() || !skipBackDigits(generation) || !skipBackWhite() ||
        !skipBackDigits(number))
      continue;
    if (i > 0 && IsPDFRegular(data_.u8(i - 1))) continue;  // "x12 0 obj"
    if (number == 0 || number > std::numeric_limits<uint32_t>::max() ||
        i > std::numeric_limits<uint32_t>::max())
      continue;
    const auto objectID = static_cast<uint32_t>(number);
    if (catalog_.size() >= cap && catalog_.count(objectID) == 0) continue;
    catalog_[objectID] = std::make_shared<PDFIndirectObject>(
        objectID, static_cast<uint32_t>(std::min<uint64_t>(generation, 65535)),
        static_cast<uint32_t>(i));
  }
  findRecoveryTrailer();
}

void PDFDocument::findRecoveryTrailer() {
  // The last "trailer" dictionary, and the dictionary of the last
  // cross-reference stream; a trailer read from a chain that turned out
  // broken keeps its values, which these fill in.
  uint64_t lastTrailer = Buffer::npos;
  for (uint64_t at = data_.find("trailer", 0); at != Buffer::npos;
       at = data_.find("trailer", at + 7))
    lastTrailer = at;
  uint64_t lastXRef = Buffer::npos;
  for (uint64_t at = data_.find("/XRef", 0); at != Buffer::npos; at = data_.find("/XRef", at + 5))
    if (!IsPDFRegular(data_.u8(at + 5))) lastXRef = at;

  std::vector<std::shared_ptr<PDFDictionary>> found;
  if (lastTrailer != Buffer::npos) {
    PDFScanner scanner(data_, lastTrailer + 7);
    scanner.setExtended(true);
    scanner.setWorkBudget(&workBudget_);
    if (auto d = std::dynamic_pointer_cast<PDFDictionary>(scanner.parse())) found.push_back(d);
  }
  if (lastXRef != Buffer::npos) {
    // The object around it: the header with the largest offset before it.
    uint64_t best = Buffer::npos;
    for (const auto& [number, entry] : catalog_)
      if (entry->offset() < lastXRef && (best == Buffer::npos || entry->offset() > best))
        best = entry->offset();
    if (best != Buffer::npos) {
      PDFScanner scanner(data_, best);
      scanner.setExtended(true);
      scanner.setWorkBudget(&workBudget_);
      scanner.scanToken();
      scanner.scanToken();
      scanner.scanToken();
      auto d = std::dynamic_pointer_cast<PDFDictionary>(scanner.parse());
      if (d && d->stringForKey("/Type") == "/XRef") {
        // The newer of the two comes first.
        if (lastTrailer == Buffer::npos || best > lastTrailer) {
          found.insert(found.begin(), d);
        } else {
          found.push_back(d);
        }
      }
    }
  }
  for (const auto& d : found) {
    auto entries = std::make_shared<PDFDictionary>(d->dictionary());
    entries->removeObjectForKey("/Prev");
    mergeTrailer(*entries);
  }
}

void PDFDocument::registerObjectStreams(PDFScanner& scanner) {
  // The streams: objects whose text names the type, looked for by the
  // bytes "/ObjStm" and the header before them.
  std::vector<std::pair<uint64_t, uint32_t>> byOffset;
  byOffset.reserve(catalog_.size());
  for (const auto& [number, entry] : catalog_) byOffset.emplace_back(entry->offset(), number);
  std::sort(byOffset.begin(), byOffset.end());
  std::vector<uint32_t> streams;
  for (uint64_t at = data_.find("/ObjStm", 0); at != Buffer::npos;
       at = data_.find("/ObjStm", at + 7)) {
    auto it = std::upper_bound(byOffset.begin(), byOffset.end(),
                               std::make_pair(at, std::numeric_limits<uint32_t>::max()));
    if (it == byOffset.begin()) continue;
    const uint32_t number = std::prev(it)->second;
    if (streams.empty() || streams.back() != number) streams.push_back(number);
  }
  const uint64_t cap = entryCap();
  for (uint32_t number : streams) {
    const ObjectStream* stream = objectStream(scanner, number);
    if (stream == nullptr) continue;
    for (size_t i = 0; i < stream->objects.size(); ++i) {
      const uint32_t objectID = stream->objects[i].first;
      // Defined in the file itself, or in an earlier stream: that one stays.
      if (objectID == number || catalog_.count(objectID) != 0 || catalog_.size() >= cap) continue;
      auto entry = std::make_shared<PDFIndirectObject>(objectID, 0, 0);
      entry->setObjectStream(number, static_cast<uint32_t>(i));
      catalog_.emplace(objectID, std::move(entry));
    }
  }
}

}  // namespace strellbox
