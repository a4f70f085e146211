#pragma once
// CDevice: one physical token, seen through up to two back-end views: the PKCS#11 view
// (RSA keys) and the SKF view (SM2 keys). Work with keys follows the key's algorithm;
// device-level questions go to the default view; VerifyPIN goes to the SKF view whenever
// the token has one.
//
// Devices are shared: the manager's list holds one reference and every caller that got the
// device holds another, so a refresh or a removal never destroys a device in use. Once the
// manager releases a device (list rebuilt, shutdown) it is stale: every operation, and every
// operation of the sessions and handlers it handed out, answers 0x8100004E without reaching
// the back end, and the views are disconnected as soon as no call is running in them.
//
// The device lock (LockDevice / CDeviceLock) is for callers that log in, use the token's
// keys and log out as one sequence, so that two connections never interleave on one
// token. Its wait is bounded (0x81000066 when the token stays busy). Enumeration,
// certificate reads and event handling never take it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/core/DeviceFake.h"

class CDeviceManager;

// How long a caller waits for the device lock by default.
inline constexpr uint32_t ORVA_DEVICE_LOCK_WAIT_MS = 20000;
// How long a release waits for calls running in the device before it leaves the
// disconnection to the last of them.
inline constexpr uint32_t ORVA_DEVICE_RELEASE_WAIT_MS = 5000;

class CDevice : public std::enable_shared_from_this<CDevice> {
 public:
  // A device with the given views; the default view is the PKCS#11 view for kind 2, the
  // SKF view for kind 3 (null when that view is missing).
  static std::shared_ptr<CDevice> Create(DeviceFakePtr pP11DevObj, DeviceFakePtr pSkfDevObj,
                                         uint32_t ulDefaultType);
  ~CDevice();
  CDevice(const CDevice&) = delete;
  CDevice& operator=(const CDevice&) = delete;

  // Routed to the default view.
  uint32_t GetDevStatus(uint32_t* pulStatus);
  uint32_t IsDefaultPIN(bool* pbDefault);
  uint32_t Initiliaze(const char* lpcsAppName, const char* lpcsDevAuthKey, const char* lpcsAdminPIN,
                      const char* lpcsUserPIN, uint32_t ulRetryTimes, const char* lpcsLabel);
  uint32_t GetSN(char* lpsSN, uint32_t* pulLen);
  uint32_t GetLabel(char* lpsLabel, uint32_t* pulLen);
  uint32_t SetLabel(const char* lpcsLabel);
  uint32_t GetManufacturer(char* lpsManufacturer, uint32_t* pulLen);
  uint32_t ChangePIN(uint32_t ulPinType, const char* lpcsOldPIN, const char* lpcsNewPIN,
                     uint32_t* pulLeftTimes);
  uint32_t UnLockPIN(const char* lpcsAdminPIN, const char* lpcsNewPIN, uint32_t* pulLeftTimes);
  uint32_t GenRandom(uint8_t* pbData, uint32_t ulLen);
  uint32_t GetCertCount(uint32_t* pulCount, bool bRefresh);
  uint32_t GetCertObj(uint32_t ulIndex, CertObjPtr& pCert);

  // The SKF view when present, else the default view. Clears the logged-in flag first and
  // sets it on success (the remaining retries then read 0).
  uint32_t VerifyPIN(uint32_t ulPinType, const char* lpcsPIN, uint32_t* pulLeftTimes);

  // Routed by algorithm class: 1 (RSA) the PKCS#11 view, 2 (SM2) the SKF view. The session
  // keeps this device alive and answers 0x8100004E once the device is stale.
  uint32_t OpenSession(uint32_t ulAlg, uint32_t ulKeyUsage, SessionPtr& pSession);
  uint32_t CloseSession(uint32_t ulAlg, CSession* pSession);
  uint32_t GenCertRequest(bool bGenKeyPair, uint32_t ulAlg, uint32_t ulBits, const char* lpcsSubName,
                          uint8_t* pbRequest, uint32_t* pulLen);
  uint32_t ImportKeyPair(uint32_t ulAlg, const uint8_t* pbData, uint32_t ulLen);
  uint32_t ImportCert(uint32_t ulAlg, bool bSignCert, const uint8_t* pbCert, uint32_t ulLen);
  uint32_t ImportDualCertAndKeyPair(uint32_t ulAlg, const uint8_t* pbSignCert, uint32_t ulSignCertLen,
                                    const uint8_t* pbEncCert, uint32_t ulEncCertLen,
                                    const uint8_t* pbKeyPair, uint32_t ulKeyPairLen,
                                    const char* lpcsPassword);
  uint32_t ImportDualCert(uint32_t ulAlg, const uint8_t* pbSignCert, uint32_t ulSignCertLen,
                          const uint8_t* pbEncCert, uint32_t ulEncCertLen);

