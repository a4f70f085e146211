#include "crypto/Timestamp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "crypto/OpenSSLMsgVerify.h"
#include "crypto/PKeyUtil.h"
#include "foundation/Buffer.h"
#include "foundation/DeviceTypes.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/ScopeGuard.h"

namespace {

const char kDefaultUserId[] = "1234567812345678";

// Seconds since 1970 of an ASN.1 time, and whether it has a non-zero fraction of a second
// (a generation time may: "20260601120000.5Z").
bool TimeOf(const ASN1_TIME* t, int64_t& secs, bool* pbFraction = nullptr) {
  struct tm tmv {};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tmv) != 1) {
    ERR_clear_error();
    return false;
  }
  secs = static_cast<int64_t>(timegm(&tmv));
  if (pbFraction) {
    *pbFraction = false;
    const char* s = reinterpret_cast<const char*>(ASN1_STRING_get0_data(t));
    int n = ASN1_STRING_length(t);
    const char* dot = static_cast<const char*>(std::memchr(s, '.', static_cast<size_t>(n)));
    for (const char* p = dot ? dot + 1 : s + n; p < s + n && *p >= '0' && *p <= '9'; ++p)
      if (*p != '0') *pbFraction = true;
  }
  return true;
}

// The one value of the one attribute of that type, or null (absent, repeated, or with
// several values: a signer cannot mean two content types or two digests).
const ASN1_TYPE* SingleAttribute(const STACK_OF(X509_ATTRIBUTE) * attrs, int nid) {
  int at = X509at_get_attr_by_NID(attrs, nid, -1);
  if (at < 0 || X509at_get_attr_by_NID(attrs, nid, at) >= 0) return nullptr;
  X509_ATTRIBUTE* a = X509at_get_attr(attrs, at);
  if (X509_ATTRIBUTE_count(a) != 1) return nullptr;
  return X509_ATTRIBUTE_get0_type(a, 0);
}

}  // namespace

uint32_t CTimestamp::_ConvertOpenSSLAlgToORVA(const ASN1_OBJECT* pObj) {
  int nid = OBJ_obj2nid(pObj);
  uint32_t ulType = 0;
  switch (nid) {
    case NID_md5: ulType = HASH_MD5; break;
    case NID_sha1: ulType = HASH_SHA1; break;
    case NID_sha256: ulType = HASH_SHA256; break;
    case NID_sha384: ulType = HASH_SHA384; break;
    case NID_sha512: ulType = HASH_SHA512; break;
    case NID_sm3: ulType = HASH_SM3; break;
    case NID_rsaEncryption: ulType = ALG_RSA; break;
    case NID_sm2: ulType = ALG_SM2; break;
    case NID_md5WithRSAEncryption:
    case NID_md5WithRSA: ulType = HASH_MD5 | ALG_RSA; break;
    case NID_sha1WithRSAEncryption:
    case NID_sha1WithRSA: ulType = HASH_SHA1 | ALG_RSA; break;
    case NID_sha256WithRSAEncryption: ulType = HASH_SHA256 | ALG_RSA; break;
    case NID_sha384WithRSAEncryption: ulType = HASH_SHA384 | ALG_RSA; break;
    case NID_sha512WithRSAEncryption: ulType = HASH_SHA512 | ALG_RSA; break;
    case NID_SM2_with_SM3: ulType = HASH_SM3 | ALG_SM2; break;
    default: {
      char text[128] = {};
      if (pObj && OBJ_obj2txt(text, sizeof text, pObj, 1) > 0 && std::strcmp(text, "1.2.156.10197.1.501") == 0)
        ulType = HASH_SM3 | ALG_SM2;
      break;
    }
  }
  ORVA_LOG_INFO("Alg oid: 0x%x, ORVA Type: 0x%x", static_cast<uint32_t>(nid), ulType);
  return ulType;
}

