#include "workstation/windows/lens_dlg.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include <cerrno>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/message_box.h"
#include "workstation/lens.h"
#include "workstation/windows/board_entry.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

const QSize kCoverageMapSize(240, 180);

// The coverage map over the last view (faded): cells that hold corners filled, and each of the
// picture's corner regions framed in green once a view reached it, in red until then.
QPixmap DrawCoverageMap(const SCoverageMap& map, const cv::Mat& thumbnail, QSize bounds) {
  using Map = SCoverageMap;
  QSize size = bounds;
  if (!thumbnail.empty()) {
    size = QSize(thumbnail.cols, thumbnail.rows).scaled(bounds, Qt::KeepAspectRatio);
  }
  QPixmap pixmap(size);
  pixmap.fill(QColor(90, 90, 90));
  QPainter p(&pixmap);
  if (!thumbnail.empty()) {
    const QImage image(thumbnail.data, thumbnail.cols, thumbnail.rows,
                       static_cast<int>(thumbnail.step), QImage::Format_RGB888);
    p.drawImage(QRect(QPoint(0, 0), size), image);
    p.fillRect(pixmap.rect(), QColor(255, 255, 255, 90));
  }
  const double w = static_cast<double>(size.width()) / Map::kColumns;
  const double h = static_cast<double>(size.height()) / Map::kRows;
  for (int r = 0; r < Map::kRows; ++r) {
    for (int c = 0; c < Map::kColumns; ++c) {
      if (map.Count(c, r) > 0) p.fillRect(QRectF(c * w, r * h, w, h), QColor(0, 170, 0, 120));
    }
  }
  p.setPen(QPen(QColor(255, 255, 255, 160), 1));
  for (int c = 1; c < Map::kColumns; ++c)
    p.drawLine(QPointF(c * w, 0), QPointF(c * w, size.height()));
  for (int r = 1; r < Map::kRows; ++r) p.drawLine(QPointF(0, r * h), QPointF(size.width(), r * h));
  constexpr int n = SCoverageRule::kCornerCells;
  for (int corner = 0; corner < 4; ++corner) {
    const int c0 = corner % 2 == 0 ? 0 : Map::kColumns - n;
    const int r0 = corner < 2 ? 0 : Map::kRows - n;
    p.setPen(QPen(map.CornerReached(corner) ? QColor(0, 200, 0) : QColor(230, 0, 0), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(c0 * w + 1, r0 * h + 1, n * w - 2, n * h - 2));
  }
  return pixmap;
}

}  // namespace

CLensDlg::CLensDlg(std::string camera, std::string folder, std::function<cv::Mat()> grabFrame,
                   const SLensBoard& board, QWidget* parent)
    : QDialog(parent),
      m_camera(std::move(camera)),
      m_strFolder(std::move(folder)),
      m_grabFrame(std::move(grabFrame)) {
  setWindowTitle(QStringLiteral("Lens"));
  setObjectName(QStringLiteral("lensDialog"));

  m_board = new CBoardEntry(board, {"lensColumns", "lensRows", "lensSquare"}, this);

  m_picture = new QLabel(this);
  m_picture->setObjectName(QStringLiteral("lensPicture"));
  m_picture->setMinimumSize(320, 180);
  m_picture->setAlignment(Qt::AlignCenter);
  m_coverageMap = new QLabel(this);
  m_coverageMap->setObjectName(QStringLiteral("lensCoverageMap"));
  m_coverageMap->setFixedSize(kCoverageMapSize);
  m_coverageMap->setAlignment(Qt::AlignCenter);
  auto* mapCaption =
      new QLabel(QStringLiteral("Green: where the views' corners fell. Each red\n"
                                "frame is a picture corner that still needs a view."),
                 this);
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
  auto* map = new QVBoxLayout;
  map->addWidget(m_coverageMap);
  map->addWidget(mapCaption);
  map->addStretch();
  auto* pictures = new QHBoxLayout;
  pictures->addWidget(m_picture, 1);
  pictures->addLayout(map);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_board);
  layout->addLayout(pictures, 1);
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
  connect(m_board, &CBoardEntry::Changed, this, [this] { ClearViews(); });

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

SLensBoard CLensDlg::Board() const { return m_board->Board(); }

void CLensDlg::ClearViews() {
  m_views.clear();
  m_frameSize = cv::Size();
  m_thumbnail.release();
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
                          .arg(Board().columns)
                          .arg(Board().rows));
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
    cv::drawChessboardCorners(shown, cv::Size(Board().columns, Board().rows), corners, true);
  }
  cv::cvtColor(shown, shown, cv::COLOR_BGR2RGB);
  if (!corners.empty()) {
    const QSize small = QSize(shown.cols, shown.rows).scaled(kCoverageMapSize, Qt::KeepAspectRatio);
    cv::resize(shown, m_thumbnail, cv::Size(small.width(), small.height()), 0, 0, cv::INTER_AREA);
  }
  const QImage image(shown.data, shown.cols, shown.rows, static_cast<int>(shown.step),
                     QImage::Format_RGB888);
  m_picture->setPixmap(
      QPixmap::fromImage(image.copy())
          .scaled(m_picture->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void CLensDlg::UpdateResult() {
  m_viewsLabel->setText(QStringLiteral("Views with the board: %1").arg(m_views.size()));
  m_coverage = veldrin::CoverageMap(m_views, m_frameSize);
  m_coverageEnough = veldrin::IsCoverageEnough(m_coverage, m_coverageProblem);
  m_coverageLabel->setText(
      QStringLiteral("Picture covered: %1 %")
          .arg(static_cast<int>(std::lround(m_coverage.CoveredShare() * 100))));
  ShowCoverage();
  m_haveLens = false;
  std::string error;
  SLensModel lens;
  lens.camera = m_camera;
  if (static_cast<int>(m_views.size()) >= veldrin::kMinLensViews &&
      veldrin::CalibrateLens(m_views, Board(), m_frameSize, lens, error)) {
    m_lens = lens;
    m_haveLens = true;
    m_rmsLabel->setText(QStringLiteral("RMS: %1 px").arg(lens.rmsPx, 0, 'f', 3));
    // A low RMS from central views alone says nothing about the picture's edges.
    if (!m_coverageEnough) m_status->setText(Q(m_coverageProblem));
  } else {
    m_rmsLabel->setText(QStringLiteral("RMS: -"));
    if (!error.empty()) m_status->setText(Q(error));
  }
  const bool canSave = m_haveLens && m_coverageEnough;
  m_saveButton->setEnabled(canSave);
  m_saveButton->setToolTip(m_haveLens && !canSave ? Q(m_coverageProblem) : QString());
}

void CLensDlg::ShowCoverage() {
  m_coverageMap->setPixmap(DrawCoverageMap(m_coverage, m_thumbnail, kCoverageMapSize));
}

void CLensDlg::OnSave() {
  if (!m_haveLens) return;
  if (!m_coverageEnough) {
    m_status->setText(Q(m_coverageProblem));
    return;
  }
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
