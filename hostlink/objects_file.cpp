#include "hostlink/objects_file.h"

#include <json/json.h>

#include <charconv>
#include <cmath>
#include <memory>

#include "platform/file_io.h"

namespace {

// A megabyte holds thousands of objects; anything larger is no objects file.
constexpr std::size_t kMaxObjectsFile = 1 << 20;

// One decimal, shortest form, a point whatever the locale.
void AppendNumber(std::string& out, double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::round(value * 10.0) / 10.0,
                                    std::chars_format::general);
  out.append(buffer, result.ptr);
}

void AppendPoint(std::string& out, const std::array<double, 2>& p) {
  out += '[';
  AppendNumber(out, p[0]);
  out += ", ";
  AppendNumber(out, p[1]);
  out += ']';
}

bool IsNumber(const Json::Value& v) { return v.isNumeric() && std::isfinite(v.asDouble()); }

bool ReadPoint(const Json::Value& v, std::array<double, 2>& p) {
  if (!v.isArray() || v.size() != 2 || !IsNumber(v[0]) || !IsNumber(v[1])) return false;
  p = {v[0].asDouble(), v[1].asDouble()};
  return true;
}

}  // namespace

namespace veldrin {

std::string SerializeObjects(std::uint64_t frame, const std::vector<SMediaObject>& objects) {
  std::string out = "{\"frame\": " + std::to_string(frame) + ", \"objects\": [";
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const SMediaObject& o = objects[i];
    out += i == 0 ? "\n  {" : ",\n  {";
    out += "\"center_mm\": ";
    AppendPoint(out, o.centreMm);
    out += ", \"height_mm\": ";
    AppendNumber(out, o.heightMm);
    out += ", \"area_mm2\": ";
    AppendNumber(out, o.areaMm2);
    out += ", \"outline_mm\": [";
    for (std::size_t k = 0; k < o.outlineMm.size(); ++k) {
      if (k > 0) out += ", ";
      AppendPoint(out, o.outlineMm[k]);
    }
    out += "]}";
  }
  out += objects.empty() ? "]}\n" : "\n]}\n";
  return out;
}

bool WriteObjectsFile(const std::string& folder, std::uint64_t frame,
                      const std::vector<SMediaObject>& objects) {
  const std::string bytes = SerializeObjects(frame, objects);
  return ReplaceFileUnflushed(folder + kObjectsFileName, {bytes});
}

bool ReadObjectsFile(const std::string& path, std::uint64_t& frame,
                     std::vector<SMediaObject>& objects, std::string& error) {
  std::string bytes;
  switch (ReadWholeFile(path, bytes, kMaxObjectsFile)) {
    case EFileRead::kRead:
      break;
    case EFileRead::kMissing:
      error = "no " + path;
      return false;
    case EFileRead::kUnreadable:
      error = "cannot read " + path;
      return false;
  }
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string problems;
  if (!reader->parse(bytes.data(), bytes.data() + bytes.size(), &root, &problems) ||
      !root.isObject() || !root["frame"].isUInt64() || !root["objects"].isArray()) {
    error = path + ": not an objects file";
    return false;
  }
  std::vector<SMediaObject> read;
  for (const Json::Value& o : root["objects"]) {
    SMediaObject object;
    if (!o.isObject() || !ReadPoint(o["center_mm"], object.centreMm) || !IsNumber(o["height_mm"]) ||
        !IsNumber(o["area_mm2"]) || !o["outline_mm"].isArray()) {
      error = path + ": an object lacks center_mm, height_mm, area_mm2 or outline_mm";
      return false;
    }
    object.heightMm = o["height_mm"].asDouble();
    object.areaMm2 = o["area_mm2"].asDouble();
    for (const Json::Value& p : o["outline_mm"]) {
      std::array<double, 2> point{};
      if (!ReadPoint(p, point)) {
        error = path + ": an outline point is not [x, y]";
        return false;
      }
      object.outlineMm.push_back(point);
    }
    read.push_back(std::move(object));
  }
  frame = root["frame"].asUInt64();
  objects = std::move(read);
  return true;
}

}  // namespace veldrin
