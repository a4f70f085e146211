#pragma once
// The byte-stream interface through which large contents travel (files to sign, hash,
// encrypt, decrypt or time-stamp), read and written in pieces. Streams are shared through
// std::shared_ptr, which stands for the interface's reference count.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ResultCodes.h"

inline constexpr uint32_t STREAM_SEEK_SET = 0;
inline constexpr uint32_t STREAM_SEEK_CUR = 1;
inline constexpr uint32_t STREAM_SEEK_END = 2;

struct ORVA_STATSTG {
  uint64_t cbSize = 0;
};

class IStream {
 public:
  virtual ~IStream() = default;
  // One read of up to `cb` bytes at the current position; 0 bytes at the end.
  virtual uint32_t Read(void* pv, uint32_t cb, uint32_t* pcbRead) = 0;
  virtual uint32_t Write(const void* pv, uint32_t cb, uint32_t* pcbWritten) = 0;
  // dwOrigin 0 start, 1 current, 2 end. plibNewPosition may be null.
  virtual uint32_t Seek(int64_t dlibMove, uint32_t dwOrigin, uint64_t* plibNewPosition) = 0;
  virtual uint32_t SetSize(uint64_t) { return ORVA_E_NOTIMPL; }
  virtual uint32_t CopyTo(IStream*, uint64_t, uint64_t*, uint64_t*) { return ORVA_E_NOTIMPL; }
  virtual uint32_t Commit(uint32_t grfCommitFlags) = 0;
  virtual uint32_t Revert() { return ORVA_E_NOTIMPL; }
  virtual uint32_t LockRegion(uint64_t, uint64_t, uint32_t) { return ORVA_E_NOTIMPL; }
  virtual uint32_t UnlockRegion(uint64_t, uint64_t, uint32_t) { return ORVA_E_NOTIMPL; }
  virtual uint32_t Stat(ORVA_STATSTG*, uint32_t) { return ORVA_E_NOTIMPL; }
  virtual uint32_t Clone(std::shared_ptr<IStream>*) { return ORVA_E_NOTIMPL; }
};

using StreamPtr = std::shared_ptr<IStream>;

// Size of a stream the way callers find it: seek to the end, read the position, seek back
// to the start.
uint32_t GetStreamSize(IStream* pStream, uint64_t* pullSize);

// A stream over a file on disk. One system call per Read and Write, no buffering layer.
// Sharing follows the platform's rules: while a stream has the file open for writing, a
// second open fails with a sharing violation; readers may share the file.
class CFileStream : public IStream {
 public:
  enum Access : uint32_t { AccessRead = 1, AccessWrite = 2 };

  CFileStream() = default;
  ~CFileStream() override;
  CFileStream(const CFileStream&) = delete;
  CFileStream& operator=(const CFileStream&) = delete;

  // create false: the file must exist. create true: created anew (truncated).
  uint32_t OpenFile(const std::string& lpctFile, Access access, bool bCreate);
  uint32_t CloseFile();
  bool IsOpen() const { return m_hFile >= 0; }

  uint32_t Read(void* pv, uint32_t cb, uint32_t* pcbRead) override;
  uint32_t Write(const void* pv, uint32_t cb, uint32_t* pcbWritten) override;
  uint32_t Seek(int64_t dlibMove, uint32_t dwOrigin, uint64_t* plibNewPosition) override;
  uint32_t Commit(uint32_t grfCommitFlags) override;

 private:
  int m_hFile = -1;
  std::string m_path;
};

// A growable stream in memory (the platform's stream on global memory).
class CMemoryStream : public IStream {
 public:
  CMemoryStream() = default;
  explicit CMemoryStream(std::vector<uint8_t> initial) : m_data(std::move(initial)) {}

  uint32_t Read(void* pv, uint32_t cb, uint32_t* pcbRead) override;
  uint32_t Write(const void* pv, uint32_t cb, uint32_t* pcbWritten) override;
  uint32_t Seek(int64_t dlibMove, uint32_t dwOrigin, uint64_t* plibNewPosition) override;
  uint32_t SetSize(uint64_t size) override;
  uint32_t Commit(uint32_t) override { return ORVA_OK; }
  uint32_t Stat(ORVA_STATSTG* pstatstg, uint32_t) override;

  const std::vector<uint8_t>& Data() const { return m_data; }
  std::vector<uint8_t> TakeData() {
    m_pos = 0;
    return std::move(m_data);
  }

 private:
  std::vector<uint8_t> m_data;
  uint64_t m_pos = 0;
};
