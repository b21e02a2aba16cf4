#pragma once

#include <QIcon>

namespace veldrin {

// Icon ids used by the windows: the application (window and about box) and the buttons.
inline constexpr int IDI_MAIN = 1;
inline constexpr int IDI_ABOUT = 128;
inline constexpr int IDI_SAVE = 5002;
inline constexpr int IDI_REMOVE = 5001;

// The icon for an id, from the image files in icons/ at 16, 24, 32 and 48 pixels (and larger for
// the application), or a null icon for an unknown id. Needs a QGuiApplication; UI thread only.
QIcon LoadAppIcon(int id);

}  // namespace veldrin
