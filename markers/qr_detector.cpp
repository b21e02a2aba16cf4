#include "markers/qr_detector.h"

#include "markers/qr_repeat_filter.h"

#include <zbar.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <system_error>
#include <utility>

#include "platform/message_box.h"

struct CQRDetector::SScanState {
  // Set by Kick (capture thread) when it takes the frame copy, cleared by the scan thread once the
  // copy is released and the last box is closed. Whoever holds it owns `frame`.
  std::atomic<bool> busy{false};
  cv::Mat frame;

  std::mutex mutex;  // guards the three flags below
  std::condition_variable wake;
  bool work = false;       // a frame copy waits for the scan thread
  bool cancelled = false;  // the detector is gone: show no further box, end the thread
  bool boxOpen = false;    // the scan thread is inside a message box

  // A code that stays in view is read by every scan: its text is shown once, not after each OK.
  CQRRepeatFilter repeats;
};

CQRDetector::CQRDetector(CQRDetectorListener* listener, int divisor)
    : m_pListener(listener), m_state(std::make_shared<SScanState>()), m_divisor(divisor) {}

CQRDetector::~CQRDetector() {
  bool boxOpen = false;
  {
    std::lock_guard lock(m_state->mutex);
    m_state->cancelled = true;
    boxOpen = m_state->boxOpen;
  }
  m_state->wake.notify_all();
  if (!m_thread.joinable()) return;
  if (boxOpen) {
    m_thread.detach();  // it owns its share of the state and ends when the box closes
  } else {
    m_thread.join();  // at most the rest of one scan; no box can open any more
  }
}

void CQRDetector::Kick(const cv::Mat* frame) {
  if (++m_counter < m_divisor) return;
  m_counter = 0;
  if (frame == nullptr || frame->empty()) return;

  bool expected = false;
  if (!m_state->busy.compare_exchange_strong(expected, true, std::memory_order_acquire)) return;

  m_state->frame = frame->clone();
  if (!m_thread.joinable()) {
    try {
      m_thread = std::thread(&CQRDetector::ScanRoutine, m_state);
    } catch (const std::system_error&) {
      // Without a thread the copy would stay taken and no scan would ever start again.
      m_state->frame.release();
      m_state->busy.store(false, std::memory_order_release);
      return;
    }
  }
  {
    std::lock_guard lock(m_state->mutex);
    m_state->work = true;
  }
  m_state->wake.notify_one();
}

bool CQRDetector::IsBusy() const { return m_state->busy.load(std::memory_order_acquire); }

void CQRDetector::ScanRoutine(const std::shared_ptr<SScanState>& state) {
  for (;;) {
    {
      std::unique_lock lock(state->mutex);
      state->wake.wait(lock, [&] { return state->work || state->cancelled; });
      if (!state->work) return;  // cancelled while idle
      state->work = false;
    }
    const std::vector<std::string> texts = veldrin::ScanQRCodes(state->frame);
    state->frame.release();

    bool cancelled = false;
    for (const std::string& text : texts) {
      if (!state->repeats.ShouldShow(text)) continue;
      {
        std::lock_guard lock(state->mutex);
        cancelled = state->cancelled;
        if (cancelled) break;
        state->boxOpen = true;
      }
      AfxMessageBox(text, MB_OK);
      state->repeats.Closed();
      std::lock_guard lock(state->mutex);
      state->boxOpen = false;
    }
    state->busy.store(false, std::memory_order_release);
    if (cancelled) return;
  }
}

namespace veldrin {

namespace {

// In C++ the ZBar header puts its C interface in namespace zbar.
using namespace zbar;

struct SScannerDeleter {
  void operator()(zbar_image_scanner_t* scanner) const { zbar_image_scanner_destroy(scanner); }
};
struct SImageDeleter {
  void operator()(zbar_image_t* image) const { zbar_image_destroy(image); }
};

}  // namespace

std::vector<std::string> ScanQRCodes(const cv::Mat& picture) {
  std::vector<std::string> texts;
  if (picture.empty() || picture.depth() != CV_8U) return texts;

  cv::Mat grey;
  switch (picture.channels()) {
    case 1:
      grey = picture.isContinuous() ? picture : picture.clone();
      break;
    case 3:
      cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
      break;
    case 4:
      cv::cvtColor(picture, grey, cv::COLOR_BGRA2GRAY);
      break;
    default:
      return texts;
  }

  std::unique_ptr<zbar_image_scanner_t, SScannerDeleter> scanner(zbar_image_scanner_create());
  zbar_image_scanner_set_config(scanner.get(), ZBAR_NONE, ZBAR_CFG_ENABLE, 1);

  std::unique_ptr<zbar_image_t, SImageDeleter> image(zbar_image_create());
  zbar_image_set_format(image.get(), zbar_fourcc('Y', '8', '0', '0'));
  zbar_image_set_size(image.get(), static_cast<unsigned>(grey.cols),
                      static_cast<unsigned>(grey.rows));
  // The pixels stay owned by `grey`, which outlives the image: no clean-up handler.
  zbar_image_set_data(image.get(), grey.data, grey.total(), nullptr);

  if (zbar_scan_image(scanner.get(), image.get()) <= 0) return texts;
  for (const zbar_symbol_t* symbol = zbar_image_first_symbol(image.get()); symbol != nullptr;
       symbol = zbar_symbol_next(symbol)) {
    texts.emplace_back(zbar_symbol_get_data(symbol), zbar_symbol_get_data_length(symbol));
  }
  return texts;
}

}  // namespace veldrin
