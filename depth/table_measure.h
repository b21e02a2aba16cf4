#pragma once

// The measuring core of the depth side: averages the camera's point cloud over time, lays the
// table plane through four corners (those of the current frame, or four stored ones) and
// measures every depth pixel's height above it. Plain C++, usable without a window; the 3D View
// and its OpenGL view draw from what it publishes.

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "depth/plane_files.h"
#include "video/depth_types.h"

// The even-odd crossing test of point (x, y) against the polygon of `count` integer vertices
// given as x, y pairs: 1 inside, 0 outside (and for count < 1). Points on the left and top
// borders count as inside, on the right and bottom ones as outside.
int PointInPolygon(int count, const int* vertices, float x, float y);

// One frame's measurement, as readers see it. Immutable once published.
struct SDepthMeasurement {
  std::uint64_t frame = 0;  // counts updates since the measure was made
  int cols = 0;
  int rows = 0;
  std::vector<float> heights;        // metres above the plane, 0 outside the corners
  std::vector<double> depth;         // the frame's depth in metres (0: none)
  std::vector<float> averagedCloud;  // x, y, z per pixel, metres
  float maxHeight = 0.f;             // never below 0
  std::array<cv::Point2f, 4> cornerPixels{};
  std::array<cv::Point3f, 4> cornerPoints{};
  cv::Point3f centroid;
  float plane[4] = {0.f, 0.f, 0.f, 0.f};  // A x + B y + C z + D = 0
  bool settled = false;                   // CTableMeasure::IsSettled when it was measured
};

struct SMeasurementSlot {
  SDepthMeasurement measurement;
  std::atomic<int> readers{0};
};

// Lock-free hand-over of measurements from one writer thread to any number of readers: the
// latest published one wins, readers never wait and never see one half-written. A few buffers
// are reused in turn, so steady state allocates nothing.
class CMeasurementExchange {
 public:
  // Keeps the measurement alive while held; empty before the first publish.
  class CHandle {
   public:
    CHandle() = default;
    CHandle(CHandle&& other) noexcept : m_slot(std::exchange(other.m_slot, nullptr)) {}
    CHandle& operator=(CHandle&& other) noexcept;
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    ~CHandle() { Release(); }
    explicit operator bool() const { return m_slot != nullptr; }
    const SDepthMeasurement& operator*() const { return m_slot->measurement; }
    const SDepthMeasurement* operator->() const { return &m_slot->measurement; }

   private:
    friend class CMeasurementExchange;
    SMeasurementSlot* m_slot = nullptr;
    void Release();
  };

  CMeasurementExchange();
  // Writer only: a buffer nobody reads, to fill and then Publish; null when readers hold every
  // spare buffer (then this frame is not published).
  SDepthMeasurement* BeginWrite();
  void Publish();
  // Any thread: the latest published measurement.
  CHandle Latest() const;

 private:
  static constexpr int kSlots = 4;
  std::unique_ptr<SMeasurementSlot[]> m_slots;
  std::atomic<int> m_published{-1};
  int m_writing = -1;  // writer only
};

namespace veldrin {

// For one row y: how many columns 0..n-1 lie left of each edge's crossing, so that column x is
// inside exactly when an odd number of counts exceed x. Gives the same answers as PointInPolygon
// for every integer column, without testing each one. Returns the number of counts written
// (at most `count`).
int PolygonRowCrossings(int count, const int* vertices, int y, int columns, int* counts);

}  // namespace veldrin

// Threads: everything but Published() runs on one thread, the depth frame thread; Published() is
// for any thread (views, the colour pipeline) and never waits.
class CTableMeasure {
 public:
  CTableMeasure() = default;

  // The measuring steps of the 3D View's per-frame update: averages `vertices` (the frame's
  // cloud, depthMeters' columns x rows) into the averaged cloud, measures against the stored
  // plane when one is loaded and against the corners' own cloud points otherwise, writes the
  // heights into `heightMap` (columns x rows floats, may be null) and publishes the measurement.
  // Returns the maximum height in metres. Corners are depth pixels x0, y0 .. x3, y3.
  float UpdateDepthView(const cv::Mat& depthMeters, const SVertex* vertices, int x0, int y0, int x1,
                        int y1, int x2, int y2, int x3, int y3, float* heightMap);

