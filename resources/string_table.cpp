#include "resources/string_table.h"

#include <array>
#include <utility>

namespace veldrin {

namespace {

// Constant-initialised, so lookups never race with a static initialiser.
const std::array<std::pair<int, const char*>, 7> kStringTable = {{
    {IDS_ABOUTBOX, "&About de Tabulo..."},
    {IDS_CONNECTION_FAILED, "Connection failed. Unable to launch the application."},
    {IDS_CAMERA_NOT_FOUND, "Camera not found. Unable to launch the application."},
    {IDS_CONFIRM_REMOVE_CALIBRATION, "Are you sure you want to remove the calibration?"},
    {IDS_CONFIRM_OVERWRITE_CALIBRATION, "Are you sure you want to overwrite the calibration?"},
    {IDS_UNABLE_TO_OPEN_CAMERA, "Unable to open camera"},
    {IDS_PREFERRED_CAMERA_UNAVAILABLE,
     "Preferred camera is not available.\n Do you want to try using another one ?"},
}};

}  // namespace

const std::string& LoadStringResource(int id) {
  // Function-local statics are initialised thread-safely on first use.
  static const std::array<std::string, kStringTable.size()> texts = [] {
    std::array<std::string, kStringTable.size()> result;
    for (std::size_t i = 0; i < kStringTable.size(); ++i) result[i] = kStringTable[i].second;
    return result;
  }();
  static const std::string empty;
  for (std::size_t i = 0; i < kStringTable.size(); ++i) {
    if (kStringTable[i].first == id) return texts[i];
  }
  return empty;
}

}  // namespace veldrin
