#include "workstation/color_frame_consumer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "hostlink/shared_status_block.h"
#include "platform/message_box.h"
#include "testing/scratch_dir.h"
#include "testing/scripted_message_box.h"
#include "testing/test_files.h"
#include "testing/waiting.h"
#include "video/video_engine.h"
#include "workstation/camera_list.h"
#include "workstation/rectification.h"
#include "workstation/status_model.h"

#ifdef VELDRIN_TEST_HAVE_QRENCODE
#include "testing/qr_test_pattern.h"
#endif

namespace {

namespace fs = std::filesystem;
using veldrin_test::ReadPublishedPicture;

constexpr int kMainCamera = 0;
constexpr int kPreviewCamera = 1;
constexpr int kOtherPreviewCamera = 2;
// Where the fake view's marking lands, so a test can tell marked from unmarked frames.
const cv::Vec3b kMark(0, 0, 255);

// Three cameras, all available, none of them RealSense.
class CFakeEngine : public CKivVideoEngine {
 public:
  int EnumerateDevices() override {
    for (int i = 0; i < 3; ++i) {
      m_devices[i] = VIDEO_DEVICE_DATA{"Fake Cam " + std::to_string(i), {{640, 480}}};
    }
    m_nDeviceCount = 3;
    return 3;
  }
  int IsDeviceAvailable(int) override { return 1; }
};

// A uniform frame whose colour is its tag, so every picture made from it (input, rectified
// output, published file, last frame) says which frame it came from.
cv::Mat MakeFrame(int width, int height, int tag) {
  return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(tag));
}

int Tag(const cv::Mat& frame) { return frame.empty() ? -1 : frame.at<cv::Vec3b>(0, 0)[0]; }
int CentreTag(const cv::Mat& picture) {
  return picture.empty() ? -1 : picture.at<cv::Vec3b>(picture.rows / 2, picture.cols / 2)[0];
}

// Records every call; capture threads call it concurrently, so everything sits under m_mutex
// (the tab is an atomic, as in the dialog).
class CRecordingView : public CColorFrameView {
 public:
  struct SEvents {
    std::vector<std::pair<CImageWindow*, int>> windowFrames;  // window, tag
    std::vector<int> inputs;                                  // tags
    std::vector<bool> inputWasMarked;
    std::vector<int> marked;  // tags
    std::vector<cv::Size> outputs;
    cv::Mat lastOutput;
    std::vector<cv::Size> outputImageSizes;
    std::vector<cv::Size> mediaSizes;  // width, height in mm
    int hostGone = 0;

    bool Empty() const {
      return windowFrames.empty() && inputs.empty() && marked.empty() && outputs.empty() &&
             outputImageSizes.empty() && mediaSizes.empty() && hostGone == 0;
    }
  };

  void SelectTab(int tab) { m_tab.store(tab); }
  int CurrentTab() const override { return m_tab.load(); }

  void ShowInWindow(CImageWindow* window, const cv::Mat& frame) override {
    std::lock_guard lock(m_mutex);
    m_events.windowFrames.emplace_back(window, Tag(frame));
  }
  void ShowInput(const cv::Mat& frame) override {
    std::lock_guard lock(m_mutex);
    m_events.inputs.push_back(Tag(frame));
    m_events.inputWasMarked.push_back(frame.at<cv::Vec3b>(0, 1) == kMark);
  }
  void ShowOutput(const cv::Mat& picture) override {
    std::lock_guard lock(m_mutex);
    if (m_throwOutputs > 0) {
      // Alternately a standard exception and something else entirely.
      if (m_throwOutputs-- % 2 == 0) throw 42;
      throw std::runtime_error("window gone");
    }
    m_events.outputs.push_back(picture.size());
    m_events.lastOutput = picture.clone();
  }
  void SetOutputImageSize(int width, int height) override {
    std::lock_guard lock(m_mutex);
    m_events.outputImageSizes.emplace_back(width, height);
  }
  void MediaSizeChanged(int widthMm, int heightMm) override {
    std::lock_guard lock(m_mutex);
    m_events.mediaSizes.emplace_back(widthMm, heightMm);
  }
  void HostGone() override {
    std::lock_guard lock(m_mutex);
    ++m_events.hostGone;
  }
  void ThrowOnNextOutputs(int count) {
    std::lock_guard lock(m_mutex);
    m_throwOutputs = count;
  }
  void MarkSecurePoints(cv::Mat& frame) override {
    std::lock_guard lock(m_mutex);
    m_events.marked.push_back(Tag(frame));
    frame.at<cv::Vec3b>(0, 1) = kMark;
  }

