#pragma once

#include <memory>
#include <string>

#include "platform/message_box.h"

class QThread;

// The message-box service of the windowed application: a QMessageBox with the product name as
// caption (MB_ICONERROR: error icon and OK; MB_YESNO: Yes and No, No being the default button
// with MB_DEFBUTTON2; otherwise plain OK).
//
// Threads: construct on the UI thread once the QApplication exists. Show may be called from
// any thread: on the UI thread the box is shown directly; from another thread the box is shown
// on the UI thread and the caller waits until it closes. Once the application quits (its main
// loop has ended or the application object is gone) every waiting and later caller gets
// DefaultAnswer at once, so no worker is left blocked on a box nobody can show. The shared
// SState (pending calls, quitting flag, receiver pointer) is guarded by its own mutex; the
// object may be released on any thread.
class CQtMessageBox : public CMessageBoxService {
 public:
  CQtMessageBox();
  ~CQtMessageBox() override;
  CQtMessageBox(const CQtMessageBox&) = delete;
  CQtMessageBox& operator=(const CQtMessageBox&) = delete;

  int Show(const std::string& text, unsigned type) override;
  // Closes the boxes ShowQtMessageBox has open; UI thread only.
  void CloseAll() override;

 private:
  struct SState;

  std::shared_ptr<SState> m_state;
  QThread* m_uiThread;
};

namespace veldrin {

// Shows the box on the calling thread, which must be the UI thread.
int ShowQtMessageBox(const std::string& text, unsigned type);

// Caption of every box; until set, the application's display name. UI thread.
void SetMessageBoxCaption(const std::string& caption);

}  // namespace veldrin
