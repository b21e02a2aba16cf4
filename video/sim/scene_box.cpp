#include "video/sim/scene_box.h"

#include <json/value.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "video/scene_json.h"

namespace veldrin {
namespace {

struct CLiveScene {
  std::mutex mutex;
  bool bOverride = false;        // guarded by mutex
  std::vector<SCENE_BOX> boxes;  // guarded by mutex
  std::atomic<unsigned> generation{0};
};

CLiveScene& Live() {
  static CLiveScene live;
  return live;
}

bool ParseMark(const Json::Value& m, SCENE_BOX& box, std::string& error) {
  if (!CheckSceneKeys(m, {"diameter_mm", "rgb"}, "box.mark", error)) return false;
  SCENE_MARK mark;
  if (!ReadSceneNumber(m, "diameter_mm", mark.diameterMm) ||
      !(mark.diameterMm >= 1.0 && mark.diameterMm <= std::min(box.sizeMm[0], box.sizeMm[1]))) {
    error = "box.mark.diameter_mm must be a number from 1 to the box's smaller side";
    return false;
  }
  if (m.isMember("rgb")) {
    const Json::Value& rgb = m["rgb"];
    if (!rgb.isArray() || rgb.size() != 3) {
      error = "box.mark.rgb must be [r, g, b]";
      return false;
    }
    for (Json::ArrayIndex i = 0; i < 3; ++i) {
      if (!rgb[i].isInt() || rgb[i].asInt() < 0 || rgb[i].asInt() > 255) {
        error = "box.mark.rgb must be three whole numbers from 0 to 255";
        return false;
      }
      mark.rgb[i] = rgb[i].asInt();
    }
  }
  box.mark = mark;
  return true;
}

bool ParseBox(const Json::Value& b, SCENE_BOX& box, std::string& error) {
  if (!b.isObject()) {
    error = "box must be null or an object";
    return false;
  }
  if (!CheckSceneKeys(b, {"size_mm", "center_mm", "rotation_deg", "mark"}, "box", error)) {
    return false;
  }
  if (b.isMember("size_mm") && !ReadSceneNumbers(b["size_mm"], 3, box.sizeMm)) {
    error = "box.size_mm must be [x, y, z]";
    return false;
  }
  if (b.isMember("center_mm") && !ReadSceneNumbers(b["center_mm"], 2, box.centreMm)) {
    error = "box.center_mm must be [x, y]";
    return false;
  }
  if (!ReadSceneNumber(b, "rotation_deg", box.rotationDeg)) {
    error = "box.rotation_deg must be a number";
    return false;
  }
  for (double s : box.sizeMm) {
    if (!(s >= 1.0 && s <= 5000.0)) {
      error = "box.size_mm out of range";
      return false;
    }
  }
  if (!(box.rotationDeg >= -180.0 && box.rotationDeg <= 180.0)) {
    error = "box.rotation_deg out of range";
    return false;
  }
  return !b.isMember("mark") || ParseMark(b["mark"], box, error);
}

bool ParseDepth(const Json::Value& d, DEPTH_SIM_PARAMS& depth, std::string& error) {
  if (!CheckSceneKeys(d, {"size", "baseline_mm", "noise", "holes"}, "depth", error)) return false;
  if (d.isMember("size")) {
    const Json::Value& s = d["size"];
    if (!s.isArray() || s.size() != 2 || !s[0].isInt() || !s[1].isInt()) {
      error = "depth.size must be [width, height]";
      return false;
    }
    depth.nWidth = s[0].asInt();
    depth.nHeight = s[1].asInt();
    if (depth.nWidth < 16 || depth.nHeight < 16 || depth.nWidth > 4096 || depth.nHeight > 4096) {
      error = "depth.size out of range";
      return false;
    }
  }
  if (!ReadSceneNumber(d, "baseline_mm", depth.baselineMm)) {
    error = "depth.baseline_mm must be a number";
    return false;
  }
  if (!(depth.baselineMm >= 0.0 && depth.baselineMm <= 200.0)) {
    error = "depth.baseline_mm out of range";
    return false;
  }
  for (const char* key : {"noise", "holes"}) {
    if (!d.isMember(key)) continue;
    if (!d[key].isBool()) {
      error = std::string("depth.") + key + " must be true or false";
      return false;
    }
    (std::string(key) == "noise" ? depth.bNoise : depth.bHoles) = d[key].asBool();
  }
  return true;
}

}  // namespace

bool ParseSceneDepthKeys(const Json::Value& root, std::optional<SCENE_BOX>& box,
                         DEPTH_SIM_PARAMS& depth, std::string& error) {
  if (root.isMember("box")) {
    if (root["box"].isNull()) {
      box.reset();
    } else {
      SCENE_BOX parsed;
      if (!ParseBox(root["box"], parsed, error)) return false;
      box = parsed;
    }
  }
  return !root.isMember("depth") || ParseDepth(root["depth"], depth, error);
}

bool ParseSceneBoxes(const Json::Value& root, std::vector<SCENE_BOX>& boxes, std::string& error) {
  if (!root.isMember("boxes")) return true;
  const Json::Value& list = root["boxes"];
  if (!list.isArray()) {
    error = "boxes must be a list of boxes";
    return false;
  }
  std::vector<SCENE_BOX> parsed;
  for (const Json::Value& b : list) {
    SCENE_BOX box;
    if (!ParseBox(b, box, error)) return false;
    parsed.push_back(box);
  }
  boxes = std::move(parsed);
  return true;
}

std::vector<SCENE_BOX> SceneBoxList(const std::optional<SCENE_BOX>& box,
                                    const std::vector<SCENE_BOX>& boxes) {
  std::vector<SCENE_BOX> all;
  if (box) all.push_back(*box);
  all.insert(all.end(), boxes.begin(), boxes.end());
  return all;
}

void SetLiveSceneBox(const std::optional<SCENE_BOX>& box) {
  SetLiveSceneBoxes(box ? std::vector<SCENE_BOX>{*box} : std::vector<SCENE_BOX>{});
}

void SetLiveSceneBoxes(const std::vector<SCENE_BOX>& boxes) {
  CLiveScene& live = Live();
  std::lock_guard lock(live.mutex);
  live.bOverride = true;
  live.boxes = boxes;
  ++live.generation;
}

void ResetLiveScene() {
  CLiveScene& live = Live();
  std::lock_guard lock(live.mutex);
  live.bOverride = false;
  live.boxes.clear();
  ++live.generation;
}

std::vector<SCENE_BOX> EffectiveSceneBoxes(const std::vector<SCENE_BOX>& fromFile) {
  CLiveScene& live = Live();
  std::lock_guard lock(live.mutex);
  return live.bOverride ? live.boxes : fromFile;
}

unsigned LiveSceneGeneration() { return Live().generation.load(); }

}  // namespace veldrin
