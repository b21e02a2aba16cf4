#include "workstation/status_model.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = CStatusModel::Clock;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(StatusModel, TellsHostCameraRatesAndTheLastProblem) {
  CStatusModel status;
  const Clock::time_point t0 = Clock::now();
  std::string text = status.Text(t0);
  EXPECT_TRUE(Has(text, "Host: not attached")) << text;
  EXPECT_TRUE(Has(text, "Camera: none")) << text;

  status.SetHostAttached("rip-1", "/srv/rip/");
  status.SetMediaSize(297, 210);
  status.SetCamera("Cam 0 (Table camera)");
  status.SetCameraRunning(true, t0);
  for (int i = 0; i < 15; ++i) {
    status.CountFrame(1280, 720, t0 + i * 66ms);
    if (i % 2 == 0) status.CountPublished();
  }
  status.Text(t0);
  text = status.Text(t0 + 1s);
  EXPECT_TRUE(Has(text, "Host: rip-1, /srv/rip/, 297 x 210 mm, 8 pictures published (8.0/s)"))
      << text;
  EXPECT_TRUE(Has(text, "Camera: Cam 0 (Table camera), 1280 x 720, 15.0 fps")) << text;
  EXPECT_FALSE(Has(text, "Problem")) << text;

  status.ReportProblem("The folder is not writable.");
  EXPECT_TRUE(Has(status.Text(t0 + 1s), "Problem: The folder is not writable.")) << text;
  status.ClearProblem("something else");
  EXPECT_EQ(status.Problem(), "The folder is not writable.");
  status.ClearProblem("The folder is not writable.");
  EXPECT_EQ(status.Problem(), "");

  // Information is shown as it is; the depth camera's rate while its stream runs.
  status.ReportNotice("Plane saved.");
  status.SetDepthRunning(true);
  for (int i = 0; i < 30; ++i) status.CountDepthFrame();
  text = status.Text(t0 + 2s);
  EXPECT_TRUE(Has(text, " fps, depth 30.0 fps   Plane saved.")) << text;
  EXPECT_FALSE(Has(text, "Problem")) << text;
  status.SetDepthRunning(false);
  status.ClearNotice("Plane saved.");
  EXPECT_FALSE(Has(status.Text(t0 + 2s), "depth")) << text;
}

TEST(StatusModel, CameraWithoutFramesForTwoSecondsIsAProblemUntilFramesCome) {
  CStatusModel status;
  const Clock::time_point t0 = Clock::now();
  status.SetCamera("Cam 1 (Still)");
  status.SetCameraRunning(true, t0);
  status.ReportProblem("older problem");
  EXPECT_FALSE(status.CameraStalled(t0 + 1900ms));
  EXPECT_TRUE(status.CameraStalled(t0 + 2s));
  EXPECT_TRUE(Has(status.Text(t0 + 3s), "no frames for 3 s"));
  status.CountFrame(640, 480, t0 + 3s);
  EXPECT_FALSE(status.CameraStalled(t0 + 3500ms));
  EXPECT_TRUE(Has(status.Text(t0 + 3500ms), "Problem: older problem"));
  // A stopped camera (snapshot mode) is not stalled.
  status.SetCameraRunning(false, t0 + 4s);
  EXPECT_FALSE(status.CameraStalled(t0 + 60s));
}

}  // namespace
