#pragma once
// CGMMsgEncrypt: an envelope sealed by the token for the holder of a certificate (message type
// 0x30xx; the low byte is the envelope format). The envelope layout:
//   4 bytes L (little-endian) | the wrapped session key (L bytes) | the content under the key
// The token makes the session key and wraps it: RSA (format 1 only) with
// SKF_RSAExportSessionKey, as the library returns it; SM2 with SKF_ECCExportSessionKey, its
// cipher blob written as format 1 C1C3C2 (CSM2CipherConvert::Raw2Normal), 3 the blob itself
// (164 + key length) or 4 the DER ciphertext of GM/T 0009.
//
// Init writes L and the wrapped key and starts the token's block encryption (zero IV of 16
// bytes, padding type = the handler's flags). Update: every piece but the last a multiple of 16
// bytes; data goes to the token in chunks of at most 1024 bytes, their outputs gathered and
// written once per piece (a write per chunk costs more than the cipher); with padding type 0 the
// last chunk of the last piece is filled with zero bytes to a multiple of 16. Final writes what the
// token still holds and closes the session key (so does destruction).
#include <cstdint>
#include <vector>

#include "devices/skf/GMDeviceProxy.h"
#include "devices/skf/SkfApi.h"
#include "foundation/CryptoMsg.h"
#include "foundation/DeviceTypes.h"

class CX509Certificate;

class CGMMsgEncrypt : public CCryptoMsg {
 public:
  // The certificate is not owned; it must outlive Init.
  CGMMsgEncrypt(CGMDeviceProxy* pGMProxy, DEVHANDLE hDev, HCONTAINER hCon, const CX509Certificate* pCryptoCert,
                uint32_t ulEnvelopType, uint32_t ulPaddingType);
  ~CGMMsgEncrypt() override;

  uint32_t Init(uint32_t ulAlg, const uint8_t* pbParam, uint32_t ulParamLen, uint64_t ullExtra,
                StreamPtr pOutputStream) override;
  uint32_t Update(const uint8_t* pbData, uint32_t ulLen, bool bLast) override;
  uint32_t Final(const uint8_t* pbFinal, uint32_t ulFinalLen, uint8_t* pbOut, uint32_t* pulOutLen) override;

 private:
  uint32_t _WrapRsa(ULONG ulAlgId, const ORVA_PUBLIC_KEY_RECORD& key, std::vector<uint8_t>& wrapped);
  uint32_t _WrapSm2(ULONG ulAlgId, const ORVA_PUBLIC_KEY_RECORD& key, std::vector<uint8_t>& wrapped);
  // Encrypts one chunk and appends its output to m_pieceOut.
  uint32_t _EncryptChunk(const uint8_t* pbData, uint32_t ulLen);
  void _CloseKey();

  CGMDeviceProxy* m_pGMProxy;
  DEVHANDLE m_hDev;
  HCONTAINER m_hCon;
  HANDLE m_hSymmKey = nullptr;
  StreamPtr m_pOutputStream;
  std::vector<uint8_t> m_pieceOut;  // one piece's output
  BLOCKCIPHERPARAM m_param{};
  uint32_t m_ulEnvelopType;
  const CX509Certificate* m_pCryptoCert;
};
