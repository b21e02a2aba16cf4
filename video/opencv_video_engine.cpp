#include "video/opencv_video_engine.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "video/device_frame_source.h"

namespace {
constexpr std::chrono::milliseconds kStopWait{100};
// A run that outlived Stop may still hold the device in its last read; a restart gives it this
// long to let go, so reopening the same camera does not fail on a busy device.
constexpr std::chrono::milliseconds kRestartWait{1000};
}  // namespace

struct CKivOpenCVVideoEngine::CCaptureRun {
  std::unique_ptr<CFrameSource> capture;
  CKivVideoEngineListener* listener = nullptr;
  int cameraIndex = 0;
  std::chrono::milliseconds pause{60};
  cv::Mat frame;  // the capture thread's buffer, handed to the listener

  std::atomic<int> running{0};
  std::mutex mutex;
  std::condition_variable wake;
  bool done = false;  // guarded by mutex
  std::thread thread;

  void SignalStop() {
    running = 0;
    { std::lock_guard lock(mutex); }  // a thread about to pause sees the flag or the notify
    wake.notify_all();
  }
  bool WaitFinished(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    return wake.wait_for(lock, limit, [this] { return done; });
  }
  bool IsFinished() {
    std::lock_guard lock(mutex);
    return done;
  }
  ~CCaptureRun() {
    if (thread.joinable()) thread.join();
  }
};

CKivOpenCVVideoEngine::CKivOpenCVVideoEngine() = default;

CKivOpenCVVideoEngine::~CKivOpenCVVideoEngine() {
  if (m_run) m_run->SignalStop();
  for (auto& run : m_retired) run->SignalStop();
  m_run.reset();  // each run joins its thread
  m_retired.clear();
}

int CKivOpenCVVideoEngine::IsDeviceAvailable(int index) {
  std::unique_ptr<CFrameSource> capture = veldrin::OpenFrameSource(GetDeviceLocator(index));
  const bool opened = capture->IsOpened();
  capture->Release();
  return opened ? 1 : 0;
}

int CKivOpenCVVideoEngine::FindFirstAvailableDevice() {
  for (unsigned int i = 0; i < m_nDeviceCount; ++i) {
    if (IsDeviceAvailable(static_cast<int>(i))) return static_cast<int>(i);
  }
  return -1;
}

int CKivOpenCVVideoEngine::Setup(int index, int width, int height,
                                 CKivVideoEngineListener* listener) {
  m_nCameraIndex = index;
  m_nWidth = width;
  m_nHeight = height;
  m_pListener = listener;
  return 1;
}

void CKivOpenCVVideoEngine::ReapFinishedRuns() {
  std::erase_if(m_retired, [](const std::unique_ptr<CCaptureRun>& run) {
    return run->IsFinished();  // erasing joins a thread that has already left its loop
  });
}

int CKivOpenCVVideoEngine::Start() {
  const auto deadline = std::chrono::steady_clock::now() + kRestartWait;
  for (auto& run : m_retired) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    run->WaitFinished(left);
  }
  ReapFinishedRuns();
  if (m_run && m_run->thread.joinable()) {
    // Started twice without Stop: the old run ends on its own, without a wait here.
    m_run->SignalStop();
    m_retired.push_back(std::move(m_run));
  }
  auto run = std::make_unique<CCaptureRun>();
  run->capture = veldrin::OpenFrameSource(GetDeviceLocator(m_nCameraIndex));
  m_run = std::move(run);
  CCaptureRun& current = *m_run;
  if (!current.capture->IsOpened()) return 0;

  current.capture->RequestSize(m_nWidth, m_nHeight);
  const cv::Size actual = current.capture->GetSize();
  m_nWidth = actual.width;
  m_nHeight = actual.height;

  current.listener = m_pListener;
  current.cameraIndex = m_nCameraIndex;
  current.pause = m_pause;
  current.running = 1;
  try {
    current.thread = std::thread(&CKivOpenCVVideoEngine::CaptureThreadProc, &current);
  } catch (const std::system_error&) {
    current.running = 0;
    current.capture->Release();
    return 0;
  }
  return 1;
}

int CKivOpenCVVideoEngine::Stop() {
  ReapFinishedRuns();
  if (!m_run) return 1;
  CCaptureRun& run = *m_run;
  if (!run.thread.joinable()) {  // failed start, or already stopped
    run.capture->Release();
    return 1;
  }
  run.SignalStop();
  if (run.WaitFinished(kStopWait)) {
    run.thread.join();  // it has left its loop and released the device
  } else {
    m_retired.push_back(std::move(m_run));  // still busy; it releases the device itself
  }
  return 1;
}

void CKivOpenCVVideoEngine::CaptureThreadProc(CCaptureRun* run) {
  while (run->running) {
    try {
      run->capture->Read(run->frame);
    } catch (const std::exception&) {
      run->frame.release();  // a failing read is a pass without a picture
    }
    if (!run->running) break;  // stopped during the read: deliver nothing late
    // The last guard: an exception leaving this thread would end the process. Listeners report
    // their own failures; this frame is simply over and the next is read.
    try {
      if (run->listener) run->listener->OnVideoFrame(run->cameraIndex, &run->frame);
    } catch (...) {
    }
    std::unique_lock lock(run->mutex);
    run->wake.wait_for(lock, run->pause, [run] { return !run->running; });
  }
  run->capture->Release();
  {
    std::lock_guard lock(run->mutex);
    run->done = true;
  }
  run->wake.notify_all();
}
