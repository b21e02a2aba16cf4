#pragma once

// main() for benchmarks that drive windows: the benchmarks run inside an application.

#include <QApplication>

#include <benchmark/benchmark.h>

namespace veldrin_bench {

inline int RunInApplication(int argc, char** argv) {
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace veldrin_bench
