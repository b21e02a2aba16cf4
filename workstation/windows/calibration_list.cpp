#include "workstation/windows/calibration_list.h"

#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QToolButton>

#include <vector>

#include "display/image_window.h"
#include "platform/message_box.h"
#include "workstation/calibration_store.h"
#include "workstation/rectification.h"
#include "workstation/status_model.h"
#include "workstation/windows/add_calibration_dlg.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

constexpr const char* kModifiedMark = " *";

std::string SizeText(cv::Size size) {
  return std::to_string(size.width) + " x " + std::to_string(size.height);
}

}  // namespace

CCalibrationList::CCalibrationList(QWidget* dialog, const SWidgets& widgets,
                                   CRectification& rectification, CImageWindow& inputWindow)
    : QObject(dialog),
      m_dialog(dialog),
      m_widgets(widgets),
      m_rectification(rectification),
      m_inputWindow(inputWindow) {
  connect(m_widgets.combo, qOverload<int>(&QComboBox::activated), this,
          [this](int) { OnCalibrationSelected(); });
  connect(m_widgets.saveButton, &QToolButton::clicked, this, [this] { OnSaveCalibration(); });
  connect(m_widgets.removeButton, &QToolButton::clicked, this, [this] { OnRemoveCalibration(); });
  // A drag reports every step of the pointer; the press and release around it make it one step.
  m_inputWindow.installEventFilter(this);
}

CCalibrationList::~CCalibrationList() = default;

void CCalibrationList::Open(const std::string& folder, int savedIndex,
                            const std::string& savedName) {
  m_store = std::make_unique<CCalibrationStore>(folder);
  Fill();
  bool apply = true;
  if (m_store->GetCount() > 0) {
    // The name follows its calibration when others are added before it; the index does not.
    const int named = savedName.empty() ? -1 : m_store->Find(savedName);
    m_index = named >= 0 ? named + 1 : savedIndex;
    if (m_index > m_store->GetCount()) apply = false;
  } else {
    m_index = 0;
  }
  m_reference = m_rectification.GetCorners();
  if (apply) {
    const QSignalBlocker blocker(m_widgets.combo);
    m_widgets.combo->setCurrentIndex(m_index);
    OnCalibrationSelected();
  }
  m_history.Clear();
  Refresh();
}

std::string CCalibrationList::Name() const {
  return m_index > 0 && m_store ? m_store->GetName(m_index - 1) : std::string();
}

std::string CCalibrationList::EntryName(int index) const {
  if (index == 0) return "Default";
  return m_store ? m_store->GetName(index - 1) : std::string();
}

std::string CCalibrationList::Directory() const {
  return m_store ? m_store->GetDirectory() : std::string();
}

void CCalibrationList::SetLensState(std::function<std::string()> activeLens) {
  m_activeLens = std::move(activeLens);
}

// The corners of a calibration belong to the picture they were placed on: with another lens
// correction they mark other points, so the operator is told.
void CCalibrationList::ReportLensState(const std::string& name, const std::string& savedLens) {
  const std::string active = ActiveLens();
  QString text;
  if (savedLens == active) {
    return;
  } else if (active.empty()) {
    text = QStringLiteral(
               "Calibration \"%1\" was placed with lens correction (%2); lens "
               "correction is off now.")
               .arg(Q(name), Q(savedLens));
  } else if (savedLens.empty()) {
    text = QStringLiteral(
               "Calibration \"%1\" was placed without lens correction; lens "
               "correction (%2) is on now.")
               .arg(Q(name), Q(active));
  } else {
    text = QStringLiteral(
               "Calibration \"%1\" was placed with lens correction (%2); lens "
               "correction (%3) is on now.")
               .arg(Q(name), Q(savedLens), Q(active));
  }
  ReportProblem(text.toStdString());
}

void CCalibrationList::LensChanged() {
  if (m_index <= 0 || !m_store) return;
  const std::string name = EntryName(m_index);
  std::vector<cv::Point2f> points;
  ECalibrationForm form;
  std::string savedLens;
  if (CCalibrationStore::ReadCalibration(m_store->GetDirectory(), name, points, form, savedLens) ==
      0)
    return;
  ReportProblem({});
  ReportLensState(name, savedLens);
}

void CCalibrationList::Show() {
  m_widgets.combo->show();
  m_widgets.saveButton->show();
  m_widgets.removeButton->show();
}

bool CCalibrationList::IsModified() const { return m_rectification.GetCorners() != m_reference; }

void CCalibrationList::Hide() {
  m_widgets.combo->hide();
  m_widgets.saveButton->hide();
  m_widgets.removeButton->hide();
}

void CCalibrationList::UpdatePointReadouts() {
  const auto texts = m_rectification.FormatPointReadouts();
  for (int i = 0; i < 4; ++i) m_widgets.pointLabels[i]->setText(Q(texts[i]));
}

