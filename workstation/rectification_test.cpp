#include "workstation/rectification.h"

#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace {

using Corners = std::vector<cv::Point2f>;

// A picture with structure everywhere, so a wrong matrix or interpolation shows up in the pixels.
cv::Mat MakeTestFrame(int width, int height) {
  cv::Mat frame(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      frame.at<cv::Vec3b>(y, x) =
          cv::Vec3b(static_cast<uchar>(x * 7 + y), static_cast<uchar>(y * 3),
                    static_cast<uchar>((x ^ y) & 0xff));
    }
  }
  return frame;
}

using Readouts = std::array<std::string, 4>;

TEST(Rectification, DefaultCornersReadoutsAndTheFrameTest) {
  CRectification r;
  r.ApplyCameraSettings(640, 480);
  r.SetDefaultCorners();
  EXPECT_EQ(r.GetCorners(), (Corners{{160, 120}, {480, 120}, {480, 360}, {160, 360}}));
  EXPECT_TRUE(r.CornersInsideFrame());
  // Other than four points are refused.
  EXPECT_FALSE(r.SetCorners({}));
  EXPECT_FALSE(r.SetCorners({{1, 1}, {2, 2}, {3, 3}}));
  EXPECT_FALSE(r.SetCorners({{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}}));
  EXPECT_EQ(r.GetCorners()[2], cv::Point2f(480, 360));
  // The frame's own corners are inside it; a bit beyond either side is not.
  for (const Corners& c : {Corners{{0, 0}, {640, 0}, {640, 480}, {0, 480}},
                           Corners{{0, 0}, {1280, 0}, {1280, 720}, {0, 720}},
                           Corners{{-0.5f, 0}, {10, 0}, {10, 10}, {0, 10}}}) {
    ASSERT_TRUE(r.SetCorners(c));
    EXPECT_EQ(r.CornersInsideFrame(), c[1].x == 640) << c[1].x;
  }

  // A corner nudged by tenths is held as the nearest float (100.1 is 100.0999...); values beyond
  // int are clamped rather than undefined.
  ASSERT_TRUE(r.SetCorners({{100.9f, -0.5f}, {100.1f, -0.04f}, {1e20f, -1e20f}, {NAN, 7.96f}}));
  EXPECT_EQ(r.FormatPointReadouts(),
            (Readouts{"P.1 = (100.9, -0.5)", "P.2 = (100.1, 0.0)",
                      "P.3 = (2147483647.0, -2147483648.0)", "P.4 = (0.0, 8.0)"}));

  // Odd sizes: the inset truncates, the far corners keep the remainder.
  r.ApplyCameraSettings(641, 481);
  r.SetDefaultCorners();
  EXPECT_EQ(r.GetCorners(), (Corners{{160, 120}, {481, 120}, {481, 361}, {160, 361}}));
}

TEST(Rectification, OutputSizeFollowsMediaAspect) {
  struct SCase {
    int mediaW, mediaH, outW, outH;
  };
  // On a 640 x 480 frame; the square case is not limited to the frame's height.
  for (const SCase& c :
       {SCase{1000, 500, 640, 320}, SCase{500, 1000, 240, 480}, SCase{500, 500, 640, 640},
        SCase{1000, 700, 640, 448}, SCase{1, 1000000, 0, 480}, SCase{2147483647, 1, 640, 0},
        SCase{2147483647, 2147483646, 640, 639}}) {
    CRectification r;
    r.ApplyCameraSettings(640, 480);
    EXPECT_TRUE(r.UpdateMediaSize(c.mediaW, c.mediaH));
    EXPECT_EQ(r.GetOutputSize(), cv::Size(c.outW, c.outH)) << c.mediaW << "x" << c.mediaH;
    const float w = static_cast<float>(c.outW), h = static_cast<float>(c.outH);
    EXPECT_EQ(r.GetDstCorners(), (Corners{{0, 0}, {w, 0}, {w, h}, {0, h}}));
  }
}

