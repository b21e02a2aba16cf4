#include "video/realsense_video_engine.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace {

constexpr std::chrono::milliseconds kFramesetLimit{15000};
// Waits are cut into slices so that Stop and destruction never wait for a whole frameset limit.
constexpr std::chrono::milliseconds kWaitSlice{100};
constexpr std::chrono::milliseconds kStopWait{100};
constexpr std::chrono::milliseconds kRestartWait{1000};
constexpr int kDepthFps = 30;

// Waits for the next frameset within the frameset limit while `keepGoing` holds; false when
// told to stop first, CFramesetTimeoutError when the limit passes.
template <typename TKeepGoing>
bool WaitForFrameset(CDepthDevice& device, SDepthFrameset& frameset, TKeepGoing keepGoing) {
  const auto deadline = std::chrono::steady_clock::now() + kFramesetLimit;
  while (keepGoing()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      throw CFramesetTimeoutError("no frames from the depth camera within 15000 ms");
    }
    if (device.TryWaitForFrameset(std::min(left, kWaitSlice), frameset)) return true;
  }
  return false;
}

// One row of a depth frame into metres and grey, and with kCloud into vertices along the pixels'
// rays. A template, so that each loop is free of the branch; the outputs never overlap each other
// or the inputs, and saying so lets the loops vectorise.
template <bool kCloud>
void ConvertRow(const std::uint16_t* __restrict raw, int width, double scale, float units,
                const unsigned char* __restrict lut, double* __restrict m,
                unsigned char* __restrict g, const float* __restrict ray, float* __restrict v) {
  for (std::size_t x = 0; x < static_cast<std::size_t>(width); ++x) {
    const std::uint16_t r = raw[x];
    m[x] = static_cast<double>(r) * scale;
    const unsigned char level = lut[r];
    g[3 * x] = level;
    g[3 * x + 1] = level;
    g[3 * x + 2] = level;
    if constexpr (kCloud) {
      const float d = static_cast<float>(r) * units;
      v[3 * x] = ray[2 * x] * d;
      v[3 * x + 1] = ray[2 * x + 1] * d;
      v[3 * x + 2] = d;
    }
  }
}

}  // namespace

struct CKivRealSenseVideoEngine::CDepthRun {
  DepthDeviceFactory factory;
  CKivVideoEngineListener* listener = nullptr;
  int cameraIndex = 0;
  int width = 0;
  int height = 0;
  int fps = 0;

  // The frame thread's buffers, made on the first frame and reused.
  CPixelRays rays;
  CDepthFrameConverter converter;
  std::vector<SVertex> cloud;
  cv::Mat meters;
  cv::Mat grey;

  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;  // guarded by mutex
  std::thread thread;

  bool WaitFinished(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    return finished.wait_for(lock, limit, [this] { return done; });
  }
  ~CDepthRun() {
    if (thread.joinable()) thread.join();
  }
};

CKivRealSenseVideoEngine::CKivRealSenseVideoEngine() = default;

CKivRealSenseVideoEngine::CKivRealSenseVideoEngine(DepthDeviceFactory factory)
    : m_factory(std::move(factory)) {}

CKivRealSenseVideoEngine::~CKivRealSenseVideoEngine() {
  m_bRunning = 0;
  m_run.reset();  // joins: the thread leaves within one wait slice unless inside the listener
}

DepthDeviceFactory CKivRealSenseVideoEngine::CurrentFactory() const {
  if (m_factory) return m_factory;
  // Resolved here, on the owner's thread, so the frame thread never reads the device list.
  int chosen = m_device;
  for (unsigned int i = 0; chosen < 0 && i < m_nDeviceCount; ++i) {
    if (IsRealSense(static_cast<int>(i)) == 1) chosen = static_cast<int>(i);
  }
  if (chosen >= 0 && static_cast<unsigned int>(chosen) < m_nDeviceCount) {
    const SDeviceLocator locator = GetDeviceLocator(chosen);
    return [locator] { return veldrin::OpenDepthDevice(locator); };
  }
  return []() -> std::unique_ptr<CDepthDevice> {
    throw CNoDepthDeviceError("no RealSense device connected");
  };
}

