#include "depth/table_measure.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

namespace {

// A flat table `z` metres away straight ahead, seen by a 64 x 48 camera with focal length 50,
// optionally with a block `rise` metres nearer over [bx0, bx1) x [by0, by1).
struct SScene {
  int cols = 64, rows = 48;
  float z = 1.0f;
  float rise = 0.f;
  cv::Rect block;
  std::vector<SVertex> Cloud() const {
    std::vector<SVertex> cloud(static_cast<size_t>(cols) * rows);
    for (int y = 0; y < rows; ++y) {
      for (int x = 0; x < cols; ++x) {
        const float d = block.contains({x, y}) ? z - rise : z;
        cloud[y * cols + x] = {{(x - cols / 2.f) / 50.f * d, (y - rows / 2.f) / 50.f * d, d}};
      }
    }
    return cloud;
  }
  cv::Mat Meters() const { return cv::Mat(rows, cols, CV_64F, cv::Scalar(z)); }
};

float Feed(CTableMeasure& measure, const SScene& scene, int frames, const int c[8],
           std::vector<float>* heights = nullptr) {
  const std::vector<SVertex> cloud = scene.Cloud();
  const cv::Mat meters = scene.Meters();
  if (heights) heights->assign(static_cast<size_t>(scene.cols) * scene.rows, -1.f);
  float h = 0.f;
  for (int i = 0; i < frames; ++i) {
    h = measure.UpdateDepthView(meters, cloud.data(), c[0], c[1], c[2], c[3], c[4], c[5], c[6],
                                c[7], heights ? heights->data() : nullptr);
  }
  return h;
}

const int kCorners[8] = {8, 6, 56, 6, 56, 42, 8, 42};  // top left, top right, bottom right, left

TEST(PointInPolygonTest, BordersFollowTheStrictComparisons) {
  const int square[8] = {10, 10, 20, 10, 20, 20, 10, 20};
  const int reversed[8] = {10, 20, 20, 20, 20, 10, 10, 10};
  const struct {
    float x, y;
    int inside;
  } cases[] = {{10, 15, 1},    {15, 10, 1},         {20, 15, 0}, {15, 20, 0}, {15, 15, 1},
               {9.99f, 15, 0}, {19.99f, 19.99f, 1}, {10, 10, 1}, {20, 20, 0}, {25, 15, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(PointInPolygon(4, square, c.x, c.y), c.inside) << c.x << "," << c.y;
    EXPECT_EQ(PointInPolygon(4, reversed, c.x, c.y), c.inside) << c.x << "," << c.y;
  }
  EXPECT_EQ(PointInPolygon(0, square, 15, 15), 0);
  EXPECT_EQ(PointInPolygon(-1, square, 15, 15), 0);
}

// ComputeHeights finds the inside pixels row by row; it must pick exactly the pixels the
// crossing test picks, for any quadrilateral the corners can make.
TEST(PointInPolygonTest, RowCrossingsPickTheSamePixelsAsTheCrossingTest) {
  const std::vector<std::array<int, 8>> polygons = {
      {8, 6, 56, 6, 56, 42, 8, 42},           // the usual
      {8, 42, 56, 42, 56, 6, 8, 6},           // turned the other way
      {3, 9, 60, 2, 50, 47, 0, 30},           // skewed
      {10, 10, 30, 25, 50, 10, 30, 45},       // concave
      {5, 5, 60, 40, 60, 5, 5, 40},           // self-crossing bow tie
      {0, 0, 0, 0, 0, 0, 0, 0},               // all corners at pixel (0, 0)
      {0, 0, 0, 0, 40, 30, 7, 7},             // two coincide
      {-20, -10, 90, 5, 70, 80, -5, 60},      // beyond the picture
      {10, 20, 30, 20, 50, 20, 60, 20},       // flat: one row
      {2, 3, 2, 3, 2, 40, 2, 40},             // flat: one column
      {63, 47, 63, 0, 0, 47, 0, 0},           // picture corners
      {100000, 3, -100000, 30, 5, 47, 9, 1},  // huge
  };
  const int cols = 64, rows = 48;
  for (const auto& p : polygons) {
    for (int y = -1; y <= rows; ++y) {
      int counts[4];
      const int n = veldrin::PolygonRowCrossings(4, p.data(), y, cols, counts);
      for (int x = 0; x < cols; ++x) {
        int left = 0;
        for (int i = 0; i < n; ++i) left += x < counts[i] ? 1 : 0;
        ASSERT_EQ(left % 2,
                  PointInPolygon(4, p.data(), static_cast<float>(x), static_cast<float>(y)))
            << "polygon " << (&p - polygons.data()) << " pixel " << x << "," << y;
      }
    }
  }
}

// Each pixel's average starts from its first valid sample: the first frame measures right.
TEST(TableMeasureTest, TheAverageStartsFromEachPixelsFirstValidSample) {
  CTableMeasure measure;
  SScene scene;  // 1 m away, a 5 cm block
  scene.rise = 0.05f;
  scene.block = cv::Rect(20, 15, 10, 8);
  EXPECT_NEAR(Feed(measure, scene, 1, kCorners), 0.05f, 1e-5f);
  EXPECT_FLOAT_EQ(measure.GetAveragedCloud()[2], 1.0f);
  EXPECT_FALSE(measure.IsSettled());
  EXPECT_FALSE(measure.Published()->settled);

  // A pixel without depth holds 10 m until its first valid sample, which then stands alone;
  // afterwards missing depth is averaged in as 10 m.
  CTableMeasure holes;
  std::vector<SVertex> cloud = SScene{}.Cloud();
  const cv::Mat meters = SScene{}.Meters();
  std::vector<SVertex> holed = cloud;
  for (const std::size_t pixel : {std::size_t{5}, std::size_t{160}}) holed[pixel].xyz[2] = 0.f;
  const auto z = [&](std::size_t pixel) { return holes.GetAveragedCloud()[3 * pixel + 2]; };
  const auto feed = [&](const std::vector<SVertex>& c) {
    holes.UpdateDepthView(meters, c.data(), 8, 6, 56, 6, 56, 42, 8, 42, nullptr);
  };
  feed(holed);
  EXPECT_FLOAT_EQ(z(5), 10.f);
  EXPECT_FLOAT_EQ(z(160), 10.f);
  feed(holed);
  EXPECT_FLOAT_EQ(z(5), 10.f);
  feed(cloud);
  EXPECT_FLOAT_EQ(z(5), 1.f);
  EXPECT_FLOAT_EQ(z(160), 1.f);
  feed(holed);
  EXPECT_FLOAT_EQ(z(5), 1.f - 1.f / 20 + 10.f / 20);
  EXPECT_FLOAT_EQ(z(160), z(5));

  for (std::uint64_t i = 5; i < CTableMeasure::kSettleFrames; ++i) feed(cloud);
  EXPECT_FALSE(holes.IsSettled());
  feed(cloud);
  EXPECT_TRUE(holes.IsSettled());
  EXPECT_TRUE(holes.Published()->settled);
}

TEST(TableMeasureTest, HeightsInsideTheCornersAboveThePlane) {
  SScene scene;
  scene.rise = 0.05f;
  scene.block = cv::Rect(20, 15, 10, 8);
  const struct {
    const char* name;
    int corners[8];
    float expected;  // metres; NaN: heights inside are not numbers
  } cases[] = {
      {"corners in picture order", {8, 6, 56, 6, 56, 42, 8, 42}, 0.05f},
      // Reversed turning order: the normal flips, the block lies below the plane.
      {"reversed corners", {8, 42, 56, 42, 56, 6, 8, 6}, 0.f},
      // Corners 0, 1 and 2 on one line: no plane, no height.
      {"collinear corners", {8, 6, 30, 6, 56, 6, 8, 42}, NAN},
      {"coincident corners", {0, 0, 0, 0, 0, 0, 0, 0}, NAN},
      // The block outside the corners is not measured.
      {"block outside", {35, 25, 60, 25, 60, 45, 35, 45}, 0.f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CTableMeasure measure;
    std::vector<float> heights;
    const float h = Feed(measure, scene, 400, c.corners, &heights);
    if (std::isnan(c.expected)) {
      EXPECT_EQ(h, 0.f);
      const int k = 20 * scene.cols + 20;
      EXPECT_TRUE(std::isnan(heights[k]) || heights[k] == 0.f);
    } else {
      EXPECT_NEAR(h, c.expected, 1e-4f);
    }
    // Outside the corners every height is 0.
    EXPECT_EQ(heights[47 * scene.cols + 63], 0.f);
  }
}

TEST(TableMeasureTest, RaisedCornersSitAtTheHeightAboveTheStoredPlane) {
  CTableMeasure measure;
  float out[12];
  EXPECT_EQ(measure.GetRaisedPlaneCorners(0.f, out), 0);  // no stored plane

  SScene scene;
  Feed(measure, scene, 300, kCorners);
  Plane3D stored;
  ASSERT_TRUE(measure.CurrentPlaneCorners(stored));
  measure.SetPlaneCorners(stored);
  scene.rise = 0.03f;
  scene.block = cv::Rect(20, 15, 10, 8);
  const float h = Feed(measure, scene, 300, kCorners);
  EXPECT_NEAR(h, 0.03f, 1e-4f);

  ASSERT_EQ(measure.GetRaisedPlaneCorners(0.f, out), 1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(out[3 * i + 2], stored[i].z);
  }
  ASSERT_EQ(measure.GetRaisedPlaneCorners(h, out), 1);
  const float* plane = measure.GetPlane();
  const float norm = std::sqrt(plane[0] * plane[0] + plane[1] * plane[1] + plane[2] * plane[2]);
  for (std::size_t i = 0; i < 4; ++i) {
    const float above = -(plane[0] * out[3 * i] + plane[1] * out[3 * i + 1] +
                          plane[2] * out[3 * i + 2] + plane[3]) /
                        norm;
    EXPECT_NEAR(above, h, 1e-5f) << i;
    EXPECT_LT(out[3 * i + 2], stored[i].z);  // towards the camera
  }
}

// A reader holding measurements while the writer publishes frame after frame never sees one
// whose arrays belong to different frames, and frames only move forward.
TEST(MeasurementExchangeTest, ReadersNeverSeeATornMeasurement) {
  CMeasurementExchange exchange;
  EXPECT_FALSE(exchange.Latest());
  std::atomic<bool> stop{false};
  std::atomic<long> checked{0};
  auto reader = [&] {
    std::uint64_t last = 0;
    while (!stop) {
      CMeasurementExchange::CHandle m = exchange.Latest();
      if (!m) continue;
      ASSERT_GE(m->frame, last);
      last = m->frame;
      const auto frame = static_cast<float>(m->frame);
      for (size_t i = 0; i < m->heights.size(); ++i) {
        ASSERT_EQ(m->heights[i], frame);
        ASSERT_EQ(m->depth[i], frame);
      }
      ++checked;
    }
  };
  std::thread a(reader), b(reader);
  // Publish until the readers have looked many times (and at least 3000 frames).
  int published = 0, skipped = 0;
  std::uint64_t n = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((n < 3000 || checked.load() < 500) && std::chrono::steady_clock::now() < deadline) {
    ++n;
    SDepthMeasurement* m = exchange.BeginWrite();
    if (m == nullptr) {
      ++skipped;
      continue;
    }
    m->frame = n;
    m->heights.assign(1000, static_cast<float>(n));
    m->depth.assign(1000, static_cast<double>(n));
    exchange.Publish();
    ++published;
  }
  stop = true;
  a.join();
  b.join();
  EXPECT_GT(checked.load(), 0);
  // Two readers hold at most two buffers besides the published one: a fourth is always free.
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(static_cast<std::uint64_t>(published), n);
  EXPECT_EQ(exchange.Latest()->frame, n);
}

}  // namespace