// Settings or a camera asking for an absurd size must not make a picture of gigabytes (or a
// warp that throws for want of memory).
TEST(Rectification, OutputSizeIsBoundedWhateverTheFrameAndMediaSizes) {
  auto bounded = [](cv::Size s) {
    return s.width > 0 && s.height > 0 && s.width <= 8192 && s.height <= 8192 &&
           3LL * s.width * s.height <= 64LL << 20;
  };
  for (const cv::Size frame : {cv::Size(100000, 100000), cv::Size(20000, 20000),
                               cv::Size(100000, 16), cv::Size(8192, 8192)}) {
    CRectification r;
    r.ApplyCameraSettings(frame.width, frame.height);
    EXPECT_TRUE(bounded(r.GetOutputSize())) << frame << " gives " << r.GetOutputSize();
    for (const cv::Size media : {cv::Size(1000, 700), cv::Size(1, 100000), cv::Size(100000, 1)}) {
      r.UpdateMediaSize(media.width, media.height);
      const cv::Size out = r.GetOutputSize();
      EXPECT_TRUE(out.area() == 0 || bounded(out)) << frame << " " << media << " gives " << out;
    }
    CRectification followed;
    followed.FollowFrameSize(frame.width, frame.height);
    EXPECT_TRUE(bounded(followed.GetOutputSize()));
  }
  // The aspect survives the bound, and the warp makes exactly the bounded picture.
  CRectification r;
  r.ApplyCameraSettings(20000, 10000);
  const cv::Size out = r.GetOutputSize();
  EXPECT_NEAR(static_cast<double>(out.width) / out.height, 2.0, 0.01);
  r.SetDefaultCorners();
  r.RebuildDstCorners();
  cv::Mat picture;
  ASSERT_TRUE(r.Rectify(cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(9)), picture));
  EXPECT_EQ(picture.size(), out);
}

TEST(Rectification, MediaUpdateReportsOnlyChangesAndLabelsShowTheHostValues) {
  CRectification r;
  r.ApplyCameraSettings(640, 480);
  EXPECT_TRUE(r.UpdateMediaSize(1000, 500));
  EXPECT_FALSE(r.UpdateMediaSize(1000, 500));
  EXPECT_EQ(r.FormatMediaWidthLabel(), "Media Width: 1000 mm");
  EXPECT_EQ(r.FormatMediaHeightLabel(), "Media Height: 500 mm");

  // Zero or negative media keep the output and its corners, but the labels say what the host
  // reports and the same bad value is not handled again on every frame.
  for (auto [w, h] : {std::pair{0, 500}, {1000, 0}, {-1000, -500}, {0, 0}}) {
    EXPECT_TRUE(r.UpdateMediaSize(w, h));
    EXPECT_FALSE(r.UpdateMediaSize(w, h));
    EXPECT_EQ(r.GetOutputSize(), cv::Size(640, 320));
    EXPECT_EQ(r.GetDstCorners(), (Corners{{0, 0}, {640, 0}, {640, 320}, {0, 320}}));
  }
  EXPECT_EQ(r.FormatMediaWidthLabel(), "Media Width: 0 mm");

  // The very first report counts as a change even when it is zero.
  CRectification fresh;
  fresh.ApplyCameraSettings(640, 480);
  EXPECT_TRUE(fresh.UpdateMediaSize(0, 0));
  EXPECT_TRUE(fresh.GetDstCorners().empty());
}

// A live resolution change keeps the outline on the same spot of the table and the output in
// the media's aspect, built from the new frame size.
TEST(Rectification, NewFrameSizeScalesCornersAndRebuildsTheOutput) {
  CRectification r;
  r.ApplyCameraSettings(640, 480);
  r.UpdateMediaSize(297, 210);
  ASSERT_EQ(r.GetOutputSize(), cv::Size(640, 452));
  ASSERT_TRUE(r.SetCorners({{100, 60}, {540, 60}, {540, 420}, {100, 420}}));
  EXPECT_FALSE(r.FollowFrameSize(640, 480));
  EXPECT_FALSE(r.FollowFrameSize(0, 720));

  ASSERT_TRUE(r.FollowFrameSize(1280, 720));
  EXPECT_EQ(r.GetFrameSize(), cv::Size(1280, 720));
  EXPECT_EQ(r.GetCorners(), (Corners{{200, 90}, {1080, 90}, {1080, 630}, {200, 630}}));
  EXPECT_EQ(r.GetOutputSize(), cv::Size(1280, 905));
  EXPECT_EQ(r.GetDstCorners(), (Corners{{0, 0}, {1280, 0}, {1280, 905}, {0, 905}}));
  EXPECT_FALSE(r.UpdateMediaSize(297, 210));
  EXPECT_TRUE(r.UpdateMediaSize(210, 297));  // portrait: the height comes from the frame
  EXPECT_EQ(r.GetOutputSize(), cv::Size(509, 720));

  cv::Mat out;
  ASSERT_TRUE(r.Rectify(MakeTestFrame(1280, 720), out));
  EXPECT_EQ(out.size(), cv::Size(509, 720));

  // Without a media size the output is the frame and no destination appears from nowhere.
  CRectification bare;
  bare.ApplyCameraSettings(640, 480);
  bare.SetDefaultCorners();
  ASSERT_TRUE(bare.FollowFrameSize(1000, 700));
  EXPECT_EQ(bare.GetOutputSize(), cv::Size(1000, 700));
  EXPECT_TRUE(bare.GetDstCorners().empty());
  EXPECT_EQ(bare.GetCorners()[2], cv::Point2f(750, 525));
}

