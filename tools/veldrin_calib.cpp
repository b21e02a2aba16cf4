// veldrin-calib: inspect and edit calibration and plane files from the command line, through
// the same library code the tool itself uses. Every failure is one line on stderr and a
// non-zero exit; a write either completes or leaves the previous file as it was.

#include <sys/stat.h>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "depth/plane_files.h"
#include "markers/picture_file.h"
#include "platform/picture_size.h"
#include "platform/version.h"
#include "workstation/calibration_store.h"
#include "workstation/lens.h"
#include "workstation/lens_calibration.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: veldrin-calib COMMAND DIR [ARGS...]\n"
    "\n"
    "Calibration files (DIR/NAME.clb):\n"
    "  list DIR                          list the calibration names in DIR\n"
    "  show DIR NAME                     print one \"x y\" line per point, then the file's\n"
    "                                    form: json or legacy\n"
    "  save DIR NAME X1 Y1 X2 Y2 X3 Y3 X4 Y4 [--frame WxH]\n"
    "                                    write a calibration (P.1 top left, P.2 top right,\n"
    "                                    P.3 bottom right, P.4 bottom left); --frame records\n"
    "                                    the picture size the corners belong to, so that\n"
    "                                    the tool scales them for another resolution\n"
    "  convert DIR NAME                  rewrite a legacy (raw) calibration as JSON\n"
    "\n"
    "Plane files:\n"
    "  plane2d DIR [X1 Y1 .. X4 Y4]      print DIR/2DPlane.pt3, or write it from 8 numbers\n"
    "  plane3d DIR [X1 Y1 Z1 .. X4 Y4 Z4]\n"
    "                                    print DIR/3DPlane.pt3, or write it from 12 numbers\n"
    "\n"
    "Lens:\n"
    "  lens DIR --board CxR --square-mm S [--out FILE] [--camera NAME]\n"
    "                                    measure the lens from the pictures in DIR of a\n"
    "                                    chessboard of C x R inner corners and S mm squares\n"
    "                                    (at least 5 must show the board); print rms_px, fx,\n"
    "                                    fy, cx, cy, k1, k2, p1, p2, k3 one per line and write\n"
    "                                    the lens file: FILE, else DIR/NAME.lens with --camera,\n"
    "                                    else DIR/lens.json\n"
    "\n"
    "  --help                            show this text\n"
    "  --version                         show the version\n"
    "\n"
    "Exit status: 0 on success, 1 when a file cannot be read or written, 2 on a usage error.\n";

