#pragma once

// For fuzz targets whose reader takes a path: the input bytes as a file in a scratch folder of
// the process's own, rewritten for every input.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "testing/scratch_dir.h"

namespace veldrin_test {

// The folder the inputs are written to, with a trailing separator; lives until the process ends.
inline const std::string& FuzzFolder() {
  static const CScratchDir dir("fuzz");
  static const std::string folder = dir.Folder();
  return folder;
}

// Writes the input to `<FuzzFolder()><name>` and returns that path.
inline std::string WriteFuzzInput(const std::string& name, const std::uint8_t* data,
                                  std::size_t size) {
  std::string path = FuzzFolder() + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

}  // namespace veldrin_test