void CCalibrationList::Refresh() {
  UpdatePointReadouts();

  const int current = m_widgets.combo->currentIndex();
  const bool modified = IsModified();
  for (int i = 0; i < m_widgets.combo->count(); ++i) {
    QString text = Q(EntryName(i));
    if (i == current && modified) text += QLatin1String(kModifiedMark);
    if (m_widgets.combo->itemText(i) != text) m_widgets.combo->setItemText(i, text);
  }

  const EQuadProblem problem = veldrin::CheckQuad(m_rectification.GetCorners());
  m_inputWindow.SetOutlineWarning(problem != EQuadProblem::kNone);
  if (m_widgets.warningLabel) m_widgets.warningLabel->setText(Q(veldrin::QuadWarning(problem)));

  // "Default" is no file: there is nothing to remove.
  m_widgets.removeButton->setEnabled(current > 0);
}

void CCalibrationList::ReportProblem(const std::string& text) {
  if (!m_status) return;
  if (!m_problem.empty()) m_status->ClearProblem(m_problem);
  m_problem = text;
  if (!text.empty()) m_status->ReportProblem(text);
}

void CCalibrationList::ReportNotice(const std::string& text) {
  if (!m_status) return;
  if (!m_notice.empty()) m_status->ClearNotice(m_notice);
  m_notice = text;
  if (!text.empty()) m_status->ReportNotice(text);
}

void CCalibrationList::Put(const std::vector<cv::Point2f>& corners) {
  // A partial set is refused by both, so the picture and the warp keep showing the same corners.
  if (!m_rectification.SetCorners(corners)) return;
  m_putting = true;
  m_inputWindow.SetPoints(corners);  // reports back through OnPointsChanged
  m_putting = false;
}

void CCalibrationList::OnPointsChanged() {
  std::vector<cv::Point2f> points;
  m_inputWindow.GetPoints(points);
  if (!m_putting && !m_dragStart) m_history.Record(m_rectification.GetCorners(), points);
  // The picture always holds four points; were it ever not, the warp would keep its corners.
  if (!m_rectification.SetCorners(points)) return;
  Refresh();
}

bool CCalibrationList::eventFilter(QObject* watched, QEvent* event) {
  const bool press = event->type() == QEvent::MouseButtonPress;
  if (watched == &m_inputWindow && (press || event->type() == QEvent::MouseButtonRelease)) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (press && mouse->button() == Qt::LeftButton && m_inputWindow.GetSelectedPoint() >= 0) {
      m_dragStart = m_rectification.GetCorners();
    } else if (!press && mouse->button() == Qt::LeftButton && m_dragStart) {
      m_history.Record(*m_dragStart, m_rectification.GetCorners());
      m_dragStart.reset();
    }
  }
  return QObject::eventFilter(watched, event);
}

void CCalibrationList::ApplyCorners(const std::vector<cv::Point2f>& corners) {
  if (corners.size() != 4) return;
  const std::vector<cv::Point2f> before = m_rectification.GetCorners();
  Put(corners);
  m_history.Record(before, corners);
  Refresh();
}

bool CCalibrationList::Undo() {
  const auto corners = m_history.Undo();
  if (!corners) return false;
  Put(*corners);
  Refresh();
  return true;
}

bool CCalibrationList::Redo() {
  const auto corners = m_history.Redo();
  if (!corners) return false;
  Put(*corners);
  Refresh();
  return true;
}

void CCalibrationList::FollowScaledCorners(float sx, float sy) {
  for (cv::Point2f& p : m_reference) p = cv::Point2f(p.x * sx, p.y * sy);
  m_history.Scale(sx, sy);
  if (m_dragStart) {
    for (cv::Point2f& p : *m_dragStart) p = cv::Point2f(p.x * sx, p.y * sy);
  }
  Put(m_rectification.GetCorners());
  Refresh();
}

void CCalibrationList::OnInputClicked() {
  if (m_rectification.GetCorners().size() == 4) m_rectification.RebuildDstCorners();
}

void CCalibrationList::Fill() {
  const QSignalBlocker blocker(m_widgets.combo);
  m_widgets.combo->clear();
  m_widgets.combo->insertItem(0, QStringLiteral("Default"));
  for (int i = 0; i < m_store->GetCount(); ++i)
    m_widgets.combo->insertItem(i + 1, Q(m_store->GetName(i)));
  m_widgets.combo->setCurrentIndex(-1);  // a refilled list has no selection until one is made
}

