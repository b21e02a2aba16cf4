// Any calibration file: reading never fails, and the count returned is the corners read.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/fuzz_input.h"
#include "workstation/calibration_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  veldrin_test::WriteFuzzInput("fuzz.clb", data, size);
  std::vector<cv::Point2f> corners;
  ECalibrationForm form = ECalibrationForm::kNone;
  const int read =
      CCalibrationStore::ReadCalibration(veldrin_test::FuzzFolder(), "fuzz", corners, form);
  if (read < 0 || (form == ECalibrationForm::kNone && read != 0)) std::abort();
  if (form != ECalibrationForm::kNone && static_cast<std::size_t>(read) != corners.size()) {
    std::abort();
  }
  return 0;
}
