#include "depth/table_measure.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr float kMissingDepth = 10.0f;
constexpr float kAverageWeight = 20.0f;

// The x at which the edge from vertex i to vertex j crosses row y, computed exactly as the
// crossing test does; only meaningful when the edge spans the row.
// Vertex i's x and y in a list of x, y pairs.
int X(const int* v, int i) { return v[static_cast<std::size_t>(i) * 2]; }
int Y(const int* v, int i) { return v[static_cast<std::size_t>(i) * 2 + 1]; }

float EdgeCrossing(const int* v, int i, int j, float y) {
  const auto dx = static_cast<float>(static_cast<std::int64_t>(X(v, j)) - X(v, i));
  const auto dy = static_cast<float>(static_cast<std::int64_t>(Y(v, j)) - Y(v, i));
  return dx * (y - static_cast<float>(Y(v, i))) / dy + static_cast<float>(X(v, i));
}

bool Spans(const int* v, int i, int j, float y) {
  return (static_cast<float>(Y(v, i)) > y) != (static_cast<float>(Y(v, j)) > y);
}

}  // namespace

int PointInPolygon(int count, const int* vertices, float x, float y) {
  if (count < 1) return 0;
  int c = 0;
  for (int i = 0, j = count - 1; i < count; j = i++) {
    if (Spans(vertices, i, j, y) && x < EdgeCrossing(vertices, i, j, y)) c = !c;
  }
  return c;
}

namespace veldrin {

int PolygonRowCrossings(int count, const int* vertices, int y, int columns, int* counts) {
  if (count < 1) return 0;
  const auto fy = static_cast<float>(y);
  int n = 0;
  for (int i = 0, j = count - 1; i < count; j = i++) {
    if (!Spans(vertices, i, j, fy)) continue;
    const float t = EdgeCrossing(vertices, i, j, fy);
    // Integer columns x < t: none for t <= 0 or NaN, all for t >= columns, else ceil(t).
    int left = 0;
    if (t >= static_cast<float>(columns)) {
      left = columns;
    } else if (t > 0.f) {
      left = static_cast<int>(std::ceil(t));
    }
    counts[n++] = left;
  }
  return n;
}

}  // namespace veldrin

CMeasurementExchange::CHandle& CMeasurementExchange::CHandle::operator=(CHandle&& other) noexcept {
  if (this != &other) {
    Release();
    m_slot = std::exchange(other.m_slot, nullptr);
  }
  return *this;
}

void CMeasurementExchange::CHandle::Release() {
  if (m_slot != nullptr) m_slot->readers.fetch_sub(1);
  m_slot = nullptr;
}

CMeasurementExchange::CMeasurementExchange() : m_slots(new SMeasurementSlot[kSlots]) {}

SDepthMeasurement* CMeasurementExchange::BeginWrite() {
  // The published slot and the ones readers hold are off limits; a reader that is just taking
  // a slot which is not published backs off (see Latest), so a free slot stays free.
  const int published = m_published.load();
  for (int i = 0; i < kSlots; ++i) {
    if (i != published && m_slots[i].readers.load() == 0) {
      m_writing = i;
      return &m_slots[i].measurement;
    }
  }
  m_writing = -1;
  return nullptr;
}

void CMeasurementExchange::Publish() {
  if (m_writing >= 0) m_published.store(m_writing);
  m_writing = -1;
}

CMeasurementExchange::CHandle CMeasurementExchange::Latest() const {
  for (;;) {
    const int i = m_published.load();
    if (i < 0) return {};
    SMeasurementSlot& slot = m_slots[i];
    slot.readers.fetch_add(1);
    // Still the published one after the claim: the writer will leave it alone until released.
    if (m_published.load() == i) {
      CHandle handle;
      handle.m_slot = &slot;
      return handle;
    }
    slot.readers.fetch_sub(1);
  }
}

