#pragma once

#include <opencv2/core/mat.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostlink/objects_file.h"

class CCameraList;
class CImageWindow;
class CRectification;
class CStatusModel;
class CSharedStatusBlock;
class CQRDetector;
class CQRDetectorListener;

// What the colour pipeline needs from the windows. Called on capture threads: implementations
// render under their own locks and hand anything that touches widgets to the UI thread with a
// queued call; they never wait for the UI thread.
class CColorFrameView {
 public:
  virtual ~CColorFrameView() = default;
  virtual int CurrentTab() const = 0;
  virtual void ShowInWindow(CImageWindow* window, const cv::Mat& frame) = 0;
  virtual void ShowInput(const cv::Mat& frame) = 0;
  virtual void ShowOutput(const cv::Mat& picture) = 0;
  virtual void SetOutputImageSize(int width, int height) = 0;
  virtual void MediaSizeChanged(int widthMm, int heightMm) = 0;
  virtual void HostGone() = 0;
  // The main camera's frames changed size; the rectification has already followed (corners
  // scaled, output rebuilt). The windows follow on the UI thread.
  virtual void FrameSizeChanged(cv::Size /*previous*/, cv::Size /*current*/) {}
  // Marks secure points in place; the default is a camera without depth.
  virtual void MarkSecurePoints(cv::Mat& /*frame*/) {}
  // The height-true picture of the frame into `out`; false (the default) for the plain one.
  virtual bool RectifyHeightTrue(const cv::Mat& /*frame*/, cv::Mat& /*out*/) { return false; }
  // The objects on the media for the host's objects file; null (the default) writes none.
  virtual std::shared_ptr<const std::vector<SMediaObject>> HostObjects() { return nullptr; }
};

// The main dialog's colour-frame path, without windows: frame divisor, preview routing, host
// watch, media size, rectification, publishing, last frame and QR kick.
//
// Threads: OnVideoFrame runs on every webcam engine's capture thread, possibly several at once.
// The frame-skip counter, divisor, last size and failure count are atomics. m_blockMutex guards
// only the status block pointer and the last folder: the UI thread takes it to read the folder,
// so no file is ever written under it. Publishing takes its own share of the block and
// m_publishMutex, which the UI thread never takes. m_lastFrame is guarded by m_frameMutex; the
// QR detector is created once under m_qrMutex; the reused output buffers by m_outputMutex.
// Corners and lens live in CRectification and the status line's record in CStatusModel; each
// guards its own.
//
// No exception from the work on a frame leaves OnVideoFrame: it is counted, reported once in the
// status line, and the next frame is tried.
class CColorFrameConsumer {
 public:
  CColorFrameConsumer(CRectification& rectification, CColorFrameView& view,
                      CQRDetectorListener* qrListener);

  // Set once, before any engine delivers frames; frames arriving without a list are dropped.
  void SetCameraList(CCameraList* cameras) { m_cameras = cameras; }
  // Where frames, pictures and publishing problems are counted and told; set once, before
  // frames arrive. May stay null.
  void SetStatusModel(CStatusModel* status) { m_status = status; }
  ~CColorFrameConsumer();

  // Takes ownership of the host link (may be null or unmapped: then it is treated as absent).
  void SetStatusBlock(std::unique_ptr<CSharedStatusBlock> block);
  bool HasStatusBlock() const;
  // The host's data folder. Once the host has gone, the folder it last published: settings are
  // still written there when the tool ends.
  std::string GetFolder() const;
  void ReleaseStatusBlock();
  // The host watch on its own, for a timer: frames do not arrive while the main camera is
  // stopped (snapshot mode) or only previews run. Reports HostGone once when the count is 0.
  void CheckHost();

  void SetFrameDivisor(int divisor) { m_frameDivisor.store(divisor); }
  int GetFrameDivisor() const { return m_frameDivisor.load(); }
  void SetQRDetectionEnabled(bool enabled) { m_qrEnabled.store(enabled); }

  void OnVideoFrame(int cameraIndex, cv::Mat* frame);

  // Frames whose processing threw, since construction.
  int FrameFailureCount() const { return m_frameFailures.load(); }

  // The last main-camera frame as shown in the input window (lens-corrected when a lens applies).
  cv::Mat GetLastFrame() const;
  // While set, the last main-camera frame is also kept as the camera delivered it, for
  // measuring the lens; empty until a frame arrived.
  void SetKeepRawFrame(bool keep);
  cv::Mat GetLastRawFrame() const;
  int LastColorWidth() const { return m_lastColorWidth.load(); }
  int LastColorHeight() const { return m_lastColorHeight.load(); }

  // Stops and destroys the QR detector (its scan thread included); call before the listener goes.
  void StopQRDetector();

 private:
  bool PassesDivisor();
  void ProcessFrame(int cameraIndex, cv::Mat* frame);
  void Publish(const cv::Mat& picture);
  void FrameFailed(const char* what);
  std::shared_ptr<CSharedStatusBlock> Block() const;

  CCameraList* m_cameras = nullptr;
  CStatusModel* m_status = nullptr;
  CRectification& m_rectification;
  CColorFrameView& m_view;
  CQRDetectorListener* m_qrListener;

  std::atomic<int> m_frameSkip{0};
  std::atomic<int> m_frameDivisor{0};
  std::atomic<int> m_lastColorWidth{0};
  std::atomic<int> m_lastColorHeight{0};
  std::atomic<bool> m_qrEnabled{true};
  std::atomic<int> m_frameFailures{0};

  mutable std::mutex m_blockMutex;
  std::shared_ptr<CSharedStatusBlock> m_pStatusBlock;
  mutable std::string m_lastFolder;
  std::mutex m_publishMutex;      // one PublishImage at a time; never taken by the UI thread
  std::string m_publishProblem;   // m_publishMutex: the publishing problem last reported
  std::string m_objectsProblem;   // m_publishMutex: the objects file problem reported
  std::uint64_t m_announced = 0;  // m_publishMutex: pictures announced to the host

  std::mutex m_outputMutex;
  cv::Mat m_output;     // the rectified picture
  cv::Mat m_corrected;  // the lens-corrected frame

  mutable std::mutex m_frameMutex;
  cv::Mat m_lastFrame;
  cv::Mat m_lastRawFrame;
  std::atomic<bool> m_keepRawFrame{false};

  std::mutex m_qrMutex;
  std::unique_ptr<CQRDetector> m_qrDetector;
};