int CKivRealSenseVideoEngine::SetupDepth(int index, int depthWidth, int depthHeight,
                                         CKivVideoEngineListener* listener, int colorWidth,
                                         int colorHeight) {
  m_pListener = listener;
  m_nWidth = depthWidth;
  m_nHeight = depthHeight;
  m_nCameraIndex = index;
  ConfigureStreams(depthWidth, depthHeight, colorWidth, colorHeight);
  return 1;
}

void CKivRealSenseVideoEngine::ConfigureStreams(int depthWidth, int depthHeight, int colorWidth,
                                                int colorHeight) {
  std::unique_ptr<CDepthDevice> device = CurrentFactory()();
  if (!device) throw CNoDepthDeviceError("no RealSense device connected");
  SDepthStreamRequest request;
  request.depthWidth = depthWidth;
  request.depthHeight = depthHeight;
  request.fps = m_fps = kDepthFps;
  request.colorWidth = colorWidth;
  request.colorHeight = colorHeight;
  try {
    device->Start(request);
  } catch (const CStreamNotOfferedError&) {
    // The size asked for comes first; a camera that does not offer it streams what it does.
    // The frames below tell which size that is, and the frame thread asks for exactly that.
    request.depthWidth = 0;
    request.depthHeight = 0;
    request.fps = 0;
    device->Start(request);
  }
  struct CStopper {
    CDepthDevice& device;
    ~CStopper() {
      try {
        device.Stop();
      } catch (const std::exception&) {  // the set-up's own error is the one to report
      }
    }
  } stopper{*device};

  SDepthColorCalibration calibration;
  calibration.depthScale = device->GetDepthScale();
  // The streams' geometry comes from live frames: keep waiting until both have shown up.
  bool depthSeen = false, colorSeen = false;
  while (!depthSeen || !colorSeen) {
    SDepthFrameset frameset;
    WaitForFrameset(*device, frameset, [] { return true; });
    if (frameset.hasDepth) {
      calibration.depthIntrinsics = frameset.depth.intrinsics;
      depthSeen = true;
    }
    if (frameset.hasColor) {
      calibration.colorIntrinsics = frameset.color.intrinsics;
      colorSeen = true;
    }
  }
  calibration.depthToColor = device->GetDepthToColorExtrinsics();
  calibration.colorToDepth = device->GetColorToDepthExtrinsics();
  m_calibration = calibration;
  m_nWidth = calibration.depthIntrinsics.width;
  m_nHeight = calibration.depthIntrinsics.height;
  m_fps = request.fps;
}

int CKivRealSenseVideoEngine::Start() {
  if (m_run) {
    m_run->WaitFinished(kRestartWait);
    std::unique_lock lock(m_run->mutex);
    if (!m_run->done) return 0;  // the last run is still inside the listener
    lock.unlock();
    m_run.reset();
  }
  auto run = std::make_unique<CDepthRun>();
  run->factory = CurrentFactory();
  run->listener = m_pListener;
  run->cameraIndex = m_nCameraIndex;
  run->width = m_nWidth;
  run->height = m_nHeight;
  run->fps = m_fps;
  m_bRunning = 1;
  try {
    run->thread = std::thread(&CKivRealSenseVideoEngine::DepthThreadProc, this, run.get());
  } catch (const std::system_error&) {
    m_bRunning = 0;
    return 0;
  }
  m_run = std::move(run);
  return 1;
}

int CKivRealSenseVideoEngine::Stop() {
  m_bRunning = 0;
  if (m_run) m_run->WaitFinished(kStopWait);
  return 1;
}

void CKivRealSenseVideoEngine::DepthThreadProc(CKivRealSenseVideoEngine* engine, CDepthRun* run) {
  try {
    engine->RunFrames(*run);
  } catch (const std::exception& e) {
    if (run->listener) run->listener->OnEngineError(run->cameraIndex, e.what());
  }
  {
    std::lock_guard lock(run->mutex);
    run->done = true;
  }
  run->finished.notify_all();
}

