#pragma once

// The counters every benchmark that runs beside its floor reports.

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

namespace veldrin_bench {

using Clock = std::chrono::steady_clock;

// Sets `<name>_us` and `floor_us` (microseconds per iteration) and their ratio.
inline void SetRatioCounters(benchmark::State& state, Clock::duration ours, Clock::duration floor,
                             const std::string& name = "ours") {
  const double n = static_cast<double>(state.iterations());
  const double oursUs = std::chrono::duration<double, std::micro>(ours).count() / n;
  const double floorUs = std::chrono::duration<double, std::micro>(floor).count() / n;
  state.counters[name + "_us"] = oursUs;
  state.counters["floor_us"] = floorUs;
  state.counters["ratio"] = floorUs > 0 ? oursUs / floorUs : 0.0;
}

}  // namespace veldrin_bench
