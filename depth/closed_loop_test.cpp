// The measuring core against the simulated depth camera, whose world is the ground truth: box
// heights, the raised corners and the colour-to-depth mapping, with noise and holes on.

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cmath>
#include <optional>

#include "depth/table_measure.h"
#include "geometry/pixel_mapping.h"
#include "testing/scratch_dir.h"
#include "video/depth_recording.h"
#include "video/realsense_video_engine.h"
#include "video/sim/simulated_depth_device.h"

namespace {

const cv::Size kColorSize(640, 480);
// Each pixel's average starts from its first valid sample, so a settled measurement only needs
// the noise averaged down.
constexpr int kSettleFrames = static_cast<int>(CTableMeasure::kSettleFrames);
// A change of the scene is followed with the average's time constant of 20 frames; after 150 the
// old scene is forgotten to 0.05 %.
constexpr int kForgetFrames = 150;

// The depth side of the tool on the simulated camera, frame by frame as fast as it goes, or on a
// recording of the same scene played back through the depth library (its own cloud included).
class CRig {
 public:
  explicit CRig(const std::optional<SSceneBox>& box)
      : CRig(STableSceneParams{.box = box, .depth = {}}) {}
  explicit CRig(const STableSceneParams& params, const std::string& recording = {})
      : m_params(params), m_world(params) {
    if (recording.empty()) {
      m_device = std::make_unique<CSimulatedDepthDevice>(m_params, false);
    } else {
      m_device =
          veldrin::OpenDepthDevice({SDeviceLocator::EKind::kVirtual, -1, "bag:" + recording, {}});
    }
    SDepthStreamRequest request;
    request.colorWidth = kColorSize.width;
    request.colorHeight = kColorSize.height;
    request.cloud = true;
    m_device->Start(request);
    m_calibration.depthIntrinsics = m_world.DepthIntrinsics();
    m_calibration.colorIntrinsics = m_world.ColorIntrinsics(kColorSize);
    m_calibration.depthToColor = m_world.DepthToColor();
    m_calibration.colorToDepth = m_world.ColorToDepth();
    m_calibration.depthScale = m_device->GetDepthScale();
    m_rays.Update(m_calibration.depthIntrinsics);
  }

  // One frame through conversion, corner mapping and measurement; the maximum height.
  float Frame(const std::array<cv::Point, 4>& colorCorners) {
    SDepthFrameset frameset;
    // A recording comes at its own pace.
    for (int i = 0;
         i < 50 && !(m_device->TryWaitForFrameset(std::chrono::milliseconds(100), frameset) &&
                     frameset.hasDepth);
         ++i) {
    }
    EXPECT_TRUE(frameset.hasDepth);
    const SDepthDeviceFrame& depth = frameset.depth;
    m_data = static_cast<const std::uint16_t*>(depth.data);
    m_cloud.resize(static_cast<size_t>(depth.width) * depth.height);
    CKivRealSenseVideoEngine::DepthFrameToCloud(depth, m_rays, m_cloud.data());
    CKivRealSenseVideoEngine::DepthFrameToMeters(depth, m_meters);
    int d[8];
    for (std::size_t i = 0; i < 4; ++i) {
      veldrin::ColorPixelToDepthPixel(m_calibration, m_data, colorCorners[i].x, colorCorners[i].y,
                                      d[2 * i], d[2 * i + 1]);
    }
    const SVertex* cloud = frameset.cloud != nullptr ? frameset.cloud : m_cloud.data();
    return m_measure.UpdateDepthView(m_meters, cloud, d[0], d[1], d[2], d[3], d[4], d[5], d[6],
                                     d[7], nullptr);
  }
  float Settle(const std::array<cv::Point, 4>& colorCorners, int frames = kSettleFrames) {
    float h = 0.f;
    for (int i = 0; i < frames; ++i) h = Frame(colorCorners);
    return h;
  }

  CTableMeasure& Measure() { return m_measure; }
  const CSceneWorld& World() const { return m_world; }
  const SDepthColorCalibration& Calibration() const { return m_calibration; }
  const std::uint16_t* DepthData() const { return m_data; }

