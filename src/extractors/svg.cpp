// SVG drawings: an `<svg` element start up to the `</svg>` that closes it,
// nested svg elements counted, with the XML declaration, doctype, comments
// and processing instructions in front of it taken into the item. Comments,
// CDATA sections and processing instructions inside are stepped over whole,
// so that an `<svg` written in a script or a comment does not count, and
// the quoted attribute values of an svg tag are read as such, so that a
// `>` in one does not end the tag. A control byte (other than tab and line
// breaks) means the bytes are not text: the candidate is dropped.
//
// SVG text inside HTML (inline drawings) is reported too: it is a drawing
// of its own. The text and HTML passes, when turned on, still report what
// they did before; the two do not exclude each other.
//
// Every byte the walk reads is charged to the budget, and the walk ends at
// kMaxSvg bytes. An element left open over megabytes of text costs one
// walk: the svg starts inside it are answered from that walk (SvgWalks).
#include <optional>
#include <unordered_map>
#include <vector>

#include "engine/scan_context.h"
#include "extractors/image_scan.h"

namespace strellbox {

namespace {

// The largest drawing: drawings with embedded photos run to tens of
// megabytes; beyond this an open element is taken as never closed.
constexpr uint64_t kMaxSvg = uint64_t{64} << 20;
// What may stand in front of the element: declaration, doctype (with an
// internal subset) and comments.
constexpr uint64_t kMaxProlog = uint64_t{64} << 10;

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsControl(uint8_t c) { return c < 0x20 && !IsSpace(c); }

// A text walk over [at, limit) that charges what it reads and fails on a
// control byte.
class TextWalk {
 public:
  TextWalk(const Buffer& b, uint64_t at, uint64_t limit, WalkBudget& budget)
      : b_(b), at_(at), limit_(limit), budget_(budget) {}

  uint64_t at() const { return at_; }
  bool ok() const { return ok_; }
  bool startsWith(std::string_view text) const {
    return ok_ && text.size() <= limit_ - at_ && b_.startsWith(at_, text);
  }
  // The byte at the cursor, without moving; 0 once failed or at the limit.
  uint8_t peek() const { return ok_ && at_ < limit_ ? b_.u8(at_) : 0; }
  // Moves over one byte; fails at the limit or on a control byte.
  bool next() {
    if (!ok_ || at_ >= limit_ || IsControl(b_.u8(at_))) return fail();
    ++at_;
    budget_.spend(1);
    return true;
  }
  void skipSpace() {
    while (ok_ && at_ < limit_ && IsSpace(b_.u8(at_))) next();
  }
  // Moves past the next `end`; fails when it does not stand before the
  // limit, or when a control byte comes first.
  bool past(std::string_view end) {
    while (ok_) {
      if (startsWith(end)) {
        for (size_t i = 0; i < end.size(); ++i) next();
        return ok_;
      }
      next();
    }
    return false;
  }

 private:
  bool fail() {
    ok_ = false;
    return false;
  }
  const Buffer& b_;
  uint64_t at_;
  uint64_t limit_;
  WalkBudget& budget_;
  bool ok_ = true;
};

bool IsSvgStart(const Buffer& b, uint64_t p) {
  const uint8_t c = b.u8(p + 4);
  return b.startsWith(p, "<svg") && (IsSpace(c) || c == '>' || c == '/');
}

// Steps over the declaration, doctype, comments and processing
// instructions in front of the element; false when something else stands
// there.
bool SkipProlog(TextWalk& w) {
  for (;;) {
    w.skipSpace();
    if (w.startsWith("<svg")) return true;
    if (w.startsWith("<?")) {
      if (!w.past("?>")) return false;
    } else if (w.startsWith("<!--")) {
      if (!w.past("-->")) return false;
    } else if (w.startsWith("<!DOCTYPE")) {
      // The internal subset in brackets may hold `>` of its own.
      bool subset = false;
      while (w.ok() && (subset || w.peek() != '>')) {
        if (w.peek() == '[') subset = true;
        if (w.peek() == ']') subset = false;
        w.next();
      }
      if (!w.next()) return false;
    } else {
      return false;
    }
  }
}

// Moves past the `>` of a start tag, its quoted values read whole; says
// whether the tag closed itself (`/>`).
std::optional<bool> SkipStartTag(TextWalk& w) {
  uint8_t quote = 0, last = 0;
  while (w.ok()) {
    const uint8_t c = w.peek();
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      w.next();
      return w.ok() ? std::optional<bool>(last == '/') : std::nullopt;
    }
    last = c;
    w.next();
  }
  return std::nullopt;
}

// The walks of one pass over one buffer. A walk from an svg start passes
// every svg start nested in it and sees where each is closed, so when the
// outer element is never closed, the walk has measured the nested ones all
// the same: they are answered from it, not walked again. That keeps a run
// of unclosed starts to one walk.
class SvgWalks {
 public:
  explicit SvgWalks(const Buffer& b) : b_(b) {}

