// PIN entry and token administration: the interactive login, the weak-PIN check and the
// "verify_pin", "change_pin", "unlock_device" and "initiliaze_device" operations.
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "devices/core/Device.h"
#include "foundation/Buffer.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ORVAUserInterface.h"
#include "foundation/ResultCodes.h"
#include "foundation/ScopeGuard.h"
#include "webservice/ORVADeviceHelper.h"

namespace {

// Who made each token's login: the origin of the caller, "" for a local program.
struct LoginOwner {
  std::weak_ptr<CDevice> pDevice;
  std::string strOrigin;
};

std::mutex& OwnerLock() {
  static std::mutex m;
  return m;
}

std::vector<LoginOwner>& Owners() {
  static std::vector<LoginOwner> owners;
  return owners;
}

// Entry of `pDevice` (expired entries are dropped on the way); null when none.
LoginOwner* FindOwner(const DevicePtr& pDevice) {
  auto& owners = Owners();
  LoginOwner* found = nullptr;
  for (size_t i = 0; i < owners.size();) {
    DevicePtr p = owners[i].pDevice.lock();
    if (!p) {
      owners.erase(owners.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    if (p == pDevice) found = &owners[i];
    ++i;
  }
  return found;
}

void SetOwner(const DevicePtr& pDevice, const std::string& strOrigin) {
  std::lock_guard<std::mutex> g(OwnerLock());
  if (LoginOwner* o = FindOwner(pDevice))
    o->strOrigin = strOrigin;
  else
    Owners().push_back({pDevice, strOrigin});
}

void ClearOwner(const DevicePtr& pDevice) {
  std::lock_guard<std::mutex> g(OwnerLock());
  FindOwner(pDevice);  // drops the expired ones
  auto& owners = Owners();
  for (auto it = owners.begin(); it != owners.end(); ++it) {
    if (it->pDevice.lock() == pDevice) {
      owners.erase(it);
      return;
    }
  }
}

bool IsWrongPin(uint32_t ulRes) {
  return ulRes == ORVA_E_PIN_INCORRECT || ulRes == ORVA_E_PIN_INVALID || ulRes == ORVA_E_PIN_LEN ||
         ulRes == ORVA_E_PIN_EXPIRED;
}

// [150] with the remaining tries when the token reported some, else [151]; Retry and
// Cancel. True for Retry.
bool AskRetryAfterWrongPin(uint32_t ulRetryTimes) {
  int id = ulRetryTimes > 0
               ? OrvaMessageBox(IDS_PIN_WRONG_TRIES, IDS_CAPTION_ERROR, ORVA_MB_RETRYCANCEL | ORVA_MB_ICONERROR,
                                {static_cast<unsigned>(ulRetryTimes)})
               : OrvaMessageBox(IDS_PIN_WRONG, IDS_CAPTION_ERROR, ORVA_MB_RETRYCANCEL | ORVA_MB_ICONERROR);
  return id == ORVA_IDRETRY;
}

void ShowLocked() { OrvaMessageBox(IDS_PIN_LOCKED, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR); }

void ShowFailure(uint32_t ulRes) {
  OrvaMessageBox(IDS_PIN_OP_FAILED_CODE, IDS_CAPTION_ERROR, ORVA_MB_OK | ORVA_MB_ICONERROR,
                 {static_cast<unsigned>(ulRes)});
}

// A device text read with the size the back end asks for.
std::string ReadText(const DevicePtr& pDevice, uint32_t (CDevice::*fn)(char*, uint32_t*)) {
  uint32_t ulLen = 0;
  if (((*pDevice).*fn)(nullptr, &ulLen) != ORVA_OK || ulLen == 0 || ulLen > 4096) return {};
  std::vector<char> buf(ulLen + 1, '\0');
  if (((*pDevice).*fn)(buf.data(), &ulLen) != ORVA_OK) return {};
  return std::string(buf.data(), strnlen(buf.data(), buf.size()));
}

// The first `n` bytes of a text, zero-padded, as the authorisation codes compare them.
std::string Padded(const std::string& s, size_t n) {
  std::string r = s.substr(0, n);
  r.resize(n, '\0');
  return r;
}

// A new PIN that a page passed: 0 when it keeps to the rule, else the rule's code.
uint32_t CheckNewPin(const std::string& strNewPin) {
  uint32_t ulRule = CheckPinRule(strNewPin.c_str());
  if (ulRule != ORVA_OK) ORVA_LOG_ERROR("The new PIN is NOT strong! ulRes=0x%x", ulRule);
  return ulRule;
}

}  // namespace

ORVA_AUTH_CODE::~ORVA_AUTH_CODE() {
  OrvaSecureZero(strAdminPIN);
  OrvaSecureZero(strDevAuthKey);
}

bool CORVADeviceHelper::_IsLoggedInFor(const DevicePtr& pDevice, const std::string& strOrigin) {
  if (!pDevice) return false;
  bool bLogined = false;
  pDevice->IsLoginned(&bLogined);
  if (!bLogined) return false;
  std::lock_guard<std::mutex> g(OwnerLock());
  LoginOwner* o = FindOwner(pDevice);
  return o != nullptr && o->strOrigin == strOrigin;
}

void CORVADeviceHelper::_LogoutDevice(const DevicePtr& pDevice) {
  if (!pDevice) return;
  pDevice->ResetLogin();
  ClearOwner(pDevice);
}

uint32_t CORVADeviceHelper::_LoginToDevice(const DevicePtr& pDevice, uint32_t ulPinType,
                                           uint32_t* pulRetryTimes, const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  if (pDevice == nullptr || pulRetryTimes == nullptr) {
    ORVA_LOG_ERROR("pDevice or pulRetryTimes is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  CDeviceLock lock(pDevice);
  if (!lock) {
    ORVA_LOG_ERROR("LockDevice() failed! ulRes=0x%x", lock.Result());
    return lock.Result();
  }
  _LogoutDevice(pDevice);
  uint32_t ulRes = ORVA_OK;
  for (;;) {
    std::string strPin;
    ScopeGuard wipe([&] { OrvaSecureZero(strPin); });
    if (GetOrvaUserInterface()->ShowPinInputDlg(strOrigin, strPin) != ORVA_IDOK) {
      ORVA_LOG_INFO("User cancalled!");
      return ORVA_E_CANCELLED;
    }
    *pulRetryTimes = 0;
    ulRes = pDevice->VerifyPIN(ulPinType, strPin.c_str(), pulRetryTimes);
    if (ulRes == ORVA_OK) {
      SetOwner(pDevice, strOrigin);
      // The question about a weak PIN concerns the user PIN only.
      if (ulPinType == PIN_USER) {
        ulRes = _CheckAndEnhancePIN(pDevice, strPin, strOrigin);
        if (ulRes != ORVA_OK) {
          ORVA_LOG_ERROR("_CheckAndEnhancePIN() failed! hr=0x%x", ulRes);
          _LogoutDevice(pDevice);
          return ulRes;
        }
      }
      *pulRetryTimes = 0;
      ORVA_LOG_END();
      return ORVA_OK;
    }
    if (ulRes == ORVA_E_PIN_LOCKED) {
      ShowLocked();
      ORVA_LOG_ERROR("User PIN has been locked!");
      return ulRes;
    }
    if (IsWrongPin(ulRes)) {
      if (AskRetryAfterWrongPin(*pulRetryTimes)) continue;
      ORVA_LOG_INFO("User cancalled!");
      return ulRes;
    }
    ShowFailure(ulRes);
    ORVA_LOG_ERROR("VerifyPIN() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
}

uint32_t CORVADeviceHelper::_CheckAndEnhancePIN(const DevicePtr& pDevice, const std::string& strUserPin,
                                                const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  if (strUserPin.empty()) {
    ORVA_LOG_ERROR("lpcsUserPIN is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulRule = CheckPinRule(strUserPin.c_str());
  if (ulRule == ORVA_OK) {
    ORVA_LOG_END();
    return ORVA_OK;
  }
  if (ulRule == ORVA_E_PIN_INVALID) {
    ORVA_LOG_ERROR("The PIN has a character outside the PIN rule!");
    return ulRule;
  }
  if (OrvaMessageBox(IDS_PIN_ENHANCE_ASK, IDS_CAPTION_PROMPT, ORVA_MB_OKCANCEL | ORVA_MB_ICONQUESTION) !=
      ORVA_IDOK) {
    ORVA_LOG_INFO("User canceled!");
    return ORVA_E_CANCELLED;
  }
  for (;;) {
    uint32_t ulLeft = 0;
    uint32_t ulRes = ChangePin(pDevice, PIN_USER, std::string(), std::string(), &ulLeft, strOrigin);
    if (ulRes == ORVA_OK || ulRes == ORVA_E_CANCELLED) {
      if (ulRes == ORVA_OK) ORVA_LOG_END();
      return ulRes;
    }
    if (ulRes == ORVA_E_PIN_LOCKED) {
      ShowLocked();
      return ulRes;
    }
    if (IsWrongPin(ulRes)) {
      if (AskRetryAfterWrongPin(ulLeft)) continue;
      ORVA_LOG_INFO("User cancalled!");
      return ulRes;
    }
    ShowFailure(ulRes);
    return ulRes;
  }
}

uint32_t CORVADeviceHelper::VerifyPin(const DevicePtr& pDevice, uint32_t ulPinType, const std::string& strPin,
                                      uint32_t* pulLeftTimes, const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  if (pDevice == nullptr) {
    ORVA_LOG_ERROR("pDevice is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulLeft = 0;
  if (strPin.empty()) {
    uint32_t ulRes = _LoginToDevice(pDevice, ulPinType, &ulLeft, strOrigin);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_LoginToDevice() failed! hr=0x%x", ulRes);
      return ulRes;
    }
  } else {
    CDeviceLock lock(pDevice);
    if (!lock) {
      ORVA_LOG_ERROR("LockDevice() failed! ulRes=0x%x", lock.Result());
      return lock.Result();
    }
    _LogoutDevice(pDevice);
    uint32_t ulRes = pDevice->VerifyPIN(ulPinType, strPin.c_str(), &ulLeft);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("VerifyPIN() failed! hr=0x%x", ulRes);
      return ulRes;
    }
    SetOwner(pDevice, strOrigin);
    if (ulPinType == PIN_USER) {
      ulRes = _CheckAndEnhancePIN(pDevice, strPin, strOrigin);
      if (ulRes != ORVA_OK) {
        ORVA_LOG_ERROR("_CheckAndEnhancePIN() failed! hr=0x%x", ulRes);
        _LogoutDevice(pDevice);
        return ulRes;
      }
    }
    ulLeft = 0;
  }
  if (pulLeftTimes) *pulLeftTimes = ulLeft;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::ChangePin(const DevicePtr& pDevice, uint32_t ulPinType, const std::string& strOldPin,
                                      const std::string& strNewPin, uint32_t* pulLeftTimes,
                                      const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  if (pDevice == nullptr) {
    ORVA_LOG_ERROR("pDevice is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (ulPinType != PIN_USER) {
    ORVA_LOG_ERROR("ulPinType is NOT support! ulPinType = 0x%x", ulPinType);
    return ORVA_E_INVALID_PARAM;
  }
  std::string strOld = strOldPin, strNew = strNewPin;
  ScopeGuard wipe([&] {
    OrvaSecureZero(strOld);
    OrvaSecureZero(strNew);
  });
  if (strOld.empty() != strNew.empty()) {
    ORVA_LOG_ERROR("oldPin and newPin is NOT consistent!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!strNew.empty()) {
    // Checked before the token sees it: a PIN outside the rule could never log in again.
    uint32_t ulRule = CheckNewPin(strNew);
    if (ulRule != ORVA_OK) return ulRule;
  }
  CDeviceLock lock(pDevice);
  if (!lock) {
    ORVA_LOG_ERROR("LockDevice() failed! ulRes=0x%x", lock.Result());
    return lock.Result();
  }
  if (strNew.empty()) {
    int id = GetOrvaUserInterface()->ShowPinChangeDlg(strOrigin, strOld, strNew);
    if (id == ORVA_DLG_FAILED) {
      ORVA_LOG_ERROR("Show dialog failed! hr=0x%x", ORVA_E_CALL_FAILED);
      return ORVA_E_CALL_FAILED;
    }
    if (id != ORVA_IDOK) {
      ORVA_LOG_INFO("User cancalled!");
      return ORVA_E_CANCELLED;
    }
  }
  uint32_t ulLeft = 0;
  uint32_t ulRes = pDevice->ChangePIN(PIN_USER, strOld.c_str(), strNew.c_str(), &ulLeft);
  if (pulLeftTimes) *pulLeftTimes = ulLeft;
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("ChangePIN() failed! hr=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::Unlock(const DevicePtr& pDevice, const std::string& strAuthCode,
                                   const std::string& strNewPin, const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  if (pDevice == nullptr) {
    ORVA_LOG_ERROR("pDevice is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (strAuthCode.empty()) {
    ORVA_LOG_ERROR("authCode is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  CDeviceLock lock(pDevice);
  if (!lock) {
    ORVA_LOG_ERROR("LockDevice() failed! ulRes=0x%x", lock.Result());
    return lock.Result();
  }
  ORVA_AUTH_CODE code;
  uint32_t ulRes = _ParserAuthCode(pDevice, strAuthCode, code);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("_ParserAuthCode() failed! hr=0x%x", ulRes);
    return ulRes;
  }
  if (code.ulAuthType != ORVA_AUTH_TYPE_UNLOCK) {
    ORVA_LOG_ERROR("Author code type is incorrect! ulAuthType=0x%x", code.ulAuthType);
    return ORVA_E_BAD_INPUT;
  }
  std::string strDevSN = ReadText(pDevice, &CDevice::GetSN);
  if (Padded(code.strSN, ORVA_AUTH_SN_COMPARE) != Padded(strDevSN, ORVA_AUTH_SN_COMPARE)) {
    ORVA_LOG_ERROR("Author SN is incorrect! Auth SN=%s, Dev SN=%s", code.strSN.c_str(), strDevSN.c_str());
    return ORVA_E_BAD_INPUT;
  }
  std::string strPin = strNewPin;
  ScopeGuard wipe([&] { OrvaSecureZero(strPin); });
  if (strPin.empty()) {
    int id = GetOrvaUserInterface()->ShowUnlockDlg(ORVA_UNLOCK_MODE_UNLOCK, strOrigin, strPin);
    if (id == ORVA_DLG_FAILED) {
      ORVA_LOG_ERROR("Show dialog failed! hr=0x%x", ORVA_E_CALL_FAILED);
      return ORVA_E_CALL_FAILED;
    }
    if (id != ORVA_IDOK) {
      ORVA_LOG_INFO("User cancalled!");
      return ORVA_E_CANCELLED;
    }
  } else {
    ulRes = CheckNewPin(strPin);
    if (ulRes != ORVA_OK) return ulRes;
  }
  uint32_t ulLeft = 0;
  _LogoutDevice(pDevice);
  ulRes = pDevice->UnLockPIN(code.strAdminPIN.c_str(), strPin.c_str(), &ulLeft);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("UnLockPIN() failed! hr=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVADeviceHelper::Initiliaze(const DevicePtr& pDevice, const std::string& strAuthCode,
                                       const std::string& strUserPin, const std::string& strLabel,
                                       const std::string& strOrigin) {
  ORVA_LOG_BEGIN();
  if (pDevice == nullptr) {
    ORVA_LOG_ERROR("pDevice is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (strAuthCode.empty()) {
    ORVA_LOG_ERROR("authCode is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (strUserPin.size() > ORVA_MAX_USER_PIN) {
    ORVA_LOG_ERROR("lpszUserPIN is incorrect! The max length of lpszUserPIN is 16.");
    return ORVA_E_INVALID_PARAM;
  }
  if (strLabel.size() > ORVA_MAX_LABEL) {
    ORVA_LOG_ERROR("bstrLabel is incorrect! The max length of lpszLabel is 32.");
    return ORVA_E_INVALID_PARAM;
  }
  CDeviceLock lock(pDevice);
  if (!lock) {
    ORVA_LOG_ERROR("LockDevice() failed! ulRes=0x%x", lock.Result());
    return lock.Result();
  }
  std::string label = strLabel;
  if (label.empty()) label = ReadText(pDevice, &CDevice::GetLabel);
  if (label.empty()) label = ORVA_INIT_DEFAULT_LABEL;

  ORVA_AUTH_CODE code;
  uint32_t ulRes = _ParserAuthCode(pDevice, strAuthCode, code);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("_ParserAuthCode() failed! hr=0x%x", ulRes);
    return ulRes;
  }
  if (code.ulAuthType != ORVA_AUTH_TYPE_INIT) {
    ORVA_LOG_ERROR("Author code type is incorrect! ulAuthType=0x%x", code.ulAuthType);
    return ORVA_E_BAD_INPUT;
  }
  std::string strDevSN = ReadText(pDevice, &CDevice::GetSN);
  if (strDevSN.empty() || code.strSN.compare(0, strDevSN.size(), strDevSN) != 0) {
    ORVA_LOG_ERROR("Author SN is incorrect! Auth SN=%s, Dev SN=%s", code.strSN.c_str(), strDevSN.c_str());
    return ORVA_E_BAD_INPUT;
  }
  std::string strPin = strUserPin;
  ScopeGuard wipe([&] { OrvaSecureZero(strPin); });
  if (strPin.empty()) {
    int id = GetOrvaUserInterface()->ShowUnlockDlg(ORVA_UNLOCK_MODE_UNLOCK, strOrigin, strPin);
    if (id == ORVA_DLG_FAILED) {
      ORVA_LOG_ERROR("Show dialog failed! hr=0x%x", ORVA_E_CALL_FAILED);
      return ORVA_E_CALL_FAILED;
    }
    if (id != ORVA_IDOK) {
      ORVA_LOG_INFO("User cancalled!");
      return ORVA_E_CANCELLED;
    }
  } else {
    ulRes = CheckNewPin(strPin);
    if (ulRes != ORVA_OK) return ulRes;
  }
  _LogoutDevice(pDevice);
  ulRes = pDevice->Initiliaze(ORVA_INIT_APP_NAME, code.strDevAuthKey.c_str(), code.strAdminPIN.c_str(),
                              strPin.c_str(), ORVA_INIT_PIN_RETRY, label.c_str());
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("Initiliaze() failed! hr=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
