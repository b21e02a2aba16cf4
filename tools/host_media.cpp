#include "tools/host_media.h"

#include <cctype>
#include <charconv>
#include <cstddef>

namespace {

bool ParsePositive(const std::string& text, long& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && value > 0;
}

}  // namespace

bool veldrin::ParseMediaSize(std::string text, int& width, int& height) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.erase(0, 1);
  const std::size_t x = text.find_first_of("xX");
  long w = 0, h = 0;
  if (x == std::string::npos || !ParsePositive(text.substr(0, x), w) ||
      !ParsePositive(text.substr(x + 1), h) || w > 1000000 || h > 1000000) {
    return false;
  }
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return true;
}
