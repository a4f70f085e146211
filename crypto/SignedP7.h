#pragma once
// One PKCS#7 signed-data structure (RFC 2315), built and read with the program's own code so
// that SM2 signers work too (OpenSSL 3.0's PKCS7_sign and PKCS7_verify refuse SM2 keys).
//
// Building (token back ends, software signers):
//   create()                           signed data, content type data, detached (no content)
//   add_signer(cert, digest)           SignerInfo v1: issuer and serial of the certificate,
//                                      digest MD5 / SHA-1 / SHA-256 / SM3 (1.2.156.10197.1.401),
//                                      signature algorithm rsaEncryption (1.2.840.113549.1.1.1)
//                                      or SM2 (1.2.156.10197.1.301); both identifiers carry NULL
//   add_cert(cert)                     the certificate into the certificate set
//   add_content(data)                  attaches the content
//   add_timestamp(digest)              authenticated attributes: content type (data), signing
//                                      time (now, UTCTime) and message digest, in DER order
//   get_auth_attr(...)                 the DER SET OF those attributes: the bytes to be hashed
//                                      and signed (for SM2: SM3 with the signer's Z value)
//   add_signature(sig)                 the signature value (RSA PKCS#1 v1.5 block, SM2 DER)
//   encode(...)                        the DER of the whole ContentInfo
// Reading (verifiers, containers): decode, then the get_* operations and pkcs7_get_*.
//
// Every operation returns a result code: an empty object gives 0x8100000B, null arguments
// 0x81000004, a structure without a signer 0x81000106. Outputs follow the size-query
// convention: a null buffer sets the length to what is needed and returns 0; a shorter buffer
// gives 0x81000009 and is left untouched; on success the length is set to the bytes written.
// Texts (the dotted identifiers) are written with a terminating zero, which the size query
// counts and the final length does not.
#include <cstdint>

#include "platform/OpenSsl.h"

#include <openssl/pkcs7.h>

class CSignedP7 {
 public:
  CSignedP7() = default;
  ~CSignedP7() = default;
  CSignedP7(const CSignedP7&) = delete;
  CSignedP7& operator=(const CSignedP7&) = delete;

  uint32_t create();
  uint32_t add_signer(const uint8_t* pbCert, uint32_t ulCertLen, uint32_t ulDigestAlg);
  uint32_t add_signature(const uint8_t* pbSignature, uint32_t ulLen);
  uint32_t add_content(const uint8_t* pbData, uint32_t ulLen);
  uint32_t add_cert(const uint8_t* pbCert, uint32_t ulLen);
  uint32_t add_timestamp(const uint8_t* pbDigest, uint32_t ulLen);
  uint32_t encode(uint8_t* pbOut, uint32_t* pulLen) const;

  // Replaces the held structure; anything that is not PKCS#7 signed data gives 0x81000105.
  uint32_t decode(const uint8_t* pbDer, uint32_t ulLen);
  // Whether the bytes are exactly one PKCS#7 signed-data structure. Signatures are told apart
  // by their length, and a signed-data structure may happen to be 64, 128 or 256 bytes long:
  // readers ask this before taking such bytes as a raw signature.
  static bool IsSignedData(const uint8_t* pbDer, uint32_t ulLen);

  // The first signer's authenticated attributes as signed (DER SET OF, in the order held);
  // none present: length 0 and 0x81000006.
  uint32_t get_auth_attr(uint8_t* pbOut, uint32_t* pulLen) const;
  // Signature and digest algorithm of the first signer as dotted text.
  uint32_t get_sign_alg(char* pOut, uint32_t* pulLen) const;
  uint32_t get_digest_alg(char* pOut, uint32_t* pulLen) const;
  // The message-digest attribute; missing: length 0 and 0x81000006.
  uint32_t get_digest(uint8_t* pbOut, uint32_t* pulLen) const;
  // The first signer's signature value.
  uint32_t get_signature(uint8_t* pbOut, uint32_t* pulLen) const;
  // The attached content; detached or not plain data: 0x8100000E.
  uint32_t pkcs7_get_content(uint8_t* pbOut, uint32_t* pulLen) const;
  // DER of the certificate in the set that matches the first signer; none: 0x81000016.
  uint32_t pkcs7_get_cert(uint8_t* pbOut, uint32_t* pulLen) const;
  // The signing-time attribute (must be a UTCTime, else 0x81000006) as seconds since 1970 UTC.
  uint32_t get_timestamp(int64_t* pllTime) const;

  bool IsEmpty() const { return !m_p7; }
  // The held structure for callers that need raw access; null when empty.
  const PKCS7* get_PKCS7() const { return m_p7.get(); }

 private:
  uint32_t _FirstSigner(PKCS7_SIGNER_INFO** ppSigner) const;

  orva::ossl::Ptr<PKCS7, PKCS7_free> m_p7;
};
