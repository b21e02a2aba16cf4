#include "depth/view/depth_camera_dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPushButton>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "depth/plane_files.h"
#include "depth/view/depth_dialog_template.h"
#include "depth/view/opengl_3d_window.h"
#include "display/image_window.h"

namespace {

// Dialog units of the dialog's font: a quarter of the average character width across, an
// eighth of the character height down.
QRect DuRect(const QFontMetrics& fm, int x, int y, int cx, int cy) {
  const double bx = fm.averageCharWidth() / 4.0;
  const double by = fm.height() / 8.0;
  return QRect(static_cast<int>(std::lround(x * bx)), static_cast<int>(std::lround(y * by)),
               static_cast<int>(std::lround(cx * bx)), static_cast<int>(std::lround(cy * by)));
}

QRect PixelRect(const int r[4]) { return QRect(QPoint(r[0], r[1]), QPoint(r[2] - 1, r[3] - 1)); }

}  // namespace

CUpDown::CUpDown(QWidget* parent)
    : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this)) {
  m_up->setArrowType(Qt::UpArrow);
  m_down->setArrowType(Qt::DownArrow);
  m_up->setObjectName(QStringLiteral("up"));
  m_down->setObjectName(QStringLiteral("down"));
  m_up->setAutoRepeat(true);
  m_down->setAutoRepeat(true);
  setFocusPolicy(Qt::StrongFocus);
  connect(m_up, &QToolButton::clicked, this, [this] { emit DeltaPos(-1); });
  connect(m_down, &QToolButton::clicked, this, [this] { emit DeltaPos(+1); });
}

void CUpDown::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Up) {
    emit DeltaPos(-1);
  } else if (event->key() == Qt::Key_Down) {
    emit DeltaPos(+1);
  } else {
    QWidget::keyPressEvent(event);
  }
}

void CUpDown::resizeEvent(QResizeEvent*) {
  const int half = height() / 2;
  m_up->setGeometry(0, 0, width(), half);
  m_down->setGeometry(0, half, width(), height() - half);
}

CDepthCameraDialog::CDepthCameraDialog(std::string folder, QWidget* parent)
    : QDialog(parent), m_strFolder(std::move(folder)) {
  setObjectName(QStringLiteral("134"));
  setWindowTitle(QString::fromLatin1(veldrin::kDepthDialogTitle));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setMouseTracking(true);
  LoadPlaneCoordinates();
  CreateControls();
  ShowTolerance();
}

CDepthCameraDialog::~CDepthCameraDialog() = default;

void CDepthCameraDialog::CreateControls() {
  const QFontMetrics fm(font());
  int right = 0;
  QWidget* groupBox = nullptr;
  for (const SControlTemplate& t : veldrin::kDepthDialogControls) {
    const QString text = QString::fromLatin1(t.text);
    QWidget* w = nullptr;
    switch (t.kind) {
      case EControlKind::kGroupBox:
        w = new QGroupBox(text, this);
        break;
      case EControlKind::kLabel:
        w = new QLabel(text, this);
        break;
      case EControlKind::kReadOnlyEdit: {
        auto* edit = new QLineEdit(this);
        edit->setReadOnly(true);
        w = edit;
        break;
      }
      case EControlKind::kUpDown:
        w = m_upDown = new CUpDown(this);
        break;
      case EControlKind::kCheckBox:
        w = new QCheckBox(text, this);
        break;
      case EControlKind::kPushButton: {
        auto* button = new QPushButton(text, this);
        button->setAutoDefault(false);
        w = button;
        break;
      }
    }
    if (t.kind == EControlKind::kGroupBox) groupBox = w;
    if (*t.id) w->setObjectName(QString::fromLatin1(t.id));
    QRect r = DuRect(fm, t.x, t.y, t.cx, t.cy);
    // Texts take the room this font needs; the template was laid out for a narrower one.
    if (qobject_cast<QCheckBox*>(w) || qobject_cast<QLabel*>(w) || qobject_cast<QPushButton*>(w))
      r.setWidth(std::max(r.width(), w->sizeHint().width()));
    w->setGeometry(r);
    right = std::max(right, r.right());
    w->setVisible(!t.hidden);
  }
  // The settings group frames the widened texts too.
  if (groupBox) groupBox->resize(right + 4 - groupBox->x(), groupBox->height());
  m_toleranceEdit = findChild<QLineEdit*>(QStringLiteral("1008"));
  m_heightEdit = findChild<QLineEdit*>(QStringLiteral("1021"));
  auto* tablePoints = findChild<QCheckBox*>(QStringLiteral("1011"));
  auto* plane = findChild<QCheckBox*>(QStringLiteral("1017"));
  auto* save = findChild<QPushButton*>(QStringLiteral("1022"));
  tablePoints->setChecked(m_bDrawTablePoints.load() != 0);
  plane->setChecked(m_bDrawPlane.load() != 0);

  connect(m_upDown, &CUpDown::DeltaPos, this, [this](int d) { OnToleranceDeltaPos(d); });
  connect(tablePoints, &QCheckBox::clicked, this, [this] {
    m_bDrawTablePoints.store(!m_bDrawTablePoints.load());
    PushDrawOptions();
  });
  connect(plane, &QCheckBox::clicked, this, [this] {
    m_bDrawPlane.store(!m_bDrawPlane.load());
    PushDrawOptions();
  });
  connect(save, &QPushButton::clicked, this, [this] { SavePlaneCoordinates(); });

  m_imageWindow = new CImageWindow(this);
  m_imageWindow->setGeometry(PixelRect(veldrin::kDepthImageRect));
  m_imageWindow->SetImageSize(640, 480);
  if (COpenGL3DWindow::IsAvailable()) {
    m_pGLWindow = new COpenGL3DWindow([this] { return m_measure.Published(); }, this);
    m_pGLWindow->setGeometry(PixelRect(veldrin::kGLViewRect));
    PushDrawOptions();
  } else {
    m_noGLLabel = veldrin::MakeNoOpenGLLabel(this);
    m_noGLLabel->setGeometry(PixelRect(veldrin::kGLViewRect));
  }

  const QRect frame = DuRect(fm, 0, 0, veldrin::kDepthDialogWidthDu, veldrin::kDepthDialogHeightDu);
  resize(std::max({frame.width(), veldrin::kGLViewRect[2] + 8, right + 8}),
         std::max(frame.height(), veldrin::kGLViewRect[3] + 8));
}

