#pragma once
// The block ciphers behind the symmetric algorithm bits (SYMM_* of foundation/DeviceTypes.h),
// shared by the software key and the envelope sealer. SM1 exists only on tokens.
#include <cstdint>

#include <openssl/evp.h>

namespace orva::crypto {

// Cipher and key length (8, 16, 24 or 32) of one algorithm bit; null and 0 for SM1 and any
// value that is not exactly one supported bit. DES loads the legacy provider first.
const EVP_CIPHER* SymmCipherOf(uint32_t ulAlg, uint32_t* pulKeyLen = nullptr);

// Key length of an algorithm bit without touching a provider (0 when unsupported).
uint32_t SymmKeyLenOf(uint32_t ulAlg);

}  // namespace orva::crypto
