// Recordings through the library's recorder; compiled only when CMake finds librealsense2.
#include <unistd.h>
#include <librealsense2/hpp/rs_internal.hpp>
#include <librealsense2/rs.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/file_io.h"
#include "video/depth_recording.h"
#include "video/realsense/library_types.h"
#include "video/sim/simulated_depth_device.h"
#include "video/table_scene.h"

namespace {

constexpr int kFps = 30;
constexpr std::chrono::milliseconds kFrameLimit{5000};

// The recording is written under a temporary name beside the target and renamed into place once
// the recorder has closed it, so a failure never leaves a half-written file under the name asked
// for.
class CPartFile {
 public:
  explicit CPartFile(const std::string& file) : m_file(file) {
    std::string dir = std::filesystem::path(file).parent_path().string();
    if (dir.empty()) dir = ".";
    const int fd = veldrin::CreateTemporaryFile(dir, m_part);
    if (fd < 0) {
      throw CDepthDeviceError("cannot write " + file + ": " + std::strerror(errno));
    }
    ::close(fd);
  }
  ~CPartFile() {
    if (!m_part.empty()) std::remove(m_part.c_str());
  }
  CPartFile(const CPartFile&) = delete;
  CPartFile& operator=(const CPartFile&) = delete;

  const std::string& Path() const { return m_part; }
  void Commit() {
    std::error_code error;
    std::filesystem::rename(m_part, m_file, error);
    if (error) throw CDepthDeviceError("cannot write " + m_file + ": " + error.message());
    m_part.clear();
  }

 private:
  std::string m_file;
  std::string m_part;
};

// Hands the library a copy it owns: the recorder writes frames on a thread of its own, after the
// call has returned.
template <typename T>
void* OwnedCopy(const void* data, std::size_t bytes) {
  auto* copy = new T[bytes / sizeof(T)];
  std::memcpy(copy, data, bytes);
  return copy;
}
template <typename T>
void DeleteCopy(void* data) {
  delete[] static_cast<T*>(data);
}

void OpenAndStart(const std::vector<rs2::sensor>& sensors) {
  for (const rs2::sensor& sensor : sensors) {
    sensor.open(sensor.get_stream_profiles());
    sensor.start([](const rs2::frame&) {});
  }
}

void StopAndClose(const std::vector<rs2::sensor>& sensors) {
  for (const rs2::sensor& sensor : sensors) {
    sensor.stop();
    sensor.close();
  }
}

}  // namespace

