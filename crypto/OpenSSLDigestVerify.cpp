#include "crypto/OpenSSLDigestVerify.h"

#include <openssl/rsa.h>

#include <cstring>
#include <vector>

#include "crypto/DigestInfo.h"
#include "crypto/OpenSSLASN1.h"
#include "crypto/OpenSSLMsgHash.h"
#include "crypto/PKeyUtil.h"
#include "crypto/SignedP7.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

const char kDefaultUserId[] = "1234567812345678";

bool IsRawLength(uint32_t n) { return n == 64 || n == 128 || n == 256; }

// X and Y of an SM2 public key (from its 65-byte point).
bool Sm2PointOf(EVP_PKEY* pkey, uint8_t* x, uint8_t* y) {
  unsigned char* pt = nullptr;
  int n = i2d_PublicKey(pkey, &pt);
  orva::ossl::OpenSslBytesPtr owner(pt);
  if (n != 65 || pt[0] != 0x04) {
    ERR_clear_error();
    return false;
  }
  std::memcpy(x, pt + 1, 32);
  std::memcpy(y, pt + 33, 32);
  return true;
}

}  // namespace

bool COpenSSLDigestVerify::IsSM2DerSignature(const uint8_t* sign, uint32_t sign_len) {
  if (sign == nullptr || sign_len < 8 || sign_len > 74 || sign_len == 64 || sign[0] != 0x30) return false;
  ORVA_SM2_SIGNATURE rec;
  return COpenSSLASN1::d2i_SM2Signature(sign, sign_len, &rec) == ORVA_OK && rec.ulBits == 256;
}

