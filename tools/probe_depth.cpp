#include "tools/probe_depth.h"

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>

#include "depth/plane_files.h"
#include "depth/table_measure.h"
#include "video/realsense_video_engine.h"

namespace {

int Fail(const std::string& message) {
  std::cerr << "veldrin-probe: " << message << '\n';
  return 1;
}

template <typename T>
std::optional<T> Parse(const std::string& text) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

struct DEPTH_PROBE_OPTIONS {
  int nFrames = 60;
  std::optional<std::array<float, 8>> corners;
  std::optional<std::string> planeFolder;
  std::optional<std::string> savePlaneFolder;
};

// False with the reason in `error` for anything but the documented options.
bool ParseOptions(const std::vector<std::string>& args, DEPTH_PROBE_OPTIONS& options,
                  std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    const size_t left = args.size() - i - 1;
    if (option == "--frames" && left >= 1) {
      const std::optional<int> n = Parse<int>(args[++i]);
      if (!n || *n < 1 || *n > 1000000) {
        error = "--frames needs a positive whole number, not " + args[i];
        return false;
      }
      options.nFrames = *n;
    } else if (option == "--corners" && left >= 8) {
      std::array<float, 8> corners{};
      for (float& c : corners) {
        const std::optional<float> v = Parse<float>(args[++i]);
        if (!v || !(*v > -1e6f && *v < 1e6f)) {
          error = "--corners needs eight numbers, not " + args[i];
          return false;
        }
        c = *v;
      }
      options.corners = corners;
    } else if (option == "--plane" && left >= 1) {
      options.planeFolder = args[++i];
    } else if (option == "--save-plane" && left >= 1) {
      options.savePlaneFolder = args[++i];
    } else {
      error =
          "usage: veldrin-probe depth [--frames N] [--corners X0 Y0 X1 Y1 X2 Y2 X3 Y3] "
          "[--plane DIR] [--save-plane DIR]";
      return false;
    }
  }
  return true;
}

// Measures on the frame thread, as the main dialog's depth consumer does, until it has seen
// the frames it was asked for; the owner reads the results once the engine is gone.
class CDepthProbe : public CKivVideoEngineListener {
 public:
  CDepthProbe(CKivRealSenseVideoEngine& engine, CTableMeasure& measure,
              const std::array<float, 8>& corners, int frames)
      : m_engine(engine), m_measure(measure), m_corners(corners), m_nWanted(frames) {}

  void OnVideoFrame(int, cv::Mat*) override {}
  void OnDepthFrame(int, cv::Mat*, cv::Mat* meters, const SVertex* vertices) override {
    {
      std::lock_guard lock(m_mutex);
      if (m_nSeen >= m_nWanted) return;
    }
    int d[8];
    for (std::size_t i = 0; i < 4; ++i) {
      m_engine.ColorPixelToDepthPixel(static_cast<int>(m_corners[2 * i]),
                                      static_cast<int>(m_corners[2 * i + 1]), d[2 * i],
                                      d[2 * i + 1]);
    }
    const float h = m_measure.UpdateDepthView(*meters, vertices, d[0], d[1], d[2], d[3], d[4], d[5],
                                              d[6], d[7], nullptr);
    std::lock_guard lock(m_mutex);
    m_fHeight = h;
    std::copy(d, d + 8, m_depthCorners.begin());
    if (++m_nSeen >= m_nWanted) m_done.notify_all();
  }
  void OnEngineError(int, const std::string& message) override {
    std::lock_guard lock(m_mutex);
    m_strError = message;
    m_done.notify_all();
  }
  // False when the engine failed (the reason in `error`) or the frames did not come in time.
  bool Wait(std::chrono::seconds limit, std::string& error) {
    std::unique_lock lock(m_mutex);
    const bool finished = m_done.wait_for(
        lock, limit, [this] { return m_nSeen >= m_nWanted || !m_strError.empty(); });
    if (!m_strError.empty()) {
      error = m_strError;
      return false;
    }
    if (!finished) {
      error = "the depth camera delivered " + std::to_string(m_nSeen) + " of " +
              std::to_string(m_nWanted) + " frames in time";
      return false;
    }
    return true;
  }
  float Height() const { return m_fHeight; }
  const std::array<int, 8>& DepthCorners() const { return m_depthCorners; }

