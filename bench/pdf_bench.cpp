// Reading a PDF document (cross-reference sections and every object) and
// extracting its images as one-page PDFs, in process, on the file named by
// STRELLBOX_BENCH_PDF (bench/pdf_vs_tools.sh makes the inputs and sets it).
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "engine/buffer.h"
#include "engine/log.h"
#include "engine/strell_progress.h"
#include "pdf/pdf_document.h"

using namespace strellbox;

namespace {

class Discard : public StrellerProgress {
 public:
  bool stopStreller() const override { return false; }
  void subProgress(double) override {}
  void saveStrell(const Buffer&, uint64_t, uint64_t length, std::string_view, std::string_view,
                  int32_t, strellbox::ItemEnd) override {
    bytes += length;
    ++items;
  }
  uint64_t bytes = 0;
  int items = 0;
};

Buffer Input(benchmark::State& state) {
  const char* path = std::getenv("STRELLBOX_BENCH_PDF");
  Buffer data = path != nullptr ? Buffer::readFile(path) : Buffer();
  if (data.empty()) state.SkipWithError("set STRELLBOX_BENCH_PDF to a PDF file");
  SetLogSink([](std::string_view) {});
  return data;
}

void BM_ReadDocument(benchmark::State& state) {
  const Buffer data = Input(state);
  for (auto _ : state) {
    if (data.empty()) break;
    PDFDocument document;
    document.setData(data);
    state.counters["objects"] = static_cast<double>(document.catalog().size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_ReadDocument)->Unit(benchmark::kMillisecond);

void BM_ExtractImages(benchmark::State& state) {
  const Buffer data = Input(state);
  for (auto _ : state) {
    if (data.empty()) break;
    Discard sink;
    StrellPDFDocument(data, &sink, "bench.pdf", true);
    state.counters["images"] = sink.items;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_ExtractImages)->Unit(benchmark::kMillisecond);

}  // namespace