void veldrin::RecordTableScene(const STableSceneParams& params, const std::string& file,
                               int frames) {
  CSimulatedDepthDevice camera(params, false);
  CTableScene scene(params);
  const cv::Size native = scene.NativeSize();
  const CSceneWorld& world = camera.World();
  const SCameraIntrinsics depthIn = world.DepthIntrinsics();
  const SCameraIntrinsics colorIn = world.ColorIntrinsics(native);
  SDepthStreamRequest request;
  request.depthWidth = depthIn.width;
  request.depthHeight = depthIn.height;
  request.colorWidth = native.width;
  request.colorHeight = native.height;
  camera.Start(request);

  CPartFile part(file);
  try {
    rs2::software_device device;
    device.register_info(RS2_CAMERA_INFO_NAME, veldrin::kTableSceneDeviceName);
    device.register_info(RS2_CAMERA_INFO_SERIAL_NUMBER, veldrin::kTableSceneSerial);
    rs2::software_sensor depthSensor = device.add_sensor("Stereo Module");
    rs2::software_sensor colorSensor = device.add_sensor("RGB Camera");
    // The depth units make the sensor a depth sensor, whose scale a player reads back.
    depthSensor.add_read_only_option(RS2_OPTION_DEPTH_UNITS, CSimulatedDepthDevice::kUnits);
    rs2::stream_profile depthProfile =
        depthSensor.add_video_stream({RS2_STREAM_DEPTH, 0, 0, depthIn.width, depthIn.height, kFps,
                                      2, RS2_FORMAT_Z16, veldrin::ToLibrary(depthIn)},
                                     true);
    rs2::stream_profile colorProfile =
        colorSensor.add_video_stream({RS2_STREAM_COLOR, 0, 1, native.width, native.height, kFps, 3,
                                      RS2_FORMAT_BGR8, veldrin::ToLibrary(colorIn)},
                                     true);
    depthProfile.register_extrinsics_to(colorProfile, veldrin::ToLibrary(world.DepthToColor()));
    device.create_matcher(RS2_MATCHER_DEFAULT);
    {
      rs2::recorder recorder(part.Path(), device);
      const std::vector<rs2::sensor> sensors = recorder.query_sensors();
      OpenAndStart(sensors);
      // Paced at the stream's rate: the recording keeps the time each frame arrived, and a
      // player replays at that pace.
      const auto period = std::chrono::nanoseconds(1'000'000'000 / kFps);
      auto next = std::chrono::steady_clock::now();
      cv::Mat picture;
      for (int i = 0; i < frames; ++i) {
        std::this_thread::sleep_until(next);
        next += period;
        SDepthFrameset frameset;
        camera.TryWaitForFrameset(kFrameLimit, frameset);
        scene.Render(native, static_cast<std::uint64_t>(i), picture);
        if (!picture.isContinuous()) picture = picture.clone();
        const double timestamp = i * 1000.0 / kFps;
        const SDepthDeviceFrame& depth = frameset.depth;
        rs2_software_video_frame out{};
        out.pixels = OwnedCopy<std::uint16_t>(depth.data, depth.dataSize);
        out.deleter = &DeleteCopy<std::uint16_t>;
        out.stride = depth.stride;
        out.bpp = 2;
        out.timestamp = timestamp;
        out.domain = RS2_TIMESTAMP_DOMAIN_HARDWARE_CLOCK;
        out.frame_number = i;
        out.profile = depthProfile;
        out.depth_units = depth.units;
        depthSensor.on_video_frame(out);
        out.pixels = OwnedCopy<unsigned char>(picture.data, picture.total() * picture.elemSize());
        out.deleter = &DeleteCopy<unsigned char>;
        out.stride = static_cast<int>(picture.step);
        out.bpp = 3;
        out.profile = colorProfile;
        out.depth_units = 0.f;
        colorSensor.on_video_frame(out);
      }
      StopAndClose(sensors);
    }  // the recorder closes the file here
  } catch (const rs2::error& e) {
    throw CDepthDeviceError("cannot record " + file + ": " + e.what());
  }
  part.Commit();
}

void veldrin::RecordDepthCamera(const std::string& serial, const std::string& file, int frames) {
  CPartFile part(file);
  try {
    rs2::context context;
    rs2::config config;
    config.enable_device(serial);
    config.enable_stream(RS2_STREAM_DEPTH);
    config.enable_stream(RS2_STREAM_COLOR);
    config.enable_record_to_file(part.Path());
    rs2::pipeline pipeline(context);
    bool started = false;
    try {
      pipeline.start(config);
      started = true;
      for (int i = 0; i < frames; ++i) {
        rs2::frameset frameset;
        if (!pipeline.try_wait_for_frames(&frameset, static_cast<unsigned>(kFrameLimit.count()))) {
          throw CFramesetTimeoutError("no frames from the camera " + serial + " within 5000 ms");
        }
      }
    } catch (...) {
      if (started) pipeline.stop();
      throw;
    }
    pipeline.stop();
  } catch (const rs2::error& e) {
    const std::string what = e.what();
    if (what.find("No device connected") != std::string::npos ||
        what.find("Couldn't resolve requests") != std::string::npos) {
      throw CNoDepthDeviceError("no RealSense device with serial number " + serial +
                                " is connected");
    }
    throw CDepthDeviceError("cannot record " + file + ": " + what);
  }
  part.Commit();
}
