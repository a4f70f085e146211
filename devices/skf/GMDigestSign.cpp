#include "devices/skf/GMDigestSign.h"

#include <cstring>

#include "certificates/X509Certificate.h"
#include "crypto/DigestInfo.h"
#include "crypto/OpenSSLASN1.h"
#include "crypto/SignedP7.h"
#include "devices/skf/GMMsgHash.h"
#include "devices/skf/GMSessionUtil.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

constexpr uint32_t kPlainSignLen = 256;
constexpr uint32_t kP7SignLen = 4096;
constexpr uint32_t kP7CertLen = 4096;
constexpr uint32_t kDerSignMax = 74;

}  // namespace

CGMDigestSign::CGMDigestSign(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, HCONTAINER hCon)
    : m_pGMProxy(pGMProxy), m_hDev(hDev), m_hCon(hCon) {}

uint32_t CGMDigestSign::RequiredLength(uint32_t ulSignType, uint32_t ulFlags, uint64_t ullPlainTextSize,
                                       uint32_t* pulLen) {
  uint64_t ullLen = kPlainSignLen;
  if (ulSignType == SIGN_TYPE_PKCS7) {
    ullLen = kP7SignLen;
    if (ulFlags & ORVA_SIGN_INCLUDE_CERT) ullLen += kP7CertLen;
    if (ulFlags & ORVA_SIGNATTACH_MSG) ullLen += ullPlainTextSize;
  }
  if (ullLen > UINT32_MAX) {
    ORVA_LOG_ERROR("The signature would be too large! Plain text size:0x%llx",
                   static_cast<unsigned long long>(ullPlainTextSize));
    return ORVA_E_DATA_TOO_LONG;
  }
  *pulLen = static_cast<uint32_t>(ullLen);
  return ORVA_OK;
}

