#include "devices/skf/GMDigestVerify.h"

#include <cstring>

#include "certificates/X509Certificate.h"
#include "crypto/DigestInfo.h"
#include "crypto/OpenSSLASN1.h"
#include "crypto/OpenSSLDigestVerify.h"
#include "crypto/SignedP7.h"
#include "devices/skf/GMMsgHash.h"
#include "devices/skf/GMSessionUtil.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

bool IsRawLength(uint32_t n) { return n == 64 || n == 128 || n == 256; }

}  // namespace

CGMDigestVerify::CGMDigestVerify(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, const CX509Certificate* pVerifyCert)
    : m_pGMProxy(pGMProxy), m_hDev(hDev), m_pVerifyCert(pVerifyCert) {}

uint32_t CGMDigestVerify::Verify(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg,
                                 const uint8_t* pbSign, uint32_t ulSignLen, const uint8_t* pbUserId,
                                 uint32_t ulUserIdLen) {
  ORVA_LOG_BEGIN();
  if (m_pVerifyCert == nullptr) {
    ORVA_LOG_ERROR("m_pVerifyCert is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_pGMProxy == nullptr || m_hDev == nullptr) {
    ORVA_LOG_ERROR("m_pGMProxy or m_hDev is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pbDigest == nullptr || ulDigestLen == 0) {
    ORVA_LOG_ERROR("lpDigest is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pbSign == nullptr || ulSignLen == 0) {
    ORVA_LOG_ERROR("lpSignature is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pbUserId == nullptr && ulUserIdLen != 0) {
    ORVA_LOG_ERROR("pbUserId is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  m_userId.assign(pbUserId, pbUserId + ulUserIdLen);
  uint32_t ulRes;
  if (IsRawLength(ulSignLen) && !CSignedP7::IsSignedData(pbSign, ulSignLen))
    ulRes = _VerifyRaw(pbDigest, ulDigestLen, ulDigestAlg, pbSign, ulSignLen);
  else if (COpenSSLDigestVerify::IsSM2DerSignature(pbSign, ulSignLen))
    ulRes = _VerifyDer(pbDigest, ulDigestLen, ulDigestAlg, pbSign, ulSignLen);
  else
    ulRes = _VerifyP7(pbDigest, ulDigestLen, ulDigestAlg, pbSign, ulSignLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("Verify signature failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDigestVerify::_VerifyRaw(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg,
                                     const uint8_t* pbSign, uint32_t ulSignLen) {
  ORVA_LOG_BEGIN();
  ORVA_PUBLIC_KEY_RECORD key;
  uint32_t ulRes = orva::skf::CertPublicKey(m_pVerifyCert, key);
  if (ulRes != ORVA_OK) return ulRes;

  if (key.algorithm == PUBKEY_ALG_RSA) {
    if (ulSignLen != 128 && ulSignLen != 256) {
      ORVA_LOG_ERROR("Signature length (ulSignLen=0x%x) is wrong! The RSA signature length should be 128 or 256.",
                     ulSignLen);
      return ORVA_E_INVALID_PARAM;
    }
    RSAPUBLICKEYBLOB blob;
    orva::skf::RsaBlobOf(key, blob);
    ULONG rv = GM_CALL(SKF_RSAVerify, m_hDev, &blob, const_cast<BYTE*>(pbDigest), ulDigestLen,
                       const_cast<BYTE*>(pbSign), ulSignLen);
    if (rv != SAR_OK) {
      // Signers differ on whether the DigestInfo header goes in front of the digest.
      size_t prefixLen = 0;
      const uint8_t* prefix = orva::crypto::DigestInfoPrefix(ulDigestAlg, &prefixLen);
      if (prefix) {
        std::vector<uint8_t> info(prefix, prefix + prefixLen);
        info.insert(info.end(), pbDigest, pbDigest + ulDigestLen);
        rv = GM_CALL(SKF_RSAVerify, m_hDev, &blob, info.data(), static_cast<ULONG>(info.size()),
                     const_cast<BYTE*>(pbSign), ulSignLen);
      }
    }
    if (rv != SAR_OK) {
      ulRes = CGMDeviceProxy::TranslateResult(rv);
      ORVA_LOG_ERROR("SKF_RSAVerify() failed! ulRes=0x%x", ulRes);
      return ulRes;
    }
    ORVA_LOG_END();
    return ORVA_OK;
  }

  if (key.algorithm == PUBKEY_ALG_SM2) {
    ECCSIGNATUREBLOB sig{};
    if (ulSignLen == 64) {
      std::memcpy(sig.r + 32, pbSign, 32);
      std::memcpy(sig.s + 32, pbSign + 32, 32);
    } else if (ulSignLen == sizeof sig) {
      std::memcpy(&sig, pbSign, sizeof sig);
    } else {
      ORVA_LOG_ERROR("Signature length (dwSignLen=0x%x) is wrong!", ulSignLen);
      return ORVA_E_INVALID_PARAM;
    }
    ECCPUBLICKEYBLOB blob;
    orva::skf::EccBlobOf(key, blob);
    ULONG rv = GM_CALL(SKF_ECCVerify, m_hDev, &blob, const_cast<BYTE*>(pbDigest), ulDigestLen, &sig);
    if (rv != SAR_OK) {
      ulRes = CGMDeviceProxy::TranslateResult(rv);
      ORVA_LOG_ERROR("SKF_ECCVerify() failed! ulRes=0x%x", ulRes);
      return ulRes;
    }
    ORVA_LOG_END();
    return ORVA_OK;
  }

  ORVA_LOG_ERROR("Certificate alg is unknown! alg=0x%x", key.algorithm);
  return ORVA_E_ALG_NOT_SUPPORTED;
}

uint32_t CGMDigestVerify::_VerifyDer(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg,
                                     const uint8_t* pbSign, uint32_t ulSignLen) {
  ORVA_LOG_BEGIN();
  ORVA_SM2_SIGNATURE rec{};
  uint32_t ulRes = COpenSSLASN1::d2i_SM2Signature(pbSign, ulSignLen, &rec);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("COpenSSLASN1::d2i_SM2Signature() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  uint8_t blob[sizeof(ECCSIGNATUREBLOB)];
  std::memcpy(blob, rec.r, 64);
  std::memcpy(blob + 64, rec.s, 64);
  ulRes = _VerifyRaw(pbDigest, ulDigestLen, ulDigestAlg, blob, sizeof blob);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMDigestVerify::_VerifyP7(const uint8_t* pbDigest, uint32_t ulDigestLen, uint32_t ulDigestAlg,
                                    const uint8_t* pbSign, uint32_t ulSignLen) {
  ORVA_LOG_BEGIN();
  CSignedP7 p7;
  uint32_t ulRes = p7.decode(pbSign, ulSignLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pSignedP7->decode() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  uint8_t raw[256];
  uint32_t ulRawLen = sizeof raw;
  ulRes = p7.get_signature(raw, &ulRawLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pSignedP7->get_signature() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }

  uint8_t value[CGMMsgHash::kMaxDigestLen];
  uint32_t ulValueLen = 0;
  uint32_t ulAttrLen = 0;
  if (p7.get_auth_attr(nullptr, &ulAttrLen) != ORVA_OK || ulAttrLen == 0) {
    if (ulDigestLen > sizeof value) {
      ORVA_LOG_ERROR("Digested data length is wrong! ulDigestedLen=0x%x", ulDigestLen);
      return ORVA_E_BAD_INPUT_LENGTH;
    }
    std::memcpy(value, pbDigest, ulDigestLen);
    ulValueLen = ulDigestLen;
  } else {
    uint8_t md[64];
    uint32_t ulMdLen = sizeof md;
    if (p7.get_digest(md, &ulMdLen) != ORVA_OK || ulMdLen != ulDigestLen ||
        std::memcmp(md, pbDigest, ulDigestLen) != 0) {
      ORVA_LOG_ERROR("The message digest of the signed attributes differs from the digest!");
      return ORVA_E_P11_SIGNATURE_INVALID;
    }
    std::vector<uint8_t> attrs(ulAttrLen);
    ulRes = p7.get_auth_attr(attrs.data(), &ulAttrLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("pSignedP7->get_auth_attr() failed! ulRes=0x%x", ulRes);
      return ulRes;
    }
    ECCPUBLICKEYBLOB pub{};
    bool bZ = ulDigestAlg == HASH_SM3;
    if (bZ) {
      ORVA_PUBLIC_KEY_RECORD key;
      ulRes = orva::skf::CertPublicKey(m_pVerifyCert, key);
      if (ulRes != ORVA_OK || key.algorithm != PUBKEY_ALG_SM2) {
        ORVA_LOG_ERROR("m_pVerifyCert->get_PublicKey() failed! ulRes=0x%x, blobPubKey.alg = 0x%x", ulRes,
                       key.algorithm);
        return ORVA_E_BAD_INPUT;
      }
      orva::skf::EccBlobOf(key, pub);
    }
    ulValueLen = sizeof value;
    ulRes = CGMMsgHash::Digest(m_pGMProxy, m_hDev, ulDigestAlg, bZ ? &pub : nullptr, m_userId.data(),
                               static_cast<uint32_t>(m_userId.size()), attrs.data(), ulAttrLen, value,
                               &ulValueLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("Hash with authAttrs data failed! ulRes = 0x%x", ulRes);
      return ulRes;
    }
  }

  if (IsRawLength(ulRawLen))
    ulRes = _VerifyRaw(value, ulValueLen, ulDigestAlg, raw, ulRawLen);
  else if (COpenSSLDigestVerify::IsSM2DerSignature(raw, ulRawLen))
    ulRes = _VerifyDer(value, ulValueLen, ulDigestAlg, raw, ulRawLen);
  else {
    ORVA_LOG_ERROR("Signature length in P7 is wrong! ulRawSignatureLen=0x%x", ulRawLen);
    return ORVA_E_BAD_INPUT;
  }
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}
