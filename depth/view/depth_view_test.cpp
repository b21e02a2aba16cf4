// The 3D View and its OpenGL view, fed frames of the simulated depth camera: the tolerance
// arrows, the drawing switches, the plane file, and what the OpenGL view really draws.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <cstdlib>
#include <optional>

#include "depth/plane_files.h"
#include "depth/view/depth_camera_dialog.h"
#include "depth/view/opengl_3d_window.h"
#include "display/image_window.h"
#include "platform/byte_order.h"
#include "testing/qt_app.h"
#include "testing/scratch_dir.h"
#include "testing/test_files.h"
#include "video/realsense_video_engine.h"
#include "video/sim/simulated_depth_device.h"

namespace {

using veldrin_test::CScratchDir;

const auto* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new veldrin_test::CQtAppEnvironment("depth_view_test"));

// Depth pixels on the table all round the box at the centre.
constexpr int kDepthCorners[8] = {150, 110, 490, 110, 490, 370, 150, 370};

// Frames of the simulated camera, converted as the engine does, handed to a 3D View.
class CFeeder {
 public:
  explicit CFeeder(std::optional<SSceneBox> box)
      : m_device(STableSceneParams{.box = box, .depth = {}}, false) {
    m_device.Start(SDepthStreamRequest{});
  }
  float Feed(CDepthCameraDialog& dialog, int frames) {
    float h = 0.f;
    for (int i = 0; i < frames; ++i) {
      SDepthFrameset frameset;
      EXPECT_TRUE(m_device.TryWaitForFrameset(std::chrono::milliseconds(100), frameset));
      m_rays.Update(frameset.depth.intrinsics);
      m_cloud.resize(static_cast<size_t>(frameset.depth.width) * frameset.depth.height);
      m_converter.Convert(frameset.depth, m_rays, m_meters, m_grey, m_cloud.data());
      h = dialog.UpdateDepthView(m_grey, m_meters, m_cloud.data(), kDepthCorners);
    }
    return h;
  }

 private:
  CSimulatedDepthDevice m_device;
  CPixelRays m_rays;
  CDepthFrameConverter m_converter;
  std::vector<SVertex> m_cloud;
  cv::Mat m_meters, m_grey;
};

const SSceneBox kBox50{{120, 100, 50}};

// Pixels of the view's framebuffer within `slack` of a colour.
int CountColour(const QImage& image, QRgb colour, int slack = 3) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb p = image.pixel(x, y);
      if (std::abs(qRed(p) - qRed(colour)) <= slack &&
          std::abs(qGreen(p) - qGreen(colour)) <= slack &&
          std::abs(qBlue(p) - qBlue(colour)) <= slack)
        ++n;
    }
  }
  return n;
}

QImage Grab(CDepthCameraDialog& dialog) {
  QCoreApplication::processEvents();
  return dialog.GLWindow()->grabFramebuffer();
}

class DepthViewTest : public ::testing::Test {
 protected:
  CScratchDir m_scratch{"depthview"};
  std::string Folder() const { return m_scratch.Path().string() + "/"; }
};

TEST_F(DepthViewTest, ToleranceArrowsRaiseAndLowerWithAFloorOfThree) {
  CDepthCameraDialog dialog(Folder());
  auto* edit = dialog.findChild<QLineEdit*>("1008");
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->text(), "4");
  QToolButton* up = dialog.ToleranceArrows()->UpButton();
  QToolButton* down = dialog.ToleranceArrows()->DownButton();
  down->click();
  down->click();
  EXPECT_EQ(edit->text(), "3");
  up->click();
  up->click();
  EXPECT_EQ(edit->text(), "5");
  QTest::keyClick(dialog.ToleranceArrows(), Qt::Key_Up);
  EXPECT_EQ(dialog.GetTolerance(), 6.f);
}

TEST_F(DepthViewTest, NoCloseBoxOnlyTheOwnerRemovesIt) {
  CDepthCameraDialog dialog(Folder());
  EXPECT_EQ(dialog.windowTitle(), "3D View");
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
  dialog.show();
  dialog.close();
  EXPECT_TRUE(dialog.isVisible());
}

TEST_F(DepthViewTest, PlaneFileIsWrittenFromTheCloudAndReadAtTheNextStart) {
  {
    CDepthCameraDialog dialog(Folder());
    EXPECT_EQ(dialog.IsPlaneLoaded(), 0);
    // Nothing measured yet: nothing to store.
    EXPECT_EQ(dialog.SavePlaneCoordinates(), CDepthCameraDialog::ESaveResult::kNoFrameYet);
    EXPECT_FALSE(std::filesystem::exists(veldrin::Plane3DPath(Folder())));
    CFeeder feeder(std::nullopt);
    feeder.Feed(dialog, 60);
    EXPECT_EQ(dialog.SavePlaneCoordinates(), CDepthCameraDialog::ESaveResult::kSaved);
    EXPECT_EQ(dialog.IsPlaneLoaded(), 1);
    const auto latest = dialog.Published();
    ASSERT_TRUE(latest);
    // The record holds the averaged cloud at the four corners, as little-endian floats.
    const std::string bytes = veldrin_test::ReadFileBytes(veldrin::Plane3DPath(Folder()));
    ASSERT_EQ(bytes.size(), 48u);
    for (size_t i = 0; i < 4; ++i) {
      const size_t k = static_cast<size_t>(kDepthCorners[2 * i + 1]) * 640 +
                       static_cast<size_t>(kDepthCorners[2 * i]);
      for (size_t j = 0; j < 3; ++j) {
        const float v = veldrin::ReadLEFloat(bytes.data() + 12 * i + 4 * j);
        EXPECT_EQ(v, latest->averagedCloud[3 * k + j]) << i << "," << j;
      }
    }
  }
  CDepthCameraDialog again(Folder());
  EXPECT_EQ(again.IsPlaneLoaded(), 1);
}

