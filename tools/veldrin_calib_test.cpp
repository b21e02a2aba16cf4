// Runs the built veldrin-calib as a user or script would and checks its output and files.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "testing/child_process.h"
#include "testing/scratch_dir.h"
#include "testing/test_files.h"
#include "video/board_views_test_fixture.h"
#include "workstation/calibration_store.h"
#include "workstation/lens.h"

namespace fs = std::filesystem;

namespace {

using SResult = veldrin_test::SRunResult;

class CalibToolTest : public ::testing::Test {
 protected:
  // `quiet`: a success must leave stderr empty.
  SResult Run(std::vector<std::string> args, bool quiet = true) const {
    args.insert(args.begin(), std::string(VELDRIN_BIN_DIR) + "/veldrin-calib");
    SResult result = veldrin_test::RunProgram(args, m_output.Path());
    // Success is silent on stderr; this also catches sanitizer reports from the child.
    if (result.code == 0 && quiet) {
      EXPECT_EQ(result.err, "");
    }
    return result;
  }

  static std::string Read(const std::string& path) { return veldrin_test::ReadFileBytes(path); }
  void Put(const std::string& file, const std::string& bytes) const {
    veldrin_test::WriteFileBytes(m_dir + "/" + file, bytes);
  }
  std::vector<std::string> Files() const { return veldrin_test::FileNames(m_dir); }

  // A failure: non-zero exit, exactly one line on stderr, nothing on stdout.
  static void ExpectError(const SResult& r, const std::string& fragment) {
    EXPECT_NE(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
  }

  veldrin_test::CScratchDir m_scratch{"calibtool"};
  veldrin_test::CScratchDir m_output{"calibtool-output"};
  const std::string m_dir = m_scratch.Path().string();
};

TEST_F(CalibToolTest, SaveListShow) {
  SResult r =
      Run({"save", m_dir, "Table A", "160", "120", "480", "120", "480", "360", "160", "360"});
  ASSERT_EQ(r.code, 0) << r.err;
  // The bytes are the store's, whose test spells them out.
  EXPECT_EQ(Read(m_dir + "/Table A.clb"),
            CCalibrationStore::Serialize({{160, 120}, {480, 120}, {480, 360}, {160, 360}}));
  ASSERT_EQ(Run({"save", m_dir + "/", "b", "1.5", "-2", "3", "4", "5", "6", "7", "+8e1"}).code, 0);

  r = Run({"list", m_dir});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "b\nTable A\n");