void CKivRealSenseVideoEngine::RunFrames(CDepthRun& run) {
  std::unique_ptr<CDepthDevice> device = run.factory();
  if (!device) throw CNoDepthDeviceError("no RealSense device connected");
  SDepthStreamRequest request;
  request.depthWidth = run.width;
  request.depthHeight = run.height;
  request.fps = run.fps;
  request.cloud = true;
  device->Start(request);

  SDepthFrameset frameset;
  while (m_bRunning) {
    if (!WaitForFrameset(*device, frameset, [this] { return m_bRunning != 0; })) break;
    if (!frameset.hasDepth || frameset.depth.format != EFrameFormat::kZ16) {
      throw CDeviceLostError("the depth camera sent a frameset without a Z16 depth frame");
    }
    const SDepthDeviceFrame& depth = frameset.depth;
    if (depth.intrinsics.width != depth.width || depth.intrinsics.height != depth.height ||
        depth.stride < depth.width * 2 ||
        depth.dataSize < static_cast<std::size_t>(depth.stride) * depth.height) {
      throw CDeviceLostError("the depth camera sent a frame that does not match its stream");
    }
    const std::size_t pixels = static_cast<std::size_t>(depth.width) * depth.height;
    if (depth.dataSize != 0) {
      // Sized by the first frame; every frame of the stream has that size.
      if (!m_pDepthData || m_depthDataSize != depth.dataSize) {
        m_pDepthData = std::make_unique<std::uint16_t[]>((depth.dataSize + 1) / 2);
        m_depthDataSize = depth.dataSize;
      }
      std::memcpy(m_pDepthData.get(), depth.data, depth.dataSize);
    }
    // The device's own cloud when it made one; else ours, from the pixel rays, with metres and
    // grey picture (DepthFrameToCloud, DepthFrameToMeters, DepthToGray) in one pass.
    const SVertex* cloud = frameset.cloud;
    if (cloud == nullptr) {
      run.rays.Update(depth.intrinsics);
      if (run.cloud.size() != pixels) run.cloud.resize(pixels);
      cloud = run.cloud.data();
    }
    run.converter.Convert(depth, run.rays, run.meters, run.grey,
                          frameset.cloud == nullptr ? run.cloud.data() : nullptr);
    m_depthImage = run.grey;
    if (run.listener) {
      run.listener->OnDepthFrame(run.cameraIndex, &m_depthImage, &run.meters, cloud);
    }
  }
  device->Stop();
}

cv::Mat CKivRealSenseVideoEngine::FrameToMat(const SDepthDeviceFrame& frame) {
  void* data = const_cast<void*>(frame.data);  // wrapped read-only by the callers
  const size_t step = frame.stride > 0 ? static_cast<size_t>(frame.stride)
                                       : static_cast<size_t>(cv::Mat::AUTO_STEP);
  switch (frame.format) {
    case EFrameFormat::kBGR8:
      return cv::Mat(frame.height, frame.width, CV_8UC3, data, step);
    case EFrameFormat::kRGB8: {
      cv::Mat bgr;
      cv::cvtColor(cv::Mat(frame.height, frame.width, CV_8UC3, data, step), bgr, cv::COLOR_RGB2BGR);
      return bgr;
    }
    case EFrameFormat::kZ16:
      return cv::Mat(frame.height, frame.width, CV_16UC1, data, step);
    case EFrameFormat::kY8:
      return cv::Mat(frame.height, frame.width, CV_8UC1, data, step);
    case EFrameFormat::kDisparity32:
      return cv::Mat(frame.height, frame.width, CV_32FC1, data, step);
    default:
      throw std::runtime_error("Frame format is not supported yet!");
  }
}

void CKivRealSenseVideoEngine::DepthFrameToMeters(const SDepthDeviceFrame& frame, cv::Mat& meters) {
  FrameToMat(frame).convertTo(meters, CV_64F, static_cast<double>(frame.units));
}

void CKivRealSenseVideoEngine::DepthToGray(const cv::Mat& meters, cv::Mat& grey) {
  CV_Assert(meters.type() == CV_64FC1 && grey.type() == CV_8UC3 && meters.size == grey.size &&
            meters.isContinuous() && grey.isContinuous());
  const double* d = meters.ptr<double>();
  unsigned char* out = grey.ptr<unsigned char>();
  const std::size_t n = meters.total();
  for (std::size_t i = 0; i < n; ++i, out += 3) out[0] = out[1] = out[2] = GrayOf(d[i]);
}

