// Time-stamp tokens of the test PKI: RSA responses of `openssl ts -reply` (some at frozen
// times around the TSA certificate's validity, made with faketime) and SM2 responses of the
// generator in testing/, whose signatures the openssl command line checks independently.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "certificates/CertificateStore.h"
#include "crypto/Timestamp.h"
#include "foundation/DeviceTypes.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "platform/Paths.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

using orva::testing::ReadFile;
using orva::testing::TestPkiDir;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }
std::vector<uint8_t> Token(const std::string& name) { return Bytes(ReadFile(TestPkiDir() + "/ts/" + name + ".tsr")); }
std::vector<uint8_t> Cert(const std::string& name) { return orva::testing::TestPkiCertDer(name); }
std::vector<uint8_t> Msg() { return Bytes(ReadFile(TestPkiDir() + "/ts/msg.txt")); }

std::vector<uint8_t> Digest(const EVP_MD* md, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
  out.resize(n);
  return out;
}

// Replaces the first occurrence of `what` in the token with `with` (same length).
std::vector<uint8_t> Patch(std::vector<uint8_t> der, const std::vector<uint8_t>& what, const std::vector<uint8_t>& with) {
  auto it = std::search(der.begin(), der.end(), what.begin(), what.end());
  EXPECT_NE(it, der.end());
  if (it != der.end()) std::copy(with.begin(), with.end(), it);
  return der;
}

std::string KeyHex(const std::string& name) {
  CX509Certificate c;
  std::vector<uint8_t> der = Cert(name), bits;
  c.FromBuffer(der.data(), static_cast<uint32_t>(der.size()));
  c.GetPublicKeyBits(bits);
  std::string hex;
  for (uint8_t b : bits) {
    char h[3];
    std::snprintf(h, sizeof h, "%02x", b);
    hex += h;
  }
  return hex;
}

void SetKeys(std::initializer_list<const char*> names) {
  SettingValue v;
  v.type = ORVA_REG_SZ;
  for (const char* n : names) v.text += (v.text.empty() ? "" : ";") + KeyHex(n);
  ASSERT_EQ(CSettingsStore::Instance().WriteValue(SettingsScope::Machine, kOrvaSettingsKey, "AuthorityKeys", v), 0u);
}

void SetStores(const std::vector<std::pair<const char*, const char*>>& items) {
  orva::testing::RemoveTree(orva::platform::JoinPath(orva::platform::UserSettingsDir(), "certstore"));
  for (const auto& [store, name] : items) {
    std::vector<uint8_t> der = Cert(name);
    ASSERT_TRUE(orva::testing::WriteFile(CCertificateStore::StoreFolder(store) + "/" + name + ".der",
                                         std::string(der.begin(), der.end())));
  }
}

class TimestampTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetStores({{"CA", "rsa-ca"}, {"CA", "sm2-ca"}, {"ROOT", "rsa-root"}, {"ROOT", "sm2-root"}});
    SetKeys({"rsa-ca", "rsa-root", "sm2-ca", "sm2-root"});
  }
  static uint32_t Verify(const std::vector<uint8_t>& token, const std::vector<uint8_t>& srvCert = {}) {
    CTimestamp ts;
    uint32_t res = ts.decode(token.data(), static_cast<uint32_t>(token.size()));
    if (res != ORVA_OK) return res;
    return ts.verify(srvCert.empty() ? nullptr : srvCert.data(), static_cast<uint32_t>(srvCert.size()));
  }
};

