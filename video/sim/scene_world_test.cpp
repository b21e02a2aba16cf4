#include "video/sim/scene_world.h"
#include "video/table_scene.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <opencv2/core.hpp>

#include <fstream>

#include "testing/scratch_dir.h"
#include "video/sim/simulated_depth_device.h"

namespace {

SSceneBox Box() { return {{80, 60, 40}, {-20, 0}, 30}; }

// What each depth pixel sees lies on the table, on the box or on the floor, and the colour
// camera sees that same point where the reported calibration says it does.
TEST(SceneWorldTest, DepthAndColourCamerasSeeOneWorld) {
  STableSceneParams params;
  params.box = Box();
  const CSceneWorld world(params);
  const SCameraIntrinsics depth = world.DepthIntrinsics();
  EXPECT_EQ(depth.width, 640);
  EXPECT_EQ(depth.height, 480);
  const cv::Size colorSize(640, 480);
  const SCameraIntrinsics color = world.ColorIntrinsics(colorSize);
  cv::Mat z;
  world.RenderDepth(params.box, z);
  int onTable = 0, onBox = 0;
  for (int y = 0; y < 480; y += 7) {
    for (int x = 0; x < 640; x += 7) {
      const float mm = z.at<float>(y, x);
      ASSERT_GT(mm, 0.f);
      const cv::Point3f p = veldrin::DeprojectPixelToPoint(depth, cv::Point2f(x, y), mm / 1000.f);
      const cv::Point3d q = world.DepthToTable(p);
      const bool table = std::abs(q.z) < 0.05, top = std::abs(q.z - 40) < 0.05;
      EXPECT_TRUE(table || top || std::abs(q.z + 750) < 0.05 || (q.z > 0 && q.z < 40))
          << x << "," << y << ": " << q;
      onTable += table;
      onBox += top;
      if (!table && !top) continue;
      const cv::Point2f expected = world.TableToColorPixel(q, colorSize);
      const cv::Point2f mapped = veldrin::ProjectPointToPixel(
          color, veldrin::TransformPointToPoint(world.DepthToColor(), p));
      EXPECT_NEAR(mapped.x, expected.x, 0.02) << x << "," << y;
      EXPECT_NEAR(mapped.y, expected.y, 0.02) << x << "," << y;
    }
  }
  EXPECT_GT(onTable, 2000);
  EXPECT_GT(onBox, 20);
  // Mounted as depth cameras are: 15 mm beside the colour camera, turned very slightly.
  const SCameraExtrinsics e = world.DepthToColor();
  EXPECT_FLOAT_EQ(e.translation[0], 0.015f);
  for (int i : {1, 2, 3, 5, 6, 7}) EXPECT_LT(std::abs(e.rotation[i]), 0.01f);
  // The default camera looks at the table from inside the grey ramp (0.3 m to 1.1 m).
  const float centre = z.at<float>(240, 320);
  EXPECT_GT(centre, 300.f);
  EXPECT_LT(centre, 1100.f);
}

TEST(SceneWorldTest, TheColourPictureShowsTheBox) {
  STableSceneParams params;
  CTableScene plain(params);
  params.box = Box();
  CTableScene withBox(params);
  cv::Mat a, b;
  plain.Render(cv::Size(640, 480), 0, a);
  withBox.Render(cv::Size(640, 480), 0, b);
  const CSceneWorld world(params);
  const cv::Point2f top = world.TableToColorPixel({-20, 0, 40}, {640, 480});
  EXPECT_GT(cv::norm(a.at<cv::Vec3b>(top), b.at<cv::Vec3b>(top)), 60);
  // Far from the box nothing changed.
  EXPECT_EQ(a.at<cv::Vec3b>(20, 600), b.at<cv::Vec3b>(20, 600));
  // A live change reaches the next frame, and a reset goes back to the file's scene.
  veldrin::SetLiveSceneBox(std::nullopt);
  withBox.Render(cv::Size(640, 480), 0, b);
  EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0);
  veldrin::ResetLiveScene();
  withBox.Render(cv::Size(640, 480), 0, b);
  EXPECT_GT(cv::norm(a, b, cv::NORM_INF), 0);
}

