#pragma once
// The certificate cache of the loopback service: certificates that pages parsed with
// "decode_cert", named by integer handles until "release_cert" or the service stops. The
// listener owns it; the handlers of every connection share it.
//
// Handles are entries of a table, never addresses: non-zero, positive 32-bit numbers,
// unique among the live objects and not handed out again while the one they name lives.
// An unknown or released handle finds nothing. The cache is bounded in objects and in
// certificate bytes, so that a page that never releases cannot exhaust the agent.
//
// Every access (add, find, remove, and the use of a found object) runs under the one lock
// that all handlers of the process share (CORVAHttpHandler::SharedLock), so a release on
// one connection never destroys an object that another connection is reading.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class CX509Certificate;

class CORVACertCache {
 public:
  static constexpr size_t kDefaultMaxObjects = 4096;
  static constexpr size_t kDefaultMaxBytes = 64u << 20;

  explicit CORVACertCache(size_t ulMaxObjects = kDefaultMaxObjects,
                          size_t ulMaxBytes = kDefaultMaxBytes);
  ~CORVACertCache();
  CORVACertCache(const CORVACertCache&) = delete;
  CORVACertCache& operator=(const CORVACertCache&) = delete;

  // Takes the object and gives its new handle: 0, 0x81000004 for a null or empty object,
  // 0x8100000A when the cache is full.
  uint32_t Add(std::unique_ptr<CX509Certificate> pCert, int32_t* plHandle);
  // Runs `fn` on the object of `lHandle` with the shared lock held; false (and `fn` not
  // run) when no live object has that handle.
  bool Use(int32_t lHandle, const std::function<void(CX509Certificate&)>& fn);
  // Removes and destroys the object; false when the handle names none.
  bool Remove(int32_t lHandle);

  size_t Count() const;
  size_t Bytes() const;

 private:
  struct Entry {
    std::unique_ptr<CX509Certificate> pCert;
    size_t ulBytes = 0;
  };

  size_t m_ulMaxObjects;
  size_t m_ulMaxBytes;
  size_t m_ulBytes = 0;
  int32_t m_lNext = 1;
  std::map<int32_t, Entry> m_objects;
};
