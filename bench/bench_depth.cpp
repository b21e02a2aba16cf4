// Depth-side costs per frame at 640x480, each beside its floor measured in the same run:
// - BM_DepthUpdate: averaging, plane and heights (CTableMeasure) vs a plain copy of the same
//   arrays (the frame's cloud into the averaged cloud, the heights into the height map).
//   BM_DepthUpdateAndPublish adds handing the measurement to readers.
// - BM_SecurePoints: marking a full frame in which every depth pixel passes the height test,
//   vs writing the mark into every pixel of the colour frame.
// - BM_EngineConversion: the engine's per-frame work (cloud, metres, grey) vs the bare
//   conversion of the raw frame to metres.
// - BM_RecordingFrame: one depth frame of a recording of the box scene through the librealsense2
//   back-end (playback, the library's cloud, metres and grey) vs the same scene's frame through the
//   simulated device (rendering, our cloud, metres and grey). Skipped without the library.
// Every benchmark also counts heap allocations per iteration (allocs_per_frame): the steady
// state allocates nothing.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "bench/bench_depth_scene.h"
#include "bench/bench_timing.h"
#include "depth/secure_points.h"
#include "depth/table_measure.h"
#include "testing/scratch_dir.h"
#include "video/depth_recording.h"
#include "video/realsense_video_engine.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// Counting replacements of the global allocation functions; GCC takes the pairing of our new with
// our delete for a mismatch with the built-in ones.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using veldrin_bench::Clock;
constexpr std::size_t kPixels = veldrin_bench::kDepthPixels;

// One frame of the simulated camera looking at a 50 mm box, converted as the engine does.
struct CFrame {
  CFrame() { camera.Next(frameset, cloud, meters); }
  veldrin_bench::CBoxCamera camera;
  const SDepthColorCalibration& calibration = camera.Calibration();
  const CPixelRays& rays = camera.Rays();
  SDepthFrameset frameset;
  std::vector<SVertex> cloud;
  cv::Mat meters;
};

const int kCorners[8] = {200, 140, 450, 140, 450, 350, 200, 350};