 private:
  STableSceneParams m_params;
  CSceneWorld m_world;
  std::unique_ptr<CDepthDevice> m_device;
  SDepthColorCalibration m_calibration;
  CPixelRays m_rays;
  std::vector<SVertex> m_cloud;
  cv::Mat m_meters;
  const std::uint16_t* m_data = nullptr;
  CTableMeasure m_measure;
};

// The default corners of a 640 x 480 picture: on the table all round the box at the centre.
const std::array<cv::Point, 4> kCorners = {cv::Point(160, 120), cv::Point(480, 120),
                                           cv::Point(480, 360), cv::Point(160, 360)};

SSceneBox Box(double heightMm) { return {{90, 70, heightMm}, {10, -5}, 20}; }

TEST(ClosedLoopTest, MeasuresTheBoxHeightWithNoiseAndHoles) {
  for (const double heightMm : {0.0, 10.0, 25.0, 50.0, 120.0}) {
    SCOPED_TRACE(heightMm);
    CRig rig(heightMm > 0 ? std::optional<SSceneBox>(Box(heightMm)) : std::nullopt);
    const float h = rig.Settle(kCorners) * 1000.f;
    if (heightMm == 0) {
      EXPECT_LT(h, 3.f);
    } else {
      EXPECT_NEAR(h, heightMm, 2.0);
    }
  }
}

TEST(ClosedLoopTest, ColourPixelsOnTheTableFindTheDepthPixelThatSeesThem) {
  CRig rig(Box(50));
  rig.Frame(kCorners);
  const CSceneWorld& world = rig.World();
  const SDepthColorCalibration& c = rig.Calibration();
  int checked = 0;
  for (int y = 100; y <= 400; y += 60) {
    for (int x = 120; x <= 540; x += 70) {
      // Where the colour pixel's line of sight meets the table top.
      const cv::Point3d nearPoint = world.DepthToTable(veldrin::TransformPointToPoint(
          c.colorToDepth,
          veldrin::DeprojectPixelToPoint(c.colorIntrinsics, cv::Point2f(x, y), 0.4f)));
      const cv::Point3d farPoint = world.DepthToTable(veldrin::TransformPointToPoint(
          c.colorToDepth,
          veldrin::DeprojectPixelToPoint(c.colorIntrinsics, cv::Point2f(x, y), 0.9f)));
      const double s = nearPoint.z / (nearPoint.z - farPoint.z);
      const cv::Point3d onTable = nearPoint + s * (farPoint - nearPoint);
      const cv::Point2f truth =
          veldrin::ProjectPointToPixel(c.depthIntrinsics, world.TableToDepth(onTable));
      // Only where the depth camera sees that table point itself (not the box, not a hole).
      const int tx = static_cast<int>(truth.x), ty = static_cast<int>(truth.y);
      const std::uint16_t raw = rig.DepthData()[ty * c.depthIntrinsics.width + tx];
      if (raw == 0 || std::abs(raw - world.TableToDepth(onTable).z * 1000) > 8) continue;
      int dx = -1, dy = -1;
      veldrin::ColorPixelToDepthPixel(c, rig.DepthData(), x, y, dx, dy);
      // The pixel that sees the point is the nearest one (pixel (u, v) is the point (u, v)).
      EXPECT_LE(std::abs(dx - std::lround(truth.x)), 1) << x << "," << y << " truth " << truth;
      EXPECT_LE(std::abs(dy - std::lround(truth.y)), 1) << x << "," << y << " truth " << truth;
      ++checked;
    }
  }
  EXPECT_GT(checked, 20);
}

TEST(ClosedLoopTest, RaisedCornersLandOnTheBoxTopInTheColourPicture) {
  // The plane stored from the empty table, then a box placed on it: measured against the stored
  // plane, as after "Save Plane".
  CRig rig(std::nullopt);
  rig.Settle(kCorners);
  Plane3D stored;
  ASSERT_TRUE(rig.Measure().CurrentPlaneCorners(stored));
  veldrin::SetLiveSceneBox(Box(50));
  rig.Measure().SetPlaneCorners(stored);
  const float h = rig.Settle(kCorners, kForgetFrames);
  veldrin::ResetLiveScene();
  EXPECT_NEAR(h * 1000.f, 50.f, 2.f);

  float raised[12];
  ASSERT_EQ(rig.Measure().GetRaisedPlaneCorners(h, raised), 1);
  const CSceneWorld& world = rig.World();
  for (std::size_t i = 0; i < 4; ++i) {
    const cv::Point3f p(raised[3 * i], raised[3 * i + 1], raised[3 * i + 2]);
    // 50 mm above the table in the world ...
    EXPECT_NEAR(world.DepthToTable(p).z, 50.0, 2.5) << i;
    // ... and where the simulator's colour camera sees that point.
    int x = 0, y = 0;
    ASSERT_EQ(veldrin::ProjectPointToColorPixel(rig.Calibration(), p.x, p.y, p.z, x, y), 1);
    const cv::Point2f seen = world.TableToColorPixel(world.DepthToTable(p), kColorSize);
    EXPECT_LE(std::abs(x - seen.x), 1.0) << i;
    EXPECT_LE(std::abs(y - seen.y), 1.0) << i;
  }
}

// The same scenes recorded and played back through the depth library measure as on the simulated
// camera, and true.
TEST(ClosedLoopTest, ARecordingMeasuresAsTheSimulatedCamera) {
  if (!veldrin::HasRealSenseSupport())
    GTEST_SKIP() << "built without librealsense2: " << veldrin::kNoRealSenseSupport;
  veldrin_test::CScratchDir dir("closed-loop");
  for (const double heightMm : {0.0, 30.0, 80.0}) {
    SCOPED_TRACE(heightMm);
    STableSceneParams params;
    params.width = kColorSize.width;
    params.height = kColorSize.height;
    if (heightMm > 0) params.box = Box(heightMm);
    const std::string file = (dir.Path() / "scene.bag").string();
    veldrin::RecordTableScene(params, file, 20);
    // Long enough for the noise to average out: the two differ in it, not in the scene.
    const float simulated = CRig(params).Settle(kCorners, kForgetFrames) * 1000.f;
    const float played = CRig(params, file).Settle(kCorners, kForgetFrames) * 1000.f;
    EXPECT_NEAR(played, simulated, 1.0);
    if (heightMm == 0) {
      EXPECT_LT(played, 2.f);
    } else {
      EXPECT_NEAR(played, heightMm, 2.0);
    }
  }
}

}  // namespace
