// Signature checks over digests and streamed messages: SM2 signatures made by `openssl
// pkeyutl` with the GM identity in raw, blob and DER form (short r, short s and 69-byte DER
// included), RSA PKCS#1 signatures with and without DigestInfo, and the error paths.
#include <gtest/gtest.h>

#include "crypto/OpenSSLASN1.h"
#include "crypto/OpenSSLDigestVerify.h"
#include "crypto/OpenSSLMsgVerify.h"
#include "crypto/SignedData.h"
#include "crypto/tests/CryptoTestUtil.h"

using namespace cryptotest;

namespace {

uint32_t Verify(const Bytes& digest, uint32_t alg, const Bytes& sig, const Bytes& cert) {
  COpenSSLDigestVerify v;
  return v.verify(digest.data(), static_cast<uint32_t>(digest.size()), alg, sig.data(),
                  static_cast<uint32_t>(sig.size()), cert.data(), static_cast<uint32_t>(cert.size()));
}

struct Sm2Forms {
  Bytes der, raw64, blob128;
};

// The three encodings of one DER signature (r and s read by OpenSSL's own parser).
Sm2Forms FormsOf(const Bytes& der) {
  Sm2Forms f;
  f.der = der;
  const unsigned char* p = der.data();
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
  EXPECT_NE(sig, nullptr);
  f.raw64.assign(64, 0);
  f.blob128.assign(128, 0);
  BN_bn2binpad(ECDSA_SIG_get0_r(sig), f.raw64.data(), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig), f.raw64.data() + 32, 32);
  std::copy(f.raw64.begin(), f.raw64.begin() + 32, f.blob128.begin() + 32);
  std::copy(f.raw64.begin() + 32, f.raw64.end(), f.blob128.begin() + 96);
  ECDSA_SIG_free(sig);
  return f;
}

std::string SigPath(const std::string& kind, const char* ext) {
  return orva::testing::TestPkiDir() + "/sigs/" + kind + "." + ext;
}

}  // namespace

TEST(DigestVerify, Sm2SignaturesOfTheCommandLineInEveryForm) {
  Bytes cert = CertDer("sm2-sign");
  Bytes otherCert = CertDer("sm2-exch");
  // The generator keeps one signature of each kind (a short one may serve several kinds).
  struct Row {
    const char* kind;
    int shortPart;  // 0 none asked, 1 r, 2 s: that half of the raw form starts with a zero byte
  } rows[] = {{"normal", 0}, {"der69", 0}, {"shortr", 1}, {"shorts", 2}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.kind);
    Bytes msg = ReadBytes(SigPath(r.kind, "msg"));
    Sm2Forms f = FormsOf(ReadBytes(SigPath(r.kind, "der")));
    if (std::string(r.kind) == "normal") { EXPECT_GE(f.der.size(), 70u); }
    if (std::string(r.kind) == "der69") { EXPECT_LE(f.der.size(), 69u); }
    if (r.shortPart == 1) { EXPECT_EQ(f.raw64[0], 0); }
    if (r.shortPart == 2) { EXPECT_EQ(f.raw64[32], 0); }
    EXPECT_TRUE(COpenSSLDigestVerify::IsSM2DerSignature(f.der.data(), static_cast<uint32_t>(f.der.size())));

    Bytes e = Sm3WithZ(cert, msg);
    for (const Bytes* sig : {&f.der, &f.raw64, &f.blob128}) {
      SCOPED_TRACE(sig->size());
      EXPECT_EQ(Verify(e, HASH_SM3, *sig, cert), ORVA_OK);
      Bytes wrong = e;
      wrong[31] ^= 1;
      EXPECT_EQ(Verify(wrong, HASH_SM3, *sig, cert), ORVA_E_CALL_FAILED);
      EXPECT_EQ(Verify(Digest(HASH_SM3, msg), HASH_SM3, *sig, cert), ORVA_E_CALL_FAILED);  // no Z
      EXPECT_EQ(Verify(Sm3WithZ(otherCert, msg), HASH_SM3, *sig, otherCert), ORVA_E_CALL_FAILED);
    }
    // Up to 127 bytes is classified as DER by the container, whatever its exact length.
    CSignedData sd;
    ASSERT_EQ(sd.SetSignature(f.der.data(), static_cast<uint32_t>(f.der.size())), ORVA_OK);
    uint32_t type = 0, alg = 0;
    sd.GetSignType(&type);
    sd.GetSignAlg(&alg);
    EXPECT_EQ(type, SIGN_TYPE_DER);
    EXPECT_EQ(alg, ALG_SM2);

    // The streaming verifier hashes with Z itself: every piece size gives the same verdict.
    CX509Certificate certObj;
    ASSERT_EQ(certObj.FromBuffer(cert.data(), static_cast<uint32_t>(cert.size())), ORVA_OK);
    for (size_t piece : {size_t{1}, size_t{5}, msg.size()}) {
      COpenSSLMsgVerify mv;
      mv.set_VerifyCert(&certObj);
      ASSERT_EQ(mv.Init(0x4002, reinterpret_cast<const uint8_t*>(kGmId), 16, 0, nullptr), ORVA_OK);
      for (size_t at = 0; at < msg.size(); at += piece)
        ASSERT_EQ(mv.Update(msg.data() + at, static_cast<uint32_t>(std::min(piece, msg.size() - at)), false), ORVA_OK);
      uint32_t res = 0, len = 4;
      EXPECT_EQ(mv.Final(f.raw64.data(), 64, reinterpret_cast<uint8_t*>(&res), &len), ORVA_OK);
      EXPECT_EQ(res, 1u);
    }
  }
}

