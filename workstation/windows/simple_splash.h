#pragma once

#include <QDialog>
#include <memory>

// The small borderless window shown while the main window initialises: a framed box, centred
// on the screen, that says it is loading.
class CSimpleSplash : public QDialog {
  Q_OBJECT

 public:
  explicit CSimpleSplash(QWidget* parent = nullptr);
};

namespace veldrin {

// Shows a splash and keeps the event loop running for `milliseconds` so it gets painted before
// the caller goes on with blocking work. The caller keeps it until initialisation is done and
// then resets the pointer, which closes it.
std::unique_ptr<CSimpleSplash> ShowSplash(QWidget* parent, int milliseconds);

}  // namespace veldrin
