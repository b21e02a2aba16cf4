// Cost of one QR scan (grey conversion + ZBar with every symbology) on a camera-like frame with
// one printed code, against its floor: the bare ZBar scan of the same grey picture with only
// the QR symbology enabled. Also the capture thread's share: a Kick that is passed over while a
// scan is busy, and one that starts a scan (copy of the frame + thread start).

#include <benchmark/benchmark.h>
#include <zbar.h>

#include <string>

#include <opencv2/imgproc.hpp>

#include "markers/qr_detector.h"
#include "testing/qr_test_pattern.h"
#include "testing/scripted_message_box.h"

namespace {

using namespace zbar;

const char* const kText = "SHEET 0042 / 1000x700";

cv::Mat Scene(benchmark::State& state) {
  return veldrin::RenderQRScene(
      {static_cast<int>(state.range(0)), static_cast<int>(state.range(1))}, kText, 7);
}

void BM_ZbarQrOnlyFloor(benchmark::State& state) {
  cv::Mat grey;
  cv::cvtColor(Scene(state), grey, cv::COLOR_BGR2GRAY);
  zbar_image_scanner_t* scanner = zbar_image_scanner_create();
  zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
  zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
  for (auto _ : state) {
    zbar_image_t* image = zbar_image_create();
    zbar_image_set_format(image, zbar_fourcc('Y', '8', '0', '0'));
    zbar_image_set_size(image, static_cast<unsigned>(grey.cols), static_cast<unsigned>(grey.rows));
    zbar_image_set_data(image, grey.data, grey.total(), nullptr);
    if (zbar_scan_image(scanner, image) != 1) state.SkipWithError("code not found");
    zbar_image_destroy(image);
  }
  zbar_image_scanner_destroy(scanner);
}

void BM_ScanQRCodes(benchmark::State& state) {
  const cv::Mat scene = Scene(state);
  for (auto _ : state) {
    if (veldrin::ScanQRCodes(scene).empty()) state.SkipWithError("code not found");
  }
}

// What the capture thread pays per frame while a scan (or its box) is in progress.
void BM_KickWhileBusy(benchmark::State& state) {
  auto box = std::make_shared<veldrin::CScriptedMessageBox>();
  CScopedMessageBoxService scope(box);
  box->SetHold(true);
  const cv::Mat scene = Scene(state);
  CQRDetector detector(nullptr, CQRDetector::kEveryFrame);
  detector.Kick(&scene);
  box->WaitForOpen(1, std::chrono::seconds(10));
  for (auto _ : state) detector.Kick(&scene);
  box->SetHold(false);
}

// What the capture thread pays for a frame that starts a scan, against a bare clone.
void BM_KickStartingAScan(benchmark::State& state) {
  CScopedMessageBoxService scope(std::make_shared<veldrin::CScriptedMessageBox>());
  const cv::Mat blank(static_cast<int>(state.range(1)), static_cast<int>(state.range(0)), CV_8UC3,
                      cv::Scalar::all(255));
  CQRDetector detector(nullptr, CQRDetector::kEveryFrame);
  for (auto _ : state) {
    detector.Kick(&blank);
    state.PauseTiming();
    while (detector.IsBusy()) {
    }
    state.ResumeTiming();
  }
}

void BM_CloneFloor(benchmark::State& state) {
  const cv::Mat blank(static_cast<int>(state.range(1)), static_cast<int>(state.range(0)), CV_8UC3,
                      cv::Scalar::all(255));
  for (auto _ : state) benchmark::DoNotOptimize(blank.clone().data);
}

#define VELDRIN_SIZES ->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond)
BENCHMARK(BM_ZbarQrOnlyFloor) VELDRIN_SIZES;
BENCHMARK(BM_ScanQRCodes) VELDRIN_SIZES;
BENCHMARK(BM_CloneFloor)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KickStartingAScan)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KickWhileBusy)->Args({1920, 1080})->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
