// The X.500 string form of subject and issuer names, and the lookup of single attributes.
// OpenSSL's own name printer uses other short names (ST, emailAddress, ...) and has none for
// 2.5.4.1, so the names are written here.
#include <cstring>

#include "certificates/CertUtil.h"
#include "certificates/X509Certificate.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace orva::cert {

namespace {

struct ShortName {
  const char* oid;
  const char* key;
};

constexpr ShortName kShortNames[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.11", "OU"},
    {"2.5.4.10", "O"},
    {"2.5.4.7", "L"},
    {"2.5.4.8", "S"},
    {"2.5.4.6", "C"},
    {"1.2.840.113549.1.9.1", "E"},
    {"2.5.4.12", "T"},
    {"2.5.4.42", "G"},
    {"2.5.4.4", "SN"},
    {"2.5.4.9", "STREET"},
    {"0.9.2342.19200300.100.1.25", "DC"},
    {"2.5.4.5", "SERIALNUMBER"},
    {"2.5.4.20", "Phone"},
};

constexpr size_t kMaxNodeName = 30;    // 31 characters or more find nothing
constexpr size_t kMaxNodeValue = 255;

bool IsStringType(int type) {
  switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_T61STRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_GENERALSTRING:
      return true;
    default:
      return false;
  }
}

// One attribute value as UTF-8 text; a value that is not a string is shown as "#" and the
// hexadecimal of its contents.
std::string ValueText(const ASN1_STRING* v) {
  if (v == nullptr) return {};
  if (IsStringType(ASN1_STRING_type(v))) {
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, v);
    if (n >= 0) {
      orva::ossl::OpenSslBytesPtr own(utf8);
      return CleanText(utf8, static_cast<size_t>(n));
    }
    ERR_clear_error();
  }
  return "#" + HexUpper(ASN1_STRING_get0_data(v), static_cast<size_t>(ASN1_STRING_length(v)));
}

std::string KeyOf(const ASN1_OBJECT* obj) {
  std::string s = ShortNameOfAttribute(obj);
  return s.empty() ? "OID." + OidText(obj) : s;
}

}  // namespace

std::string ShortNameOfAttribute(const ASN1_OBJECT* pObj) {
  std::string oid = OidText(pObj);
  for (const ShortName& n : kShortNames)
    if (oid == n.oid) return n.key;
  return {};
}

std::string NameToString(const X509_NAME* pName) {
  std::string out;
  if (pName == nullptr) return out;
  int count = X509_NAME_entry_count(pName);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(pName, i);
    if (!out.empty()) out += ", ";
    out += KeyOf(X509_NAME_ENTRY_get_object(e));
    out += "=";
    out += ValueText(X509_NAME_ENTRY_get_data(e));
  }
  return out;
}

bool FindNameNode(const X509_NAME* pName, const char* lpcsNodeName, std::string& strValue) {
  if (pName == nullptr || lpcsNodeName == nullptr) return false;
  std::string node = lpcsNodeName;
  if (node.size() > kMaxNodeName) return false;
  if (!node.empty() && node.back() == '=') node.pop_back();
  if (node.empty()) return false;
  // Attributes are matched by their key as the name string writes it, so a node matches only
  // at the start of an attribute ("C" never matches inside "DC=..." or inside a value); a
  // dotted identifier also matches the "OID." key of an attribute without a short name.
  int count = X509_NAME_entry_count(pName);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(pName, i);
    std::string key = KeyOf(X509_NAME_ENTRY_get_object(e));
    bool match = key == node || (key.compare(0, 4, "OID.") == 0 && key.compare(4, std::string::npos, node) == 0);
    if (!match) continue;
    std::string value = ValueText(X509_NAME_ENTRY_get_data(e));
    size_t comma = value.find(',');
    if (comma != std::string::npos) value.resize(comma);
    strValue = CutUtf8(value, kMaxNodeValue);
    return true;
  }
  return false;
}

}  // namespace orva::cert

uint32_t CX509Certificate::_GetName(bool bSubject, const char* lpcsNodeName, std::string& strValue,
                                    bool& bFound) const {
  const X509* x = m_hCertContext->x509.get();
  const X509_NAME* name = bSubject ? X509_get_subject_name(x) : X509_get_issuer_name(x);
  bFound = true;
  if (lpcsNodeName == nullptr || *lpcsNodeName == '\0') {
    strValue = orva::cert::NameToString(name);
    return ORVA_OK;
  }
  bFound = orva::cert::FindNameNode(name, lpcsNodeName, strValue);
  if (!bFound) strValue.clear();
  return ORVA_OK;
}

uint32_t CX509Certificate::get_SubjectName(const char* lpcsNodeName, std::string& strValue) const {
  ORVA_LOG_BEGIN();
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  bool bFound = false;
  _GetName(true, lpcsNodeName, strValue, bFound);
  if (!bFound) {
    ORVA_LOG_ERROR("Can't find node name:%s", lpcsNodeName);
    return ORVA_E_INVALID_PARAM;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::get_SubjectName(const char* lpcsNodeName, char* lpOrgData,
                                           uint32_t* pulLen) const {
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string text;
  uint32_t ulRes = get_SubjectName(lpcsNodeName, text);
  if (ulRes != ORVA_OK) return ulRes;
  switch (orva::cert::CopyTextOut(text, lpOrgData, pulLen)) {
    case orva::cert::CopyResult::Query:
      ORVA_LOG_INFO("Value length:%d", static_cast<int>(*pulLen));
      return ORVA_OK;
    case orva::cert::CopyResult::TooSmall:
      ORVA_LOG_ERROR("lpOrgData buffer is too small! Request length is:0x%x",
                     static_cast<uint32_t>(text.size() + 1));
      return ORVA_E_BUFFER_TOO_SMALL;
    case orva::cert::CopyResult::Copied:
      break;
  }
  return ORVA_OK;
}

uint32_t CX509Certificate::get_IssuerName(const char* lpcsNodeName, std::string& strValue) const {
  ORVA_LOG_BEGIN();
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  bool bFound = false;
  _GetName(false, lpcsNodeName, strValue, bFound);
  if (!bFound) ORVA_LOG_INFO("Can't find node name:%s", lpcsNodeName);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::get_IssuerName(const char* lpcsNodeName, char* lpOrgData,
                                          uint32_t* pulLen) const {
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string text;
  uint32_t ulRes = get_IssuerName(lpcsNodeName, text);
  if (ulRes != ORVA_OK) return ulRes;
  if (text.empty() && lpcsNodeName != nullptr && *lpcsNodeName != '\0') {
    // A node that is not present: success with length 0.
    if (lpOrgData != nullptr && *pulLen > 0) lpOrgData[0] = '\0';
    *pulLen = 0;
    return ORVA_OK;
  }
  switch (orva::cert::CopyTextOut(text, lpOrgData, pulLen)) {
    case orva::cert::CopyResult::Query:
      ORVA_LOG_INFO("Issuer name length:%d", static_cast<int>(*pulLen));
      return ORVA_OK;
    case orva::cert::CopyResult::TooSmall:
      ORVA_LOG_ERROR("lpOrgData buffer is too small! Request length is:0x%x",
                     static_cast<uint32_t>(text.size() + 1));
      return ORVA_E_BUFFER_TOO_SMALL;
    case orva::cert::CopyResult::Copied:
      break;
  }
  return ORVA_OK;
}
