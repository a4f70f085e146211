#include "foundation/Stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/LogFile.h"
#include "platform/ErrnoMap.h"

uint32_t GetStreamSize(IStream* pStream, uint64_t* pullSize) {
  if (pStream == nullptr || pullSize == nullptr) return ORVA_E_INVALID_PARAM;
  uint64_t end = 0;
  uint32_t r = pStream->Seek(0, STREAM_SEEK_END, &end);
  if (r != 0) return r;
  r = pStream->Seek(0, STREAM_SEEK_SET, nullptr);
  if (r != 0) return r;
  *pullSize = end;
  return ORVA_OK;
}

CFileStream::~CFileStream() { CloseFile(); }

uint32_t CFileStream::OpenFile(const std::string& lpctFile, Access access, bool bCreate) {
  ORVA_LOG_BEGIN();
  CloseFile();
  if (lpctFile.empty()) {
    ORVA_LOG_ERROR("lpctFile is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  // The file is opened without truncation first, so that an open that the sharing rule
  // refuses leaves the file as it was.
  int flags = O_CLOEXEC | (access == AccessWrite ? O_RDWR : O_RDONLY);
  if (bCreate) flags |= O_CREAT;
  int fd = open(lpctFile.c_str(), flags, 0644);
  uint32_t win = 0;
  if (fd < 0) {
    win = orva::platform::WinErrorFromErrno(errno, lpctFile);
  } else {
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      win = orva::platform::kWinErrorAccessDenied;
    } else if (flock(fd, (bCreate || access == AccessWrite ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
      win = orva::platform::kWinErrorSharingViolation;
    } else if (bCreate && ftruncate(fd, 0) != 0) {
      win = orva::platform::WinErrorFromErrno(errno, lpctFile);
    }
    if (win != 0) close(fd);
  }
  if (win != 0) {
    ORVA_LOG_ERROR("CreateFile() failed! ulRes = 0x%x", win);
    return ORVA_E_CREATE_FILE;
  }
  m_hFile = fd;
  m_path = lpctFile;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CFileStream::CloseFile() {
  if (m_hFile >= 0) {
    flock(m_hFile, LOCK_UN);
    close(m_hFile);
    m_hFile = -1;
  }
  return ORVA_OK;
}

uint32_t CFileStream::Read(void* pv, uint32_t cb, uint32_t* pcbRead) {
  if (m_hFile < 0) {
    ORVA_LOG_ERROR("m_hFile is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pv == nullptr || pcbRead == nullptr) {
    ORVA_LOG_ERROR("pv or pcbRead is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (cb == 0) {
    ORVA_LOG_ERROR("cb is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  *pcbRead = 0;
  ssize_t n;
  do {
    n = read(m_hFile, pv, cb);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    uint32_t hr = orva::platform::WinErrorFromErrno(errno);
    ORVA_LOG_ERROR("ReadFile() failed! hr = 0x%x", hr);
    return hr;
  }
  *pcbRead = static_cast<uint32_t>(n);
  return ORVA_OK;
}

uint32_t CFileStream::Write(const void* pv, uint32_t cb, uint32_t* pcbWritten) {
  if (m_hFile < 0) {
    ORVA_LOG_ERROR("m_hFile is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pv == nullptr || pcbWritten == nullptr) {
    ORVA_LOG_ERROR("pv or pcbWritten is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (cb == 0) {
    ORVA_LOG_ERROR("cb is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  *pcbWritten = 0;
  // One write call; a short write from the kernel is continued so that the count asked
  // for reaches the file (a plain file only writes short on a full disk or a signal).
  const auto* p = static_cast<const uint8_t*>(pv);
  uint32_t done = 0;
  while (done < cb) {
    ssize_t n = write(m_hFile, p + done, cb - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      uint32_t hr = orva::platform::WinErrorFromErrno(n < 0 ? errno : ENOSPC);
      ORVA_LOG_ERROR("WriteFile() failed! hr = 0x%x", hr);
      *pcbWritten = done;
      return hr;
    }
    done += static_cast<uint32_t>(n);
  }
  *pcbWritten = done;
  return ORVA_OK;
}

uint32_t CFileStream::Seek(int64_t dlibMove, uint32_t dwOrigin, uint64_t* plibNewPosition) {
  if (m_hFile < 0) {
    ORVA_LOG_ERROR("m_hFile is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int whence;
  switch (dwOrigin) {
    case STREAM_SEEK_SET:
      whence = SEEK_SET;
      break;
    case STREAM_SEEK_CUR:
      whence = SEEK_CUR;
      break;
    case STREAM_SEEK_END:
      whence = SEEK_END;
      break;
    default:
      ORVA_LOG_ERROR("dwOrigin is wrong! dwOrigin = 0x%x", dwOrigin);
      return ORVA_E_INVALID_PARAM;
  }
  off_t pos = lseek(m_hFile, static_cast<off_t>(dlibMove), whence);
  if (pos < 0) {
    uint32_t hr = orva::platform::WinErrorFromErrno(errno);
    ORVA_LOG_ERROR("SetFilePointerEx() filed! hr = 0x%x", hr);
    return hr;
  }
  if (plibNewPosition) *plibNewPosition = static_cast<uint64_t>(pos);
  return ORVA_OK;
}

uint32_t CFileStream::Commit(uint32_t) {
  if (m_hFile < 0) {
    ORVA_LOG_ERROR("m_hFile is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  fsync(m_hFile);
  return ORVA_OK;
}

uint32_t CMemoryStream::Read(void* pv, uint32_t cb, uint32_t* pcbRead) {
  if (pv == nullptr || pcbRead == nullptr) return ORVA_E_INVALID_PARAM;
  *pcbRead = 0;
  if (m_pos >= m_data.size()) return ORVA_OK;
  uint64_t n = std::min<uint64_t>(cb, m_data.size() - m_pos);
  std::memcpy(pv, m_data.data() + m_pos, static_cast<size_t>(n));
  m_pos += n;
  *pcbRead = static_cast<uint32_t>(n);
  return ORVA_OK;
}

uint32_t CMemoryStream::Write(const void* pv, uint32_t cb, uint32_t* pcbWritten) {
  if (pv == nullptr && cb != 0) return ORVA_E_INVALID_PARAM;
  if (m_pos + cb > m_data.size()) m_data.resize(static_cast<size_t>(m_pos + cb));
  if (cb) std::memcpy(m_data.data() + m_pos, pv, cb);
  m_pos += cb;
  if (pcbWritten) *pcbWritten = cb;
  return ORVA_OK;
}

uint32_t CMemoryStream::Seek(int64_t dlibMove, uint32_t dwOrigin, uint64_t* plibNewPosition) {
  int64_t base;
  switch (dwOrigin) {
    case STREAM_SEEK_SET:
      base = 0;
      break;
    case STREAM_SEEK_CUR:
      base = static_cast<int64_t>(m_pos);
      break;
    case STREAM_SEEK_END:
      base = static_cast<int64_t>(m_data.size());
      break;
    default:
      return ORVA_E_INVALID_PARAM;
  }
  int64_t np = base + dlibMove;
  if (np < 0) return orva::platform::kWinErrorInvalidParameter;
  m_pos = static_cast<uint64_t>(np);
  if (plibNewPosition) *plibNewPosition = m_pos;
  return ORVA_OK;
}

uint32_t CMemoryStream::SetSize(uint64_t size) {
  m_data.resize(static_cast<size_t>(size));
  return ORVA_OK;
}

uint32_t CMemoryStream::Stat(ORVA_STATSTG* pstatstg, uint32_t) {
  if (pstatstg == nullptr) return ORVA_E_INVALID_PARAM;
  pstatstg->cbSize = m_data.size();
  return ORVA_OK;
}
