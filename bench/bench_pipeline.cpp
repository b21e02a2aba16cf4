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

#include <QCoreApplication>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "bench/bench_common.h"
#include "bench/bench_depth_scene.h"
#include "bench/bench_qt_main.h"
#include "depth/secure_points.h"
#include "depth/table_measure.h"
#include "display/image_window.h"
#include "video/video_engine.h"
#include "workstation/camera_list.h"
#include "workstation/color_frame_consumer.h"
#include "workstation/rectification.h"

namespace {

using namespace veldrin_bench;

constexpr int kMainCamera = 0;

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
  void MarkSecurePoints(cv::Mat& frame) override {
    if (m_mark) m_mark(frame);
  }
  std::function<void(cv::Mat&)> m_mark;

 private:
  CImageWindow m_input;
  CImageWindow m_output;
};

// The consumer with everything it reaches, set up as the dialog sets it up.
class CPipeline {
 public:
  CPipeline(CBenchHost& host, const cv::Mat& frame)
      : m_host(host), m_frame(frame), m_cameras(m_engine), m_consumer(m_rect, m_view, nullptr) {
    m_rect.ApplyCameraSettings(frame.cols, frame.rows);
    if (!m_rect.SetCorners(MarkedCorners(frame.cols, frame.rows))) std::abort();
    m_cameras.SetCameraAt(kMainCamera, 0, veldrin::kCamStateMain, &m_engine, &m_view.Input(),
                          veldrin::kCamKindColor);
    m_view.Input().SetImageSize(frame.cols, frame.rows);
    m_view.Input().SetPoints(MarkedCorners(frame.cols, frame.rows));
    m_consumer.SetCameraList(&m_cameras);
    m_consumer.SetQRDetectionEnabled(false);
    m_consumer.SetFrameDivisor(1);
    m_consumer.SetStatusBlock(host.AttachTool());
    (void)host.Block().SetMediaSize(kMediaHeightMm,
                                    kMediaWidthMm);  // after attaching, which resets it
  }
  ~CPipeline() { m_consumer.ReleaseStatusBlock(); }

  // The host takes the previous picture, then one frame goes through; true when it was published.
  bool RunOnce() {
    (void)m_host.Block().AcknowledgeImage();  // our own block: it cannot refuse
    m_frameCopy = m_frame;  // the engine hands out a buffer it owns; the header is enough here
    m_consumer.OnVideoFrame(kMainCamera, &m_frameCopy);
    return m_host.Block().IsImageReady() == 1;
  }
  cv::Size OutputSize() const { return m_rect.GetOutputSize(); }
  void SetMarker(std::function<void(cv::Mat&)> mark) { m_view.m_mark = std::move(mark); }

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

constexpr const char* kHostPrefix = "veldrin-bench-pipeline";

// A settled measurement of a 50 mm box on the simulated table, and the marking of its top.
class CMeasuredBox {
 public:
  CMeasuredBox() {
    std::vector<SVertex> cloud;
    cv::Mat meters;
    for (int i = 0; i < 100; ++i) {
      SDepthFrameset frameset;
      m_camera.Next(frameset, cloud, meters);
      m_measure.UpdateDepthView(meters, cloud.data(), 150, 110, 490, 110, 490, 370, 150, 370,
                                nullptr);
    }
  }
  void Mark(cv::Mat& frame) const {
    const CMeasurementExchange::CHandle m = m_measure.Published();
    veldrin::DrawSecurePoints(m_camera.Calibration(), *m, frame, m->maxHeight, 0.004f);
  }

 private:
  veldrin_bench::CBoxCamera m_camera;
  CTableMeasure m_measure;
};

void BM_Floor(benchmark::State& state) {
  CBenchHost host(kHostPrefix);
  const cv::Mat frame = FrameFor(state);
  CFloor floor(host.FloorPath(), frame);
  RunEachIteration(state, floor, "floor write failed");
}

void BM_Pipeline(benchmark::State& state) {
  CBenchHost host(kHostPrefix);
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

void BM_PipelineRatioToFloor(benchmark::State& state) {
  CBenchHost host(kHostPrefix);
  const cv::Mat frame = FrameFor(state);
  CPipeline pipeline(host, frame);
  CFloor floor(host.FloorPath(), frame);
  RunRatioToFloor(state, pipeline, floor, true, [] { QCoreApplication::processEvents(); });
}

BENCHMARK(BM_Floor)->Apply(AtFrameSizes);
BENCHMARK(BM_Pipeline)->Apply(AtFrameSizes);
BENCHMARK(BM_PipelineRatioToFloor)->Apply(AtFrameSizes)->MinTime(2.0);

// The same with "Draw secure points" on: a 50 mm box measured by the simulated depth camera, its
// top marked in every colour frame before the warp, as the depth session does (target: at most
// 2.5 times the floor).
void BM_PipelineWithSecurePointsRatioToFloor(benchmark::State& state) {
  CBenchHost host(kHostPrefix);
  const cv::Mat frame = FrameFor(state);
  CPipeline pipeline(host, frame);
  CFloor floor(host.FloorPath(), frame);
  const CMeasuredBox box;
  pipeline.SetMarker([&box](cv::Mat& f) { box.Mark(f); });
  RunRatioToFloor(state, pipeline, floor, true, [] { QCoreApplication::processEvents(); });
}
BENCHMARK(BM_PipelineWithSecurePointsRatioToFloor)
    ->Args({640, 480})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  // The windows need an application; no display is needed to render into them.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  return veldrin_bench::RunInApplication(argc, argv);
}
