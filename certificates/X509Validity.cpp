// Certificate status (get_ValidType): validity period, chain up to an accepted root, and
// revocation, run in that order and stopping at the first check that fails.
//
// The chain check climbs from the certificate through the user's stores MY, CA, ROOT and SPC,
// checks every signature itself and accepts an issuing or root certificate only when its key
// is an accepted authority key. Every store certificate whose subject is the current
// certificate's issuer is a candidate (a renewed CA keeps its name), tried in store order;
// certificates already on the path are skipped (loops) and at most kMaxChainIssuers issuers
// are climbed.
#include <ctime>
#include <strings.h>

#include "certificates/CertCRLHelper.h"
#include "certificates/CertUtil.h"
#include "certificates/CertificateStore.h"
#include "certificates/ORVAAuthorityKeys.h"
#include "certificates/X509Certificate.h"
#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"

namespace {

const char* const kIssuerStores[] = {"MY", "CA", "ROOT", "SPC"};

bool IsSelfNamed(const CX509Certificate* c) {
  const X509* x = c->get_CertInfo();
  return X509_NAME_cmp(X509_get_subject_name(x), X509_get_issuer_name(x)) == 0;
}

bool IssuedBy(const CX509Certificate* subject, const CX509Certificate* candidate) {
  return X509_NAME_cmp(X509_get_issuer_name(subject->get_CertInfo()),
                       X509_get_subject_name(candidate->get_CertInfo())) == 0;
}

bool SameCert(const CX509Certificate* a, const CX509Certificate* b) {
  return a == b || X509_cmp(a->get_CertInfo(), b->get_CertInfo()) == 0;
}

}  // namespace

// Every certificate of the four stores, read once per check, with the store it came from.
struct CX509Certificate::IssuerStores {
  struct Entry {
    const char* store;
    std::unique_ptr<CX509Certificate> cert;
  };
  std::vector<Entry> entries;

  void Load() {
    for (const char* name : kIssuerStores) {
      CCertificateStore store;
      uint32_t ulRes = store.Open(ORVA_CERT_STORE_READONLY, name);
      if (ulRes != ORVA_OK) {
        ORVA_LOG_ERROR("CertOpenSystemStore() failed! ulRes = 0x%x", ulRes);
        continue;
      }
      std::vector<std::unique_ptr<CX509Certificate>> certs;
      store.EnumCertificates(certs);
      for (auto& c : certs) entries.push_back({name, std::move(c)});
    }
  }
};

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

