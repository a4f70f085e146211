#include "crypto/OpenSSLKey.h"

#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstring>

#include "crypto/PKeyUtil.h"
#include "crypto/SymmCipher.h"
#include "foundation/Buffer.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "platform/OpenSsl.h"

namespace {

using orva::ossl::EvpPkeyPtr;

// Room the public-key encryption of `in_len` bytes asks for: the input plus 256, or what the
// key itself needs when that is more (RSA-4096 gives 512 bytes whatever the input).
uint64_t AsymmEncryptBound(EVP_PKEY* pkey, uint32_t in_len) {
  uint64_t n = static_cast<uint64_t>(in_len) + 256;
  int keyBytes = EVP_PKEY_get_size(pkey);
  if (keyBytes > 0 && static_cast<uint64_t>(keyBytes) > n) n = static_cast<uint64_t>(keyBytes);
  return n;
}

}  // namespace

COpenSSLKey::~COpenSSLKey() { _ClearKey(); }

void COpenSSLKey::_ClearKey() {
  OrvaSecureZero(m_key);
  m_ulKeyLen = 0;
}

uint32_t COpenSSLKey::generateSymmKey(uint32_t alg, uint8_t* key, uint32_t* key_len) {
  ORVA_LOG_BEGIN();
  if (key_len == nullptr) {
    ORVA_LOG_ERROR("key_len is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulLen = orva::crypto::SymmKeyLenOf(alg);
  if (ulLen == 0) {
    ORVA_LOG_ERROR("alg is wrong! alg=0x%x", alg);
    return ORVA_E_INVALID_PARAM;
  }
  if (key == nullptr) {
    *key_len = ulLen;
    ORVA_LOG_INFO("Return the requested buffer length:0x%x", ulLen);
    return ORVA_OK;
  }
  if (*key_len < ulLen) {
    ORVA_LOG_ERROR("Buffer is too small! The requested buffer length:0x%x", ulLen);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  if (RAND_bytes(key, static_cast<int>(ulLen)) != 1) {
    ORVA_LOG_ERROR("RAND_bytes() failed! %s", orva::ossl::TakeErrors().c_str());
    OrvaSecureZero(key, ulLen);
    return ORVA_E_CALL_FAILED;
  }
  *key_len = ulLen;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLKey::importKey(uint32_t alg, uint32_t type, const uint8_t* key_data, uint32_t key_len) {
  ORVA_LOG_BEGIN();
  if (key_data == nullptr || key_len == 0) {
    ORVA_LOG_ERROR("key_data or key_len is 0!");
    return ORVA_E_INVALID_CALL;
  }
  _ClearKey();
  m_key.assign(key_data, key_data + key_len);
  m_ulKeyLen = key_len;
  m_ulKeyAlg = alg;
  m_ulKeyType = type;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLKey::importKeyFromCert(uint32_t type, const uint8_t* key_data, uint32_t key_len) {
  ORVA_LOG_BEGIN();
  if (type != ORVA_KEY_TYPE_PUBLIC) {
    ORVA_LOG_ERROR("type is wrong! type = 0x%x", type);
    return ORVA_E_INVALID_CALL;
  }
  if (key_data == nullptr || key_len == 0) {
    ORVA_LOG_ERROR("key_data or key_len is 0!");
    return ORVA_E_INVALID_CALL;
  }
  orva::ossl::X509Ptr x = orva::crypto::DecodeCert(key_data, key_len);
  if (!x) {
    ORVA_LOG_ERROR("d2i_X509() failed!");
    return ORVA_E_CALL_FAILED;
  }
  EVP_PKEY* pkey = X509_get0_pubkey(x.get());
  uint32_t ulAlg = orva::crypto::PkeyKind(pkey);
  if (ulAlg == 0) {
    ORVA_LOG_ERROR("X509 certificate public key type is unknown!");
    ERR_clear_error();
    return ORVA_E_CALL_FAILED;
  }
  unsigned char* der = nullptr;
  int n = i2d_PublicKey(pkey, &der);
  orva::ossl::OpenSslBytesPtr owner(der);
  if (n <= 0) {
    ORVA_LOG_ERROR("i2d_PublicKey() failed! %s", orva::ossl::TakeErrors().c_str());
    return ORVA_E_CALL_FAILED;
  }
  _ClearKey();
  m_key.assign(der, der + n);
  m_ulKeyLen = static_cast<uint32_t>(n);
  m_ulKeyAlg = ulAlg;
  m_ulKeyType = ORVA_KEY_TYPE_PUBLIC;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLKey::encrypt(const uint8_t* data, uint32_t data_len, uint8_t* cipher, uint32_t* cipher_len) {
  ORVA_LOG_BEGIN();
  if (m_key.empty() || m_ulKeyLen == 0) {
    ORVA_LOG_ERROR("m_key or m_keyLen is 0!");
    return ORVA_E_INVALID_CALL;
  }
  if (data == nullptr || data_len == 0) {
    ORVA_LOG_ERROR("data or data_len is 0!");
    return ORVA_E_INVALID_PARAM;
  }
  if (cipher_len == nullptr) {
    ORVA_LOG_ERROR("cipher_len is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulRes = m_ulKeyType == ORVA_KEY_TYPE_SYMM ? _symm_enc_dec(true, data, data_len, cipher, cipher_len)
                                                     : _asymm_enc_dec(true, data, data_len, cipher, cipher_len);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("_symm_enc_dec()/_asymm_enc_dec() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLKey::decrypt(const uint8_t* cipher, uint32_t cipher_len, uint8_t* decrypted,
                              uint32_t* decrypted_len) {
  ORVA_LOG_BEGIN();
  if (m_key.empty() || m_ulKeyLen == 0) {
    ORVA_LOG_ERROR("m_key or m_keyLen is 0!");
    return ORVA_E_INVALID_CALL;
  }
  if (cipher == nullptr || cipher_len == 0) {
    ORVA_LOG_ERROR("cipher or cipher_len is 0!");
    return ORVA_E_INVALID_PARAM;
  }
  if (decrypted_len == nullptr) {
    ORVA_LOG_ERROR("decrypted_len is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulRes = m_ulKeyType == ORVA_KEY_TYPE_SYMM
                       ? _symm_enc_dec(false, cipher, cipher_len, decrypted, decrypted_len)
                       : _asymm_enc_dec(false, cipher, cipher_len, decrypted, decrypted_len);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("_symm_enc_dec()/_asymm_enc_dec() failed! ret = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLKey::_symm_enc_dec(bool bEncrypt, const uint8_t* in, uint32_t in_len, uint8_t* out,
                                    uint32_t* out_len) {
  ORVA_LOG_BEGIN();
  if (m_ulKeyType != ORVA_KEY_TYPE_SYMM) {
    ORVA_LOG_ERROR("m_keyType is wrong! m_keyType = 0x%x", m_ulKeyType);
    return ORVA_E_INVALID_CALL;
  }
  if (in == nullptr || in_len == 0) {
    ORVA_LOG_ERROR("in or in_len is 0!");
    return ORVA_E_INVALID_PARAM;
  }
  if (out_len == nullptr) {
    ORVA_LOG_ERROR("out_len is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint64_t ullNeed = in_len;
  if (bEncrypt && m_ulPadding == 1) ullNeed += m_ulKeyLen;
  if (ullNeed > INT32_MAX) {
    ORVA_LOG_ERROR("in_len is too large! in_len=0x%x", in_len);
    return ORVA_E_DATA_TOO_LONG;
  }
  uint32_t ulNeed = static_cast<uint32_t>(ullNeed);
  if (out == nullptr) {
    *out_len = ulNeed;
    ORVA_LOG_INFO("Returen the requested length: 0x%x", ulNeed);
    return ORVA_OK;
  }
  if (*out_len < ulNeed) {
    ORVA_LOG_ERROR("Buffer is to small! The requested length: 0x%x", ulNeed);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  uint32_t ulKeyLen = 0;
  const EVP_CIPHER* c = orva::crypto::SymmCipherOf(m_ulKeyAlg, &ulKeyLen);
  if (c == nullptr) {
    ORVA_LOG_ERROR("alg is wrong! m_keyAlg=0x%x", m_ulKeyAlg);
    return ORVA_E_INVALID_PARAM;
  }
  // A key of the wrong size would make OpenSSL read past the held bytes.
  if (ulKeyLen != m_ulKeyLen) {
    ORVA_LOG_ERROR("m_keyLen is wrong! m_keyLen=0x%x, the algorithm needs 0x%x", m_ulKeyLen, ulKeyLen);
    return ORVA_E_INVALID_PARAM;
  }
  orva::ossl::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  int ok = ctx ? EVP_CipherInit_ex(ctx.get(), c, nullptr, m_key.data(), m_iv, bEncrypt ? 1 : 0) : 0;
  if (ok == 1 && m_ulPadding != 1) ok = EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  if (ok != 1) {
    ORVA_LOG_ERROR("Init key data failed! ret=0x%x", static_cast<uint32_t>(ok));
    orva::ossl::TakeErrors();
    return ORVA_E_CALL_FAILED;
  }
  // One update and one final write at most in_len (+ one block when padding on encryption),
  // which the size check above covers.
  int n1 = 0, n2 = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &n1, in, static_cast<int>(in_len)) != 1) {
    ORVA_LOG_ERROR(bEncrypt ? "EVP_EncryptUpdate() failed!" : "EVP_DecryptUpdate() failed!");
    orva::ossl::TakeErrors();
    return ORVA_E_CALL_FAILED;
  }
  if (EVP_CipherFinal_ex(ctx.get(), out + n1, &n2) != 1) {
    ORVA_LOG_ERROR(bEncrypt ? "EVP_EncryptFinal() failed!" : "EVP_DecryptFinal() failed!");
    orva::ossl::TakeErrors();
    if (!bEncrypt) OrvaSecureZero(out, static_cast<size_t>(n1));
    return ORVA_E_CALL_FAILED;
  }
  *out_len = static_cast<uint32_t>(n1 + n2);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLKey::_asymm_enc_dec(bool bEncrypt, const uint8_t* in, uint32_t in_len, uint8_t* out,
                                     uint32_t* out_len) {
  ORVA_LOG_BEGIN();
  if (m_ulKeyAlg != ALG_RSA && m_ulKeyAlg != ALG_SM2) {
    ORVA_LOG_ERROR("m_keyAlg is wrong! m_keyAlg = 0x%x", m_ulKeyAlg);
    return ORVA_E_INVALID_CALL;
  }
  if (m_ulKeyType != ORVA_KEY_TYPE_PUBLIC && m_ulKeyType != ORVA_KEY_TYPE_PRIVATE) {
    ORVA_LOG_ERROR("m_keyType is wrong! m_keyType = 0x%x", m_ulKeyType);
    return ORVA_E_INVALID_CALL;
  }
  if (in == nullptr || in_len == 0 || out_len == nullptr) {
    ORVA_LOG_ERROR("in or out_len is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  // Build the key.
  EvpPkeyPtr pkey;
  const unsigned char* p = m_key.data();
  long n = static_cast<long>(m_key.size());
  bool bPublic = m_ulKeyType == ORVA_KEY_TYPE_PUBLIC;
  if (m_ulKeyAlg == ALG_RSA) {
    pkey.reset(bPublic ? d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, n) : d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, n));
    if (!pkey) {
      ORVA_LOG_ERROR(bPublic ? "d2i_PublicKey() failed!" : "d2i_PrivateKey() failed!");
      orva::ossl::TakeErrors();
      return ORVA_E_CALL_FAILED;
    }
  } else {
    orva::ossl::Ptr<EC_KEY, EC_KEY_free> ec;
    if (bPublic) {
      ec.reset(EC_KEY_new_by_curve_name(NID_sm2));
      EC_KEY* e = ec.get();
      if (!ec || o2i_ECPublicKey(&e, &p, n) == nullptr) {
        ORVA_LOG_ERROR("o2i_ECPublicKey() failed!");
        orva::ossl::TakeErrors();
        return ORVA_E_CALL_FAILED;
      }
    } else {
      ec.reset(d2i_ECPrivateKey(nullptr, &p, n));
      const EC_GROUP* g = ec ? EC_KEY_get0_group(ec.get()) : nullptr;
      if (g == nullptr || EC_GROUP_get_curve_name(g) != NID_sm2) {
        ORVA_LOG_ERROR("d2i_ECPrivateKey() failed!");
        orva::ossl::TakeErrors();
        return ORVA_E_CALL_FAILED;
      }
    }
    // An EC key on the SM2 curve becomes an SM2 key when assigned.
    pkey.reset(EVP_PKEY_new());
    if (!pkey || EVP_PKEY_set1_EC_KEY(pkey.get(), ec.get()) != 1 || !EVP_PKEY_is_a(pkey.get(), "SM2")) {
      ORVA_LOG_ERROR("EVP_PKEY_set1_EC_KEY() failed!");
      orva::ossl::TakeErrors();
      return ORVA_E_CALL_FAILED;
    }
  }

  uint64_t ullNeed = bEncrypt ? AsymmEncryptBound(pkey.get(), in_len) : in_len;
  if (ullNeed > UINT32_MAX) {
    ORVA_LOG_ERROR("in_len is too large! in_len=0x%x", in_len);
    return ORVA_E_DATA_TOO_LONG;
  }
  uint32_t ulNeed = static_cast<uint32_t>(ullNeed);
  if (out == nullptr) {
    *out_len = ulNeed;
    ORVA_LOG_INFO("Returen the requested length: 0x%x", ulNeed);
    return ORVA_OK;
  }
  if (*out_len < ulNeed) {
    ORVA_LOG_ERROR("Buffer is to small! The requested length: 0x%x", ulNeed);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  // OpenSSL sizes its own output (RSA decryption wants the modulus size); the result is copied
  // out, so nothing is written past the caller's buffer.
  std::vector<uint8_t> res;
  bool ok = bEncrypt ? orva::crypto::PkeyEncrypt(pkey.get(), in, in_len, res)
                     : orva::crypto::PkeyDecrypt(pkey.get(), in, in_len, res);
  if (!ok || res.size() > *out_len) {
    ORVA_LOG_ERROR(bEncrypt ? "EVP_PKEY_encrypt() failed！" : "EVP_PKEY_decrypt() failed！");
    OrvaSecureZero(res);
    return ORVA_E_CALL_FAILED;
  }
  std::memcpy(out, res.data(), res.size());
  *out_len = static_cast<uint32_t>(res.size());
  OrvaSecureZero(res);
  ORVA_LOG_END();
  return ORVA_OK;
}
