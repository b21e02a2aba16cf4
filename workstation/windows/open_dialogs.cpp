#include "workstation/windows/open_dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QWidget>

#include <vector>

namespace veldrin {

void CloseOpenDialogs(const QWidget* keep) {
  while (QWidget* popup = QApplication::activePopupWidget()) {
    if (!popup->close()) break;
  }
  // Guarded: rejecting one dialog may delete another that it owned.
  std::vector<QPointer<QDialog>> open;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(w);
    if (dialog && dialog != keep && dialog->isVisible() && dialog->isModal())
      open.emplace_back(dialog);
  }
  for (const QPointer<QDialog>& dialog : open) {
    if (dialog) dialog->reject();
  }
}

}  // namespace veldrin
