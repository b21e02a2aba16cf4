#include "video/realsense_video_engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <opencv2/core.hpp>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "testing/waiting.h"
#include "video/scene_params.h"
#include "video/sim/failing_depth_device_test_fixture.h"
#include "video/sim/simulated_depth_device.h"

namespace {

using namespace std::chrono_literals;

TEST(DepthConversionTest, GreyRampFromThirtyCentimetresToOneMetreTen) {
  const struct {
    double metres;
    unsigned char grey;
  } cases[] = {{0.0, 0},   {0.2, 0},    {0.3, 0},  {0.7, 127},  {1.0, 223},  {1.1, 255},
               {1.5, 255}, {1.5001, 0}, {-0.1, 0}, {0.3031, 0}, {0.30314, 1}};
  cv::Mat meters(1, std::size(cases), CV_64F), grey(1, std::size(cases), CV_8UC3);
  for (size_t i = 0; i < std::size(cases); ++i) meters.at<double>(0, i) = cases[i].metres;
  CKivRealSenseVideoEngine::DepthToGray(meters, grey);
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(grey.at<cv::Vec3b>(0, i), cv::Vec3b::all(cases[i].grey)) << cases[i].metres;
  }
}

TEST(DepthConversionTest, FramesWrapTheirPixelsByFormat) {
  std::vector<unsigned char> pixels(std::size_t{4} * 3 * 2 * 4, 7);
  pixels[0] = 1;
  pixels[2] = 3;
  SDepthDeviceFrame frame;
  frame.data = pixels.data();
  frame.dataSize = pixels.size();
  frame.width = 4;
  frame.height = 2;
  const struct {
    EFrameFormat format;
    int type;
    int stride;
  } cases[] = {{EFrameFormat::kBGR8, CV_8UC3, 12},
               {EFrameFormat::kZ16, CV_16UC1, 8},
               {EFrameFormat::kY8, CV_8UC1, 4},
               {EFrameFormat::kDisparity32, CV_32FC1, 16},
               {EFrameFormat::kRGB8, CV_8UC3, 12}};
  for (const auto& c : cases) {
    frame.format = c.format;
    frame.stride = c.stride;
    const cv::Mat m = CKivRealSenseVideoEngine::FrameToMat(frame);
    EXPECT_EQ(m.type(), c.type);
    EXPECT_EQ(m.size(), cv::Size(4, 2));
    if (c.format == EFrameFormat::kRGB8) {
      EXPECT_NE(m.data, pixels.data());  // converted into a picture of its own
      EXPECT_EQ(m.at<cv::Vec3b>(0, 0), cv::Vec3b(3, 7, 1));
    } else {
      EXPECT_EQ(m.data, pixels.data());  // no copy
    }
  }
  frame.format = EFrameFormat::kYUYV;
  try {
    CKivRealSenseVideoEngine::FrameToMat(frame);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Frame format is not supported yet!");
  }

  // Depth in metres and the cloud of a 2 x 1 Z16 frame with units of 1 mm.
  const std::uint16_t raw[2] = {0, 1500};
  frame.data = raw;
  frame.dataSize = sizeof raw;
  frame.width = 2;
  frame.height = 1;
  frame.stride = 4;
  frame.format = EFrameFormat::kZ16;
  frame.units = 0.001f;
  frame.intrinsics = {2, 1, 0.f, 0.f, 100.f, 100.f, EDistortion::kBrownConrady, {}};
  cv::Mat meters;
  CKivRealSenseVideoEngine::DepthFrameToMeters(frame, meters);
  EXPECT_EQ(meters.at<double>(0, 0), 0.0);
  EXPECT_DOUBLE_EQ(meters.at<double>(0, 1), 1500 * static_cast<double>(0.001f));
  CPixelRays rays;
  rays.Update(frame.intrinsics);
  SVertex cloud[2];
  CKivRealSenseVideoEngine::DepthFrameToCloud(frame, rays, cloud);
  EXPECT_EQ(cloud[0].xyz[0], 0.f);
  EXPECT_EQ(cloud[0].xyz[2], 0.f);
  EXPECT_FLOAT_EQ(cloud[1].xyz[0], 1.5f / 100.f);
  EXPECT_FLOAT_EQ(cloud[1].xyz[2], 1.5f);
}

