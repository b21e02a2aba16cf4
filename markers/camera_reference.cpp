#include "markers/camera_reference.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>
#include <string_view>

#include "markers/grey_picture.h"
#include "platform/file_io.h"
#include "platform/picture_size.h"

namespace {

// Longest side of the thumbnail: a quarter of a 1280-pixel frame still places the fitted motion
// to a few tenths of a camera pixel, well under the 2-pixel limit.
constexpr int kThumbnailSide = 400;
constexpr int kMaxFeatures = 200;
// Fewest features that must agree on one motion before anything is said.
constexpr size_t kMinAgreeing = 12;
constexpr std::size_t kMaxFileBytes = 4 << 20;

cv::Size ThumbnailSize(cv::Size frame) {
  const double scale = std::min(1.0, double(kThumbnailSide) / std::max(frame.width, frame.height));
  return cv::Size(std::max(1, static_cast<int>(std::lround(frame.width * scale))),
                  std::max(1, static_cast<int>(std::lround(frame.height * scale))));
}

}  // namespace

bool CCameraReference::Adopt(cv::Mat thumbnail) {
  m_thumbnail.release();
  m_features.clear();
  std::vector<cv::Point2f> features;
  cv::goodFeaturesToTrack(thumbnail, features, kMaxFeatures, 0.01, 6);
  if (features.size() < kMinAgreeing) return false;
  m_thumbnail = std::move(thumbnail);
  m_features = std::move(features);
  return true;
}

bool CCameraReference::Make(const cv::Mat& frame) {
  cv::Mat grey, thumbnail;
  if (!veldrin::GreyPicture(frame, grey)) {
    m_thumbnail.release();
    m_features.clear();
    return false;
  }
  cv::resize(grey, thumbnail, ThumbnailSize(grey.size()), 0, 0, cv::INTER_AREA);
  return Adopt(thumbnail);
}

bool CCameraReference::Save(const std::string& path) const {
  if (m_thumbnail.empty()) return false;
  std::vector<uchar> png;
  try {
    if (!cv::imencode(".png", m_thumbnail, png)) return false;
  } catch (const cv::Exception&) {
    return false;
  }
  return veldrin::WriteFileAtomically(
      path, std::string_view(reinterpret_cast<const char*>(png.data()), png.size()));
}

bool CCameraReference::Load(const std::string& path) {
  cv::Mat thumbnail;
  std::string bytes;
  // The size comes from the header, before decoding: a small file may claim a huge picture.
  std::optional<SPictureSize> size;
  if (veldrin::ReadWholeFile(path, bytes, kMaxFileBytes) == EFileRead::kRead) {
    size = veldrin::ReadPictureSize(bytes);
  }
  if (size && size->width <= 4 * kThumbnailSide && size->height <= 4 * kThumbnailSide) {
    try {
      thumbnail = cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8U, bytes.data()),
                               cv::IMREAD_GRAYSCALE);
    } catch (const cv::Exception&) {
    }
  }
  if (thumbnail.empty() || thumbnail.cols > 4 * kThumbnailSide ||
      thumbnail.rows > 4 * kThumbnailSide) {
    m_thumbnail.release();
    m_features.clear();
    return false;
  }
  return Adopt(thumbnail);
}

double CCameraReference::Displacement(const cv::Mat& frame) const {
  cv::Mat grey;
  if (m_thumbnail.empty() || !veldrin::GreyPicture(frame, grey)) return -1;
  const cv::Size size = m_thumbnail.size();
  // The same view at another resolution compares fine; another aspect ratio is another view.
  if (std::abs(double(grey.cols) / grey.rows - double(size.width) / size.height) >
      2.0 / std::min(size.width, size.height)) {
    return -1;
  }
  cv::Mat live;
  cv::resize(grey, live, size, 0, 0, cv::INTER_AREA);
  std::vector<cv::Point2f> tracked;
  std::vector<uchar> status;
  std::vector<float> error;
  cv::calcOpticalFlowPyrLK(m_thumbnail, live, m_features, tracked, status, error, cv::Size(21, 21),
                           3);
  std::vector<cv::Point2f> from, to;
  for (size_t i = 0; i < status.size(); ++i) {
    if (status[i]) {
      from.push_back(m_features[i]);
      to.push_back(tracked[i]);
    }
  }
  if (from.size() < kMinAgreeing) return -1;
  std::vector<uchar> inliers;
  const cv::Mat motion =
      cv::estimateAffinePartial2D(from, to, inliers, cv::RANSAC, 0.75, 2000, 0.995, 10);
  const size_t agreeing = static_cast<size_t>(std::count(inliers.begin(), inliers.end(), 1));
  if (motion.empty() || agreeing < std::max(kMinAgreeing, from.size() * 2 / 5)) return -1;

  const double w = size.width, h = size.height;
  const cv::Point2d probes[5] = {{0, 0}, {w, 0}, {w, h}, {0, h}, {w / 2, h / 2}};
  double largest = 0;
  for (const cv::Point2d& p : probes) {
    const double x =
        motion.at<double>(0, 0) * p.x + motion.at<double>(0, 1) * p.y + motion.at<double>(0, 2);
    const double y =
        motion.at<double>(1, 0) * p.x + motion.at<double>(1, 1) * p.y + motion.at<double>(1, 2);
    largest = std::max(largest, std::hypot(x - p.x, y - p.y));
  }
  return largest * double(grey.cols) / w;
}

namespace veldrin {

std::string CameraReferencePath(const std::string& directory, const std::string& name) {
  return directory + name + ".ref.png";
}

}  // namespace veldrin
