#pragma once

#include <atomic>
#include <cstddef>
#include <string>

// A named POSIX shared-memory object mapped read-write, standing in for a named file mapping.
// The name "NAME" is the object "/NAME" (/dev/shm/NAME on Linux); names that cannot name such an
// object (empty, ".", "..", holding "/" or a NUL) leave the mapping absent.
//
// A creator opens the object or creates it, growing it to the requested size when smaller (never
// shrinking it, since another process may have it mapped). An opener maps only an existing
// object at least as large as requested, so a half-created object is refused rather than mapped
// past its end (which would fault on access).
//
// Any process of the user may still shrink the object later. An access past its new end would
// end the process with SIGBUS; instead the fault swaps the mapping for private zeroed memory, so
// the access completes, reads 0 from then on, and IsLost() says so. The object is kept open for
// the mapping's life, so its size and locks can be asked at any time.
//
// The object outlives every mapping until Unlink() removes its name.
class CSharedMemory {
 public:
  CSharedMemory(const std::string& name, std::size_t size, bool bCreate);
  ~CSharedMemory();

  CSharedMemory(const CSharedMemory&) = delete;
  CSharedMemory& operator=(const CSharedMemory&) = delete;

  bool IsMapped() const { return m_view != nullptr; }
  void* GetView() const { return m_view; }
  std::size_t GetSize() const { return m_size; }
  const std::string& GetName() const { return m_strName; }

  // True once the object was found shorter than the mapping (by a fault or by IsIntact): the
  // view then holds private zeros, no longer the shared bytes.
  bool IsLost() const;
  // Checks the object's size now; false (and lost from then on) when it no longer covers the
  // mapping, or when the mapping is absent.
  bool IsIntact() const;

  // An exclusive lock on bytes [offset, offset + length) of the object, owned by this mapping and
  // released by the system when the mapping goes or its process dies, however it dies. False
  // when another mapping, in this process or any other, holds it.
  bool TryLockRange(std::size_t offset, std::size_t length);
  // Whether some process holds an exclusive whole-object lock (flock) on the object, as a creator
  // may for its life. Byte-range locks do not count.
  bool IsWholeObjectLockHeld() const;

  // Removes the name so later openers fail; existing mappings stay valid.
  static bool Unlink(const std::string& name);
  static bool IsValidName(const std::string& name);

 private:
  std::string m_strName;
  void* m_view = nullptr;
  std::size_t m_size = 0;
  int m_fd = -1;
  int m_slot = -1;  // entry in the table the fault handler reads
  mutable std::atomic<bool> m_lost{false};
};
