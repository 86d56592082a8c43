// Inline images ("BI ... ID data EI" inside content streams), each saved
// as a one-page document whose image XObject holds the inline data
// untouched, with the abbreviated keys and names written out in full.
#include <set>

#include "engine/decoder_table.h"
#include "engine/strell_progress.h"
#include "pdf/pdf_document.h"
#include "pdf/pdf_filters.h"

namespace strellbox {

namespace {

// Entries of one inline image's dictionary beyond which it is no image.
constexpr int kMaxInlineEntries = 64;
// Parents followed up a page tree for inherited resources.
constexpr int kMaxInheritance = 32;

struct Abbreviation {
  const char* shortName;
  const char* fullName;
};

constexpr Abbreviation kKeys[] = {
    {"/BPC", "/BitsPerComponent"}, {"/CS", "/ColorSpace"}, {"/D", "/Decode"},
    {"/DP", "/DecodeParms"},       {"/F", "/Filter"},      {"/H", "/Height"},
    {"/IM", "/ImageMask"},         {"/I", "/Interpolate"}, {"/W", "/Width"},
};
constexpr Abbreviation kNames[] = {
    {"/G", "/DeviceGray"},       {"/RGB", "/DeviceRGB"},      {"/CMYK", "/DeviceCMYK"},
    {"/I", "/Indexed"},          {"/AHx", "/ASCIIHexDecode"}, {"/A85", "/ASCII85Decode"},
    {"/LZW", "/LZWDecode"},      {"/Fl", "/FlateDecode"},     {"/RL", "/RunLengthDecode"},
    {"/CCF", "/CCITTFaxDecode"}, {"/DCT", "/DCTDecode"},
};

std::string Expand(const std::string& name, const Abbreviation* table, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (name == table[i].shortName) return table[i].fullName;
  return name;
}

bool IsDeviceSpace(const std::string& name) {
  return name == "/DeviceGray" || name == "/DeviceRGB" || name == "/DeviceCMYK" ||
         name == "/Indexed" || name == "/Pattern";
}

std::shared_ptr<PDFDictionary> DictionaryFor(const PDFObjectPtr& object) {
  return std::dynamic_pointer_cast<PDFDictionary>(PDFResolve(object));
}

// A colour space of an inline image, with abbreviations expanded and a
// resource name replaced by what the resources give it; none when a name
// is not found.
PDFObjectPtr ColorSpace(const PDFObjectPtr& value, const PDFDictionary* resources) {
  if (auto name = std::dynamic_pointer_cast<PDFName>(value)) {
    const std::string full = Expand(name->name(), kNames, std::size(kNames));
    if (IsDeviceSpace(full)) return std::make_shared<PDFName>(full);
    auto spaces = resources ? DictionaryFor(resources->objectForKey("/ColorSpace")) : nullptr;
    return spaces ? spaces->objectForKey(name->name()) : nullptr;
  }
  if (auto array = std::dynamic_pointer_cast<PDFArray>(value)) {
    // [/I base hival lookup]: the base may be abbreviated or a resource.
    std::vector<PDFObjectPtr> elements = array->array();
    if (!elements.empty()) elements[0] = ColorSpace(elements[0], nullptr);
    if (elements.size() > 1) elements[1] = ColorSpace(elements[1], resources);
    for (const auto& e : elements)
      if (!e) return nullptr;
    return std::make_shared<PDFArray>(std::move(elements));
  }
  return value;
}

PDFObjectPtr Filters(const PDFObjectPtr& value) {
  if (auto name = std::dynamic_pointer_cast<PDFName>(value))
    return std::make_shared<PDFName>(Expand(name->name(), kNames, std::size(kNames)));
  if (auto array = std::dynamic_pointer_cast<PDFArray>(value)) {
    std::vector<PDFObjectPtr> elements;
    for (const auto& e : array->array()) elements.push_back(Filters(e));
    return std::make_shared<PDFArray>(std::move(elements));
  }
  return value;
}

int32_t Components(const PDFObjectPtr& colorSpace) {
  auto name = std::dynamic_pointer_cast<PDFName>(colorSpace);
  if (!name) {
    auto array = std::dynamic_pointer_cast<PDFArray>(colorSpace);
    if (array && !array->array().empty())
      if (auto first = std::dynamic_pointer_cast<PDFName>(array->array()[0]))
        if (first->name() == "/Indexed") return 1;
    return 0;
  }
  if (name->name() == "/DeviceGray" || name->name() == "/Indexed") return 1;
  if (name->name() == "/DeviceRGB") return 3;
  if (name->name() == "/DeviceCMYK") return 4;
  return 0;
}

bool EndsKeyword(const Buffer& data, uint64_t i) {
  return i >= data.size() || IsPDFWhiteSpace(data.u8(i)) || IsPDFDelimiter(data.u8(i));
}

// Where "EI" follows the data: at `from` (after white space), or the first
// white space, "EI", white space or delimiter after it.
uint64_t FindEnd(const Buffer& data, uint64_t from, bool exact, uint64_t& dataEnd) {
  if (exact) {
    uint64_t i = from;
    while (i < data.size() && IsPDFWhiteSpace(data.u8(i))) ++i;
    if (data.startsWith(i, "EI") && EndsKeyword(data, i + 2)) {
      dataEnd = from;
      return i;
    }
  }
  for (uint64_t at = data.find("EI", from); at != Buffer::npos; at = data.find("EI", at + 1)) {
    if (at > from && IsPDFWhiteSpace(data.u8(at - 1)) && EndsKeyword(data, at + 2)) {
      dataEnd = at - 1;
      return at;
    }
  }
  return Buffer::npos;
}

}  // namespace

void PDFDocument::saveInlineImages(bool dontSaveDuplicates) {
  // Content streams and the resources their names refer to: page contents,
  // form XObjects, tiling patterns and the glyphs of Type 3 fonts.
  std::vector<std::pair<std::shared_ptr<PDFIndirectObject>, std::shared_ptr<PDFDictionary>>>
      contents;
  std::set<const PDFIndirectObject*> seen;
  auto add = [&](const PDFObjectPtr& value, const std::shared_ptr<PDFDictionary>& resources) {
    auto reference = std::dynamic_pointer_cast<PDFIndirectObjectReference>(value);
    auto target = reference ? reference->referencedIndirectObject() : nullptr;
    if (!target || !std::dynamic_pointer_cast<PDFStream>(target->object())) return;
    if (seen.insert(target.get()).second) contents.emplace_back(target, resources);
  };
  for (const auto& [number, indirect] : catalog_) {
    auto dictionary = std::dynamic_pointer_cast<PDFDictionary>(indirect->object());
    if (!dictionary) continue;
    auto resources = DictionaryFor(dictionary->objectForKey("/Resources"));
    if (dictionary->stringForKey("/Type") == "/Page") {
      // Resources may be inherited from the page tree.
      auto node = dictionary;
      for (int up = 0; !resources && node && up < kMaxInheritance; ++up) {
        node = DictionaryFor(node->objectForKey("/Parent"));
        if (node) resources = DictionaryFor(node->objectForKey("/Resources"));
      }
      PDFObjectPtr page = dictionary->objectForKey("/Contents");
      if (auto array = std::dynamic_pointer_cast<PDFArray>(PDFResolve(page))) {
        for (const auto& element : array->array()) add(element, resources);
      } else {
        add(page, resources);
      }
    } else if (auto stream = std::dynamic_pointer_cast<PDFStream>(dictionary)) {
      auto patternType = stream->objectForKey("/PatternType");
      if (stream->stringForKey("/Subtype") == "/Form" ||
          (patternType && patternType->intValue() == 1))
        if (seen.insert(indirect.get()).second) contents.emplace_back(indirect, resources);
    } else if (dictionary->stringForKey("/Subtype") == "/Type3") {
      if (auto glyphs = DictionaryFor(dictionary->objectForKey("/CharProcs")))
        for (const auto& [name, glyph] : glyphs->dictionary()) add(glyph, resources);
    }
  }

  for (const auto& [indirect, resources] : contents) {
    if (strellController_ != nullptr && strellController_->stopStreller()) return;
    auto stream = std::dynamic_pointer_cast<PDFStream>(indirect->object());
    std::optional<Buffer> decoded = PDFDecodeStream(*stream, stream->plainData(), decodeBudget_);
    if (!decoded) continue;
    const Buffer content = decoded->decodedFrom(data_, Decoder(DecoderId::kPdfContent).key, indirect->offset());
    // Parsing the dictionaries may cost a few times the content's length,
    // whatever it holds.
    uint64_t budget = kWorkPerByte * content.size() + 4096;
    for (uint64_t at = content.find("BI", 0); at != Buffer::npos; at = content.find("BI", at + 2)) {
      if ((at > 0 && !IsPDFWhiteSpace(content.u8(at - 1)) && !IsPDFDelimiter(content.u8(at - 1))) ||
          !EndsKeyword(content, at + 2))
        continue;
      PDFScanner scanner(content, at + 2);
      scanner.setExtended(true);
      scanner.setWorkBudget(&budget);
      PDFObjectMap entries;
      bool closed = false;
      for (int k = 0; k < kMaxInlineEntries; ++k) {
        const PDFToken token = scanner.scanToken();
        if (token == pdfTokenOperator && scanner.scannedString() == "ID") {
          closed = true;
          break;
        }
        if (token != pdfTokenName) break;
        const std::string key = Expand(scanner.scannedString(), kKeys, std::size(kKeys));
        PDFObjectPtr value = scanner.parse();
        if (!value) break;
        entries[key] = std::move(value);
      }
      if (!closed || budget == 0) continue;
      // One white-space byte ends the keyword; the data follows.
      const uint64_t start = scanner.offset() + 1;
      if (entries.count("/ColorSpace")) {
        entries["/ColorSpace"] = ColorSpace(entries["/ColorSpace"], resources.get());
        if (!entries["/ColorSpace"]) continue;  // a resource that is not there
      }
      if (entries.count("/Filter")) entries["/Filter"] = Filters(entries["/Filter"]);
      const int32_t width = entries.count("/Width") ? entries["/Width"]->intValue() : 0;
      const int32_t height = entries.count("/Height") ? entries["/Height"]->intValue() : 0;
      auto mask = std::dynamic_pointer_cast<PDFBool>(entries["/ImageMask"]);
      if (!mask) entries.erase("/ImageMask");
      const int32_t bits =
          mask && mask->boolValue()
              ? 1
              : (entries.count("/BitsPerComponent") ? entries["/BitsPerComponent"]->intValue() : 0);
      const int32_t components = mask && mask->boolValue() ? 1 : Components(entries["/ColorSpace"]);
      if (!entries["/ColorSpace"]) entries.erase("/ColorSpace");
      // Unfiltered data has a length known from its size; filtered data
      // runs to the keyword.
      uint64_t dataEnd = 0;
      uint64_t end = Buffer::npos;
      if (!entries.count("/Filter") && width > 0 && height > 0 && bits > 0 && components > 0) {
        const uint64_t row = (uint64_t(width) * uint64_t(components) * uint64_t(bits) + 7) / 8;
        const uint64_t length = row * uint64_t(height);
        if (content.has(start, length)) end = FindEnd(content, start + length, true, dataEnd);
      }
      if (end == Buffer::npos) end = FindEnd(content, start, false, dataEnd);
      if (end == Buffer::npos) break;  // no "EI" anywhere after: no image can end
      entries["/Type"] = std::make_shared<PDFName>("/XObject");
      entries["/Subtype"] = std::make_shared<PDFName>("/Image");
      entries["/Length"] = std::make_shared<PDFInteger>(static_cast<int32_t>(dataEnd - start));
      auto image =
          std::make_shared<PDFStream>(std::move(entries), content.slice(start, dataEnd - start));
      auto holder = std::make_shared<PDFIndirectObject>(0, 0, 0);
      holder->setObject(image);
      saveImage(holder, *image, at, content, dontSaveDuplicates);
      at = end;
    }
  }
}

}  // namespace strellbox
