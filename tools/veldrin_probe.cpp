// veldrin-probe: checks a machine's cameras without the main window.
//   list                          one line per device: index, name, 3D|-, availability, sizes
//   grab INDEX FILE [--size WxH]  saves the first picture of a device (PNG or BMP)
//   scan FILE                     prints each code decoded in a picture, one per line
//   scene [--size WxH]            prints the built-in scene's sheet corners in pixels
//   depth [...]                   measures with the depth camera (see probe_depth.h)
//   record FILE.bag [...]         records the depth camera into a file (see probe_depth.h)
//   sheet FILE                    prints the media sheet's corners found in a picture, P.1 to
//                                 P.4, one per line as x<TAB>y
//   accuracy FILE --media WxH --board CxR --square-mm S
//                                 rectifies the picture onto the sheet found in it (media W x H
//                                 mm) and measures the printed chessboard of C x R squares of S
//                                 mm on it: scale_error_percent, rms_mm and max_mm, one per line
// Errors are one line on stderr and exit status 1; a usage error exits with 2.

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "markers/accuracy_check.h"
#include "markers/picture_file.h"
#include "markers/qr_detector.h"
#include "markers/sheet_finder.h"
#include "platform/version.h"
#include "tools/first_frame.h"
#include "tools/probe_depth.h"
#include "video/opencv_video_engine.h"
#include "video/table_scene.h"
#include "workstation/rectification.h"

namespace {

constexpr const char* kUsage =
    "usage: veldrin-probe list | grab INDEX FILE [--size WxH] | scan FILE | scene [--size WxH] | "
    "depth [--frames N] [--corners X0 Y0 X1 Y1 X2 Y2 X3 Y3] [--plane DIR] [--save-plane DIR] "
    "[--media WxH [--objects] [--publish FILE.bmp [--height-true]]] | "
    "sheet FILE | accuracy FILE --media WxH --board CxR --square-mm S | "
    "record FILE.bag [--frames N] [--device SERIAL] | --version | --help";

int Fail(const std::string& message) {
  std::cerr << "veldrin-probe: " << message << '\n';
  return 1;
}

int Usage() {
  std::cerr << kUsage << '\n';
  return 2;
}

std::optional<int> ParseInt(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::optional<cv::Size> ParseSize(const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  const std::optional<int> w = ParseInt(text.substr(0, x)), h = ParseInt(text.substr(x + 1));
  if (!w || !h || *w <= 0 || *h <= 0 || *w > 16384 || *h > 16384) return std::nullopt;
  return cv::Size(*w, *h);
}

// Splits off "--size WxH"; false on a malformed or unknown option.
bool TakeSizeOption(std::vector<std::string>& args, std::optional<cv::Size>& size) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--size") {
      if (args[i].rfind("--", 0) == 0) return false;
      continue;
    }
    if (i + 1 >= args.size() || !(size = ParseSize(args[i + 1]))) return false;
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    return TakeSizeOption(args, size);
  }
  return true;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

int List() {
  CKivOpenCVVideoEngine engine;
  const int count = static_cast<int>(engine.GetDeviceCount());
  for (int i = 0; i < count; ++i) {
    std::string sizes;
    for (const cv::Point& r : engine.m_devices[i].resolutions) {
      if (!sizes.empty()) sizes += ',';
      sizes += std::to_string(r.x) + "x" + std::to_string(r.y);
    }
    std::cout << i << '\t' << engine.m_devices[i].strName << '\t'
              << (engine.IsRealSense(i) == 1 ? "3D" : "-") << '\t'
              << (engine.IsDeviceAvailable(i) ? "available" : "unavailable") << '\t' << sizes
              << '\n';
  }
  return 0;
}

int Grab(std::vector<std::string> args) {
  std::optional<cv::Size> size;
  if (!TakeSizeOption(args, size) || args.size() != 2) return Usage();
  const std::optional<int> index = ParseInt(args[0]);
  if (!index) return Usage();
  const std::string& file = args[1];
  const std::string lower = Lower(file);
  if (!lower.ends_with(".png") && !lower.ends_with(".bmp")) {
    return Fail("the picture file must end in .png or .bmp: " + file);
  }
  CKivOpenCVVideoEngine engine;
  if (*index < 0 || *index >= static_cast<int>(engine.GetDeviceCount())) {
    return Fail("no camera " + args[0] + " (" + std::to_string(engine.GetDeviceCount()) +
                " listed)");
  }
  if (!size) {
    const std::vector<cv::Point>& listed = engine.m_devices[*index].resolutions;
    size = listed.empty() ? cv::Size(640, 480) : cv::Size(listed.front().x, listed.front().y);
  }
  CFirstFrame listener;
  engine.Setup(*index, size->width, size->height, &listener);
  if (!engine.Start()) return Fail("camera " + args[0] + " does not open");
  const cv::Mat frame = listener.Wait(std::chrono::seconds(10));
  engine.Stop();
  if (frame.empty()) return Fail("camera " + args[0] + " delivered no picture");
  bool written = false;
  try {
    written = cv::imwrite(file, frame);
  } catch (const cv::Exception&) {
  }
  if (!written) return Fail("cannot write " + file);
  std::cout << frame.cols << 'x' << frame.rows << '\n';
  return 0;
}

