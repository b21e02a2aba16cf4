#include "workstation/camera_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testing/scratch_dir.h"
#include "testing/test_files.h"
#include "workstation/lens_calibration.h"

namespace fs = std::filesystem;

namespace {

class CameraSettingsTest : public ::testing::Test {
 protected:
  std::string Ini() const { return veldrin_test::ReadFileBytes(m_dir / "CamDrv.ini"); }

  veldrin_test::CScratchDir m_scratch{"settings"};
  const fs::path m_dir = m_scratch.Path();
};

TEST_F(CameraSettingsTest, PathIsFolderAndFileName) {
  EXPECT_EQ(veldrin::SettingsPath(""), "");
  EXPECT_EQ(veldrin::SettingsPath("/data"), "/data/CamDrv.ini");
  EXPECT_EQ(CCameraSettings("/data/", "x").GetPath(), "/data//CamDrv.ini");
}

TEST_F(CameraSettingsTest, MissingFileGivesDefaults) {
  const CCameraSettings settings(m_dir.string(), "inst");
  EXPECT_EQ(settings.ReadCamera(), "");
  EXPECT_EQ(settings.ReadCalibIndex(), 0);
  EXPECT_EQ(settings.ReadResX(), 640);
  EXPECT_EQ(settings.ReadResY(), 480);
  EXPECT_EQ(settings.ReadFrameDivisor(), 0);
}

TEST_F(CameraSettingsTest, NoFolderReadsDefaultsAndWritesNothing) {
  const CCameraSettings settings("", "inst");
  EXPECT_FALSE(settings.WriteResX(1280));
  EXPECT_EQ(settings.ReadResX(), 640);
  EXPECT_FALSE(fs::exists("CamDrv.ini"));
}

// A frame size the camera and the output could never be made of falls back to the default, and
// says so.
TEST_F(CameraSettingsTest, UnusableFrameSizesFallBackToTheDefault) {
  const CCameraSettings settings(m_dir.string(), "inst");
  struct SCase {
    const char* x;
    const char* y;
    int width, height;
  };
  for (const SCase& c : {SCase{"100000", "100000", 640, 480}, SCase{"20000", "480", 640, 480},
                         SCase{"0", "0", 640, 480}, SCase{"-640", "480", 640, 480},
                         SCase{"wide", "480", 640, 480}, SCase{"15", "8193", 640, 480},
                         SCase{"16", "8192", 16, 8192}, SCase{"1920", "1080", 1920, 1080}}) {
    veldrin_test::WriteFileBytes(m_dir / "CamDrv.ini",
                                 std::string("[inst]\nRESX=") + c.x + "\nRESY=" + c.y + "\n");
    int width = 0, height = 0;
    std::string problem = "stale";
    settings.ReadFrameSize(width, height, problem);
    EXPECT_EQ(width, c.width) << c.x << "x" << c.y;
    EXPECT_EQ(height, c.height) << c.x << "x" << c.y;
    EXPECT_EQ(problem.empty(), c.width != 640) << problem;
    if (!problem.empty()) {
      EXPECT_NE(problem.find(c.x), std::string::npos) << problem;
    }
  }
}

TEST_F(CameraSettingsTest, ValuesRoundTripPerInstance) {
  const CCameraSettings a(m_dir.string(), "first");
  const CCameraSettings b(m_dir.string(), "second");
  ASSERT_TRUE(a.WriteCamera("Integrated Camera #2"));
  ASSERT_TRUE(a.WriteCalibIndex(3));
  ASSERT_TRUE(a.WriteResX(1920));
  ASSERT_TRUE(a.WriteResY(1080));
  ASSERT_TRUE(a.WriteFrameDivisor(2));
  ASSERT_TRUE(b.WriteCalibIndex(-1));

  EXPECT_EQ(a.ReadCamera(), "Integrated Camera #2");
  EXPECT_EQ(a.ReadCalibIndex(), 3);
  EXPECT_EQ(a.ReadResX(), 1920);
  EXPECT_EQ(a.ReadResY(), 1080);
  EXPECT_EQ(a.ReadFrameDivisor(), 2);
  EXPECT_EQ(b.ReadCalibIndex(), -1);
  EXPECT_EQ(b.ReadResX(), 640);
  EXPECT_EQ(Ini(),
            "[first]\nCamera=Integrated Camera #2\nCalibIndex=3\nRESX=1920\nRESY=1080\n"
            "FRDIV=2\n\n[second]\nCalibIndex=-1\n");
}

// One board for the lens dialog and the accuracy check; a hand-edited value out of range gives the
// whole default board back rather than a mixture.
TEST_F(CameraSettingsTest, BoardRoundTripsAndFallsBackWhole) {
  const CCameraSettings settings(m_dir.string(), "inst");
  EXPECT_EQ(settings.ReadBoard().columns, veldrin::kDefaultLensBoard.columns);
  ASSERT_TRUE(settings.WriteBoard(SLensBoard{7, 5, 20.25}));
  EXPECT_EQ(Ini(), "[inst]\nBoardColumns=7\nBoardRows=5\nBoardSquareMm=20.25\n");
  const SLensBoard read = settings.ReadBoard();
  EXPECT_EQ(read.columns, 7);
  EXPECT_EQ(read.rows, 5);
  EXPECT_EQ(read.squareMm, 20.25);
  for (const char* bad : {"BoardColumns=1\nBoardRows=5\nBoardSquareMm=20",
                          "BoardColumns=7\nBoardRows=65\nBoardSquareMm=20",
                          "BoardColumns=7\nBoardRows=5\nBoardSquareMm=20mm",
                          "BoardColumns=7\nBoardRows=5\nBoardSquareMm=0.5"}) {
    veldrin_test::WriteFileBytes(m_dir / "CamDrv.ini", std::string("[inst]\n") + bad + "\n");
    const SLensBoard fallback = settings.ReadBoard();
    EXPECT_EQ(fallback.columns, veldrin::kDefaultLensBoard.columns) << bad;
    EXPECT_EQ(fallback.squareMm, veldrin::kDefaultLensBoard.squareMm) << bad;
  }
}

TEST_F(CameraSettingsTest, CameraNameIsCutTo259Characters) {
  const CCameraSettings settings(m_dir.string(), "inst");
  // Two-byte characters: the cut must fall between characters, not inside one.
  std::string longName;
  for (int i = 0; i < 300; ++i) longName += "\xC3\xA9";
  ASSERT_TRUE(settings.WriteCamera(longName));
  EXPECT_EQ(settings.ReadCamera(), longName.substr(0, std::size_t{2} * 259));
}

}  // namespace
