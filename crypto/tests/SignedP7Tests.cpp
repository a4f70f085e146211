// PKCS#7 signed data: RSA structures of `openssl smime` and `openssl cms` (with and without
// attributes, attached and detached) verify here; structures built here verify with `openssl
// smime -verify` and `certtool --p7-verify` (RSA) and with sm-crypto under node (SM2); the
// container reads them back; a message digest that differs gives 0x8100009E.
#include <gtest/gtest.h>

#include <ctime>

#include "crypto/OpenSSLDigestVerify.h"
#include "crypto/SignedData.h"
#include "crypto/SignedP7.h"
#include "crypto/tests/CryptoTestUtil.h"

using namespace cryptotest;

namespace {

uint32_t Verify(const Bytes& digest, uint32_t alg, const Bytes& sig, const Bytes& cert) {
  COpenSSLDigestVerify v;
  return v.verify(digest.data(), static_cast<uint32_t>(digest.size()), alg, sig.data(),
                  static_cast<uint32_t>(sig.size()), cert.data(), static_cast<uint32_t>(cert.size()));
}

Bytes Encode(const CSignedP7& p7) {
  uint32_t len = 0;
  EXPECT_EQ(p7.encode(nullptr, &len), ORVA_OK);
  Bytes out(len);
  uint32_t small = len - 1;
  EXPECT_EQ(p7.encode(out.data(), &small), ORVA_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(p7.encode(out.data(), &len), ORVA_OK);
  EXPECT_EQ(len, out.size());
  return out;
}

// Signs `tbs` with the command line: SM2 with SM3 and the GM identity (DER), RSA PKCS#1 v1.5
// with DigestInfo over the digest of tbs.
Bytes SignWithCommandLine(const std::string& key, bool bSm2, const char* md, const Bytes& tbs) {
  std::string dir = orva::testing::MakeTempDir("sign");
  WriteBytes(dir + "/tbs", tbs);
  std::string keyPath = orva::testing::TestPkiKeyPath(key);
  if (bSm2)
    RunOk({"openssl", "pkeyutl", "-sign", "-rawin", "-digest", "sm3", "-inkey", keyPath, "-pkeyopt",
         std::string("distid:") + kGmId, "-in", dir + "/tbs", "-out", dir + "/sig"});
  else
    RunOk({"openssl", "dgst", std::string("-") + md, "-sign", keyPath, "-out", dir + "/sig", dir + "/tbs"});
  return ReadBytes(dir + "/sig");
}

// A PKCS#7 signature built the way the token back ends build theirs, signed by the command line.
Bytes BuildHere(const std::string& name, uint32_t digestAlg, const Bytes& content, bool bAttrs, bool bAttach) {
  bool bSm2 = digestAlg == HASH_SM3;
  Bytes cert = CertDer(name);
  CSignedP7 p7;
  EXPECT_EQ(p7.create(), ORVA_OK);
  EXPECT_EQ(p7.add_signer(cert.data(), static_cast<uint32_t>(cert.size()), digestAlg), ORVA_OK);
  EXPECT_EQ(p7.add_cert(cert.data(), static_cast<uint32_t>(cert.size())), ORVA_OK);
  if (bAttach) { EXPECT_EQ(p7.add_content(content.data(), static_cast<uint32_t>(content.size())), ORVA_OK); }
  Bytes tbs = content;
  if (bAttrs) {
    Bytes md = Digest(digestAlg, content);
    EXPECT_EQ(p7.add_timestamp(md.data(), static_cast<uint32_t>(md.size())), ORVA_OK);
    uint32_t len = 0;
    EXPECT_EQ(p7.get_auth_attr(nullptr, &len), ORVA_OK);
    tbs.assign(len, 0);
    EXPECT_EQ(p7.get_auth_attr(tbs.data(), &len), ORVA_OK);
    EXPECT_EQ(tbs[0], 0x31);  // a universal SET
  }
  Bytes sig = SignWithCommandLine(name, bSm2, digestAlg == HASH_SHA1 ? "sha1" : "sha256", tbs);
  EXPECT_EQ(p7.add_signature(sig.data(), static_cast<uint32_t>(sig.size())), ORVA_OK);
  return Encode(p7);
}

std::string NodeVerify(const std::string& p7Path, const std::string& contentPath) {
  std::string script = orva::testing::SourceDir() + "/crypto/tests/sm2-p7-verify.js";
  std::string modules = orva::testing::SourceDir() + "/testing/node_modules";
  std::vector<std::string> argv = {"node", script, p7Path};
  if (!contentPath.empty()) argv.push_back(contentPath);
  std::string out;
  int rc = orva::testing::RunProgram(argv, out, 20000, {"NODE_PATH=" + modules});
  return std::to_string(rc) + " " + out;
}

}  // namespace

TEST(SignedP7, RsaOfTheCommandLineVerifies) {
  Bytes cert = CertDer("rsa-sign");
  std::string dir = orva::testing::MakeTempDir("p7");
  Bytes content = RandomBytes(5000);
  WriteBytes(dir + "/m", content);
  struct Row {
    const char* tool;
    bool bNoAttr, bAttach;
    const char* md;
    uint32_t alg;
  } rows[] = {
      {"smime", false, false, "sha256", HASH_SHA256}, {"smime", true, false, "sha256", HASH_SHA256},
      {"smime", false, true, "sha1", HASH_SHA1},      {"cms", false, false, "sha256", HASH_SHA256},
      {"cms", true, true, "sha256", HASH_SHA256},     {"cms", false, true, "md5", HASH_MD5},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.tool) + (r.bNoAttr ? " noattr" : "") + (r.bAttach ? " attached" : "") + " " + r.md);
    std::vector<std::string> argv = {"openssl", r.tool, "-sign", "-binary", "-in", dir + "/m", "-signer",
                                     orva::testing::TestPkiCertPath("rsa-sign", "pem"), "-inkey",
                                     orva::testing::TestPkiKeyPath("rsa-sign"), "-outform", "DER", "-out",
                                     dir + "/p7", "-md", r.md};
    if (r.bNoAttr) argv.push_back("-noattr");
    if (r.bAttach) argv.push_back("-nodetach");
    RunOk(argv);
    Bytes p7 = ReadBytes(dir + "/p7");
    Bytes digest = Digest(r.alg, content);
    EXPECT_EQ(Verify(digest, r.alg, p7, cert), ORVA_OK);
    Bytes other = Digest(r.alg, ToBytes("another content"));
    EXPECT_EQ(Verify(other, r.alg, p7, cert), r.bNoAttr ? ORVA_E_SIGNATURE_VERIFY : ORVA_E_P11_SIGNATURE_INVALID);
    EXPECT_EQ(Verify(digest, r.alg, p7, CertDer("rsa-exch")),
              ORVA_E_SIGNATURE_VERIFY);  // the digest matches, the key does not

