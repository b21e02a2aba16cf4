#include "video/scene_json.h"

#include <algorithm>

namespace veldrin {

bool CheckSceneKeys(const Json::Value& object, std::initializer_list<const char*> allowed,
                    const std::string& where, std::string& error) {
  if (!object.isObject()) {
    error = where + " is not an object";
    return false;
  }
  for (const std::string& name : object.getMemberNames()) {
    if (std::none_of(allowed.begin(), allowed.end(),
                     [&](const char* key) { return name == key; })) {
      error = "unknown key " + (where.empty() ? name : where + "." + name);
      return false;
    }
  }
  return true;
}

bool ReadSceneNumber(const Json::Value& object, const char* key, double& out) {
  if (!object.isMember(key)) return true;
  if (!object[key].isNumeric()) return false;
  out = object[key].asDouble();
  return true;
}

bool ReadSceneNumbers(const Json::Value& value, std::size_t count, double* out) {
  if (!value.isArray() || value.size() != count) return false;
  for (Json::ArrayIndex i = 0; i < count; ++i) {
    if (!value[i].isNumeric()) return false;
  }
  for (Json::ArrayIndex i = 0; i < count; ++i) out[i] = value[i].asDouble();
  return true;
}

}  // namespace veldrin