void CCalibrationList::OnCalibrationSelected() {
  m_index = m_widgets.combo->currentIndex();
  if (m_index < 0) return;
  const std::vector<cv::Point2f> before = m_rectification.GetCorners();
  ReportProblem({});
  ReportNotice({});
  if (m_index == 0) {
    m_rectification.SetDefaultCorners();
    const std::vector<cv::Point2f> corners = m_rectification.GetCorners();
    Put(corners);
    m_reference = corners;
    m_history.Record(before, corners);
    Refresh();
    emit CalibrationApplied(QString());
    return;
  }
  const std::string name = EntryName(m_index);
  std::vector<cv::Point2f> points;
  ECalibrationForm form;
  std::string savedLens;
  cv::Size savedFrame;
  if (!m_store || m_index > m_store->GetCount() ||
      CCalibrationStore::ReadCalibration(m_store->GetDirectory(), name, points, form, savedLens,
                                         savedFrame) != 4 ||
      points.size() != 4) {
    ReportProblem("The calibration \"" + name +
                  "\" was not applied: its file does not hold four usable corners.");
    Refresh();
    return;
  }
  // Corners placed on another resolution mark the same spot of the table once scaled, as a
  // live change of the resolution does.
  const cv::Size frame = m_rectification.GetFrameSize();
  if (!savedFrame.empty() && !frame.empty() && savedFrame != frame) {
    const float sx = static_cast<float>(frame.width) / static_cast<float>(savedFrame.width);
    const float sy = static_cast<float>(frame.height) / static_cast<float>(savedFrame.height);
    for (cv::Point2f& p : points) p = cv::Point2f(p.x * sx, p.y * sy);
    ReportNotice("Calibration \"" + name + "\" was made at " + SizeText(savedFrame) +
                 "; its corners were scaled to " + SizeText(frame) + ".");
  }
  Put(points);
  ReportLensState(name, savedLens);
  m_rectification.RebuildDstCorners();
  m_reference = points;
  m_history.Record(before, points);
  if (!m_rectification.CornersInsideFrame()) {
    ReportProblem("The corners of the calibration \"" + name +
                  "\" lie outside the camera picture (" + SizeText(frame) +
                  "): was it made at another resolution?");
  }
  Refresh();
  emit CalibrationApplied(Q(name));
}

void CCalibrationList::OnSaveCalibration() {
  const EQuadProblem problem = veldrin::CheckQuad(m_rectification.GetCorners());
  if (problem != EQuadProblem::kNone &&
      AfxMessageBox(veldrin::QuadWarning(problem) + "\nSave these corners anyway?",
                    MB_YESNO | MB_DEFBUTTON2) != IDYES)
    return;

  // A refused name brings the dialog back with the typed text, to be corrected.
  // "Default" is the built-in entry, never a file: it is not proposed.
  QString proposal;
  if (m_widgets.combo->currentIndex() > 0) proposal = Q(EntryName(m_widgets.combo->currentIndex()));
  std::string name;
  for (;;) {
    CAddCalibrationDlg dlg(m_dialog);
    dlg.SetName(proposal);
    if (dlg.exec() != QDialog::Accepted) return;
    name = dlg.GetName().toStdString();
    proposal = dlg.GetName();
    if (!CCalibrationStore::IsValidName(name)) {
      AfxMessageBox("\"" + name +
                        "\" cannot be used as a calibration name. Use a name that is not empty "
                        "and has no \"/\", and is not \".\" or \"..\".",
                    MB_ICONERROR | MB_OK);
    } else if (dlg.GetName().compare(QStringLiteral("Default"), Qt::CaseInsensitive) == 0) {
      // A file of that name would be listed as a second "Default" beside the built-in one.
      AfxMessageBox("\"" + name +
                        "\" is the name of the default corners and cannot be used as a "
                        "calibration name. Use another name.",
                    MB_ICONERROR | MB_OK);
    } else {
      break;
    }
  }
  if (m_store->Exists(name) && AfxMessageBox("Overwrite the calibration \"" + name + "\"?",
                                             MB_YESNO | MB_DEFBUTTON2) != IDYES)
    return;
  // The corners are not stored: say so, and keep the save button enabled so the operator can
  // try again, rather than showing the list as if the calibration had been saved.
  const std::vector<cv::Point2f> corners = m_rectification.GetCorners();
  if (!m_store->Save(name, corners, ActiveLens(), m_rectification.GetFrameSize())) {
    const std::string path = m_store->FilePath(name);
    ReportProblem("Cannot write " + path);
    AfxMessageBox("The calibration \"" + name + "\" could not be saved to " + path + ".",
                  MB_ICONERROR | MB_OK);
    return;
  }
  Fill();
  // The saved entry is the selected one from now on, also for the next start.
  m_index = m_store->Find(name) + 1;
  {
    const QSignalBlocker blocker(m_widgets.combo);
    m_widgets.combo->setCurrentIndex(m_index);
  }
  m_reference = corners;
  ReportProblem({});
  Refresh();
  emit CalibrationSaved(Q(name));
}

void CCalibrationList::OnRemoveCalibration() {
  m_index = m_widgets.combo->currentIndex();
  if (m_index <= 0) return;
  if (AfxMessageBox("Remove the calibration \"" + EntryName(m_index) + "\"?",
                    MB_YESNO | MB_DEFBUTTON2) != IDYES)
    return;
  if (!m_store->Remove(m_index - 1)) {
    // The file stays, and so does the entry: the list keeps showing what is on disk.
    ReportProblem("Cannot remove " + m_store->FilePath(EntryName(m_index)));
    return;
  }
  Fill();
  m_index = 0;
  {
    const QSignalBlocker blocker(m_widgets.combo);
    m_widgets.combo->setCurrentIndex(0);
  }
  OnCalibrationSelected();
}
