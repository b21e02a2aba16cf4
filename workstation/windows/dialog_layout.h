#pragma once

#include <QDialog>
#include <QFont>
#include <QRect>
#include <QSize>
#include <QWidget>

#include <vector>

// Converts dialog-template units to pixels the way the templates were designed: horizontal units
// are a quarter of the font's average character width, vertical units an eighth of its height.
class CDialogUnits {
 public:
  explicit CDialogUnits(const QFont& font);
  CDialogUnits(int avgCharWidth, int charHeight) : m_cx(avgCharWidth), m_cy(charHeight) {}

  int X(int dlu) const { return dlu * m_cx / 4; }
  int Y(int dlu) const { return dlu * m_cy / 8; }
  QRect Rect(int x, int y, int w, int h) const { return QRect(X(x), Y(y), X(w), Y(h)); }
  QSize Size(int w, int h) const { return QSize(X(w), Y(h)); }

 private:
  int m_cx;
  int m_cy;
};

// Anchoring of child controls: as the dialog grows by (dx, dy) from its initial size, a control
// moves right by moveX% of dx and grows by sizeX% of dx and sizeY% of dy. Nothing moves down.
class CDynamicLayout {
 public:
  struct SItem {
    QWidget* widget;
    QRect initial;
    int moveX;
    int sizeX;
    int sizeY;
  };

  void SetInitialSize(QSize size) { m_initial = size; }
  QSize InitialSize() const { return m_initial; }
  void Add(QWidget* widget, QRect initial, int moveX, int sizeX, int sizeY);
  QRect Place(const SItem& item, QSize current) const;
  void Apply(QSize current) const;

 private:
  QSize m_initial;
  std::vector<SItem> m_items;
};

namespace veldrin {

// The default "OK" button and the "Cancel" button of a small dialog, wired to accept and reject
// and named after the classic ids so tests and tools find them.
void AddDialogButtons(QDialog* dialog, const QString& okText, QRect okRect,
                      const QString& cancelText, QRect cancelRect);

}  // namespace veldrin
