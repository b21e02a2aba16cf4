#pragma once

#include <opencv2/core/mat.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "geometry/pixel_mapping.h"
#include "video/depth_device.h"
#include "video/video_engine.h"

// Streams the depth half of a depth camera: SetupDepth reads the camera's geometry once (depth
// scale, intrinsics of both streams, extrinsics between them), Start runs a frame thread that
// hands every depth frame to the listener's OnDepthFrame as a grey picture, the depth in metres
// and the point cloud. The camera is the listed device chosen with SelectDevice, by default the
// first whose name contains "RealSense" (the table scene's simulated camera, a recording or a
// connected camera through the vendor library when built in). The cloud is the device's own when
// it computes one (the vendor library does), else ours from the geometry's pixel rays.
//
// Threads: SetupDepth, Start, Stop and destruction run on the owner's (UI) thread; SetupDepth
// blocks it until the camera has shown one depth and one colour frame (at most 15 s per wait).
// The calibration is written only by SetupDepth, before any frame thread exists, and is read
// freely afterwards (mappings on the depth and colour threads). m_pDepthData and m_depthImage
// are written by the frame thread and read by the listener during OnDepthFrame, and by anyone
// once the thread has ended. The run flag is the only signal to the thread. Stop waits at most
// 100 ms; a thread still busy then (inside the listener) finishes its pass on its own; a restart
// waits up to 1 s for it, and destruction joins it, so it never outlives the engine. Errors on
// the frame thread end it and reach the listener's OnEngineError. Steady-state frames allocate
// nothing: every buffer is made on the first frame of a run and reused.
// The engine's per-frame conversion in one pass over the raw frame: exactly the metres, grey
// picture and cloud of DepthFrameToMeters, DepthToGray and DepthFrameToCloud, with the grey
// value of every raw depth looked up (the table is remade when the depth units change).
class CDepthFrameConverter {
 public:
  // `meters` and `grey` are (re)made at the frame size only when their size differs. A null
  // `vertices` leaves the cloud out (the device computed one).
  void Convert(const SDepthDeviceFrame& frame, const CPixelRays& rays, cv::Mat& meters,
               cv::Mat& grey, SVertex* vertices);

 private:
  float m_units = -1.f;
  std::vector<unsigned char> m_grey;  // per raw value
};

class CKivRealSenseVideoEngine : public CKivVideoEngine {
 public:
  CKivRealSenseVideoEngine();
  // Opens its sessions through `factory` instead of the listed devices.
  explicit CKivRealSenseVideoEngine(DepthDeviceFactory factory);
  ~CKivRealSenseVideoEngine() override;

  // Stores the index handed back with every frame, the depth size and the listener, and reads
  // the camera's geometry for colour frames of colorWidth x colorHeight. Returns 1; a camera
  // failure is thrown as a CDepthDeviceError kind, with the calibration left as it was.
  int SetupDepth(int index, int depthWidth, int depthHeight, CKivVideoEngineListener* listener,
                 int colorWidth, int colorHeight);
  // The listed device SetupDepth and Start open (its position in the device list); -1, the
  // default, for the first whose name contains "RealSense".
  void SelectDevice(int device) { m_device = device; }
  // 1 when the frame thread was started, 0 when the previous one is still busy.
  [[nodiscard]] int Start() override;
  int Stop() override;

  // The mappings of the stored calibration; ColorPixelToDepthPixel searches the latest depth
  // frame, so it belongs on the frame thread during OnDepthFrame.
  int ColorPixelToDepthPixel(int x, int y, int& outX, int& outY) const;
  [[nodiscard]] int ProjectPointToColorPixel(float x, float y, float z, int& outX, int& outY) const;
  [[nodiscard]] int DepthPixelToColorPixel(int x, int y, int& outX, int& outY, float depth) const;

  const SDepthColorCalibration& GetCalibration() const { return m_calibration; }
  // The raw copy of the latest depth frame (depth width x height units), null before the first.
  const std::uint16_t* GetDepthData() const { return m_pDepthData.get(); }
  // The grey picture of the latest frame (shares the frame thread's pixels).
  const cv::Mat& GetDepthImage() const { return m_depthImage; }

  // Per-frame conversions, public for tests and benchmarks.
  // Wraps a frame's pixels without copying (RGB8 is converted to a new BGR matrix); throws
  // std::runtime_error "Frame format is not supported yet!" for other formats.
  static cv::Mat FrameToMat(const SDepthDeviceFrame& frame);
  // Depth in metres (CV_64F, frame size) into `meters`, reusing its buffer.
  static void DepthFrameToMeters(const SDepthDeviceFrame& frame, cv::Mat& meters);
  // 0.3 m .. 1.1 m as a black-to-white ramp, beyond 1.5 m black; `grey` is CV_8UC3 of the same
  // size, filled in place.
  static void DepthToGray(const cv::Mat& meters, cv::Mat& grey);
  // The grey value of one depth in metres.
  static unsigned char GrayOf(double meters);
  // The point cloud of a Z16 frame: vertex k is ray k times the depth (0 without depth).
  static void DepthFrameToCloud(const SDepthDeviceFrame& frame, const CPixelRays& rays,
                                SVertex* vertices);

 private:
  struct CDepthRun;
  void ConfigureStreams(int depthWidth, int depthHeight, int colorWidth, int colorHeight);
  DepthDeviceFactory CurrentFactory() const;
  static void DepthThreadProc(CKivRealSenseVideoEngine* engine, CDepthRun* run);
  void RunFrames(CDepthRun& run);

  DepthDeviceFactory m_factory;  // set for tests; otherwise the listed camera
  int m_device = -1;
  cv::Mat m_depthImage;
  std::atomic<int> m_bRunning{0};
  std::unique_ptr<std::uint16_t[]> m_pDepthData;
  std::size_t m_depthDataSize = 0;  // bytes
  SDepthColorCalibration m_calibration;
  int m_fps = 30;  // the rate set-up got the stream at; 0: whatever the camera gives
  std::unique_ptr<CDepthRun> m_run;
};
