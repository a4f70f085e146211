#pragma once
// CDeviceFake: one back end's view of a token (CGMDevice for SKF, CPKCS11Device for
// PKCS#11). CDevice holds up to two of them for one physical token and routes each
// operation to one. Outputs given as buffer and length follow the program's convention: a
// null buffer asks for the size (result 0), a short buffer gives 0x81000009 untouched, and
// on success the length receives the bytes written.
//
// Views are shared objects (created with std::make_shared by their binding's GetDevices or
// event thread): sessions and handlers that keep back-end handles hold their view through
// shared_from_this(). After Disconnect a view's sessions and handlers must not hand the old
// handles to the vendor library again, not even from their destructors.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devices/core/DeviceProxy.h"
#include "devices/core/Session.h"
#include "foundation/DeviceTypes.h"

using CertObjPtr = std::shared_ptr<CX509Certificate>;

class CDeviceFake : public std::enable_shared_from_this<CDeviceFake> {
 public:
  // `csName`: the SKF device name or the PKCS#11 slot description; the provider name is
  // copied from the binding. Texts are bounded to 255 bytes.
  CDeviceFake(std::shared_ptr<CDeviceProxy> pProxy, const std::string& csName, uint32_t ulSlotID);
  virtual ~CDeviceFake();
  CDeviceFake(const CDeviceFake&) = delete;
  CDeviceFake& operator=(const CDeviceFake&) = delete;

  virtual uint32_t GetDevType() const = 0;  // SDK_PKCS11 or SDK_SKF
  virtual uint32_t Connect() = 0;
  virtual uint32_t Disconnect() = 0;  // always 0
  virtual uint32_t GetDevStatus(uint32_t* pulStatus) = 0;
  virtual uint32_t IsDefaultPIN(bool* pbDefault) = 0;
  virtual uint32_t Initiliaze(const char* lpcsAppName, const char* lpcsDevAuthKey,
                              const char* lpcsAdminPIN, const char* lpcsUserPIN,
                              uint32_t ulRetryTimes, const char* lpcsLabel) = 0;
  virtual uint32_t GetSN(char* lpsSN, uint32_t* pulLen) = 0;
  virtual uint32_t GetLabel(char* lpsLabel, uint32_t* pulLen) = 0;
  virtual uint32_t SetLabel(const char* lpcsLabel) = 0;
  virtual uint32_t GetManufacturer(char* lpsManufacturer, uint32_t* pulLen) = 0;
  virtual uint32_t VerifyPIN(uint32_t ulPinType, const char* lpcsPIN, uint32_t* pulLeftTimes) = 0;
  virtual uint32_t ChangePIN(uint32_t ulPinType, const char* lpcsOldPIN, const char* lpcsNewPIN,
                             uint32_t* pulLeftTimes) = 0;
  virtual uint32_t UnLockPIN(const char* lpcsAdminPIN, const char* lpcsNewPIN,
                             uint32_t* pulLeftTimes) = 0;
  // Finds the container with a key of the class and a certificate of the usage; a new session.
  virtual uint32_t OpenSession(uint32_t ulAlg, uint32_t ulKeyUsage, SessionPtr& pSession) = 0;
  // Closes the session's container handle; the caller destroys the object afterwards.
  virtual uint32_t CloseSession(CSession* pSession) = 0;
  virtual uint32_t GenRandom(uint8_t* pbData, uint32_t ulLen) = 0;
  virtual uint32_t GenCertRequest(bool bGenKeyPair, uint32_t ulAlg, uint32_t ulBits,
                                  const char* lpcsSubName, uint8_t* pbRequest,
                                  uint32_t* pulLen) = 0;
  virtual uint32_t ImportKeyPair(uint32_t ulAlg, const uint8_t* pbData, uint32_t ulLen) = 0;
  virtual uint32_t ImportCert(uint32_t ulAlg, bool bSignCert, const uint8_t* pbCert,
                              uint32_t ulLen) = 0;
  virtual uint32_t ImportPfx12(const uint8_t* pbPfx, uint32_t ulLen, const char* lpcsPassword) = 0;
  virtual uint32_t DecryptLra(const uint8_t* pbPackage, uint32_t ulPackageLen, uint8_t* pbOut,
                              uint32_t* pulLen) = 0;
  // Builds the certificate list when it is empty or `bRefresh` is set; returns its size.
  virtual uint32_t GetCertCount(uint32_t* pulCount, bool bRefresh) = 0;
  // The list entry; the holder keeps the certificate alive across a rebuild of the list.
  virtual uint32_t GetCertObj(uint32_t ulIndex, CertObjPtr& pCert);
  virtual uint32_t GetEnvelopType(uint32_t ulWrappedKeyLen, uint32_t* pulAsymmAlg,
                                  uint32_t* pulEnvelopType) = 0;
  virtual uint32_t ImportDualCertAndKeyPair(uint32_t ulAlg, const uint8_t* pbSignCert,
                                            uint32_t ulSignCertLen, const uint8_t* pbEncCert,
                                            uint32_t ulEncCertLen, const uint8_t* pbKeyPair,
                                            uint32_t ulKeyPairLen, const char* lpcsPassword) = 0;
  virtual uint32_t ImportDualCert(uint32_t ulAlg, const uint8_t* pbSignCert,
                                  uint32_t ulSignCertLen, const uint8_t* pbEncCert,
                                  uint32_t ulEncCertLen) = 0;
  virtual uint32_t DeleteContainer(const char* lpcsConName, bool bDeleteEmpty) = 0;

  const std::string& GetName() const { return m_csName; }
  uint32_t GetSlotID() const { return m_ulSlotID; }
  const std::string& GetCspName() const { return m_csCspName; }
  const std::shared_ptr<CDeviceProxy>& GetProxy() const { return m_pProxy; }
  // The binding's library path, "" without a binding.
  std::string GetDllName() const;

  // Size of the certificate list as it stands (no vendor call).
  size_t GetCertListSize() const;

 protected:
  // Certificate list of the back ends. Build a new list with _AppendCertObj and publish it
  // with _SetCertList, so readers on other threads see either the old or the new list.
  std::vector<CertObjPtr> _GetCertList() const;
  void _SetCertList(std::vector<CertObjPtr> list);
  void _ClearCertList();
  // Appends the certificate unless one with the same serial number (hexadecimal text,
  // compared without regard to case) is in the list; false when it was not appended.
  static bool _AppendCertObj(std::vector<CertObjPtr>& list, CertObjPtr pCert);

  std::string m_csCspName;  // provider name (256 bytes)
  std::string m_csName;     // device name (256 bytes)
  uint32_t m_ulSlotID = 0;  // PKCS#11 slot, 0 for SKF
  std::shared_ptr<CDeviceProxy> m_pProxy;

 private:
  mutable std::mutex m_certLock;
  std::vector<CertObjPtr> m_certList;
};

using DeviceFakePtr = std::shared_ptr<CDeviceFake>;