TEST(DigestVerify, SignatureShapesAreRecognisedByParsing) {
  Bytes der = ReadBytes(SigPath("der69", "der"));
  Bytes padded = der;
  padded.push_back(0);  // trailing byte: not one structure
  Bytes notSeq = der;
  notSeq[0] = 0x31;
  Bytes negative = der;
  negative[4] |= 0x80;  // r turned negative: not an SM2 value
  struct Row {
    Bytes sig;
    bool isDer;
  } rows[] = {{der, true}, {padded, false}, {notSeq, false}, {negative, false}, {Bytes(64, 0x30), false},
              {Bytes(75, 0x30), false}, {Bytes(8, 0), false}};
  for (const Row& r : rows)
    EXPECT_EQ(COpenSSLDigestVerify::IsSM2DerSignature(r.sig.data(), static_cast<uint32_t>(r.sig.size())), r.isDer)
        << Hex(r.sig);
}

// RSA PKCS#1 v1.5 signatures of `openssl pkeyutl` over a digest, with the DigestInfo header
// (-pkeyopt digest:...) and over the bare digest; both verify.
TEST(DigestVerify, RsaWithAndWithoutDigestInfo) {
  Bytes cert = CertDer("rsa-sign");
  std::string dir = orva::testing::MakeTempDir("rsa");
  struct Row {
    uint32_t alg;
    const char* name;
  } rows[] = {{HASH_MD5, "md5"}, {HASH_SHA1, "sha1"}, {HASH_SHA256, "sha256"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Bytes digest = Digest(r.alg, ToBytes(std::string("message for ") + r.name));
    WriteBytes(dir + "/d", digest);
    for (bool bInfo : {true, false}) {
      std::vector<std::string> argv = {"openssl", "pkeyutl", "-sign", "-inkey", orva::testing::TestPkiKeyPath("rsa-sign"),
                                       "-in", dir + "/d", "-out", dir + "/s"};
      if (bInfo) argv.insert(argv.end(), {"-pkeyopt", std::string("digest:") + r.name});
      RunOk(argv);
      Bytes sig = ReadBytes(dir + "/s");
      ASSERT_EQ(sig.size(), 256u);
      EXPECT_EQ(Verify(digest, r.alg, sig, cert), ORVA_OK) << bInfo;
      Bytes wrong = digest;
      wrong[0] ^= 0x80;
      EXPECT_EQ(Verify(wrong, r.alg, sig, cert), ORVA_E_SIGNATURE_VERIFY);
      sig[100] ^= 1;
      EXPECT_EQ(Verify(digest, r.alg, sig, cert), ORVA_E_SIGNATURE_VERIFY);
    }
  }
  Bytes digest = Digest(HASH_SHA256, ToBytes("x"));
  WriteBytes(dir + "/d", digest);
  RunOk({"openssl", "pkeyutl", "-sign", "-inkey", orva::testing::TestPkiKeyPath("rsa-sign"), "-in", dir + "/d", "-out",
       dir + "/s", "-pkeyopt", "digest:sha256"});
  Bytes sig = ReadBytes(dir + "/s");
  // Another certificate's key, a digest algorithm RSA cannot be checked with.
  EXPECT_EQ(Verify(digest, HASH_SHA256, sig, CertDer("rsa-exch")), ORVA_E_SIGNATURE_VERIFY);
  EXPECT_EQ(Verify(digest, HASH_SHA384, sig, cert), ORVA_E_ALG_NOT_SUPPORTED);
  EXPECT_EQ(Verify(digest, HASH_SM3, sig, cert), ORVA_E_ALG_NOT_SUPPORTED);
  // SM2 shapes against an RSA key.
  Bytes sm2Der = ReadBytes(SigPath("normal", "der"));
  EXPECT_EQ(Verify(digest, HASH_SHA256, sm2Der, cert), ORVA_E_BAD_INPUT);
  EXPECT_EQ(Verify(digest, HASH_SHA256, Bytes(64, 1), cert), ORVA_E_INVALID_PARAM);
  // An RSA-sized signature against an SM2 key is not a raw SM2 signature.
  EXPECT_EQ(Verify(digest, HASH_SHA256, sig, CertDer("sm2-sign")), ORVA_E_BAD_INPUT);
}

TEST(DigestVerify, ArgumentAndCertificateErrors) {
  Bytes cert = CertDer("sm2-sign");
  Bytes sig = ReadBytes(SigPath("normal", "der"));
  Bytes e(32, 1);
  COpenSSLDigestVerify v;
  EXPECT_EQ(v.verify(nullptr, 32, HASH_SM3, sig.data(), 71, cert.data(), 100), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(v.verify(e.data(), 32, HASH_SM3, nullptr, 71, cert.data(), 100), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(v.verify(e.data(), 32, HASH_SM3, sig.data(), 71, nullptr, 100), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(v.verify(e.data(), 32, HASH_SM3, sig.data(), static_cast<uint32_t>(sig.size()), cert.data(), 50),
            ORVA_E_X509_DECODE);
  for (const char* other : {"p256-self", "ed25519-self"})
    EXPECT_EQ(Verify(e, HASH_SM3, sig, CertDer(other)), ORVA_E_X509_PUBKEY_TYPE) << other;
  // Neither raw nor DER: taken as PKCS#7, which it is not.
  EXPECT_EQ(Verify(e, HASH_SM3, Bytes(100, 0x30), cert), ORVA_E_PKCS7_DECODE);
}

TEST(MsgVerify, LifeCycleAndErrors) {
  Bytes certDer = CertDer("rsa-sign");
  CX509Certificate cert;
  ASSERT_EQ(cert.FromBuffer(certDer.data(), static_cast<uint32_t>(certDer.size())), ORVA_OK);
  std::string dir = orva::testing::MakeTempDir("mv");
  Bytes msg = RandomBytes(3000);
  WriteBytes(dir + "/m", msg);
  RunOk({"openssl", "dgst", "-sha256", "-sign", orva::testing::TestPkiKeyPath("rsa-sign"), "-out", dir + "/s", dir + "/m"});
  Bytes sig = ReadBytes(dir + "/s");

  COpenSSLMsgVerify mv;
  uint8_t res[4] = {};
  uint32_t len = 4;
  EXPECT_EQ(mv.Update(msg.data(), 10, false), ORVA_E_INVALID_CALL);
  EXPECT_EQ(mv.Final(sig.data(), 256, res, &len), ORVA_E_INVALID_CALL);  // no certificate
  EXPECT_EQ(mv.Init(0x1, nullptr, 0, 0, nullptr), ORVA_E_ALG_NOT_SUPPORTED);
  EXPECT_EQ(mv.Init(0x800, nullptr, 0, 0, nullptr), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(mv.Init(0x4002, nullptr, 0, 0, nullptr), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(mv.Init(0x4002, reinterpret_cast<const uint8_t*>(kGmId), 16, 0, nullptr), ORVA_E_INVALID_CALL);
  mv.set_VerifyCert(&cert);
  ASSERT_EQ(mv.Init(0x801, nullptr, 0, 0, nullptr), ORVA_OK);
  EXPECT_EQ(mv.Init(0x801, nullptr, 0, 0, nullptr), ORVA_E_INVALID_CALL);
  EXPECT_EQ(mv.Update(nullptr, 10, false), ORVA_E_INVALID_PARAM);
  for (size_t at = 0; at < msg.size(); at += 1024)
    ASSERT_EQ(mv.Update(msg.data() + at, static_cast<uint32_t>(std::min<size_t>(1024, msg.size() - at)), false), ORVA_OK);
  // The size query leaves the hash running; a short buffer ends it.
  len = 0;
  ASSERT_EQ(mv.Final(sig.data(), 256, nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(mv.Final(nullptr, 0, res, &len), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(mv.Final(sig.data(), 256, res, nullptr), ORVA_E_INVALID_PARAM);
  len = 4;
  EXPECT_EQ(mv.Final(sig.data(), 256, res, &len), ORVA_OK);
  EXPECT_EQ(res[0], 1);
  EXPECT_EQ(mv.Final(sig.data(), 256, res, &len), ORVA_E_INVALID_CALL);  // used up

  ASSERT_EQ(mv.Init(0x801, nullptr, 0, 0, nullptr), ORVA_OK);
  ASSERT_EQ(mv.Update(msg.data(), 100, true), ORVA_OK);
  len = 3;
  EXPECT_EQ(mv.Final(sig.data(), 256, res, &len), ORVA_E_BUFFER_TOO_SMALL);
  len = 4;
  EXPECT_EQ(mv.Final(sig.data(), 256, res, &len), ORVA_E_INVALID_CALL);

  // A message that differs fails with the RSA code; SHA-1 over the same bytes fails too.
  for (uint32_t alg : {0x801u, 0x401u}) {
    ASSERT_EQ(mv.Init(alg, nullptr, 0, 0, nullptr), ORVA_OK);
    ASSERT_EQ(mv.Update(msg.data(), static_cast<uint32_t>(msg.size() - 1), true), ORVA_OK);
    res[0] = 0;
    len = 4;
    EXPECT_EQ(mv.Final(sig.data(), 256, res, &len), ORVA_E_SIGNATURE_VERIFY);
    EXPECT_EQ(res[0], 0);
  }

  // SM2 with another identity than the signer's fails.
  Bytes sm2Der = CertDer("sm2-sign");
  CX509Certificate sm2;
  ASSERT_EQ(sm2.FromBuffer(sm2Der.data(), static_cast<uint32_t>(sm2Der.size())), ORVA_OK);
  Bytes m = ReadBytes(SigPath("normal", "msg"));
  Bytes s = ReadBytes(SigPath("normal", "der"));
  COpenSSLMsgVerify sv;
  sv.set_VerifyCert(&sm2);
  ASSERT_EQ(sv.Init(0x4002, reinterpret_cast<const uint8_t*>("1234567812345679"), 16, 0, nullptr), ORVA_OK);
  ASSERT_EQ(sv.Update(m.data(), static_cast<uint32_t>(m.size()), true), ORVA_OK);
  len = 4;
  EXPECT_EQ(sv.Final(s.data(), static_cast<uint32_t>(s.size()), res, &len), ORVA_E_CALL_FAILED);
  // SM2 with SM3 needs an SM2 certificate.
  COpenSSLMsgVerify rv;
  rv.set_VerifyCert(&cert);
  EXPECT_EQ(rv.Init(0x4002, reinterpret_cast<const uint8_t*>(kGmId), 16, 0, nullptr), ORVA_E_BAD_INPUT);
}
