#include "workstation/lens.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/scratch_dir.h"
#include "testing/test_files.h"

namespace {

SLensModel MeasuredLens() {
  SLensModel lens;
  lens.camera = "USB Camera \"Front\"";
  lens.size = cv::Size(1280, 720);
  lens.matrix = cv::Matx33d(1108.5123456789, 0, 641.25, 0, 1107.9, 359.75, 0, 0, 1);
  lens.distortion = cv::Vec<double, 5>(-0.2012345678901, 0.05, 1e-4, -2e-4, -0.001);
  lens.rmsPx = 0.123456789;
  return lens;
}

TEST(LensFile, RoundTripsExactly) {
  veldrin_test::CScratchDir dir("lens");
  const std::string path = dir.Folder() + veldrin::LensFileName("USB Camera");
  EXPECT_EQ(veldrin::LensFileName("USB Camera"), "USB Camera.lens");
  const SLensModel lens = MeasuredLens();
  ASSERT_TRUE(veldrin::WriteLensFile(path, lens));

  SLensModel read;
  std::string error;
  ASSERT_TRUE(veldrin::ReadLensFile(path, read, error)) << error;
  EXPECT_EQ(read.camera, lens.camera);
  EXPECT_EQ(read.size, lens.size);
  EXPECT_EQ(read.matrix, lens.matrix);
  EXPECT_EQ(read.distortion, lens.distortion);
  EXPECT_EQ(read.rmsPx, lens.rmsPx);
}

TEST(LensFile, RefusesWhatIsNotALens) {
  veldrin_test::CScratchDir dir("lens");
  const std::string path = dir.Folder() + "x.lens";
  // Values the file states in few digits, so the cases below can find them.
  SLensModel before = MeasuredLens();
  before.matrix(0, 0) = 1108.5;
  before.distortion[0] = -0.25;
  before.rmsPx = 0.125;
  SLensModel lens = before;
  std::string error;
  EXPECT_FALSE(veldrin::ReadLensFile(path, lens, error));
  EXPECT_NE(error.find("no lens file"), std::string::npos);

  const std::string good = veldrin::SerializeLens(before);
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  for (const std::string& text :
       {std::string("not json"), std::string("[1, 2]"), good.substr(0, good.size() / 2),
        replaced("1280", "-1280"), replaced("1108.5", "0"), replaced("1108.5", "\"1108\""),
        replaced("-0.25,", ""), replaced("\"camera\"", "\"kamera\""), replaced("0.125", "-1"),
        // No camera is that far out: every picture would come out black.
        replaced("1108.5", "1e-300"), replaced("1108.5", "1e6"), replaced("-0.25", "1e300"),
        replaced("641.25", "-5000"),
        // Deeper than the reader goes: it throws rather than answers.
        std::string(30000, '[') + std::string(30000, ']'),
        "{\"camera\": " + std::string(20000, '[')}) {
    veldrin_test::WriteFileBytes(path, text);
    error.clear();
    EXPECT_FALSE(veldrin::ReadLensFile(path, lens, error)) << text.substr(0, 200);
    EXPECT_NE(error.find(path), std::string::npos) << error;
  }
  EXPECT_EQ(lens.matrix, before.matrix);

  // An unusable lens is not written, and the previous file stays.
  ASSERT_TRUE(veldrin::WriteLensFile(path, before));
  SLensModel broken = before;
  broken.matrix(0, 0) = -1;
  EXPECT_FALSE(veldrin::WriteLensFile(path, broken));
  EXPECT_TRUE(veldrin::ReadLensFile(path, lens, error));
}

TEST(LensFile, NamesTheCalibrationStoreRefusesAreRefused) {
  for (const std::string& name :
       {std::string(), std::string("."), std::string(".."), std::string("a/b"),
        std::string("a\0b", 3), std::string(300, 'c')}) {
    EXPECT_EQ(veldrin::LensFileName(name), "") << name;
  }
  EXPECT_EQ(veldrin::LensFileName("HD Pro Webcam C920"), "HD Pro Webcam C920.lens");
}

}  // namespace
