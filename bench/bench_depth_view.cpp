// The depth side in the window, per depth frame at 640 x 480:
// - BM_DepthConsumer: the depth session's whole OnDepthFrame (corners carried into the depth
//   picture, the 3D View's update: picture, measuring, publishing, hand-off to both views, and
//   auto calibration), against a floor of copying the frame's depth and cloud once. Target:
//   at most 3 ms per frame.
// - BM_GLPaint: one drawing of the OpenGL view (plane, up to 51,300 points, normal marker) up to
//   glFinish, against a floor of clearing the same framebuffer. Needs a display with OpenGL
//   (run under xvfb-run); skipped without one.
// The colour pipeline with secure points is in bench_pipeline.

#include <benchmark/benchmark.h>

#include <GL/gl.h>

#include <QCoreApplication>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/bench_depth_scene.h"
#include "bench/bench_qt_main.h"
#include "bench/bench_timing.h"
#include "depth/view/depth_camera_dialog.h"
#include "depth/view/opengl_3d_window.h"
#include "display/image_window.h"
#include "testing/scratch_dir.h"
#include "video/realsense_video_engine.h"
#include "video/sim/simulated_depth_device.h"
#include "workstation/camera_list.h"
#include "workstation/color_frame_consumer.h"
#include "workstation/rectification.h"
#include "workstation/windows/depth_session.h"

namespace {

using veldrin_bench::BoxScene;
using veldrin_bench::Clock;
using veldrin_bench::kDepthPixels;
using veldrin_bench::SetRatioCounters;

class CBenchEngine : public CKivVideoEngine {
 public:
  int EnumerateDevices() override {
    m_devices[0] = VIDEO_DEVICE_DATA{"Bench RealSense", {{640, 480}}};
    m_nDeviceCount = 1;
    return 1;
  }
  int IsDeviceAvailable(int) override { return 1; }
};

class CNoView : public CColorFrameView {
 public:
  int CurrentTab() const override { return 0; }
  void ShowInWindow(CImageWindow*, const cv::Mat&) override {}
  void ShowInput(const cv::Mat&) override {}
  void ShowOutput(const cv::Mat&) override {}
  void SetOutputImageSize(int, int) override {}
  void MediaSizeChanged(int, int) override {}
  void HostGone() override {}
};

// A depth session as the main window runs it, on the simulated camera with a 50 mm box, with
// auto calibration on and a stored plane. Its own frame thread is stopped after a few frames;
// the benchmark then hands it frames itself.
class CSessionRig {
 public:
  CSessionRig() : m_cameras(m_engine), m_colour(m_rect, m_view, nullptr) {
    m_rect.ApplyCameraSettings(640, 480);
    if (!m_rect.SetCorners({{160, 120}, {480, 120}, {480, 360}, {160, 360}})) std::abort();
    m_cameras.SetCameraAt(0, 0, veldrin::kCamStateMain, &m_engine, nullptr, veldrin::kCamKindDepth);
    m_colour.SetCameraList(&m_cameras);
    m_colour.SetQRDetectionEnabled(false);
    cv::Mat colour(480, 640, CV_8UC3, cv::Scalar::all(90));
    m_colour.OnVideoFrame(0, &colour);

    CDepthSession::SetDeviceFactoryForTests(
        [] { return std::make_unique<CSimulatedDepthDevice>(BoxScene(), false); });
    m_session =
        std::make_unique<CDepthSession>(m_rect, m_input, m_colour, m_scratch.Path().string() + "/");
    std::string error;
    m_started = m_session->Start(640, 480, error);
    if (m_started) {
      m_started = QTest::qWaitFor([&] { return m_session->FramesMeasured() >= 5; }, 10000);
      m_session->Engine()->Stop();
      QTest::qWait(300);
      m_session->Dialog()->SavePlaneCoordinates();
      m_session->SetAutoCalibration(true);
    }

    veldrin_bench::CBoxCamera camera;
    SDepthFrameset frameset;
    camera.Next(frameset, m_cloud, m_meters);
    CDepthFrameConverter().Convert(frameset.depth, camera.Rays(), m_meters, m_grey, m_cloud.data());
  }
  ~CSessionRig() {
    m_session.reset();
    CDepthSession::SetDeviceFactoryForTests({});
  }
  bool Started() const { return m_started; }
  void Frame() {
    CKivVideoEngineListener& listener = *m_session;
    listener.OnDepthFrame(DEPTH_CAMERA_INDEX, &m_grey, &m_meters, m_cloud.data());
  }
  CDepthSession& Session() { return *m_session; }
  const cv::Mat& Meters() const { return m_meters; }
  const std::vector<SVertex>& Cloud() const { return m_cloud; }

 private:
  veldrin_test::CScratchDir m_scratch{"bench-depth-view"};
  CBenchEngine m_engine;
  CCameraList m_cameras;
  CRectification m_rect;
  CNoView m_view;
  CColorFrameConsumer m_colour;
  CImageWindow m_input;
  std::unique_ptr<CDepthSession> m_session;
  bool m_started = false;
  cv::Mat m_meters, m_grey;
  std::vector<SVertex> m_cloud;
};

void BM_DepthConsumer(benchmark::State& state) {
  CSessionRig rig;
  if (!rig.Started()) {
    state.SkipWithError("the simulated depth camera did not start");
    return;
  }
  std::vector<double> meters(kDepthPixels);
  std::vector<SVertex> cloud(kDepthPixels);
  Clock::duration ours{}, floor{};
  for (auto _ : state) {
    auto start = Clock::now();
    rig.Frame();
    ours += Clock::now() - start;
    start = Clock::now();
    std::memcpy(meters.data(), rig.Meters().data, kDepthPixels * sizeof(double));
    std::memcpy(cloud.data(), rig.Cloud().data(), kDepthPixels * sizeof(SVertex));
    benchmark::DoNotOptimize(cloud.data());
    floor += Clock::now() - start;
    state.PauseTiming();
    QCoreApplication::processEvents();  // the views' queued repaints are the UI thread's work
    state.ResumeTiming();
  }
  SetRatioCounters(state, ours, floor);
}
BENCHMARK(BM_DepthConsumer)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_GLPaint(benchmark::State& state) {
  CSessionRig rig;
  COpenGL3DWindow* view = rig.Started() ? rig.Session().Dialog()->GLWindow() : nullptr;
  if (!view) {
    state.SkipWithError("no OpenGL view (no display with OpenGL)");
    return;
  }
  for (int i = 0; i < 30; ++i) rig.Frame();
  if (!QTest::qWaitFor([&] { return view->PaintCount() > 0; }, 5000)) {
    state.SkipWithError("the OpenGL view never painted");
    return;
  }
  const CMeasurementExchange::CHandle m = rig.Session().Dialog()->Published();
  view->makeCurrent();
  Clock::duration ours{}, floor{};
  for (auto _ : state) {
    auto start = Clock::now();
    view->DrawScene(&*m);
    glFinish();
    ours += Clock::now() - start;
    start = Clock::now();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glFinish();
    floor += Clock::now() - start;
  }
  view->doneCurrent();
  SetRatioCounters(state, ours, floor);
}
BENCHMARK(BM_GLPaint)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  // Without a display the consumer is still measured (the 3D View then has no OpenGL view).
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  return veldrin_bench::RunInApplication(argc, argv);
}