// Several boxes: each camera sees the nearest surface, so a tall box hides what lies behind it
// from both, and a mark shows on its box's top in its own colour.
TEST(SceneWorldTest, BothCamerasSeeEveryBoxAndWhatTheyHide) {
  STableSceneParams params;
  SSceneBox tall{{40, 40, 120}, {0, -20}, 0};
  tall.mark = SSceneMark{20, {10, 200, 30}};
  const SSceneBox flat{{60, 60, 10}, {0, 35}, 0};
  params.boxes = {flat, tall};
  const CSceneWorld world(params);
  const cv::Size size(640, 480);
  cv::Mat picture;
  CTableScene(params).Render(size, 0, picture);
  const cv::Vec3b mark = picture.at<cv::Vec3b>(world.TableToColorPixel({0, -20, 120}, size));
  EXPECT_EQ(mark, cv::Vec3b(30, 200, 10));
  // Depth: the ray towards the near edge of the flat box's top meets the tall box first.
  cv::Mat z;
  world.RenderDepth(params.boxes, z);
  const SCameraIntrinsics depth = world.DepthIntrinsics();
  const cv::Point2f px = veldrin::ProjectPointToPixel(depth, world.TableToDepth({0, 7, 10}));
  const float mm = z.at<float>(static_cast<int>(std::lround(px.y)), static_cast<int>(px.x));
  const cv::Point3d seen = world.DepthToTable(veldrin::DeprojectPixelToPoint(
      depth, cv::Point2f(std::round(px.x), std::round(px.y)), mm / 1000.f));
  EXPECT_GT(seen.z, 10.5);  // on the tall box
  const cv::Point2f far = veldrin::ProjectPointToPixel(depth, world.TableToDepth({0, 60, 10}));
  const float farMm = z.at<float>(static_cast<int>(std::lround(far.y)), static_cast<int>(far.x));
  EXPECT_NEAR(world
                  .DepthToTable(veldrin::DeprojectPixelToPoint(
                      depth, cv::Point2f(std::round(far.x), std::round(far.y)), farMm / 1000.f))
                  .z,
              10.0, 0.5);
}

TEST(SimulatedDepthDeviceTest, DepthHasNoiseQuantisationAndHoles) {
  STableSceneParams params;
  params.box = Box();
  CSimulatedDepthDevice device(params, false);
  device.Start(SDepthStreamRequest{});
  cv::Mat exact;
  device.World().RenderDepth(params.box, exact);
  // Noise: RMS about z^2 * 0.08 / (fx * 0.05) around the exact depth, in whole millimetres.
  double sum2 = 0;
  int n = 0, holes = 0;
  SDepthFrameset frameset;
  for (int f = 0; f < 10; ++f) {
    ASSERT_TRUE(device.TryWaitForFrameset(std::chrono::milliseconds(100), frameset));
    ASSERT_TRUE(frameset.hasDepth);
    EXPECT_FALSE(frameset.hasColor);
    const auto* raw = static_cast<const std::uint16_t*>(frameset.depth.data);
    for (int y = 200; y < 280; ++y) {
      for (int x = 440; x < 520; ++x) {  // table only
        const std::uint16_t mm = raw[y * 640 + x];
        if (mm == 0) {
          ++holes;
          continue;
        }
        const double e = mm - exact.at<float>(y, x);
        sum2 += e * e;
        ++n;
      }
    }
    // The left band has no depth: about fx * 0.05 / z pixels.
    EXPECT_EQ(raw[240 * 640 + 5], 0);
    EXPECT_NE(raw[240 * 640 + 60], 0);
  }
  const double z = exact.at<float>(240, 480) / 1000.0;
  const double expected = z * z * 0.08 / (385 * 0.05) * 1000;
  // Quantisation adds 1/12 mm^2 of variance.
  EXPECT_NEAR(std::sqrt(sum2 / n), std::sqrt(expected * expected + 1.0 / 12), 0.15 * expected);
  EXPECT_EQ(holes, 0);

  // Holes at the box's edges, none with holes switched off.
  const cv::Point2f boxCentre = device.World().TableToColorPixel({-20, 0, 40}, {640, 480});
  (void)boxCentre;
  int edgeHoles = 0;
  const auto* raw = static_cast<const std::uint16_t*>(frameset.depth.data);
  for (int k = 0; k < 640 * 480; ++k) {
    if (raw[k] == 0 && k % 640 > 100) ++edgeHoles;
  }
  EXPECT_GT(edgeHoles, 50);
  params.depth.holes = false;
  params.depth.noise = false;
  CSimulatedDepthDevice clean(params, false);
  clean.Start(SDepthStreamRequest{});
  ASSERT_TRUE(clean.TryWaitForFrameset(std::chrono::milliseconds(100), frameset));
  raw = static_cast<const std::uint16_t*>(frameset.depth.data);
  for (int k = 0; k < 640 * 480; k += 13) {
    ASSERT_EQ(raw[k], static_cast<std::uint16_t>(std::lround(exact.at<float>(k / 640, k % 640))));
  }
}