uint32_t CTimestamp::_CheckEmpty() const {
  if (!m_ts) {
    ORVA_LOG_ERROR("m_ts is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_tst_info == nullptr) {
    ORVA_LOG_ERROR("m_tst_info is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  if (m_signer == nullptr) {
    ORVA_LOG_ERROR("m_signer is NULL!");
    return ORVA_E_INVALID_CALL;
  }
  return ORVA_OK;
}

uint32_t CTimestamp::decode(const uint8_t* lpbtTS, uint32_t ulLen) {
  ORVA_LOG_BEGIN();
  if (lpbtTS == nullptr || ulLen == 0) {
    ORVA_LOG_ERROR("lpbtTS is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  m_x509.reset();
  m_signer = nullptr;
  m_token = nullptr;
  m_tst_info = nullptr;
  m_ts.reset();
  orva::ossl::Ptr<TS_RESP, TS_RESP_free> ts;
  if (ulLen <= 0x7fffffff) {
    const unsigned char* p = lpbtTS;
    ts.reset(d2i_TS_RESP(nullptr, &p, static_cast<long>(ulLen)));
  }
  ERR_clear_error();
  if (!ts) {
    ORVA_LOG_ERROR("d2i_TS_RESP() failed!");
    return ORVA_E_CALL_FAILED;
  }
  // Only a granted response (status 0, or 1 with modifications) is a time-stamp.
  const ASN1_INTEGER* status = TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(ts.get()));
  long lStatus = status ? ASN1_INTEGER_get(status) : -1;
  if (lStatus != 0 && lStatus != 1) {
    ORVA_LOG_ERROR("The time-stamp response is not granted! status = %ld", lStatus);
    return ORVA_E_CALL_FAILED;
  }
  TS_TST_INFO* tst = TS_RESP_get_tst_info(ts.get());
  if (tst == nullptr) {
    ORVA_LOG_ERROR("TS_RESP_get_tst_info() failed!");
    return ORVA_E_CALL_FAILED;
  }
  PKCS7* token = TS_RESP_get_token(ts.get());
  if (token == nullptr || !PKCS7_type_is_signed(token)) {
    ORVA_LOG_ERROR("TS_RESP_get_token() failed!");
    return ORVA_E_CALL_FAILED;
  }
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(token);
  if (signers == nullptr) {
    ORVA_LOG_ERROR("PKCS7_get_signer_info() failed!");
    return ORVA_E_CALL_FAILED;
  }
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
  if (si == nullptr || si->issuer_and_serial == nullptr) {
    ORVA_LOG_ERROR("sk_PKCS7_SIGNER_INFO_value() failed!");
    return ORVA_E_CALL_FAILED;
  }
  X509* cert = X509_find_by_issuer_and_serial(token->d.sign->cert, si->issuer_and_serial->issuer,
                                              si->issuer_and_serial->serial);
  if (cert != nullptr) {
    X509_up_ref(cert);
    m_x509.reset(cert);
  } else {
    ORVA_LOG_INFO("No certificate in TS!");
  }
  m_ts = std::move(ts);
  m_tst_info = tst;
  m_token = token;
  m_signer = si;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CTimestamp::get_localTime(ORVA_SYSTEMTIME* pTime) const {
  ORVA_LOG_BEGIN();
  uint32_t ulRes = _CheckEmpty();
  if (ulRes != ORVA_OK) return ulRes;
  if (pTime == nullptr) {
    ORVA_LOG_ERROR("pTime is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  const ASN1_GENERALIZEDTIME* gt = TS_TST_INFO_get_time(m_tst_info);
  if (gt == nullptr) {
    ORVA_LOG_ERROR("TS_TST_INFO_get_time() failed!\n");
    return ORVA_E_CALL_FAILED;
  }
  int64_t secs = 0;
  struct tm lt {};
  time_t tt = 0;
  if (!TimeOf(gt, secs) || (tt = static_cast<time_t>(secs), localtime_r(&tt, &lt) == nullptr)) {
    ORVA_LOG_ERROR("_ConvertGeneralizedToTime() failed!\n");
    return ORVA_E_CALL_FAILED;
  }
  pTime->wYear = static_cast<uint16_t>(lt.tm_year + 1900);
  pTime->wMonth = static_cast<uint16_t>(lt.tm_mon + 1);
  pTime->wDayOfWeek = static_cast<uint16_t>(lt.tm_wday);
  pTime->wDay = static_cast<uint16_t>(lt.tm_mday);
  pTime->wHour = static_cast<uint16_t>(lt.tm_hour);
  pTime->wMinute = static_cast<uint16_t>(lt.tm_min);
  pTime->wSecond = static_cast<uint16_t>(lt.tm_sec);
  pTime->wMilliseconds = 0;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CTimestamp::get_msgImprint(uint32_t* pulAlg, uint8_t* pbBuf, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  uint32_t ulRes = _CheckEmpty();
  if (ulRes != ORVA_OK) return ulRes;
  if (pulAlg == nullptr) {
    ORVA_LOG_ERROR("pulAlg is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  TS_MSG_IMPRINT* mi = TS_TST_INFO_get_msg_imprint(m_tst_info);
  if (mi == nullptr) {
    ORVA_LOG_ERROR("TS_TST_INFO_get_msg_imprint() failed!\n");
    return ORVA_E_CALL_FAILED;
  }
  X509_ALGOR* alg = TS_MSG_IMPRINT_get_algo(mi);
  if (alg == nullptr) {
    ORVA_LOG_ERROR("TS_MSG_IMPRINT_get_algo() failed!\n");
    return ORVA_E_CALL_FAILED;
  }
  ASN1_OCTET_STRING* msg = TS_MSG_IMPRINT_get_msg(mi);
  if (msg == nullptr) {
    ORVA_LOG_ERROR("TS_MSG_IMPRINT_get_msg() failed!\n");
    return ORVA_E_CALL_FAILED;
  }
  // The length is the imprint's own: SHA-384 and SHA-512 imprints are longer than 32 bytes.
  uint32_t ulNeed = static_cast<uint32_t>(ASN1_STRING_length(msg));
  if (pbBuf == nullptr) {
    *pulLen = ulNeed;
    ORVA_LOG_INFO("Return requested length: 0x%x", ulNeed);
    return ORVA_OK;
  }
  if (*pulLen < ulNeed) {
    ORVA_LOG_ERROR("Buffer is too small! Requested: 0x%x, *pulLen = 0x%x", ulNeed, *pulLen);
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  const ASN1_OBJECT* obj = nullptr;
  X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
  *pulAlg = _ConvertOpenSSLAlgToORVA(obj);
  if (ulNeed) std::memcpy(pbBuf, ASN1_STRING_get0_data(msg), ulNeed);
  *pulLen = ulNeed;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CTimestamp::get_cert(uint8_t* pbBuf, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  uint32_t ulRes = _CheckEmpty();
  if (ulRes != ORVA_OK) return ulRes;
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  if (!m_x509) {
    ORVA_LOG_ERROR("m_x509 is NULL!");
    return ORVA_E_NO_CERT;
  }
  unsigned char* der = nullptr;
  int n = i2d_X509(m_x509.get(), &der);
  orva::ossl::OpenSslBytesPtr owner(der);
  if (n <= 0) {
    ERR_clear_error();
    ORVA_LOG_ERROR("i2d_X509() failed!");
    return ORVA_E_X509_DECODE;
  }
  ulRes = OrvaCopyOut(der, static_cast<size_t>(n), pbBuf, pulLen);
  if (ulRes == ORVA_OK && pbBuf != nullptr) ORVA_LOG_END();
  return ulRes;
}

uint32_t CTimestamp::get_signature(uint8_t* pbBuf, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  uint32_t ulRes = _CheckEmpty();
  if (ulRes != ORVA_OK) return ulRes;
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  const ASN1_OCTET_STRING* sig = m_signer->enc_digest;
  if (sig == nullptr || ASN1_STRING_length(sig) <= 0) {
    ORVA_LOG_ERROR("signer->enc_digest or signer->enc_digest->data is NULL!");
    return ORVA_E_CALL_FAILED;
  }
  ulRes = OrvaCopyOut(ASN1_STRING_get0_data(sig), static_cast<size_t>(ASN1_STRING_length(sig)), pbBuf, pulLen);
  if (ulRes == ORVA_OK && pbBuf != nullptr) ORVA_LOG_END();
  return ulRes;
}

uint32_t CTimestamp::get_timestamp(uint8_t* pbBuf, uint32_t* pulLen) const {
  ORVA_LOG_BEGIN();
  uint32_t ulRes = _CheckEmpty();
  if (ulRes != ORVA_OK) return ulRes;
  if (pulLen == nullptr) {
    ORVA_LOG_ERROR("pulLen is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  unsigned char* der = nullptr;
  int n = i2d_TS_RESP(m_ts.get(), &der);
  orva::ossl::OpenSslBytesPtr owner(der);
  if (n <= 0) {
    ERR_clear_error();
    ORVA_LOG_ERROR("i2d_TS_RESP() failed!");
    return ORVA_E_CALL_FAILED;
  }
  ulRes = OrvaCopyOut(der, static_cast<size_t>(n), pbBuf, pulLen);
  if (ulRes == ORVA_OK && pbBuf != nullptr) ORVA_LOG_END();
  return ulRes;
}

uint32_t CTimestamp::_VerifyTime(const X509* pTsa) const {
  ORVA_LOG_BEGIN();
  int64_t gen = 0, notBefore = 0, notAfter = 0;
  bool bFraction = false;
  if (!TimeOf(TS_TST_INFO_get_time(m_tst_info), gen, &bFraction) || !TimeOf(X509_get0_notBefore(pTsa), notBefore) ||
      !TimeOf(X509_get0_notAfter(pTsa), notAfter)) {
    ORVA_LOG_ERROR("The time is invalid! tt = 0x%x\n", 0u);
    return ORVA_E_VERIFY_TIME;
  }
  // Strictly inside: after not-before (a fraction past it counts) and before not-after.
  bool bAfterStart = gen > notBefore || (gen == notBefore && bFraction);
  bool bBeforeEnd = gen < notAfter;
  if (!bAfterStart || !bBeforeEnd) {
    ORVA_LOG_ERROR("The time is invalid! tt = 0x%x\n", static_cast<uint32_t>(gen));
    return ORVA_E_VERIFY_TIME;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CTimestamp::_VerifyCert(const X509* pTsa) const {
  ORVA_LOG_BEGIN();
  unsigned char* der = nullptr;
  int n = i2d_X509(pTsa, &der);
  orva::ossl::OpenSslBytesPtr owner(der);
  CX509Certificate cert;
  uint32_t ulRes = n > 0 ? cert.FromBuffer(der, static_cast<uint32_t>(n)) : ORVA_E_X509_DECODE;
  if (ulRes != ORVA_OK) {
    ERR_clear_error();
    ORVA_LOG_ERROR("pCertObj->FromBuffer() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  uint32_t ulCertVerified = 0;
  ulRes = cert.get_ValidType(ORVA_CERT_CHECK_CHAIN, &ulCertVerified);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("get_ValidType() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  if (ulCertVerified == 0) {
    ORVA_LOG_INFO("Certificate verified is OK!");
    ORVA_LOG_END();
    return ORVA_OK;
  }
  if (ulCertVerified & ORVA_CERT_STATUS_BAD_SIGNATURE) {
    ORVA_LOG_ERROR("Certificate has an invalid signature! ulCertVerified = 0x%x", ulCertVerified);
    return ORVA_E_VERIFY_CERT_SIGNATURE;
  }
  if (ulCertVerified & ORVA_CERT_STATUS_BAD_ISSUER) {
    ORVA_LOG_ERROR("Certificate has an invalid issuer! ulCertVerified = 0x%x", ulCertVerified);
    return ORVA_E_VERIFY_CERT_ISSUER;
  }
  if (ulCertVerified & ORVA_CERT_STATUS_BAD_ROOT) {
    ORVA_LOG_ERROR("Certificate has an invalid root! ulCertVerified = 0x%x", ulCertVerified);
    return ORVA_E_VERIFY_CERT_CHAIN;
  }
  ORVA_LOG_ERROR("Certificate verified failed with an unknown reason! ulCertVerified = 0x%x", ulCertVerified);
  return ORVA_E_VERIFY_CERT;
}

uint32_t CTimestamp::_GetTstRespContent(uint8_t* pbBuf, uint32_t* pulLen) const {
  // The signed attributes as a universal SET, in the order received: the bytes the TSA signed.
  unsigned char* der = nullptr;
  int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(m_signer->auth_attr), &der, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  orva::ossl::OpenSslBytesPtr owner(der);
  if (n <= 0) {
    ERR_clear_error();
    ORVA_LOG_ERROR("i2d_TS_TST_INFO() is NULL!");
    return ORVA_E_CALL_FAILED;
  }
  if (pbBuf == nullptr) {
    *pulLen = static_cast<uint32_t>(n);
    ORVA_LOG_INFO("Return the requested length: 0x%x", *pulLen);
    return ORVA_OK;
  }
  if (*pulLen < static_cast<uint32_t>(n)) {
    ORVA_LOG_ERROR("Buffer is too small! The requested length: 0x%x", static_cast<uint32_t>(n));
    return ORVA_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(pbBuf, der, static_cast<size_t>(n));
  *pulLen = static_cast<uint32_t>(n);
  return ORVA_OK;
}

uint32_t CTimestamp::_VerifySignature(const X509* pTsa) const {
  ORVA_LOG_BEGIN();
  // What the signature covers must be this TSTInfo: the content-type attribute names it and
  // the message digest is its digest. Without signed attributes nothing binds the two.
  const STACK_OF(X509_ATTRIBUTE)* attrs = m_signer->auth_attr;
  if (sk_X509_ATTRIBUTE_num(attrs) <= 0) {
    ORVA_LOG_ERROR("The time-stamp token has no signed attributes!");
    return ORVA_E_VERIFY_SIGNATURE;
  }
  const ASN1_TYPE* ct = SingleAttribute(attrs, NID_pkcs9_contentType);
  if (ct == nullptr || ct->type != V_ASN1_OBJECT || OBJ_obj2nid(ct->value.object) != NID_id_smime_ct_TSTInfo) {
    ORVA_LOG_ERROR("The content type of the time-stamp token is not TSTInfo!");
    return ORVA_E_VERIFY_SIGNATURE;
  }
  const ASN1_TYPE* md = SingleAttribute(attrs, NID_pkcs9_messageDigest);
  const PKCS7* inner = m_token->d.sign->contents;
  const ASN1_TYPE* content = inner && PKCS7_type_is_other(const_cast<PKCS7*>(inner)) ? inner->d.other : nullptr;
  const EVP_MD* mdAlg = EVP_get_digestbyobj(m_signer->digest_alg->algorithm);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int ulDigestLen = 0;
  if (md == nullptr || md->type != V_ASN1_OCTET_STRING || content == nullptr ||
      content->type != V_ASN1_OCTET_STRING || mdAlg == nullptr ||
      EVP_Digest(ASN1_STRING_get0_data(content->value.octet_string),
                 static_cast<size_t>(ASN1_STRING_length(content->value.octet_string)), digest, &ulDigestLen, mdAlg,
                 nullptr) != 1 ||
      static_cast<unsigned int>(ASN1_STRING_length(md->value.octet_string)) != ulDigestLen ||
      std::memcmp(ASN1_STRING_get0_data(md->value.octet_string), digest, ulDigestLen) != 0) {
    ERR_clear_error();
    ORVA_LOG_ERROR("The message digest of the time-stamp token is not the digest of its TSTInfo!");
    return ORVA_E_VERIFY_SIGNATURE;
  }

  uint32_t ulLen = 0;
  uint32_t ulRes = _GetTstRespContent(nullptr, &ulLen);
  if (ulRes != ORVA_OK) return ulRes;
  std::vector<uint8_t> content2(ulLen);
  ulRes = _GetTstRespContent(content2.data(), &ulLen);
  if (ulRes != ORVA_OK) return ulRes;

  uint32_t ulAlg = _ConvertOpenSSLAlgToORVA(m_signer->digest_enc_alg->algorithm);
  std::string strUserId;
  if (ulAlg & ALG_RSA) {
    strUserId.clear();
  } else if (ulAlg & ALG_SM2) {
    strUserId = kDefaultUserId;
  } else {
    ORVA_LOG_ERROR("Signature alg is unknown!");
    return ORVA_E_ALG_NOT_SUPPORTED;
  }
  if (ulAlg <= 0xFF) ulAlg |= _ConvertOpenSSLAlgToORVA(m_signer->digest_alg->algorithm);

  unsigned char* der = nullptr;
  int n = i2d_X509(pTsa, &der);
  orva::ossl::OpenSslBytesPtr owner(der);
  CX509Certificate cert;
  ulRes = n > 0 ? cert.FromBuffer(der, static_cast<uint32_t>(n)) : ORVA_E_X509_DECODE;
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pCertObj->FromBuffer() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  COpenSSLMsgVerify verifier;
  verifier.set_VerifyCert(&cert);
  ulRes = verifier.Init(ulAlg, reinterpret_cast<const uint8_t*>(strUserId.data()),
                        static_cast<uint32_t>(strUserId.size()), 0, nullptr);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pOpenSSLVerify->Init() failed! res = 0x%x", ulRes);
    return ulRes;
  }
  ulRes = verifier.Update(content2.data(), ulLen, true);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pOpenSSLVerify->Update() failed! res = 0x%x", ulRes);
    return ulRes;
  }
  const ASN1_OCTET_STRING* sig = m_signer->enc_digest;
  if (sig == nullptr || ASN1_STRING_length(sig) <= 0) {
    ORVA_LOG_ERROR("signer->enc_digest or signer->enc_digest->data is NULL!");
    return ORVA_E_VERIFY_SIGNATURE;
  }
  uint8_t result[4] = {};
  uint32_t ulResultLen = sizeof result;
  ulRes = verifier.Final(ASN1_STRING_get0_data(sig), static_cast<uint32_t>(ASN1_STRING_length(sig)), result,
                         &ulResultLen);
  if (ulRes != ORVA_OK || result[0] != 1) {
    ORVA_LOG_ERROR("pOpenSSLVerify->Final() failed! res = 0x%x", ulRes);
    return ORVA_E_VERIFY_SIGNATURE;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CTimestamp::verify(const uint8_t* lpbtSrvCert, uint32_t ulSrvCertLen) {
  ORVA_LOG_BEGIN();
  uint32_t ulRes = _CheckEmpty();
  if (ulRes != ORVA_OK) return ulRes;
  // The token's own certificate, else the caller's for this call only.
  orva::ossl::X509Ptr given;
  const X509* tsa = m_x509.get();
  if (tsa == nullptr) {
    if (lpbtSrvCert == nullptr || ulSrvCertLen == 0) {
      ORVA_LOG_ERROR("lpbtSrvCert is NULL!");
      return ORVA_E_INVALID_PARAM;
    }
    given = orva::crypto::DecodeCert(lpbtSrvCert, ulSrvCertLen);
    if (!given) {
      ORVA_LOG_ERROR("d2i_X509() failed!");
      return ORVA_E_BAD_INPUT;
    }
    tsa = given.get();
  }
  ulRes = _VerifyTime(tsa);
  if (ulRes == ORVA_OK) ulRes = _VerifyCert(tsa);
  if (ulRes == ORVA_OK) ulRes = _VerifySignature(tsa);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("_VerifyCert() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CTimestamp::verify(const uint8_t* pbDigest, uint32_t ulDigestLen, const uint8_t* lpbtSrvCert,
                            uint32_t ulSrvCertLen) {
  ORVA_LOG_BEGIN();
  uint32_t ulRes = _CheckEmpty();
  if (ulRes != ORVA_OK) return ulRes;
  if (pbDigest == nullptr || ulDigestLen == 0) {
    ORVA_LOG_ERROR("pbDigest is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  const ASN1_OCTET_STRING* imprint = TS_MSG_IMPRINT_get_msg(TS_TST_INFO_get_msg_imprint(m_tst_info));
  if (imprint == nullptr || static_cast<uint32_t>(ASN1_STRING_length(imprint)) != ulDigestLen ||
      std::memcmp(ASN1_STRING_get0_data(imprint), pbDigest, ulDigestLen) != 0) {
    ORVA_LOG_ERROR("Digest is not same as imprint!");
    return ORVA_E_VERIFY_DIGEST;
  }
  ulRes = verify(lpbtSrvCert, ulSrvCertLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("verify() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CTimestamp::_VerifyHashed(uint32_t ulDigestAlg, const std::string& strUserId, const uint8_t* pbUserCert,
                                   uint32_t ulUserCertLen, const std::function<uint32_t(COpenSSLMsgHash&)>& feed,
                                   const uint8_t* lpbtSrvCert, uint32_t ulSrvCertLen) {
  COpenSSLMsgHash hash;
  if (ulDigestAlg == HASH_SM3 && pbUserCert != nullptr && ulUserCertLen != 0) {
    CX509Certificate user;
    uint32_t ulRes = user.FromBuffer(pbUserCert, ulUserCertLen);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("pCertObj->FromBuffer() failed! ulRes = 0x%x", ulRes);
      return ulRes;
    }
    ORVA_PUBLIC_KEY_RECORD rec{};
    ulRes = user.get_PublicKey(&rec);
    if (ulRes != ORVA_OK || rec.algorithm != PUBKEY_ALG_SM2) {
      ORVA_LOG_ERROR("pCertObj->get_PublicKey() failed! ulRes = 0x%x", ulRes);
      return ulRes != ORVA_OK ? ulRes : ORVA_E_BAD_INPUT;
    }
    if (strUserId.empty()) {
      ORVA_LOG_ERROR("user_id is NULL!");
      return ORVA_E_INVALID_PARAM;
    }
    hash.set_PublicKey(rec.u.sm2.x + 32, rec.u.sm2.y + 32);
  }
  uint32_t ulRes = hash.Init(ulDigestAlg, reinterpret_cast<const uint8_t*>(strUserId.data()),
                             static_cast<uint32_t>(strUserId.size()));
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pHashHandler->Init() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  ulRes = feed(hash);
  if (ulRes != ORVA_OK) return ulRes;
  uint8_t digest[64];
  uint32_t ulDigestLen = sizeof digest;
  ulRes = hash.Final(digest, &ulDigestLen);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("pHashHandler->Final() failed! ulRes = 0x%x", ulRes);
    return ulRes;
  }
  return verify(digest, ulDigestLen, lpbtSrvCert, ulSrvCertLen);
}

uint32_t CTimestamp::verify(const uint8_t* pbMsg, uint32_t ulMsgLen, uint32_t ulDigestAlg, const uint8_t* lpbtSrvCert,
                            uint32_t ulSrvCertLen, const std::string& strUserId, const uint8_t* pbUserCert,
                            uint32_t ulUserCertLen) {
  ORVA_LOG_BEGIN();
  uint32_t ulRes = _CheckEmpty();
  if (ulRes != ORVA_OK) return ulRes;
  if (pbMsg == nullptr || ulMsgLen == 0) {
    ORVA_LOG_ERROR("pbMsg is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  ulRes = _VerifyHashed(
      ulDigestAlg, strUserId, pbUserCert, ulUserCertLen,
      [pbMsg, ulMsgLen](COpenSSLMsgHash& hash) {
        uint32_t r = hash.Update(pbMsg, ulMsgLen);
        if (r != ORVA_OK) ORVA_LOG_ERROR("pHashHandler->Update() failed! ulRes = 0x%x", r);
        return r;
      },
      lpbtSrvCert, ulSrvCertLen);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CTimestamp::verify(const std::string& strFile, uint32_t ulDigestAlg, const uint8_t* lpbtSrvCert,
                            uint32_t ulSrvCertLen, const std::string& strUserId, const uint8_t* pbUserCert,
                            uint32_t ulUserCertLen) {
  ORVA_LOG_BEGIN();
  uint32_t ulRes = _CheckEmpty();
  if (ulRes != ORVA_OK) return ulRes;
  // Regular files only: a device or a pipe named by a page would never end.
  int fd = strFile.empty() ? -1 : open(strFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  ScopeGuard closeFd([fd] {
    if (fd >= 0) close(fd);
  });
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ORVA_LOG_ERROR("CreateFile() failed! lpctFile = 0x%x", static_cast<uint32_t>(errno));
    return ORVA_E_FILE_NOT_FOUND;
  }
  ulRes = _VerifyHashed(
      ulDigestAlg, strUserId, pbUserCert, ulUserCertLen,
      [fd](COpenSSLMsgHash& hash) {
        uint8_t piece[1024];
        for (;;) {
          ssize_t n = read(fd, piece, sizeof piece);
          if (n < 0 && errno == EINTR) continue;
          if (n < 0) {
            ORVA_LOG_ERROR("ReadFile() failed! ulRes = 0x%x", static_cast<uint32_t>(errno));
            return ConvertErrno(errno);
          }
          if (n == 0) return ORVA_OK;
          uint32_t r = hash.Update(piece, static_cast<uint32_t>(n));
          if (r != ORVA_OK) {
            ORVA_LOG_ERROR("pHashHandler->Update() failed! ulRes = 0x%x", r);
            return r;
          }
        }
      },
      lpbtSrvCert, ulSrvCertLen);
  if (ulRes != ORVA_OK) return ulRes;
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CTimestamp::sign(const uint8_t*, uint32_t) {
  ORVA_LOG_ERROR("Time-stamp signing is not supported!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CTimestamp::sign(const uint8_t*, uint32_t, uint32_t) {
  ORVA_LOG_ERROR("Time-stamp signing is not supported!");
  return ORVA_E_NOT_SUPPORTED;
}

uint32_t CTimestamp::sign(const std::string&, uint32_t) {
  ORVA_LOG_ERROR("Time-stamp signing is not supported!");
  return ORVA_E_NOT_SUPPORTED;
}
