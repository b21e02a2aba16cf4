#pragma once

// Pictures with QR codes for the tests and benchmarks (link libqrencode). Header-only so that
// the library itself does not depend on an encoder.

#include <qrencode.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace veldrin {

// Black-on-white code of `text` with its 4-module quiet zone, `module` pixels per module
// (8-bit grey). Empty when the text cannot be encoded.
inline cv::Mat RenderQRCode(const std::string& text, int module) {
  std::unique_ptr<QRcode, void (*)(QRcode*)> code(
      QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M), &QRcode_free);
  if (!code) return {};
  const int quiet = 4;
  const int side = code->width + 2 * quiet;
  cv::Mat modules(side, side, CV_8UC1, cv::Scalar(255));
  for (int y = 0; y < code->width; ++y) {
    for (int x = 0; x < code->width; ++x) {
      if (code->data[y * code->width + x] & 1) modules.at<uchar>(y + quiet, x + quiet) = 0;
    }
  }
  cv::Mat scaled;
  cv::resize(modules, scaled, {}, module, module, cv::INTER_NEAREST);
  return scaled;
}

// Copies a grey code into a BGR picture with its top-left corner at `at`.
inline void PasteQRCode(cv::Mat& bgr, const cv::Mat& code, cv::Point at) {
  cv::Mat bgrCode;
  cv::cvtColor(code, bgrCode, cv::COLOR_GRAY2BGR);
  bgrCode.copyTo(bgr(cv::Rect(at, code.size())));
}

// A code printed on a sheet lying on a textured table, seen at an angle by a camera: the sheet
// is warped in perspective, lit unevenly, blurred a little and covered with sensor noise.
inline cv::Mat RenderQRScene(cv::Size size, const std::string& text, int seed = 1) {
  cv::RNG rng(static_cast<uint64_t>(seed));
  cv::Mat table(size, CV_8UC3);
  // Coarse blotches stand in for wood grain and clutter.
  cv::Mat coarse(size.height / 16 + 1, size.width / 16 + 1, CV_8UC3);
  rng.fill(coarse, cv::RNG::UNIFORM, cv::Scalar(60, 70, 80), cv::Scalar(120, 130, 150));
  cv::resize(coarse, table, size, 0, 0, cv::INTER_CUBIC);

  const cv::Mat code = RenderQRCode(text, 8);
  cv::Mat sheet(code.rows + 80, code.cols + 80, CV_8UC3, cv::Scalar(235, 240, 240));
  PasteQRCode(sheet, code, {40, 40});

  const float w = static_cast<float>(size.width), h = static_cast<float>(size.height);
  const float sw = static_cast<float>(sheet.cols), sh = static_cast<float>(sheet.rows);
  const std::vector<cv::Point2f> from = {{0, 0}, {sw, 0}, {sw, sh}, {0, sh}};
  const float s = 0.55f * std::min(w, h);
  const cv::Point2f c(0.45f * w, 0.5f * h);
  const std::vector<cv::Point2f> to = {{c.x - 0.42f * s, c.y - 0.40f * s},
                                       {c.x + 0.48f * s, c.y - 0.46f * s},
                                       {c.x + 0.55f * s, c.y + 0.50f * s},
                                       {c.x - 0.50f * s, c.y + 0.42f * s}};
  cv::warpPerspective(sheet, table, cv::getPerspectiveTransform(from, to), size, cv::INTER_LINEAR,
                      cv::BORDER_TRANSPARENT);

  // Light falling off toward one side, then optics and sensor.
  cv::Mat light(size, CV_32FC3);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const float f = 1.0f - 0.35f * static_cast<float>(x) / w;
      light.at<cv::Vec3f>(y, x) = cv::Vec3f(f, f, f);
    }
  }
  cv::Mat lit;
  table.convertTo(lit, CV_32FC3);
  lit = lit.mul(light);
  lit.convertTo(table, CV_8UC3);
  cv::GaussianBlur(table, table, {3, 3}, 0.8);
  cv::Mat noise(size, CV_16SC3);
  rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(6));
  cv::Mat noisy;
  cv::add(table, noise, noisy, cv::noArray(), CV_8UC3);
  return noisy;
}

}  // namespace veldrin
