#include "crypto/SignedData.h"

#include <cstring>
#include <ctime>
#include <string>

#include "foundation/Buffer.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {
constexpr const char* kSm2SignOid = "1.2.156.10197.1.301";

struct DigestOidRow {
  const char* oid;
  uint32_t alg;
};
constexpr DigestOidRow kDigestOids[] = {
    {"1.2.156.10197.1.401", HASH_SM3},     {"1.2.840.113549.2.5", HASH_MD5},
    {"1.3.14.3.2.18", HASH_SHA1},          {"1.3.14.3.2.26", HASH_SHA1},
    {"2.16.840.1.101.3.4.2.1", HASH_SHA256}, {"2.16.840.1.101.3.4.2.2", HASH_SHA384},
    {"2.16.840.1.101.3.4.2.3", HASH_SHA512},
};
}  // namespace

uint32_t CSignedData::SetSignature(const uint8_t* lpSignature, uint32_t ulSignLen) {
  ORVA_LOG_BEGIN();
  if (lpSignature == nullptr || ulSignLen == 0) {
    ORVA_LOG_ERROR("lpSignature or ulSignLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  m_pSignature.assign(lpSignature, lpSignature + ulSignLen);
  m_ulSignLen = ulSignLen;
  m_pContent.clear();
  m_ulContentLen = 0;
  _Classify();
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedData::SetSignedData(const uint8_t*, uint32_t, const uint8_t* lpSignature, uint32_t ulSignLen) {
  return SetSignature(lpSignature, ulSignLen);
}

void CSignedData::_Classify() {
  m_pSignedP7.reset();
  const uint8_t* p = m_pSignature.data();
  uint32_t n = m_ulSignLen;
  // Raw and PKCS#1 signatures are told apart by length; a signed-data structure that happens
  // to be exactly 128 or 256 bytes long is still PKCS#7.
  bool bP7 = (n == 128 || n == 256) ? CSignedP7::IsSignedData(p, n) : n > 127;
  if (!bP7) {
    if (n <= 127) {
      m_ulSignType = SIGN_TYPE_DER;
      m_ulSignAlg = ALG_SM2;
    } else if (n == 128 && std::memcmp(p, p + 64, 32) == 0) {
      m_ulSignType = SIGN_TYPE_RAW;
      m_ulSignAlg = ALG_SM2;
    } else {
      m_ulSignType = SIGN_TYPE_PKCS1;
      m_ulSignAlg = ALG_RSA;
    }
  } else {
    m_ulSignType = SIGN_TYPE_PKCS7;
    m_ulSignAlg = ALG_RSA;
    auto p7 = std::make_unique<CSignedP7>();
    if (p7->decode(p, n) != ORVA_OK) {
      ORVA_LOG_ERROR("pSignedP7->decode() failed!");
      return;
    }
    char oid[128];
    uint32_t len = sizeof oid;
    if (p7->get_sign_alg(oid, &len) == ORVA_OK && std::strcmp(oid, kSm2SignOid) == 0) m_ulSignAlg = ALG_SM2;
    m_pSignedP7 = std::move(p7);
  }
  ORVA_LOG_INFO("Signature type: 0x%x, alg: 0x%x", m_ulSignType, m_ulSignAlg);
}

uint32_t CSignedData::GetSignature(uint8_t* lpOrgData, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (m_pSignature.empty() || m_ulSignLen == 0) {
    ORVA_LOG_ERROR("m_pSignature or ulSignLen is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (lpOrgData == nullptr) {
    *pulLen = m_ulSignLen;
    ORVA_LOG_INFO("Return request length:0x%x", m_ulSignLen);
    return ORVA_OK;
  }
  if (*pulLen < m_ulSignLen) {
    ORVA_LOG_ERROR("lpOrgData buffer is too small! Request length is:0x%x", m_ulSignLen);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(lpOrgData, m_pSignature.data(), m_ulSignLen);
  *pulLen = m_ulSignLen;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedData::GetOrgData(uint8_t* lpOrgData, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (m_ulSignType == SIGN_TYPE_PKCS7 && m_pSignedP7) {
    uint32_t ulRes = m_pSignedP7->pkcs7_get_content(lpOrgData, pulLen);
    if (ulRes == ORVA_OK || ulRes == ORVA_E_BUFFER_TOO_SMALL) return ulRes;
    ORVA_LOG_ERROR("pkcs7_get_content() failed! ulRes=0x%x", ulRes);
  }
  *pulLen = 0;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedData::GetCertificate(uint8_t* lpCert, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (m_ulSignType != SIGN_TYPE_PKCS7) {
    ORVA_LOG_ERROR("This is not a P7 signature!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_pSignedP7) {
    uint32_t ulRes = m_pSignedP7->pkcs7_get_cert(lpCert, pulLen);
    if (ulRes == ORVA_OK || ulRes == ORVA_E_BUFFER_TOO_SMALL) return ulRes;
    ORVA_LOG_ERROR("pkcs7_get_cert() failed! ulRes=0x%x", ulRes);
  }
  *pulLen = 0;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedData::GetLocalTime(ORVA_SYSTEMTIME* pTime) const {
  ORVA_LOG_BEGIN();
  if (pTime == nullptr) {
    ORVA_LOG_ERROR("pTime is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (m_pSignature.empty() || m_ulSignLen == 0) {
    ORVA_LOG_ERROR("m_pSignature or m_ulSignLen is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_ulSignType != SIGN_TYPE_PKCS7) {
    ORVA_LOG_ERROR("This is not a P7 signature!");
    return ORVA_E_INVALID_CALL;
  }
  int64_t llTime = 0;
  uint32_t ulRes = m_pSignedP7 ? m_pSignedP7->get_timestamp(&llTime) : ORVA_E_INVALID_CALL;
  struct tm tm {};
  time_t t = static_cast<time_t>(llTime);
  if (ulRes != ORVA_OK || localtime_r(&t, &tm) == nullptr) {
    ORVA_LOG_ERROR("get_timestamp() failed! ulRes=0x%x", ulRes);
    return ORVA_E_CALL_FAILED;
  }
  pTime->wYear = static_cast<uint16_t>(tm.tm_year + 1900);
  pTime->wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
  pTime->wDayOfWeek = static_cast<uint16_t>(tm.tm_wday);
  pTime->wDay = static_cast<uint16_t>(tm.tm_mday);
  pTime->wHour = static_cast<uint16_t>(tm.tm_hour);
  pTime->wMinute = static_cast<uint16_t>(tm.tm_min);
  pTime->wSecond = static_cast<uint16_t>(tm.tm_sec);
  pTime->wMilliseconds = 0;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedData::GetDigestAlg(uint32_t* pulAlg) const {
  ORVA_LOG_BEGIN();
  if (pulAlg == nullptr) {
    ORVA_LOG_ERROR("pulAlg is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  *pulAlg = 0;
  if (m_ulSignType == SIGN_TYPE_PKCS7 && m_pSignedP7) {
    char oid[128] = {};
    uint32_t len = sizeof oid;
    if (m_pSignedP7->get_digest_alg(oid, &len) == ORVA_OK) {
      for (const DigestOidRow& r : kDigestOids)
        if (std::strcmp(oid, r.oid) == 0) *pulAlg = r.alg;
      if (*pulAlg == 0) ORVA_LOG_ERROR("Digest alg oid is unknown! csDigestOid = %s", oid);
    }
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedData::GetSignAlg(uint32_t* pulAlg) const {
  if (pulAlg == nullptr) return ORVA_E_INVALID_PARAM;
  *pulAlg = m_ulSignAlg;
  return ORVA_OK;
}

uint32_t CSignedData::GetSignType(uint32_t* pulType) const {
  if (pulType == nullptr) return ORVA_E_INVALID_PARAM;
  *pulType = m_ulSignType;
  return ORVA_OK;
}