int Fail(const std::string& message, int code = kExitFailure) {
  std::fprintf(stderr, "veldrin-calib: %s\n", message.c_str());
  return code;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string WithSeparator(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

// A finite decimal number making up the whole argument.
bool ParseNumber(const std::string& text, float& value) {
  const char* begin = text.c_str();
  const char* end = begin + text.size();
  if (begin != end && *begin == '+') ++begin;
  const auto result = std::from_chars(begin, end, value, std::chars_format::general);
  return result.ec == std::errc() && result.ptr == end && std::isfinite(value);
}

bool ParseNumbers(const std::vector<std::string>& args, size_t first, std::vector<float>& out,
                  std::string& bad) {
  out.clear();
  for (size_t i = first; i < args.size(); ++i) {
    float v = 0;
    if (!ParseNumber(args[i], v)) {
      bad = args[i];
      return false;
    }
    out.push_back(v);
  }
  return true;
}

std::string Format(float v) {
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, result.ptr);
}

int CheckDirectory(const std::string& dir) {
  if (dir.empty()) return Fail("empty directory", kExitUsage);
  if (!IsDirectory(dir)) return Fail("not a directory: " + dir);
  return 0;
}

int CheckName(const std::string& name) {
  if (!CCalibrationStore::IsValidName(name))
    return Fail("invalid name: '" + name + "'", kExitUsage);
  return 0;
}

int List(const std::vector<std::string>& args) {
  if (args.size() != 2) return Fail("usage: list DIR", kExitUsage);
  if (const int rc = CheckDirectory(args[1])) return rc;
  const CCalibrationStore store(WithSeparator(args[1]));
  for (int i = 0; i < store.GetCount(); ++i) std::printf("%s\n", store.GetName(i).c_str());
  return 0;
}

int Show(const std::vector<std::string>& args) {
  if (args.size() != 3) return Fail("usage: show DIR NAME", kExitUsage);
  if (const int rc = CheckName(args[2])) return rc;
  if (const int rc = CheckDirectory(args[1])) return rc;
  std::vector<cv::Point2f> points;
  ECalibrationForm form;
  // The form says whether it was read; the count is the corners, which Show prints anyway.
  (void)CCalibrationStore::ReadCalibration(WithSeparator(args[1]), args[2], points, form);
  if (form == ECalibrationForm::kNone) {
    return Fail("cannot read calibration '" + args[2] + "' in " + args[1]);
  }
  for (const auto& p : points) std::printf("%s %s\n", Format(p.x).c_str(), Format(p.y).c_str());
  std::printf("%s\n", form == ECalibrationForm::kJson ? "json" : "legacy");
  return 0;
}

// "WxH" with both sides whole numbers from 1 to the largest frame side a file may record.
bool ParseFrameSize(const std::string& text, cv::Size& size) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return false;
  int sides[2] = {0, 0};
  const std::string parts[2] = {text.substr(0, x), text.substr(x + 1)};
  for (int i = 0; i < 2; ++i) {
    const char* end = parts[i].data() + parts[i].size();
    const auto result = std::from_chars(parts[i].data(), end, sides[i]);
    if (parts[i].empty() || result.ec != std::errc() || result.ptr != end || sides[i] < 1 ||
        sides[i] > CCalibrationStore::kMaxFrameSide)
      return false;
  }
  size = cv::Size(sides[0], sides[1]);
  return true;
}

int Save(std::vector<std::string> args) {
  constexpr const char* kSaveUsage = "usage: save DIR NAME X1 Y1 X2 Y2 X3 Y3 X4 Y4 [--frame WxH]";
  cv::Size frame;
  const auto option = std::find(args.begin(), args.end(), "--frame");
  if (option != args.end()) {
    if (option + 1 == args.end()) return Fail(kSaveUsage, kExitUsage);
    if (!ParseFrameSize(*(option + 1), frame)) {
      return Fail("--frame wants WxH in pixels: '" + *(option + 1) + "'", kExitUsage);
    }
    args.erase(option, option + 2);
  }
  if (args.size() != 11) return Fail(kSaveUsage, kExitUsage);
  if (const int rc = CheckName(args[2])) return rc;
  if (const int rc = CheckDirectory(args[1])) return rc;
  std::vector<float> v;
  std::string bad;
  if (!ParseNumbers(args, 3, v, bad)) return Fail("not a number: '" + bad + "'", kExitUsage);
  const std::vector<cv::Point2f> points{{v[0], v[1]}, {v[2], v[3]}, {v[4], v[5]}, {v[6], v[7]}};
  if (!CCalibrationStore::WriteCalibration(WithSeparator(args[1]), args[2], points, {}, frame)) {
    return Fail("cannot write calibration '" + args[2] + "' in " + args[1]);
  }
  return 0;
}

