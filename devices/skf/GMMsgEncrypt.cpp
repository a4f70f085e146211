#include "devices/skf/GMMsgEncrypt.h"

#include <algorithm>
#include <cstring>

#include "certificates/X509Certificate.h"
#include "crypto/OpenSSLASN1.h"
#include "crypto/SM2CipherConvert.h"
#include "devices/skf/GMSessionUtil.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

using orva::skf::kTokenChunk;
using orva::skf::kTokenChunkOut;
using orva::skf::kWrappedKeyMax;

CGMMsgEncrypt::CGMMsgEncrypt(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, HCONTAINER hCon,
                             const CX509Certificate* pCryptoCert, uint32_t ulEnvelopType, uint32_t ulPaddingType)
    : m_pGMProxy(pGMProxy), m_hDev(hDev), m_hCon(hCon), m_ulEnvelopType(ulEnvelopType), m_pCryptoCert(pCryptoCert) {
  m_param.IVLen = 16;  // the IV itself stays all zero
  m_param.PaddingType = ulPaddingType;
  m_param.FeedBitLen = 0;
}

CGMMsgEncrypt::~CGMMsgEncrypt() { _CloseKey(); }

void CGMMsgEncrypt::_CloseKey() {
  if (m_hSymmKey == nullptr || m_pGMProxy == nullptr) return;
  GM_CALL(SKF_CloseHandle, m_hSymmKey);
  m_hSymmKey = nullptr;
}