  SEvents Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
  }
  void Clear() {
    std::lock_guard lock(m_mutex);
    m_events = SEvents{};
  }

 private:
  std::atomic<int> m_tab{0};
  mutable std::mutex m_mutex;
  SEvents m_events;
  int m_throwOutputs = 0;
};

bool SamePixels(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Camera 0 is the main camera on tab 0; cameras 1 and 2 are previews on tabs 1 and 2. The test
// plays the host: it creates the block, names the folder and sets the media size.
class ColorFrameConsumerTest : public ::testing::Test {
 protected:
  ColorFrameConsumerTest() : m_cameras(m_engine), m_consumer(m_rect, m_view, nullptr) {}

  void SetUp() override {
    m_name = veldrin_test::UniqueInstanceName("cfc");

    ASSERT_EQ(m_cameras.GetCount(), 3);
    m_cameras.SetCameraAt(kMainCamera, 0, veldrin::kCamStateMain, &m_engine, Window(kMainCamera),
                          veldrin::kCamKindColor);
    m_cameras.SetCameraAt(kPreviewCamera, 1, veldrin::kCamStatePreview, nullptr,
                          Window(kPreviewCamera), veldrin::kCamKindColor);
    m_cameras.SetCameraAt(kOtherPreviewCamera, 2, veldrin::kCamStatePreview, nullptr,
                          Window(kOtherPreviewCamera), veldrin::kCamKindColor);

    m_rect.ApplyCameraSettings(640, 480);
    m_rect.SetDefaultCorners();
    m_consumer.SetCameraList(&m_cameras);
    m_consumer.SetStatusModel(&m_status);
    m_consumer.SetQRDetectionEnabled(false);
  }

  void TearDown() override {
    m_consumer.StopQRDetector();
    m_consumer.ReleaseStatusBlock();
    m_host.reset();
  }

  // The windows are opaque to the consumer; distinct addresses are all a test needs.
  CImageWindow* Window(int camera) {
    return reinterpret_cast<CImageWindow*>(&m_windowTokens[camera]);
  }

  // Host first, then the tool's attachment, then the media size: attaching resets the media size.
  void AttachHost(int heightMm, int widthMm) {
    m_host = std::make_unique<CSharedStatusBlock>(m_name, 1);
    ASSERT_TRUE(m_host->IsOpen());
    ASSERT_TRUE(m_host->SetFolder(m_folder.string() + "/"));
    m_consumer.SetStatusBlock(std::make_unique<CSharedStatusBlock>(m_name, 0));
    ASSERT_TRUE(m_consumer.HasStatusBlock());
    ASSERT_TRUE(m_host->SetMediaSize(heightMm, widthMm));
  }

  fs::path ImagePath() const { return m_folder / (m_name + ".bmp"); }

  void Deliver(int camera, int width, int height, int tag) {
    cv::Mat frame = MakeFrame(width, height, tag);
    m_consumer.OnVideoFrame(camera, &frame);
  }

  CFakeEngine m_engine;
  CCameraList m_cameras;
  int m_windowTokens[3] = {};
  CRectification m_rect;
  CRecordingView m_view;
  std::unique_ptr<CSharedStatusBlock> m_host;
  CStatusModel m_status;
  CColorFrameConsumer m_consumer;
  std::string m_name;
  veldrin_test::CScratchDir m_scratch{"cfc"};
  const fs::path m_folder = m_scratch.Path();
};

TEST_F(ColorFrameConsumerTest, DivisorCountsCallsFromAllCamerasTogether) {
  AttachHost(700, 1000);
  m_consumer.SetFrameDivisor(3);
  // The preview camera is on show: its passing frames are visible too, and the main camera's
  // still rectify and publish; only the input picture is left alone.
  m_view.SelectTab(1);
  // Calls 1..12 alternate main (640 wide) and preview (320 wide); every third call goes on.
  for (int call = 1; call <= 12; ++call) {
    const bool main = call % 2 == 1;
    Deliver(main ? kMainCamera : kPreviewCamera, main ? 640 : 320, main ? 480 : 240, call);
  }
  auto events = m_view.Events();
  EXPECT_EQ(events.marked, (std::vector<int>{3, 9}));
  EXPECT_EQ(events.outputs.size(), 2u);
  EXPECT_TRUE(events.inputs.empty());
  EXPECT_EQ(CentreTag(ReadPublishedPicture(ImagePath())), 3);
  EXPECT_EQ(events.windowFrames, (std::vector<std::pair<CImageWindow*, int>>{
                                     {Window(kPreviewCamera), 6}, {Window(kPreviewCamera), 12}}));
  EXPECT_EQ(m_consumer.LastColorWidth(), 320);

  // Call 13 (main) only counts: the last size stays that of the last call that went on.
  Deliver(kMainCamera, 640, 480, 13);
  EXPECT_EQ(m_consumer.LastColorWidth(), 320);
  EXPECT_EQ(m_view.Events().marked.size(), 2u);

  // 0 and 1 let every call through.
  for (int divisor : {0, 1}) {
    m_consumer.SetFrameDivisor(divisor);
    m_view.Clear();
    for (int call = 1; call <= 4; ++call) Deliver(kMainCamera, 640, 480, call);
    EXPECT_EQ(m_view.Events().marked, (std::vector<int>{1, 2, 3, 4})) << "divisor " << divisor;
  }
}

TEST_F(ColorFrameConsumerTest, MainFrameRunsThePipelineInOrder) {
  AttachHost(700, 1000);
  cv::Mat frame = MakeFrame(640, 480, 10);
  m_consumer.OnVideoFrame(kMainCamera, &frame);

  const auto events = m_view.Events();
  ASSERT_EQ(events.inputs, std::vector<int>{10});
  EXPECT_FALSE(events.inputWasMarked[0]) << "the input picture shows the frame as captured";
  EXPECT_EQ(events.marked, std::vector<int>{10});
  ASSERT_EQ(events.outputs, std::vector<cv::Size>{cv::Size(640, 448)});
  EXPECT_EQ(CentreTag(events.lastOutput), 10);
  EXPECT_TRUE(m_host->IsImageReady());
  EXPECT_TRUE(SamePixels(ReadPublishedPicture(ImagePath()), events.lastOutput));

  // The last frame is a deep copy taken after marking: the engine's buffer is reused.
  frame.setTo(cv::Scalar::all(99));
  const cv::Mat last = m_consumer.GetLastFrame();
  EXPECT_EQ(Tag(last), 10);
  EXPECT_EQ(last.at<cv::Vec3b>(0, 1), kMark);

  // No new file until the host took the picture; the output window keeps updating.
  Deliver(kMainCamera, 640, 480, 11);
  EXPECT_EQ(CentreTag(m_view.Events().lastOutput), 11);
  EXPECT_EQ(CentreTag(ReadPublishedPicture(ImagePath())), 10) << "the waiting picture was replaced";
}

// With a lens for the camera and size, the input picture and the kept frame are corrected (the
// corners are placed on them); the frame as captured is kept only while asked for, for measuring
// the lens.
TEST_F(ColorFrameConsumerTest, LensCorrectedFrameIsShownAndKept) {
  AttachHost(480, 640);
  SLensModel lens;
  lens.size = cv::Size(640, 480);
  lens.matrix = cv::Matx33d(560, 0, 320, 0, 560, 240, 0, 0, 1);
  lens.distortion = cv::Vec<double, 5>(-0.25, 0, 0, 0, 0);
  m_rect.SetLens(std::make_shared<SLensModel>(lens));
  cv::Mat frame(480, 640, CV_8UC3);
  cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(256));
  cv::Mat corrected;
  ASSERT_TRUE(m_rect.CorrectLens(frame, corrected));

  m_consumer.OnVideoFrame(kMainCamera, &frame);
  EXPECT_TRUE(SamePixels(m_consumer.GetLastFrame(), corrected));
  EXPECT_TRUE(m_consumer.GetLastRawFrame().empty());
  m_consumer.SetKeepRawFrame(true);
  m_consumer.OnVideoFrame(kMainCamera, &frame);
  EXPECT_TRUE(SamePixels(m_consumer.GetLastRawFrame(), frame));
  m_consumer.SetKeepRawFrame(false);
  EXPECT_TRUE(m_consumer.GetLastRawFrame().empty());

  // Another frame size: the lens does not apply, the frame is taken as it is.
  cv::Mat small(240, 320, CV_8UC3);
  cv::randu(small, cv::Scalar::all(0), cv::Scalar::all(256));
  m_consumer.OnVideoFrame(kMainCamera, &small);
  EXPECT_TRUE(SamePixels(m_consumer.GetLastFrame(), small));
}

