#include "devices/skf/GMMsgVerify.h"

#include <cstring>

#include "certificates/X509Certificate.h"
#include "devices/skf/GMDigestVerify.h"
#include "devices/skf/GMSessionUtil.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

CGMMsgVerify::CGMMsgVerify(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, HCONTAINER hCon, uint32_t ulSignType,
                           uint32_t ulFlags, const CX509Certificate* pVerifyCert)
    : m_pGMProxy(pGMProxy),
      m_hDev(hDev),
      m_hCon(hCon),
      m_ulSignType(ulSignType),
      m_ulFlags(ulFlags),
      m_pVerifyCert(pVerifyCert) {}

CGMMsgVerify::~CGMMsgVerify() = default;

uint32_t CGMMsgVerify::Init(uint32_t ulAlg, const uint8_t* pbUserId, uint32_t ulUserIdLen, uint64_t, StreamPtr) {
  ORVA_LOG_BEGIN();
  if (m_pGMProxy == nullptr || m_hCon == nullptr || m_hDev == nullptr) {
    ORVA_LOG_ERROR("m_hProv is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_pVerifyCert == nullptr) {
    ORVA_LOG_ERROR("m_pVerifyCert is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_pHashMsg) {
    ORVA_LOG_ERROR("m_pHashMsg is NOT NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulDigestAlg = orva::skf::HashOfSignAlg(ulAlg);
  if (ulDigestAlg == 0) {
    ORVA_LOG_ERROR("Hash alg is wrong! ulAlg=0x%x", ulAlg);
    return ORVA_E_ALG_NOT_SUPPORTED;
  }
  uint32_t ulSignAlg = 0;
  if (ulAlg & 0x1) {
    ORVA_LOG_INFO("Use RSA!");
    if (m_ulSignType != SIGN_TYPE_PKCS1) {
      ORVA_LOG_ERROR("Signature type is wrong! m_ulSignType=0x%x", m_ulSignType);
      return ORVA_E_NOT_SUPPORTED;
    }
    ulSignAlg = SGD_RSA;
  } else if (ulAlg & 0x2) {
    ORVA_LOG_INFO("Use SM2!");
    if (ulDigestAlg != HASH_SM3) {
      ORVA_LOG_ERROR("MUST use SM3 as hash alg when use SM2 signature! ulAlg=0x%x", ulAlg);
      return ORVA_E_ALG_NOT_SUPPORTED;
    }
    ulSignAlg = SGD_SM2_1;
  } else {
    ORVA_LOG_ERROR("Sign alg is wrong! ulAlg=0x%x", ulAlg);
    return ORVA_E_INVALID_PARAM;
  }
  if (pbUserId == nullptr && ulUserIdLen != 0) {
    ORVA_LOG_ERROR("User ID is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  auto pHash = std::make_unique<CGMMsgHash>(m_pGMProxy, m_hDev);
  if (ulSignAlg == SGD_SM2_1) {
    // The digest starts from the signer's Z value: the certificate's SM2 key and the user ID.
    if (pbUserId == nullptr || ulUserIdLen == 0) {
      ORVA_LOG_ERROR("User ID is NULL!");
      return ORVA_E_INVALID_PARAM;
    }
    ORVA_PUBLIC_KEY_RECORD key;
    uint32_t ulRes = orva::skf::CertPublicKey(m_pVerifyCert, key);
    if (ulRes != ORVA_OK || key.algorithm != PUBKEY_ALG_SM2) {
      ORVA_LOG_ERROR("m_pVerifyCert->get_PublicKey() failed! ulRes=0x%x, blobPubKey.alg = 0x%x", ulRes,
                     key.algorithm);
      return ulRes != ORVA_OK ? ulRes : ORVA_E_BAD_INPUT;
    }
    ECCPUBLICKEYBLOB pub;
    orva::skf::EccBlobOf(key, pub);
    pHash->set_PublicKey(pub);
  }
  uint32_t ulRes = pHash->Init(ulDigestAlg, pbUserId, ulUserIdLen, 0, nullptr);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pHashMsg->Init() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  m_pHashMsg = std::move(pHash);
  m_ulSignAlg = ulSignAlg;
  m_ulDigestAlg = ulDigestAlg;
  m_userId.assign(pbUserId, pbUserId + ulUserIdLen);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgVerify::Update(const uint8_t* pbData, uint32_t ulLen, bool) {
  ORVA_LOG_BEGIN();
  if (!m_pHashMsg) {
    ORVA_LOG_ERROR("m_pHashMsg is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulRes = m_pHashMsg->Update(pbData, ulLen, false);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pHashMsg->Update() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgVerify::Final(const uint8_t* pbFinal, uint32_t ulFinalLen, uint8_t* pbOut, uint32_t* pulOutLen) {
  ORVA_LOG_BEGIN();
  if (pbFinal == nullptr || ulFinalLen == 0) {
    ORVA_LOG_ERROR("lpFinalData is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pulOutLen == nullptr) {
    ORVA_LOG_ERROR("pulResLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!m_pHashMsg) {
    ORVA_LOG_ERROR("m_pHashMsg is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  constexpr uint32_t kVerdictLen = 4;
  if (pbOut == nullptr) {
    *pulOutLen = kVerdictLen;
    ORVA_LOG_INFO("Return requested length:0x%x!", kVerdictLen);
    return ORVA_OK;
  }
  if (*pulOutLen < kVerdictLen) {
    ORVA_LOG_ERROR("Buffer is too small! Requested length:0x%x!", kVerdictLen);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::unique_ptr<CGMMsgHash> pHash = std::move(m_pHashMsg);
  uint32_t ulVerdict = 0;
  std::memcpy(pbOut, &ulVerdict, kVerdictLen);
  *pulOutLen = kVerdictLen;
  uint8_t digest[CGMMsgHash::kMaxDigestLen];
  uint32_t ulDigestLen = sizeof digest;
  uint32_t ulRes = pHash->Final(nullptr, 0, digest, &ulDigestLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pHashMsg->Final() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  CGMDigestVerify verifier(m_pGMProxy, m_hDev, m_pVerifyCert);
  ulRes = verifier.Verify(digest, ulDigestLen, m_ulDigestAlg, pbFinal, ulFinalLen, m_userId.data(),
                          static_cast<uint32_t>(m_userId.size()));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pDigestVerify->Verify() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ulVerdict = 1;
  std::memcpy(pbOut, &ulVerdict, kVerdictLen);
  ORVA_LOG_INFO("Verify successfully!");
  ORVA_LOG_END();
  return ORVA_OK;
}
