#pragma once

// The parts of the table scene that the depth camera adds: a box standing on the table, the
// depth camera's own settings, and the live changes tests make while cameras stream.

#include <optional>
#include <string>
#include <vector>

namespace Json {
class Value;
}

// A filled disc printed at the centre of a box's top face (flat: it adds no height).
struct SCENE_MARK {
  double diameterMm = 10.0;
  int rgb[3] = {220, 30, 30};
};

// A box standing on the table. Millimetres and degrees; the centre is relative to the point the
// colour camera aims at (x right, y away from the camera), the rotation counter-clockwise seen
// from above.
struct SCENE_BOX {
  double sizeMm[3] = {100.0, 80.0, 50.0};  // x, y (footprint), z (height)
  double centreMm[2] = {0.0, 0.0};
  double rotationDeg = 0.0;
  std::optional<SCENE_MARK> mark = std::nullopt;
};
using SCENE_BOXES = std::vector<SCENE_BOX>;

// The simulated depth camera mounted beside the colour camera.
struct DEPTH_SIM_PARAMS {
  int nWidth = 640;
  int nHeight = 480;
  double baselineMm = 15.0;  // depth camera to the right of the colour camera
  bool bNoise = true;        // noise growing with the square of the distance
  bool bHoles = true;        // no depth at depth edges and in the left band
};

namespace veldrin {

// Reads the "box" and "depth" keys of a scene file; false with the reason in `error`.
bool ParseSceneDepthKeys(const Json::Value& root, std::optional<SCENE_BOX>& box,
                         DEPTH_SIM_PARAMS& depth, std::string& error);

// Reads the "boxes" key of a scene file (a list of boxes, each as "box"); false with the reason.
bool ParseSceneBoxes(const Json::Value& root, std::vector<SCENE_BOX>& boxes, std::string& error);

// Every box of the scene: the file's "box" (when there is one) followed by its "boxes".
std::vector<SCENE_BOX> SceneBoxList(const std::optional<SCENE_BOX>& box,
                                    const std::vector<SCENE_BOX>& boxes);

// Live scene changes for every scene camera of the process, colour and depth alike, from the
// next frame on. They override the scene file's box until ResetLiveScene.
void SetLiveSceneBox(const std::optional<SCENE_BOX>& box);
void SetLiveSceneBoxes(const std::vector<SCENE_BOX>& boxes);
void ResetLiveScene();
// The boxes in effect: the live ones when set, else the file's.
std::vector<SCENE_BOX> EffectiveSceneBoxes(const std::vector<SCENE_BOX>& fromFile);
// Changes with every live change, so renderers can cache what depends on the box.
unsigned LiveSceneGeneration();

}  // namespace veldrin
