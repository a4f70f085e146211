#include "devices/skf/GMDevice.h"

#include <algorithm>
#include <cstring>

#include "certificates/X509Certificate.h"
#include "devices/skf/GMSession.h"
#include "devices/skf/GMSessionUtil.h"
#include "devices/skf/HaiTaiKeyApi.h"
#include "foundation/Buffer.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

using orva::skf::CSkfText;

namespace {

size_t Strnlen(const char* s, size_t max) { return s ? strnlen(s, max + 1) : 0; }

// The largest list a library may claim for the application names.
constexpr ULONG kMaxNameListBytes = 65536;

}  // namespace

CGMDevice::CGMDevice(std::shared_ptr<CDeviceProxy> pProxy, const std::string& csName)
    : CDeviceFake(std::move(pProxy), csName, 0) {
  m_pGMProxy = dynamic_cast<CGMDeviceProxy*>(m_pProxy.get());
}

CGMDevice::~CGMDevice() { Disconnect(); }

// ---------------------------------------------------------------------------------------
// Connection and device information.

bool CGMDevice::_GetApplitionName(std::string& csAppName) {
  csAppName.clear();
  ULONG ulSize = 0;
  ULONG rv = GM_CALL(SKF_EnumApplication, m_hDev, static_cast<LPSTR>(nullptr), &ulSize);
  if (rv != SAR_OK || ulSize <= 2) {
    if (rv != SAR_OK) ORVA_LOG_ERROR("SKF_EnumApplication() failed! ulRes=0x%x", rv);
    return false;
  }
  ulSize = std::min(ulSize, kMaxNameListBytes);
  std::vector<char> list(ulSize, '\0');
  rv = GM_CALL(SKF_EnumApplication, m_hDev, list.data(), &ulSize);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_EnumApplication() failed! ulRes=0x%x", rv);
    return false;
  }
  std::vector<std::string> names = CGMDeviceProxy::ParseNameList(list.data(), list.size(), ulSize);
  if (names.empty()) return false;
  csAppName = names.front().substr(0, 63);
  return true;
}

