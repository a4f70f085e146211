#pragma once
// CGMDigestVerify: a signature over a digest checked on the token against a certificate's
// public key. The encoding is recognised from the signature:
//   64, 128, 256 bytes   raw: SM2 r || s or the 128-byte blob; RSA PKCS#1 v1.5, checked over
//                        the bare digest and then over the DigestInfo-prefixed digest
//   a DER SM2 signature  SEQUENCE { INTEGER r, INTEGER s } (recognised by parsing, so short r or
//                        s, 68 or 69 bytes, count too)
//   anything else        PKCS#7 signed data (also a signed-data structure that happens to be
//                        64, 128 or 256 bytes long): with authenticated attributes their message digest
//                        must equal the given digest (else 0x8100009E) and their DER is hashed
//                        on the token (SM3 with the certificate's Z value and the user ID)
// SM2 digests are checked as given: they must already hold the Z value.
#include <cstdint>
#include <vector>

#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/SkfApi.h"

class CX509Certificate;

class CGMDigestVerify {
 public:
  CGMDigestVerify(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, const CX509Certificate* pVerifyCert);

  uint32_t Verify(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg, const uint8_t* pbSign,
                  uint32_t ulSignLen, const uint8_t* pbUserId, uint32_t ulUserIdLen);

 private:
  uint32_t _VerifyRaw(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg, const uint8_t* pbSign,
                      uint32_t ulSignLen);
  uint32_t _VerifyDer(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg, const uint8_t* pbSign,
                      uint32_t ulSignLen);
  uint32_t _VerifyP7(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg, const uint8_t* pbSign,
                     uint32_t ulSignLen);

  CGMDeviceProxy* m_pGMProxy;
  DEVHANDLE m_hDev;
  const CX509Certificate* m_pVerifyCert;
  std::vector<uint8_t> m_userId;
};
