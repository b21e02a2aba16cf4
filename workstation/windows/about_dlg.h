#pragma once

#include <QDialog>

// The about box: the application icon, the product name and one line about the tool, and "OK".
// Run it modally with exec().
class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};