// Mean absolute difference per channel value.
double MeanDifference(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  const cv::Scalar sum = cv::sum(diff);
  return (sum[0] + sum[1] + sum[2]) / (static_cast<double>(a.total()) * a.channels());
}

// A camera with barrel distortion, for frames of `size`.
SLensModel BarrelLens(cv::Size size) {
  SLensModel lens;
  lens.size = size;
  const double f = 0.9 * size.width;
  lens.matrix = cv::Matx33d(f, 0, size.width / 2.0 + 3, 0, f, size.height / 2.0 - 2, 0, 0, 1);
  lens.distortion = cv::Vec<double, 5>(-0.25, 0.06, 0.002, -0.001, 0.0);
  return lens;
}

// A smooth picture, so the two-step resampling below differs from the one-step one by little.
cv::Mat MakeSmoothFrame(int width, int height) {
  cv::Mat frame(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      frame.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(128 + 100 * std::sin(x / 9.0)),
                                            static_cast<uchar>(128 + 100 * std::cos(y / 7.0)),
                                            static_cast<uchar>((x + y) / 5));
    }
  }
  return frame;
}

// The single lookup table equals an independent perspective warp of the frame, or, with a lens,
// of the lens-corrected frame (the corners are positions in the corrected picture).
TEST(Rectification, WarpIsOneMappingOfLensCorrectionAndPerspective) {
  const Corners src{{40.5f, 30.25f}, {290, 20}, {300, 220}, {25, 210}};
  CRectification r;
  r.ApplyCameraSettings(320, 240);
  r.UpdateMediaSize(1000, 700);
  ASSERT_TRUE(r.SetCorners(src));
  cv::Mat m;
  cv::getPerspectiveTransform(src, r.GetDstCorners()).convertTo(m, CV_32F);
  for (const bool lens : {false, true}) {
    SCOPED_TRACE(lens ? "lens" : "no lens");
    const cv::Mat frame = lens ? MakeSmoothFrame(320, 240) : MakeTestFrame(320, 240);
    r.SetLens(lens ? std::make_shared<SLensModel>(BarrelLens(frame.size())) : nullptr);
    cv::Mat corrected, out, expected;
    EXPECT_EQ(r.CorrectLens(frame, corrected), lens);
    ASSERT_TRUE(r.Rectify(frame, out));
    ASSERT_EQ(out.size(), cv::Size(320, 224));
    ASSERT_EQ(out.type(), CV_8UC3);
    cv::warpPerspective(lens ? corrected : frame, expected, m, out.size());
    EXPECT_LE(MeanDifference(out, expected), lens ? 1.5 : 1.0);
    if (!lens) {
      // The lookup table and the warp round the source positions alike but not always identically.
      cv::Mat agree;
      cv::compare(out, expected, agree, cv::CMP_EQ);
      EXPECT_GT(cv::countNonZero(agree.reshape(1)), 0.95 * out.total() * 3);
    }
  }

  // The corrected picture puts a camera pixel where the lens model says its ideal position is;
  // frames of another size are taken as they are.
  const cv::Point2d ideal(250.0, 60.0);
  const cv::Point2d seen = veldrin::DistortPixel(BarrelLens({320, 240}), ideal);
  cv::Mat dot(240, 320, CV_8UC3, cv::Scalar::all(0)), corrected;
  cv::circle(dot, cv::Point(cvRound(seen.x * 16), cvRound(seen.y * 16)), 3 * 16,
             cv::Scalar::all(255), cv::FILLED, cv::LINE_AA, 4);
  ASSERT_TRUE(r.CorrectLens(dot, corrected));
  cv::Mat grey;
  cv::cvtColor(corrected, grey, cv::COLOR_BGR2GRAY);
  const cv::Moments g = cv::moments(grey);
  EXPECT_NEAR(g.m10 / g.m00, ideal.x, 0.3);
  EXPECT_NEAR(g.m01 / g.m00, ideal.y, 0.3);
  EXPECT_FALSE(r.CorrectLens(MakeSmoothFrame(160, 120), corrected));
  r.SetLens(nullptr);

  // A corner moved after a picture is seen by the very next one.
  const cv::Mat frame = MakeTestFrame(320, 240);
  cv::Mat out;
  ASSERT_TRUE(r.Rectify(frame, out));
  ASSERT_TRUE(r.SetCorners({{0, 0}, {320, 0}, {320, 240}, {0, 240}}));
  ASSERT_TRUE(r.Rectify(frame, out));
  cv::Mat scaled;
  cv::warpPerspective(frame, scaled, cv::Mat(cv::Matx33f(1, 0, 0, 0, 224.0f / 240.0f, 0, 0, 0, 1)),
                      cv::Size(320, 224));
  EXPECT_LE(MeanDifference(out, scaled), 1.0);

  // A picture someone still holds is not overwritten by the next one.
  const cv::Mat held = out;
  const cv::Mat heldCopy = held.clone();
  ASSERT_TRUE(r.SetCorners(src));
  ASSERT_TRUE(r.Rectify(frame, out));
  EXPECT_NE(out.data, held.data);
  EXPECT_EQ(cv::norm(held, heldCopy, cv::NORM_INF), 0.0);
}

