#include "devices/skf/GMMsgHash.h"

#include <algorithm>

#include "devices/skf/GMSessionUtil.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

CGMMsgHash::CGMMsgHash(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev) : m_pGMProxy(pGMProxy), m_hProv(hDev) {}

CGMMsgHash::~CGMMsgHash() {
  if (m_hHash == nullptr || m_pGMProxy == nullptr) return;
  if (!m_bFinished) {
    // The token keeps an unfinished digest busy: finish it before closing the handle.
    BYTE scratch[kMaxDigestLen];
    ULONG ulLen = sizeof scratch;
    GM_CALL(SKF_DigestFinal, m_hHash, scratch, &ulLen);
  }
  GM_CALL(SKF_CloseHandle, m_hHash);
}

void CGMMsgHash::set_PublicKey(const ECCPUBLICKEYBLOB& blob) {
  m_pubKey = blob;
  m_bHasPubKey = true;
}

uint32_t CGMMsgHash::Init(uint32_t ulAlg, const uint8_t* pbUserId, uint32_t ulUserIdLen, uint64_t,
                          StreamPtr) {
  ORVA_LOG_BEGIN();
  if (m_hProv == nullptr || m_pGMProxy == nullptr) {
    ORVA_LOG_ERROR("m_hProv or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_hHash != nullptr) {
    ORVA_LOG_ERROR("m_hHash is NOT NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulHash = orva::skf::HashOfSignAlg(ulAlg);
  switch (ulHash) {
    case HASH_SHA1: ORVA_LOG_INFO("Use SHA1!"); break;
    case HASH_SHA256: ORVA_LOG_INFO("Use SHA256!"); break;
    case HASH_MD5: ORVA_LOG_INFO("Use MD5!"); break;
    case HASH_SM3: ORVA_LOG_INFO("Use SM3!"); break;
    default: break;
  }
  ULONG ulAlgId = 0;
  uint32_t ulRes = orva::skf::HashAlgId(ulHash ? ulHash : ulAlg, &ulAlgId);
  if (ulRes != ORVA_OK) return ulRes;
  if (pbUserId == nullptr && ulUserIdLen != 0) {
    ORVA_LOG_ERROR("pbUserId is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulUserIdLen > orva::skf::kMaxUserIdLen) {
    ORVA_LOG_ERROR("User ID is too long! ulUserIdLen=0x%x", ulUserIdLen);
    return ORVA_E_INVALID_PARAM;
  }
  // Only SM3 takes the signer's key and identity; the other digests start empty.
  bool bZ = ulHash == HASH_SM3 && m_bHasPubKey;
  HANDLE hHash = nullptr;
  ULONG rv = GM_CALL(SKF_DigestInit, m_hProv, ulAlgId, bZ ? &m_pubKey : nullptr,
                     bZ ? const_cast<unsigned char*>(pbUserId) : nullptr, bZ ? ulUserIdLen : 0, &hHash);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_DigestInit() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  if (hHash == nullptr) {
    ORVA_LOG_ERROR("SKF_DigestInit() gave no handle!");
    return ORVA_E_CALL_FAILED;
  }
  m_hHash = hHash;
  m_bFinished = false;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgHash::Update(const uint8_t* pbData, uint32_t ulLen, bool) {
  ORVA_LOG_BEGIN();
  if (m_hHash == nullptr || m_bFinished) {
    ORVA_LOG_ERROR("m_hHash is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pbData == nullptr && ulLen != 0) {
    ORVA_LOG_ERROR("lpInData is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  for (uint32_t ulDone = 0; ulDone < ulLen;) {
    uint32_t ulChunk = std::min(ulLen - ulDone, orva::skf::kTokenChunk);
    ULONG rv = GM_CALL(SKF_DigestUpdate, m_hHash, const_cast<BYTE*>(pbData + ulDone), ulChunk);
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_DigestUpdate() failed! ulRes=0x%x", rv);
      return CGMDeviceProxy::TranslateResult(rv);
    }
    ulDone += ulChunk;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgHash::Final(const uint8_t*, uint32_t, uint8_t* pbOut, uint32_t* pulOutLen) {
  ORVA_LOG_BEGIN();
  if (m_hHash == nullptr || m_bFinished) {
    ORVA_LOG_ERROR("m_hHash is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pulOutLen == nullptr) {
    ORVA_LOG_ERROR("pulResLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  ULONG ulLen = pbOut ? *pulOutLen : 0;
  ULONG rv = GM_CALL(SKF_DigestFinal, m_hHash, pbOut, &ulLen);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_DigestFinal() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  // A library that claims more than a digest, or more than the buffer it was given, is not
  // believed.
  if (ulLen == 0 || ulLen > kMaxDigestLen || (pbOut && ulLen > *pulOutLen)) {
    ORVA_LOG_ERROR("SKF_DigestFinal() length is wrong! ulLen=0x%x", ulLen);
    if (pbOut) m_bFinished = true;
    return ORVA_E_BAD_INPUT;
  }
  *pulOutLen = ulLen;
  if (pbOut == nullptr) {
    ORVA_LOG_INFO("Return the requested length: 0x%x", ulLen);
    return ORVA_OK;
  }
  m_bFinished = true;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgHash::Digest(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, uint32_t ulAlg,
                            const ECCPUBLICKEYBLOB* pPubKey, const uint8_t* pbUserId, uint32_t ulUserIdLen,
                            const uint8_t* pbData, uint32_t ulLen, uint8_t* pbOut, uint32_t* pulOutLen) {
  CGMMsgHash hash(pGMProxy, hDev);
  if (pPubKey) hash.set_PublicKey(*pPubKey);
  uint32_t ulRes = hash.Init(ulAlg, pbUserId, ulUserIdLen, 0, nullptr);
  if (ulRes == ORVA_OK) ulRes = hash.Update(pbData, ulLen, true);
  if (ulRes == ORVA_OK) ulRes = hash.Final(nullptr, 0, pbOut, pulOutLen);
  return ulRes;
}
