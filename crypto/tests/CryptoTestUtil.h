#pragma once
// Small helpers shared by the crypto tests: bytes and files, the openssl command line, keys of
// the test PKI, and SM3 with the signer's identity value.
#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <cstring>
#include <string>
#include <vector>

#include "certificates/X509Certificate.h"
#include "crypto/OpenSSLMsgHash.h"
#include "foundation/DeviceTypes.h"
#include "foundation/ResultCodes.h"
#include "platform/OpenSsl.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

namespace cryptotest {

using Bytes = std::vector<uint8_t>;
inline const char kGmId[] = "1234567812345678";

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string ToString(const Bytes& b) { return std::string(b.begin(), b.end()); }

inline std::string Hex(const Bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

inline Bytes ReadBytes(const std::string& path) { return ToBytes(orva::testing::ReadFile(path)); }
inline void WriteBytes(const std::string& path, const Bytes& b) {
  ASSERT_TRUE(orva::testing::WriteFile(path, ToString(b))) << path;
}

// Runs a command that must succeed; returns its output.
inline std::string RunOk(const std::vector<std::string>& argv, const std::string& stdinText = "",
                         const std::vector<std::string>& env = {}, int timeoutMs = 20000) {
  std::string out;
  int rc = orva::testing::RunProgram(argv, out, timeoutMs, env, stdinText);
  std::string cmd;
  for (const auto& a : argv) cmd += a + " ";
  EXPECT_EQ(rc, 0) << cmd << "\n" << out;
  return out;
}

inline Bytes CertDer(const std::string& name) {
  Bytes der = orva::testing::TestPkiCertDer(name);
  EXPECT_FALSE(der.empty()) << name;
  return der;
}

inline orva::ossl::EvpPkeyPtr PrivateKey(const std::string& key) {
  std::string pem = orva::testing::ReadFile(orva::testing::TestPkiKeyPath(key));
  orva::ossl::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  orva::ossl::EvpPkeyPtr k(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  EXPECT_TRUE(k) << key;
  return k;
}

// The key's traditional DER (RSAPrivateKey or ECPrivateKey).
inline Bytes PrivateKeyDer(const std::string& key) {
  auto k = PrivateKey(key);
  unsigned char* p = nullptr;
  int n = i2d_PrivateKey(k.get(), &p);
  Bytes out(p, p + (n > 0 ? n : 0));
  OPENSSL_free(p);
  return out;
}

// SM3(Z || message) for the certificate's SM2 key and the GM identity.
inline Bytes Sm3WithZ(const Bytes& certDer, const Bytes& message, const char* id = kGmId) {
  CX509Certificate cert;
  EXPECT_EQ(cert.FromBuffer(certDer.data(), static_cast<uint32_t>(certDer.size())), ORVA_OK);
  ORVA_PUBLIC_KEY_RECORD rec{};
  EXPECT_EQ(cert.get_PublicKey(&rec), ORVA_OK);
  COpenSSLMsgHash h;
  h.set_PublicKey(rec.u.sm2.x + 32, rec.u.sm2.y + 32);
  EXPECT_EQ(h.Init(HASH_SM3, reinterpret_cast<const uint8_t*>(id), static_cast<uint32_t>(std::strlen(id))), ORVA_OK);
  if (!message.empty()) { EXPECT_EQ(h.Update(message.data(), static_cast<uint32_t>(message.size())), ORVA_OK); }
  Bytes e(32);
  uint32_t len = 32;
  EXPECT_EQ(h.Final(e.data(), &len), ORVA_OK);
  return e;
}

// A plain digest (no Z).
inline Bytes Digest(uint32_t alg, const Bytes& message) {
  COpenSSLMsgHash h;
  EXPECT_EQ(h.Init(alg, nullptr, 0), ORVA_OK);
  if (!message.empty()) { EXPECT_EQ(h.Update(message.data(), static_cast<uint32_t>(message.size())), ORVA_OK); }
  Bytes d(64);
  uint32_t len = 64;
  EXPECT_EQ(h.Final(d.data(), &len), ORVA_OK);
  d.resize(len);
  return d;
}

inline Bytes RandomBytes(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 131 + 7) ^ (i >> 3));
  return b;
}

}  // namespace cryptotest
