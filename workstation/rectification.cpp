#include "workstation/rectification.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "workstation/fixed_point_remap.h"
#include "workstation/parallel_rows.h"

namespace {

// One decimal, rounded; a point '.' whatever the process locale, as the text also separates the
// two coordinates with a comma. Non-numbers read as 0 and values an int cannot hold are clamped,
// since corners come from user drags and stored files.
std::string OneDecimal(float value) {
  double v = std::isnan(value) ? 0.0 : static_cast<double>(value);
  v = std::clamp(v, double(std::numeric_limits<int>::min()),
                 double(std::numeric_limits<int>::max()));
  v = std::round(v * 10.0) / 10.0;
  if (v == 0.0) v = 0.0;  // no "-0.0"
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 1);
  return std::string(buffer, result.ptr);
}

// The output picture is bounded whatever the frame and media sizes: at most kMaxOutputSide
// pixels on a side and kMaxOutputBytes of pixel data; a larger size is scaled down keeping its
// aspect.
constexpr double kMaxOutputSide = 8192.0;
constexpr double kMaxOutputBytes = 64.0 * 1024 * 1024;

void CapOutputSize(float& width, float& height) {
  if (!(width > 0.0f) || !(height > 0.0f)) return;
  double w = width;
  double h = height;
  const double side = std::max(w, h);
  if (side <= kMaxOutputSide && 3.0 * w * h <= kMaxOutputBytes) return;
  if (side > kMaxOutputSide) {
    w = w * kMaxOutputSide / side;
    h = h * kMaxOutputSide / side;
  }
  if (3.0 * w * h > kMaxOutputBytes) {
    const double scale = std::sqrt(kMaxOutputBytes / (3.0 * w * h));
    w *= scale;
    h *= scale;
  }
  w = std::floor(w);
  h = std::floor(h);
  while (3.0 * w * h > kMaxOutputBytes) (w >= h ? w : h) -= 1.0;  // rounding: a step at most
  width = static_cast<float>(w);
  height = static_cast<float>(h);
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), format, args...);
  return buffer;
}

}  // namespace

void CRectification::ApplyCameraSettings(int frameWidth, int frameHeight) {
  std::lock_guard lock(m_mutex);
  m_frameWidth = frameWidth;
  m_frameHeight = frameHeight;
  m_outputWidth = static_cast<float>(frameWidth);
  m_outputHeight = static_cast<float>(frameHeight);
  CapOutputSize(m_outputWidth, m_outputHeight);
  m_maxOutputWidth = frameWidth;
  m_maxOutputHeight = frameHeight;
  GeometryChangedLocked();
}

bool CRectification::FollowFrameSize(int frameWidth, int frameHeight, cv::Size* previous) {
  std::lock_guard lock(m_mutex);
  if (frameWidth <= 0 || frameHeight <= 0 ||
      (frameWidth == m_frameWidth && frameHeight == m_frameHeight)) {
    return false;
  }
  if (previous) *previous = cv::Size(m_frameWidth, m_frameHeight);
  if (m_frameWidth > 0 && m_frameHeight > 0) {
    const float sx = static_cast<float>(frameWidth) / static_cast<float>(m_frameWidth);
    const float sy = static_cast<float>(frameHeight) / static_cast<float>(m_frameHeight);
    for (cv::Point2f& p : m_corners) p = cv::Point2f(p.x * sx, p.y * sy);
  }
  m_frameWidth = frameWidth;
  m_frameHeight = frameHeight;
  m_maxOutputWidth = frameWidth;
  m_maxOutputHeight = frameHeight;
  if (m_mediaSizeKnown && m_mediaWidthMm > 0 && m_mediaHeightMm > 0) {
    ComputeOutputSizeLocked();
  } else {
    m_outputWidth = static_cast<float>(frameWidth);
    m_outputHeight = static_cast<float>(frameHeight);
    CapOutputSize(m_outputWidth, m_outputHeight);
    if (!m_dstCorners.empty()) SetDstCornersLocked();
  }
  GeometryChangedLocked();
  return true;
}

cv::Size CRectification::GetFrameSize() const {
  std::lock_guard lock(m_mutex);
  return {m_frameWidth, m_frameHeight};
}

bool CRectification::CornersInsideFrame() const {
  std::lock_guard lock(m_mutex);
  const float w = static_cast<float>(m_frameWidth);
  const float h = static_cast<float>(m_frameHeight);
  return std::all_of(m_corners.begin(), m_corners.end(), [&](const cv::Point2f& p) {
    return p.x >= 0.0f && p.y >= 0.0f && p.x <= w && p.y <= h;
  });
}

