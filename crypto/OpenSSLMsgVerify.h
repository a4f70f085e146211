#pragma once
// Streaming signature check in software: Init with the algorithm bits (one key bit 0x1 RSA or
// 0x2 SM2 | one digest) and, for SM3, the signer's user ID; Update with each piece of the
// message; Final with the signature. The message is hashed here (for SM3 with the Z value of
// the certificate's key and the given user ID) and the digest checked by COpenSSLDigestVerify.
//
// Final: a null result buffer asks for the length (4) and leaves the hash running; a buffer of
// fewer than 4 bytes gives 0x81000009. Otherwise the hash is finished and released whatever
// the outcome; on success the first byte of the result is set to 1 (callers pass a zeroed
// 32-bit value) and the length to 4; a signature that does not verify is an error result.
#include <cstdint>
#include <memory>

#include "certificates/X509Certificate.h"
#include "crypto/OpenSSLMsgHash.h"
#include "foundation/CryptoMsg.h"

class COpenSSLMsgVerify : public CCryptoMsg {
 public:
  COpenSSLMsgVerify() = default;
  ~COpenSSLMsgVerify() override = default;

  // The signer's certificate, not owned; it must outlive the handler's use.
  void set_VerifyCert(const CX509Certificate* pCert) { m_pVerifyCert = pCert; }

  uint32_t Init(uint32_t ulAlg, const uint8_t* lpInitData, uint32_t ulInitLen, uint64_t ullExtra,
                StreamPtr pOutStream) override;
  uint32_t Update(const uint8_t* lpInData, uint32_t ulInLen, bool bLast) override;
  uint32_t Final(const uint8_t* lpFinalData, uint32_t ulFinalLen, uint8_t* pbRes, uint32_t* pulResLen) override;

 private:
  std::unique_ptr<COpenSSLMsgHash> m_pHashMsg;
  uint32_t m_ulKeyType = 0;
  uint32_t m_ulDigestAlg = 0;
  const CX509Certificate* m_pVerifyCert = nullptr;
};