TEST_F(TimestampTest, TokensOfTheTestPki) {
  struct Row {
    const char* token;
    const char* srvCert;  // "" none
    uint32_t res;
  } rows[] = {
      {"rsa-sha256", "", ORVA_OK},
      {"rsa-sha1", "", ORVA_OK},
      {"rsa-sm3", "", ORVA_OK},
      {"rsa-sha512", "", ORVA_OK},
      {"sm2-sm3", "", ORVA_OK},
      {"sm2-sm3-501", "", ORVA_OK},
      {"sm2-sha256", "", ORVA_OK},
      {"sm2-z", "", ORVA_OK},
      {"sm2-big", "", ORVA_OK},
      // The TSA certificate is valid from 2025-01-01 00:00:00 to 2034-12-31 23:59:59 (UTC).
      {"rsa-at-notbefore", "", ORVA_E_VERIFY_TIME},
      {"rsa-after-notbefore", "", ORVA_OK},
      {"rsa-before-notafter", "", ORVA_OK},
      {"rsa-at-notafter", "", ORVA_E_VERIFY_TIME},
      {"rsa-after-notafter", "", ORVA_E_VERIFY_TIME},
      {"sm2-at-notafter", "", ORVA_E_VERIFY_TIME},
      {"sm2-after-notafter", "", ORVA_E_VERIFY_TIME},
      // Signed attributes that do not bind the signature to this TSTInfo.
      {"sm2-noattrs", "", ORVA_E_VERIFY_SIGNATURE},
      {"sm2-ctype-data", "", ORVA_E_VERIFY_SIGNATURE},
      {"sm2-bad-md", "", ORVA_E_VERIFY_SIGNATURE},
      // No TSA certificate in the token: the caller's, if any.
      {"rsa-nocert", "", ORVA_E_INVALID_PARAM},
      {"sm2-nocert", "", ORVA_E_INVALID_PARAM},
      {"rsa-nocert", "tsa-rsa", ORVA_OK},
      {"sm2-nocert", "tsa-sm2", ORVA_OK},
      {"rsa-nocert", "tsa-sm2", ORVA_E_VERIFY_SIGNATURE},
      {"sm2-nocert", "sm2-sign", ORVA_E_VERIFY_SIGNATURE},
      // The token's own certificate wins over the caller's.
      {"rsa-sha256", "tsa-sm2", ORVA_OK},
  };
  for (const Row& r : rows)
    EXPECT_EQ(Verify(Token(r.token), *r.srvCert ? Cert(r.srvCert) : std::vector<uint8_t>()), r.res)
        << r.token << " with '" << r.srvCert << "'";
  EXPECT_EQ(Verify(Token("rsa-nocert"), Bytes("not a certificate")), ORVA_E_BAD_INPUT);
}

// The generator's SM2 signature checked by the openssl command line over the bytes it signed.
TEST_F(TimestampTest, GeneratorSignatureVerifiesWithTheCommandLine) {
  std::string dir = orva::testing::MakeTempDir("pub");
  std::string out;
  ASSERT_EQ(orva::testing::RunProgram({"openssl", "x509", "-in", orva::testing::TestPkiCertPath("tsa-sm2", "pem"),
                                       "-pubkey", "-noout", "-out", dir + "/tsa.pub"},
                                      out),
            0)
      << out;
  ASSERT_EQ(orva::testing::RunProgram({"openssl", "pkeyutl", "-verify", "-rawin", "-digest", "sm3", "-pubin", "-inkey",
                                       dir + "/tsa.pub", "-pkeyopt", "distid:1234567812345678", "-in",
                                       TestPkiDir() + "/ts/sm2-sm3.signed", "-sigfile", TestPkiDir() + "/ts/sm2-sm3.sig"},
                                      out),
            0)
      << out;
  // The command line cannot make an SM2 token: it exits 0 with a rejection, which is no token.
  ASSERT_EQ(orva::testing::RunProgram({"openssl", "ts", "-reply", "-in", TestPkiDir() + "/ts/sm2-rejected.tsr", "-text"},
                                      out),
            0);
  EXPECT_NE(out.find("Status: Rejected"), std::string::npos) << out;
  CTimestamp ts;
  std::vector<uint8_t> rejected = Token("sm2-rejected");
  EXPECT_EQ(ts.decode(rejected.data(), static_cast<uint32_t>(rejected.size())), ORVA_E_CALL_FAILED);
}

