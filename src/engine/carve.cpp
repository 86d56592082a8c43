#include "engine/carve.h"

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "engine/paths.h"
#include "engine/scan_context.h"

namespace strellbox {

namespace {

constexpr uint64_t npos = Buffer::npos;

// The next place one signature stands, searched again only once the loop
// has moved past the last one found: with several signatures, the one
// found further on is not searched for again at every candidate.
class SignatureCursor {
 public:
  explicit SignatureCursor(const CarveSignature& signature) : signature_(signature) {}

  uint64_t next(const Buffer& b, uint64_t from, uint64_t limit) {
    if (searched_ && (at_ == npos || at_ >= from)) return at_;
    searched_ = true;
    at_ = find(b, from, limit);
    while (at_ != npos && signature_.confirm && !signature_.confirm(b, at_))
      at_ = find(b, at_ + 1, limit);
    return at_;
  }

 private:
  uint64_t find(const Buffer& b, uint64_t from, uint64_t limit) const {
    return signature_.find ? signature_.find(b, from, limit)
                           : b.find(signature_.bytes, from, limit);
  }

  const CarveSignature& signature_;
  uint64_t at_ = npos;
  bool searched_ = false;
};

// The next place any of several signatures stands, found in one sweep for
// them all rather than one sweep each.
class SignaturesCursor {
 public:
  explicit SignaturesCursor(std::span<const CarveSignature> signatures) : signatures_(signatures) {
    for (const CarveSignature& s : signatures) needles_.push_back(s.bytes);
  }

  uint64_t next(const Buffer& b, uint64_t from, uint64_t limit) {
    if (searched_ && (at_ == npos || at_ >= from)) return at_;
    searched_ = true;
    size_t which = 0;
    for (at_ = b.findAny(needles_, from, limit, which); at_ != npos;
         at_ = b.findAny(needles_, at_ + 1, limit, which)) {
      if (Confirmed(b, at_, which)) break;
    }
    return at_;
  }

 private:
  // Whether a signature from `which` on stands at p and is confirmed there.
  bool Confirmed(const Buffer& b, uint64_t p, size_t which) const {
    for (size_t k = which; k < signatures_.size(); ++k) {
      const CarveSignature& s = signatures_[k];
      if (b.startsWith(p, s.bytes) && (!s.confirm || s.confirm(b, p))) return true;
    }
    return false;
  }

  std::span<const CarveSignature> signatures_;
  std::vector<std::string_view> needles_;
  uint64_t at_ = npos;
  bool searched_ = false;
};

}  // namespace

int32_t CarveItems(ScanContext& context, const CarvedFormat& format, const Buffer& data,
                   const std::string& from, const CarveMeasure& measure) {
  const uint64_t n = data.size();
  if (n <= kSmallestScannedBuffer || n <= format.window) return 0;
  const std::string name =
      format.naming == CarveNaming::kSourceStem ? DeletingPathExtension(from) : from;
  std::vector<SignatureCursor> cursors;
  std::optional<SignaturesCursor> all;
  // One sweep serves several signatures unless one brings its own search.
  const bool ownSearch = std::any_of(format.signatures.begin(), format.signatures.end(),
                                     [](const CarveSignature& s) { return s.find != nullptr; });
  if (format.signatures.size() > 1 && !ownSearch)
    all.emplace(format.signatures);
  else
    for (const CarveSignature& s : format.signatures) cursors.emplace_back(s);
  WalkBudget budget = format.budget(n);
  const uint64_t limit = n - format.window;
  int32_t count = 0;
  uint64_t position = 0;
  while (position < limit && !context.stopStreller()) {
    uint64_t q = npos;
    if (all) q = all->next(data, position + format.lead, limit + format.lead);
    for (SignatureCursor& cursor : cursors)
      q = std::min(q, cursor.next(data, position + format.lead, limit + format.lead));
    if (q == npos) break;
    const uint64_t p = q - format.lead;
    const uint64_t spent = budget.spent();
    const std::optional<CarveLength> measured = measure(p, budget, WalkMode::kFirst);
    // An empty item would leave the search where it was: it counts as none.
    if (measured && measured->length > 0) {
      const uint64_t length = measured->length;
      if (format.wholeBufferItems && IsWholeBuffer(p, length, n)) context.setAtomicFileFound(true);
      const std::string_view type = format.typeOf ? format.typeOf(data, p, length) : format.type;
      context.saveStrell(data, p, length, type, name, count, measured->end.value_or(format.end));
      ++count;
      position = p + length;
      continue;
    }
    if (budget.exhausted()) break;
    if (format.marksDeadEnds && budget.spent() - spent > WalkBudget::kShortWalk)
      measure(p, budget, WalkMode::kMarking);
    position = p + std::max<uint64_t>(format.stepAfterDrop, 1);
  }
  return count;
}

}  // namespace strellbox
