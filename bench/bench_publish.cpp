// Per-frame cost of the output path (rectify one camera frame, publish it as a BMP) against its
// floor: a bare cv::warpPerspective with the same matrix and size plus one bare fwrite of a
// buffer the size of the BMP file into an existing file, measured in the same run. BM_RatioToFloor
// reports pipeline / floor as its "ratio" counter, without and with a lens (third argument);
// targets: at most 0.9 at 640x480 and 0.8 at 1920x1080. BM_TableRebuild times the lookup-table
// build after a corner change (target: under 15 ms at 1920x1080).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

#include "bench/bench_common.h"
#include "workstation/rectification.h"

namespace {

using namespace veldrin_bench;

// One host for the whole run, with the tool attached to its block.
struct SHostAndTool {
  CBenchHost host{"veldrin-bench"};
  std::unique_ptr<CSharedStatusBlock> tool = host.AttachTool();  // goes before the host

  bool Ready() { return host.Block().IsOpen() && tool->IsOpen(); }
};

SHostAndTool& Host() {
  static SHostAndTool shared;
  return shared;
}

// The shared host, or null with the benchmark skipped when its block could not be created.
SHostAndTool* ReadyHost(benchmark::State& state) {
  if (Host().Ready()) return &Host();
  state.SkipWithError("status block could not be created");
  return nullptr;
}

// The output path as the capture thread runs it, with the host taking each picture.
class CPipeline {
 public:
  CPipeline(SHostAndTool& host, const cv::Mat& frame, bool withLens)
      : m_host(host), m_frame(frame) {
    m_rect.ApplyCameraSettings(frame.cols, frame.rows);
    m_rect.UpdateMediaSize(kMediaWidthMm, kMediaHeightMm);
    if (!m_rect.SetCorners(MarkedCorners(frame.cols, frame.rows))) std::abort();
    if (withLens) m_rect.SetLens(std::make_shared<SLensModel>(WideAngleLens(frame.size())));
  }
  // The consumer keeps its output picture from frame to frame, and so does this.
  bool RunOnce() {
    (void)m_host.host.Block().AcknowledgeImage();  // our own block: it cannot refuse
    return m_rect.Rectify(m_frame, m_out) &&
           m_host.tool->PublishImage(m_out.cols, m_out.rows, m_out.data) == 1;
  }
  cv::Size OutputSize() const { return m_rect.GetOutputSize(); }

 private:
  SHostAndTool& m_host;
  const cv::Mat& m_frame;
  CRectification m_rect;
  cv::Mat m_out;
};

void BM_Floor(benchmark::State& state) {
  const cv::Mat frame = FrameFor(state);
  CFloor floor(Host().host.FloorPath(), frame);
  RunEachIteration(state, floor, "floor write failed");
  state.SetLabel(SizeLabel(floor.OutputSize()));
}

void BM_RectifyPublish(benchmark::State& state) {
  SHostAndTool* host = ReadyHost(state);
  if (host == nullptr) return;
  const cv::Mat frame = FrameFor(state);
  CPipeline pipeline(*host, frame, state.range(2) != 0);
  RunEachIteration(state, pipeline, "Rectify or PublishImage failed");
  state.SetLabel(SizeLabel(pipeline.OutputSize()));
}

// The ratio counter is the figure to compare with the targets.
void BM_RatioToFloor(benchmark::State& state) {
  SHostAndTool* host = ReadyHost(state);
  if (host == nullptr) return;
  const cv::Mat frame = FrameFor(state);
  CPipeline pipeline(*host, frame, state.range(2) != 0);
  CFloor floor(host->host.FloorPath(), frame);
  RunRatioToFloor(state, pipeline, floor, false, [] {});
  state.SetLabel(SizeLabel(pipeline.OutputSize()) + (state.range(2) ? ", lens" : ""));
}

// The tables for the output of a 1920x1080 frame, as a corner change makes the capture thread
// rebuild them; the matrix is the marked corners' inverse homography.
void BM_TableRebuild(benchmark::State& state) {
  const cv::Size frameSize(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  CRectification sizing;
  sizing.ApplyCameraSettings(frameSize.width, frameSize.height);
  sizing.UpdateMediaSize(kMediaWidthMm, kMediaHeightMm);
  const cv::Mat forward = cv::getPerspectiveTransform(
      MarkedCorners(frameSize.width, frameSize.height), sizing.GetDstCorners());
  const cv::Matx33d inverse = cv::Matx33d(forward).inv();
  const SLensModel lens = WideAngleLens(frameSize);
  cv::Mat map1, map2;
  for (auto _ : state) {
    veldrin::BuildRemapTables(inverse, state.range(2) ? &lens : nullptr, sizing.GetOutputSize(),
                              map1, map2);
    benchmark::DoNotOptimize(map1.data);
  }
  state.SetLabel(SizeLabel(sizing.GetOutputSize()) + (state.range(2) ? ", lens" : ""));
}

// Frame sizes, each without and with a lens.
void AtFrameSizesWithLens(benchmark::internal::Benchmark* bench) {
  bench->ArgsProduct({{640}, {480}, {0, 1}})
      ->ArgsProduct({{1920}, {1080}, {0, 1}})
      ->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Floor)->Apply(AtFrameSizes);
BENCHMARK(BM_RectifyPublish)->Apply(AtFrameSizesWithLens);
BENCHMARK(BM_RatioToFloor)->Apply(AtFrameSizesWithLens)->MinTime(2.0);
BENCHMARK(BM_TableRebuild)
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
