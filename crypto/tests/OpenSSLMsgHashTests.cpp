// Digests in pieces: known answers, the life cycle, and the SM3 identity value Z checked
// against signatures made by the openssl command line.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cstring>

#include "certificates/X509Certificate.h"
#include "crypto/OpenSSLASN1.h"
#include "crypto/OpenSSLMsgHash.h"
#include "foundation/DeviceTypes.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

namespace {

using Bytes = std::vector<uint8_t>;
const char kGmId[] = "1234567812345678";

std::string Hex(const Bytes& b) {
  std::string s;
  CStringConvert::BinaryToHexString(b.data(), b.size(), s);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Digest of `data` fed in pieces of `piece` bytes.
Bytes Digest(COpenSSLMsgHash& h, uint32_t alg, const std::string& data, size_t piece,
             const char* id = nullptr) {
  EXPECT_EQ(h.Init(alg, reinterpret_cast<const uint8_t*>(id), id ? static_cast<uint32_t>(std::strlen(id)) : 0),
            ORVA_OK);
  for (size_t at = 0; at < data.size(); at += piece) {
    size_t n = std::min(piece, data.size() - at);
    EXPECT_EQ(h.Update(reinterpret_cast<const uint8_t*>(data.data() + at), static_cast<uint32_t>(n)), ORVA_OK);
  }
  uint32_t len = 0;
  EXPECT_EQ(h.Final(nullptr, &len), ORVA_OK);
  Bytes out(len);
  EXPECT_EQ(h.Final(out.data(), &len), ORVA_OK);
  EXPECT_FALSE(h.IsRunning());
  return out;
}

}  // namespace

TEST(OpenSSLMsgHash, KnownAnswers) {
  std::string abc16;
  for (int i = 0; i < 16; ++i) abc16 += "abcd";
  struct Row {
    uint32_t alg;
    std::string data;
    const char* hex;
  } rows[] = {
      {HASH_SM3, "abc", "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"},
      {HASH_SM3, abc16, "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732"},
      {HASH_SM3, "", "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b"},
      {HASH_MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {HASH_SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {HASH_SHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
  };
  COpenSSLMsgHash h;  // one object, reused
  for (const Row& r : rows) {
    for (size_t piece : {1, 7, 64}) EXPECT_EQ(Hex(Digest(h, r.alg, r.data, piece)), r.hex) << r.alg << " " << piece;
  }
  // Longer input in odd pieces against the openssl command line.
  Bytes big(100000);
  RAND_bytes(big.data(), static_cast<int>(big.size()));
  std::string data(big.begin(), big.end());
  for (const char* name : {"sm3", "sha256", "sha1", "md5"}) {
    uint32_t alg = std::string(name) == "sm3" ? HASH_SM3 : std::string(name) == "sha256" ? HASH_SHA256
                   : std::string(name) == "sha1" ? HASH_SHA1 : HASH_MD5;
    std::string out;
    ASSERT_EQ(orva::testing::RunProgram({"openssl", "dgst", std::string("-") + name, "-r"}, out, 10000, {}, data), 0)
        << out;
    EXPECT_EQ(Hex(Digest(h, alg, data, 1000 + 3)), out.substr(0, out.find(' '))) << name;
  }
}

TEST(OpenSSLMsgHash, LifeCycle) {
  COpenSSLMsgHash h;
  const uint8_t data[] = {1, 2, 3};
  uint32_t len = 0;
  EXPECT_EQ(h.Update(data, 3), ORVA_E_INVALID_PARAM);  // not started
  EXPECT_EQ(h.Final(nullptr, &len), ORVA_E_INVALID_PARAM);
  for (uint32_t alg : {0u, 0x100u, HASH_SHA384, HASH_SHA512, 0x4001u})
    EXPECT_EQ(h.Init(alg, nullptr, 0), ORVA_E_ALG_NOT_SUPPORTED) << alg;
  ASSERT_EQ(h.Init(HASH_SM3, nullptr, 0), ORVA_OK);
  EXPECT_EQ(h.Init(HASH_SM3, nullptr, 0), ORVA_E_ALREADY_INITIALIZED);
  EXPECT_EQ(h.Update(nullptr, 3), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(h.Update(data, 0), ORVA_E_INVALID_PARAM);
  ASSERT_EQ(h.Update(data, 3), ORVA_OK);
  EXPECT_EQ(h.Final(nullptr, nullptr), ORVA_E_INVALID_PARAM);
  // The size query and a short buffer leave the hash running.
  ASSERT_EQ(h.Final(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 32u);
  uint8_t out[32];
  len = 31;
  EXPECT_EQ(h.Final(out, &len), ORVA_E_BUFFER_TOO_SMALL);
  EXPECT_TRUE(h.IsRunning());
  len = 32;
  ASSERT_EQ(h.Final(out, &len), ORVA_OK);
  EXPECT_FALSE(h.IsRunning());
  Bytes expect;
  {
    COpenSSLMsgHash other;
    expect = Digest(other, HASH_SM3, std::string("\x01\x02\x03", 3), 3);
  }
  EXPECT_EQ(Bytes(out, out + 32), expect);
  // Idle again: reusable with another algorithm.
  EXPECT_EQ(Digest(h, HASH_MD5, "abc", 3).size(), 16u);

  // SM3 with a public key needs the signer's user ID (bounded by the two bytes of ENTL).
  uint8_t x[32] = {1}, y[32] = {2};
  h.set_PublicKey(x, y);
  EXPECT_EQ(h.Init(HASH_SM3, nullptr, 0), ORVA_E_INVALID_PARAM);
  Bytes longId(8192, 'a');
  EXPECT_EQ(h.Init(HASH_SM3, longId.data(), 8192), ORVA_E_INVALID_PARAM);
  EXPECT_FALSE(h.IsRunning());
  EXPECT_EQ(h.Init(HASH_SM3, longId.data(), 8191), ORVA_OK);
}

// Z is what OpenSSL's own SM2 signatures are made over: a signature by `openssl pkeyutl
// -sign -rawin -digest sm3 -pkeyopt distid:...` verifies against SM3(Z || M) computed here,
// with the key taken from the signer's certificate (public key record).
TEST(OpenSSLMsgHash, IdentityValueMatchesTheCommandLine) {
  std::vector<uint8_t> der = orva::testing::TestPkiCertDer("sm2-sign");
  CX509Certificate cert;
  ASSERT_EQ(cert.FromBuffer(der.data(), static_cast<uint32_t>(der.size())), ORVA_OK);
  ORVA_PUBLIC_KEY_RECORD rec{};
  ASSERT_EQ(cert.get_PublicKey(&rec), ORVA_OK);
  EVP_PKEY* pub = X509_get0_pubkey(cert.get_CertInfo());
  ASSERT_NE(pub, nullptr);

  Bytes random(1000);
  RAND_bytes(random.data(), static_cast<int>(random.size()));
  std::string dir = orva::testing::MakeTempDir("z");
  for (const std::string& message : {std::string(""), std::string("abc"), std::string(random.begin(), random.end())}) {
    SCOPED_TRACE(message.size());
    std::string msgPath = dir + "/msg", sigPath = dir + "/sig";
    ASSERT_TRUE(orva::testing::WriteFile(msgPath, message));
    std::string out;
    ASSERT_EQ(orva::testing::RunProgram({"openssl", "pkeyutl", "-sign", "-rawin", "-digest", "sm3", "-inkey",
                                         orva::testing::TestPkiKeyPath("sm2-sign"), "-pkeyopt",
                                         std::string("distid:") + kGmId, "-in", msgPath, "-out", sigPath},
                                        out),
              0)
        << out;
    std::string sigText = orva::testing::ReadFile(sigPath);
    Bytes sig(sigText.begin(), sigText.end());

    for (const char* id : {kGmId, "1234567812345679"}) {
      COpenSSLMsgHash h;
      h.set_PublicKey(rec.u.sm2.x + 32, rec.u.sm2.y + 32);
      Bytes e = message.empty() ? [&] {
        // The empty message: Init then Final gives SM3(Z).
        EXPECT_EQ(h.Init(HASH_SM3, reinterpret_cast<const uint8_t*>(id), 16), ORVA_OK);
        Bytes out(32);
        uint32_t len = 32;
        EXPECT_EQ(h.Final(out.data(), &len), ORVA_OK);
        return out;
      }()
                                : Digest(h, HASH_SM3, message, 333, id);
      orva::ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(pub, nullptr));
      ASSERT_EQ(EVP_PKEY_verify_init(ctx.get()), 1);
      int ok = EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), e.data(), e.size());
      ERR_clear_error();
      EXPECT_EQ(ok, std::string(id) == kGmId ? 1 : 0) << id;
    }

    // The command line's DER signature survives the record form unchanged.
    ORVA_SM2_SIGNATURE record;
    ASSERT_EQ(COpenSSLASN1::d2i_SM2Signature(sig.data(), static_cast<uint32_t>(sig.size()), &record), ORVA_OK);
    EXPECT_EQ(uint32_t{record.ulBits}, 256u);
    uint32_t len = 0;
    ASSERT_EQ(COpenSSLASN1::i2d_SM2Signature(&record, nullptr, &len), ORVA_OK);
    Bytes back(len);
    ASSERT_EQ(COpenSSLASN1::i2d_SM2Signature(&record, back.data(), &len), ORVA_OK);
    EXPECT_EQ(back, sig);
  }
}
