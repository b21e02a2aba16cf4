#include "video/opencv_video_engine.h"

#include "testing/scratch_dir.h"
#include "testing/waiting.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 10s;  // generous: only reached when something is broken

// Records deliveries; can hold the first delivery of a camera until released, standing in for a
// listener that is waiting for a busy UI thread.
class CRecorder : public CKivVideoEngineListener {
 public:
  void OnVideoFrame(int cameraIndex, cv::Mat* frame) override {
    std::unique_lock lock(m_mutex);
    ++m_count[cameraIndex];
    m_threads.insert(std::this_thread::get_id());
    m_last[cameraIndex] = frame->clone();
    m_changed.notify_all();
    if (cameraIndex == m_holdCamera) {
      m_holdCamera = -1;
      m_held = true;
      m_changed.notify_all();
      m_changed.wait(lock, [this] { return !m_held; });
    }
  }
  void OnDepthFrame(int, cv::Mat*, cv::Mat*, const SVertex*) override {}

  bool WaitFrames(int camera, int atLeast) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, kPatience, [&] { return m_count[camera] >= atLeast; });
  }
  int Count(int camera) {
    std::lock_guard lock(m_mutex);
    return m_count[camera];
  }
  cv::Mat Last(int camera) {
    std::lock_guard lock(m_mutex);
    return m_last[camera];
  }
  bool DeliveredOn(std::thread::id id) {
    std::lock_guard lock(m_mutex);
    return m_threads.count(id) > 0;
  }
  void HoldNext(int camera) {
    std::lock_guard lock(m_mutex);
    m_holdCamera = camera;
  }
  bool WaitHeld() {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, kPatience, [this] { return m_held; });
  }
  void Release() {
    std::lock_guard lock(m_mutex);
    m_held = false;
    m_changed.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::map<int, int> m_count;
  std::map<int, cv::Mat> m_last;
  std::set<std::thread::id> m_threads;
  int m_holdCamera = -1;
  bool m_held = false;
};

class EngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_scratch = std::make_unique<veldrin_test::CScratchDir>("engine");
    const fs::path& s_dir = s_scratch->Path();
    const std::string a = (s_dir / "a.png").string(), b = (s_dir / "b.png").string();
    cv::imwrite(a, cv::Mat(240, 320, CV_8UC3, cv::Scalar(50, 50, 50)));
    cv::imwrite(b, cv::Mat(240, 320, CV_8UC3, cv::Scalar(200, 200, 200)));
    const std::string cameras =
        "A=" + a + ";B=" + b + ";Broken=" + (s_dir / "missing.png").string() + ";Scene=scene:table";
    ::setenv("VELDRIN_CAMERAS", cameras.c_str(), 1);
  }
  static void TearDownTestSuite() {
    ::unsetenv("VELDRIN_CAMERAS");
    s_scratch.reset();
  }
  static inline std::unique_ptr<veldrin_test::CScratchDir> s_scratch;
  CRecorder m_listener;
};

TEST_F(EngineTest, DeliversOnItsOwnThreadAtTheSizeTheDeviceChose) {
  CKivOpenCVVideoEngine engine;
  ASSERT_EQ(engine.GetDeviceCount(), 4u);
  ASSERT_TRUE(engine.Setup(1, 640, 480, &m_listener));
  ASSERT_TRUE(engine.Start());
  EXPECT_EQ(engine.GetResolution(), cv::Size(640, 480));
  ASSERT_TRUE(m_listener.WaitFrames(1, 2));
  EXPECT_FALSE(m_listener.DeliveredOn(std::this_thread::get_id()));
  EXPECT_NEAR(cv::mean(m_listener.Last(1))[0], 200, 1);
  EXPECT_EQ(m_listener.Last(1).size(), cv::Size(640, 480));
  EXPECT_TRUE(engine.Stop());

  // A size the device does not offer: it starts anyway, at the size it picks.
  ASSERT_TRUE(engine.Setup(0, 1000, 1000, &m_listener));
  ASSERT_TRUE(engine.Start());
  EXPECT_EQ(engine.GetResolution(), cv::Size(320, 240));
  ASSERT_TRUE(m_listener.WaitFrames(0, 1));
  EXPECT_EQ(m_listener.Last(0).size(), cv::Size(320, 240));
}

// An exception from the listener must not end the capture thread (std::terminate): the next
// frame is delivered all the same.
TEST_F(EngineTest, AListenerThatThrowsGetsTheNextFrame) {
  class CThrower : public CRecorder {
   public:
    void OnVideoFrame(int cameraIndex, cv::Mat* frame) override {
      CRecorder::OnVideoFrame(cameraIndex, frame);
      throw std::runtime_error("listener failed");
    }
  } thrower;
  CKivOpenCVVideoEngine engine;
  ASSERT_TRUE(engine.Setup(0, 320, 240, &thrower));
  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(thrower.WaitFrames(0, 3));
  EXPECT_TRUE(engine.Stop());
}