uint32_t CGMDigestSign::Sign(uint32_t ulSignAlg, const uint8_t* lpDigest, uint32_t ulDigestLen,
                             uint32_t ulDigestAlg, uint32_t ulSignType, uint32_t ulFlags,
                             IStream* pPlainTextStream, uint64_t ullPlainTextSize, const uint8_t* pbUserId,
                             uint32_t ulUserIdLen, uint8_t* pbSign, uint32_t* pulSignLen) {
  ORVA_LOG_BEGIN();
  if (m_pGMProxy == nullptr) {
    ORVA_LOG_ERROR("m_pGMProxy is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_hCon == nullptr) {
    ORVA_LOG_ERROR("m_hCon is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (lpDigest == nullptr || ulDigestLen == 0) {
    ORVA_LOG_ERROR("lpDigest is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pulSignLen == nullptr) {
    ORVA_LOG_ERROR("pulSignLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulSignAlg != SGD_RSA && ulSignAlg != SGD_SM2_1) {
    ORVA_LOG_ERROR("Sign alg is wrong! ulSignAlg=0x%x", ulSignAlg);
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulNeed = 0;
  uint32_t ulRes = RequiredLength(ulSignType, ulFlags, ullPlainTextSize, &ulNeed);
  if (ulRes != ORVA_OK) return ulRes;
  if (pbSign == nullptr) {
    *pulSignLen = ulNeed;
    ORVA_LOG_INFO("Return the requested length: 0x%x", ulNeed);
    return ORVA_OK;
  }
  if (*pulSignLen < ulNeed) {
    ORVA_LOG_ERROR("Buffer is too small! The requested length: 0x%x", ulNeed);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  if (pbUserId == nullptr && ulUserIdLen != 0) {
    ORVA_LOG_ERROR("pbUserId is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  m_ulSignAlg = ulSignAlg;
  m_pPlainTextStream = pPlainTextStream;
  m_ullPlainTextSize = ullPlainTextSize;
  m_userId.assign(pbUserId, pbUserId + ulUserIdLen);

  switch (ulSignType) {
    case SIGN_TYPE_RAW: ulRes = _SignRaw(lpDigest, ulDigestLen, pbSign, pulSignLen); break;
    case SIGN_TYPE_DER: ulRes = _SignDer(lpDigest, ulDigestLen, pbSign, pulSignLen); break;
    case SIGN_TYPE_PKCS1: ulRes = _SignP1(lpDigest, ulDigestLen, ulDigestAlg, pbSign, pulSignLen); break;
    case SIGN_TYPE_PKCS7: ulRes = _SignP7(lpDigest, ulDigestLen, ulDigestAlg, ulFlags, pbSign, pulSignLen); break;
    default:
      ORVA_LOG_ERROR("Signature type is unknown! ulSignType = 0x%x", ulSignType);
      ulRes = ORVA_E_BAD_INPUT;
      break;
  }
  m_pPlainTextStream = nullptr;
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("Sign data failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDigestSign::_SignRaw(const uint8_t* pbDigest, uint32_t ulDigestLen, uint8_t* pbSign,
                                 uint32_t* pulSignLen) {
  ORVA_LOG_BEGIN();
  if (m_ulSignAlg == SGD_RSA) {
    ULONG ulLen = *pulSignLen;
    ULONG rv = GM_CALL(SKF_RSASignData, m_hCon, const_cast<BYTE*>(pbDigest), ulDigestLen, pbSign, &ulLen);
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_RSASignData() failed! ulRes=0x%x", rv);
      return CGMDeviceProxy::TranslateResult(rv);
    }
    if (ulLen == 0 || ulLen > *pulSignLen) {
      ORVA_LOG_ERROR("SKF_RSASignData() length is wrong! ulLen=0x%x", ulLen);
      return ORVA_E_BAD_INPUT;
    }
    *pulSignLen = ulLen;
    ORVA_LOG_END();
    return ORVA_OK;
  }
  if (*pulSignLen < sizeof(ECCSIGNATUREBLOB)) {
    ORVA_LOG_ERROR("Buffer is too small! The requested length: 0x%x", static_cast<uint32_t>(sizeof(ECCSIGNATUREBLOB)));
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  ECCSIGNATUREBLOB sig{};
  ULONG rv = GM_CALL(SKF_ECCSignData, m_hCon, const_cast<BYTE*>(pbDigest), ulDigestLen, &sig);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_ECCSignData() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  std::memcpy(pbSign, &sig, sizeof sig);
  *pulSignLen = sizeof sig;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDigestSign::_SignP1(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg,
                                uint8_t* pbSign, uint32_t* pulSignLen) {
  ORVA_LOG_BEGIN();
  if (m_ulSignAlg != SGD_RSA) return _SignRaw(pbDigest, ulDigestLen, pbSign, pulSignLen);
  size_t prefixLen = 0;
  const uint8_t* prefix = orva::crypto::DigestInfoPrefix(ulDigestAlg, &prefixLen);
  std::vector<uint8_t> info;
  info.reserve(prefixLen + ulDigestLen);
  if (prefix) info.assign(prefix, prefix + prefixLen);
  info.insert(info.end(), pbDigest, pbDigest + ulDigestLen);
  uint32_t ulRes = _SignRaw(info.data(), static_cast<uint32_t>(info.size()), pbSign, pulSignLen);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDigestSign::_SignDer(const uint8_t* pbDigest, uint32_t ulDigestLen, uint8_t* pbSign,
                                 uint32_t* pulSignLen) {
  ORVA_LOG_BEGIN();
  if (m_ulSignAlg != SGD_SM2_1) {
    ORVA_LOG_ERROR("This function only supports SM2 signature! ulAsymmALg = 0x%x", m_ulSignAlg);
    return ORVA_E_INVALID_PARAM;
  }
  if (*pulSignLen < kDerSignMax) {
    ORVA_LOG_ERROR("Buffer is too small! The requested length: 0x%x", kDerSignMax);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  uint8_t blob[sizeof(ECCSIGNATUREBLOB)];
  uint32_t ulBlobLen = sizeof blob;
  uint32_t ulRes = _SignRaw(pbDigest, ulDigestLen, blob, &ulBlobLen);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_SM2_SIGNATURE rec{};
  rec.ulBits = 256;
  std::memcpy(rec.r, blob, 64);
  std::memcpy(rec.s, blob + 64, 64);
  ulRes = COpenSSLASN1::i2d_SM2Signature(&rec, pbSign, pulSignLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("COpenSSLASN1::i2d_SM2Signature() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDigestSign::_AddSignerToP7(CSignedP7& p7, uint32_t ulDigestAlg, std::vector<uint8_t>& signCert) {
  ORVA_LOG_BEGIN();
  uint32_t ulRes = orva::skf::ExportCertificate(m_pGMProxy, m_hCon, true, signCert);
  if (ulRes != ORVA_OK) return ulRes;
  ulRes = p7.add_signer(signCert.data(), static_cast<uint32_t>(signCert.size()), ulDigestAlg);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pSignedP7->add_signer() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDigestSign::_AddCertToP7(CSignedP7& p7, const std::vector<uint8_t>& signCert) {
  ORVA_LOG_BEGIN();
  uint32_t ulRes = p7.add_cert(signCert.data(), static_cast<uint32_t>(signCert.size()));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pSignedP7->add_cert() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDigestSign::_AddContentToP7(CSignedP7& p7) {
  ORVA_LOG_BEGIN();
  if (m_pPlainTextStream == nullptr) {
    ORVA_LOG_ERROR("m_pPlainTextStream is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_ullPlainTextSize > UINT32_MAX) {
    ORVA_LOG_ERROR("Plain text is too large! Size:0x%llx", static_cast<unsigned long long>(m_ullPlainTextSize));
    return ORVA_E_DATA_TOO_LONG;
  }
  std::vector<uint8_t> content(static_cast<size_t>(m_ullPlainTextSize));
  uint32_t ulRes = m_pPlainTextStream->Seek(0, STREAM_SEEK_SET, nullptr);
  uint32_t ulRead = 0;
  if (ulRes == ORVA_OK && !content.empty())
    ulRes = m_pPlainTextStream->Read(content.data(), static_cast<uint32_t>(content.size()), &ulRead);
  if (ulRes != ORVA_OK || ulRead != content.size()) {
    ORVA_LOG_ERROR("Read plain text failed! ulRes=0x%x, ulRead=0x%x", ulRes, ulRead);
    return ORVA_E_STREAM_READ;
  }
  ulRes = p7.add_content(content.data(), static_cast<uint32_t>(content.size()));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pSignedP7->add_content() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDigestSign::_HashAuthAttrs(const std::vector<uint8_t>& attrs, uint32_t ulDigestAlg, uint8_t* pbHash,
                                       uint32_t* pulHashLen) {
  ORVA_LOG_BEGIN();
  ECCPUBLICKEYBLOB pub{};
  bool bZ = ulDigestAlg == HASH_SM3;
  if (bZ) {
    // SM3 over the attributes starts from the signer's Z value: the certificate's SM2 key.
    if (m_pSignCert == nullptr) {
      ORVA_LOG_ERROR("m_pSignCert is NULL!");
      return ORVA_E_BAD_INPUT;
    }
    ORVA_PUBLIC_KEY_RECORD key;
    uint32_t ulRes = orva::skf::CertPublicKey(m_pSignCert, key);
    if (ulRes != ORVA_OK || key.algorithm != PUBKEY_ALG_SM2) {
      ORVA_LOG_ERROR("m_pVerifyCert->get_PublicKey() failed! ulRes=0x%x, blobPubKey.alg = 0x%x", ulRes,
                     key.algorithm);
      return ORVA_E_BAD_INPUT;
    }
    orva::skf::EccBlobOf(key, pub);
  }
  uint32_t ulRes = CGMMsgHash::Digest(m_pGMProxy, m_hDev, ulDigestAlg, bZ ? &pub : nullptr, m_userId.data(),
                                      static_cast<uint32_t>(m_userId.size()), attrs.data(),
                                      static_cast<uint32_t>(attrs.size()), pbHash, pulHashLen);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDigestSign::_SignP7(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg,
                                uint32_t ulFlags, uint8_t* pbSign, uint32_t* pulSignLen) {
  ORVA_LOG_BEGIN();
  CSignedP7 p7;
  uint32_t ulRes = p7.create();
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pSignedP7->create() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  std::vector<uint8_t> signCert;
  ulRes = _AddSignerToP7(p7, ulDigestAlg, signCert);
  if (ulRes != ORVA_OK) return ulRes;
  if (ulFlags & ORVA_SIGN_INCLUDE_CERT) {
    ulRes = _AddCertToP7(p7, signCert);
    if (ulRes != ORVA_OK) return ulRes;
  }
  if (ulFlags & ORVA_SIGNATTACH_MSG) {
    ulRes = _AddContentToP7(p7);
    if (ulRes != ORVA_OK) return ulRes;
  }

  // Without attributes the given digest is signed; with them, the token's hash of them.
  uint8_t value[CGMMsgHash::kMaxDigestLen];
  uint32_t ulValueLen = 0;
  if (ulFlags & ORVA_SIGN_AUTH_ATTRS) {
    ulRes = p7.add_timestamp(pbDigest, ulDigestLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("add_timestamp() failed! ulRes = 0x%x", ulRes);
      return ulRes;
    }
    uint32_t ulAttrLen = 0;
    ulRes = p7.get_auth_attr(nullptr, &ulAttrLen);
    std::vector<uint8_t> attrs(ulAttrLen);
    if (ulRes == ORVA_OK) ulRes = p7.get_auth_attr(attrs.data(), &ulAttrLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("pSignedP7->get_auth_attr() failed! ulRes = 0x%x", ulRes);
      return ulRes;
    }
    ulValueLen = sizeof value;
    ulRes = _HashAuthAttrs(attrs, ulDigestAlg, value, &ulValueLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("Hash with authAttrs data failed! ulRes = 0x%x", ulRes);
      return ulRes;
    }
  } else {
    if (ulDigestLen > sizeof value) {
      ORVA_LOG_ERROR("Digested data length is wrong! ulDigestedLen=0x%x", ulDigestLen);
      return ORVA_E_BAD_INPUT_LENGTH;
    }
    std::memcpy(value, pbDigest, ulDigestLen);
    ulValueLen = ulDigestLen;
  }

  uint8_t sig[256];
  uint32_t ulSigLen = sizeof sig;
  if (m_ulSignAlg == SGD_SM2_1) {
    ulRes = _SignDer(value, ulValueLen, sig, &ulSigLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_SignDer() failed! ulRes = 0x%x", ulRes);
      return ulRes;
    }
  } else {
    ulRes = _SignP1(value, ulValueLen, ulDigestAlg, sig, &ulSigLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_SignP1() failed! ulRes = 0x%x", ulRes);
      return ulRes;
    }
  }
  ulRes = p7.add_signature(sig, ulSigLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pSignedP7->add_signature() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  ulRes = p7.encode(pbSign, pulSignLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("signedP7->encode() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
