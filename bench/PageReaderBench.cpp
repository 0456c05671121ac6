// The page cache and the database file: a cached GetPage, and a commit of
// 100 changed record pages (compressed, copy-on-write, header rewritten).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "RecordPage.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "platform/Directories.h"
#include "reader/PageReader.h"

namespace {

void BM_GetPageCached(benchmark::State& state) {
  qdf::TQdfPageReader reader;
  for (uint32_t p = 1; p <= 100; ++p) reader.GetPage(p, qdf::kGpUpdate);
  uint32_t p = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(reader.GetPage(p, qdf::kGpRead));
    p = p == 100 ? 1 : p + 1;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetPageCached);

// Arg 0: commits without sync; 1: with fdatasync before and after the header.
void BM_Commit100RecordPages(benchmark::State& state) {
  const std::string path = qdf::TempDir() + "qdf-bench-" + std::to_string(::getpid()) + ".qdf";
  qdf::TFileSystem::Native().Delete(path);
  auto* filer = new qdf::TQdfLocalFiler(path, false, "BENCH");
  filer->SetSyncCommits(state.range(0) != 0);
  uint32_t pages[100];
  int64_t hwm_start = 0;
  {
    qdf::TQdfIndirectPageReader reader(filer);
    reader.Open(false);
    reader.StartTransaction();
    for (uint32_t& p : pages) qdf_bench::FillRecordPage(reader.AllocatePage(p), p);
    reader.Flush(qdf::kFlushWriteUnpin);
    reader.Commit(true);
    hwm_start = filer->HighWaterMark();

    uint32_t round = 1;
    for (auto _ : state) {
      reader.Open(false);
      reader.StartTransaction();
      state.PauseTiming();
      for (uint32_t p : pages) qdf_bench::FillRecordPage(reader.EditPage(p), p + round * 1000);
      state.ResumeTiming();
      reader.Flush(qdf::kFlushWriteUnpin);
      reader.Commit(true);
      ++round;
    }
    reader.Open(false);
    reader.StartTransaction();
    reader.Commit(false);
  }
  const int64_t written = filer->HighWaterMark() - hwm_start;
  state.SetItemsProcessed(state.iterations() * 100);
  state.counters["bytes_per_page"] =
      static_cast<double>(written) / static_cast<double>(state.iterations() * 100);
  filer->Release();
  qdf::TFileSystem::Native().Delete(path);
}
BENCHMARK(BM_Commit100RecordPages)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
