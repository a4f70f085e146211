#include "devices/skf/GMMsgSign.h"

#include "certificates/X509Certificate.h"
#include "devices/skf/GMDigestSign.h"
#include "devices/skf/GMSessionUtil.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

CGMMsgSign::CGMMsgSign(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, HCONTAINER hCon, uint32_t ulSignType,
                       uint32_t ulFlags)
    : m_pGMProxy(pGMProxy), m_hDev(hDev), m_hCon(hCon), m_ulSignType(ulSignType), m_ulFlags(ulFlags) {}

CGMMsgSign::~CGMMsgSign() = default;

bool CGMMsgSign::_AttachContent() const {
  return m_ulSignType == SIGN_TYPE_PKCS7 && (m_ulFlags & ORVA_SIGNATTACH_MSG) != 0;
}

uint32_t CGMMsgSign::Init(uint32_t ulAlg, const uint8_t* pbUserId, uint32_t ulUserIdLen, uint64_t, StreamPtr) {
  ORVA_LOG_BEGIN();
  if (m_pGMProxy == nullptr || m_hCon == nullptr || m_hDev == nullptr) {
    ORVA_LOG_ERROR("m_hProv is NULL!");
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
    ulSignAlg = SGD_RSA;
  } else if (ulAlg & 0x2) {
    ORVA_LOG_INFO("Use SM2!");
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
  // SM3 over an SM2 key starts from the signer's Z value: the container's signature key.
  if (ulDigestAlg == HASH_SM3 && ulSignAlg == SGD_SM2_1) {
    if (pbUserId == nullptr || ulUserIdLen == 0) {
      ORVA_LOG_ERROR("User ID is NULL!");
      return ORVA_E_INVALID_PARAM;
    }
    ECCPUBLICKEYBLOB pub;
    uint32_t ulRes = orva::skf::ExportEccPublicKey(m_pGMProxy, m_hCon, true, pub);
    if (ulRes != ORVA_OK) return ulRes;
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
  m_ullPlainTextSize = 0;
  m_pPlainTextStream.reset();
  if (_AttachContent()) m_pPlainTextStream = std::make_shared<CMemoryStream>();
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgSign::Update(const uint8_t* pbData, uint32_t ulLen, bool) {
  ORVA_LOG_BEGIN();
  if (!m_pHashMsg) {
    ORVA_LOG_ERROR("m_pHashMsg is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pbData == nullptr && ulLen != 0) {
    ORVA_LOG_ERROR("lpInData is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (m_pPlainTextStream && m_ullPlainTextSize + ulLen > kMaxPlainText) {
    ORVA_LOG_ERROR("Plain text is too large, with DATA_SIGNATTACH_MSG flag!");
    return ORVA_E_DATA_TOO_LONG;
  }
  uint32_t ulRes = m_pHashMsg->Update(pbData, ulLen, false);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pHashMsg->Update() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  if (m_pPlainTextStream) {
    ulRes = orva::skf::WriteAll(m_pPlainTextStream.get(), pbData, ulLen);
    if (ulRes != ORVA_OK) return ulRes;
    m_ullPlainTextSize += ulLen;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgSign::Final(const uint8_t*, uint32_t, uint8_t* pbOut, uint32_t* pulOutLen) {
  ORVA_LOG_BEGIN();
  if (pulOutLen == nullptr) {
    ORVA_LOG_ERROR("pulResLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!m_pHashMsg) {
    ORVA_LOG_ERROR("m_pHashMsg is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulNeed = 0;
  uint32_t ulRes = CGMDigestSign::RequiredLength(m_ulSignType, m_ulFlags, m_ullPlainTextSize, &ulNeed);
  if (ulRes != ORVA_OK) return ulRes;
  if (pbOut == nullptr) {
    *pulOutLen = ulNeed;
    ORVA_LOG_INFO("Return requested length:0x%x!", ulNeed);
    return ORVA_OK;
  }
  // Refused before the digest is finished, so the caller can ask again with a larger buffer.
  if (*pulOutLen < ulNeed) {
    ORVA_LOG_ERROR("Buffer is too small! Requested length:0x%x!", ulNeed);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  // From here the digest and the kept plain text go, whatever the outcome.
  std::unique_ptr<CGMMsgHash> pHash = std::move(m_pHashMsg);
  StreamPtr pPlainText = std::move(m_pPlainTextStream);
  uint8_t digest[CGMMsgHash::kMaxDigestLen];
  uint32_t ulDigestLen = sizeof digest;
  ulRes = pHash->Final(nullptr, 0, digest, &ulDigestLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("m_pHashMsg->Final() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  CX509Certificate signCert;
  CGMDigestSign signer(m_pGMProxy, m_hDev, m_hCon);
  if (m_ulDigestAlg == HASH_SM3) {
    std::vector<uint8_t> der;
    ulRes = orva::skf::ExportCertificate(m_pGMProxy, m_hCon, true, der);
    if (ulRes != ORVA_OK) return ulRes;
    ulRes = signCert.FromBuffer(der.data(), static_cast<uint32_t>(der.size()));
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("pSignCert->FromBuffer() failed! rv = 0x%x", ulRes);
      return ulRes;
    }
    signer.set_SignCert(&signCert);
  }
  ulRes = signer.Sign(m_ulSignAlg, digest, ulDigestLen, m_ulDigestAlg, m_ulSignType, m_ulFlags, pPlainText.get(),
                      m_ullPlainTextSize, m_userId.data(), static_cast<uint32_t>(m_userId.size()), pbOut,
                      pulOutLen);
  m_ullPlainTextSize = 0;
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pDigestSign->Sign() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
