#include "platform/json_reader.h"

#include <json/reader.h>
#include <json/value.h>

#include <exception>
#include <memory>
#include <string>

namespace veldrin {

bool ParseJsonText(std::string_view text, Json::Value& root, bool failIfExtra) {
  Json::CharReaderBuilder builder;
  if (failIfExtra) builder["failIfExtra"] = true;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  Json::Value parsed;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &parsed, &errors)) return false;
  } catch (const std::exception&) {
    return false;
  }
  root.swap(parsed);
  return true;
}

}  // namespace veldrin
