// The main camera without the window: the switch's fall-back and the configuration it keeps.
#include "workstation/camera_switcher.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <filesystem>

#include "resources/string_table.h"
#include "testing/scratch_dir.h"
#include "testing/scripted_message_box.h"
#include "video/video_engine.h"
#include "workstation/camera_list.h"
#include "workstation/camera_settings.h"

namespace {

namespace fs = std::filesystem;

class CIgnoreFrames : public CKivVideoEngineListener {
  void OnVideoFrame(int, cv::Mat*) override {}
  void OnDepthFrame(int, cv::Mat*, cv::Mat*, const SVertex*) override {}
};

class CameraSwitcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const cv::Mat still(480, 640, CV_8UC3, cv::Scalar(40, 90, 160));
    for (const char* name : {"a.png", "b.png"}) cv::imwrite((m_dir / name).string(), still);
    ::setenv("VELDRIN_CAMERAS",
             ("Still A=" + (m_dir / "a.png").string() + ";Still B=" + (m_dir / "b.png").string())
                 .c_str(),
             1);
  }
  void TearDown() override { ::unsetenv("VELDRIN_CAMERAS"); }

  veldrin_test::CScratchDir m_scratch{"switcher"};
  const fs::path m_dir = m_scratch.Path();
  const std::string m_folder = m_dir.string() + "/";
  std::shared_ptr<veldrin::CScriptedMessageBox> m_boxes =
      std::make_shared<veldrin::CScriptedMessageBox>();
  CScopedMessageBoxService m_scope{m_boxes};
  CIgnoreFrames m_listener;
  CCameraSwitcher m_cameras{[this] { return m_folder; }, "inst", m_listener};
};

TEST_F(CameraSwitcherTest, ACameraThatDoesNotStartLeavesThePreviousOneRunning) {
  ASSERT_TRUE(m_cameras.ListCameras());
  ASSERT_EQ(m_cameras.Switch(0, nullptr), CCameraSwitcher::ESwitch::kSwitched);
  EXPECT_EQ(m_cameras.Switch(7, nullptr), CCameraSwitcher::ESwitch::kUnchanged);
  EXPECT_EQ(m_cameras.Switch(-1, nullptr), CCameraSwitcher::ESwitch::kRefused);

  fs::remove(m_dir / "b.png");  // listed as available, gone by the time it is opened
  EXPECT_EQ(m_cameras.Switch(1, nullptr), CCameraSwitcher::ESwitch::kFailed);
  EXPECT_EQ(m_boxes->Texts(), std::vector<std::string>{
                                  veldrin::LoadStringResource(veldrin::IDS_UNABLE_TO_OPEN_CAMERA)});
  EXPECT_EQ(m_cameras.Current(), 0);
  EXPECT_EQ(m_cameras.List()->GetState(0), veldrin::kCamStateMain);
  EXPECT_EQ(m_cameras.List()->GetState(1), veldrin::kCamStateFree);
}

TEST_F(CameraSwitcherTest, ConfigurationIsWrittenAndAFailedWriteNamesTheFile) {
  ASSERT_TRUE(m_cameras.ListCameras());
  ASSERT_EQ(m_cameras.Switch(1, nullptr), CCameraSwitcher::ESwitch::kSwitched);
  std::string error;
  // A typed size names no entry: the size stays, the divisor is taken.
  ASSERT_TRUE(m_cameras.Configure(-1, 3, error));
  const CCameraSettings settings(m_folder, "inst");
  EXPECT_EQ(settings.ReadFrameDivisor(), 3);
  EXPECT_EQ(settings.ReadResX(), 640);
  ASSERT_TRUE(m_cameras.SaveCamera(error));
  EXPECT_EQ(settings.ReadCamera(), "Still B");

  fs::remove(m_dir / "CamDrv.ini");
  fs::create_directory(m_dir / "CamDrv.ini");
  EXPECT_FALSE(m_cameras.Configure(-1, 4, error));
  EXPECT_NE(error.find(CCameraSettings(m_folder, "inst").GetPath()), std::string::npos) << error;
  EXPECT_EQ(m_cameras.FrameDivisor(), 4);  // in use until the next start, although not kept
  error.clear();
  EXPECT_FALSE(m_cameras.SaveCamera(error));
  EXPECT_NE(error.find(CCameraSettings(m_folder, "inst").GetPath()), std::string::npos) << error;
}

}  // namespace
