#include <gtest/gtest.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "testing/child_process.h"
#include "testing/scratch_dir.h"
#include "testing/test_files.h"
#include "video/depth_device.h"
#include "video/table_scene.h"

namespace fs = std::filesystem;

namespace {

using Result = veldrin_test::SRunResult;
using Args = std::vector<std::string>;

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv("VELDRIN_SCENE"); }
  void TearDown() override {
    ::unsetenv("VELDRIN_CAMERAS");
    ::unsetenv("VELDRIN_SCENE");
  }
  std::string Path(const std::string& name) const { return (m_dir / name).string(); }
  // Makes `json` the scene file the simulated cameras read.
  void Scene(const std::string& json) {
    veldrin_test::WriteFileBytes(Path("scene.json"), json);
    ::setenv("VELDRIN_SCENE", Path("scene.json").c_str(), 1);
  }

  Result Probe(Args args) const {
    args.insert(args.begin(), std::string(VELDRIN_BIN_DIR) + "/veldrin-probe");
    return veldrin_test::RunProgram(args, m_output.Path());
  }

  veldrin_test::CScratchDir m_scratch{"probe"};
  veldrin_test::CScratchDir m_output{"probe-output"};
  const fs::path m_dir = m_scratch.Path();
};

TEST_F(ProbeTest, ListShowsEveryDeviceOnItsOwnLine) {
  cv::imwrite(Path("still.png"), cv::Mat(200, 300, CV_8UC3, cv::Scalar(1, 2, 3)));
  const std::string cameras = "Table=scene:table;Cam RealSense=" + Path("still.png") +
                              ";Gone=" + Path("missing.png") + ";no separator";
  ::setenv("VELDRIN_CAMERAS", cameras.c_str(), 1);
  const Result r = Probe({"list"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "0\tTable\t-\tavailable\t1280x720,640x480,1920x1080\n"
            "1\tCam RealSense\t3D\tavailable\t300x200,640x480,1280x720,1920x1080\n"
            "2\tGone\t-\tunavailable\t\n");
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find("no separator"), std::string::npos);

  ::setenv("VELDRIN_CAMERAS", "", 1);
  EXPECT_EQ(Probe({"list"}).out, "");
}

TEST_F(ProbeTest, GrabSavesTheFirstPictureAtTheAskedSize) {
  ::setenv("VELDRIN_CAMERAS", ("Table=scene:table;Gone=" + Path("missing.png")).c_str(), 1);
  Result r = Probe({"grab", "0", Path("shot.png"), "--size", "640x480"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "640x480\n");
  EXPECT_EQ(cv::imread(Path("shot.png")).size(), cv::Size(640, 480));

  r = Probe({"grab", "0", Path("shot.BMP")});  // the first listed size
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "1280x720\n");
  EXPECT_EQ(cv::imread(Path("shot.BMP")).size(), cv::Size(1280, 720));

  for (const Args& bad :
       {Args{"grab", "1", Path("a.png")}, Args{"grab", "7", Path("a.png")},
        Args{"grab", "0", Path("a.jpg")}, Args{"grab", "0", Path("no/such/dir/a.png")}}) {
    r = Probe(bad);
    EXPECT_EQ(r.code, 1) << bad[1] << " " << bad[2];
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << bad[2] << ": " << r.err;
    EXPECT_EQ(r.out, "") << bad[2];
  }
  EXPECT_EQ(Probe({"grab", "x", Path("a.png")}).code, 2);
  EXPECT_EQ(Probe({"grab", "0", Path("a.png"), "--size", "640"}).code, 2);
}

