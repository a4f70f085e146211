#pragma once
// One signature of any of the four signature types, with the facts a page asks about it.
//
// Classification when a signature is set, by its length n:
//   n <= 127            type 4 (DER), SM2 (a 64-byte r || s counts here too)
//   n == 128            type 3 (raw GM/T 0016 blob), SM2, when bytes 0-31 equal bytes 64-95
//                       (the zero high halves of the r and s fields); else type 1, RSA
//   n == 256            type 1 (PKCS#1), RSA
//                       (128 or 256 bytes that are exactly one signed-data structure: PKCS#7)
//   any other n         type 2 (PKCS#7): decoded; SM2 when the signer's signature algorithm is
//                       1.2.156.10197.1.301, else RSA; bytes that do not decode stay type 2
//                       without a structure
// Outputs follow the size-query convention (null buffer: needed length; short: 0x81000009).
#include <cstdint>
#include <memory>
#include <vector>

#include "certificates/X509Certificate.h"
#include "crypto/SignedP7.h"

class CSignedData {
 public:
  CSignedData() = default;
  ~CSignedData() = default;
  CSignedData(const CSignedData&) = delete;
  CSignedData& operator=(const CSignedData&) = delete;

  uint32_t SetSignature(const uint8_t* lpSignature, uint32_t ulSignLen);
  // The token back ends' form; the two reserved arguments are not read.
  uint32_t SetSignedData(const uint8_t* lpReserved1, uint32_t ulReserved2, const uint8_t* lpSignature,
                         uint32_t ulSignLen);

  uint32_t GetSignature(uint8_t* lpOrgData, uint32_t* pulLen) const;
  // The content attached to a PKCS#7 signature; other types or none attached: length 0, 0.
  uint32_t GetOrgData(uint8_t* lpOrgData, uint32_t* pulLen) const;
  // The signer certificate carried by a PKCS#7 signature (not PKCS#7: 0x8100000B; none
  // carried: length 0, 0).
  uint32_t GetCertificate(uint8_t* lpCert, uint32_t* pulLen) const;
  // The PKCS#7 signing time in the process's local time.
  uint32_t GetLocalTime(ORVA_SYSTEMTIME* pTime) const;
  // The digest algorithm number of a PKCS#7 signature (0 when unknown or not PKCS#7).
  uint32_t GetDigestAlg(uint32_t* pulAlg) const;
  uint32_t GetSignAlg(uint32_t* pulAlg) const;
  uint32_t GetSignType(uint32_t* pulType) const;

  // The decoded structure of a PKCS#7 signature, or null.
  const CSignedP7* get_SignedP7() const { return m_pSignedP7.get(); }

 private:
  void _Classify();

  uint32_t m_ulSignLen = 0;
  std::vector<uint8_t> m_pSignature;
  uint32_t m_ulSignType = 0;
  uint32_t m_ulSignAlg = 0;
  uint32_t m_ulContentLen = 0;   // no operation stores a content copy: it is read from the
  std::vector<uint8_t> m_pContent;  // PKCS#7 structure
  std::unique_ptr<CSignedP7> m_pSignedP7;
};