// The pictures are made band by band on several threads: whatever the reused buffer held before,
// every pixel is rewritten, the last, partial band included (350 output rows), and the bottom rows
// come from the bottom of the mapping.
TEST(Rectification, ReusedPicturesAreRewrittenWhole) {
  const cv::Mat frame = MakeTestFrame(500, 300);
  const Corners src{{60, 40}, {450, 30}, {470, 280}, {30, 260}};
  CRectification r;
  r.ApplyCameraSettings(500, 300);
  r.UpdateMediaSize(1000, 700);
  ASSERT_TRUE(r.SetCorners(src));
  ASSERT_EQ(r.GetOutputSize(), cv::Size(500, 350));

  const auto twice = [&](bool lens, bool correct) {
    cv::Mat dark(correct ? frame.size() : r.GetOutputSize(), CV_8UC3, cv::Scalar::all(0));
    cv::Mat light(dark.size(), CV_8UC3, cv::Scalar::all(255));
    const uchar* pixels = dark.data;
    const bool made = correct ? r.CorrectLens(frame, dark) && r.CorrectLens(frame, light)
                              : r.Rectify(frame, dark) && r.Rectify(frame, light);
    EXPECT_TRUE(made) << "lens " << lens << ", correction " << correct;
    EXPECT_EQ(dark.data, pixels);
    EXPECT_EQ(cv::norm(dark, light, cv::NORM_INF), 0.0)
        << "lens " << lens << ", correction " << correct;
    return dark;
  };
  const cv::Mat plain = twice(false, false);
  cv::Mat m, expected;
  cv::getPerspectiveTransform(src, r.GetDstCorners()).convertTo(m, CV_32F);
  cv::warpPerspective(frame, expected, m, plain.size());
  const cv::Rect bottom(0, 330, 500, 20);
  EXPECT_LE(MeanDifference(plain(bottom), expected(bottom)), 1.0);

  r.SetLens(std::make_shared<SLensModel>(BarrelLens(frame.size())));
  twice(true, false);
  twice(true, true);
}

