#pragma once
// CGMMsgSign: a message signed on the token as it arrives in pieces (message type 0x10xx; the
// low byte is the signature type). Init (signing algorithm bits, user ID) starts the digest on
// the token, for SM2 with SM3 from the container's signature key and the user ID, so the
// digest holds the Z value; Update feeds it and, for PKCS#7 with flag 0x2, keeps the plain text
// in memory (at most 100 MiB); Final signs the digest through CGMDigestSign.
//
// Final: a null buffer returns the size (256, or PKCS#7 4096 + 4096 with the certificate +
// the plain text) and finishes nothing; a smaller buffer is refused the same way, so the
// caller may ask again. Otherwise the digest is finished and released whatever the outcome:
// a handler signs one message.
#include <cstdint>
#include <memory>
#include <vector>

#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/GMMsgHash.h"
#include "foundation/CryptoMsg.h"

class CGMMsgSign : public CCryptoMsg {
 public:
  // Largest plain text held for an attached signature (100 MiB).
  static constexpr uint64_t kMaxPlainText = 0x6400000;

  CGMMsgSign(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, HCONTAINER hCon, uint32_t ulSignType, uint32_t ulFlags);
  ~CGMMsgSign() override;

  uint32_t Init(uint32_t ulAlg, const uint8_t* pbUserId, uint32_t ulUserIdLen, uint64_t ullExtra,
                StreamPtr pOutStream) override;
  uint32_t Update(const uint8_t* pbData, uint32_t ulLen, bool bLast) override;
  uint32_t Final(const uint8_t* pbFinal, uint32_t ulFinalLen, uint8_t* pbOut, uint32_t* pulOutLen) override;

 private:
  bool _AttachContent() const;

  CGMDeviceProxy* m_pGMProxy;
  DEVHANDLE m_hDev;
  HCONTAINER m_hCon;
  uint32_t m_ulSignAlg = 0;  // SGD_RSA or SGD_SM2_1
  uint32_t m_ulDigestAlg = 0;
  uint32_t m_ulSignType = 1;
  uint32_t m_ulFlags = 0;
  std::unique_ptr<CGMMsgHash> m_pHashMsg;
  std::vector<uint8_t> m_userId;
  StreamPtr m_pPlainTextStream;
  uint64_t m_ullPlainTextSize = 0;
};
