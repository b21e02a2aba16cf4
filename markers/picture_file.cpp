#include "markers/picture_file.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "platform/picture_size.h"

namespace veldrin {

EPictureRead ReadPictureFile(const std::string& path, cv::Mat& picture, std::string& error) {
  picture.release();
  switch (CheckPictureFile(path, error)) {
    case EPictureCheck::kFits:
      break;
    case EPictureCheck::kUnknown:
      return EPictureRead::kUnreadable;
    case EPictureCheck::kTooLarge:
      return EPictureRead::kTooLarge;
  }
  try {
    picture = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    picture.release();
  }
  if (picture.empty()) {
    error = "cannot read a picture from " + path;
    return EPictureRead::kUnreadable;
  }
  return EPictureRead::kRead;
}

}  // namespace veldrin