  // The PKCS#11 view only.
  uint32_t ImportPfx12(const uint8_t* pbPfx, uint32_t ulLen, const char* lpcsPassword);
  uint32_t DecryptLra(const uint8_t* pbPackage, uint32_t ulPackageLen, uint8_t* pbOut,
                      uint32_t* pulLen);

  // Kind 2: the PKCS#11 view, 3: the SKF view, any other: the default view.
  uint32_t DeleteContainer(uint32_t ulSDKType, const char* lpcsConName, bool bDeleteEmpty);

  uint32_t IsLoginned(bool* pbLogined);
  uint32_t ResetLogin();
  // Removes every listed certificate of the default view from the user's store.
  uint32_t UnregistAllCert();
  // Disconnects both views.
  uint32_t Disconnect();

  // Kind of the default view (SDK_PKCS11, SDK_SKF), 0 without one.
  uint32_t GetDefaultDevType() const;

  // The one-time key of an authorisation request: replaced by the next request, consumed
  // (and wiped here) by the next parsing of an authorisation code.
  void SetOneTimeKey(const std::vector<uint8_t>& key);
  // Moves the key out; false when there is none.
  bool TakeOneTimeKey(std::vector<uint8_t>& key);

  // The device lock: waits at most `ulWaitMs`; 0x81000066 when another caller keeps it,
  // 0x8100004E when the device is stale. The holding thread may take it again.
  uint32_t LockDevice(uint32_t ulWaitMs = ORVA_DEVICE_LOCK_WAIT_MS);
  void UnlockDevice();

  // True once the manager has released the device.
  bool IsStale() const;

  // The views (fixed once the device is listed); for the manager and the kit objects.
  CDeviceFake* GetP11DevObj() const { return m_pP11DevObj.get(); }
  CDeviceFake* GetSkfDevObj() const { return m_pSkfDevObj.get(); }
  CDeviceFake* GetDefaultObj() const { return m_pDefaultObj; }

  // Adds the missing view of the other kind (pairing of a hot-plugged token); only before
  // the device is listed. False when the device already has a view of that kind.
  bool _AttachPartnerView(DeviceFakePtr pView);

  // Marks the device stale, waits a bounded time for running calls and disconnects the
  // views (or leaves that to the last running call). For the manager.
  void _Release(uint32_t ulWaitMs = ORVA_DEVICE_RELEASE_WAIT_MS);

 private:
  struct PassKey {};

 public:
  CDevice(PassKey, DeviceFakePtr pP11DevObj, DeviceFakePtr pSkfDevObj, uint32_t ulDefaultType);

 private:
  friend class CDeviceSession;
  friend class CDeviceCryptoMsg;

  // Admission of one call into the views: refused once the device is stale.
  class CUseGuard {
   public:
    explicit CUseGuard(const CDevice* pDevice);
    ~CUseGuard();
    CUseGuard(const CUseGuard&) = delete;
    CUseGuard& operator=(const CUseGuard&) = delete;
    explicit operator bool() const { return m_bEntered; }

   private:
    CDevice* m_pDevice;
    bool m_bEntered;
  };
  bool _Enter() const;
  void _Leave() const;
  void _DisconnectViews();

  DeviceFakePtr m_pP11DevObj;
  DeviceFakePtr m_pSkfDevObj;
  CDeviceFake* m_pDefaultObj = nullptr;
  uint32_t m_ulDefaultType = 0;
  std::atomic<bool> m_bLogined{false};

  std::mutex m_keyLock;
  std::vector<uint8_t> m_oneTimeKey;

  // The device lock: owner and depth under a plain mutex (timed recursive mutexes are
  // invisible to the thread sanitizer).
  std::mutex m_deviceLock;
  std::condition_variable m_deviceLockCv;
  std::thread::id m_deviceLockOwner;
  uint32_t m_ulDeviceLockDepth = 0;

  mutable std::mutex m_gateLock;
  mutable std::condition_variable m_gateCv;
  mutable uint32_t m_ulInUse = 0;
  mutable bool m_bReleased = false;
  mutable bool m_bDisconnectPending = false;
};

using DevicePtr = std::shared_ptr<CDevice>;

// Holds the device lock for a scope.
class CDeviceLock {
 public:
  explicit CDeviceLock(DevicePtr pDevice, uint32_t ulWaitMs = ORVA_DEVICE_LOCK_WAIT_MS);
  ~CDeviceLock();
  CDeviceLock(const CDeviceLock&) = delete;
  CDeviceLock& operator=(const CDeviceLock&) = delete;
  // 0 when held, else the code of LockDevice.
  uint32_t Result() const { return m_ulRes; }
  explicit operator bool() const { return m_ulRes == 0; }

 private:
  DevicePtr m_pDevice;
  uint32_t m_ulRes;
};
