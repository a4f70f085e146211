#include "devices/skf/GMMsgDecrypt.h"

#include <algorithm>
#include <cstring>

#include "crypto/OpenSSLASN1.h"
#include "crypto/SM2CipherConvert.h"
#include "devices/skf/GMSessionUtil.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

using orva::skf::kTokenChunk;
using orva::skf::kTokenChunkOut;
using orva::skf::kWrappedKeyMax;

CGMMsgDecrypt::CGMMsgDecrypt(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, HCONTAINER hCon, uint32_t ulEnvelopType,
                             uint32_t ulPaddingType)
    : m_pGMProxy(pGMProxy), m_hDev(hDev), m_hCon(hCon), m_ulEnvelopType(ulEnvelopType) {
  m_param.IVLen = 16;  // the IV itself stays all zero
  m_param.PaddingType = ulPaddingType;
  m_param.FeedBitLen = 0;
}

CGMMsgDecrypt::~CGMMsgDecrypt() { _CloseKey(); }

void CGMMsgDecrypt::_CloseKey() {
  if (m_hSymmKey == nullptr || m_pGMProxy == nullptr) return;
  GM_CALL(SKF_CloseHandle, m_hSymmKey);
  m_hSymmKey = nullptr;
}

uint32_t CGMMsgDecrypt::_Sm2CipherBlob(uint32_t ulEnvelopType, const uint8_t* pbWrapped, uint32_t ulWrappedLen,
                                       std::vector<uint8_t>& blob) {
  ORVA_LOG_BEGIN();
  blob.clear();
  const uint32_t ulMaxCipher = kWrappedKeyMax - SKF_ECCCIPHERBLOB_HEADER;
  uint32_t ulNeed = 0;
  if (ulEnvelopType == 1) {
    // 0x04 || X || Y || HASH || at least one byte of wrapped key.
    if (ulWrappedLen <= SM2_PLAIN_HEADER || pbWrapped[0] != 0x04 || ulWrappedLen - SM2_PLAIN_HEADER > ulMaxCipher) {
      ORVA_LOG_ERROR("The SM2 normal cipher is wrong! ulLen=0x%x", ulWrappedLen);
      return ORVA_E_BAD_INPUT;
    }
    if (CSM2CipherConvert::Normal2Raw(pbWrapped, ulWrappedLen, nullptr, &ulNeed) != ORVA_OK ||
        ulNeed > kWrappedKeyMax) {
      ORVA_LOG_ERROR("CSM2CipherConvert::Normal2Raw() failed! ulLen=0x%x", ulWrappedLen);
      return ORVA_E_BAD_INPUT;
    }
    blob.assign(ulNeed, 0);
    if (CSM2CipherConvert::Normal2Raw(pbWrapped, ulWrappedLen, blob.data(), &ulNeed) != ORVA_OK) {
      ORVA_LOG_ERROR("CSM2CipherConvert::Normal2Raw() failed! ulLen=0x%x", ulWrappedLen);
      blob.clear();
      return ORVA_E_BAD_INPUT;
    }
  } else if (ulEnvelopType == 4) {
    // The DER lengths are checked by the decoder before anything is copied.
    if (COpenSSLASN1::d2i_SM2Cipher(pbWrapped, ulWrappedLen, nullptr, &ulNeed) != ORVA_OK ||
        ulNeed > kWrappedKeyMax) {
      ORVA_LOG_ERROR("COpenSSLASN1::d2i_SM2Cipher() failed! ulLen=0x%x", ulWrappedLen);
      return ORVA_E_BAD_INPUT;
    }
    blob.assign(ulNeed, 0);
    if (COpenSSLASN1::d2i_SM2Cipher(pbWrapped, ulWrappedLen, blob.data(), &ulNeed) != ORVA_OK) {
      ORVA_LOG_ERROR("COpenSSLASN1::d2i_SM2Cipher() failed! ulLen=0x%x", ulWrappedLen);
      blob.clear();
      return ORVA_E_BAD_INPUT;
    }
  } else {
    // The blob as it stands: its CipherLen must fit the bytes present.
    if (ulWrappedLen <= SKF_ECCCIPHERBLOB_HEADER) {
      ORVA_LOG_ERROR("The SM2 cipher blob is too short! ulLen=0x%x", ulWrappedLen);
      return ORVA_E_BAD_INPUT;
    }
    const uint8_t* pLen = pbWrapped + SM2_BLOB_CIPHERLEN;
    uint32_t ulCipherLen = static_cast<uint32_t>(pLen[0]) | (static_cast<uint32_t>(pLen[1]) << 8) |
                           (static_cast<uint32_t>(pLen[2]) << 16) | (static_cast<uint32_t>(pLen[3]) << 24);
    if (ulCipherLen == 0 || ulCipherLen > ulWrappedLen - SKF_ECCCIPHERBLOB_HEADER || ulCipherLen > ulMaxCipher) {
      ORVA_LOG_ERROR("The SM2 cipher blob length is wrong! CipherLen=0x%x, ulLen=0x%x", ulCipherLen, ulWrappedLen);
      return ORVA_E_BAD_INPUT;
    }
    ulNeed = SKF_ECCCIPHERBLOB_HEADER + ulCipherLen;
    blob.assign(pbWrapped, pbWrapped + ulNeed);
  }
  blob.resize(ulNeed);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgDecrypt::Init(uint32_t ulAlg, const uint8_t* pbParam, uint32_t ulParamLen, uint64_t,
                             StreamPtr pOutputStream) {
  ORVA_LOG_BEGIN();
  if (m_pGMProxy == nullptr || m_hCon == nullptr) {
    ORVA_LOG_ERROR("m_pGMProxy or m_hCon is NULL!");
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
  if (pbParam == nullptr || ulParamLen == 0) {
    ORVA_LOG_ERROR("lpWrappedKey is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  ULONG ulAlgId = 0;
  uint32_t ulRes = orva::skf::SymmAlgId(ulAlg, &ulAlgId);
  if (ulRes != ORVA_OK) return ulRes;
  ULONG ulType = 0;
  ULONG rv = GM_CALL(SKF_GetContainerType, m_hCon, &ulType);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_GetContainerType() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  ORVA_LOG_INFO("This container type is:0x%x!", ulType);
  ORVA_LOG_INFO("Wrapped key blob length:0x%x", ulParamLen);

  std::vector<uint8_t> wrapped;
  if (ulType == SKF_CONTAINER_RSA) {
    if (ulParamLen != 128 && ulParamLen != 256) {
      ORVA_LOG_ERROR("Wrapped key blob lenght is wrong! The length should be 128 or 256.");
      return ORVA_E_BAD_INPUT;
    }
    wrapped.assign(pbParam, pbParam + ulParamLen);
  } else if (ulType == SKF_CONTAINER_ECC) {
    ulRes = _Sm2CipherBlob(m_ulEnvelopType, pbParam, ulParamLen, wrapped);
    if (ulRes != ORVA_OK) return ulRes;
  } else {
    ORVA_LOG_ERROR("Container type is wrong!");
    return ORVA_E_CALL_FAILED;
  }
  HANDLE hKey = nullptr;
  rv = GM_CALL(SKF_ImportSessionKey, m_hCon, ulAlgId, wrapped.data(), static_cast<ULONG>(wrapped.size()), &hKey);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_ImportSessionKey() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  m_hSymmKey = hKey;
  if (hKey == nullptr) {
    ORVA_LOG_ERROR("SKF_ImportSessionKey() gave no key!");
    return ORVA_E_CALL_FAILED;
  }
  rv = GM_CALL(SKF_DecryptInit, m_hSymmKey, m_param);
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_DecryptInit() failed! ulRes=0x%x", rv);
    _CloseKey();
    return CGMDeviceProxy::TranslateResult(rv);
  }
  m_pOutputStream = std::move(pOutputStream);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgDecrypt::Update(const uint8_t* pbData, uint32_t ulLen, bool) {
  ORVA_LOG_BEGIN();
  if (m_hSymmKey == nullptr || !m_pOutputStream) {
    ORVA_LOG_ERROR("m_hSymmKey is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pbData == nullptr && ulLen != 0) {
    ORVA_LOG_ERROR("lpInData is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (ulLen % 16 != 0) {
    ORVA_LOG_ERROR("ulInLen is wrong! ulInLen=0x%x", ulLen);
    return ORVA_E_BAD_INPUT_LENGTH;
  }
  // Wiped after every piece: a reallocation for a larger piece gives back only zeros. Within a
  // piece the buffer never moves: plain text never runs more than the cipher's hold-back
  // ahead of the input (checked below), so the room reserved here always suffices.
  constexpr size_t kHoldBack = kTokenChunkOut - kTokenChunk;
  m_pieceOut.reserve(static_cast<size_t>(ulLen) + kHoldBack + kTokenChunkOut);
  size_t pos = 0;
  uint32_t ulRes = ORVA_OK;
  for (uint32_t ulDone = 0; ulDone < ulLen && ulRes == ORVA_OK;) {
    uint32_t ulChunk = std::min(ulLen - ulDone, kTokenChunk);
    m_pieceOut.resize(pos + kTokenChunkOut);
    ULONG ulOutLen = kTokenChunkOut;
    ULONG rv = GM_CALL(SKF_DecryptUpdate, m_hSymmKey, const_cast<BYTE*>(pbData + ulDone), ulChunk,
                       m_pieceOut.data() + pos, &ulOutLen);
    if (rv != SAR_OK) {
      ORVA_LOG_ERROR("SKF_DecryptUpdate() failed! ulRes=0x%x", rv);
      ulRes = CGMDeviceProxy::TranslateResult(rv);
    } else if (ulOutLen > kTokenChunkOut || pos + ulOutLen > static_cast<size_t>(ulDone) + ulChunk + kHoldBack) {
      ORVA_LOG_ERROR("SKF_DecryptUpdate() length is wrong! ulOutLen=0x%x", ulOutLen);
      ulRes = ORVA_E_BAD_INPUT;
    } else {
      pos += ulOutLen;
      ulDone += ulChunk;
    }
  }
  if (ulRes == ORVA_OK)
    ulRes = orva::skf::WriteAll(m_pOutputStream.get(), m_pieceOut.data(), static_cast<uint32_t>(pos));
  OrvaSecureZero(m_pieceOut.data(), m_pieceOut.size());
  m_pieceOut.clear();
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CGMMsgDecrypt::Final(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
  ORVA_LOG_BEGIN();
  if (m_hSymmKey == nullptr || !m_pOutputStream) {
    ORVA_LOG_ERROR("m_hSymmKey is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint8_t out[kTokenChunkOut];
  ULONG ulOutLen = sizeof out;
  ULONG rv = GM_CALL(SKF_DecryptFinal, m_hSymmKey, out, &ulOutLen);
  _CloseKey();
  if (rv != SAR_OK) {
    ORVA_LOG_ERROR("SKF_DecryptFinal() failed! ulRes=0x%x", rv);
    return CGMDeviceProxy::TranslateResult(rv);
  }
  if (ulOutLen > sizeof out) {
    ORVA_LOG_ERROR("SKF_DecryptFinal() length is wrong! ulOutLen=0x%x", ulOutLen);
    return ORVA_E_BAD_INPUT;
  }
  uint32_t ulRes = orva::skf::WriteAll(m_pOutputStream.get(), out, ulOutLen);
  OrvaSecureZero(out, sizeof out);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}
