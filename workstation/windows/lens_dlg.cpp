#include "workstation/windows/lens_dlg.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cerrno>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/message_box.h"
#include "workstation/lens.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

CLensDlg::CLensDlg(std::string camera, std::string folder, std::function<cv::Mat()> grabFrame,
                   QWidget* parent)
    : QDialog(parent),
      m_camera(std::move(camera)),
      m_strFolder(std::move(folder)),
      m_grabFrame(std::move(grabFrame)) {
  setWindowTitle(QStringLiteral("Lens"));
  setObjectName(QStringLiteral("lensDialog"));

  m_columns = new QSpinBox(this);
  m_columns->setObjectName(QStringLiteral("lensColumns"));
  m_columns->setRange(2, 64);
  m_columns->setValue(9);
  m_rows = new QSpinBox(this);
  m_rows->setObjectName(QStringLiteral("lensRows"));
  m_rows->setRange(2, 64);
  m_rows->setValue(6);
  m_square = new QDoubleSpinBox(this);
  m_square->setObjectName(QStringLiteral("lensSquare"));
  m_square->setRange(1.0, 500.0);
  m_square->setDecimals(1);
  m_square->setSuffix(QStringLiteral(" mm"));
  m_square->setValue(25.0);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Inner corners across:"), m_columns);
  form->addRow(QStringLiteral("Inner corners down:"), m_rows);
  form->addRow(QStringLiteral("Square size:"), m_square);

  m_picture = new QLabel(this);
  m_picture->setObjectName(QStringLiteral("lensPicture"));
  m_picture->setMinimumSize(320, 180);
  m_picture->setAlignment(Qt::AlignCenter);
  m_viewsLabel = new QLabel(this);
  m_viewsLabel->setObjectName(QStringLiteral("lensViews"));
  m_coverageLabel = new QLabel(this);
  m_coverageLabel->setObjectName(QStringLiteral("lensCoverage"));
  m_rmsLabel = new QLabel(this);
  m_rmsLabel->setObjectName(QStringLiteral("lensRms"));
  m_status = new QLabel(this);
  m_status->setObjectName(QStringLiteral("lensStatus"));
  m_status->setWordWrap(true);

  auto* capture = new QPushButton(QStringLiteral("Capture view"), this);
  capture->setObjectName(QStringLiteral("lensCapture"));
  m_saveButton = new QPushButton(QStringLiteral("Save"), this);
  m_saveButton->setObjectName(QStringLiteral("lensSave"));
  m_removeButton = new QPushButton(QStringLiteral("Remove lens correction"), this);
  m_removeButton->setObjectName(QStringLiteral("lensRemove"));
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  close->setObjectName(QStringLiteral("lensClose"));
  for (QPushButton* b : {capture, m_saveButton, m_removeButton, close}) b->setAutoDefault(false);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(capture);
  buttons->addWidget(m_saveButton);
  buttons->addWidget(m_removeButton);
  buttons->addStretch();
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(m_picture, 1);
  layout->addWidget(m_viewsLabel);
  layout->addWidget(m_coverageLabel);
  layout->addWidget(m_rmsLabel);
  layout->addWidget(m_status);
  layout->addLayout(buttons);

  connect(capture, &QPushButton::clicked, this, [this] { OnCapture(); });
  connect(m_saveButton, &QPushButton::clicked, this, [this] { OnSave(); });
  connect(m_removeButton, &QPushButton::clicked, this, [this] { OnRemove(); });
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  // Views of one board do not mix with another's.
  for (QSpinBox* box : {m_columns, m_rows}) {
    connect(box, qOverload<int>(&QSpinBox::valueChanged), this, [this] { ClearViews(); });
  }
  connect(m_square, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
          [this] { ClearViews(); });

  m_removeButton->setEnabled(::access(LensPath().c_str(), F_OK) == 0);
  m_activeLabel = new QLabel(ActiveLensText(), this);
  m_activeLabel->setObjectName(QStringLiteral("lensActive"));
  m_activeLabel->setWordWrap(true);
  layout->insertWidget(0, m_activeLabel);
  m_status->setText(
      QStringLiteral("Show the printed board to the camera in different places and angles, the "
                     "picture's corners too, and capture at least %1 views.")
          .arg(veldrin::kMinLensViews));
  UpdateResult();
}

