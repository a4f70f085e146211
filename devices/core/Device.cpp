#include "devices/core/Device.h"

#include <chrono>

#include "foundation/Buffer.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

// Every operation passes the admission of its device first: a stale device answers
// 0x8100004E and never reaches a view.
#define ORVA_DEVICE_ENTER(pDevice)                      \
  CDevice::CUseGuard useGuard_(pDevice);                \
  if (!useGuard_) {                                     \
    ORVA_LOG_ERROR("The device has been released!");    \
    return ORVA_E_DEVICE_REMOVED;                       \
  }

// Forwards to the default view with the failure line of the routing table.
#define ORVA_FORWARD_DEFAULT(Op, ...)                                  \
  ORVA_LOG_BEGIN();                                                    \
  ORVA_DEVICE_ENTER(this);                                             \
  if (m_pDefaultObj == nullptr) {                                      \
    ORVA_LOG_ERROR("m_pDefaultObj is NULL!");                          \
    return ORVA_E_INVALID_CALL;                                        \
  }                                                                    \
  uint32_t ulRes = m_pDefaultObj->Op(__VA_ARGS__);                     \
  if (ulRes != ORVA_OK) {                                              \
    ORVA_LOG_ERROR("m_pDefaultObj->" #Op "() failed! ulRes=0x%x", ulRes); \
    return ulRes;                                                      \
  }                                                                    \
  ORVA_LOG_END();                                                      \
  return ORVA_OK

// A closed session's container handle is gone: refuse before the back end sees it.
#define ORVA_SESSION_ENTER()                                   \
  ORVA_DEVICE_ENTER(m_pDevice.get());                          \
  if (m_bClosed.load(std::memory_order_acquire)) {             \
    ORVA_LOG_ERROR("The session has been closed!");            \
    return ORVA_E_INVALID_CALL;                                \
  }

// A session handed out by a device: it keeps the device alive and passes the device's
// admission on every call, so a stale device's session never reaches the back end.
class CDeviceSession final : public CSession {
 public:
  CDeviceSession(DevicePtr pDevice, SessionPtr pImpl)
      : m_pDevice(std::move(pDevice)), m_pImpl(std::move(pImpl)) {}

  ~CDeviceSession() override {
    // The back end releases its handles inside the admission when the device is live.
    CDevice::CUseGuard guard(m_pDevice.get());
    m_pImpl.reset();
  }

  uint32_t Login(uint32_t ulPinType, const char* lpcsPIN, uint32_t* pulLeftTimes) override {
    ORVA_SESSION_ENTER();
    return m_pImpl->Login(ulPinType, lpcsPIN, pulLeftTimes);
  }
  uint32_t ExportPublicKey(uint32_t ulAlg, bool bSignKey, ORVA_PUBLIC_KEY_RECORD* pPubKey) override {
    ORVA_SESSION_ENTER();
    return m_pImpl->ExportPublicKey(ulAlg, bSignKey, pPubKey);
  }
  uint32_t ExportCert(uint32_t ulAlg, bool bSignCert,
                      std::unique_ptr<CX509Certificate>& pCert) override {
    ORVA_SESSION_ENTER();
    return m_pImpl->ExportCert(ulAlg, bSignCert, pCert);
  }
  uint32_t CreateMsgHandler(uint32_t ulMsgID, uint32_t ulFlags, CX509Certificate* pCert,
                            CryptoMsgPtr& pMsg) override;
  uint32_t SignDigest(uint32_t ulSignAlg, const uint8_t* pbDigest, uint32_t ulDigestLen,
                      uint32_t ulDigestAlg, uint32_t ulSignType, uint32_t ulSignFlags,
                      std::unique_ptr<CSignedData>& pSignedData) override {
    ORVA_SESSION_ENTER();
    return m_pImpl->SignDigest(ulSignAlg, pbDigest, ulDigestLen, ulDigestAlg, ulSignType,
                               ulSignFlags, pSignedData);
  }
  uint32_t VerifyDigest(uint32_t ulSignAlg, const uint8_t* pbDigest, uint32_t ulDigestLen,
                        uint32_t ulDigestAlg, const uint8_t* pbSignature, uint32_t ulSignatureLen,
                        uint32_t ulReserved, CX509Certificate* pCert) override {
    ORVA_SESSION_ENTER();
    return m_pImpl->VerifyDigest(ulSignAlg, pbDigest, ulDigestLen, ulDigestAlg, pbSignature,
                                 ulSignatureLen, ulReserved, pCert);
  }

  const CDevice* Device() const { return m_pDevice.get(); }
  CSession* Impl() const { return m_pImpl.get(); }
  void MarkClosed() { m_bClosed.store(true, std::memory_order_release); }

 private:
  DevicePtr m_pDevice;
  SessionPtr m_pImpl;
  std::atomic<bool> m_bClosed{false};
};

// A streaming handler handed out by a device session, under the same admission.
class CDeviceCryptoMsg final : public CCryptoMsg {
 public:
  CDeviceCryptoMsg(DevicePtr pDevice, CryptoMsgPtr pImpl)
      : m_pDevice(std::move(pDevice)), m_pImpl(std::move(pImpl)) {}
  ~CDeviceCryptoMsg() override {
    CDevice::CUseGuard guard(m_pDevice.get());
    m_pImpl.reset();
  }
  uint32_t Init(uint32_t ulAlg, const uint8_t* pbParam, uint32_t ulParamLen, uint64_t ullExtra,
                StreamPtr pOutStream) override {
    ORVA_DEVICE_ENTER(m_pDevice.get());
    return m_pImpl->Init(ulAlg, pbParam, ulParamLen, ullExtra, std::move(pOutStream));
  }
  uint32_t Update(const uint8_t* pbData, uint32_t ulLen, bool bLast) override {
    ORVA_DEVICE_ENTER(m_pDevice.get());
    return m_pImpl->Update(pbData, ulLen, bLast);
  }
  uint32_t Final(const uint8_t* pbFinal, uint32_t ulFinalLen, uint8_t* pbOut,
                 uint32_t* pulOutLen) override {
    ORVA_DEVICE_ENTER(m_pDevice.get());
    return m_pImpl->Final(pbFinal, ulFinalLen, pbOut, pulOutLen);
  }

 private:
  DevicePtr m_pDevice;
  CryptoMsgPtr m_pImpl;
};

uint32_t CDeviceSession::CreateMsgHandler(uint32_t ulMsgID, uint32_t ulFlags,
                                          CX509Certificate* pCert, CryptoMsgPtr& pMsg) {
  ORVA_SESSION_ENTER();
  CryptoMsgPtr pImplMsg;
  uint32_t ulRes = m_pImpl->CreateMsgHandler(ulMsgID, ulFlags, pCert, pImplMsg);
  if (ulRes == ORVA_OK && pImplMsg)
    pMsg = std::make_unique<CDeviceCryptoMsg>(m_pDevice, std::move(pImplMsg));
  return ulRes;
}

// ---------------------------------------------------------------------------------------
// Admission.

CDevice::CUseGuard::CUseGuard(const CDevice* pDevice)
    : m_pDevice(const_cast<CDevice*>(pDevice)), m_bEntered(pDevice && pDevice->_Enter()) {}

CDevice::CUseGuard::~CUseGuard() {
  if (m_bEntered) m_pDevice->_Leave();
}

bool CDevice::_Enter() const {
  std::lock_guard<std::mutex> g(m_gateLock);
  if (m_bReleased) return false;
  ++m_ulInUse;
  return true;
}

void CDevice::_Leave() const {
  bool bDisconnect = false;
  {
    std::lock_guard<std::mutex> g(m_gateLock);
    if (--m_ulInUse == 0) {
      bDisconnect = m_bDisconnectPending;
      m_bDisconnectPending = false;
      m_gateCv.notify_all();
    }
  }
  // The last call of a device released meanwhile disconnects it.
  if (bDisconnect) const_cast<CDevice*>(this)->_DisconnectViews();
}

void CDevice::_Release(uint32_t ulWaitMs) {
  ORVA_LOG_BEGIN();
  {
    std::unique_lock<std::mutex> g(m_gateLock);
    if (m_bReleased) return;
    m_bReleased = true;
    if (!m_gateCv.wait_for(g, std::chrono::milliseconds(ulWaitMs),
                           [&] { return m_ulInUse == 0; })) {
      ORVA_LOG_ERROR("The device is still in use! ulInUse=0x%x", m_ulInUse);
      m_bDisconnectPending = true;
      return;
    }
  }
  _DisconnectViews();
  ORVA_LOG_END();
}

void CDevice::_DisconnectViews() {
  m_bLogined = false;
  {
    std::lock_guard<std::mutex> g(m_keyLock);
    OrvaSecureZero(m_oneTimeKey);
  }
  if (m_pP11DevObj) m_pP11DevObj->Disconnect();
  if (m_pSkfDevObj) m_pSkfDevObj->Disconnect();
}

bool CDevice::IsStale() const {
  std::lock_guard<std::mutex> g(m_gateLock);
  return m_bReleased;
}

// ---------------------------------------------------------------------------------------

std::shared_ptr<CDevice> CDevice::Create(DeviceFakePtr pP11DevObj, DeviceFakePtr pSkfDevObj,
                                         uint32_t ulDefaultType) {
  return std::make_shared<CDevice>(PassKey{}, std::move(pP11DevObj), std::move(pSkfDevObj),
                                   ulDefaultType);
}

CDevice::CDevice(PassKey, DeviceFakePtr pP11DevObj, DeviceFakePtr pSkfDevObj,
                 uint32_t ulDefaultType)
    : m_pP11DevObj(std::move(pP11DevObj)),
      m_pSkfDevObj(std::move(pSkfDevObj)),
      m_ulDefaultType(ulDefaultType) {
  if (ulDefaultType == SDK_PKCS11) m_pDefaultObj = m_pP11DevObj.get();
  else if (ulDefaultType == SDK_SKF) m_pDefaultObj = m_pSkfDevObj.get();
}

// The PKCS#11 view goes first, then the SKF view (when the last holder lets go).
CDevice::~CDevice() {
  OrvaSecureZero(m_oneTimeKey);
  m_pDefaultObj = nullptr;
  m_pP11DevObj.reset();
  m_pSkfDevObj.reset();
}

bool CDevice::_AttachPartnerView(DeviceFakePtr pView) {
  if (!pView) return false;
  uint32_t ulType = pView->GetDevType();
  if (ulType == SDK_PKCS11 && !m_pP11DevObj) {
    m_pP11DevObj = std::move(pView);
    if (m_ulDefaultType == SDK_PKCS11) m_pDefaultObj = m_pP11DevObj.get();
    return true;
  }
  if (ulType == SDK_SKF && !m_pSkfDevObj) {
    m_pSkfDevObj = std::move(pView);
    if (m_ulDefaultType == SDK_SKF) m_pDefaultObj = m_pSkfDevObj.get();
    return true;
  }
  return false;
}

uint32_t CDevice::GetDefaultDevType() const {
  return m_pDefaultObj ? m_pDefaultObj->GetDevType() : 0;
}

// ---------------------------------------------------------------------------------------
// Default view.

uint32_t CDevice::GetDevStatus(uint32_t* pulStatus) { ORVA_FORWARD_DEFAULT(GetDevStatus, pulStatus); }

uint32_t CDevice::IsDefaultPIN(bool* pbDefault) { ORVA_FORWARD_DEFAULT(IsDefaultPIN, pbDefault); }

uint32_t CDevice::Initiliaze(const char* lpcsAppName, const char* lpcsDevAuthKey,
                             const char* lpcsAdminPIN, const char* lpcsUserPIN,
                             uint32_t ulRetryTimes, const char* lpcsLabel) {
  ORVA_FORWARD_DEFAULT(Initiliaze, lpcsAppName, lpcsDevAuthKey, lpcsAdminPIN, lpcsUserPIN,
                       ulRetryTimes, lpcsLabel);
}

uint32_t CDevice::GetSN(char* lpsSN, uint32_t* pulLen) { ORVA_FORWARD_DEFAULT(GetSN, lpsSN, pulLen); }

uint32_t CDevice::GetLabel(char* lpsLabel, uint32_t* pulLen) {
  ORVA_FORWARD_DEFAULT(GetLabel, lpsLabel, pulLen);
}

uint32_t CDevice::SetLabel(const char* lpcsLabel) { ORVA_FORWARD_DEFAULT(SetLabel, lpcsLabel); }

uint32_t CDevice::GetManufacturer(char* lpsManufacturer, uint32_t* pulLen) {
  ORVA_FORWARD_DEFAULT(GetManufacturer, lpsManufacturer, pulLen);
}

uint32_t CDevice::ChangePIN(uint32_t ulPinType, const char* lpcsOldPIN, const char* lpcsNewPIN,
                            uint32_t* pulLeftTimes) {
  ORVA_FORWARD_DEFAULT(ChangePIN, ulPinType, lpcsOldPIN, lpcsNewPIN, pulLeftTimes);
}

uint32_t CDevice::UnLockPIN(const char* lpcsAdminPIN, const char* lpcsNewPIN,
                            uint32_t* pulLeftTimes) {
  ORVA_FORWARD_DEFAULT(UnLockPIN, lpcsAdminPIN, lpcsNewPIN, pulLeftTimes);
}

uint32_t CDevice::GenRandom(uint8_t* pbData, uint32_t ulLen) {
  ORVA_FORWARD_DEFAULT(GenRandom, pbData, ulLen);
}

uint32_t CDevice::GetCertCount(uint32_t* pulCount, bool bRefresh) {
  ORVA_FORWARD_DEFAULT(GetCertCount, pulCount, bRefresh);
}

uint32_t CDevice::GetCertObj(uint32_t ulIndex, CertObjPtr& pCert) {
  ORVA_FORWARD_DEFAULT(GetCertObj, ulIndex, pCert);
}

uint32_t CDevice::VerifyPIN(uint32_t ulPinType, const char* lpcsPIN, uint32_t* pulLeftTimes) {
  ORVA_LOG_BEGIN();
  m_bLogined = false;
  ORVA_DEVICE_ENTER(this);
  CDeviceFake* pView = m_pSkfDevObj ? m_pSkfDevObj.get() : m_pDefaultObj;
  const char* lpcsMember = m_pSkfDevObj ? "m_pSkfDevObj" : "m_pDefaultObj";
  if (pView == nullptr) {
    ORVA_LOG_ERROR("m_pDefaultObj is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulRes = pView->VerifyPIN(ulPinType, lpcsPIN, pulLeftTimes);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("%s->VerifyPIN() failed! ulRes=0x%x", lpcsMember, ulRes);
    return ulRes;
  }
  if (pulLeftTimes) *pulLeftTimes = 0;
  m_bLogined = true;
  ORVA_LOG_END();
  return ORVA_OK;
}

// ---------------------------------------------------------------------------------------
// Routed by algorithm class.

// The view for a key of the class, after the class check. `lpcsArgName` names the argument
// in the messages ("ulAlg" for sessions, "ulType" for requests and imports);
// `bLogWrongType` is false for ImportDualCert, which answers a wrong class silently.
#define ORVA_ROUTE_BY_ALG(ulAlg, lpcsArgName, bLogWrongType)                        \
  CDeviceFake* pImplDevice = nullptr;                                               \
  if ((ulAlg) == ALG_RSA) {                                                         \
    pImplDevice = m_pP11DevObj.get();                                               \
  } else if ((ulAlg) == ALG_SM2) {                                                  \
    pImplDevice = m_pSkfDevObj.get();                                               \
  } else {                                                                          \
    if (bLogWrongType) ORVA_LOG_ERROR("%s is wrong! ulType=0x%x", lpcsArgName, ulAlg); \
    return ORVA_E_INVALID_PARAM;                                                    \
  }                                                                                 \
  if (pImplDevice == nullptr) {                                                     \
    ORVA_LOG_ERROR("The interface is not found! %s=0x%x", lpcsArgName, ulAlg);      \
    return ORVA_E_INVALID_CALL;                                                     \
  }

uint32_t CDevice::OpenSession(uint32_t ulAlg, uint32_t ulKeyUsage, SessionPtr& pSession) {
  ORVA_LOG_BEGIN();
  ORVA_DEVICE_ENTER(this);
  ORVA_ROUTE_BY_ALG(ulAlg, "ulAlg", true);
  SessionPtr pImplSession;
  uint32_t ulRes = pImplDevice->OpenSession(ulAlg, ulKeyUsage, pImplSession);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pImplDevice->OpenSession() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  if (pImplSession) {
    DevicePtr pSelf = weak_from_this().lock();
    if (!pSelf) {
      // Only shared devices hand out sessions: the session must be able to keep it alive.
      ORVA_LOG_ERROR("The device is not shared!");
      pImplDevice->CloseSession(pImplSession.get());
      return ORVA_E_INVALID_CALL;
    }
    pSession = std::make_unique<CDeviceSession>(std::move(pSelf), std::move(pImplSession));
  } else {
    pSession.reset();
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDevice::CloseSession(uint32_t ulAlg, CSession* pSession) {
  ORVA_LOG_BEGIN();
  ORVA_DEVICE_ENTER(this);
  ORVA_ROUTE_BY_ALG(ulAlg, "ulAlg", true);
  CDeviceSession* pOwn = nullptr;
  CSession* pImplSession = nullptr;
  if (pSession != nullptr) {
    pOwn = dynamic_cast<CDeviceSession*>(pSession);
    if (pOwn == nullptr || pOwn->Device() != this) {
      ORVA_LOG_ERROR("pSession is not a session of this device!");
      return ORVA_E_INVALID_PARAM;
    }
    pImplSession = pOwn->Impl();
  }
  uint32_t ulRes = pImplDevice->CloseSession(pImplSession);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pImplDevice->CloseSession() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  if (pOwn) pOwn->MarkClosed();
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDevice::GenCertRequest(bool bGenKeyPair, uint32_t ulAlg, uint32_t ulBits,
                                 const char* lpcsSubName, uint8_t* pbRequest, uint32_t* pulLen) {
  ORVA_LOG_BEGIN();
  ORVA_DEVICE_ENTER(this);
  ORVA_ROUTE_BY_ALG(ulAlg, "ulType", true);
  uint32_t ulRes =
      pImplDevice->GenCertRequest(bGenKeyPair, ulAlg, ulBits, lpcsSubName, pbRequest, pulLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pImplDevice->GenCertRequest() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDevice::ImportKeyPair(uint32_t ulAlg, const uint8_t* pbData, uint32_t ulLen) {
  ORVA_LOG_BEGIN();
  ORVA_DEVICE_ENTER(this);
  ORVA_ROUTE_BY_ALG(ulAlg, "ulType", true);
  uint32_t ulRes = pImplDevice->ImportKeyPair(ulAlg, pbData, ulLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("ImportKeyPair() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDevice::ImportCert(uint32_t ulAlg, bool bSignCert, const uint8_t* pbCert,
                             uint32_t ulLen) {
  ORVA_LOG_BEGIN();
  ORVA_DEVICE_ENTER(this);
  ORVA_ROUTE_BY_ALG(ulAlg, "ulType", true);
  uint32_t ulRes = pImplDevice->ImportCert(ulAlg, bSignCert, pbCert, ulLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("ImportCert() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDevice::ImportDualCertAndKeyPair(uint32_t ulAlg, const uint8_t* pbSignCert,
                                           uint32_t ulSignCertLen, const uint8_t* pbEncCert,
                                           uint32_t ulEncCertLen, const uint8_t* pbKeyPair,
                                           uint32_t ulKeyPairLen, const char* lpcsPassword) {
  ORVA_LOG_BEGIN();
  ORVA_DEVICE_ENTER(this);
  ORVA_ROUTE_BY_ALG(ulAlg, "ulType", true);
  uint32_t ulRes = pImplDevice->ImportDualCertAndKeyPair(ulAlg, pbSignCert, ulSignCertLen,
                                                         pbEncCert, ulEncCertLen, pbKeyPair,
                                                         ulKeyPairLen, lpcsPassword);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("ImportDualCertAndKeyPair() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDevice::ImportDualCert(uint32_t ulAlg, const uint8_t* pbSignCert, uint32_t ulSignCertLen,
                                 const uint8_t* pbEncCert, uint32_t ulEncCertLen) {
  ORVA_LOG_BEGIN();
  ORVA_DEVICE_ENTER(this);
  ORVA_ROUTE_BY_ALG(ulAlg, "ulType", false);
  uint32_t ulRes =
      pImplDevice->ImportDualCert(ulAlg, pbSignCert, ulSignCertLen, pbEncCert, ulEncCertLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("ImportDualCert() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

// ---------------------------------------------------------------------------------------
// PKCS#11 view only.

uint32_t CDevice::ImportPfx12(const uint8_t* pbPfx, uint32_t ulLen, const char* lpcsPassword) {
  ORVA_LOG_BEGIN();
  ORVA_DEVICE_ENTER(this);
  if (!m_pP11DevObj) {
    ORVA_LOG_ERROR("m_pP11DevObj is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulRes = m_pP11DevObj->ImportPfx12(pbPfx, ulLen, lpcsPassword);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pP11DevObj->ImportPfx12() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDevice::DecryptLra(const uint8_t* pbPackage, uint32_t ulPackageLen, uint8_t* pbOut,
                             uint32_t* pulLen) {
  ORVA_LOG_BEGIN();
  ORVA_DEVICE_ENTER(this);
  if (!m_pP11DevObj) {
    ORVA_LOG_ERROR("m_pP11DevObj is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulRes = m_pP11DevObj->DecryptLra(pbPackage, ulPackageLen, pbOut, pulLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pP11DevObj->DecryptLra() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CDevice::DeleteContainer(uint32_t ulSDKType, const char* lpcsConName, bool bDeleteEmpty) {
  ORVA_LOG_BEGIN();
  ORVA_DEVICE_ENTER(this);
  CDeviceFake* pImplDevice = ulSDKType == SDK_PKCS11 ? m_pP11DevObj.get()
                             : ulSDKType == SDK_SKF  ? m_pSkfDevObj.get()
                                                     : m_pDefaultObj;
  if (pImplDevice == nullptr) {
    ORVA_LOG_ERROR("The SDK interface object is NOT found! ulSDKType=0x%x", ulSDKType);
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulRes = pImplDevice->DeleteContainer(lpcsConName, bDeleteEmpty);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pImplDevice->DeleteContainer() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

// ---------------------------------------------------------------------------------------
// The device's own state.

uint32_t CDevice::IsLoginned(bool* pbLogined) {
  if (pbLogined) *pbLogined = m_bLogined.load();
  return ORVA_OK;
}

uint32_t CDevice::ResetLogin() {
  m_bLogined = false;
  return ORVA_OK;
}

uint32_t CDevice::Disconnect() {
  ORVA_LOG_BEGIN();
  ORVA_DEVICE_ENTER(this);
  if (m_pP11DevObj) m_pP11DevObj->Disconnect();
  if (m_pSkfDevObj) m_pSkfDevObj->Disconnect();
  ORVA_LOG_END();
  return ORVA_OK;
}

void CDevice::SetOneTimeKey(const std::vector<uint8_t>& key) {
  std::lock_guard<std::mutex> g(m_keyLock);
  OrvaSecureZero(m_oneTimeKey);
  m_oneTimeKey = key;
}

bool CDevice::TakeOneTimeKey(std::vector<uint8_t>& key) {
  std::lock_guard<std::mutex> g(m_keyLock);
  if (m_oneTimeKey.empty()) return false;
  OrvaSecureZero(key);
  key = std::move(m_oneTimeKey);
  m_oneTimeKey.clear();
  return true;
}

uint32_t CDevice::LockDevice(uint32_t ulWaitMs) {
  if (IsStale()) {
    ORVA_LOG_ERROR("The device has been released!");
    return ORVA_E_DEVICE_REMOVED;
  }
  std::unique_lock<std::mutex> g(m_deviceLock);
  auto self = std::this_thread::get_id();
  if (m_ulDeviceLockDepth > 0 && m_deviceLockOwner == self) {
    ++m_ulDeviceLockDepth;
    return ORVA_OK;
  }
  if (!m_deviceLockCv.wait_for(g, std::chrono::milliseconds(ulWaitMs),
                               [&] { return m_ulDeviceLockDepth == 0; })) {
    ORVA_LOG_ERROR("The device is busy! ulWaitMs=0x%x", ulWaitMs);
    return ORVA_E_TIMEOUT;
  }
  m_deviceLockOwner = self;
  m_ulDeviceLockDepth = 1;
  return ORVA_OK;
}

void CDevice::UnlockDevice() {
  std::lock_guard<std::mutex> g(m_deviceLock);
  if (m_ulDeviceLockDepth == 0 || m_deviceLockOwner != std::this_thread::get_id()) {
    ORVA_LOG_ERROR("The device lock is not held by this thread!");
    return;
  }
  if (--m_ulDeviceLockDepth == 0) {
    m_deviceLockOwner = std::thread::id();
    m_deviceLockCv.notify_one();
  }
}

CDeviceLock::CDeviceLock(DevicePtr pDevice, uint32_t ulWaitMs) : m_pDevice(std::move(pDevice)) {
  m_ulRes = m_pDevice ? m_pDevice->LockDevice(ulWaitMs) : ORVA_E_INVALID_CALL;
}

CDeviceLock::~CDeviceLock() {
  if (m_ulRes == ORVA_OK) m_pDevice->UnlockDevice();
}