TEST(SimulatedDepthDeviceTest, OffersOnlyItsOwnStreams) {
  CSimulatedDepthDevice device(STableSceneParams{}, false);
  SDepthStreamRequest request;
  request.depthWidth = 320;
  EXPECT_THROW(device.Start(request), CStreamNotOfferedError);
  request = SDepthStreamRequest{};
  request.fps = 60;
  EXPECT_THROW(device.Start(request), CStreamNotOfferedError);
  request = SDepthStreamRequest{};
  request.colorWidth = 800;
  request.colorHeight = 600;
  EXPECT_THROW(device.Start(request), CStreamNotOfferedError);
  SDepthFrameset frameset;
  EXPECT_THROW(device.TryWaitForFrameset(std::chrono::milliseconds(10), frameset),
               CDeviceLostError);
  // The colour stream joins from the second frameset on, with the asked size's intrinsics.
  request.colorWidth = 1280;
  request.colorHeight = 720;
  device.Start(request);
  ASSERT_TRUE(device.TryWaitForFrameset(std::chrono::milliseconds(100), frameset));
  EXPECT_FALSE(frameset.hasColor);
  ASSERT_TRUE(device.TryWaitForFrameset(std::chrono::milliseconds(100), frameset));
  ASSERT_TRUE(frameset.hasColor);
  EXPECT_EQ(frameset.color.intrinsics.width, 1280);
  EXPECT_EQ(frameset.color.intrinsics.model, EDistortion::kInverseBrownConrady);
}

TEST(SceneFileTest, BoxAndDepthKeys) {
  veldrin_test::CScratchDir dir("scene");
  const std::string path = (dir.Path() / "scene.json").string();
  auto load = [&](const std::string& json, STableSceneParams& params, std::string& error) {
    std::ofstream(path) << json;
    params = STableSceneParams{};
    return veldrin::LoadTableSceneParams(path, params, error);
  };
  STableSceneParams p;
  std::string error;
  ASSERT_TRUE(load(R"({"box": {"size_mm": [100, 80, 50], "center_mm": [10, -20],
      "rotation_deg": 15}, "depth": {"size": [848, 480], "baseline_mm": 20, "noise": false,
      "holes": false}})",
                   p, error))
      << error;
  ASSERT_TRUE(p.box.has_value());
  EXPECT_EQ(p.box->sizeMm[2], 50);
  EXPECT_EQ(p.box->centreMm[1], -20);
  EXPECT_EQ(p.box->rotationDeg, 15);
  EXPECT_EQ(p.depth.width, 848);
  EXPECT_EQ(p.depth.baselineMm, 20);
  EXPECT_FALSE(p.depth.noise);
  EXPECT_FALSE(p.depth.holes);
  ASSERT_TRUE(load(R"({"box": null})", p, error)) << error;
  EXPECT_FALSE(p.box.has_value());
  ASSERT_TRUE(load(R"({"box": {"size_mm": [40, 40, 5]}, "boxes": [{"center_mm": [50, 0],
      "mark": {"diameter_mm": 12, "rgb": [1, 2, 3]}}, {}]})",
                   p, error))
      << error;
  const std::vector<SSceneBox> all = veldrin::SceneBoxList(p.box, p.boxes);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].sizeMm[2], 5);
  ASSERT_TRUE(all[1].mark.has_value());
  EXPECT_EQ(all[1].mark->diameterMm, 12);
  EXPECT_EQ(all[1].mark->rgb[2], 3);
  EXPECT_FALSE(all[2].mark.has_value());

  const char* bad[] = {
      R"({"box": {"size_mm": [100, 80]}})",
      R"({"box": {"size_mm": [0, 80, 50]}})",
      R"({"box": {"height": 3}})",
      R"({"box": {"rotation_deg": 200}})",
      R"({"box": 5})",
      R"({"boxes": {}})",
      R"({"boxes": [{"mark": {"rgb": [1, 2, 256]}}]})",
      R"({"boxes": [{"size_mm": [20, 20, 5], "mark": {"diameter_mm": 30}}]})",
      R"({"depth": {"size": [8, 8]}})",
      R"({"depth": {"baseline_mm": -1}})",
      R"({"depth": {"noise": 1}})",
      R"({"depth": {"fps": 60}})",
  };
  for (const char* json : bad) {
    error.clear();
    EXPECT_FALSE(load(json, p, error)) << json;
    EXPECT_FALSE(error.empty()) << json;
  }
}

}  // namespace
