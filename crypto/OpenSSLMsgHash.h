#pragma once
// A message digest computed in software, in pieces: Init, Update for each piece, Final. For
// SM3 with a signer's public key set, the signer's identity value Z (GM/T 0003) is absorbed
// first, so Final yields SM3(Z || message), the value an SM2 signature is made over.
//
// Idle -> running after Init -> idle after Final (successful or failed) or a failed Update;
// a second Init while running is refused; the object is reusable when idle.
#include <cstdint>

#include "platform/OpenSsl.h"

class COpenSSLMsgHash {
 public:
  // Longest user ID: its bit length must fit the two bytes of ENTL.
  static constexpr uint32_t kMaxUserIdLen = 8191;

  COpenSSLMsgHash();
  ~COpenSSLMsgHash();
  COpenSSLMsgHash(const COpenSSLMsgHash&) = delete;
  COpenSSLMsgHash& operator=(const COpenSSLMsgHash&) = delete;

  // The signer's SM2 public key (X and Y, 32 bytes each, most significant byte first); sets
  // the use-Z flag. Set before Init.
  void set_PublicKey(const uint8_t* pbX, const uint8_t* pbY);
  void set_UseZ(bool bUseZ) { m_bUseZ = bUseZ; }

  // ulAlg: 0x200 MD5, 0x400 SHA-1, 0x800 SHA-256, 0x4000 SM3. The user ID is required for
  // SM3 with the use-Z flag.
  uint32_t Init(uint32_t ulAlg, const uint8_t* pbUserId, uint32_t ulUserIdLen);
  uint32_t Update(const uint8_t* lpInData, uint32_t ulInLen);
  // A null buffer asks for the digest length and leaves the hash running, as does a short
  // buffer (0x81000009).
  uint32_t Final(uint8_t* pbRes, uint32_t* pulResLen);

  bool IsRunning() const { return m_ctx != nullptr; }

 private:
  uint32_t _gm_sm3_getZ(const uint8_t* pbUserId, uint32_t ulUserIdLen, uint8_t* pbZ) const;

  orva::ossl::EvpMdCtxPtr m_ctx;
  uint32_t m_ulDigestLen = 0;
  bool m_bUseZ = false;
  uint8_t m_pubKeyX[32] = {};
  uint8_t m_pubKeyY[32] = {};
};