void CDepthCameraDialog::LoadPlaneCoordinates() {
  Plane3D plane;
  std::string error;
  std::lock_guard lock(m_measureMutex);
  // A plane no camera could see would measure absurd heights and raise the corners anywhere.
  if (veldrin::ReadPlane3D(veldrin::Plane3DPath(m_strFolder), plane, error)) {
    m_measure.SetPlaneCorners(plane);
  } else {
    m_measure.ClearPlaneCorners();
    if (error.rfind("no 3D plane file", 0) != 0) m_planeProblem = error;
  }
}

void CDepthCameraDialog::OnToleranceDeltaPos(int delta) {
  int tolerance = m_nTolerance.load() - delta;
  if (tolerance < 3) tolerance = 3;
  m_nTolerance.store(tolerance);
  ShowTolerance();
  PushDrawOptions();
}

void CDepthCameraDialog::ShowTolerance() {
  m_toleranceEdit->setText(QString::number(m_nTolerance.load()));
}

void CDepthCameraDialog::PushDrawOptions() {
  if (m_pGLWindow)
    m_pGLWindow->SetDrawOptions(m_bDrawPlane.load() != 0, m_bDrawTablePoints.load() != 0,
                                GetTolerance());
}

float CDepthCameraDialog::UpdateDepthView(const cv::Mat& depthImage, const cv::Mat& depthMeters,
                                          const SVertex* vertices, const int c[8]) {
  m_imageWindow->SetImage(depthImage);
  m_imageWindow->SetPoints({cv::Point2f(static_cast<float>(c[0]), static_cast<float>(c[1])),
                            cv::Point2f(static_cast<float>(c[2]), static_cast<float>(c[3])),
                            cv::Point2f(static_cast<float>(c[4]), static_cast<float>(c[5])),
                            cv::Point2f(static_cast<float>(c[6]), static_cast<float>(c[7]))});
  float height = 0.f;
  {
    std::lock_guard lock(m_measureMutex);
    height = m_measure.UpdateDepthView(depthMeters, vertices, c[0], c[1], c[2], c[3], c[4], c[5],
                                       c[6], c[7], nullptr);
    m_settled.store(m_measure.IsSettled());
  }
  if (m_pGLWindow) {
    PushDrawOptions();
    m_pGLWindow->RequestRepaint();
  }
  // The read-out follows in whole millimetres; one queued call at a time.
  m_shownHeightMm.store(static_cast<int>(static_cast<double>(height) * 1000.0));
  if (!m_heightPending.exchange(true)) {
    QMetaObject::invokeMethod(this, "ShowHeightQueued", Qt::QueuedConnection);
  }
  return height;
}

void CDepthCameraDialog::ShowHeightQueued() {
  m_heightPending.store(false);
  // A height from the first few samples is not one to act on yet.
  m_heightEdit->setText(m_settled.load() ? QStringLiteral("%1 mm").arg(m_shownHeightMm.load())
                                         : QStringLiteral("measuring\u2026"));
}

int CDepthCameraDialog::GetRaisedPlaneCorners(float height, float out[12]) {
  std::lock_guard lock(m_measureMutex);
  return m_measure.GetRaisedPlaneCorners(height, out);
}

CDepthCameraDialog::ESaveResult CDepthCameraDialog::SavePlaneCoordinates() {
  Plane3D plane;
  {
    std::lock_guard lock(m_measureMutex);
    if (!m_measure.CurrentPlaneCorners(plane)) return ESaveResult::kNoFrameYet;
  }
  // A failed write keeps the file as it was, so the plane measured against stays that one too.
  if (!veldrin::WritePlane3D(veldrin::Plane3DPath(m_strFolder), plane))
    return ESaveResult::kWriteFailed;
  std::lock_guard lock(m_measureMutex);
  m_measure.SetPlaneCorners(plane);
  return ESaveResult::kSaved;
}

int CDepthCameraDialog::IsPlaneLoaded() {
  std::lock_guard lock(m_measureMutex);
  return m_measure.IsPlaneLoaded();
}

void CDepthCameraDialog::closeEvent(QCloseEvent* event) { event->ignore(); }

void CDepthCameraDialog::mouseMoveEvent(QMouseEvent* event) {
  if (m_pGLWindow)
    m_pGLWindow->OnMouseMove(event->buttons(), event->modifiers(), event->position());
  QDialog::mouseMoveEvent(event);
}

void CDepthCameraDialog::wheelEvent(QWheelEvent* event) {
  if (m_pGLWindow && event->angleDelta().x() != 0)
    m_pGLWindow->OnMouseWheel(event->angleDelta().x());
  QDialog::wheelEvent(event);
}
