#include "workstation/camera_settings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/profile.h"
#include "workstation/lens_calibration.h"

namespace {

constexpr const char* kKeyCamera = "Camera";
constexpr const char* kKeyCalibIndex = "CalibIndex";
constexpr const char* kKeyCalibName = "CalibName";
constexpr const char* kKeyResX = "RESX";
constexpr const char* kKeyResY = "RESY";
constexpr const char* kKeyFrameDivisor = "FRDIV";
constexpr const char* kKeyHeightTrue = "HeightTrue";
constexpr const char* kKeyBoardColumns = "BoardColumns";
constexpr const char* kKeyBoardRows = "BoardRows";
constexpr const char* kKeyBoardSquareMm = "BoardSquareMm";

// Cuts a UTF-8 string to at most `count` characters without splitting a multi-byte sequence.
std::string TruncateUtf8(std::string s, size_t count) {
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && chars++ == count) {
      s.resize(i);
      break;
    }
  }
  return s;
}

}  // namespace

namespace veldrin {

std::string SettingsPath(const std::string& folder) {
  return folder.empty() ? std::string() : folder + "/CamDrv.ini";
}

}  // namespace veldrin

CCameraSettings::CCameraSettings(std::string folder, std::string section)
    : m_strFolder(std::move(folder)), m_section(std::move(section)) {}

std::string CCameraSettings::ReadCamera() const {
  return TruncateUtf8(veldrin::GetPrivateProfileString(m_section, kKeyCamera, "", GetPath()),
                      kMaxCameraNameLength);
}

bool CCameraSettings::WriteCamera(const std::string& name) const {
  return veldrin::WritePrivateProfileString(m_section, kKeyCamera, name, GetPath());
}

int CCameraSettings::ReadCalibIndex() const { return ReadInt(kKeyCalibIndex, 0); }
bool CCameraSettings::WriteCalibIndex(int index) const { return WriteInt(kKeyCalibIndex, index); }
std::string CCameraSettings::ReadCalibName() const {
  return veldrin::GetPrivateProfileString(m_section, kKeyCalibName, "", GetPath());
}
bool CCameraSettings::WriteCalibName(const std::string& name) const {
  return veldrin::WritePrivateProfileString(m_section, kKeyCalibName, name, GetPath());
}
int CCameraSettings::ReadResX() const { return ReadInt(kKeyResX, kDefaultResX); }
bool CCameraSettings::WriteResX(int width) const { return WriteInt(kKeyResX, width); }
int CCameraSettings::ReadResY() const { return ReadInt(kKeyResY, kDefaultResY); }
bool CCameraSettings::WriteResY(int height) const { return WriteInt(kKeyResY, height); }
void CCameraSettings::ReadFrameSize(int& width, int& height, std::string& problem) const {
  const int x = ReadResX();
  const int y = ReadResY();
  problem.clear();
  auto usable = [](int v) { return v >= kMinFrameSide && v <= kMaxFrameSide; };
  if (usable(x) && usable(y)) {
    width = x;
    height = y;
    return;
  }
  width = kDefaultResX;
  height = kDefaultResY;
  problem = "The frame size in CamDrv.ini (RESX=" +
            veldrin::GetPrivateProfileString(m_section, kKeyResX, "", GetPath()) +
            ", RESY=" + veldrin::GetPrivateProfileString(m_section, kKeyResY, "", GetPath()) +
            ") is outside " + std::to_string(kMinFrameSide) + " to " +
            std::to_string(kMaxFrameSide) + ": using " + std::to_string(kDefaultResX) + "x" +
            std::to_string(kDefaultResY) + ".";
}

int CCameraSettings::ReadFrameDivisor() const { return ReadInt(kKeyFrameDivisor, 0); }
bool CCameraSettings::WriteFrameDivisor(int divisor) const {
  return WriteInt(kKeyFrameDivisor, divisor);
}

int CCameraSettings::ReadInt(const char* key, int def) const {
  return veldrin::GetPrivateProfileInt(m_section, key, def, GetPath());
}

bool CCameraSettings::WriteInt(const char* key, int value) const {
  return veldrin::WritePrivateProfileString(m_section, key, std::to_string(value), GetPath());
}

bool CCameraSettings::ReadHeightTrue() const { return ReadInt(kKeyHeightTrue, 0) == 1; }
bool CCameraSettings::WriteHeightTrue(bool on) const {
  return WriteInt(kKeyHeightTrue, on ? 1 : 0);
}

SLensBoard CCameraSettings::ReadBoard() const {
  SLensBoard board = veldrin::kDefaultLensBoard;
  const int columns = ReadInt(kKeyBoardColumns, board.columns);
  const int rows = ReadInt(kKeyBoardRows, board.rows);
  const std::string square =
      veldrin::GetPrivateProfileString(m_section, kKeyBoardSquareMm, "", GetPath());
  char* end = nullptr;
  const double squareMm = square.empty() ? board.squareMm : std::strtod(square.c_str(), &end);
  auto inRange = [](int n) { return n >= 2 && n <= 64; };
  // A hand-edited value that makes no sense gives the whole default board, not a mixture.
  if (!inRange(columns) || !inRange(rows) || (end && *end != '\0') || !std::isfinite(squareMm) ||
      squareMm < 1.0 || squareMm > 500.0) {
    return board;
  }
  return SLensBoard{columns, rows, squareMm};
}

bool CCameraSettings::WriteBoard(const SLensBoard& board) const {
  char square[32];
  std::snprintf(square, sizeof square, "%.10g", board.squareMm);
  return WriteInt(kKeyBoardColumns, board.columns) && WriteInt(kKeyBoardRows, board.rows) &&
         veldrin::WritePrivateProfileString(m_section, kKeyBoardSquareMm, square, GetPath());
}
