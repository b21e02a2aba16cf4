#include "display/image_window.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <atomic>
#include <limits>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "testing/qt_app.h"

namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(
    new veldrin_test::CQtAppEnvironment("display_image_window_test"));

using veldrin::PlaceImage;

class ImageWindowTest : public ::testing::Test {
 protected:
  // A shown window of the given client size holding a picture of the given size, painted once
  // so the placement is known.
  void Prepare(int cw, int ch, int pw, int ph) {
    m_window.resize(cw, ch);
    m_window.SetImageSize(pw, ph);
    m_frame = cv::Mat(ph, pw, CV_8UC3, cv::Scalar(10, 20, 30));
    m_window.SetImage(m_frame);
    m_window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
    m_window.repaint();
  }

  // Hover without a button: sent directly, as the platform cursor is not ours to move.
  void Hover(QPoint pos) {
    QMouseEvent move(QEvent::MouseMove, pos, m_window.mapToGlobal(pos), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(&m_window, &move);
  }

  // Hovers over `from`, presses, moves to `to` and releases there with `modifiers` held.
  void Drag(QPoint from, QPoint to, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    Hover(from);
    QTest::mousePress(&m_window, Qt::LeftButton, Qt::NoModifier, from);
    QTest::mouseMove(&m_window, to);
    QTest::mouseRelease(&m_window, Qt::LeftButton, modifiers, to);
  }

  std::vector<cv::Point2f> Points() const {
    std::vector<cv::Point2f> points{{1, 1}};  // must be replaced, not appended to
    m_window.GetPoints(points);
    return points;
  }

  CImageWindow m_window;
  cv::Mat m_frame;
};

TEST(ImagePlacementTest, FitsCentredAndTopAligned) {
  struct SCase {
    int cw, ch;
    float scale;
    int xOffset, width, height;
  };
  // Reduced (the width decides), centred in a wide client, enlarged into a big client.
  for (const SCase& c : {SCase{320, 320, 2.0f, 0, 320, 240}, SCase{800, 480, 1.0f, 80, 640, 480},
                         SCase{1300, 960, 0.5f, 10, 1280, 960}}) {
    const auto p = PlaceImage(c.cw, c.ch, 640, 480);
    ASSERT_TRUE(p) << c.cw << "x" << c.ch;
    EXPECT_FLOAT_EQ(p->scale, c.scale);
    EXPECT_EQ(p->xOffset, c.xOffset);
    EXPECT_EQ(p->width, c.width);
    EXPECT_EQ(p->height, c.height);
  }
  // A collapsed window or an unset picture size cannot be placed (no division by zero).
  EXPECT_FALSE(PlaceImage(0, 480, 640, 480));
  EXPECT_FALSE(PlaceImage(320, 240, 0, 480));
}

TEST_F(ImageWindowTest, HoverToleranceIsTenPicturePixels) {
  Prepare(320, 320, 640, 480);  // scale 2: one window pixel is two picture pixels
  m_window.SetPoints({{109, 100}, {300, 100}, {300, 300}, {100, 300}});
  Hover({50, 50});  // picture (100, 100): |109 - 100| = 9
  EXPECT_EQ(m_window.GetSelectedPoint(), 0);

  m_window.SetPoints({{110, 100}, {300, 100}, {300, 300}, {100, 300}});
  Hover({50, 50});  // 10 is outside
  EXPECT_EQ(m_window.GetSelectedPoint(), -1);

  // Leaving the tolerance clears the selection.
  Hover({150, 50});  // picture (300, 100)
  EXPECT_EQ(m_window.GetSelectedPoint(), 1);
  Hover({200, 200});
  EXPECT_EQ(m_window.GetSelectedPoint(), -1);

  // Two candidates: the earlier one in the list wins.
  m_window.SetPoints({{300, 300}, {105, 100}, {100, 105}, {200, 200}});
  Hover({50, 50});
  EXPECT_EQ(m_window.GetSelectedPoint(), 1);

  // A drag maps to picture pixels: below the displayed 240 rows is the picture's bottom.
  Drag({50, 50}, {70, 300});
  EXPECT_EQ(Points()[1], cv::Point2f(140, 480));
}

TEST_F(ImageWindowTest, DragMovesPointWithClampingAndNotifies) {
  Prepare(800, 480, 640, 480);  // scale 1, x offset 80
  m_window.SetPoints({{100, 100}, {500, 100}, {500, 400}, {100, 400}});
  QSignalSpy changed(&m_window, &CImageWindow::PointsChanged);

  Hover({180, 100});
  ASSERT_EQ(m_window.GetSelectedPoint(), 0);
  QTest::mousePress(&m_window, Qt::LeftButton, Qt::NoModifier, {180, 100});
  EXPECT_TRUE(m_window.IsDragging());

  QTest::mouseMove(&m_window, {230, 150});
  EXPECT_EQ(Points()[0], cv::Point2f(150, 150));
  EXPECT_EQ(changed.count(), 1);

  // Left of the picture and below it: clamped to x = 0 and y = picture height.
  QTest::mouseMove(&m_window, {50, 479});
  QTest::mouseMove(&m_window, {50, 700});
  EXPECT_EQ(Points()[0], cv::Point2f(0, 480));
  // Right of the picture and above the window.
  QTest::mouseMove(&m_window, {790, -20});
  EXPECT_EQ(Points()[0], cv::Point2f(640, 0));
  EXPECT_EQ(changed.count(), 4);

  QTest::mouseRelease(&m_window, Qt::LeftButton, Qt::NoModifier, {790, 0});
  EXPECT_FALSE(m_window.IsDragging());
  const auto points = Points();
  ASSERT_EQ(points.size(), 4u);
  EXPECT_EQ(points[1], cv::Point2f(500, 100));  // the others stay

  // The drag re-rendered the stored picture: the moved marker is drawn at its new place.
  const QImage surface = m_window.GrabSurface();
  EXPECT_EQ(surface.pixelColor(638, 2), QColor(255, 255, 0));
}

TEST_F(ImageWindowTest, LockedWindowIgnoresHoverAndDrag) {
  Prepare(800, 480, 640, 480);
  const std::vector<cv::Point2f> corners{{100, 100}, {500, 100}, {500, 400}, {100, 400}};
  m_window.SetPoints(corners);
  m_window.SetLocked(1);
  QSignalSpy changed(&m_window, &CImageWindow::PointsChanged);

  Hover({180, 100});
  EXPECT_EQ(m_window.GetSelectedPoint(), -1);
  Drag({180, 100}, {300, 300});
  EXPECT_EQ(Points(), corners);
  EXPECT_EQ(changed.count(), 0);

  // Locked markers are grey; unlocked ones red.
  m_window.SetImage(m_frame);
  EXPECT_EQ(m_window.GrabSurface().pixelColor(100, 100), QColor(180, 180, 180));
  m_window.SetLocked(0);
  m_window.SetImage(m_frame);
  EXPECT_EQ(m_window.GrabSurface().pixelColor(100, 100), QColor(255, 0, 0));
}

TEST_F(ImageWindowTest, RendersPictureAndOverlayInPicturePixels) {
  Prepare(320, 320, 640, 480);
  QSignalSpy changed(&m_window, &CImageWindow::PointsChanged);

  // Only exactly four points are taken.
  m_window.SetPoints({{1, 1}, {2, 2}, {3, 3}});
  EXPECT_TRUE(Points().empty());
  EXPECT_EQ(changed.count(), 0);
  QImage surface = m_window.GrabSurface();
  EXPECT_EQ(surface.pixelColor(320, 240), QColor(30, 20, 10));  // BGR frame, no overlay

  m_window.SetPoints({{100.9f, 100.9f}, {500, 100}, {500, 400}, {100, 400}});
  EXPECT_EQ(changed.count(), 1);
  surface = m_window.GrabSurface();
  // Markers: 6 x 6 centred on the truncated point, right and bottom edges exclusive.
  EXPECT_EQ(surface.pixelColor(97, 97), QColor(255, 0, 0));
  EXPECT_EQ(surface.pixelColor(102, 102), QColor(255, 0, 0));
  EXPECT_EQ(surface.pixelColor(103, 103), QColor(30, 20, 10));
  EXPECT_EQ(surface.pixelColor(300, 100), QColor(134, 89, 255));  // edge P.1 -> P.2
  EXPECT_EQ(surface.pixelColor(300, 250), QColor(30, 20, 10));    // inside, untouched

  // The selected marker is 10 x 10 and yellow.
  Hover({250, 50});  // picture (500, 100)
  ASSERT_EQ(m_window.GetSelectedPoint(), 1);
  m_window.SetImage(m_frame);
  surface = m_window.GrabSurface();
  EXPECT_EQ(surface.pixelColor(495, 95), QColor(255, 255, 0));
  EXPECT_EQ(surface.pixelColor(504, 104), QColor(255, 255, 0));
  EXPECT_NE(surface.pixelColor(505, 105), QColor(255, 255, 0));
  // With the pointer gone no press would take it: the highlight goes.
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&m_window, &leave);
  EXPECT_EQ(m_window.GetSelectedPoint(), -1);
  EXPECT_NE(m_window.GrabSurface().pixelColor(495, 95), QColor(255, 255, 0));
}

