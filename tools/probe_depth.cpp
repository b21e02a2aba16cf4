#include "tools/probe_depth.h"

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>

#include <opencv2/imgcodecs.hpp>

#include "depth/media_height_map.h"
#include "depth/object_finder.h"
#include "depth/plane_files.h"
#include "depth/table_measure.h"
#include "tools/first_frame.h"
#include "video/depth_recording.h"
#include "video/opencv_video_engine.h"
#include "video/realsense_video_engine.h"
#include "video/table_scene.h"
#include "workstation/height_true_table.h"
#include "workstation/rectification.h"

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

struct SDepthProbeOptions {
  // The average is right from the first frame; this many frames also average its noise down.
  int frames = static_cast<int>(CTableMeasure::kSettleFrames);
  std::optional<std::array<float, 8>> corners;
  std::optional<std::string> planeFolder;
  std::optional<std::string> savePlaneFolder;
  std::optional<cv::Size> mediaMm;
  std::optional<std::string> publishFile;
  bool heightTrue = false;
  bool objects = false;
};

// "WxH" with two positive whole numbers.
std::optional<cv::Size> ParseSize(const std::string& text) {
  const std::size_t x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  const std::optional<int> w = Parse<int>(text.substr(0, x));
  const std::optional<int> h = Parse<int>(text.substr(x + 1));
  if (!w || !h || *w < 1 || *h < 1 || *w > 100000 || *h > 100000) return std::nullopt;
  return cv::Size(*w, *h);
}

// False with the reason in `error` for anything but the documented options.
bool ParseOptions(const std::vector<std::string>& args, SDepthProbeOptions& options,
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
      options.frames = *n;
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
    } else if (option == "--media" && left >= 1) {
      options.mediaMm = ParseSize(args[++i]);
      if (!options.mediaMm) {
        error = "--media needs WxH in millimetres, not " + args[i];
        return false;
      }
    } else if (option == "--publish" && left >= 1) {
      options.publishFile = args[++i];
    } else if (option == "--height-true") {
      options.heightTrue = true;
    } else if (option == "--objects") {
      options.objects = true;
    } else {
      error =
          "usage: veldrin-probe depth [--frames N] [--corners X0 Y0 X1 Y1 X2 Y2 X3 Y3] "
          "[--plane DIR] [--save-plane DIR] [--media WxH [--objects] [--publish FILE.bmp "
          "[--height-true]]]";
      return false;
    }
  }
  if ((options.publishFile || options.objects) && !options.mediaMm) {
    error = "--publish and --objects need --media WxH";
    return false;
  }
  if (options.heightTrue && !options.publishFile) {
    error = "--height-true needs --publish FILE.bmp";
    return false;
  }
  return true;
}

// The device's colour picture at `size`, as the main window would get it; empty when none came.
cv::Mat GrabColor(int device, cv::Size size) {
  CKivOpenCVVideoEngine engine;
  CFirstFrame listener;
  engine.Setup(device, size.width, size.height, &listener);
  if (!engine.Start()) return {};
  cv::Mat frame = listener.Wait(std::chrono::seconds(10));
  engine.Stop();
  return frame;
}

