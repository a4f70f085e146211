// The SKF session's signatures and envelopes checked by programs outside the project:
// `openssl pkeyutl -verify` with the GM identity (raw signatures converted to DER, DER as it
// is, messages signed in pieces on the token), RSA with and without DigestInfo, PKCS#7 signed
// data through sm-crypto under node, and envelopes opened and sealed by the command-line
// envelope script.
#include <gtest/gtest.h>

#include "crypto/OpenSSLASN1.h"
#include "crypto/SignedP7.h"
#include "devices/skf/tests/GMSessionFixture.h"
#include "testing/ChildProcess.h"

using namespace skftest;

namespace {

void WriteBytes(const std::string& path, const Bytes& b) {
  ASSERT_TRUE(orva::testing::WriteFile(path, std::string(b.begin(), b.end()))) << path;
}

int RunTool(const std::vector<std::string>& argv, std::string& out, const std::vector<std::string>& env = {}) {
  return orva::testing::RunProgram(argv, out, 30000, env);
}

// `openssl pkeyutl -verify` of an SM2 DER signature over a message, with the GM identity.
int OpensslVerifySm2(const std::string& dir, const Bytes& msg, const Bytes& der, std::string& out) {
  WriteBytes(dir + "/msg", msg);
  WriteBytes(dir + "/sig", der);
  return RunTool({"openssl", "pkeyutl", "-verify", "-pubin", "-inkey", orva::testing::TestPkiKeyPath("sm2-sign", true),
              "-rawin", "-digest", "sm3", "-pkeyopt", "distid:" + std::string(kGmId), "-in", dir + "/msg",
              "-sigfile", dir + "/sig"},
             out);
}

Bytes RawToDer(const Bytes& raw128) {
  ORVA_SM2_SIGNATURE rec{};
  rec.ulBits = 256;
  std::memcpy(rec.r, raw128.data(), 64);
  std::memcpy(rec.s, raw128.data() + 64, 64);
  uint8_t der[80];
  uint32_t len = sizeof der;
  EXPECT_EQ(COpenSSLASN1::i2d_SM2Signature(&rec, der, &len), ORVA_OK);
  return Bytes(der, der + len);
}

std::string NodeVerify(const std::string& p7Path, const std::string& contentPath) {
  std::string script = orva::testing::SourceDir() + "/crypto/tests/sm2-p7-verify.js";
  std::string modules = orva::testing::SourceDir() + "/testing/node_modules";
  std::vector<std::string> argv = {"node", script, p7Path};
  if (!contentPath.empty()) argv.push_back(contentPath);
  std::string out;
  int rc = RunTool(argv, out, {"NODE_PATH=" + modules});
  return std::to_string(rc) + " " + out;
}

std::string Tool() { return orva::testing::SourceDir() + "/crypto/tests/envelope-tool.sh"; }

}  // namespace

TEST_F(GMSessionTest, Sm2SignaturesVerifyWithTheCommandLine) {
  Cert cert("sm2-sign");
  SessionPtr s = Sm2();
  std::string dir = orva::testing::MakeTempDir("sig");
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    Bytes msg = ToBytes("message " + std::to_string(i) + " / 消息");
    Bytes digest = SoftDigest(HASH_SM3, msg, &cert);
    for (uint32_t type : {SIGN_TYPE_RAW, SIGN_TYPE_DER}) {
      std::unique_ptr<CSignedData> sd;
      ASSERT_EQ(s->SignDigest(0x4002, digest.data(), 32, HASH_SM3, type, 0, sd), ORVA_OK);
      Bytes sig = SignatureOf(*sd);
      Bytes der = type == SIGN_TYPE_RAW ? RawToDer(sig) : sig;
      std::string out;
      EXPECT_EQ(OpensslVerifySm2(dir, msg, der, out), 0) << out;
      Bytes other = msg;
      other.push_back('!');
      EXPECT_NE(OpensslVerifySm2(dir, other, der, out), 0) << out;
    }
  }
  // A message hashed and signed in pieces on the token: the token's Z value is the GM one.
  Bytes msg = Content(3000);
  CryptoMsgPtr h = Handler(*s, MSG_SIGN | SIGN_TYPE_DER);
  ASSERT_EQ(h->Init(0x4002, reinterpret_cast<const uint8_t*>(kGmId), 16, 0, nullptr), ORVA_OK);
  ASSERT_EQ(Feed(*h, msg, 999), ORVA_OK);
  Bytes der;
  ASSERT_EQ(FinalBytes(*h, der), ORVA_OK);
  std::string out;
  EXPECT_EQ(OpensslVerifySm2(dir, msg, der, out), 0) << out;
}

