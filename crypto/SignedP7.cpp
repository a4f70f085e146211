#include "crypto/SignedP7.h"

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "crypto/PKeyUtil.h"
#include "foundation/Buffer.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

// The size-query copy of a byte string.
uint32_t CopyBytes(const unsigned char* p, size_t n, uint8_t* pbOut, uint32_t* pulLen) {
  uint32_t ulRes = OrvaCopyOut(p, n, pbOut, pulLen);
  if (ulRes == ORVA_E_BUFFER_TOO_SMALL) ORVA_LOG_ERROR("Buffer is too small! Requested length:0x%zx", n);
  return ulRes;
}

// The size-query copy of a text with its terminating zero.
uint32_t CopyText(const std::string& text, char* pOut, uint32_t* pulLen) {
  uint32_t ulNeed = static_cast<uint32_t>(text.size() + 1);
  if (pOut == nullptr) {
    *pulLen = ulNeed;
    return ORVA_OK;
  }
  if (*pulLen < ulNeed) {
    ORVA_LOG_ERROR("Buffer is too small! Requested length:0x%x", ulNeed);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(pOut, text.c_str(), ulNeed);
  *pulLen = ulNeed - 1;
  return ORVA_OK;
}

std::string DottedOid(const ASN1_OBJECT* obj) {
  char buf[128];
  int n = obj ? OBJ_obj2txt(buf, sizeof buf, obj, 1) : -1;
  if (n <= 0 || n >= static_cast<int>(sizeof buf)) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

// DER SET OF sorts its elements by their encodings; the attributes are kept in that order so
// that the bytes signed (get_auth_attr) are the bytes encode() writes.
int CompareAttrDer(const X509_ATTRIBUTE* const* a, const X509_ATTRIBUTE* const* b) {
  unsigned char* da = nullptr;
  unsigned char* db = nullptr;
  int na = i2d_X509_ATTRIBUTE(*a, &da);
  int nb = i2d_X509_ATTRIBUTE(*b, &db);
  int r = 0;
  if (na > 0 && nb > 0) {
    r = std::memcmp(da, db, static_cast<size_t>(std::min(na, nb)));
    if (r == 0) r = na < nb ? -1 : na > nb ? 1 : 0;
  }
  OPENSSL_free(da);
  OPENSSL_free(db);
  return r;
}

}  // namespace

uint32_t CSignedP7::_FirstSigner(PKCS7_SIGNER_INFO** ppSigner) const {
  if (!m_p7 || !PKCS7_type_is_signed(m_p7.get()) || m_p7->d.sign == nullptr) {
    ORVA_LOG_ERROR("m_p7 is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(m_p7->d.sign->signer_info, 0);
  if (si == nullptr) {
    ORVA_LOG_ERROR("No signer in PKCS7!");
    return ORVA_E_PKCS7_NO_SIGNER;
  }
  *ppSigner = si;
  return ORVA_OK;
}

uint32_t CSignedP7::create() {
  ORVA_LOG_BEGIN();
  orva::ossl::Ptr<PKCS7, PKCS7_free> p7(PKCS7_new());
  if (!p7) {
    ORVA_LOG_ERROR("PKCS7_new() failed!");
    return ORVA_E_PKCS7_NEW;
  }
  // Signed data (version 1) whose content info says "data" and carries no bytes: detached.
  if (PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1 || PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1 ||
      PKCS7_set_detached(p7.get(), 1) != 1) {
    ORVA_LOG_ERROR("PKCS7_set_type() failed! %s", orva::ossl::TakeErrors().c_str());
    return ORVA_E_PKCS7_SET_TYPE;
  }
  m_p7 = std::move(p7);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedP7::add_signer(const uint8_t* pbCert, uint32_t ulCertLen, uint32_t ulDigestAlg) {
  ORVA_LOG_BEGIN();
  if (!m_p7 || !PKCS7_type_is_signed(m_p7.get())) {
    ORVA_LOG_ERROR("m_p7 is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (pbCert == nullptr || ulCertLen == 0) {
    ORVA_LOG_ERROR("lpCert is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  int mdNid = orva::crypto::DigestNidOf(ulDigestAlg);
  if (mdNid == NID_undef) {
    ORVA_LOG_ERROR("Digest alg is wrong! ulDigestAlg=0x%x", ulDigestAlg);
    return ORVA_E_ALG_NOT_SUPPORTED;
  }
  orva::ossl::X509Ptr x = orva::crypto::DecodeCert(pbCert, ulCertLen);
  if (!x) {
    ORVA_LOG_ERROR("d2i_X509() failed!");
    return ORVA_E_X509_DECODE;
  }
  EVP_PKEY* pkey = X509_get0_pubkey(x.get());
  if (pkey == nullptr) {
    ORVA_LOG_ERROR("X509_get_pubkey() failed!");
    ERR_clear_error();
    return ORVA_E_X509_PUBKEY;
  }
  uint32_t ulKind = orva::crypto::PkeyKind(pkey);
  if (ulKind == 0) {
    ORVA_LOG_ERROR("X509 certificate public key type is unknown!");
    return ORVA_E_X509_PUBKEY_TYPE;
  }
  orva::ossl::Ptr<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free> si(PKCS7_SIGNER_INFO_new());
  if (!si || ASN1_INTEGER_set(si->version, 1) != 1) {
    ORVA_LOG_ERROR("PKCS7_SIGNER_INFO_new() failed!");
    return ORVA_E_SET_INTEGER;
  }
  if (X509_NAME_set(&si->issuer_and_serial->issuer, X509_get_issuer_name(x.get())) != 1) {
    ORVA_LOG_ERROR("X509_NAME_set() failed!");
    orva::ossl::TakeErrors();
    return ORVA_E_X509_SERIAL;
  }
  ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(x.get()));
  if (serial == nullptr) {
    ORVA_LOG_ERROR("ASN1_INTEGER_dup() failed!");
    return ORVA_E_SET_INTEGER;
  }
  ASN1_INTEGER_free(si->issuer_and_serial->serial);
  si->issuer_and_serial->serial = serial;
  int sigNid = ulKind == ALG_RSA ? NID_rsaEncryption : NID_sm2;
  if (X509_ALGOR_set0(si->digest_alg, OBJ_nid2obj(mdNid), V_ASN1_NULL, nullptr) != 1 ||
      X509_ALGOR_set0(si->digest_enc_alg, OBJ_nid2obj(sigNid), V_ASN1_NULL, nullptr) != 1) {
    ORVA_LOG_ERROR("X509_ALGOR_set0() failed!");
    return ORVA_E_SET_INTEGER;
  }
  if (PKCS7_add_signer(m_p7.get(), si.get()) != 1) {
    ORVA_LOG_ERROR("PKCS7_add_signer() failed! %s", orva::ossl::TakeErrors().c_str());
    return ORVA_E_SET_INTEGER;
  }
  si.release();  // owned by the structure now
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedP7::add_signature(const uint8_t* pbSignature, uint32_t ulLen) {
  ORVA_LOG_BEGIN();
  if (pbSignature == nullptr || ulLen == 0 || ulLen > INT32_MAX) {
    ORVA_LOG_ERROR("lpSignature is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  PKCS7_SIGNER_INFO* si = nullptr;
  uint32_t ulRes = _FirstSigner(&si);
  if (ulRes != ORVA_OK) return ulRes;
  if (ASN1_OCTET_STRING_set(si->enc_digest, pbSignature, static_cast<int>(ulLen)) != 1) {
    ORVA_LOG_ERROR("ASN1_OCTET_STRING_set() failed!");
    return ORVA_E_SET_OCTET_STRING;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedP7::add_content(const uint8_t* pbData, uint32_t ulLen) {
  ORVA_LOG_BEGIN();
  if (pbData == nullptr || ulLen == 0 || ulLen > INT32_MAX) {
    ORVA_LOG_ERROR("lpData is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!m_p7 || !PKCS7_type_is_signed(m_p7.get()) || m_p7->d.sign == nullptr) {
    ORVA_LOG_ERROR("m_p7 is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  PKCS7* inner = m_p7->d.sign->contents;
  if (inner == nullptr || !PKCS7_type_is_data(inner)) {
    ORVA_LOG_ERROR("Content type is not data!");
    return ORVA_E_SET_OCTET_STRING;
  }
  if (inner->d.data == nullptr) inner->d.data = ASN1_OCTET_STRING_new();
  if (inner->d.data == nullptr || ASN1_OCTET_STRING_set(inner->d.data, pbData, static_cast<int>(ulLen)) != 1) {
    ORVA_LOG_ERROR("ASN1_OCTET_STRING_set() failed!");
    return ORVA_E_SET_OCTET_STRING;
  }
  m_p7->detached = 0;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedP7::add_cert(const uint8_t* pbCert, uint32_t ulLen) {
  ORVA_LOG_BEGIN();
  if (pbCert == nullptr || ulLen == 0) {
    ORVA_LOG_ERROR("lpCert is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!m_p7 || !PKCS7_type_is_signed(m_p7.get())) {
    ORVA_LOG_ERROR("m_p7 is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  orva::ossl::X509Ptr x = orva::crypto::DecodeCert(pbCert, ulLen);
  if (!x) {
    ORVA_LOG_ERROR("d2i_X509() failed!");
    return ORVA_E_X509_DECODE;
  }
  if (PKCS7_add_certificate(m_p7.get(), x.get()) != 1) {  // takes its own reference
    ORVA_LOG_ERROR("PKCS7_add_certificate() failed!");
    orva::ossl::TakeErrors();
    return ORVA_E_PKCS7_SET_TYPE;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedP7::add_timestamp(const uint8_t* pbDigest, uint32_t ulLen) {
  ORVA_LOG_BEGIN();
  if (pbDigest == nullptr || ulLen == 0 || ulLen > 64) {
    ORVA_LOG_ERROR("lpDigest is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  PKCS7_SIGNER_INFO* si = nullptr;
  uint32_t ulRes = _FirstSigner(&si);
  if (ulRes != ORVA_OK) return ulRes;
  ASN1_UTCTIME* t = ASN1_UTCTIME_set(nullptr, time(nullptr));
  ASN1_OCTET_STRING* md = ASN1_OCTET_STRING_new();
  bool ok = t && md && ASN1_OCTET_STRING_set(md, pbDigest, static_cast<int>(ulLen)) == 1;
  // On success each value belongs to the structure.
  if (ok) ok = PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data)) == 1;
  if (ok && PKCS7_add_signed_attribute(si, NID_pkcs9_signingTime, V_ASN1_UTCTIME, t) == 1) t = nullptr;
  else ok = false;
  if (ok && PKCS7_add_signed_attribute(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, md) == 1) md = nullptr;
  else ok = false;
  ASN1_UTCTIME_free(t);
  ASN1_OCTET_STRING_free(md);
  if (!ok) {
    ORVA_LOG_ERROR("PKCS7_add_signed_attribute() failed! %s", orva::ossl::TakeErrors().c_str());
    return ORVA_E_CALL_FAILED;
  }
  sk_X509_ATTRIBUTE_set_cmp_func(si->auth_attr, CompareAttrDer);
  sk_X509_ATTRIBUTE_sort(si->auth_attr);
  sk_X509_ATTRIBUTE_set_cmp_func(si->auth_attr, nullptr);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedP7::encode(uint8_t* pbOut, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!m_p7) {
    ORVA_LOG_ERROR("m_p7 is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  int n = i2d_PKCS7(m_p7.get(), nullptr);
  if (n <= 0) {
    ORVA_LOG_ERROR("i2d_PKCS7() failed! %s", orva::ossl::TakeErrors().c_str());
    return ORVA_E_CALL_FAILED;
  }
  if (pbOut == nullptr) {
    *pulLen = static_cast<uint32_t>(n);
    ORVA_LOG_INFO("Return the requested length: 0x%x", *pulLen);
    return ORVA_OK;
  }
  if (*pulLen < static_cast<uint32_t>(n)) {
    ORVA_LOG_ERROR("Buffer is too small! Requested length:0x%x", static_cast<uint32_t>(n));
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  unsigned char* p = pbOut;
  if (i2d_PKCS7(m_p7.get(), &p) != n) {
    ORVA_LOG_ERROR("i2d_PKCS7() failed!");
    orva::ossl::TakeErrors();
    return ORVA_E_CALL_FAILED;
  }
  *pulLen = static_cast<uint32_t>(n);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CSignedP7::decode(const uint8_t* pbDer, uint32_t ulLen) {
  ORVA_LOG_BEGIN();
  if (pbDer == nullptr || ulLen == 0 || ulLen > INT32_MAX) {
    ORVA_LOG_ERROR("lpP7 is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  m_p7.reset();
  const unsigned char* p = pbDer;
  orva::ossl::Ptr<PKCS7, PKCS7_free> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(ulLen)));
  // Only signed data is kept: every reader below walks the signed-data fields.
  if (!p7 || !PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    ORVA_LOG_ERROR("d2i_PKCS7() failed!");
    ERR_clear_error();
    return ORVA_E_PKCS7_DECODE;
  }
  m_p7 = std::move(p7);
  ORVA_LOG_END();
  return ORVA_OK;
}

bool CSignedP7::IsSignedData(const uint8_t* pbDer, uint32_t ulLen) {
  if (pbDer == nullptr || ulLen < 2 || ulLen > INT32_MAX || pbDer[0] != 0x30) return false;
  const unsigned char* p = pbDer;
  orva::ossl::Ptr<PKCS7, PKCS7_free> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(ulLen)));
  bool bSigned = p7 && PKCS7_type_is_signed(p7.get()) && p7->d.sign != nullptr && p == pbDer + ulLen;
  ERR_clear_error();
  return bSigned;
}

uint32_t CSignedP7::get_auth_attr(uint8_t* pbOut, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  PKCS7_SIGNER_INFO* si = nullptr;
  uint32_t ulRes = _FirstSigner(&si);
  if (ulRes != ORVA_OK) return ulRes;
  if (sk_X509_ATTRIBUTE_num(si->auth_attr) <= 0) {
    *pulLen = 0;
    ORVA_LOG_ERROR("No authenticated attributes!");
    return ORVA_E_CALL_FAILED;
  }
  // The attributes as a universal SET in the order held, as the signer hashed them.
  unsigned char* der = nullptr;
  int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &der, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  orva::ossl::OpenSslBytesPtr owner(der);
  if (n <= 0) {
    ORVA_LOG_ERROR("ASN1_item_i2d() failed!");
    orva::ossl::TakeErrors();
    return ORVA_E_CALL_FAILED;
  }
  ulRes = CopyBytes(der, static_cast<size_t>(n), pbOut, pulLen);
  if (ulRes == ORVA_OK) ORVA_LOG_END();
  return ulRes;
}

uint32_t CSignedP7::get_sign_alg(char* pOut, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) return ORVA_E_INVALID_PARAM;
  PKCS7_SIGNER_INFO* si = nullptr;
  uint32_t ulRes = _FirstSigner(&si);
  if (ulRes != ORVA_OK) return ulRes;
  std::string oid = DottedOid(si->digest_enc_alg ? si->digest_enc_alg->algorithm : nullptr);
  if (oid.empty()) {
    ORVA_LOG_ERROR("OBJ_obj2txt() failed!");
    return ORVA_E_CALL_FAILED;
  }
  return CopyText(oid, pOut, pulLen);
}

uint32_t CSignedP7::get_digest_alg(char* pOut, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) return ORVA_E_INVALID_PARAM;
  PKCS7_SIGNER_INFO* si = nullptr;
  uint32_t ulRes = _FirstSigner(&si);
  if (ulRes != ORVA_OK) return ulRes;
  std::string oid = DottedOid(si->digest_alg ? si->digest_alg->algorithm : nullptr);
  if (oid.empty()) {
    ORVA_LOG_ERROR("OBJ_obj2txt() failed!");
    return ORVA_E_CALL_FAILED;
  }
  return CopyText(oid, pOut, pulLen);
}

uint32_t CSignedP7::get_digest(uint8_t* pbOut, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) return ORVA_E_INVALID_PARAM;
  PKCS7_SIGNER_INFO* si = nullptr;
  uint32_t ulRes = _FirstSigner(&si);
  if (ulRes != ORVA_OK) return ulRes;
  ASN1_TYPE* t = PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest);
  if (t == nullptr || t->type != V_ASN1_OCTET_STRING || t->value.octet_string == nullptr) {
    *pulLen = 0;
    ORVA_LOG_ERROR("No message digest attribute!");
    return ORVA_E_CALL_FAILED;
  }
  const ASN1_OCTET_STRING* os = t->value.octet_string;
  return CopyBytes(ASN1_STRING_get0_data(os), static_cast<size_t>(ASN1_STRING_length(os)), pbOut, pulLen);
}

uint32_t CSignedP7::get_signature(uint8_t* pbOut, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) return ORVA_E_INVALID_PARAM;
  PKCS7_SIGNER_INFO* si = nullptr;
  uint32_t ulRes = _FirstSigner(&si);
  if (ulRes != ORVA_OK) return ulRes;
  if (si->enc_digest == nullptr || ASN1_STRING_length(si->enc_digest) <= 0) {
    ORVA_LOG_ERROR("signer->enc_digest is NULL!");
    return ORVA_E_CALL_FAILED;
  }
  return CopyBytes(ASN1_STRING_get0_data(si->enc_digest), static_cast<size_t>(ASN1_STRING_length(si->enc_digest)),
                   pbOut, pulLen);
}

uint32_t CSignedP7::pkcs7_get_content(uint8_t* pbOut, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) return ORVA_E_INVALID_PARAM;
  if (!m_p7 || !PKCS7_type_is_signed(m_p7.get()) || m_p7->d.sign == nullptr) {
    ORVA_LOG_ERROR("m_p7 is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  const PKCS7* inner = m_p7->d.sign->contents;
  if (inner == nullptr || !PKCS7_type_is_data(inner) || inner->d.data == nullptr) {
    ORVA_LOG_ERROR("The content is detached or not data!");
    return ORVA_E_BAD_INPUT;
  }
  return CopyBytes(ASN1_STRING_get0_data(inner->d.data), static_cast<size_t>(ASN1_STRING_length(inner->d.data)),
                   pbOut, pulLen);
}

uint32_t CSignedP7::pkcs7_get_cert(uint8_t* pbOut, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  if (pulLen == nullptr) return ORVA_E_INVALID_PARAM;
  PKCS7_SIGNER_INFO* si = nullptr;
  uint32_t ulRes = _FirstSigner(&si);
  if (ulRes != ORVA_OK) return ulRes;
  X509* x = nullptr;
  if (si->issuer_and_serial && m_p7->d.sign->cert)
    x = X509_find_by_issuer_and_serial(m_p7->d.sign->cert, si->issuer_and_serial->issuer,
                                       si->issuer_and_serial->serial);
  if (x == nullptr) {
    ORVA_LOG_ERROR("No signer certificate in PKCS7!");
    return ORVA_E_NO_CERT;
  }
  unsigned char* der = nullptr;
  int n = i2d_X509(x, &der);
  orva::ossl::OpenSslBytesPtr owner(der);
  if (n <= 0) {
    ORVA_LOG_ERROR("i2d_X509() failed!");
    orva::ossl::TakeErrors();
    return ORVA_E_X509_DECODE;
  }
  return CopyBytes(der, static_cast<size_t>(n), pbOut, pulLen);
}

uint32_t CSignedP7::get_timestamp(int64_t* pllTime) const {
  ORVA_LOG_BEGIN();
  if (pllTime == nullptr) return ORVA_E_INVALID_PARAM;
  PKCS7_SIGNER_INFO* si = nullptr;
  uint32_t ulRes = _FirstSigner(&si);
  if (ulRes != ORVA_OK) return ulRes;
  ASN1_TYPE* t = PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime);
  struct tm tm {};
  // ASN1_TIME_to_tm reads two-digit years below 50 as 20xx.
  if (t == nullptr || t->type != V_ASN1_UTCTIME || t->value.utctime == nullptr ||
      ASN1_TIME_to_tm(t->value.utctime, &tm) != 1) {
    ORVA_LOG_ERROR("No UTCTime signing time!");
    ERR_clear_error();
    return ORVA_E_CALL_FAILED;
  }
  *pllTime = static_cast<int64_t>(timegm(&tm));
  ORVA_LOG_END();
  return ORVA_OK;
}