// Corners anywhere (stored files, far drags) draw at most lines across the picture, never a
// picture painted over.
TEST_F(ImageWindowTest, FarAndInvalidCornersLeaveThePictureVisible) {
  Prepare(320, 240, 640, 480);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const std::vector<cv::Point2f>& points :
       {std::vector<cv::Point2f>{{1e30f, 1e30f}, {-1e30f, 1e30f}, {nan, 5}, {3e9f, -3e9f}},
        std::vector<cv::Point2f>{{100, 100}, {3e9f, 100}, {500, 400}, {-1e30f, 400}}}) {
    m_window.SetPoints(points);
    const QImage surface = m_window.GrabSurface();
    int picture = 0;
    for (int y = 0; y < 480; y += 8)
      for (int x = 0; x < 640; x += 8) picture += surface.pixelColor(x, y) == QColor(30, 20, 10);
    EXPECT_GT(picture, 80 * 60 * 9 / 10);
  }
}

TEST_F(ImageWindowTest, AcceptsGreyAndOversizedFramesRejectsOthers) {
  Prepare(320, 240, 640, 480);
  m_window.SetImage(cv::Mat(100, 2100, CV_8UC1, cv::Scalar(77)));
  QImage surface = m_window.GrabSurface();
  EXPECT_EQ(surface.size(), QSize(2000, 2000));
  EXPECT_EQ(surface.pixelColor(1999, 50), QColor(77, 77, 77));
  // Where the larger earlier frame was is cleared, not left showing.
  EXPECT_EQ(surface.pixelColor(300, 300), CImageWindow::kBackground);

  m_window.SetImage(cv::Mat(10, 10, CV_32FC3, cv::Scalar(1, 1, 1)));
  m_window.SetImage(cv::Mat());
  EXPECT_EQ(m_window.GrabSurface().pixelColor(5, 5), QColor(77, 77, 77));
}

