#pragma once

#include <QDialog>

#include "workstation/lens_calibration.h"

class CBoardEntry;

// Asks which printed chessboard lies on the media before its accuracy is checked, as the lens
// dialog asks for its board: inner corners across and down and the side of a square.
class CBoardDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CBoardDlg(const SLensBoard& board, QWidget* parent = nullptr);
  SLensBoard Board() const;

 private:
  CBoardEntry* m_entry = nullptr;
};
