#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veldrin {

namespace {

std::string ObjectName(const std::string& name) { return "/" + name; }

}  // namespace

bool CSharedMemory::IsValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

CSharedMemory::CSharedMemory(const std::string& name, std::size_t size, bool bCreate)
    : m_strName(name) {
  if (!IsValidName(name) || size == 0) return;

  const int flags = bCreate ? (O_RDWR | O_CREAT) : O_RDWR;
  const int fd = shm_open(ObjectName(name).c_str(), flags, 0600);
  if (fd < 0) return;

  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && static_cast<std::size_t>(st.st_size) < size) {
    ok = bCreate && ftruncate(fd, static_cast<off_t>(size)) == 0;
  }
  if (ok) {
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view != MAP_FAILED) {
      m_pView = view;
      m_nSize = size;
    }
  }
  close(fd);
}

CSharedMemory::~CSharedMemory() {
  if (m_pView != nullptr) munmap(m_pView, m_nSize);
}

bool CSharedMemory::Unlink(const std::string& name) {
  return IsValidName(name) && shm_unlink(ObjectName(name).c_str()) == 0;
}

}  // namespace veldrin