    CSignedData sd;
    ASSERT_EQ(sd.SetSignature(p7.data(), static_cast<uint32_t>(p7.size())), ORVA_OK);
    uint32_t v = 0;
    sd.GetSignType(&v);
    EXPECT_EQ(v, SIGN_TYPE_PKCS7);
    sd.GetSignAlg(&v);
    EXPECT_EQ(v, ALG_RSA);
    sd.GetDigestAlg(&v);
    EXPECT_EQ(v, r.alg);
    uint32_t len = 0;
    ASSERT_EQ(sd.GetCertificate(nullptr, &len), ORVA_OK);
    Bytes got(len);
    ASSERT_EQ(sd.GetCertificate(got.data(), &len), ORVA_OK);
    EXPECT_EQ(got, cert);
    len = 0;
    ASSERT_EQ(sd.GetOrgData(nullptr, &len), ORVA_OK);
    EXPECT_EQ(len, r.bAttach ? content.size() : 0u);
    if (r.bAttach) {
      Bytes org(len);
      uint32_t small = len - 1;
      EXPECT_EQ(sd.GetOrgData(org.data(), &small), ORVA_E_BUFFER_TOO_SMALL);
      ASSERT_EQ(sd.GetOrgData(org.data(), &len), ORVA_OK);
      EXPECT_EQ(org, content);
    }
    ORVA_SYSTEMTIME st;
    if (r.bNoAttr) {
      EXPECT_EQ(sd.GetLocalTime(&st), ORVA_E_CALL_FAILED);
    } else {
      ASSERT_EQ(sd.GetLocalTime(&st), ORVA_OK);
      time_t now = time(nullptr);
      struct tm tm {};
      localtime_r(&now, &tm);
      EXPECT_EQ(st.wYear, tm.tm_year + 1900);
      int64_t t = 0;
      ASSERT_EQ(sd.get_SignedP7()->get_timestamp(&t), ORVA_OK);
      EXPECT_LE(std::llabs(t - static_cast<int64_t>(now)), 60);
    }
  }
}

