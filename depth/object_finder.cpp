#include "depth/object_finder.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace {

// The top is what stands within this share of the region's height range of its highest cells:
// the sloped cells along its edges stay out of the median.
constexpr float kTopShare = 0.25f;

}  // namespace

namespace veldrin {

std::vector<SMediaObject> FindObjects(const SMediaHeightMap& map, double toleranceMm) {
  std::vector<SMediaObject> objects;
  if (map.Empty()) return objects;
  const double threshold = std::max(toleranceMm, kLeastObjectHeightMm);
  const cv::Mat raised = map.heights > threshold;
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(raised, labels, stats, centroids, 8, CV_32S);
  const double cell = map.cellMm, cellArea = cell * cell;
  std::vector<float> heights;
  for (int label = 1; label < count; ++label) {
    const double area = stats.at<int>(label, cv::CC_STAT_AREA) * cellArea;
    if (area <= kLeastObjectAreaMm2) continue;
    const cv::Rect box(
        stats.at<int>(label, cv::CC_STAT_LEFT), stats.at<int>(label, cv::CC_STAT_TOP),
        stats.at<int>(label, cv::CC_STAT_WIDTH), stats.at<int>(label, cv::CC_STAT_HEIGHT));
    const cv::Mat mask = labels(box) == label;
    heights.clear();
    float highest = 0.f;
    for (int y = 0; y < box.height; ++y) {
      const float* h = map.heights.ptr<float>(box.y + y) + box.x;
      const uchar* in = mask.ptr<uchar>(y);
      for (int x = 0; x < box.width; ++x) {
        if (in[x] == 0) continue;
        heights.push_back(h[x]);
        highest = std::max(highest, h[x]);
      }
    }
    const float top = highest - kTopShare * (highest - static_cast<float>(threshold));
    std::erase_if(heights, [top](float h) { return h < top; });
    std::nth_element(heights.begin(), heights.begin() + static_cast<long>(heights.size() / 2),
                     heights.end());

    SMediaObject object;
    object.areaMm2 = area;
    object.heightMm = heights[heights.size() / 2];
    // Cell centres sit half a cell in from their edges.
    object.centreMm = {(centroids.at<double>(label, 0) + 0.5) * cell,
                       (centroids.at<double>(label, 1) + 0.5) * cell};
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, box.tl());
    if (!contours.empty()) {
      const auto largest =
          std::max_element(contours.begin(), contours.end(),
                           [](const auto& a, const auto& b) { return a.size() < b.size(); });
      std::vector<cv::Point> simple;
      cv::approxPolyDP(*largest, simple, 1.0, true);
      for (const cv::Point& p : simple) {
        object.outlineMm.push_back({(p.x + 0.5) * cell, (p.y + 0.5) * cell});
      }
    }
    objects.push_back(std::move(object));
  }
  std::sort(objects.begin(), objects.end(),
            [](const SMediaObject& a, const SMediaObject& b) { return a.areaMm2 > b.areaMm2; });
  return objects;
}

}  // namespace veldrin
