#include "certificates/X509Certificate.h"

#include <cstring>
#include <ctime>

#include "certificates/CertUtil.h"
#include "certificates/CertificateStore.h"
#include "foundation/LogFile.h"
#include "foundation/ORVAResource.h"
#include "foundation/ORVAUserInterface.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"

using orva::cert::CopyResult;
using orva::cert::CopyTextOut;

namespace orva::cert {

CopyResult CopyTextOut(const std::string& text, char* pBuf, uint32_t* pulLen) {
  uint32_t need = static_cast<uint32_t>(text.size() + 1);
  if (pBuf == nullptr) {
    *pulLen = need;
    return CopyResult::Query;
  }
  if (*pulLen < need) return CopyResult::TooSmall;
  std::memcpy(pBuf, text.data(), text.size());
  pBuf[text.size()] = '\0';
  *pulLen = static_cast<uint32_t>(text.size());
  return CopyResult::Copied;
}

std::string HexUpper(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 0xF]);
  }
  return out;
}

const X509_EXTENSION* FindExtension(const X509* x, const char* lpcsOid) {
  if (x == nullptr || lpcsOid == nullptr || *lpcsOid == '\0' || std::strlen(lpcsOid) > 127)
    return nullptr;
  orva::ossl::Asn1ObjectPtr obj(OBJ_txt2obj(lpcsOid, 1));
  if (!obj) {
    ERR_clear_error();
    return nullptr;
  }
  int idx = X509_get_ext_by_OBJ(x, obj.get(), -1);
  return idx < 0 ? nullptr : X509_get_ext(x, idx);
}

std::string CleanText(const uint8_t* p, size_t n) {
  std::string raw(reinterpret_cast<const char*>(p), n);
  std::string out;
  out.reserve(n);
  size_t start = 0;
  for (size_t i = 0; i <= raw.size(); ++i) {
    if (i == raw.size() || raw[i] == '\0') {
      out += CStringConvert::SanitizeUtf8(std::string_view(raw).substr(start, i - start));
      if (i < raw.size()) out += "\xEF\xBF\xBD";
      start = i + 1;
    }
  }
  return out;
}

std::string CutUtf8(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t n = maxBytes;
  // Step back over continuation bytes so the cut falls before a lead byte.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

std::string OidText(const ASN1_OBJECT* pObj) {
  if (pObj == nullptr) return {};
  char buf[128];
  int n = OBJ_obj2txt(buf, sizeof buf, pObj, 1);
  if (n <= 0) return {};
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  OBJ_obj2txt(big.data(), n + 1, pObj, 1);
  big.resize(static_cast<size_t>(n));
  return big;
}

}  // namespace orva::cert

namespace {

// Local time fields of an instant.
ORVA_CERT_TIME ToCertTime(int64_t t) {
  ORVA_CERT_TIME out;
  out.llUtcSeconds = t;
  time_t tt = static_cast<time_t>(t);
  struct tm lt {};
  if (localtime_r(&tt, &lt) != nullptr) {
    out.stLocal.wYear = static_cast<uint16_t>(lt.tm_year + 1900);
    out.stLocal.wMonth = static_cast<uint16_t>(lt.tm_mon + 1);
    out.stLocal.wDayOfWeek = static_cast<uint16_t>(lt.tm_wday);
    out.stLocal.wDay = static_cast<uint16_t>(lt.tm_mday);
    out.stLocal.wHour = static_cast<uint16_t>(lt.tm_hour);
    out.stLocal.wMinute = static_cast<uint16_t>(lt.tm_min);
    out.stLocal.wSecond = static_cast<uint16_t>(lt.tm_sec);
  }
  return out;
}

bool Asn1TimeToSeconds(const ASN1_TIME* t, int64_t& out) {
  struct tm tmv {};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tmv) != 1) return false;
  out = static_cast<int64_t>(timegm(&tmv));
  return true;
}

