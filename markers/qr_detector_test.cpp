#include "markers/qr_detector.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/qr_test_pattern.h"
#include "testing/scripted_message_box.h"
#include "testing/test_files.h"
#include "testing/waiting.h"

namespace {

using namespace std::chrono_literals;
using veldrin::CScriptedMessageBox;
using veldrin::RenderQRCode;
using veldrin::ScanQRCodes;

class CNullListener : public CQRDetectorListener {
 public:
  void OnQRCodeDetected(std::string /*text*/) override { ++m_calls; }
  int m_calls = 0;
};

// A white camera-sized frame carrying the given codes side by side.
cv::Mat FrameWithCodes(const std::vector<std::string>& texts, cv::Size size = {640, 480}) {
  cv::Mat frame(size, CV_8UC3, cv::Scalar::all(255));
  int x = 10;
  for (const std::string& text : texts) {
    const cv::Mat code = RenderQRCode(text, 5);
    veldrin::PasteQRCode(frame, code, {x, 40});
    x += code.cols + 10;
  }
  return frame;
}

std::vector<std::string> Sorted(std::vector<std::string> texts) {
  std::sort(texts.begin(), texts.end());
  return texts;
}

bool WaitIdle(const CQRDetector& detector, std::chrono::milliseconds timeout = 10s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (detector.IsBusy()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

using veldrin_test::ThreadCount;

// Each test's boxes are recorded by a scripted service of its own.
class QRDetectorTest : public ::testing::Test {
 protected:
  std::shared_ptr<CScriptedMessageBox> m_box = std::make_shared<CScriptedMessageBox>();
  CScopedMessageBoxService m_scope{m_box};
};

// None, one, two codes; the data bytes are kept as UTF-8.
TEST(ScanQRCodes, FindsNoneOneOrTwoCodes) {
  cv::Mat noise(480, 640, CV_8UC3);
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(256));
  EXPECT_TRUE(ScanQRCodes(noise).empty());
  for (const std::vector<std::string>& texts : {std::vector<std::string>{},
                                                {"MEDIA A4 210x297"},
                                                {"Größe 210×297 mm"},
                                                {"left code", "right code"}}) {
    EXPECT_EQ(Sorted(ScanQRCodes(FrameWithCodes(texts))), texts) << texts.size();
  }
}

TEST(ScanQRCodes, AcceptsGreyBgraAndSubPicturesAndRefusesOtherFormats) {
  const cv::Mat bgr = FrameWithCodes({"format"});
  cv::Mat grey, bgra;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  const std::vector<std::string> expected{"format"};
  EXPECT_EQ(ScanQRCodes(grey), expected);
  EXPECT_EQ(ScanQRCodes(bgra), expected);
  // Rows of a sub-picture are not contiguous in memory.
  EXPECT_EQ(ScanQRCodes(bgr(cv::Rect(0, 0, 400, 400))), expected);
  EXPECT_EQ(ScanQRCodes(grey(cv::Rect(0, 0, 400, 400))), expected);

  cv::Mat wide;
  bgr.convertTo(wide, CV_16UC3, 256);
  EXPECT_TRUE(ScanQRCodes(wide).empty());
  EXPECT_TRUE(ScanQRCodes(cv::Mat()).empty());
}

TEST(ScanQRCodes, ReadsACodePrintedOnASheetSeenAtAnAngle) {
  for (const cv::Size size : {cv::Size(640, 480), cv::Size(1920, 1080)}) {
    const cv::Mat scene = veldrin::RenderQRScene(size, "SHEET 0042 / 1000x700", 7);
    EXPECT_EQ(ScanQRCodes(scene), std::vector<std::string>{"SHEET 0042 / 1000x700"})
        << size.width << "x" << size.height;
  }
}

TEST_F(QRDetectorTest, ShowsEachDecodedTextInAPlainBoxFromItsOwnThread) {
  CNullListener listener;
  CQRDetector detector(&listener, CQRDetector::kEveryFrame);

  const cv::Mat frame = FrameWithCodes({"first", "second"});
  detector.Kick(&frame);
  ASSERT_TRUE(WaitIdle(detector));
  const auto calls = m_box->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(Sorted(m_box->Texts()), (std::vector<std::string>{"first", "second"}));
  for (const auto& call : calls) {
    EXPECT_EQ(call.type, MB_OK);
    EXPECT_NE(call.thread, gettid());
  }
  EXPECT_EQ(listener.m_calls, 0);  // texts reach the operator through the boxes only
}

TEST_F(QRDetectorTest, FrameWithoutCodeShowsNothingAndLeavesTheDetectorIdle) {
  CQRDetector detector(nullptr, CQRDetector::kEveryFrame);
  const cv::Mat blank = FrameWithCodes({});
  for (int i = 0; i < 5; ++i) {
    detector.Kick(&blank);
    ASSERT_TRUE(WaitIdle(detector));
  }
  const cv::Mat empty;
  detector.Kick(&empty);
  detector.Kick(nullptr);
  EXPECT_FALSE(detector.IsBusy());
  EXPECT_TRUE(m_box->Calls().empty());
}

// Boxes come one after the other; while any is open, frames are passed over, and the first
// frame after the last box closes starts the next scan.
TEST_F(QRDetectorTest, FramesArrivingWhileBoxesAreOpenArePassedOver) {
  m_box->SetHold(true);
  CQRDetector detector(nullptr, CQRDetector::kEveryFrame);

  const cv::Mat two = FrameWithCodes({"one", "two"});
  const cv::Mat other = FrameWithCodes({"other"});
  detector.Kick(&two);
  ASSERT_TRUE(m_box->WaitForOpen(1, 10s));
  for (int i = 0; i < 20; ++i) detector.Kick(&other);
  // The second box waits for the first.
  EXPECT_TRUE(veldrin_test::NothingHappensFor(30ms, [&] { return m_box->Calls().size() > 1; }));
  EXPECT_TRUE(detector.IsBusy());

  m_box->ReleaseOne();
  ASSERT_TRUE(m_box->WaitForCalls(2, 10s));
  for (int i = 0; i < 20; ++i) detector.Kick(&other);
  EXPECT_TRUE(detector.IsBusy());
  m_box->ReleaseOne();
  ASSERT_TRUE(WaitIdle(detector));
  EXPECT_EQ(m_box->Calls().size(), 2u);

  detector.Kick(&other);
  ASSERT_TRUE(m_box->WaitForCalls(3, 10s));
  EXPECT_EQ(m_box->Calls()[2].text, "other");
  m_box->SetHold(false);
  ASSERT_TRUE(WaitIdle(detector));
}

// Every thread that ever ran a colour conversion keeps data in the image library, so scans must
// reuse one thread rather than start one each.
TEST_F(QRDetectorTest, EveryScanRunsOnTheSameLongLivedThread) {
  const int threadsBefore = ThreadCount();
  {
    CQRDetector detector(nullptr, 1);
    for (int i = 0; i < 20; ++i) {
      // A new text each time: one that stays in view is shown only once.
      const cv::Mat frame = FrameWithCodes({"scan " + std::to_string(i)});
      detector.Kick(&frame);
      ASSERT_TRUE(WaitIdle(detector));
    }
    std::set<pid_t> threads;
    for (const auto& call : m_box->Calls()) threads.insert(call.thread);
    EXPECT_EQ(m_box->Calls().size(), 20u);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(ThreadCount(), threadsBefore + 1);
  }
  EXPECT_EQ(ThreadCount(), threadsBefore);
}

TEST_F(QRDetectorTest, DivisorThinsTheFramesThatMayStartAScan) {
  CQRDetector detector(nullptr, 3);
  for (int i = 1; i <= 9; ++i) {
    // A new text each time: one that stays in view is shown only once.
    const cv::Mat frame = FrameWithCodes({"thin " + std::to_string(i)});
    detector.Kick(&frame);
    ASSERT_TRUE(WaitIdle(detector));
    EXPECT_EQ(m_box->Calls().size(), static_cast<std::size_t>(i / 3)) << "kick " << i;
  }
}

TEST_F(QRDetectorTest, ACodeThatStaysInViewIsShownOnce) {
  CQRDetector detector(nullptr, CQRDetector::kEveryFrame);
  const cv::Mat frame = FrameWithCodes({"stays"});
  for (int i = 0; i < 10; ++i) {
    detector.Kick(&frame);
    ASSERT_TRUE(WaitIdle(detector));
  }
  EXPECT_EQ(m_box->Texts(), std::vector<std::string>{"stays"});
  const cv::Mat other = FrameWithCodes({"another"});
  detector.Kick(&other);
  ASSERT_TRUE(WaitIdle(detector));
  detector.Kick(&frame);
  ASSERT_TRUE(WaitIdle(detector));
  EXPECT_EQ(m_box->Texts(), (std::vector<std::string>{"stays", "another", "stays"}));
}

// Destroyed mid-scan: the scan is finished and joined, no box appears afterwards.
TEST_F(QRDetectorTest, DestroyingWhileScanningLeavesNoThreadAndNoLateBox) {
  const cv::Mat frame = FrameWithCodes({"a", "b"}, {1920, 1080});
  ScanQRCodes(frame);  // the image library's worker pool starts with the first large picture
  // Its threads come up in their own time: counted once they have.
  int threadsBefore = ThreadCount();
  while (!veldrin_test::NothingHappensFor(200ms, [&] { return ThreadCount() != threadsBefore; })) {
    threadsBefore = ThreadCount();
  }
  for (int round = 0; round < 10; ++round) {
    std::size_t shownAtDestruction = 0;
    {
      CQRDetector detector(nullptr, CQRDetector::kEveryFrame);
      detector.Kick(&frame);
      std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
    }
    shownAtDestruction = m_box->Calls().size();
    EXPECT_EQ(ThreadCount(), threadsBefore);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(m_box->Calls().size(), shownAtDestruction);
    m_box = std::make_shared<CScriptedMessageBox>();
    veldrin::SetMessageBoxService(m_box);
  }
}

// Destroyed while a box is open: destruction returns at once, the open box stays until the
// operator closes it, the remaining texts are dropped and the scan thread then ends.
TEST_F(QRDetectorTest, DestroyingWhileABoxIsOpenNeitherHangsNorOutlivesTheBox) {
  const int threadsBefore = ThreadCount();
  m_box->SetHold(true);
  const cv::Mat frame = FrameWithCodes({"one", "two"});
  {
    auto detector = std::make_unique<CQRDetector>(nullptr, CQRDetector::kEveryFrame);
    detector->Kick(&frame);
    ASSERT_TRUE(m_box->WaitForOpen(1, 10s));
    detector.reset();
  }
  EXPECT_EQ(m_box->OpenCount(), 1u);
  m_box->ReleaseOne();
  ASSERT_TRUE(m_box->WaitForOpen(0, 10s));
  for (int i = 0; i < 500 && ThreadCount() != threadsBefore; ++i) {
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(ThreadCount(), threadsBefore);
  EXPECT_EQ(m_box->Calls().size(), 1u);
}

// A capture thread kicking at full speed while boxes come and go; run under the sanitizers.
TEST_F(QRDetectorTest, KicksFromACaptureThreadRaceCleanlyWithScans) {
  const cv::Mat frames[] = {FrameWithCodes({"x"}), FrameWithCodes({}), FrameWithCodes({"y", "z"})};
  for (int round = 0; round < 5; ++round) {
    CQRDetector detector(nullptr, CQRDetector::kEveryFrame);
    std::thread capture([&] {
      for (int i = 0; i < 300; ++i) {
        detector.Kick(&frames[i % 3]);
        std::this_thread::sleep_for(100us);
      }
    });
    capture.join();
  }
  for (const std::string& text : m_box->Texts()) {
    EXPECT_TRUE(text == "x" || text == "y" || text == "z") << text;
  }
}

}  // namespace
