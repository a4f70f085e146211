#include "crypto/EnvelopedData.h"

#include <cstring>

#include "crypto/OpenSSLASN1.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

// Longest wrapped key whose bytes are read (SM2 cipher blob of a 32-byte key).
constexpr uint32_t kMaxReadHeader = 196;

bool IsRsaLength(uint32_t L) {
  return L == 128 || L == 140 || L == 256 || L == 268 || L == 512 || L == 524;
}

// A whole GM/T 0009 SM2 ciphertext (SEQUENCE { x, y, hash(32), ciphertext }).
bool IsSm2DerCipher(const uint8_t* p, uint32_t L) {
  if (L > kMaxReadHeader || L < 8 || p[0] != 0x30) return false;
  uint32_t ulBlobLen = 0;
  return COpenSSLASN1::d2i_SM2Cipher(p, L, nullptr, &ulBlobLen) == ORVA_OK;
}

// Shared classification: alg 1/2 and type 1/2/3/4, or an error code.
uint32_t Classify(const uint8_t* lpHeader, uint32_t L, uint32_t* pulAlg, uint32_t* pulType) {
  if (L <= 3) {
    ORVA_LOG_ERROR("ulLen is wrong! ulLen = 0x%x", L);
    return ORVA_E_INVALID_PARAM;
  }
  if (IsSm2DerCipher(lpHeader, L)) {
    ORVA_LOG_INFO("Is a SM2 DER cipher!");
    *pulAlg = ALG_SM2;
    *pulType = 4;
    return ORVA_OK;
  }
  if (IsRsaLength(L)) {
    ORVA_LOG_INFO("Is a RSA P1 cipher!");
    *pulAlg = ALG_RSA;
    *pulType = 1;
    return ORVA_OK;
  }
  if (L >= 98 && L <= 130) {
    *pulAlg = ALG_SM2;
    if (lpHeader[0] == 0x04) {
      ORVA_LOG_INFO("Is a SM2 normal cipher!");
      *pulType = 1;
    } else {
      ORVA_LOG_INFO("Is a SM2 DER cipher!");
      *pulType = 4;
    }
    return ORVA_OK;
  }
  if (L >= 166 && L <= 196) {
    ORVA_LOG_INFO("Is a SM2 raw cipher!");
    *pulAlg = ALG_SM2;
    *pulType = 3;
    return ORVA_OK;
  }
  if (L > 256) {
    *pulAlg = 0;  // PKCS#7: the key algorithm is not in the header
    *pulType = 2;
    return ORVA_OK;
  }
  ORVA_LOG_ERROR("ulLen is wrong! ulLen = 0x%x", L);
  return ORVA_E_BAD_INPUT;
}

}  // namespace

CEnvelopedData::~CEnvelopedData() = default;

