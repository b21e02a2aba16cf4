#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct SPictureSize {
  int width = 0;
  int height = 0;
};

enum class EPictureCheck { kFits, kUnknown, kTooLarge };

namespace veldrin {

// The largest picture the tools decode: 16384 pixels on a side and 64 megapixels in all (192 MB
// as 8-bit colour). Decoding a larger one takes gigabytes and minutes, and a small compressed
// file can claim any size.
constexpr int kMaxPictureSide = 16384;
constexpr std::int64_t kMaxPicturePixels = std::int64_t{64} << 20;

// The size a picture file's header states, read without decoding: PNG, JPEG, BMP, the portable
// any-map formats (PBM, PGM, PPM) and TIFF. Nothing for any other bytes or a header cut short.
std::optional<SPictureSize> ReadPictureSize(std::string_view header);

// Whether the picture file at `path` may be decoded: kFits when its header states a size of at
// most `maxSide` on a side and `maxPixels` in all. Otherwise one line naming the file goes to
// `error`: kTooLarge for a larger size, kUnknown for a file that cannot be read or whose header is
// none of the formats above (its size cannot be known before decoding, so it is not decoded).
EPictureCheck CheckPictureFile(const std::string& path, std::string& error,
                               int maxSide = kMaxPictureSide,
                               std::int64_t maxPixels = kMaxPicturePixels);

}  // namespace veldrin
