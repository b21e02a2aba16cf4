#include "workstation/height_true_table.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>

#include "workstation/fixed_point_remap.h"
#include "workstation/parallel_rows.h"

namespace {

// A surface point is hidden when the line of sight to the colour camera passes this far below
// the height map somewhere: more than the averaged map's noise. (Half a cell along a line of
// sight from a surface rises far more than this, so no surface hides itself.)
constexpr double kHiddenMarginMm = 0.5;
constexpr int kRemapBandRows = 32;
constexpr int kFirstStep = 3;  // in half cells
// Far outside any frame: the remap reads its border there, and the fill is painted over it.
constexpr int kOutsideFixed = -(1 << 20);

void StoreFixed(double u, double v, short* xy, ushort* fraction) {
  constexpr double kTab = cv::INTER_TAB_SIZE;
  const double su = u * kTab, sv = v * kTab;
  const int ix = std::abs(su) < 1e8 ? static_cast<int>(std::lrint(su)) : kOutsideFixed;
  const int iy = std::abs(sv) < 1e8 ? static_cast<int>(std::lrint(sv)) : kOutsideFixed;
  xy[0] = static_cast<short>(std::clamp(ix >> cv::INTER_BITS, -32768, 32767));
  xy[1] = static_cast<short>(std::clamp(iy >> cv::INTER_BITS, -32768, 32767));
  *fraction = static_cast<ushort>((iy & (cv::INTER_TAB_SIZE - 1)) * cv::INTER_TAB_SIZE +
                                  (ix & (cv::INTER_TAB_SIZE - 1)));
}

// Per cell of the height map: can the colour camera see the surface there? The line of sight is
// followed towards the camera in half-cell steps until it rises above the map's highest point.
cv::Mat HiddenCells(const SMediaFrame& frame, const SMediaHeightMap& map) {
  cv::Mat hidden(map.heights.size(), CV_8U, cv::Scalar(0));
  if (map.Empty() || map.maxMm <= kHiddenMarginMm) return hidden;
  const cv::Point3d eye = veldrin::DepthPointToMedia(frame, frame.colorCentre);
  const double cell = map.cellMm;
  veldrin::ParallelRows(cv::Range(0, map.heights.rows), [&](const cv::Range& rows) {
    for (int i = rows.start; i < rows.end; ++i) {
      const float* h = map.heights.ptr<float>(i);
      uchar* out = hidden.ptr<uchar>(i);
      for (int j = 0; j < map.heights.cols; ++j) {
        const double sx = (j + 0.5) * cell, sy = (i + 0.5) * cell, sz = h[j];
        const double rise = eye.z - sz;
        if (!(rise > 0.0) || sz + kHiddenMarginMm >= map.maxMm) continue;
        const double dx = eye.x - sx, dy = eye.y - sy;
        const double reach = (map.maxMm - sz) / rise;  // share of the way to the camera
        const double across = std::hypot(dx, dy) * reach;
        const int steps = static_cast<int>(std::ceil(across / (0.5 * cell)));
        // The neighbouring cells are left out: a cell across a top's edge holds a height between
        // the top and the table, and the top beside it must not hide it.
        for (int k = kFirstStep; k <= steps; ++k) {
          const double t = reach * k / steps;
          if (map.At(sx + t * dx, sy + t * dy) > sz + t * rise + kHiddenMarginMm) {
            out[j] = 1;
            break;
          }
        }
      }
    }
  });
  return hidden;
}

}  // namespace

namespace veldrin {

std::array<cv::Vec3d, 4> CornerRays(const SHeightTrueCamera& camera,
                                    const std::vector<cv::Point2f>& corners) {
  std::array<cv::Vec3d, 4> rays;
  for (std::size_t i = 0; i < 4 && i < corners.size(); ++i) {
    if (camera.lens != nullptr) {
      rays[i] = camera.lens->matrix.inv() * cv::Vec3d(corners[i].x, corners[i].y, 1.0);
    } else {
      rays[i] = ColorPixelRay(camera.calibration.colorIntrinsics, corners[i]);
    }
  }
  return rays;
}

cv::Point2d ColorCameraPointToFramePixel(const SHeightTrueCamera& camera, const cv::Vec3d& p) {
  if (!(p[2] > 0.0)) return {-1e9, -1e9};
  if (camera.lens != nullptr) {
    const cv::Vec3d ideal = camera.lens->matrix * (p / p[2]);
    return DistortPixel(*camera.lens, cv::Point2d(ideal[0], ideal[1]));
  }
  const cv::Point2f q = ProjectPointToPixel(
      camera.calibration.colorIntrinsics,
      cv::Point3f(static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])));
  return {q.x, q.y};
}