// A small file may claim a picture of gigabytes: its size is refused from the header, with one
// line and status 1, before anything is decoded.
TEST_F(ProbeTest, PicturesBeyondTheLimitAreRefusedFromTheirHeader) {
  veldrin_test::WriteFileBytes(Path("huge.png"), veldrin_test::PngClaimingSize(40000, 40000));
  veldrin_test::WriteFileBytes(Path("wide.png"), veldrin_test::PngClaimingSize(20000, 100));
  for (const Args& args : {Args{"sheet", Path("huge.png")}, Args{"scan", Path("huge.png")},
                           Args{"accuracy", Path("huge.png"), "--media", "297x210", "--board",
                                "9x6", "--square-mm", "20"},
                           Args{"sheet", Path("wide.png")}}) {
    const Result r = Probe(args);
    EXPECT_EQ(r.code, 1) << args[0] << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(args[1]), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("pixels, more than allowed"), std::string::npos) << r.err;
  }
}

TEST_F(ProbeTest, SceneCornersMatchTheSceneAndHonourTheSceneFile) {
  Result r = Probe({"scene", "--size", "640x480"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<cv::Point2f> expected =
      CTableScene(STableSceneParams{}).SheetCorners(cv::Size(640, 480));
  std::istringstream lines(r.out);
  for (const cv::Point2f& corner : expected) {
    float x = 0, y = 0;
    ASSERT_TRUE(lines >> x >> y);
    EXPECT_NEAR(x, corner.x, 0.001);
    EXPECT_NEAR(y, corner.y, 0.001);
  }

  Scene(R"({"sheet": {"width_mm": 420}})");
  EXPECT_NE(Probe({"scene"}).out, r.out);
  Scene(R"({"sheet": {"width": 420}})");
  r = Probe({"scene"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("width"), std::string::npos);
  // Nesting deeper than the reader goes: the file is refused, not the program ended.
  Scene(std::string(100000, '[') + std::string(100000, ']'));
  r = Probe({"scene"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(Path("scene.json")), std::string::npos) << r.err;
}

TEST_F(ProbeTest, ScanReadsTheCodePrintedOnTheScene) {
  Scene(R"({"qr": {"enabled": true, "text": "veldrin probe"}})");
  ::setenv("VELDRIN_CAMERAS", "Table=scene:table", 1);
  ASSERT_EQ(Probe({"grab", "0", Path("coded.png")}).code, 0);
  Result r = Probe({"scan", Path("coded.png")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "veldrin probe\n");

  cv::imwrite(Path("blank.png"), cv::Mat(100, 100, CV_8UC3, cv::Scalar::all(255)));
  r = Probe({"scan", Path("blank.png")});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "");
  r = Probe({"scan", Path("missing.png")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(Probe({"frobnicate"}).code, 2);
}

// Corners read back from "x<TAB>y" lines with two decimals.
std::vector<cv::Point2f> ParseCorners(const std::string& out) {
  std::vector<cv::Point2f> corners;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) return {};
    for (const std::string& part : {line.substr(0, tab), line.substr(tab + 1)}) {
      if (part.size() < 4 || part[part.size() - 3] != '.') return {};
    }
    corners.emplace_back(std::stof(line.substr(0, tab)), std::stof(line.substr(tab + 1)));
  }
  return corners;
}

TEST_F(ProbeTest, SheetPrintsTheCornersOfTheSheetInThePicture) {
  ::setenv("VELDRIN_CAMERAS", "Table=scene:table", 1);
  ASSERT_EQ(Probe({"grab", "0", Path("table.png"), "--size", "1280x720"}).code, 0);
  Result r = Probe({"sheet", Path("table.png")});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<cv::Point2f> found = ParseCorners(r.out);
  const std::vector<cv::Point2f> truth =
      CTableScene(STableSceneParams{}).SheetCorners(cv::Size(1280, 720));
  ASSERT_EQ(found.size(), 4u) << r.out;
  for (size_t i = 0; i < 4; ++i) EXPECT_LE(cv::norm(found[i] - truth[i]), 0.5) << i;

  cv::imwrite(Path("empty.png"), cv::Mat(480, 640, CV_8UC3, cv::Scalar(90, 100, 110)));
  r = Probe({"sheet", Path("empty.png")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("no sheet found"), std::string::npos) << r.err;
  EXPECT_EQ(Probe({"sheet", Path("missing.png")}).code, 1);
  EXPECT_EQ(Probe({"sheet"}).code, 2);
}

TEST_F(ProbeTest, AccuracyMeasuresTheBoardOnTheSheet) {
  Scene(R"({"sheet": {"board": {"cols": 9, "rows": 6, "square_mm": 20}}})");
  ::setenv("VELDRIN_CAMERAS", "Table=scene:table", 1);
  ASSERT_EQ(Probe({"grab", "0", Path("board.png"), "--size", "1280x720"}).code, 0);

  // The host reports media 2 % larger than the sheet really is; options in any order. How well
  // the figures measure is the accuracy check's own test.
  const std::string board = Path("board.png");
  Result r =
      Probe({"accuracy", board, "--square-mm", "20", "--board", "9x6", "--media", "303x214"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto figures = veldrin_test::NameValueLines(r.out);
  ASSERT_EQ(figures.size(), 3u) << r.out;
  EXPECT_EQ(figures[0].first, "scale_error_percent");
  EXPECT_EQ(figures[1].first, "rms_mm");
  EXPECT_EQ(figures[2].first, "max_mm");
  EXPECT_NEAR(figures[0].second, 2.0, 0.2);

  ::unsetenv("VELDRIN_SCENE");
  ASSERT_EQ(Probe({"grab", "0", Path("plain.png"), "--size", "1280x720"}).code, 0);
  r = Probe(
      {"accuracy", Path("plain.png"), "--media", "297x210", "--board", "9x6", "--square-mm", "20"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("no board found"), std::string::npos) << r.err;

  for (const Args& bad :
       {Args{"accuracy", board, "--media", "297x210", "--board", "9x6"},
        Args{"accuracy", board, "--media", "297", "--board", "9x6", "--square-mm", "20"},
        Args{"accuracy", board, "--media", "297x210", "--board", "9x6", "--square-mm", "twenty"},
        Args{"accuracy", board, "--media", "297x210", "--board", "9x6", "--square-mm", "20",
             "--media", "297x210"},
        Args{"accuracy", "--media", "297x210", "--board", "9x6", "--square-mm", "20"}}) {
    EXPECT_EQ(Probe(bad).code, 2) << bad.size();
  }
}

}  // namespace

// The depth subcommand on the table scene's simulated depth camera.
class ProbeDepthTest : public ProbeTest {
 protected:
  void SetUp() override {
    ProbeTest::SetUp();
    ::setenv("VELDRIN_CAMERAS", "Webcam=scene:table;Table RealSense=scene:table", 1);
  }
  static std::vector<int> Numbers(const std::string& out, const std::string& name) {
    std::vector<int> numbers;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::string first;
      words >> first;
      if (first != name) continue;
      for (int v; words >> v;) numbers.push_back(v);
    }
    return numbers;
  }
};

TEST_F(ProbeDepthTest, MeasuresTheBoxAndRaisesTheStoredPlaneOntoIt) {
  // The empty table, its plane saved as "Save Plane" does ...
  const std::string folder = m_dir.string() + "/";
  Result r = Probe({"depth", "--save-plane", folder});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_LT(Numbers(r.out, "height_mm").at(0), 3);
  const std::vector<int> depthCorners = Numbers(r.out, "depth_corners");
  ASSERT_EQ(depthCorners.size(), 8u);
  EXPECT_EQ(fs::file_size(m_dir / "3DPlane.pt3"), 48u);
  // Against that plane the empty table reads as the table from the first frame on.
  r = Probe({"depth", "--frames", "1", "--plane", folder});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_LE(std::abs(Numbers(r.out, "height_mm").at(0)), 3) << r.out;
  // ... then a 50 mm box, measured against that plane.
  Scene(R"({"box": {"size_mm": [90, 70, 50]}})");
  r = Probe({"depth", "--plane", folder});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<int> height = Numbers(r.out, "height_mm");
  ASSERT_EQ(height.size(), 1u) << r.out;
  EXPECT_NEAR(height[0], 50, 2);
  EXPECT_EQ(Numbers(r.out, "depth_corners"), depthCorners);
  // The raised corners: the default corners of the 1280 x 720 picture seen 50 mm higher up,
  // which moves each of them by a few tens of pixels (the closed-loop test checks exactly where).
  const std::vector<int> raised = Numbers(r.out, "raised_corners");
  ASSERT_EQ(raised.size(), 8u) << r.out;
  const int defaults[8] = {320, 180, 960, 180, 960, 540, 320, 540};
  for (int i = 0; i < 8; i += 2) {
    const double moved = std::hypot(raised[i] - defaults[i], raised[i + 1] - defaults[i + 1]);
    EXPECT_GT(moved, 5) << i / 2;
    EXPECT_LT(moved, 80) << i / 2;
  }
  EXPECT_EQ(r.out.find("raised_corners"), r.out.rfind("raised_corners"));
}

TEST_F(ProbeDepthTest, ListsTheObjectsOnTheMediaAndWritesTheHeightTruePicture) {
  // The corners on the sheet and the plane stored from the empty table ...
  Result r = Probe({"scene"});
  ASSERT_EQ(r.code, 0) << r.err;
  Args corners;
  std::istringstream numbers(r.out);
  for (std::string n; numbers >> n;) corners.push_back(n);
  ASSERT_EQ(corners.size(), 8u);
  const std::string folder = m_dir.string() + "/";
  Args args = {"depth", "--frames", "150", "--corners"};
  args.insert(args.end(), corners.begin(), corners.end());
  Args save = args;
  save.insert(save.end(), {"--save-plane", folder});
  ASSERT_EQ(Probe(save).code, 0);
  // ... then two boxes on the sheet, and a 2 mm one that is no object.
  Scene(R"({"boxes": [{"size_mm": [80, 60, 60], "center_mm": [-80, 40]},
      {"size_mm": [70, 50, 25], "center_mm": [70, -40]}, {"size_mm": [50, 50, 2],
      "center_mm": [60, 55]}]})");
  const std::string picture = Path("true.png");
  args.insert(args.end(), {"--plane", folder, "--media", "297x210", "--objects", "--publish",
                           picture, "--height-true"});
  r = Probe(args);
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<std::vector<double>> objects;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string first;
    words >> first;
    if (first != "object") continue;
    objects.emplace_back();
    for (double v; words >> v;) objects.back().push_back(v);
  }
  ASSERT_EQ(objects.size(), 2u) << r.out;
  // The larger first: the tall box, on the sheet's upper left (the sheet is turned by 3 degrees).
  EXPECT_NEAR(objects[0][0], 70.7, 2.0);
  EXPECT_NEAR(objects[0][1], 60.9, 2.0);
  EXPECT_EQ(objects[0][2], 60);
  EXPECT_NEAR(objects[0][3], 4800, 480);
  EXPECT_NEAR(objects[1][2], 25, 2);
  // The picture the tool would publish: the media's aspect at the frame's width, with the table
  // the tall box hides in the fill colour.
  const cv::Mat published = cv::imread(picture);
  ASSERT_EQ(published.size(), cv::Size(1280, 905));
  cv::Mat fill;
  cv::inRange(published, cv::Scalar(255, 0, 255), cv::Scalar(255, 0, 255), fill);
  EXPECT_GT(cv::countNonZero(fill), 1000);
}

TEST_F(ProbeDepthTest, ErrorsAreOneLineAndStatusOne) {
  const struct {
    const char* cameras;
    Args args;
  } cases[] = {
      {"Webcam=scene:table", {"depth", "--frames", "5"}},                         // no depth camera
      {nullptr, {"depth", "--frames", "0"}},                                      // bad count
      {nullptr, {"depth", "--corners", "1", "2", "3"}},                           // too few numbers
      {nullptr, {"depth", "--frames", "5", "--plane", "/no/such/folder/"}},       // no plane
      {nullptr, {"depth", "--frames", "5", "--save-plane", "/no/such/folder/"}},  // no writing
      {nullptr, {"depth", "--bogus"}},
      {nullptr, {"depth", "--objects"}},                            // no media size
      {nullptr, {"depth", "--media", "297x210", "--height-true"}},  // no --publish
      {nullptr, {"depth", "--media", "297", "--objects"}},          // bad media size
      {nullptr, {"depth", "--frames", "5", "--media", "2x2", "--publish", "/no/such/x.png"}},
  };
  for (const auto& c : cases) {
    if (c.cameras) ::setenv("VELDRIN_CAMERAS", c.cameras, 1);
    const Result r = Probe(c.args);
    EXPECT_EQ(r.code, 1) << c.args.back() << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args.back() << ": " << r.err;
    ::setenv("VELDRIN_CAMERAS", "Webcam=scene:table;Table RealSense=scene:table", 1);
  }
  // A stored plane behind the camera is refused before anything is measured.
  veldrin_test::WriteFileBytes(Path("3DPlane.pt3"),
                               veldrin_test::LEFloatBytes({-0.2f, -0.1f, -0.9f, 0.2f, -0.1f, -0.9f,
                                                           0.2f, 0.1f, -0.9f, -0.2f, 0.1f, -0.9f}));
  Result behind = Probe({"depth", "--frames", "5", "--plane", m_dir.string() + "/"});
  EXPECT_EQ(behind.code, 1);
  EXPECT_EQ(behind.out, "");
  EXPECT_NE(behind.err.find("3DPlane.pt3"), std::string::npos) << behind.err;
  // A depth camera whose scene file is broken does not start.
  Scene(R"({"box": {"size_mm": [0, 0, 0]}})");
  const Result r = Probe({"depth", "--frames", "5"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("size_mm"), std::string::npos) << r.err;
}

// Recordings: the scene into a .bag, listed and measured as a camera; bad ones in one line.
TEST_F(ProbeDepthTest, RecordsTheSceneAndMeasuresTheRecording) {
  const std::string bag = Path("box.bag");
  Scene(R"({"size": [640, 480], "box": {"size_mm": [90, 70, 50]}})");
  Result r = Probe({"record", bag, "--frames", "20"});
  if (!veldrin::HasRealSenseSupport()) {
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, std::string("veldrin-probe: ") + veldrin::kNoRealSenseSupport + "\n");
    GTEST_SKIP() << "built without librealsense2: the recording itself is not tried";
  }
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "recorded 20 frames into " + bag + "\n");
  ::setenv("VELDRIN_CAMERAS", ("Bag RealSense=bag:" + bag).c_str(), 1);
  ::unsetenv("VELDRIN_SCENE");  // the recording holds the scene
  r = Probe({"list"});
  EXPECT_EQ(r.out, "0\tBag RealSense\t3D\tavailable\t640x480\n");
  r = Probe({"depth", "--frames", "150"});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(Numbers(r.out, "height_mm").size(), 1u) << r.out;
  EXPECT_NEAR(Numbers(r.out, "height_mm")[0], 50, 2);

  veldrin_test::WriteFileBytes(Path("cut.bag"), veldrin_test::ReadFileBytes(bag).substr(0, 5000));
  for (const std::string& file : {Path("cut.bag"), Path("missing.bag")}) {
    ::setenv("VELDRIN_CAMERAS", ("Bag RealSense=bag:" + file).c_str(), 1);
    r = Probe({"depth", "--frames", "5"});
    EXPECT_EQ(r.code, 1) << file;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
  }
  for (const Args& bad : {Args{"record", Path("x.png")}, Args{"record", bag, "--frames", "0"},
                          Args{"record"}, Args{"record", Path("no/such/x.bag")}}) {
    r = Probe(bad);
    EXPECT_EQ(r.code, 1) << bad.back();
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_FALSE(fs::exists(Path("no/such/x.bag")));
}
