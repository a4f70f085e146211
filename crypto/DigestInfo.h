#pragma once
// The DER DigestInfo headers that PKCS#1 v1.5 puts in front of a digest (RFC 8017, 9.2 note
// 1), by the program's digest number. Shared by the software verifier and the token back ends
// that build or check RSA signatures themselves.
#include <cstddef>
#include <cstdint>

#include "foundation/DeviceTypes.h"

namespace orva::crypto {

inline constexpr uint8_t kDigestInfoMd5[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                             0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
inline constexpr uint8_t kDigestInfoSha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                              0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
inline constexpr uint8_t kDigestInfoSha256[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                0x01, 0x05, 0x00, 0x04, 0x20};

// The header for MD5 (18 bytes), SHA-1 (15) or SHA-256 (19); null and length 0 for any other
// digest number (SM3 and the others carry no prefix).
inline const uint8_t* DigestInfoPrefix(uint32_t ulDigestAlg, size_t* pLen) {
  switch (ulDigestAlg) {
    case HASH_MD5: *pLen = sizeof kDigestInfoMd5; return kDigestInfoMd5;
    case HASH_SHA1: *pLen = sizeof kDigestInfoSha1; return kDigestInfoSha1;
    case HASH_SHA256: *pLen = sizeof kDigestInfoSha256; return kDigestInfoSha256;
    default: *pLen = 0; return nullptr;
  }
}

}  // namespace orva::crypto
