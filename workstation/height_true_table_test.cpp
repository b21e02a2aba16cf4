// The height-true picture of the simulated camera's sheet against the world: marks on boxes of
// different heights land where they stand, the bare table is the plain picture, and the fill
// colour covers exactly what the colour camera cannot see.

#include "workstation/height_true_table.h"

#include <gtest/gtest.h>

#include <optional>

#include "depth/media_rig_test_fixture.h"
#include "workstation/rectification.h"

namespace {

using veldrin_test::CMediaRig;

const cv::Size kColorSize(1280, 720);

struct SPictures {
  cv::Mat plain, heightTrue;
  SMediaFrame frame;
  SMediaHeightMap map;
};

cv::Mat Plain(const CMediaRig& rig, const std::vector<cv::Point2f>& corners) {
  CRectification rectification;
  rectification.ApplyCameraSettings(kColorSize.width, kColorSize.height);
  EXPECT_TRUE(rectification.SetCorners(corners));
  rectification.UpdateMediaSize(static_cast<int>(rig.MediaWidth()),
                                static_cast<int>(rig.MediaHeight()));
  cv::Mat out;
  EXPECT_TRUE(rectification.Rectify(rig.Picture(), out));
  return out;
}

SPictures Pictures(const CMediaRig& rig) {
  SPictures p;
  p.plain = Plain(rig, rig.Corners());
  SHeightTrueCamera camera;
  camera.calibration = rig.Calibration();
  const auto latest = rig.Measure().Published();
  EXPECT_TRUE(veldrin::MakeMediaFrame(rig.Calibration(), latest->plane,
                                      veldrin::CornerRays(camera, rig.Corners()), rig.MediaWidth(),
                                      rig.MediaHeight(), p.frame));
  EXPECT_TRUE(
      veldrin::BuildMediaHeightMap(*latest, rig.Calibration().depthIntrinsics, p.frame, p.map));
  SHeightTrueTables tables;
  veldrin::BuildHeightTrueTables(p.frame, p.map, camera, kColorSize, p.plain.size(), tables);
  veldrin::RemapHeightTrue(rig.Picture(), tables, p.heightTrue);
  return p;
}

// The centre of the pixels of a mark's colour, in media millimetres; none when it is not seen.
std::optional<cv::Point2d> MarkCentre(const cv::Mat& picture, const SSceneMark& mark,
                                      const CMediaRig& rig) {
  const cv::Vec3b colour(mark.rgb[2], mark.rgb[1], mark.rgb[0]);
  double x = 0, y = 0, n = 0;
  for (int r = 0; r < picture.rows; ++r) {
    for (int c = 0; c < picture.cols; ++c) {
      if (cv::norm(picture.at<cv::Vec3b>(r, c), colour, cv::NORM_INF) > 40) continue;
      x += c;
      y += r;
      ++n;
    }
  }
  if (n < 20) return std::nullopt;
  return cv::Point2d(x / n * rig.MediaWidth() / picture.cols,
                     y / n * rig.MediaHeight() / picture.rows);
}

TEST(HeightTrueTableTest, EveryMarkLandsWhereItsBoxStands) {
  const std::vector<SSceneBox> boxes = veldrin_test::ThreeMarkedBoxes();
  const CMediaRig rig(boxes, kColorSize);
  const SPictures p = Pictures(rig);

  // Auto calibration's picture: the corners raised to the tallest top.
  float raised[12];
  const float tallest = rig.Measure().Published()->maxHeight;
  ASSERT_EQ(rig.Measure().GetRaisedPlaneCorners(tallest, raised), 1);
  std::vector<cv::Point2f> raisedCorners;
  for (std::size_t i = 0; i < 4; ++i) {
    const cv::Point3f q(raised[3 * i], raised[3 * i + 1], raised[3 * i + 2]);
    const cv::Point3f c = veldrin::TransformPointToPoint(rig.Calibration().depthToColor, q);
    raisedCorners.push_back(veldrin::ProjectPointToPixel(rig.Calibration().colorIntrinsics, c));
  }
  const cv::Mat autoCalibrated = Plain(rig, raisedCorners);

  double worstPlain = 0, worstAuto = 0;
  for (const SSceneBox& box : boxes) {
    SCOPED_TRACE(box.sizeMm[2]);
    const cv::Point2d truth = rig.TableToMedia(box.centreMm[0], box.centreMm[1]);
    const auto heightTrue = MarkCentre(p.heightTrue, *box.mark, rig);
    ASSERT_TRUE(heightTrue);
    EXPECT_LE(cv::norm(*heightTrue - truth), 1.0) << *heightTrue << " truth " << truth;
    worstPlain = std::max(worstPlain, cv::norm(*MarkCentre(p.plain, *box.mark, rig) - truth));
    if (const auto a = MarkCentre(autoCalibrated, *box.mark, rig)) {
      worstAuto = std::max(worstAuto, cv::norm(*a - truth));
    }
  }
  // Either single height leaves some mark several millimetres off.
  EXPECT_GT(worstPlain, 5.0);
  EXPECT_GT(worstAuto, 5.0);
}

TEST(HeightTrueTableTest, TheFillCoversWhatTheCameraCannotSeeAndNothingElse) {
  const SSceneBox tall{{80, 60, 60}, {-60, 20}, 0};
  const CMediaRig rig({tall}, kColorSize);
  const SPictures p = Pictures(rig);
  // Truth: the line of sight from the surface at a media point to the colour camera's centre
  // meets the box (slabs in table millimetres).
  const auto camera = veldrin::TableSceneCamera(STableSceneParams{});
  const cv::Point2d c0 = rig.TableToMedia(0, 0), cx = rig.TableToMedia(1, 0) - c0,
                    cy = rig.TableToMedia(0, 1) - c0;
  const cv::Matx22d toTable = cv::Matx22d(cx.x, cy.x, cx.y, cy.y).inv();
  auto hidden = [&](double mx, double my) {
    const cv::Vec2d t = toTable * cv::Vec2d(mx - c0.x, my - c0.y);
    const bool onBox =
        std::abs(t[0] - tall.centreMm[0]) < 40 && std::abs(t[1] - tall.centreMm[1]) < 30;
    const cv::Vec3d s(t[0], t[1], onBox ? 60.0 : 0.0);
    const cv::Vec3d d = cv::Vec3d(camera.centre[0], camera.centre[1], camera.centre[2]) - s;
    double enter = 1e-6, leave = 1.0;
    const double low[3] = {tall.centreMm[0] - 40, tall.centreMm[1] - 30, 0};
    const double high[3] = {tall.centreMm[0] + 40, tall.centreMm[1] + 30, 60};
    for (int i = 0; i < 3; ++i) {
      if (d[i] == 0) continue;
      double a = (low[i] - s[i]) / d[i], b = (high[i] - s[i]) / d[i];
      if (a > b) std::swap(a, b);
      enter = std::max(enter, a);
      leave = std::min(leave, b);
    }
    return enter < leave - 1e-9;
  };
  const double sx = rig.MediaWidth() / p.heightTrue.cols,
               sy = rig.MediaHeight() / p.heightTrue.rows;
  int filled = 0, wrong = 0, missing = 0;
  for (int r = 0; r < p.heightTrue.rows; r += 3) {
    for (int c = 0; c < p.heightTrue.cols; c += 3) {
      const double mx = c * sx, my = r * sy;
      // Within 3 mm of the border (the height map's cell and the holes along an edge) the answer
      // may go either way.
      bool allHidden = true, noneHidden = true;
      for (const double dx : {-3.0, 0.0, 3.0}) {
        for (const double dy : {-3.0, 0.0, 3.0}) {
          const bool h = hidden(mx + dx, my + dy);
          allHidden = allHidden && h;
          noneHidden = noneHidden && !h;
        }
      }
      const bool fill = p.heightTrue.at<cv::Vec3b>(r, c) == kHiddenFill;
      filled += fill;
      missing += allHidden && !fill;
      wrong += noneHidden && fill;
    }
  }
  EXPECT_GT(filled, 500);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(missing, 0);
}

TEST(HeightTrueTableTest, OnTheBareTableItIsThePlainPicture) {
  const CMediaRig rig({}, kColorSize);
  const SPictures p = Pictures(rig);
  EXPECT_EQ(p.map.maxMm, 0.f);
  ASSERT_EQ(p.heightTrue.size(), p.plain.size());
  cv::Mat difference;
  cv::absdiff(p.heightTrue, p.plain, difference);
  EXPECT_LT(cv::mean(difference)[0], 0.5);
  EXPECT_LT(cv::countNonZero(difference.reshape(1) > 8), difference.total() * 3 / 500);
}

}  // namespace
