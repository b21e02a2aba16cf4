#pragma once

// The picture format of the host link: a 24-bit uncompressed BMP with the 54-byte header and a
// positive height whose first stored row is the top row (the host reads it so). The tool writes
// it, the host simulator and the tests read it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct SBmpPicture;

namespace veldrin {

inline constexpr std::size_t kBmpHeaderBytes = 54;

// Bytes per stored row: three a pixel, padded to a multiple of four.
constexpr std::uint64_t BmpStride(int width) {
  return (static_cast<std::uint64_t>(width) * 3 + 3) / 4 * 4;
}

// The header of a `width` x `height` picture; both positive, and the file no larger than the
// header's 32-bit size field can state (the caller checks).
std::array<unsigned char, kBmpHeaderBytes> MakeBmpHeader(int width, int height);

// Checks that `bytes` is exactly the layout the tool writes. Returns an empty string when it is
// (and sets width and height), else why not.
std::string CheckBmp(std::string_view bytes, int& width, int& height);

// Reads and checks a picture file. Returns an empty string on success, else why it was refused.
std::string ReadBmpFile(const std::string& path, SBmpPicture& picture);

}  // namespace veldrin

// A picture read back: its rows as stored (padded to BmpStride), top row first.
struct SBmpPicture {
  int width = 0;
  int height = 0;
  std::string pixels;
  const unsigned char* Row(int y) const {
    return reinterpret_cast<const unsigned char*>(pixels.data()) + veldrin::BmpStride(width) * y;
  }
};
