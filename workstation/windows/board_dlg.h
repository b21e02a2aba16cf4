#pragma once

#include <QDialog>
#include <QDoubleSpinBox>
#include <QSpinBox>

#include "markers/accuracy_check.h"

// Asks which printed chessboard lies on the media before its accuracy is checked: squares across,
// squares down and the side of a square in millimetres.
class CBoardDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CBoardDlg(const SBoardSpec& board, QWidget* parent = nullptr);
  SBoardSpec Board() const;

 private:
  QSpinBox* m_cols = nullptr;
  QSpinBox* m_rows = nullptr;
  QDoubleSpinBox* m_squareMm = nullptr;
};
