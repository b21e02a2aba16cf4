// The librealsense2 back-end on recordings of the table scene: what a recording carries, the
// library's point cloud, the device chosen, bad files, and the engine streaming from one.

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "testing/scratch_dir.h"
#include "testing/test_files.h"
#include "video/depth_device.h"
#include "video/depth_recording.h"
#include "video/realsense_video_engine.h"
#include "video/sim/scene_world.h"
#include "video/virtual_camera.h"

namespace {

using namespace std::chrono_literals;

STableSceneParams Scene(double boxHeightMm) {
  STableSceneParams params;
  params.width = 640;
  params.height = 480;
  if (boxHeightMm > 0) params.box = SSceneBox{{100, 80, boxHeightMm}};
  return params;
}

SDepthStreamRequest Request(int colorWidth = 640, int colorHeight = 480) {
  SDepthStreamRequest request;
  request.colorWidth = colorWidth;
  request.colorHeight = colorHeight;
  return request;
}

SDeviceLocator Recording(const std::filesystem::path& file) {
  return {SDeviceLocator::EKind::kVirtual, -1, "bag:" + file.string(), {}};
}

// Two short recordings shared by the tests: the empty table and a 60 mm box.
class RecordingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!veldrin::HasRealSenseSupport()) return;
    s_dir = std::make_unique<veldrin_test::CScratchDir>("recording");
    veldrin::RecordTableScene(Scene(0), Table().string(), 12);
    veldrin::RecordTableScene(Scene(60), Box().string(), 12);
  }
  static void TearDownTestSuite() { s_dir.reset(); }
  void SetUp() override {
    if (!veldrin::HasRealSenseSupport()) {
      GTEST_SKIP() << "built without librealsense2: " << veldrin::kNoRealSenseSupport;
    }
    veldrin::ResetLiveScene();
  }
  void TearDown() override { ::unsetenv("VELDRIN_CAMERAS"); }

  static std::filesystem::path Table() { return s_dir->Path() / "table.bag"; }
  static std::filesystem::path Box() { return s_dir->Path() / "box.bag"; }
  static std::unique_ptr<veldrin_test::CScratchDir> s_dir;
};
std::unique_ptr<veldrin_test::CScratchDir> RecordingTest::s_dir;

// The next frameset that has a depth frame (and colour, when asked).
SDepthFrameset NextFrames(CDepthDevice& device, bool color) {
  for (int i = 0; i < 100; ++i) {
    SDepthFrameset frameset;
    if (device.TryWaitForFrameset(100ms, frameset) && frameset.hasDepth &&
        (!color || frameset.hasColor)) {
      return frameset;
    }
  }
  ADD_FAILURE() << "no frameset";
  return {};
}

void ExpectSame(const SCameraIntrinsics& a, const SCameraIntrinsics& b) {
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  EXPECT_FLOAT_EQ(a.fx, b.fx);
  EXPECT_FLOAT_EQ(a.fy, b.fy);
  EXPECT_FLOAT_EQ(a.ppx, b.ppx);
  EXPECT_FLOAT_EQ(a.ppy, b.ppy);
  EXPECT_EQ(a.model, b.model);
  for (int i = 0; i < 5; ++i) EXPECT_FLOAT_EQ(a.coeffs[i], b.coeffs[i]);
}

void ExpectSame(const SCameraExtrinsics& a, const SCameraExtrinsics& b) {
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(a.rotation[i], b.rotation[i], 1e-6f) << i;
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(a.translation[i], b.translation[i], 1e-6f) << i;
}

