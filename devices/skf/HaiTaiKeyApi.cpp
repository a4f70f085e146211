#include "devices/skf/HaiTaiKeyApi.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

std::mutex& ListLock() {
  static std::mutex lock;
  return lock;
}

std::vector<std::unique_ptr<CHaiTaiKeyApi>>& List() {
  static std::vector<std::unique_ptr<CHaiTaiKeyApi>> list;
  return list;
}

}  // namespace

CHaiTaiKeyApi::~CHaiTaiKeyApi() = default;

CHaiTaiKeyApi* CHaiTaiKeyApi::Get(const std::string& csDllName) {
  ORVA_LOG_BEGIN();
  if (csDllName.empty()) return nullptr;
  std::string path = csDllName.substr(0, 259);
  std::lock_guard<std::mutex> g(ListLock());
  for (auto& p : List()) {
    if (p->m_csDllName == path) {
      ++p->m_ulRefCount;
      ORVA_LOG_END();
      return p.get();
    }
  }
  // Loaded under the list lock, so that two kits naming one library get one instance.
  std::unique_ptr<CHaiTaiKeyApi> api(new CHaiTaiKeyApi());
  uint32_t ulErr = 0;
  api->m_hModule = orva::platform::CDynamicLibrary::Open(path, ulErr);
  if (!api->m_hModule) {
    ORVA_LOG_ERROR("LoadLibraryA() failed! ulRes=0x%x", ulErr);
    return nullptr;
  }
  api->m_pfnHSConnectDev = api->m_hModule->Function<PFN_HSConnectDev>("HSConnectDev");
  api->m_pfnHSDisconnectDev = api->m_hModule->Function<PFN_HSDisconnectDev>("HSDisconnectDev");
  api->m_pfnHSReadDSN = api->m_hModule->Function<PFN_HSReadDSN>("HSReadDSN");
  api->m_csDllName = path;
  api->m_ulRefCount = 1;
  List().push_back(std::move(api));
  ORVA_LOG_END();
  return List().back().get();
}

void CHaiTaiKeyApi::Release() {
  // The library is freed under the lock too, so that a load of the same path on another
  // thread never overlaps its unloading.
  std::lock_guard<std::mutex> g(ListLock());
  if (m_ulRefCount > 0 && --m_ulRefCount > 0) return;
  auto& list = List();
  auto it = std::find_if(list.begin(), list.end(), [this](const auto& p) { return p.get() == this; });
  if (it != list.end()) list.erase(it);  // destroys this instance
}

uint32_t CHaiTaiKeyApi::ReadDSN(const char* lpcsDevName, uint8_t* pbDSN, uint32_t* pulLen) {
  ORVA_LOG_BEGIN();
  if (m_pfnHSConnectDev == nullptr || m_pfnHSReadDSN == nullptr) {
    ORVA_LOG_ERROR("HSConnectDev or HSReadDSN is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (lpcsDevName == nullptr || *lpcsDevName == '\0' || pulLen == nullptr) {
    ORVA_LOG_ERROR("lpcsDevName or pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pbDSN == nullptr) {
    *pulLen = 32;
    return ORVA_OK;
  }
  HANDLE hCard = nullptr;
  ULONG rv = m_pfnHSConnectDev(lpcsDevName, &hCard);
  if (rv != 0 || hCard == nullptr) {
    ORVA_LOG_ERROR("HSConnectDev() failed! ulRes=0x%x", rv);
    return ORVA_E_CALL_FAILED;
  }
  ULONG ulLen = *pulLen;
  rv = m_pfnHSReadDSN(hCard, pbDSN, &ulLen);
  if (m_pfnHSDisconnectDev) m_pfnHSDisconnectDev(hCard);
  if (rv != 0) {
    ORVA_LOG_ERROR("HSReadDSN() failed! ulRes=0x%x", rv);
    return ORVA_E_CALL_FAILED;
  }
  // The library's length is bounded by the caller's buffer.
  *pulLen = std::min<uint32_t>(ulLen, *pulLen);
  ORVA_LOG_END();
  return ORVA_OK;
}

size_t CHaiTaiKeyApi::ListSize() {
  std::lock_guard<std::mutex> g(ListLock());
  return List().size();
}

uint32_t CHaiTaiKeyApi::RefCount(const std::string& csDllName) {
  std::lock_guard<std::mutex> g(ListLock());
  for (auto& p : List())
    if (p->m_csDllName == csDllName) return p->m_ulRefCount;
  return 0;
}
