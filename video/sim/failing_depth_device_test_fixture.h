#pragma once

// A simulated depth camera of the table scene with a scripted end, for the tests of the engine
// and of the windows above it.

#include <chrono>
#include <thread>

#include "video/sim/simulated_depth_device.h"

namespace veldrin_test {

// Lost (CDeviceLostError "the depth camera was unplugged") after `framesBeforeLoss` framesets,
// never when it is negative; a starving camera delivers nothing at all.
class CFailingDepthDevice : public CDepthDevice {
 public:
  explicit CFailingDepthDevice(int framesBeforeLoss, bool starve = false,
                               const STableSceneParams& params = {}, bool paced = true)
      : m_left(framesBeforeLoss), m_starve(starve), m_inner(params, paced) {}
  void Start(const SDepthStreamRequest& r) override { m_inner.Start(r); }
  bool TryWaitForFrameset(std::chrono::milliseconds limit, SDepthFrameset& f) override {
    if (m_starve) {
      std::this_thread::sleep_for(limit);
      return false;
    }
    if (m_left >= 0 && m_left-- == 0) throw CDeviceLostError("the depth camera was unplugged");
    return m_inner.TryWaitForFrameset(limit, f);
  }
  float GetDepthScale() override { return m_inner.GetDepthScale(); }
  SCameraExtrinsics GetDepthToColorExtrinsics() override {
    return m_inner.GetDepthToColorExtrinsics();
  }
  SCameraExtrinsics GetColorToDepthExtrinsics() override {
    return m_inner.GetColorToDepthExtrinsics();
  }
  void Stop() override { m_inner.Stop(); }

 private:
  int m_left;
  bool m_starve;
  CSimulatedDepthDevice m_inner;
};

}  // namespace veldrin_test
