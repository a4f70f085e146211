#pragma once
// CGMDevice: the SKF view of one token over a library bound by CGMDeviceProxy. It connects
// to the token and opens its application, reports status, serial number, label and maker,
// manages PINs, initialises (formats) the token, finds the SM2 container for a session,
// creates the SM2 key pair of a certificate request, imports certificates and an encrypted
// exchange key pair, lists the certificates of its containers and deletes containers.
// SKF tokens are used for SM2 keys only.
//
// Texts from the library are bounded by their fields and terminated here: the DEVINFO
// strings (a 32-byte label may fill its field), and name lists, which are cut at the buffer
// when their final terminators are missing.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/core/DeviceFake.h"
#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/SkfApi.h"

// Fixed container names.
inline constexpr const char* ORVA_GM_CONTAINER = "ORVA_ECC_CON";
inline constexpr const char* ORVA_GM_KOAL_CONTAINER = "KOAL_ECC";

class CGMDevice : public CDeviceFake {
 public:
  CGMDevice(std::shared_ptr<CDeviceProxy> pProxy, const std::string& csName);
  ~CGMDevice() override;

  uint32_t GetDevType() const override { return SDK_SKF; }
  uint32_t Connect() override;
  uint32_t Disconnect() override;
  uint32_t GetDevStatus(uint32_t* pulStatus) override;
  uint32_t IsDefaultPIN(bool* pbDefault) override;
  uint32_t Initiliaze(const char* lpcsAppName, const char* lpcsDevAuthKey, const char* lpcsAdminPIN,
                      const char* lpcsUserPIN, uint32_t ulRetryTimes, const char* lpcsLabel) override;
  uint32_t GetSN(char* lpsSN, uint32_t* pulLen) override;
  uint32_t GetLabel(char* lpsLabel, uint32_t* pulLen) override;
  uint32_t SetLabel(const char* lpcsLabel) override;
  uint32_t GetManufacturer(char* lpsManufacturer, uint32_t* pulLen) override;
  uint32_t VerifyPIN(uint32_t ulPinType, const char* lpcsPIN, uint32_t* pulLeftTimes) override;
  uint32_t ChangePIN(uint32_t ulPinType, const char* lpcsOldPIN, const char* lpcsNewPIN,
                     uint32_t* pulLeftTimes) override;
  uint32_t UnLockPIN(const char* lpcsAdminPIN, const char* lpcsNewPIN, uint32_t* pulLeftTimes) override;
  uint32_t OpenSession(uint32_t ulAlg, uint32_t ulKeyUsage, SessionPtr& pSession) override;
  uint32_t CloseSession(CSession* pSession) override;
  uint32_t GenRandom(uint8_t* pbData, uint32_t ulLen) override;
  uint32_t GenCertRequest(bool bGenKeyPair, uint32_t ulAlg, uint32_t ulBits, const char* lpcsSubName,
                          uint8_t* pbRequest, uint32_t* pulLen) override;
  uint32_t ImportKeyPair(uint32_t ulAlg, const uint8_t* pbData, uint32_t ulLen) override;
  uint32_t ImportCert(uint32_t ulAlg, bool bSignCert, const uint8_t* pbCert, uint32_t ulLen) override;
  uint32_t ImportPfx12(const uint8_t* pbPfx, uint32_t ulLen, const char* lpcsPassword) override;
  uint32_t DecryptLra(const uint8_t* pbPackage, uint32_t ulPackageLen, uint8_t* pbOut,
                      uint32_t* pulLen) override;
  uint32_t GetCertCount(uint32_t* pulCount, bool bRefresh) override;
  uint32_t GetEnvelopType(uint32_t ulWrappedKeyLen, uint32_t* pulAsymmAlg,
                          uint32_t* pulEnvelopType) override;
  uint32_t ImportDualCertAndKeyPair(uint32_t ulAlg, const uint8_t* pbSignCert, uint32_t ulSignCertLen,
                                    const uint8_t* pbEncCert, uint32_t ulEncCertLen,
                                    const uint8_t* pbKeyPair, uint32_t ulKeyPairLen,
                                    const char* lpcsPassword) override;
  uint32_t ImportDualCert(uint32_t ulAlg, const uint8_t* pbSignCert, uint32_t ulSignCertLen,
                          const uint8_t* pbEncCert, uint32_t ulEncCertLen) override;
  uint32_t DeleteContainer(const char* lpcsConName, bool bDeleteEmpty) override;

  // The container chosen for the key pair being issued ("" when none).
  const std::string& GetUsingContainer() const { return m_csUsingContainer; }

  // Checks an ENVELOPEDKEYBLOB before the library reads it: at least 372 + CipherLen bytes
  // with a CipherLen of 1 to 64 (a wrapped symmetric key). 0 or 0x8100000E.
  static uint32_t CheckEnvelopedKeyBlob(const uint8_t* pbData, uint32_t ulLen);

 private:
  // The first application of the token (at most 63 characters); false when it has none.
  bool _GetApplitionName(std::string& csAppName);
  // Opens the first application; 0x81000058 when the token has none.
  uint32_t _OpenFirstApplication(const char* lpcsNoneMessage);
  uint32_t _DevAuth(const char* lpcsAuthKey, size_t ulKeyLen);
  uint32_t _DevFormat(const char* lpcsAuthKey);
  uint32_t _EnumContainers(std::vector<std::string>& names);
  uint32_t _OpenContainer(const std::string& csName, HCONTAINER& hCon);
  void _CloseContainer(HCONTAINER& hCon);
  uint32_t _GetContainerType(HCONTAINER hCon, ULONG& ulType);
  uint32_t _ExportEccPublicKey(HCONTAINER hCon, bool bSign, ECCPUBLICKEYBLOB& blob);
  uint32_t _ExportCertificate(HCONTAINER hCon, bool bSign, std::vector<uint8_t>& der);
  uint32_t _GetUsingContainer(const ORVA_PUBLIC_KEY_RECORD* pPubKey, bool bSign, char* lpsConName,
                              uint32_t* pulConLen);
  uint32_t _DeleteOldContainer(const std::string& csKeep);
  static bool _SameEccKey(const ORVA_PUBLIC_KEY_RECORD& certKey, const ECCPUBLICKEYBLOB& blob);
  uint32_t _CertPublicKey(const uint8_t* pbCert, uint32_t ulLen, ORVA_PUBLIC_KEY_RECORD& key);
  uint32_t _Res(ULONG rv) const { return CGMDeviceProxy::TranslateResult(rv); }

  CGMDeviceProxy* m_pGMProxy = nullptr;  // the binding of m_pProxy
  DEVHANDLE m_hDev = nullptr;
  HAPPLICATION m_hApplication = nullptr;
  DEVINFO m_devInfo{};
  std::string m_csUsingContainer;  // 128 bytes
};
