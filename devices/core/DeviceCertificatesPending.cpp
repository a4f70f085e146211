// PLACEHOLDER while the certificate object is not on this branch: lists are counted but
// nothing reaches the user's store. Replaced by DeviceCertificates.cpp once
// certificates/X509Certificate.h exists (see CMakeLists.txt).
#include "devices/core/Device.h"
#include "devices/core/DeviceManager.h"
#include "foundation/ResultCodes.h"

bool CDeviceFake::_AppendCertObj(std::vector<CertObjPtr>& list, CertObjPtr pCert) {
  if (!pCert) return false;
  list.push_back(std::move(pCert));
  return true;
}

uint32_t CDevice::UnregistAllCert() { return IsStale() ? ORVA_E_DEVICE_REMOVED : ORVA_OK; }
uint32_t CDeviceManager::RegistDeviceCert(CDevice* pDevice) {
  return pDevice ? ORVA_OK : ORVA_E_INVALID_PARAM;
}
uint32_t CDeviceManager::UnregistDeviceCert(CDevice* pDevice) {
  return pDevice ? ORVA_OK : ORVA_E_INVALID_PARAM;
}
