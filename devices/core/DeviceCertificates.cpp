// The parts of the device layer that touch certificate objects: the certificate list of a
// view and the registration of a token's certificates in the user's store.
#include <strings.h>

#include "certificates/X509Certificate.h"
#include "devices/core/Device.h"
#include "devices/core/DeviceManager.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

bool CDeviceFake::_AppendCertObj(std::vector<CertObjPtr>& list, CertObjPtr pCert) {
  if (!pCert) return false;
  std::string sn;
  if (pCert->get_SN(sn) != ORVA_OK) return false;
  for (const auto& c : list) {
    std::string other;
    if (c->get_SN(other) == ORVA_OK && other.size() == sn.size() &&
        strncasecmp(other.c_str(), sn.c_str(), sn.size()) == 0)
      return false;
  }
  list.push_back(std::move(pCert));
  return true;
}

uint32_t CDevice::UnregistAllCert() {
  ORVA_LOG_BEGIN();
  CUseGuard guard(this);
  if (!guard) {
    ORVA_LOG_ERROR("The device has been released!");
    return ORVA_E_DEVICE_REMOVED;
  }
  if (m_pDefaultObj == nullptr) {
    ORVA_LOG_ERROR("m_pDefaultObj is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulCount = 0;
  uint32_t ulRes = m_pDefaultObj->GetCertCount(&ulCount, false);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pDefaultObj->GetCertCount() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  for (uint32_t i = 0; i < ulCount; ++i) {
    CertObjPtr pCert;
    ulRes = m_pDefaultObj->GetCertObj(i, pCert);
    if (ulRes != ORVA_OK || !pCert) {
      ORVA_LOG_ERROR("m_pDefaultObj->GetCertObj() failed! ulRes=0x%x", ulRes);
      continue;
    }
    pCert->UnregistrFromIE();
  }
  ORVA_LOG_END();
  return ulRes;
}

uint32_t CDeviceManager::RegistDeviceCert(CDevice* pDevice) {
  ORVA_LOG_BEGIN();
  if (pDevice == nullptr) {
    ORVA_LOG_ERROR("pDevice is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulCount = 0;
  uint32_t ulRes = pDevice->GetCertCount(&ulCount, false);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pDevice->GetCertCount() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  for (uint32_t i = 0; i < ulCount; ++i) {
    CertObjPtr pCert;
    if (pDevice->GetCertObj(i, pCert) == ORVA_OK && pCert) pCert->RegistToIE();
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDeviceManager::UnregistDeviceCert(CDevice* pDevice) {
  ORVA_LOG_BEGIN();
  if (pDevice == nullptr) {
    ORVA_LOG_ERROR("pDevice is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulCount = 0;
  uint32_t ulRes = pDevice->GetCertCount(&ulCount, false);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pDevice->GetCertCount() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  for (uint32_t i = 0; i < ulCount; ++i) {
    CertObjPtr pCert;
    if (pDevice->GetCertObj(i, pCert) == ORVA_OK && pCert) pCert->UnregistrFromIE();
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
