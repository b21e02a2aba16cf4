#include "geometry/camera_model.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cmath>
#include <vector>

#include "geometry/pixel_mapping.h"

namespace {

using veldrin::DeprojectPixelToPoint;
using veldrin::ProjectPointToPixel;

SCameraIntrinsics Intrinsics(EDistortion model, std::initializer_list<float> coeffs = {}) {
  SCameraIntrinsics in{640, 480, 320.f, 240.f, 600.f, 500.f, model, {}};
  std::copy(coeffs.begin(), coeffs.end(), in.coeffs);
  return in;
}

// The calibration of a typical depth camera: depth and colour side by side, 15 mm apart.
SDepthColorCalibration TypicalCalibration() {
  SDepthColorCalibration c;
  c.depthIntrinsics = {640, 480, 320.f, 240.f, 385.f, 385.f, EDistortion::kBrownConrady, {}};
  c.colorIntrinsics = {640, 480, 321.f, 239.f, 612.f, 611.f, EDistortion::kInverseBrownConrady, {}};
  const float s = 0.004f;  // small rotation about y
  c.depthToColor.rotation[0] = std::cos(s);
  c.depthToColor.rotation[2] = -std::sin(s);
  c.depthToColor.rotation[6] = std::sin(s);
  c.depthToColor.rotation[8] = std::cos(s);
  c.depthToColor.translation[0] = 0.015f;
  c.colorToDepth = veldrin::InverseExtrinsics(c.depthToColor);
  return c;
}

struct SModelCase {
  const char* name;
  SCameraIntrinsics intrinsics;
  bool inverts;  // deprojection undoes projection
};

// Every model in one table. Modified Brown-Conrady deprojects without undoing its distortion and
// F-Theta's deprojection uses a different normalisation than its projection; both follow the
// cameras' own convention, so they are kept as they are and only checked for what they keep.
TEST(CameraModelTest, DeprojectionUndoesProjectionForEveryModel) {
  const SModelCase cases[] = {
      {"none", Intrinsics(EDistortion::kNone), true},
      {"modified Brown-Conrady, no coefficients", Intrinsics(EDistortion::kModifiedBrownConrady),
       true},
      {"modified Brown-Conrady", Intrinsics(EDistortion::kModifiedBrownConrady, {0.1f, 0.02f}),
       false},
      {"inverse Brown-Conrady",
       Intrinsics(EDistortion::kInverseBrownConrady, {0.08f, -0.03f, 0.002f, -0.001f, 0.01f}),
       true},
      {"Brown-Conrady",
       Intrinsics(EDistortion::kBrownConrady, {-0.05f, 0.02f, 0.001f, 0.002f, 0.f}), true},
      {"F-Theta", Intrinsics(EDistortion::kFTheta, {0.9f}), false},
      {"Kannala-Brandt", Intrinsics(EDistortion::kKannalaBrandt4, {0.05f, -0.01f, 0.002f, 0.f}),
       true},
  };
  for (const SModelCase& c : cases) {
    SCOPED_TRACE(c.name);
    // The principal point stays put whatever the model.
    const cv::Point3f centre = DeprojectPixelToPoint(c.intrinsics, {320.f, 240.f}, 0.8f);
    EXPECT_NEAR(centre.x, 0.f, 1e-6f);
    EXPECT_NEAR(centre.y, 0.f, 1e-6f);
    EXPECT_FLOAT_EQ(centre.z, 0.8f);
    double worst = 0;
    for (float v = 20; v < 480; v += 55) {
      for (float u = 10; u < 640; u += 70) {
        const cv::Point3f p = DeprojectPixelToPoint(c.intrinsics, {u, v}, 1.7f);
        ASSERT_FLOAT_EQ(p.z, 1.7f);
        const cv::Point2f back = ProjectPointToPixel(c.intrinsics, p);
        worst = std::max(worst, cv::norm(back - cv::Point2f(u, v)));
        // The radial direction is kept by all of them.
        EXPECT_GT((back.x - 320) * (u - 320) + (back.y - 240) * (v - 240), -1e-3f);
      }
    }
    if (c.inverts) {
      EXPECT_LT(worst, 2e-3) << "pixels";
    } else {
      EXPECT_GT(worst, 1.0) << "pixels";
    }
  }
}

TEST(CameraModelTest, ProjectionMatchesHandComputedValues) {
  // The point (0.1, -0.05, 0.5) has normalised coordinates (0.2, -0.1), r^2 = 0.05.
  const struct {
    const char* name;
    SCameraIntrinsics intrinsics;
    cv::Point2f expected;
  } cases[] = {
      {"none", Intrinsics(EDistortion::kNone), {440.f, 190.f}},
      // f = 1 + 0.1 * 0.05 = 1.005
      {"Brown-Conrady k1", Intrinsics(EDistortion::kBrownConrady, {0.1f}), {440.6f, 189.75f}},
      // a = 0.2 + 2 * 0.01 * 0.2 * -0.1; b = -0.1 + 0.01 * (0.05 + 2 * 0.01)
      {"inverse Brown-Conrady p1",
       Intrinsics(EDistortion::kInverseBrownConrady, {0, 0, 0.01f}),
       {439.76f, 190.35f}},
      {"modified Brown-Conrady p1",
       Intrinsics(EDistortion::kModifiedBrownConrady, {0, 0, 0.01f}),
       {439.76f, 190.35f}},
      // theta = atan(sqrt(0.05)), r_d = theta * (1 + 0.1 theta^2)
      {"Kannala-Brandt k1",
       Intrinsics(EDistortion::kKannalaBrandt4, {0.1f}),
       {438.62928f, 190.57114f}},
      // r_d = atan(2 r tan(0.5))
      {"F-Theta w = 1", Intrinsics(EDistortion::kFTheta, {1.f}), {448.59354f, 186.41936f}},
  };
  for (const auto& c : cases) {
    const cv::Point2f p = ProjectPointToPixel(c.intrinsics, {0.1f, -0.05f, 0.5f});
    EXPECT_NEAR(p.x, c.expected.x, 2e-3) << c.name;
    EXPECT_NEAR(p.y, c.expected.y, 2e-3) << c.name;
  }
  // F-Theta deprojection: r = tan(w r_d) / atan(2 tan(w / 2)) with r_d = sqrt(0.05), at depth 2.
  const cv::Point3f q =
      DeprojectPixelToPoint(Intrinsics(EDistortion::kFTheta, {1.f}), {440, 190}, 2);
  EXPECT_NEAR(q.x, 0.4903467f, 1e-5);
  EXPECT_NEAR(q.y, -0.2451733f, 1e-5);
}

TEST(CameraModelTest, ExtrinsicsAreColumnMajorAndInvert) {
  SCameraExtrinsics e;
  // 90 degrees about z: x -> y, y -> -x. Column-major: column 0 is the image of x.
  const float r[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
  std::copy(r, r + 9, e.rotation);
  e.translation[0] = 0.5f;
  e.translation[2] = -1.f;
  const cv::Point3f p = veldrin::TransformPointToPoint(e, {1.f, 2.f, 3.f});
  EXPECT_FLOAT_EQ(p.x, -2.f + 0.5f);
  EXPECT_FLOAT_EQ(p.y, 1.f);
  EXPECT_FLOAT_EQ(p.z, 3.f - 1.f);
  const cv::Point3f back = veldrin::TransformPointToPoint(veldrin::InverseExtrinsics(e), p);
  EXPECT_NEAR(cv::norm(back - cv::Point3f(1, 2, 3)), 0, 1e-6);
}

TEST(CameraModelTest, RaysTimesDepthAreTheDeprojection) {
  SCameraIntrinsics in = Intrinsics(EDistortion::kInverseBrownConrady, {0.05f, 0, 0.001f});
  in.width = 7;
  in.height = 5;
  CPixelRays rays;
  rays.Update(in);
  const float* first = rays.Data();
  rays.Update(in);  // same intrinsics: kept, not rebuilt
  EXPECT_EQ(rays.Data(), first);
  for (int y = 0; y < in.height; ++y) {
    for (int x = 0; x < in.width; ++x) {
      const float* r = rays.Data() + 2 * static_cast<std::size_t>(y * in.width + x);
      const cv::Point3f p = DeprojectPixelToPoint(
          in, cv::Point2f(static_cast<float>(x), static_cast<float>(y)), 0.731f);
      EXPECT_EQ(r[0] * 0.731f, p.x);
      EXPECT_EQ(r[1] * 0.731f, p.y);
    }
  }
}

// A depth frame with guard zones around it: the frame is all `inside`, the guards a valid depth.
// Any read outside the frame therefore shows up as a found pixel when the frame holds no depth.
struct SGuardedFrame {
  SGuardedFrame(int w, int h, std::uint16_t inside) : guard(4096), data(w * h + 2 * guard, 600) {
    std::fill(data.begin() + guard, data.end() - guard, inside);
  }
  const std::uint16_t* Frame() const { return data.data() + guard; }
  std::uint16_t& At(int k) { return data[guard + k]; }
  int guard;
  std::vector<std::uint16_t> data;
};

TEST(ColorToDepthSearchTest, FindsThePixelThatSeesTheColourPixel) {
  const SDepthColorCalibration c = TypicalCalibration();
  SGuardedFrame wall(640, 480, 700);  // a wall 0.7 m away
  for (const cv::Point colour :
       {cv::Point(320, 240), cv::Point(5, 7), cv::Point(600, 450), cv::Point(100, 400)}) {
    int dx = -1, dy = -1;
    veldrin::ColorPixelToDepthPixel(c, wall.Frame(), colour.x, colour.y, dx, dy);
    // Where that depth pixel's wall point appears in colour: within a pixel of where we started.
    int cx = -1, cy = -1;
    ASSERT_EQ(veldrin::DepthPixelToColorPixel(c, dx, dy, cx, cy, 0.7f), 1);
    EXPECT_LE(std::abs(cx - colour.x), 2) << colour << " -> " << dx << "," << dy;
    EXPECT_LE(std::abs(cy - colour.y), 2) << colour << " -> " << dx << "," << dy;
  }
}

TEST(ColorToDepthSearchTest, NeverReadsOutsideTheFrameAndLeavesTheResultWithoutDepth) {
  SDepthColorCalibration c = TypicalCalibration();
  const struct {
    const char* name;
    int w, h;
    cv::Point2f colour;
  } cases[] = {
      {"centre", 640, 480, {320, 240}},
      {"far corners", 640, 480, {-5000, -4000}},
      {"beyond the far corner", 640, 480, {9000, 7000}},
      {"one row", 640, 1, {320, 240}},
      {"one column", 1, 480, {320, 240}},
      {"one pixel", 1, 1, {10, 10}},
  };
  for (const auto& t : cases) {
    c.depthIntrinsics.width = t.w;
    c.depthIntrinsics.height = t.h;
    const SGuardedFrame empty(t.w, t.h, 0);
    cv::Point2f result(-7.f, -9.f);
    EXPECT_FALSE(veldrin::ProjectColorPixelToDepthPixel(result, empty.Frame(), 0.001f, 0.11f, 1.0f,
                                                        c.depthIntrinsics, c.colorIntrinsics,
                                                        c.colorToDepth, c.depthToColor, t.colour))
        << t.name;
    EXPECT_EQ(result, cv::Point2f(-7.f, -9.f)) << t.name;
  }
  // The tool's own mapping reports depth pixel (0, 0) then.
  c = TypicalCalibration();
  const SGuardedFrame empty(640, 480, 0);
  int dx = 5, dy = 5;
  EXPECT_EQ(veldrin::ColorPixelToDepthPixel(c, empty.Frame(), 300, 200, dx, dy), 1);
  EXPECT_EQ(cv::Point(dx, dy), cv::Point(0, 0));
  EXPECT_EQ(veldrin::ColorPixelToDepthPixel(c, nullptr, 300, 200, dx, dy), 1);
}

TEST(ColorToDepthSearchTest, AZeroLengthLineTestsItsOnePixel) {
  const SDepthColorCalibration c = TypicalCalibration();
  // The same minimum and maximum depth: start and end coincide.
  const cv::Point3f p = veldrin::TransformPointToPoint(
      c.colorToDepth, DeprojectPixelToPoint(c.colorIntrinsics, {200.f, 150.f}, 0.5f));
  const cv::Point2f at = ProjectPointToPixel(c.depthIntrinsics, p);
  SGuardedFrame frame(640, 480, 0);
  frame.At(static_cast<int>(at.y) * 640 + static_cast<int>(at.x)) = 500;
  cv::Point2f result(-1.f, -1.f);
  EXPECT_TRUE(veldrin::ProjectColorPixelToDepthPixel(
      result, frame.Frame(), 0.001f, 0.5f, 0.5f, c.depthIntrinsics, c.colorIntrinsics,
      c.colorToDepth, c.depthToColor, cv::Point2f(200, 150)));
  EXPECT_EQ(result, at);
}

TEST(PixelMappingTest, DepthPixelsMapToColourPixelsExceptWithoutAValidPoint) {
  const SDepthColorCalibration c = TypicalCalibration();
  int x = 11, y = 12;
  EXPECT_EQ(veldrin::DepthPixelToColorPixel(c, 320, 240, x, y, -0.001f), 0);
  EXPECT_EQ(veldrin::DepthPixelToColorPixel(c, 320, 240, x, y, 0.f), 0);  // no depth: no point
  EXPECT_EQ(cv::Point(x, y), cv::Point(11, 12));
  // A point 1 m straight ahead of the depth camera lies 15 mm to the right of the colour axis:
  // u = 612 * (0.015 + sin(0.004)) / cos(0.004) + 321 = 332.63, truncated.
  EXPECT_EQ(veldrin::DepthPixelToColorPixel(c, 320, 240, x, y, 1.f), 1);
  EXPECT_EQ(cv::Point(x, y), cv::Point(332, 239));
  EXPECT_EQ(veldrin::ProjectPointToColorPixel(c, 0.f, 0.f, 1.f, x, y), 1);
  EXPECT_EQ(cv::Point(x, y), cv::Point(332, 239));
  // Negative pixel coordinates truncate toward zero: (-0.5, -0.5) is pixel (0, 0).
  EXPECT_EQ(veldrin::ProjectPointToColorPixel(c, -0.54547f, -0.39283f, 1.f, x, y), 1);
  EXPECT_EQ(cv::Point(x, y), cv::Point(0, 0));
}

}  // namespace