TEST_F(RecordingTest, PlaysBackTheSceneGeometryAndTheLibraryCloudMatchesOurRays) {
  const CSceneWorld world(Scene(60));
  std::unique_ptr<CDepthDevice> device = veldrin::OpenDepthDevice(Recording(Box()));
  SDepthStreamRequest request = Request();
  request.cloud = true;
  device->Start(request);
  const SDepthFrameset frames = NextFrames(*device, true);
  ExpectSame(frames.depth.intrinsics, world.DepthIntrinsics());
  ExpectSame(frames.color.intrinsics, world.ColorIntrinsics({640, 480}));
  EXPECT_EQ(frames.depth.format, EFrameFormat::kZ16);
  EXPECT_EQ(frames.color.format, EFrameFormat::kBGR8);
  EXPECT_FLOAT_EQ(device->GetDepthScale(), 0.001f);
  EXPECT_FLOAT_EQ(frames.depth.units, 0.001f);
  ExpectSame(device->GetDepthToColorExtrinsics(), world.DepthToColor());
  ExpectSame(device->GetColorToDepthExtrinsics(), world.ColorToDepth());

  // The library's cloud against our deprojection of the same frame.
  ASSERT_NE(frames.cloud, nullptr);
  CPixelRays rays;
  rays.Update(frames.depth.intrinsics);
  std::vector<SVertex> ours(static_cast<std::size_t>(640) * 480);
  CKivRealSenseVideoEngine::DepthFrameToCloud(frames.depth, rays, ours.data());
  float worst = 0.f;
  int withDepth = 0;
  for (std::size_t i = 0; i < ours.size(); ++i) {
    withDepth += ours[i].xyz[2] > 0.f;
    for (int k = 0; k < 3; ++k) {
      worst = std::max(worst, std::fabs(ours[i].xyz[k] - frames.cloud[i].xyz[k]));
    }
  }
  EXPECT_GT(withDepth, 200000);
  EXPECT_LT(worst, 1e-4f);
  device->Stop();
}

TEST_F(RecordingTest, BadFilesAndSizesGiveOneClearError) {
  const std::filesystem::path missing = s_dir->Path() / "missing.bag";
  const std::string bytes = veldrin_test::ReadFileBytes(Table());
  const std::filesystem::path truncated = s_dir->Path() / "truncated.bag";
  veldrin_test::WriteFileBytes(truncated, bytes.substr(0, bytes.size() / 3));
  const std::filesystem::path garbage = s_dir->Path() / "garbage.bag";
  veldrin_test::WriteFileBytes(garbage, std::string(4096, '\x5a'));
  for (const auto& file : {missing, truncated, garbage}) {
    std::unique_ptr<CDepthDevice> device = veldrin::OpenDepthDevice(Recording(file));
    try {
      device->Start(Request());
      // A file cut short may still start; it must then end in an error, not a hang.
      SDepthFrameset frames;
      for (int i = 0; i < 50; ++i) {
        (void)device->TryWaitForFrameset(100ms, frames);  // only the error is looked for
      }
      ADD_FAILURE() << file << " played";
    } catch (const CDepthDeviceError& e) {
      EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
    }
  }
  std::unique_ptr<CDepthDevice> device = veldrin::OpenDepthDevice(Recording(Table()));
  try {
    device->Start(Request(1280, 720));
    ADD_FAILURE() << "a colour size the recording does not have";
  } catch (const CStreamNotOfferedError& e) {
    EXPECT_NE(std::string(e.what()).find("has colour 640x480, not the 1280x720"), std::string::npos)
        << e.what();
  }
  SDepthStreamRequest request = Request();
  request.depthWidth = 848;
  EXPECT_THROW(device->Start(request), CStreamNotOfferedError);
}

