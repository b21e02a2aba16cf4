#pragma once

// The depth engine's only door to a depth camera: the simulated one of the table scene, or the
// vendor library when it was found at build time. Failures are exceptions, one type per cause,
// all derived from std::runtime_error (CDepthDeviceError).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "geometry/camera_model.h"
#include "video/device_locator.h"

class CDepthDeviceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// No depth camera is connected (or the listed one cannot be opened).
class CNoDepthDeviceError : public CDepthDeviceError {
 public:
  using CDepthDeviceError::CDepthDeviceError;
};
// A requested stream (size, format, rate), or the requested colour size, is not offered.
class CStreamNotOfferedError : public CDepthDeviceError {
 public:
  using CDepthDeviceError::CDepthDeviceError;
};
// No frameset arrived within the time limit.
class CFramesetTimeoutError : public CDepthDeviceError {
 public:
  using CDepthDeviceError::CDepthDeviceError;
};
// The camera went away while streaming.
class CDeviceLostError : public CDepthDeviceError {
 public:
  using CDepthDeviceError::CDepthDeviceError;
};
// The device has no depth sensor.
class CNoDepthSensorError : public CDepthDeviceError {
 public:
  using CDepthDeviceError::CDepthDeviceError;
};

// Pixel formats a frame may come in.
enum class EFrameFormat { Any, Z16, Disparity32, RGB8, BGR8, Y8, YUYV };

// A frame as the device hands it out: valid until the next wait or Stop.
struct DEPTH_DEVICE_FRAME {
  const void* pData = nullptr;
  std::size_t nDataSize = 0;  // bytes
  int nWidth = 0;
  int nHeight = 0;
  int nStride = 0;  // bytes per row
  EFrameFormat format = EFrameFormat::Any;
  float fUnits = 0.f;  // metres per unit (Z16 depth only)
  CAMERA_INTRINSICS intrinsics;
};

// One wait's result. A frameset need not hold both streams.
struct DEPTH_FRAMESET {
  bool bDepth = false;  // `depth` is a Z16 depth frame
  bool bColor = false;  // `color` is a colour frame (or an RGB8 infrared one)
  DEPTH_DEVICE_FRAME depth;
  DEPTH_DEVICE_FRAME color;
};

struct DEPTH_STREAM_REQUEST {
  int nDepthWidth = 640;
  int nDepthHeight = 480;
  int nFps = 30;
  // 0 x 0: depth only. The colour stream takes any format at any rate.
  int nColorWidth = 0;
  int nColorHeight = 0;
};

// One camera session, like a vendor pipeline: Start, waits, Stop. Used by one thread at a time.
class CDepthDevice {
 public:
  virtual ~CDepthDevice() = default;
  // Starts the streams; throws CStreamNotOfferedError, CNoDepthSensorError, CDeviceLostError.
  virtual void Start(const DEPTH_STREAM_REQUEST& request) = 0;
  // Waits at most `limit` for the next frameset: false when none came in time, throws
  // CDeviceLostError when the camera is gone. The frames stay valid until the next call.
  [[nodiscard]] virtual bool TryWaitForFrameset(std::chrono::milliseconds limit,
                                                DEPTH_FRAMESET& frameset) = 0;
  // Metres per depth unit, from the depth sensor; throws CNoDepthSensorError.
  virtual float GetDepthScale() = 0;
  // Extrinsics between the started streams, in each direction.
  virtual CAMERA_EXTRINSICS GetDepthToColorExtrinsics() = 0;
  virtual CAMERA_EXTRINSICS GetColorToDepthExtrinsics() = 0;
  virtual void Stop() = 0;
};

// Makes a fresh session on the depth camera; throws CNoDepthDeviceError when there is none.
using DepthDeviceFactory = std::function<std::unique_ptr<CDepthDevice>()>;

// The session for a listed device: a virtual "scene:table" device gives the simulated camera;
// anything else the vendor library when it is built in. Throws CNoDepthDeviceError otherwise.
std::unique_ptr<CDepthDevice> OpenDepthDevice(const DEVICE_LOCATOR& locator);
