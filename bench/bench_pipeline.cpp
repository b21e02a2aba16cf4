// Per-frame cost of the whole colour pipeline as a capture thread runs it for the main camera:
// CColorFrameConsumer::OnVideoFrame from the frame divisor to the published BMP, with the input
// and output pictures rendered into two real image windows and the host taking every picture.
// Its floor, measured in the same run, is a bare cv::warpPerspective with the same matrix and
// size plus one bare fwrite of a buffer the size of the BMP file. BM_PipelineRatioToFloor reports
// pipeline / floor as its "ratio" counter (target: at most 2). The warp runs on OpenCV's worker
// threads, so on a loaded machine wall time swings with their scheduling; "cpu_ratio" compares
// the process CPU time spent on each side, which the load does not stretch.
//
// QR detection is switched off: it runs on a thread of its own and has its own benchmark
// (bench_qr). Repaints are the UI thread's work; their queued events are dispatched outside the
// timed spans.

#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "app/shared_status_block.h"
#include "display/image_window.h"
#include "video/video_engine.h"
#include "workstation/camera_list.h"
#include "workstation/color_frame_consumer.h"
#include "workstation/rectification.h"

namespace {

constexpr int kMediaWidthMm = 1000;
constexpr int kMediaHeightMm = 700;
constexpr int kMainCamera = 0;

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

// One camera, so the list has a record for the main camera.
class CBenchEngine : public CKivVideoEngine {
 public:
  int EnumerateDevices() override {
    m_devices[0] = VIDEO_DEVICE_DATA{"Bench Cam", {{640, 480}, {1920, 1080}}};
    m_nDeviceCount = 1;
    return 1;
  }
  int IsDeviceAvailable(int) override { return 1; }
};

// The dialog's side of the pipeline: the main tab on show, pictures into the two windows.
class CWindowView : public CColorFrameView {
 public:
  CWindowView() {
    m_input.resize(640, 480);
    m_output.resize(640, 480);
    m_input.show();
    m_output.show();
  }
  CImageWindow& Input() { return m_input; }
  int CurrentTab() const override { return 0; }
  void ShowInWindow(CImageWindow* window, const cv::Mat& frame) override {
    window->SetImage(frame);
  }
  void ShowInput(const cv::Mat& frame) override { m_input.SetImage(frame); }
  void ShowOutput(const cv::Mat& picture) override { m_output.SetImage(picture); }
  void SetOutputImageSize(int width, int height) override { m_output.SetImageSize(width, height); }
  void MediaSizeChanged(int, int) override {}
  void HostGone() override {}

 private:
  CImageWindow m_input;
  CImageWindow m_output;
};

// A folder and a status block as the host creates them; the tool's attachment goes to the
// consumer.
class CBenchHost {
 public:
  CBenchHost() {
    m_name =
        "veldrin-bench-pipeline-" + std::to_string(getpid()) + "-" + std::to_string(++s_serial);
    m_folder = std::filesystem::temp_directory_path() / m_name;
    std::filesystem::create_directories(m_folder);
    m_host = std::make_unique<CSharedStatusBlock>(m_name, 1);
    m_host->SetFolder(m_folder.string() + "/");
  }
  ~CBenchHost() {
    m_host.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
  }
  std::unique_ptr<CSharedStatusBlock> AttachTool() {
    auto tool = std::make_unique<CSharedStatusBlock>(m_name, 0);
    m_host->SetMediaSize(kMediaHeightMm, kMediaWidthMm);  // after attaching, which resets it
    return tool;
  }
  CSharedStatusBlock& Block() { return *m_host; }
  std::string FloorPath() const { return (m_folder / "floor.bmp").string(); }

 private:
  static inline int s_serial = 0;
  std::string m_name;
  std::filesystem::path m_folder;
  std::unique_ptr<CSharedStatusBlock> m_host;
};

// The consumer with everything it reaches, set up as the dialog sets it up.
class CPipeline {
 public:
  CPipeline(CBenchHost& host, const cv::Mat& frame)
      : m_host(host), m_frame(frame), m_cameras(m_engine), m_consumer(m_rect, m_view, nullptr) {
    m_rect.ApplyCameraSettings(frame.cols, frame.rows);
    m_rect.SetCorners(MarkedCorners(frame.cols, frame.rows));
    m_cameras.SetCameraAt(kMainCamera, 0, CAM_STATE_MAIN, &m_engine, &m_view.Input(), 0);
    m_view.Input().SetImageSize(frame.cols, frame.rows);
    m_view.Input().SetPoints(MarkedCorners(frame.cols, frame.rows));
    m_consumer.SetCameraList(&m_cameras);
    m_consumer.SetQRDetectionEnabled(false);
    m_consumer.SetFrameDivisor(1);
    m_consumer.SetStatusBlock(host.AttachTool());
  }
  ~CPipeline() { m_consumer.ReleaseStatusBlock(); }

