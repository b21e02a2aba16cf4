#pragma once

// Conversions between UTF-8 (the program's own text) and UTF-16 (the host's folder string and
// settings files written by Windows editors).

#include <string>

namespace veldrin {

// Unpaired surrogates become U+FFFD, so the result is always valid UTF-8.
std::string Utf16ToUtf8(const std::u16string& in);

// Strict: false for malformed, overlong or surrogate sequences (`out` then holds a prefix).
[[nodiscard]] bool Utf8ToUtf16(const std::string& in, std::u16string& out);

}  // namespace veldrin