void CTableMeasure::AverageCloud(const SVertex* vertices, int cols, int rows) {
  const std::size_t n = static_cast<std::size_t>(cols) * static_cast<std::size_t>(rows);
  if (m_averagedCloud.size() != n * 3) {
    m_averagedCloud.assign(n * 3, 0.f);
    m_seeded.assign(n, 0);
    m_averaged = 0;
  }
  ++m_averaged;
  float* __restrict a = m_averagedCloud.data();
  std::uint8_t* __restrict seeded = m_seeded.data();
  const float* __restrict v = vertices[0].xyz;
  // One pixel on its own: a pixel with no valid sample yet takes the sample as it is, the
  // first valid one starts its average.
  const auto averagePixel = [&](std::size_t pixel) {
    const std::size_t k = 3 * pixel;
    // "0.3 > z in double precision" is exactly z < 0.3f (0.3f lies just above 0.3 and no float
    // lies between them).
    const bool missing = v[k + 2] < 0.3f;
    const float used[3] = {v[k], v[k + 1], missing ? kMissingDepth : v[k + 2]};
    if (seeded[pixel] == 0) {
      std::copy(used, used + 3, a + k);
      seeded[pixel] = missing ? 0 : 1;
      return;
    }
    for (std::size_t j = 0; j < 3; ++j)
      a[k + j] = (a[k + j] - a[k + j] / kAverageWeight) + used[j] / kAverageWeight;
  };
  std::size_t pixel = 0;
#ifdef __SSE2__
  // Four started pixels (twelve floats, three vectors) at a time, the same operations in the same
  // order; a group with a pixel not yet started goes pixel by pixel.
  const __m128 weight = _mm_set1_ps(kAverageWeight), near = _mm_set1_ps(0.3f);
  const __m128 missing = _mm_set1_ps(kMissingDepth);
  const __m128 zLanes[3] = {_mm_castsi128_ps(_mm_setr_epi32(0, 0, -1, 0)),
                            _mm_castsi128_ps(_mm_setr_epi32(0, -1, 0, 0)),
                            _mm_castsi128_ps(_mm_setr_epi32(-1, 0, 0, -1))};
  for (; pixel + 4 <= n; pixel += 4) {
    std::uint32_t started = 0;
    std::memcpy(&started, seeded + pixel, sizeof started);
    if (started != 0x01010101u) {
      for (std::size_t p = pixel; p < pixel + 4; ++p) averagePixel(p);
      continue;
    }
    const std::size_t k = 3 * pixel;
    for (std::size_t j = 0; j < 3; ++j) {
      const __m128 in = _mm_loadu_ps(v + k + 4 * j);
      const __m128 replace = _mm_and_ps(_mm_cmplt_ps(in, near), zLanes[j]);
      const __m128 used = _mm_or_ps(_mm_and_ps(replace, missing), _mm_andnot_ps(replace, in));
      const __m128 old = _mm_loadu_ps(a + k + 4 * j);
      const __m128 kept = _mm_sub_ps(old, _mm_div_ps(old, weight));
      _mm_storeu_ps(a + k + 4 * j, _mm_add_ps(kept, _mm_div_ps(used, weight)));
    }
  }
#endif
  for (; pixel < n; ++pixel) averagePixel(pixel);
}

float CTableMeasure::UpdateDepthView(const cv::Mat& depthMeters, const SVertex* vertices, int x0,
                                     int y0, int x1, int y1, int x2, int y2, int x3, int y3,
                                     float* heightMap) {
  if (vertices == nullptr || depthMeters.empty()) return 0.f;
  m_depthCorners = {cv::Point2f(static_cast<float>(x0), static_cast<float>(y0)),
                    cv::Point2f(static_cast<float>(x1), static_cast<float>(y1)),
                    cv::Point2f(static_cast<float>(x2), static_cast<float>(y2)),
                    cv::Point2f(static_cast<float>(x3), static_cast<float>(y3))};
  AverageCloud(vertices, depthMeters.cols, depthMeters.rows);
  float height = 0.f;
  if (m_bPlaneLoaded == 1) {
    height = SetDepthDataWithPlane(depthMeters, m_averagedCloud.data(), m_planeCorners,
                                   m_depthCorners, heightMap);
  } else {
    height =
        SetDepthData(depthMeters, m_averagedCloud.data(), static_cast<int>(m_depthCorners[0].x),
                     static_cast<int>(m_depthCorners[0].y), static_cast<int>(m_depthCorners[1].x),
                     static_cast<int>(m_depthCorners[1].y), static_cast<int>(m_depthCorners[2].x),
                     static_cast<int>(m_depthCorners[2].y), static_cast<int>(m_depthCorners[3].x),
                     static_cast<int>(m_depthCorners[3].y), heightMap);
  }
  Publish(depthMeters);
  return height;
}

