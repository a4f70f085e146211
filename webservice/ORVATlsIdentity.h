#pragma once
// The per-installation TLS identity of the loopback service. The service certificate and
// its key are kept as Base64 of DER (the certificate, an unencrypted PKCS#8 key) in
// $ORVADESK_USER_DIR/tls/service.crt.b64 and service.key.b64, the issuing CA in ca.crt.b64,
// every file mode 0600. When they are missing or unusable, a new CA is made, constrained
// to orvadesk.localhost, localhost and 127.0.0.1; it issues the service certificate (RSA
// 2048, SHA-256, server authentication, SAN = the service host name, twenty years) and its
// private key is wiped at once, so a CA that browsers trust can mint nothing else.
#include <cstdint>
#include <string>

struct ORVA_SERVICE_IDENTITY {
  std::string strCertB64;  // service certificate, Base64 of DER
  std::string strKeyB64;   // its private key, Base64 of PKCS#8 DER
  std::string strCaB64;    // the issuing CA, Base64 of DER
};

class CORVATlsIdentity {
 public:
  // Folder of the three files.
  static std::string Dir();

  // Reads the identity, creating a new one when a file is missing or the pair does not
  // match. Result code; 0x81000006 when nothing usable can be made.
  static uint32_t Load(ORVA_SERVICE_IDENTITY& out);

  // Makes a new CA and service pair into `dir` (the CA key never leaves memory).
  static uint32_t Create(const std::string& dir, ORVA_SERVICE_IDENTITY& out);

  // PEM text of a Base64 DER certificate.
  static std::string CertPem(const std::string& certB64);

  // Adds the CA to the user's NSS database ($HOME/.pki/nssdb) with certutil, creating the
  // database when absent. `strReport` receives what was done or why it failed.
  static uint32_t TrustInBrowsers(const ORVA_SERVICE_IDENTITY& id, std::string& strReport);
};
