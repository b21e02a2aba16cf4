#include "display/image_window.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QThread>
#include <algorithm>
#include <climits>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace veldrin {

std::optional<SImagePlacement> PlaceImage(int cw, int ch, int pw, int ph) {
  if (cw <= 0 || ch <= 0 || pw <= 0 || ph <= 0) {
    return std::nullopt;
  }
  SImagePlacement placement;
  placement.scale = std::max(static_cast<float>(pw) / static_cast<float>(cw),
                             static_cast<float>(ph) / static_cast<float>(ch));
  const float dw = static_cast<float>(pw) / placement.scale;
  const float dh = static_cast<float>(ph) / placement.scale;
  placement.xOffset = static_cast<int>((static_cast<float>(cw) - dw) * 0.5f);
  placement.width = static_cast<int>(dw);
  placement.height = static_cast<int>(dh);
  return placement;
}

}  // namespace veldrin

namespace {

const QColor kOutlineColour(134, 89, 255);
const QColor kSelectedColour(255, 255, 0);
const QColor kLockedColour(180, 180, 180);
const QColor kMarkerColour(255, 0, 0);
const QColor kCrossHairColour(0, 220, 255);
const QColor kWarningOutlineColour(255, 0, 0);

// Picture pixels to painter coordinates, truncated toward zero. Corners may lie anywhere (stored
// files, dragged far away); the clamp keeps the int cast defined and the marker arithmetic
// (x - 5 .. x + 5) from overflowing, well outside any surface so nothing visible changes.
int ToPixel(float v) {
  constexpr float kLimit = 4.0f * CImageWindow::kSurfaceSize;
  if (!(v > -kLimit)) return std::isnan(v) ? 0 : -static_cast<int>(kLimit);
  if (v > kLimit) return static_cast<int>(kLimit);
  return static_cast<int>(v);
}

}  // namespace

// A fixed neutral grey: it reads as "no picture here" on light and dark desktops alike.
const QColor CImageWindow::kBackground(128, 128, 128);

CImageWindow::CImageWindow(QWidget* parent) : QWidget(parent) {
  // Hover selection needs move events without a pressed button; a click gives the keyboard to
  // the window, so the arrows move the clicked corner.
  setMouseTracking(true);
  setFocusPolicy(Qt::ClickFocus);
  m_handleFont = font();
  m_handleFont.setBold(true);
  m_handleFont.setPixelSize(12);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, kBackground);
  setPalette(pal);
}

CImageWindow::~CImageWindow() = default;

void CImageWindow::SetImage(const cv::Mat& picture) {
  if (picture.empty() || picture.depth() != CV_8U ||
      (picture.channels() != 3 && picture.channels() != 1)) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    // copyTo reuses the stored buffer while frames keep their size.
    picture.copyTo(m_picture);
    if (m_surface.isNull()) {
      m_surface = QImage(kSurfaceSize, kSurfaceSize, QImage::Format_RGB32);
      m_surface.fill(kBackground);
    }
    RenderLocked();
  }
  RequestRepaint();
}

void CImageWindow::SetImageSize(int width, int height) {
  if (width <= 0 || height <= 0) {
    return;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pictureWidth = width;
  m_pictureHeight = height;
}

void CImageWindow::SetPoints(std::vector<cv::Point2f> points) {
  if (points.size() != 4) {
    return;
  }
  bool rendered = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_points = std::move(points);
    if (!m_picture.empty()) {
      RenderLocked();
      rendered = true;
    }
  }
  if (rendered) {
    RequestRepaint();
  }
  NotifyPointsChanged();
}

void CImageWindow::GetPoints(std::vector<cv::Point2f>& points) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  points.assign(m_points.begin(), m_points.end());
}

void CImageWindow::SetLocked(int locked) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_locked = locked != 0 ? 1 : 0;
}

void CImageWindow::SetSnapCorners(std::vector<cv::Point2f> corners) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_snapCorners = std::move(corners);
}

void CImageWindow::SelectCorner(int index) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keySelected = index >= 0 && index < static_cast<int>(m_points.size()) ? index : -1;
  }
  update();
}

int CImageWindow::GetKeySelectedPoint() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_keySelected;
}

bool CImageWindow::IsMagnifierShown() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return !m_picture.empty() && m_points.size() == 4 &&
         ((m_dragging && m_selected >= 0) || m_keySelected >= 0);
}