// Whether this camera has a lens correction now, and how good it was when it was measured (the
// file's time is when it was saved).
QString CLensDlg::ActiveLensText() const {
  SLensModel lens;
  std::string error;
  struct stat st {};
  if (veldrin::LensFileName(m_camera).empty() || !veldrin::ReadLensFile(LensPath(), lens, error) ||
      lens.camera != m_camera || ::stat(LensPath().c_str(), &st) != 0) {
    return QStringLiteral("No lens correction is active for this camera.");
  }
  return QStringLiteral("Lens correction active for this camera: %1 x %2, RMS %3 px, measured %4.")
      .arg(lens.size.width)
      .arg(lens.size.height)
      .arg(lens.rmsPx, 0, 'f', 3)
      .arg(QDateTime::fromSecsSinceEpoch(st.st_mtime).toString(QStringLiteral("yyyy-MM-dd hh:mm")));
}

std::string CLensDlg::LensPath() const { return m_strFolder + veldrin::LensFileName(m_camera); }

SLensBoard CLensDlg::Board() const {
  return SLensBoard{m_columns->value(), m_rows->value(), m_square->value()};
}

void CLensDlg::ClearViews() {
  m_views.clear();
  m_frameSize = cv::Size();
  m_picture->clear();
  UpdateResult();
}

void CLensDlg::OnCapture() {
  const cv::Mat frame = m_grabFrame ? m_grabFrame() : cv::Mat();
  if (frame.empty()) {
    m_status->setText(QStringLiteral("There is no picture from the camera yet."));
    return;
  }
  if (!m_frameSize.empty() && frame.size() != m_frameSize) {
    // The frame size changed: the lens is measured for one size.
    ClearViews();
  }
  std::vector<cv::Point2f> corners;
  if (!veldrin::FindBoardCorners(frame, Board(), corners)) {
    ShowView(frame, {});
    m_status->setText(QStringLiteral("No board of %1 x %2 inner corners was found in this view.")
                          .arg(m_columns->value())
                          .arg(m_rows->value()));
    return;
  }
  m_frameSize = frame.size();
  m_views.push_back(corners);
  ShowView(frame, corners);
  m_status->clear();
  UpdateResult();
}

void CLensDlg::ShowView(const cv::Mat& frame, const std::vector<cv::Point2f>& corners) {
  cv::Mat shown = frame.clone();
  if (shown.channels() == 1) cv::cvtColor(shown, shown, cv::COLOR_GRAY2BGR);
  if (!corners.empty()) {
    cv::drawChessboardCorners(shown, cv::Size(m_columns->value(), m_rows->value()), corners, true);
  }
  cv::cvtColor(shown, shown, cv::COLOR_BGR2RGB);
  const QImage image(shown.data, shown.cols, shown.rows, static_cast<int>(shown.step),
                     QImage::Format_RGB888);
  m_picture->setPixmap(
      QPixmap::fromImage(image.copy())
          .scaled(m_picture->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void CLensDlg::UpdateResult() {
  m_viewsLabel->setText(QStringLiteral("Views with the board: %1").arg(m_views.size()));
  const double coverage = veldrin::BoardCoverage(m_views, m_frameSize);
  m_coverageLabel->setText(
      QStringLiteral("Picture covered: %1 %").arg(static_cast<int>(std::lround(coverage * 100))));
  m_haveLens = false;
  std::string error;
  SLensModel lens;
  lens.camera = m_camera;
  if (static_cast<int>(m_views.size()) >= veldrin::kMinLensViews &&
      veldrin::CalibrateLens(m_views, Board(), m_frameSize, lens, error)) {
    m_lens = lens;
    m_haveLens = true;
    m_rmsLabel->setText(QStringLiteral("RMS: %1 px").arg(lens.rmsPx, 0, 'f', 3));
  } else {
    m_rmsLabel->setText(QStringLiteral("RMS: -"));
    if (!error.empty()) m_status->setText(Q(error));
  }
  m_saveButton->setEnabled(m_haveLens);
}

void CLensDlg::OnSave() {
  if (!m_haveLens) return;
  if (veldrin::LensFileName(m_camera).empty()) {
    AfxMessageBox("The camera's name \"" + m_camera + "\" cannot be used as a file name.",
                  MB_ICONERROR | MB_OK);
    return;
  }
  if (!veldrin::WriteLensFile(LensPath(), m_lens)) {
    AfxMessageBox("The lens correction could not be saved to " + LensPath() + ".",
                  MB_ICONERROR | MB_OK);
    return;
  }
  accept();
}

void CLensDlg::OnRemove() {
  if (veldrin::LensFileName(m_camera).empty()) return;
  // The measurement took many views: one click must not lose it.
  if (AfxMessageBox("Remove the lens correction of the camera \"" + m_camera + "\"?",
                    MB_YESNO | MB_DEFBUTTON2) != IDYES)
    return;
  if (::unlink(LensPath().c_str()) != 0 && errno != ENOENT) {
    AfxMessageBox("The lens correction could not be removed: " + LensPath() + ".",
                  MB_ICONERROR | MB_OK);
    return;
  }
  accept();
}
