#include "workstation/windows/board_dlg.h"

#include <QLabel>

#include "workstation/windows/dialog_layout.h"

CBoardDlg::CBoardDlg(const SBoardSpec& board, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("checkAccuracyDialog"));
  setWindowTitle(QStringLiteral("Check accuracy"));
  const CDialogUnits du(font());
  setFixedSize(du.Size(181, 92));
  auto row = [&](const QString& text, QWidget* field, int y) {
    auto* label = new QLabel(text, this);
    label->setGeometry(du.Rect(9, y + 2, 110, 8));
    label->setBuddy(field);
    field->setGeometry(du.Rect(122, y, 52, 13));
  };
  m_cols = new QSpinBox(this);
  m_cols->setObjectName(QStringLiteral("boardCols"));
  m_cols->setRange(2, 60);
  m_cols->setValue(board.cols);
  row(QStringLiteral("Squares across"), m_cols, 8);
  m_rows = new QSpinBox(this);
  m_rows->setObjectName(QStringLiteral("boardRows"));
  m_rows->setRange(2, 60);
  m_rows->setValue(board.rows);
  row(QStringLiteral("Squares down"), m_rows, 24);
  m_squareMm = new QDoubleSpinBox(this);
  m_squareMm->setObjectName(QStringLiteral("boardSquareMm"));
  m_squareMm->setRange(1.0, 500.0);
  m_squareMm->setDecimals(2);
  m_squareMm->setValue(board.squareMm);
  row(QStringLiteral("Square size (mm)"), m_squareMm, 40);
  veldrin::AddDialogButtons(this, QStringLiteral("Check"), du.Rect(40, 68, 50, 14),
                            QStringLiteral("Cancel"), du.Rect(91, 68, 50, 14));
}

SBoardSpec CBoardDlg::Board() const {
  return {m_cols->value(), m_rows->value(), m_squareMm->value()};
}
