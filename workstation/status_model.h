#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

// What the status line under the pictures tells the operator: whether the host is attached
// (instance, folder, media size, pictures published and their rate), the main camera (its name,
// the size it delivers, frames per second) and the last problem.
//
// Any part may post a problem with ReportProblem; it stays until cleared or replaced. Information
// that is no fault (a result, a confirmation, something done on the operator's behalf) is a
// notice: shown after the problem, without calling itself one. A camera
// that has delivered nothing for kStallTime while it should run is a problem of its own, shown
// (in place of the last problem) for as long as it lasts.
//
// Threads: every member is guarded by m_mutex. Capture threads call CountFrame and
// CountPublished once per frame, the depth frame thread CountDepthFrame (no allocation); the UI
// thread sets the rest and reads Text.
class CStatusModel {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kStallTime{2000};

  // Host side.
  void SetHostAttached(std::string instance, std::string folder);
  void SetHostDetached();
  void SetMediaSize(int widthMm, int heightMm);
  void CountPublished();

  // Main camera: `name` as the camera list shows it ("Cam 0 (Table camera)"). Running starts
  // the stall watch afresh; a stopped camera (snapshot mode, none open) is never stalled.
  void SetCamera(std::string name);
  void SetCameraRunning(bool running, Clock::time_point now = Clock::now());
  void CountFrame(int width, int height, Clock::time_point now = Clock::now());
  // The depth stream of a depth camera: its frame rate is shown while it runs.
  void SetDepthRunning(bool running);
  void CountDepthFrame();

  // Problems.
  void ReportProblem(std::string text);
  void ClearProblem();
  // Clears the problem only while it is still `text`, so a later report is not lost.
  void ClearProblem(const std::string& text);
  std::string Problem() const;

  // Information, kept as problems are.
  void ReportNotice(std::string text);
  // Clears the notice only while it is still `text`.
  void ClearNotice(const std::string& text);
  std::string Notice() const;

  bool CameraStalled(Clock::time_point now = Clock::now()) const;

  // The whole line. Rates are averaged since the previous call that was at least a second
  // earlier, so the owner calls it on a steady timer.
  std::string Text(Clock::time_point now = Clock::now());

 private:
  struct SRate {
    std::uint64_t count = 0;
    std::uint64_t sampledCount = 0;
    Clock::time_point sampledAt{};
    double perSecond = 0.0;
    void Sample(Clock::time_point now);
  };
  bool CameraStalledLocked(Clock::time_point now) const;

  mutable std::mutex m_mutex;
  bool m_host = false;
  std::string m_instance;
  std::string m_strFolder;
  int m_mediaWidthMm = 0;
  int m_mediaHeightMm = 0;
  SRate m_published;

  std::string m_camera;
  bool m_cameraRunning = false;
  Clock::time_point m_lastFrameAt{};
  int m_frameWidth = 0;
  int m_frameHeight = 0;
  SRate m_frames;
  bool m_depthRunning = false;
  SRate m_depthFrames;

  std::string m_problem;
  std::string m_notice;
};
