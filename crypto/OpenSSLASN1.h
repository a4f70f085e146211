#pragma once
// SM2 signatures and ciphertexts between the token blobs and their DER forms of GM/T 0009,
// with the ASN.1 templates "SM2SIGNATURE" and "SM2CIPHER" (layouts in crypto/SM2Types.h).
// DER outputs follow the size-query convention (a null buffer asks for the length); DER inputs
// must be exactly one structure, nothing after it.
#include <cstdint>

#include "crypto/SM2Types.h"

class COpenSSLASN1 {
 public:
  // Signature record -> SEQUENCE { INTEGER r, INTEGER s } (ulBits 256 or 512).
  static uint32_t i2d_SM2Signature(const ORVA_SM2_SIGNATURE* pSignature, uint8_t* pbDer,
                                   uint32_t* pulDerLen);
  // DER signature -> record; r and s must be positive and 1 to 64 bytes. ulBits is 256 when
  // both fit in 32 bytes, else 512.
  static uint32_t d2i_SM2Signature(const uint8_t* pbDer, uint32_t ulDerLen,
                                   ORVA_SM2_SIGNATURE* pSignature);

  // Cipher blob (exactly 164 + CipherLen bytes, CipherLen not 0) -> DER ciphertext.
  static uint32_t i2d_SM2Cipher(const uint8_t* pbBlob, uint32_t ulBlobLen, uint8_t* pbDer,
                                uint32_t* pulDerLen);
  // DER ciphertext -> cipher blob; x and y 1 to 32 bytes, hash exactly 32 bytes, ciphertext
  // not empty. A null blob buffer sets *pulBlobLen to the needed 164 + ciphertext length.
  static uint32_t d2i_SM2Cipher(const uint8_t* pbDer, uint32_t ulDerLen, uint8_t* pbBlob,
                                uint32_t* pulBlobLen);
};
