#include "crypto/OpenSSLMsgVerify.h"

#include <vector>

#include "crypto/OpenSSLDigestVerify.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

uint32_t COpenSSLMsgVerify::Init(uint32_t ulAlg, const uint8_t* lpInitData, uint32_t ulInitLen, uint64_t,
                                 StreamPtr) {
  ORVA_LOG_BEGIN();
  if (m_pHashMsg) {
    ORVA_LOG_ERROR("m_pHashMsg is NOT NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulDigest = 0;
  if (ulAlg & HASH_SHA1) {
    ORVA_LOG_INFO("Use SHA1!");
    ulDigest = HASH_SHA1;
  } else if (ulAlg & HASH_SHA256) {
    ORVA_LOG_INFO("Use SHA256!");
    ulDigest = HASH_SHA256;
  } else if (ulAlg & HASH_MD5) {
    ORVA_LOG_INFO("Use MD5!");
    ulDigest = HASH_MD5;
  } else if (ulAlg & HASH_SM3) {
    ORVA_LOG_INFO("Use SM3!");
    ulDigest = HASH_SM3;
  } else {
    ORVA_LOG_ERROR("Hash alg is wrong! ulAlg=0x%x", ulAlg);
    return ORVA_E_ALG_NOT_SUPPORTED;
  }
  if (ulDigest == HASH_SM3) {
    if (lpInitData == nullptr || ulInitLen == 0) {
      ORVA_LOG_ERROR("lpInitData is NULL!");
      return ORVA_E_INVALID_PARAM;
    }
    if (m_pVerifyCert == nullptr) {
      ORVA_LOG_ERROR("m_pVerifyCert is NULL!");
      return ORVA_E_INVALID_CALL;
    }
  }
  uint32_t ulKey = 0;
  if (ulAlg & 0x1) {
    ORVA_LOG_INFO("Use RSA!");
    ulKey = ALG_RSA;
  } else if (ulAlg & 0x2) {
    ORVA_LOG_INFO("Use SM2!");
    ulKey = ALG_SM2;
  } else {
    ORVA_LOG_ERROR("Sign alg is wrong! ulAlg=0x%x", ulAlg);
    return ORVA_E_INVALID_PARAM;
  }
  auto hash = std::make_unique<COpenSSLMsgHash>();
  if (ulDigest == HASH_SM3 && ulKey == ALG_SM2) {
    ORVA_PUBLIC_KEY_RECORD rec{};
    uint32_t ulRes = m_pVerifyCert->get_PublicKey(&rec);
    if (ulRes != ORVA_OK || rec.algorithm != PUBKEY_ALG_SM2) {
      ORVA_LOG_ERROR("m_pVerifyCert->get_PublicKey() failed! ulRes=0x%x, alg=0x%x", ulRes, rec.algorithm);
      return ulRes != ORVA_OK ? ulRes : ORVA_E_BAD_INPUT;
    }
    hash->set_PublicKey(rec.u.sm2.x + 32, rec.u.sm2.y + 32);
  }
  uint32_t ulRes = hash->Init(ulDigest, lpInitData, ulInitLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pHashMsg->Init() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  m_pHashMsg = std::move(hash);
  m_ulKeyType = ulKey;
  m_ulDigestAlg = ulDigest;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLMsgVerify::Update(const uint8_t* lpInData, uint32_t ulInLen, bool) {
  ORVA_LOG_BEGIN();
  if (!m_pHashMsg) {
    ORVA_LOG_ERROR("m_pHashMsg is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (lpInData == nullptr || ulInLen == 0) {
    ORVA_LOG_ERROR("lpInData is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulRes = m_pHashMsg->Update(lpInData, ulInLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pHashMsg->Update() failed! ulRes=0x%x", ulRes);
    m_pHashMsg.reset();  // a failed update ends the digest
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t COpenSSLMsgVerify::Final(const uint8_t* lpFinalData, uint32_t ulFinalLen, uint8_t* pbRes,
                                  uint32_t* pulResLen) {
  ORVA_LOG_BEGIN();
  if (m_pVerifyCert == nullptr) {
    ORVA_LOG_ERROR("m_pVerifyCert is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (!m_pHashMsg) {
    ORVA_LOG_ERROR("m_pHashMsg is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (lpFinalData == nullptr || ulFinalLen == 0) {
    ORVA_LOG_ERROR("lpFinalData is NULL or ulFinalLen is 0!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pulResLen == nullptr) {
    ORVA_LOG_ERROR("pulResLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pbRes == nullptr) {
    *pulResLen = 4;
    ORVA_LOG_INFO("Return requested lenght: 0x%x!", 4u);
    return ORVA_OK;
  }
  // From here on the digest is used up whatever the outcome.
  std::unique_ptr<COpenSSLMsgHash> hash = std::move(m_pHashMsg);
  if (*pulResLen < 4) {
    ORVA_LOG_ERROR("Buffer is too small, the requested lenght: 0x%x!", 4u);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  uint8_t digest[64];
  uint32_t ulDigestLen = sizeof digest;
  uint32_t ulRes = hash->Final(digest, &ulDigestLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pHashMsg->Final() failed! res=0x%x", ulRes);
    return ulRes;
  }
  std::vector<uint8_t> der;
  ulRes = m_pVerifyCert->ToBuffer(der);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pVerifyCert->ToBuffer() failed! res=0x%x", ulRes);
    return ulRes;
  }
  COpenSSLDigestVerify verifier;
  ulRes = verifier.verify(digest, ulDigestLen, m_ulDigestAlg, lpFinalData, ulFinalLen, der.data(),
                          static_cast<uint32_t>(der.size()));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pDigestVerify->verify() failed! res=0x%x", ulRes);
    return ulRes;
  }
  pbRes[0] = 1;
  *pulResLen = 4;
  ORVA_LOG_END();
  return ORVA_OK;
}