void CImageWindow::SetOutlineWarning(bool warning) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_outlineWarning == warning) return;
    m_outlineWarning = warning;
    RenderLocked();
  }
  RequestRepaint();
}

int CImageWindow::GetSelectedPoint() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_selected;
}

QImage CImageWindow::GrabSurface() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_surface.copy();
}

void CImageWindow::RenderLocked() {
  if (m_surface.isNull() || m_picture.empty()) {
    return;
  }
  // bits() first: it detaches the image if a copy still shares it.
  uchar* bits = m_surface.bits();
  cv::Mat surface(kSurfaceSize, kSurfaceSize, CV_8UC4, bits,
                  static_cast<size_t>(m_surface.bytesPerLine()));

  // Format_RGB32 is B, G, R, 0xFF in memory, so a BGR frame needs only an alpha byte added.
  const int cols = std::min(m_picture.cols, kSurfaceSize);
  const int rows = std::min(m_picture.rows, kSurfaceSize);
  const cv::Rect area(0, 0, cols, rows);
  cv::Mat target = surface(area);
  cv::cvtColor(m_picture(area), target,
               m_picture.channels() == 1 ? cv::COLOR_GRAY2BGRA : cv::COLOR_BGR2BGRA);

  // Painting shows the logical picture area; where the frame does not cover it, clear it so no
  // part of an earlier, larger frame stays visible.
  const int shownWidth = std::min(m_pictureWidth, kSurfaceSize);
  const int shownHeight = std::min(m_pictureHeight, kSurfaceSize);
  const cv::Scalar background(kBackground.blue(), kBackground.green(), kBackground.red(), 255);
  if (shownWidth > cols) {
    surface(cv::Rect(cols, 0, shownWidth - cols, shownHeight)).setTo(background);
  }
  if (shownHeight > rows) {
    surface(cv::Rect(0, rows, std::min(cols, shownWidth), shownHeight - rows)).setTo(background);
  }

  if (m_points.size() != 4) {
    return;
  }
  QPainter painter(&m_surface);
  painter.setPen(QPen(m_outlineWarning ? kWarningOutlineColour : kOutlineColour, 2));
  auto corner = [this](size_t i) { return QPoint(ToPixel(m_points[i].x), ToPixel(m_points[i].y)); };
  for (size_t i = 0; i < 4; ++i) {
    painter.drawLine(corner(i), corner((i + 1) % 4));
  }
  for (size_t i = 0; i < 4; ++i) {
    const QPoint c = corner(i);
    // QRect(x, y, w, h) covers x .. x + w - 1: right and bottom edges exclusive.
    if (static_cast<int>(i) == m_selected) {
      painter.fillRect(QRect(c.x() - 5, c.y() - 5, 10, 10), kSelectedColour);
    } else {
      painter.fillRect(QRect(c.x() - 3, c.y() - 3, 6, 6), m_locked ? kLockedColour : kMarkerColour);
    }
  }
}

void CImageWindow::RequestRepaint() {
  if (QThread::currentThread() == thread()) {
    update();
    return;
  }
  // Latest frame wins: while a repaint is queued, later frames only refresh the picture.
  if (m_repaintPending.exchange(true)) {
    return;
  }
  QMetaObject::invokeMethod(this, "RepaintQueued", Qt::QueuedConnection);
}

void CImageWindow::RepaintQueued() {
  m_repaintPending = false;
  update();
}

void CImageWindow::NotifyPointsChanged() {
  if (QThread::currentThread() == thread()) {
    emit PointsChanged();
    return;
  }
  // Another thread set the points: hand the notification to the UI thread rather than wait
  // for it, so a frame thread is never blocked behind the user interface.
  QMetaObject::invokeMethod(this, "PointsChangedQueued", Qt::QueuedConnection);
}

void CImageWindow::PointsChangedQueued() { emit PointsChanged(); }

void CImageWindow::paintEvent(QPaintEvent* /*event*/) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_surface.isNull()) {
    return;
  }
  const auto placement = veldrin::PlaceImage(width(), height(), m_pictureWidth, m_pictureHeight);
  if (!placement) {
    return;
  }
  m_scale = placement->scale;
  m_xOffset = placement->xOffset;

  // A logical size beyond the off-screen picture shows only the part that was kept.
  const int sourceWidth = std::min(m_pictureWidth, kSurfaceSize);
  const int sourceHeight = std::min(m_pictureHeight, kSurfaceSize);
  const QRect target(m_xOffset, 0, static_cast<int>(static_cast<float>(sourceWidth) / m_scale),
                     static_cast<int>(static_cast<float>(sourceHeight) / m_scale));
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(target, m_surface, QRect(0, 0, sourceWidth, sourceHeight));
  if (m_points.size() == 4) {
    PaintHandlesLocked(painter);
    if ((m_dragging && m_selected >= 0) || m_keySelected >= 0) PaintMagnifierLocked(painter);
  }
}