uint32_t CX509Certificate::_VerifyCertSignatureByOpenSSL(const CX509Certificate* pSubCert,
                                                        const CX509Certificate* pIssuer) {
  ORVA_LOG_BEGIN();
  if (pSubCert == nullptr || pIssuer == nullptr || !pSubCert->_HasCert() || !pIssuer->_HasCert()) {
    ORVA_LOG_ERROR("pSubCert or pIssuer is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  // The bytes exactly as signed, from the encoding the object was made from.
  orva::cert::SignedParts parts;
  const std::vector<uint8_t>& der = pSubCert->m_hCertContext->encoded;
  if (!orva::cert::SplitSigned(der.data(), der.size(), parts)) {
    ORVA_LOG_ERROR("d2i_X509() failed! err = 0x%x", ORVA_E_CALL_FAILED);
    return ORVA_E_CALL_FAILED;
  }
  EVP_PKEY* key = X509_get0_pubkey(pIssuer->get_CertInfo());
  if (key == nullptr) {
    ERR_clear_error();
    ORVA_LOG_ERROR("X509_get_pubkey() failed! err = 0x%x", ORVA_E_CALL_FAILED);
    return ORVA_E_CALL_FAILED;
  }
  if (!orva::cert::VerifySignedParts(parts, key)) {
    ORVA_LOG_ERROR("The certificate has an invalid signature!");
    return ORVA_E_CERT_SIGNATURE;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_VerifyCertIssuer(const char* lpcsStoreName, const CX509Certificate* pIssuer) {
  ORVA_LOG_BEGIN();
  if (lpcsStoreName == nullptr || *lpcsStoreName == '\0') {
    ORVA_LOG_ERROR("lpcsStoreName is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::vector<uint8_t> bits;
  if (pIssuer == nullptr || pIssuer->GetPublicKeyBits(bits) != ORVA_OK) {
    ORVA_LOG_ERROR("pIssuer is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bits.size() * 2);
  for (uint8_t b : bits) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0xF]);
  }
  for (const std::string& key : orva::cert::AcceptedAuthorityKeys()) {
    if (key.size() == hex.size() && strcasecmp(key.c_str(), hex.c_str()) == 0) {
      ORVA_LOG_END();
      return ORVA_OK;
    }
  }
  ORVA_LOG_ERROR("This certificate is not a ORVA CA or ROOT! PubKey = %s", hex.c_str());
  return ORVA_E_INVALID_PARAM;
}

uint32_t CX509Certificate::_ClimbChain(const CX509Certificate* pCurrent, std::vector<const CX509Certificate*>& path,
                                       const IssuerStores& stores) const {
  if (path.size() >= kMaxChainIssuers) {
    ORVA_LOG_ERROR("The certificate chain is longer than %u issuers!", static_cast<unsigned>(kMaxChainIssuers));
    return ORVA_CERT_STATUS_BAD_ROOT;
  }
  // A candidate whose signature verifies says more than one whose signature does not.
  uint32_t ulBest = ORVA_CERT_STATUS_BAD_ROOT;
  bool bAnyCandidate = false, bAnyVerified = false;
  for (const IssuerStores::Entry& e : stores.entries) {
    const CX509Certificate* cand = e.cert.get();
    if (!IssuedBy(pCurrent, cand)) continue;
    bool onPath = SameCert(cand, this);
    for (const CX509Certificate* p : path) onPath = onPath || SameCert(cand, p);
    if (onPath) continue;
    bAnyCandidate = true;
    uint32_t ulRes = _VerifyCertSignatureByOpenSSL(pCurrent, cand);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_VerifyCertSignatureByOpenSSL() failed! ulRes = 0x%x", ulRes);
      if (!bAnyVerified) ulBest = ORVA_CERT_STATUS_BAD_SIGNATURE;
      continue;
    }
    uint32_t ulStatus;
    ulRes = _VerifyCertIssuer(e.store, cand);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_VerifyCertIssuer() failed! ulRes = 0x%x", ulRes);
      ulStatus = ORVA_CERT_STATUS_BAD_ISSUER;
    } else if (IsSelfNamed(cand)) {
      return 0;  // an accepted root: its own signature is not checked again
    } else {
      path.push_back(cand);
      ulStatus = _ClimbChain(cand, path, stores);
      path.pop_back();
      if (ulStatus == 0) return 0;
    }
    if (!bAnyVerified) ulBest = ulStatus;
    bAnyVerified = true;
  }
  if (!bAnyCandidate) ORVA_LOG_ERROR("ROOT certificate has not found!");
  return ulBest;
}

uint32_t CX509Certificate::_CheckCertSignatureAndIssuer(uint32_t* pulStatus) const {
  ORVA_LOG_BEGIN();
  if (IsSelfNamed(this)) {
    uint32_t ulRes = _VerifyCertIssuer("ROOT", this);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_VerifyCertIssuer() failed! ulRes = 0x%x", ulRes);
      *pulStatus |= ORVA_CERT_STATUS_BAD_ROOT;
      return ORVA_OK;
    }
    // An accepted key in a certificate that its key did not sign proves nothing about the
    // names and dates around it.
    ulRes = _VerifyCertSignatureByOpenSSL(this, this);
    if (ulRes != ORVA_OK) {
      ORVA_LOG_ERROR("_VerifyCertSignatureByOpenSSL() failed! ulRes = 0x%x", ulRes);
      *pulStatus |= ORVA_CERT_STATUS_BAD_SIGNATURE;
    }
    ORVA_LOG_END();
    return ORVA_OK;
  }
  IssuerStores stores;
  stores.Load();
  std::vector<const CX509Certificate*> path;
  *pulStatus |= _ClimbChain(this, path, stores);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CX509Certificate::_CheckCertInCRL(uint32_t* pulStatus) const {
  ORVA_LOG_BEGIN();
  // The keys that may sign the issuer's lists: the issuer that signed this certificate
  // (found as the chain check finds it), then other store certificates of the same name
  // whose keys are accepted authority keys (a renewed CA signing for its old certificates).
  IssuerStores stores;
  stores.Load();
  std::vector<const CX509Certificate*> issuers, others;
  if (IsSelfNamed(this) && _VerifyCertSignatureByOpenSSL(this, this) == ORVA_OK) issuers.push_back(this);
  for (const IssuerStores::Entry& e : stores.entries) {
    const CX509Certificate* cand = e.cert.get();
    if (!IssuedBy(this, cand) || SameCert(cand, this)) continue;
    if (_VerifyCertSignatureByOpenSSL(this, cand) == ORVA_OK)
      issuers.push_back(cand);
    else if (_VerifyCertIssuer(e.store, cand) == ORVA_OK)
      others.push_back(cand);
  }
  if (issuers.empty()) {
    ORVA_LOG_ERROR("The issuer of the certificate has not found! Its CRL can not be checked.");
    *pulStatus |= ORVA_CERT_STATUS_CRL_UNCHECKED;
    return ORVA_E_CALL_FAILED;
  }
  issuers.insert(issuers.end(), others.begin(), others.end());

  CCertCRLHelper helper;
  helper.set_IssuerCerts(issuers);
  uint32_t ulRes = helper.Initialize(this);
  if (ulRes != ORVA_OK) {
    ORVA_LOG_ERROR("CRLHelper.Initialize() failed! err = 0x%x", ulRes);
    *pulStatus |= ORVA_CERT_STATUS_CRL_UNCHECKED;
    return ulRes;
  }
  if (helper.get_BaseCRL() == nullptr) {
    *pulStatus |= ORVA_CERT_STATUS_CRL_UNCHECKED;
    return ORVA_E_CALL_FAILED;
  }
  const ASN1_INTEGER* serial = X509_get0_serialNumber(get_CertInfo());
  X509_REVOKED* entry = nullptr;
  // 1 listed; 2 listed as removeFromCRL, which takes a certificate off hold.
  if (X509_CRL_get0_by_serial(const_cast<X509_CRL*>(helper.get_BaseCRL()), &entry,
                              const_cast<ASN1_INTEGER*>(serial)) == 1) {
    ORVA_LOG_INFO("The certificate is in the CRL!");
    *pulStatus |= ORVA_CERT_STATUS_REVOKED;
    ORVA_LOG_END();
    return ORVA_OK;
  }
  if (helper.get_DeltaCRL() != nullptr &&
      X509_CRL_get0_by_serial(const_cast<X509_CRL*>(helper.get_DeltaCRL()), &entry,
                              const_cast<ASN1_INTEGER*>(serial)) == 1) {
    ORVA_LOG_INFO("The certificate is in the delta CRL!");
    *pulStatus |= ORVA_CERT_STATUS_REVOKED;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