// The engine converts each frame in one pass; it must give exactly what the three separate
// conversions give, for every raw value.
TEST(DepthConversionTest, TheOnePassConversionEqualsTheSeparateOnes) {
  std::vector<std::uint16_t> raw(std::size_t{256} * 256);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint16_t>(i);
  SDepthDeviceFrame frame;
  frame.data = raw.data();
  frame.dataSize = raw.size() * 2;
  frame.width = 256;
  frame.height = 256;
  frame.stride = 512;
  frame.format = EFrameFormat::kZ16;
  frame.intrinsics = {256,
                      256,
                      128.f,
                      128.f,
                      150.f,
                      150.f,
                      EDistortion::kInverseBrownConrady,
                      {0.05f, 0.f, 0.001f}};
  CPixelRays rays;
  rays.Update(frame.intrinsics);
  CDepthFrameConverter converter;
  for (const float units : {0.001f, 0.0001f, 0.00025f}) {
    frame.units = units;
    cv::Mat meters, grey, expectedMeters, expectedGrey(256, 256, CV_8UC3);
    std::vector<SVertex> cloud(raw.size()), expectedCloud(raw.size());
    converter.Convert(frame, rays, meters, grey, cloud.data());
    CKivRealSenseVideoEngine::DepthFrameToMeters(frame, expectedMeters);
    CKivRealSenseVideoEngine::DepthToGray(expectedMeters, expectedGrey);
    CKivRealSenseVideoEngine::DepthFrameToCloud(frame, rays, expectedCloud.data());
    EXPECT_EQ(cv::norm(meters, expectedMeters, cv::NORM_INF), 0) << units;
    EXPECT_EQ(cv::norm(grey, expectedGrey, cv::NORM_INF), 0) << units;
    EXPECT_EQ(std::memcmp(cloud.data(), expectedCloud.data(), cloud.size() * sizeof(SVertex)), 0)
        << units;
  }
}

// Records what the engine delivers; can hold the frame thread inside OnDepthFrame.
class CRecorder : public CKivVideoEngineListener {
 public:
  void OnVideoFrame(int, cv::Mat*) override {}
  void OnDepthFrame(int index, cv::Mat* image, cv::Mat* meters, const SVertex* v) override {
    std::unique_lock lock(m_mutex);
    ++m_frames;
    m_index = index;
    m_image = image->clone();
    m_meters = meters->clone();
    m_centreZ = v[240 * 640 + 320].xyz[2];
    m_consistent = m_consistent && static_cast<float>(meters->at<double>(240, 320)) == m_centreZ;
    m_changed.notify_all();
    if (m_hold > 0ms) std::this_thread::sleep_for(m_hold);
  }
  void OnEngineError(int index, const std::string& message) override {
    std::lock_guard lock(m_mutex);
    m_errors.push_back(message);
    m_index = index;
    m_changed.notify_all();
  }
  template <typename TPredicate>
  bool WaitFor(TPredicate predicate, std::chrono::milliseconds limit = 5000ms) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return predicate(*this); });
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_frames = 0;
  int m_index = -1;
  float m_centreZ = 0.f;
  bool m_consistent = true;
  cv::Mat m_image, m_meters;
  std::vector<std::string> m_errors;
  std::chrono::milliseconds m_hold{0};
};

class RealSenseEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VELDRIN_CAMERAS", "Webcam=scene:table;Cam RealSense=scene:table", 1);
    ::unsetenv("VELDRIN_SCENE");
    veldrin::ResetLiveScene();
  }
  void TearDown() override {
    ::unsetenv("VELDRIN_CAMERAS");
    veldrin::ResetLiveScene();
  }
};

TEST_F(RealSenseEngineTest, SetupReadsTheCameraGeometry) {
  CKivRealSenseVideoEngine engine;
  CRecorder listener;
  EXPECT_EQ(engine.SetupDepth(DEPTH_CAMERA_INDEX, 640, 480, &listener, 1280, 720), 1);
  const SDepthColorCalibration& c = engine.GetCalibration();
  EXPECT_EQ(c.depthIntrinsics.width, 640);
  EXPECT_EQ(c.colorIntrinsics.width, 1280);
  EXPECT_NEAR(c.colorToDepth.translation[0], -c.depthToColor.translation[0], 1e-4f);
  EXPECT_EQ(listener.m_frames, 0);  // set-up streams, but delivers nothing
  // Before any frame, a colour pixel maps to depth pixel (0, 0).
  int x = -1, y = -1;
  engine.ColorPixelToDepthPixel(640, 360, x, y);
  EXPECT_EQ(cv::Point(x, y), cv::Point(0, 0));

  // A colour size the camera does not offer: its own error, and the geometry stays.
  EXPECT_THROW(engine.SetupDepth(DEPTH_CAMERA_INDEX, 640, 480, &listener, 800, 600),
               CStreamNotOfferedError);
  EXPECT_EQ(engine.GetCalibration().colorIntrinsics.width, 1280);
}

TEST_F(RealSenseEngineTest, SetupFailsWithoutADepthCamera) {
  CRecorder listener;
  for (const char* cameras : {"Webcam=scene:table", "", "Cam RealSense=/no/such/picture.png"}) {
    ::setenv("VELDRIN_CAMERAS", cameras, 1);
    CKivRealSenseVideoEngine engine;
    try {
      engine.SetupDepth(DEPTH_CAMERA_INDEX, 640, 480, &listener, 640, 480);
      ADD_FAILURE() << cameras;
    } catch (const CNoDepthDeviceError& e) {
      const std::runtime_error& base = e;  // every kind is a runtime_error
      EXPECT_NE(std::string(base.what()), "");
    }
  }
}

