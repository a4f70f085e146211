#pragma once
// Helpers shared by the certificate sources (not part of the public interface).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/OpenSsl.h"

namespace orva::cert {

enum class CopyResult { Query, TooSmall, Copied };

// Size-query copy of a text: a null buffer sets *pulLen to the bytes needed with the zero;
// a short buffer is left untouched; otherwise the text and its zero are written and *pulLen is
// the text's length without the zero.
CopyResult CopyTextOut(const std::string& text, char* pBuf, uint32_t* pulLen);

// Upper-case hexadecimal, two digits per byte.
std::string HexUpper(const uint8_t* p, size_t n);

// The first extension with that dotted identifier, or null.
const X509_EXTENSION* FindExtension(const X509* x, const char* lpcsOid);

// Decodes a whole DER value with an OpenSSL d2i function; null when the bytes do not decode
// or are followed by anything.
template <class T, void (*Free)(T*)>
orva::ossl::Ptr<T, Free> DecodeWhole(T* (*d2i)(T**, const unsigned char**, long),
                                     const unsigned char* p, size_t n) {
  if (p == nullptr || n == 0 || n > 0x7fffffff) return nullptr;
  const unsigned char* q = p;
  orva::ossl::Ptr<T, Free> v(d2i(nullptr, &q, static_cast<long>(n)));
  if (v && q != p + n) v.reset();
  return v;
}

// A signed X.509 structure (certificate or revocation list) split exactly as encoded:
// SEQUENCE { to-be-signed, AlgorithmIdentifier, BIT STRING }. The pointers point into the
// caller's bytes.
struct SignedParts {
  const unsigned char* pbTbs = nullptr;
  size_t ulTbsLen = 0;
  const unsigned char* pbAlg = nullptr;  // the outer algorithm identifier, whole TLV
  size_t ulAlgLen = 0;
  const unsigned char* pbSig = nullptr;  // signature bits (no unused-bits byte)
  size_t ulSigLen = 0;
};
// False unless the bytes are exactly one such structure whose inner signature algorithm
// (inside the to-be-signed part) is byte for byte the outer one.
bool SplitSigned(const uint8_t* pbDer, size_t ulLen, SignedParts& parts);

// Checks the signature of the parts with the issuer's public key by the outer algorithm:
// SM2-with-SM3 with the GM identity "1234567812345678" (OpenSSL's own checks cannot set it for
// revocation lists), RSA PKCS#1 v1.5 and ECDSA with their digests, Ed25519. The key type must
// be the algorithm's. True only when it verifies.
bool VerifySignedParts(const SignedParts& parts, EVP_PKEY* pIssuerKey);

// Text of an outside string: invalid UTF-8 and embedded zero bytes become U+FFFD.
std::string CleanText(const uint8_t* p, size_t n);

// Cuts a UTF-8 text to at most `maxBytes` without splitting a character.
std::string CutUtf8(const std::string& text, size_t maxBytes);

}  // namespace orva::cert