TEST_F(DepthViewTest, OpenGLViewDrawsHeightColoursWhereTheBoxIs) {
  if (!COpenGL3DWindow::IsAvailable()) GTEST_SKIP() << "no OpenGL on this display";
  CDepthCameraDialog dialog(Folder());
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  ASSERT_NE(dialog.GLWindow(), nullptr);
  const QImage before = Grab(dialog);
  // Before the first frame: the grey background alone.
  EXPECT_EQ(CountColour(before, qRgb(127, 127, 127), 2), before.width() * before.height());

  CFeeder feeder(kBox50);
  feeder.Feed(dialog, 80);
  const QImage image = Grab(dialog);
  const QRgb white = qRgb(242, 242, 242), green = qRgb(0, 127, 0);
  const QRgb blue = qRgb(0, 0, 255);
  EXPECT_GT(CountColour(image, white), 200);
  EXPECT_GT(CountColour(image, green), 1000);
  EXPECT_EQ(CountColour(image, blue), 0);

  // The near-white points lie where the box top is: project the measured top's centre as the
  // view does (45 degrees, the depth camera's view with no turn).
  const auto latest = dialog.Published();
  double sx = 0, sy = 0, sz = 0;
  int n = 0;
  for (size_t k = 0; k < latest->heights.size(); ++k) {
    if (latest->heights[k] > 0.04f) {
      sx += latest->averagedCloud[3 * k];
      sy += latest->averagedCloud[3 * k + 1];
      sz += latest->averagedCloud[3 * k + 2];
      ++n;
    }
  }
  ASSERT_GT(n, 100);
  const double f = 1.0 / std::tan(22.5 * CV_PI / 180.0);
  const double aspect = static_cast<double>(image.width()) / image.height();
  const int u = static_cast<int>((sx / sz * f / aspect + 1) / 2 * image.width());
  const int v = static_cast<int>((sy / sz * f + 1) / 2 * image.height());
  const QImage around = image.copy(u - 15, v - 15, 30, 30);
  EXPECT_GT(CountColour(around, white), 50) << u << "," << v;

  // The switches change the drawing: table points in blue, no plane.
  dialog.findChild<QCheckBox*>("1011")->click();
  dialog.findChild<QCheckBox*>("1017")->click();
  const QImage switched = Grab(dialog);
  EXPECT_GT(CountColour(switched, blue), 1000);
  EXPECT_EQ(CountColour(switched, green), 0);
  // Clicking both again restores the first drawing.
  dialog.findChild<QCheckBox*>("1011")->click();
  dialog.findChild<QCheckBox*>("1017")->click();
  EXPECT_EQ(Grab(dialog), image);

  // Left-drag turns, Shift-drag pans, a double-click puts the view back.
  COpenGL3DWindow* view = dialog.GLWindow();
  view->OnMouseMove(Qt::NoButton, Qt::NoModifier, QPointF(100, 100));
  view->OnMouseMove(Qt::LeftButton, Qt::NoModifier, QPointF(90, 100));
  EXPECT_EQ(view->RotationZ(), 5.f);
  view->OnMouseMove(Qt::LeftButton, Qt::NoModifier, QPointF(90, 100 + 721));
  EXPECT_EQ(view->RotationX(), 0.f);  // passed 360: back to 0, not the remainder
  view->OnMouseMove(Qt::LeftButton, Qt::ShiftModifier, QPointF(100, 821));
  EXPECT_GT(view->PanX(), 0.f);
  view->OnMouseWheel(120);
  EXPECT_GT(view->Zoom(), 0.f);
  EXPECT_NE(Grab(dialog), image);
  QTest::mouseDClick(view, Qt::LeftButton);
  EXPECT_EQ(view->RotationZ(), 0.f);
  EXPECT_EQ(Grab(dialog), image);
}

TEST_F(DepthViewTest, WithoutOpenGLTheViewSaysSoAndMeasuringGoesOn) {
  ::setenv("VELDRIN_NO_OPENGL", "1", 1);
  CDepthCameraDialog dialog(Folder());
  ::unsetenv("VELDRIN_NO_OPENGL");
  EXPECT_EQ(dialog.GLWindow(), nullptr);
  auto* label = dialog.findChild<QLabel*>("glUnavailable");
  ASSERT_NE(label, nullptr);
  EXPECT_TRUE(label->text().contains("OpenGL"));
  CFeeder feeder(kBox50);
  EXPECT_NEAR(feeder.Feed(dialog, 120) * 1000.f, 50.f, 2.f);
  auto* height = dialog.findChild<QLineEdit*>("1021");
  ASSERT_TRUE(QTest::qWaitFor([&] { return height->text().endsWith(" mm"); }));
  EXPECT_NEAR(height->text().chopped(3).toInt(), 50, 2);
}

}  // namespace