TEST_F(TimestampTest, TamperedTokens) {
  for (const char* name : {"rsa-sha256", "sm2-sm3"}) {
    std::vector<uint8_t> token = Token(name);
    CTimestamp ts;
    ASSERT_EQ(ts.decode(token.data(), static_cast<uint32_t>(token.size())), ORVA_OK);
    uint8_t imprint[64];
    uint32_t alg = 0, len = sizeof imprint;
    ASSERT_EQ(ts.get_msgImprint(&alg, imprint, &len), ORVA_OK);
    std::vector<uint8_t> orig(imprint, imprint + len), changed = orig;
    changed.back() ^= 0x01;
    std::vector<uint8_t> forgedImprint = Patch(token, orig, changed);
    std::vector<uint8_t> forgedTime = Patch(token, Bytes("20260601120000"), Bytes("20260601120001"));
    std::vector<uint8_t> forgedSig = token;
    forgedSig.back() ^= 0x01;
    EXPECT_EQ(Verify(forgedImprint), ORVA_E_VERIFY_SIGNATURE) << name;
    EXPECT_EQ(Verify(forgedTime), ORVA_E_VERIFY_SIGNATURE) << name;
    EXPECT_EQ(Verify(forgedSig), ORVA_E_VERIFY_SIGNATURE) << name;
    // Against the original digest, the forged imprint no longer matches at all.
    CTimestamp forged;
    ASSERT_EQ(forged.decode(forgedImprint.data(), static_cast<uint32_t>(forgedImprint.size())), ORVA_OK);
    EXPECT_EQ(forged.verify(orig.data(), len, nullptr, 0), ORVA_E_VERIFY_DIGEST) << name;
    EXPECT_EQ(forged.verify(changed.data(), len, nullptr, 0), ORVA_E_VERIFY_SIGNATURE) << name;
  }
}

TEST_F(TimestampTest, TsaCertificateChain) {
  struct Row {
    const char* what;
    std::vector<std::pair<const char*, const char*>> stores;
    std::initializer_list<const char*> keys;
    const char* token;
    uint32_t res;
  } rows[] = {
      {"issuer not accepted", {{"CA", "rsa-ca"}, {"ROOT", "rsa-root"}}, {"rsa-root"}, "rsa-sha256",
       ORVA_E_VERIFY_CERT_ISSUER},
      {"root not accepted", {{"CA", "sm2-ca"}, {"ROOT", "sm2-root"}}, {"sm2-ca"}, "sm2-sm3", ORVA_E_VERIFY_CERT_ISSUER},
      {"issuer missing", {{"ROOT", "rsa-root"}}, {"rsa-ca", "rsa-root"}, "rsa-sha256", ORVA_E_VERIFY_CERT_CHAIN},
      {"issuer with the right name and another key", {{"CA", "sm2-ca-renewed"}, {"ROOT", "sm2-root"}},
       {"sm2-ca", "sm2-ca-renewed", "sm2-root"}, "sm2-sm3", ORVA_E_VERIFY_CERT_SIGNATURE},
      // The time is checked before the chain.
      {"time outside and issuer missing", {}, {}, "rsa-after-notafter", ORVA_E_VERIFY_TIME},
  };
  for (const Row& r : rows) {
    SetStores(r.stores);
    SetKeys(r.keys);
    EXPECT_EQ(Verify(Token(r.token)), r.res) << r.what;
  }
}