  // The host takes the previous picture, then one frame goes through; true when it was published.
  bool RunOnce() {
    m_host.Block().AcknowledgeImage();
    m_frameCopy = m_frame;  // the engine hands out a buffer it owns; the header is enough here
    m_consumer.OnVideoFrame(kMainCamera, &m_frameCopy);
    return m_host.Block().IsImageReady() == 1;
  }
  cv::Size OutputSize() const { return m_rect.GetOutputSize(); }

 private:
  CBenchHost& m_host;
  const cv::Mat& m_frame;
  cv::Mat m_frameCopy;
  CBenchEngine m_engine;
  CCameraList m_cameras;
  CRectification m_rect;
  CWindowView m_view;
  CColorFrameConsumer m_consumer;
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

cv::Mat FrameFor(const benchmark::State& state) {
  return MakeFrame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
}

void BM_Floor(benchmark::State& state) {
  CBenchHost host;
  const cv::Mat frame = FrameFor(state);
  CFloor floor(host.FloorPath(), frame);
  for (auto _ : state) {
    if (!floor.RunOnce()) {
      state.SkipWithError("floor write failed");
      break;
    }
  }
}

void BM_Pipeline(benchmark::State& state) {
  CBenchHost host;
  const cv::Mat frame = FrameFor(state);
  CPipeline pipeline(host, frame);
  for (auto _ : state) {
    if (!pipeline.RunOnce()) {
      state.SkipWithError("the frame was not published");
      break;
    }
    state.PauseTiming();
    QCoreApplication::processEvents();
    state.ResumeTiming();
  }
  state.SetLabel(SizeLabel(pipeline.OutputSize()));
}

// CPU time of every thread of the process, the warp's workers included.
std::chrono::nanoseconds ProcessCpuTime() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// Floor and pipeline alternate within each iteration, so load from elsewhere on the machine
// falls on both alike; the ratio counter is the figure to compare with the target of 2.
void BM_PipelineRatioToFloor(benchmark::State& state) {
  CBenchHost host;
  const cv::Mat frame = FrameFor(state);
  CPipeline pipeline(host, frame);
  CFloor floor(host.FloorPath(), frame);
  using Clock = std::chrono::steady_clock;
  Clock::duration pipelineTime{}, floorTime{};
  std::chrono::nanoseconds pipelineCpu{}, floorCpu{};
  bool pipelineFirst = false;
  for (auto _ : state) {
    pipelineFirst = !pipelineFirst;
    for (int pass = 0; pass < 2; ++pass) {
      const bool runPipeline = (pass == 0) == pipelineFirst;
      const std::chrono::nanoseconds cpuStart = ProcessCpuTime();
      const Clock::time_point start = Clock::now();
      const bool ok = runPipeline ? pipeline.RunOnce() : floor.RunOnce();
      (runPipeline ? pipelineTime : floorTime) += Clock::now() - start;
      (runPipeline ? pipelineCpu : floorCpu) += ProcessCpuTime() - cpuStart;
      if (!ok) {
        state.SkipWithError("a pass failed");
        return;
      }
    }
    QCoreApplication::processEvents();
  }
  const double n = static_cast<double>(state.iterations());
  const double pipelineUs = std::chrono::duration<double, std::micro>(pipelineTime).count() / n;
  const double floorUs = std::chrono::duration<double, std::micro>(floorTime).count() / n;
  state.counters["pipeline_us"] = pipelineUs;
  state.counters["floor_us"] = floorUs;
  state.counters["ratio"] = floorUs > 0 ? pipelineUs / floorUs : 0.0;
  state.counters["cpu_ratio"] =
      floorCpu.count() > 0 ? static_cast<double>(pipelineCpu.count()) / floorCpu.count() : 0.0;
  state.SetLabel(SizeLabel(pipeline.OutputSize()));
}

BENCHMARK(BM_Floor)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Pipeline)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PipelineRatioToFloor)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  // The windows need an application; no display is needed to render into them.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
