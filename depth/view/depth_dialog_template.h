#pragma once

// The 3D View's template: its controls, texts and places in dialog units, as data.

enum class EControlKind { kGroupBox, kLabel, kReadOnlyEdit, kUpDown, kCheckBox, kPushButton };

struct SControlTemplate {
  const char* id;  // object name; empty for static controls
  EControlKind kind;
  const char* text;
  int x, y, cx, cy;  // dialog units
  bool hidden;
};

namespace veldrin {

inline constexpr const char* kDepthDialogTitle = "3D View";
inline constexpr int kDepthDialogWidthDu = 573;
inline constexpr int kDepthDialogHeightDu = 152;

inline constexpr SControlTemplate kDepthDialogControls[] = {
    {"", EControlKind::kGroupBox, "Settings", 468, 3, 99, 75, false},
    {"", EControlKind::kLabel, "Max tolerance", 472, 19, 46, 8, false},
    {"1008", EControlKind::kReadOnlyEdit, "", 472, 29, 65, 14, false},
    {"1018", EControlKind::kUpDown, "", 540, 29, 11, 14, false},
    {"1011", EControlKind::kCheckBox, "Draw table points", 472, 51, 72, 10, false},
    {"1017", EControlKind::kCheckBox, "Draw virtual table plane", 472, 63, 92, 10, false},
    {"1022", EControlKind::kPushButton, "Save plane coordinates", 472, 81, 90, 14, true},
    {"", EControlKind::kLabel, "Object height:", 470, 110, 47, 8, false},
    {"1021", EControlKind::kReadOnlyEdit, "", 472, 129, 40, 14, false},
};

// The two views, in client pixels (left, top, right, bottom).
inline constexpr int kDepthImageRect[4] = {0, 0, 320, 240};
inline constexpr int kGLViewRect[4] = {330, 0, 650, 240};

}  // namespace veldrin
