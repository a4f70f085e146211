#pragma once
// Whole-file reads and crash-safe replacement of small files (settings, cached lists,
// key material): the new content goes to a private temporary file in the same folder,
// is flushed, and is renamed over the old one.
#include <cstdint>
#include <string>
#include <vector>

namespace orva::platform {

// Reads a whole regular file. Returns 0 or an errno value; refuses files over `maxBytes`
// with EFBIG.
int ReadWholeFile(const std::string& path, std::string& out, uint64_t maxBytes = 64u << 20);

// Replaces `path` with `data` atomically (temp file + fsync + rename). `mode` is applied to
// the new file. Returns 0 or an errno value; on failure the old file is untouched.
int WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode = 0600);

// An exclusive advisory lock on a lock file, held for the object's lifetime; serialises
// writers across processes (threads of one process are serialised by the caller's mutex).
class FileLock {
 public:
  explicit FileLock(const std::string& lockPath);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool locked() const { return m_fd >= 0; }

 private:
  int m_fd = -1;
};

}  // namespace orva::platform
