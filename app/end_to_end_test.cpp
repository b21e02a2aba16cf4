// The real tool started by the host simulator, as the host starts it: pictures flow through real
// shared memory and files, and the host's exit ends the tool with its settings saved.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "testing/child_process.h"
#include "testing/scratch_dir.h"
#include "testing/test_files.h"
#include "workstation/camera_settings.h"

namespace fs = std::filesystem;

namespace {

TEST(EndToEnd, HostDrivesTheToolAndItsExitEndsTheTool) {
  const veldrin_test::CScratchDir scratch("e2e");
  const fs::path& dir = scratch.Path();
  const std::string name = veldrin_test::UniqueInstanceName("e2e");

  cv::Mat still(480, 640, CV_8UC3, cv::Scalar(40, 120, 200));
  cv::rectangle(still, {160, 120}, {480, 360}, {255, 255, 255}, -1);
  ASSERT_TRUE(cv::imwrite((dir / "still.png").string(), still));
  CCameraSettings settings(scratch.Folder(), name);
  ASSERT_TRUE(settings.WriteCamera("Desk"));

  const std::string bin = VELDRIN_BIN_DIR;
  const veldrin_test::SRunResult run = veldrin_test::RunProgram(
      {bin + "/veldrin-host", "--name", name, "--folder", dir.string(), "--media", "1000x700",
       "--frames", "5", "--seconds", "60", "--", bin + "/veldrin"},
      dir, {"VELDRIN_CAMERAS=Desk=" + (dir / "still.png").string(), "QT_QPA_PLATFORM=offscreen"});
  const std::string output = run.out + run.err;
  EXPECT_EQ(run.code, 0) << output;
  EXPECT_NE(output.find("received 5 pictures 640x448"), std::string::npos) << output;
  // The rectified sheet: the white default-corner rectangle fills the picture.
  const cv::Mat kept = cv::imread((dir / "host-latest.bmp").string());
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.size(), cv::Size(640, 448));
  EXPECT_GT(cv::mean(kept)[0], 250);

  // The tool saw the host go, ended and wrote its settings on the way out.
  EXPECT_EQ(settings.ReadCamera(), "Desk");
  const std::string ini = veldrin_test::ReadFileBytes(dir / "CamDrv.ini");
  EXPECT_NE(ini.find("CalibIndex=0"), std::string::npos) << ini;
  EXPECT_FALSE(fs::exists("/dev/shm/" + name));
}

}  // namespace