// Records what the engine delivers, from its frame thread.
class CDepthListener : public CKivVideoEngineListener {
 public:
  void OnVideoFrame(int, cv::Mat*) override {}
  void OnDepthFrame(int, cv::Mat*, cv::Mat* meters, const SVertex* cloud) override {
    std::lock_guard lock(m_mutex);
    ++m_frames;
    m_centre = static_cast<float>(meters->at<double>(240, 320));
    m_consistent = m_consistent && cloud[240 * 640 + 320].xyz[2] == m_centre;
    m_changed.notify_all();
  }
  void OnEngineError(int, const std::string& message) override {
    std::lock_guard lock(m_mutex);
    m_errors.push_back(message);
    m_changed.notify_all();
  }
  bool WaitFrames(int n) {
    std::unique_lock lock(m_mutex);
    const int target = m_frames + n;
    return m_changed.wait_for(lock, 10s, [&] { return m_frames >= target; });
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_frames = 0;
  float m_centre = 0.f;
  bool m_consistent = true;
  std::vector<std::string> m_errors;
};

float CentreDepth(int device) {
  CKivRealSenseVideoEngine engine;
  engine.SelectDevice(device);
  CDepthListener listener;
  engine.SetupDepth(DEPTH_CAMERA_INDEX, 640, 480, &listener, 640, 480);
  EXPECT_EQ(engine.Start(), 1);
  EXPECT_TRUE(listener.WaitFrames(2));
  engine.Stop();
  std::lock_guard lock(listener.m_mutex);
  EXPECT_TRUE(listener.m_errors.empty());
  return listener.m_centre;
}

TEST_F(RecordingTest, TheChosenDeviceIsTheOneOpened) {
  ::setenv("VELDRIN_CAMERAS",
           ("Sim RealSense=scene:table;Table RealSense=bag:" + Table().string() +
            ";Box RealSense=bag:" + Box().string())
               .c_str(),
           1);
  ::unsetenv("VELDRIN_SCENE");
  const float table = CentreDepth(1);
  EXPECT_GT(table, 0.3f);
  EXPECT_NEAR(CentreDepth(2), table - 0.060f, 0.005f);
  // The list shows a recording with its recorded colour size, as a depth camera.
  CKivRealSenseVideoEngine engine;
  ASSERT_EQ(engine.GetDeviceCount(), 3u);
  EXPECT_EQ(engine.m_devices[1].resolutions, (std::vector<cv::Point>{{640, 480}}));
  EXPECT_EQ(engine.IsRealSense(2), 1);
  // Its colour stream is what the webcam side shows: the recorded scene's pictures.
  std::unique_ptr<CFrameSource> colour = veldrin::OpenVirtualSource("bag:" + Box().string());
  ASSERT_TRUE(colour->IsOpened());
  colour->RequestSize(1280, 720);  // a recording keeps its own size
  EXPECT_EQ(colour->GetSize(), cv::Size(640, 480));
  cv::Mat picture;
  for (int i = 0; i < 20 && picture.empty(); ++i) colour->Read(picture);
  ASSERT_EQ(picture.size(), cv::Size(640, 480));
  EXPECT_EQ(picture.type(), CV_8UC3);
  EXPECT_GT(cv::norm(picture, cv::NORM_L1), 0.0);
}

TEST_F(RecordingTest, StartStopAndDestroyWhileFramesFlow) {
  CDepthListener listener;
  const SDeviceLocator locator = Recording(Box());
  for (int round = 0; round < 3; ++round) {
    CKivRealSenseVideoEngine engine([locator] { return veldrin::OpenDepthDevice(locator); });
    engine.SetupDepth(DEPTH_CAMERA_INDEX, 640, 480, &listener, 640, 480);
    ASSERT_EQ(engine.Start(), 1);
    ASSERT_TRUE(listener.WaitFrames(2));
    engine.Stop();
    ASSERT_EQ(engine.Start(), 1);  // a restart right after a stop
    ASSERT_TRUE(listener.WaitFrames(1));
    // Destroyed while streaming, on the last round without a stop.
    if (round < 2) engine.Stop();
  }
  std::lock_guard lock(listener.m_mutex);
  EXPECT_TRUE(listener.m_consistent);
  EXPECT_TRUE(listener.m_errors.empty());
}

TEST(RecordingWithoutLibraryTest, RecordingsAreUnavailableAndSayWhy) {
  if (veldrin::HasRealSenseSupport()) GTEST_SKIP() << "built with librealsense2";
  EXPECT_FALSE(veldrin::OpenVirtualSource("bag:/nowhere.bag")->IsOpened());
  try {
    veldrin::OpenDepthDevice(Recording("/nowhere.bag"));
    ADD_FAILURE() << "opened";
  } catch (const CNoDepthDeviceError& e) {
    EXPECT_STREQ(e.what(), veldrin::kNoRealSenseSupport);
  }
  EXPECT_THROW(veldrin::RecordTableScene(Scene(0), "/nowhere.bag", 1), CNoDepthDeviceError);
}

}  // namespace
