#pragma once

class QWidget;

namespace veldrin {

// Closes, as Cancel, every modal dialog and popup menu that is open except `keep` (the main
// window): when the tool must end (the host left, a stop signal), a dialog's own event loop
// would otherwise hold the end back until someone answers it. UI thread only.
void CloseOpenDialogs(const QWidget* keep);

}  // namespace veldrin
