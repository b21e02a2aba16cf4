#include "workstation/lens.h"

#include <json/json.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <vector>

#include "platform/file_io.h"
#include "platform/json_reader.h"
#include "workstation/calibration_store.h"
#include "workstation/parallel_rows.h"

namespace {

// The model's terms in the form the per-pixel loop uses.
struct SLensTerms {
  double fx, fy, cx, cy, skew;
  double k1, k2, p1, p2, k3;
  double maxRadius2;

  explicit SLensTerms(const SLensModel& lens)
      : fx(lens.matrix(0, 0)),
        fy(lens.matrix(1, 1)),
        cx(lens.matrix(0, 2)),
        cy(lens.matrix(1, 2)),
        skew(lens.matrix(0, 1)),
        k1(lens.distortion[0]),
        k2(lens.distortion[1]),
        p1(lens.distortion[2]),
        p2(lens.distortion[3]),
        k3(lens.distortion[4]),
        maxRadius2(veldrin::MonotonicRadius2(lens)) {}

  // False when the pixel lies beyond the model's valid radius.
  bool Distort(double px, double py, double& ox, double& oy) const {
    const double yn = (py - cy) / fy;
    const double xn = (px - cx - skew * yn) / fx;
    const double r2 = xn * xn + yn * yn;
    if (r2 > maxRadius2) return false;
    const double radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3));
    const double xd = xn * radial + 2.0 * p1 * xn * yn + p2 * (r2 + 2.0 * xn * xn);
    const double yd = yn * radial + p1 * (r2 + 2.0 * yn * yn) + 2.0 * p2 * xn * yn;
    ox = fx * xd + skew * yd + cx;
    oy = fy * yd + cy;
    return true;
  }
};

// Far enough outside any frame that the fixed-point table saturates to "outside", yet an int.
constexpr double kOutside = -1.0e8;

constexpr int kFractionMask = cv::INTER_TAB_SIZE - 1;

// Whole pixel and 1/32 fraction of a position given as 32 times the pixel, as cv::convertMaps
// stores them.
inline void StoreFixed(int ix, int iy, short* xy, ushort* fraction) {
  xy[0] = static_cast<short>(std::clamp(ix >> cv::INTER_BITS, -32768, 32767));
  xy[1] = static_cast<short>(std::clamp(iy >> cv::INTER_BITS, -32768, 32767));
  *fraction = static_cast<ushort>((iy & kFractionMask) * cv::INTER_TAB_SIZE + (ix & kFractionMask));
}

// One row of the table without a lens: output pixel x comes from ((ax x + rowX) / w,
// (ay x + rowY) / w) with w = aw x + rowW. Double precision and round-to-nearest-even in the
// order the perspective warp computes its positions, so the picture equals the warp's.
struct SPlainRow {
  double ax, ay, aw, rowX, rowY, rowW;
};

__attribute__((always_inline)) inline void FillPlainRowBody(const SPlainRow& r, int width,
                                                            short* xy, ushort* fraction) {
  constexpr double kTab = cv::INTER_TAB_SIZE;
  for (int x = 0; x < width; ++x) {
    const double w = r.aw * x + r.rowW;
    const double scale = kTab / w;
    const double u = (r.ax * x + r.rowX) * scale, v = (r.ay * x + r.rowY) * scale;
    // Behind the camera, or so near the horizon that the position is unbounded.
    // Bitwise, not logical, so the loop has no branches to keep it from being vectorised.
    const bool inside = static_cast<int>(w > 0) & static_cast<int>(std::abs(u) < -kOutside) &
                        static_cast<int>(std::abs(v) < -kOutside);
    const int ix = static_cast<int>(inside ? std::nearbyint(u) : kOutside);
    const int iy = static_cast<int>(inside ? std::nearbyint(v) : kOutside);
    StoreFixed(ix, iy, xy, fraction);
    xy += 2;
    ++fraction;
  }
}

// One row of the table with a lens, in single precision (ample for pixel positions): the
// normalised camera coordinates of output pixel x are ((ax x + rowX) / w, (ay x + rowY) / w)
// with w = aw x + rowW; the rest are the lens terms, the focal lengths and centre times 32.
struct SLensRow {
  float ax, ay, aw, rowX, rowY, rowW;
  float k1, k2, k3, p1, p2, maxR2;
  float sfx, sfy, sskew, scx, scy;
};