void CTableMeasure::StoreFrame(const cv::Mat& depthMeters, const float* cloud, float* heightMap) {
  m_cloud = cloud;
  m_cols = depthMeters.cols;
  m_rows = depthMeters.rows;
  m_heightMap = heightMap;
  if (m_heightMap == nullptr) {
    m_ownHeights.resize(static_cast<std::size_t>(m_cols) * static_cast<std::size_t>(m_rows));
    m_heightMap = m_ownHeights.data();
  }
}

float CTableMeasure::SetDepthData(const cv::Mat& depthMeters, const float* cloud, int x0, int y0,
                                  int x1, int y1, int x2, int y2, int x3, int y3,
                                  float* heightMap) {
  StoreFrame(depthMeters, cloud, heightMap);
  const int xs[4] = {x0, x1, x2, x3}, ys[4] = {y0, y1, y2, y3};
  for (int i = 0; i < 4; ++i) {
    m_cornerPixels[i] = cv::Point2f(static_cast<float>(xs[i]), static_cast<float>(ys[i]));
    m_cornerPoints[i] = GetPoint(xs[i], ys[i]);
  }
  m_centroid =
      (m_cornerPoints[0] + m_cornerPoints[1] + m_cornerPoints[2] + m_cornerPoints[3]) * 0.25f;
  ComputePlane(m_cornerPoints[0], m_cornerPoints[1], m_cornerPoints[2]);
  ComputeHeights();
  return m_maxHeight;
}

float CTableMeasure::SetDepthDataWithPlane(const cv::Mat& depthMeters, const float* cloud,
                                           const Plane3D& cornerPoints,
                                           const std::array<cv::Point2f, 4>& cornerPixels,
                                           float* heightMap) {
  StoreFrame(depthMeters, cloud, heightMap);
  m_cornerPixels = cornerPixels;
  std::copy(cornerPoints.begin(), cornerPoints.end(), m_cornerPoints.begin());
  m_centroid =
      (m_cornerPoints[0] + m_cornerPoints[1] + m_cornerPoints[2] + m_cornerPoints[3]) * 0.25f;
  ComputePlane(m_cornerPoints[0], m_cornerPoints[1], m_cornerPoints[2]);
  ComputeHeights();
  return m_maxHeight;
}

void CTableMeasure::ComputePlane(const cv::Point3f& p0, const cv::Point3f& p1,
                                 const cv::Point3f& p2) {
  const cv::Point3f a = p1 - p0, b = p2 - p0;
  m_plane[0] = a.y * b.z - a.z * b.y;
  m_plane[1] = a.z * b.x - a.x * b.z;
  m_plane[2] = a.x * b.y - a.y * b.x;
  m_plane[3] = -(m_plane[0] * p0.x + m_plane[1] * p0.y + m_plane[2] * p0.z);
}

void CTableMeasure::ComputeHeights() {
  m_maxHeight = 0.f;
  if (m_cloud == nullptr || m_heightMap == nullptr) return;
  int polygon[8];
  for (std::size_t i = 0; i < 4; ++i) {
    polygon[2 * i] = static_cast<int>(m_cornerPixels[i].x);
    polygon[2 * i + 1] = static_cast<int>(m_cornerPixels[i].y);
  }
  const float a = m_plane[0], b = m_plane[1], c = m_plane[2], d = m_plane[3];
  const float norm = std::sqrt(a * a + b * b + c * c);
  float maxHeight = 0.f;
  // Row by row, with each row's inside runs from its edge crossings: the same pixels as testing
  // each one with PointInPolygon (see PolygonRowCrossings), and the same maximum.
  for (int y = 0; y < m_rows; ++y) {
    int counts[4];
    const int n = veldrin::PolygonRowCrossings(4, polygon, y, m_cols, counts);
    // At most four: insertion sort (std::sort here trips GCC's bounds analysis).
    for (int i = 1; i < n; ++i) {
      for (int j = i; j > 0 && counts[j - 1] > counts[j]; --j) std::swap(counts[j - 1], counts[j]);
    }
    const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(m_cols);
    float* heights = m_heightMap + row;
    const float* p = m_cloud + row * 3;
    int from = 0;
    for (int segment = 0; segment <= n; ++segment) {
      const int to = segment < n ? counts[segment] : m_cols;
      // Columns in [from, to) lie left of n - segment crossings.
      if ((n - segment) % 2 == 0) {
        std::fill(heights + from, heights + to, 0.f);
      } else {
        // Heights first (a loop that vectorises), then their maximum; the float comparison
        // is the double one exactly, as in AverageCloud.
        for (int x = from; x < to; ++x) {
          const float* q = p + 3 * static_cast<std::size_t>(x);
          const float h = -(a * q[0] + b * q[1] + c * q[2] + d) / norm;
          heights[x] = q[2] < 0.3f ? 0.f : h;
        }
        // The highest surface is the highest level a 2 x 2 patch of pixels reaches: one pixel
        // alone is the camera's noise, which would otherwise set the height. The row above is
        // complete (pixels outside the corners hold 0, which never raises the maximum).
        if (y > 0) {
          const float* above = heights - m_cols;
          for (int x = from; x + 1 < to; ++x) {
            const float patch =
                std::min(std::min(heights[x], heights[x + 1]), std::min(above[x], above[x + 1]));
            if (patch > maxHeight) maxHeight = patch;
          }
        }
      }
      from = std::max(from, to);
    }
  }
  m_maxHeight = maxHeight;
}