uint32_t CGMDevice::Connect() {
  ORVA_LOG_BEGIN();
  if (m_csName.empty()) {
    ORVA_LOG_ERROR("m_csName is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (m_pGMProxy == nullptr) {
    ORVA_LOG_ERROR("m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  Disconnect();
  CSkfText name(m_csName);
  DEVHANDLE hDev = nullptr;
  ULONG rv = GM_CALL(SKF_ConnectDev, name.get(), &hDev);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_ConnectDev() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  m_hDev = hDev;
  std::memset(&m_devInfo, 0, sizeof m_devInfo);
  rv = GM_CALL(SKF_GetDevInfo, m_hDev, &m_devInfo);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_GetDevInfo() failed! ulRes=0x%x", rv);
    Disconnect();
    return _Res(rv);
  }
  if (CHaiTaiKeyApi* pHaiTai = m_pGMProxy->GetHaiTaiApi()) {
    uint8_t dsn[64] = {};
    uint32_t ulLen = sizeof dsn;
    if (pHaiTai->ReadDSN(m_csName.c_str(), dsn, &ulLen) == ORVA_OK && ulLen > 0) {
      std::memset(m_devInfo.SerialNumber, 0, sizeof m_devInfo.SerialNumber);
      std::memcpy(m_devInfo.SerialNumber, dsn, std::min<size_t>(ulLen, sizeof m_devInfo.SerialNumber));
    }
  }
  if (m_hApplication == nullptr) {
    std::string app;
    if (_GetApplitionName(app)) {
      ORVA_LOG_INFO("Selected application: %s", app.c_str());
      CSkfText appName(app);
      HAPPLICATION hApp = nullptr;
      rv = GM_CALL(SKF_OpenApplication, m_hDev, appName.get(), &hApp);
      if (rv != SAR_OK) ORVA_LOG_ERROR("SKF_OpenApplication() failed! ulRes=0x%x", rv);
      else m_hApplication = hApp;
    } else {
      ORVA_LOG_INFO("No application!");
    }
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::Disconnect() {
  if (m_pGMProxy) {
    if (m_hApplication) GM_CALL(SKF_CloseApplication, m_hApplication);
    if (m_hDev) GM_CALL(SKF_DisConnectDev, m_hDev);
  }
  m_hApplication = nullptr;
  m_hDev = nullptr;
  return ORVA_OK;
}

uint32_t CGMDevice::GetDevStatus(uint32_t* pulStatus) {
  ORVA_LOG_BEGIN();
  if (pulStatus == nullptr) {
    ORVA_LOG_ERROR("pulStatus is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (m_pGMProxy == nullptr || m_hDev == nullptr) {
    ORVA_LOG_ERROR("m_hDev or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_hApplication == nullptr) {
    std::string app;
    if (!_GetApplitionName(app)) {
      *pulStatus = DEV_STATUS_BLANK;
      ORVA_LOG_INFO("_GetApplitionName() failed! This is a NULL Key!");
      return ORVA_OK;
    }
    ORVA_LOG_INFO("Selected application name:%s", app.c_str());
    CSkfText appName(app);
    HAPPLICATION hApp = nullptr;
    ULONG rv = GM_CALL(SKF_OpenApplication, m_hDev, appName.get(), &hApp);
    if (rv != SAR_OK) {
      *pulStatus = DEV_STATUS_APP_FAILED;
      ORVA_LOG_ERROR("SKF_OpenApplication() failed! This is a NULL Key!");
      return _Res(rv);
    }
    m_hApplication = hApp;
  }
  *pulStatus = DEV_STATUS_INITIALIZED;
  uint32_t ulCount = 0;
  uint32_t ulRes = GetCertCount(&ulCount, false);
  if (ulRes != ORVA_OK) return ulRes;
  for (uint32_t i = 0; i < ulCount; ++i) {
    CertObjPtr pCert;
    ulRes = GetCertObj(i, pCert);
    if (ulRes != ORVA_OK || !pCert) continue;
    uint32_t ulType = 0, ulUsage = 0;
    ulRes = pCert->get_KeyType(&ulType);
    if (ulRes != ORVA_OK || ulType != ALG_SM2) continue;
    ulRes = pCert->get_KeyUsage(&ulUsage);
    if (ulRes != ORVA_OK) continue;
    if (ulUsage == KEY_USAGE_SIGN || ulUsage == KEY_USAGE_EXCH) {
      ORVA_LOG_INFO(ulUsage == KEY_USAGE_SIGN ? "Sign certificate is found!" : "Exch certificate is found!");
      ORVA_LOG_INFO("This is a key in user status!");
      *pulStatus = DEV_STATUS_USER;
      break;
    }
  }
  ORVA_LOG_END();
  return ulRes;
}

uint32_t CGMDevice::IsDefaultPIN(bool* pbDefault) {
  ORVA_LOG_BEGIN();
  if (m_pGMProxy == nullptr || m_hApplication == nullptr) {
    ORVA_LOG_ERROR("m_hApplication is NULL!");
    return ORVA_E_NOT_INITIALIZED;
  }
  if (pbDefault == nullptr) {
    ORVA_LOG_ERROR("pbDefault is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  ULONG ulMax = 0, ulRemain = 0;
  BOOL bDefault = FALSE;
  ULONG rv = GM_CALL(SKF_GetPINInfo, m_hApplication, static_cast<ULONG>(USER_TYPE), &ulMax, &ulRemain, &bDefault);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_GetPINInfo() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  *pbDefault = bDefault != FALSE;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::GetSN(char* lpsSN, uint32_t* pulLen) {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  constexpr uint32_t kNeeded = sizeof m_devInfo.SerialNumber + 1;
  if (lpsSN == nullptr) {
    *pulLen = kNeeded;
    ORVA_LOG_INFO("Return request length:0x%x", kNeeded);
    return ORVA_OK;
  }
  if (*pulLen < kNeeded) {
    ORVA_LOG_ERROR("Buffer is to small! Requested length:0x%x", kNeeded);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(lpsSN, m_devInfo.SerialNumber, sizeof m_devInfo.SerialNumber);
  lpsSN[sizeof m_devInfo.SerialNumber] = '\0';
  *pulLen = static_cast<uint32_t>(strnlen(lpsSN, sizeof m_devInfo.SerialNumber));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::GetLabel(char* lpsLabel, uint32_t* pulLen) {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  constexpr uint32_t kNeeded = sizeof m_devInfo.Label + 1;
  if (lpsLabel == nullptr) {
    *pulLen = kNeeded;
    ORVA_LOG_INFO("Return request length:0x%x", kNeeded);
    return ORVA_OK;
  }
  if (*pulLen < kNeeded) {
    ORVA_LOG_ERROR("Buffer is to small! Requested length:0x%x",
                   static_cast<uint32_t>(strnlen(m_devInfo.Label, sizeof m_devInfo.Label) + 1));
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(lpsLabel, m_devInfo.Label, sizeof m_devInfo.Label);
  lpsLabel[sizeof m_devInfo.Label] = '\0';
  *pulLen = sizeof m_devInfo.Label;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::SetLabel(const char* lpcsLabel) {
  ORVA_LOG_BEGIN();
  if (m_pGMProxy == nullptr || m_hDev == nullptr) {
    ORVA_LOG_ERROR("m_hDev or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (lpcsLabel == nullptr) {
    ORVA_LOG_ERROR("lpcsLabel is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  CSkfText label(lpcsLabel);
  ULONG rv = GM_CALL(SKF_SetLabel, m_hDev, label.get());
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_SetLabel() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  // The device information read at connection follows the new label.
  std::memset(m_devInfo.Label, 0, sizeof m_devInfo.Label);
  std::memcpy(m_devInfo.Label, lpcsLabel, std::min(Strnlen(lpcsLabel, sizeof m_devInfo.Label), sizeof m_devInfo.Label));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::GetManufacturer(char* lpsManufacturer, uint32_t* pulLen) {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  size_t n = strnlen(m_devInfo.Manufacturer, sizeof m_devInfo.Manufacturer);
  uint32_t ulNeeded = static_cast<uint32_t>(n + 1);
  if (lpsManufacturer == nullptr) {
    *pulLen = ulNeeded;
    return ORVA_OK;
  }
  if (*pulLen < ulNeeded) {
    ORVA_LOG_ERROR("Buffer is to small! Requested length:0x%x", ulNeeded);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(lpsManufacturer, m_devInfo.Manufacturer, n);
  lpsManufacturer[n] = '\0';
  ORVA_LOG_INFO("Manufacturer:%s", lpsManufacturer);
  *pulLen = ulNeeded;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::GenRandom(uint8_t* pbData, uint32_t ulLen) {
  ORVA_LOG_BEGIN();
  if (pbData == nullptr || ulLen == 0) {
    ORVA_LOG_ERROR("lpData or dwLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (m_pGMProxy == nullptr || m_hDev == nullptr) {
    ORVA_LOG_ERROR("m_hDev or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  ULONG rv = GM_CALL(SKF_GenRandom, m_hDev, pbData, static_cast<ULONG>(ulLen));
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_GenRandom() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

// ---------------------------------------------------------------------------------------
// PINs.

#define GM_NEED_APPLICATION()                                  \
  do {                                                         \
    if (m_pGMProxy == nullptr || m_hApplication == nullptr) {  \
      ORVA_LOG_ERROR("m_hApplication or m_pGMProxy is NULL!"); \
      return ORVA_E_INVALID_CALL;                              \
    }                                                          \
  } while (0)

uint32_t CGMDevice::VerifyPIN(uint32_t ulPinType, const char* lpcsPIN, uint32_t* pulLeftTimes) {
  ORVA_LOG_BEGIN();
  if (lpcsPIN == nullptr || *lpcsPIN == '\0' || pulLeftTimes == nullptr) {
    ORVA_LOG_ERROR("lpszPIN or plLeftTimes is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  GM_NEED_APPLICATION();
  CSkfText pin(lpcsPIN);
  ULONG ulRetry = 0;
  ULONG rv = GM_CALL(SKF_VerifyPIN, m_hApplication, static_cast<ULONG>(ulPinType), pin.get(), &ulRetry);
  *pulLeftTimes = ulRetry;
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_VerifyPIN() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::ChangePIN(uint32_t ulPinType, const char* lpcsOldPIN, const char* lpcsNewPIN,
                              uint32_t* pulLeftTimes) {
  ORVA_LOG_BEGIN();
  if (lpcsOldPIN == nullptr || *lpcsOldPIN == '\0') {
    ORVA_LOG_ERROR("lpszOldPIN is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (lpcsNewPIN == nullptr || *lpcsNewPIN == '\0') {
    ORVA_LOG_ERROR("lpszNewPIN is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pulLeftTimes == nullptr) {
    ORVA_LOG_ERROR("plLeftTimes is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  GM_NEED_APPLICATION();
  CSkfText oldPin(lpcsOldPIN), newPin(lpcsNewPIN);
  ULONG ulRetry = 0;
  ULONG rv = GM_CALL(SKF_ChangePIN, m_hApplication, static_cast<ULONG>(ulPinType), oldPin.get(), newPin.get(),
                     &ulRetry);
  *pulLeftTimes = ulRetry;
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_ChangePIN() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::UnLockPIN(const char* lpcsAdminPIN, const char* lpcsNewPIN, uint32_t* pulLeftTimes) {
  ORVA_LOG_BEGIN();
  if (lpcsAdminPIN == nullptr || *lpcsAdminPIN == '\0') {
    ORVA_LOG_ERROR("lpszAdminPIN is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (lpcsNewPIN == nullptr || *lpcsNewPIN == '\0') {
    ORVA_LOG_ERROR("lpszNewPIN is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pulLeftTimes == nullptr) {
    ORVA_LOG_ERROR("plLeftTimes is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  GM_NEED_APPLICATION();
  CSkfText adminPin(lpcsAdminPIN), newPin(lpcsNewPIN);
  ULONG ulRetry = 0;
  ULONG rv = GM_CALL(SKF_UnblockPIN, m_hApplication, adminPin.get(), newPin.get(), &ulRetry);
  *pulLeftTimes = ulRetry;
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_UnblockPIN() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

// ---------------------------------------------------------------------------------------
// Device authentication and initialisation.

uint32_t CGMDevice::_DevAuth(const char* lpcsAuthKey, size_t ulKeyLen) {
  ORVA_LOG_BEGIN();
  if (m_pGMProxy == nullptr || m_hDev == nullptr) {
    ORVA_LOG_ERROR("m_hDev or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (lpcsAuthKey == nullptr || ulKeyLen == 0 || ulKeyLen > 32) {
    ORVA_LOG_ERROR("The device authentication key is wrong! ulKeyLen=0x%x", static_cast<uint32_t>(ulKeyLen));
    return ORVA_E_INVALID_PARAM;
  }
  // The library reads a 16-byte key: a shorter text is zero-filled, never read past its end.
  uint8_t key[16] = {};
  std::memcpy(key, lpcsAuthKey, std::min<size_t>(ulKeyLen, sizeof key));
  uint8_t random[16] = {};
  uint8_t cipher[64] = {};
  HANDLE hKey = nullptr;
  ULONG rv = GM_CALL(SKF_GenRandom, m_hDev, random, static_cast<ULONG>(8));
  const char* lpcsFailed = "SKF_GenRandom";
  if (rv == SAR_OK) {
    lpcsFailed = "SKF_SetSymmKey";
    rv = GM_CALL(SKF_SetSymmKey, m_hDev, key, m_devInfo.DevAuthAlgId, &hKey);
  }
  OrvaSecureZero(key, sizeof key);
  if (rv == SAR_OK) {
    lpcsFailed = "SKF_EncryptInit";
    BLOCKCIPHERPARAM param{};
    rv = GM_CALL(SKF_EncryptInit, hKey, param);
  }
  ULONG ulCipherLen = sizeof cipher;
  if (rv == SAR_OK) {
    lpcsFailed = "SKF_Encrypt";
    rv = GM_CALL(SKF_Encrypt, hKey, random, static_cast<ULONG>(sizeof random), cipher, &ulCipherLen);
  }
  if (rv == SAR_OK) {
    lpcsFailed = "SKF_DevAuth";
    rv = GM_CALL(SKF_DevAuth, m_hDev, cipher, std::min<ULONG>(ulCipherLen, sizeof cipher));
  }
  if (hKey) GM_CALL(SKF_CloseHandle, hKey);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("%s() failed! ulRes=0x%x", lpcsFailed, rv);
    return _Res(rv);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::_DevFormat(const char* lpcsAuthKey) {
  ORVA_LOG_BEGIN();
  size_t n = Strnlen(lpcsAuthKey, 16);
  if (n == 0 || n > 16) {
    ORVA_LOG_ERROR("lpszAuthKey is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (m_pGMProxy == nullptr || m_hDev == nullptr) {
    ORVA_LOG_ERROR("m_hDev or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_hApplication) {
    GM_CALL(SKF_CloseApplication, m_hApplication);
    m_hApplication = nullptr;
  }
  _ClearCertList();
  m_csUsingContainer.clear();
  ULONG ulSize = 0;
  ULONG rv = GM_CALL(SKF_EnumApplication, m_hDev, static_cast<LPSTR>(nullptr), &ulSize);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_EnumApplication() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  ulSize = std::min(ulSize, kMaxNameListBytes);
  std::vector<char> list(ulSize + 1, '\0');
  if (ulSize > 0) {
    rv = GM_CALL(SKF_EnumApplication, m_hDev, list.data(), &ulSize);
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_EnumApplication() failed! ulRes=0x%x", rv);
      return _Res(rv);
    }
  }
  for (const auto& app : CGMDeviceProxy::ParseNameList(list.data(), list.size() - 1, ulSize)) {
    uint32_t ulRes = _DevAuth(lpcsAuthKey, n);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_DevAuth() failed! ulRes=0x%x", ulRes);
      return ulRes;
    }
    CSkfText appName(app);
    rv = GM_CALL(SKF_DeleteApplication, m_hDev, appName.get());
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_DeleteApplication() failed! ulRes=0x%x", rv);
      return _Res(rv);
    }
    ORVA_LOG_INFO("Application %s is deleted!", app.c_str());
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::Initiliaze(const char* lpcsAppName, const char* lpcsDevAuthKey, const char* lpcsAdminPIN,
                               const char* lpcsUserPIN, uint32_t ulRetryTimes, const char* lpcsLabel) {
  ORVA_LOG_BEGIN();
  auto inRange = [](const char* s, size_t max) {
    size_t n = Strnlen(s, max);
    return n >= 1 && n <= max;
  };
  if (!inRange(lpcsAppName, 48) || !inRange(lpcsDevAuthKey, 16) || !inRange(lpcsAdminPIN, 16) ||
      !inRange(lpcsUserPIN, 16) || !inRange(lpcsLabel, 32)) {
    ORVA_LOG_ERROR("Parameters are NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulRetryTimes == 0 || ulRetryTimes > 16) {
    ORVA_LOG_ERROR("ulRetryTimes is incorrect! ulRetryTimes=0x%x", ulRetryTimes);
    return ORVA_E_INVALID_PARAM;
  }
  if (m_pGMProxy == nullptr || m_hDev == nullptr) {
    ORVA_LOG_ERROR("m_hDev or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulRes;
  // A token with an application is formatted first, whether or not that application is
  // open here (an earlier attempt that failed after closing it must not leave the old
  // application in place, to be chosen again at the next connection).
  std::string csExisting;
  if (m_hApplication || _GetApplitionName(csExisting)) {
    ORVA_LOG_INFO("Need to format key...");
    ulRes = _DevFormat(lpcsDevAuthKey);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_DevFormat() failed! ulRes=0x%x", ulRes);
      return ulRes;
    }
  }
  ulRes = _DevAuth(lpcsDevAuthKey, std::strlen(lpcsDevAuthKey));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("_DevAuth() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  CSkfText appName(lpcsAppName), adminPin(lpcsAdminPIN), userPin(lpcsUserPIN);
  HAPPLICATION hApp = nullptr;
  ULONG rv = GM_CALL(SKF_CreateApplication, m_hDev, appName.get(), adminPin.get(), static_cast<DWORD>(ulRetryTimes),
                     userPin.get(), static_cast<DWORD>(ulRetryTimes), static_cast<DWORD>(SECURE_USER_ACCOUNT), &hApp);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_CreateApplication() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  m_hApplication = hApp;
  _ClearCertList();
  ulRes = SetLabel(lpcsLabel);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

// ---------------------------------------------------------------------------------------
// Containers.

uint32_t CGMDevice::_EnumContainers(std::vector<std::string>& names) {
  names.clear();
  char szList[1024] = {};
  ULONG ulLen = sizeof szList;
  ULONG rv = GM_CALL(SKF_EnumContainer, m_hApplication, szList, &ulLen);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_EnumContainer() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  names = CGMDeviceProxy::ParseNameList(szList, sizeof szList, ulLen);
  return ORVA_OK;
}

uint32_t CGMDevice::_OpenContainer(const std::string& csName, HCONTAINER& hCon) {
  hCon = nullptr;
  CSkfText name(csName);
  ULONG rv = GM_CALL(SKF_OpenContainer, m_hApplication, name.get(), &hCon);
  if (rv != SAR_OK) {
    hCon = nullptr;
    return _Res(rv);
  }
  return hCon ? ORVA_OK : ORVA_E_NO_CONTAINER;
}

void CGMDevice::_CloseContainer(HCONTAINER& hCon) {
  if (hCon) GM_CALL(SKF_CloseContainer, hCon);
  hCon = nullptr;
}

uint32_t CGMDevice::_GetContainerType(HCONTAINER hCon, ULONG& ulType) {
  ulType = 0;
  ULONG rv = GM_CALL(SKF_GetContainerType, hCon, &ulType);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_GetContainerType() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  return ORVA_OK;
}

uint32_t CGMDevice::_ExportEccPublicKey(HCONTAINER hCon, bool bSign, ECCPUBLICKEYBLOB& blob) {
  std::memset(&blob, 0, sizeof blob);
  ULONG ulLen = sizeof blob;
  ULONG rv = GM_CALL(SKF_ExportPublicKey, hCon, static_cast<BOOL>(bSign ? TRUE : FALSE),
                     reinterpret_cast<BYTE*>(&blob), &ulLen);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_ExportPublicKey() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  if (ulLen != sizeof blob) {
    ORVA_LOG_ERROR("The public key blob length is wrong! ulLen=0x%x", ulLen);
    return ORVA_E_BAD_INPUT;
  }
  return ORVA_OK;
}

uint32_t CGMDevice::_ExportCertificate(HCONTAINER hCon, bool bSign, std::vector<uint8_t>& der) {
  der.clear();
  BOOL bFlag = bSign ? TRUE : FALSE;
  ULONG ulLen = 0;
  ULONG rv = GM_CALL(SKF_ExportCertificate, hCon, bFlag, static_cast<BYTE*>(nullptr), &ulLen);
  if (rv == SAR_OK && ulLen > 0 && ulLen <= 65536) {
    der.assign(ulLen, 0);
    rv = GM_CALL(SKF_ExportCertificate, hCon, bFlag, der.data(), &ulLen);
    if (rv == SAR_OK) der.resize(std::min<size_t>(ulLen, der.size()));
  }
  if (rv != SAR_OK || der.empty()) {
    der.clear();
    return rv != SAR_OK ? _Res(rv) : ORVA_E_NO_CERT;
  }
  return ORVA_OK;
}

bool CGMDevice::_SameEccKey(const ORVA_PUBLIC_KEY_RECORD& certKey, const ECCPUBLICKEYBLOB& blob) {
  return std::memcmp(certKey.u.sm2.x, blob.XCoordinate, 64) == 0 &&
         std::memcmp(certKey.u.sm2.y, blob.YCoordinate, 64) == 0;
}

uint32_t CGMDevice::_CertPublicKey(const uint8_t* pbCert, uint32_t ulLen, ORVA_PUBLIC_KEY_RECORD& key) {
  CX509Certificate cert;
  uint32_t ulRes = cert.FromBuffer(pbCert, ulLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("FromBuffer() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  std::memset(&key, 0, sizeof key);
  ulRes = cert.get_PublicKey(&key);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("get_PublicKey() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  if (key.algorithm != PUBKEY_ALG_SM2) {
    ORVA_LOG_ERROR("The certificate's key is not SM2! alg=0x%x", key.algorithm);
    return ORVA_E_BAD_INPUT;
  }
  return ORVA_OK;
}

uint32_t CGMDevice::OpenSession(uint32_t ulAlg, uint32_t ulKeyUsage, SessionPtr& pSession) {
  ORVA_LOG_BEGIN();
  pSession.reset();
  if (m_pGMProxy == nullptr || m_hDev == nullptr) {
    ORVA_LOG_ERROR("m_hDev or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_hApplication == nullptr) {
    ORVA_LOG_INFO("m_hApplication is NULL, try to open it!");
    std::string app;
    if (!_GetApplitionName(app)) {
      ORVA_LOG_ERROR("No application!");
      return ORVA_E_APP_NOT_FOUND;
    }
    ORVA_LOG_INFO("Selected application: %s", app.c_str());
    CSkfText appName(app);
    HAPPLICATION hApp = nullptr;
    ULONG rv = GM_CALL(SKF_OpenApplication, m_hDev, appName.get(), &hApp);
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_OpenApplication() failed! ulRes=0x%x", rv);
      return _Res(rv);
    }
    m_hApplication = hApp;
  }
  ORVA_LOG_INFO("ulAlg=0x%x", ulAlg);
  if (ulAlg != ALG_RSA && ulAlg != ALG_SM2) {
    ORVA_LOG_ERROR("ulAlg is incorrect!");
    return ORVA_E_INVALID_PARAM;
  }
  std::vector<std::string> names;
  uint32_t ulRes = _EnumContainers(names);
  if (ulRes != ORVA_OK) return ulRes;
  for (const auto& name : names) {
    ORVA_LOG_INFO("Open container:%s", name.c_str());
    HCONTAINER hCon = nullptr;
    if (_OpenContainer(name, hCon) != ORVA_OK) continue;
    ULONG ulType = 0;
    if (_GetContainerType(hCon, ulType) != ORVA_OK || ulType != ulAlg) {
      ORVA_LOG_INFO("Container type is incorrect, ulContainerType=0x%x", ulType);
      _CloseContainer(hCon);
      continue;
    }
    ULONG ulLen = 0;
    ULONG rv = GM_CALL(SKF_ExportCertificate, hCon, static_cast<BOOL>(ulKeyUsage == KEY_USAGE_SIGN),
                       static_cast<BYTE*>(nullptr), &ulLen);
    if (rv == SAR_OK && ulLen > 0) {
      pSession = std::make_unique<CGMSession>(m_pGMProxy, m_csName, name, m_hDev, m_hApplication, hCon);
      ORVA_LOG_END();
      return ORVA_OK;
    }
    ORVA_LOG_INFO("SKF_ExportCertificate() failed! ulRes=0x%x", rv);
    _CloseContainer(hCon);
  }
  ORVA_LOG_ERROR("No suitable container!");
  return ORVA_E_NO_SESSION;
}

uint32_t CGMDevice::CloseSession(CSession* pSession) {
  ORVA_LOG_BEGIN();
  if (m_pGMProxy == nullptr || m_hApplication == nullptr) {
    ORVA_LOG_ERROR("m_hApplication is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pSession == nullptr) {
    ORVA_LOG_ERROR("pSession is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  auto* pGMSession = dynamic_cast<CGMSession*>(pSession);
  if (pGMSession == nullptr) {
    ORVA_LOG_ERROR("pSession is not an SKF session!");
    return ORVA_E_INVALID_PARAM;
  }
  HCONTAINER hCon = pGMSession->GetContainerHandle();
  if (hCon) {
    ULONG rv = GM_CALL(SKF_CloseContainer, hCon);
    pGMSession->_ClearContainerHandle();
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_CloseContainer() failed! ulRes=0x%x", rv);
      return _Res(rv);
    }
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

// ---------------------------------------------------------------------------------------
// Key generation and imports.

uint32_t CGMDevice::GenCertRequest(bool bGenKeyPair, uint32_t ulAlg, uint32_t ulBits, const char* lpcsSubName,
                                   uint8_t* pbRequest, uint32_t* pulLen) {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulNeeded = ulAlg == ALG_RSA ? 4096 : sizeof(ECCPUBLICKEYBLOB);
  if (pbRequest == nullptr) {
    *pulLen = ulNeeded;
    ORVA_LOG_INFO("Return requested length:0x%x", ulNeeded);
    return ORVA_OK;
  }
  if (*pulLen < ulNeeded) {
    ORVA_LOG_ERROR("Buffer is to small! Requested length:0x%x", ulNeeded);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  if (ulAlg != ALG_SM2) {
    ORVA_LOG_ERROR("ulAlg is wrong! ulAlg=0x%x", ulAlg);
    return ORVA_E_NOT_SUPPORTED;
  }
  GM_NEED_APPLICATION();
  m_csUsingContainer.clear();
  ECCPUBLICKEYBLOB blob{};
  HCONTAINER hCon = nullptr;
  std::string csUsing = ORVA_GM_CONTAINER;
  ULONG rv = SAR_OK;
  const char* lpcsFailed = "";
  if (_OpenContainer(ORVA_GM_CONTAINER, hCon) == ORVA_OK) {
    ORVA_LOG_INFO("SM2 container is exist, try to export the sign public key ...");
    if (bGenKeyPair) {
      lpcsFailed = "SKF_GenECCKeyPair";
      rv = GM_CALL(SKF_GenECCKeyPair, hCon, static_cast<ULONG>(SGD_SM2_1), &blob);
    } else {
      lpcsFailed = "SKF_ExportPublicKey";
      ULONG ulLen = sizeof blob;
      rv = GM_CALL(SKF_ExportPublicKey, hCon, static_cast<BOOL>(TRUE), reinterpret_cast<BYTE*>(&blob), &ulLen);
    }
  } else if (bGenKeyPair) {
    ORVA_LOG_INFO("SM2 container is not exist, try to create it and generate the sign key pair...");
    CSkfText name(ORVA_GM_CONTAINER);
    lpcsFailed = "SKF_CreateContainer";
    rv = GM_CALL(SKF_CreateContainer, m_hApplication, name.get(), &hCon);
    if (rv == SAR_OK) {
      lpcsFailed = "SKF_GenECCKeyPair";
      rv = GM_CALL(SKF_GenECCKeyPair, hCon, static_cast<ULONG>(SGD_SM2_1), &blob);
    }
  } else {
    ORVA_LOG_INFO("Container '%s' is not exist, try to open '%s'...", ORVA_GM_CONTAINER, ORVA_GM_KOAL_CONTAINER);
    uint32_t ulRes = _OpenContainer(ORVA_GM_KOAL_CONTAINER, hCon);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("Container '%s' is not exist, ulRes = 0x%x!", ORVA_GM_KOAL_CONTAINER, ulRes);
      return ORVA_E_NO_CONTAINER;
    }
    csUsing = ORVA_GM_KOAL_CONTAINER;
    lpcsFailed = "SKF_ExportPublicKey";
    ULONG ulLen = sizeof blob;
    rv = GM_CALL(SKF_ExportPublicKey, hCon, static_cast<BOOL>(TRUE), reinterpret_cast<BYTE*>(&blob), &ulLen);
  }
  _CloseContainer(hCon);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("%s() failed! ulRes=0x%x", lpcsFailed, rv);
    return _Res(rv);
  }
  m_csUsingContainer = csUsing;
  ORVA_LOG_INFO("CSR is created! The using container name is '%s'", m_csUsingContainer.c_str());
  std::memcpy(pbRequest, &blob, sizeof blob);
  *pulLen = sizeof blob;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::CheckEnvelopedKeyBlob(const uint8_t* pbData, uint32_t ulLen) {
  if (pbData == nullptr || ulLen < SKF_ENVELOPEDKEYBLOB_HEADER) {
    ORVA_LOG_ERROR("The key pair is shorter than an ENVELOPEDKEYBLOB! ulLen=0x%x", ulLen);
    return ORVA_E_BAD_INPUT;
  }
  ULONG ulCipherLen = 0;
  std::memcpy(&ulCipherLen,
              pbData + offsetof(ENVELOPEDKEYBLOB, ECCCipherBlob) + offsetof(ECCCIPHERBLOB, CipherLen),
              sizeof ulCipherLen);
  if (ulCipherLen == 0 || ulCipherLen > 64 ||
      static_cast<uint64_t>(ulLen) < SKF_ENVELOPEDKEYBLOB_HEADER + static_cast<uint64_t>(ulCipherLen)) {
    ORVA_LOG_ERROR("The ENVELOPEDKEYBLOB is wrong! ulLen=0x%x, CipherLen=0x%x", ulLen, ulCipherLen);
    return ORVA_E_BAD_INPUT;
  }
  return ORVA_OK;
}

uint32_t CGMDevice::ImportKeyPair(uint32_t ulAlg, const uint8_t* pbData, uint32_t ulLen) {
  ORVA_LOG_BEGIN();
  GM_NEED_APPLICATION();
  if (m_csUsingContainer.empty()) {
    ORVA_LOG_ERROR("m_csUsingContainer is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pbData == nullptr || ulLen == 0) {
    ORVA_LOG_ERROR("pbtData or ulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulAlg != ALG_SM2) {
    ORVA_LOG_ERROR("Key pair type is wrong! ulType=0x%x", ulAlg);
    return ORVA_E_NOT_SUPPORTED;
  }
  uint32_t ulRes = CheckEnvelopedKeyBlob(pbData, ulLen);
  if (ulRes != ORVA_OK) return ulRes;
  HCONTAINER hCon = nullptr;
  ulRes = _OpenContainer(m_csUsingContainer, hCon);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("SKF_OpenContainer() failed! Container:'%s' ulRes=0x%x", m_csUsingContainer.c_str(), ulRes);
    return ulRes;
  }
  std::vector<uint8_t> blob(pbData, pbData + ulLen);
  ULONG rv = GM_CALL(SKF_ImportECCKeyPair, hCon, reinterpret_cast<PENVELOPEDKEYBLOB>(blob.data()));
  OrvaSecureZero(blob);
  _CloseContainer(hCon);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_ImportECCKeyPair() failed! ulRes=0x%x", rv);
    return _Res(rv);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::_GetUsingContainer(const ORVA_PUBLIC_KEY_RECORD* pPubKey, bool bSign, char* lpsConName,
                                       uint32_t* pulConLen) {
  ORVA_LOG_BEGIN();
  if (pPubKey == nullptr) {
    ORVA_LOG_ERROR("pPubKey is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pulConLen == nullptr) {
    ORVA_LOG_ERROR("ulConLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (lpsConName == nullptr) {
    *pulConLen = 64;
    ORVA_LOG_INFO("Return the requested length: 0x%x!", 64u);
    return ORVA_OK;
  }
  if (*pulConLen < 64) {
    ORVA_LOG_ERROR("Buffer is to small, the requested length: 0x%x!", 64u);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::vector<std::string> names;
  uint32_t ulRes = _EnumContainers(names);
  if (ulRes != ORVA_OK) return ulRes;
  for (const auto& name : names) {
    ORVA_LOG_INFO("Try to check container:%s...", name.c_str());
    HCONTAINER hCon = nullptr;
    if (_OpenContainer(name, hCon) != ORVA_OK) continue;
    ULONG ulType = 0;
    if (_GetContainerType(hCon, ulType) != ORVA_OK || ulType != ALG_SM2) {
      ORVA_LOG_INFO("Container type is 0x%x, skip!", ulType);
      _CloseContainer(hCon);
      continue;
    }
    ECCPUBLICKEYBLOB blob;
    bool bSame = _ExportEccPublicKey(hCon, bSign, blob) == ORVA_OK && _SameEccKey(*pPubKey, blob);
    _CloseContainer(hCon);
    // The name must fit the caller's buffer with its terminator.
    if (bSame && name.size() < *pulConLen) {
      std::memcpy(lpsConName, name.c_str(), name.size() + 1);
      *pulConLen = static_cast<uint32_t>(name.size());
      ORVA_LOG_END();
      return ORVA_OK;
    }
    ORVA_LOG_INFO("The public key in certificate is not same as key pair!");
  }
  return ORVA_E_NO_CONTAINER;
}

uint32_t CGMDevice::_DeleteOldContainer(const std::string& csKeep) {
  ORVA_LOG_BEGIN();
  std::vector<std::string> names;
  uint32_t ulRes = _EnumContainers(names);
  if (ulRes != ORVA_OK) return ulRes;
  for (const auto& name : names) {
    if (name == csKeep) continue;
    ORVA_LOG_INFO("Try to check container:%s...", name.c_str());
    HCONTAINER hCon = nullptr;
    ulRes = _OpenContainer(name, hCon);
    if (ulRes != ORVA_OK) continue;
    ULONG ulType = 0;
    ulRes = _GetContainerType(hCon, ulType);
    _CloseContainer(hCon);
    if (ulRes != ORVA_OK || ulType != ALG_SM2) continue;
    CSkfText conName(name);
    ULONG rv = GM_CALL(SKF_DeleteContainer, m_hApplication, conName.get());
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_DeleteContainer() failed! ulRes=0x%x", rv);
      ulRes = _Res(rv);
      continue;
    }
    ORVA_LOG_INFO("Old container:'%s' has been deleted!", name.c_str());
  }
  ORVA_LOG_END();
  return ulRes;
}

uint32_t CGMDevice::ImportCert(uint32_t ulAlg, bool bSignCert, const uint8_t* pbCert, uint32_t ulLen) {
  ORVA_LOG_BEGIN();
  GM_NEED_APPLICATION();
  if (pbCert == nullptr || ulLen == 0) {
    ORVA_LOG_ERROR("pbtData or ulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulAlg != ALG_SM2) {
    ORVA_LOG_ERROR("Key pair type is wrong! ulType=0x%x", ulAlg);
    return ORVA_E_NOT_SUPPORTED;
  }
  ORVA_PUBLIC_KEY_RECORD key;
  uint32_t ulRes = _CertPublicKey(pbCert, ulLen, key);
  if (ulRes != ORVA_OK) return ulRes;
  if (m_csUsingContainer.empty()) {
    char name[128] = {};
    uint32_t ulNameLen = sizeof name;
    ulRes = _GetUsingContainer(&key, bSignCert, name, &ulNameLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_GetUsingContainer() failed! ulRes=0x%x", ulRes);
      return ulRes;
    }
    m_csUsingContainer = name;
  }
  HCONTAINER hCon = nullptr;
  ulRes = _OpenContainer(m_csUsingContainer, hCon);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("SKF_OpenContainer() failed! Container:'%s' ulRes=0x%x", m_csUsingContainer.c_str(), ulRes);
    return ulRes;
  }
  ECCPUBLICKEYBLOB blob;
  ulRes = _ExportEccPublicKey(hCon, bSignCert, blob);
  if (ulRes == ORVA_OK && !_SameEccKey(key, blob)) {
    ORVA_LOG_ERROR("The public key in certificate is not same as key pair!");
    ulRes = ORVA_E_BAD_INPUT;
  }
  if (ulRes == ORVA_OK) {
    std::vector<uint8_t> cert(pbCert, pbCert + ulLen);
    ULONG rv = GM_CALL(SKF_ImportCertificate, hCon, static_cast<BOOL>(bSignCert ? TRUE : FALSE), cert.data(),
                       static_cast<ULONG>(cert.size()));
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_ImportCertificate() failed! ulRes=0x%x", rv);
      ulRes = _Res(rv);
    } else {
      ORVA_LOG_INFO("%s certificate has imported!", bSignCert ? "Sign" : "Exch");
      _DeleteOldContainer(m_csUsingContainer);
    }
  }
  _CloseContainer(hCon);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::ImportDualCertAndKeyPair(uint32_t ulAlg, const uint8_t* pbSignCert, uint32_t ulSignCertLen,
                                             const uint8_t* pbEncCert, uint32_t ulEncCertLen,
                                             const uint8_t* pbKeyPair, uint32_t ulKeyPairLen, const char*) {
  ORVA_LOG_BEGIN();
  if (m_pGMProxy == nullptr) {
    ORVA_LOG_ERROR("m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_hApplication == nullptr) {
    ORVA_LOG_ERROR("m_hApplication is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_csUsingContainer.empty()) {
    ORVA_LOG_ERROR("m_csUsingContainer is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (ulAlg != ALG_SM2) {
    ORVA_LOG_ERROR("ulType is wrong! ulType=0x%x", ulAlg);
    return ORVA_E_NOT_SUPPORTED;
  }
  if (pbSignCert == nullptr || ulSignCertLen == 0) {
    ORVA_LOG_ERROR("pbtSignCertData is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pbEncCert == nullptr || ulEncCertLen == 0) {
    ORVA_LOG_ERROR("pbtEncCertData is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pbKeyPair == nullptr || ulKeyPairLen == 0) {
    ORVA_LOG_ERROR("pbtKeyPair is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulRes = CheckEnvelopedKeyBlob(pbKeyPair, ulKeyPairLen);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_PUBLIC_KEY_RECORD signKey, encKey;
  if ((ulRes = _CertPublicKey(pbSignCert, ulSignCertLen, signKey)) != ORVA_OK ||
      (ulRes = _CertPublicKey(pbEncCert, ulEncCertLen, encKey)) != ORVA_OK)
    return ulRes;
  HCONTAINER hCon = nullptr;
  ulRes = _OpenContainer(m_csUsingContainer, hCon);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("SKF_OpenContainer() failed! Container:'%s' ulRes=0x%x", m_csUsingContainer.c_str(), ulRes);
    return ulRes;
  }
  std::vector<uint8_t> blob(pbKeyPair, pbKeyPair + ulKeyPairLen);
  ULONG rv = GM_CALL(SKF_ImportECCKeyPair, hCon, reinterpret_cast<PENVELOPEDKEYBLOB>(blob.data()));
  OrvaSecureZero(blob);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_ImportECCKeyPair() failed! ulRes=0x%x", rv);
    ulRes = _Res(rv);
  } else {
    ORVA_LOG_INFO("Exch key pair has imported!");
  }
  ECCPUBLICKEYBLOB signBlob, exchBlob;
  if (ulRes == ORVA_OK) ulRes = _ExportEccPublicKey(hCon, true, signBlob);
  if (ulRes == ORVA_OK) ulRes = _ExportEccPublicKey(hCon, false, exchBlob);
  if (ulRes == ORVA_OK && !_SameEccKey(signKey, signBlob)) {
    ORVA_LOG_ERROR("The public key in sign certificate is not same as sign key!");
    ulRes = ORVA_E_BAD_INPUT;
  }
  if (ulRes == ORVA_OK && !_SameEccKey(encKey, exchBlob)) {
    ORVA_LOG_ERROR("The public key in exch certificate is not same as exch key!");
    ulRes = ORVA_E_BAD_INPUT;
  }
  if (ulRes == ORVA_OK) {
    std::vector<uint8_t> cert(pbSignCert, pbSignCert + ulSignCertLen);
    rv = GM_CALL(SKF_ImportCertificate, hCon, static_cast<BOOL>(TRUE), cert.data(), static_cast<ULONG>(cert.size()));
    if (rv == SAR_OK) {
      ORVA_LOG_INFO("Sign certificate has imported!");
      cert.assign(pbEncCert, pbEncCert + ulEncCertLen);
      rv = GM_CALL(SKF_ImportCertificate, hCon, static_cast<BOOL>(FALSE), cert.data(), static_cast<ULONG>(cert.size()));
      if (rv == SAR_OK) ORVA_LOG_INFO("Exch certificate has imported!");
    }
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_ImportCertificate() failed! ulRes=0x%x", rv);
      ulRes = _Res(rv);
    } else {
      _DeleteOldContainer(m_csUsingContainer);
    }
  }
  _CloseContainer(hCon);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::ImportDualCert(uint32_t ulAlg, const uint8_t* pbSignCert, uint32_t ulSignCertLen,
                                   const uint8_t* pbEncCert, uint32_t ulEncCertLen) {
  ORVA_LOG_BEGIN();
  if (m_pGMProxy == nullptr) {
    ORVA_LOG_ERROR("m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_hApplication == nullptr) {
    ORVA_LOG_ERROR("m_hApplication is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (ulAlg != ALG_SM2) {
    ORVA_LOG_ERROR("ulType is wrong! ulType=0x%x", ulAlg);
    return ORVA_E_NOT_SUPPORTED;
  }
  if (pbSignCert == nullptr || ulSignCertLen == 0) {
    ORVA_LOG_ERROR("pbtSignCertData is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pbEncCert == nullptr || ulEncCertLen == 0) {
    ORVA_LOG_ERROR("pbtEncCertData is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  ORVA_PUBLIC_KEY_RECORD signKey, encKey;
  uint32_t ulRes;
  if ((ulRes = _CertPublicKey(pbSignCert, ulSignCertLen, signKey)) != ORVA_OK ||
      (ulRes = _CertPublicKey(pbEncCert, ulEncCertLen, encKey)) != ORVA_OK)
    return ulRes;
  if (m_csUsingContainer.empty()) {
    char name[128] = {};
    uint32_t ulNameLen = sizeof name;
    ulRes = _GetUsingContainer(&signKey, true, name, &ulNameLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_GetUsingContainer() failed! ulRes=0x%x", ulRes);
      return ulRes;
    }
    m_csUsingContainer = name;
  }
  HCONTAINER hCon = nullptr;
  ulRes = _OpenContainer(m_csUsingContainer, hCon);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("SKF_OpenContainer() failed! Container:'%s' ulRes=0x%x", m_csUsingContainer.c_str(), ulRes);
    return ulRes;
  }
  ECCPUBLICKEYBLOB signBlob, exchBlob;
  ulRes = _ExportEccPublicKey(hCon, true, signBlob);
  if (ulRes == ORVA_OK) ulRes = _ExportEccPublicKey(hCon, false, exchBlob);
  if (ulRes == ORVA_OK && !_SameEccKey(signKey, signBlob)) {
    ORVA_LOG_ERROR("The public key in sign certificate is not same as sign key!");
    ulRes = ORVA_E_BAD_INPUT;
  }
  if (ulRes == ORVA_OK && !_SameEccKey(encKey, exchBlob)) {
    ORVA_LOG_ERROR("The public key in exch certificate is not same as exch key!");
    ulRes = ORVA_E_BAD_INPUT;
  }
  if (ulRes == ORVA_OK) {
    std::vector<uint8_t> cert(pbSignCert, pbSignCert + ulSignCertLen);
    ULONG rv = GM_CALL(SKF_ImportCertificate, hCon, static_cast<BOOL>(TRUE), cert.data(),
                       static_cast<ULONG>(cert.size()));
    if (rv == SAR_OK) {
      ORVA_LOG_INFO("Sign certificate has imported!");
      cert.assign(pbEncCert, pbEncCert + ulEncCertLen);
      rv = GM_CALL(SKF_ImportCertificate, hCon, static_cast<BOOL>(FALSE), cert.data(), static_cast<ULONG>(cert.size()));
      if (rv == SAR_OK) ORVA_LOG_INFO("Exch certificate has imported!");
    }
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_ImportCertificate() failed! ulRes=0x%x", rv);
      ulRes = _Res(rv);
    } else {
      _DeleteOldContainer(m_csUsingContainer);
    }
  }
  _CloseContainer(hCon);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::ImportPfx12(const uint8_t*, uint32_t, const char*) {
  ORVA_LOG_ERROR("This function is not supported for GM device!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CGMDevice::DecryptLra(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
  ORVA_LOG_ERROR("This function is not supported for GM device!");
  return ORVA_E_NOT_SUPPORTED;
}

// ---------------------------------------------------------------------------------------
// Certificates and containers.

uint32_t CGMDevice::GetCertCount(uint32_t* pulCount, bool bRefresh) {
  ORVA_LOG_BEGIN();
  if (pulCount == nullptr) {
    ORVA_LOG_ERROR("pulCount is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  GM_NEED_APPLICATION();
  if (!bRefresh && GetCertListSize() > 0) {
    *pulCount = static_cast<uint32_t>(GetCertListSize());
    ORVA_LOG_INFO("Return certificate count:0x%x", *pulCount);
    return ORVA_OK;
  }
  _ClearCertList();
  std::vector<std::string> names;
  uint32_t ulRes = _EnumContainers(names);
  if (ulRes != ORVA_OK) return ulRes;
  std::vector<CertObjPtr> list;
  for (const auto& name : names) {
    ORVA_LOG_INFO("Open container:%s...", name.c_str());
    HCONTAINER hCon = nullptr;
    if (_OpenContainer(name, hCon) != ORVA_OK) continue;
    for (bool bSign : {true, false}) {
      std::vector<uint8_t> der;
      ulRes = _ExportCertificate(hCon, bSign, der);
      if (ulRes != ORVA_OK) {
        ORVA_LOG_INFO("SKF_ExportCertificate() with bSignCert=0x%x failed! ulRes=0x%x", bSign ? 1u : 0u, ulRes);
        continue;
      }
      auto pCert = std::make_shared<CX509Certificate>();
      ulRes = pCert->FromBuffer(der.data(), static_cast<uint32_t>(der.size()));
      if (ulRes != ORVA_OK) {
        ORVA_LOG_ERROR("FromBuffer() with failed! ulRes=0x%x", ulRes);
        continue;
      }
      pCert->set_ProviderInfo(m_csCspName.c_str(), name.c_str());
      if (_AppendCertObj(list, std::move(pCert)))
        ORVA_LOG_INFO("%s certificate has found!", bSign ? "Sign" : "Exch");
    }
    _CloseContainer(hCon);
  }
  *pulCount = static_cast<uint32_t>(list.size());
  _SetCertList(std::move(list));
  ORVA_LOG_INFO("Certificate count:0x%x", *pulCount);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::GetEnvelopType(uint32_t ulWrappedKeyLen, uint32_t* pulAsymmAlg, uint32_t* pulEnvelopType) {
  ORVA_LOG_BEGIN();
  if (pulAsymmAlg == nullptr || pulEnvelopType == nullptr) {
    ORVA_LOG_ERROR("pulAsymmAlg or pulEnvelopType is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulWrappedKeyLen == 128 || ulWrappedKeyLen == 256) {
    ORVA_LOG_INFO("Is a RSA P1 cipher!");
    *pulAsymmAlg = ALG_RSA;
  } else if (ulWrappedKeyLen >= 166 && ulWrappedKeyLen <= 196) {
    ORVA_LOG_INFO("Is a ECC P1 cipher!");
    *pulAsymmAlg = ALG_SM2;
  } else {
    ORVA_LOG_ERROR("The wrapped key blob length is wrong! ulWrappedKeyLen=0x%x", ulWrappedKeyLen);
    *pulAsymmAlg = 0;
    *pulEnvelopType = 0;
    return ORVA_E_BAD_INPUT;
  }
  *pulEnvelopType = ENVELOPE_TYPE_LAYOUT;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDevice::DeleteContainer(const char* lpcsConName, bool bDeleteEmpty) {
  ORVA_LOG_BEGIN();
  GM_NEED_APPLICATION();
  uint32_t ulRes = ORVA_OK;
  if (lpcsConName != nullptr && *lpcsConName != '\0') {
    CSkfText name(lpcsConName);
    ULONG rv = GM_CALL(SKF_DeleteContainer, m_hApplication, name.get());
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("Delete container name:%s Failed! rv = 0x%x", lpcsConName, rv);
      return _Res(rv);
    }
    ORVA_LOG_INFO("Container name:%s is deleted!", lpcsConName);
  }
  if (bDeleteEmpty) {
    std::vector<std::string> names;
    ulRes = _EnumContainers(names);
    if (ulRes != ORVA_OK) return ulRes;
    for (const auto& name : names) {
      ORVA_LOG_INFO("Checking container:%s", name.c_str());
      HCONTAINER hCon = nullptr;
      ulRes = _OpenContainer(name, hCon);
      if (ulRes != ORVA_OK) continue;
      bool bHasCert = false;
      for (bool bSign : {true, false}) {
        ULONG ulLen = 0;
        ULONG rv = GM_CALL(SKF_ExportCertificate, hCon, static_cast<BOOL>(bSign ? TRUE : FALSE),
                           static_cast<BYTE*>(nullptr), &ulLen);
        if (rv == SAR_OK && ulLen > 0) bHasCert = true;
      }
      _CloseContainer(hCon);
      if (bHasCert) continue;
      CSkfText conName(name);
      ULONG rv = GM_CALL(SKF_DeleteContainer, m_hApplication, conName.get());
      if (rv != SAR_OK) {
        ORVA_LOG_ERROR("Delete old container name:%s Failed! rv = 0x%x", name.c_str(), rv);
        ulRes = _Res(rv);
      } else {
        ORVA_LOG_INFO("Empty container name:%s is deleted!", name.c_str());
        ulRes = ORVA_OK;
      }
    }
  }
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}