void CRectification::SetDefaultCorners() {
  std::lock_guard lock(m_mutex);
  // Whole-pixel inset: the quarter is an integer division by design.
  const int left = m_frameWidth / 4;
  const int top = m_frameHeight / 4;
  const float x0 = static_cast<float>(left);
  const float y0 = static_cast<float>(top);
  const float x1 = static_cast<float>(m_frameWidth - left);
  const float y1 = static_cast<float>(m_frameHeight - top);
  m_corners = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
  GeometryChangedLocked();
}

bool CRectification::SetCorners(const std::vector<cv::Point2f>& corners) {
  if (corners.size() != 4) return false;
  std::lock_guard lock(m_mutex);
  m_corners = corners;
  GeometryChangedLocked();
  return true;
}

std::vector<cv::Point2f> CRectification::GetCorners() const {
  std::lock_guard lock(m_mutex);
  return m_corners;
}

std::vector<cv::Point2f> CRectification::GetDstCorners() const {
  std::lock_guard lock(m_mutex);
  return m_dstCorners;
}

std::array<std::string, 4> CRectification::FormatPointReadouts() const {
  const std::vector<cv::Point2f> corners = GetCorners();
  std::array<std::string, 4> texts;
  for (std::size_t i = 0; i < texts.size() && i < corners.size(); ++i) {
    texts[i] = "P." + std::to_string(i + 1) + " = (" + OneDecimal(corners[i].x) + ", " +
               OneDecimal(corners[i].y) + ")";
  }
  return texts;
}

bool CRectification::UpdateMediaSize(int mediaWidthMm, int mediaHeightMm) {
  std::lock_guard lock(m_mutex);
  if (m_mediaSizeKnown && mediaWidthMm == m_mediaWidthMm && mediaHeightMm == m_mediaHeightMm) {
    return false;
  }
  m_mediaSizeKnown = true;
  m_mediaWidthMm = mediaWidthMm;
  m_mediaHeightMm = mediaHeightMm;
  if (mediaWidthMm <= 0 || mediaHeightMm <= 0) return true;

  ComputeOutputSizeLocked();
  return true;
}

void CRectification::ComputeOutputSizeLocked() {
  // 64-bit products: the host may report any int, and the quotient never exceeds the maximum
  // output size, so the result is the exact truncated 32-bit rule without its overflow.
  std::int64_t width = 0;
  std::int64_t height = 0;
  if (m_mediaWidthMm < m_mediaHeightMm) {
    height = m_maxOutputHeight;
    width = height * m_mediaWidthMm / m_mediaHeightMm;
  } else {
    width = m_maxOutputWidth;
    height = width * m_mediaHeightMm / m_mediaWidthMm;
  }
  m_outputWidth = static_cast<float>(width);
  m_outputHeight = static_cast<float>(height);
  CapOutputSize(m_outputWidth, m_outputHeight);
  SetDstCornersLocked();
}

bool CRectification::GetMediaSizeMm(int& widthMm, int& heightMm) const {
  std::lock_guard lock(m_mutex);
  if (!m_mediaSizeKnown || m_mediaWidthMm <= 0 || m_mediaHeightMm <= 0) return false;
  widthMm = m_mediaWidthMm;
  heightMm = m_mediaHeightMm;
  return true;
}

std::string CRectification::FormatMediaWidthLabel() const {
  std::lock_guard lock(m_mutex);
  return Format("Media Width: %d mm", m_mediaWidthMm);
}

std::string CRectification::FormatMediaHeightLabel() const {
  std::lock_guard lock(m_mutex);
  return Format("Media Height: %d mm", m_mediaHeightMm);
}

void CRectification::RebuildDstCorners() {
  std::lock_guard lock(m_mutex);
  SetDstCornersLocked();
}

void CRectification::SetDstCornersLocked() {
  const float w = m_outputWidth;
  const float h = m_outputHeight;
  m_dstCorners = {{0.0f, 0.0f}, {w, 0.0f}, {w, h}, {0.0f, h}};
  GeometryChangedLocked();
}

cv::Size CRectification::GetOutputSize() const {
  std::lock_guard lock(m_mutex);
  return {static_cast<int>(m_outputWidth), static_cast<int>(m_outputHeight)};
}

void CRectification::SetLens(std::shared_ptr<const SLensModel> lens) {
  if (lens && !veldrin::IsUsableLens(*lens)) lens.reset();
  std::lock_guard lock(m_mutex);
  m_lens = std::move(lens);
  GeometryChangedLocked();
}

std::shared_ptr<const SLensModel> CRectification::GetLens() const {
  std::lock_guard lock(m_mutex);
  return m_lens;
}

bool CRectification::LensAppliesTo(cv::Size frameSize) const {
  std::lock_guard lock(m_mutex);
  return m_lens && m_lens->size == frameSize;
}

