#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

// Ends the tool cleanly from outside, through the UI thread's event loop:
// - SIGTERM and SIGINT ask for the end a closed window gives;
// - the end of the process that started the tool counts as the host leaving, when that process
//   was not process 1 at start (a host that is killed cannot release its block).
// The signal handlers only write one byte to a pipe; a socket notifier reads it on the UI thread
// and calls the matching function. Construct on the UI thread once the QApplication exists;
// one instance per process.
class CShutdownSignals : public QObject {
 public:
  CShutdownSignals(std::function<void()> onStop, std::function<void()> onParentGone);
  ~CShutdownSignals() override;
  CShutdownSignals(const CShutdownSignals&) = delete;
  CShutdownSignals& operator=(const CShutdownSignals&) = delete;

 private:
  void OnReadable();

  std::function<void()> m_onStop;
  std::function<void()> m_onParentGone;
  QSocketNotifier* m_notifier = nullptr;
};

namespace veldrin {

// Ends the process with `status` after `seconds` unless it has ended by then: the close sequence
// (settings, engines) then never waits without a bound, whatever a stalled device or file share
// does. Call once the main window has ended.
void ArmExitWatchdog(int seconds, int status);

}  // namespace veldrin