TEST_F(ColorFrameConsumerTest, PreviewFramesGoToTheirOwnTabOnly) {
  AttachHost(700, 1000);
  Deliver(kMainCamera, 640, 480, 10);  // publishes and takes the media size
  const cv::Mat lastBefore = m_consumer.GetLastFrame();
  EXPECT_EQ(m_host->AcknowledgeImage(), 1);
  EXPECT_EQ(m_host->SetMediaSize(1000, 500), 1);  // a change only the main camera may pick up
  m_view.Clear();

  // Tab 0 on show: both previews are dropped without display.
  Deliver(kPreviewCamera, 320, 240, 30);
  Deliver(kOtherPreviewCamera, 320, 240, 31);
  EXPECT_TRUE(m_view.Events().Empty());

  // Tab 1 on show: its camera's frame reaches its window and nothing else; the other preview
  // is still dropped.
  m_view.SelectTab(1);
  Deliver(kPreviewCamera, 320, 240, 40);
  Deliver(kOtherPreviewCamera, 320, 240, 41);
  const auto events = m_view.Events();
  EXPECT_EQ(events.windowFrames,
            (std::vector<std::pair<CImageWindow*, int>>{{Window(kPreviewCamera), 40}}));
  CRecordingView::SEvents rest = events;
  rest.windowFrames.clear();
  EXPECT_TRUE(rest.Empty()) << "no input, output, marking, media or host handling for previews";
  EXPECT_FALSE(m_host->IsImageReady()) << "a preview frame was published";
  EXPECT_EQ(Tag(m_consumer.GetLastFrame()), Tag(lastBefore));
  EXPECT_EQ(m_consumer.LastColorWidth(), 320);
}

