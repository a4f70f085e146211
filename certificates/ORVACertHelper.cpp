#include "certificates/ORVACertHelper.h"

#include <cstdio>
#include <cstring>

#include "certificates/CertificateStore.h"
#include "certificates/X509Certificate.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

constexpr const char* kOidIdCard = "1.2.156.10260.4.1.1";
constexpr const char* kOidSocialSecurity = "1.2.156.10260.4.1.2";
constexpr const char* kOidBusinessReg = "1.2.156.10260.4.1.3";
constexpr const char* kOidOrgCode = "1.2.156.10260.4.1.4";
constexpr const char* kOidTaxCode = "1.2.156.10260.4.1.5";
constexpr const char* kOidUscCode = "1.2.156.112573.5";
constexpr const char* kNodeIdNumber = "2.5.4.1";
constexpr const char* kNodePhone = "Phone";

// Characters of a UTF-8 text (identity numbers are counted in characters).
size_t CharCount(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

// Byte offset of the last character.
size_t LastCharOffset(const std::string& s) {
  size_t i = s.size();
  while (i > 0) {
    --i;
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) break;
  }
  return i;
}

std::string FormatDate(const ORVA_CERT_TIME& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.stLocal.wYear, t.stLocal.wMonth, t.stLocal.wDay);
  return buf;
}

}  // namespace

bool CORVACertHelper::_GetExtText(CX509Certificate* pCertObj, const char* lpcsOid, std::string& strValue) {
  ORVA_EXT_VALUE v;
  if (pCertObj->get_ExtensionByOid(lpcsOid, &v) != ORVA_OK) return false;
  if (v.vt != ORVA_VT_BSTR || v.strVal.empty()) return false;
  strValue = v.strVal;
  return true;
}

bool CORVACertHelper::_GetSubjectNode(CX509Certificate* pCertObj, const char* lpcsNode,
                                      std::string& strValue) {
  uint32_t hr = pCertObj->get_SubjectName(lpcsNode, strValue);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_SubjectName() failed! hr=0x%x", hr);
    strValue.clear();
    return false;
  }
  return true;
}

#define ORVA_CHECK_CERT_OBJ(ret)             \
  do {                                       \
    if (pCertObj == nullptr) {               \
      ORVA_LOG_ERROR("pCertObj is NULL!");   \
      return ret;                            \
    }                                        \
  } while (0)

std::string CORVACertHelper::GetCertSN(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  std::string sn;
  uint32_t hr = pCertObj->get_SN(sn);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_SN() failed! hr=0x%x", hr);
    return {};
  }
  ORVA_LOG_END();
  return sn;
}

uint32_t CORVACertHelper::GetCertUserType(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ(ORVA_CERT_HOLDER_UNKNOWN);
  std::string value;
  if (_GetExtText(pCertObj, kOidIdCard, value)) {
    ORVA_LOG_INFO("Is an personal certificate!");
    return ORVA_CERT_HOLDER_PERSON;
  }
  if (!_GetSubjectNode(pCertObj, kNodeIdNumber, value)) return ORVA_CERT_HOLDER_UNKNOWN;
  size_t n = CharCount(value);
  uint32_t type = ORVA_CERT_HOLDER_ORG;
  if (n == 18) {
    ORVA_LOG_INFO("Is an unknow certificate!");
    type = ORVA_CERT_HOLDER_UNKNOWN;
  } else if (n == 15) {
    ORVA_LOG_INFO("Is an personal certificate!");
    type = ORVA_CERT_HOLDER_PERSON;
  } else {
    ORVA_LOG_INFO("Is an ORG certificate!");
  }
  ORVA_LOG_END();
  return type;
}

uint32_t CORVACertHelper::GetCertKeyAlg(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ(0);
  uint32_t ulType = 0;
  uint32_t hr = pCertObj->get_KeyType(&ulType);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_KeyType() failed! hr=0x%x", hr);
    return 0;
  }
  ORVA_LOG_END();
  return ulType;
}

uint32_t CORVACertHelper::GetCertDigestAlg(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ(0);
  uint32_t ulAlg = 0;
  uint32_t hr = pCertObj->get_DigestAlg(&ulAlg);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_DigestAlg() failed! hr=0x%x", hr);
    return 0;
  }
  ORVA_LOG_END();
  return ulAlg;
}

