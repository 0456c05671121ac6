// Pack and Unpack of a typical record page: a data page filled with records of
// a 13-byte prefix and three fields (two integers and a text of English number
// words, as the benchmark program writes them).
#include <benchmark/benchmark.h>

#include <vector>

#include "RecordPage.h"
#include "base/PageCodec.h"

namespace {

using qdf_bench::kPage;
using qdf_bench::RecordPage;

// Argument: how full the page's item area is, in percent (a page after a
// split is about half full; the rest of its area is zero).
void BM_PackRecordPage(benchmark::State& state) {
  std::vector<uint8_t> page = RecordPage(0, static_cast<int>(state.range(0)));
  std::vector<uint8_t> packed(kPage);
  int n = 0;
  for (auto _ : state) {
    n = qdf::Pack(packed.data(), page.data(), kPage);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPage);
  state.counters["packed_bytes"] = n;
}
BENCHMARK(BM_PackRecordPage)->Arg(100)->Arg(50);

void BM_UnpackRecordPage(benchmark::State& state) {
  std::vector<uint8_t> page = RecordPage();
  std::vector<uint8_t> packed(kPage);
  int n = qdf::Pack(packed.data(), page.data(), kPage);
  std::vector<uint8_t> out(kPage);
  for (auto _ : state) {
    int r = qdf::Unpack(packed.data(), static_cast<size_t>(n), out.data(), out.size());
    benchmark::DoNotOptimize(r);
    benchmark::ClobberMemory();
  }
  if (out != page) state.SkipWithError("round trip differs");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPage);
  state.counters["packed_bytes"] = n;
}
BENCHMARK(BM_UnpackRecordPage);

}  // namespace
