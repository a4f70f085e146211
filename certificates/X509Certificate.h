#pragma once
// One X.509 certificate and every question the program asks about it: encoding, serial
// number, names and single name attributes, validity, key type and usage, signature digest,
// key identifier, the public key record, readable extensions, validity status, and its
// registration in the user's personal certificate store.
//
// Text outputs are UTF-8 and follow the size-query convention: a null buffer sets the length
// to the bytes needed including the terminating zero and returns 0; a buffer shorter than that
// gives 0x81000009 and is left untouched; on success the text and its zero are written and the
// length is set to the bytes of text, zero excluded. The std::string overloads do the same
// without the buffer handling.
//
// No locking inside: one object is used by one thread at a time (devices hand out addresses,
// never copies).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/DeviceTypes.h"
#include "platform/OpenSsl.h"

// Check flags of get_ValidType (combinable).
inline constexpr uint32_t ORVA_CERT_CHECK_TIME = 0x1;       // validity period
inline constexpr uint32_t ORVA_CERT_CHECK_CHAIN = 0x2;      // signatures and issuers up to the root
inline constexpr uint32_t ORVA_CERT_CHECK_CRL = 0x4;        // revocation

// Status bits of get_ValidType; 0 means every selected check passed.
inline constexpr uint32_t ORVA_CERT_STATUS_NOT_YET_VALID = 0x01;
inline constexpr uint32_t ORVA_CERT_STATUS_EXPIRED = 0x02;
inline constexpr uint32_t ORVA_CERT_STATUS_REVOKED = 0x04;
inline constexpr uint32_t ORVA_CERT_STATUS_BAD_SIGNATURE = 0x08;
inline constexpr uint32_t ORVA_CERT_STATUS_BAD_ISSUER = 0x10;
inline constexpr uint32_t ORVA_CERT_STATUS_BAD_ROOT = 0x20;
inline constexpr uint32_t ORVA_CERT_STATUS_CRL_UNCHECKED = 0x40;

// Platform error numbers of the certificate functions, returned unchanged as the Windows
// client returns them (pages compare them).
inline constexpr uint32_t ORVA_CRYPT_E_NOT_FOUND = 0x80092004;     // extension not present
inline constexpr uint32_t ORVA_CRYPT_E_ASN1_BADTAG = 0x8009310B;   // undecodable contents

// Key-provider information attached to a certificate: ties the stored certificate to the
// token's key container.
inline constexpr uint32_t ORVA_PROV_TYPE_RSA_FULL = 1;
inline constexpr uint32_t ORVA_AT_KEYEXCHANGE = 1;
inline constexpr uint32_t ORVA_AT_SIGNATURE = 2;

struct ORVA_KEY_PROV_INFO {
  std::string strContainerName;
  std::string strProvName;
  uint32_t dwProvType = ORVA_PROV_TYPE_RSA_FULL;
  uint32_t dwKeySpec = ORVA_AT_KEYEXCHANGE;
};

// The platform's SYSTEMTIME fields of a local time.
struct ORVA_SYSTEMTIME {
  uint16_t wYear = 0;
  uint16_t wMonth = 0;      // 1..12
  uint16_t wDayOfWeek = 0;  // 0 Sunday
  uint16_t wDay = 0;
  uint16_t wHour = 0;
  uint16_t wMinute = 0;
  uint16_t wSecond = 0;
  uint16_t wMilliseconds = 0;
};

// A validity boundary: the instant (seconds since 1970 UTC) and the same instant as local
// time of the process's time zone.
struct ORVA_CERT_TIME {
  int64_t llUtcSeconds = 0;
  ORVA_SYSTEMTIME stLocal;
};

// The readable value of one extension: a number (vt 19, the automation VT_UI4) or a text
// (vt 8, VT_BSTR); vt 0 when nothing was produced.
inline constexpr uint32_t ORVA_VT_EMPTY = 0;
inline constexpr uint32_t ORVA_VT_BSTR = 8;
inline constexpr uint32_t ORVA_VT_UI4 = 19;

struct ORVA_EXT_VALUE {
  uint32_t vt = ORVA_VT_EMPTY;
  uint32_t ulVal = 0;
  std::string strVal;  // UTF-8
};

// The platform certificate context: the encoding exactly as given, its decoded form and the
// properties attached to it.
struct ORVA_CERT_CONTEXT {
  std::vector<uint8_t> encoded;
  orva::ossl::X509Ptr x509;
  bool bHasKeyProvInfo = false;
  ORVA_KEY_PROV_INFO keyProvInfo;
};