QPointF CImageWindow::ToScreen(const cv::Point2f& p) const {
  return QPointF(m_xOffset + p.x / m_scale, p.y / m_scale);
}

void CImageWindow::PaintHandlesLocked(QPainter& painter) const {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  QPointF centre(0, 0);
  for (const cv::Point2f& p : m_points) centre += ToScreen(p) / 4.0;
  painter.setFont(m_handleFont);
  static const QString kNumbers[4] = {QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                                      QStringLiteral("4")};
  const double half = kHandleSize / 2.0;
  for (int i = 0; i < 4; ++i) {
    const QPointF c = ToScreen(m_points[static_cast<size_t>(i)]);
    const bool selected = i == m_selected || i == m_keySelected;
    const QColor fill = selected ? kSelectedColour : (m_locked ? kLockedColour : kMarkerColour);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(fill);
    painter.drawRect(QRectF(c.x() - half, c.y() - half, kHandleSize, kHandleSize));
    // The number sits outside the quadrilateral, away from the lines.
    QPointF out = c - centre;
    const double length = std::hypot(out.x(), out.y());
    out = length > 1e-3 ? out / length : QPointF(-1, -1);
    const QPointF at = c + out * (half + 9);
    const QRectF box(at.x() - 7, at.y() - 8, 14, 16);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 160));
    painter.drawRoundedRect(box, 3, 3);
    painter.setPen(selected ? kSelectedColour : QColor(Qt::white));
    painter.drawText(box, Qt::AlignCenter, kNumbers[i]);
  }
  painter.restore();
}

QRect CImageWindow::MagnifierBox() const {
  std::lock_guard lock(m_mutex);
  return MagnifierBoxLocked();
}

// In a corner of the displayed picture: the one farthest from the corner being placed unless a
// handle (with its number) lies under it, then the farthest of the others that hides none, then
// the middle of a side; failing all, the place that hides the fewest.
QRect CImageWindow::MagnifierBoxLocked() const {
  const int index = m_dragging && m_selected >= 0 ? m_selected : m_keySelected;
  if (index < 0 || index >= static_cast<int>(m_points.size())) return {};
  const auto placement = veldrin::PlaceImage(width(), height(), m_pictureWidth, m_pictureHeight);
  if (!placement) return {};
  const int side = std::min({kMagnifierSize, placement->width / 2, placement->height / 2});
  if (side < 24) return {};
  const QPointF at = ToScreen(m_points[static_cast<size_t>(index)]);
  const int left = m_xOffset + 4, right = m_xOffset + placement->width - side - 4;
  const int top = 4, bottom = placement->height - side - 4;
  const int middleX = (left + right) / 2, middleY = (top + bottom) / 2;
  QRect best;
  int bestHidden = INT_MAX;
  double bestDistance = -1;
  // The picture's corners first; the middles of its sides when every corner holds a handle.
  for (const QRect box : {QRect(left, top, side, side), QRect(right, top, side, side),
                          QRect(right, bottom, side, side), QRect(left, bottom, side, side),
                          QRect(middleX, top, side, side), QRect(right, middleY, side, side),
                          QRect(middleX, bottom, side, side), QRect(left, middleY, side, side)}) {
    // A handle's square and number reach about this far from its centre.
    constexpr int kHandleReach = kHandleSize / 2 + 18;
    const QRect covered = box.adjusted(-kHandleReach, -kHandleReach, kHandleReach, kHandleReach);
    int hidden = 0;
    for (const cv::Point2f& q : m_points) hidden += covered.contains(ToScreen(q).toPoint());
    const QPointF d = QRectF(box).center() - at;
    // Hiding fewer handles wins, then being a corner of the picture, then lying farther away.
    const bool corner = box.x() != middleX && box.y() != middleY;
    const double distance = std::hypot(d.x(), d.y()) + (corner ? 1e6 : 0.0);
    if (hidden < bestHidden || (hidden == bestHidden && distance > bestDistance)) {
      best = box;
      bestHidden = hidden;
      bestDistance = distance;
    }
  }
  return best;
}

