// The height-true picture against the floor of the output path (a bare cv::warpPerspective plus
// one bare write of the BMP's bytes, bench_publish's floor), measured in the same run:
// BM_HeightTrueRatioToFloor publishes each frame through the height-true tables, with the
// objects file written before the picture as the tool does (target: ratio at most 0.6 at 640x480
// and 1280x720). BM_HeightTrueRebuild times what the worker does when the heights change: the
// height map from a 640x480 measurement, the objects and the tables for a 1280x720 picture
// (target: under 30 ms).

#include <benchmark/benchmark.h>

#include <memory>

#include "bench/bench_common.h"
#include "depth/object_finder.h"
#include "depth/table_measure.h"
#include "video/realsense_video_engine.h"
#include "video/sim/simulated_depth_device.h"
#include "video/table_scene.h"
#include "workstation/height_true_table.h"

namespace {

using namespace veldrin_bench;

// Two boxes and a flat one on the sheet, measured against the plane of the empty table, for
// colour frames of `colorSize`.
class CMeasuredSheet {
 public:
  explicit CMeasuredSheet(cv::Size colorSize) : m_device(STableSceneParams{}, false) {
    SDepthStreamRequest request;
    request.colorWidth = colorSize.width;
    request.colorHeight = colorSize.height;
    m_device.Start(request);
    const CSceneWorld& world = m_device.World();
    m_camera.calibration.depthIntrinsics = world.DepthIntrinsics();
    m_camera.calibration.colorIntrinsics = world.ColorIntrinsics(colorSize);
    m_camera.calibration.depthToColor = world.DepthToColor();
    m_camera.calibration.colorToDepth = world.ColorToDepth();
    m_rays.Update(m_camera.calibration.depthIntrinsics);
    m_corners = CTableScene(STableSceneParams{}).SheetCorners(colorSize);
    veldrin::SetLiveSceneBoxes({});
    Settle();
    Plane3D plane;
    // Without a plane no height map is made, and RunOnce says so.
    if (m_measure.CurrentPlaneCorners(plane)) m_measure.SetPlaneCorners(plane);
    veldrin::SetLiveSceneBoxes({SSceneBox{{80, 60, 60}, {-80, 40}, 0},
                                SSceneBox{{70, 50, 25}, {70, -40}, 10},
                                SSceneBox{{50, 50, 1.5}, {60, 55}, 0}});
    Settle();
    veldrin::ResetLiveScene();
  }
  const SHeightTrueCamera& Camera() const { return m_camera; }
  const std::vector<cv::Point2f>& Corners() const { return m_corners; }
  CMeasurementExchange::CHandle Latest() const { return m_measure.Published(); }

  // The media frame and height map of the sheet (297 x 210 mm) from the latest measurement.
  bool Map(SMediaFrame& frame, SMediaHeightMap& map) const {
    const auto latest = Latest();
    return latest &&
           veldrin::MakeMediaFrame(m_camera.calibration, latest->plane,
                                   veldrin::CornerRays(m_camera, m_corners), 297, 210, frame) &&
           veldrin::BuildMediaHeightMap(*latest, m_camera.calibration.depthIntrinsics, frame, map);
  }

 private:
  void Settle() {
    SDepthFrameset frameset;
    std::vector<SVertex> cloud;
    cv::Mat meters;
    for (int i = 0; i < 150; ++i) {
      m_device.TryWaitForFrameset(std::chrono::milliseconds(100), frameset);
      cloud.resize(static_cast<std::size_t>(frameset.depth.width) * frameset.depth.height);
      CKivRealSenseVideoEngine::DepthFrameToCloud(frameset.depth, m_rays, cloud.data());
      CKivRealSenseVideoEngine::DepthFrameToMeters(frameset.depth, meters);
      const auto* data = static_cast<const std::uint16_t*>(frameset.depth.data);
      int d[8];
      for (std::size_t c = 0; c < 4; ++c) {
        veldrin::ColorPixelToDepthPixel(m_camera.calibration, data,
                                        static_cast<int>(m_corners[c].x),
                                        static_cast<int>(m_corners[c].y), d[2 * c], d[2 * c + 1]);
      }
      m_measure.UpdateDepthView(meters, cloud.data(), d[0], d[1], d[2], d[3], d[4], d[5], d[6],
                                d[7], nullptr);
    }
  }