uint32_t CORVACertHelper::GetCertUsageType(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ(0);
  uint32_t ulUsage = 0;
  uint32_t hr = pCertObj->get_KeyUsage(&ulUsage);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_KeyUsage() failed! hr=0x%x", hr);
    return 0;
  }
  ORVA_LOG_END();
  return ulUsage;
}

uint32_t CORVACertHelper::GetCertIsRegisted(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ(0);
  std::string sn;
  uint32_t hr = pCertObj->get_SN(sn);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_SN() failed! hr=0x%x", hr);
    return 0;
  }
  CCertificateStore certStore;
  hr = certStore.Open();
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("certStore.Open() failed! hr=0x%x", hr);
    return 0;
  }
  bool found = certStore.FindCertificateBySN(sn.c_str()) != nullptr;
  certStore.Close();
  ORVA_LOG_END();
  return found ? 1 : 0;
}

std::string CORVACertHelper::GetCertSubject(CX509Certificate* pCertObj, const char* lpcsNode) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  std::string value;
  uint32_t hr = pCertObj->get_SubjectName(lpcsNode, value);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_SubjectName() failed! hr=0x%x", hr);
    return {};
  }
  ORVA_LOG_END();
  return value;
}

std::string CORVACertHelper::GetCertIssuer(CX509Certificate* pCertObj, const char* lpcsNode) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  std::string value;
  uint32_t hr = pCertObj->get_IssuerName(lpcsNode, value);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_IssuerName() failed! hr=0x%x", hr);
    return {};
  }
  ORVA_LOG_END();
  return value;
}

std::string CORVACertHelper::GetCertValidFrom(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  ORVA_CERT_TIME t;
  uint32_t hr = pCertObj->get_ValidDate(&t, nullptr);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_ValidDate() failed! hr=0x%x", hr);
    return {};
  }
  ORVA_LOG_END();
  return FormatDate(t);
}

std::string CORVACertHelper::GetCertValidUntil(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  ORVA_CERT_TIME t;
  uint32_t hr = pCertObj->get_ValidDate(nullptr, &t);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_ValidDate() failed! hr=0x%x", hr);
    return {};
  }
  ORVA_LOG_END();
  return FormatDate(t);
}

std::string CORVACertHelper::GetCertKeyIdentifier(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  std::string value;
  uint32_t hr = pCertObj->get_KeyIdentifier(value);
  if (hr != ORVA_OK) {
    ORVA_LOG_ERROR("get_KeyIdentifier() failed! hr=0x%x", hr);
    return {};
  }
  ORVA_LOG_END();
  return value;
}

std::string CORVACertHelper::GetCertIDCardNo(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  std::string value;
  if (_GetExtText(pCertObj, kOidIdCard, value)) return value;
  if (GetCertUserType(pCertObj) == ORVA_CERT_HOLDER_ORG) {
    ORVA_LOG_INFO("This is an enterprise certificate!");
    return {};
  }
  _GetSubjectNode(pCertObj, kNodeIdNumber, value);
  ORVA_LOG_END();
  return value;
}

std::string CORVACertHelper::GetCertBrNo(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  std::string value;
  if (_GetExtText(pCertObj, kOidBusinessReg, value)) return value;
  if (GetCertUserType(pCertObj) == ORVA_CERT_HOLDER_PERSON) {
    ORVA_LOG_INFO("This is a persaonl certificate!");
    return {};
  }
  if (!_GetSubjectNode(pCertObj, kNodePhone, value) || CharCount(value) != 15) {
    ORVA_LOG_INFO("Has no registed code!");
    return {};
  }
  ORVA_LOG_END();
  return value;
}

std::string CORVACertHelper::GetCertOrgCode(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  std::string value;
  if (_GetExtText(pCertObj, kOidOrgCode, value)) return value;
  if (GetCertUserType(pCertObj) == ORVA_CERT_HOLDER_PERSON) {
    ORVA_LOG_INFO("This is a persaonl certificate!");
    return {};
  }
  if (_GetSubjectNode(pCertObj, kNodeIdNumber, value)) {
    // Eight digits and a check character: the check character is set off by "-".
    if (CharCount(value) == 9) {
      size_t last = LastCharOffset(value);
      value = value.substr(0, last) + "-" + value.substr(last);
    }
    if (CharCount(value) == 10) {
      ORVA_LOG_END();
      return value;
    }
  }
  ORVA_LOG_INFO("Has no organization code!");
  return {};
}

