#include "crypto/OpenSSLASN1.h"

#include <openssl/asn1t.h>

#include <cstring>
#include <vector>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "platform/OpenSsl.h"

// The GM/T 0009 structures.
typedef struct SM2SIGNATURE_st {
  ASN1_INTEGER* r;
  ASN1_INTEGER* s;
} SM2SIGNATURE;

typedef struct SM2CIPHER_st {
  ASN1_INTEGER* x;
  ASN1_INTEGER* y;
  ASN1_OCTET_STRING* hash;
  ASN1_OCTET_STRING* ciphertext;
} SM2CIPHER;

DECLARE_ASN1_FUNCTIONS(SM2SIGNATURE)
DECLARE_ASN1_FUNCTIONS(SM2CIPHER)

ASN1_SEQUENCE(SM2SIGNATURE) = {
    ASN1_SIMPLE(SM2SIGNATURE, r, ASN1_INTEGER),
    ASN1_SIMPLE(SM2SIGNATURE, s, ASN1_INTEGER),
} ASN1_SEQUENCE_END(SM2SIGNATURE)

ASN1_SEQUENCE(SM2CIPHER) = {
    ASN1_SIMPLE(SM2CIPHER, x, ASN1_INTEGER),
    ASN1_SIMPLE(SM2CIPHER, y, ASN1_INTEGER),
    ASN1_SIMPLE(SM2CIPHER, hash, ASN1_OCTET_STRING),
    ASN1_SIMPLE(SM2CIPHER, ciphertext, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2CIPHER)

IMPLEMENT_ASN1_FUNCTIONS(SM2SIGNATURE)
IMPLEMENT_ASN1_FUNCTIONS(SM2CIPHER)

namespace {

using Sm2SignaturePtr = orva::ossl::Ptr<SM2SIGNATURE, SM2SIGNATURE_free>;
using Sm2CipherPtr = orva::ossl::Ptr<SM2CIPHER, SM2CIPHER_free>;

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Unsigned big-endian bytes as a positive INTEGER (minimal DER, a zero byte before a set top
// bit comes from the encoder).
bool SetUnsigned(ASN1_INTEGER* dst, const uint8_t* p, size_t n) {
  orva::ossl::BnPtr bn(BN_bin2bn(p, static_cast<int>(n), nullptr));
  return bn && BN_to_ASN1_INTEGER(bn.get(), dst) != nullptr;
}

// Magnitude of a non-negative INTEGER, without leading zero bytes; false for a negative one.
bool GetUnsigned(const ASN1_INTEGER* v, std::vector<uint8_t>& out) {
  if (v == nullptr || ASN1_STRING_type(v) != V_ASN1_INTEGER) return false;
  orva::ossl::BnPtr bn(ASN1_INTEGER_to_BN(v, nullptr));
  if (!bn) return false;
  out.resize(static_cast<size_t>(BN_num_bytes(bn.get())));
  BN_bn2bin(bn.get(), out.data());
  return true;
}

// Encodes with the size-query convention.
template <class T>
uint32_t EncodeOut(T* obj, int (*i2d)(const T*, unsigned char**), uint8_t* pbDer, uint32_t* pulDerLen,
                   bool& bTooSmall) {
  bTooSmall = false;
  int n = i2d(obj, nullptr);
  if (n <= 0) return ORVA_E_SET_INTEGER;
  if (pbDer == nullptr) {
    *pulDerLen = static_cast<uint32_t>(n);
    return ORVA_OK;
  }
  if (*pulDerLen < static_cast<uint32_t>(n)) {
    bTooSmall = true;
    *pulDerLen = static_cast<uint32_t>(n);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  unsigned char* p = pbDer;
  if (i2d(obj, &p) != n) return ORVA_E_SET_INTEGER;
  *pulDerLen = static_cast<uint32_t>(n);
  return ORVA_OK;
}

// Decodes exactly one structure.
template <class T, void (*Free)(T*)>
orva::ossl::Ptr<T, Free> DecodeExact(T* (*d2i)(T**, const unsigned char**, long), const uint8_t* p,
                                     uint32_t n) {
  const unsigned char* q = p;
  orva::ossl::Ptr<T, Free> v(d2i(nullptr, &q, static_cast<long>(n)));
  if (v && q != p + n) v.reset();
  if (!v) ERR_clear_error();
  return v;
}

}  // namespace

uint32_t COpenSSLASN1::i2d_SM2Signature(const ORVA_SM2_SIGNATURE* pSignature, uint8_t* pbDer,
                                        uint32_t* pulDerLen) {
  ORVA_LOG_BEGIN();
  if (pSignature == nullptr || pulDerLen == nullptr) {
    ORVA_LOG_ERROR("pSignature or pulDerLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pSignature->ulBits != 256 && pSignature->ulBits != 512) {
    ORVA_LOG_ERROR("Bits is wrong! ulBits=0x%x", pSignature->ulBits);
    return ORVA_E_INVALID_PARAM;
  }
  size_t n = pSignature->ulBits / 8;
  Sm2SignaturePtr sig(SM2SIGNATURE_new());
  if (!sig || !SetUnsigned(sig->r, pSignature->r + 64 - n, n) ||
      !SetUnsigned(sig->s, pSignature->s + 64 - n, n)) {
    ORVA_LOG_ERROR("ASN1_INTEGER_set() failed! %s", orva::ossl::TakeErrors().c_str());
    return ORVA_E_SET_INTEGER;
  }
  bool bTooSmall = false;
  uint32_t ulRes = EncodeOut<SM2SIGNATURE>(sig.get(), i2d_SM2SIGNATURE, pbDer, pulDerLen, bTooSmall);
  if (bTooSmall) {
    ORVA_LOG_ERROR("Buffer is too small! Requested length: 0x%x", *pulDerLen);
    return ulRes;
  }
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("i2d_SM2SIGNATURE() failed! %s", orva::ossl::TakeErrors().c_str());
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLASN1::d2i_SM2Signature(const uint8_t* pbDer, uint32_t ulDerLen,
                                        ORVA_SM2_SIGNATURE* pSignature) {
  ORVA_LOG_BEGIN();
  if (pbDer == nullptr || ulDerLen == 0 || pSignature == nullptr) {
    ORVA_LOG_ERROR("pbDer, ulDerLen or pSignature is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  auto sig = DecodeExact<SM2SIGNATURE, SM2SIGNATURE_free>(d2i_SM2SIGNATURE, pbDer, ulDerLen);
  std::vector<uint8_t> r, s;
  if (!sig || !GetUnsigned(sig->r, r) || !GetUnsigned(sig->s, s) || r.empty() || s.empty() ||
      r.size() > 64 || s.size() > 64) {
    ORVA_LOG_ERROR("d2i_SM2SIGNATURE() failed!");
    return ORVA_E_SET_INTEGER;
  }
  std::memset(pSignature, 0, sizeof *pSignature);
  pSignature->ulBits = (r.size() <= 32 && s.size() <= 32) ? 256 : 512;
  std::memcpy(pSignature->r + 64 - r.size(), r.data(), r.size());
  std::memcpy(pSignature->s + 64 - s.size(), s.data(), s.size());
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLASN1::i2d_SM2Cipher(const uint8_t* pbBlob, uint32_t ulBlobLen, uint8_t* pbDer,
                                     uint32_t* pulDerLen) {
  ORVA_LOG_BEGIN();
  if (pbBlob == nullptr || pulDerLen == nullptr) {
    ORVA_LOG_ERROR("pbBlob or pulDerLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulBlobLen < SM2_CIPHER_BLOB_HEADER) {
    ORVA_LOG_ERROR("ulBlobLen is wrong! ulBlobLen=0x%x", ulBlobLen);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  uint32_t ulCipherLen = ReadLe32(pbBlob + SM2_BLOB_CIPHERLEN);
  if (ulCipherLen == 0) {
    ORVA_LOG_ERROR("CipherLen is 0!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulCipherLen != ulBlobLen - SM2_CIPHER_BLOB_HEADER) {
    ORVA_LOG_ERROR("CipherLen is wrong! CipherLen=0x%x, ulBlobLen=0x%x", ulCipherLen, ulBlobLen);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  Sm2CipherPtr c(SM2CIPHER_new());
  if (!c || !SetUnsigned(c->x, pbBlob + SM2_BLOB_X + 32, SM2_COORD_LEN) ||
      !SetUnsigned(c->y, pbBlob + SM2_BLOB_Y + 32, SM2_COORD_LEN) ||
      ASN1_OCTET_STRING_set(c->hash, pbBlob + SM2_BLOB_HASH, SM2_HASH_LEN) != 1 ||
      ASN1_OCTET_STRING_set(c->ciphertext, pbBlob + SM2_BLOB_CIPHER, static_cast<int>(ulCipherLen)) != 1) {
    ORVA_LOG_ERROR("ASN1 set failed! %s", orva::ossl::TakeErrors().c_str());
    return ORVA_E_SET_INTEGER;
  }
  bool bTooSmall = false;
  uint32_t ulRes = EncodeOut<SM2CIPHER>(c.get(), i2d_SM2CIPHER, pbDer, pulDerLen, bTooSmall);
  if (bTooSmall) {
    ORVA_LOG_ERROR("Buffer is too small! Requested length: 0x%x", *pulDerLen);
    return ulRes;
  }
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("i2d_SM2CIPHER() failed! %s", orva::ossl::TakeErrors().c_str());
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLASN1::d2i_SM2Cipher(const uint8_t* pbDer, uint32_t ulDerLen, uint8_t* pbBlob,
                                     uint32_t* pulBlobLen) {
  ORVA_LOG_BEGIN();
  if (pbDer == nullptr || ulDerLen == 0 || pulBlobLen == nullptr) {
    ORVA_LOG_ERROR("pbDer, ulDerLen or pulBlobLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  auto c = DecodeExact<SM2CIPHER, SM2CIPHER_free>(d2i_SM2CIPHER, pbDer, ulDerLen);
  std::vector<uint8_t> x, y;
  if (!c || !GetUnsigned(c->x, x) || !GetUnsigned(c->y, y) || x.empty() || y.empty() ||
      x.size() > SM2_COORD_LEN || y.size() > SM2_COORD_LEN ||
      ASN1_STRING_length(c->hash) != static_cast<int>(SM2_HASH_LEN) ||
      ASN1_STRING_length(c->ciphertext) <= 0) {
    ORVA_LOG_ERROR("d2i_SM2CIPHER() failed!");
    return ORVA_E_SET_INTEGER;
  }
  uint32_t ulCipherLen = static_cast<uint32_t>(ASN1_STRING_length(c->ciphertext));
  uint32_t ulNeed = static_cast<uint32_t>(SM2_CIPHER_BLOB_HEADER + ulCipherLen);
  if (pbBlob == nullptr) {
    *pulBlobLen = ulNeed;
    ORVA_LOG_INFO("Return the requested buffer length: 0x%x", ulNeed);
    return ORVA_OK;
  }
  if (*pulBlobLen < ulNeed) {
    ORVA_LOG_ERROR("Buffer is too small! Requested length: 0x%x", ulNeed);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::memset(pbBlob, 0, SM2_CIPHER_BLOB_HEADER);
  std::memcpy(pbBlob + SM2_BLOB_X + 64 - x.size(), x.data(), x.size());
  std::memcpy(pbBlob + SM2_BLOB_Y + 64 - y.size(), y.data(), y.size());
  std::memcpy(pbBlob + SM2_BLOB_HASH, ASN1_STRING_get0_data(c->hash), SM2_HASH_LEN);
  pbBlob[SM2_BLOB_CIPHERLEN] = static_cast<uint8_t>(ulCipherLen);
  pbBlob[SM2_BLOB_CIPHERLEN + 1] = static_cast<uint8_t>(ulCipherLen >> 8);
  pbBlob[SM2_BLOB_CIPHERLEN + 2] = static_cast<uint8_t>(ulCipherLen >> 16);
  pbBlob[SM2_BLOB_CIPHERLEN + 3] = static_cast<uint8_t>(ulCipherLen >> 24);
  std::memcpy(pbBlob + SM2_BLOB_CIPHER, ASN1_STRING_get0_data(c->ciphertext), ulCipherLen);
  *pulBlobLen = ulNeed;
  ORVA_LOG_END();
  return ORVA_OK;
}
