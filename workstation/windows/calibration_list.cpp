#include "workstation/windows/calibration_list.h"

#include <QComboBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QToolButton>

#include <vector>

#include "display/image_window.h"
#include "platform/message_box.h"
#include "resources/string_table.h"
#include "workstation/calibration_store.h"
#include "workstation/rectification.h"
#include "workstation/windows/add_calibration_dlg.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

CCalibrationList::CCalibrationList(QWidget* dialog, const SWidgets& widgets,
                                   CRectification& rectification, CImageWindow& inputWindow)
    : QObject(dialog),
      m_pDialog(dialog),
      m_widgets(widgets),
      m_rectification(rectification),
      m_inputWindow(inputWindow) {
  connect(m_widgets.combo, qOverload<int>(&QComboBox::activated), this,
          [this](int) { OnCalibrationSelected(); });
  connect(m_widgets.saveButton, &QToolButton::clicked, this, [this] { OnSaveCalibration(); });
  connect(m_widgets.removeButton, &QToolButton::clicked, this, [this] { OnRemoveCalibration(); });
}

CCalibrationList::~CCalibrationList() = default;

void CCalibrationList::Open(const std::string& folder, int savedIndex) {
  m_pStore = std::make_unique<CCalibrationStore>(folder);
  Fill();
  bool apply = true;
  if (m_pStore->GetCount() > 0) {
    m_nIndex = savedIndex;
    if (m_nIndex > m_pStore->GetCount()) apply = false;
  } else {
    m_nIndex = 0;
  }
  if (apply) {
    const QSignalBlocker blocker(m_widgets.combo);
    m_widgets.combo->setCurrentIndex(m_nIndex);
    OnCalibrationSelected();
  }
  m_widgets.saveButton->setEnabled(false);
}

std::string CCalibrationList::Directory() const {
  return m_pStore ? m_pStore->GetDirectory() : std::string();
}

void CCalibrationList::Show() {
  m_widgets.combo->show();
  m_widgets.saveButton->show();
  m_widgets.removeButton->show();
}

void CCalibrationList::UpdatePointReadouts() {
  const auto texts = m_rectification.FormatPointReadouts();
  for (int i = 0; i < 4; ++i) m_widgets.pointLabels[i]->setText(Q(texts[i]));
}

void CCalibrationList::OnPointsChanged() {
  m_widgets.saveButton->setEnabled(true);
  std::vector<cv::Point2f> points;
  m_inputWindow.GetPoints(points);
  m_rectification.SetCorners(points);
  UpdatePointReadouts();
}

void CCalibrationList::OnInputClicked() {
  if (m_rectification.GetCorners().size() == 4) {
    m_rectification.RebuildDstCorners();
    m_widgets.saveButton->setEnabled(true);
  }
}

void CCalibrationList::Fill() {
  const QSignalBlocker blocker(m_widgets.combo);
  m_widgets.combo->clear();
  m_widgets.combo->insertItem(0, QStringLiteral("Default"));
  for (int i = 0; i < m_pStore->GetCount(); ++i)
    m_widgets.combo->insertItem(i + 1, Q(m_pStore->GetName(i)));
  m_widgets.combo->setCurrentIndex(-1);  // a refilled list has no selection until one is made
}

void CCalibrationList::OnCalibrationSelected() {
  m_nIndex = m_widgets.combo->currentIndex();
  if (m_nIndex < 0) return;
  if (m_nIndex == 0) {
    m_rectification.SetDefaultCorners();
    m_inputWindow.SetPoints(m_rectification.GetCorners());
    UpdatePointReadouts();
    emit CalibrationApplied(QString());
    return;
  }
  std::vector<cv::Point2f> points;
  if (!m_pStore || m_pStore->Load(m_nIndex - 1, points) != 4 || points.size() != 4) return;
  m_rectification.SetCorners(points);
  m_inputWindow.SetPoints(points);
  m_rectification.RebuildDstCorners();
  UpdatePointReadouts();
  m_widgets.saveButton->setEnabled(false);
  emit CalibrationApplied(Q(m_pStore->GetName(m_nIndex - 1)));
}

void CCalibrationList::OnSaveCalibration() {
  CAddCalibrationDlg dlg(m_pDialog);
  if (m_widgets.combo->currentIndex() >= 0) dlg.SetName(m_widgets.combo->currentText());
  if (dlg.exec() != QDialog::Accepted) return;
  const std::string name = dlg.GetName().toStdString();
  if (!CCalibrationStore::IsValidName(name)) {
    AfxMessageBox("\"" + name +
                      "\" cannot be used as a calibration name. Use a name that is not empty "
                      "and has no \"/\", and is not \".\" or \"..\".",
                  MB_ICONERROR | MB_OK);
    return;
  }
  if (m_pStore->Exists(name) &&
      AfxFormatMessageBox(nullptr, MB_YESNO, veldrin::IDS_CONFIRM_OVERWRITE_CALIBRATION) != IDYES)
    return;
  // The corners are not stored: say so, and keep the save button enabled so the operator can
  // try again, rather than showing the list as if the calibration had been saved.
  if (!m_pStore->Save(name, m_rectification.GetCorners())) {
    AfxMessageBox("The calibration \"" + name + "\" could not be saved.", MB_ICONERROR | MB_OK);
    return;
  }
  Fill();
  const QString typed = Q(name);
  for (int i = 0; i < m_widgets.combo->count(); ++i) {
    if (m_widgets.combo->itemText(i).startsWith(typed, Qt::CaseInsensitive)) {
      const QSignalBlocker blocker(m_widgets.combo);
      m_widgets.combo->setCurrentIndex(i);
      break;
    }
  }
  UpdatePointReadouts();
  m_widgets.saveButton->setEnabled(false);
  emit CalibrationSaved(typed);
}

void CCalibrationList::OnRemoveCalibration() {
  m_nIndex = m_widgets.combo->currentIndex();
  if (m_nIndex <= 0) return;
  if (AfxFormatMessageBox(nullptr, MB_YESNO, veldrin::IDS_CONFIRM_REMOVE_CALIBRATION) != IDYES)
    return;
  if (!m_pStore->Remove(m_nIndex - 1)) return;
  Fill();
  m_nIndex = 0;
  {
    const QSignalBlocker blocker(m_widgets.combo);
    m_widgets.combo->setCurrentIndex(0);
  }
  OnCalibrationSelected();
}
