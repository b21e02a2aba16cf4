#include "depth/view/opengl_3d_window.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <QGuiApplication>
#include <QMetaObject>
#include <QMouseEvent>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QWheelEvent>

#include <cstdlib>

namespace {

// Scene units (metres) per wheel unit and per dragged pixel.
constexpr float kZoomPerWheelUnit = 0.0005f;
constexpr float kPanPerPixel = 0.001f;
constexpr float kDegreesPerPixel = 0.5f;
constexpr int kMargin = 50;
constexpr int kStep = 2;

float Wrap(float degrees) { return degrees > 360.f || degrees < -360.f ? 0.f : degrees; }

}  // namespace

COpenGL3DWindow::COpenGL3DWindow(MeasurementSource source, QWidget* parent)
    : QOpenGLWidget(parent), m_source(std::move(source)) {
  setObjectName(QStringLiteral("glView"));
  setMouseTracking(true);
}

COpenGL3DWindow::~COpenGL3DWindow() = default;

bool COpenGL3DWindow::IsAvailable() {
  const char* off = std::getenv("VELDRIN_NO_OPENGL");
  if (off && *off) return false;
  // Qt's offscreen platform has no OpenGL widgets (it fails hard rather than reporting it).
  if (QGuiApplication::platformName() == QLatin1String("offscreen")) return false;
  QOpenGLContext context;
  if (!context.create()) return false;
  QOffscreenSurface surface;
  surface.setFormat(context.format());
  surface.create();
  if (!surface.isValid()) return false;
  const bool current = context.makeCurrent(&surface);
  if (current) context.doneCurrent();
  return current;
}

void COpenGL3DWindow::SetDrawOptions(bool drawPlane, bool drawTablePoints, float toleranceMm) {
  m_bDrawPlane.store(drawPlane);
  m_bDrawTablePoints.store(drawTablePoints);
  m_toleranceMm.store(toleranceMm);
}

void COpenGL3DWindow::RequestRepaint() {
  if (m_repaintPending.exchange(true)) return;
  QMetaObject::invokeMethod(this, "RepaintQueued", Qt::QueuedConnection);
}

void COpenGL3DWindow::RepaintQueued() {
  m_repaintPending.store(false);
  update();
}

void COpenGL3DWindow::initializeGL() {
  glClearColor(0.5f, 0.5f, 0.5f, 1.0f);
  glClearDepth(1.0);
}

void COpenGL3DWindow::resizeGL(int w, int h) {
  glViewport(0, 0, w, h);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  const float aspect = h > 0 ? static_cast<float>(w) / static_cast<float>(h) : 1.f;
  gluPerspective(45.0, aspect, static_cast<double>(0.1f), 200.0);
  glMatrixMode(GL_MODELVIEW);
}

void COpenGL3DWindow::paintGL() {
  const CMeasurementExchange::CHandle latest =
      m_source ? m_source() : CMeasurementExchange::CHandle();
  DrawScene(latest ? &*latest : nullptr);
  ++m_paints;
}

