// Compiled only when CMake finds librealsense2; the library's types stay in this file.
#include "video/realsense/realsense_depth_device.h"

#include <librealsense2/rs.hpp>

#include <algorithm>
#include <cstddef>

#include "video/depth_types.h"

// Clouds are handed on as arrays of our own vertex record, laid out as the library's.
static_assert(sizeof(SVertex) == sizeof(rs2_vertex) &&
              offsetof(SVertex, xyz) == offsetof(rs2_vertex, xyz));

namespace {

CAMERA_INTRINSICS FromLibrary(const rs2_intrinsics& in) {
  CAMERA_INTRINSICS out;
  out.width = in.width;
  out.height = in.height;
  out.ppx = in.ppx;
  out.ppy = in.ppy;
  out.fx = in.fx;
  out.fy = in.fy;
  out.model = static_cast<EDistortion>(in.model);
  std::copy(in.coeffs, in.coeffs + 5, out.coeffs);
  return out;
}

CAMERA_EXTRINSICS FromLibrary(const rs2_extrinsics& e) {
  CAMERA_EXTRINSICS out;
  std::copy(e.rotation, e.rotation + 9, out.rotation);
  std::copy(e.translation, e.translation + 3, out.translation);
  return out;
}

EFrameFormat FromLibrary(rs2_format format) {
  switch (format) {
    case RS2_FORMAT_Z16:
      return EFrameFormat::Z16;
    case RS2_FORMAT_DISPARITY32:
      return EFrameFormat::Disparity32;
    case RS2_FORMAT_RGB8:
      return EFrameFormat::RGB8;
    case RS2_FORMAT_BGR8:
      return EFrameFormat::BGR8;
    case RS2_FORMAT_Y8:
      return EFrameFormat::Y8;
    case RS2_FORMAT_YUYV:
      return EFrameFormat::YUYV;
    default:
      return EFrameFormat::Any;
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

void Describe(const rs2::video_frame& frame, DEPTH_DEVICE_FRAME& out) {
  out.pData = frame.get_data();
  out.nDataSize = static_cast<std::size_t>(frame.get_data_size());
  out.nWidth = frame.get_width();
  out.nHeight = frame.get_height();
  out.nStride = frame.get_stride_in_bytes();
  out.format = FromLibrary(frame.get_profile().format());
  out.intrinsics =
      FromLibrary(frame.get_profile().as<rs2::video_stream_profile>().get_intrinsics());
  if (auto depth = frame.as<rs2::depth_frame>()) out.fUnits = depth.get_units();
}

class CRealSenseDepthDevice : public CDepthDevice {
 public:
  void Start(const DEPTH_STREAM_REQUEST& r) override {
    Guarded([&] {
      rs2::config config;
      config.enable_stream(RS2_STREAM_DEPTH, 0, r.nDepthWidth, r.nDepthHeight, RS2_FORMAT_Z16,
                           r.nFps);
      if (r.nColorWidth > 0) {
        config.enable_stream(RS2_STREAM_COLOR, 0, r.nColorWidth, r.nColorHeight, RS2_FORMAT_ANY, 0);
      }
      m_profile = m_pipeline.start(config);
      return 0;
    });
  }

  bool TryWaitForFrameset(std::chrono::milliseconds limit, DEPTH_FRAMESET& out) override {
    return Guarded([&] {
      rs2::frameset frames;
      if (!m_pipeline.try_wait_for_frames(&frames, static_cast<unsigned>(limit.count()))) {
        return false;
      }
      m_frames = frames;  // keeps the frames alive until the next wait
      out = DEPTH_FRAMESET{};
      if (rs2::depth_frame depth = m_frames.get_depth_frame()) {
        out.bDepth = true;
        Describe(depth, out.depth);
        m_depthProfile = depth.get_profile();
      }
      rs2::video_frame color = m_frames.get_color_frame();
      if (color) {
        out.bColor = true;
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
  CAMERA_EXTRINSICS GetDepthToColorExtrinsics() override {
    return Guarded([&] { return FromLibrary(m_depthProfile.get_extrinsics_to(m_colorProfile)); });
  }
  CAMERA_EXTRINSICS GetColorToDepthExtrinsics() override {
    return Guarded([&] { return FromLibrary(m_colorProfile.get_extrinsics_to(m_depthProfile)); });
  }
  void Stop() override {
    Guarded([&] {
      m_frames = rs2::frameset();
      m_pipeline.stop();
      return 0;
    });
  }

 private:
  rs2::context m_context;
  rs2::pipeline m_pipeline{m_context};
  rs2::pipeline_profile m_profile;
  rs2::frameset m_frames;
  rs2::stream_profile m_depthProfile;
  rs2::stream_profile m_colorProfile;
};

}  // namespace

std::unique_ptr<CDepthDevice> OpenRealSenseDepthDevice() {
  rs2::log_to_console(RS2_LOG_SEVERITY_ERROR);
  return std::make_unique<CRealSenseDepthDevice>();
}
