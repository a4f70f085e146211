// Fuzz entry point: any bytes as a signature a page hands in (CSignedData and every reader of
// its PKCS#7 structure), as a signature to verify against a fixed SM2 and RSA certificate, and
// as a wrapped envelope key to recognise. Nothing may read past the input or crash.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/EnvelopedData.h"
#include "crypto/OpenSSLDigestVerify.h"
#include "crypto/SignedData.h"

namespace {

void ReadAll(const CSignedData& sd) {
  uint32_t len = 0;
  std::vector<uint8_t> buf;
  for (auto get : {&CSignedData::GetSignature, &CSignedData::GetOrgData, &CSignedData::GetCertificate}) {
    len = 0;
    if ((sd.*get)(nullptr, &len) != 0) continue;
    buf.assign(len, 0);
    if ((sd.*get)(buf.data(), &len) != 0 || len > buf.size()) std::abort();
  }
  ORVA_SYSTEMTIME st;
  sd.GetLocalTime(&st);
  uint32_t v = 0;
  sd.GetDigestAlg(&v);
  if (const CSignedP7* p7 = sd.get_SignedP7()) {
    uint8_t small[64];
    char text[128];
    len = sizeof small;
    p7->get_digest(small, &len);
    len = sizeof text;
    p7->get_sign_alg(text, &len);
    len = sizeof text;
    p7->get_digest_alg(text, &len);
    len = 0;
    if (p7->get_auth_attr(nullptr, &len) == 0) {
      buf.assign(len, 0);
      if (p7->get_auth_attr(buf.data(), &len) != 0) std::abort();
    }
    int64_t t = 0;
    p7->get_timestamp(&t);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 1 << 16) return 0;
  std::vector<uint8_t> in(data, data + size);
  uint32_t n = static_cast<uint32_t>(size);
  CSignedData sd;
  if (sd.SetSignature(in.data(), n) != 0) std::abort();
  ReadAll(sd);

  // A self-made SM2 certificate is not needed to reach the parsers: a signature that does not
  // decode fails before the key is used, and one that does goes through every check.
  uint8_t digest[32] = {1, 2, 3};
  COpenSSLDigestVerify v;
  v.verify(digest, sizeof digest, 0x4000, in.data(), n, in.data(), n);
  COpenSSLDigestVerify::IsSM2DerSignature(in.data(), n);

  uint32_t alg = 0, type = 0;
  CEnvelopedData::GetEnvelopAlg(in.data(), n, &alg);
  CEnvelopedData::GetEnvelopType(in.data(), n, &type);
  return 0;
}
