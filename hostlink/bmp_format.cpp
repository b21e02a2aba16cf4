#include "hostlink/bmp_format.h"

#include <cstdint>
#include <limits>

#include "platform/byte_order.h"
#include "platform/file_io.h"

namespace veldrin {

std::array<unsigned char, kBmpHeaderBytes> MakeBmpHeader(int width, int height) {
  const std::uint64_t dataSize = BmpStride(width) * static_cast<std::uint64_t>(height);
  std::array<unsigned char, kBmpHeaderBytes> header{};
  header[0] = 'B';
  header[1] = 'M';
  WriteLE32(&header[2], static_cast<std::uint32_t>(dataSize + kBmpHeaderBytes));
  WriteLE32(&header[10], kBmpHeaderBytes);
  WriteLE32(&header[14], 40);
  WriteLE32(&header[18], static_cast<std::uint32_t>(width));
  WriteLE32(&header[22], static_cast<std::uint32_t>(height));
  WriteLE16(&header[26], 1);
  WriteLE16(&header[28], 24);
  return header;
}

std::string CheckBmp(std::string_view b, int& width, int& height) {
  if (b.size() < kBmpHeaderBytes) return "shorter than the BMP headers";
  if (b[0] != 'B' || b[1] != 'M') return "no \"BM\" signature";
  const char* p = b.data();
  if (ReadLE32(p + 2) != b.size()) return "file size field disagrees with the file";
  if (ReadLE32(p + 10) != kBmpHeaderBytes || ReadLE32(p + 14) != 40) {
    return "not the 54-byte header layout";
  }
  const auto w = static_cast<std::int32_t>(ReadLE32(p + 18));
  const auto h = static_cast<std::int32_t>(ReadLE32(p + 22));
  if (w <= 0 || h <= 0) return "width and height must be positive";
  if (ReadLE16(p + 26) != 1 || ReadLE16(p + 28) != 24 || ReadLE32(p + 30) != 0) {
    return "not 24-bit uncompressed";
  }
  if (kBmpHeaderBytes + BmpStride(w) * static_cast<std::uint64_t>(h) != b.size()) {
    return "pixel data size disagrees with width and height";
  }
  width = w;
  height = h;
  return {};
}

std::string ReadBmpFile(const std::string& path, SBmpPicture& picture) {
  std::string bytes;
  // The header's size field cannot state a larger file.
  if (ReadWholeFile(path, bytes, std::numeric_limits<std::uint32_t>::max()) != EFileRead::kRead) {
    return "cannot read it";
  }
  int width = 0;
  int height = 0;
  std::string why = CheckBmp(bytes, width, height);
  if (!why.empty()) return why;
  picture.width = width;
  picture.height = height;
  bytes.erase(0, kBmpHeaderBytes);
  picture.pixels = std::move(bytes);
  return {};
}

}  // namespace veldrin
