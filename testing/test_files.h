#pragma once

#include <filesystem>
#include <initializer_list>
#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace veldrin_test {

// A file's bytes (empty when it cannot be read), through the platform's reader.
std::string ReadFileBytes(const std::filesystem::path& path);
// Writes `bytes` as the whole file (plainly: tests also write what the code must refuse).
void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);

// Little-endian 32-bit floats, as the raw calibration and plane files hold them; points give
// x then y.
std::string LEFloatBytes(std::initializer_list<float> values);
std::string LEFloatBytes(const std::vector<cv::Point2f>& points);

// The start of a PNG file whose header claims `width` x `height` colour pixels (checksums right,
// pixel data cut short): what a decoder sizes its picture by, without the megabytes behind it.
std::string PngClaimingSize(int width, int height);

// The names in a folder, sorted.
std::vector<std::string> FileNames(const std::filesystem::path& folder);

// A shared-memory name of its own for this test process: "veldrin-<tag>-<pid>-<serial>".
std::string UniqueInstanceName(const std::string& tag);

// The threads this process runs now.
int ThreadCount();

// A picture published through the host link, top row first; empty when the file is not one.
cv::Mat ReadPublishedPicture(const std::filesystem::path& path);

}  // namespace veldrin_test
