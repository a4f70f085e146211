#pragma once
// CGMMsgVerify: a message checked on the token as it arrives in pieces (message type 0x20xx).
// Init (signing algorithm bits, user ID) starts the digest; RSA takes data format 1 only, SM2
// SM3 only, whose digest starts from the certificate's Z value and the user ID. Update feeds
// the digest. Final (signature, its length, result buffer, length): a null buffer returns 4; a
// buffer of at least 4 bytes receives the 32-bit verdict (1 verified, 0 not), the length 4,
// and the result is the verification's; the digest is released.
#include <cstdint>
#include <memory>
#include <vector>

#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/GMMsgHash.h"
#include "foundation/CryptoMsg.h"

class CX509Certificate;

class CGMMsgVerify : public CCryptoMsg {
 public:
  // The certificate is not owned; it must outlive the handler.
  CGMMsgVerify(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, HCONTAINER hCon, uint32_t ulSignType, uint32_t ulFlags,
               const CX509Certificate* pVerifyCert);
  ~CGMMsgVerify() override;

  uint32_t Init(uint32_t ulAlg, const uint8_t* pbUserId, uint32_t ulUserIdLen, uint64_t ullExtra,
                StreamPtr pOutStream) override;
  uint32_t Update(const uint8_t* pbData, uint32_t ulLen, bool bLast) override;
  uint32_t Final(const uint8_t* pbFinal, uint32_t ulFinalLen, uint8_t* pbOut, uint32_t* pulOutLen) override;

 private:
  CGMDeviceProxy* m_pGMProxy;
  DEVHANDLE m_hDev;
  HCONTAINER m_hCon;
  uint32_t m_ulSignAlg = 0;
  uint32_t m_ulDigestAlg = 0;
  uint32_t m_ulSignType = 1;
  uint32_t m_ulFlags = 0;
  std::unique_ptr<CGMMsgHash> m_pHashMsg;
  std::vector<uint8_t> m_userId;
  const CX509Certificate* m_pVerifyCert;
};
