#pragma once

#include <string_view>

namespace Json {
class Value;
}

namespace veldrin {

// Parses one JSON document. False for text that is not JSON and for text the reader gives up on
// by throwing (nesting deeper than its limit): every file we read is outside input, and a file
// must never end the program. With `failIfExtra`, anything but white space after the value is
// refused too.
[[nodiscard]] bool ParseJsonText(std::string_view text, Json::Value& root,
                                 bool failIfExtra = false);

}  // namespace veldrin