// The picture a command is given, or the exit status of saying why it cannot be read.
int ReadPicture(const std::string& file, cv::Mat& picture) {
  std::string error;
  if (veldrin::ReadPictureFile(file, picture, error) != EPictureRead::kRead) return Fail(error);
  return 0;
}

int Scan(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage();
  cv::Mat picture;
  if (const int rc = ReadPicture(args[0], picture)) return rc;
  for (const std::string& text : veldrin::ScanQRCodes(picture)) std::cout << text << '\n';
  return 0;
}

int Sheet(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage();
  cv::Mat picture;
  if (const int rc = ReadPicture(args[0], picture)) return rc;
  std::vector<cv::Point2f> corners;
  if (!veldrin::FindSheet(picture, corners)) return Fail("no sheet found");
  for (const cv::Point2f& corner : corners) std::printf("%.2f\t%.2f\n", corner.x, corner.y);
  return 0;
}

// Takes "--name value" options out of `args`; false on a repeated or value-less option.
bool TakeOptions(std::vector<std::string>& args,
                 std::vector<std::pair<std::string, std::string>>& options) {
  for (size_t i = 0; i < args.size();) {
    if (args[i].rfind("--", 0) != 0) {
      ++i;
      continue;
    }
    if (i + 1 >= args.size()) return false;
    for (const auto& [name, value] : options) {
      if (name == args[i] && !value.empty()) return false;
    }
    bool known = false;
    for (auto& [name, value] : options) {
      if (name == args[i]) {
        value = args[i + 1];
        known = true;
      }
    }
    if (!known) return false;
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
  }
  return true;
}

int Accuracy(std::vector<std::string> args) {
  std::vector<std::pair<std::string, std::string>> options = {
      {"--media", ""}, {"--board", ""}, {"--square-mm", ""}};
  if (!TakeOptions(args, options) || args.size() != 1) return Usage();
  const std::optional<cv::Size> media = ParseSize(options[0].second);
  const std::optional<cv::Size> board = ParseSize(options[1].second);
  double square = 0;
  try {
    size_t used = 0;
    square = std::stod(options[2].second, &used);
    if (used != options[2].second.size()) square = 0;
  } catch (const std::exception&) {
  }
  if (!media || !board || board->width < 2 || board->height < 2 || !(square > 0)) {
    return Usage();
  }
  cv::Mat picture;
  if (const int rc = ReadPicture(args[0], picture)) return rc;
  std::vector<cv::Point2f> corners;
  if (!veldrin::FindSheet(picture, corners)) return Fail("no sheet found");

  // The same rectified picture the tool publishes for this media size.
  CRectification rectification;
  rectification.ApplyCameraSettings(picture.cols, picture.rows);
  if (!rectification.SetCorners(corners)) return Fail("the sheet has no four corners");
  rectification.UpdateMediaSize(media->width, media->height);
  cv::Mat rectified;
  if (!rectification.Rectify(picture, rectified)) return Fail("the sheet cannot be rectified");
  const cv::Size out = rectification.GetOutputSize();
  SAccuracyReport report;
  if (!veldrin::CheckAccuracy(rectified, double(media->width) / out.width,
                              double(media->height) / out.height,
                              {board->width, board->height, square}, report)) {
    return Fail("no board found");
  }
  std::printf("scale_error_percent %.3f\nrms_mm %.3f\nmax_mm %.3f\n", report.scaleErrorPercent,
              report.rmsMm, report.maxMm);
  return 0;
}

int Scene(std::vector<std::string> args) {
  std::optional<cv::Size> size;
  if (!TakeSizeOption(args, size) || !args.empty()) return Usage();
  STableSceneParams params;
  std::string error;
  if (!veldrin::CurrentTableSceneParams(params, error)) return Fail(error);
  const CTableScene scene(params);
  for (const cv::Point2f& corner : scene.SheetCorners(size.value_or(scene.NativeSize()))) {
    std::printf("%.3f\t%.3f\n", corner.x, corner.y);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The probe reports in its own words, one line per error; OpenCV's warnings would add more.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--version" && args.empty()) {
    std::printf("veldrin-probe %s\n", veldrin::VersionText());
    return 0;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage << '\n';
    return 0;
  }
  if (command == "list" && args.empty()) return List();
  if (command == "grab") return Grab(std::move(args));
  if (command == "scan") return Scan(args);
  if (command == "scene") return Scene(std::move(args));
  if (command == "depth") return veldrin::ProbeDepth(args);
  if (command == "record") return veldrin::ProbeRecord(args);
  if (command == "sheet") return Sheet(args);
  if (command == "accuracy") return Accuracy(std::move(args));
  return Usage();
}
