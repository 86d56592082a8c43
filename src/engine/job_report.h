// The report of a job, in Digital Forensics XML (DFXML): who made it and
// how it ran, every file read, and every item the job reported (written,
// repeated or, in a listing job, filtered out) with its place in its
// container, its hashes, the decodings on the way and how its end was
// known; then the figures of the run. It is what an examiner files beside
// the carved files.
//
// The DFXML elements (metadata, creator, source, fileobject, byte_runs,
// hashdigest) keep their published names and order; what DFXML has no
// element for is in the namespace urn:strellbox:dfxml, prefix "sb".
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "engine/found_item.h"

namespace strellbox {

class ScanPreferences;

// What a front end says of itself in the reports of its jobs.
struct ReportCreator {
  std::string program = "strellbox";
  // How it was started (the CLI's arguments); empty for the window, whose
  // settings the options of the run give.
  std::string commandLine;
  // Libraries of the front end beyond the core's: name, version.
  std::vector<std::pair<std::string, std::string>> libraries;
};

// How a job ended, for the figures the report ends with.
struct JobEnding {
  std::string outputFolder;  // empty when none was made
  int32_t found = 0;
  int32_t filesSkipped = 0;
  bool stopped = false;
  std::optional<std::string> error;
};

class JobReport {
 public:
  // The name of the report in the output folder.
  static constexpr const char* kFileName = "report.xml";
  static constexpr const char* kNamespace = "urn:strellbox:dfxml";

  JobReport();
  ~JobReport();
  JobReport(const JobReport&) = delete;
  JobReport& operator=(const JobReport&) = delete;

  // Set before a job starts.
  void setCreator(ReportCreator creator) { creator_ = std::move(creator); }

  // The job's thread, in the order the job does these. A job that writes
  // no report (the window's preference) keeps nothing.
  void beginJob(const ScanPreferences& preferences, int workers);
  void sourceRead(const std::string& path, uint64_t size);
  // An item written at `path` (empty in a listing job, which gives it
  // `fileName` only).
  void itemWritten(const std::string& path, const std::string& fileName, const FoundItem& item);
  // A repeat of the item written at `copy` (a listing job: listed as `copy`).
  void itemRepeated(const FoundItem& item, const std::string& copy);
  // An item a filter left out; a listing job lists it under `fileName`.
  void itemFiltered(const FoundItem& item);
  void itemListedFiltered(const FoundItem& item, const std::string& fileName);
  void endJob(const JobEnding& ending);

  // The last job's report (any thread once the job has ended); false when
  // the stream failed.
  bool write(std::ostream& out) const;
  // Writes it into the folder as report.xml (or the next free numbered
  // name); the path written, or nothing.
  std::optional<std::string> writeInto(const std::string& folder) const;
  bool collecting() const { return objects_ != nullptr; }

 private:
  struct Counts {
    int32_t items = 0, repeats = 0, filtered = 0;
  };
  struct Source {
    std::string path;
    uint64_t size;
  };
  // One fileobject, appended to the objects file.
  void appendObject(const FoundItem& item, const std::string& fileName,
                    const std::string& duplicateOf);
  void writeCreator(std::ostream& out) const;
  void writeRun(std::ostream& out) const;

  ReportCreator creator_;
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, Closer> objects_;
  bool objectsFailed_ = false;
  std::vector<Source> sources_;
  std::map<std::string, Counts> countsByType_;
  Counts counts_;
  uint64_t bytesScanned_ = 0;
  // The options of the run, name and value, in the order they are shown.
  std::vector<std::pair<std::string, std::string>> options_;
  int workers_ = 1;
  std::chrono::system_clock::time_point startTime_{}, endTime_{};
  std::chrono::steady_clock::time_point started_{}, ended_{};
  JobEnding ending_;
};

// Text for XML, escaped, with U+FFFD for what XML cannot carry (bytes that
// are not UTF-8, control characters); `exact` is set to whether nothing had
// to be replaced.
std::string XmlText(std::string_view text, bool* exact = nullptr);

}  // namespace strellbox