namespace {

// Reuses `out` when it fits and is not shared: a picture someone else still holds is left to
// them and a new one is made.
void PrepareOutput(cv::Mat& out, cv::Size size, int type) {
  if (out.u != nullptr && out.u->refcount > 1) out.release();
  out.create(size, type);
}

// Each frame is remapped in bands of 32 rows on OpenCV's workers. cv::remap itself walks a whole
// picture in blocks of 128 x 128 pixels, reading the tables and writing the output in runs of a
// few hundred bytes on 128 rows at once; bands keep its runs long (about a sixth less time at
// 1920 x 1344), and the camera's frames take a loop of our own that is faster still
// (RemapRows). Each pixel depends only on its table entries, so the bands make the single
// remap's picture.
constexpr int kRemapBandRows = 32;

void RemapInBands(const cv::Mat& frame, cv::Mat& out, const cv::Mat& map1, const cv::Mat& map2) {
  const int bands = (out.rows + kRemapBandRows - 1) / kRemapBandRows;
  veldrin::ParallelRows(cv::Range(0, bands), [&](const cv::Range& range) {
    for (int band = range.start; band < range.end; ++band) {
      const int top = band * kRemapBandRows;
      veldrin::RemapRows(frame, out, map1, map2, top, std::min(out.rows, top + kRemapBandRows));
    }
  });
}

}  // namespace

bool CRectification::UpdateWarpTables(cv::Size frameSize) {
  std::vector<cv::Point2f> corners, dstCorners;
  cv::Size outSize;
  std::shared_ptr<const SLensModel> lens;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(m_mutex);
    generation = m_generation;
    if (m_warp.generation == generation && m_warp.frameSize == frameSize) return m_warp.usable;
    corners = m_corners;
    dstCorners = m_dstCorners;
    outSize = cv::Size(static_cast<int>(m_outputWidth), static_cast<int>(m_outputHeight));
    if (m_lens && m_lens->size == frameSize) lens = m_lens;
  }
  m_warp.generation = generation;
  m_warp.frameSize = frameSize;
  m_warp.usable = false;
  // An empty size would make the warp fall back to the frame's size.
  if (corners.size() != 4 || dstCorners.size() != 4 || outSize.width <= 0 || outSize.height <= 0) {
    return false;
  }
  const cv::Mat m = cv::getPerspectiveTransform(corners, dstCorners, cv::DECOMP_LU);
  // A failed LU solve (collinear or coincident corners) yields a singular matrix; a warp with it
  // would fill the output with one smeared pixel instead of a picture.
  if (!cv::checkRange(m) || cv::determinant(m) == 0.0) return false;
  // The single-precision matrix, inverted in double precision, as the perspective warp does.
  cv::Mat single, inverse;
  m.convertTo(single, CV_32F);
  single.convertTo(inverse, CV_64F);
  if (cv::invert(inverse, inverse, cv::DECOMP_LU) == 0.0) return false;
  veldrin::BuildRemapTables(cv::Matx33d(inverse), lens.get(), outSize, m_warp.map1, m_warp.map2);
  m_warp.usable = true;
  return true;
}

bool CRectification::UpdateCorrectionTables(cv::Size frameSize) {
  std::shared_ptr<const SLensModel> lens;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(m_mutex);
    generation = m_generation;
    if (m_correction.generation == generation && m_correction.frameSize == frameSize) {
      return m_correction.usable;
    }
    if (m_lens && m_lens->size == frameSize) lens = m_lens;
  }
  // Only the lens matters here; a corner change finds the tables still right.
  const bool wasFor = m_correction.usable && m_correction.frameSize == frameSize;
  m_correction.generation = generation;
  m_correction.frameSize = frameSize;
  if (!lens) {
    m_correction.usable = false;
    m_correction.map1.release();
    m_correction.map2.release();
    m_correctionLens.reset();
    return false;
  }
  if (!(wasFor && m_correctionLens == lens)) {
    veldrin::BuildRemapTables(cv::Matx33d::eye(), lens.get(), frameSize, m_correction.map1,
                              m_correction.map2);
  }
  m_correctionLens = lens;
  m_correction.usable = true;
  return true;
}

bool CRectification::Rectify(const cv::Mat& frame, cv::Mat& out) {
  std::lock_guard lock(m_tableMutex);
  if (frame.rows == 0 || frame.cols == 0 || !UpdateWarpTables(frame.size())) {
    out.release();
    return false;
  }
  PrepareOutput(out, m_warp.map1.size(), frame.type());
  RemapInBands(frame, out, m_warp.map1, m_warp.map2);
  return true;
}

bool CRectification::CorrectLens(const cv::Mat& frame, cv::Mat& out) {
  std::lock_guard lock(m_tableMutex);
  if (frame.rows == 0 || frame.cols == 0 || !UpdateCorrectionTables(frame.size())) return false;
  PrepareOutput(out, frame.size(), frame.type());
  RemapInBands(frame, out, m_correction.map1, m_correction.map2);
  return true;
}
