#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QString>

// Asks for the name under which the current corners are saved. The name is used as typed.
class CAddCalibrationDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAddCalibrationDlg(QWidget* parent = nullptr);

  void SetName(const QString& name);
  QString GetName() const { return m_strName; }

  void accept() override;

 private:
  QLineEdit* m_edit = nullptr;
  QString m_strName;
};