int Convert(const std::vector<std::string>& args) {
  if (args.size() != 3) return Fail("usage: convert DIR NAME", kExitUsage);
  if (const int rc = CheckName(args[2])) return rc;
  if (const int rc = CheckDirectory(args[1])) return rc;
  const std::string dir = WithSeparator(args[1]);
  std::vector<cv::Point2f> points;
  ECalibrationForm form;
  (void)CCalibrationStore::ReadCalibration(dir, args[2], points, form);  // the form tells
  if (form == ECalibrationForm::kNone) {
    return Fail("cannot read calibration '" + args[2] + "' in " + args[1]);
  }
  if (form == ECalibrationForm::kJson) {
    std::printf("%s: already json\n", args[2].c_str());
    return 0;
  }
  if (points.empty()) return Fail("calibration '" + args[2] + "' holds no points");
  if (!CCalibrationStore::WriteCalibration(dir, args[2], points)) {
    return Fail("cannot write calibration '" + args[2] + "' in " + args[1]);
  }
  std::printf("%s: converted %zu points to json\n", args[2].c_str(), points.size());
  return 0;
}

template <typename TPlane, size_t kDims>
int Plane(const std::vector<std::string>& args, const char* command,
          std::string (*pathOf)(const std::string&), bool (*read)(const std::string&, TPlane&),
          bool (*write)(const std::string&, const TPlane&)) {
  constexpr size_t kCount = 4 * kDims;
  if (args.size() != 2 && args.size() != 2 + kCount) {
    return Fail(std::string("usage: ") + command + " DIR [" + std::to_string(kCount) + " numbers]",
                kExitUsage);
  }
  if (const int rc = CheckDirectory(args[1])) return rc;
  const std::string path = pathOf(WithSeparator(args[1]));
  TPlane plane{};
  if (args.size() == 2) {
    if (!read(path, plane)) return Fail("cannot read " + path);
    for (const auto& p : plane) {
      if constexpr (kDims == 2) {
        std::printf("%s %s\n", Format(p.x).c_str(), Format(p.y).c_str());
      } else {
        std::printf("%s %s %s\n", Format(p.x).c_str(), Format(p.y).c_str(), Format(p.z).c_str());
      }
    }
    return 0;
  }
  std::vector<float> v;
  std::string bad;
  if (!ParseNumbers(args, 2, v, bad)) return Fail("not a number: '" + bad + "'", kExitUsage);
  for (size_t i = 0; i < 4; ++i) {
    if constexpr (kDims == 2) {
      plane[i] = {v[2 * i], v[2 * i + 1]};
    } else {
      plane[i] = {v[3 * i], v[3 * i + 1], v[3 * i + 2]};
    }
  }
  // A plane the tool would refuse to load is refused here, before anything is written.
  if constexpr (kDims == 3) {
    if (!veldrin::IsPlausiblePlane3D(plane)) {
      return Fail("not a table plane: the corners must lie in front of the camera within " +
                      std::to_string(static_cast<int>(veldrin::kMaxPlaneDepthM)) +
                      " m and not on one line",
                  kExitUsage);
    }
  }
  if (!write(path, plane)) return Fail("cannot write " + path);
  return 0;
}

bool IsPictureName(const std::string& name) {
  std::string ext = std::filesystem::path(name).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char* known : {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm", ".ppm"}) {
    if (ext == known) return true;
  }
  return false;
}

