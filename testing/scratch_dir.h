#pragma once

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace veldrin_test {

// A fresh directory of its own under the test scratch area ($VELDRIN_TEST_TMP, else the system
// temporary directory), removed with all it holds when the object goes. When none can be made it
// throws, which GoogleTest reports as a failure of the test or fixture that asked for it.
class CScratchDir {
 public:
  explicit CScratchDir(const std::string& prefix) {
    const char* base = std::getenv("VELDRIN_TEST_TMP");
    const std::filesystem::path root = base != nullptr && *base != '\0'
                                           ? std::filesystem::path(base)
                                           : std::filesystem::temp_directory_path();
    std::filesystem::create_directories(root);
    std::string pattern = (root / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    m_path = pattern;
  }
  ~CScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  CScratchDir(const CScratchDir&) = delete;
  CScratchDir& operator=(const CScratchDir&) = delete;

  const std::filesystem::path& Path() const { return m_path; }
  // With the trailing separator, as the host writes a folder.
  std::string Folder() const { return m_path.string() + "/"; }

 private:
  std::filesystem::path m_path;
};

}  // namespace veldrin_test
