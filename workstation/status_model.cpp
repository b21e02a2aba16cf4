#include "workstation/status_model.h"

#include <cstdio>
#include <utility>

namespace {

std::string Rate(double perSecond) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", perSecond);
  return buffer;
}

}  // namespace

void CStatusModel::SRate::Sample(Clock::time_point now) {
  if (sampledAt == Clock::time_point{}) {
    sampledAt = now;
    sampledCount = count;
    return;
  }
  const double seconds = std::chrono::duration<double>(now - sampledAt).count();
  if (seconds < 1.0) return;
  perSecond = static_cast<double>(count - sampledCount) / seconds;
  sampledAt = now;
  sampledCount = count;
}

void CStatusModel::SetHostAttached(std::string instance, std::string folder) {
  std::lock_guard lock(m_mutex);
  m_host = true;
  m_instance = std::move(instance);
  m_strFolder = std::move(folder);
}

void CStatusModel::SetHostDetached() {
  std::lock_guard lock(m_mutex);
  m_host = false;
}

void CStatusModel::SetMediaSize(int widthMm, int heightMm) {
  std::lock_guard lock(m_mutex);
  m_mediaWidthMm = widthMm;
  m_mediaHeightMm = heightMm;
}

void CStatusModel::CountPublished() {
  std::lock_guard lock(m_mutex);
  ++m_published.count;
}

void CStatusModel::SetCamera(std::string name) {
  std::lock_guard lock(m_mutex);
  m_camera = std::move(name);
  m_frameWidth = 0;
  m_frameHeight = 0;
}

void CStatusModel::SetCameraRunning(bool running, Clock::time_point now) {
  std::lock_guard lock(m_mutex);
  m_cameraRunning = running;
  m_lastFrameAt = now;
}

void CStatusModel::CountFrame(int width, int height, Clock::time_point now) {
  std::lock_guard lock(m_mutex);
  ++m_frames.count;
  m_frameWidth = width;
  m_frameHeight = height;
  m_lastFrameAt = now;
}

void CStatusModel::SetDepthRunning(bool running) {
  std::lock_guard lock(m_mutex);
  m_depthRunning = running;
}

void CStatusModel::CountDepthFrame() {
  std::lock_guard lock(m_mutex);
  ++m_depthFrames.count;
}

void CStatusModel::ReportProblem(std::string text) {
  std::lock_guard lock(m_mutex);
  m_problem = std::move(text);
}

void CStatusModel::ClearProblem() {
  std::lock_guard lock(m_mutex);
  m_problem.clear();
}

void CStatusModel::ClearProblem(const std::string& text) {
  std::lock_guard lock(m_mutex);
  if (m_problem == text) m_problem.clear();
}

std::string CStatusModel::Problem() const {
  std::lock_guard lock(m_mutex);
  return m_problem;
}

void CStatusModel::ReportNotice(std::string text) {
  std::lock_guard lock(m_mutex);
  m_notice = std::move(text);
}

void CStatusModel::ClearNotice(const std::string& text) {
  std::lock_guard lock(m_mutex);
  if (m_notice == text) m_notice.clear();
}

std::string CStatusModel::Notice() const {
  std::lock_guard lock(m_mutex);
  return m_notice;
}

bool CStatusModel::CameraStalled(Clock::time_point now) const {
  std::lock_guard lock(m_mutex);
  return CameraStalledLocked(now);
}

bool CStatusModel::CameraStalledLocked(Clock::time_point now) const {
  return m_cameraRunning && now - m_lastFrameAt >= kStallTime;
}

std::string CStatusModel::Text(Clock::time_point now) {
  std::lock_guard lock(m_mutex);
  m_published.Sample(now);
  m_frames.Sample(now);
  m_depthFrames.Sample(now);

  std::string text;
  if (m_host) {
    text = "Host: " + m_instance + ", " + m_strFolder + ", " + std::to_string(m_mediaWidthMm) +
           " x " + std::to_string(m_mediaHeightMm) + " mm, " + std::to_string(m_published.count) +
           " pictures published (" + Rate(m_published.perSecond) + "/s)";
  } else {
    text = "Host: not attached";
  }

  text += "   Camera: ";
  if (m_camera.empty()) {
    text += "none";
  } else {
    text += m_camera;
    if (m_frameWidth > 0) {
      text += ", " + std::to_string(m_frameWidth) + " x " + std::to_string(m_frameHeight) + ", " +
              Rate(m_cameraRunning ? m_frames.perSecond : 0.0) + " fps";
    }
    if (!m_cameraRunning) text += ", stopped";
  }
  if (m_depthRunning) text += ", depth " + Rate(m_depthFrames.perSecond) + " fps";

  if (CameraStalledLocked(now)) {
    text += "   Problem: the camera has given no frames for " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::seconds>(now - m_lastFrameAt).count()) +
            " s.";
  } else if (!m_problem.empty()) {
    text += "   Problem: " + m_problem;
  }
  if (!m_notice.empty()) text += "   " + m_notice;
  return text;
}