class CX509Certificate {
 public:
  // Longest provider and container names kept (the fields are 128 bytes, zero-terminated).
  static constexpr size_t kMaxNameBytes = 127;
  // Longest readable text of one extension.
  static constexpr size_t kMaxExtensionText = 511;
  // Most issuing certificates the chain check climbs before it gives up with 0x20.
  static constexpr size_t kMaxChainIssuers = 8;

  CX509Certificate();
  ~CX509Certificate();
  CX509Certificate(const CX509Certificate&) = delete;
  CX509Certificate& operator=(const CX509Certificate&) = delete;

  // Parses and holds a DER certificate, replacing any held one. Bytes after the certificate's
  // own encoding (zero padding of token files) are ignored and not kept.
  uint32_t FromBuffer(const uint8_t* lpCert, uint32_t dwLen);
  // The DER encoding (byte buffer, in/out length; null buffer asks for the length).
  uint32_t ToBuffer(uint8_t* lpBuf, uint32_t* pulLen) const;
  uint32_t ToBuffer(std::vector<uint8_t>& der) const;

  // Stores the token's provider and container names (each cut to 127 bytes on a character
  // boundary) and attaches the key-provider information to the held certificate.
  uint32_t set_ProviderInfo(const char* lpcsProv, const char* lpcsContainer);
  // The stored container name, else the one of the attached key-provider information.
  uint32_t get_Container(char* lpContainer, uint32_t* pulLen) const;
  uint32_t get_Container(std::string& strContainer) const;
  // The stored provider name ("" until set_ProviderInfo).
  const std::string& get_Provider() const { return m_strProvider; }

  // Upper-case hexadecimal serial number, two digits per encoded byte ("00" pair kept).
  uint32_t get_SN(char* lpSN, uint32_t* pulLen) const;
  uint32_t get_SN(std::string& strSN) const;

  // 1 RSA, 2 ECC (taken as SM2), 0 other.
  uint32_t get_KeyType(uint32_t* pulType) const;
  // 2 encryption (dataEncipherment), 1 signature (digitalSignature), 0 neither. Without a
  // key-usage extension the output is left unchanged: set it to 0 first.
  uint32_t get_KeyUsage(uint32_t* lpUsage) const;
  // Digest of the certificate's signature algorithm: 0x200, 0x400, 0x800, 0x1000, 0x2000,
  // 0x4000; any other algorithm gives 0x81000005.
  uint32_t get_DigestAlg(uint32_t* lpAlg) const;
  // Not-before and not-after (either may be null).
  uint32_t get_ValidDate(ORVA_CERT_TIME* pNotBefore, ORVA_CERT_TIME* pNotAfter) const;

  // The X.500 string of the subject (node null or empty) or the value of one node: "CN",
  // "OU", ..., "Phone", or a dotted object identifier such as "2.5.4.1". A node that is not
  // present gives 0x81000004 for the subject and an empty value for the issuer.
  uint32_t get_SubjectName(const char* lpcsNodeName, char* lpOrgData, uint32_t* pulLen) const;
  uint32_t get_SubjectName(const char* lpcsNodeName, std::string& strValue) const;
  uint32_t get_IssuerName(const char* lpcsNodeName, char* lpOrgData, uint32_t* pulLen) const;
  uint32_t get_IssuerName(const char* lpcsNodeName, std::string& strValue) const;

  // Upper-case hexadecimal key identifier: the Subject Key Identifier extension, else the
  // SHA-1 digest of the public key bits.
  uint32_t get_KeyIdentifier(char* lpData, uint32_t* pulDataLen) const;
  uint32_t get_KeyIdentifier(std::string& strKeyId) const;

  // Fills the public key record. For RSA the caller sets lpPubKeyBlob->order first
  // (PUBKEY_RSA_ORDER_BE, PUBKEY_RSA_ORDER_BE_RIGHT, anything else little-endian and order
  // set to 1). A modulus over 256 bytes gives 0x8100000E.
  uint32_t get_PublicKey(ORVA_PUBLIC_KEY_RECORD* lpPubKeyBlob) const;

  // Runs the checks selected by ulFlags and sets the status bits (0 when all passed).
  uint32_t get_ValidType(uint32_t ulFlags, uint32_t* pulStatus) const;

  // The extension with that dotted object identifier in readable form.
  uint32_t get_ExtensionByOid(const char* lpcsOid, ORVA_EXT_VALUE* pvarValue) const;

  // Shows the certificate to the user; always 0.
  uint32_t OpenViewDialog(uintptr_t hParentWnd) const;