// Runs `ours` and `floor` alternately, so load from elsewhere falls on both alike, and sets the
// counters ours_us, floor_us, ratio and allocs_per_frame (of ours, after a warm-up pass).
template <typename TOurs, typename TFloor>
void Alternate(benchmark::State& state, TOurs ours, TFloor floor) {
  ours();
  floor();
  Clock::duration oursTime{}, floorTime{};
  long allocations = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    const long before = g_allocations.load(std::memory_order_relaxed);
    ours();
    allocations += g_allocations.load(std::memory_order_relaxed) - before;
    oursTime += Clock::now() - start;
    start = Clock::now();
    floor();
    floorTime += Clock::now() - start;
  }
  veldrin_bench::SetRatioCounters(state, oursTime, floorTime);
  state.counters["allocs_per_frame"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

// The floor of the update: the same arrays copied once, without any arithmetic.
struct CCopyFloor {
  explicit CCopyFloor(const CFrame& f) : frame(f), averaged(kPixels * 3), heights(kPixels) {}
  void operator()() {
    std::memcpy(averaged.data(), frame.cloud.data(), averaged.size() * sizeof(float));
    std::memcpy(heights.data(), averaged.data() + 2 * kPixels, heights.size() * sizeof(float));
    benchmark::DoNotOptimize(heights.data());
  }
  const CFrame& frame;
  std::vector<float> averaged, heights;
};

// The measurement of one frame against the copy floor; with `publish` it is also handed to
// readers, as the depth thread does.
void BM_DepthUpdate(benchmark::State& state, bool publish) {
  const CFrame frame;
  CTableMeasure measure;
  std::vector<float> heights(kPixels);
  CCopyFloor floor(frame);
  Alternate(
      state,
      [&] {
        if (publish) {
          benchmark::DoNotOptimize(measure.UpdateDepthView(
              frame.meters, frame.cloud.data(), kCorners[0], kCorners[1], kCorners[2], kCorners[3],
              kCorners[4], kCorners[5], kCorners[6], kCorners[7], heights.data()));
          return;
        }
        measure.AverageCloud(frame.cloud.data(), 640, 480);
        benchmark::DoNotOptimize(measure.SetDepthData(
            frame.meters, measure.GetAveragedCloud().data(), kCorners[0], kCorners[1], kCorners[2],
            kCorners[3], kCorners[4], kCorners[5], kCorners[6], kCorners[7], heights.data()));
      },
      floor);
}
BENCHMARK_CAPTURE(BM_DepthUpdate, Measure, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DepthUpdate, AndPublish, true)->Unit(benchmark::kMicrosecond);

void BM_SecurePoints(benchmark::State& state) {
  const CFrame frame;
  // Every pixel passes: all heights equal the maximum.
  const std::vector<float> heights(kPixels, 0.05f);
  std::vector<double> depth(frame.meters.begin<double>(), frame.meters.end<double>());
  cv::Mat color(480, 640, CV_8UC3, cv::Scalar::all(0));
  const cv::Scalar mark(25, 255, 125);
  Alternate(
      state,
      [&] {
        veldrin::DrawSecurePoints(frame.calibration, 640, 480, heights.data(), depth.data(), color,
                                  0.05f, 0.003f);
      },
      [&] { color.setTo(mark); });
}
BENCHMARK(BM_SecurePoints)->Unit(benchmark::kMicrosecond);

void BM_EngineConversion(benchmark::State& state) {
  const CFrame frame;
  std::vector<SVertex> cloud(kPixels);
  cv::Mat meters, floorMeters, grey(480, 640, CV_8UC3);
  Alternate(
      state,
      [&] {
        CKivRealSenseVideoEngine::DepthFrameToCloud(frame.frameset.depth, frame.rays, cloud.data());
        CKivRealSenseVideoEngine::DepthFrameToMeters(frame.frameset.depth, meters);
        CKivRealSenseVideoEngine::DepthToGray(meters, grey);
        benchmark::DoNotOptimize(grey.data);
      },
      [&] {
        cv::Mat(480, 640, CV_16UC1, const_cast<void*>(frame.frameset.depth.data))
            .convertTo(floorMeters, CV_64F, 0.001);
        benchmark::DoNotOptimize(floorMeters.data);
      });
}
BENCHMARK(BM_EngineConversion)->Unit(benchmark::kMicrosecond);

// The engine's pass over one frame of `device`: wait, then the device's cloud or ours.
void EnginePass(CDepthDevice& device, CPixelRays& rays, CDepthFrameConverter& converter,
                std::vector<SVertex>& cloud, cv::Mat& meters, cv::Mat& grey) {
  SDepthFrameset frameset;
  while (!device.TryWaitForFrameset(std::chrono::milliseconds(100), frameset) ||
         !frameset.hasDepth) {
  }
  if (frameset.cloud == nullptr) rays.Update(frameset.depth.intrinsics);
  converter.Convert(frameset.depth, rays, meters, grey,
                    frameset.cloud == nullptr ? cloud.data() : nullptr);
  benchmark::DoNotOptimize(frameset.cloud);
  benchmark::DoNotOptimize(grey.data);
}

void BM_RecordingFrame(benchmark::State& state) {
  if (!veldrin::HasRealSenseSupport()) {
    state.SkipWithError(veldrin::kNoRealSenseSupport);
    return;
  }
  const veldrin_test::CScratchDir dir("bench-recording");
  const std::string file = (dir.Path() / "box.bag").string();
  STableSceneParams params = veldrin_bench::BoxScene();
  params.width = veldrin_bench::kDepthWidth;
  params.height = veldrin_bench::kDepthHeight;
  veldrin::RecordTableScene(params, file, 10);
  SDepthStreamRequest request;
  request.cloud = true;
  std::unique_ptr<CDepthDevice> played = veldrin::OpenDepthRecording(file, false);
  played->Start(request);
  CSimulatedDepthDevice simulated(params, false);
  simulated.Start(request);
  CPixelRays rays, simulatedRays;
  CDepthFrameConverter converter, simulatedConverter;
  std::vector<SVertex> cloud(kPixels), simulatedCloud(kPixels);
  cv::Mat meters, grey, simulatedMeters, simulatedGrey;
  Alternate(
      state, [&] { EnginePass(*played, rays, converter, cloud, meters, grey); },
      [&] {
        EnginePass(simulated, simulatedRays, simulatedConverter, simulatedCloud, simulatedMeters,
                   simulatedGrey);
      });
  played->Stop();
}
BENCHMARK(BM_RecordingFrame)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
