#pragma once
// Certificate attributes by the names pages use ("cert_sn", "cert_validdate", ...), including
// the holder's identity numbers of the public-sector hierarchy, which live in private
// extensions or, in older certificates, in subject attributes whose meaning depends on their
// length. The certificate automation object uses the same derivations.
//
// Stateless; every value is UTF-8 text (numbers in decimal).
#include <cstdint>
#include <string>

class CX509Certificate;

// Holder types (cert_type).
inline constexpr uint32_t ORVA_CERT_HOLDER_UNKNOWN = 0;
inline constexpr uint32_t ORVA_CERT_HOLDER_PERSON = 1;
inline constexpr uint32_t ORVA_CERT_HOLDER_ORG = 2;

class CORVACertHelper {
 public:
  // One attribute by name; lpcsNode selects a name node for "cert_subject" and
  // "cert_issuer". Only a null certificate and an unknown name fail (0x81000004, empty
  // value); every other failure gives an empty value and 0.
  static uint32_t GetCertAttribute(const char* lpcsAttr, const char* lpcsNode,
                                   CX509Certificate* pCertObj, std::string& strValue);
  // One extension: a text as it is, a number in decimal, anything else empty.
  static uint32_t GetCertExtension(const char* lpcsOid, CX509Certificate* pCertObj,
                                   std::string& strValue);

  static std::string GetCertSN(CX509Certificate* pCertObj);
  static uint32_t GetCertUserType(CX509Certificate* pCertObj);
  static uint32_t GetCertKeyAlg(CX509Certificate* pCertObj);
  static uint32_t GetCertDigestAlg(CX509Certificate* pCertObj);
  static uint32_t GetCertUsageType(CX509Certificate* pCertObj);
  static uint32_t GetCertIsRegisted(CX509Certificate* pCertObj);
  static std::string GetCertSubject(CX509Certificate* pCertObj, const char* lpcsNode = nullptr);
  static std::string GetCertIssuer(CX509Certificate* pCertObj, const char* lpcsNode = nullptr);
  // Local dates "YYYY-MM-DD".
  static std::string GetCertValidFrom(CX509Certificate* pCertObj);
  static std::string GetCertValidUntil(CX509Certificate* pCertObj);
  static std::string GetCertKeyIdentifier(CX509Certificate* pCertObj);
  static std::string GetCertIDCardNo(CX509Certificate* pCertObj);
  static std::string GetCertBrNo(CX509Certificate* pCertObj);
  static std::string GetCertOrgCode(CX509Certificate* pCertObj);
  static std::string GetCertSSNo(CX509Certificate* pCertObj);
  static std::string GetCertUscCode(CX509Certificate* pCertObj);
  // Tax code (extension 1.2.156.10260.4.1.5), for the automation object's TaxCode.
  static std::string GetCertTaxCode(CX509Certificate* pCertObj);

 private:
  // The extension's text when it gives a non-empty string.
  static bool _GetExtText(CX509Certificate* pCertObj, const char* lpcsOid, std::string& strValue);
  static bool _GetSubjectNode(CX509Certificate* pCertObj, const char* lpcsNode, std::string& strValue);
};
