#pragma once

#include <opencv2/core/mat.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "video/video_engine.h"

// Keeps the first picture with pixels that an engine delivers, for the command-line tools.
// Threads: the engine's capture thread calls OnVideoFrame, the tool's thread waits in Wait.
class CFirstFrame : public CKivVideoEngineListener {
 public:
  void OnVideoFrame(int, cv::Mat* frame) override {
    std::lock_guard lock(m_mutex);
    if (frame->empty() || !m_frame.empty()) return;
    m_frame = frame->clone();
    m_arrived.notify_all();
  }
  void OnDepthFrame(int, cv::Mat*, cv::Mat*, const SVertex*) override {}
  // The picture, or an empty one when none came within `limit`.
  cv::Mat Wait(std::chrono::seconds limit) {
    std::unique_lock lock(m_mutex);
    m_arrived.wait_for(lock, limit, [this] { return !m_frame.empty(); });
    return m_frame;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_arrived;
  cv::Mat m_frame;  // guarded by m_mutex
};
