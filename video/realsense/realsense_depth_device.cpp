// Compiled only when CMake finds librealsense2; the library's types stay in this folder.
#include "video/realsense/realsense_depth_device.h"

#include <librealsense2/rs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <optional>

#include "video/depth_types.h"
#include "video/realsense/library_types.h"

// Clouds are handed on as arrays of our own vertex record, laid out as the library's.
static_assert(sizeof(SVertex) == sizeof(rs2_vertex) &&
              offsetof(SVertex, xyz) == offsetof(rs2_vertex, xyz));

namespace {

using veldrin::FromLibrary;

EFrameFormat FromLibrary(rs2_format format) {
  switch (format) {
    case RS2_FORMAT_Z16:
      return EFrameFormat::kZ16;
    case RS2_FORMAT_DISPARITY32:
      return EFrameFormat::kDisparity32;
    case RS2_FORMAT_RGB8:
      return EFrameFormat::kRGB8;
    case RS2_FORMAT_BGR8:
      return EFrameFormat::kBGR8;
    case RS2_FORMAT_Y8:
      return EFrameFormat::kY8;
    case RS2_FORMAT_YUYV:
      return EFrameFormat::kYUYV;
    default:
      return EFrameFormat::kAny;
  }
}

// Runs a library call, turning its errors into ours.
template <typename TCall>
auto Guarded(TCall call) -> decltype(call()) {
  try {
    return call();
  } catch (const rs2::camera_disconnected_error& e) {
    throw CDeviceLostError(e.what());
  } catch (const rs2::error& e) {
    const std::string what = e.what();
    if (what.find("Could not find requested sensor type") != std::string::npos) {
      throw CNoDepthSensorError(what);
    }
    if (what.find("No device connected") != std::string::npos) throw CNoDepthDeviceError(what);
    if (what.find("Couldn't resolve requests") != std::string::npos) {
      throw CStreamNotOfferedError(what);
    }
    throw CDeviceLostError(what);
  }
}

void Describe(const rs2::video_frame& frame, SDepthDeviceFrame& out) {
  out.data = frame.get_data();
  out.dataSize = static_cast<std::size_t>(frame.get_data_size());
  out.width = frame.get_width();
  out.height = frame.get_height();
  out.stride = frame.get_stride_in_bytes();
  out.format = FromLibrary(frame.get_profile().format());
  out.intrinsics =
      FromLibrary(frame.get_profile().as<rs2::video_stream_profile>().get_intrinsics());
  if (auto depth = frame.as<rs2::depth_frame>()) out.units = depth.get_units();
}

// The first video stream of `type` a recording holds.
struct SRecordedStream {
  int width = 0;
  int height = 0;
  rs2_format format = RS2_FORMAT_ANY;
};

struct SRecordingStreams {
  std::optional<SRecordedStream> depth;
  std::optional<SRecordedStream> color;
};

// A context for recordings only: one that also watches for cameras takes two seconds to go.
rs2::context RecordingContext() {
  static const std::string settings =
      "{\"device-mask\": " + std::to_string(RS2_PRODUCT_LINE_SW_ONLY) + "}";
  return rs2::context(settings);
}

std::string SizeText(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// Reads what a recording holds without playing it; one clear line for a file that cannot be
// read (missing, cut short, not a recording).
SRecordingStreams ReadRecordingStreams(const std::string& file) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) {
    throw CNoDepthDeviceError("the recording " + file + " does not exist");
  }
  SRecordingStreams streams;
  try {
    rs2::context context = RecordingContext();
    const rs2::playback playback = context.load_device(file);
    for (const rs2::sensor& sensor : playback.query_sensors()) {
      for (const rs2::stream_profile& profile : sensor.get_stream_profiles()) {
        const auto video = profile.as<rs2::video_stream_profile>();
        if (!video) continue;
        const SRecordedStream stream{video.width(), video.height(), video.format()};
        if (video.stream_type() == RS2_STREAM_DEPTH && video.format() == RS2_FORMAT_Z16 &&
            !streams.depth) {
          streams.depth = stream;
        } else if (video.stream_type() == RS2_STREAM_COLOR && !streams.color) {
          streams.color = stream;
        }
      }
    }
  } catch (const rs2::error& e) {
    throw CNoDepthDeviceError("the recording " + file + " cannot be read: " + e.what());
  }
  return streams;
}

class CRealSenseDepthDevice : public CDepthDevice {
 public:
  // Either a connected camera (`serial`, possibly empty) or a recording (`file`).
  CRealSenseDepthDevice(std::string serial, std::string file, bool bPaced)
      : m_serial(std::move(serial)),
        m_file(std::move(file)),
        m_paced(bPaced),
        m_context(m_file.empty() ? rs2::context() : RecordingContext()) {}
  ~CRealSenseDepthDevice() override {
    if (!m_started) return;
    try {
      m_pipeline.stop();
    } catch (const rs2::error&) {  // a camera gone already has nothing to stop
    }
  }
  CRealSenseDepthDevice(const CRealSenseDepthDevice&) = delete;
  CRealSenseDepthDevice& operator=(const CRealSenseDepthDevice&) = delete;