void CImageWindow::PaintMagnifierLocked(QPainter& painter) const {
  const int index = m_dragging && m_selected >= 0 ? m_selected : m_keySelected;
  if (index < 0 || index >= static_cast<int>(m_points.size()) || m_picture.empty()) return;
  const cv::Point2f p = m_points[static_cast<size_t>(index)];
  const auto placement = veldrin::PlaceImage(width(), height(), m_pictureWidth, m_pictureHeight);
  if (!placement) return;
  const QRect box = MagnifierBoxLocked();
  if (box.isEmpty()) return;
  const int side = box.width();

  // The frame's own pixels (not the scaled display, nor the overlay), one square each.
  const int reach = side / (2 * kMagnification) + 2;
  const int x0 = static_cast<int>(std::floor(p.x)) - reach;
  const int y0 = static_cast<int>(std::floor(p.y)) - reach;
  const cv::Rect wanted(x0, y0, 2 * reach + 1, 2 * reach + 1);
  const cv::Rect area = wanted & cv::Rect(0, 0, m_picture.cols, m_picture.rows);
  painter.save();
  painter.setClipRect(box);
  painter.fillRect(box, kBackground);
  if (!area.empty()) {
    cv::Mat& rgb = m_magnifierPatch;
    cv::cvtColor(m_picture(area), rgb,
                 m_picture.channels() == 1 ? cv::COLOR_GRAY2RGB : cv::COLOR_BGR2RGB);
    const QImage patch(rgb.data, rgb.cols, rgb.rows, static_cast<int>(rgb.step[0]),
                       QImage::Format_RGB888);
    // Pixel i covers i - 0.5 .. i + 0.5; the corner's exact position is the box's centre.
    const QPointF centre = QRectF(box).center();
    const QRectF target(centre.x() + (area.x - 0.5 - p.x) * kMagnification,
                        centre.y() + (area.y - 0.5 - p.y) * kMagnification,
                        area.width * kMagnification, area.height * kMagnification);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(target, patch);
    // The two sides that meet at the corner, then the cross-hair on the corner itself.
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(kOutlineColour, 1));
    for (int neighbour : {(index + 1) % 4, (index + 3) % 4}) {
      const cv::Point2f q = m_points[static_cast<size_t>(neighbour)];
      painter.drawLine(centre, centre + QPointF(q.x - p.x, q.y - p.y) * kMagnification);
    }
    painter.setRenderHint(QPainter::Antialiasing, false);  // a crisp one-pixel cross
    painter.setPen(QPen(kCrossHairColour, 1));
    painter.drawLine(QPointF(box.left(), centre.y()), QPointF(box.right() + 1, centre.y()));
    painter.drawLine(QPointF(centre.x(), box.top()), QPointF(centre.x(), box.bottom() + 1));
  }
  painter.setClipping(false);
  painter.setPen(QPen(Qt::black, 2));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(box);
  painter.restore();
}

void CImageWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    return;
  }
  setFocus(Qt::MouseFocusReason);
  int hovered;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    hovered = m_locked ? -1 : m_selected;
    m_keySelected = hovered;
  }
  if (hovered >= 0) {
    emit DragStarted();
    m_dragging = true;
  }
  update();
  emit Clicked(event->position().toPoint());
}

void CImageWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    return;
  }
  bool snapped = false;
  if (m_dragging && !(event->modifiers() & Qt::AltModifier)) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_selected >= 0 && m_selected < static_cast<int>(m_points.size())) {
      cv::Point2f& point = m_points[static_cast<size_t>(m_selected)];
      const cv::Point2f* nearest = nullptr;
      double best = kSnapDistance * m_scale;  // in picture pixels
      for (const cv::Point2f& corner : m_snapCorners) {
        const double d = cv::norm(corner - point);
        if (d <= best) {
          best = d;
          nearest = &corner;
        }
      }
      if (nearest != nullptr && *nearest != point) {
        point = *nearest;
        RenderLocked();
        snapped = true;
      }
    }
  }
  m_dragging = false;
  update();
  if (snapped) {
    emit PointsChanged();
  }
}

