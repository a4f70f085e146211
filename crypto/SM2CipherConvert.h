#pragma once
// SM2 ciphertexts between the token's cipher blob and the plain C1C3C2 concatenation
// (layouts in crypto/SM2Types.h). Every conversion takes the input length and the output
// capacity and checks both before touching a byte: inputs shorter, longer or inconsistent with
// their own length fields give 0x8100000F, a short output 0x81000009, and nothing is read or
// written past either buffer.
#include <cstdint>

#include "crypto/SM2Types.h"

class CSM2CipherConvert {
 public:
  // Cipher blob (exactly 164 + CipherLen bytes) to 0x04 || X || Y || HASH || Cipher. A null
  // output buffer sets *lpulOutLen to the needed 97 + CipherLen.
  static uint32_t Raw2Normal(const uint8_t* lpRawCipher, uint32_t ulRawLen, uint8_t* lpOut,
                             uint32_t* lpulOutLen);

  // Plain ciphertext (at least 97 bytes, starting with 0x04) to the cipher blob. Ciphertexts of
  // 114 and 115 bytes whose standard split is not a point of the curve are taken as a 16-byte
  // key whose coordinates other software wrote with stray leading zero bytes, and repaired. A
  // null output buffer sets *pulRawLen to the needed 164 + cipher length.
  static uint32_t Normal2Raw(const uint8_t* lpCipher, uint32_t ulLen, uint8_t* lpRawCipher,
                             uint32_t* pulRawLen);

  // Whether (x, y), 32 bytes each, is a point of the SM2 curve.
  static bool IsPointOnCurve(const uint8_t* pbX, const uint8_t* pbY);
};
