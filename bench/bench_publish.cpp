// Per-frame cost of the output path (rectify one camera frame, publish it as a BMP) against its
// floor: a bare cv::warpPerspective with the same matrix and size plus one bare fwrite of a
// buffer the size of the BMP file into an existing file, measured in the same run. BM_RatioToFloor
// reports pipeline / floor as its "ratio" counter (target: at most 1.3).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "app/shared_status_block.h"
#include "workstation/rectification.h"

namespace {

constexpr int kMediaWidthMm = 1000;
constexpr int kMediaHeightMm = 700;

// A skewed quadrilateral inside the frame, as an operator would mark it.
std::vector<cv::Point2f> MarkedCorners(int w, int h) {
  const float fw = static_cast<float>(w), fh = static_cast<float>(h);
  return {{0.12f * fw, 0.10f * fh},
          {0.90f * fw, 0.14f * fh},
          {0.86f * fw, 0.92f * fh},
          {0.08f * fw, 0.88f * fh}};
}

cv::Mat MakeFrame(int w, int h) {
  cv::Mat frame(h, w, CV_8UC3);
  cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(256));
  return frame;
}

// A folder and a status block as the host would create them, plus the tool's attachment.
class CBenchHost {
 public:
  CBenchHost() {
    const std::string tag = "veldrin-bench-" + std::to_string(getpid());
    m_folder = std::filesystem::temp_directory_path() / tag;
    std::filesystem::create_directories(m_folder);
    m_host = std::make_unique<CSharedStatusBlock>(tag, 1);
    m_host->SetFolder(m_folder.string() + "/");
    m_tool = std::make_unique<CSharedStatusBlock>(tag, 0);
  }
  ~CBenchHost() {
    m_tool.reset();
    m_host.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
  }
  bool Ready() const { return m_host->IsOpen() && m_tool->IsOpen(); }
  CSharedStatusBlock& Host() { return *m_host; }
  CSharedStatusBlock& Tool() { return *m_tool; }
  std::string FloorPath() const { return (m_folder / "floor.bmp").string(); }

 private:
  std::filesystem::path m_folder;
  std::unique_ptr<CSharedStatusBlock> m_host;
  std::unique_ptr<CSharedStatusBlock> m_tool;
};

CBenchHost& Host() {
  static CBenchHost host;
  return host;
}

// The output path as the capture thread runs it, with the host taking each picture.
class CPipeline {
 public:
  CPipeline(CBenchHost& host, const cv::Mat& frame) : m_host(host), m_frame(frame) {
    m_rect.ApplyCameraSettings(frame.cols, frame.rows);
    m_rect.UpdateMediaSize(kMediaWidthMm, kMediaHeightMm);
    m_rect.SetCorners(MarkedCorners(frame.cols, frame.rows));
  }
  bool RunOnce() {
    m_host.Host().AcknowledgeImage();
    cv::Mat out;
    return m_rect.Rectify(m_frame, out) &&
           m_host.Tool().PublishImage(out.cols, out.rows, out.data) == 1;
  }
  cv::Size OutputSize() const { return m_rect.GetOutputSize(); }

 private:
  CBenchHost& m_host;
  const cv::Mat& m_frame;
  CRectification m_rect;
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

std::string SizeLabel(cv::Size size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height) + " out";
}

void BM_Floor(benchmark::State& state) {
  const cv::Mat frame =
      MakeFrame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  CFloor floor(Host().FloorPath(), frame);
  for (auto _ : state) {
    if (!floor.RunOnce()) {
      state.SkipWithError("floor write failed");
      break;
    }
  }
  state.SetLabel(SizeLabel(floor.OutputSize()));
}

void BM_RectifyPublish(benchmark::State& state) {
  CBenchHost& host = Host();
  if (!host.Ready()) {
    state.SkipWithError("status block could not be created");
    return;
  }
  const cv::Mat frame =
      MakeFrame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  CPipeline pipeline(host, frame);
  for (auto _ : state) {
    if (!pipeline.RunOnce()) {
      state.SkipWithError("Rectify or PublishImage failed");
      break;
    }
  }
  state.SetLabel(SizeLabel(pipeline.OutputSize()));
}

// Floor and pipeline alternate within each iteration, so load from elsewhere on the machine
// falls on both alike; the ratio counter is the figure to compare with the 1.3 target.
void BM_RatioToFloor(benchmark::State& state) {
  CBenchHost& host = Host();
  if (!host.Ready()) {
    state.SkipWithError("status block could not be created");
    return;
  }
  const cv::Mat frame =
      MakeFrame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  CPipeline pipeline(host, frame);
  CFloor floor(host.FloorPath(), frame);
  using Clock = std::chrono::steady_clock;
  Clock::duration pipelineTime{}, floorTime{};
  bool pipelineFirst = false;
  for (auto _ : state) {
    pipelineFirst = !pipelineFirst;
    for (int pass = 0; pass < 2; ++pass) {
      const bool runPipeline = (pass == 0) == pipelineFirst;
      const Clock::time_point start = Clock::now();
      const bool ok = runPipeline ? pipeline.RunOnce() : floor.RunOnce();
      (runPipeline ? pipelineTime : floorTime) += Clock::now() - start;
      if (!ok) {
        state.SkipWithError("a pass failed");
        return;
      }
    }
  }
  const double n = static_cast<double>(state.iterations());
  const double pipelineUs = std::chrono::duration<double, std::micro>(pipelineTime).count() / n;
  const double floorUs = std::chrono::duration<double, std::micro>(floorTime).count() / n;
  state.counters["pipeline_us"] = pipelineUs;
  state.counters["floor_us"] = floorUs;
  state.counters["ratio"] = floorUs > 0 ? pipelineUs / floorUs : 0.0;
  state.SetLabel(SizeLabel(pipeline.OutputSize()));
}

BENCHMARK(BM_Floor)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RectifyPublish)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RatioToFloor)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
