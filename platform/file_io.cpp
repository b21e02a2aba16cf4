#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace veldrin {
namespace {

// Opens a regular file for reading without blocking; -1 (errno set) otherwise.
int OpenRegular(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

EFileRead ReadWholeFile(const std::string& path, std::string& out, std::size_t maxSize) {
  out.clear();
  const int fd = OpenRegular(path);
  if (fd < 0) return errno == ENOENT ? EFileRead::kMissing : EFileRead::kUnreadable;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || out.size() + static_cast<size_t>(n) > maxSize) {
      ::close(fd);
      out.clear();
      return EFileRead::kUnreadable;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return EFileRead::kRead;
}

std::optional<std::string> ReadFilePrefix(const std::string& path, std::size_t limit) {
  const int fd = OpenRegular(path);
  if (fd < 0) return std::nullopt;
  std::string bytes(limit, '\0');
  size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::read(fd, bytes.data() + got, limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);
  return bytes;
}

int CreateTemporaryFile(const std::string& dir, std::string& tmpPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    tmpPath =
        dir + ".vtmp" + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    // 0666 lets the umask decide, as for any ordinary new file.
    const int fd = ::open(tmpPath.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
  if (path.empty() || path.back() == '/') return false;
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);

  std::string tmp;
  const int fd = CreateTemporaryFile(dir, tmp);
  if (fd < 0) return false;

  // A replaced file keeps its permissions.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::fchmod(fd, st.st_mode & 07777);

  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  // Make the rename itself durable; failure here does not undo a completed replacement.
  const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool ReplaceFileUnflushed(const std::string& path, std::initializer_list<std::string_view> parts) {
  if (path.empty() || path.back() == '/') {
    errno = EINVAL;
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string tmp;
  const int fd = CreateTemporaryFile(dir, tmp);
  if (fd < 0) return false;
  int error = 0;
  for (const std::string_view part : parts) {
    if (error == 0 && !WriteAll(fd, part)) error = errno;
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::unlink(path.c_str()) != 0 && errno != ENOENT) error = errno;
  if (error == 0 && std::rename(tmp.c_str(), path.c_str()) != 0) error = errno;
  if (error == 0) return true;
  ::unlink(tmp.c_str());
  errno = error;
  return false;
}

}  // namespace veldrin