TEST_F(ImageWindowTest, FramesFromAnotherThreadRepaintOnUiThread) {
  Prepare(320, 240, 640, 480);
  int paints = 0;
  struct CPaintCounter : QObject {
    int* count;
    explicit CPaintCounter(int* c) : count(c) {}
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++*count;
      return false;
    }
  } counter(&paints);
  m_window.installEventFilter(&counter);

  QThread* uiThread = QThread::currentThread();
  bool notifiedOnUiThread = false;
  int notifications = 0;
  QObject::connect(
      &m_window, &CImageWindow::PointsChanged, &m_window,
      [&] {
        ++notifications;
        notifiedOnUiThread = QThread::currentThread() == uiThread;
      },
      Qt::DirectConnection);

  std::atomic<bool> done{false};
  std::thread capture([this, &done] {
    for (int i = 0; i < 50; ++i) {
      cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(i, 100, 200));
      m_window.SetImage(frame);
      if (i == 25) {
        m_window.SetPoints({{10, 10}, {600, 10}, {600, 400}, {10, 400}});
      }
      std::vector<cv::Point2f> points;
      m_window.GetPoints(points);
    }
    done = true;
  });
  // Meanwhile the UI thread handles the mouse, which renders from the same state.
  for (int x = 0; !done; x = (x + 1) % 320) {
    Hover({x, 5});
    QTest::qWait(1);
  }
  capture.join();
  EXPECT_TRUE(QTest::qWaitFor([&] { return paints > 0 && notifications == 1; }));
  EXPECT_TRUE(notifiedOnUiThread);

  // The last frame is what the window shows.
  const QImage shown = m_window.grab().toImage();
  EXPECT_EQ(shown.pixelColor(160, 120), QColor(200, 100, 49));
}

