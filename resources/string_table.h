#pragma once

#include <string>

namespace veldrin {

// Ids of the string table. Message boxes and the system menu refer to texts by these numbers.
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDS_CONNECTION_FAILED = 102;
inline constexpr int IDS_CAMERA_NOT_FOUND = 103;
inline constexpr int IDS_CONFIRM_REMOVE_CALIBRATION = 104;
inline constexpr int IDS_CONFIRM_OVERWRITE_CALIBRATION = 105;
inline constexpr int IDS_UNABLE_TO_OPEN_CAMERA = 106;
inline constexpr int IDS_PREFERRED_CAMERA_UNAVAILABLE = 107;

// Returns the text of a string-table entry, or an empty string for an unknown id.
// The reference stays valid for the life of the program; safe to call from any thread.
const std::string& LoadStringResource(int id);

}  // namespace veldrin