// Content bytes of the serial number exactly as encoded (a leading zero byte stays).
bool SerialBytes(const X509* x, std::vector<uint8_t>& out) {
  const ASN1_INTEGER* sn = X509_get0_serialNumber(x);
  if (sn == nullptr) return false;
  int n = i2d_ASN1_INTEGER(sn, nullptr);
  if (n <= 0) return false;
  std::vector<uint8_t> der(static_cast<size_t>(n));
  unsigned char* p = der.data();
  i2d_ASN1_INTEGER(sn, &p);
  const unsigned char* q = der.data();
  long len = 0;
  int tag = 0, cls = 0;
  if (ASN1_get_object(&q, &len, &tag, &cls, n) & 0x80) return false;
  out.assign(q, q + len);
  return true;
}

uint32_t ComputeKeyUsage(const X509* x, bool& bPresent) {
  bPresent = false;
  const X509_EXTENSION* ext = orva::cert::FindExtension(x, "2.5.29.15");
  if (ext == nullptr) return 0;
  const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(ext));
  auto bits = orva::cert::DecodeWhole<ASN1_BIT_STRING, ASN1_BIT_STRING_free>(
      d2i_ASN1_BIT_STRING, ASN1_STRING_get0_data(v), static_cast<size_t>(ASN1_STRING_length(v)));
  if (!bits) return 0;
  bPresent = true;
  uint8_t first = ASN1_STRING_length(bits.get()) > 0 ? ASN1_STRING_get0_data(bits.get())[0] : 0;
  if (first & 0x10) return KEY_USAGE_EXCH;  // dataEncipherment
  if (first & 0x80) return KEY_USAGE_SIGN;  // digitalSignature
  return 0;
}

}  // namespace

CX509Certificate::CX509Certificate() = default;
CX509Certificate::~CX509Certificate() = default;

