#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "testing/scratch_dir.h"
#include "video/table_scene.h"

namespace fs = std::filesystem;

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv("VELDRIN_SCENE"); }
  void TearDown() override {
    ::unsetenv("VELDRIN_CAMERAS");
    ::unsetenv("VELDRIN_SCENE");
  }
  std::string Path(const std::string& name) const { return (m_dir / name).string(); }

  Result Probe(const std::string& arguments) {
    const std::string err = Path("stderr.txt");
    const std::string command =
        std::string(VELDRIN_BIN_DIR) + "/veldrin-probe " + arguments + " 2>'" + err + "'";
    Result result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream file(err);
    result.err.assign(std::istreambuf_iterator<char>(file), {});
    return result;
  }

  veldrin_test::CScratchDir m_scratch{"probe"};
  const fs::path m_dir = m_scratch.Path();
};

TEST_F(ProbeTest, ListShowsEveryDeviceOnItsOwnLine) {
  cv::imwrite(Path("still.png"), cv::Mat(200, 300, CV_8UC3, cv::Scalar(1, 2, 3)));
  const std::string cameras = "Table=scene:table;Cam RealSense=" + Path("still.png") +
                              ";Gone=" + Path("missing.png") + ";no separator";
  ::setenv("VELDRIN_CAMERAS", cameras.c_str(), 1);
  const Result r = Probe("list");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "0\tTable\t-\tavailable\t1280x720,640x480,1920x1080\n"
            "1\tCam RealSense\t3D\tavailable\t300x200,640x480,1280x720,1920x1080\n"
            "2\tGone\t-\tunavailable\t\n");
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find("no separator"), std::string::npos);

  ::setenv("VELDRIN_CAMERAS", "", 1);
  EXPECT_EQ(Probe("list").out, "");
}

TEST_F(ProbeTest, GrabSavesTheFirstPictureAtTheAskedSize) {
  ::setenv("VELDRIN_CAMERAS", ("Table=scene:table;Gone=" + Path("missing.png")).c_str(), 1);
  Result r = Probe("grab 0 '" + Path("shot.png") + "' --size 640x480");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "640x480\n");
  EXPECT_EQ(cv::imread(Path("shot.png")).size(), cv::Size(640, 480));

  r = Probe("grab 0 '" + Path("shot.BMP") + "'");  // the first listed size
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1280x720\n");
  EXPECT_EQ(cv::imread(Path("shot.BMP")).size(), cv::Size(1280, 720));

  for (const std::string& bad :
       {"grab 1 '" + Path("a.png") + "'", "grab 7 '" + Path("a.png") + "'",
        "grab 0 '" + Path("a.jpg") + "'", "grab 0 '" + Path("no/such/dir/a.png") + "'"}) {
    r = Probe(bad);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << bad << ": " << r.err;
    EXPECT_EQ(r.out, "") << bad;
  }
  EXPECT_EQ(Probe("grab x '" + Path("a.png") + "'").status, 2);
  EXPECT_EQ(Probe("grab 0 '" + Path("a.png") + "' --size 640").status, 2);
}

TEST_F(ProbeTest, SceneCornersMatchTheSceneAndHonourTheSceneFile) {
  Result r = Probe("scene --size 640x480");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<cv::Point2f> expected =
      CTableScene(TABLE_SCENE_PARAMS{}).SheetCorners(cv::Size(640, 480));
  std::istringstream lines(r.out);
  for (const cv::Point2f& corner : expected) {
    float x = 0, y = 0;
    ASSERT_TRUE(lines >> x >> y);
    EXPECT_NEAR(x, corner.x, 0.001);
    EXPECT_NEAR(y, corner.y, 0.001);
  }

  std::ofstream(Path("scene.json")) << R"({"sheet": {"width_mm": 420}})";
  ::setenv("VELDRIN_SCENE", Path("scene.json").c_str(), 1);
  EXPECT_NE(Probe("scene").out, r.out);
  std::ofstream(Path("scene.json")) << R"({"sheet": {"width": 420}})";
  r = Probe("scene");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("width"), std::string::npos);
}

TEST_F(ProbeTest, ScanReadsTheCodePrintedOnTheScene) {
  std::ofstream(Path("scene.json")) << R"({"qr": {"enabled": true, "text": "veldrin probe"}})";
  ::setenv("VELDRIN_SCENE", Path("scene.json").c_str(), 1);
  ::setenv("VELDRIN_CAMERAS", "Table=scene:table", 1);
  ASSERT_EQ(Probe("grab 0 '" + Path("coded.png") + "'").status, 0);
  Result r = Probe("scan '" + Path("coded.png") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "veldrin probe\n");

  cv::imwrite(Path("blank.png"), cv::Mat(100, 100, CV_8UC3, cv::Scalar::all(255)));
  r = Probe("scan '" + Path("blank.png") + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  r = Probe("scan '" + Path("missing.png") + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(Probe("frobnicate").status, 2);
}

}  // namespace