uint32_t CEnvelopedData::SetEnvelopedData(const uint8_t* lpEnvelopedData, uint32_t ulEnvelopedLen) {
  ORVA_LOG_BEGIN();
  if (lpEnvelopedData == nullptr || ulEnvelopedLen == 0) {
    ORVA_LOG_ERROR("lpEnvelopedData or ulEnvelopedLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  m_pEnvelopedData.assign(lpEnvelopedData, lpEnvelopedData + ulEnvelopedLen);
  m_ulEnvelopedLen = ulEnvelopedLen;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CEnvelopedData::GetEnvelopedData(uint8_t* lpEnvelopedData, uint32_t* pulEnvelopedLen) const {
  ORVA_LOG_BEGIN();
  if (pulEnvelopedLen == nullptr) {
    ORVA_LOG_ERROR("pulEnvelopedLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!m_pEnvelopedData.empty()) {
    if (lpEnvelopedData == nullptr) {
      *pulEnvelopedLen = m_ulEnvelopedLen;
      ORVA_LOG_INFO("Return requsted length:0x%x", m_ulEnvelopedLen);
      return ORVA_OK;
    }
    if (*pulEnvelopedLen < m_ulEnvelopedLen) {
      ORVA_LOG_ERROR("Buffer is too small! Requested length:0x%x", m_ulEnvelopedLen);
      return ORVA_E_BUFFER_TOO_SMALL;
    }
    std::memcpy(lpEnvelopedData, m_pEnvelopedData.data(), m_ulEnvelopedLen);
    *pulEnvelopedLen = m_ulEnvelopedLen;
    ORVA_LOG_END();
    return ORVA_OK;
  }
  if (!m_pEnvelopedStream) {
    ORVA_LOG_ERROR("No any enveloped data!");
    return ORVA_E_INVALID_CALL;
  }
  uint64_t ullSize = 0;
  uint32_t ulRes = GetStreamSize(m_pEnvelopedStream.get(), &ullSize);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("GetStreamSize() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  if (ullSize > kMaxEnvelopedLen) {
    ORVA_LOG_ERROR("Enveloped data length is large! Length:0x%llx", static_cast<unsigned long long>(ullSize));
    return ORVA_E_DATA_TOO_LONG;
  }
  uint32_t ulSize = static_cast<uint32_t>(ullSize);
  if (lpEnvelopedData == nullptr) {
    *pulEnvelopedLen = ulSize;
    ORVA_LOG_INFO("Return enveloped data length:0x%x", ulSize);
    return ORVA_OK;
  }
  if (*pulEnvelopedLen < ulSize) {
    ORVA_LOG_ERROR("Buffer is too small! Request length is:0x%x", ulSize);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  // A read may return fewer bytes than asked: read in pieces until the size is reached.
  uint32_t ulDone = 0;
  while (ulDone < ulSize) {
    uint32_t ulRead = 0;
    ulRes = m_pEnvelopedStream->Read(lpEnvelopedData + ulDone, ulSize - ulDone, &ulRead);
    if (ulRes != ORVA_OK || ulRead == 0) {
      ORVA_LOG_ERROR("Read data from stream failed! ulRes=0x%x", ulRes);
      return ulRes != ORVA_OK ? ulRes : ORVA_E_STREAM_READ;
    }
    ulDone += ulRead;
  }
  *pulEnvelopedLen = ulSize;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CEnvelopedData::SetEnvelopedStream(StreamPtr pStream) {
  ORVA_LOG_BEGIN();
  if (!pStream) {
    ORVA_LOG_ERROR("pStream is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  m_pEnvelopedStream = std::move(pStream);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CEnvelopedData::GetEnvelopedStream(StreamPtr* ppStream) const {
  ORVA_LOG_BEGIN();
  if (ppStream == nullptr) {
    ORVA_LOG_ERROR("ppStream is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (m_pEnvelopedStream) *ppStream = m_pEnvelopedStream;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CEnvelopedData::GetEnvelopAlg(const uint8_t* lpHeader, uint32_t ulLen, uint32_t* pulAlg) {
  ORVA_LOG_BEGIN();
  if (lpHeader == nullptr || pulAlg == nullptr) {
    ORVA_LOG_ERROR("lpHeader is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulAlg = 0, ulType = 0;
  uint32_t ulRes = Classify(lpHeader, ulLen, &ulAlg, &ulType);
  if (ulRes != ORVA_OK) return ulRes;
  if (ulType == 2) {
    ORVA_LOG_ERROR("ulLen is wrong! ulLen = 0x%x", ulLen);
    return ORVA_E_BAD_INPUT;
  }
  *pulAlg = ulAlg;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CEnvelopedData::GetEnvelopType(const uint8_t* lpHeader, uint32_t ulLen, uint32_t* pulType) {
  ORVA_LOG_BEGIN();
  if (lpHeader == nullptr || pulType == nullptr) {
    ORVA_LOG_ERROR("lpHeader is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t ulAlg = 0, ulType = 0;
  uint32_t ulRes = Classify(lpHeader, ulLen, &ulAlg, &ulType);
  if (ulRes != ORVA_OK) return ulRes;
  *pulType = ulType;
  ORVA_LOG_END();
  return ORVA_OK;
}