uint32_t CGMMsgEncrypt::_WrapRsa(ULONG ulAlgId, const ORVA_PUBLIC_KEY_RECORD& key, std::vector<uint8_t>& wrapped) {
  ORVA_LOG_BEGIN();
  if (m_ulEnvelopType != 1) {
    ORVA_LOG_ERROR("Envelop type is wrong! m_ulEnvelopType=0x%x", m_ulEnvelopType);
    return ORVA_E_INVALID_PARAM;
  }
  RSAPUBLICKEYBLOB blob;
  orva::skf::RsaBlobOf(key, blob);
  wrapped.assign(kWrappedKeyMax, 0);
  ULONG ulLen = kWrappedKeyMax;
  HANDLE hKey = nullptr;
  ULONG rv = GM_CALL(SKF_RSAExportSessionKey, m_hCon, ulAlgId, &blob, wrapped.data(), &ulLen, &hKey);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_RSAExportSessionKey() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  m_hSymmKey = hKey;
  if (hKey == nullptr || ulLen == 0 || ulLen > kWrappedKeyMax) {
    ORVA_LOG_ERROR("SKF_RSAExportSessionKey() output is wrong! ulLen=0x%x", ulLen);
    return ORVA_E_BAD_INPUT;
  }
  wrapped.resize(ulLen);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgEncrypt::_WrapSm2(ULONG ulAlgId, const ORVA_PUBLIC_KEY_RECORD& key, std::vector<uint8_t>& wrapped) {
  ORVA_LOG_BEGIN();
  if (m_ulEnvelopType != 1 && m_ulEnvelopType != 3 && m_ulEnvelopType != 4) {
    ORVA_LOG_ERROR("Envelop type is wrong! m_ulEnvelopType=0x%x", m_ulEnvelopType);
    return ORVA_E_INVALID_PARAM;
  }
  ECCPUBLICKEYBLOB pub;
  orva::skf::EccBlobOf(key, pub);
  // The library writes the blob header and the wrapped key (164 + key length bytes).
  std::vector<uint8_t> blob(SKF_ECCCIPHERBLOB_HEADER + kWrappedKeyMax, 0);
  HANDLE hKey = nullptr;
  ULONG rv = GM_CALL(SKF_ECCExportSessionKey, m_hCon, ulAlgId, &pub, reinterpret_cast<PECCCIPHERBLOB>(blob.data()),
                     &hKey);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_ECCExportSessionKey() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  m_hSymmKey = hKey;
  uint32_t ulCipherLen = reinterpret_cast<const ECCCIPHERBLOB*>(blob.data())->CipherLen;
  if (hKey == nullptr || ulCipherLen == 0 || ulCipherLen > kWrappedKeyMax - SKF_ECCCIPHERBLOB_HEADER) {
    ORVA_LOG_ERROR("SKF_ECCExportSessionKey() output is wrong! CipherLen=0x%x", ulCipherLen);
    return ORVA_E_BAD_INPUT;
  }
  uint32_t ulBlobLen = SKF_ECCCIPHERBLOB_HEADER + ulCipherLen;
  blob.resize(ulBlobLen);
  uint32_t ulRes = ORVA_OK;
  uint32_t ulOutLen = 0;
  switch (m_ulEnvelopType) {
    case 1:
      ulRes = CSM2CipherConvert::Raw2Normal(blob.data(), ulBlobLen, nullptr, &ulOutLen);
      if (ulRes == ORVA_OK) {
        wrapped.assign(ulOutLen, 0);
        ulRes = CSM2CipherConvert::Raw2Normal(blob.data(), ulBlobLen, wrapped.data(), &ulOutLen);
      }
      if (ulRes != ORVA_OK) ORVA_LOG_ERROR("CSM2CipherConvert::Raw2Normal() failed! ulRes=0x%x", ulRes);
      break;
    case 3:
      wrapped = blob;
      ulOutLen = ulBlobLen;
      break;
    default:
      ulRes = COpenSSLASN1::i2d_SM2Cipher(blob.data(), ulBlobLen, nullptr, &ulOutLen);
      if (ulRes == ORVA_OK) {
        wrapped.assign(ulOutLen, 0);
        ulRes = COpenSSLASN1::i2d_SM2Cipher(blob.data(), ulBlobLen, wrapped.data(), &ulOutLen);
      }
      if (ulRes != ORVA_OK) ORVA_LOG_ERROR("COpenSSLASN1::i2d_SM2Cipher() failed! ulRes=0x%x", ulRes);
      break;
  }
  if (ulRes != ORVA_OK) return ulRes;
  wrapped.resize(ulOutLen);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgEncrypt::Init(uint32_t ulAlg, const uint8_t*, uint32_t, uint64_t, StreamPtr pOutputStream) {
  ORVA_LOG_BEGIN();
  if (m_pGMProxy == nullptr || m_hCon == nullptr) {
    ORVA_LOG_ERROR("m_pGMProxy or m_hCon is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_pCryptoCert == nullptr) {
    ORVA_LOG_ERROR("m_pCryptoCert is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_hSymmKey != nullptr) {
    ORVA_LOG_ERROR("m_hSymmKey is NOT NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (!pOutputStream) {
    ORVA_LOG_ERROR("pOutputStream is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  ULONG ulAlgId = 0;
  uint32_t ulRes = orva::skf::SymmAlgId(ulAlg, &ulAlgId);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_PUBLIC_KEY_RECORD key;
  ulRes = orva::skf::CertPublicKey(m_pCryptoCert, key);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_INFO("The encrypt cerificate alg:0x%x", key.algorithm);

  std::vector<uint8_t> wrapped;
  if (key.algorithm == PUBKEY_ALG_RSA) {
    ulRes = _WrapRsa(ulAlgId, key, wrapped);
  } else if (key.algorithm == PUBKEY_ALG_SM2) {
    ulRes = _WrapSm2(ulAlgId, key, wrapped);
  } else {
    ORVA_LOG_ERROR("Certificate is not supported!");
    ulRes = ORVA_E_BAD_INPUT;
  }
  if (ulRes == ORVA_OK) {
    uint32_t ulLen = static_cast<uint32_t>(wrapped.size());
    const uint8_t header[4] = {static_cast<uint8_t>(ulLen), static_cast<uint8_t>(ulLen >> 8),
                               static_cast<uint8_t>(ulLen >> 16), static_cast<uint8_t>(ulLen >> 24)};
    ulRes = orva::skf::WriteAll(pOutputStream.get(), header, sizeof header);
    if (ulRes == ORVA_OK) ulRes = orva::skf::WriteAll(pOutputStream.get(), wrapped.data(), ulLen);
  }
  if (ulRes == ORVA_OK) {
    ULONG rv = GM_CALL(SKF_EncryptInit, m_hSymmKey, m_param);
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_EncryptInit() failed! ulRes=0x%x", rv);
      ulRes = CGMDeviceProxy::TranslateResult(rv);
    }
  }
  if (ulRes != ORVA_OK) {
    _CloseKey();
    return ulRes;
  }
  m_pOutputStream = std::move(pOutputStream);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgEncrypt::_EncryptChunk(const uint8_t* pbData, uint32_t ulLen) {
  size_t pos = m_pieceOut.size();
  m_pieceOut.resize(pos + kTokenChunkOut);
  ULONG ulOutLen = kTokenChunkOut;
  ULONG rv = GM_CALL(SKF_EncryptUpdate, m_hSymmKey, const_cast<BYTE*>(pbData), ulLen, m_pieceOut.data() + pos,
                     &ulOutLen);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_EncryptUpdate() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  if (ulOutLen > kTokenChunkOut) {
    ORVA_LOG_ERROR("SKF_EncryptUpdate() length is wrong! ulOutLen=0x%x", ulOutLen);
    return ORVA_E_BAD_INPUT;
  }
  m_pieceOut.resize(pos + ulOutLen);
  return ORVA_OK;
}

uint32_t CGMMsgEncrypt::Update(const uint8_t* pbData, uint32_t ulLen, bool bLast) {
  ORVA_LOG_BEGIN();
  if (m_hSymmKey == nullptr || !m_pOutputStream) {
    ORVA_LOG_ERROR("m_hSymmKey is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pbData == nullptr && ulLen != 0) {
    ORVA_LOG_ERROR("lpInData is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!bLast && ulLen % 16 != 0) {
    ORVA_LOG_ERROR("ulInLen is wrong! ulInLen=0x%x", ulLen);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  m_pieceOut.clear();
  m_pieceOut.reserve(static_cast<size_t>(ulLen) + kTokenChunkOut);
  for (uint32_t ulDone = 0; ulDone < ulLen;) {
    uint32_t ulChunk = std::min(ulLen - ulDone, kTokenChunk);
    uint32_t ulRes;
    if (bLast && m_param.PaddingType == 0 && ulDone + ulChunk == ulLen && ulChunk % 16 != 0) {
      // Without padding the token takes whole blocks: the end of the content is zero-filled.
      uint8_t padded[kTokenChunk] = {};
      std::memcpy(padded, pbData + ulDone, ulChunk);
      ulRes = _EncryptChunk(padded, (ulChunk + 15) / 16 * 16);
    } else {
      ulRes = _EncryptChunk(pbData + ulDone, ulChunk);
    }
    if (ulRes != ORVA_OK) return ulRes;
    ulDone += ulChunk;
  }
  uint32_t ulRes = orva::skf::WriteAll(m_pOutputStream.get(), m_pieceOut.data(),
                                       static_cast<uint32_t>(m_pieceOut.size()));
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgEncrypt::Final(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
  ORVA_LOG_BEGIN();
  if (m_hSymmKey == nullptr || !m_pOutputStream) {
    ORVA_LOG_ERROR("m_hSymmKey is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint8_t out[kTokenChunkOut];
  ULONG ulOutLen = sizeof out;
  ULONG rv = GM_CALL(SKF_EncryptFinal, m_hSymmKey, out, &ulOutLen);
  _CloseKey();
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_EncryptFinal() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  if (ulOutLen > sizeof out) {
    ORVA_LOG_ERROR("SKF_EncryptFinal() length is wrong! ulOutLen=0x%x", ulOutLen);
    return ORVA_E_BAD_INPUT;
  }
  uint32_t ulRes = orva::skf::WriteAll(m_pOutputStream.get(), out, ulOutLen);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}
