// Capture path costs against their floors, measured in the same run:
// - BM_CaptureLoop: one pass of the webcam engine's capture loop (read, deliver, pause of 0 ms)
//   on a virtual camera, as seen by a listener; floor BM_SourceRead, the bare read of the same
//   virtual source. The difference is the loop's own overhead per delivered frame.
// - BM_SceneFrame: one live frame of the built-in table scene (what a scene camera reads).
// The QR scan at 640x480 and 1920x1080 is measured by bench_qr.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "video/frame_source.h"
#include "video/opencv_video_engine.h"
#include "video/table_scene.h"
#include "video/virtual_camera.h"

namespace {

std::string g_stillPath;  // a 640x480 picture, the virtual camera's source

// The engine without its 60 ms pause, so a pass costs only what the loop does.
class CUnpacedEngine : public CKivOpenCVVideoEngine {
 public:
  CUnpacedEngine() { SetCapturePause(std::chrono::milliseconds(0)); }
};

class CCounter : public CKivVideoEngineListener {
 public:
  void OnVideoFrame(int, cv::Mat* frame) override {
    benchmark::DoNotOptimize(frame->data);
    m_frames.fetch_add(1, std::memory_order_release);
    m_frames.notify_one();
  }
  void OnDepthFrame(int, cv::Mat*, cv::Mat*, const SVertex*) override {}
  std::atomic<long> m_frames{0};
};

void BM_CaptureLoop(benchmark::State& state) {
  CCounter counter;
  CUnpacedEngine engine;
  engine.Setup(0, 640, 480, &counter);
  if (!engine.Start()) {
    state.SkipWithError("virtual camera does not open");
    return;
  }
  long seen = counter.m_frames.load(std::memory_order_acquire);
  for (auto _ : state) {
    counter.m_frames.wait(seen, std::memory_order_acquire);
    seen = counter.m_frames.load(std::memory_order_acquire);
  }
  engine.Stop();
}
BENCHMARK(BM_CaptureLoop)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_SourceRead(benchmark::State& state) {
  std::unique_ptr<CFrameSource> source = veldrin::OpenVirtualSource(g_stillPath);
  source->RequestSize(640, 480);
  cv::Mat frame;
  for (auto _ : state) {
    source->Read(frame);
    benchmark::DoNotOptimize(frame.data);
  }
}
BENCHMARK(BM_SourceRead)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_SceneFrame(benchmark::State& state) {
  CTableScene scene{STableSceneParams{}};
  const cv::Size size(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  cv::Mat frame;
  std::uint64_t n = 0;
  for (auto _ : state) {
    scene.Render(size, n++, frame);
    benchmark::DoNotOptimize(frame.data);
  }
}
BENCHMARK(BM_SceneFrame)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("veldrin-bench-capture-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  g_stillPath = (dir / "still.png").string();
  cv::Mat still(480, 640, CV_8UC3);
  cv::randu(still, cv::Scalar::all(0), cv::Scalar::all(256));
  cv::imwrite(g_stillPath, still);
  ::setenv("VELDRIN_CAMERAS", ("Still=" + g_stillPath).c_str(), 1);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
