#include "devices/skf/GMSessionUtil.h"

#include <algorithm>

#include "certificates/X509Certificate.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace orva::skf {

uint32_t HashAlgId(uint32_t ulHashAlg, ULONG* pulAlgId) {
  switch (ulHashAlg) {
    case HASH_SM3: *pulAlgId = SGD_SM3; return ORVA_OK;
    case HASH_SHA1: *pulAlgId = SGD_SHA1; return ORVA_OK;
    case HASH_MD5: *pulAlgId = SGD_MD5; return ORVA_OK;
    case HASH_SHA256: *pulAlgId = SGD_SHA256; return ORVA_OK;
    default:
      ORVA_LOG_ERROR("Hash alg is not supported! ulAlg=0x%x", ulHashAlg);
      return ORVA_E_ALG_NOT_SUPPORTED;
  }
}

uint32_t HashOfSignAlg(uint32_t ulAlg) {
  if (ulAlg & HASH_SHA1) return HASH_SHA1;
  if (ulAlg & HASH_SHA256) return HASH_SHA256;
  if (ulAlg & HASH_MD5) return HASH_MD5;
  if (ulAlg & HASH_SM3) return HASH_SM3;
  return 0;
}

uint32_t SymmAlgId(uint32_t ulSymmAlg, ULONG* pulAlgId) {
  static constexpr struct {
    uint32_t ulSymm;
    ULONG ulSgd;
  } kTable[] = {
      {SYMM_SM1_ECB, SGD_SM1_ECB},       {SYMM_SM1_CBC, SGD_SM1_CBC},
      {SYMM_SM4_ECB, SGD_SM4_ECB},       {SYMM_SM4_CBC, SGD_SM4_CBC},
      {SYMM_AES128_CBC, SGD_AES128_CBC}, {SYMM_AES128_ECB, SGD_AES128_ECB},
      {SYMM_AES192_CBC, SGD_AES192_CBC}, {SYMM_AES192_ECB, SGD_AES192_ECB},
      {SYMM_AES256_CBC, SGD_AES256_CBC}, {SYMM_AES256_ECB, SGD_AES256_ECB},
  };
  for (const auto& e : kTable) {
    if (e.ulSymm == ulSymmAlg) {
      *pulAlgId = e.ulSgd;
      return ORVA_OK;
    }
  }
  ORVA_LOG_ERROR("ulAlg is wrong! ulAlg=0x%x", ulSymmAlg);
  return ORVA_E_INVALID_PARAM;
}

void EccBlobOf(const ORVA_PUBLIC_KEY_RECORD& key, ECCPUBLICKEYBLOB& blob) {
  std::memset(&blob, 0, sizeof blob);
  blob.BitLen = 256;
  std::memcpy(blob.XCoordinate, key.u.sm2.x, sizeof blob.XCoordinate);
  std::memcpy(blob.YCoordinate, key.u.sm2.y, sizeof blob.YCoordinate);
}

void RsaBlobOf(const ORVA_PUBLIC_KEY_RECORD& key, RSAPUBLICKEYBLOB& blob) {
  std::memset(&blob, 0, sizeof blob);
  blob.AlgID = SGD_RSA;
  blob.BitLen = key.u.rsa.bits;
  std::memcpy(blob.Modulus, key.u.rsa.modulus, sizeof blob.Modulus);
  uint32_t e = key.u.rsa.exponent;
  blob.PublicExponent[0] = static_cast<BYTE>(e >> 24);
  blob.PublicExponent[1] = static_cast<BYTE>(e >> 16);
  blob.PublicExponent[2] = static_cast<BYTE>(e >> 8);
  blob.PublicExponent[3] = static_cast<BYTE>(e);
}

uint32_t CertPublicKey(const CX509Certificate* pCert, ORVA_PUBLIC_KEY_RECORD& key) {
  std::memset(&key, 0, sizeof key);
  key.order = PUBKEY_RSA_ORDER_BE_RIGHT;
  uint32_t ulRes = pCert->get_PublicKey(&key);
  if (ulRes != ORVA_OK) ORVA_LOG_ERROR("get_PublicKey() failed! ulRes=0x%x", ulRes);
  return ulRes;
}

uint32_t ExportCertificate(CGMDeviceProxy* pProxy, HCONTAINER hCon, bool bSign, std::vector<uint8_t>& der) {
  der.clear();
  BOOL bFlag = bSign ? TRUE : FALSE;
  ULONG ulLen = 0;
  ULONG rv = GM_CALL_WITH(pProxy, SKF_ExportCertificate, hCon, bFlag, static_cast<BYTE*>(nullptr), &ulLen);
  if (rv == SAR_OK && ulLen > 0 && ulLen <= 65536) {
    der.assign(ulLen, 0);
    rv = GM_CALL_WITH(pProxy, SKF_ExportCertificate, hCon, bFlag, der.data(), &ulLen);
    if (rv == SAR_OK) der.resize(std::min<size_t>(ulLen, der.size()));
  }
  if (rv != SAR_OK) {
    der.clear();
    ORVA_LOG_ERROR("SKF_ExportCertificate() failed! rv = 0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  if (der.empty()) {
    ORVA_LOG_ERROR("SKF_ExportCertificate() gave no certificate! ulLen=0x%x", ulLen);
    return ORVA_E_NO_CERT;
  }
  return ORVA_OK;
}

uint32_t ExportEccPublicKey(CGMDeviceProxy* pProxy, HCONTAINER hCon, bool bSign, ECCPUBLICKEYBLOB& blob) {
  std::memset(&blob, 0, sizeof blob);
  ULONG ulLen = sizeof blob;
  ULONG rv = GM_CALL_WITH(pProxy, SKF_ExportPublicKey, hCon, static_cast<BOOL>(bSign ? TRUE : FALSE),
                          reinterpret_cast<BYTE*>(&blob), &ulLen);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_ExportPublicKey() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  if (ulLen != sizeof blob) {
    ORVA_LOG_ERROR("The public key blob length is wrong! ulLen=0x%x", ulLen);
    return ORVA_E_BAD_INPUT;
  }
  return ORVA_OK;
}

uint32_t WriteAll(IStream* pStream, const uint8_t* pb, uint32_t cb) {
  if (cb == 0) return ORVA_OK;
  uint32_t ulWritten = 0;
  uint32_t ulRes = pStream->Write(pb, cb, &ulWritten);
  if (ulRes != ORVA_OK || ulWritten != cb) {
    ORVA_LOG_ERROR("Write data to stream failed! ulRes=0x%x", ulRes);
    return ORVA_E_STREAM_WRITE;
  }
  return ORVA_OK;
}

}  // namespace orva::skf
