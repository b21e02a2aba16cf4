#include "workstation/fixed_point_remap.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace {

// Tables that send output pixels everywhere: well inside the frame, onto its last rows and
// columns, partly and wholly outside it, to the 16-bit extremes, with every fraction and the
// bits above the fraction set at random (cv::remap ignores them).
void RandomTables(cv::Size out, cv::Size frame, cv::RNG& rng, cv::Mat& map1, cv::Mat& map2) {
  map1.create(out, CV_16SC2);
  map2.create(out, CV_16UC1);
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      cv::Vec2s& at = map1.at<cv::Vec2s>(y, x);
      switch (rng.uniform(0, 8)) {
        case 0:  // near the edges, either side
          at = {static_cast<short>(rng.uniform(-3, 4) + (rng.uniform(0, 2) ? frame.width : 0)),
                static_cast<short>(rng.uniform(-3, frame.height + 3))};
          break;
        case 1:
          at = {static_cast<short>(rng.uniform(-3, frame.width + 3)),
                static_cast<short>(rng.uniform(-3, 4) + (rng.uniform(0, 2) ? frame.height : 0))};
          break;
        case 2:
          at = {static_cast<short>(rng.uniform(0, 2) ? -32768 : 32767),
                static_cast<short>(rng.uniform(-32768, 32768))};
          break;
        default:  // anywhere in the frame
          at = {static_cast<short>(rng.uniform(0, frame.width)),
                static_cast<short>(rng.uniform(0, frame.height))};
      }
      map2.at<ushort>(y, x) = static_cast<ushort>(rng.uniform(0, 65536));
    }
  }
}

TEST(FixedPointRemap, EqualsOpenCvBitForBit) {
  cv::RNG rng(20261206);
  // Frames too small for the fast loop, odd sizes, a camera size; outputs whose width leaves
  // 0 to 3 pixels after the groups of four.
  const cv::Size frames[] = {{1, 1}, {2, 2}, {3, 5}, {4, 2}, {5, 3}, {17, 9}, {640, 480}};
  for (const cv::Size frameSize : frames) {
    for (const int type : {CV_8UC3, CV_8UC1}) {
      for (int outWidth = 36; outWidth <= 39; ++outWidth) {
        SCOPED_TRACE(testing::Message() << frameSize << " type " << type << " out " << outWidth);
        cv::Mat frame(frameSize, type);
        rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
        cv::Mat map1, map2;
        RandomTables(cv::Size(outWidth, 45), frameSize, rng, map1, map2);
        cv::Mat expected;
        cv::remap(frame, expected, map1, map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                  cv::Scalar::all(0));
        cv::Mat out(map1.size(), type, cv::Scalar::all(7));
        veldrin::RemapRows(frame, out, map1, map2, 0, out.rows);
        EXPECT_EQ(cv::norm(out, expected, cv::NORM_INF), 0.0);
      }
    }
  }
}

TEST(FixedPointRemap, ReadsAFramePartAndWritesOnlyItsRows) {
  cv::RNG rng(7);
  cv::Mat whole(300, 420, CV_8UC3);
  rng.fill(whole, cv::RNG::UNIFORM, 0, 256);
  // A frame that is part of a larger picture: its rows are further apart than its width, and
  // pixels beyond its right and bottom edges must read as outside.
  const cv::Mat frame = whole(cv::Rect(10, 20, 333, 250));
  cv::Mat map1, map2;
  RandomTables(cv::Size(101, 40), frame.size(), rng, map1, map2);
  cv::Mat expected;
  cv::remap(frame, expected, map1, map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));

  cv::Mat out(map1.size(), CV_8UC3, cv::Scalar::all(7));
  veldrin::RemapRows(frame, out, map1, map2, 8, 30);
  EXPECT_EQ(cv::norm(out.rowRange(8, 30), expected.rowRange(8, 30), cv::NORM_INF), 0.0);
  const cv::Mat untouched(8, out.cols, CV_8UC3, cv::Scalar::all(7));
  EXPECT_EQ(cv::norm(out.rowRange(0, 8), untouched, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(out.rowRange(30, 38), untouched, cv::NORM_INF), 0.0);
}

}  // namespace
