#include "devices/skf/GMSession.h"

#include <cstring>
#include <vector>

#include "certificates/X509Certificate.h"
#include "crypto/SignedData.h"
#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/GMDigestSign.h"
#include "devices/skf/GMDigestVerify.h"
#include "devices/skf/GMMsgDecrypt.h"
#include "devices/skf/GMMsgEncrypt.h"
#include "devices/skf/GMMsgHash.h"
#include "devices/skf/GMMsgSign.h"
#include "devices/skf/GMMsgVerify.h"
#include "devices/skf/GMSessionUtil.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

using orva::skf::kDefaultUserId;
using orva::skf::kDefaultUserIdLen;

namespace {

// Longest public key blob a library may claim.
constexpr ULONG kMaxPublicKeyBlob = 1024;
// Longest digest SignDigest and VerifyDigest take.
constexpr uint32_t kMaxDigestLen = 32;

const uint8_t* DefaultUserId() { return reinterpret_cast<const uint8_t*>(kDefaultUserId); }

}  // namespace

CGMSession::CGMSession(CGMDeviceProxy* pGMProxy, const std::string& csDevName,
                       const std::string& csConName, DEVHANDLE hDev, HAPPLICATION hApplication,
                       HCONTAINER hContianer)
    : m_csDevName(csDevName.substr(0, 127)),
      m_csConName(csConName.substr(0, 127)),
      m_pGMProxy(pGMProxy),
      m_hDev(hDev),
      m_hApplication(hApplication),
      m_hContianer(hContianer) {}

CGMSession::~CGMSession() = default;

