#include "workstation/windows/camera_configuration_dlg.h"

#include <QGroupBox>

#include "workstation/windows/dialog_layout.h"

CCameraConfiguraionDlg::CCameraConfiguraionDlg(const std::vector<cv::Point>* resolutions,
                                               QSize current, int frameDivisor, QWidget* parent)
    : QDialog(parent),
      m_nFrameDivisor(frameDivisor),
      m_pResolutions(resolutions),
      m_sizeCurrent(current) {
  setObjectName(QStringLiteral("137"));
  setWindowTitle(QStringLiteral("Camera configuration"));
  const CDialogUnits du(font());
  setFixedSize(du.Size(113, 94));

  auto* resGroup = new QGroupBox(QStringLiteral("Camera resolutions"), this);
  resGroup->setGeometry(du.Rect(7, 7, 92, 31));
  auto* divGroup = new QGroupBox(QStringLiteral("Frame divisor"), this);
  divGroup->setGeometry(du.Rect(7, 38, 92, 31));

  m_resolutionCombo = new QComboBox(this);
  m_resolutionCombo->setObjectName(QStringLiteral("1024"));
  m_resolutionCombo->setEditable(true);
  m_resolutionCombo->setInsertPolicy(QComboBox::NoInsert);
  m_resolutionCombo->setGeometry(du.Rect(13, 17, 79, 14));

  m_divisorCombo = new QComboBox(this);
  m_divisorCombo->setObjectName(QStringLiteral("1025"));
  m_divisorCombo->setEditable(true);
  m_divisorCombo->setInsertPolicy(QComboBox::NoInsert);
  m_divisorCombo->setGeometry(du.Rect(13, 50, 79, 14));

  veldrin::AddDialogButtons(this, QStringLiteral("Aceptar"), du.Rect(9, 74, 41, 12),
                            QStringLiteral("Cancelar"), du.Rect(62, 74, 41, 12));
  connect(m_resolutionCombo, qOverload<int>(&QComboBox::activated), this,
          [this](int index) { m_nResolutionIndex = index; });

  OnInitDialog();
}

void CCameraConfiguraionDlg::OnInitDialog() {
  if (m_pResolutions) {
    for (const cv::Point& r : *m_pResolutions)
      m_resolutionCombo->addItem(QStringLiteral("%1x%2").arg(r.x).arg(r.y));
  }
  // Select the first entry that begins with the current size, as a prefix search would.
  const QString current =
      QStringLiteral("%1x%2").arg(m_sizeCurrent.width()).arg(m_sizeCurrent.height());
  int found = -1;
  for (int i = 0; i < m_resolutionCombo->count(); ++i) {
    if (m_resolutionCombo->itemText(i).startsWith(current, Qt::CaseInsensitive)) {
      found = i;
      break;
    }
  }
  m_resolutionCombo->setCurrentIndex(found);
  if (found < 0) m_resolutionCombo->setEditText(QString());

  for (int i = 0; i <= 9; ++i) m_divisorCombo->addItem(QString::number(i));
  m_divisorCombo->setCurrentIndex(m_nFrameDivisor >= 0 && m_nFrameDivisor <= 9 ? m_nFrameDivisor
                                                                               : -1);
}

// The entry shown, or -1 when the operator typed text that names no entry.
int CCameraConfiguraionDlg::SelectedIndex(const QComboBox* combo) {
  const int index = combo->currentIndex();
  if (index >= 0 && combo->itemText(index) == combo->currentText()) return index;
  return combo->findText(combo->currentText(), Qt::MatchFixedString);
}

void CCameraConfiguraionDlg::accept() {
  m_nFrameDivisor = SelectedIndex(m_divisorCombo);
  m_nResolutionIndex = SelectedIndex(m_resolutionCombo);
  QDialog::accept();
}
