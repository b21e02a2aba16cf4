#include "workstation/windows/app_icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <initializer_list>

namespace veldrin {
namespace {

// Every icon is drawn in a 16 x 16 design space and scaled, so each size stays crisp.
using Painter = void (*)(QPainter&);

// A floppy disk: the classic "save" picture.
void PaintSave(QPainter& p) {
  QPainterPath body;
  body.moveTo(1.5, 1.5);
  body.lineTo(12.5, 1.5);
  body.lineTo(14.5, 3.5);
  body.lineTo(14.5, 14.5);
  body.lineTo(1.5, 14.5);
  body.closeSubpath();
  p.setPen(QPen(QColor(20, 45, 90), 1.0));
  p.setBrush(QColor(45, 95, 170));
  p.drawPath(body);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(215, 220, 228));  // shutter
  p.drawRect(QRectF(4, 1.5, 7, 4.5));
  p.setBrush(QColor(45, 95, 170));  // shutter window
  p.drawRect(QRectF(8.5, 2.5, 1.5, 2.5));
  p.setBrush(QColor(250, 250, 250));  // label
  p.drawRect(QRectF(3.5, 8.5, 9, 6));
  p.setPen(QPen(QColor(150, 160, 175), 0.75));
  p.drawLine(QPointF(5, 10.5), QPointF(11, 10.5));
  p.drawLine(QPointF(5, 12.5), QPointF(11, 12.5));
}

// A red cross: remove.
void PaintRemove(QPainter& p) {
  p.setPen(QPen(QColor(120, 10, 10), 4.0, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
  p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
  p.setPen(QPen(QColor(225, 40, 40), 2.5, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
  p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
}

// The tool itself: a sheet seen in perspective with its four corners marked, as in the picture
// window.
void PaintApplication(QPainter& p) {
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 48, 64));
  p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
  const QPointF sheet[4] = {{4.5, 3.5}, {12, 4.5}, {13.5, 12.5}, {2.5, 11.5}};
  p.setBrush(QColor(245, 245, 240));
  p.drawPolygon(sheet, 4);
  p.setPen(QPen(QColor(134, 89, 255), 1.2));
  p.setBrush(Qt::NoBrush);
  p.drawPolygon(sheet, 4);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 0, 0));
  for (const QPointF& corner : sheet) {
    p.drawRect(QRectF(corner.x() - 1.2, corner.y() - 1.2, 2.4, 2.4));
  }
}

QIcon Draw(Painter paint, std::initializer_list<int> sizes) {
  QIcon icon;
  for (const int size : sizes) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 16.0, size / 16.0);
    paint(painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace

QIcon LoadAppIcon(int id) {
  switch (id) {
    case IDI_MAIN:
    case IDI_ABOUT:
      return Draw(PaintApplication, {16, 24, 32, 48, 64, 128, 256});
    case IDI_SAVE:
      return Draw(PaintSave, {16, 24, 32, 48});
    case IDI_REMOVE:
      return Draw(PaintRemove, {16, 24, 32, 48});
    default:
      return {};
  }
}

}  // namespace veldrin
