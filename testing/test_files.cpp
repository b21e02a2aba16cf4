#include "testing/test_files.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>

#include "hostlink/bmp_format.h"
#include "platform/byte_order.h"
#include "platform/file_io.h"

namespace veldrin_test {

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::string bytes;
  // A file that is missing or unreadable reads as empty, which every caller checks against.
  (void)veldrin::ReadWholeFile(path.string(), bytes, std::numeric_limits<std::uint32_t>::max());
  return bytes;
}

void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

namespace {

std::uint32_t Crc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void AppendBE32(std::string& bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((value >> shift) & 0xFF);
}

void AppendChunk(std::string& png, std::string_view type, std::string_view data) {
  AppendBE32(png, static_cast<std::uint32_t>(data.size()));
  std::string body(type);
  body += data;
  png += body;
  AppendBE32(png, Crc32(body));
}

}  // namespace

std::string PngClaimingSize(int width, int height) {
  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string header;
  AppendBE32(header, static_cast<std::uint32_t>(width));
  AppendBE32(header, static_cast<std::uint32_t>(height));
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace
  AppendChunk(png, "IHDR", header);
  AppendChunk(png, "IDAT", std::string("\x78\x9c\x00", 3));  // a deflate stream that stops
  AppendChunk(png, "IEND", "");
  return png;
}

std::string LEFloatBytes(std::initializer_list<float> values) {
  std::string bytes;
  for (const float v : values) veldrin::AppendLEFloat(bytes, v);
  return bytes;
}

std::string LEFloatBytes(const std::vector<cv::Point2f>& points) {
  std::string bytes;
  for (const cv::Point2f& p : points) bytes += LEFloatBytes({p.x, p.y});
  return bytes;
}

std::vector<std::string> FileNames(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string UniqueInstanceName(const std::string& tag) {
  static std::atomic<int> serial{0};
  return "veldrin-" + tag + "-" + std::to_string(::getpid()) + "-" +
         std::to_string(serial.fetch_add(1));
}

int ThreadCount() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) n += e.exists();
  return n;
}

cv::Mat ReadPublishedPicture(const std::filesystem::path& path) {
  SBmpPicture picture;
  if (!veldrin::ReadBmpFile(path.string(), picture).empty()) return {};
  cv::Mat out(picture.height, picture.width, CV_8UC3);
  for (int y = 0; y < picture.height; ++y) {
    std::memcpy(out.ptr(y), picture.Row(y), static_cast<std::size_t>(picture.width) * 3);
  }
  return out;
}

}  // namespace veldrin_test