  r = Run({"show", m_dir, "b"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "1.5 -2\n3 4\n5 6\n7 80\njson\n");

  // The picture size the corners belong to, in the file only when asked for.
  r = Run({"save", m_dir, "c", "--frame", "1280x720", "1", "2", "3", "4", "5", "6", "7", "8"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Read(m_dir + "/c.clb"),
            CCalibrationStore::Serialize({{1, 2}, {3, 4}, {5, 6}, {7, 8}}, "", {1280, 720}));
}

TEST_F(CalibToolTest, ShowAndConvertLegacy) {
  Put("old.clb", veldrin_test::LEFloatBytes({10.25f, 20, 30, 40, 50, 60, 70, 80}));
  SResult r = Run({"show", m_dir, "old"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "10.25 20\n30 40\n50 60\n70 80\nlegacy\n");

  r = Run({"convert", m_dir, "old"});
  EXPECT_EQ(r.code, 0) << r.err;
  std::vector<cv::Point2f> points;
  ECalibrationForm form;
  EXPECT_EQ(CCalibrationStore::ReadCalibration(m_dir + "/", "old", points, form), 4);
  EXPECT_EQ(form, ECalibrationForm::kJson);
  EXPECT_EQ(points[0], cv::Point2f(10.25f, 20.0f));
  EXPECT_EQ(Run({"convert", m_dir, "old"}).code, 0);  // already JSON: nothing to do

  Put("empty.clb", "");
  ExpectError(Run({"convert", m_dir, "empty"}), "no points");
  EXPECT_EQ(Read(m_dir + "/empty.clb"), "");
}

TEST_F(CalibToolTest, PlaneFiles) {
  SResult r = Run({"plane2d", m_dir, "100", "50", "540", "50", "540", "430", "100", "430"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(fs::file_size(m_dir + "/2DPlane.pt3"), 32u);
  r = Run({"plane2d", m_dir});
  EXPECT_EQ(r.out, "100 50\n540 50\n540 430\n100 430\n");

  r = Run({"plane3d", m_dir, "-0.5", "0", "1", "0.5", "0", "1", "0.5", "0.25", "1.5", "-0.5",
           "0.25", "1.5"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Run({"plane3d", m_dir}).out, "-0.5 0 1\n0.5 0 1\n0.5 0.25 1.5\n-0.5 0.25 1.5\n");
}

TEST_F(CalibToolTest, FailuresAreOneLineAndWriteNothing) {
  ASSERT_EQ(Run({"save", m_dir, "keep", "1", "2", "3", "4", "5", "6", "7", "8"}).code, 0);
  const std::string kept = Read(m_dir + "/keep.clb");

  ExpectError(Run({"save", m_dir, "../escape", "1", "2", "3", "4", "5", "6", "7", "8"}),
              "invalid name");
  ExpectError(Run({"save", m_dir, "keep", "1", "2", "3", "4", "5", "6", "7", "8x"}), "8x");
  ExpectError(Run({"save", m_dir, "keep", "1", "2", "3"}), "usage");
  for (const char* frame : {"640", "0x480", "640x", "640x480x3", "-640x480", "99999x480"}) {
    ExpectError(
        Run({"save", m_dir, "keep", "1", "2", "3", "4", "5", "6", "7", "8", "--frame", frame}),
        frame);
  }
  ExpectError(Run({"save", m_dir, "keep", "1", "2", "3", "4", "5", "6", "7", "8", "--frame"}),
              "usage");
  ExpectError(Run({"save", m_dir + "/missing", "x", "1", "2", "3", "4", "5", "6", "7", "8"}),
              "not a directory");
  ExpectError(Run({"show", m_dir, "absent"}), "absent");
  Put("bad.clb", "{\"numCorners\":\"4\"");
  ExpectError(Run({"show", m_dir, "bad"}), "bad");
  ExpectError(Run({"list", m_dir + "/missing"}), "not a directory");
  ExpectError(Run({"plane2d", m_dir}), "2DPlane.pt3");
  ExpectError(Run({"plane2d", m_dir, "1", "2"}), "usage");
  ExpectError(
      Run({"plane3d", m_dir, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "1e99"}),
      "1e99");
  // A plane behind the camera would only be refused when the tool loads it.
  ExpectError(
      Run({"plane3d", m_dir, "0", "0", "-1", "1", "0", "-1", "1", "1", "-1", "0", "1", "-1"}),
      "not a table plane");
  ExpectError(Run({"frobnicate", m_dir}), "unknown command");

  EXPECT_EQ(Read(m_dir + "/keep.clb"), kept);
  EXPECT_EQ(Files(), (std::vector<std::string>{"bad.clb", "keep.clb"}));
}

TEST_F(CalibToolTest, HelpAndNoArguments) {
  SResult r = Run({"--help"});
  EXPECT_EQ(r.code, 0);
  for (const char* command : {"list", "show", "save", "convert", "plane2d", "plane3d"}) {
    EXPECT_NE(r.out.find(command), std::string::npos) << command;
  }
  r = Run({});
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("Usage"), std::string::npos);
}

TEST_F(CalibToolTest, LensFromPicturesOfABoard) {
  const cv::Size size(960, 540);
  const std::string pictures = m_dir + "/views";
  fs::create_directory(pictures);
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(cv::imwrite(pictures + "/view" + std::to_string(i) + ".png",
                            veldrin_test::RenderBoardView(i, size, -0.2, 0.05)));
  }
  ASSERT_TRUE(cv::imwrite(pictures + "/blank.png", cv::Mat(size, CV_8UC3, cv::Scalar::all(90))));
  Put("views/broken.png", "not a picture");
  Put("views/notes.txt", "not looked at");

  const std::string out = m_dir + "/front.lens";
  SResult r = Run({"lens", pictures, "--board", "9x6", "--square-mm", "20", "--out", out}, false);
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<std::string> names;
  std::map<std::string, double> values;
  for (const auto& [name, value] : veldrin_test::NameValueLines(r.out)) {
    names.push_back(name);
    values[name] = value;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"rms_px", "fx", "fy", "cx", "cy", "k1", "k2", "p1",
                                             "p2", "k3"}))
      << r.out;
  const double fx =
      CTableScene(veldrin_test::BoardViewParams(0, size, 0, 0)).CameraMatrix(size)(0, 0);
  EXPECT_NEAR(values["fx"], fx, 0.01 * fx);
  EXPECT_NEAR(values["k1"], -0.2, 0.02);
  EXPECT_LT(values["rms_px"], 0.5);
  // The pictures that could not be used are named, one line each.
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  EXPECT_NE(r.err.find("blank.png"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("broken.png"), std::string::npos) << r.err;

  SLensModel lens;
  std::string error;
  ASSERT_TRUE(veldrin::ReadLensFile(out, lens, error)) << error;
  EXPECT_NEAR(lens.matrix(0, 0), values["fx"], 1e-5);
  EXPECT_EQ(lens.size, size);

  // Without --out, with a camera name: the file is named after the camera.
  r = Run({"lens", pictures, "--square-mm", "20", "--board", "9x6", "--camera", "Front"}, false);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(veldrin::ReadLensFile(pictures + "/Front.lens", lens, error)) << error;
  EXPECT_EQ(lens.camera, "Front");

  // Two pictures fewer leave four: an error, and the lens file stays as it was.
  fs::remove(pictures + "/view0.png");
  fs::remove(pictures + "/view1.png");
  const std::string before = Read(out);
  r = Run({"lens", pictures, "--board", "9x6", "--square-mm", "20", "--out", out});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("at least 5"), std::string::npos) << r.err;
  EXPECT_EQ(Read(out), before);

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"lens", pictures, "--board", "9", "--square-mm", "20"},
        {"lens", pictures, "--board", "9x6"},
        {"lens", pictures, "--board", "9x6", "--square-mm", "-3"},
        {"lens", pictures, "--board", "9x6", "--square-mm", "20", "--camera", "a/b"},
        {"lens", pictures, "--board", "9x6", "--square-mm", "20", "--out"}}) {
    EXPECT_EQ(Run(bad).code, 2) << bad[3];
  }
  ExpectError(Run({"lens", m_dir + "/missing", "--board", "9x6", "--square-mm", "20"}),
              "not a directory");
  // A picture no camera gives ends the run at once, before it is decoded.
  Put("views/huge.png", veldrin_test::PngClaimingSize(40000, 40000));
  ExpectError(Run({"lens", pictures, "--board", "9x6", "--square-mm", "20", "--out", out}),
              "huge.png is 40000x40000 pixels");
  EXPECT_EQ(Read(out), before);
}

}  // namespace
