// Cost of finding the media sheet in one camera frame (a turned, tilted sheet on a textured table
// with smaller objects beside it, blurred and noisy), against its floor: the grey conversion, the
// reduction and one outline search at a single grey level, which any outline-based search pays.

#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>

#include "markers/sheet_finder.h"
#include "testing/sheet_test_pattern.h"

namespace {

cv::Mat Picture(const benchmark::State& state) {
  veldrin_test::SSheetPicture s;
  s.size = {static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
  s.blurSigma = 1.2;
  const float w = static_cast<float>(s.size.width), h = static_cast<float>(s.size.height);
  s.corners = veldrin_test::SheetInView({0.47f * w, 0.48f * h}, 0.5 * w, 14, 22);
  return veldrin_test::RenderSheetPicture(s);
}

void BM_OutlineFloor(benchmark::State& state) {
  const cv::Mat picture = Picture(state);
  cv::Mat grey, small, binary;
  std::vector<std::vector<cv::Point>> contours;
  for (auto _ : state) {
    cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
    cv::resize(grey, small, cv::Size(720, grey.rows * 720 / grey.cols), 0, 0, cv::INTER_AREA);
    cv::threshold(small, binary, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    cv::findContours(binary, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    benchmark::DoNotOptimize(contours.data());
  }
}

void BM_FindSheet(benchmark::State& state) {
  const cv::Mat picture = Picture(state);
  std::vector<cv::Point2f> corners;
  for (auto _ : state) {
    if (!veldrin::FindSheet(picture, corners)) state.SkipWithError("no sheet found");
  }
}

BENCHMARK(BM_OutlineFloor)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindSheet)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
