#pragma once
// One RFC 3161 time-stamp response: what it says (generation time, message imprint, the
// time-stamping authority's certificate and signature) and whether it is genuine:
//   1. the generation time lies strictly inside the TSA certificate's validity;
//   2. the TSA certificate chains to the accepted authority keys (the chain check of
//      CX509Certificate::get_ValidType, flag 0x2);
//   3. the token is signed by the TSA: its signed attributes carry the content type
//      id-ct-TSTInfo and a messageDigest equal to the digest of the encapsulated TSTInfo,
//      and the signature over those attributes verifies (SM2 with the identity
//      "1234567812345678", RSA PKCS#1 v1.5).
// The first failing step decides: 0x82000002 time, 0x82000004-0x82000007 certificate,
// 0x82000003 signature. Covering a digest, message or file is checked first (0x82000001).
// Creating time-stamps is not offered: the sign operations answer 0x81000005.
//
// Outputs follow the size-query convention (null buffer: the length; short buffer:
// 0x81000009). An empty object answers 0x8100000B.
#include <cstdint>
#include <functional>
#include <string>

#include "certificates/X509Certificate.h"
#include "crypto/OpenSSLMsgHash.h"
#include "platform/OpenSsl.h"

#include <openssl/ts.h>

class CTimestamp {
 public:
  CTimestamp() = default;
  ~CTimestamp() = default;
  CTimestamp(const CTimestamp&) = delete;
  CTimestamp& operator=(const CTimestamp&) = delete;

  // Replaces any held response. A response that is not granted, has no token, or has no
  // signer gives 0x81000006; a token without the TSA certificate is accepted.
  uint32_t decode(const uint8_t* lpbtTS, uint32_t ulLen);

  // The generation time as local calendar time.
  uint32_t get_localTime(ORVA_SYSTEMTIME* pTime) const;
  // The imprint's digest number and the hashed message.
  uint32_t get_msgImprint(uint32_t* pulAlg, uint8_t* pbBuf, uint32_t* pulLen) const;
  // DER of the TSA certificate carried in the token (none: 0x81000016).
  uint32_t get_cert(uint8_t* pbBuf, uint32_t* pulLen) const;
  // The signer's signature value.
  uint32_t get_signature(uint8_t* pbBuf, uint32_t* pulLen) const;
  // DER of the whole response.
  uint32_t get_timestamp(uint8_t* pbBuf, uint32_t* pulLen) const;

  // The three checks; the TSA certificate is the token's, else the one given (DER).
  uint32_t verify(const uint8_t* lpbtSrvCert, uint32_t ulSrvCertLen);
  // The imprint equals the digest (length and bytes), then the three checks.
  uint32_t verify(const uint8_t* pbDigest, uint32_t ulDigestLen, const uint8_t* lpbtSrvCert,
                  uint32_t ulSrvCertLen);
  // The message hashed with ulDigestAlg (0x200, 0x400, 0x800, 0x4000); for SM3 with a user
  // certificate, over the Z value of its SM2 key and the user ID first. Then as with a digest.
  uint32_t verify(const uint8_t* pbMsg, uint32_t ulMsgLen, uint32_t ulDigestAlg, const uint8_t* lpbtSrvCert,
                  uint32_t ulSrvCertLen, const std::string& strUserId, const uint8_t* pbUserCert,
                  uint32_t ulUserCertLen);
  // The same over a regular file read in 1,024-byte pieces (cannot be opened: 0x8100005C).
  uint32_t verify(const std::string& strFile, uint32_t ulDigestAlg, const uint8_t* lpbtSrvCert,
                  uint32_t ulSrvCertLen, const std::string& strUserId, const uint8_t* pbUserCert,
                  uint32_t ulUserCertLen);

  // Not offered: 0x81000005.
  uint32_t sign(const uint8_t* pbDigest, uint32_t ulDigestLen);
  uint32_t sign(const uint8_t* pbMsg, uint32_t ulMsgLen, uint32_t ulDigestAlg);
  uint32_t sign(const std::string& strFile, uint32_t ulDigestAlg);

  // Digest, key and signature algorithm identifiers as the program numbers them (0 unknown).
  static uint32_t _ConvertOpenSSLAlgToORVA(const ASN1_OBJECT* pObj);

 private:
  uint32_t _CheckEmpty() const;
  uint32_t _VerifyTime(const X509* pTsa) const;
  uint32_t _VerifyCert(const X509* pTsa) const;
  uint32_t _VerifySignature(const X509* pTsa) const;
  uint32_t _GetTstRespContent(uint8_t* pbBuf, uint32_t* pulLen) const;
  // Hashes what `feed` gives (message forms), then verifies as with a digest.
  uint32_t _VerifyHashed(uint32_t ulDigestAlg, const std::string& strUserId, const uint8_t* pbUserCert,
                         uint32_t ulUserCertLen, const std::function<uint32_t(COpenSSLMsgHash&)>& feed,
                         const uint8_t* lpbtSrvCert, uint32_t ulSrvCertLen);

  orva::ossl::Ptr<TS_RESP, TS_RESP_free> m_ts;
  TS_TST_INFO* m_tst_info = nullptr;  // borrowed from m_ts
  PKCS7* m_token = nullptr;           // borrowed from m_ts
  PKCS7_SIGNER_INFO* m_signer = nullptr;  // borrowed from m_ts
  orva::ossl::X509Ptr m_x509;         // the token's TSA certificate, or null
};
