#pragma once

// The parts of the table scene that the depth camera adds: a box standing on the table, the
// depth camera's own settings, and the live changes tests make while cameras stream.

#include <optional>
#include <string>

namespace Json {
class Value;
}

// A box standing on the table. Millimetres and degrees; the centre is relative to the point the
// colour camera aims at (x right, y away from the camera), the rotation counter-clockwise seen
// from above.
struct SCENE_BOX {
  double sizeMm[3] = {100.0, 80.0, 50.0};  // x, y (footprint), z (height)
  double centreMm[2] = {0.0, 0.0};
  double rotationDeg = 0.0;
};

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
[[nodiscard]] bool ParseSceneDepthKeys(const Json::Value& root, std::optional<SCENE_BOX>& box,
                                       DEPTH_SIM_PARAMS& depth, std::string& error);

// Live scene changes for every scene camera of the process, colour and depth alike, from the
// next frame on. They override the scene file's box until ResetLiveScene.
void SetLiveSceneBox(const std::optional<SCENE_BOX>& box);
void ResetLiveScene();
// The box in effect: the live one when set, else the file's.
std::optional<SCENE_BOX> EffectiveSceneBox(const std::optional<SCENE_BOX>& fromFile);
// Changes with every live change, so renderers can cache what depends on the box.
unsigned LiveSceneGeneration();

}  // namespace veldrin