 private:
  CKivRealSenseVideoEngine& m_engine;
  CTableMeasure& m_measure;  // frame thread only, while the engine runs
  std::array<float, 8> m_corners;
  int m_nWanted;
  std::mutex m_mutex;
  std::condition_variable m_done;
  int m_nSeen = 0;                      // guarded by m_mutex
  float m_fHeight = 0.f;                // guarded by m_mutex
  std::array<int, 8> m_depthCorners{};  // guarded by m_mutex
  std::string m_strError;               // guarded by m_mutex
};

void PrintLine(const char* name, const int* values, int count) {
  std::printf("%s", name);
  for (int i = 0; i < count; ++i) std::printf(" %d", values[i]);
  std::printf("\n");
}

}  // namespace

int ProbeDepth(const std::vector<std::string>& args) {
  DEPTH_PROBE_OPTIONS options;
  std::string error;
  if (!ParseOptions(args, options, error)) return Fail(error);

  CTableMeasure measure;
  if (options.planeFolder) {
    const std::string path = veldrin::Plane3DPath(*options.planeFolder);
    veldrin::Plane3D plane;
    if (!veldrin::ReadPlane3D(path, plane)) return Fail("cannot read a 3D plane from " + path);
    measure.SetPlaneCorners(plane);
  }

  auto engine = std::make_unique<CKivRealSenseVideoEngine>();
  int device = -1;
  for (unsigned int i = 0; i < engine->GetDeviceCount() && device < 0; ++i) {
    if (engine->IsRealSense(static_cast<int>(i)) == 1) device = static_cast<int>(i);
  }
  if (device < 0) return Fail("no camera whose name contains RealSense");
  const std::vector<cv::Point>& sizes = engine->m_devices[device].resolutions;
  const cv::Size color = sizes.empty() ? cv::Size(640, 480) : cv::Size(sizes[0].x, sizes[0].y);
  std::array<float, 8> corners{};
  if (options.corners) {
    corners = *options.corners;
  } else {
    // The default corners: the quarter-inset rectangle, in whole pixels.
    const int left = color.width / 4, top = color.height / 4;
    const auto l = static_cast<float>(left), t = static_cast<float>(top);
    const auto r = static_cast<float>(color.width - left);
    const auto b = static_cast<float>(color.height - top);
    corners = {l, t, r, t, r, b, l, b};
  }

  CDepthProbe probe(*engine, measure, corners, options.nFrames);
  try {
    engine->SetupDepth(DEPTH_CAMERA_INDEX, 640, 480, &probe, color.width, color.height);
  } catch (const std::exception& e) {
    return Fail(std::string("the depth camera does not start: ") + e.what());
  }
  if (engine->Start() != 1) return Fail("the depth camera's frame thread is still busy");
  // Frames come at 30 per second; the engine itself gives up after 15 s without one.
  const bool ok = probe.Wait(std::chrono::seconds(options.nFrames / 30 + 30), error);
  engine->Stop();
  const DEPTH_COLOR_CALIBRATION calibration = engine->GetCalibration();
  engine.reset();  // joins the frame thread: the measure is ours from here on
  if (!ok) return Fail(error);

  if (options.savePlaneFolder) {
    const std::string path = veldrin::Plane3DPath(*options.savePlaneFolder);
    veldrin::Plane3D plane;
    if (!measure.CurrentPlaneCorners(plane) || !veldrin::WritePlane3D(path, plane)) {
      return Fail("cannot write " + path);
    }
  }
  const float h = probe.Height();
  std::printf("height_mm %d\n", static_cast<int>(static_cast<double>(h) * 1000.0));
  PrintLine("depth_corners", probe.DepthCorners().data(), 8);
  if (options.planeFolder) {
    // As auto calibration does: heights below 5 mm count as the table itself.
    const float raise = static_cast<double>(h) < 0.005 ? 0.f : h;
    float points[12];
    int pixels[8] = {};
    measure.GetRaisedPlaneCorners(raise, points);
    for (std::size_t i = 0; i < 4; ++i) {
      if (!veldrin::ProjectPointToColorPixel(calibration, points[3 * i], points[3 * i + 1],
                                             points[3 * i + 2], pixels[2 * i], pixels[2 * i + 1])) {
        return Fail("the raised corners have no place in the colour picture");
      }
    }
    PrintLine("raised_corners", pixels, 8);
  }
  return 0;
}
