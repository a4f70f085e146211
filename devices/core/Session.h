#pragma once
// CSession: a signing and decryption context bound to one key container of a token
// (CGMSession, CPKCS11Session). Opened by CDevice::OpenSession; the caller closes it with
// CDevice::CloseSession and then destroys it.
#include <cstdint>
#include <memory>

#include "foundation/CryptoMsg.h"
#include "foundation/DeviceTypes.h"

class CSession {
 public:
  virtual ~CSession() = default;
  // Verifies the PIN for this session's application or token.
  virtual uint32_t Login(uint32_t ulPinType, const char* lpcsPIN, uint32_t* pulLeftTimes) = 0;
  // Fills the public key record (the caller sets the RSA byte order at offset 6 first).
  virtual uint32_t ExportPublicKey(uint32_t ulAlg, bool bSignKey,
                                   ORVA_PUBLIC_KEY_RECORD* pPubKey) = 0;
  // Reads the container's certificate and sets its provider and container; caller owns it.
  virtual uint32_t ExportCert(uint32_t ulAlg, bool bSignCert,
                              std::unique_ptr<CX509Certificate>& pCert) = 0;
  // A streaming handler bound to this session's key (certificate: for verify and encrypt).
  virtual uint32_t CreateMsgHandler(uint32_t ulMsgID, uint32_t ulFlags, CX509Certificate* pCert,
                                    CryptoMsgPtr& pMsg) = 0;
  // Signs a digest computed elsewhere (1 to 32 bytes); the signed data belongs to the caller.
  virtual uint32_t SignDigest(uint32_t ulSignAlg, const uint8_t* pbDigest, uint32_t ulDigestLen,
                              uint32_t ulDigestAlg, uint32_t ulSignType, uint32_t ulSignFlags,
                              std::unique_ptr<CSignedData>& pSignedData) = 0;
  // Verifies a signature over a digest; `ulReserved` is read by no back end.
  virtual uint32_t VerifyDigest(uint32_t ulSignAlg, const uint8_t* pbDigest, uint32_t ulDigestLen,
                                uint32_t ulDigestAlg, const uint8_t* pbSignature,
                                uint32_t ulSignatureLen, uint32_t ulReserved,
                                CX509Certificate* pCert) = 0;
};

using SessionPtr = std::unique_ptr<CSession>;
