// Fuzz entry point: any bytes as an SM2 cipher blob, plain ciphertext, DER ciphertext and DER
// signature. Conversions that succeed must round-trip; none may read or write out of bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/OpenSSLASN1.h"
#include "crypto/SM2CipherConvert.h"

namespace {

std::vector<uint8_t> Run(uint32_t (*fn)(const uint8_t*, uint32_t, uint8_t*, uint32_t*), const uint8_t* in,
                         uint32_t n, bool& ok) {
  uint32_t len = 0;
  ok = false;
  if (fn(in, n, nullptr, &len) != 0) return {};
  std::vector<uint8_t> out(len);
  if (fn(in, n, out.data(), &len) != 0 || len != out.size()) std::abort();
  ok = true;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  uint32_t n = static_cast<uint32_t>(size);
  bool ok = false;
  // A copy of exactly `size` bytes, so that any read past the input is caught.
  std::vector<uint8_t> in(data, data + size);
  const uint8_t* p = in.empty() ? nullptr : in.data();

  std::vector<uint8_t> plain = Run(CSM2CipherConvert::Raw2Normal, p, n, ok);
  if (ok) {
    std::vector<uint8_t> blob = Run(CSM2CipherConvert::Normal2Raw, plain.data(), static_cast<uint32_t>(plain.size()), ok);
    if (!ok) std::abort();
    // Back to the same blob (the coordinates' high halves are not carried by the plain form),
    // unless the plain form looks like a damaged 16-byte key and was repaired.
    bool repaired = (plain.size() == 114 || plain.size() == 115) &&
                    !CSM2CipherConvert::IsPointOnCurve(plain.data() + 1, plain.data() + 33);
    if (!repaired && (blob.size() != size || std::memcmp(blob.data() + 32, p + 32, 32) != 0 ||
                      std::memcmp(blob.data() + 96, p + 96, size - 96) != 0))
      std::abort();
    Run(COpenSSLASN1::i2d_SM2Cipher, p, n, ok);
  }
  Run(CSM2CipherConvert::Normal2Raw, p, n, ok);
  std::vector<uint8_t> blob = Run(COpenSSLASN1::d2i_SM2Cipher, p, n, ok);
  if (ok) {
    Run(COpenSSLASN1::i2d_SM2Cipher, blob.data(), static_cast<uint32_t>(blob.size()), ok);
    if (!ok) std::abort();
  }
  ORVA_SM2_SIGNATURE sig;
  if (p != nullptr && COpenSSLASN1::d2i_SM2Signature(p, n, &sig) == 0) {
    uint32_t len = 0;
    if (COpenSSLASN1::i2d_SM2Signature(&sig, nullptr, &len) != 0) std::abort();
  }
  return 0;
}
