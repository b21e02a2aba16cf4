#pragma once

// What the output-path benchmarks share: the frame and marked corners they rectify, a host with
// its folder and status block, the floor (bare warp plus bare write) and the alternating run
// that compares a pipeline with that floor.

#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "bench/bench_timing.h"
#include "hostlink/shared_status_block.h"
#include "testing/scratch_dir.h"
#include "workstation/lens.h"
#include "workstation/rectification.h"

namespace veldrin_bench {

constexpr int kMediaWidthMm = 1000;
constexpr int kMediaHeightMm = 700;

// A skewed quadrilateral inside the frame, as an operator would mark it.
inline std::vector<cv::Point2f> MarkedCorners(int w, int h) {
  const float fw = static_cast<float>(w), fh = static_cast<float>(h);
  return {{0.12f * fw, 0.10f * fh},
          {0.90f * fw, 0.14f * fh},
          {0.86f * fw, 0.92f * fh},
          {0.08f * fw, 0.88f * fh}};
}

// A wide-angle webcam's lens for frames of `size`: 60 degrees across, strong barrel distortion.
inline SLensModel WideAngleLens(cv::Size size) {
  SLensModel lens;
  lens.size = size;
  const double f = size.width / 2.0 / std::tan(30.0 * CV_PI / 180.0);
  lens.matrix = cv::Matx33d(f, 0, size.width / 2.0, 0, f, size.height / 2.0, 0, 0, 1);
  lens.distortion = cv::Vec<double, 5>(-0.2, 0.05, 0.001, -0.001, 0.0);
  return lens;
}

inline cv::Mat MakeFrame(int w, int h) {
  cv::Mat frame(h, w, CV_8UC3);
  cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(256));
  return frame;
}

// The frame size is the benchmark's two arguments.
inline cv::Mat FrameFor(const benchmark::State& state) {
  return MakeFrame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
}

inline std::string SizeLabel(cv::Size size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height) + " out";
}

// A folder and a status block as the host creates them, both removed at the end.
class CBenchHost {
 public:
  explicit CBenchHost(const std::string& prefix) {
    m_name = prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(++s_serial);
    m_host = std::make_unique<CSharedStatusBlock>(m_name, 1);
    if (!m_host->SetFolder(m_folder.string() + "/")) std::abort();
  }
  ~CBenchHost() { m_host.reset(); }
  CBenchHost(const CBenchHost&) = delete;
  CBenchHost& operator=(const CBenchHost&) = delete;

  // The tool's side of the block; release it before the host goes.
  std::unique_ptr<CSharedStatusBlock> AttachTool() const {
    return std::make_unique<CSharedStatusBlock>(m_name, 0);
  }
  CSharedStatusBlock& Block() { return *m_host; }
  std::string FloorPath() const { return (m_folder / "floor.bmp").string(); }

 private:
  static inline int s_serial = 0;
  std::string m_name;
  veldrin_test::CScratchDir m_scratch{"bench"};
  std::filesystem::path m_folder = m_scratch.Path();
  std::unique_ptr<CSharedStatusBlock> m_host;
};

// The same warp (matrix, size, border) and a single write of a buffer the size of the BMP file.
class CFloor {
 public:
  CFloor(const std::string& path, const cv::Mat& frame) : m_path(path), m_frame(frame) {
    CRectification sizing;
    sizing.ApplyCameraSettings(frame.cols, frame.rows);
    sizing.UpdateMediaSize(kMediaWidthMm, kMediaHeightMm);
    m_size = sizing.GetOutputSize();
    cv::getPerspectiveTransform(MarkedCorners(frame.cols, frame.rows), sizing.GetDstCorners())
        .convertTo(m_transform, CV_32F);
    const std::size_t stride = (static_cast<std::size_t>(m_size.width) * 3 + 3) & ~std::size_t{3};
    m_bmp.assign(54 + stride * static_cast<std::size_t>(m_size.height), 0x80);
  }
  cv::Size OutputSize() const { return m_size; }
  bool RunOnce() {
    cv::Mat out;
    cv::warpPerspective(m_frame, out, m_transform, m_size, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                        cv::Scalar::all(0));
    benchmark::DoNotOptimize(out.data);
    // Into the existing file without truncating it: the bytes reach the page cache and nothing
    // else, which is the least any way of publishing the picture can cost.
    std::FILE* file = std::fopen(m_path.c_str(), "r+b");
    if (file == nullptr) file = std::fopen(m_path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(m_bmp.data(), 1, m_bmp.size(), file) == m_bmp.size();
    return std::fclose(file) == 0 && ok;
  }

 private:
  std::string m_path;
  const cv::Mat& m_frame;
  cv::Size m_size;
  cv::Mat m_transform;
  std::vector<unsigned char> m_bmp;
};

// The frame sizes every output benchmark runs at, timed in microseconds.
inline void AtFrameSizes(benchmark::internal::Benchmark* bench) {
  bench->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
}

// One RunOnce per iteration; the first failure ends the benchmark with `error`.
template <typename TRunner>
void RunEachIteration(benchmark::State& state, TRunner& runner, const char* error) {
  for (auto _ : state) {
    if (!runner.RunOnce()) {
      state.SkipWithError(error);
      break;
    }
  }
}

// CPU time of every thread of the process, the warp's workers included.
inline std::chrono::nanoseconds ProcessCpuTime() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// Floor and pipeline alternate within each iteration, so load from elsewhere on the machine falls
// on both alike. Sets the counters pipeline_us, floor_us and ratio (pipeline / floor, the figure
// to compare with the target), plus cpu_ratio from process CPU time when `withCpuRatio`; that one
// is for a warp on OpenCV's worker threads, whose wall time swings with their scheduling on a
// loaded machine. `afterIteration` runs between iterations, outside the timed spans.
template <typename TPipeline, typename TAfterIteration>
void RunRatioToFloor(benchmark::State& state, TPipeline& pipeline, CFloor& floor, bool withCpuRatio,
                     TAfterIteration afterIteration) {
  Clock::duration pipelineTime{}, floorTime{};
  std::chrono::nanoseconds pipelineCpu{}, floorCpu{};
  bool pipelineFirst = false;
  for (auto _ : state) {
    pipelineFirst = !pipelineFirst;
    for (int pass = 0; pass < 2; ++pass) {
      const bool runPipeline = (pass == 0) == pipelineFirst;
      const std::chrono::nanoseconds cpuStart =
          withCpuRatio ? ProcessCpuTime() : std::chrono::nanoseconds{};
      const Clock::time_point start = Clock::now();
      const bool ok = runPipeline ? pipeline.RunOnce() : floor.RunOnce();
      (runPipeline ? pipelineTime : floorTime) += Clock::now() - start;
      if (withCpuRatio) (runPipeline ? pipelineCpu : floorCpu) += ProcessCpuTime() - cpuStart;
      if (!ok) {
        state.SkipWithError("a pass failed");
        return;
      }
    }
    afterIteration();
  }
  SetRatioCounters(state, pipelineTime, floorTime, "pipeline");
  if (withCpuRatio) {
    state.counters["cpu_ratio"] =
        floorCpu.count() > 0 ? static_cast<double>(pipelineCpu.count()) / floorCpu.count() : 0.0;
  }
  state.SetLabel(SizeLabel(pipeline.OutputSize()));
}

}  // namespace veldrin_bench