  void Start(const SDepthStreamRequest& r) override {
    if (!m_file.empty()) CheckRecording(r);
    m_cloud = r.cloud;
    Guarded([&] {
      rs2::config config;
      if (!m_file.empty()) {
        config.enable_device_from_file(m_file, true);
      } else {
        const std::string serial = ChooseCamera();
        if (!serial.empty()) config.enable_device(serial);
      }
      // A recording plays at its own rate: its rate was checked with its sizes.
      const int fps = m_file.empty() ? r.fps : 0;
      config.enable_stream(RS2_STREAM_DEPTH, 0, r.depthWidth, r.depthHeight, RS2_FORMAT_Z16, fps);
      if (r.colorWidth > 0) {
        config.enable_stream(RS2_STREAM_COLOR, 0, r.colorWidth, r.colorHeight, RS2_FORMAT_ANY, 0);
      }
      m_profile = m_pipeline.start(config);
      m_started = true;
      if (!m_paced) m_profile.get_device().as<rs2::playback>().set_real_time(false);
      return 0;
    });
  }

  bool TryWaitForFrameset(std::chrono::milliseconds limit, SDepthFrameset& out) override {
    return Guarded([&] {
      rs2::frameset frames;
      if (!m_pipeline.try_wait_for_frames(&frames, static_cast<unsigned>(limit.count()))) {
        return false;
      }
      m_frames = frames;  // keeps the frames alive until the next wait
      out = SDepthFrameset{};
      if (rs2::depth_frame depth = m_frames.get_depth_frame()) {
        out.hasDepth = true;
        Describe(depth, out.depth);
        m_depthProfile = depth.get_profile();
        if (m_cloud) {
          m_points = m_pointcloud.calculate(depth);
          out.cloud = reinterpret_cast<const SVertex*>(m_points.get_vertices());
        }
      }
      rs2::video_frame color = m_frames.get_color_frame();
      if (color) {
        out.hasColor = true;
        Describe(color, out.color);
        m_colorProfile = color.get_profile();
      }
      return true;
    });
  }

  float GetDepthScale() override {
    return Guarded(
        [&] { return m_profile.get_device().first<rs2::depth_sensor>().get_depth_scale(); });
  }
  SCameraExtrinsics GetDepthToColorExtrinsics() override {
    return Guarded([&] { return FromLibrary(m_depthProfile.get_extrinsics_to(m_colorProfile)); });
  }
  SCameraExtrinsics GetColorToDepthExtrinsics() override {
    return Guarded([&] { return FromLibrary(m_colorProfile.get_extrinsics_to(m_depthProfile)); });
  }
  void Stop() override {
    Guarded([&] {
      m_frames = rs2::frameset();
      m_points = rs2::points();
      if (m_started) m_pipeline.stop();
      m_started = false;
      return 0;
    });
  }

 private:
  // The recording must hold the streams asked for; the library's own complaint would not say
  // what the file holds.
  void CheckRecording(const SDepthStreamRequest& r) const {
    const SRecordingStreams streams = ReadRecordingStreams(m_file);
    const std::string name = "the recording " + m_file;
    if (!streams.depth) throw CStreamNotOfferedError(name + " has no depth stream");
    if (streams.depth->width != r.depthWidth || streams.depth->height != r.depthHeight) {
      throw CStreamNotOfferedError(
          name + " has depth " + SizeText(streams.depth->width, streams.depth->height) +
          ", not the " + SizeText(r.depthWidth, r.depthHeight) + " asked for");
    }
    if (r.colorWidth <= 0) return;
    if (!streams.color) throw CStreamNotOfferedError(name + " has no colour stream");
    if (streams.color->width != r.colorWidth || streams.color->height != r.colorHeight) {
      throw CStreamNotOfferedError(
          name + " has colour " + SizeText(streams.color->width, streams.color->height) +
          ", not the " + SizeText(r.colorWidth, r.colorHeight) + " the camera settings ask for");
    }
  }