TEST_F(ColorFrameConsumerTest, MediaSizeChangeResizesTheOutput) {
  AttachHost(700, 1000);  // 1000 mm wide, 700 mm high: landscape
  Deliver(kMainCamera, 640, 480, 10);
  auto events = m_view.Events();
  EXPECT_EQ(events.mediaSizes, std::vector<cv::Size>{cv::Size(1000, 700)});
  EXPECT_EQ(events.outputImageSizes, std::vector<cv::Size>{cv::Size(640, 448)});

  // Unchanged: nothing to redo.
  EXPECT_EQ(m_host->AcknowledgeImage(), 1);
  Deliver(kMainCamera, 640, 480, 11);
  events = m_view.Events();
  EXPECT_EQ(events.mediaSizes.size(), 1u);
  EXPECT_EQ(events.outputImageSizes.size(), 1u);

  // Portrait: the height is the limit; the frame that saw the change is already warped to it.
  EXPECT_EQ(m_host->AcknowledgeImage(), 1);
  EXPECT_EQ(m_host->SetMediaSize(1000, 500), 1);
  Deliver(kMainCamera, 640, 480, 12);
  events = m_view.Events();
  EXPECT_EQ(events.mediaSizes.back(), cv::Size(500, 1000));
  EXPECT_EQ(events.outputImageSizes.back(), cv::Size(240, 480));
  EXPECT_EQ(events.outputs.back(), cv::Size(240, 480));
  EXPECT_EQ(ReadPublishedPicture(ImagePath()).size(), cv::Size(240, 480));
}

TEST_F(ColorFrameConsumerTest, HostGoneIsReportedOnceAndPublishingStops) {
  AttachHost(700, 1000);
  Deliver(kMainCamera, 640, 480, 10);
  ASSERT_TRUE(fs::exists(ImagePath()));
  EXPECT_EQ(m_host->AcknowledgeImage(), 1);  // the tool would write again if it still had the block
  fs::remove(ImagePath());
  m_host.reset();  // the host's count drops to 0

  for (int tag = 20; tag <= 40; tag += 10) Deliver(kMainCamera, 640, 480, tag);
  const auto events = m_view.Events();
  EXPECT_EQ(events.hostGone, 1);
  EXPECT_FALSE(m_consumer.HasStatusBlock());
  // The settings are still written to the folder the host last named.
  EXPECT_EQ(m_consumer.GetFolder(), m_folder.string() + "/");
  EXPECT_FALSE(fs::exists(ImagePath())) << "published after the host left";
  // The pictures still follow the camera until the dialog has closed.
  EXPECT_EQ(events.outputs.size(), 4u);
  EXPECT_EQ(Tag(m_consumer.GetLastFrame()), 40);

  // A block no host created is no host either, and a host that never was cannot leave.
  m_consumer.SetStatusBlock(std::make_unique<CSharedStatusBlock>(m_name + "-absent", 0));
  EXPECT_FALSE(m_consumer.HasStatusBlock());
  Deliver(kMainCamera, 640, 480, 50);
  EXPECT_EQ(m_view.Events().hostGone, 1);
  EXPECT_EQ(m_view.Events().mediaSizes, events.mediaSizes);
  EXPECT_EQ(m_view.Events().outputs.size(), 5u);
}

