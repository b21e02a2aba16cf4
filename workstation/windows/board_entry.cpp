#include "workstation/windows/board_entry.h"

#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QSize kPictureSize(150, 110);

}  // namespace

CBoardEntry::CBoardEntry(const SLensBoard& board, const SNames& names, QWidget* parent)
    : QWidget(parent) {
  m_columns = new QSpinBox(this);
  m_columns->setObjectName(QLatin1String(names.columns));
  m_columns->setRange(2, 64);
  m_columns->setValue(board.columns);
  m_rows = new QSpinBox(this);
  m_rows->setObjectName(QLatin1String(names.rows));
  m_rows->setRange(2, 64);
  m_rows->setValue(board.rows);
  m_square = new QDoubleSpinBox(this);
  m_square->setObjectName(QLatin1String(names.square));
  m_square->setRange(1.0, 500.0);
  m_square->setDecimals(2);
  m_square->setSuffix(QStringLiteral(" mm"));
  m_square->setValue(board.squareMm);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Inner corners across:"), m_columns);
  form->addRow(QStringLiteral("Inner corners down:"), m_rows);
  form->addRow(QStringLiteral("Square size:"), m_square);

  m_picture = new QLabel(this);
  m_picture->setObjectName(QStringLiteral("boardPicture"));
  m_picture->setFixedSize(kPictureSize);
  m_picture->setAlignment(Qt::AlignCenter);
  m_caption = new QLabel(this);
  m_caption->setObjectName(QStringLiteral("boardPictureCaption"));
  m_caption->setAlignment(Qt::AlignCenter);
  auto* picture = new QVBoxLayout;
  picture->addWidget(m_picture);
  picture->addWidget(m_caption);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(form);
  layout->addSpacing(12);
  layout->addLayout(picture);

  for (QSpinBox* box : {m_columns, m_rows}) {
    connect(box, qOverload<int>(&QSpinBox::valueChanged), this, [this] {
      ShowBoard();
      emit Changed();
    });
  }
  connect(m_square, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
          [this] { emit Changed(); });
  ShowBoard();
}

SLensBoard CBoardEntry::Board() const {
  return SLensBoard{m_columns->value(), m_rows->value(), m_square->value()};
}

void CBoardEntry::ShowBoard() {
  m_picture->setPixmap(veldrin::DrawBoardPicture(Board(), kPictureSize));
  m_caption->setText(
      QStringLiteral("Red dots: %1 across, %2 down").arg(m_columns->value()).arg(m_rows->value()));
}

namespace veldrin {

QPixmap DrawBoardPicture(const SLensBoard& board, QSize size) {
  QPixmap pixmap(size);
  pixmap.fill(Qt::transparent);
  const int across = board.columns + 1, down = board.rows + 1;
  if (board.columns < 1 || board.rows < 1 || size.isEmpty()) return pixmap;
  // A white margin of half a square, as a printed board has.
  const double side = std::min(size.width() / (across + 1.0), size.height() / (down + 1.0));
  const QPointF origin((size.width() - across * side) / 2, (size.height() - down * side) / 2);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(
      QRectF(origin - QPointF(side / 2, side / 2), QSizeF((across + 1) * side, (down + 1) * side)),
      Qt::white);
  for (int r = 0; r < down; ++r) {
    for (int c = 0; c < across; ++c) {
      if ((r + c) % 2 == 0) {
        p.fillRect(QRectF(origin + QPointF(c * side, r * side), QSizeF(side, side)), Qt::black);
      }
    }
  }
  const double radius = std::clamp(side / 4, 1.0, 3.0);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(230, 0, 0));
  for (int r = 1; r < down; ++r) {
    for (int c = 1; c < across; ++c) {
      p.drawEllipse(origin + QPointF(c * side, r * side), radius, radius);
    }
  }
  return pixmap;
}

}  // namespace veldrin
