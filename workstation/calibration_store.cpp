#include "workstation/calibration_store.h"

#include <fcntl.h>
#include <json/json.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include "markers/camera_reference.h"
#include "platform/byte_order.h"
#include "platform/file_io.h"
#include "platform/json_reader.h"

namespace {

constexpr const char* kExtension = ".clb";
// A calibration is a few hundred bytes; anything this large is not one, and reading it whole
// would only cost memory.
constexpr size_t kMaxFileSize = 1u << 20;

// atoi without its undefined behaviour on overflow: the result saturates.
long long LeadingInteger(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  long long n = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    n = std::min<long long>(n * 10 + (s[i] - '0'), static_cast<long long>(INT_MAX) + 1);
  }
  return negative ? -n : n;
}

// atof in the C locale: the application's locale (set by the UI toolkit) must not turn
// "160.500000" into 160.
double CLocaleAtof(const std::string& s) {
  static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
  return ::strtod_l(s.c_str(), nullptr, cLocale);
}

// "%lf" in the C locale.
std::string FormatFixed6(double value) {
  char buf[400];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 6);
  return std::string(buf, result.ptr);
}

// Raw legacy files hold no header, so a raw point can begin with any byte, "{" included. Only a
// file that is one whole JSON object is taken as JSON; a 32-byte file (four raw points) is
// raw whatever its bytes look like, since no JSON calibration is that short.
constexpr size_t kRawFourPointsSize = 32;

bool ParseWholeObject(const std::string& bytes, Json::Value& root) {
  if (bytes.size() == kRawFourPointsSize) return false;
  return veldrin::ParseJsonText(bytes, root, true) && root.isObject();
}

bool IsUsableCoordinate(float v) {
  return std::isfinite(v) && std::fabs(v) <= CCalibrationStore::kMaxCoordinate;
}

// Points of a parsed JSON calibration; false when the value does not describe one.
bool PointsFromJson(const Json::Value& root, std::vector<cv::Point2f>& points) {
  if (!root.isObject()) return false;
  const Json::Value& count = root["numCorners"];
  if (!count.isString()) return false;
  const long long n = LeadingInteger(count.asString());
  // Every point needs two members, so a count beyond the object's size cannot be satisfied;
  // checking first keeps an absurd count from costing time or memory.
  if (n < 0 || n > static_cast<long long>(root.size())) return false;
  points.clear();
  points.reserve(static_cast<size_t>(n));
  for (long long i = 0; i < n; ++i) {
    const Json::Value& x = root["CornerX_" + std::to_string(i)];
    const Json::Value& y = root["CornerY_" + std::to_string(i)];
    if (!x.isString() || !y.isString()) return false;
    points.emplace_back(static_cast<float>(CLocaleAtof(x.asString())),
                        static_cast<float>(CLocaleAtof(y.asString())));
  }
  return true;
}

// The recorded frame size; empty unless both members are strings holding a usable side.
cv::Size FrameFromJson(const Json::Value& root) {
  const Json::Value& w = root["FrameWidth"];
  const Json::Value& h = root["FrameHeight"];
  if (!w.isString() || !h.isString()) return {};
  const long long width = LeadingInteger(w.asString());
  const long long height = LeadingInteger(h.asString());
  constexpr long long kMax = CCalibrationStore::kMaxFrameSide;
  if (width < 1 || height < 1 || width > kMax || height > kMax) return {};
  return {static_cast<int>(width), static_cast<int>(height)};
}

bool LessForListing(const std::string& a, const std::string& b) {
  const auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
  const auto ia = [&](size_t i) { return lower(static_cast<unsigned char>(a[i])); };
  const auto ib = [&](size_t i) { return lower(static_cast<unsigned char>(b[i])); };
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (ia(i) != ib(i)) return ia(i) < ib(i);
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace

CCalibrationStore::CCalibrationStore(const std::string& directory) : m_directory(directory) {
  Refresh();
}

int CCalibrationStore::Refresh() {
  m_names.clear();
  if (m_directory.empty()) return 0;
  // The files match "<directory>*.clb". The directory string is a prefix, so when it does not
  // end with "/" its last part is the start of the file names, and the listed name is what
  // follows it: "<directory><name>.clb" then names the same file again.
  const size_t slash = m_directory.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : m_directory.substr(0, slash + 1);
  const std::string prefix =
      slash == std::string::npos ? m_directory : m_directory.substr(slash + 1);
  const std::string_view ext = kExtension;

  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string file = it->path().filename().string();
    if (file.size() < prefix.size() + ext.size() || !file.starts_with(prefix) ||
        !file.ends_with(ext)) {
      continue;
    }
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    m_names.push_back(file.substr(prefix.size(), file.size() - prefix.size() - ext.size()));
  }
  // The order of a directory listing differs between file systems (and on some changes with
  // every new file), while the list index is stored in the settings: sort by name, letter case
  // ignored, so the stored index keeps naming the same calibration.
  std::sort(m_names.begin(), m_names.end(), LessForListing);
  return GetCount();
}

std::string CCalibrationStore::GetName(int index) const {
  if (index < 0 || index >= GetCount()) return std::string();
  return m_names[static_cast<size_t>(index)];
}

