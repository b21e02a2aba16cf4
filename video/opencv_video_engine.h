#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "video/video_engine.h"

// Captures colour frames from a listed device and hands them to the listener on a capture
// thread of its own: read, deliver, pause 60 ms, until stopped.
//
// Threads: Setup, Start, Stop, IsDeviceAvailable and destruction are called from the owner's
// thread (normally the UI thread); the engine's own members are touched by it alone. Each Start
// makes a capture run with its own thread, capture object, frame buffer and copies of the
// index and listener. Between the two threads: the run flag (atomic) and the run's finished
// flag (guarded by the run's mutex, whose condition variable also cuts the pause short). Only
// the capture thread reads, delivers and releases the device, so a read and the release never
// overlap. Stop waits at most 100 ms for the thread; a run still busy then (e.g. inside the
// listener) is kept aside and joined at the next Start or at destruction, which therefore
// waits for at most one read and one delivery. Listeners must not wait for the thread that
// destroys the engine.
class CKivOpenCVVideoEngine : public CKivVideoEngine {
 public:
  CKivOpenCVVideoEngine();
  ~CKivOpenCVVideoEngine() override;

  int IsDeviceAvailable(int index) override;
  int FindFirstAvailableDevice() override;
  int Setup(int index, int width, int height, CKivVideoEngineListener* listener) override;
  [[nodiscard]] int Start() override;
  int Stop() override;

 protected:
  // The pause after each delivery for runs started from now on. Benchmarks shorten it to
  // measure the loop itself.
  void SetCapturePause(std::chrono::milliseconds pause) { m_pause = pause; }

 private:
  struct CCaptureRun;
  static void CaptureThreadProc(CCaptureRun* run);
  void ReapFinishedRuns();

  std::unique_ptr<CCaptureRun> m_run;                   // the current or last Start
  std::vector<std::unique_ptr<CCaptureRun>> m_retired;  // stopped, thread not yet joined
  std::chrono::milliseconds m_pause{60};
};
