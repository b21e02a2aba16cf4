#pragma once

#include <opencv2/core/mat.hpp>

#include <string>

enum class EPictureRead { kRead, kUnreadable, kTooLarge };

namespace veldrin {

// Decodes the picture file at `path` as 8-bit BGR, once its header has shown a size within the
// limits of platform/picture_size.h. Otherwise `picture` is empty and `error` holds one line
// naming the file: kTooLarge for a size past the limits, kUnreadable for a file that cannot be
// read, is of a format whose size cannot be read first, or does not decode. Never throws.
EPictureRead ReadPictureFile(const std::string& path, cv::Mat& picture, std::string& error);

}  // namespace veldrin
