#pragma once
// Public-key helpers shared by the crypto sources (not part of the public interface).
#include <cstdint>
#include <vector>

#include "platform/OpenSsl.h"

namespace orva::crypto {

// Key kinds as the program numbers them: 1 RSA, 2 SM2, 0 anything else. An EC key on
// another curve is not SM2 (OpenSSL 3 cannot re-mark it) and counts as 0.
uint32_t PkeyKind(const EVP_PKEY* pkey);

// A whole DER certificate (nothing after it), or null.
orva::ossl::X509Ptr DecodeCert(const uint8_t* pbDer, uint32_t ulLen);

// EVP_PKEY_encrypt / EVP_PKEY_decrypt with the key's defaults (PKCS#1 v1.5, SM2 with SM3)
// into a vector sized by OpenSSL's own query. Returns false on any failure (queue cleared).
bool PkeyEncrypt(EVP_PKEY* pkey, const uint8_t* in, size_t inLen, std::vector<uint8_t>& out);
bool PkeyDecrypt(EVP_PKEY* pkey, const uint8_t* in, size_t inLen, std::vector<uint8_t>& out);

// The digest algorithm bit of a digest OID (0 when unknown) and back (null when unknown).
uint32_t DigestAlgOfNid(int nid);
int DigestNidOf(uint32_t ulAlg);

}  // namespace orva::crypto