cv::Point3f CTableMeasure::GetPoint(int x, int y) const {
  if (m_cloud == nullptr || x < 0 || y < 0 || x >= m_cols || y >= m_rows) return {};
  const float* p = m_cloud + (static_cast<std::size_t>(y) * m_cols + x) * 3;
  return {p[0], p[1], p[2]};
}

cv::Point3f CTableMeasure::GetUnitNormal() const {
  const float a = m_plane[0], b = m_plane[1], c = m_plane[2];
  const float norm = std::sqrt(a * a + b * b + c * c);
  return {a / norm, b / norm, c / norm};
}

int CTableMeasure::GetRaisedPlaneCorners(float height, float out[12]) const {
  if (m_bPlaneLoaded == 0) return 0;
  const cv::Point3f n = GetUnitNormal();
  for (std::size_t i = 0; i < 4; ++i) {
    out[3 * i] = m_planeCorners[i].x - height * n.x;
    out[3 * i + 1] = m_planeCorners[i].y - height * n.y;
    out[3 * i + 2] = m_planeCorners[i].z - height * n.z;
  }
  return 1;
}

void CTableMeasure::SetPlaneCorners(const Plane3D& corners) {
  m_planeCorners = corners;
  m_bPlaneLoaded = 1;
}

bool CTableMeasure::CurrentPlaneCorners(Plane3D& corners) const {
  if (m_averagedCloud.empty() || m_cols <= 0) return false;
  for (int i = 0; i < 4; ++i) {
    const int x = static_cast<int>(m_depthCorners[i].x), y = static_cast<int>(m_depthCorners[i].y);
    if (x < 0 || y < 0 || x >= m_cols || y >= m_rows) return false;
    const float* p = m_averagedCloud.data() + (static_cast<std::size_t>(y) * m_cols + x) * 3;
    corners[i] = cv::Point3f(p[0], p[1], p[2]);
  }
  return true;
}

void CTableMeasure::Publish(const cv::Mat& depthMeters) {
  ++m_frames;
  SDepthMeasurement* m = m_exchange.BeginWrite();
  if (m == nullptr) return;  // readers hold every spare buffer: this frame stays private
  const std::size_t pixels = static_cast<std::size_t>(m_cols) * static_cast<std::size_t>(m_rows);
  m->frame = m_frames;
  m->cols = m_cols;
  m->rows = m_rows;
  m->heights.assign(m_heightMap, m_heightMap + pixels);
  m->depth.resize(pixels);
  if (depthMeters.type() == CV_64FC1) {
    for (int y = 0; y < depthMeters.rows; ++y) {
      std::memcpy(m->depth.data() + static_cast<std::size_t>(y) * m_cols,
                  depthMeters.ptr<double>(y), static_cast<std::size_t>(m_cols) * sizeof(double));
    }
  } else {
    std::fill(m->depth.begin(), m->depth.end(), 0.0);
  }
  m->averagedCloud.assign(m_cloud, m_cloud + pixels * 3);
  m->maxHeight = m_maxHeight;
  m->cornerPixels = m_cornerPixels;
  m->cornerPoints = m_cornerPoints;
  m->centroid = m_centroid;
  std::copy(m_plane, m_plane + 4, m->plane);
  m->settled = IsSettled();
  m_exchange.Publish();
}