TEST_F(TimestampTest, CoveringADigestAMessageOrAFile) {
  const std::vector<uint8_t> msg = Msg();
  const std::vector<uint8_t> sha256 = Digest(EVP_sha256(), msg);
  std::vector<uint8_t> lastByte = sha256;
  lastByte.back() ^= 0x01;
  std::vector<uint8_t> shorter(sha256.begin(), sha256.end() - 1);
  std::vector<uint8_t> token = Token("rsa-sha256");
  CTimestamp ts;
  ASSERT_EQ(ts.decode(token.data(), static_cast<uint32_t>(token.size())), ORVA_OK);
  EXPECT_EQ(ts.verify(sha256.data(), 32, nullptr, 0), ORVA_OK);
  EXPECT_EQ(ts.verify(lastByte.data(), 32, nullptr, 0), ORVA_E_VERIFY_DIGEST);
  EXPECT_EQ(ts.verify(shorter.data(), 31, nullptr, 0), ORVA_E_VERIFY_DIGEST);

  const std::vector<uint8_t> sm2Sign = Cert("sm2-sign");
  const std::string file = orva::testing::MakeTempDir("ts") + "/msg.txt";
  orva::testing::WriteFile(file, std::string(msg.begin(), msg.end()));
  std::vector<uint8_t> other = msg;
  other.push_back('!');
  struct Row {
    const char* token;
    std::vector<uint8_t> msg;
    uint32_t alg;
    std::string userId;
    std::vector<uint8_t> userCert;
    uint32_t res;
  } rows[] = {
      {"rsa-sha256", msg, HASH_SHA256, "", {}, ORVA_OK},
      {"rsa-sha1", msg, HASH_SHA1, "", {}, ORVA_OK},
      {"rsa-sm3", msg, HASH_SM3, "", {}, ORVA_OK},
      {"sm2-sm3", msg, HASH_SM3, "", {}, ORVA_OK},
      {"rsa-sha256", other, HASH_SHA256, "", {}, ORVA_E_VERIFY_DIGEST},
      {"rsa-sha256", msg, HASH_SHA1, "", {}, ORVA_E_VERIFY_DIGEST},
      // SM3 over the Z value of the signer's key and identity, then the message.
      {"sm2-z", msg, HASH_SM3, "alice@orva.test", sm2Sign, ORVA_OK},
      {"sm2-z", msg, HASH_SM3, "1234567812345678", sm2Sign, ORVA_E_VERIFY_DIGEST},
      {"sm2-z", msg, HASH_SM3, "alice@orva.test", Cert("sm2-exch"), ORVA_E_VERIFY_DIGEST},
      {"sm2-z", msg, HASH_SM3, "", sm2Sign, ORVA_E_INVALID_PARAM},
      {"sm2-z", msg, HASH_SM3, "alice@orva.test", Bytes("garbage"), ORVA_E_BAD_INPUT},
      {"sm2-sm3", msg, HASH_SM3, "alice@orva.test", Cert("rsa-sign"), ORVA_E_BAD_INPUT},
      {"rsa-sha512", msg, HASH_SHA512, "", {}, ORVA_E_ALG_NOT_SUPPORTED},
  };
  for (const Row& r : rows) {
    std::vector<uint8_t> t = Token(r.token);
    CTimestamp one;
    ASSERT_EQ(one.decode(t.data(), static_cast<uint32_t>(t.size())), ORVA_OK);
    const uint8_t* uc = r.userCert.empty() ? nullptr : r.userCert.data();
    uint32_t ucLen = static_cast<uint32_t>(r.userCert.size());
    uint32_t res = one.verify(r.msg.data(), static_cast<uint32_t>(r.msg.size()), r.alg, nullptr, 0, r.userId, uc, ucLen);
    EXPECT_EQ(res == ORVA_OK, r.res == ORVA_OK) << r.token << " " << r.userId << " res 0x" << std::hex << res;
    if (r.res != ORVA_E_BAD_INPUT && r.res != ORVA_E_ALG_NOT_SUPPORTED) {
      EXPECT_EQ(res, r.res) << r.token << " " << r.userId;
    }
    if (r.msg == msg) {  // the same through a file
      EXPECT_EQ(one.verify(file, r.alg, nullptr, 0, r.userId, uc, ucLen), res) << "file " << r.token;
    }
  }
  // A file of several pieces, and paths that are not regular files.
  std::vector<uint8_t> big = Token("sm2-big");
  CTimestamp bigTs;
  ASSERT_EQ(bigTs.decode(big.data(), static_cast<uint32_t>(big.size())), ORVA_OK);
  EXPECT_EQ(bigTs.verify(TestPkiDir() + "/ts/big.txt", HASH_SM3, nullptr, 0, "", nullptr, 0), ORVA_OK);
  EXPECT_EQ(bigTs.verify(TestPkiDir() + "/ts/msg.txt", HASH_SM3, nullptr, 0, "", nullptr, 0), ORVA_E_VERIFY_DIGEST);
  for (const std::string& path : {TestPkiDir() + "/ts/none.txt", TestPkiDir() + "/ts", std::string("/dev/zero"),
                                  std::string("")})
    EXPECT_EQ(bigTs.verify(path, HASH_SM3, nullptr, 0, "", nullptr, 0), ORVA_E_FILE_NOT_FOUND) << path;
}

