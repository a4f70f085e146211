// Extensions in readable form (get_ExtensionByOid). Every text is built with a bound: past
// kMaxExtensionText bytes the answer is 0x81000009, never a longer or cut text.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "certificates/CertUtil.h"
#include "certificates/X509Certificate.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"

namespace {

// A text that refuses to grow past the limit of one extension.
class CBoundedText {
 public:
  explicit CBoundedText(size_t limit) : m_limit(limit) {}
  void Append(const std::string& s) {
    m_need += s.size();
    if (m_need <= m_limit) m_text += s;
  }
  void Appendf(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    char buf[64];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0) Append(std::string(buf, std::min(static_cast<size_t>(n), sizeof buf - 1)));
  }
  bool Overflow() const { return m_need > m_limit; }
  size_t Needed() const { return m_need; }
  const std::string& Text() const { return m_text; }

 private:
  size_t m_limit;
  size_t m_need = 0;
  std::string m_text;
};

const ASN1_OCTET_STRING* ExtData(const X509_EXTENSION* pExt) {
  return X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(pExt));
}

const uint8_t* ExtBytes(const X509_EXTENSION* pExt) { return ASN1_STRING_get0_data(ExtData(pExt)); }

size_t ExtLen(const X509_EXTENSION* pExt) {
  return static_cast<size_t>(ASN1_STRING_length(ExtData(pExt)));
}

std::string Ia5Text(const ASN1_IA5STRING* s) {
  return orva::cert::CleanText(ASN1_STRING_get0_data(s), static_cast<size_t>(ASN1_STRING_length(s)));
}

void SetNumber(ORVA_EXT_VALUE* v, uint32_t n) {
  v->vt = ORVA_VT_UI4;
  v->ulVal = n;
  v->strVal.clear();
}

void SetText(ORVA_EXT_VALUE* v, const std::string& s) {
  v->vt = ORVA_VT_BSTR;
  v->ulVal = 0;
  v->strVal = s;
}

struct SeqAnyFree {
  void operator()(ASN1_SEQUENCE_ANY* s) const { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); }
};

}  // namespace

#define ORVA_DECODE_FAILED()                                                        \
  do {                                                                              \
    orva::ossl::TakeErrors();                                                       \
    ORVA_LOG_ERROR("CryptDecodeObject() failed! ulRes = 0x%x", ORVA_CRYPT_E_ASN1_BADTAG); \
    return ORVA_CRYPT_E_ASN1_BADTAG;                                                \
  } while (0)

#define ORVA_TEXT_OUT(text, value)                                                          \
  do {                                                                                      \
    if ((text).Overflow()) {                                                                \
      ORVA_LOG_ERROR("Buffer is too small! Requested length: 0x%x, *pulLen = 0x%x",         \
                     static_cast<uint32_t>((text).Needed() + 1),                            \
                     static_cast<uint32_t>(CX509Certificate::kMaxExtensionText + 1));       \
      return ORVA_E_BUFFER_TOO_SMALL;                                                       \
    }                                                                                       \
    SetText((value), (text).Text());                                                        \
  } while (0)