TEST(SignedP7, RsaBuiltHereVerifiesWithOpensslAndCerttool) {
  Bytes cert = CertDer("rsa-sign");
  std::string dir = orva::testing::MakeTempDir("p7r");
  Bytes content = ToBytes("content signed by the agent\n");
  WriteBytes(dir + "/m", content);
  for (bool bAttrs : {true, false}) {
    for (bool bAttach : {true, false}) {
      SCOPED_TRACE(std::string(bAttrs ? "attrs" : "noattrs") + (bAttach ? " attached" : " detached"));
      Bytes p7 = BuildHere("rsa-sign", HASH_SHA256, content, bAttrs, bAttach);
      WriteBytes(dir + "/p7", p7);
      EXPECT_EQ(Verify(Digest(HASH_SHA256, content), HASH_SHA256, p7, cert), ORVA_OK);
      std::vector<std::string> ossl = {"openssl", "smime", "-verify", "-noverify", "-binary", "-inform", "DER",
                                       "-in", dir + "/p7", "-out", dir + "/out"};
      if (!bAttach) ossl.insert(ossl.end(), {"-content", dir + "/m"});
      std::string out = RunOk(ossl);
      EXPECT_NE(out.find("Verification successful"), std::string::npos) << out;
      EXPECT_EQ(ReadBytes(dir + "/out"), content);
      RunOk({"certtool", "--p7-verify", "--inder", "--infile", dir + "/p7", "--load-data", dir + "/m",
           "--load-certificate", orva::testing::TestPkiCertPath("rsa-sign", "pem")});
      // A changed content fails both outside checks.
      WriteBytes(dir + "/m2", ToBytes("content signed by the agent?"));
      std::string o2;
      EXPECT_NE(orva::testing::RunProgram({"certtool", "--p7-verify", "--inder", "--infile", dir + "/p7",
                                           "--load-data", dir + "/m2", "--load-certificate",
                                           orva::testing::TestPkiCertPath("rsa-sign", "pem")},
                                          o2),
                0);
    }
  }
}

TEST(SignedP7, Sm2BuiltHereVerifiesHereAndWithSmCrypto) {
  Bytes cert = CertDer("sm2-sign");
  std::string dir = orva::testing::MakeTempDir("p7s");
  Bytes content = ToBytes("SM2 签名的内容 " + std::string(300, 'x'));
  WriteBytes(dir + "/m", content);
  for (bool bAttrs : {true, false}) {
    for (bool bAttach : {true, false}) {
      SCOPED_TRACE(std::string(bAttrs ? "attrs" : "noattrs") + (bAttach ? " attached" : " detached"));
      Bytes p7 = BuildHere("sm2-sign", HASH_SM3, content, bAttrs, bAttach);
      WriteBytes(dir + "/p7", p7);
      // With attributes the page passes SM3 of the content (the message digest attribute);
      // without, the signature is over the content itself, so the digest holds Z.
      Bytes digest = bAttrs ? Digest(HASH_SM3, content) : Sm3WithZ(cert, content);
      EXPECT_EQ(Verify(digest, HASH_SM3, p7, cert), ORVA_OK);
      Bytes wrong = digest;
      wrong[5] ^= 1;
      EXPECT_EQ(Verify(wrong, HASH_SM3, p7, cert), bAttrs ? ORVA_E_P11_SIGNATURE_INVALID : ORVA_E_CALL_FAILED);
      EXPECT_EQ(NodeVerify(dir + "/p7", bAttach ? "" : dir + "/m"), "0 OK\n");

      CSignedData sd;
      ASSERT_EQ(sd.SetSignature(p7.data(), static_cast<uint32_t>(p7.size())), ORVA_OK);
      uint32_t v = 0;
      sd.GetSignAlg(&v);
      EXPECT_EQ(v, ALG_SM2);
      sd.GetDigestAlg(&v);
      EXPECT_EQ(v, HASH_SM3);

      // A flipped bit in the signature value fails both checks.
      Bytes bad = p7;
      bad[bad.size() - 10] ^= 1;
      WriteBytes(dir + "/bad", bad);
      EXPECT_NE(Verify(digest, HASH_SM3, bad, cert), ORVA_OK);
      EXPECT_NE(NodeVerify(dir + "/bad", bAttach ? "" : dir + "/m").substr(0, 2), "0 ");
    }
  }
}