bool CCalibrationStore::Exists(const std::string& name) const {
  return std::find(m_names.begin(), m_names.end(), name) != m_names.end();
}

int CCalibrationStore::Find(const std::string& name) const {
  const auto it = std::find(m_names.begin(), m_names.end(), name);
  return it == m_names.end() ? -1 : static_cast<int>(it - m_names.begin());
}

int CCalibrationStore::Load(int index, std::vector<cv::Point2f>& corners) const {
  if (index < 0 || index >= GetCount()) return 0;
  return ReadCalibration(m_directory, m_names[static_cast<size_t>(index)], corners);
}

bool CCalibrationStore::Save(const std::string& name, const std::vector<cv::Point2f>& corners,
                             const std::string& lens, cv::Size frame) {
  if (m_directory.empty() || !WriteCalibration(m_directory, name, corners, lens, frame))
    return false;
  Refresh();
  return true;
}

std::string CCalibrationStore::FilePath(const std::string& name) const {
  return m_directory + name + kExtension;
}

bool CCalibrationStore::Remove(int index) {
  if (index < 0 || index >= GetCount()) return false;
  // The same path as reading and writing, so that the listed file is the one deleted.
  const std::string path = FilePath(m_names[static_cast<size_t>(index)]);
  if (::unlink(path.c_str()) != 0) return false;
  // The camera reference kept with the calibration goes too; there may never have been one.
  ::unlink(veldrin::CameraReferencePath(m_directory, m_names[static_cast<size_t>(index)]).c_str());
  Refresh();
  return true;
}

int CCalibrationStore::ReadCalibration(const std::string& directory, const std::string& name,
                                       std::vector<cv::Point2f>& corners) {
  ECalibrationForm form;
  return ReadCalibration(directory, name, corners, form);
}

int CCalibrationStore::ReadCalibration(const std::string& directory, const std::string& name,
                                       std::vector<cv::Point2f>& corners, ECalibrationForm& form) {
  std::string lens;
  return ReadCalibration(directory, name, corners, form, lens);
}

int CCalibrationStore::ReadCalibration(const std::string& directory, const std::string& name,
                                       std::vector<cv::Point2f>& corners, ECalibrationForm& form,
                                       std::string& lens) {
  cv::Size frame;
  return ReadCalibration(directory, name, corners, form, lens, frame);
}

int CCalibrationStore::ReadCalibration(const std::string& directory, const std::string& name,
                                       std::vector<cv::Point2f>& corners, ECalibrationForm& form,
                                       std::string& lens, cv::Size& frame) {
  form = ECalibrationForm::kNone;
  lens.clear();
  frame = cv::Size();
  std::string bytes;
  if (veldrin::ReadWholeFile(directory + name + kExtension, bytes, kMaxFileSize) !=
      EFileRead::kRead)
    return 0;

  std::vector<cv::Point2f> points;
  Json::Value root;
  if (ParseWholeObject(bytes, root)) {
    if (!PointsFromJson(root, points)) return 0;
    form = ECalibrationForm::kJson;
    if (root["Lens"].isString()) lens = root["Lens"].asString();
    frame = FrameFromJson(root);
  } else {
    for (size_t offset = 0; offset + 8 <= bytes.size(); offset += 8) {
      points.emplace_back(veldrin::ReadLEFloat(&bytes[offset]),
                          veldrin::ReadLEFloat(&bytes[offset + 4]));
    }
    form = ECalibrationForm::kLegacy;
  }
  // Corners far outside any picture (or not numbers at all) are damage, not a calibration:
  // drawn or warped they would only fill the pictures with garbage.
  for (const cv::Point2f& p : points) {
    if (!IsUsableCoordinate(p.x) || !IsUsableCoordinate(p.y)) {
      form = ECalibrationForm::kNone;
      return 0;
    }
  }
  corners = std::move(points);
  return static_cast<int>(corners.size());
}

std::string CCalibrationStore::Serialize(const std::vector<cv::Point2f>& corners,
                                         const std::string& lens, cv::Size frame) {
  Json::Value root(Json::objectValue);
  if (!lens.empty()) root["Lens"] = lens;
  if (!frame.empty()) {
    root["FrameWidth"] = std::to_string(frame.width);
    root["FrameHeight"] = std::to_string(frame.height);
  }
  root["numCorners"] = std::to_string(corners.size());
  for (size_t i = 0; i < corners.size(); ++i) {
    root["CornerX_" + std::to_string(i)] = FormatFixed6(static_cast<double>(corners[i].x));
    root["CornerY_" + std::to_string(i)] = FormatFixed6(static_cast<double>(corners[i].y));
  }
  // The compact one-line form is the file format; the deprecated writer is the one that
  // produces exactly it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::FastWriter writer;
  return writer.write(root);
#pragma GCC diagnostic pop
}

bool CCalibrationStore::WriteCalibration(const std::string& directory, const std::string& name,
                                         const std::vector<cv::Point2f>& corners,
                                         const std::string& lens, cv::Size frame) {
  if (!IsValidName(name)) return false;
  return veldrin::WriteFileAtomically(directory + name + kExtension,
                                      Serialize(corners, lens, frame));
}

bool CCalibrationStore::IsValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}