uint32_t COpenSSLDigestVerify::verify(const uint8_t* digest, uint32_t digest_len, uint32_t digest_alg,
                                      const uint8_t* sign, uint32_t sign_len, const uint8_t* cert,
                                      uint32_t cert_len) {
  ORVA_LOG_BEGIN();
  if (digest == nullptr || digest_len == 0) {
    ORVA_LOG_ERROR("digest is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (sign == nullptr || sign_len == 0) {
    ORVA_LOG_ERROR("sign is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (cert == nullptr || cert_len == 0) {
    ORVA_LOG_ERROR("cert is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  orva::ossl::X509Ptr x = orva::crypto::DecodeCert(cert, cert_len);
  if (!x) {
    ORVA_LOG_ERROR("d2i_X509() failed!");
    return ORVA_E_X509_DECODE;
  }
  EVP_PKEY* pkey = X509_get0_pubkey(x.get());
  if (pkey == nullptr) {
    ORVA_LOG_ERROR("X509_get_pubkey() failed!");
    ERR_clear_error();
    return ORVA_E_X509_PUBKEY;
  }
  if (orva::crypto::PkeyKind(pkey) == 0) {
    ORVA_LOG_ERROR("X509 certificate public key type is unknown! pkey->type=0x%x",
                   static_cast<uint32_t>(EVP_PKEY_get_base_id(pkey)));
    return ORVA_E_X509_PUBKEY_TYPE;
  }
  uint32_t ulRes;
  if (IsRawLength(sign_len) && !CSignedP7::IsSignedData(sign, sign_len))
    ulRes = _verifyRaw(digest, digest_len, digest_alg, sign, sign_len, pkey);
  else if (IsSM2DerSignature(sign, sign_len))
    ulRes = _verifyDer(digest, digest_len, sign, sign_len, pkey);
  else
    ulRes = _verifyP7(digest, digest_len, digest_alg, sign, sign_len, pkey);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("Verify signature failed! res=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLDigestVerify::_verifyRaw(const uint8_t* digest, uint32_t digest_len, uint32_t digest_alg,
                                          const uint8_t* sign, uint32_t sign_len, EVP_PKEY* pkey) {
  ORVA_LOG_BEGIN();
  uint32_t ulRes;
  if (orva::crypto::PkeyKind(pkey) == ALG_RSA) {
    ulRes = _rsa_verify(digest, digest_len, digest_alg, sign, sign_len, pkey);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_rsa_verify() failed! res=0x%x", ulRes);
      return ulRes;
    }
    ORVA_LOG_END();
    return ORVA_OK;
  }
  ORVA_SM2_SIGNATURE rec{};
  rec.ulBits = 256;
  if (sign_len == 64) {
    std::memcpy(rec.r + 32, sign, 32);
    std::memcpy(rec.s + 32, sign + 32, 32);
  } else if (sign_len == 128) {
    std::memcpy(rec.r + 32, sign + 32, 32);
    std::memcpy(rec.s + 32, sign + 96, 32);
  } else {
    ORVA_LOG_ERROR("SM2 RAW signature length is wrong! sign_len=0x%x", sign_len);
    return ORVA_E_BAD_INPUT;
  }
  uint8_t der[80];
  uint32_t ulDerLen = sizeof der;
  ulRes = COpenSSLASN1::i2d_SM2Signature(&rec, der, &ulDerLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("i2d_SM2Signature() failed! res=0x%x", ulRes);
    return ORVA_E_SET_INTEGER;
  }
  ulRes = _verifyDer(digest, digest_len, der, ulDerLen, pkey);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("_verifyDer() failed! res=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLDigestVerify::_verifyDer(const uint8_t* digest, uint32_t digest_len, const uint8_t* sign,
                                          uint32_t sign_len, EVP_PKEY* pkey) {
  ORVA_LOG_BEGIN();
  if (orva::crypto::PkeyKind(pkey) != ALG_SM2) {
    ORVA_LOG_ERROR("Certificate is RSA, but signature length is wrong! sign_len = 0x%x", sign_len);
    return ORVA_E_BAD_INPUT;
  }
  uint32_t ulRes = _sm2_verify(digest, digest_len, sign, sign_len, pkey);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("_sm2_verify() failed! res=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLDigestVerify::_sm2_verify(const uint8_t* digest, uint32_t digest_len, const uint8_t* sign,
                                           uint32_t sign_len, EVP_PKEY* pkey) {
  ORVA_LOG_BEGIN();
  // Any well-formed DER pair: short r or s make signatures of 68 or 69 bytes.
  if (!IsSM2DerSignature(sign, sign_len)) {
    ORVA_LOG_ERROR("SM2 DER signature length is wrong! sign_len=0x%x", sign_len);
    return ORVA_E_INVALID_PARAM;
  }
  // A key read from a certificate on the SM2 curve already is an SM2 key in OpenSSL 3.
  orva::ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey, nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) {
    ORVA_LOG_ERROR("EVP_PKEY_verify_init() failed!");
    orva::ossl::TakeErrors();
    return ORVA_E_CALL_FAILED;
  }
  if (EVP_PKEY_verify(ctx.get(), sign, sign_len, digest, digest_len) != 1) {
    ORVA_LOG_ERROR("EVP_PKEY_verify() failed!");
    orva::ossl::TakeErrors();
    return ORVA_E_CALL_FAILED;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLDigestVerify::_rsa_verify(const uint8_t* digest, uint32_t digest_len, uint32_t digest_alg,
                                           const uint8_t* sign, uint32_t sign_len, EVP_PKEY* pkey) {
  ORVA_LOG_BEGIN();
  if (sign_len != 128 && sign_len != 256) {
    ORVA_LOG_ERROR("Signature length (ulSignLen=0x%x) is wrong! The RSA signature length should be 128 or 256.",
                   sign_len);
    return ORVA_E_INVALID_PARAM;
  }
  size_t prefixLen = 0;
  const uint8_t* prefix = orva::crypto::DigestInfoPrefix(digest_alg, &prefixLen);
  if (prefix == nullptr) {
    ORVA_LOG_ERROR("Digest alg is NOT support！ ulDigestAlg = 0x%x", digest_alg);
    return ORVA_E_ALG_NOT_SUPPORTED;
  }
  // The public-key operation with PKCS#1 type-1 padding removed (RSA_public_decrypt).
  orva::ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey, nullptr));
  uint8_t block[512];
  size_t n = sizeof block;
  if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_verify_recover(ctx.get(), block, &n, sign, sign_len) != 1) {
    ORVA_LOG_ERROR("RSA_public_decrypt() failed! ulRes=0x%x", ORVA_E_SIGNATURE_VERIFY);
    orva::ossl::TakeErrors();
    return ORVA_E_SIGNATURE_VERIFY;
  }
  bool bBare = n == digest_len && std::memcmp(block, digest, n) == 0;
  bool bInfo = n == prefixLen + digest_len && std::memcmp(block, prefix, prefixLen) == 0 &&
               std::memcmp(block + prefixLen, digest, digest_len) == 0;
  if (!bBare && !bInfo) {
    ORVA_LOG_ERROR("RSA signature verify failed!");
    return ORVA_E_SIGNATURE_VERIFY;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLDigestVerify::_verifyP7(const uint8_t* digest, uint32_t digest_len, uint32_t digest_alg,
                                         const uint8_t* sign, uint32_t sign_len, EVP_PKEY* pkey) {
  ORVA_LOG_BEGIN();
  CSignedP7 p7;
  uint32_t ulRes = p7.decode(sign, sign_len);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pSignedP7->decode() failed! res=0x%x", ulRes);
    return ulRes;
  }
  uint8_t raw[256];
  uint32_t ulRawLen = sizeof raw;
  ulRes = p7.get_signature(raw, &ulRawLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pSignedP7->get_signature() failed! res=0x%x", ulRes);
    return ulRes;
  }
  uint8_t value[64];
  uint32_t ulValueLen = 0;
  uint32_t ulAttrLen = 0;
  if (p7.get_auth_attr(nullptr, &ulAttrLen) != ORVA_OK || ulAttrLen == 0) {
    // No authenticated attributes: the signature is over the content digest itself.
    if (digest_len > sizeof value) {
      ORVA_LOG_ERROR("digest_len is wrong! digest_len=0x%x", digest_len);
      return ORVA_E_BAD_INPUT_LENGTH;
    }
    std::memcpy(value, digest, digest_len);
    ulValueLen = digest_len;
  } else {
    uint8_t md[64];
    uint32_t ulMdLen = sizeof md;
    if (p7.get_digest(md, &ulMdLen) != ORVA_OK || ulMdLen != digest_len || std::memcmp(md, digest, digest_len) != 0)
      return ORVA_E_P11_SIGNATURE_INVALID;  // the signed attributes name another content
    std::vector<uint8_t> attrs(ulAttrLen);
    ulRes = p7.get_auth_attr(attrs.data(), &ulAttrLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("pSignedP7->get_auth_attr() failed! res=0x%x", ulRes);
      return ulRes;
    }
    COpenSSLMsgHash hash;
    if (digest_alg == HASH_SM3 && orva::crypto::PkeyKind(pkey) == ALG_SM2) {
      uint8_t x[32], y[32];
      if (!Sm2PointOf(pkey, x, y)) {
        ORVA_LOG_ERROR("i2d_PublicKey() failed!");
        return ORVA_E_X509_PUBKEY;
      }
      hash.set_PublicKey(x, y);
    }
    ulValueLen = sizeof value;
    ulRes = hash.Init(digest_alg, reinterpret_cast<const uint8_t*>(kDefaultUserId), 16);
    if (ulRes == ORVA_OK) ulRes = hash.Update(attrs.data(), ulAttrLen);
    if (ulRes == ORVA_OK) ulRes = hash.Final(value, &ulValueLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("Hash with authAttrs data failed! res = 0x%x", ulRes);
      return ulRes;
    }
  }
  if (IsRawLength(ulRawLen))
    ulRes = _verifyRaw(value, ulValueLen, digest_alg, raw, ulRawLen, pkey);
  else if (IsSM2DerSignature(raw, ulRawLen))
    ulRes = _verifyDer(value, ulValueLen, raw, ulRawLen, pkey);
  else {
    ORVA_LOG_ERROR("Signature length in P7 is wrong! raw_sign_len=0x%x", ulRawLen);
    return ORVA_E_BAD_INPUT;
  }
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("_verifyRaw() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
