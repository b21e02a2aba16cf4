#pragma once

// Named calibrations (four corner points each), one file "<directory><name>.clb" per name.
// Files are written as a one-line JSON object; a raw legacy form (pairs of little-endian
// floats) is accepted on reading. Single-threaded: the owner calls every operation from one
// thread.

#include <opencv2/core/types.hpp>

#include <string>
#include <vector>

// How a calibration file was read.
enum class ECalibrationForm {
  kNone,    // could not be opened, or not a calibration (nothing was read)
  kJson,    // the current JSON form
  kLegacy,  // the raw legacy form
};

class CCalibrationStore {
 public:
  // The directory string is used as a prefix: it normally ends with "/". An empty one means no
  // folder (the host named none): nothing is listed or saved, never the working directory.
  explicit CCalibrationStore(const std::string& directory);

  // Rebuilds the name list from the folder; returns the number of names.
  int Refresh();
  int GetCount() const { return static_cast<int>(m_names.size()); }
  // "" when the index is outside the list.
  std::string GetName(int index) const;
  // Exact, case-sensitive comparison with the listed names.
  bool Exists(const std::string& name) const;
  // List position of exactly that name, -1 when it is not listed.
  int Find(const std::string& name) const;
  // 0 with `corners` untouched when the index is outside the list; otherwise as
  // ReadCalibration.
  [[nodiscard]] int Load(int index, std::vector<cv::Point2f>& corners) const;
  // Writes the file and refreshes the list; false (list unchanged) when the name is refused or
  // the write fails.
  [[nodiscard]] bool Save(const std::string& name, const std::vector<cv::Point2f>& corners,
                          const std::string& lens = std::string(), cv::Size frame = cv::Size());
  // Deletes the file of the listed calibration, and the camera reference kept beside it, and
  // refreshes; false when the calibration file was not deleted.
  [[nodiscard]] bool Remove(int index);

  const std::string& GetDirectory() const { return m_directory; }
  // The file a calibration of that name is read from and written to.
  std::string FilePath(const std::string& name) const;

  // Largest coordinate magnitude a stored corner may have; beyond it the file is refused.
  static constexpr float kMaxCoordinate = 1e6f;

  // Number of points read. A file that is one whole JSON object is read as JSON (unless it is
  // 32 bytes long); anything else is read in the raw form. When the file cannot be opened, is
  // too large, is JSON that does not describe a calibration, or holds a coordinate that is not
  // finite or lies beyond kMaxCoordinate, the result is 0 and `corners` keeps what it held.
  [[nodiscard]] static int ReadCalibration(const std::string& directory, const std::string& name,
                                           std::vector<cv::Point2f>& corners);
  [[nodiscard]] static int ReadCalibration(const std::string& directory, const std::string& name,
                                           std::vector<cv::Point2f>& corners,
                                           ECalibrationForm& form);
  // Also the lens file named in the calibration ("" when it was saved without lens correction).
  [[nodiscard]] static int ReadCalibration(const std::string& directory, const std::string& name,
                                           std::vector<cv::Point2f>& corners,
                                           ECalibrationForm& form, std::string& lens);
  // Also the frame size the corners were placed on ("FrameWidth", "FrameHeight"); empty when the
  // file records none, or none that is a picture's size.
  [[nodiscard]] static int ReadCalibration(const std::string& directory, const std::string& name,
                                           std::vector<cv::Point2f>& corners,
                                           ECalibrationForm& form, std::string& lens,
                                           cv::Size& frame);
  // Replaces the file atomically, so a failed write keeps the previous calibration.
  // `lens`: the lens file whose correction the corners were placed with, recorded as "Lens";
  // without one the file is exactly what it always was. `frame`: the size of the picture the
  // corners were placed on, recorded when not empty, so that another resolution can scale them.
  [[nodiscard]] static bool WriteCalibration(const std::string& directory, const std::string& name,
                                             const std::vector<cv::Point2f>& corners,
                                             const std::string& lens = std::string(),
                                             cv::Size frame = cv::Size());
  // The file's exact bytes as WriteCalibration writes them.
  static std::string Serialize(const std::vector<cv::Point2f>& corners,
                               const std::string& lens = std::string(),
                               cv::Size frame = cv::Size());
  // Frame sides beyond this are not a picture's; such a recorded size is ignored.
  static constexpr int kMaxFrameSide = 65535;
  // A name must stay inside the folder and be a possible file name: not empty, "." or "..",
  // and without "/" or NUL.
  static bool IsValidName(const std::string& name);

 private:
  std::string m_directory;
  std::vector<std::string> m_names;
};
