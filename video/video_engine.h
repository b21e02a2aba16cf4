#pragma once

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <string>
#include <vector>

#include "video/depth_types.h"
#include "video/device_list.h"
#include "video/device_locator.h"

inline constexpr int DEPTH_CAMERA_INDEX = 1000;  // outside the slot range 0..4

// Receives frames on the engine's own thread, never on the thread that set the engine up.
// Matrices and vertices are valid only during the call; copy what you keep.
class CKivVideoEngineListener {
 public:
  virtual ~CKivVideoEngineListener() = default;
  virtual void OnVideoFrame(int cameraIndex, cv::Mat* frame) = 0;
  virtual void OnDepthFrame(int cameraIndex, cv::Mat* depthImage, cv::Mat* depthMeters,
                            const SVertex* vertices) = 0;
  // An engine thread ended on an error (a camera that went away, no frames in time). Called once,
  // on that thread, as its last act; the engine delivers nothing more until it is started again.
  virtual void OnEngineError(int cameraIndex, const std::string& message) {
    (void)cameraIndex;
    (void)message;
  }
};

// Common base of the capture engines: the device list and the set-up/start/stop protocol.
// Enumeration, Setup, Start, Stop and destruction are called from one thread (the owner's).
class CKivVideoEngine {
 public:
  CKivVideoEngine();
  virtual ~CKivVideoEngine();
  CKivVideoEngine(const CKivVideoEngine&) = delete;
  CKivVideoEngine& operator=(const CKivVideoEngine&) = delete;

  virtual int EnumerateDevices();
  virtual int IsDeviceAvailable(int index);
  virtual int FindFirstAvailableDevice();
  virtual int Setup(int index, int width, int height, CKivVideoEngineListener* listener);
  [[nodiscard]] virtual int Start();
  virtual int Stop();

  // 1 when the device's name contains "RealSense", 0 when not, -1 for an index outside the list.
  int IsRealSense(int index) const;
  cv::Size GetResolution() const { return cv::Size(m_nWidth, m_nHeight); }
  unsigned int GetDeviceCount() const { return m_nDeviceCount; }
  // Slot `index`, or an empty record for an index outside the slots.
  const VIDEO_DEVICE_DATA& Device(int index) const {
    static const VIDEO_DEVICE_DATA kNone;
    return index >= 0 && index < MAX_VIDEO_DEVICES ? m_devices[index] : kNone;
  }

  VIDEO_DEVICE_DATA m_devices[MAX_VIDEO_DEVICES];

 protected:
  // Where slot i is opened from; null locator for an index outside the list.
  SDeviceLocator GetDeviceLocator(int index) const;

  unsigned int m_nDeviceCount = 0;
  int m_nWidth = 0;
  int m_nHeight = 0;
  CKivVideoEngineListener* m_pListener = nullptr;
  int m_nCameraIndex = 0;

 private:
  SDeviceLocator m_locators[MAX_VIDEO_DEVICES];
};
