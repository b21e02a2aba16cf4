#include "video/sim/simulated_depth_device.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <thread>

#include "video/virtual_camera.h"

namespace {

// Typical of small stereo cameras: 50 mm between the imagers, sub-pixel accuracy 0.08.
constexpr double kStereoBaselineM = 0.050;
constexpr double kSubpixel = 0.08;
// Neighbours further apart than this lie on two sides of a depth edge.
constexpr float kEdgeJumpMm = 5.0f;

bool Offers(const std::vector<cv::Point>& sizes, int w, int h) {
  return std::any_of(sizes.begin(), sizes.end(),
                     [&](const cv::Point& s) { return s.x == w && s.y == h; });
}

}  // namespace

CSimulatedDepthDevice::CSimulatedDepthDevice(const STableSceneParams& params, bool bPaced)
    : m_world(params), m_paced(bPaced), m_rng(0x5EED) {}

void CSimulatedDepthDevice::Start(const SDepthStreamRequest& request) {
  const SCameraIntrinsics depth = m_world.DepthIntrinsics();
  // 0 x 0 asks for whatever size the camera streams.
  const bool anySize = request.depthWidth == 0 && request.depthHeight == 0;
  if ((!anySize && (request.depthWidth != depth.width || request.depthHeight != depth.height)) ||
      (request.fps != 30 && request.fps != 0)) {
    throw CStreamNotOfferedError("depth stream " + std::to_string(request.depthWidth) + "x" +
                                 std::to_string(request.depthHeight) + " at " +
                                 std::to_string(request.fps) + " fps is not offered");
  }
  const bool color = request.colorWidth > 0 || request.colorHeight > 0;
  const STableSceneParams& p = m_world.Params();
  if (color && !Offers(veldrin::VirtualResolutions(cv::Size(p.width, p.height)), request.colorWidth,
                       request.colorHeight)) {
    throw CStreamNotOfferedError("colour size " + std::to_string(request.colorWidth) + "x" +
                                 std::to_string(request.colorHeight) + " is not offered");
  }
  m_request = request;
  if (color) m_colorIntrinsics = m_world.ColorIntrinsics({request.colorWidth, request.colorHeight});
  m_period = std::chrono::nanoseconds(1'000'000'000 / 30);
  m_next = std::chrono::steady_clock::now() + m_period;
  m_frames = 0;
  m_frame.assign(static_cast<size_t>(depth.width) * depth.height, 0);
  m_noise.create(depth.height, depth.width, CV_32F);
  m_started = true;
}

void CSimulatedDepthDevice::Prepare(const std::vector<SSceneBox>& boxes) {
  const SCameraIntrinsics in = m_world.DepthIntrinsics();
  m_world.RenderDepth(boxes, m_clean);
  const SDepthSimParams& sim = m_world.Params().depth;
  m_sigma.create(m_clean.size(), CV_32F);
  const double noisePerM2 = kSubpixel / (in.fx * kStereoBaselineM);  // metres per metre^2
  for (int y = 0; y < m_clean.rows; ++y) {
    const float* z = m_clean.ptr<float>(y);
    float* s = m_sigma.ptr<float>(y);
    for (int x = 0; x < m_clean.cols; ++x) {
      const double m = z[x] / 1000.0;
      s[x] = sim.noise ? static_cast<float>(m * m * noisePerM2 * 1000.0) : 0.f;
    }
  }
  if (!sim.holes) return;
  // Holes where the surface jumps (both sides of the edge), then the band at the left edge that
  // only one of the stereo imagers sees.
  const cv::Mat exact = m_clean.clone();
  for (int y = 0; y < exact.rows; ++y) {
    const float* z = exact.ptr<float>(y);
    const float* below = exact.ptr<float>(std::min(y + 1, exact.rows - 1));
    const float* above = exact.ptr<float>(std::max(y - 1, 0));
    float* out = m_clean.ptr<float>(y);
    for (int x = 0; x < exact.cols; ++x) {
      const float left = z[std::max(x - 1, 0)], right = z[std::min(x + 1, exact.cols - 1)];
      const float jump = std::max({std::fabs(z[x] - left), std::fabs(z[x] - right),
                                   std::fabs(z[x] - below[x]), std::fabs(z[x] - above[x])});
      const double band = z[x] > 0 ? in.fx * kStereoBaselineM / (z[x] / 1000.0) : 0.0;
      if (jump > kEdgeJumpMm || x < band) out[x] = 0.f;
    }
  }
}

void CSimulatedDepthDevice::Render() {
  // The generation is read first: a change after it is seen on the next frame.
  const unsigned generation = veldrin::LiveSceneGeneration();
  if (!m_prepared || generation != m_generation) {
    const STableSceneParams& params = m_world.Params();
    Prepare(veldrin::EffectiveSceneBoxes(veldrin::SceneBoxList(params.box, params.boxes)));
    m_generation = generation;
    m_prepared = true;
  }
  const bool noise = m_world.Params().depth.noise;
  if (noise) m_rng.fill(m_noise, cv::RNG::NORMAL, 0.0, 1.0);
  std::uint16_t* out = m_frame.data();
  for (int y = 0; y < m_clean.rows; ++y) {
    const float* z = m_clean.ptr<float>(y);
    const float* s = m_sigma.ptr<float>(y);
    const float* n = m_noise.ptr<float>(y);
    for (int x = 0; x < m_clean.cols; ++x) {
      float mm = z[x];
      if (mm > 0.f && noise) mm += s[x] * n[x];
      // Whole units; a pixel with depth never rounds to "no depth".
      *out++ = z[x] > 0.f ? static_cast<std::uint16_t>(std::clamp(std::lround(mm), 1L, 65535L))
                          : std::uint16_t{0};
    }
  }
}

bool CSimulatedDepthDevice::TryWaitForFrameset(std::chrono::milliseconds limit,
                                               SDepthFrameset& frameset) {
  if (!m_started) throw CDeviceLostError("the depth stream is not started");
  if (m_paced) {
    const auto now = std::chrono::steady_clock::now();
    if (m_next - now > limit) {
      std::this_thread::sleep_for(limit);
      return false;
    }
    std::this_thread::sleep_until(m_next);
    // A consumer that falls behind gets the current frame, not a backlog.
    m_next = std::max(m_next + m_period, std::chrono::steady_clock::now());
  }
  Render();
  const SCameraIntrinsics in = m_world.DepthIntrinsics();
  frameset = SDepthFrameset{};
  frameset.hasDepth = true;
  frameset.depth.data = m_frame.data();
  frameset.depth.dataSize = m_frame.size() * sizeof(std::uint16_t);
  frameset.depth.width = in.width;
  frameset.depth.height = in.height;
  frameset.depth.stride = in.width * static_cast<int>(sizeof(std::uint16_t));
  frameset.depth.format = EFrameFormat::kZ16;
  frameset.depth.units = kUnits;
  frameset.depth.intrinsics = in;
  // The colour imager starts a frame later than depth, as real ones often do.
  if (m_request.colorWidth > 0 && m_frames > 0) {
    frameset.hasColor = true;
    frameset.color.width = m_request.colorWidth;
    frameset.color.height = m_request.colorHeight;
    frameset.color.format = EFrameFormat::kBGR8;
    frameset.color.intrinsics = m_colorIntrinsics;
  }
  ++m_frames;
  return true;
}