  // Adds the certificate (with its key-provider information) to, or removes it from, the
  // user's personal store.
  uint32_t RegistToIE();
  uint32_t UnregistrFromIE();

  // The decoded certificate for callers that need raw access; null when empty.
  const X509* get_CertInfo() const;

  // Key-provider information attached to the held certificate (false when none). The store
  // attaches what it kept for a certificate it hands out.
  bool GetKeyProvInfo(ORVA_KEY_PROV_INFO& info) const;
  uint32_t SetKeyProvInfo(const ORVA_KEY_PROV_INFO& info);

  // Public key bits (the subjectPublicKey BIT STRING contents) and the whole DER
  // SubjectPublicKeyInfo, for key comparisons.
  uint32_t GetPublicKeyBits(std::vector<uint8_t>& bits) const;
  uint32_t GetPublicKeyInfo(std::vector<uint8_t>& spki) const;

 private:
  bool _HasCert() const { return m_hCertContext && m_hCertContext->x509; }
  uint32_t _GetName(bool bSubject, const char* lpcsNodeName, std::string& strValue,
                    bool& bFound) const;

  // Validity checks (get_ValidType).
  uint32_t _CheckCertValidTime(uint32_t* pulStatus) const;
  uint32_t _CheckCertSignatureAndIssuer(uint32_t* pulStatus) const;
  uint32_t _CheckCertInCRL(uint32_t* pulStatus) const;
  // The chain walk: the current certificate, the issuers climbed so far (the path), the
  // certificates of the four stores; the status bits of the best branch.
  struct IssuerStores;
  uint32_t _ClimbChain(const CX509Certificate* pCurrent, std::vector<const CX509Certificate*>& path,
                       const IssuerStores& stores) const;
  // 0 when the subject's signature verifies with the issuer's key (SM2 with the identity).
  static uint32_t _VerifyCertSignatureByOpenSSL(const CX509Certificate* pSubCert, const CX509Certificate* pIssuer);
  // 0 when the issuer's public key is an accepted authority key.
  static uint32_t _VerifyCertIssuer(const char* lpcsStoreName, const CX509Certificate* pIssuer);

  // Extension decoders: each writes a number or a text of at most kMaxExtensionText bytes.
  uint32_t _GetExtBasicConstraints(ORVA_EXT_VALUE* pvarValue) const;
  uint32_t _GetExtKeyUsage(const X509_EXTENSION* pExt, ORVA_EXT_VALUE* pvarValue) const;
  uint32_t _GetExtEnhancedKeyUsage(const X509_EXTENSION* pExt, ORVA_EXT_VALUE* pvarValue) const;
  uint32_t _GetExtAuthorityIdentifier(const X509_EXTENSION* pExt, ORVA_EXT_VALUE* pvarValue) const;
  uint32_t _GetExtSubjectIdentifier(const X509_EXTENSION* pExt, ORVA_EXT_VALUE* pvarValue) const;
  uint32_t _GetExtCRLDistPoints(const X509_EXTENSION* pExt, ORVA_EXT_VALUE* pvarValue) const;
  uint32_t _GetExtAuthorityInfoAccess(const X509_EXTENSION* pExt, ORVA_EXT_VALUE* pvarValue) const;
  uint32_t _GetExtNetscapeCertType(const X509_EXTENSION* pExt, ORVA_EXT_VALUE* pvarValue) const;
  uint32_t _GetExtDefault(const X509_EXTENSION* pExt, ORVA_EXT_VALUE* pvarValue) const;

  std::string m_strProvider;   // token's provider name, at most 127 bytes
  std::string m_strContainer;  // key container name, at most 127 bytes
  std::unique_ptr<ORVA_CERT_CONTEXT> m_hCertContext;
};

namespace orva::cert {

// The X.500 string form of a name: every attribute in encoding order as key=value joined by
// ", ", values never quoted; keys are CN, OU, O, L, S, C, E, T, G, SN, STREET, DC,
// SERIALNUMBER, Phone, else "OID." and the dotted identifier.
std::string NameToString(const X509_NAME* pName);

// The short name of an attribute type ("" when it has none).
std::string ShortNameOfAttribute(const ASN1_OBJECT* pObj);

// Node lookup on a name: the first attribute whose key is the node name (a dotted identifier
// also matches its "OID." key), its value up to the first "," and at most 255 bytes.
bool FindNameNode(const X509_NAME* pName, const char* lpcsNodeName, std::string& strValue);

// Dotted text of an object identifier.
std::string OidText(const ASN1_OBJECT* pObj);

}  // namespace orva::cert