  // The length of the drawing whose candidate (the prolog's first byte, or
  // the element's) is at p, or 0.
  uint64_t measure(uint64_t p, WalkBudget& budget) {
    const uint64_t limit = std::min(b_.size(), p + kMaxSvg);
    TextWalk w(b_, p, std::min(limit, p + kMaxProlog), budget);
    if (!SkipProlog(w) || !IsSvgStart(b_, w.at())) return 0;
    const uint64_t start = w.at();
    if (start > walkedFrom_ && start < walkedTo_) {
      const auto known = ends_.find(start);
      return known == ends_.end() ? 0 : known->second - p;
    }
    ends_.clear();
    walkedFrom_ = walkedTo_ = start;
    const uint64_t end = walk(start, limit, budget);
    return end ? end - p : 0;
  }

 private:
  // The end of the element that starts at `start`, or 0; records the ends
  // of the svg elements nested in it, and how far it went.
  uint64_t walk(uint64_t start, uint64_t limit, WalkBudget& budget) {
    TextWalk e(b_, start, limit, budget);
    std::vector<uint64_t> open;
    while (e.ok()) {
      if (e.peek() != '<') {
        e.next();
      } else if (e.startsWith("<!--")) {
        e.past("-->");
      } else if (e.startsWith("<![CDATA[")) {
        e.past("]]>");
      } else if (e.startsWith("<?")) {
        e.past("?>");
      } else if (IsSvgStart(b_, e.at())) {
        const uint64_t at = e.at();
        const std::optional<bool> closed = SkipStartTag(e);
        if (!closed) break;
        if (!*closed) {
          open.push_back(at);
          continue;
        }
        if (open.empty()) return e.at();  // the drawing is one empty element
        ends_[at] = e.at();
      } else if (e.startsWith("</svg")) {
        for (int i = 0; i < 5; ++i) e.next();
        e.skipSpace();
        if (e.peek() != '>' || !e.next() || open.empty()) break;
        const uint64_t at = open.back();
        open.pop_back();
        if (open.empty()) return e.at();
        ends_[at] = e.at();
      } else {
        e.next();
      }
    }
    walkedTo_ = e.at();
    return 0;
  }

  const Buffer& b_;
  // The last walk that found no end: the starts it passed, where each was
  // closed, and the bytes it covered.
  std::unordered_map<uint64_t, uint64_t> ends_;
  uint64_t walkedFrom_ = 0, walkedTo_ = 0;
};

bool ConfirmSvgStart(const Buffer& b, uint64_t p) { return IsSvgStart(b, p); }

constexpr CarveSignature kSvgSignatures[] = {
    {"<?xml"},
    {"<!DOCTYPE svg"},
    {"<svg", ConfirmSvgStart},
};
constexpr CarvedFormat kSvg = {
    .type = "svg",
    .signatures = kSvgSignatures,
    .stepAfterDrop = 4,
    // The drawing's text is still read by the data: URI pass, which finds
    // the pictures embedded in it.
    .wholeBufferItems = false,
    .end = ItemEnd::kMarker,
};

}  // namespace

int32_t strellSVG(ScanContext& context, const Buffer& data, const std::string& from) {
  SvgWalks walks(data);
  return CarveItems(context, kSvg, data, from,
                    [&](uint64_t p, WalkBudget& budget, WalkMode) -> std::optional<uint64_t> {
                      return walks.measure(p, budget);
                    });
}

}  // namespace strellbox
