#pragma once
// Owning pointers for OpenSSL objects, so that no handle outlives its scope, and the
// capture of OpenSSL's error queue for log lines. Every part of the program that calls
// OpenSSL holds its objects through these.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

namespace orva::ossl {

template <class T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const {
    if (p) Free(p);
  }
};

template <class T, void (*Free)(T*)>
using Ptr = std::unique_ptr<T, Deleter<T, Free>>;

inline void FreeOpenSslBytes(unsigned char* p) { OPENSSL_free(p); }

using BioPtr = Ptr<BIO, BIO_free_all>;
using BnPtr = Ptr<BIGNUM, BN_free>;
using BnCtxPtr = Ptr<BN_CTX, BN_CTX_free>;
using EvpPkeyPtr = Ptr<EVP_PKEY, EVP_PKEY_free>;
using EvpPkeyCtxPtr = Ptr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EvpMdCtxPtr = Ptr<EVP_MD_CTX, EVP_MD_CTX_free>;
using EvpCipherCtxPtr = Ptr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using X509Ptr = Ptr<X509, X509_free>;
using X509CrlPtr = Ptr<X509_CRL, X509_CRL_free>;
using X509NamePtr = Ptr<X509_NAME, X509_NAME_free>;
using X509StorePtr = Ptr<X509_STORE, X509_STORE_free>;
using X509ExtPtr = Ptr<X509_EXTENSION, X509_EXTENSION_free>;
using Asn1IntegerPtr = Ptr<ASN1_INTEGER, ASN1_INTEGER_free>;
using Asn1TimePtr = Ptr<ASN1_TIME, ASN1_TIME_free>;
using Asn1OctetStringPtr = Ptr<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using Asn1ObjectPtr = Ptr<ASN1_OBJECT, ASN1_OBJECT_free>;
using SslCtxPtr = Ptr<SSL_CTX, SSL_CTX_free>;
using SslPtr = Ptr<SSL, SSL_free>;
using OpenSslBytesPtr = Ptr<unsigned char, FreeOpenSslBytes>;
using EcGroupPtr = Ptr<EC_GROUP, EC_GROUP_free>;
using EcPointPtr = Ptr<EC_POINT, EC_POINT_free>;
using Asn1BitStringPtr = Ptr<ASN1_BIT_STRING, ASN1_BIT_STRING_free>;
using Asn1TypePtr = Ptr<ASN1_TYPE, ASN1_TYPE_free>;
// Decoded X.509 extensions.
using BasicConstraintsPtr = Ptr<BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free>;
using AuthorityKeyIdPtr = Ptr<AUTHORITY_KEYID, AUTHORITY_KEYID_free>;
using ExtendedKeyUsagePtr = Ptr<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>;
using CrlDistPointsPtr = Ptr<CRL_DIST_POINTS, CRL_DIST_POINTS_free>;
using AuthorityInfoAccessPtr = Ptr<AUTHORITY_INFO_ACCESS, AUTHORITY_INFO_ACCESS_free>;
using GeneralNamesPtr = Ptr<GENERAL_NAMES, GENERAL_NAMES_free>;

// The oldest error on this thread's OpenSSL queue as text (and clears the queue), for the
// program's log lines; "" when the queue is empty.
inline std::string TakeErrors() {
  std::string out;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    if (out.empty()) {
      char buf[256];
      ERR_error_string_n(e, buf, sizeof buf);
      out = buf;
    }
  }
  return out;
}

}  // namespace orva::ossl
