#pragma once
// CGMSession: the session on one SKF container that holds a key pair and a certificate of the
// requested usage, opened by CGMDevice::OpenSession and closed (its container handle) by
// CGMDevice::CloseSession. It keeps the binding and the device, application and container
// handles; it owns none of them.
//
// Through it the program logs in, exports the container's public key and certificate, signs
// digests (CGMDigestSign: raw, DER, PKCS#1, PKCS#7), checks signatures on the token
// (CGMDigestVerify), and creates the streaming handlers bound to the container:
//   0x10xx CGMMsgSign, 0x20xx CGMMsgVerify, 0x30xx CGMMsgEncrypt, 0x40xx CGMMsgDecrypt,
//   0x50xx CGMMsgHash
// where the low byte is the data format (signature type, or envelope format 1, 3 or 4; the
// PKCS#7 envelope format 2 is refused with 0x81000005). SignDigest and VerifyDigest use the
// GM/T 0009 default signer identity "1234567812345678"; the handlers take the user ID from
// their caller.
#include <string>

#include "devices/core/Session.h"
#include "devices/skf/SkfApi.h"

class CGMDeviceProxy;

class CGMSession : public CSession {
 public:
  CGMSession(CGMDeviceProxy* pGMProxy, const std::string& csDevName, const std::string& csConName,
             DEVHANDLE hDev, HAPPLICATION hApplication, HCONTAINER hContianer);
  ~CGMSession() override;

  uint32_t Login(uint32_t ulPinType, const char* lpcsPIN, uint32_t* pulLeftTimes) override;
  uint32_t ExportPublicKey(uint32_t ulAlg, bool bSignKey, ORVA_PUBLIC_KEY_RECORD* pPubKey) override;
  uint32_t ExportCert(uint32_t ulAlg, bool bSignCert, std::unique_ptr<CX509Certificate>& pCert) override;
  uint32_t CreateMsgHandler(uint32_t ulMsgID, uint32_t ulFlags, CX509Certificate* pCert,
                            CryptoMsgPtr& pMsg) override;
  uint32_t SignDigest(uint32_t ulSignAlg, const uint8_t* pbDigest, uint32_t ulDigestLen,
                      uint32_t ulDigestAlg, uint32_t ulSignType, uint32_t ulSignFlags,
                      std::unique_ptr<CSignedData>& pSignedData) override;
  uint32_t VerifyDigest(uint32_t ulSignAlg, const uint8_t* pbDigest, uint32_t ulDigestLen,
                        uint32_t ulDigestAlg, const uint8_t* pbSignature, uint32_t ulSignatureLen,
                        uint32_t ulReserved, CX509Certificate* pCert) override;

  const std::string& GetDevName() const { return m_csDevName; }
  const std::string& GetContainerName() const { return m_csConName; }
  HCONTAINER GetContainerHandle() const { return m_hContianer; }
  // Set by CGMDevice::CloseSession once the container handle is closed.
  void _ClearContainerHandle() { m_hContianer = nullptr; }

 private:
  // The container's type (1 RSA, 2 SM2) must equal the asked class.
  uint32_t _CheckContainerType(uint32_t ulAlg);

  std::string m_csDevName;  // 128 bytes
  std::string m_csConName;  // 128 bytes
  CGMDeviceProxy* m_pGMProxy;
  DEVHANDLE m_hDev;
  HAPPLICATION m_hApplication;
  HCONTAINER m_hContianer;
};