// Output pixels whose source lies outside the frame are black. Far outside, the lens's radial
// polynomial folds back toward the centre; those must not read as a second copy of the middle.
TEST(Rectification, OutsideTheFrameIsBlackWithOrWithoutALens) {
  const cv::Mat white(120, 160, CV_8UC3, cv::Scalar::all(255));
  SLensModel lens = BarrelLens(white.size());
  lens.distortion = cv::Vec<double, 5>(-0.4, 0, 0, 0, 0);
  // Quads twice and twenty times the frame, centred on it.
  const Corners twice{{-80, -60}, {240, -60}, {240, 180}, {-80, 180}};
  const Corners far{{-1520, -1140}, {1680, -1140}, {1680, 1260}, {-1520, 1260}};
  for (const bool withLens : {false, true}) {
    SCOPED_TRACE(withLens ? "lens" : "no lens");
    CRectification r;
    r.ApplyCameraSettings(160, 120);
    r.UpdateMediaSize(100, 100);
    if (withLens) r.SetLens(std::make_shared<SLensModel>(lens));
    ASSERT_TRUE(r.SetCorners(withLens ? far : twice));
    cv::Mat out;
    ASSERT_TRUE(r.Rectify(white, out));
    EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(out.at<cv::Vec3b>(out.rows - 1, out.cols - 1), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(out.at<cv::Vec3b>(out.rows / 2, 3), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(out.at<cv::Vec3b>(out.rows / 2, out.cols / 2), cv::Vec3b(255, 255, 255));
    if (withLens) {
      EXPECT_LT(cv::countNonZero(out.reshape(1)), 0.05 * out.total() * 3);
    }
  }
}

TEST(Rectification, NoOutputWithoutAUsableGeometry) {
  const cv::Mat frame = MakeTestFrame(64, 48);
  cv::Mat out = frame.clone();

  CRectification r;
  r.ApplyCameraSettings(64, 48);
  r.SetDefaultCorners();
  // No media size yet, so no destination corners.
  EXPECT_FALSE(r.Rectify(frame, out));
  EXPECT_TRUE(out.empty());

  r.UpdateMediaSize(100, 100);
  EXPECT_FALSE(r.Rectify(cv::Mat(), out));
  EXPECT_FALSE(r.Rectify(cv::Mat(0, 64, CV_8UC3), out));
  EXPECT_TRUE(r.Rectify(frame, out));

  // Corners piled onto one point or a line have no homography.
  ASSERT_TRUE(r.SetCorners({{5, 5}, {5, 5}, {5, 5}, {5, 5}}));
  EXPECT_FALSE(r.Rectify(frame, out));
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(r.SetCorners({{0, 0}, {10, 0}, {20, 0}, {30, 0}}));
  EXPECT_FALSE(r.Rectify(frame, out));

  // A media so narrow that the output has no width: the warp would otherwise fall back to the
  // frame's size.
  r.SetDefaultCorners();
  r.UpdateMediaSize(1, 1000000);
  EXPECT_EQ(r.GetOutputSize().width, 0);
  EXPECT_FALSE(r.Rectify(frame, out));
}

// The dialog's thread replaces the corners while the capture thread warps; every warp must use
// one complete set. Both corner sets below yield the same picture up to a mirror, so any
// output that matches neither came from a torn set.
TEST(Rectification, CornersReplacedWhileWarping) {
  const cv::Mat frame = MakeTestFrame(160, 120);
  const Corners a{{10, 10}, {150, 10}, {150, 110}, {10, 110}};
  const Corners b{{150, 10}, {10, 10}, {10, 110}, {150, 110}};
  CRectification r;
  r.ApplyCameraSettings(160, 120);
  r.UpdateMediaSize(4, 3);
  ASSERT_TRUE(r.SetCorners(a));
  cv::Mat expectedA, expectedB;
  ASSERT_TRUE(r.Rectify(frame, expectedA));
  ASSERT_TRUE(r.SetCorners(b));
  ASSERT_TRUE(r.Rectify(frame, expectedB));

  std::atomic<bool> stop{false};
  std::thread ui([&] {
    for (int i = 0; !stop.load(); ++i) {
      ASSERT_TRUE(r.SetCorners(i % 2 ? a : b));
      if (i % 7 == 0) r.RebuildDstCorners();
      (void)r.FormatPointReadouts();
    }
  });
  int torn = 0;
  for (int i = 0; i < 300; ++i) {
    cv::Mat out;
    ASSERT_TRUE(r.Rectify(frame, out));
    if (cv::norm(out, expectedA, cv::NORM_INF) != 0 &&
        cv::norm(out, expectedB, cv::NORM_INF) != 0) {
      ++torn;
    }
  }
  stop = true;
  ui.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