  // The exponential average over frames (weight 1/20); no depth or nearer than 0.3 m counts
  // as 10 m away. Each pixel's average starts from its first valid sample (until then it holds
  // the latest sample), so the first frame already measures right instead of rising from zero.
  // The averaged cloud is made on the first frame, and made afresh when the frame size changes.
  void AverageCloud(const SVertex* vertices, int cols, int rows);
  // Frames averaged before the measurement counts as settled: one time constant of the average,
  // by which the noise of the first samples has been averaged down.
  static constexpr std::uint64_t kSettleFrames = 20;
  // True once kSettleFrames frames have been averaged into the current cloud.
  bool IsSettled() const { return m_averaged >= kSettleFrames; }

  // Plane through the cloud's points at corners 0, 1, 2; heights for `cloud` (3 floats per pixel).
  float SetDepthData(const cv::Mat& depthMeters, const float* cloud, int x0, int y0, int x1, int y1,
                     int x2, int y2, int x3, int y3, float* heightMap);
  // Plane through stored corner points; `cornerPixels` bound the measured area.
  float SetDepthDataWithPlane(const cv::Mat& depthMeters, const float* cloud,
                              const Plane3D& cornerPoints,
                              const std::array<cv::Point2f, 4>& cornerPixels, float* heightMap);

  void ComputePlane(const cv::Point3f& p0, const cv::Point3f& p1, const cv::Point3f& p2);
  // Fills the height map (when set) and the maximum height from the cloud, plane and corners:
  // the highest level that a 2 x 2 patch of pixels inside the corners reaches, so that a lone
  // noisy pixel does not make the height.
  void ComputeHeights();
  // The cloud's point at depth pixel (x, y); (0, 0, 0) outside the cloud.
  cv::Point3f GetPoint(int x, int y) const;
  // (A, B, C) of the plane made unit length (not a number for a degenerate plane).
  cv::Point3f GetUnitNormal() const;
  // The stored corners moved `height` metres off the plane, to the side where heights are
  // positive; 12 floats (x, y, z per corner). 0 without a stored plane.
  int GetRaisedPlaneCorners(float height, float out[12]) const;

  // The stored table plane (a 3D plane file's corners).
  void SetPlaneCorners(const Plane3D& corners);
  void ClearPlaneCorners() { m_bPlaneLoaded = 0; }
  int IsPlaneLoaded() const { return m_bPlaneLoaded; }
  const Plane3D& GetPlaneCorners() const { return m_planeCorners; }
  // What a plane file would store now: the averaged cloud at the current depth corners.
  // False before the first frame.
  [[nodiscard]] bool CurrentPlaneCorners(Plane3D& corners) const;

  const std::array<cv::Point2f, 4>& GetDepthCorners() const { return m_depthCorners; }
  const std::vector<float>& GetAveragedCloud() const { return m_averagedCloud; }
  float GetMaxHeight() const { return m_maxHeight; }
  const float* GetPlane() const { return m_plane; }

  // The latest measurement, for any thread.
  CMeasurementExchange::CHandle Published() const { return m_exchange.Latest(); }

 private:
  void StoreFrame(const cv::Mat& depthMeters, const float* cloud, float* heightMap);
  void Publish(const cv::Mat& depthMeters);

  // The dialog's side: corners of the current frame, the averaged cloud, the stored plane.
  std::array<cv::Point2f, 4> m_depthCorners{};
  std::vector<float> m_averagedCloud;
  std::vector<std::uint8_t> m_seeded;  // per pixel: 1 once a valid sample started its average
  std::uint64_t m_averaged = 0;        // frames averaged into m_averagedCloud
  Plane3D m_planeCorners{};
  int m_bPlaneLoaded = 0;

  // The view's side: what the last measurement used and found.
  const float* m_cloud = nullptr;
  float* m_heightMap = nullptr;
  int m_cols = 0;
  int m_rows = 0;
  std::array<cv::Point2f, 4> m_cornerPixels{};
  std::array<cv::Point3f, 4> m_cornerPoints{};
  cv::Point3f m_centroid;
  float m_plane[4] = {0.f, 0.f, 0.f, 0.f};
  float m_maxHeight = 0.f;
  std::vector<float> m_ownHeights;  // when the caller keeps no height map
  std::uint64_t m_frames = 0;

  CMeasurementExchange m_exchange;
};
