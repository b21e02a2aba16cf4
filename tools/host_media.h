#pragma once

#include <string>

namespace veldrin {

// The host simulator's media size, "WIDTHxHEIGHT" in millimetres ("297x210", "X" allowed, blanks
// around it ignored), as given on its command line and in its control file. False for anything
// else, and for sizes of 0 or above 1 000 000, with `width` and `height` untouched.
[[nodiscard]] bool ParseMediaSize(std::string text, int& width, int& height);

}  // namespace veldrin