int Lens(const std::vector<std::string>& args) {
  constexpr const char* kLensUsage =
      "usage: lens DIR --board CxR --square-mm S [--out FILE] [--camera NAME]";
  if (args.size() < 2) return Fail(kLensUsage, kExitUsage);
  SLensBoard board;
  bool haveBoard = false;
  std::string out, camera;
  for (size_t i = 2; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return Fail(kLensUsage, kExitUsage);
    const std::string& option = args[i];
    const std::string& value = args[i + 1];
    if (option == "--board") {
      if (!veldrin::ParseBoardSize(value, board)) {
        return Fail("--board wants CxR inner corners, 2 to 64 each: '" + value + "'", kExitUsage);
      }
      haveBoard = true;
    } else if (option == "--square-mm") {
      float square = 0;
      if (!ParseNumber(value, square) || !(square > 0)) {
        return Fail("--square-mm wants a positive number: '" + value + "'", kExitUsage);
      }
      board.squareMm = square;
    } else if (option == "--out") {
      if (value.empty()) return Fail(kLensUsage, kExitUsage);
      out = value;
    } else if (option == "--camera") {
      if (veldrin::LensFileName(value).empty()) {
        return Fail("invalid camera name: '" + value + "'", kExitUsage);
      }
      camera = value;
    } else {
      return Fail(kLensUsage, kExitUsage);
    }
  }
  if (!haveBoard || !(board.squareMm > 0)) return Fail(kLensUsage, kExitUsage);
  if (const int rc = CheckDirectory(args[1])) return rc;
  const std::string dir = WithSeparator(args[1]);
  if (out.empty()) out = dir + (camera.empty() ? "lens.json" : veldrin::LensFileName(camera));

  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::error_code typeError;
    const std::string name = entry.path().filename().string();
    if (IsPictureName(name) && entry.is_regular_file(typeError)) names.push_back(name);
  }
  if (ec) return Fail("cannot list " + args[1]);
  std::sort(names.begin(), names.end());

  // A picture larger than any camera gives means the folder is not what was meant: refused as a
  // whole, from the headers, before anything is decoded.
  for (const std::string& name : names) {
    std::string error;
    if (veldrin::CheckPictureFile(dir + name, error) == EPictureCheck::kTooLarge) {
      return Fail(error);
    }
  }

  // Unusable pictures are named and skipped; the calibration decides whether enough remain.
  std::vector<std::vector<cv::Point2f>> views;
  cv::Size size;
  for (const std::string& name : names) {
    cv::Mat picture;
    std::string error;
    if (veldrin::ReadPictureFile(dir + name, picture, error) != EPictureRead::kRead) {
      Fail(error + "; skipped");
      continue;
    }
    if (!size.empty() && picture.size() != size) {
      Fail("picture " + dir + name + " is " + std::to_string(picture.cols) + "x" +
           std::to_string(picture.rows) + ", the first was " + std::to_string(size.width) + "x" +
           std::to_string(size.height) + "; skipped");
      continue;
    }
    std::vector<cv::Point2f> corners;
    if (!veldrin::FindBoardCorners(picture, board, corners)) {
      Fail("no board in " + dir + name);
      continue;
    }
    size = picture.size();
    views.push_back(std::move(corners));
  }

  SLensModel lens;
  lens.camera = camera;
  std::string error;
  if (!veldrin::CalibrateLens(views, board, size, lens, error)) return Fail(error);
  if (!veldrin::WriteLensFile(out, lens)) return Fail("cannot write " + out);
  const std::pair<const char*, double> lines[] = {
      {"rms_px", lens.rmsPx},     {"fx", lens.matrix(0, 0)},  {"fy", lens.matrix(1, 1)},
      {"cx", lens.matrix(0, 2)},  {"cy", lens.matrix(1, 2)},  {"k1", lens.distortion[0]},
      {"k2", lens.distortion[1]}, {"p1", lens.distortion[2]}, {"p2", lens.distortion[3]},
      {"k3", lens.distortion[4]}};
  for (const auto& [name, value] : lines) std::printf("%s %.6f\n", name, value);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("veldrin-calib %s\n", veldrin::VersionText());
    return 0;
  }
  if (command == "list") return List(args);
  if (command == "show") return Show(args);
  if (command == "save") return Save(args);
  if (command == "convert") return Convert(args);
  if (command == "lens") return Lens(args);
  if (command == "plane2d") {
    return Plane<Plane2D, 2>(args, "plane2d", veldrin::Plane2DPath, veldrin::ReadPlane2D,
                             veldrin::WritePlane2D);
  }
  if (command == "plane3d") {
    return Plane<Plane3D, 3>(args, "plane3d", veldrin::Plane3DPath, veldrin::ReadPlane3D,
                             veldrin::WritePlane3D);
  }
  return Fail("unknown command '" + command + "' (see --help)", kExitUsage);
}