// Placing a corner by keyboard: a click selects it for good, arrows move it by a picture pixel
// (a tenth with Shift), Tab and Shift+Tab go round the corners, Escape lets go.
TEST_F(ImageWindowTest, KeyboardMovesTheClickedCornerInWholeAndTenthPixels) {
  Prepare(800, 480, 640, 480);  // scale 1, x offset 80
  m_window.SetPoints({{100, 100}, {500, 100}, {500, 400}, {0.5f, 400}});
  QSignalSpy changed(&m_window, &CImageWindow::PointsChanged);

  // Nothing selected: arrows do nothing.
  QTest::keyClick(&m_window, Qt::Key_Right);
  EXPECT_EQ(changed.count(), 0);

  Hover({180, 100});
  QTest::mouseClick(&m_window, Qt::LeftButton, Qt::NoModifier, {180, 100});
  EXPECT_EQ(m_window.GetKeySelectedPoint(), 0);
  Hover({400, 300});  // moving away keeps the keyboard's corner
  EXPECT_EQ(m_window.GetKeySelectedPoint(), 0);
  EXPECT_TRUE(m_window.IsMagnifierShown());

  QTest::keyClick(&m_window, Qt::Key_Right);
  QTest::keyClick(&m_window, Qt::Key_Up);
  for (int i = 0; i < 3; ++i) QTest::keyClick(&m_window, Qt::Key_Down, Qt::ShiftModifier);
  EXPECT_EQ(changed.count(), 5);
  EXPECT_EQ(Points()[0].x, 101.0f);
  EXPECT_NEAR(Points()[0].y, 99.3f, 1e-4);

  for (int i = 0; i < 3; ++i) QTest::keyClick(&m_window, Qt::Key_Tab);
  EXPECT_EQ(m_window.GetKeySelectedPoint(), 3);
  // Kept on the picture: x stops at 0.
  QTest::keyClick(&m_window, Qt::Key_Left);
  QTest::keyClick(&m_window, Qt::Key_Left);
  EXPECT_EQ(Points()[3], cv::Point2f(0, 400));
  QTest::keyClick(&m_window, Qt::Key_Tab);
  EXPECT_EQ(m_window.GetKeySelectedPoint(), 0);
  QTest::keyClick(&m_window, Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(m_window.GetKeySelectedPoint(), 3);

  QTest::keyClick(&m_window, Qt::Key_Escape);
  EXPECT_EQ(m_window.GetKeySelectedPoint(), -1);
  EXPECT_FALSE(m_window.IsMagnifierShown());
  // A click away from every corner selects none.
  m_window.SelectCorner(2);
  Hover({300, 250});
  QTest::mouseClick(&m_window, Qt::LeftButton, Qt::NoModifier, {300, 250});
  EXPECT_EQ(m_window.GetKeySelectedPoint(), -1);
}

// The magnifier shows the frame's own pixels around the selected corner, six screen pixels to a
// picture pixel, away from every handle, with a cross-hair on the corner.
TEST_F(ImageWindowTest, MagnifierShowsNativePixelsAroundTheCorner) {
  Prepare(800, 480, 640, 480);  // scale 1, x offset 80: the picture spans x 80 .. 720
  m_frame.setTo(cv::Scalar::all(0));
  m_frame.at<cv::Vec3b>(100, 101) = cv::Vec3b(255, 255, 255);
  m_window.SetImage(m_frame);
  m_window.SetPoints({{100, 100}, {500, 100}, {500, 400}, {100, 400}});
  m_window.SelectCorner(0);
  const QImage shown = m_window.grab().toImage();
  // Every corner of the picture holds a handle: the box is in the middle of the farthest side
  // (the right one), centred on picture (100, 100).
  const int side = CImageWindow::kMagnifierSize, zoom = CImageWindow::kMagnification;
  const QPoint centre(720 - 4 - side / 2, 240);
  // Picture pixel (101, 100) covers 100.5 .. 101.5: six white screen pixels right of the centre.
  EXPECT_EQ(shown.pixelColor(centre + QPoint(zoom / 2 + 2, -2)), QColor(255, 255, 255));
  EXPECT_EQ(shown.pixelColor(centre + QPoint(zoom / 2 + zoom + 2, -2)), QColor(0, 0, 0));
  EXPECT_EQ(shown.pixelColor(centre + QPoint(-zoom * 3, -2)), QColor(0, 0, 0));
  // The cross-hair runs through the corner.
  EXPECT_EQ(shown.pixelColor(centre + QPoint(-zoom * 5, 0)), QColor(0, 220, 255));

  // Selecting the opposite corner moves the magnifier to the left side.
  m_window.SelectCorner(2);
  const QImage other = m_window.grab().toImage();
  EXPECT_EQ(other.pixelColor(80 + 4 + side / 2 - zoom * 5, 240), QColor(0, 220, 255));
  EXPECT_NE(other.pixelColor(centre + QPoint(-zoom * 5, 0)), QColor(0, 220, 255));
}

// The magnifier never hides a handle: the farthest corner of the picture gives way when another
// handle lies there.
TEST_F(ImageWindowTest, MagnifierHidesNoHandle) {
  Prepare(800, 480, 640, 480);  // scale 1, x offset 80
  const std::vector<std::vector<cv::Point2f>> layouts = {
      {{100, 100}, {500, 100}, {620, 460}, {100, 400}},  // P.3 in the bottom-right corner
      {{300, 200}, {600, 20}, {620, 460}, {20, 460}},    // three picture corners taken
  };
  for (const auto& points : layouts) {
    m_window.SetPoints(points);
    for (int selected = 0; selected < 4; ++selected) {
      m_window.SelectCorner(selected);
      const QRect box = m_window.MagnifierBox();
      ASSERT_FALSE(box.isEmpty());
      for (const cv::Point2f& p : points) {
        const QPoint at(80 + static_cast<int>(p.x), static_cast<int>(p.y));
        EXPECT_FALSE(box.adjusted(-8, -8, 8, 8).contains(at))
            << "corner " << selected << " hides " << p.x << "," << p.y;
      }
    }
  }
}

// A large camera picture in a small window: each handle still covers kHandleSize screen pixels
// and can be taken anywhere on it, and the cursor says so.
TEST_F(ImageWindowTest, HandlesStayLargeOnAReducedPicture) {
  Prepare(480, 270, 1920, 1080);  // scale 4
  m_window.SetPoints({{400, 400}, {1500, 400}, {1500, 900}, {400, 900}});
  const QImage shown = m_window.grab().toImage();
  const QPoint p1(100, 100);  // picture (400, 400) on the screen
  for (const QPoint d : {QPoint(-3, 0), QPoint(3, 0), QPoint(0, -3), QPoint(0, 3)}) {
    EXPECT_EQ(shown.pixelColor(p1 + d), QColor(255, 0, 0)) << d.x() << "," << d.y();
  }
  EXPECT_NE(m_window.cursor().shape(), Qt::OpenHandCursor);
  Hover(p1 + QPoint(4, 4));  // 16 picture pixels away, still on the handle
  EXPECT_EQ(m_window.GetSelectedPoint(), 0);
  EXPECT_EQ(m_window.cursor().shape(), Qt::OpenHandCursor);
  Hover(p1 + QPoint(30, 30));
  EXPECT_EQ(m_window.GetSelectedPoint(), -1);
  EXPECT_NE(m_window.cursor().shape(), Qt::OpenHandCursor);
}

// On release a dragged corner snaps onto a found sheet corner within 8 screen pixels, not
// farther, and not while Alt is held.
TEST_F(ImageWindowTest, ReleasedCornerSnapsToTheNearestFoundCorner) {
  Prepare(400, 240, 640, 480);  // scale 2, x offset 40
  m_window.SetPoints({{100, 100}, {500, 100}, {500, 400}, {100, 400}});
  QSignalSpy started(&m_window, &CImageWindow::DragStarted);
  const cv::Point2f found(181.3f, 104.7f);
  m_window.SetSnapCorners({found, {600, 50}});

  // Released at picture (176, 102): 6 picture pixels, 3 screen pixels from the found corner.
  Drag({90, 50}, {128, 51});
  EXPECT_EQ(started.count(), 1);
  EXPECT_EQ(Points()[0], found);

  Drag({130, 52}, {128, 51}, Qt::AltModifier);
  EXPECT_EQ(Points()[0], cv::Point2f(176, 102));

  // 19 screen pixels away: left where it was put.
  Drag({128, 51}, {112, 51});
  EXPECT_EQ(Points()[0], cv::Point2f(144, 102));
}

}  // namespace