unsigned char CKivRealSenseVideoEngine::GrayOf(double d) {
  if (d < 0.0 || d > 1.5) return 0;
  return static_cast<unsigned char>(std::clamp((d - 0.3) * 255.0 / 0.8, 0.0, 255.0));
}

void CDepthFrameConverter::Convert(const SDepthDeviceFrame& frame, const CPixelRays& rays,
                                   cv::Mat& meters, cv::Mat& grey, SVertex* vertices) {
  const float units = frame.units;
  // As DepthFrameToMeters scales: raw times the units as a double.
  const auto scale = static_cast<double>(units);
  if (units != m_units || m_grey.empty()) {
    m_grey.resize(65536);
    for (int raw = 0; raw < 65536; ++raw) {
      m_grey[raw] = CKivRealSenseVideoEngine::GrayOf(static_cast<double>(raw) * scale);
    }
    m_units = units;
  }
  if (meters.rows != frame.height || meters.cols != frame.width || meters.type() != CV_64FC1) {
    meters.create(frame.height, frame.width, CV_64FC1);
  }
  if (grey.rows != frame.height || grey.cols != frame.width || grey.type() != CV_8UC3) {
    grey.create(frame.height, frame.width, CV_8UC3);
  }
  const int w = frame.width;
  const unsigned char* __restrict lut = m_grey.data();
  for (int y = 0; y < frame.height; ++y) {
    const auto* __restrict raw = reinterpret_cast<const std::uint16_t*>(
        static_cast<const unsigned char*>(frame.data) + static_cast<std::size_t>(y) * frame.stride);
    double* __restrict m = meters.ptr<double>(y);
    unsigned char* __restrict g = grey.ptr<unsigned char>(y);
    if (vertices == nullptr) {
      ConvertRow<false>(raw, w, scale, units, lut, m, g, nullptr, nullptr);
    } else {
      ConvertRow<true>(raw, w, scale, units, lut, m, g,
                       rays.Data() + static_cast<std::size_t>(y) * w * 2,
                       vertices[static_cast<std::size_t>(y) * w].xyz);
    }
  }
}

void CKivRealSenseVideoEngine::DepthFrameToCloud(const SDepthDeviceFrame& frame,
                                                 const CPixelRays& rays, SVertex* vertices) {
  const float* ray = rays.Data();
  const float units = frame.units;
  for (int y = 0; y < frame.height; ++y) {
    const auto* raw = reinterpret_cast<const std::uint16_t*>(
        static_cast<const unsigned char*>(frame.data) + static_cast<std::size_t>(y) * frame.stride);
    for (int x = 0; x < frame.width; ++x, ray += 2, ++vertices) {
      const float d = static_cast<float>(raw[x]) * units;
      vertices->xyz[0] = ray[0] * d;
      vertices->xyz[1] = ray[1] * d;
      vertices->xyz[2] = d;
    }
  }
}

int CKivRealSenseVideoEngine::ColorPixelToDepthPixel(int x, int y, int& outX, int& outY) const {
  const SCameraIntrinsics& depth = m_calibration.depthIntrinsics;
  const std::size_t needed = static_cast<std::size_t>(std::max(0, depth.width)) *
                             static_cast<std::size_t>(std::max(0, depth.height)) * 2;
  if (m_pDepthData == nullptr || m_depthDataSize < needed) {
    // No frame yet (or not one of the configured size): nothing on the line has depth.
    outX = 0;
    outY = 0;
    return 1;
  }
  return veldrin::ColorPixelToDepthPixel(m_calibration, m_pDepthData.get(), x, y, outX, outY);
}

int CKivRealSenseVideoEngine::ProjectPointToColorPixel(float x, float y, float z, int& outX,
                                                       int& outY) const {
  return veldrin::ProjectPointToColorPixel(m_calibration, x, y, z, outX, outY);
}

int CKivRealSenseVideoEngine::DepthPixelToColorPixel(int x, int y, int& outX, int& outY,
                                                     float depth) const {
  return veldrin::DepthPixelToColorPixel(m_calibration, x, y, outX, outY, depth);
}
