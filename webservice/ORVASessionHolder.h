#pragma once
// Scope pieces shared by the signing and envelope operations.
#include <cstdint>
#include <string>
#include <utility>

#include "devices/core/Device.h"
#include "devices/core/Session.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "webservice/ORVADeviceHelper.h"

// A session of one key class, closed when the holder goes.
class CSessionHolder {
 public:
  CSessionHolder(DevicePtr pDevice, uint32_t ulKeyAlg) : m_pDevice(std::move(pDevice)), m_ulKeyAlg(ulKeyAlg) {}
  ~CSessionHolder() {
    if (m_pSession) m_pDevice->CloseSession(m_ulKeyAlg, m_pSession.get());
  }
  CSessionHolder(const CSessionHolder&) = delete;
  CSessionHolder& operator=(const CSessionHolder&) = delete;

  // Opens the session for `ulUsage` (1 signature, 2 exchange); the failure is logged.
  uint32_t Open(uint32_t ulUsage) {
    uint32_t hr = m_pDevice->OpenSession(m_ulKeyAlg, ulUsage, m_pSession);
    if (hr == ORVA_OK && !m_pSession) hr = ORVA_E_NO_SESSION;
    if (hr != ORVA_OK) ORVA_LOG_ERROR("OpenSession() failed! ulKeyAlg=0x%x, hr=0x%x", m_ulKeyAlg, hr);
    return hr;
  }
  CSession* operator->() const { return m_pSession.get(); }

 private:
  DevicePtr m_pDevice;
  uint32_t m_ulKeyAlg;
  SessionPtr m_pSession;
};

// Logs in with the PIN dialog unless the token's login is already the caller's own (a login
// that another origin made is never used).
inline uint32_t OrvaEnsureLogin(const DevicePtr& pDevice, const std::string& strOrigin, uint32_t* pulRetryTimes) {
  *pulRetryTimes = 0;
  if (CORVADeviceHelper::_IsLoggedInFor(pDevice, strOrigin)) return ORVA_OK;
  return CORVADeviceHelper::_LoginToDevice(pDevice, PIN_USER, pulRetryTimes, strOrigin);
}
