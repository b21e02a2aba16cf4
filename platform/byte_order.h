#pragma once

// The one home of byte-order reading and writing (files and the shared block are
// little-endian whatever the machine; a few picture headers are big-endian).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

namespace veldrin {

// Reads from any byte buffer (char, unsigned char or std::byte).
inline std::uint16_t ReadLE16(const void* at) {
  const auto* p = static_cast<const unsigned char*>(at);
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t ReadLE32(const void* at) {
  const auto* p = static_cast<const unsigned char*>(at);
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Big-endian, for the picture headers that use it (PNG, JPEG, some TIFF).
inline std::uint16_t ReadBE16(const void* at) {
  const auto* p = static_cast<const unsigned char*>(at);
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t ReadBE32(const void* at) {
  const auto* p = static_cast<const unsigned char*>(at);
  return (static_cast<std::uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

inline float ReadLEFloat(const void* at) { return std::bit_cast<float>(ReadLE32(at)); }

inline void WriteLE16(void* at, std::uint16_t value) {
  auto* p = static_cast<unsigned char*>(at);
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

inline void WriteLE32(void* at, std::uint32_t value) {
  auto* p = static_cast<unsigned char*>(at);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline void AppendLE32(std::string& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline void AppendLEFloat(std::string& bytes, float value) {
  AppendLE32(bytes, std::bit_cast<std::uint32_t>(value));
}

}  // namespace veldrin
