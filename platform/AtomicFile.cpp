#include "platform/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Paths.h"

namespace orva::platform {

int ReadWholeFile(const std::string& path, std::string& out, uint64_t maxBytes) {
  out.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    int e = errno;
    close(fd);
    return e;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return EISDIR;
  }
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    close(fd);
    return EFBIG;
  }
  out.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      close(fd);
      out.clear();
      return e;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > maxBytes) {
      close(fd);
      out.clear();
      return EFBIG;
    }
  }
  close(fd);
  return 0;
}

int WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode) {
  std::string dir = ParentPath(path);
  if (!dir.empty()) {
    int e = MakeDirs(dir);
    if (e != 0) return e;
  }
  std::string tmpl = path + ".XXXXXX";
  int fd = mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  fchmod(fd, mode);
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = write(fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      close(fd);
      unlink(tmpl.c_str());
      return e;
    }
    off += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    int e = errno;
    unlink(tmpl.c_str());
    return e;
  }
  if (rename(tmpl.c_str(), path.c_str()) != 0) {
    int e = errno;
    unlink(tmpl.c_str());
    return e;
  }
  return 0;
}

FileLock::FileLock(const std::string& lockPath) {
  std::string dir = ParentPath(lockPath);
  if (!dir.empty()) MakeDirs(dir);
  m_fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (m_fd < 0) return;
  while (flock(m_fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(m_fd);
      m_fd = -1;
      return;
    }
  }
}

FileLock::~FileLock() {
  if (m_fd >= 0) {
    flock(m_fd, LOCK_UN);
    close(m_fd);
  }
}

}  // namespace orva::platform
