#pragma once
// CGMMsgDecrypt: an envelope opened by the token (message type 0x40xx; the low byte is the
// envelope format). The caller reads the 4-byte length and the wrapped key from the envelope
// and gives the wrapped key to Init; the token unwraps it with the container's exchange key
// (SKF_ImportSessionKey): RSA 128 or 256 bytes as they are; SM2 as a cipher blob made from
// format 1 C1C3C2, format 4 DER, or any other format the blob itself.
//
// Every length taken from the wrapped key is checked before anything is copied or handed to
// the token (C1C3C2 of 98 bytes or more beginning with 0x04, a blob whose CipherLen fits the
// bytes present, DER that parses, and a resulting blob of at most 512 bytes); a wrapped key that
// fails gives 0x8100000E. Update takes whole 16-byte blocks (chunks of at most 1024 bytes to
// the token) and writes the plain text to the output stream; Final writes the rest and closes
// the session key (so does destruction).
#include <cstdint>
#include <vector>

#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/SkfApi.h"
#include "foundation/CryptoMsg.h"

class CGMMsgDecrypt : public CCryptoMsg {
 public:
  CGMMsgDecrypt(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, HCONTAINER hCon, uint32_t ulEnvelopType,
                uint32_t ulPaddingType);
  ~CGMMsgDecrypt() override;

  // pbParam / ulParamLen: the wrapped session key.
  uint32_t Init(uint32_t ulAlg, const uint8_t* pbParam, uint32_t ulParamLen, uint64_t ullExtra,
                StreamPtr pOutputStream) override;
  uint32_t Update(const uint8_t* pbData, uint32_t ulLen, bool bLast) override;
  uint32_t Final(const uint8_t* pbFinal, uint32_t ulFinalLen, uint8_t* pbOut, uint32_t* pulOutLen) override;

  // The GM/T 0016 cipher blob of an SM2 wrapped key in one envelope format (checks above).
  static uint32_t _Sm2CipherBlob(uint32_t ulEnvelopType, const uint8_t* pbWrapped, uint32_t ulWrappedLen,
                                 std::vector<uint8_t>& blob);

 private:
  void _CloseKey();

  CGMDeviceProxy* m_pGMProxy;
  DEVHANDLE m_hDev;
  HCONTAINER m_hCon;
  HANDLE m_hSymmKey = nullptr;
  StreamPtr m_pOutputStream;
  // One piece's plain text, gathered from its chunks and written at once; wiped after use.
  std::vector<uint8_t> m_pieceOut;
  BLOCKCIPHERPARAM m_param{};
  uint32_t m_ulEnvelopType;
};