TEST(SignedP7, ContainerReadsAndErrors) {
  Bytes rsa = CertDer("rsa-sign");
  Bytes sm2 = CertDer("sm2-sign");
  CSignedP7 p7;
  uint32_t len = 256;
  uint8_t buf[256];
  char text[128];
  // Empty object.
  EXPECT_EQ(p7.encode(nullptr, &len), ORVA_E_INVALID_CALL);
  EXPECT_EQ(p7.get_signature(buf, &len), ORVA_E_INVALID_CALL);
  EXPECT_EQ(p7.add_signer(rsa.data(), static_cast<uint32_t>(rsa.size()), HASH_SHA256), ORVA_E_INVALID_CALL);
  // Without a signer.
  ASSERT_EQ(p7.create(), ORVA_OK);
  EXPECT_EQ(p7.get_signature(buf, &len), ORVA_E_PKCS7_NO_SIGNER);
  EXPECT_EQ(p7.add_timestamp(buf, 32), ORVA_E_PKCS7_NO_SIGNER);
  EXPECT_EQ(p7.add_signature(buf, 64), ORVA_E_PKCS7_NO_SIGNER);
  EXPECT_EQ(p7.pkcs7_get_content(nullptr, &len), ORVA_E_BAD_INPUT);  // detached
  // Signer arguments.
  EXPECT_EQ(p7.add_signer(rsa.data(), static_cast<uint32_t>(rsa.size()), HASH_SHA384), ORVA_E_ALG_NOT_SUPPORTED);
  EXPECT_EQ(p7.add_signer(rsa.data(), 20, HASH_SHA256), ORVA_E_X509_DECODE);
  Bytes p256 = CertDer("p256-self");
  EXPECT_EQ(p7.add_signer(p256.data(), static_cast<uint32_t>(p256.size()), HASH_SHA256), ORVA_E_X509_PUBKEY_TYPE);
  EXPECT_EQ(p7.add_signer(nullptr, 0, HASH_SHA256), ORVA_E_INVALID_PARAM);
  ASSERT_EQ(p7.add_signer(sm2.data(), static_cast<uint32_t>(sm2.size()), HASH_SM3), ORVA_OK);
  // Identifiers with NULL parameters, as dotted text with the size query.
  len = 0;
  ASSERT_EQ(p7.get_sign_alg(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, sizeof("1.2.156.10197.1.301"));
  uint32_t small = len - 1;
  EXPECT_EQ(p7.get_sign_alg(text, &small), ORVA_E_BUFFER_TOO_SMALL);
  len = sizeof text;
  ASSERT_EQ(p7.get_sign_alg(text, &len), ORVA_OK);
  EXPECT_STREQ(text, "1.2.156.10197.1.301");
  EXPECT_EQ(len, 19u);
  len = sizeof text;
  ASSERT_EQ(p7.get_digest_alg(text, &len), ORVA_OK);
  EXPECT_STREQ(text, "1.2.156.10197.1.401");
  const PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7.get_PKCS7()->d.sign->signer_info, 0);
  EXPECT_EQ(si->digest_alg->parameter->type, V_ASN1_NULL);
  EXPECT_EQ(si->digest_enc_alg->parameter->type, V_ASN1_NULL);
  EXPECT_EQ(ASN1_INTEGER_get(si->version), 1);
  // No attributes, no certificate yet.
  EXPECT_EQ(p7.get_auth_attr(nullptr, &len), ORVA_E_CALL_FAILED);
  EXPECT_EQ(len, 0u);
  len = 32;
  EXPECT_EQ(p7.get_digest(buf, &len), ORVA_E_CALL_FAILED);
  EXPECT_EQ(p7.pkcs7_get_cert(nullptr, &len), ORVA_E_NO_CERT);
  int64_t t = 0;
  EXPECT_EQ(p7.get_timestamp(&t), ORVA_E_CALL_FAILED);
  // A certificate of another signer does not match.
  ASSERT_EQ(p7.add_cert(rsa.data(), static_cast<uint32_t>(rsa.size())), ORVA_OK);
  EXPECT_EQ(p7.pkcs7_get_cert(nullptr, &len), ORVA_E_NO_CERT);
  ASSERT_EQ(p7.add_cert(sm2.data(), static_cast<uint32_t>(sm2.size())), ORVA_OK);
  len = 0;
  ASSERT_EQ(p7.pkcs7_get_cert(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, sm2.size());
  // Attributes: the digest reads back, the time is now, their DER is sorted and re-encodes
  // unchanged after a round trip through encode and decode.
  Bytes md = Digest(HASH_SM3, ToBytes("abc"));
  ASSERT_EQ(p7.add_timestamp(md.data(), 32), ORVA_OK);
  len = 0;
  ASSERT_EQ(p7.get_digest(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 32u);
  small = 31;
  EXPECT_EQ(p7.get_digest(buf, &small), ORVA_E_BUFFER_TOO_SMALL);
  ASSERT_EQ(p7.get_digest(buf, &len), ORVA_OK);
  EXPECT_EQ(Bytes(buf, buf + 32), md);
  ASSERT_EQ(p7.get_timestamp(&t), ORVA_OK);
  EXPECT_LE(std::llabs(t - static_cast<int64_t>(time(nullptr))), 5);
  len = 0;
  ASSERT_EQ(p7.get_auth_attr(nullptr, &len), ORVA_OK);
  Bytes attrs(len);
  ASSERT_EQ(p7.get_auth_attr(attrs.data(), &len), ORVA_OK);
  Bytes sig = ReadBytes(orva::testing::TestPkiDir() + "/sigs/normal.der");
  ASSERT_EQ(p7.add_signature(sig.data(), static_cast<uint32_t>(sig.size())), ORVA_OK);
  Bytes der = Encode(p7);
  CSignedP7 back;
  ASSERT_EQ(back.decode(der.data(), static_cast<uint32_t>(der.size())), ORVA_OK);
  len = 0;
  ASSERT_EQ(back.get_auth_attr(nullptr, &len), ORVA_OK);
  Bytes attrs2(len);
  ASSERT_EQ(back.get_auth_attr(attrs2.data(), &len), ORVA_OK);
  EXPECT_EQ(attrs2, attrs);
  len = 0;
  ASSERT_EQ(back.get_signature(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, sig.size());
  small = len - 1;
  EXPECT_EQ(back.get_signature(buf, &small), ORVA_E_BUFFER_TOO_SMALL);
  // The command line reads the structure as signed data with one signer.
  std::string dir = orva::testing::MakeTempDir("p7c");
  WriteBytes(dir + "/p7", der);
  std::string out = RunOk({"openssl", "pkcs7", "-inform", "DER", "-in", dir + "/p7", "-print", "-noout"});
  EXPECT_NE(out.find("pkcs7-signedData"), std::string::npos) << out;
  EXPECT_NE(out.find("sm3"), std::string::npos) << out;

  // decode refuses what is not signed data.
  EXPECT_EQ(back.decode(der.data(), 30), ORVA_E_PKCS7_DECODE);
  EXPECT_TRUE(back.IsEmpty());
  WriteBytes(dir + "/m", ToBytes("secret"));
  RunOk({"openssl", "smime", "-encrypt", "-binary", "-aes128", "-in", dir + "/m", "-outform", "DER", "-out",
       dir + "/env", orva::testing::TestPkiCertPath("rsa-exch", "pem")});
  Bytes env = ReadBytes(dir + "/env");
  EXPECT_EQ(back.decode(env.data(), static_cast<uint32_t>(env.size())), ORVA_E_PKCS7_DECODE);
  EXPECT_EQ(back.get_signature(buf, &len), ORVA_E_INVALID_CALL);
}

TEST(SignedData, ClassificationByLength) {
  Bytes raw128(128, 0);
  for (int i = 32; i < 64; ++i) raw128[i] = static_cast<uint8_t>(i);
  for (int i = 96; i < 128; ++i) raw128[i] = static_cast<uint8_t>(i);
  Bytes rsa128 = RandomBytes(128);
  rsa128[0] = 0x5A;
  Bytes lookalike = RandomBytes(128);  // an RSA-1024 value whose halves happen to agree
  std::copy(lookalike.begin() + 64, lookalike.begin() + 96, lookalike.begin());
  struct Row {
    Bytes sig;
    uint32_t type, alg;
  } rows[] = {
      {Bytes(1, 7), SIGN_TYPE_DER, ALG_SM2},   {Bytes(64, 1), SIGN_TYPE_DER, ALG_SM2},
      {Bytes(127, 1), SIGN_TYPE_DER, ALG_SM2}, {raw128, SIGN_TYPE_RAW, ALG_SM2},
      {rsa128, SIGN_TYPE_PKCS1, ALG_RSA},      {lookalike, SIGN_TYPE_RAW, ALG_SM2},
      {Bytes(256, 9), SIGN_TYPE_PKCS1, ALG_RSA}, {Bytes(129, 0x30), SIGN_TYPE_PKCS7, ALG_RSA},
  };
  CSignedData sd;  // one object: each setter replaces the previous signature
  for (const Row& r : rows) {
    SCOPED_TRACE(r.sig.size());
    ASSERT_EQ(sd.SetSignature(r.sig.data(), static_cast<uint32_t>(r.sig.size())), ORVA_OK);
    uint32_t type = 0, alg = 0, len = 0;
    sd.GetSignType(&type);
    sd.GetSignAlg(&alg);
    EXPECT_EQ(type, r.type);
    EXPECT_EQ(alg, r.alg);
    ASSERT_EQ(sd.GetSignature(nullptr, &len), ORVA_OK);
    EXPECT_EQ(len, r.sig.size());
    Bytes back(len);
    uint32_t small = len - 1;
    EXPECT_EQ(sd.GetSignature(back.data(), &small), ORVA_E_BUFFER_TOO_SMALL);
    ASSERT_EQ(sd.GetSignature(back.data(), &len), ORVA_OK);
    EXPECT_EQ(back, r.sig);
    EXPECT_EQ(sd.GetOrgData(nullptr, &len), ORVA_OK);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(sd.GetCertificate(nullptr, &len), r.type == SIGN_TYPE_PKCS7 ? ORVA_OK : ORVA_E_INVALID_CALL);
    uint32_t dalg = 1;
    EXPECT_EQ(sd.GetDigestAlg(&dalg), ORVA_OK);
    EXPECT_EQ(dalg, 0u);
    ORVA_SYSTEMTIME st;
    EXPECT_EQ(sd.GetLocalTime(&st), r.type == SIGN_TYPE_PKCS7 ? ORVA_E_CALL_FAILED : ORVA_E_INVALID_CALL);
  }
  EXPECT_EQ(sd.SetSignature(nullptr, 5), ORVA_E_INVALID_PARAM);
  CSignedData empty;
  uint32_t len = 0;
  EXPECT_EQ(empty.GetSignature(nullptr, &len), ORVA_E_INVALID_CALL);
  ORVA_SYSTEMTIME st;
  EXPECT_EQ(empty.GetLocalTime(&st), ORVA_E_INVALID_CALL);
}
