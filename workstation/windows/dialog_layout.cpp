#include "workstation/windows/dialog_layout.h"

#include <QFontMetrics>
#include <QPushButton>

CDialogUnits::CDialogUnits(const QFont& font) {
  QFontMetrics fm(font);
  // Average width over the Latin alphabet, rounded as the classic dialog-base computation does.
  const int extent =
      fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_cx = (extent / 26 + 1) / 2;
  m_cy = fm.height();
  if (m_cx <= 0) m_cx = 6;
  if (m_cy <= 0) m_cy = 13;
}

void veldrin::AddDialogButtons(QDialog* dialog, const QString& okText, QRect okRect,
                               const QString& cancelText, QRect cancelRect) {
  auto* ok = new QPushButton(okText, dialog);
  ok->setObjectName(QStringLiteral("IDOK"));
  ok->setDefault(true);
  ok->setGeometry(okRect);
  auto* cancel = new QPushButton(cancelText, dialog);
  cancel->setObjectName(QStringLiteral("IDCANCEL"));
  cancel->setGeometry(cancelRect);
  QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
}

void CDynamicLayout::Add(QWidget* widget, QRect initial, int moveX, int sizeX, int sizeY) {
  m_items.push_back({widget, initial, moveX, sizeX, sizeY});
}

QRect CDynamicLayout::Place(const SItem& item, QSize current) const {
  const int dx = std::max(0, current.width() - m_initial.width());
  const int dy = std::max(0, current.height() - m_initial.height());
  QRect r = item.initial;
  r.moveLeft(r.left() + dx * item.moveX / 100);
  r.setWidth(r.width() + dx * item.sizeX / 100);
  r.setHeight(r.height() + dy * item.sizeY / 100);
  return r;
}

void CDynamicLayout::Apply(QSize current) const {
  for (const SItem& item : m_items) {
    if (item.widget) item.widget->setGeometry(Place(item, current));
  }
}
