// Entry point of the micro-benchmarks; every bench/*.cpp registers its cases.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
