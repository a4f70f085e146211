#pragma once
// One envelope of the program's layout (4-byte little-endian length L, the wrapped session
// key, the cipher text), held as bytes or as a stream, and the rules that recognise the
// wrapped key's algorithm and encoding.
//
// Recognition of a wrapped key of L bytes (GetEnvelopAlg / GetEnvelopType):
//   L 0 to 3                          0x81000004
//   DER SM2 ciphertext that parses    2 SM2 / type 4 (any L up to 196; OpenSSL writes 113 to
//                                     141 bytes for 8- to 32-byte keys)
//   128, 140, 256, 268, 512, 524      1 RSA / type 1 (140, 268, 524: behind the 12-byte key
//                                     blob header of the platform provider)
//   98 to 130                         2 SM2 / type 1 when the first byte is 0x04 (C1C3C2),
//                                     else type 4
//   166 to 196                        2 SM2 / type 3 (cipher blob, 164 + key length)
//   above 256                         alg 0x8100000E / type 2 (PKCS#7 enveloped data)
//   anything else                     0x8100000E
// The wrapped key bytes are read only for L up to 196, so callers of the PKCS#7 form, whose
// "length" is the first four bytes of a DER structure, may pass a short header.
#include <cstdint>
#include <vector>

#include "foundation/Stream.h"

class CEnvelopedData {
 public:
  // Longest envelope read from a stream into memory (100 MiB).
  static constexpr uint64_t kMaxEnvelopedLen = 0x6400000;

  CEnvelopedData() = default;
  ~CEnvelopedData();
  CEnvelopedData(const CEnvelopedData&) = delete;
  CEnvelopedData& operator=(const CEnvelopedData&) = delete;

  uint32_t SetEnvelopedData(const uint8_t* lpEnvelopedData, uint32_t ulEnvelopedLen);
  // Held bytes, else the whole stream from its start (at most 100 MiB, else 0x8100000A);
  // neither: 0x8100000B. Size-query convention.
  uint32_t GetEnvelopedData(uint8_t* lpEnvelopedData, uint32_t* pulEnvelopedLen) const;
  uint32_t SetEnvelopedStream(StreamPtr pStream);
  // A new reference to the held stream; the output is left untouched when there is none.
  uint32_t GetEnvelopedStream(StreamPtr* ppStream) const;

  static uint32_t GetEnvelopAlg(const uint8_t* lpHeader, uint32_t ulLen, uint32_t* pulAlg);
  static uint32_t GetEnvelopType(const uint8_t* lpHeader, uint32_t ulLen, uint32_t* pulType);

 private:
  std::vector<uint8_t> m_pEnvelopedData;
  uint32_t m_ulEnvelopedLen = 0;
  StreamPtr m_pEnvelopedStream;
};
