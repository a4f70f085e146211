#pragma once
// Streaming handler: data that arrives in pieces is signed, verified, sealed, opened or
// hashed through Init, then Update for each piece, then Final.
#include <cstdint>
#include <memory>

#include "foundation/Stream.h"

class CCryptoMsg {
 public:
  virtual ~CCryptoMsg() = default;
  // Prepares the operation. The meaning of the parameters differs per handler: for SM2
  // signing the parameter data is the signer's user ID; `ullExtra` is the total data length
  // where a handler needs it; envelope handlers write their result to `pOutStream`.
  virtual uint32_t Init(uint32_t ulAlg, const uint8_t* pbParam, uint32_t ulParamLen,
                        uint64_t ullExtra, StreamPtr pOutStream) = 0;
  // Feeds one piece; `bLast` marks the final piece.
  virtual uint32_t Update(const uint8_t* pbData, uint32_t ulLen, bool bLast) = 0;
  // Finishes. Sign and hash return their result by the length convention (null buffer asks
  // for the size, a short buffer gives 0x81000009); verify checks `pbFinal` (the signature).
  virtual uint32_t Final(const uint8_t* pbFinal, uint32_t ulFinalLen, uint8_t* pbOut,
                         uint32_t* pulOutLen) = 0;
};

using CryptoMsgPtr = std::unique_ptr<CCryptoMsg>;
