#include "platform/shared_memory.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace {

std::string ObjectName(const std::string& name) { return "/" + name; }

// The mappings the fault handler may repair. Read from a signal handler, so plain lock-free
// atomics; a mapping that finds no free entry is simply not repaired.
struct SGuardedView {
  std::atomic<void*> begin{nullptr};
  std::atomic<std::size_t> length{0};
  std::atomic<bool> lost{false};
};
constexpr int kGuardedViews = 64;
std::array<SGuardedView, kGuardedViews> g_views;
struct sigaction g_previousBusAction {};

void RestorePreviousAndReturn(int signal, siginfo_t* info, void* context) {
  if ((g_previousBusAction.sa_flags & SA_SIGINFO) != 0 &&
      g_previousBusAction.sa_sigaction != nullptr) {
    g_previousBusAction.sa_sigaction(signal, info, context);
    return;
  }
  // Not ours and nobody else's: the default action, taken when the access faults again.
  ::sigaction(SIGBUS, &g_previousBusAction, nullptr);
}

void OnBusError(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (SGuardedView& view : g_views) {
    void* const begin = view.begin.load();
    const std::size_t length = view.length.load();
    const auto start = reinterpret_cast<std::uintptr_t>(begin);
    if (begin == nullptr || address < start || address - start >= length) continue;
    // The object shrank under the mapping: private zeros in its place let the access complete,
    // and a block of zeros reads as "nobody there" to its users.
    const int saved = errno;
    void* repaired = ::mmap(begin, length, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    errno = saved;
    if (repaired == MAP_FAILED) break;
    view.lost.store(true);
    return;
  }
  RestorePreviousAndReturn(signal, info, context);
}

void InstallBusHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    ::sigaction(SIGBUS, &action, &g_previousBusAction);
  });
}

int GuardView(void* view, std::size_t length) {
  InstallBusHandler();
  for (int i = 0; i < kGuardedViews; ++i) {
    void* expected = nullptr;
    if (g_views[i].begin.compare_exchange_strong(expected, view)) {
      g_views[i].lost.store(false);
      g_views[i].length.store(length);
      return i;
    }
  }
  return -1;
}

void UnguardView(int slot) {
  if (slot < 0) return;
  g_views[slot].length.store(0);
  g_views[slot].begin.store(nullptr);
}

}  // namespace

bool CSharedMemory::IsValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

CSharedMemory::CSharedMemory(const std::string& name, std::size_t size, bool bCreate)
    : m_strName(name) {
  if (!IsValidName(name) || size == 0) return;

  const int flags = (bCreate ? (O_RDWR | O_CREAT) : O_RDWR) | O_CLOEXEC;
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
      m_view = view;
      m_size = size;
      m_fd = fd;
      m_slot = GuardView(view, size);
      return;
    }
  }
  close(fd);
}

CSharedMemory::~CSharedMemory() {
  if (m_view == nullptr) return;
  UnguardView(m_slot);
  munmap(m_view, m_size);
  close(m_fd);  // drops this mapping's byte-range locks
}

bool CSharedMemory::IsLost() const {
  if (m_lost.load()) return true;
  return m_slot >= 0 && g_views[m_slot].lost.load();
}

bool CSharedMemory::IsIntact() const {
  if (m_view == nullptr || IsLost()) return false;
  struct stat st {};
  if (fstat(m_fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < m_size) {
    m_lost.store(true);
    return false;
  }
  return true;
}

bool CSharedMemory::TryLockRange(std::size_t offset, std::size_t length) {
  if (m_view == nullptr) return false;
  // An open-file-description lock: owned by this mapping's descriptor, not by the process, so two
  // mappings in one process exclude each other too, and closing another descriptor of the same
  // object elsewhere in the process does not drop it.
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(offset);
  range.l_len = static_cast<off_t>(length);
  while (fcntl(m_fd, F_OFD_SETLK, &range) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool CSharedMemory::IsWholeObjectLockHeld() const {
  if (m_view == nullptr) return false;
  // A shared lock is refused exactly while someone holds the exclusive one; taken, it is let go
  // at once.
  if (flock(m_fd, LOCK_SH | LOCK_NB) == 0) {
    flock(m_fd, LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

bool CSharedMemory::Unlink(const std::string& name) {
  return IsValidName(name) && shm_unlink(ObjectName(name).c_str()) == 0;
}