uint32_t CGMSession::Login(uint32_t ulPinType, const char* lpcsPIN, uint32_t* pulLeftTimes) {
  ORVA_LOG_BEGIN();
  if (m_hApplication == nullptr || m_pGMProxy == nullptr) {
    ORVA_LOG_ERROR("m_hApplication or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (lpcsPIN == nullptr || lpcsPIN[0] == '\0' || pulLeftTimes == nullptr) {
    ORVA_LOG_ERROR("lpszPIN or plLeftTimes is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  orva::skf::CSkfText pin(lpcsPIN);
  ULONG ulRetry = 0;
  ULONG rv = GM_CALL(SKF_VerifyPIN, m_hApplication, ulPinType, pin.get(), &ulRetry);
  *pulLeftTimes = ulRetry;
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_VerifyPIN() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMSession::_CheckContainerType(uint32_t ulAlg) {
  ULONG ulType = 0;
  ULONG rv = GM_CALL(SKF_GetContainerType, m_hContianer, &ulType);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_GetContainerType() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  if (ulType != ulAlg) {
    ORVA_LOG_ERROR("Container type is wrong! ulContainerType=0x%x", ulType);
    return ORVA_E_INVALID_PARAM;
  }
  return ORVA_OK;
}

uint32_t CGMSession::ExportPublicKey(uint32_t ulAlg, bool bSignKey, ORVA_PUBLIC_KEY_RECORD* pPubKey) {
  ORVA_LOG_BEGIN();
  if (m_hContianer == nullptr || m_pGMProxy == nullptr) {
    ORVA_LOG_ERROR("m_hContianer or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pPubKey == nullptr) {
    ORVA_LOG_ERROR("pPubKey is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  ORVA_LOG_INFO("ulType=0x%x, bSign=0x%x", ulAlg, static_cast<uint32_t>(bSignKey));
  uint32_t ulRes = _CheckContainerType(ulAlg);
  if (ulRes != ORVA_OK) return ulRes;

  BOOL bFlag = bSignKey ? TRUE : FALSE;
  const ULONG ulBlobSize = ulAlg == ALG_RSA ? sizeof(RSAPUBLICKEYBLOB) : sizeof(ECCPUBLICKEYBLOB);
  ULONG ulLen = 0;
  ULONG rv = GM_CALL(SKF_ExportPublicKey, m_hContianer, bFlag, static_cast<BYTE*>(nullptr), &ulLen);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_ExportPublicKey() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  if (ulLen < ulBlobSize || ulLen > kMaxPublicKeyBlob) {
    ORVA_LOG_ERROR("The public key blob length is wrong! ulLen=0x%x", ulLen);
    return ORVA_E_BAD_INPUT;
  }
  std::vector<uint8_t> blob(ulLen, 0);
  rv = GM_CALL(SKF_ExportPublicKey, m_hContianer, bFlag, blob.data(), &ulLen);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_ExportPublicKey() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  if (ulLen < ulBlobSize || ulLen > blob.size()) {
    ORVA_LOG_ERROR("The public key blob length is wrong! ulLen=0x%x", ulLen);
    return ORVA_E_BAD_INPUT;
  }

  std::memset(&pPubKey->u, 0, sizeof pPubKey->u);
  pPubKey->usage = static_cast<uint8_t>(bSignKey ? KEY_USAGE_SIGN : KEY_USAGE_EXCH);
  pPubKey->version = 1;
  if (ulAlg == ALG_RSA) {
    RSAPUBLICKEYBLOB rsa;
    std::memcpy(&rsa, blob.data(), sizeof rsa);
    pPubKey->algorithm = PUBKEY_ALG_RSA;
    pPubKey->order = PUBKEY_RSA_ORDER_BE_RIGHT;
    pPubKey->u.rsa.bits = rsa.BitLen;
    // The exponent as a number, as the certificate's record holds it.
    pPubKey->u.rsa.exponent = (static_cast<uint32_t>(rsa.PublicExponent[0]) << 24) |
                              (static_cast<uint32_t>(rsa.PublicExponent[1]) << 16) |
                              (static_cast<uint32_t>(rsa.PublicExponent[2]) << 8) |
                              static_cast<uint32_t>(rsa.PublicExponent[3]);
    std::memcpy(pPubKey->u.rsa.modulus, rsa.Modulus, sizeof pPubKey->u.rsa.modulus);
  } else {
    ECCPUBLICKEYBLOB ecc;
    std::memcpy(&ecc, blob.data(), sizeof ecc);
    pPubKey->algorithm = PUBKEY_ALG_SM2;
    std::memcpy(pPubKey->u.sm2.x, ecc.XCoordinate, sizeof pPubKey->u.sm2.x);
    std::memcpy(pPubKey->u.sm2.y, ecc.YCoordinate, sizeof pPubKey->u.sm2.y);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMSession::ExportCert(uint32_t ulAlg, bool bSignCert, std::unique_ptr<CX509Certificate>& pCert) {
  ORVA_LOG_BEGIN();
  if (m_hContianer == nullptr || m_pGMProxy == nullptr) {
    ORVA_LOG_ERROR("m_hContianer or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  ORVA_LOG_INFO("ulType=0x%x, bSignCert=0x%x", ulAlg, static_cast<uint32_t>(bSignCert));
  ULONG ulType = 0;
  ULONG rv = GM_CALL(SKF_GetContainerType, m_hContianer, &ulType);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_GetContainerType() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  if (ulType != ulAlg) {
    ORVA_LOG_ERROR("Container type is wrong! ulConType=0x%x", ulType);
    return ORVA_E_INVALID_PARAM;
  }
  std::vector<uint8_t> der;
  uint32_t ulRes = orva::skf::ExportCertificate(m_pGMProxy, m_hContianer, bSignCert, der);
  if (ulRes != ORVA_OK) return ulRes;
  auto pNew = std::make_unique<CX509Certificate>();
  ulRes = pNew->FromBuffer(der.data(), static_cast<uint32_t>(der.size()));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("FromBuffer() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  pNew->set_ProviderInfo(m_csDevName.c_str(), m_csConName.c_str());
  pCert = std::move(pNew);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMSession::CreateMsgHandler(uint32_t ulMsgID, uint32_t ulFlags, CX509Certificate* pCert,
                                      CryptoMsgPtr& pMsg) {
  ORVA_LOG_BEGIN();
  if (m_hDev == nullptr || m_hContianer == nullptr || m_pGMProxy == nullptr) {
    ORVA_LOG_ERROR("m_hDev or m_hContianer is NULL！");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulClass = ulMsgID > 0xFFFF ? 0 : (ulMsgID & MSG_OP_MASK);
  uint32_t ulFormat = ulMsgID & MSG_FORMAT_MASK;
  if ((ulClass == MSG_ENCRYPT || ulClass == MSG_DECRYPT) && ulFormat == SIGN_TYPE_PKCS7) {
    ORVA_LOG_ERROR("SM2 cipher don't support P7 data format！ ulDataType = 0x%x", ulFormat);
    return ORVA_E_NOT_SUPPORTED;
  }
  switch (ulClass) {
    case MSG_SIGN:
      pMsg = std::make_unique<CGMMsgSign>(m_pGMProxy, m_hDev, m_hContianer, ulFormat, ulFlags);
      break;
    case MSG_VERIFY:
      if (pCert == nullptr) {
        ORVA_LOG_ERROR("pCertObj is NULL！");
        return ORVA_E_INVALID_PARAM;
      }
      pMsg = std::make_unique<CGMMsgVerify>(m_pGMProxy, m_hDev, m_hContianer, ulFormat, ulFlags, pCert);
      break;
    case MSG_ENCRYPT:
      if (pCert == nullptr) {
        ORVA_LOG_ERROR("pCertObj is NULL！");
        return ORVA_E_INVALID_PARAM;
      }
      pMsg = std::make_unique<CGMMsgEncrypt>(m_pGMProxy, m_hDev, m_hContianer, pCert, ulFormat, ulFlags);
      break;
    case MSG_DECRYPT:
      pMsg = std::make_unique<CGMMsgDecrypt>(m_pGMProxy, m_hDev, m_hContianer, ulFormat, ulFlags);
      break;
    case MSG_HASH:
      pMsg = std::make_unique<CGMMsgHash>(m_pGMProxy, m_hDev);
      break;
    default:
      ORVA_LOG_ERROR("Message type is wrong! ulMsgID=0x%x", ulMsgID);
      return ORVA_E_INVALID_PARAM;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMSession::SignDigest(uint32_t ulSignAlg, const uint8_t* pbDigest, uint32_t ulDigestLen,
                                uint32_t ulDigestAlg, uint32_t ulSignType, uint32_t ulSignFlags,
                                std::unique_ptr<CSignedData>& pSignedData) {
  ORVA_LOG_BEGIN();
  if (m_hContianer == nullptr || m_pGMProxy == nullptr) {
    ORVA_LOG_ERROR("m_hContianer or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulAsymmAlg = 0;
  if (ulSignAlg & 0x1) {
    ORVA_LOG_INFO("Use RSA!");
    ulAsymmAlg = SGD_RSA;
  } else if (ulSignAlg & 0x2) {
    ORVA_LOG_INFO("Use SM2!");
    ulAsymmAlg = SGD_SM2_1;
  } else {
    ORVA_LOG_ERROR("Sign alg is wrong! ulSignAlg=0x%x", ulSignAlg);
    return ORVA_E_INVALID_PARAM;
  }
  if (pbDigest == nullptr) {
    ORVA_LOG_ERROR("lpDigested is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulDigestLen == 0 || ulDigestLen > kMaxDigestLen) {
    ORVA_LOG_ERROR("Digested data length is wrong! ulDigestedLen=0x%x", ulDigestLen);
    return ORVA_E_BAD_INPUT_LENGTH;
  }

  CGMDigestSign signer(m_pGMProxy, m_hDev, m_hContianer);
  CX509Certificate signCert;
  if (ulDigestAlg == HASH_SM3) {
    // The signer certificate's key enters the SM3 hash of authenticated attributes.
    std::vector<uint8_t> der;
    uint32_t ulRes = orva::skf::ExportCertificate(m_pGMProxy, m_hContianer, true, der);
    if (ulRes != ORVA_OK) return ulRes;
    ulRes = signCert.FromBuffer(der.data(), static_cast<uint32_t>(der.size()));
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("pSignCert->FromBuffer() failed! rv = 0x%x", ulRes);
      return ulRes;
    }
    signer.set_SignCert(&signCert);
  }
  // A digest carries no content to attach.
  ulSignFlags &= ~ORVA_SIGNATTACH_MSG;
  const uint8_t* pbUserId = DefaultUserId();
  uint32_t ulLen = 0;
  uint32_t ulRes = signer.Sign(ulAsymmAlg, pbDigest, ulDigestLen, ulDigestAlg, ulSignType, ulSignFlags, nullptr, 0,
                               pbUserId, kDefaultUserIdLen, nullptr, &ulLen);
  std::vector<uint8_t> sig(ulLen);
  if (ulRes == ORVA_OK)
    ulRes = signer.Sign(ulAsymmAlg, pbDigest, ulDigestLen, ulDigestAlg, ulSignType, ulSignFlags, nullptr, 0,
                        pbUserId, kDefaultUserIdLen, sig.data(), &ulLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pDigestSign->Sign() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  auto pNew = std::make_unique<CSignedData>();
  ulRes = pNew->SetSignedData(nullptr, 0, sig.data(), ulLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pSignedData->SetSignedData() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  pSignedData = std::move(pNew);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMSession::VerifyDigest(uint32_t, const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg,
                                  const uint8_t* pbSignature, uint32_t ulSignatureLen, uint32_t,
                                  CX509Certificate* pCert) {
  ORVA_LOG_BEGIN();
  if (m_hContianer == nullptr || m_pGMProxy == nullptr) {
    ORVA_LOG_ERROR("m_hContianer or m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pbDigest == nullptr) {
    ORVA_LOG_ERROR("lpDigested is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulDigestLen == 0 || ulDigestLen > kMaxDigestLen) {
    ORVA_LOG_ERROR("Digested data length is wrong! ulDigestedLen=0x%x", ulDigestLen);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  if (pbSignature == nullptr || ulSignatureLen == 0) {
    ORVA_LOG_ERROR("lpSignature is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pCert == nullptr) {
    ORVA_LOG_ERROR("pCertObj is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  CGMDigestVerify verifier(m_pGMProxy, m_hDev, pCert);
  bool bSm3 = ulDigestAlg == HASH_SM3;
  uint32_t ulRes = verifier.Verify(pbDigest, ulDigestLen, ulDigestAlg, pbSignature, ulSignatureLen,
                                   bSm3 ? DefaultUserId() : nullptr, bSm3 ? kDefaultUserIdLen : 0);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pDigestSign->Verify() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
