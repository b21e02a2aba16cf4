#pragma once

#include <QFont>
#include <QImage>
#include <QPoint>
#include <QWidget>
#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

// Where a picture of logical size (pw, ph) lands in a client area (cw, ch): kept whole with its
// aspect ratio, centred horizontally and aligned to the top.
struct SImagePlacement {
  float scale = 1.0f;  // picture pixels per window pixel
  int xOffset = 0;     // left edge of the picture in the client area; the top is always 0
  int width = 0;       // displayed size in window pixels
  int height = 0;
};

namespace veldrin {

// Empty when either size is not positive: nothing can be placed then.
std::optional<SImagePlacement> PlaceImage(int cw, int ch, int pw, int ph);

}  // namespace veldrin

// Picture control: shows a frame scaled into the widget and, when it holds four points, the
// quadrilateral P.1-P.4 with a marker on each corner that the operator can drag.
//
// Precise placement: besides the markers drawn into the picture, every corner gets a handle of
// kHandleSize screen pixels with its number, whatever the picture's scale, and the cursor changes
// over it. A clicked corner stays selected: arrow keys move it by one picture pixel, with Shift by
// a tenth, Tab selects the next corner and Escape none. While a corner is dragged or selected, a
// magnifier shows its neighbourhood at kMagnification screen pixels per picture pixel, with a
// cross-hair on the corner, in the corner of the picture farthest from it. On release a dragged
// corner snaps to the nearest of the snap corners (SetSnapCorners) within kSnapDistance screen
// pixels, unless Alt is held.
//
// Threads: SetImage, SetPoints, GetPoints, SetImageSize and SetLocked may be called from any
// thread (capture threads hand frames in); painting and mouse handling run on the UI thread.
// m_mutex guards the stored frame, the off-screen picture, the points, the selection, the logical
// picture size and the lock flag: everything rendering reads. Only the UI thread touches
// m_dragging, m_scale and m_xOffset, so they need no lock. A capture thread renders under
// m_mutex and then posts a queued repaint; it never waits for the UI thread to process anything.
// PointsChanged is always emitted on the UI thread; connect it with Qt::DirectConnection to read
// the points back synchronously. The owner stops the threads that call SetImage before destroying
// the window.
class CImageWindow : public QWidget {
  Q_OBJECT

 public:
  // Side of the square off-screen picture; larger frames are cut at this size.
  static constexpr int kSurfaceSize = 2000;
  // Tolerance of the hover test, in picture pixels; a handle larger than that on the screen can
  // be taken anywhere on it.
  static constexpr int kHitTolerance = 10;
  // Side of a corner's handle, in screen pixels.
  static constexpr int kHandleSize = 9;
  // Screen pixels per picture pixel in the magnifier, and its side in screen pixels.
  static constexpr int kMagnification = 6;
  static constexpr int kMagnifierSize = 168;
  // Greatest distance, in screen pixels, from which a released corner snaps.
  static constexpr float kSnapDistance = 8.0f;
  static const QColor kBackground;

  explicit CImageWindow(QWidget* parent = nullptr);
  ~CImageWindow() override;

  // Keeps a deep copy of an 8-bit BGR (or grey) frame, renders it with the overlay and
  // schedules a repaint. Other formats are ignored.
  void SetImage(const cv::Mat& picture);
  // Logical picture size used for painting and mouse mapping; non-positive sizes are ignored.
  void SetImageSize(int width, int height);
  // Takes exactly four points, otherwise ignores the call. Redraws the stored frame (so a frozen
  // picture shows the new corners) and emits PointsChanged.
  void SetPoints(std::vector<cv::Point2f> points);
  void GetPoints(std::vector<cv::Point2f>& points) const;
  void SetLocked(int locked);
  // Where a dragged corner may snap to on release (found sheet corners); empty for nowhere.
  void SetSnapCorners(std::vector<cv::Point2f> corners);
  // The corner that the keyboard moves (-1 for none); also set by clicking a corner.
  void SelectCorner(int index);
  int GetKeySelectedPoint() const;
  bool IsMagnifierShown() const;
  // Where the magnifier shows (in widget pixels) while a corner is selected; empty otherwise.
  QRect MagnifierBox() const;
  // Draws the outline in red: the owner found the corners unusable (crossed, concave, tiny).
  void SetOutlineWarning(bool warning);

  // State read-outs for the owner and tests.
  int GetSelectedPoint() const;
  bool IsDragging() const { return m_dragging; }
  float GetScale() const { return m_scale; }
  int GetXOffset() const { return m_xOffset; }
  // Copy of the off-screen picture (null before the first frame).
  QImage GrabSurface() const;

 signals:
  // The points changed by a drag or SetPoints; emitted on the UI thread.
  void PointsChanged();
  // Left button pressed anywhere in the widget (client coordinates), like a notifying static
  // control: the owner adds corners by clicking.
  void Clicked(QPoint clientPos);
  // A corner is about to be dragged: the owner may hand in fresh snap corners now (on the UI
  // thread, before the drag's first move).
  void DragStarted();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool event(QEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void RenderLocked();  // m_mutex held
  // Handles, numbers and the magnifier over the scaled picture, in screen pixels; m_mutex held.
  void PaintHandlesLocked(QPainter& painter) const;
  void PaintMagnifierLocked(QPainter& painter) const;
  QRect MagnifierBoxLocked() const;
  QPointF ToScreen(const cv::Point2f& p) const;
  // Moves the keyboard-selected corner; false when there is none.
  bool NudgeSelected(float dx, float dy);
  void UpdateCursor();
  void RequestRepaint();
  void NotifyPointsChanged();
  // Targets of the queued calls from other threads. Invoked by name, so the hand-over is Qt's
  // event queue alone and no functor of ours crosses threads.
  Q_INVOKABLE void RepaintQueued();
  Q_INVOKABLE void PointsChangedQueued();

  mutable std::mutex m_mutex;
  QImage m_surface;  // made once, at the first frame
  cv::Mat m_picture;
  std::vector<cv::Point2f> m_points;
  int m_selected = -1;
  int m_pictureWidth = 320;
  int m_pictureHeight = 240;
  int m_locked = 0;
  int m_keySelected = -1;
  std::vector<cv::Point2f> m_snapCorners;
  // Reused by every paint while the magnifier shows, so repainting allocates nothing new.
  mutable cv::Mat m_magnifierPatch;
  QFont m_handleFont;
  bool m_outlineWarning = false;

  bool m_dragging = false;
  float m_scale = 1.0f;
  int m_xOffset = 0;

  // Coalesces repaint requests from capture threads: at most one queued call outstanding.
  std::atomic<bool> m_repaintPending{false};
};