void BuildHeightTrueTables(const SMediaFrame& frame, const SMediaHeightMap& map,
                           const SHeightTrueCamera& camera, cv::Size frameSize, cv::Size outSize,
                           SHeightTrueTables& tables) {
  tables.frameSize = frameSize;
  tables.map1.create(outSize, CV_16SC2);
  tables.map2.create(outSize, CV_16UC1);
  tables.hiddenRuns.clear();
  if (outSize.empty()) return;
  const cv::Mat hidden = HiddenCells(frame, map);
  // Depth-camera points into the colour camera: R p + t, with the media frame's vectors turned
  // once, so a pixel costs a homography and a projection.
  const SCameraExtrinsics& e = camera.calibration.depthToColor;
  const cv::Matx33d r(e.rotation[0], e.rotation[3], e.rotation[6], e.rotation[1], e.rotation[4],
                      e.rotation[7], e.rotation[2], e.rotation[5], e.rotation[8]);
  const cv::Vec3d origin =
      r * frame.origin + cv::Vec3d(e.translation[0], e.translation[1], e.translation[2]);
  const cv::Vec3d axisU = r * frame.axisU, axisV = r * frame.axisV, up = r * frame.up / 1000.0;
  const double sx = frame.widthMm / outSize.width, sy = frame.heightMm / outSize.height;
  const cv::Matx33d& h = frame.mediaToPlane;
  // A pinhole camera (no lens, no distortion) makes the whole mapping projective: the point at
  // media m and height z is A m + z w(m) up in homogeneous colour-camera coordinates, so each
  // pixel costs a few multiplications and one division.
  const SCameraIntrinsics& in = camera.calibration.colorIntrinsics;
  const bool pinhole =
      camera.lens == nullptr &&
      std::all_of(std::begin(in.coeffs), std::end(in.coeffs), [](float c) { return c == 0.f; }) &&
      in.model != EDistortion::kFTheta && in.model != EDistortion::kKannalaBrandt4;
  const cv::Matx33d a = cv::Matx33d(axisU[0], axisV[0], origin[0], axisU[1], axisV[1], origin[1],
                                    axisU[2], axisV[2], origin[2]) *
                        h;
  // The map's cell of each output column; -1 beyond the map.
  std::vector<int> cellOfColumn(static_cast<std::size_t>(outSize.width), -1);
  if (!map.Empty()) {
    for (int x = 0; x < outSize.width; ++x) {
      const auto j = static_cast<int>(x * sx / map.cellMm);
      if (j < map.heights.cols) cellOfColumn[static_cast<std::size_t>(x)] = j;
    }
  }
  std::vector<std::vector<cv::Vec3i>> runsPerRow(static_cast<std::size_t>(outSize.height));
  ParallelRows(cv::Range(0, outSize.height), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      short* xy = tables.map1.ptr<short>(y);
      ushort* fraction = tables.map2.ptr<ushort>(y);
      const double my = y * sy;
      const int cellRow = map.Empty() ? -1 : static_cast<int>(my / map.cellMm);
      const bool inMap = cellRow >= 0 && cellRow < map.heights.rows;
      const uchar* hiddenRow = inMap ? hidden.ptr<uchar>(cellRow) : nullptr;
      const float* heightRow = inMap ? map.heights.ptr<float>(cellRow) : nullptr;
      const cv::Vec3d rowStart(a(0, 1) * my + a(0, 2), a(1, 1) * my + a(1, 2),
                               a(2, 1) * my + a(2, 2));
      const cv::Vec3d step(a(0, 0) * sx, a(1, 0) * sx, a(2, 0) * sx);
      const double wStart = h(2, 1) * my + h(2, 2), wStep = h(2, 0) * sx;
      int runStart = -1;
      for (int x = 0; x <= outSize.width; ++x) {
        bool isHidden = false;
        if (x < outSize.width) {
          const int cell = heightRow != nullptr ? cellOfColumn[static_cast<std::size_t>(x)] : -1;
          isHidden = cell >= 0 && hiddenRow[cell] != 0;
          const double z = cell >= 0 ? heightRow[cell] : 0.0;
          short* entry = xy + 2 * static_cast<std::ptrdiff_t>(x);
          if (isHidden) {
            StoreFixed(-1e9, -1e9, entry, fraction + x);
          } else if (pinhole) {
            const double w = wStart + wStep * x;
            const cv::Vec3d q = rowStart + step * x + (z * w) * up;
            StoreFixed(in.fx * q[0] / q[2] + in.ppx, in.fy * q[1] / q[2] + in.ppy, entry,
                       fraction + x);
          } else {
            const double mx = x * sx;
            const double w = h(2, 0) * mx + h(2, 1) * my + h(2, 2);
            const double u = (h(0, 0) * mx + h(0, 1) * my + h(0, 2)) / w;
            const double v = (h(1, 0) * mx + h(1, 1) * my + h(1, 2)) / w;
            const cv::Point2d pixel =
                ColorCameraPointToFramePixel(camera, origin + u * axisU + v * axisV + z * up);
            StoreFixed(pixel.x, pixel.y, entry, fraction + x);
          }
        }
        if (isHidden && runStart < 0) runStart = x;
        if (!isHidden && runStart >= 0) {
          runsPerRow[static_cast<std::size_t>(y)].emplace_back(y, runStart, x);
          runStart = -1;
        }
      }
    }
  });
  for (const auto& row : runsPerRow) {
    tables.hiddenRuns.insert(tables.hiddenRuns.end(), row.begin(), row.end());
  }
}

void RemapHeightTrue(const cv::Mat& frame, const SHeightTrueTables& tables, cv::Mat& out) {
  if (out.u != nullptr && out.u->refcount > 1) out.release();
  out.create(tables.map1.size(), frame.type());
  const int bands = (out.rows + kRemapBandRows - 1) / kRemapBandRows;
  ParallelRows(cv::Range(0, bands), [&](const cv::Range& range) {
    for (int band = range.start; band < range.end; ++band) {
      const int top = band * kRemapBandRows;
      RemapRows(frame, out, tables.map1, tables.map2, top,
                std::min(out.rows, top + kRemapBandRows));
    }
  });
  if (frame.type() != CV_8UC3) return;
  for (const cv::Vec3i& run : tables.hiddenRuns) {
    cv::Vec3b* row = out.ptr<cv::Vec3b>(run[0]);
    std::fill(row + run[1], row + run[2], kHiddenFill);
  }
}

}  // namespace veldrin