TEST_F(GMSessionTest, RsaSignaturesVerifyWithTheCommandLine) {
  SessionPtr s = Rsa();
  std::string dir = orva::testing::MakeTempDir("rsa");
  Bytes msg = ToBytes("an RSA message");
  Bytes digest = SoftDigest(HASH_SHA256, msg);
  WriteBytes(dir + "/msg", msg);
  WriteBytes(dir + "/digest", digest);
  const std::string pub = orva::testing::TestPkiKeyPath("rsa-sign", true);
  struct Row {
    uint32_t type;
    std::vector<std::string> check;  // how the command line reads the signature
  } rows[] = {
      // PKCS#1: DigestInfo over SHA-256 of the message.
      {SIGN_TYPE_PKCS1, {"openssl", "pkeyutl", "-verify", "-pubin", "-inkey", pub, "-pkeyopt", "digest:sha256", "-in",
                         dir + "/digest", "-sigfile", dir + "/sig"}},
      // Raw: the bare digest inside the PKCS#1 block.
      {SIGN_TYPE_RAW, {"openssl", "pkeyutl", "-verify", "-pubin", "-inkey", pub, "-in", dir + "/digest", "-sigfile",
                       dir + "/sig"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.type);
    std::unique_ptr<CSignedData> sd;
    ASSERT_EQ(s->SignDigest(0x801, digest.data(), 32, HASH_SHA256, r.type, 0, sd), ORVA_OK);
    Bytes sig = SignatureOf(*sd);
    EXPECT_EQ(sig.size(), 256u);
    WriteBytes(dir + "/sig", sig);
    std::string out;
    EXPECT_EQ(RunTool(r.check, out), 0) << out;
  }
}

// PKCS#7 with flags 0x1 (certificate), 0x3 (certificate and content, signed in pieces) and 0x4
// (attributes) through the software verifier and sm-crypto.
TEST_F(GMSessionTest, Pkcs7SignaturesVerifyWithSmCrypto) {
  Cert cert("sm2-sign");
  SessionPtr s = Sm2();
  std::string dir = orva::testing::MakeTempDir("p7");
  Bytes msg = Content(4000);
  WriteBytes(dir + "/content", msg);
  Bytes zDigest = SoftDigest(HASH_SM3, msg, &cert);  // what the signature is made over
  Bytes plainDigest = SoftDigest(HASH_SM3, msg);     // what the message-digest attribute names

  struct Job {
    std::string name;
    Bytes p7, digest;
    bool bAttached;
  };
  std::vector<Job> jobs;
  std::unique_ptr<CSignedData> sd;
  ASSERT_EQ(s->SignDigest(0x4002, zDigest.data(), 32, HASH_SM3, SIGN_TYPE_PKCS7, 0x1, sd), ORVA_OK);
  jobs.push_back({"flags 0x1", SignatureOf(*sd), zDigest, false});

  CryptoMsgPtr h = Handler(*s, MSG_SIGN | SIGN_TYPE_PKCS7, 0x3);
  ASSERT_EQ(h->Init(0x4002, reinterpret_cast<const uint8_t*>(kGmId), 16, 0, nullptr), ORVA_OK);
  ASSERT_EQ(Feed(*h, msg, 1234), ORVA_OK);
  Bytes attached;
  ASSERT_EQ(FinalBytes(*h, attached), ORVA_OK);
  jobs.push_back({"flags 0x3", attached, zDigest, true});

  ASSERT_EQ(s->SignDigest(0x4002, plainDigest.data(), 32, HASH_SM3, SIGN_TYPE_PKCS7, 0x4, sd), ORVA_OK);
  Bytes withAttrs = SignatureOf(*sd);
  jobs.push_back({"flags 0x4", withAttrs, plainDigest, false});
  // The checker reads the signer's key from the certificate set: the same signer info with
  // the certificate added.
  CSignedP7 p7;
  ASSERT_EQ(p7.decode(withAttrs.data(), static_cast<uint32_t>(withAttrs.size())), ORVA_OK);
  ASSERT_EQ(p7.add_cert(cert.der.data(), static_cast<uint32_t>(cert.der.size())), ORVA_OK);
  uint32_t len = 0;
  ASSERT_EQ(p7.encode(nullptr, &len), ORVA_OK);
  Bytes withCert(len);
  ASSERT_EQ(p7.encode(withCert.data(), &len), ORVA_OK);

  for (const Job& j : jobs) {
    SCOPED_TRACE(j.name);
    EXPECT_EQ(SoftVerify(j.digest, HASH_SM3, j.p7, cert), ORVA_OK);
    std::string path = dir + "/" + j.name.substr(6) + ".p7";
    WriteBytes(path, j.name == "flags 0x4" ? withCert : j.p7);
    EXPECT_EQ(NodeVerify(path, j.bAttached ? "" : dir + "/content"), "0 OK\n");
  }
  // The independent check fails for other content.
  Bytes other = msg;
  other[0] ^= 1;
  WriteBytes(dir + "/other", other);
  EXPECT_NE(NodeVerify(dir + "/0x1.p7", dir + "/other").substr(0, 1), "0");
}

// Envelopes between the token and the command line: sealed on the token and opened by the
// script, sealed by the script and opened on the token.
TEST_F(GMSessionTest, EnvelopesAgreeWithTheCommandLine) {
  Cert exch("sm2-exch");
  SessionPtr s = Sm2(), x = Sm2(KEY_USAGE_EXCH);
  std::string dir = orva::testing::MakeTempDir("env");
  Bytes plain = Content(1000);
  WriteBytes(dir + "/plain", plain);
  struct Row {
    uint32_t format, symm, pad;
    const char* cipher;
  } rows[] = {{1, SYMM_SM4_CBC, 0, "sm4-cbc"}, {3, SYMM_SM4_ECB, 1, "sm4-ecb"}, {4, SYMM_AES128_CBC, 1, "aes-128-cbc"},
              {4, SYMM_SM4_CBC, 0, "sm4-cbc"}};
  const std::string key = orva::testing::TestPkiKeyPath("sm2-exch");
  const std::string pub = orva::testing::TestPkiKeyPath("sm2-exch", true);
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << "format " << r.format << " " << r.cipher << " pad " << r.pad);
    std::string base = dir + "/" + std::to_string(r.format) + r.cipher + std::to_string(r.pad);
    WriteBytes(base + ".env", Seal(*s, exch, r.format, r.symm, r.pad, plain));
    std::string out;
    ASSERT_EQ(RunTool({"bash", Tool(), "open", base + ".env", key, "sm2", std::to_string(r.format), r.cipher,
                   std::to_string(r.pad), base + ".out"},
                  out),
              0)
        << out;
    Bytes expect = r.pad ? plain : ZeroFilled(plain);
    EXPECT_EQ(ToBytes(orva::testing::ReadFile(base + ".out")), expect);
    ASSERT_EQ(RunTool({"bash", Tool(), "seal", dir + "/plain", pub, "sm2", std::to_string(r.format), r.cipher,
                   std::to_string(r.pad), base + ".env2"},
                  out),
              0)
        << out;
    Bytes opened;
    ASSERT_EQ(Open(*x, r.format, r.symm, r.pad, ToBytes(orva::testing::ReadFile(base + ".env2")), opened), ORVA_OK);
    EXPECT_EQ(opened, expect);
  }
}
