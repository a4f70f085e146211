#pragma once
// Byte layouts of SM2 ciphertexts and signatures shared by the token interface, the crypto
// library and pages.
//
//   cipher blob (GM/T 0016):  X (64, the 32-byte coordinate right-aligned), Y (64), HASH (32),
//                             CipherLen (4, little-endian), Cipher (CipherLen); 164 + CipherLen
//   plain ciphertext C1C3C2:  0x04, X (32), Y (32), HASH (32), Cipher; 97 + cipher length
//   DER ciphertext (GM/T 0009): SEQUENCE { INTEGER x, INTEGER y, OCTET STRING hash (32),
//                             OCTET STRING ciphertext }
//   signature record:         bit length (256 or 512), r (64), s (64), values right-aligned
//   DER signature:            SEQUENCE { INTEGER r, INTEGER s }
#include <cstddef>
#include <cstdint>

inline constexpr size_t SM2_COORD_LEN = 32;         // one coordinate of the SM2 curve
inline constexpr size_t SM2_BLOB_FIELD_LEN = 64;    // coordinate field of the token blobs
inline constexpr size_t SM2_HASH_LEN = 32;          // C3
inline constexpr size_t SM2_CIPHER_BLOB_HEADER = 164;  // X, Y, HASH, CipherLen
inline constexpr size_t SM2_PLAIN_HEADER = 97;         // 0x04, X, Y, HASH

// Offsets inside the cipher blob.
inline constexpr size_t SM2_BLOB_X = 0;
inline constexpr size_t SM2_BLOB_Y = 64;
inline constexpr size_t SM2_BLOB_HASH = 128;
inline constexpr size_t SM2_BLOB_CIPHERLEN = 160;
inline constexpr size_t SM2_BLOB_CIPHER = 164;

#pragma pack(push, 1)
// The signature record (the bit length is a native 32-bit field of the record).
struct ORVA_SM2_SIGNATURE {
  uint32_t ulBits;  // 256 or 512: the significant bytes of r and s are ulBits / 8
  uint8_t r[64];
  uint8_t s[64];
};
#pragma pack(pop)
static_assert(sizeof(ORVA_SM2_SIGNATURE) == 132);
