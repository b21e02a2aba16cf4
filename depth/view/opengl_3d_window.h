#pragma once

#include <QLabel>
#include <QOpenGLWidget>
#include <QPointF>

#include <atomic>
#include <functional>

#include "depth/table_measure.h"

// The right-hand view of the 3D View: the averaged point cloud coloured by height above the
// table plane, the plane itself and a marker along its normal, drawn with fixed-function OpenGL.
// Left-drag turns the scene, Shift-drag pans it, the wheel zooms and a double-click resets.
//
// Threads: everything runs on the UI thread except SetDrawOptions and RequestRepaint, which the
// depth thread calls. What is drawn is the measuring core's latest published measurement, taken
// at paint time, so painting never sees a half-written frame; the options are atomics.
class COpenGL3DWindow : public QOpenGLWidget {
  Q_OBJECT

 public:
  using MeasurementSource = std::function<CMeasurementExchange::CHandle()>;

  COpenGL3DWindow(MeasurementSource source, QWidget* parent = nullptr);
  ~COpenGL3DWindow() override;

  // Whether an OpenGL context can be made on this display at all. False with
  // VELDRIN_NO_OPENGL set, so the fallback can be tried anywhere.
  static bool IsAvailable();

  // Any thread: the dialog's switches and tolerance, used from the next paint on.
  void SetDrawOptions(bool drawPlane, bool drawTablePoints, float toleranceMm);
  // Any thread: a paint soon (coalesced).
  void RequestRepaint();

  // Mouse handling, also reached through the dialog for moves over its own area.
  void OnMouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, QPointF point);
  void OnMouseWheel(int delta);
  void ResetView();

  float RotationX() const { return m_rotationX; }
  float RotationZ() const { return m_rotationZ; }
  float PanX() const { return m_panX; }
  float PanY() const { return m_panY; }
  float Zoom() const { return m_zoom; }
  // Paints so far, for tests and the benchmark.
  int PaintCount() const { return m_paints; }

  // Draws one frame into the current context (clear included). Public for the benchmark.
  void DrawScene(const SDepthMeasurement* measurement);

 protected:
  void initializeGL() override;
  void resizeGL(int w, int h) override;
  void paintGL() override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  Q_INVOKABLE void RepaintQueued();

  MeasurementSource m_source;
  float m_rotationX = 0.f;
  float m_rotationZ = 0.f;
  float m_panX = 0.f;
  float m_panY = 0.f;
  float m_zoom = 0.f;
  float m_lastMouseX = 0.f;
  float m_lastMouseY = 0.f;
  int m_paints = 0;

  std::atomic<bool> m_bDrawPlane{true};
  std::atomic<bool> m_bDrawTablePoints{false};
  std::atomic<float> m_toleranceMm{3.f};
  std::atomic<bool> m_repaintPending{false};
};

namespace veldrin {

// Stands in for the OpenGL view where no context can be made: says so, in the view's place.
QLabel* MakeNoOpenGLLabel(QWidget* parent);

}  // namespace veldrin
