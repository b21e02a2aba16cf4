#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/mat.hpp>

// Receives decoded marker texts. The main dialog implements it; the detector keeps the pointer
// but shows decoded texts itself and does not call it.
class CQRDetectorListener {
 public:
  virtual ~CQRDetectorListener() = default;
  virtual void OnQRCodeDetected(std::string text) = 0;
};

// Scans camera frames for printed markers on a thread of its own, one scan at a time, and shows
// decoded texts in a message box (AfxMessageBox, type MB_OK): a text once, and again only after
// it was out of view for a while or another text was read (CQRRepeatFilter). Frames handed over
// while a scan or its boxes are in progress are passed over, never queued.
//
// One scan thread lives as long as the detector and waits for work between scans: the image
// library keeps per-thread data for every thread that ever ran a conversion, so a thread per
// scan would grow the process for as long as it runs.
//
// Threads: Kick is called from one capture thread at a time (the frame counter is not shared).
// The scan thread and Kick share SScanState: its busy flag hands the frame copy from Kick to the
// scan thread and back (acquire/release); its mutex guards the work, cancel and box-open flags,
// and its condition variable wakes the scan thread.
// Destruction: a scan that is only computing is finished and the thread joined. A thread whose
// box is open is detached instead, because the box may need the very thread that is destroying
// the detector (the UI thread) to close; that thread owns nothing but the shared state, shows no
// further box, and ends when its box closes.
class CQRDetector {
 public:
  // The divisor that makes every frame handed over a candidate for a scan.
  static constexpr int kEveryFrame = 1;

  CQRDetector(CQRDetectorListener* listener, int divisor);
  ~CQRDetector();
  CQRDetector(const CQRDetector&) = delete;
  CQRDetector& operator=(const CQRDetector&) = delete;

  // Every divisor-th call starts a scan of a copy of the frame (8-bit BGR) unless one is running.
  void Kick(const cv::Mat* frame);

  // True from the start of a scan until its last box has closed.
  bool IsBusy() const;

 private:
  struct SScanState;
  static void ScanRoutine(const std::shared_ptr<SScanState>& state);

  [[maybe_unused]] CQRDetectorListener* m_pListener;  // kept, never called: texts go to boxes
  std::shared_ptr<SScanState> m_state;  // holds the frame copy, shared with the scan thread
  int m_counter = 0;
  int m_divisor;
  std::thread m_thread;  // the scan thread, started by the first scan
};

namespace veldrin {

// Decodes every symbol ZBar reads in the picture (8-bit BGR, BGRA or grey), in ZBar's order.
// Each text is the symbol's data bytes (UTF-8 for QR codes). Synchronous; any thread.
std::vector<std::string> ScanQRCodes(const cv::Mat& picture);

}  // namespace veldrin
