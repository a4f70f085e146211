#pragma once
// CGMMsgHash: a digest computed on the token (message type 0x50xx). Init (digest, user ID),
// Update with each piece (handed to the token in chunks of at most 1024 bytes), Final with the
// length convention (a null buffer returns the library's size and leaves the digest running).
// For SM3 with a signer's public key set, the token starts from the signer's Z value, so the
// result is SM3(Z || message), the value an SM2 signature is made over.
//
// The digest handle is closed on destruction; a digest that was never finished is finished
// into a scratch buffer first. One digest per handler.
#include <cstdint>

#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/SkfApi.h"
#include "foundation/CryptoMsg.h"

class CGMMsgHash : public CCryptoMsg {
 public:
  // Largest digest the token may report.
  static constexpr uint32_t kMaxDigestLen = 64;

  CGMMsgHash(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev);
  ~CGMMsgHash() override;
  CGMMsgHash(const CGMMsgHash&) = delete;
  CGMMsgHash& operator=(const CGMMsgHash&) = delete;

  // The signer's SM2 public key for the Z value of SM3 (set before Init).
  void set_PublicKey(const ECCPUBLICKEYBLOB& blob);

  // ulAlg: a digest value or a signing-algorithm bit set (the first of SHA-1, SHA-256, MD5,
  // SM3 present is used).
  uint32_t Init(uint32_t ulAlg, const uint8_t* pbUserId, uint32_t ulUserIdLen, uint64_t ullExtra,
                StreamPtr pOutStream) override;
  uint32_t Update(const uint8_t* pbData, uint32_t ulLen, bool bLast) override;
  uint32_t Final(const uint8_t* pbFinal, uint32_t ulFinalLen, uint8_t* pbOut, uint32_t* pulOutLen) override;

  // One whole digest on the token: Init, Update, Final into `pbOut` (at least 64 bytes).
  static uint32_t Digest(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, uint32_t ulAlg,
                         const ECCPUBLICKEYBLOB* pPubKey, const uint8_t* pbUserId, uint32_t ulUserIdLen,
                         const uint8_t* pbData, uint32_t ulLen, uint8_t* pbOut, uint32_t* pulOutLen);

 private:
  CGMDeviceProxy* m_pGMProxy;
  DEVHANDLE m_hProv;
  HANDLE m_hHash = nullptr;
  bool m_bFinished = false;
  bool m_bHasPubKey = false;
  ECCPUBLICKEYBLOB m_pubKey{};
};
