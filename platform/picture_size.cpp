#include "platform/picture_size.h"

#include <cctype>
#include <cstddef>

#include "platform/byte_order.h"
#include "platform/file_io.h"

namespace veldrin {
namespace {

// Every header below is read from this much of the file's start: a JPEG's frame header follows
// its metadata segments (64 KB each at most), and a TIFF's first directory must lie within it.
constexpr std::size_t kHeaderBytes = std::size_t{256} << 10;

bool StartsWith(std::string_view bytes, std::string_view prefix) {
  return bytes.substr(0, prefix.size()) == prefix;
}

std::optional<SPictureSize> Sized(std::int64_t width, std::int64_t height) {
  if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX) return std::nullopt;
  return SPictureSize{static_cast<int>(width), static_cast<int>(height)};
}

std::optional<SPictureSize> PngSize(std::string_view b) {
  // Signature, then the first chunk, which must be IHDR: width and height big-endian.
  if (b.size() < 24 || b.substr(12, 4) != "IHDR") return std::nullopt;
  return Sized(ReadBE32(b.data() + 16), ReadBE32(b.data() + 20));
}

std::optional<SPictureSize> JpegSize(std::string_view b) {
  // Segments follow the start marker; the first start-of-frame marker (C0 to CF but for C4, C8
  // and CC) states height and width.
  std::size_t at = 2;
  while (at + 4 <= b.size()) {
    if (static_cast<unsigned char>(b[at]) != 0xFF) return std::nullopt;
    const auto marker = static_cast<unsigned char>(b[at + 1]);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      at += 2;
      continue;
    }
    const std::size_t length = ReadBE16(b.data() + at + 2);
    if (length < 2) return std::nullopt;
    const bool frame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (at + 9 > b.size()) return std::nullopt;
      return Sized(ReadBE16(b.data() + at + 7), ReadBE16(b.data() + at + 5));
    }
    if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // end or scan before a frame
    at += 2 + length;
  }
  return std::nullopt;
}

std::optional<SPictureSize> BmpSize(std::string_view b) {
  if (b.size() < 26) return std::nullopt;
  const std::uint32_t headerSize = ReadLE32(b.data() + 14);
  if (headerSize == 12) return Sized(ReadLE16(b.data() + 18), ReadLE16(b.data() + 20));
  if (headerSize < 40) return std::nullopt;
  const auto width = static_cast<std::int32_t>(ReadLE32(b.data() + 18));
  const auto height = static_cast<std::int32_t>(ReadLE32(b.data() + 22));
  // A negative height stores the rows top first; the size is its magnitude.
  return Sized(width, height < 0 ? -static_cast<std::int64_t>(height) : height);
}

std::optional<SPictureSize> AnyMapSize(std::string_view b) {
  // "P1" to "P6", then width and height as decimal numbers between white space and comments.
  std::size_t at = 2;
  std::int64_t values[2] = {0, 0};
  for (std::int64_t& value : values) {
    for (;;) {
      while (at < b.size() && std::isspace(static_cast<unsigned char>(b[at]))) ++at;
      if (at < b.size() && b[at] == '#') {
        while (at < b.size() && b[at] != '\n') ++at;
        continue;
      }
      break;
    }
    const std::size_t start = at;
    while (at < b.size() && std::isdigit(static_cast<unsigned char>(b[at])) && at - start < 10) {
      value = value * 10 + (b[at] - '0');
      ++at;
    }
    if (at == start || at >= b.size() || !std::isspace(static_cast<unsigned char>(b[at]))) {
      return std::nullopt;
    }
  }
  return Sized(values[0], values[1]);
}

std::optional<SPictureSize> TiffSize(std::string_view b) {
  const bool little = b[0] == 'I';
  const auto u16 = [&](std::size_t at) { return little ? ReadLE16(&b[at]) : ReadBE16(&b[at]); };
  const auto u32 = [&](std::size_t at) { return little ? ReadLE32(&b[at]) : ReadBE32(&b[at]); };
  if (b.size() < 8) return std::nullopt;
  const std::size_t directory = u32(4);
  if (directory + 2 > b.size()) return std::nullopt;
  const std::size_t entries = u16(directory);
  std::int64_t width = 0, height = 0;
  for (std::size_t i = 0; i < entries; ++i) {
    const std::size_t entry = directory + 2 + 12 * i;
    if (entry + 12 > b.size()) return std::nullopt;
    const std::uint16_t tag = u16(entry);
    const std::uint16_t type = u16(entry + 2);
    // SHORT values sit in the first two bytes of the value field, LONG ones fill it.
    const std::int64_t value = type == 3 ? u16(entry + 8) : type == 4 ? u32(entry + 8) : -1;
    if (tag == 256) width = value;
    if (tag == 257) height = value;
  }
  return Sized(width, height);
}

}  // namespace

std::optional<SPictureSize> ReadPictureSize(std::string_view header) {
  if (StartsWith(header, "\x89PNG\r\n\x1a\n")) return PngSize(header);
  if (StartsWith(header, "\xFF\xD8\xFF")) return JpegSize(header);
  if (StartsWith(header, "BM")) return BmpSize(header);
  if (header.size() >= 3 && header[0] == 'P' && header[1] >= '1' && header[1] <= '6' &&
      std::isspace(static_cast<unsigned char>(header[2]))) {
    return AnyMapSize(header);
  }
  if (StartsWith(header, std::string_view("II*\0", 4)) ||
      StartsWith(header, std::string_view("MM\0*", 4))) {
    return TiffSize(header);
  }
  return std::nullopt;
}

EPictureCheck CheckPictureFile(const std::string& path, std::string& error, int maxSide,
                               std::int64_t maxPixels) {
  const std::optional<std::string> header = ReadFilePrefix(path, kHeaderBytes);
  if (!header) {
    error = "cannot read " + path;
    return EPictureCheck::kUnknown;
  }
  const std::optional<SPictureSize> size = ReadPictureSize(*header);
  if (!size) {
    error = path + " is not a PNG, JPEG, BMP, PNM or TIFF picture";
    return EPictureCheck::kUnknown;
  }
  if (size->width > maxSide || size->height > maxSide ||
      std::int64_t{size->width} * size->height > maxPixels) {
    error = path + " is " + std::to_string(size->width) + "x" + std::to_string(size->height) +
            " pixels, more than allowed (" + std::to_string(maxSide) + " a side, " +
            std::to_string(maxPixels) + " in all)";
    return EPictureCheck::kTooLarge;
  }
  return EPictureCheck::kFits;
}

}  // namespace veldrin
