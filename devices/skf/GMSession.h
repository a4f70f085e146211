#pragma once
// CGMSession: the session on one SKF container that holds an SM2 key pair and a certificate
// of the requested usage, opened by CGMDevice::OpenSession and closed (its container handle)
// by CGMDevice::CloseSession. It keeps the binding and the device, application and container
// handles; it owns none of them.
//
// Placeholder: the signing, verification, export and message-handler operations arrive with
// the session work; until then every operation answers 0x81000005 and calls no library
// function.
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
  std::string m_csDevName;  // 128 bytes
  std::string m_csConName;  // 128 bytes
  CGMDeviceProxy* m_pGMProxy;
  DEVHANDLE m_hDev;
  HAPPLICATION m_hApplication;
  HCONTAINER m_hContianer;
};
