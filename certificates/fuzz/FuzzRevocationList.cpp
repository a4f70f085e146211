// Fuzz entry point: bytes a directory or web server may send as a revocation list (splitting
// the signed structure, checking its signature, looking serial numbers up), and the same
// bytes as a distribution-point address (host, port, CRL name, entry name). Nothing may crash,
// hang or read out of bounds, and no accepted name may leave the cache folder.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "certificates/CertCRLHelper.h"
#include "certificates/CertUtil.h"

namespace {

EVP_PKEY* Key(const char* alg) {
  static EVP_PKEY* sm2 = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
  static EVP_PKEY* rsa = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
  return alg[0] == 'S' ? sm2 : rsa;
}

bool Safe(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orva::cert::SignedParts parts;
  if (orva::cert::SplitSigned(data, size, parts)) {
    if (parts.pbTbs < data || parts.pbSig + parts.ulSigLen > data + size) std::abort();
    orva::cert::VerifySignedParts(parts, Key("SM2"));
    orva::cert::VerifySignedParts(parts, Key("RSA"));
  }
  orva::ossl::X509CrlPtr crl = orva::cert::DecodeWhole<X509_CRL, X509_CRL_free>(d2i_X509_CRL, data, size);
  if (crl) {
    X509_REVOKED* r = nullptr;
    orva::ossl::Asn1IntegerPtr serial(ASN1_INTEGER_new());
    ASN1_INTEGER_set(serial.get(), 0x5001);
    X509_CRL_get0_by_serial(crl.get(), &r, serial.get());
    X509_CRL_get0_nextUpdate(crl.get());
  }
  std::string url(reinterpret_cast<const char*>(data), size);
  std::string host, name, base;
  uint32_t port = 0;
  if (CCertCRLHelper::_GetServerNameFromLDAP(url, host, port) == 0 && (!Safe(host) || port > 65535)) std::abort();
  if (CCertCRLHelper::_GetCNNameFromLDAP(url, name) == 0 && !Safe(name)) std::abort();
  CCertCRLHelper::_GetBaseNameFromLDAP(url, base);
  ERR_clear_error();
  return 0;
}
