#include "workstation/windows/board_dlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "workstation/windows/board_entry.h"
#include "workstation/windows/dialog_layout.h"

CBoardDlg::CBoardDlg(const SLensBoard& board, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("checkAccuracyDialog"));
  setWindowTitle(QStringLiteral("Check accuracy"));
  auto* question = new QLabel(QStringLiteral("Which printed chessboard lies on the media?"), this);
  m_entry = new CBoardEntry(board, {"boardCols", "boardRows", "boardSquareMm"}, this);
  veldrin::AddDialogButtons(this, QStringLiteral("Check"), QRect(), QStringLiteral("Cancel"),
                            QRect());
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(findChild<QPushButton*>(QStringLiteral("IDOK")));
  buttons->addWidget(findChild<QPushButton*>(QStringLiteral("IDCANCEL")));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(question);
  layout->addWidget(m_entry);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

SLensBoard CBoardDlg::Board() const { return m_entry->Board(); }
