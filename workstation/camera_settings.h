#pragma once

// The tool's settings in "CamDrv.ini" in the host's data folder, one section per instance.
// Every access rebuilds the path from the folder, so a folder that changes between calls is
// followed; an empty folder (no host) reads defaults and writes nothing.

#include <string>

struct SLensBoard;

namespace veldrin {

// "<folder>/CamDrv.ini", or empty when the folder is empty.
std::string SettingsPath(const std::string& folder);

}  // namespace veldrin

class CCameraSettings {
 public:
  static constexpr int kDefaultResX = 640;
  static constexpr int kDefaultResY = 480;
  // The preferred camera's name is read into 260 code units with its terminator; longer stored
  // names are cut to this many characters.
  static constexpr size_t kMaxCameraNameLength = 259;
  // A stored frame size outside this range on either side (0, negative and non-numbers
  // included) is not used: the default size is taken instead.
  static constexpr int kMinFrameSide = 16;
  static constexpr int kMaxFrameSide = 8192;

  CCameraSettings(std::string folder, std::string section);

  void SetFolder(std::string folder) { m_strFolder = std::move(folder); }
  const std::string& GetFolder() const { return m_strFolder; }
  const std::string& GetSection() const { return m_section; }
  std::string GetPath() const { return veldrin::SettingsPath(m_strFolder); }

  // Writes are false when CamDrv.ini could not be written (GetPath names it).
  std::string ReadCamera() const;  // "" when not set
  [[nodiscard]] bool WriteCamera(const std::string& name) const;
  int ReadCalibIndex() const;  // 0 when not set
  [[nodiscard]] bool WriteCalibIndex(int index) const;
  // The selected calibration by name, beside its list position: a position moves when another
  // calibration is added before it, the name does not. "" when not set or "Default".
  std::string ReadCalibName() const;
  [[nodiscard]] bool WriteCalibName(const std::string& name) const;
  int ReadResX() const;  // 640 when not set
  [[nodiscard]] bool WriteResX(int width) const;
  int ReadResY() const;  // 480 when not set
  // "RESX" x "RESY" when both are usable; otherwise 640 x 480 and `problem` says why, in a line
  // for the status line (empty when the stored size was used).
  void ReadFrameSize(int& width, int& height, std::string& problem) const;
  [[nodiscard]] bool WriteResY(int height) const;
  int ReadFrameDivisor() const;  // 0 when not set
  [[nodiscard]] bool WriteFrameDivisor(int divisor) const;
  // "HeightTrue": the depth camera's height-true picture instead of the plain one; off when not
  // set.
  bool ReadHeightTrue() const;
  [[nodiscard]] bool WriteHeightTrue(bool on) const;
  // The printed chessboard last given to the lens dialog or the accuracy check, by its inner
  // corners ("BoardColumns", "BoardRows") and square ("BoardSquareMm"): the operator keeps one
  // board at hand. The default board when not set or out of range (2 to 64 corners, 1 to 500 mm).
  SLensBoard ReadBoard() const;
  [[nodiscard]] bool WriteBoard(const SLensBoard& board) const;

 private:
  int ReadInt(const char* key, int def) const;
  [[nodiscard]] bool WriteInt(const char* key, int value) const;

  std::string m_strFolder;
  std::string m_section;
};