  // The serial to open: the camera whose serial number, or whose chip's (which its USB
  // descriptor may carry instead), is the one asked for; else the only camera there is.
  std::string ChooseCamera() {
    const rs2::device_list devices = m_context.query_devices();
    if (devices.size() == 0) throw CNoDepthDeviceError("no RealSense device connected");
    if (m_serial.empty()) return {};
    for (const rs2::device& device : devices) {
      if (!device.supports(RS2_CAMERA_INFO_SERIAL_NUMBER)) continue;
      std::string serial = device.get_info(RS2_CAMERA_INFO_SERIAL_NUMBER);
      if (serial == m_serial) return serial;
      if (device.supports(RS2_CAMERA_INFO_ASIC_SERIAL_NUMBER) &&
          m_serial == device.get_info(RS2_CAMERA_INFO_ASIC_SERIAL_NUMBER)) {
        return serial;
      }
    }
    if (devices.size() == 1) return {};
    throw CNoDepthDeviceError("no RealSense device with serial number " + m_serial +
                              " is connected");
  }

  std::string m_serial;
  std::string m_file;
  bool m_paced;
  bool m_cloud = false;
  bool m_started = false;
  rs2::context m_context;
  rs2::pipeline m_pipeline{m_context};
  rs2::pipeline_profile m_profile;
  rs2::frameset m_frames;
  rs2::pointcloud m_pointcloud;
  rs2::points m_points;
  rs2::stream_profile m_depthProfile;
  rs2::stream_profile m_colorProfile;
};

// The colour stream of a recording, through a pipeline of its own that starts with the first
// read. Not thread-safe, like every frame source.
class CRecordingColorSource : public CFrameSource {
 public:
  explicit CRecordingColorSource(std::string file) : m_file(std::move(file)) {
    try {
      const SRecordingStreams streams = ReadRecordingStreams(m_file);
      if (streams.color) m_size = cv::Size(streams.color->width, streams.color->height);
    } catch (const CDepthDeviceError&) {  // listed as unavailable
    }
  }
  ~CRecordingColorSource() override { Release(); }
  CRecordingColorSource(const CRecordingColorSource&) = delete;
  CRecordingColorSource& operator=(const CRecordingColorSource&) = delete;

  bool IsOpened() const override { return !m_size.empty(); }
  void RequestSize(int, int) override {}  // a recording has the one size it was recorded at
  cv::Size GetSize() const override { return m_size; }

  void Read(cv::Mat& frame) override {
    frame.release();
    if (m_size.empty()) return;
    try {
      if (!m_pipeline) {
        m_pipeline = std::make_unique<rs2::pipeline>(m_context);
        rs2::config config;
        config.enable_device_from_file(m_file, true);
        config.enable_stream(RS2_STREAM_COLOR, 0, m_size.width, m_size.height, RS2_FORMAT_ANY, 0);
        m_pipeline->start(config);
      }
      rs2::frameset frames;
      if (!m_pipeline->try_wait_for_frames(&frames, 1000)) return;
      const rs2::video_frame color = frames.get_color_frame();
      if (!color) return;
      cv::Mat pixels(color.get_height(), color.get_width(), CV_8UC3,
                     const_cast<void*>(color.get_data()),
                     static_cast<std::size_t>(color.get_stride_in_bytes()));
      switch (color.get_profile().format()) {
        case RS2_FORMAT_BGR8:
          pixels.copyTo(frame);
          break;
        case RS2_FORMAT_RGB8:
          cv::cvtColor(pixels, frame, cv::COLOR_RGB2BGR);
          break;
        case RS2_FORMAT_YUYV:
          cv::cvtColor(cv::Mat(pixels.rows, pixels.cols, CV_8UC2, pixels.data, pixels.step), frame,
                       cv::COLOR_YUV2BGR_YUYV);
          break;
        default:
          break;  // no picture rather than a wrong one
      }
    } catch (const rs2::error&) {
      Release();  // the next read starts over
    }
  }

  void Release() override {
    if (!m_pipeline) return;
    try {
      m_pipeline->stop();
    } catch (const rs2::error&) {
    }
    m_pipeline.reset();
  }

 private:
  std::string m_file;
  cv::Size m_size;
  rs2::context m_context = RecordingContext();
  std::unique_ptr<rs2::pipeline> m_pipeline;
};

}  // namespace

bool veldrin::HasRealSenseSupport() { return true; }

std::unique_ptr<CDepthDevice> veldrin::OpenRealSenseDepthDevice(const std::string& serial) {
  return Guarded(
      [&] { return std::make_unique<CRealSenseDepthDevice>(serial, std::string(), true); });
}

std::unique_ptr<CDepthDevice> veldrin::OpenRealSenseRecording(const std::string& file,
                                                              bool bPaced) {
  return Guarded(
      [&] { return std::make_unique<CRealSenseDepthDevice>(std::string(), file, bPaced); });
}

std::unique_ptr<CFrameSource> veldrin::OpenRealSenseRecordingColor(const std::string& file) {
  try {
    return std::make_unique<CRecordingColorSource>(file);
  } catch (const rs2::error&) {
    return veldrin::MakeClosedFrameSource();
  }
}
