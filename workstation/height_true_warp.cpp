#include "workstation/height_true_warp.h"

#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "depth/object_finder.h"
#include "workstation/rectification.h"

namespace {

constexpr auto kPeriod = std::chrono::milliseconds(200);  // at most five looks a second
constexpr double kChangeMm = 1.0;

// More than 1 mm anywhere, against the range of each cell's neighbourhood before: a cell across
// an edge swings with the depth noise as the pixels near its border fall into it or beside it,
// within the heights on either side of the edge; a surface that rose, sank or came leaves them.
bool HeightsChanged(const SMediaHeightMap& before, const SMediaHeightMap& now) {
  if (before.heights.size() != now.heights.size() || before.cellMm != now.cellMm) return true;
  cv::Mat highest, lowest;
  cv::dilate(before.heights, highest, cv::Mat());
  cv::erode(before.heights, lowest, cv::Mat());
  return cv::countNonZero(now.heights > highest + kChangeMm) > 0 ||
         cv::countNonZero(now.heights < lowest - kChangeMm) > 0;
}

}  // namespace

CHeightTrueWarp::CHeightTrueWarp(const CRectification& rectification,
                                 const SDepthColorCalibration& calibration,
                                 MeasurementSource measurements, ToleranceSource toleranceMm)
    : m_rectification(rectification),
      m_calibration(calibration),
      m_measurements(std::move(measurements)),
      m_toleranceMm(std::move(toleranceMm)),
      m_worker([this] { Run(); }) {}

CHeightTrueWarp::~CHeightTrueWarp() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_worker.join();
}

void CHeightTrueWarp::SetEnabled(bool on) {
  m_enabled.store(on);
  if (on) m_wake.notify_all();  // the first tables without waiting a period
}

bool CHeightTrueWarp::Rectify(const cv::Mat& frame, cv::Mat& out) {
  if (!m_enabled.load()) return false;
  std::shared_ptr<const SHeightTrueTables> tables;
  {
    std::lock_guard lock(m_mutex);
    tables = m_tables;
  }
  if (!tables || tables->frameSize != frame.size() ||
      tables->map1.size() != m_rectification.GetOutputSize()) {
    return false;
  }
  veldrin::RemapHeightTrue(frame, *tables, out);
  return true;
}

std::shared_ptr<const std::vector<SMediaObject>> CHeightTrueWarp::Objects() const {
  std::lock_guard lock(m_mutex);
  return m_objects;
}

cv::Size2d CHeightTrueWarp::MediaSize() const {
  std::lock_guard lock(m_mutex);
  return m_mediaSize;
}

void CHeightTrueWarp::Run() {
  std::unique_lock lock(m_mutex);
  while (!m_stop) {
    lock.unlock();
    Update();
    lock.lock();
    m_wake.wait_for(lock, kPeriod, [this] { return m_stop; });
  }
}

void CHeightTrueWarp::Update() {
  const CMeasurementExchange::CHandle latest = m_measurements();
  if (!latest) return;
  SGeometry geometry;
  int widthMm = 0, heightMm = 0;
  if (!m_rectification.GetMediaSizeMm(widthMm, heightMm)) return;
  geometry.corners = m_rectification.GetCorners();
  geometry.media = cv::Size(widthMm, heightMm);
  geometry.output = m_rectification.GetOutputSize();
  geometry.frame = m_rectification.GetFrameSize();
  if (m_rectification.LensAppliesTo(geometry.frame)) geometry.lens = m_rectification.GetLens();
  const bool wanted = m_enabled.load();
  // A new measurement, or the tables wanted for another geometry.
  if (latest->frame == m_lastFrame && (!wanted || (m_built && geometry == m_builtFor))) return;
  m_lastFrame = latest->frame;
  if (geometry.corners.size() != 4 || geometry.output.empty() || geometry.frame.empty()) return;

  SHeightTrueCamera camera;
  camera.calibration = m_calibration;
  camera.lens = geometry.lens.get();
  SMediaFrame frame;
  SMediaHeightMap map;
  if (!veldrin::MakeMediaFrame(m_calibration, latest->plane,
                               veldrin::CornerRays(camera, geometry.corners), widthMm, heightMm,
                               frame) ||
      !veldrin::BuildMediaHeightMap(*latest, m_calibration.depthIntrinsics, frame, map)) {
    return;
  }
  auto objects = std::make_shared<const std::vector<SMediaObject>>(
      veldrin::FindObjects(map, m_toleranceMm ? m_toleranceMm() : 0.0));
  {
    std::lock_guard lock(m_mutex);
    m_objects = std::move(objects);
    m_mediaSize = cv::Size2d(widthMm, heightMm);
  }
  if (!wanted) {
    m_built = false;  // the next start builds afresh
    return;
  }
  if (m_built && geometry == m_builtFor && !HeightsChanged(m_builtFrom, map)) return;
  auto tables = std::make_shared<SHeightTrueTables>();
  veldrin::BuildHeightTrueTables(frame, map, camera, geometry.frame, geometry.output, *tables);
  {
    std::lock_guard lock(m_mutex);
    m_tables = std::move(tables);
  }
  m_builtFor = std::move(geometry);
  m_builtFrom = std::move(map);
  m_built = true;
  m_builds.fetch_add(1);
}

namespace veldrin {

void DrawObjects(const cv::Mat& picture, const std::vector<SMediaObject>& objects,
                 cv::Size2d mediaMm, cv::Mat& out) {
  picture.copyTo(out);
  if (mediaMm.width <= 0 || mediaMm.height <= 0) return;
  const double sx = out.cols / mediaMm.width, sy = out.rows / mediaMm.height;
  const cv::Scalar colour(40, 220, 255);
  for (const SMediaObject& o : objects) {
    std::vector<cv::Point> outline;
    for (const auto& p : o.outlineMm) {
      outline.emplace_back(static_cast<int>(std::lround(p[0] * sx)),
                           static_cast<int>(std::lround(p[1] * sy)));
    }
    if (!outline.empty()) cv::polylines(out, outline, true, colour, 2, cv::LINE_AA);
    char label[32];
    std::snprintf(label, sizeof label, "%.0f mm", o.heightMm);
    const cv::Point at(static_cast<int>(std::lround(o.centreMm[0] * sx)),
                       static_cast<int>(std::lround(o.centreMm[1] * sy)));
    const double scale = std::max(0.4, out.rows / 900.0);
    cv::putText(out, label, at, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(0, 0, 0), 4,
                cv::LINE_AA);
    cv::putText(out, label, at, cv::FONT_HERSHEY_SIMPLEX, scale, colour, 1, cv::LINE_AA);
  }
}

}  // namespace veldrin