// Runs per pixel of every rebuild: branch-free so that the compiler vectorises it.
__attribute__((always_inline)) inline void FillLensRowBody(const SLensRow& r, int width, short* xy,
                                                           ushort* fraction) {
  constexpr float kLimit = static_cast<float>(-kOutside);
  constexpr float kFar = static_cast<float>(kOutside);
  for (int x = 0; x < width; ++x) {
    const float fx = static_cast<float>(x);
    const float w = r.aw * fx + r.rowW;
    const float inv = 1.0f / w;
    const float xn = (r.ax * fx + r.rowX) * inv, yn = (r.ay * fx + r.rowY) * inv;
    const float r2 = xn * xn + yn * yn;
    const float radial = 1.0f + r2 * (r.k1 + r2 * (r.k2 + r2 * r.k3));
    const float xd = xn * radial + 2.0f * r.p1 * xn * yn + r.p2 * (r2 + 2.0f * xn * xn);
    const float yd = yn * radial + r.p1 * (r2 + 2.0f * yn * yn) + 2.0f * r.p2 * xn * yn;
    const float px = r.sfx * xd + r.sskew * yd + r.scx, py = r.sfy * yd + r.scy;
    const bool inside = static_cast<int>(w > 0) & static_cast<int>(r2 <= r.maxR2) &
                        static_cast<int>(std::abs(px) < kLimit) &
                        static_cast<int>(std::abs(py) < kLimit);
    const float sx = inside ? px : kFar, sy = inside ? py : kFar;
    // Rounded half away from zero by truncation: no call, nothing to stop vectorising.
    const int ix = static_cast<int>(sx + (sx >= 0 ? 0.5f : -0.5f));
    const int iy = static_cast<int>(sy + (sy >= 0 ? 0.5f : -0.5f));
    StoreFixed(ix, iy, xy, fraction);
    xy += 2;
    ++fraction;
  }
}

// Both rows built for AVX2 as well as the baseline. The choice is made at run time rather than by
// the loader (target_clones): a loader-time resolver runs before sanitizer runtimes are ready.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void FillPlainRowAvx2(const SPlainRow& r, int width, short* xy,
                                                      ushort* fraction) {
  FillPlainRowBody(r, width, xy, fraction);
}
__attribute__((target("avx2"))) void FillLensRowAvx2(const SLensRow& r, int width, short* xy,
                                                     ushort* fraction) {
  FillLensRowBody(r, width, xy, fraction);
}
bool HasAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
  return avx2;
}
#endif

void FillPlainRow(const SPlainRow& r, int width, short* xy, ushort* fraction) {
#if defined(__x86_64__) || defined(__i386__)
  if (HasAvx2()) return FillPlainRowAvx2(r, width, xy, fraction);
#endif
  FillPlainRowBody(r, width, xy, fraction);
}

void FillLensRow(const SLensRow& r, int width, short* xy, ushort* fraction) {
#if defined(__x86_64__) || defined(__i386__)
  if (HasAvx2()) return FillLensRowAvx2(r, width, xy, fraction);
#endif
  FillLensRowBody(r, width, xy, fraction);
}

}  // namespace

