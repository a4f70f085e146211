#pragma once
// CGMDigestSign: a digest signed with the container's signature key on the token, in one of
// the four encodings:
//   3 raw      RSA: SKF_RSASignData over the digest as given; SM2: the 128-byte signature blob
//   1 PKCS#1   RSA: over the DigestInfo-prefixed digest (MD5, SHA-1, SHA-256; none for other
//              digests); SM2: as raw
//   4 DER      SM2 only: SEQUENCE { INTEGER r, INTEGER s }, at most 74 bytes
//   2 PKCS#7   signed data (CSignedP7) whose signer info signature is made as type 1 (RSA) or
//              type 4 (SM2); flag 0x1 adds the signer certificate, 0x2 attaches the plain text
//              of the given stream, 0x4 adds authenticated attributes (signing time, content
//              type, message digest), which are hashed on the token (SM3 with the signer
//              certificate's Z value) and signed in place of the digest
// Output sizes (a null buffer returns them; a smaller buffer is refused before anything is
// signed): 256 for raw, PKCS#1 and DER; PKCS#7 4096, plus 4096 with the certificate, plus the
// content size with attached content.
#include <cstdint>
#include <vector>

#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/SkfApi.h"
#include "foundation/Stream.h"

class CX509Certificate;
class CSignedP7;

class CGMDigestSign {
 public:
  CGMDigestSign(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, HCONTAINER hCon);

  // The signer certificate whose SM2 key enters the SM3 hash of authenticated attributes (not
  // owned).
  void set_SignCert(const CX509Certificate* pCert) { m_pSignCert = pCert; }

  // The output size for a signature type and flags (0x8100000A when it does not fit 32 bits).
  static uint32_t RequiredLength(uint32_t ulSignType, uint32_t ulFlags, uint64_t ullPlainTextSize,
                                 uint32_t* pulLen);

  // ulSignAlg: SGD_RSA (0x00010000) or SGD_SM2_1 (0x00020100).
  uint32_t Sign(uint32_t ulSignAlg, const uint8_t* lpDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg,
                uint32_t ulSignType, uint32_t ulFlags, IStream* pPlainTextStream, uint64_t ullPlainTextSize,
                const uint8_t* pbUserId, uint32_t ulUserIdLen, uint8_t* pbSign, uint32_t* pulSignLen);

 private:
  uint32_t _SignRaw(const uint8_t* pbDigest, uint32_t ulDigestLen, uint8_t* pbSign, uint32_t* pulSignLen);
  uint32_t _SignP1(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg, uint8_t* pbSign,
                   uint32_t* pulSignLen);
  uint32_t _SignDer(const uint8_t* pbDigest, uint32_t ulDigestLen, uint8_t* pbSign, uint32_t* pulSignLen);
  uint32_t _SignP7(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg, uint32_t ulFlags,
                   uint8_t* pbSign, uint32_t* pulSignLen);
  uint32_t _AddSignerToP7(CSignedP7& p7, uint32_t ulDigestAlg, std::vector<uint8_t>& signCert);
  uint32_t _AddCertToP7(CSignedP7& p7, const std::vector<uint8_t>& signCert);
  uint32_t _AddContentToP7(CSignedP7& p7);
  uint32_t _HashAuthAttrs(const std::vector<uint8_t>& attrs, uint32_t ulDigestAlg, uint8_t* pbHash,
                          uint32_t* pulHashLen);

  CGMDeviceProxy* m_pGMProxy;
  DEVHANDLE m_hDev;
  HCONTAINER m_hCon;
  uint32_t m_ulSignAlg = 0;
  const CX509Certificate* m_pSignCert = nullptr;
  IStream* m_pPlainTextStream = nullptr;
  uint64_t m_ullPlainTextSize = 0;
  std::vector<uint8_t> m_userId;
};
