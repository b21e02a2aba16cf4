// Per-frame cost of the output path (rectify one camera frame, publish it as a BMP) against its
// floor: a bare cv::warpPerspective with the same matrix and size plus one bare fwrite of a
// buffer the size of the BMP file into an existing file, measured in the same run. BM_RatioToFloor
// reports pipeline / floor as its "ratio" counter (target: at most 1.3).

#include <benchmark/benchmark.h>

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
  CPipeline(SHostAndTool& host, const cv::Mat& frame) : m_host(host), m_frame(frame) {
    m_rect.ApplyCameraSettings(frame.cols, frame.rows);
    m_rect.UpdateMediaSize(kMediaWidthMm, kMediaHeightMm);
    m_rect.SetCorners(MarkedCorners(frame.cols, frame.rows));
  }
  bool RunOnce() {
    m_host.host.Block().AcknowledgeImage();
    cv::Mat out;
    return m_rect.Rectify(m_frame, out) &&
           m_host.tool->PublishImage(out.cols, out.rows, out.data) == 1;
  }
  cv::Size OutputSize() const { return m_rect.GetOutputSize(); }

 private:
  SHostAndTool& m_host;
  const cv::Mat& m_frame;
  CRectification m_rect;
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
  CPipeline pipeline(*host, frame);
  RunEachIteration(state, pipeline, "Rectify or PublishImage failed");
  state.SetLabel(SizeLabel(pipeline.OutputSize()));
}

// The ratio counter is the figure to compare with the 1.3 target.
void BM_RatioToFloor(benchmark::State& state) {
  SHostAndTool* host = ReadyHost(state);
  if (host == nullptr) return;
  const cv::Mat frame = FrameFor(state);
  CPipeline pipeline(*host, frame);
  CFloor floor(host->host.FloorPath(), frame);
  RunRatioToFloor(state, pipeline, floor, false, [] {});
}

BENCHMARK(BM_Floor)->Apply(AtFrameSizes);
BENCHMARK(BM_RectifyPublish)->Apply(AtFrameSizes);
BENCHMARK(BM_RatioToFloor)->Apply(AtFrameSizes)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