// A frame whose processing throws must not end the capture thread (and with it the process):
// the failure is counted, reported once, and the next frame goes through.
TEST_F(ColorFrameConsumerTest, AFrameThatThrowsIsCountedReportedOnceAndTheNextIsTried) {
  AttachHost(700, 1000);
  m_view.ThrowOnNextOutputs(3);
  for (int tag = 10; tag <= 30; tag += 10) {
    EXPECT_NO_THROW(Deliver(kMainCamera, 640, 480, tag));
  }
  EXPECT_EQ(m_consumer.FrameFailureCount(), 3);
  const std::string reported = m_status.Problem();
  EXPECT_NE(reported.find("window gone"), std::string::npos) << reported;
  EXPECT_FALSE(fs::exists(ImagePath()));

  Deliver(kMainCamera, 640, 480, 40);
  EXPECT_EQ(m_consumer.FrameFailureCount(), 3);
  EXPECT_EQ(CentreTag(ReadPublishedPicture(ImagePath())), 40);
  EXPECT_EQ(m_status.Problem(), reported);
}

// The UI thread reads the folder at any time (settings, calibrations, closing); it must never wait
// for a capture thread's file I/O. A FIFO at the old fixed temporary name used to hold the
// capture thread in open() with the block's lock taken.
TEST_F(ColorFrameConsumerTest, ReadingTheFolderNeverWaitsForPublishing) {
  AttachHost(700, 1000);
  const std::string fifo = m_folder.string() + "/" + m_name + ".bmp.tmp";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto capture = std::async(std::launch::async, [&] { Deliver(kMainCamera, 640, 480, 10); });
  // The output is shown just before it is published: from then on the capture thread is in the
  // file I/O (or past it).
  ASSERT_TRUE(veldrin_test::WaitUntil([&] { return !m_view.Events().outputs.empty(); }));
  auto folder = std::async(std::launch::async, [&] { return m_consumer.GetFolder(); });
  const bool answered = folder.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  close(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));  // lets a writer stuck on the FIFO go
  ASSERT_TRUE(answered) << "the folder read waited for the capture thread";
  EXPECT_EQ(folder.get(), m_folder.string() + "/");
  capture.get();
  EXPECT_EQ(CentreTag(ReadPublishedPicture(ImagePath())), 10);
}

// A folder that cannot take the picture is said in the status line until a picture gets through.
TEST_F(ColorFrameConsumerTest, PublishingFailureIsReportedUntilItClears) {
  AttachHost(700, 1000);
  const fs::path gone = m_folder / "gone";
  ASSERT_TRUE(m_host->SetFolder(gone.string() + "/"));
  Deliver(kMainCamera, 640, 480, 10);
  const std::string reported = m_status.Problem();
  EXPECT_NE(reported.find(gone.string()), std::string::npos) << reported;
  EXPECT_FALSE(m_host->IsImageReady());

  fs::create_directory(gone);
  Deliver(kMainCamera, 640, 480, 20);
  EXPECT_TRUE(m_host->IsImageReady());
  EXPECT_EQ(m_status.Problem(), "");
}

TEST_F(ColorFrameConsumerTest, EmptyFramesOnlyUpdateTheLastSizeAndUnknownCamerasAreDropped) {
  AttachHost(700, 1000);
  Deliver(kMainCamera, 640, 480, 10);
  EXPECT_EQ(m_host->AcknowledgeImage(), 1);
  EXPECT_EQ(m_host->SetMediaSize(1000, 500), 1);
  m_view.Clear();

  cv::Mat empty;
  m_consumer.OnVideoFrame(kMainCamera, &empty);
  EXPECT_EQ(m_consumer.LastColorWidth(), 0);
  EXPECT_EQ(m_consumer.LastColorHeight(), 0);
  auto events = m_view.Events();
  // The host watch and the media size still run for the main camera ...
  EXPECT_EQ(events.mediaSizes, std::vector<cv::Size>{cv::Size(500, 1000)});
  // ... but nothing is shown, marked, published or kept.
  EXPECT_TRUE(events.inputs.empty());
  EXPECT_TRUE(events.marked.empty());
  EXPECT_TRUE(events.outputs.empty());
  EXPECT_FALSE(m_host->IsImageReady());
  EXPECT_EQ(Tag(m_consumer.GetLastFrame()), 10);

  m_view.SelectTab(1);
  m_consumer.OnVideoFrame(kPreviewCamera, &empty);
  EXPECT_TRUE(m_view.Events().windowFrames.empty());

  // Frames of unknown cameras are dropped; without a camera list nothing is routed at all.
  m_view.Clear();
  for (int camera : {3, -1, DEPTH_CAMERA_INDEX}) Deliver(camera, 640, 480, 20);
  CColorFrameConsumer bare(m_rect, m_view, nullptr);
  bare.SetQRDetectionEnabled(false);
  cv::Mat frame = MakeFrame(640, 480, 30);
  bare.OnVideoFrame(kMainCamera, &frame);
  EXPECT_TRUE(m_view.Events().Empty());
  EXPECT_FALSE(m_host->IsImageReady());
  EXPECT_EQ(Tag(m_consumer.GetLastFrame()), 10);
}

