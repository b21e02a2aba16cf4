#include "workstation/windows/add_calibration_dlg.h"

#include <QLabel>

#include "workstation/windows/dialog_layout.h"

CAddCalibrationDlg::CAddCalibrationDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("130"));
  setWindowTitle(QStringLiteral("Save calibration"));
  const CDialogUnits du(font());
  setFixedSize(du.Size(181, 72));

  auto* label = new QLabel(QStringLiteral("Calibration name"), this);
  label->setGeometry(du.Rect(9, 11, 98, 8));
  m_edit = new QLineEdit(this);
  m_edit->setObjectName(QStringLiteral("1008"));
  m_edit->setGeometry(du.Rect(7, 24, 167, 14));
  label->setBuddy(m_edit);

  veldrin::AddDialogButtons(this, QStringLiteral("Save"), du.Rect(40, 51, 50, 14),
                            QStringLiteral("Cancel"), du.Rect(91, 51, 50, 14));
  m_edit->setFocus();
}

void CAddCalibrationDlg::SetName(const QString& name) {
  m_strName = name;
  m_edit->setText(name);
  m_edit->selectAll();
}

void CAddCalibrationDlg::accept() {
  m_strName = m_edit->text();
  QDialog::accept();
}