// Objects and the published picture over the media, from the last measurement.
int ProbeMedia(const SDepthProbeOptions& options, const CTableMeasure& measure,
               const SDepthColorCalibration& calibration, const std::array<float, 8>& corners,
               int device, cv::Size color) {
  const CMeasurementExchange::CHandle latest = measure.Published();
  if (!latest) return Fail("no depth frame was measured");
  std::vector<cv::Point2f> colorCorners;
  for (std::size_t i = 0; i < 4; ++i) colorCorners.emplace_back(corners[2 * i], corners[2 * i + 1]);
  SHeightTrueCamera camera;
  camera.calibration = calibration;
  SMediaFrame frame;
  if (!veldrin::MakeMediaFrame(calibration, latest->plane,
                               veldrin::CornerRays(camera, colorCorners), options.mediaMm->width,
                               options.mediaMm->height, frame)) {
    return Fail("the corners do not lie on the table plane");
  }
  SMediaHeightMap map;
  if (!veldrin::BuildMediaHeightMap(*latest, calibration.depthIntrinsics, frame, map)) {
    return Fail("the depth camera saw nothing of the media");
  }
  if (options.objects) {
    for (const SMediaObject& o : veldrin::FindObjects(map, veldrin::kLeastObjectHeightMm)) {
      std::printf("object %.1f %.1f %ld %ld\n", o.centreMm[0], o.centreMm[1],
                  std::lround(o.heightMm), std::lround(o.areaMm2));
    }
  }
  if (!options.publishFile) return 0;
  const cv::Mat picture = GrabColor(device, color);
  if (picture.empty()) return Fail("the colour camera delivered no picture");
  CRectification rectification;
  rectification.ApplyCameraSettings(picture.cols, picture.rows);
  if (!rectification.SetCorners(colorCorners)) return Fail("the corners give no picture");
  rectification.UpdateMediaSize(options.mediaMm->width, options.mediaMm->height);
  cv::Mat out;
  if (options.heightTrue) {
    SHeightTrueTables tables;
    veldrin::BuildHeightTrueTables(frame, map, camera, picture.size(),
                                   rectification.GetOutputSize(), tables);
    veldrin::RemapHeightTrue(picture, tables, out);
  } else if (!rectification.Rectify(picture, out)) {
    return Fail("the corners give no picture");
  }
  bool written = false;
  try {
    written = cv::imwrite(*options.publishFile, out);
  } catch (const cv::Exception&) {
  }
  if (!written) return Fail("cannot write " + *options.publishFile);
  return 0;
}

// Measures on the frame thread, as the main dialog's depth consumer does, until it has seen
// the frames it was asked for; the owner reads the results once the engine is gone.
class CDepthProbe : public CKivVideoEngineListener {
 public:
  CDepthProbe(CKivRealSenseVideoEngine& engine, CTableMeasure& measure,
              const std::array<float, 8>& corners, int frames)
      : m_engine(engine), m_measure(measure), m_corners(corners), m_wanted(frames) {}

  void OnVideoFrame(int, cv::Mat*) override {}
  void OnDepthFrame(int, cv::Mat*, cv::Mat* meters, const SVertex* vertices) override {
    {
      std::lock_guard lock(m_mutex);
      if (m_seen >= m_wanted) return;
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
    m_height = h;
    std::copy(d, d + 8, m_depthCorners.begin());
    if (++m_seen >= m_wanted) m_done.notify_all();
  }
  void OnEngineError(int, const std::string& message) override {
    std::lock_guard lock(m_mutex);
    m_error = message;
    m_done.notify_all();
  }
  // False when the engine failed (the reason in `error`) or the frames did not come in time.
  bool Wait(std::chrono::seconds limit, std::string& error) {
    std::unique_lock lock(m_mutex);
    const bool finished =
        m_done.wait_for(lock, limit, [this] { return m_seen >= m_wanted || !m_error.empty(); });
    if (!m_error.empty()) {
      error = m_error;
      return false;
    }
    if (!finished) {
      error = "the depth camera delivered " + std::to_string(m_seen) + " of " +
              std::to_string(m_wanted) + " frames in time";
      return false;
    }
    return true;
  }
  float Height() const { return m_height; }
  const std::array<int, 8>& DepthCorners() const { return m_depthCorners; }

 private:
  CKivRealSenseVideoEngine& m_engine;
  CTableMeasure& m_measure;  // frame thread only, while the engine runs
  std::array<float, 8> m_corners;
  int m_wanted;
  std::mutex m_mutex;
  std::condition_variable m_done;
  int m_seen = 0;                       // guarded by m_mutex
  float m_height = 0.f;                 // guarded by m_mutex
  std::array<int, 8> m_depthCorners{};  // guarded by m_mutex
  std::string m_error;                  // guarded by m_mutex
};

void PrintLine(const char* name, const int* values, int count) {
  std::printf("%s", name);
  for (int i = 0; i < count; ++i) std::printf(" %d", values[i]);
  std::printf("\n");
}

}  // namespace

