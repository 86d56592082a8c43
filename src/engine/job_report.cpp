#include "engine/job_report.h"

#include <fmt/format.h>
#include <lzma.h>
#include <openssl/crypto.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cmath>

#include "engine/atomic_file.h"
#include "engine/classify.h"
#include "engine/log.h"
#include "engine/pass_table.h"
#include "engine/scan_preferences.h"
#include "extractors/base64.h"

namespace strellbox {

namespace {

constexpr const char* kDfxmlNamespace =
    "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML";
// The DFXML version whose elements the report uses.
constexpr const char* kDfxmlVersion = "1.1.0";

bool IsXmlChar(uint32_t c) {
  return c == 0x09 || c == 0x0A || c == 0x0D || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// An element with text; text that XML cannot carry exactly keeps its
// bytes in Base64 in an attribute beside it.
std::string Element(std::string_view name, std::string_view text) {
  bool exact = true;
  const std::string escaped = XmlText(text, &exact);
  if (exact) return fmt::format("<{0}>{1}</{0}>", name, escaped);
  return fmt::format("<{0} sb:base64=\"{2}\">{1}</{0}>", name, escaped, Base64Encode(text));
}

std::string Iso8601(std::chrono::system_clock::time_point t) {
  const time_t seconds = std::chrono::system_clock::to_time_t(t);
  struct tm utc {};
  gmtime_r(&seconds, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

template <size_t N>
std::string Hex(const std::array<uint8_t, N>& bytes) {
  std::string hex;
  hex.reserve(2 * N);
  for (uint8_t b : bytes) hex += fmt::format("{:02x}", b);
  return hex;
}

std::string Compiler() {
#if defined(__clang__)
  return "clang " __clang_version__;
#elif defined(__GNUC__)
  return "GCC " __VERSION__;
#else
  return "unknown";
#endif
}

std::string UserName() {
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::array<char, 4096> scratch{};
  if (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found)
    return found->pw_name;
  return {};
}

// The libraries the core is linked with, and their versions.
std::vector<std::pair<std::string, std::string>> CoreLibraries() {
  return {{"zlib", zlibVersion()},
          {"liblzma", lzma_version_string()},
          {"OpenSSL", OpenSSL_version(OPENSSL_VERSION_STRING)},
          {"fmt", fmt::format("{}.{}.{}", FMT_VERSION / 10000, FMT_VERSION / 100 % 100,
                              FMT_VERSION % 100)}};
}

std::string SaveLocation(int32_t tag) {
  switch (tag) {
    case 1:
      return "beside";
    case 2:
      return "folder";
    default:
      return "desktop";
  }
}

}  // namespace

std::string XmlText(std::string_view text, bool* exact) {
  std::string out;
  out.reserve(text.size());
  bool same = true;
  for (size_t i = 0; i < text.size();) {
    const auto [c, n] = Utf8At(text, i);
    if (n == 0 || !IsXmlChar(c)) {
      out += "\xEF\xBF\xBD";
      same = false;
      i += n == 0 ? 1 : n;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\r':  // kept through the parser's line-end handling
        out += "&#13;";
        break;
      default:
        out.append(text.substr(i, n));
    }
    i += n;
  }
  if (exact) *exact = same;
  return out;
}

JobReport::JobReport() = default;
JobReport::~JobReport() = default;

void JobReport::beginJob(const ScanPreferences& preferences, int workers) {
  objects_.reset();
  objectsFailed_ = false;
  sources_.clear();
  countsByType_.clear();
  counts_ = {};
  bytesScanned_ = 0;
  ending_ = {};
  options_.clear();
  startTime_ = std::chrono::system_clock::now();
  started_ = std::chrono::steady_clock::now();
  endTime_ = startTime_;
  ended_ = started_;
  workers_ = workers;
  if (!preferences.writeReport()) return;
  // The fileobjects wait in a file of their own until the job ends: a job
  // may report more items than are worth holding in memory.
  objects_.reset(std::tmpfile());
  if (!objects_) {
    StrellLog("Report not kept: no temporary file");
    return;
  }

  const ScanSettings settings = preferences.scanSettings();
  std::string passes;
  for (const PassRow& row : PassTable())
    if (settings.on(row.id)) passes += (passes.empty() ? "" : ",") + std::string(row.cliKey);
  const bool pictures = preferences.minPictureWidth() > 0 || preferences.minPictureHeight() > 0;
  options_ = {
      {"passes", passes},
      {"extended", settings.extended ? "1" : "0"},
      {"keep_duplicates", preferences.dontSaveDuplicates() ? "0" : "1"},
      {"list", preferences.listOnly() ? "1" : "0"},
      {"md5", preferences.reportMd5() ? "1" : "0"},
      {"min_size", std::to_string(preferences.minItemSize())},
      {"max_size", std::to_string(preferences.maxItemSize())},
      {"min_pixels", pictures ? fmt::format("{}x{}", preferences.minPictureWidth(),
                                            preferences.minPictureHeight())
                              : "0"},
      {"save_location", SaveLocation(preferences.saveRadioChosen())},
  };
  if (preferences.saveRadioChosen() == 2)
    options_.emplace_back("save_folder", preferences.saveFolder());
}

void JobReport::sourceRead(const std::string& path, uint64_t size) {
  if (!objects_) return;
  sources_.push_back({path, size});
  bytesScanned_ += size;
}

void JobReport::appendObject(const FoundItem& item, const std::string& fileName,
                             const std::string& duplicateOf) {
  const Origin& origin = item.data.origin();
  std::string x = "  <fileobject>\n";
  x += "    " + Element("filename", fileName) + "\n";
  x += fmt::format("    <filesize>{}</filesize>\n", item.size);
  // Where the bytes lie in the file read: the item itself, when it lies
  // there in one piece; else the start of the outermost encoded data, with
  // the decodings from there in the chain below.
  if (!origin.container.empty()) {
    if (origin.chain.empty())
      x += fmt::format(
          "    <byte_runs>\n      <byte_run file_offset=\"0\" img_offset=\"{}\" len=\"{}\"/>\n"
          "    </byte_runs>\n",
          item.offset, item.size);
    else
      x += fmt::format(
          "    <byte_runs>\n      <byte_run file_offset=\"0\" img_offset=\"{}\"/>\n"
          "    </byte_runs>\n",
          origin.chain.front().offset);
  }
  x += fmt::format("    <hashdigest type=\"sha256\">{}</hashdigest>\n", Hex(item.digest));
  if (item.md5) x += fmt::format("    <hashdigest type=\"md5\">{}</hashdigest>\n", Hex(*item.md5));
  x += "    " + Element("sb:type", item.type) + "\n";
  x += "    " + Element("sb:source", item.source) + "\n";
  if (!origin.container.empty()) x += "    " + Element("sb:container", origin.container) + "\n";
  x += fmt::format("    <sb:offset>{}</sb:offset>\n", item.offset);
  if (origin.chain.empty()) {
    x += "    <sb:chain/>\n";
  } else {
    x += "    <sb:chain>\n";
    for (const OriginStep& step : origin.chain)
      x += fmt::format("      <sb:step decoder=\"{}\" offset=\"{}\"/>\n", XmlText(step.decoder),
                       step.offset);
    x += "    </sb:chain>\n";
  }
  x += fmt::format("    <sb:pass>{}</sb:pass>\n", Pass(item.pass).cliKey);
  x += fmt::format("    <sb:end>{}</sb:end>\n", ItemEndName(item.end));
  if (!duplicateOf.empty()) x += "    " + Element("sb:duplicate_of", duplicateOf) + "\n";
  if (item.filtered)
    x += fmt::format("    <sb:filtered>{}</sb:filtered>\n", ItemFilterName(*item.filtered));
  x += "  </fileobject>\n";
  if (std::fwrite(x.data(), 1, x.size(), objects_.get()) != x.size()) objectsFailed_ = true;
}

void JobReport::itemWritten(const std::string& path, const std::string& fileName,
                            const FoundItem& item) {
  if (!objects_) return;
  ++counts_.items;
  ++countsByType_[item.type].items;
  appendObject(item, path.empty() ? fileName : path, {});
}

void JobReport::itemRepeated(const FoundItem& item, const std::string& copy) {
  if (!objects_) return;
  ++counts_.repeats;
  ++countsByType_[item.type].repeats;
  const size_t slash = copy.rfind('/');
  appendObject(item, slash == std::string::npos ? copy : copy.substr(slash + 1), copy);
}

void JobReport::itemFiltered(const FoundItem& item) {
  if (!objects_) return;
  ++counts_.filtered;
  ++countsByType_[item.type].filtered;
}

void JobReport::itemListedFiltered(const FoundItem& item, const std::string& fileName) {
  if (objects_) appendObject(item, fileName, {});
}

void JobReport::endJob(const JobEnding& ending) {
  endTime_ = std::chrono::system_clock::now();
  ended_ = std::chrono::steady_clock::now();
  ending_ = ending;
}

void JobReport::writeCreator(std::ostream& out) const {
  struct utsname system {};
  uname(&system);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  out << "  <creator version=\"1.0\">\n";
  out << "    " << Element("program", creator_.program) << "\n";
  out << "    " << Element("version", STRELLBOX_VERSION) << "\n";
  out << "    <build_environment>\n      " << Element("compiler", Compiler())
      << "\n    </build_environment>\n";
  out << "    <execution_environment>\n";
  out << "      " << Element("os_sysname", system.sysname) << "\n";
  out << "      " << Element("os_release", system.release) << "\n";
  out << "      " << Element("os_version", system.version) << "\n";
  out << "      " << Element("host", host) << "\n";
  out << "      " << Element("arch", system.machine) << "\n";
  if (!creator_.commandLine.empty())
    out << "      " << Element("command_line", creator_.commandLine) << "\n";
  out << "      <uid>" << getuid() << "</uid>\n";
  out << "      " << Element("username", UserName()) << "\n";
  out << "      <start_time>" << Iso8601(startTime_) << "</start_time>\n";
  out << "    </execution_environment>\n";
  auto libraries = CoreLibraries();
  libraries.insert(libraries.end(), creator_.libraries.begin(), creator_.libraries.end());
  for (const auto& [name, version] : libraries)
    out << fmt::format("    <library name=\"{}\" version=\"{}\"/>\n", XmlText(name),
                       XmlText(version));
  out << "  </creator>\n";
}

void JobReport::writeRun(std::ostream& out) const {
  const double elapsed = std::chrono::duration<double>(ended_ - started_).count();
  out << "  <sb:run>\n";
  out << "    <sb:start_time>" << Iso8601(startTime_) << "</sb:start_time>\n";
  out << "    <sb:end_time>" << Iso8601(endTime_) << "</sb:end_time>\n";
  out << fmt::format("    <sb:elapsed_seconds>{:.3f}</sb:elapsed_seconds>\n", elapsed);
  out << "    <sb:workers>" << workers_ << "</sb:workers>\n";
  out << "    <sb:options>\n";
  for (const auto& [name, value] : options_)
    out << fmt::format("      <sb:option name=\"{}\">{}</sb:option>\n", name, XmlText(value));
  out << "    </sb:options>\n";
  out << fmt::format(
      "    <sb:counts found=\"{}\" written=\"{}\" repeats=\"{}\" filtered=\"{}\" "
      "files_scanned=\"{}\" files_skipped=\"{}\"/>\n",
      ending_.found, counts_.items, counts_.repeats, counts_.filtered, sources_.size(),
      ending_.filesSkipped);
  for (const auto& [type, counts] : countsByType_)
    out << fmt::format("    <sb:type name=\"{}\" written=\"{}\" repeats=\"{}\" filtered=\"{}\"/>\n",
                       XmlText(type), counts.items, counts.repeats, counts.filtered);
  out << "    <sb:bytes_scanned>" << bytesScanned_ << "</sb:bytes_scanned>\n";
  if (!ending_.outputFolder.empty())
    out << "    " << Element("sb:output", ending_.outputFolder) << "\n";
  out << "    <sb:stopped>" << (ending_.stopped ? 1 : 0) << "</sb:stopped>\n";
  if (ending_.error) out << "    " << Element("sb:error", *ending_.error) << "\n";
  out << "  </sb:run>\n";
}

bool JobReport::write(std::ostream& out) const {
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<dfxml xmlns=\"" << kDfxmlNamespace << "\"\n"
      << "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
      << "       xmlns:sb=\"" << kNamespace << "\"\n"
      << "       version=\"" << kDfxmlVersion << "\">\n"
      << "  <metadata>\n    <dc:type>Carve Report</dc:type>\n  </metadata>\n";
  writeCreator(out);
  for (const Source& source : sources_)
    out << "  <source>\n    " << Element("image_filename", source.path) << "\n    <image_size>"
        << source.size << "</image_size>\n  </source>\n";
  if (std::FILE* objects = objects_.get()) {
    std::fflush(objects);
    std::rewind(objects);
    std::array<char, 65536> block;
    size_t got;
    while ((got = std::fread(block.data(), 1, block.size(), objects)) > 0)
      out.write(block.data(), got);
    std::fseek(objects, 0, SEEK_END);
  }
  writeRun(out);
  out << "</dfxml>\n";
  out.flush();
  return out.good() && !objectsFailed_;
}

namespace {

// An output stream onto a file descriptor.
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : fd_(fd) {
    setp(block_.data(), block_.data() + block_.size());
  }
  bool ok() const { return ok_; }

 protected:
  int_type overflow(int_type c) override {
    if (!flush()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return flush() ? 0 : -1; }

 private:
  bool flush() {
    const auto n = static_cast<uint64_t>(pptr() - pbase());
    ok_ = ok_ && WriteAll(fd_, reinterpret_cast<const uint8_t*>(pbase()), n);
    setp(block_.data(), block_.data() + block_.size());
    return ok_;
  }
  int fd_;
  bool ok_ = true;
  std::array<char, 65536> block_;
};

}  // namespace

std::optional<std::string> JobReport::writeInto(const std::string& folder) const {
  return WriteFileAtomically(folder, folder + "/" + kFileName, [this](int fd) {
    DescriptorBuffer buffer(fd);
    std::ostream out(&buffer);
    return write(out) && buffer.ok();
  });
}

}  // namespace strellbox