uint32_t CX509Certificate::FromBuffer(const uint8_t* lpCert, uint32_t dwLen) {
  ORVA_LOG_BEGIN();
  if (lpCert == nullptr || dwLen == 0) {
    ORVA_LOG_ERROR("lpCert or dwLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  const unsigned char* p = lpCert;
  orva::ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(dwLen)));
  if (!x) {
    orva::ossl::TakeErrors();
    ORVA_LOG_ERROR("CertCreateCertificateContext() failed! ulRes=0x%x", ORVA_CRYPT_E_ASN1_BADTAG);
    return ORVA_CRYPT_E_ASN1_BADTAG;
  }
  auto ctx = std::make_unique<ORVA_CERT_CONTEXT>();
  ctx->encoded.assign(lpCert, p);
  ctx->x509 = std::move(x);
  m_hCertContext = std::move(ctx);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::ToBuffer(uint8_t* lpBuf, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  const std::vector<uint8_t>& der = m_hCertContext->encoded;
  if (lpBuf == nullptr) {
    *pulLen = static_cast<uint32_t>(der.size());
    ORVA_LOG_INFO("Return requested length:0x%x", *pulLen);
    return ORVA_OK;
  }
  if (*pulLen < der.size()) {
    ORVA_LOG_ERROR("Buffer is too small, request length is:0x%x", static_cast<uint32_t>(der.size()));
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(lpBuf, der.data(), der.size());
  *pulLen = static_cast<uint32_t>(der.size());
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::ToBuffer(std::vector<uint8_t>& der) const {
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  der = m_hCertContext->encoded;
  return ORVA_OK;
}

uint32_t CX509Certificate::set_ProviderInfo(const char* lpcsProv, const char* lpcsContainer) {
  ORVA_LOG_BEGIN();
  if (lpcsProv == nullptr || *lpcsProv == '\0') {
    ORVA_LOG_ERROR("lpcsProv is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  m_strProvider = orva::cert::CutUtf8(CStringConvert::SanitizeUtf8(lpcsProv), kMaxNameBytes);
  m_strContainer = orva::cert::CutUtf8(
      CStringConvert::SanitizeUtf8(lpcsContainer ? lpcsContainer : ""), kMaxNameBytes);

  uint32_t ulUsage = 0;
  get_KeyUsage(&ulUsage);
  ORVA_KEY_PROV_INFO info;
  info.strContainerName = m_strContainer;
  info.strProvName = m_strProvider;
  info.dwProvType = ORVA_PROV_TYPE_RSA_FULL;
  info.dwKeySpec = ulUsage == KEY_USAGE_SIGN ? ORVA_AT_SIGNATURE : ORVA_AT_KEYEXCHANGE;
  m_hCertContext->keyProvInfo = std::move(info);
  m_hCertContext->bHasKeyProvInfo = true;
  ORVA_LOG_END();
  return ORVA_OK;
}

bool CX509Certificate::GetKeyProvInfo(ORVA_KEY_PROV_INFO& info) const {
  if (!_HasCert() || !m_hCertContext->bHasKeyProvInfo) return false;
  info = m_hCertContext->keyProvInfo;
  return true;
}

uint32_t CX509Certificate::SetKeyProvInfo(const ORVA_KEY_PROV_INFO& info) {
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  ORVA_KEY_PROV_INFO clean = info;
  clean.strContainerName = orva::cert::CutUtf8(CStringConvert::SanitizeUtf8(info.strContainerName), kMaxNameBytes);
  clean.strProvName = orva::cert::CutUtf8(CStringConvert::SanitizeUtf8(info.strProvName), kMaxNameBytes);
  m_hCertContext->keyProvInfo = std::move(clean);
  m_hCertContext->bHasKeyProvInfo = true;
  return ORVA_OK;
}

uint32_t CX509Certificate::get_Container(std::string& strContainer) const {
  ORVA_LOG_BEGIN();
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (!m_strContainer.empty()) {
    strContainer = m_strContainer;
    ORVA_LOG_INFO("Container was set, container is:%s", strContainer.c_str());
  } else if (m_hCertContext->bHasKeyProvInfo) {
    strContainer = m_hCertContext->keyProvInfo.strContainerName;
    ORVA_LOG_INFO("Container has get from certificate, container is:%s", strContainer.c_str());
  } else {
    strContainer.clear();
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::get_Container(char* lpContainer, uint32_t* pulLen) const {
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string text;
  uint32_t ulRes = get_Container(text);
  if (ulRes != ORVA_OK) return ulRes;
  switch (CopyTextOut(text, lpContainer, pulLen)) {
    case CopyResult::Query:
      ORVA_LOG_INFO("Container length:0x%x", *pulLen);
      return ORVA_OK;
    case CopyResult::TooSmall:
      ORVA_LOG_ERROR("lpOrgData buffer is too small! Request length is:0x%x",
                     static_cast<uint32_t>(text.size() + 1));
      return ORVA_E_BUFFER_TOO_SMALL;
    case CopyResult::Copied:
      break;
  }
  return ORVA_OK;
}

uint32_t CX509Certificate::get_SN(std::string& strSN) const {
  ORVA_LOG_BEGIN();
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  std::vector<uint8_t> sn;
  if (!SerialBytes(m_hCertContext->x509.get(), sn)) {
    ORVA_LOG_ERROR("The serial number can't be read!");
    return ORVA_E_X509_SERIAL;
  }
  if (sn.size() * 2 > 511) {
    ORVA_LOG_ERROR("The serial number is too long! length=0x%x", static_cast<uint32_t>(sn.size()));
    return ORVA_E_BAD_INPUT;
  }
  strSN = orva::cert::HexUpper(sn.data(), sn.size());
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::get_SN(char* lpSN, uint32_t* pulLen) const {
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string text;
  uint32_t ulRes = get_SN(text);
  if (ulRes != ORVA_OK) return ulRes;
  switch (CopyTextOut(text, lpSN, pulLen)) {
    case CopyResult::Query:
      ORVA_LOG_INFO("SN length:0x%x", *pulLen);
      return ORVA_OK;
    case CopyResult::TooSmall:
      ORVA_LOG_ERROR("lpOrgData buffer is too small! Request length is:0x%x",
                     static_cast<uint32_t>(text.size() + 1));
      return ORVA_E_BUFFER_TOO_SMALL;
    case CopyResult::Copied:
      break;
  }
  return ORVA_OK;
}

uint32_t CX509Certificate::get_KeyType(uint32_t* pulType) const {
  ORVA_LOG_BEGIN();
  if (pulType == nullptr) {
    ORVA_LOG_ERROR("pulType is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  ASN1_OBJECT* alg = nullptr;
  X509_PUBKEY_get0_param(&alg, nullptr, nullptr, nullptr,
                         X509_get_X509_PUBKEY(m_hCertContext->x509.get()));
  std::string oid = orva::cert::OidText(alg);
  if (oid == "1.2.840.113549.1.1.1")
    *pulType = ALG_RSA;
  else if (oid == "1.2.840.10045.2.1")
    *pulType = ALG_SM2;
  else
    *pulType = 0;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::get_KeyUsage(uint32_t* lpUsage) const {
  ORVA_LOG_BEGIN();
  if (lpUsage == nullptr) {
    ORVA_LOG_ERROR("lpUsage is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  bool bPresent = false;
  uint32_t ulUsage = ComputeKeyUsage(m_hCertContext->x509.get(), bPresent);
  if (bPresent)
    *lpUsage = ulUsage;
  else
    ORVA_LOG_INFO("The certificate has no key usage!");
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::get_DigestAlg(uint32_t* lpAlg) const {
  ORVA_LOG_BEGIN();
  if (lpAlg == nullptr) {
    ORVA_LOG_ERROR("lpUsage is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  const ASN1_OBJECT* obj = nullptr;
  X509_ALGOR_get0(&obj, nullptr, nullptr, X509_get0_tbs_sigalg(m_hCertContext->x509.get()));
  std::string oid = orva::cert::OidText(obj);
  static const struct {
    const char* oid;
    uint32_t alg;
  } kAlgs[] = {
      {"1.2.840.113549.1.1.4", HASH_MD5},     {"1.2.840.113549.1.1.5", HASH_SHA1},
      {"1.2.840.113549.1.1.11", HASH_SHA256}, {"1.2.840.113549.1.1.12", HASH_SHA384},
      {"1.2.840.113549.1.1.13", HASH_SHA512}, {"1.2.156.10197.1.501", HASH_SM3},
  };
  for (const auto& a : kAlgs) {
    if (oid == a.oid) {
      *lpAlg = a.alg;
      ORVA_LOG_END();
      return ORVA_OK;
    }
  }
  ORVA_LOG_ERROR("The digest alg in certificate is not supported! alg:%s", oid.c_str());
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CX509Certificate::get_ValidDate(ORVA_CERT_TIME* pNotBefore, ORVA_CERT_TIME* pNotAfter) const {
  ORVA_LOG_BEGIN();
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int64_t nb = 0, na = 0;
  if (!Asn1TimeToSeconds(X509_get0_notBefore(m_hCertContext->x509.get()), nb) ||
      !Asn1TimeToSeconds(X509_get0_notAfter(m_hCertContext->x509.get()), na)) {
    ORVA_LOG_ERROR("The validity of the certificate can't be read!");
    return ORVA_E_X509_DECODE;
  }
  if (pNotBefore) *pNotBefore = ToCertTime(nb);
  if (pNotAfter) *pNotAfter = ToCertTime(na);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::get_KeyIdentifier(std::string& strKeyId) const {
  ORVA_LOG_BEGIN();
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  const X509* x = m_hCertContext->x509.get();
  if (const X509_EXTENSION* ext = orva::cert::FindExtension(x, "2.5.29.14")) {
    const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(ext));
    auto ski = orva::cert::DecodeWhole<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>(
        d2i_ASN1_OCTET_STRING, ASN1_STRING_get0_data(v), static_cast<size_t>(ASN1_STRING_length(v)));
    if (!ski) {
      ORVA_LOG_ERROR("CryptDecodeObject() failed! ulRes = 0x%x", ORVA_CRYPT_E_ASN1_BADTAG);
      return ORVA_CRYPT_E_ASN1_BADTAG;
    }
    strKeyId = orva::cert::HexUpper(ASN1_STRING_get0_data(ski.get()),
                                    static_cast<size_t>(ASN1_STRING_length(ski.get())));
  } else {
    // No extension: the SHA-1 digest of the public key bits (RFC 5280 method 1).
    std::vector<uint8_t> bits;
    uint32_t ulRes = GetPublicKeyBits(bits);
    if (ulRes != ORVA_OK) return ulRes;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (EVP_Digest(bits.data(), bits.size(), md, &mdLen, EVP_sha1(), nullptr) != 1) {
      ORVA_LOG_ERROR("EVP_Digest() failed! %s", orva::ossl::TakeErrors().c_str());
      return ORVA_E_CALL_FAILED;
    }
    strKeyId = orva::cert::HexUpper(md, mdLen);
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::get_KeyIdentifier(char* lpData, uint32_t* pulDataLen) const {
  if (pulDataLen == nullptr) {
    ORVA_LOG_ERROR("pulDataLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string text;
  uint32_t ulRes = get_KeyIdentifier(text);
  if (ulRes != ORVA_OK) return ulRes;
  switch (CopyTextOut(text, lpData, pulDataLen)) {
    case CopyResult::Query:
      ORVA_LOG_INFO("Return data length, ulDataLen=0x%x", *pulDataLen);
      return ORVA_OK;
    case CopyResult::TooSmall:
      ORVA_LOG_ERROR("Buffer is too small, request length is:0x%x",
                     static_cast<uint32_t>(text.size() + 1));
      return ORVA_E_BUFFER_TOO_SMALL;
    case CopyResult::Copied:
      break;
  }
  return ORVA_OK;
}

uint32_t CX509Certificate::GetPublicKeyBits(std::vector<uint8_t>& bits) const {
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  const ASN1_BIT_STRING* bs = X509_get0_pubkey_bitstr(m_hCertContext->x509.get());
  if (bs == nullptr) {
    ORVA_LOG_ERROR("X509_get0_pubkey_bitstr() failed!");
    return ORVA_E_X509_PUBKEY;
  }
  const uint8_t* p = ASN1_STRING_get0_data(bs);
  bits.assign(p, p + ASN1_STRING_length(bs));
  return ORVA_OK;
}

uint32_t CX509Certificate::GetPublicKeyInfo(std::vector<uint8_t>& spki) const {
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  X509_PUBKEY* pk = X509_get_X509_PUBKEY(m_hCertContext->x509.get());
  int n = i2d_X509_PUBKEY(pk, nullptr);
  if (n <= 0) {
    ORVA_LOG_ERROR("i2d_X509_PUBKEY() failed!");
    return ORVA_E_X509_PUBKEY;
  }
  spki.resize(static_cast<size_t>(n));
  unsigned char* p = spki.data();
  i2d_X509_PUBKEY(pk, &p);
  return ORVA_OK;
}

uint32_t CX509Certificate::get_PublicKey(ORVA_PUBLIC_KEY_RECORD* lpPubKeyBlob) const {
  ORVA_LOG_BEGIN();
  if (lpPubKeyBlob == nullptr) {
    ORVA_LOG_ERROR("lpPubKeyBlob is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  uint32_t ulType = 0, ulUsage = 0;
  uint32_t ulRes = get_KeyType(&ulType);
  if (ulRes != ORVA_OK) return ulRes;
  get_KeyUsage(&ulUsage);

  if (ulType == ALG_SM2) {
    ORVA_LOG_INFO("This is a ECC certificate!");
    std::vector<uint8_t> point;
    ulRes = GetPublicKeyBits(point);
    if (ulRes != ORVA_OK) return ulRes;
    if (point.size() != 65 || point[0] != 0x04) {
      ORVA_LOG_ERROR("ECC public key data length is incorrect! length=0x%x",
                     static_cast<uint32_t>(point.size()));
      return ORVA_E_BAD_INPUT;
    }
    std::memset(&lpPubKeyBlob->u, 0, sizeof lpPubKeyBlob->u);
    lpPubKeyBlob->usage = static_cast<uint8_t>(ulUsage);
    lpPubKeyBlob->version = 1;
    lpPubKeyBlob->algorithm = PUBKEY_ALG_SM2;
    lpPubKeyBlob->order = 256;
    std::memcpy(lpPubKeyBlob->u.sm2.x + 32, point.data() + 1, 32);
    std::memcpy(lpPubKeyBlob->u.sm2.y + 32, point.data() + 33, 32);
    ORVA_LOG_END();
    return ORVA_OK;
  }
  if (ulType != ALG_RSA) {
    ORVA_LOG_ERROR("The public key of the certificate is not supported! type=0x%x", ulType);
    return ORVA_E_NOT_SUPPORTED;
  }

  ORVA_LOG_INFO("This is a RSA certificate!");
  EVP_PKEY* pkey = X509_get0_pubkey(m_hCertContext->x509.get());
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  if (pkey == nullptr || EVP_PKEY_get_bn_param(pkey, "n", &n) != 1 ||
      EVP_PKEY_get_bn_param(pkey, "e", &e) != 1) {
    orva::ossl::BnPtr nFree(n), eFree(e);
    ORVA_LOG_ERROR("X509_get0_pubkey() failed! %s", orva::ossl::TakeErrors().c_str());
    return ORVA_E_X509_PUBKEY;
  }
  orva::ossl::BnPtr nOwn(n), eOwn(e);
  int modBytes = BN_num_bytes(n);
  if (modBytes > 256 || BN_num_bytes(e) > 4) {
    ORVA_LOG_ERROR("RSA public key is too large for the record! modulus bytes=0x%x",
                   static_cast<uint32_t>(modBytes));
    return ORVA_E_BAD_INPUT;
  }
  uint32_t order = lpPubKeyBlob->order;
  std::memset(&lpPubKeyBlob->u, 0, sizeof lpPubKeyBlob->u);
  lpPubKeyBlob->usage = static_cast<uint8_t>(ulUsage);
  lpPubKeyBlob->version = 1;
  lpPubKeyBlob->algorithm = PUBKEY_ALG_RSA;
  lpPubKeyBlob->u.rsa.bits = static_cast<uint32_t>(BN_num_bits(n));
  uint8_t exp[4] = {0, 0, 0, 0};
  BN_bn2lebinpad(e, exp, 4);
  lpPubKeyBlob->u.rsa.exponent = static_cast<uint32_t>(exp[0]) | (static_cast<uint32_t>(exp[1]) << 8) |
                                 (static_cast<uint32_t>(exp[2]) << 16) | (static_cast<uint32_t>(exp[3]) << 24);
  uint8_t* mod = lpPubKeyBlob->u.rsa.modulus;
  if (order == PUBKEY_RSA_ORDER_BE) {
    ORVA_LOG_INFO("The RSA public key data will be set in PKCS11 formated!");
    BN_bn2bin(n, mod);
  } else if (order == PUBKEY_RSA_ORDER_BE_RIGHT) {
    ORVA_LOG_INFO("The RSA public key data will be set in GM formated!");
    BN_bn2binpad(n, mod, 256);
  } else {
    ORVA_LOG_INFO("The RSA public key data will be set in CSP formated!");
    BN_bn2lebinpad(n, mod, modBytes);
    lpPubKeyBlob->order = PUBKEY_RSA_ORDER_LE;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::OpenViewDialog(uintptr_t hParentWnd) const {
  ORVA_LOG_BEGIN();
  // The view is a window of its own on this platform: the owner handle is not used. It
  // returns when the user closes it (at once without a display).
  (void)hParentWnd;
  std::vector<uint8_t> der;
  if (ToBuffer(der) == ORVA_OK)
    GetOrvaUserInterface()->ShowCertificate(
        der, {}, CORVAResource::Instance().DialogText(IDD_CERT_VIEW, "caption"));
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::RegistToIE() {
  ORVA_LOG_BEGIN();
  CCertificateStore store;
  uint32_t ulRes = store.Open();
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CCertificateStore::Open() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ulRes = store.AddCertificate(this);
  store.Close();
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CCertificateStore::AddCertificate() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::UnregistrFromIE() {
  ORVA_LOG_BEGIN();
  CCertificateStore store;
  uint32_t ulRes = store.Open();
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CCertificateStore::Open() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ulRes = store.RemoveCeriticate(this);
  store.Close();
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CCertificateStore::RemoveCeriticate() failed! ulRes=0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

const X509* CX509Certificate::get_CertInfo() const {
  if (!_HasCert()) {
    ORVA_LOG_ERROR("m_hCertContext is NULL!");
    return nullptr;
  }
  return m_hCertContext->x509.get();
}