int veldrin::ProbeDepth(const std::vector<std::string>& args) {
  SDepthProbeOptions options;
  std::string error;
  if (!ParseOptions(args, options, error)) return Fail(error);

  CTableMeasure measure;
  if (options.planeFolder) {
    const std::string path = veldrin::Plane3DPath(*options.planeFolder);
    Plane3D plane;
    if (!veldrin::ReadPlane3D(path, plane, error)) return Fail(error);
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

  CDepthProbe probe(*engine, measure, corners, options.frames);
  try {
    engine->SetupDepth(DEPTH_CAMERA_INDEX, 640, 480, &probe, color.width, color.height);
  } catch (const std::exception& e) {
    return Fail(std::string("the depth camera does not start: ") + e.what());
  }
  if (engine->Start() != 1) return Fail("the depth camera's frame thread is still busy");
  // Frames come at 30 per second; the engine itself gives up after 15 s without one.
  const bool ok = probe.Wait(std::chrono::seconds(options.frames / 30 + 30), error);
  engine->Stop();
  const SDepthColorCalibration calibration = engine->GetCalibration();
  engine.reset();  // joins the frame thread: the measure is ours from here on
  if (!ok) return Fail(error);

  if (options.savePlaneFolder) {
    const std::string path = veldrin::Plane3DPath(*options.savePlaneFolder);
    Plane3D plane;
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
    // From the colour corners' own table points, as the main window raises them.
    const CMeasurementExchange::CHandle latest = measure.Published();
    std::array<cv::Vec3d, 4> rays, points;
    for (std::size_t i = 0; i < 4; ++i) {
      rays[i] = veldrin::ColorPixelRay(calibration.colorIntrinsics,
                                       cv::Point2f(corners[2 * i], corners[2 * i + 1]));
    }
    int pixels[8] = {};
    bool placed =
        latest && veldrin::RaisedCornerPoints(calibration, latest->plane, rays,
                                              static_cast<double>(raise) * 1000.0, points);
    for (std::size_t i = 0; i < 4 && placed; ++i) {
      const cv::Point2f p = veldrin::ProjectPointToPixel(
          calibration.colorIntrinsics,
          cv::Point3f(static_cast<float>(points[i][0]), static_cast<float>(points[i][1]),
                      static_cast<float>(points[i][2])));
      placed = veldrin::TruncateToInt(p.x, pixels[2 * i]) &&
               veldrin::TruncateToInt(p.y, pixels[2 * i + 1]);
    }
    if (!placed) return Fail("the raised corners have no place in the colour picture");
    PrintLine("raised_corners", pixels, 8);
  }
  if (options.mediaMm) return ProbeMedia(options, measure, calibration, corners, device, color);
  return 0;
}

int veldrin::ProbeRecord(const std::vector<std::string>& args) {
  constexpr const char* kRecordUsage =
      "usage: veldrin-probe record FILE.bag [--frames N] [--device SERIAL]";
  std::optional<std::string> file;
  std::optional<std::string> serial;
  int frames = 60;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool value = i + 1 < args.size();
    if (arg == "--frames" && value) {
      const std::optional<int> n = Parse<int>(args[++i]);
      if (!n || *n < 1 || *n > 100000) {
        return Fail("--frames needs a positive whole number, not " + args[i]);
      }
      frames = *n;
    } else if (arg == "--device" && value && !serial) {
      serial = args[++i];
    } else if (!arg.starts_with("--") && !file) {
      file = arg;
    } else {
      return Fail(kRecordUsage);
    }
  }
  if (!file) return Fail(kRecordUsage);
  if (!file->ends_with(".bag")) return Fail("the recording's file must end in .bag: " + *file);
  try {
    if (serial) {
      veldrin::RecordDepthCamera(*serial, *file, frames);
    } else {
      STableSceneParams params;
      std::string error;
      if (!veldrin::CurrentTableSceneParams(params, error)) return Fail(error);
      veldrin::RecordTableScene(params, *file, frames);
    }
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  std::printf("recorded %d frames into %s\n", frames, file->c_str());
  return 0;
}
