#pragma once

// The height-true picture and the objects for the host, kept up to date beside the colour
// pipeline. A worker thread looks at the latest depth measurement at most five times a second,
// resamples it onto the media, finds the objects and, while the picture is wanted, rebuilds the
// lookup tables when the heights changed by more than 1 mm anywhere (or the corners, media, output
// size or lens changed). Frames keep flowing through the previous tables meanwhile.
//
// Threads: made and destroyed on the UI thread (destruction stops and joins the worker). The
// worker reads the rectification (which guards itself) and the measurements (lock-free). Rectify
// runs on the colour capture thread and Objects on any thread: both only copy a shared pointer
// under m_mutex, which the worker holds only to swap one in, so neither waits for a rebuild.
// SetEnabled is an atomic.

#include <opencv2/core.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "depth/table_measure.h"
#include "hostlink/objects_file.h"
#include "workstation/height_true_table.h"

class CRectification;

class CHeightTrueWarp {
 public:
  using MeasurementSource = std::function<CMeasurementExchange::CHandle()>;
  using ToleranceSource = std::function<double()>;  // millimetres

  CHeightTrueWarp(const CRectification& rectification, const SDepthColorCalibration& calibration,
                  MeasurementSource measurements, ToleranceSource toleranceMm);
  ~CHeightTrueWarp();
  CHeightTrueWarp(const CHeightTrueWarp&) = delete;
  CHeightTrueWarp& operator=(const CHeightTrueWarp&) = delete;

  void SetEnabled(bool on);
  bool IsEnabled() const { return m_enabled.load(); }

  // The frame through the current tables into `out` (reused when it fits). False while the
  // picture is off or no tables fit the frame and output sizes yet: the caller then rectifies
  // as usual.
  [[nodiscard]] bool Rectify(const cv::Mat& frame, cv::Mat& out);

  // The objects of the latest height map over the media; null before the first.
  std::shared_ptr<const std::vector<SMediaObject>> Objects() const;
  // The media size the objects are measured in (millimetres); empty before the first.
  cv::Size2d MediaSize() const;
  // How many times the tables were built; for tests and benchmarks.
  std::uint64_t TableBuilds() const { return m_builds.load(); }

 private:
  // What the tables were built from; any change rebuilds them.
  struct SGeometry {
    std::vector<cv::Point2f> corners;
    cv::Size media, output, frame;
    std::shared_ptr<const SLensModel> lens;
    bool operator==(const SGeometry&) const = default;
  };

  void Run();
  void Update();

  const CRectification& m_rectification;
  const SDepthColorCalibration m_calibration;
  const MeasurementSource m_measurements;
  const ToleranceSource m_toleranceMm;
  std::atomic<bool> m_enabled{false};
  std::atomic<std::uint64_t> m_builds{0};

  // Worker only.
  std::uint64_t m_lastFrame = 0;
  SGeometry m_builtFor;
  SMediaHeightMap m_builtFrom;
  bool m_built = false;

  mutable std::mutex m_mutex;
  std::shared_ptr<const SHeightTrueTables> m_tables;           // guarded by m_mutex
  std::shared_ptr<const std::vector<SMediaObject>> m_objects;  // guarded by m_mutex
  cv::Size2d m_mediaSize;                                      // guarded by m_mutex
  bool m_stop = false;                                         // guarded by m_mutex
  std::condition_variable m_wake;
  std::thread m_worker;  // last: starts once everything above is made
};

namespace veldrin {

// The objects' outlines and heights drawn over a copy of `picture` (which covers the media of
// `mediaMm`) into `out`, reused when it fits.
void DrawObjects(const cv::Mat& picture, const std::vector<SMediaObject>& objects,
                 cv::Size2d mediaMm, cv::Mat& out);

}  // namespace veldrin
