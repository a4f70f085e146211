#include "webservice/ORVACertCache.h"

#include <limits>
#include <mutex>
#include <vector>

#include "certificates/X509Certificate.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "webservice/ORVAHttpHandler.h"

CORVACertCache::CORVACertCache(size_t ulMaxObjects, size_t ulMaxBytes)
    : m_ulMaxObjects(ulMaxObjects), m_ulMaxBytes(ulMaxBytes) {}

CORVACertCache::~CORVACertCache() {
  // The objects go under the lock: a handler that is still running (an abandoned
  // connection) never sees one half destroyed.
  std::map<int32_t, Entry> objects;
  {
    std::lock_guard<std::mutex> g(CORVAHttpHandler::SharedLock());
    objects.swap(m_objects);
    m_ulBytes = 0;
  }
}

uint32_t CORVACertCache::Add(std::unique_ptr<CX509Certificate> pCert, int32_t* plHandle) {
  if (plHandle == nullptr || pCert == nullptr) {
    ORVA_LOG_ERROR("pCert or plHandle is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::vector<uint8_t> der;
  if (pCert->ToBuffer(der) != ORVA_OK || der.empty()) {
    ORVA_LOG_ERROR("The certificate object holds no certificate!");
    return ORVA_E_INVALID_PARAM;
  }
  std::lock_guard<std::mutex> g(CORVAHttpHandler::SharedLock());
  if (m_objects.size() >= m_ulMaxObjects || der.size() > m_ulMaxBytes - m_ulBytes) {
    ORVA_LOG_ERROR("The certificate cache is full! Count = 0x%x, Bytes = 0x%x",
                   static_cast<uint32_t>(m_objects.size()), static_cast<uint32_t>(m_ulBytes));
    return ORVA_E_DATA_TOO_LONG;
  }
  // The next number not in use; the table is far smaller than the number space, so the
  // search ends at once.
  int32_t h = m_lNext;
  while (m_objects.count(h) != 0) h = h == std::numeric_limits<int32_t>::max() ? 1 : h + 1;
  m_lNext = h == std::numeric_limits<int32_t>::max() ? 1 : h + 1;
  m_objects.emplace(h, Entry{std::move(pCert), der.size()});
  m_ulBytes += der.size();
  *plHandle = h;
  return ORVA_OK;
}

bool CORVACertCache::Use(int32_t lHandle, const std::function<void(CX509Certificate&)>& fn) {
  std::lock_guard<std::mutex> g(CORVAHttpHandler::SharedLock());
  auto it = m_objects.find(lHandle);
  if (it == m_objects.end()) return false;
  fn(*it->second.pCert);
  return true;
}

bool CORVACertCache::Remove(int32_t lHandle) {
  std::unique_ptr<CX509Certificate> pDead;
  std::lock_guard<std::mutex> g(CORVAHttpHandler::SharedLock());
  auto it = m_objects.find(lHandle);
  if (it == m_objects.end()) return false;
  pDead = std::move(it->second.pCert);
  m_ulBytes -= it->second.ulBytes;
  m_objects.erase(it);
  return true;
}

size_t CORVACertCache::Count() const {
  std::lock_guard<std::mutex> g(CORVAHttpHandler::SharedLock());
  return m_objects.size();
}

size_t CORVACertCache::Bytes() const {
  std::lock_guard<std::mutex> g(CORVAHttpHandler::SharedLock());
  return m_ulBytes;
}
