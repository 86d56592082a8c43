// Helpers shared by the PDF tests: captured log lines, a recording
// StrellerProgress, and object graphs laid out as in a PDF file body.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "engine/log.h"
#include "engine/strell_progress.h"
#include "pdf/pdf_object.h"
#include "pdf/pdf_scanner.h"

namespace strellbox::test {

struct CommandRun {
  int status;
  std::string output;  // stdout and stderr
};

inline CommandRun RunCommand(const std::string& command) {
  CommandRun run{-1, {}};
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) run.output.append(chunk, n);
  run.status = ::pclose(pipe);
  return run;
}

inline std::string Quote(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// Captures every log line for the life of the object.
class LogCapture {
 public:
  LogCapture() {
    previous_ = SetLogSink([this](std::string_view line) { lines_.emplace_back(line); });
  }
  ~LogCapture() { SetLogSink(previous_); }
  const std::vector<std::string>& lines() const { return lines_; }
  int count(const std::string& line) const {
    int n = 0;
    for (const auto& l : lines_) n += (l == line);
    return n;
  }

 private:
  LogSink previous_;
  std::vector<std::string> lines_;
};

// Records what the PDF reader asks of the controller.
class RecordingProgress : public StrellerProgress {
 public:
  bool stopStreller() const override { return stop; }
  void subProgress(double fraction) override { progress.push_back(fraction); }
  void saveStrell(const Buffer& data, uint64_t from, uint64_t length, std::string_view type,
                  std::string_view original, int32_t foundNo, ItemEnd) override {
    saved.push_back(
        {std::string(data.view(from, length)), std::string(type), std::string(original), foundNo});
  }
  struct Saved {
    std::string bytes, type, original;
    int32_t foundNo;
  };
  bool stop = false;
  std::vector<double> progress;
  std::vector<Saved> saved;
};

// Objects 1..n with the given bodies, written "N 0 obj\n<body>\nendobj\n"
// one after another, and a catalog listing each at its offset.
struct ObjectFile {
  Buffer data;
  PDFCatalog catalog;
};

inline ObjectFile MakeObjectFile(const std::vector<std::string>& bodies) {
  std::string text = "%PDF-1.4\n";
  ObjectFile file;
  for (size_t i = 0; i < bodies.size(); ++i) {
    const auto number = static_cast<uint32_t>(i + 1);
    file.catalog[number] =
        std::make_shared<PDFIndirectObject>(number, 0, static_cast<uint32_t>(text.size()));
    text += std::to_string(number) + " 0 obj\n" + bodies[i] + "\nendobj\n";
  }
  file.data = Buffer::fromString(text);
  return file;
}

// A PDF file laid out by hand: header, objects, one cross-reference section
// per update, each with its trailer. Offsets are worked out as it is built.
class FileBuilder {
 public:
  explicit FileBuilder(std::string header = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n") : text_(header) {}
  FileBuilder& object(uint32_t number, const std::string& body) {
    offsets_.emplace_back(number, text_.size());
    text_ += std::to_string(number) + " 0 obj\n" + body + "\nendobj\n";
    return *this;
  }
  // Writes a section for the objects added since the last one (one
  // subsection per run of consecutive numbers) and returns its offset.
  uint64_t section(const std::string& trailerEntries) {
    const uint64_t xref = text_.size();
    text_ += "xref\n";
    size_t i = 0;
    while (i < offsets_.size()) {
      size_t j = i + 1;
      while (j < offsets_.size() && offsets_[j].first == offsets_[j - 1].first + 1) ++j;
      text_ += std::to_string(offsets_[i].first) + " " + std::to_string(j - i) + "\n";
      for (size_t k = i; k < j; ++k) text_ += Entry(offsets_[k].second);
      i = j;
    }
    offsets_.clear();
    text_ +=
        "trailer\n<< " + trailerEntries + " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return xref;
  }
  static std::string Entry(uint64_t offset) {
    std::string digits = std::to_string(offset);
    return std::string(10 - digits.size(), '0') + digits + " 00000 n \n";
  }
  std::string& text() { return text_; }

 private:
  std::string text_;
  std::vector<std::pair<uint32_t, uint64_t>> offsets_;
};

inline void ParseAll(ObjectFile& file) {
  PDFScanner scanner(file.data, 0);
  scanner.parseCatalog(&file.catalog);
}

}  // namespace strellbox::test
