// Any settings file: reading never fails, and a key that was written reads back as written.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/profile.h"
#include "testing/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = veldrin_test::WriteFuzzInput("CamDrv.ini", data, size);
  for (const char* section : {"inst", "a]b", "%"}) {
    veldrin::GetPrivateProfileInt(section, "RESX", 640, path);
    veldrin::GetPrivateProfileString(section, "Camera", "", path);
  }
  const std::string before = veldrin::GetPrivateProfileString("other", "Camera", "-", path);
  if (veldrin::WritePrivateProfileString("a]b", "RESX", "1234", path)) {
    if (veldrin::GetPrivateProfileInt("a]b", "RESX", 0, path) != 1234) std::abort();
    // Another section's value survives the rewrite.
    if (veldrin::GetPrivateProfileString("other", "Camera", "-", path) != before) std::abort();
  }
  return 0;
}