TEST_F(RealSenseEngineTest, StreamsDepthFramesThatFollowTheScene) {
  CRecorder listener;
  {
    CKivRealSenseVideoEngine engine;
    engine.SetupDepth(DEPTH_CAMERA_INDEX, 640, 480, &listener, 640, 480);
    ASSERT_EQ(engine.Start(), 1);
    ASSERT_TRUE(listener.WaitFor([](CRecorder& r) { return r.m_frames >= 3; }));
    float table = 0.f;
    {
      std::lock_guard lock(listener.m_mutex);
      EXPECT_EQ(listener.m_index, DEPTH_CAMERA_INDEX);
      EXPECT_EQ(listener.m_image.type(), CV_8UC3);
      EXPECT_EQ(listener.m_meters.type(), CV_64FC1);
      EXPECT_EQ(listener.m_meters.size(), cv::Size(640, 480));
      table = listener.m_centreZ;
    }
    EXPECT_GT(table, 0.3f);
    EXPECT_LT(table, 1.1f);

    // A 60 mm box placed at the centre while streaming: the centre comes nearer.
    veldrin::SetLiveSceneBox(SSceneBox{{100, 80, 60}});
    EXPECT_TRUE(listener.WaitFor([&](CRecorder& r) { return r.m_centreZ < table - 0.04f; }))
        << table;
    veldrin::SetLiveSceneBox(std::nullopt);
    EXPECT_TRUE(listener.WaitFor([&](CRecorder& r) { return r.m_centreZ > table - 0.01f; }));

    EXPECT_EQ(engine.Stop(), 1);
    int frames = 0;
    {
      std::lock_guard lock(listener.m_mutex);
      frames = listener.m_frames;
      EXPECT_TRUE(listener.m_consistent);
    }
    // At most the pass that was running delivers.
    EXPECT_TRUE(veldrin_test::NothingHappensFor(150ms, [&] {
      std::lock_guard lock(listener.m_mutex);
      return listener.m_frames > frames + 1;
    }));
    std::lock_guard lock(listener.m_mutex);
    EXPECT_FALSE(engine.GetDepthImage().empty());  // the last frame stays
    EXPECT_NE(engine.GetDepthData(), nullptr);
  }
  // Started again on a new engine after the old one went: nothing reaches the old listener.
  std::lock_guard lock(listener.m_mutex);
  EXPECT_TRUE(listener.m_errors.empty());
}

TEST_F(RealSenseEngineTest, AnErrorOnTheFrameThreadEndsItAndReachesTheListener) {
  CRecorder listener;
  // Each session lasts three framesets: enough for the set-up, then the frame thread reports
  // the loss once and stops delivering.
  CKivRealSenseVideoEngine engine([] {
    return std::make_unique<veldrin_test::CFailingDepthDevice>(3, false, STableSceneParams{},
                                                               false);
  });
  EXPECT_EQ(engine.SetupDepth(7, 640, 480, &listener, 640, 480), 1);
  ASSERT_EQ(engine.Start(), 1);
  ASSERT_TRUE(listener.WaitFor([](CRecorder& r) { return !r.m_errors.empty(); }));
  EXPECT_TRUE(veldrin_test::NothingHappensFor(100ms, [&] {
    std::lock_guard lock(listener.m_mutex);
    return listener.m_frames != 3 || listener.m_errors.size() != 1;
  }));
  std::lock_guard lock(listener.m_mutex);
  EXPECT_EQ(listener.m_frames, 3);
  ASSERT_EQ(listener.m_errors.size(), 1u);
  EXPECT_EQ(listener.m_errors[0], "the depth camera was unplugged");
  EXPECT_EQ(listener.m_index, 7);
}

TEST_F(RealSenseEngineTest, StopDoesNotWaitForABusyListenerAndTheThreadEndsBeforeTheEngine) {
  CRecorder listener;
  listener.m_hold = 400ms;
  auto engine = std::make_unique<CKivRealSenseVideoEngine>(
      [] { return std::make_unique<CSimulatedDepthDevice>(STableSceneParams{}, false); });
  engine->SetupDepth(DEPTH_CAMERA_INDEX, 640, 480, &listener, 640, 480);
  ASSERT_EQ(engine->Start(), 1);
  ASSERT_TRUE(listener.WaitFor([](CRecorder& r) { return r.m_frames >= 1; }));
  const auto before = std::chrono::steady_clock::now();
  engine->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 350ms);
  // Destruction waits for the pass to end; afterwards nothing runs.
  engine.reset();
  std::lock_guard lock(listener.m_mutex);
  const int frames = listener.m_frames;
  EXPECT_GE(frames, 1);
  EXPECT_TRUE(listener.m_errors.empty());
}

}  // namespace
