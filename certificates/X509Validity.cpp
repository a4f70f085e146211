// Certificate status (get_ValidType): validity period, chain up to an accepted root, and
// revocation, run in that order and stopping at the first check that fails.
#include <ctime>

#include "certificates/X509Certificate.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

uint32_t CX509Certificate::get_ValidType(uint32_t ulFlags, uint32_t* pulStatus) const {
  ORVA_LOG_BEGIN();
  if (pulStatus == nullptr) {
    ORVA_LOG_ERROR("pulStatus is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  *pulStatus = 0;
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulRes = ORVA_OK;
  if (ulFlags & ORVA_CERT_CHECK_TIME) {
    ulRes = _CheckCertValidTime(pulStatus);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_CheckCertValidTime() failed! ulRes = 09x%x", ulRes);
      return ulRes;
    }
    if (*pulStatus & (ORVA_CERT_STATUS_NOT_YET_VALID | ORVA_CERT_STATUS_EXPIRED)) {
      ORVA_LOG_INFO("This certificate is not in valid time!");
      return ORVA_OK;
    }
  }
  if (ulFlags & ORVA_CERT_CHECK_CHAIN) {
    ulRes = _CheckCertSignatureAndIssuer(pulStatus);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_CheckCertSignatureAndIssuer() failed! ulRes = 09x%x", ulRes);
      return ulRes;
    }
    if (*pulStatus & (ORVA_CERT_STATUS_BAD_SIGNATURE | ORVA_CERT_STATUS_BAD_ISSUER |
                      ORVA_CERT_STATUS_BAD_ROOT)) {
      ORVA_LOG_INFO("This certificate has no valid signature or issuer!");
      return ORVA_OK;
    }
  }
  if (ulFlags & ORVA_CERT_CHECK_CRL) {
    ulRes = _CheckCertInCRL(pulStatus);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_CheckCertInCRL() failed! ulRes = 0x%x", ulRes);
      return ulRes;
    }
    if (*pulStatus & ORVA_CERT_STATUS_REVOKED) {
      ORVA_LOG_INFO("This certificate is revoked!");
      return ORVA_OK;
    }
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_CheckCertValidTime(uint32_t* pulStatus) const {
  ORVA_LOG_BEGIN();
  ORVA_CERT_TIME notBefore, notAfter;
  uint32_t ulRes = get_ValidDate(&notBefore, &notAfter);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("get_ValidDate() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  // Instants compare the same in local time and in UTC; equal times count as valid.
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (notBefore.llUtcSeconds > now) {
    ORVA_LOG_INFO("The certificate is not valid yet!");
    *pulStatus |= ORVA_CERT_STATUS_NOT_YET_VALID;
  } else if (now > notAfter.llUtcSeconds) {
    ORVA_LOG_INFO("The certificate is expired!");
    *pulStatus |= ORVA_CERT_STATUS_EXPIRED;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

// Placeholder until the chain check (store walk, signatures, accepted authority keys) is built.
uint32_t CX509Certificate::_CheckCertSignatureAndIssuer(uint32_t* pulStatus) const {
  ORVA_LOG_ERROR("The chain check is not available yet!");
  return ORVA_E_NOT_SUPPORTED;
}

// Placeholder until the revocation check (distribution point, cache, LDAP and HTTP) is built.
uint32_t CX509Certificate::_CheckCertInCRL(uint32_t* pulStatus) const {
  ORVA_LOG_ERROR("The revocation check is not available yet!");
  return ORVA_E_NOT_SUPPORTED;
}