TEST_F(TimestampTest, Attributes) {
  std::vector<uint8_t> token = Token("rsa-sha256");
  CTimestamp ts;
  ASSERT_EQ(ts.decode(token.data(), static_cast<uint32_t>(token.size())), ORVA_OK);
  // Made at 2026-06-01 12:00:00 UTC; the tests run eight hours ahead.
  ORVA_SYSTEMTIME t;
  ASSERT_EQ(ts.get_localTime(&t), ORVA_OK);
  EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond}),
            std::vector<int>({2026, 6, 1, 20, 0, 0}));
  uint32_t alg = 0, len = 0;
  ASSERT_EQ(ts.get_msgImprint(&alg, nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 32u);
  uint8_t small[31], imprint[64];
  len = sizeof small;
  EXPECT_EQ(ts.get_msgImprint(&alg, small, &len), ORVA_E_BUFFER_TOO_SMALL);
  len = sizeof imprint;
  ASSERT_EQ(ts.get_msgImprint(&alg, imprint, &len), ORVA_OK);
  EXPECT_EQ(alg, HASH_SHA256);
  EXPECT_EQ(std::vector<uint8_t>(imprint, imprint + len), Digest(EVP_sha256(), Msg()));
  len = 0;
  ASSERT_EQ(ts.get_cert(nullptr, &len), ORVA_OK);
  std::vector<uint8_t> cert(len);
  ASSERT_EQ(ts.get_cert(cert.data(), &len), ORVA_OK);
  EXPECT_EQ(cert, Cert("tsa-rsa"));
  len = 0;
  ASSERT_EQ(ts.get_timestamp(nullptr, &len), ORVA_OK);
  std::vector<uint8_t> whole(len);
  ASSERT_EQ(ts.get_timestamp(whole.data(), &len), ORVA_OK);
  EXPECT_EQ(whole, token);
  len = 0;
  ASSERT_EQ(ts.get_signature(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 256u);

  // Imprints longer than 32 bytes report their own length.
  std::vector<uint8_t> t512 = Token("rsa-sha512");
  ASSERT_EQ(ts.decode(t512.data(), static_cast<uint32_t>(t512.size())), ORVA_OK);
  len = 0;
  ASSERT_EQ(ts.get_msgImprint(&alg, nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 64u);
  len = sizeof imprint;
  ASSERT_EQ(ts.get_msgImprint(&alg, imprint, &len), ORVA_OK);
  EXPECT_EQ(alg, HASH_SHA512);
  EXPECT_EQ(std::vector<uint8_t>(imprint, imprint + len), Digest(EVP_sha512(), Msg()));

  // SM2: the signature is the generator's, the imprint SM3; no certificate when left out.
  std::vector<uint8_t> sm2 = Token("sm2-sm3");
  ASSERT_EQ(ts.decode(sm2.data(), static_cast<uint32_t>(sm2.size())), ORVA_OK);
  len = 0;
  ASSERT_EQ(ts.get_signature(nullptr, &len), ORVA_OK);
  std::vector<uint8_t> sig(len);
  ASSERT_EQ(ts.get_signature(sig.data(), &len), ORVA_OK);
  EXPECT_EQ(sig, Bytes(ReadFile(TestPkiDir() + "/ts/sm2-sm3.sig")));
  len = sizeof imprint;
  ASSERT_EQ(ts.get_msgImprint(&alg, imprint, &len), ORVA_OK);
  EXPECT_EQ(alg, HASH_SM3);
  EXPECT_EQ(std::vector<uint8_t>(imprint, imprint + len), Digest(EVP_sm3(), Msg()));
  std::vector<uint8_t> nocert = Token("sm2-nocert");
  ASSERT_EQ(ts.decode(nocert.data(), static_cast<uint32_t>(nocert.size())), ORVA_OK);
  EXPECT_EQ(ts.get_cert(nullptr, &len), ORVA_E_NO_CERT);
}

TEST(Timestamp, EmptyAndMalformed) {
  CTimestamp ts;
  uint32_t len = 0, alg = 0;
  ORVA_SYSTEMTIME t;
  EXPECT_EQ(ts.get_localTime(&t), ORVA_E_INVALID_CALL);
  EXPECT_EQ(ts.get_msgImprint(&alg, nullptr, &len), ORVA_E_INVALID_CALL);
  EXPECT_EQ(ts.get_cert(nullptr, &len), ORVA_E_INVALID_CALL);
  EXPECT_EQ(ts.verify(nullptr, 0), ORVA_E_INVALID_CALL);
  EXPECT_EQ(ts.decode(nullptr, 10), ORVA_E_INVALID_PARAM);
  std::vector<uint8_t> token = Token("rsa-sha256");
  EXPECT_EQ(ts.decode(token.data(), 0), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(ts.decode(token.data(), static_cast<uint32_t>(token.size() - 1)), ORVA_E_CALL_FAILED);
  std::vector<uint8_t> garbage = Bytes("0123456789");
  EXPECT_EQ(ts.decode(garbage.data(), static_cast<uint32_t>(garbage.size())), ORVA_E_CALL_FAILED);
  // A failed decode leaves the object empty, not holding the earlier response.
  ASSERT_EQ(ts.decode(token.data(), static_cast<uint32_t>(token.size())), ORVA_OK);
  EXPECT_EQ(ts.decode(garbage.data(), static_cast<uint32_t>(garbage.size())), ORVA_E_CALL_FAILED);
  EXPECT_EQ(ts.get_cert(nullptr, &len), ORVA_E_INVALID_CALL);
  EXPECT_EQ(ts.sign(token.data(), 32), ORVA_E_NOT_SUPPORTED);
  EXPECT_EQ(ts.sign(token.data(), 32, HASH_SM3), ORVA_E_NOT_SUPPORTED);
  EXPECT_EQ(ts.sign(std::string("/etc/hostname"), HASH_SM3), ORVA_E_NOT_SUPPORTED);
}

TEST(Timestamp, AlgorithmNumbers) {
  struct Row {
    const char* oid;
    uint32_t number;
  } rows[] = {
      {"1.2.840.113549.2.5", 0x200},        {"1.3.14.3.2.26", 0x400},         {"2.16.840.1.101.3.4.2.1", 0x800},
      {"2.16.840.1.101.3.4.2.2", 0x1000},   {"2.16.840.1.101.3.4.2.3", 0x2000}, {"1.2.156.10197.1.401", 0x4000},
      {"1.2.840.113549.1.1.1", 0x1},        {"1.2.156.10197.1.301", 0x2},     {"1.2.840.113549.1.1.4", 0x201},
      {"1.3.14.3.2.3", 0x201},              {"1.2.840.113549.1.1.5", 0x401},  {"1.3.14.3.2.29", 0x401},
      {"1.2.840.113549.1.1.11", 0x801},     {"1.2.840.113549.1.1.12", 0x1001}, {"1.2.840.113549.1.1.13", 0x2001},
      {"1.2.156.10197.1.501", 0x4002},      {"1.2.840.10045.4.3.2", 0},       {"1.2.3.4", 0},
  };
  for (const Row& r : rows) {
    orva::ossl::Asn1ObjectPtr obj(OBJ_txt2obj(r.oid, 1));
    EXPECT_EQ(CTimestamp::_ConvertOpenSSLAlgToORVA(obj.get()), r.number) << r.oid;
  }
}

}  // namespace