namespace veldrin {

bool IsUsableLens(const SLensModel& lens) {
  // Larger than any camera frame: such a size would only make the tables huge.
  constexpr int kMaxSide = 16384;
  if (lens.size.width <= 0 || lens.size.height <= 0 || lens.size.width > kMaxSide ||
      lens.size.height > kMaxSide) {
    return false;
  }
  for (int i = 0; i < 9; ++i) {
    if (!std::isfinite(lens.matrix.val[i])) return false;
  }
  for (int i = 0; i < 5; ++i) {
    if (!std::isfinite(lens.distortion[i])) return false;
  }
  if (lens.matrix(2, 2) != 1.0 || lens.matrix(1, 0) != 0 || lens.matrix(2, 0) != 0 ||
      lens.matrix(2, 1) != 0) {
    return false;
  }
  // Out of these bounds no picture survives the correction (every pixel maps outside the frame)
  // or the arithmetic overflows; no camera the tool can show is that far out.
  const double width = lens.size.width, height = lens.size.height;
  const auto focalOk = [&](double f) {
    return f >= kMinFocalPerWidth * width && f <= kMaxFocalPerWidth * width;
  };
  const double fx = lens.matrix(0, 0), fy = lens.matrix(1, 1);
  const double cx = lens.matrix(0, 2), cy = lens.matrix(1, 2);
  if (!focalOk(fx) || !focalOk(fy) || std::fabs(lens.matrix(0, 1)) > fx) return false;
  if (cx < -width || cx > 2 * width || cy < -height || cy > 2 * height) return false;
  for (const int i : {0, 1, 4}) {
    if (std::fabs(lens.distortion[i]) > kMaxRadialCoefficient) return false;
  }
  return std::fabs(lens.distortion[2]) <= kMaxTangentialCoefficient &&
         std::fabs(lens.distortion[3]) <= kMaxTangentialCoefficient;
}

std::string LensFileName(const std::string& camera) {
  if (!CCalibrationStore::IsValidName(camera)) return "";
  const std::string name = camera + kLensExtension;
  return name.size() <= NAME_MAX ? name : "";
}

std::string SerializeLens(const SLensModel& lens) {
  Json::Value root(Json::objectValue);
  root["camera"] = lens.camera;
  root["width"] = lens.size.width;
  root["height"] = lens.size.height;
  Json::Value matrix(Json::arrayValue);
  for (int row = 0; row < 3; ++row) {
    Json::Value values(Json::arrayValue);
    for (int col = 0; col < 3; ++col) values.append(lens.matrix(row, col));
    matrix.append(values);
  }
  root["matrix"] = matrix;
  Json::Value distortion(Json::arrayValue);
  for (int i = 0; i < 5; ++i) distortion.append(lens.distortion[i]);
  root["distortion"] = distortion;
  root["rms_px"] = lens.rmsPx;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  return Json::writeString(builder, root) + "\n";
}

bool WriteLensFile(const std::string& path, const SLensModel& lens) {
  if (!IsUsableLens(lens)) return false;
  return WriteFileAtomically(path, SerializeLens(lens));
}

bool ReadLensFile(const std::string& path, SLensModel& lens, std::string& error) {
  // A lens file is a few hundred bytes.
  constexpr std::size_t kMaxSize = std::size_t{64} * 1024;
  std::string text;
  switch (ReadWholeFile(path, text, kMaxSize)) {
    case EFileRead::kRead:
      break;
    case EFileRead::kMissing:
      error = "no lens file " + path;
      return false;
    case EFileRead::kUnreadable:
      error = "cannot read " + path;
      return false;
  }
  Json::Value root;
  if (!ParseJsonText(text, root) || !root.isObject()) {
    error = path + ": not a lens file";
    return false;
  }
  const auto number = [](const Json::Value& v, double& out) {
    if (!v.isNumeric()) return false;
    out = v.asDouble();
    return std::isfinite(out);
  };
  SLensModel read;
  const Json::Value& matrix = root["matrix"];
  const Json::Value& distortion = root["distortion"];
  bool ok = root["camera"].isString() && root["width"].isInt() && root["height"].isInt() &&
            matrix.isArray() && matrix.size() == 3 && distortion.isArray() &&
            distortion.size() == 5 && number(root["rms_px"], read.rmsPx);
  for (Json::ArrayIndex row = 0; ok && row < 3; ++row) {
    ok = matrix[row].isArray() && matrix[row].size() == 3;
    for (Json::ArrayIndex col = 0; ok && col < 3; ++col) {
      ok = number(matrix[row][col], read.matrix(static_cast<int>(row), static_cast<int>(col)));
    }
  }
  for (Json::ArrayIndex i = 0; ok && i < 5; ++i) {
    ok = number(distortion[i], read.distortion[static_cast<int>(i)]);
  }
  if (!ok) {
    error = path + ": not a lens file";
    return false;
  }
  read.camera = root["camera"].asString();
  read.size = cv::Size(root["width"].asInt(), root["height"].asInt());
  if (!IsUsableLens(read) || read.rmsPx < 0) {
    error = path + ": the lens it holds cannot be used";
    return false;
  }
  lens = read;
  return true;
}

double MonotonicRadius2(const SLensModel& lens) {
  // d/dr of r * (1 + k1 r^2 + k2 r^4 + k3 r^6), as a polynomial in s = r^2; its first zero ends
  // the range. Past s = 4 (63 degrees off axis for a unit focal length) nothing is trusted.
  const double k1 = lens.distortion[0], k2 = lens.distortion[1], k3 = lens.distortion[4];
  constexpr double kLimit = 4.0;
  constexpr int kSteps = 4000;
  for (int i = 1; i <= kSteps; ++i) {
    const double s = kLimit * i / kSteps;
    if (1.0 + s * (3.0 * k1 + s * (5.0 * k2 + s * 7.0 * k3)) <= 0.0) {
      return kLimit * (i - 1) / kSteps;
    }
  }
  return kLimit;
}

cv::Point2d DistortPixel(const SLensModel& lens, cv::Point2d ideal) {
  cv::Point2d out(kOutside, kOutside);
  SLensTerms(lens).Distort(ideal.x, ideal.y, out.x, out.y);
  return out;
}

void BuildRemapTables(const cv::Matx33d& outputToCorrected, const SLensModel* lens,
                      cv::Size outSize, cv::Mat& map1, cv::Mat& map2) {
  map1.create(outSize, CV_16SC2);
  map2.create(outSize, CV_16UC1);
  if (outSize.empty()) return;

  // The matrix is a projective map: scale it so that the output's centre has a positive third
  // coordinate; pixels where it is not positive lie behind the camera.
  cv::Matx33d h = outputToCorrected;
  const double centreW = h(2, 0) * outSize.width / 2.0 + h(2, 1) * outSize.height / 2.0 + h(2, 2);
  if (centreW < 0) h = -h;

  const int width = outSize.width;
  constexpr double kTab = cv::INTER_TAB_SIZE;
  if (lens == nullptr) {
    ParallelRows(cv::Range(0, outSize.height), [&](const cv::Range& rows) {
      for (int y = rows.start; y < rows.end; ++y) {
        const SPlainRow row{h(0, 0),
                            h(1, 0),
                            h(2, 0),
                            h(0, 1) * y + h(0, 2),
                            h(1, 1) * y + h(1, 2),
                            h(2, 1) * y + h(2, 2)};
        FillPlainRow(row, width, map1.ptr<short>(y), map2.ptr<ushort>(y));
      }
    });
    return;
  }

  // With a lens the matrix is taken to normalised camera coordinates first.
  const SLensTerms t(*lens);
  const cv::Matx33f n = cv::Matx33f(lens->matrix.inv() * h);
  SLensRow terms;
  terms.ax = n(0, 0);
  terms.ay = n(1, 0);
  terms.aw = n(2, 0);
  terms.k1 = static_cast<float>(t.k1);
  terms.k2 = static_cast<float>(t.k2);
  terms.k3 = static_cast<float>(t.k3);
  terms.p1 = static_cast<float>(t.p1);
  terms.p2 = static_cast<float>(t.p2);
  terms.maxR2 = static_cast<float>(t.maxRadius2);
  terms.sfx = static_cast<float>(t.fx * kTab);
  terms.sfy = static_cast<float>(t.fy * kTab);
  terms.sskew = static_cast<float>(t.skew * kTab);
  terms.scx = static_cast<float>(t.cx * kTab);
  terms.scy = static_cast<float>(t.cy * kTab);
  ParallelRows(cv::Range(0, outSize.height), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      SLensRow row = terms;
      const float fy = static_cast<float>(y);
      row.rowX = n(0, 1) * fy + n(0, 2);
      row.rowY = n(1, 1) * fy + n(1, 2);
      row.rowW = n(2, 1) * fy + n(2, 2);
      FillLensRow(row, width, map1.ptr<short>(y), map2.ptr<ushort>(y));
    }
  });
}

}  // namespace veldrin
