#include "markers/grey_picture.h"

#include <opencv2/imgproc.hpp>

namespace veldrin {

bool GreyPicture(const cv::Mat& picture, cv::Mat& grey) {
  if (picture.empty() || picture.depth() != CV_8U) return false;
  if (picture.channels() == 3) {
    cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
  } else if (picture.channels() == 1) {
    grey = picture;
  } else {
    return false;
  }
  return true;
}

}  // namespace veldrin
