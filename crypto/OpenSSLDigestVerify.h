#pragma once
// Signature checks in software, without a token: a signature over a digest against a
// certificate, for RSA and SM2 keys, in every encoding the program produces.
//
// The encoding is recognised from the signature:
//   64 bytes           raw SM2 r || s
//   128 bytes          SM2 r and s right-aligned in 64-byte fields (GM/T 0016), or RSA-1024
//   256 bytes          RSA-2048 PKCS#1 v1.5
//   up to 74 bytes     DER SM2 SEQUENCE { INTEGER r, INTEGER s }, when it parses as one
//                      (shortest about 68 bytes when r or s is short)
//   anything else      PKCS#7 signed data with one signer (CSignedP7), also when a
//                      signed-data structure happens to be 64, 128 or 256 bytes long
// SM2 signatures are checked over the digest as given (it must already hold the Z value, see
// COpenSSLMsgHash); inside PKCS#7 the authenticated attributes are hashed here, for SM3 with Z
// from the certificate's key and the identity "1234567812345678". RSA accepts the digest with
// or without its DigestInfo header (MD5, SHA-1, SHA-256 only).
//
// A signature that does not verify is an error result: 0x8100010C (RSA), 0x81000006 (SM2),
// 0x8100009E (PKCS#7 message digest differs from the given digest).
#include <cstdint>

#include "platform/OpenSsl.h"

class COpenSSLDigestVerify {
 public:
  uint32_t verify(const uint8_t* digest, uint32_t digest_len, uint32_t digest_alg, const uint8_t* sign,
                  uint32_t sign_len, const uint8_t* cert, uint32_t cert_len);

  // Whether the bytes are one DER SM2 signature (up to 74 bytes, not 64, SEQUENCE of two
  // positive INTEGERs of at most 32 bytes each). Shared with the token back ends.
  static bool IsSM2DerSignature(const uint8_t* sign, uint32_t sign_len);

 private:
  uint32_t _verifyRaw(const uint8_t* digest, uint32_t digest_len, uint32_t digest_alg, const uint8_t* sign,
                      uint32_t sign_len, EVP_PKEY* pkey);
  uint32_t _verifyDer(const uint8_t* digest, uint32_t digest_len, const uint8_t* sign, uint32_t sign_len,
                      EVP_PKEY* pkey);
  uint32_t _verifyP7(const uint8_t* digest, uint32_t digest_len, uint32_t digest_alg, const uint8_t* sign,
                     uint32_t sign_len, EVP_PKEY* pkey);
  uint32_t _sm2_verify(const uint8_t* digest, uint32_t digest_len, const uint8_t* sign, uint32_t sign_len,
                       EVP_PKEY* pkey);
  uint32_t _rsa_verify(const uint8_t* digest, uint32_t digest_len, uint32_t digest_alg, const uint8_t* sign,
                       uint32_t sign_len, EVP_PKEY* pkey);
};