uint32_t CX509Certificate::get_ExtensionByOid(const char* lpcsOid, ORVA_EXT_VALUE* pvarValue) const {
  ORVA_LOG_BEGIN();
  if (lpcsOid == nullptr || *lpcsOid == '\0') {
    ORVA_LOG_ERROR("lpcsOid is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pvarValue == nullptr) {
    ORVA_LOG_ERROR("pvarValue is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  const X509* x = m_hCertContext->x509.get();
  uint32_t ulRes = ORVA_OK;

  if (strcasecmp(lpcsOid, "2.5.29.19") == 0 || strcasecmp(lpcsOid, "2.5.29.10") == 0) {
    ulRes = _GetExtBasicConstraints(pvarValue);
  } else {
    const X509_EXTENSION* ext = orva::cert::FindExtension(x, lpcsOid);
    if (ext == nullptr) {
      ORVA_LOG_ERROR("CertFindExtension() failed! ulRes = 0x%x", ORVA_CRYPT_E_NOT_FOUND);
      return ORVA_CRYPT_E_NOT_FOUND;
    }
    if (ExtLen(ext) == 0) {
      ORVA_LOG_INFO("The extension value length is 0!");
      SetText(pvarValue, "");
      ORVA_LOG_END();
      return ORVA_OK;
    }
    if (strcasecmp(lpcsOid, "2.5.29.15") == 0)
      ulRes = _GetExtKeyUsage(ext, pvarValue);
    else if (strcasecmp(lpcsOid, "2.5.29.37") == 0)
      ulRes = _GetExtEnhancedKeyUsage(ext, pvarValue);
    else if (strcasecmp(lpcsOid, "2.5.29.35") == 0)
      ulRes = _GetExtAuthorityIdentifier(ext, pvarValue);
    else if (strcasecmp(lpcsOid, "2.5.29.14") == 0)
      ulRes = _GetExtSubjectIdentifier(ext, pvarValue);
    else if (strcasecmp(lpcsOid, "2.5.29.31") == 0)
      ulRes = _GetExtCRLDistPoints(ext, pvarValue);
    else if (strcasecmp(lpcsOid, "1.3.6.1.5.5.7.1.1") == 0)
      ulRes = _GetExtAuthorityInfoAccess(ext, pvarValue);
    else if (strcasecmp(lpcsOid, "2.16.840.1.113730.1.1") == 0)
      ulRes = _GetExtNetscapeCertType(ext, pvarValue);
    else
      ulRes = _GetExtDefault(ext, pvarValue);
  }
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_GetExtBasicConstraints(ORVA_EXT_VALUE* pvarValue) const {
  ORVA_LOG_BEGIN();
  const X509* x = m_hCertContext->x509.get();
  CBoundedText text(kMaxExtensionText);
  bool bHasPathLen = false;
  long lPathLen = 0;

  if (const X509_EXTENSION* ext = orva::cert::FindExtension(x, "2.5.29.19")) {
    if (ExtLen(ext) == 0) {
      ORVA_LOG_INFO("The extension value length is 0!");
      SetText(pvarValue, "");
      return ORVA_OK;
    }
    auto bc = orva::cert::DecodeWhole<BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free>(
        d2i_BASIC_CONSTRAINTS, ExtBytes(ext), ExtLen(ext));
    if (!bc) ORVA_DECODE_FAILED();
    text.Append(bc->ca ? "Subject Type=CA; " : "Subject Type=End Entity; ");
    if (bc->pathlen != nullptr) {
      bHasPathLen = true;
      lPathLen = ASN1_INTEGER_get(bc->pathlen);
    }
  } else if (const X509_EXTENSION* old = orva::cert::FindExtension(x, "2.5.29.10")) {
    if (ExtLen(old) == 0) {
      ORVA_LOG_INFO("The extension value length is 0!");
      SetText(pvarValue, "");
      return ORVA_OK;
    }
    // SEQUENCE { subjectType BIT STRING, pathLenConstraint INTEGER OPTIONAL, ... }
    const unsigned char* p = ExtBytes(old);
    std::unique_ptr<ASN1_SEQUENCE_ANY, SeqAnyFree> seq(
        d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(ExtLen(old))));
    if (!seq || p != ExtBytes(old) + ExtLen(old) || sk_ASN1_TYPE_num(seq.get()) < 1)
      ORVA_DECODE_FAILED();
    const ASN1_TYPE* first = sk_ASN1_TYPE_value(seq.get(), 0);
    if (ASN1_TYPE_get(first) != V_ASN1_BIT_STRING) ORVA_DECODE_FAILED();
    const ASN1_BIT_STRING* type = first->value.bit_string;
    uint8_t bits = ASN1_STRING_length(type) > 0 ? ASN1_STRING_get0_data(type)[0] : 0;
    if (bits & 0x80)
      text.Append("Subject Type=CA; ");
    else if (bits & 0x40)
      text.Append("Subject Type=End Entity; ");
    else
      text.Append("Subject Type=Unknown; ");
    if (sk_ASN1_TYPE_num(seq.get()) > 1) {
      const ASN1_TYPE* second = sk_ASN1_TYPE_value(seq.get(), 1);
      if (ASN1_TYPE_get(second) == V_ASN1_INTEGER) {
        bHasPathLen = true;
        lPathLen = ASN1_INTEGER_get(second->value.integer);
      }
    }
  } else {
    ORVA_LOG_ERROR("CertFindExtension() failed! ulRes = 0x%x", ORVA_CRYPT_E_NOT_FOUND);
    return ORVA_CRYPT_E_NOT_FOUND;
  }
  if (bHasPathLen)
    text.Appendf("Path Length Constraint=%d", static_cast<int>(lPathLen));
  else
    text.Append("Path Length Constraint=None");
  ORVA_TEXT_OUT(text, pvarValue);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_GetExtKeyUsage(const X509_EXTENSION* pExt, ORVA_EXT_VALUE* pvarValue) const {
  ORVA_LOG_BEGIN();
  auto bits = orva::cert::DecodeWhole<ASN1_BIT_STRING, ASN1_BIT_STRING_free>(
      d2i_ASN1_BIT_STRING, ExtBytes(pExt), ExtLen(pExt));
  if (!bits) ORVA_DECODE_FAILED();
  int n = ASN1_STRING_length(bits.get());
  const uint8_t* d = ASN1_STRING_get0_data(bits.get());
  uint32_t value = n > 0 ? d[0] : 0;
  if (n > 1 && (d[1] & 0x80)) value += 0x100;  // decipherOnly
  SetNumber(pvarValue, value);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_GetExtEnhancedKeyUsage(const X509_EXTENSION* pExt,
                                                   ORVA_EXT_VALUE* pvarValue) const {
  ORVA_LOG_BEGIN();
  auto eku = orva::cert::DecodeWhole<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>(
      d2i_EXTENDED_KEY_USAGE, ExtBytes(pExt), ExtLen(pExt));
  if (!eku) ORVA_DECODE_FAILED();
  static const char* const kKnown[] = {
      "1.3.6.1.5.5.7.3.1", "1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.3",
      "1.3.6.1.5.5.7.3.4", "1.3.6.1.5.5.7.3.5", "1.3.6.1.5.5.7.3.6",
      "1.3.6.1.5.5.7.3.7", "1.3.6.1.5.5.7.3.8", "1.3.6.1.5.5.7.3.9",
  };
  uint32_t value = 0;
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku.get()); ++i) {
    std::string oid = orva::cert::OidText(sk_ASN1_OBJECT_value(eku.get(), i));
    bool known = false;
    for (size_t k = 0; k < sizeof kKnown / sizeof kKnown[0]; ++k) {
      if (oid == kKnown[k]) {
        value |= 1u << k;
        known = true;
      }
    }
    if (!known) ORVA_LOG_INFO("There are unkown enhance key usage: %s", oid.c_str());
  }
  SetNumber(pvarValue, value);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_GetExtAuthorityIdentifier(const X509_EXTENSION* pExt,
                                                      ORVA_EXT_VALUE* pvarValue) const {
  ORVA_LOG_BEGIN();
  auto aki = orva::cert::DecodeWhole<AUTHORITY_KEYID, AUTHORITY_KEYID_free>(
      d2i_AUTHORITY_KEYID, ExtBytes(pExt), ExtLen(pExt));
  if (!aki) ORVA_DECODE_FAILED();
  CBoundedText text(kMaxExtensionText);
  text.Append("KeyID=");
  if (aki->keyid != nullptr) {
    const uint8_t* d = ASN1_STRING_get0_data(aki->keyid);
    for (int i = 0; i < ASN1_STRING_length(aki->keyid); ++i) text.Appendf("%x ", d[i]);
  }
  ORVA_TEXT_OUT(text, pvarValue);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_GetExtSubjectIdentifier(const X509_EXTENSION* pExt,
                                                    ORVA_EXT_VALUE* pvarValue) const {
  ORVA_LOG_BEGIN();
  auto ski = orva::cert::DecodeWhole<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>(
      d2i_ASN1_OCTET_STRING, ExtBytes(pExt), ExtLen(pExt));
  if (!ski) ORVA_DECODE_FAILED();
  CBoundedText text(kMaxExtensionText);
  const uint8_t* d = ASN1_STRING_get0_data(ski.get());
  for (int i = 0; i < ASN1_STRING_length(ski.get()); ++i) text.Appendf("%x ", d[i]);
  ORVA_TEXT_OUT(text, pvarValue);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_GetExtCRLDistPoints(const X509_EXTENSION* pExt,
                                                ORVA_EXT_VALUE* pvarValue) const {
  ORVA_LOG_BEGIN();
  auto points = orva::cert::DecodeWhole<CRL_DIST_POINTS, CRL_DIST_POINTS_free>(
      d2i_CRL_DIST_POINTS, ExtBytes(pExt), ExtLen(pExt));
  if (!points) ORVA_DECODE_FAILED();
  CBoundedText text(kMaxExtensionText);
  int count = sk_DIST_POINT_num(points.get());
  text.Appendf("[%d]", count);
  for (int i = 0; i < count; ++i) {
    const DIST_POINT* dp = sk_DIST_POINT_value(points.get(), i);
    if (dp->distpoint == nullptr || dp->distpoint->type != 0) continue;
    const GENERAL_NAMES* names = dp->distpoint->name.fullname;
    for (int k = 0; k < sk_GENERAL_NAME_num(names); ++k) {
      const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, k);
      if (gn->type == GEN_URI)
        text.Append(Ia5Text(gn->d.uniformResourceIdentifier));
      else if (gn->type == GEN_DIRNAME)
        text.Append(orva::cert::NameToString(gn->d.directoryName));
      else
        text.Append("unknown");
      text.Append(" ");
    }
  }
  ORVA_TEXT_OUT(text, pvarValue);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_GetExtAuthorityInfoAccess(const X509_EXTENSION* pExt,
                                                      ORVA_EXT_VALUE* pvarValue) const {
  ORVA_LOG_BEGIN();
  auto aia = orva::cert::DecodeWhole<AUTHORITY_INFO_ACCESS, AUTHORITY_INFO_ACCESS_free>(
      d2i_AUTHORITY_INFO_ACCESS, ExtBytes(pExt), ExtLen(pExt));
  if (!aia) ORVA_DECODE_FAILED();
  CBoundedText text(kMaxExtensionText);
  int count = sk_ACCESS_DESCRIPTION_num(aia.get());
  text.Appendf("[%d]Authority Info Access: \r\n", count);
  for (int i = 0; i < count; ++i) {
    const ACCESS_DESCRIPTION* ad = sk_ACCESS_DESCRIPTION_value(aia.get(), i);
    text.Append("Access Method=证书颁发机构颁发者 (" + orva::cert::OidText(ad->method) + "), \r\n");
    if (ad->location != nullptr && ad->location->type == GEN_URI)
      text.Append(Ia5Text(ad->location->d.uniformResourceIdentifier));
  }
  ORVA_TEXT_OUT(text, pvarValue);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_GetExtNetscapeCertType(const X509_EXTENSION* pExt,
                                                   ORVA_EXT_VALUE* pvarValue) const {
  ORVA_LOG_BEGIN();
  auto bits = orva::cert::DecodeWhole<ASN1_BIT_STRING, ASN1_BIT_STRING_free>(
      d2i_ASN1_BIT_STRING, ExtBytes(pExt), ExtLen(pExt));
  if (!bits) ORVA_DECODE_FAILED();
  SetNumber(pvarValue,
            ASN1_STRING_length(bits.get()) > 0 ? ASN1_STRING_get0_data(bits.get())[0] : 0);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_GetExtDefault(const X509_EXTENSION* pExt, ORVA_EXT_VALUE* pvarValue) const {
  ORVA_LOG_BEGIN();
  // The raw extension value (tag and length included) as text, up to its first zero byte.
  const uint8_t* d = ExtBytes(pExt);
  size_t n = ExtLen(pExt);
  const void* zero = std::memchr(d, 0, n);
  if (zero != nullptr) n = static_cast<size_t>(static_cast<const uint8_t*>(zero) - d);
  if (n > kMaxExtensionText) {
    ORVA_LOG_ERROR("Buffer is too small! Requested length: 0x%x, *pulLen = 0x%x",
                   static_cast<uint32_t>(n + 1), static_cast<uint32_t>(kMaxExtensionText + 1));
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  SetText(pvarValue, CStringConvert::AnsiToWide(std::string_view(reinterpret_cast<const char*>(d), n)));
  ORVA_LOG_END();
  return ORVA_OK;
}
