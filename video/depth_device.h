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
#include <string_view>

#include "geometry/camera_model.h"
#include "video/depth_types.h"
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
enum class EFrameFormat { kAny, kZ16, kDisparity32, kRGB8, kBGR8, kY8, kYUYV };

// A frame as the device hands it out: valid until the next wait or Stop.
struct SDepthDeviceFrame {
  const void* data = nullptr;
  std::size_t dataSize = 0;  // bytes
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per row
  EFrameFormat format = EFrameFormat::kAny;
  float units = 0.f;  // metres per unit (Z16 depth only)
  SCameraIntrinsics intrinsics;
};

// One wait's result. A frameset need not hold both streams.
struct SDepthFrameset {
  bool hasDepth = false;  // `depth` is a Z16 depth frame
  bool hasColor = false;  // `color` is a colour frame (or an RGB8 infrared one)
  SDepthDeviceFrame depth;
  SDepthDeviceFrame color;
  // The device's own point cloud of `depth` (one vertex per pixel, row by row) when the request
  // asked for it and the device computes one; null otherwise. Valid as the frames are.
  const SVertex* cloud = nullptr;
};

struct SDepthStreamRequest {
  // 0 x 0 (and a rate of 0): whatever the camera streams.
  int depthWidth = 640;
  int depthHeight = 480;
  int fps = 30;
  // 0 x 0: depth only. The colour stream takes any format at any rate.
  int colorWidth = 0;
  int colorHeight = 0;
  // Asks for the device's own point cloud with every depth frame (SDepthFrameset::cloud).
  bool cloud = false;
};

// One camera session, like a vendor pipeline: Start, waits, Stop. Used by one thread at a time.
class CDepthDevice {
 public:
  virtual ~CDepthDevice() = default;
  // Starts the streams; throws CStreamNotOfferedError, CNoDepthSensorError, CDeviceLostError.
  virtual void Start(const SDepthStreamRequest& request) = 0;
  // Waits at most `limit` for the next frameset: false when none came in time, throws
  // CDeviceLostError when the camera is gone. The frames stay valid until the next call.
  [[nodiscard]] virtual bool TryWaitForFrameset(std::chrono::milliseconds limit,
                                                SDepthFrameset& frameset) = 0;
  // Metres per depth unit, from the depth sensor; throws CNoDepthSensorError.
  virtual float GetDepthScale() = 0;
  // Extrinsics between the started streams, in each direction.
  virtual SCameraExtrinsics GetDepthToColorExtrinsics() = 0;
  virtual SCameraExtrinsics GetColorToDepthExtrinsics() = 0;
  virtual void Stop() = 0;
};

// Makes a fresh session on the depth camera; throws CNoDepthDeviceError when there is none.
using DepthDeviceFactory = std::function<std::unique_ptr<CDepthDevice>()>;

namespace veldrin {

// The session for a listed device: a virtual "scene:table" device gives the simulated camera, a
// virtual "bag:FILE" device the recording played back and a V4L2 node the camera with the node's
// serial number, both through the vendor library when it is built in. Throws
// CNoDepthDeviceError otherwise (kNoRealSenseSupport when the library is not built in).
std::unique_ptr<CDepthDevice> OpenDepthDevice(const SDeviceLocator& locator);

// A recording (.bag) played back in a loop through the vendor library; `bPaced` false delivers
// its frames as fast as they are asked for (benchmarks). Throws as OpenDepthDevice.
std::unique_ptr<CDepthDevice> OpenDepthRecording(const std::string& file, bool bPaced = true);

// Whether this build has the librealsense2 back-end.
bool HasRealSenseSupport();
inline constexpr const char* kNoRealSenseSupport =
    "this build has no RealSense support (librealsense2 was not found when it was built)";
// The prefix of a virtual source that is a recording: "bag:FILE".
inline constexpr std::string_view kRecordingSourcePrefix = "bag:";

}  // namespace veldrin
