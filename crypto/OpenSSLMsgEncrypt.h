#pragma once
// Envelope sealing in software for the holder of a certificate, in the program's own layout
// (not PKCS#7), which the token back ends open:
//
//   offset 0      4 bytes   L, the wrapped session key's length, little-endian
//   offset 4      L bytes   the session key encrypted with the certificate's public key
//   offset 4 + L  rest      the content encrypted with the session key (zero vector for CBC)
//
// The wrapped key: RSA, PKCS#1 v1.5 with its bytes reversed (least significant first), for
// every envelope type; SM2 by envelope type: 0 or 3 the GM/T 0016 cipher blob (164 + key
// length), 1 C1C3C2 (97 + key length), 4 (the default) OpenSSL's DER ciphertext of GM/T 0009;
// type 2 (PKCS#7) is refused. The session key comes from RAND_bytes and lives only in the
// cipher context.
//
// Init (symmetric algorithm bit, -, -, -, output stream) writes L and the wrapped key; Update
// (piece, last) encrypts pieces of at most 1 MiB, every piece but the last a multiple of 16
// bytes; with padding 0 (the default) the last piece is filled with zero bytes to a multiple of
// 16, with padding 1 PKCS#7 padding is added by Final, which writes the last block. Idle ->
// running after Init -> idle after Final or a failure of Init or Final.
#include <cstdint>
#include <vector>

#include "certificates/X509Certificate.h"
#include "foundation/CryptoMsg.h"
#include "platform/OpenSsl.h"

class COpenSSLMsgEncrypt : public CCryptoMsg {
 public:
  // Largest piece one Update takes (1 MiB).
  static constexpr uint32_t kMaxPiece = 0x100000;
  // Room reserved for a wrapped key.
  static constexpr uint32_t kWrappedKeyMax = 512;

  COpenSSLMsgEncrypt() = default;
  ~COpenSSLMsgEncrypt() override;

  // The recipient, not owned; it must outlive Init.
  void set_CryptoCert(const CX509Certificate* pCert) { m_pCryptoCert = pCert; }
  void set_EnvelopType(uint32_t ulType) { m_ulEnvelopType = ulType; }
  void set_Padding(uint32_t ulPadding) { m_ulPadding = ulPadding; }

  uint32_t Init(uint32_t ulAlg, const uint8_t* pbParam, uint32_t ulParamLen, uint64_t ullExtra,
                StreamPtr pOutputStream) override;
  uint32_t Update(const uint8_t* lpInData, uint32_t ulInLen, bool bLast) override;
  uint32_t Final(const uint8_t* pbFinal, uint32_t ulFinalLen, uint8_t* pbOut, uint32_t* pulOutLen) override;

  // Wrap formats of _WrapSymmKeyData.
  static constexpr uint32_t kWrapNormal = 1;  // C1C3C2
  static constexpr uint32_t kWrapDer = 2;
  static constexpr uint32_t kWrapBlob = 3;

  // The wrapped form of `key` for `cert` (size-query convention; needs 512 bytes).
  static uint32_t _WrapSymmKeyData(const CX509Certificate* cert, const uint8_t* key, uint32_t key_len,
                                   uint32_t ulFormat, uint8_t* wrapped, uint32_t* wrapped_len);

 private:
  static uint32_t _GenSymmKey(uint32_t ulAlg, uint8_t* pbKey, uint32_t* pLen);
  uint32_t _WriteAll(const uint8_t* pb, uint32_t cb);

  orva::ossl::EvpCipherCtxPtr m_pSymmCtx;
  StreamPtr m_pOutputStream;
  const CX509Certificate* m_pCryptoCert = nullptr;
  uint32_t m_ulEnvelopType = 4;
  uint32_t m_ulPadding = 0;
  uint8_t m_iv[32] = {};            // never set: CBC starts from a zero vector
  std::vector<uint8_t> m_scratch;   // cipher output and the zero-filled last piece
};
