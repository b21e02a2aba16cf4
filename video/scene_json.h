#pragma once

// The readers the scene files share: unknown keys are refused (a misspelt key would otherwise
// be ignored silently), and a present member of the wrong type is an error, never a default.

#include <json/value.h>

#include <cstddef>
#include <initializer_list>
#include <string>

namespace veldrin {

// False with "<where> is not an object" or "unknown key <where>.<name>" in `error`.
[[nodiscard]] bool CheckSceneKeys(const Json::Value& object,
                                  std::initializer_list<const char*> allowed,
                                  const std::string& where, std::string& error);

// Leaves `out` alone when the member is absent; false when it is there but not a number.
[[nodiscard]] bool ReadSceneNumber(const Json::Value& object, const char* key, double& out);

// An array of exactly `count` numbers into `out`; false, with `out` untouched, otherwise.
[[nodiscard]] bool ReadSceneNumbers(const Json::Value& value, std::size_t count, double* out);

}  // namespace veldrin
