#include "crypto/OpenSSLMsgEncrypt.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "crypto/OpenSSLASN1.h"
#include "crypto/PKeyUtil.h"
#include "crypto/SM2CipherConvert.h"
#include "crypto/SymmCipher.h"
#include "foundation/Buffer.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

COpenSSLMsgEncrypt::~COpenSSLMsgEncrypt() { OrvaSecureZero(m_scratch); }

uint32_t COpenSSLMsgEncrypt::_GenSymmKey(uint32_t ulAlg, uint8_t* pbKey, uint32_t* pLen) {
  ORVA_LOG_BEGIN();
  if (pLen == nullptr) {
    ORVA_LOG_ERROR("pLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulLen = orva::crypto::SymmKeyLenOf(ulAlg);
  if (ulLen == 0) {
    ORVA_LOG_ERROR("ulAlg is wrong! ulAlg=0x%x", ulAlg);
    return ORVA_E_INVALID_PARAM;
  }
  if (pbKey == nullptr) {
    *pLen = ulLen;
    ORVA_LOG_INFO("Return the requested buffer length:0x%x", ulLen);
    return ORVA_OK;
  }
  if (*pLen < ulLen) {
    ORVA_LOG_ERROR("Buffer is too small! The requested buffer length:0x%x", ulLen);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  if (RAND_bytes(pbKey, static_cast<int>(ulLen)) != 1) {
    ORVA_LOG_ERROR("RAND_bytes() failed! %s", orva::ossl::TakeErrors().c_str());
    return ORVA_E_CALL_FAILED;
  }
  *pLen = ulLen;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLMsgEncrypt::_WrapSymmKeyData(const CX509Certificate* cert, const uint8_t* key, uint32_t key_len,
                                              uint32_t ulFormat, uint8_t* wrapped, uint32_t* wrapped_len) {
  ORVA_LOG_BEGIN();
  if (cert == nullptr) {
    ORVA_LOG_ERROR("cert is NULL！");
    return ORVA_E_INVALID_PARAM;
  }
  if (key == nullptr || key_len == 0) {
    ORVA_LOG_ERROR("key is NULL！");
    return ORVA_E_INVALID_PARAM;
  }
  if (wrapped_len == nullptr) {
    ORVA_LOG_ERROR("wrapped_len is NULL！");
    return ORVA_E_INVALID_PARAM;
  }
  if (key_len > 128) {
    ORVA_LOG_ERROR("key_len is wrong! key_len = 0x%x", key_len);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  if (wrapped == nullptr) {
    *wrapped_len = kWrappedKeyMax;
    ORVA_LOG_INFO("Return the requested length: 0x%x！", kWrappedKeyMax);
    return ORVA_OK;
  }
  if (*wrapped_len < kWrappedKeyMax) {
    ORVA_LOG_ERROR("Buffer is to small! The requested length: 0x%x！", kWrappedKeyMax);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  const X509* x = cert->get_CertInfo();
  EVP_PKEY* pkey = x ? X509_get0_pubkey(x) : nullptr;
  uint32_t ulKind = orva::crypto::PkeyKind(pkey);
  if (ulKind == 0) {
    ORVA_LOG_ERROR("d2i_X509() failed!");
    ERR_clear_error();
    return ORVA_E_CALL_FAILED;
  }
  std::vector<uint8_t> enc;
  if (!orva::crypto::PkeyEncrypt(pkey, key, key_len, enc)) {
    ORVA_LOG_ERROR("EVP_PKEY_encrypt() failed！");
    return ORVA_E_CALL_FAILED;
  }
  std::vector<uint8_t> out;
  if (ulKind == ALG_RSA) {
    out.assign(enc.rbegin(), enc.rend());
  } else if (ulFormat == kWrapDer) {
    out = enc;
  } else if (ulFormat == kWrapNormal || ulFormat == kWrapBlob) {
    uint32_t ulBlobLen = 0;
    uint32_t ulRes = COpenSSLASN1::d2i_SM2Cipher(enc.data(), static_cast<uint32_t>(enc.size()), nullptr, &ulBlobLen);
    std::vector<uint8_t> blob(ulBlobLen);
    if (ulRes == ORVA_OK)
      ulRes = COpenSSLASN1::d2i_SM2Cipher(enc.data(), static_cast<uint32_t>(enc.size()), blob.data(), &ulBlobLen);
    if (ulRes == ORVA_OK && ulFormat == kWrapNormal) {
      uint32_t ulNormalLen = 0;
      ulRes = CSM2CipherConvert::Raw2Normal(blob.data(), ulBlobLen, nullptr, &ulNormalLen);
      if (ulRes == ORVA_OK) {
        out.resize(ulNormalLen);
        ulRes = CSM2CipherConvert::Raw2Normal(blob.data(), ulBlobLen, out.data(), &ulNormalLen);
      }
    } else if (ulRes == ORVA_OK) {
      out = blob;
    }
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("SM2 cipher encode failed! ulRes = 0x%x", ulRes);
      return ORVA_E_CALL_FAILED;
    }
  } else {
    ORVA_LOG_ERROR("SM2 cipher encode type is wrong! type = 0x%x", ulFormat);
    return ORVA_E_CALL_FAILED;
  }
  if (out.size() > *wrapped_len) {
    ORVA_LOG_ERROR("Buffer is to small! The requested length: 0x%zx！", out.size());
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(wrapped, out.data(), out.size());
  *wrapped_len = static_cast<uint32_t>(out.size());
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLMsgEncrypt::_WriteAll(const uint8_t* pb, uint32_t cb) {
  if (cb == 0) return ORVA_OK;
  uint32_t ulWritten = 0;
  uint32_t ulRes = m_pOutputStream->Write(pb, cb, &ulWritten);
  if (ulRes != ORVA_OK || ulWritten != cb) {
    ORVA_LOG_ERROR("Write data to stream failed! ret=0x%x", ulRes);
    return ORVA_E_STREAM_WRITE;
  }
  return ORVA_OK;
}

uint32_t COpenSSLMsgEncrypt::Init(uint32_t ulAlg, const uint8_t*, uint32_t, uint64_t, StreamPtr pOutputStream) {
  ORVA_LOG_BEGIN();
  if (m_pCryptoCert == nullptr) {
    ORVA_LOG_ERROR("m_pCryptoCert is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_pSymmCtx) {
    ORVA_LOG_ERROR("m_pSymmCtx is NOT NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_ulEnvelopType == 2) {
    ORVA_LOG_ERROR("Envelop type is wrong, don't support PKCS7!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulAlg & SYMM_SM1_ECB) {
    ORVA_LOG_ERROR("Don't support SGD_SM1_ECB in this case!");
    return ORVA_E_ALG_NOT_SUPPORTED;
  }
  if (!pOutputStream) {
    ORVA_LOG_ERROR("pOutputStream is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  m_pOutputStream = std::move(pOutputStream);
  uint32_t ulFormat = (m_ulEnvelopType == 0 || m_ulEnvelopType == 3) ? kWrapBlob
                      : m_ulEnvelopType == 4                          ? kWrapDer
                                                                      : kWrapNormal;
  const EVP_CIPHER* cipher = orva::crypto::SymmCipherOf(ulAlg);
  if (cipher == nullptr) {
    ORVA_LOG_ERROR("ulAlg is wrong! ulAlg=0x%x", ulAlg);
    return ORVA_E_INVALID_PARAM;
  }
  uint8_t key[32];
  uint32_t ulKeyLen = sizeof key;
  uint32_t ulRes = _GenSymmKey(ulAlg, key, &ulKeyLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("_GenSymmKey() failed! ret=0x%x", ulRes);
    return ulRes;
  }
  orva::ossl::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  int ok = ctx ? EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key, m_iv) : 0;
  if (ok == 1 && m_ulPadding == 0) ok = EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  if (ok != 1) {
    OrvaSecureZero(key, sizeof key);
    ORVA_LOG_ERROR("Init key data failed! ret=0x%x", static_cast<uint32_t>(ok));
    orva::ossl::TakeErrors();
    return ORVA_E_CALL_FAILED;
  }
  uint8_t header[4 + kWrappedKeyMax];
  uint32_t ulWrappedLen = kWrappedKeyMax;
  ulRes = _WrapSymmKeyData(m_pCryptoCert, key, ulKeyLen, ulFormat, header + 4, &ulWrappedLen);
  OrvaSecureZero(key, sizeof key);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("Export session key failed! ret=0x%x", ulRes);
    return ulRes;
  }
  header[0] = static_cast<uint8_t>(ulWrappedLen);
  header[1] = static_cast<uint8_t>(ulWrappedLen >> 8);
  header[2] = static_cast<uint8_t>(ulWrappedLen >> 16);
  header[3] = static_cast<uint8_t>(ulWrappedLen >> 24);
  ulRes = _WriteAll(header, 4 + ulWrappedLen);
  if (ulRes != ORVA_OK) return ulRes;
  m_pSymmCtx = std::move(ctx);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLMsgEncrypt::Update(const uint8_t* lpInData, uint32_t ulInLen, bool bLast) {
  ORVA_LOG_BEGIN();
  if (!m_pSymmCtx) {
    ORVA_LOG_ERROR("m_pSymmCtx is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (lpInData == nullptr || ulInLen == 0) {
    ORVA_LOG_ERROR("lpInData is NULL or ulInLen is 0!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulInLen > kMaxPiece) {
    ORVA_LOG_ERROR("ulInLen is wrong! The max length in one times is :0x%x", kMaxPiece);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  if (!bLast && ulInLen % 16 != 0) {
    ORVA_LOG_ERROR("ulInLen is wrong! ulInLen=0x%x", ulInLen);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  // Room for the output (one block more than the input), and for the zero-filled last piece,
  // which is built here rather than past the caller's buffer.
  uint32_t ulPadded = (bLast && m_ulPadding == 0 && ulInLen % 16 != 0) ? (ulInLen + 15) / 16 * 16 : ulInLen;
  size_t need = static_cast<size_t>(ulPadded) * (ulPadded != ulInLen ? 2 : 1) + 32;
  if (m_scratch.size() < need) m_scratch.resize(need);
  const uint8_t* in = lpInData;
  uint8_t* out = m_scratch.data();
  if (ulPadded != ulInLen) {
    uint8_t* padded = m_scratch.data() + ulPadded + 32;
    std::memcpy(padded, lpInData, ulInLen);
    std::memset(padded + ulInLen, 0, ulPadded - ulInLen);
    in = padded;
  }
  int n = 0;
  if (EVP_EncryptUpdate(m_pSymmCtx.get(), out, &n, in, static_cast<int>(ulPadded)) != 1) {
    ORVA_LOG_ERROR("EVP_EncryptUpdate() failed!");
    orva::ossl::TakeErrors();
    return ORVA_E_CALL_FAILED;
  }
  uint32_t ulRes = _WriteAll(out, static_cast<uint32_t>(n));
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLMsgEncrypt::Final(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
  ORVA_LOG_BEGIN();
  if (!m_pSymmCtx) {
    ORVA_LOG_ERROR("m_pSymmCtx is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (!m_pOutputStream) {
    ORVA_LOG_ERROR("m_pOutputStream is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  orva::ossl::EvpCipherCtxPtr ctx = std::move(m_pSymmCtx);
  uint8_t last[32];
  int n = 0;
  int ok = EVP_EncryptFinal_ex(ctx.get(), last, &n);
  if (ok != 1) {
    ORVA_LOG_ERROR("EVP_EncryptFinal() final failed! ret=0x%x", static_cast<uint32_t>(ok));
    orva::ossl::TakeErrors();
    return ORVA_E_CALL_FAILED;
  }
  uint32_t ulRes = _WriteAll(last, static_cast<uint32_t>(n));
  OrvaSecureZero(m_scratch);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}