void COpenGL3DWindow::DrawScene(const SDepthMeasurement* m) {
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  // Before the first frame there is no plane or cloud: the grey background alone.
  if (!m || m->cols <= 0 || m->rows <= 0) return;
  const cv::Point3f c = m->centroid;

  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glTranslatef(m_panX, m_panY, m_zoom);
  glTranslatef(c.x, c.y, -c.z);
  glRotatef(m_rotationX, 1.f, 0.f, 0.f);
  glRotatef(-m_rotationZ, 0.f, 0.f, 1.f);
  glTranslatef(-c.x, -c.y, c.z);
  // Camera coordinates (y down, z away) into OpenGL's (y up, z towards the viewer).
  glRotatef(180.f, 1.f, 0.f, 0.f);

  if (m_bDrawPlane.load()) {
    const auto& p = m->cornerPoints;
    glColor3f(0.f, 0.5f, 0.f);
    glBegin(GL_TRIANGLES);
    glVertex3f(p[0].x, p[0].y, p[0].z);
    glVertex3f(p[1].x, p[1].y, p[1].z);
    glVertex3f(p[2].x, p[2].y, p[2].z);
    glEnd();
    glBegin(GL_TRIANGLES);
    glVertex3f(p[0].x, p[0].y, p[0].z);
    glVertex3f(p[2].x, p[2].y, p[2].z);
    glVertex3f(p[3].x, p[3].y, p[3].z);
    glEnd();
  }

  glPointSize(1.f);
  const auto tolerance = static_cast<float>(static_cast<double>(m_toleranceMm.load()) / 1000.0);
  const bool tablePoints = m_bDrawTablePoints.load();
  const int cols = m->cols;
  const int rows = m->rows;
  const float* cloud = m->averagedCloud.data();
  const float* heights = m->heights.data();
  const float maxHeight = m->maxHeight;
  glBegin(GL_POINTS);
  glColor3f(0.95f, 0.95f, 0.95f);
  for (int x = kMargin; x < cols - kMargin; x += kStep) {
    for (int y = kMargin; y < rows - kMargin; y += kStep) {
      const std::size_t k = static_cast<std::size_t>(y) * static_cast<std::size_t>(cols) +
                            static_cast<std::size_t>(x);
      const float h = heights[k];
      if (static_cast<double>(h) < 0.01) {
        if (!tablePoints) continue;
        glColor3f(0.f, 0.f, 1.f);
      } else if (tolerance > maxHeight - h) {
        glColor3f(0.95f, 0.95f, 0.95f);
      } else {
        glColor3f(1.f, 0.f, 0.f);
      }
      const float* p = cloud + 3 * k;
      glVertex3f(p[0], p[1], p[2]);
    }
  }
  glEnd();

  glLineWidth(2.f);
  glColor3f(1.f, 0.f, 1.f);
  glBegin(GL_LINES);
  glVertex3f(c.x, c.y, c.z);
  glVertex3f(c.x - m->plane[0], c.y - m->plane[1], c.z - m->plane[2]);
  glEnd();
}

void COpenGL3DWindow::OnMouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers,
                                  QPointF point) {
  const int dx = static_cast<int>(static_cast<float>(point.x()) - m_lastMouseX);
  const int dy = static_cast<int>(static_cast<float>(point.y()) - m_lastMouseY);
  m_lastMouseX = static_cast<float>(point.x());
  m_lastMouseY = static_cast<float>(point.y());
  if (!(buttons & Qt::LeftButton)) return;
  if (modifiers & Qt::ShiftModifier) {
    m_panX += static_cast<float>(dx) * kPanPerPixel;
    m_panY -= static_cast<float>(dy) * kPanPerPixel;
  } else {
    m_rotationX = Wrap(m_rotationX + static_cast<float>(dy) * kDegreesPerPixel);
    m_rotationZ = Wrap(m_rotationZ - static_cast<float>(dx) * kDegreesPerPixel);
  }
  update();
}

void COpenGL3DWindow::OnMouseWheel(int delta) {
  m_zoom += static_cast<float>(delta) * kZoomPerWheelUnit;
  update();
}

void COpenGL3DWindow::ResetView() {
  m_rotationX = m_rotationZ = 0.f;
  m_panX = m_panY = m_zoom = 0.f;
  update();
}

void COpenGL3DWindow::mousePressEvent(QMouseEvent* event) {
  m_lastMouseX = static_cast<float>(event->position().x());
  m_lastMouseY = static_cast<float>(event->position().y());
}

void COpenGL3DWindow::mouseMoveEvent(QMouseEvent* event) {
  OnMouseMove(event->buttons(), event->modifiers(), event->position());
}

void COpenGL3DWindow::wheelEvent(QWheelEvent* event) {
  const QPoint d = event->angleDelta();
  OnMouseWheel(d.y() != 0 ? d.y() : d.x());
  event->accept();
}

void COpenGL3DWindow::mouseDoubleClickEvent(QMouseEvent*) { ResetView(); }

QLabel* veldrin::MakeNoOpenGLLabel(QWidget* parent) {
  auto* label = new QLabel(QStringLiteral("The 3-D view needs OpenGL, which this display does not "
                                          "offer.\nHeights are still measured."),
                           parent);
  label->setObjectName(QStringLiteral("glUnavailable"));
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(true);
  label->setFrameShape(QFrame::Box);
  return label;
}