// Two capture threads deliver while the UI thread moves the corners and the host takes the
// pictures. The one divisor counter must lose no call, and every warp must see a whole set of
// corners (run under TSan for the data races).
TEST_F(ColorFrameConsumerTest, ConcurrentCamerasAndCornerChanges) {
  AttachHost(700, 1000);
  m_consumer.SetFrameDivisor(2);
  m_view.SelectTab(1);
  constexpr int kFramesPerCamera = 300;

  std::atomic<bool> done{false};
  std::thread ui([&] {
    const std::vector<cv::Point2f> a{{100, 80}, {540, 90}, {530, 400}, {110, 390}};
    const std::vector<cv::Point2f> b{{160, 120}, {480, 120}, {480, 360}, {160, 360}};
    for (int i = 0; !done.load(); ++i) {
      EXPECT_TRUE(m_rect.SetCorners(i % 2 ? a : b));
      (void)m_consumer.GetLastFrame();
      (void)m_consumer.GetFolder();
    }
  });
  std::thread host([&] {
    while (!done.load()) {
      EXPECT_EQ(m_host->AcknowledgeImage(), 1);
      std::this_thread::yield();
    }
  });
  auto capture = [&](int camera) {
    return std::thread([this, camera] {
      for (int i = 0; i < kFramesPerCamera; ++i) Deliver(camera, 640, 480, 1 + i % 200);
    });
  };
  std::thread mainCamera = capture(kMainCamera);
  std::thread previewCamera = capture(kPreviewCamera);
  mainCamera.join();
  previewCamera.join();
  done.store(true);
  ui.join();
  host.join();

  const auto events = m_view.Events();
  EXPECT_EQ(events.marked.size() + events.windowFrames.size(),
            static_cast<std::size_t>(kFramesPerCamera));  // 2 * 300 calls, divisor 2
  for (const cv::Size& size : events.outputs) EXPECT_EQ(size, cv::Size(640, 448));
  EXPECT_EQ(events.outputs.size(), events.marked.size());
  EXPECT_EQ(events.hostGone, 0);
  // A warp with a uniform frame is uniform inside the sheet whichever corners it used.
  EXPECT_GT(CentreTag(events.lastOutput), 0);
  EXPECT_EQ(ReadPublishedPicture(ImagePath()).size(), cv::Size(640, 448));
}

#ifdef VELDRIN_TEST_HAVE_QRENCODE
// The detector is kicked with main-camera frames only. A preview frame that reached it first
// would be scanned first, so its text would come up before the main camera's.
TEST_F(ColorFrameConsumerTest, OnlyMainCameraFramesAreScannedForCodes) {
  auto boxes = std::make_shared<veldrin::CScriptedMessageBox>();
  CScopedMessageBoxService scoped(boxes);
  m_consumer.SetQRDetectionEnabled(true);
  m_view.SelectTab(1);

  cv::Mat preview = veldrin::RenderQRScene({640, 480}, "preview camera");
  m_consumer.OnVideoFrame(kPreviewCamera, &preview);
  const cv::Mat main = veldrin::RenderQRScene({640, 480}, "main camera");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (boxes->Calls().empty() && std::chrono::steady_clock::now() < deadline) {
    cv::Mat frame = main.clone();
    m_consumer.OnVideoFrame(kMainCamera, &frame);
    boxes->WaitForCalls(1, std::chrono::milliseconds(50));
  }
  m_consumer.StopQRDetector();
  const auto texts = boxes->Texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front(), "main camera");
}
#endif

}  // namespace
