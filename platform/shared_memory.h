#pragma once

#include <cstddef>
#include <string>

namespace veldrin {

// A named POSIX shared-memory object mapped read-write, standing in for a named file mapping.
// The name "NAME" is the object "/NAME" (/dev/shm/NAME on Linux); names that cannot name such an
// object (empty, ".", "..", holding "/" or a NUL) leave the mapping absent.
//
// A creator opens the object or creates it, growing it to the requested size when smaller (never
// shrinking it, since another process may have it mapped). An opener maps only an existing
// object at least as large as requested, so a half-created object is refused rather than mapped
// past its end (which would fault on access).
//
// The object outlives every mapping until Unlink() removes its name.
class CSharedMemory {
 public:
  CSharedMemory(const std::string& name, std::size_t size, bool bCreate);
  ~CSharedMemory();

  CSharedMemory(const CSharedMemory&) = delete;
  CSharedMemory& operator=(const CSharedMemory&) = delete;

  bool IsMapped() const { return m_pView != nullptr; }
  void* GetView() const { return m_pView; }
  std::size_t GetSize() const { return m_nSize; }
  const std::string& GetName() const { return m_strName; }

  // Removes the name so later openers fail; existing mappings stay valid.
  static bool Unlink(const std::string& name);
  static bool IsValidName(const std::string& name);

 private:
  std::string m_strName;
  void* m_pView = nullptr;
  std::size_t m_nSize = 0;
};

}  // namespace veldrin