  CSimulatedDepthDevice m_device;
  SHeightTrueCamera m_camera;
  CPixelRays m_rays;
  std::vector<cv::Point2f> m_corners;
  CTableMeasure m_measure;
};

// The publishing of the tool in height-true mode, at the floor's output size.
class CHeightTruePipeline {
 public:
  CHeightTruePipeline(CBenchHost& host, const cv::Mat& frame) : m_host(host), m_frame(frame) {
    m_tool = host.AttachTool();
    CRectification sizing;
    sizing.ApplyCameraSettings(frame.cols, frame.rows);
    sizing.UpdateMediaSize(kMediaWidthMm, kMediaHeightMm);
    const CMeasuredSheet sheet(frame.size());
    SMediaFrame media;
    SMediaHeightMap map;
    m_ready = sheet.Map(media, map);
    veldrin::BuildHeightTrueTables(media, map, sheet.Camera(), frame.size(), sizing.GetOutputSize(),
                                   m_tables);
    m_objects = veldrin::FindObjects(map, 5.0);
    m_folder = host.Block().GetFolder();
  }
  ~CHeightTruePipeline() { m_tool.reset(); }
  bool RunOnce() {
    (void)m_host.Block().AcknowledgeImage();  // our own block: it cannot refuse
    veldrin::RemapHeightTrue(m_frame, m_tables, m_out);
    return m_ready && veldrin::WriteObjectsFile(m_folder, ++m_frameNumber, m_objects) &&
           m_tool->PublishImage(m_out.cols, m_out.rows, m_out.data) == 1;
  }
  cv::Size OutputSize() const { return m_tables.map1.size(); }

 private:
  CBenchHost& m_host;
  const cv::Mat& m_frame;
  std::unique_ptr<CSharedStatusBlock> m_tool;
  SHeightTrueTables m_tables;
  std::vector<SMediaObject> m_objects;
  std::string m_folder;
  std::uint64_t m_frameNumber = 0;
  bool m_ready = false;
  cv::Mat m_out;
};

void BM_HeightTrueRatioToFloor(benchmark::State& state) {
  CBenchHost host("veldrin-bench-ht");
  const cv::Mat frame = FrameFor(state);
  CHeightTruePipeline pipeline(host, frame);
  CFloor floor(host.FloorPath(), frame);
  RunRatioToFloor(state, pipeline, floor, false, [] {});
}

void BM_HeightTrueRebuild(benchmark::State& state) {
  const cv::Size colour(1280, 720);
  const CMeasuredSheet sheet(colour);
  CRectification sizing;
  sizing.ApplyCameraSettings(colour.width, colour.height);
  sizing.UpdateMediaSize(297, 210);
  const auto latest = sheet.Latest();
  SMediaFrame media;
  SMediaHeightMap map;
  if (!sheet.Map(media, map)) {
    state.SkipWithError("no measurement");
    return;
  }
  SHeightTrueTables tables;
  const int part = static_cast<int>(state.range(0));
  // CPU time of every thread, the row loops' workers included: on a loaded machine the wall time
  // swings with their scheduling.
  const std::chrono::nanoseconds cpuStart = ProcessCpuTime();
  for (auto _ : state) {
    if (!veldrin::BuildMediaHeightMap(*latest, sheet.Camera().calibration.depthIntrinsics, media,
                                      map)) {
      state.SkipWithError("no height map");
      break;
    }
    if (part == 0) continue;
    benchmark::DoNotOptimize(veldrin::FindObjects(map, 5.0));
    veldrin::BuildHeightTrueTables(media, map, sheet.Camera(), colour, sizing.GetOutputSize(),
                                   tables);
    benchmark::DoNotOptimize(tables.map1.data);
  }
  state.counters["cpu_ms"] =
      std::chrono::duration<double, std::milli>(ProcessCpuTime() - cpuStart).count() /
      static_cast<double>(state.iterations());
  state.SetLabel(part == 0 ? "height map only" : "height map, objects and tables");
}

BENCHMARK(BM_HeightTrueRatioToFloor)
    ->Args({640, 480})
    ->Args({1280, 720})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);
BENCHMARK(BM_HeightTrueRebuild)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
