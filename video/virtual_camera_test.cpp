#include "video/virtual_camera.h"

#include <gtest/gtest.h>
#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <filesystem>

#include "testing/scratch_dir.h"
#include "testing/test_files.h"

namespace fs = std::filesystem;

namespace {

class VirtualSourceTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (m_dir / name).string(); }
  static cv::Mat Flat(cv::Size size, int value) {
    return cv::Mat(size, CV_8UC3, cv::Scalar(value, std::floor(value / 2.0), 255 - value));
  }
  static double Blue(const cv::Mat& frame) { return cv::mean(frame)[0]; }

  veldrin_test::CScratchDir m_scratch{"virtual_camera"};
  const fs::path m_dir = m_scratch.Path();
};

TEST_F(VirtualSourceTest, ImageFileDeliversListedSizesAndOwnCopies) {
  cv::Mat picture = Flat(cv::Size(320, 200), 100);
  ASSERT_TRUE(cv::imwrite(Path("still.png"), picture));
  std::unique_ptr<CFrameSource> source = veldrin::OpenVirtualSource(Path("still.png"));
  ASSERT_TRUE(source->IsOpened());
  EXPECT_EQ(source->GetSize(), cv::Size(320, 200));

  cv::Mat frame;
  source->Read(frame);
  ASSERT_EQ(frame.size(), cv::Size(320, 200));
  EXPECT_EQ(frame.type(), CV_8UC3);
  frame.setTo(cv::Scalar::all(0));  // a listener drawing on its frame
  source->Read(frame);
  EXPECT_NEAR(Blue(frame), 100, 0.5);

  source->RequestSize(1280, 720);
  EXPECT_EQ(source->GetSize(), cv::Size(1280, 720));
  source->Read(frame);
  EXPECT_EQ(frame.size(), cv::Size(1280, 720));

  source->RequestSize(800, 600);  // not listed: the device picks its native size
  EXPECT_EQ(source->GetSize(), cv::Size(320, 200));

  source->Release();
  EXPECT_FALSE(source->IsOpened());
  source->Read(frame);
  EXPECT_TRUE(frame.empty());
}

TEST_F(VirtualSourceTest, ImageSequenceStartsAtFirstFileAndLoops) {
  for (int i = 1; i <= 3; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "seq_%03d.png", i);
    ASSERT_TRUE(cv::imwrite(Path(name), Flat(cv::Size(64, 48), 40 * i)));
  }
  std::unique_ptr<CFrameSource> source = veldrin::OpenVirtualSource(Path("seq_%03d.png"));
  ASSERT_TRUE(source->IsOpened());
  EXPECT_EQ(source->GetSize(), cv::Size(64, 48));
  cv::Mat frame;
  for (int expected : {40, 80, 120, 40, 80, 120, 40}) {
    source->Read(frame);
    ASSERT_FALSE(frame.empty());
    EXPECT_NEAR(Blue(frame), expected, 0.5);
  }
}

TEST_F(VirtualSourceTest, VideoFileLoops) {
  const std::string path = Path("clip.avi");
  {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10,
                           cv::Size(160, 120));
    ASSERT_TRUE(writer.isOpened());
    for (int i = 0; i < 4; ++i) writer << Flat(cv::Size(160, 120), 30 + 50 * i);
  }
  std::unique_ptr<CFrameSource> source = veldrin::OpenVirtualSource(path);
  ASSERT_TRUE(source->IsOpened());
  EXPECT_EQ(source->GetSize(), cv::Size(160, 120));
  source->RequestSize(640, 480);
  cv::Mat frame;
  for (int i = 0; i < 10; ++i) {
    source->Read(frame);
    ASSERT_EQ(frame.size(), cv::Size(640, 480)) << "frame " << i;
    EXPECT_NEAR(Blue(frame), 30 + 50 * (i % 4), 4) << "frame " << i;
  }
}

TEST_F(VirtualSourceTest, SceneIsLiveAndUnknownScenesAreUnavailable) {
  std::unique_ptr<CFrameSource> scene = veldrin::OpenVirtualSource("scene:table");
  ASSERT_TRUE(scene->IsOpened());
  cv::Mat first, second;
  scene->Read(first);
  scene->Read(second);
  ASSERT_EQ(first.size(), scene->GetSize());
  EXPECT_GT(cv::norm(first, second, cv::NORM_L1), 0);

  EXPECT_FALSE(veldrin::OpenVirtualSource("scene:kitchen")->IsOpened());
  EXPECT_FALSE(veldrin::OpenVirtualSource("scene:")->IsOpened());
}

TEST_F(VirtualSourceTest, UnreadableSourcesAreClosed) {
  veldrin_test::WriteFileBytes(Path("not_an_image.png"), "plain text, not a picture");
  veldrin_test::WriteFileBytes(Path("empty.avi"), "");
  for (const std::string& source :
       {Path("missing.png"), Path("not_an_image.png"), Path("empty.avi"), Path("none_%04d.png"),
        m_dir.string(), std::string("%s%n"), std::string("")}) {
    std::unique_ptr<CFrameSource> opened = veldrin::OpenVirtualSource(source);
    EXPECT_FALSE(opened->IsOpened()) << source;
    cv::Mat frame(4, 4, CV_8UC3);
    opened->Read(frame);
    EXPECT_TRUE(frame.empty()) << source;
  }
}

TEST(VirtualCameraListTest, ParsesEntriesAndRejectsMalformedOnes) {
  std::vector<std::string> rejected;
  const auto entries = veldrin::ParseVirtualCameras(
      "Front=scene:table;;no separator;Back=a=b.png;Empty=;=scene:table;", rejected);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "Front");
  EXPECT_EQ(entries[0].source, "scene:table");
  EXPECT_EQ(entries[1].name, "Back");
  EXPECT_EQ(entries[1].source, "a=b.png");
  EXPECT_EQ(entries[2].name, "");
  ASSERT_EQ(rejected.size(), 2u);
  EXPECT_NE(rejected[0].find("no separator"), std::string::npos);
  EXPECT_NE(rejected[1].find("Empty="), std::string::npos);
}

TEST(VirtualCameraListTest, ResolutionsAndPatterns) {
  using Sizes = std::vector<cv::Point>;
  EXPECT_EQ(veldrin::VirtualResolutions(cv::Size(800, 600)),
            (Sizes{{800, 600}, {640, 480}, {1280, 720}, {1920, 1080}}));
  EXPECT_EQ(veldrin::VirtualResolutions(cv::Size(1280, 720)),
            (Sizes{{1280, 720}, {640, 480}, {1920, 1080}}));

  for (const char* good : {"img_%03d.png", "%d.jpg", "a%%b_%5d.png"}) {
    EXPECT_TRUE(veldrin::IsSequencePattern(good)) << good;
  }
  for (const char* bad :
       {"img.png", "%s.png", "%d_%d.png", "%n", "%03", "%x.png", "100%.png", "%99999999999d.png"}) {
    EXPECT_FALSE(veldrin::IsSequencePattern(bad)) << bad;
  }
}

}  // namespace