bool CImageWindow::NudgeSelected(float dx, float dy) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_locked || m_keySelected < 0 || m_keySelected >= static_cast<int>(m_points.size())) {
      return false;
    }
    // The same bounds as a drag: the picture, edges included.
    cv::Point2f& point = m_points[static_cast<size_t>(m_keySelected)];
    point.x = std::clamp(point.x + dx, 0.0f, static_cast<float>(m_pictureWidth));
    point.y = std::clamp(point.y + dy, 0.0f, static_cast<float>(m_pictureHeight));
    RenderLocked();
  }
  update();
  emit PointsChanged();
  return true;
}

void CImageWindow::keyPressEvent(QKeyEvent* event) {
  const float step = (event->modifiers() & Qt::ShiftModifier) ? 0.1f : 1.0f;
  bool handled = false;
  switch (event->key()) {
    case Qt::Key_Left:
      handled = NudgeSelected(-step, 0);
      break;
    case Qt::Key_Right:
      handled = NudgeSelected(step, 0);
      break;
    case Qt::Key_Up:
      handled = NudgeSelected(0, -step);
      break;
    case Qt::Key_Down:
      handled = NudgeSelected(0, step);
      break;
    case Qt::Key_Escape:
      handled = GetKeySelectedPoint() >= 0;
      SelectCorner(-1);
      break;
    default:
      break;
  }
  if (!handled) {
    QWidget::keyPressEvent(event);
  }
}

bool CImageWindow::event(QEvent* event) {
  // Tab would move the focus on; while a corner is selected it selects the next corner instead.
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
      std::unique_lock<std::mutex> lock(m_mutex);
      if (m_keySelected >= 0 && m_points.size() == 4) {
        m_keySelected = (m_keySelected + (key->key() == Qt::Key_Tab ? 1 : 3)) % 4;
        lock.unlock();
        update();
        return true;
      }
    }
  }
  return QWidget::event(event);
}

void CImageWindow::UpdateCursor() {
  if (m_dragging) {
    setCursor(Qt::ClosedHandCursor);
  } else if (GetSelectedPoint() >= 0) {
    setCursor(Qt::OpenHandCursor);
  } else {
    unsetCursor();
  }
}

void CImageWindow::mouseMoveEvent(QMouseEvent* event) {
  // Truncation, as everywhere the picture meets window pixels.
  int mx = static_cast<int>(event->position().x());
  int my = static_cast<int>(event->position().y());
  bool moved = false;
  bool hoverChanged = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_locked) {
      return;
    }
    const int count = static_cast<int>(m_points.size());
    if (m_dragging && m_selected >= 0 && m_selected < count) {
      // Keep the point on the displayed picture: 0 .. picture size on both axes.
      const float displayedWidth = static_cast<float>(m_pictureWidth) / m_scale;
      const float displayedHeight = static_cast<float>(m_pictureHeight) / m_scale;
      if (static_cast<float>(mx - m_xOffset) > displayedWidth) {
        mx = static_cast<int>(static_cast<float>(m_xOffset) + displayedWidth);
      }
      if (static_cast<float>(my) > displayedHeight) {
        my = static_cast<int>(displayedHeight);
      }
      m_points[m_selected] =
          cv::Point2f(static_cast<float>(std::max(mx, m_xOffset) - m_xOffset) * m_scale,
                      static_cast<float>(std::max(my, 0)) * m_scale);
      RenderLocked();
      moved = true;
    } else {
      // The tolerance is in picture pixels, so it does not shrink on a reduced picture; where
      // the drawn handle is larger, all of the handle counts.
      const int tolerance =
          std::max(kHitTolerance, static_cast<int>(std::ceil(0.5f * (kHandleSize + 1) * m_scale)));
      const int before = m_selected;
      m_selected = -1;
      const float px = static_cast<float>(mx - m_xOffset) * m_scale;
      const float py = static_cast<float>(my) * m_scale;
      for (int i = 0; i < count; ++i) {
        if (ToPixel(std::fabs(m_points[i].x - px)) < tolerance &&
            ToPixel(std::fabs(m_points[i].y - py)) < tolerance) {
          m_selected = i;
          break;
        }
      }
      hoverChanged = m_selected != before;
    }
  }
  UpdateCursor();
  if (moved || hoverChanged) {
    // Only the handles drawn over the picture change; the picture itself is rendered again with
    // the next frame.
    update();
  }
  if (moved) {
    emit PointsChanged();
  }
}

// The highlight shows the corner a press would take; with the pointer gone, none would.
void CImageWindow::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  if (m_dragging) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_selected < 0) {
      return;
    }
    m_selected = -1;
    RenderLocked();
  }
  update();
}
