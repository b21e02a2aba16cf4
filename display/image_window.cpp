#include "display/image_window.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QThread>
#include <algorithm>
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

}  // namespace

// A fixed neutral grey: it reads as "no picture here" on light and dark desktops alike.
const QColor CImageWindow::kBackground(128, 128, 128);

CImageWindow::CImageWindow(QWidget* parent) : QWidget(parent) {
  // Hover selection needs move events without a pressed button.
  setMouseTracking(true);
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
  m_bLocked = locked != 0 ? 1 : 0;
}

int CImageWindow::GetSelectedPoint() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nSelected;
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
  painter.setPen(QPen(kOutlineColour, 2));
  auto corner = [this](size_t i) {
    return QPoint(static_cast<int>(m_points[i].x), static_cast<int>(m_points[i].y));
  };
  for (size_t i = 0; i < 4; ++i) {
    painter.drawLine(corner(i), corner((i + 1) % 4));
  }
  for (size_t i = 0; i < 4; ++i) {
    const QPoint c = corner(i);
    // QRect(x, y, w, h) covers x .. x + w - 1: right and bottom edges exclusive.
    if (static_cast<int>(i) == m_nSelected) {
      painter.fillRect(QRect(c.x() - 5, c.y() - 5, 10, 10), kSelectedColour);
    } else {
      painter.fillRect(QRect(c.x() - 3, c.y() - 3, 6, 6),
                       m_bLocked ? kLockedColour : kMarkerColour);
    }
  }
}

void CImageWindow::RequestRepaint() {
  if (QThread::currentThread() == thread()) {
    update();
    return;
  }
  // Latest frame wins: while a repaint is queued, later frames only refresh the picture.
  if (m_bRepaintPending.exchange(true)) {
    return;
  }
  QMetaObject::invokeMethod(this, "RepaintQueued", Qt::QueuedConnection);
}

void CImageWindow::RepaintQueued() {
  m_bRepaintPending = false;
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
}

void CImageWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    return;
  }
  if (GetSelectedPoint() >= 0) {
    m_bDragging = true;
  }
  emit Clicked(event->position().toPoint());
}

void CImageWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    m_bDragging = false;
  }
}

void CImageWindow::mouseMoveEvent(QMouseEvent* event) {
  // Truncation, as everywhere the picture meets window pixels.
  int mx = static_cast<int>(event->position().x());
  int my = static_cast<int>(event->position().y());
  bool moved = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bLocked) {
      return;
    }
    const int count = static_cast<int>(m_points.size());
    if (m_bDragging && m_nSelected >= 0 && m_nSelected < count) {
      // Keep the point on the displayed picture: 0 .. picture size on both axes.
      const float displayedWidth = static_cast<float>(m_pictureWidth) / m_scale;
      const float displayedHeight = static_cast<float>(m_pictureHeight) / m_scale;
      if (static_cast<float>(mx - m_xOffset) > displayedWidth) {
        mx = static_cast<int>(static_cast<float>(m_xOffset) + displayedWidth);
      }
      if (static_cast<float>(my) > displayedHeight) {
        my = static_cast<int>(displayedHeight);
      }
      m_points[m_nSelected] =
          cv::Point2f(static_cast<float>(std::max(mx, m_xOffset) - m_xOffset) * m_scale,
                      static_cast<float>(std::max(my, 0)) * m_scale);
      RenderLocked();
      moved = true;
    } else {
      // The tolerance is in picture pixels, so it does not shrink on a reduced picture.
      m_nSelected = -1;
      const float px = static_cast<float>(mx - m_xOffset) * m_scale;
      const float py = static_cast<float>(my) * m_scale;
      for (int i = 0; i < count; ++i) {
        if (static_cast<int>(std::fabs(m_points[i].x - px)) < kHitTolerance &&
            static_cast<int>(std::fabs(m_points[i].y - py)) < kHitTolerance) {
          m_nSelected = i;
          break;
        }
      }
    }
  }
  if (moved) {
    update();
    emit PointsChanged();
  }
}
