#pragma once

#include <opencv2/core.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "video/depth_device.h"
#include "video/sim/scene_world.h"

// The depth camera of the table scene: Z16 depth in 1 mm units of the scene's world, with noise
// growing with the square of the distance, quantisation, no depth at depth edges and in a band at
// the left edge, paced at the requested rate. Its colour stream is the scene's colour camera,
// whose pictures come through the ordinary virtual camera; here it only reports its geometry.
// The boxes follow the live scene changes (SetLiveSceneBoxes) from the next frame on.
// Not thread-safe: one thread at a time, like a vendor pipeline.
class CSimulatedDepthDevice : public CDepthDevice {
 public:
  // `bPaced` false delivers frames as fast as they are asked for (for tests that measure many).
  explicit CSimulatedDepthDevice(const STableSceneParams& params, bool bPaced = true);

  void Start(const SDepthStreamRequest& request) override;
  bool TryWaitForFrameset(std::chrono::milliseconds limit, SDepthFrameset& frameset) override;
  float GetDepthScale() override { return kUnits; }
  SCameraExtrinsics GetDepthToColorExtrinsics() override { return m_world.DepthToColor(); }
  SCameraExtrinsics GetColorToDepthExtrinsics() override { return m_world.ColorToDepth(); }
  void Stop() override { m_started = false; }

  const CSceneWorld& World() const { return m_world; }

  static constexpr float kUnits = 0.001f;

 private:
  void Prepare(const std::vector<SSceneBox>& boxes);
  void Render();

  CSceneWorld m_world;
  bool m_paced;
  bool m_started = false;
  SDepthStreamRequest m_request;
  SCameraIntrinsics m_colorIntrinsics;
  std::chrono::steady_clock::time_point m_next;
  std::chrono::nanoseconds m_period{};
  std::uint64_t m_frames = 0;
  unsigned m_generation = 0;
  bool m_prepared = false;

  // Per box: the exact depth with the holes already cut (0), and each pixel's noise RMS.
  cv::Mat m_clean;  // CV_32F, millimetres
  cv::Mat m_sigma;  // CV_32F, millimetres
  cv::Mat m_noise;  // CV_32F, unit normal noise of the current frame
  std::vector<std::uint16_t> m_frame;
  cv::RNG m_rng;
};