std::string CORVACertHelper::GetCertSSNo(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  std::string value;
  if (_GetExtText(pCertObj, kOidSocialSecurity, value)) return value;
  if (GetCertUserType(pCertObj) == ORVA_CERT_HOLDER_PERSON) {
    ORVA_LOG_INFO("This is a persaonl certificate!");
    return {};
  }
  if (!_GetSubjectNode(pCertObj, kNodeIdNumber, value) || CharCount(value) >= 9) {
    ORVA_LOG_INFO("Has no socail security code!");
    return {};
  }
  ORVA_LOG_END();
  return value;
}

std::string CORVACertHelper::GetCertUscCode(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  std::string value;
  if (_GetExtText(pCertObj, kOidUscCode, value)) return value;
  if (!_GetSubjectNode(pCertObj, kNodeIdNumber, value) || CharCount(value) < 18) return {};
  ORVA_LOG_END();
  return value;
}

std::string CORVACertHelper::GetCertTaxCode(CX509Certificate* pCertObj) {
  ORVA_LOG_BEGIN();
  ORVA_CHECK_CERT_OBJ({});
  std::string value;
  if (!_GetExtText(pCertObj, kOidTaxCode, value)) return {};
  ORVA_LOG_END();
  return value;
}

uint32_t CORVACertHelper::GetCertAttribute(const char* lpcsAttr, const char* lpcsNode,
                                           CX509Certificate* pCertObj, std::string& strValue) {
  ORVA_LOG_BEGIN();
  strValue.clear();
  ORVA_CHECK_CERT_OBJ(ORVA_E_INVALID_PARAM);
  std::string attr = lpcsAttr ? lpcsAttr : "";
  if (attr == "cert_sn")
    strValue = GetCertSN(pCertObj);
  else if (attr == "cert_type")
    strValue = std::to_string(GetCertUserType(pCertObj));
  else if (attr == "cert_keyalg")
    strValue = std::to_string(GetCertKeyAlg(pCertObj));
  else if (attr == "cert_digestalg")
    strValue = std::to_string(GetCertDigestAlg(pCertObj));
  else if (attr == "cert_usage")
    strValue = std::to_string(GetCertUsageType(pCertObj));
  else if (attr == "cert_subject")
    strValue = GetCertSubject(pCertObj, lpcsNode);
  else if (attr == "cert_issuer")
    strValue = GetCertIssuer(pCertObj, lpcsNode);
  else if (attr == "cert_registed")
    strValue = std::to_string(GetCertIsRegisted(pCertObj));
  else if (attr == "cert_validdate") {
    std::string from = GetCertValidFrom(pCertObj), until = GetCertValidUntil(pCertObj);
    if (!from.empty() && !until.empty()) strValue = from + "|" + until;
  } else if (attr == "cert_keyid")
    strValue = GetCertKeyIdentifier(pCertObj);
  else if (attr == "cert_idcard")
    strValue = GetCertIDCardNo(pCertObj);
  else if (attr == "cert_iccode")
    strValue = GetCertBrNo(pCertObj);
  else if (attr == "cert_orgcode")
    strValue = GetCertOrgCode(pCertObj);
  else if (attr == "cert_sscode")
    strValue = GetCertSSNo(pCertObj);
  else if (attr == "cert_usccode")
    strValue = GetCertUscCode(pCertObj);
  else {
    ORVA_LOG_ERROR("attr is wrong! attr=%s", attr.c_str());
    return ORVA_E_INVALID_PARAM;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CORVACertHelper::GetCertExtension(const char* lpcsOid, CX509Certificate* pCertObj,
                                           std::string& strValue) {
  ORVA_LOG_BEGIN();
  strValue.clear();
  ORVA_CHECK_CERT_OBJ(ORVA_E_INVALID_PARAM);
  ORVA_EXT_VALUE v;
  uint32_t ulRes = pCertObj->get_ExtensionByOid(lpcsOid, &v);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("get_ExtensionByOid() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  if (v.vt == ORVA_VT_BSTR)
    strValue = v.strVal;
  else if (v.vt == ORVA_VT_UI4)
    strValue = std::to_string(v.ulVal);
  ORVA_LOG_END();
  return ORVA_OK;
}
