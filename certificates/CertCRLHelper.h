#pragma once
// The revocation lists of one certificate for one revocation check: the base list and the
// delta list of the certificate's issuer, taken from the cache folder while they are current,
// else fetched from the directory server the certificate names (or the fallback directory
// server), the base list falling back to the fallback HTTP address.
//
// A list counts only when its issuer is the certificate's issuer and its signature verifies
// with the key of an issuer certificate the caller found (set_IssuerCerts); anything else is
// treated as no list and never cached. Cache layout:
//   ${XDG_CACHE_HOME:-~/.cache}/orvadesk/CRLCache/<host>/<CRL name>.crl        base list
//   ${XDG_CACHE_HOME:-~/.cache}/orvadesk/CRLCache/<host>/<CRL name>_Delta.crl  delta list
// with host and CRL name made only of [A-Za-z0-9._-], not beginning with "."; files are
// replaced through a temporary file and a rename, so readers see whole lists only.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/OpenSsl.h"

class CX509Certificate;

class CCertCRLHelper {
 public:
  // Time-outs: connecting to a directory server, and each directory operation.
  static constexpr uint32_t kLdapConnectTimeoutSec = 3;
  static constexpr uint32_t kLdapOperationTimeoutSec = 10;
  // Longest list accepted from a server or the cache.
  static constexpr size_t kMaxCrlBytes = 64u << 20;

  CCertCRLHelper() = default;
  ~CCertCRLHelper() = default;
  CCertCRLHelper(const CCertCRLHelper&) = delete;
  CCertCRLHelper& operator=(const CCertCRLHelper&) = delete;

  // Certificates whose keys may sign the lists (the certificate's issuer first); not owned,
  // they must outlive Initialize.
  void set_IssuerCerts(std::vector<const CX509Certificate*> issuers) { m_issuers = std::move(issuers); }

  // Leaves the base list (required: else 0x81000006) and the delta list (optional) in the
  // helper.
  uint32_t Initialize(const CX509Certificate* pCert);

  const X509_CRL* get_BaseCRL() const { return m_pBaseCRL.get(); }
  const X509_CRL* get_DeltaCRL() const { return m_pDeltaCRL.get(); }

  // Pieces of a distribution point address such as
  // ldap://host:389/CN=crl1,OU=x,C=CN?certificateRevocationList?base. Public for tests.
  // Host after "ldap://" (else "http://") up to the next "/", port after ":" (1 to 65535;
  // 0 when absent); a host that is not a safe name, or a bad port, is refused (0x81000006).
  static uint32_t _GetServerNameFromLDAP(const std::string& strUrl, std::string& strHost, uint32_t& ulPort);
  // The CRL name: after the first "CN=" up to "," or "?"; refused unless a safe name.
  static uint32_t _GetCNNameFromLDAP(const std::string& strUrl, std::string& strName);
  // The entry's name: from the first "CN=" up to "?" (percent escapes decoded).
  static uint32_t _GetBaseNameFromLDAP(const std::string& strUrl, std::string& strBase);
  // The cache folder of a directory host (with its trailing "/").
  static std::string CacheFolder(const std::string& strHost);

 private:
  struct List {
    orva::ossl::X509CrlPtr crl;
    std::vector<uint8_t> der;
  };

  uint32_t _GetCRLDistPointLDAP(std::string& strUrl) const;
  List _DecodeCRL(const std::vector<uint8_t>& der, const char* lpcsOrigin) const;
  List _LoadCRLFromCache(const std::string& strFile) const;
  List _DownloadCRLFromLDAP(const std::string& strUrl, const char* lpcsAttr) const;
  List _DownloadCRLFromHTTP(const std::string& strAddress) const;
  uint32_t _SaveCRLToFile(const List& list, const std::string& strFile) const;

  const CX509Certificate* m_pCert = nullptr;
  // Set when a directory server could not be reached or did not answer: the delta list is
  // then not asked of it again in the same check.
  mutable bool m_bDirectoryFailed = false;
  std::vector<const CX509Certificate*> m_issuers;
  orva::ossl::X509CrlPtr m_pBaseCRL;
  orva::ossl::X509CrlPtr m_pDeltaCRL;
};