TEST_F(EngineTest, StopEndsDeliveriesAndStartResumesWithOrWithoutSetup) {
  CKivOpenCVVideoEngine engine;
  EXPECT_TRUE(engine.Stop());  // never started
  ASSERT_TRUE(engine.Setup(0, 320, 240, &m_listener));
  for (int cycle = 0; cycle < 15; ++cycle) {
    const int before = m_listener.Count(0);
    ASSERT_TRUE(engine.Start()) << cycle;
    ASSERT_TRUE(m_listener.WaitFrames(0, before + 1)) << cycle;
    EXPECT_TRUE(engine.Stop());
    EXPECT_TRUE(engine.Stop());  // twice is harmless
  }
  const int stopped = m_listener.Count(0);
  EXPECT_TRUE(
      veldrin_test::NothingHappensFor(200ms, [&] { return m_listener.Count(0) != stopped; }));

  // Another index on the same engine.
  ASSERT_TRUE(engine.Setup(1, 320, 240, &m_listener));
  ASSERT_TRUE(engine.Start());
  ASSERT_TRUE(m_listener.WaitFrames(1, 1));
  EXPECT_NEAR(cv::mean(m_listener.Last(1))[0], 200, 1);
  EXPECT_EQ(m_listener.Count(0), stopped);
}

TEST_F(EngineTest, FailedStartLeavesTheEngineUsable) {
  CKivOpenCVVideoEngine engine;
  EXPECT_FALSE(engine.IsDeviceAvailable(2));
  ASSERT_TRUE(engine.Setup(2, 640, 480, &m_listener));
  EXPECT_FALSE(engine.Start());
  EXPECT_TRUE(engine.Stop());
  ASSERT_TRUE(engine.Setup(9, 640, 480, &m_listener));  // not in the list at all
  EXPECT_FALSE(engine.Start());
  ASSERT_TRUE(engine.Setup(3, 640, 480, &m_listener));
  ASSERT_TRUE(engine.Start());
  ASSERT_TRUE(m_listener.WaitFrames(3, 3));
  EXPECT_EQ(m_listener.Count(2), 0);
  EXPECT_EQ(m_listener.Count(9), 0);
}

TEST_F(EngineTest, StopDoesNotWaitForABlockedListener) {
  auto engine = std::make_unique<CKivOpenCVVideoEngine>();
  m_listener.HoldNext(0);
  ASSERT_TRUE(engine->Setup(0, 320, 240, &m_listener));
  ASSERT_TRUE(engine->Start());
  ASSERT_TRUE(m_listener.WaitHeld());
  EXPECT_TRUE(engine->Stop());  // returns although the capture thread is stuck in the listener

  // Start again while the old thread still sits in the listener: a new thread captures.
  ASSERT_TRUE(engine->Start());
  ASSERT_TRUE(m_listener.WaitFrames(0, 3));
  EXPECT_TRUE(engine->Stop());
  const int afterStop = m_listener.Count(0);
  m_listener.Release();
  engine.reset();  // joins the held thread, which delivers nothing more
  EXPECT_EQ(m_listener.Count(0), afterStop);
}

TEST_F(EngineTest, DestroyingRunningEnginesIsSafe) {
  for (int round = 0; round < 10; ++round) {
    std::vector<std::unique_ptr<CKivOpenCVVideoEngine>> engines;
    for (int camera : {0, 1, 3, 0}) {  // the same virtual device may be opened twice
      engines.push_back(std::make_unique<CKivOpenCVVideoEngine>());
      ASSERT_TRUE(engines.back()->Setup(camera, 640, 480, &m_listener));
      ASSERT_TRUE(engines.back()->Start());
    }
    if (round % 2) {
      ASSERT_TRUE(m_listener.WaitFrames(3, round / 2 + 1));
    }
    engines.clear();
  }
  // Held inside the listener when the destructor runs.
  auto engine = std::make_unique<CKivOpenCVVideoEngine>();
  m_listener.HoldNext(1);
  ASSERT_TRUE(engine->Setup(1, 320, 240, &m_listener));
  ASSERT_TRUE(engine->Start());
  ASSERT_TRUE(m_listener.WaitHeld());
  std::thread releaser([this] {
    std::this_thread::sleep_for(50ms);
    m_listener.Release();
  });
  engine.reset();
  releaser.join();
}

// Shortens the pause, as the benchmark does, to press on the stop/start paths.
class CFastEngine : public CKivOpenCVVideoEngine {
 public:
  CFastEngine() { SetCapturePause(0ms); }
};

TEST_F(EngineTest, RapidCyclesWithoutPause) {
  CFastEngine engine;
  for (int cycle = 0; cycle < 50; ++cycle) {
    const int camera = cycle % 2;
    const int before = m_listener.Count(camera);
    ASSERT_TRUE(engine.Setup(camera, 320, 240, &m_listener));
    ASSERT_TRUE(engine.Start());
    if (cycle % 5 == 0) {
      ASSERT_TRUE(m_listener.WaitFrames(camera, before + 1));
    }
    if (cycle % 3 != 0) {
      EXPECT_TRUE(engine.Stop());  // otherwise Start runs on a running engine
    }
  }
}

}  // namespace
