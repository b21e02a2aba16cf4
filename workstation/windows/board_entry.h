#pragma once

#include <QPixmap>
#include <QSize>
#include <QWidget>

#include "workstation/lens_calibration.h"

class QDoubleSpinBox;
class QLabel;
class QSpinBox;

// The printed chessboard as the operator gives it, the same way in the lens dialog and the
// accuracy check: inner corners across and down and the side of a square, with a drawn board
// beside them that marks the corners counted, since "squares" and "corners" are easily confused.
// The spin boxes carry the object names each dialog has always given them. UI thread only.
class CBoardEntry : public QWidget {
  Q_OBJECT

 public:
  struct SNames {
    const char* columns;
    const char* rows;
    const char* square;
  };

  CBoardEntry(const SLensBoard& board, const SNames& names, QWidget* parent = nullptr);
  SLensBoard Board() const;

 signals:
  void Changed();

 private:
  void ShowBoard();

  QSpinBox* m_columns = nullptr;
  QSpinBox* m_rows = nullptr;
  QDoubleSpinBox* m_square = nullptr;
  QLabel* m_picture = nullptr;
  QLabel* m_caption = nullptr;
};

namespace veldrin {

// A board of (columns + 1) x (rows + 1) squares with its inner corners marked, as large as fits
// in `size`.
QPixmap DrawBoardPicture(const SLensBoard& board, QSize size);

}  // namespace veldrin
