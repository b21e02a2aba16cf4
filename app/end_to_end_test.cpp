// The real tool started by the host simulator, as the host starts it: pictures flow through real
// shared memory and files, and the host's exit ends the tool with its settings saved.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>

#include "workstation/camera_settings.h"

namespace fs = std::filesystem;

namespace {

std::string RunCommand(const std::string& command, int& status) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe)) out += buf;
  status = ::pclose(pipe);
  return out;
}

TEST(EndToEnd, HostDrivesTheToolAndItsExitEndsTheTool) {
  const char* base = std::getenv("VELDRIN_TEST_TMP");
  const fs::path dir = fs::path(base ? base : "/tmp") / ("e2e-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string name = "veldrin-e2e-" + std::to_string(::getpid());

  cv::Mat still(480, 640, CV_8UC3, cv::Scalar(40, 120, 200));
  cv::rectangle(still, {160, 120}, {480, 360}, {255, 255, 255}, -1);
  ASSERT_TRUE(cv::imwrite((dir / "still.png").string(), still));
  CCameraSettings settings(dir.string() + "/", name);
  ASSERT_TRUE(settings.WriteCamera("Desk"));

  const std::string bin = VELDRIN_BIN_DIR;
  const std::string command =
      "VELDRIN_CAMERAS='Desk=" + (dir / "still.png").string() + "' QT_QPA_PLATFORM=offscreen '" +
      bin + "/veldrin-host' --name " + name + " --folder '" + dir.string() +
      "' --media 1000x700 --frames 5 --seconds 60 -- '" + bin + "/veldrin' 2>&1";
  int status = -1;
  const std::string output = RunCommand(command, status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("received 5 pictures 640x448"), std::string::npos) << output;

  // The rectified sheet: the white default-corner rectangle fills the picture.
  const cv::Mat kept = cv::imread((dir / "host-latest.bmp").string());
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.size(), cv::Size(640, 448));
  EXPECT_GT(cv::mean(kept)[0], 250);

  // The tool saw the host go, ended and wrote its settings on the way out.
  EXPECT_EQ(settings.ReadCamera(), "Desk");
  std::ifstream ini(dir / "CamDrv.ini");
  std::stringstream text;
  text << ini.rdbuf();
  EXPECT_NE(text.str().find("CalibIndex=0"), std::string::npos) << text.str();
  EXPECT_FALSE(fs::exists("/dev/shm/" + name));
  fs::remove_all(dir);
}

}  // namespace
