// Expression language: compile time of a typical filter and evaluation rate
// of a compiled filter over integer variables.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "script/CustomScript.h"
#include "script/NodesLogic.h"

namespace {

constexpr const char* kFilter = "b >= 1000 and b < 1100";

struct FilterScript {
  FilterScript() {
    qdf::TScriptWords* vars = script.AddSection("BENCH");
    script.AddVariable(vars, "b", qdf::kTypeInteger, &b);
  }
  qdf::TCustomScript script;
  int32_t b = 0;
};

void BM_CompileFilter(benchmark::State& state) {
  FilterScript f;
  for (auto _ : state) {
    f.script.CompileText(kFilter);
    benchmark::DoNotOptimize(f.script.TakeResult());
  }
}
BENCHMARK(BM_CompileFilter);

void BM_EvaluateFilter(benchmark::State& state) {
  FilterScript f;
  f.script.CompileText(kFilter);
  std::unique_ptr<qdf::TvNode> node = f.script.TakeResult();
  auto* filter = static_cast<qdf::TvBool*>(node.get());
  int64_t hits = 0;
  int32_t b = 0;
  for (auto _ : state) {
    f.b = b;
    filter->Evaluate();
    hits += filter->Bool();
    b = (b + 7) & 2047;
  }
  benchmark::DoNotOptimize(hits);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateFilter);

}  // namespace
