// The SKF session against the software token loaded through the settings: digests signed in
// every encoding and checked on the token and by the software verifier; DER signatures of
// every length; the argument checks; the streaming handlers (hash, sign, verify, envelopes in
// formats 1, 3 and 4 both ways with software); hostile wrapped keys; exports; a token pulled
// out in the middle of a stream.
#include <gtest/gtest.h>

#include "crypto/OpenSSLMsgEncrypt.h"
#include "devices/core/tests/LogCapture.h"
#include "devices/skf/GMMsgDecrypt.h"
#include "devices/skf/GMSession.h"
#include "devices/skf/tests/GMSessionFixture.h"

using namespace skftest;

namespace {

uint32_t Sign(CSession& s, uint32_t signAlg, const Bytes& digest, uint32_t digestAlg, uint32_t type, uint32_t flags,
              Bytes& sig) {
  std::unique_ptr<CSignedData> sd;
  uint32_t rv = s.SignDigest(signAlg, digest.data(), static_cast<uint32_t>(digest.size()), digestAlg, type, flags, sd);
  if (rv == ORVA_OK) sig = SignatureOf(*sd);
  return rv;
}

uint32_t VerifyOnToken(CSession& s, uint32_t signAlg, const Bytes& digest, uint32_t digestAlg, const Bytes& sig,
                       Cert& cert) {
  return s.VerifyDigest(signAlg, digest.data(), static_cast<uint32_t>(digest.size()), digestAlg, sig.data(),
                        static_cast<uint32_t>(sig.size()), 0, &cert.obj);
}

// Verifies a message with a verify handler; the verdict lands in `verdict`.
uint32_t VerifyStream(CSession& s, uint32_t format, uint32_t alg, const char* id, const Bytes& msg, const Bytes& sig,
                      Cert& cert, uint32_t* verdict) {
  CryptoMsgPtr v;
  uint32_t rv = s.CreateMsgHandler(MSG_VERIFY | format, 0, &cert.obj, v);
  if (rv != ORVA_OK) return rv;
  rv = v->Init(alg, reinterpret_cast<const uint8_t*>(id), id ? static_cast<uint32_t>(std::strlen(id)) : 0, 0, nullptr);
  if (rv != ORVA_OK) return rv;
  rv = Feed(*v, msg, 700);
  if (rv != ORVA_OK) return rv;
  *verdict = 77;
  uint32_t len = 4;
  return v->Final(sig.data(), static_cast<uint32_t>(sig.size()), reinterpret_cast<uint8_t*>(verdict), &len);
}

}  // namespace

TEST_F(GMSessionTest, SignedDigestsVerifyOnTheTokenAndInSoftware) {
  Cert sm2Cert("sm2-sign"), rsaCert("rsa-sign");
  SessionPtr sm2 = Sm2(), rsa = Rsa();
  Bytes msg = ToBytes("signed on the token / 令牌上签名");
  struct Row {
    const char* name;
    bool bRsa;
    uint32_t signAlg, digestAlg, type, flags;
    uint32_t expectType;  // as CSignedData classifies the result
  } rows[] = {
      {"sm2 raw", false, 0x4002, HASH_SM3, SIGN_TYPE_RAW, 0, SIGN_TYPE_RAW},
      {"sm2 der", false, 0x4002, HASH_SM3, SIGN_TYPE_DER, 0, SIGN_TYPE_DER},
      {"sm2 pkcs1 is the raw blob", false, 0x4002, HASH_SM3, SIGN_TYPE_PKCS1, 0, SIGN_TYPE_RAW},
      {"sm2 p7", false, 0x4002, HASH_SM3, SIGN_TYPE_PKCS7, 0, SIGN_TYPE_PKCS7},
      {"sm2 p7 cert", false, 0x4002, HASH_SM3, SIGN_TYPE_PKCS7, 0x1, SIGN_TYPE_PKCS7},
      {"sm2 p7 attrs", false, 0x4002, HASH_SM3, SIGN_TYPE_PKCS7, 0x4, SIGN_TYPE_PKCS7},
      {"sm2 p7 all flags, no content to attach", false, 0x4002, HASH_SM3, SIGN_TYPE_PKCS7, 0x7, SIGN_TYPE_PKCS7},
      {"rsa raw over the bare digest", true, 0x801, HASH_SHA256, SIGN_TYPE_RAW, 0, SIGN_TYPE_PKCS1},
      {"rsa pkcs1 with DigestInfo", true, 0x801, HASH_SHA256, SIGN_TYPE_PKCS1, 0, SIGN_TYPE_PKCS1},
      {"rsa pkcs1 sha1", true, 0x401, HASH_SHA1, SIGN_TYPE_PKCS1, 0, SIGN_TYPE_PKCS1},
      {"rsa p7 md5 cert", true, 0x201, HASH_MD5, SIGN_TYPE_PKCS7, 0x1, SIGN_TYPE_PKCS7},
      {"rsa p7 sha256 attrs", true, 0x801, HASH_SHA256, SIGN_TYPE_PKCS7, 0x5, SIGN_TYPE_PKCS7},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    CSession& s = r.bRsa ? *rsa : *sm2;
    Cert& cert = r.bRsa ? rsaCert : sm2Cert;
    // An SM2 digest holds the signer's Z value with the default identity.
    Bytes digest = r.bRsa ? SoftDigest(r.digestAlg, msg) : SoftDigest(HASH_SM3, msg, &sm2Cert);
    std::unique_ptr<CSignedData> sd;
    ASSERT_EQ(s.SignDigest(r.signAlg, digest.data(), static_cast<uint32_t>(digest.size()), r.digestAlg, r.type,
                           r.flags, sd),
              ORVA_OK);
    Bytes sig = SignatureOf(*sd);
    uint32_t type = 0;
    EXPECT_EQ(sd->GetSignType(&type), ORVA_OK);
    EXPECT_EQ(type, r.expectType) << sig.size() << " bytes";
    if (r.type == SIGN_TYPE_DER) {
      EXPECT_LE(sig.size(), 74u);
      EXPECT_TRUE(COpenSSLDigestVerify::IsSM2DerSignature(sig.data(), static_cast<uint32_t>(sig.size())));
    }
    if (r.type == SIGN_TYPE_PKCS7) {
      uint32_t len = 99;
      EXPECT_EQ(sd->GetOrgData(nullptr, &len), ORVA_OK);
      EXPECT_EQ(len, 0u);  // a digest never carries content
      len = 0;
      EXPECT_EQ(sd->GetCertificate(nullptr, &len), ORVA_OK);
      EXPECT_EQ(len, (r.flags & 0x1) ? cert.der.size() : 0u);
      uint32_t digestAlg = 0;
      EXPECT_EQ(sd->GetDigestAlg(&digestAlg), ORVA_OK);
      EXPECT_EQ(digestAlg, r.digestAlg);
    }
    EXPECT_EQ(VerifyOnToken(s, r.signAlg, digest, r.digestAlg, sig, cert), ORVA_OK);
    EXPECT_EQ(SoftVerify(digest, r.digestAlg, sig, cert), ORVA_OK);
    if (r.type == SIGN_TYPE_RAW && !r.bRsa) {
      // The 64-byte r || s form of the same signature.
      Bytes rs(sig.begin() + 32, sig.begin() + 64);
      rs.insert(rs.end(), sig.begin() + 96, sig.end());
      EXPECT_EQ(VerifyOnToken(s, r.signAlg, digest, r.digestAlg, rs, cert), ORVA_OK);
      EXPECT_EQ(SoftVerify(digest, r.digestAlg, rs, cert), ORVA_OK);
    }
    // Another digest: with attributes their message digest no longer matches.
    Bytes other = digest;
    other[0] ^= 1;
    uint32_t rv = VerifyOnToken(s, r.signAlg, other, r.digestAlg, sig, cert);
    if (r.flags & 0x4)
      EXPECT_EQ(rv, ORVA_E_P11_SIGNATURE_INVALID);
    else
      EXPECT_EQ(rv, ORVA_E_CALL_FAILED);  // the token's SAR_FAIL
    EXPECT_NE(SoftVerify(other, r.digestAlg, sig, cert), ORVA_OK);
  }
  // The other key's certificate does not verify.
  Cert exch("sm2-exch");
  Bytes digest = SoftDigest(HASH_SM3, msg, &sm2Cert);
  Bytes sig;
  ASSERT_EQ(Sign(*sm2, 0x4002, digest, HASH_SM3, SIGN_TYPE_DER, 0, sig), ORVA_OK);
  EXPECT_EQ(VerifyOnToken(*sm2, 0x4002, digest, HASH_SM3, sig, exch), ORVA_E_CALL_FAILED);
}

// Signatures are told apart by length: a detached SM2 PKCS#7 signature without certificate is
// about 256 bytes long here, and one of exactly 256 bytes is still PKCS#7 for the signed data,
// the token's check and the software check.
TEST_F(GMSessionTest, APkcs7SignatureOf256BytesIsNotTakenForRaw) {
  Cert cert("sm2-sign");
  SessionPtr s = Sm2();
  Bytes sig, digest;
  for (int i = 0; i < 200 && sig.size() != 256; ++i) {
    digest = SoftDigest(HASH_SM3, ToBytes("message " + std::to_string(i)), &cert);
    ASSERT_EQ(Sign(*s, 0x4002, digest, HASH_SM3, SIGN_TYPE_PKCS7, 0, sig), ORVA_OK);
  }
  ASSERT_EQ(sig.size(), 256u);
  CSignedData sd;
  ASSERT_EQ(sd.SetSignature(sig.data(), 256), ORVA_OK);
  uint32_t type = 0, alg = 0;
  EXPECT_EQ(sd.GetSignType(&type), ORVA_OK);
  EXPECT_EQ(sd.GetSignAlg(&alg), ORVA_OK);
  EXPECT_EQ(type, SIGN_TYPE_PKCS7);
  EXPECT_EQ(alg, ALG_SM2);
  EXPECT_EQ(VerifyOnToken(*s, 0x4002, digest, HASH_SM3, sig, cert), ORVA_OK);
  EXPECT_EQ(SoftVerify(digest, HASH_SM3, sig, cert), ORVA_OK);
  // An RSA-2048 signature is still PKCS#1.
  Cert rsaCert("rsa-sign");
  SessionPtr r = Rsa();
  Bytes rsaDigest = SoftDigest(HASH_SHA256, ToBytes("rsa"));
  ASSERT_EQ(Sign(*r, 0x801, rsaDigest, HASH_SHA256, SIGN_TYPE_PKCS1, 0, sig), ORVA_OK);
  ASSERT_EQ(sd.SetSignature(sig.data(), static_cast<uint32_t>(sig.size())), ORVA_OK);
  EXPECT_EQ(sd.GetSignType(&type), ORVA_OK);
  EXPECT_EQ(type, SIGN_TYPE_PKCS1);
  EXPECT_EQ(VerifyOnToken(*r, 0x801, rsaDigest, HASH_SHA256, sig, rsaCert), ORVA_OK);
}

// Signatures of the command line whose r or s is short: DER is recognised by parsing, not by
// a length of 70 to 74 bytes, so a 69-byte signature verifies too.
TEST_F(GMSessionTest, DerSignaturesOfEveryLengthVerify) {
  Cert cert("sm2-sign");
  SessionPtr s = Sm2();
  for (const char* kind : {"normal", "der69", "shortr", "shorts"}) {
    const std::string base = orva::testing::TestPkiDir() + "/sigs/" + kind;
    Bytes msg = ToBytes(orva::testing::ReadFile(base + ".msg"));
    Bytes der = ToBytes(orva::testing::ReadFile(base + ".der"));
    SCOPED_TRACE(std::string(kind) + " " + std::to_string(der.size()) + " bytes");
    Bytes digest = SoftDigest(HASH_SM3, msg, &cert);
    EXPECT_EQ(VerifyOnToken(*s, 0x4002, digest, HASH_SM3, der, cert), ORVA_OK);
    uint32_t verdict = 0;
    EXPECT_EQ(VerifyStream(*s, SIGN_TYPE_DER, 0x4002, kGmId, msg, der, cert, &verdict), ORVA_OK);
    EXPECT_EQ(verdict, 1u);
  }
}

TEST_F(GMSessionTest, DigestArgumentsAreCheckedBeforeTheToken) {
  Cert sm2Cert("sm2-sign"), rsaCert("rsa-sign");
  SessionPtr sm2 = Sm2(), rsa = Rsa();
  Bytes d32(32, 0x5A), d33(33, 0x5A), none;
  auto signCalls = [&] { return m_lib->CallCount("SKF_ECCSignData") + m_lib->CallCount("SKF_RSASignData"); };
  auto verifyCalls = [&] { return m_lib->CallCount("SKF_ECCVerify") + m_lib->CallCount("SKF_RSAVerify"); };
  ULONG signs = signCalls(), verifies = verifyCalls();

  struct SignRow {
    const char* name;
    bool bRsa;
    uint32_t signAlg;
    const Bytes* digest;
    uint32_t type;
    uint32_t expect;
  } signRows[] = {
      {"33-byte digest", false, 0x4002, &d33, SIGN_TYPE_RAW, ORVA_E_BAD_INPUT_LENGTH},
      {"no key bit", false, 0x4000, &d32, SIGN_TYPE_RAW, ORVA_E_INVALID_PARAM},
      {"signature type 0", false, 0x4002, &d32, 0, ORVA_E_BAD_INPUT},
      {"signature type 5", false, 0x4002, &d32, 5, ORVA_E_BAD_INPUT},
      {"DER with RSA", true, 0x801, &d32, SIGN_TYPE_DER, ORVA_E_INVALID_PARAM},
  };
  for (const SignRow& r : signRows) {
    SCOPED_TRACE(r.name);
    Bytes sig;
    EXPECT_EQ(Sign(r.bRsa ? *rsa : *sm2, r.signAlg, *r.digest, HASH_SM3, r.type, 0, sig), r.expect);
  }
  std::unique_ptr<CSignedData> sd;
  EXPECT_EQ(sm2->SignDigest(0x4002, nullptr, 32, HASH_SM3, SIGN_TYPE_RAW, 0, sd), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(sm2->SignDigest(0x4002, d32.data(), 0, HASH_SM3, SIGN_TYPE_RAW, 0, sd), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_FALSE(sd);
  EXPECT_EQ(signCalls(), signs);

  Bytes raw128(128, 1), raw256(256, 1), raw64(64, 1), junk = Content(100);
  struct VerifyRow {
    const char* name;
    bool bRsa;
    const Bytes* digest;
    const Bytes* sig;
    uint32_t expect;
  } verifyRows[] = {
      {"33-byte digest", false, &d33, &raw128, ORVA_E_BAD_INPUT_LENGTH},
      {"empty signature", false, &d32, &none, ORVA_E_INVALID_PARAM},
      {"256 bytes for SM2", false, &d32, &raw256, ORVA_E_INVALID_PARAM},
      {"64 bytes for RSA", true, &d32, &raw64, ORVA_E_INVALID_PARAM},
      {"neither raw, DER nor PKCS#7", false, &d32, &junk, ORVA_E_PKCS7_DECODE},
  };
  for (const VerifyRow& r : verifyRows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(VerifyOnToken(r.bRsa ? *rsa : *sm2, 0x4002, *r.digest, HASH_SM3, *r.sig, r.bRsa ? rsaCert : sm2Cert),
              r.expect);
  }
  EXPECT_EQ(sm2->VerifyDigest(0x4002, d32.data(), 32, HASH_SM3, raw128.data(), 128, 0, nullptr), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(sm2->VerifyDigest(0x4002, d32.data(), 0, HASH_SM3, raw128.data(), 128, 0, &sm2Cert.obj),
            ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(sm2->VerifyDigest(0x4002, nullptr, 32, HASH_SM3, raw128.data(), 128, 0, &sm2Cert.obj),
            ORVA_E_INVALID_PARAM);
  EXPECT_EQ(verifyCalls(), verifies);
}

TEST_F(GMSessionTest, HandlersAreCreatedByClassAndFormat) {
  Cert cert("sm2-sign");
  SessionPtr s = Sm2();
  struct Row {
    uint32_t msgId;
    bool bCert;
    uint32_t expect;
  } rows[] = {
      {0x1001, false, ORVA_OK}, {0x1002, false, ORVA_OK}, {0x1003, false, ORVA_OK}, {0x1004, false, ORVA_OK},
      {0x2004, true, ORVA_OK}, {0x3001, true, ORVA_OK}, {0x3003, true, ORVA_OK}, {0x3004, true, ORVA_OK},
      {0x4001, false, ORVA_OK}, {0x4004, false, ORVA_OK}, {0x5000, false, ORVA_OK},
      // PKCS#7 envelopes are not for SKF tokens.
      {0x3002, true, ORVA_E_NOT_SUPPORTED}, {0x4002, false, ORVA_E_NOT_SUPPORTED},
      // Verify and encrypt need the certificate.
      {0x2001, false, ORVA_E_INVALID_PARAM}, {0x3001, false, ORVA_E_INVALID_PARAM},
      // Unknown classes.
      {0x0001, false, ORVA_E_INVALID_PARAM}, {0x6001, false, ORVA_E_INVALID_PARAM},
      {0xFF01, false, ORVA_E_INVALID_PARAM}, {0x11001, false, ORVA_E_INVALID_PARAM},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << r.msgId);
    CryptoMsgPtr msg;
    EXPECT_EQ(s->CreateMsgHandler(r.msgId, 0, r.bCert ? &cert.obj : nullptr, msg), r.expect);
    EXPECT_EQ(static_cast<bool>(msg), r.expect == ORVA_OK);
  }

  // Initialisation: the algorithm bits and formats each handler takes.
  struct InitRow {
    const char* name;
    uint32_t msgId, alg;
    const char* id;
    uint32_t expect;
  } inits[] = {
      {"verify RSA needs PKCS#1", 0x2002, 0x801, nullptr, ORVA_E_NOT_SUPPORTED},
      {"verify RSA raw", 0x2003, 0x801, nullptr, ORVA_E_NOT_SUPPORTED},
      {"verify SM2 needs SM3", 0x2004, 0x802, kGmId, ORVA_E_ALG_NOT_SUPPORTED},
      {"verify without a digest", 0x2004, 0x2, kGmId, ORVA_E_ALG_NOT_SUPPORTED},
      {"verify without a key bit", 0x2004, 0x4000, kGmId, ORVA_E_INVALID_PARAM},
      {"verify SM2 needs a user ID", 0x2004, 0x4002, nullptr, ORVA_E_INVALID_PARAM},
      {"sign without a digest", 0x1004, 0x2, kGmId, ORVA_E_ALG_NOT_SUPPORTED},
      {"sign without a key bit", 0x1004, 0x4000, kGmId, ORVA_E_INVALID_PARAM},
      {"sign SM2 with SM3 needs a user ID", 0x1004, 0x4002, nullptr, ORVA_E_INVALID_PARAM},
      {"hash SHA-384 is for certificates only", 0x5000, HASH_SHA384, nullptr, ORVA_E_ALG_NOT_SUPPORTED},
      {"encrypt SM1 is not on this token", 0x3001, SYMM_SM1_ECB, nullptr, ORVA_E_NOT_SUPPORTED},
      {"encrypt 3DES has no token identifier", 0x3001, SYMM_3DES_CBC, nullptr, ORVA_E_INVALID_PARAM},
      {"encrypt format 5", 0x3005, SYMM_SM4_CBC, nullptr, ORVA_E_INVALID_PARAM},
  };
  for (const InitRow& r : inits) {
    SCOPED_TRACE(r.name);
    CryptoMsgPtr msg = Handler(*s, r.msgId, 0, &cert.obj);
    ASSERT_TRUE(msg);
    auto out = std::make_shared<CMemoryStream>();
    const uint8_t* id = reinterpret_cast<const uint8_t*>(r.id);
    EXPECT_EQ(msg->Init(r.alg, id, r.id ? 16 : 0, 0, out), r.expect);
  }
  // A handler is initialised once.
  CryptoMsgPtr sign = Handler(*s, 0x1004);
  const uint8_t* id = reinterpret_cast<const uint8_t*>(kGmId);
  ASSERT_EQ(sign->Init(0x4002, id, 16, 0, nullptr), ORVA_OK);
  EXPECT_EQ(sign->Init(0x4002, id, 16, 0, nullptr), ORVA_E_INVALID_CALL);
  CryptoMsgPtr hash = Handler(*s, 0x5000);
  EXPECT_EQ(hash->Update(id, 16, true), ORVA_E_INVALID_CALL);  // before Init
  ASSERT_EQ(hash->Init(HASH_SM3, nullptr, 0, 0, nullptr), ORVA_OK);
  EXPECT_EQ(hash->Init(HASH_SM3, nullptr, 0, 0, nullptr), ORVA_E_INVALID_CALL);
}

TEST_F(GMSessionTest, HashesOnTheTokenEqualSoftwareDigests) {
  SessionPtr s = Sm2();
  Cert cert("sm2-sign");
  Bytes msg = Content(2500);  // three chunks for the token
  for (uint32_t alg : {HASH_SM3, HASH_SHA1, HASH_SHA256, HASH_MD5}) {
    SCOPED_TRACE(alg);
    CryptoMsgPtr h = Handler(*s, MSG_HASH);
    ASSERT_EQ(h->Init(alg, nullptr, 0, 0, nullptr), ORVA_OK);
    ASSERT_EQ(Feed(*h, msg, 1100), ORVA_OK);
    uint32_t len = 0;
    ASSERT_EQ(h->Final(nullptr, 0, nullptr, &len), ORVA_OK);  // the size, digest still running
    Bytes d(len);
    EXPECT_EQ(h->Final(nullptr, 0, d.data(), &len), ORVA_OK);
    COpenSSLMsgHash soft;
    ASSERT_EQ(soft.Init(alg, nullptr, 0), ORVA_OK);
    ASSERT_EQ(soft.Update(msg.data(), static_cast<uint32_t>(msg.size())), ORVA_OK);
    Bytes e(64);
    uint32_t el = 64;
    ASSERT_EQ(soft.Final(e.data(), &el), ORVA_OK);
    e.resize(el);
    EXPECT_EQ(d, e);
    EXPECT_EQ(h->Final(nullptr, 0, d.data(), &len), ORVA_E_INVALID_CALL);  // one digest per handler
  }
  EXPECT_GE(m_lib->CallCount("SKF_DigestUpdate"), 12u);
  // A digest dropped unfinished is finished and closed with its handler.
  ULONG finals = m_lib->CallCount("SKF_DigestFinal"), closes = m_lib->CallCount("SKF_CloseHandle");
  {
    CryptoMsgPtr h = Handler(*s, MSG_HASH);
    ASSERT_EQ(h->Init(HASH_SM3, nullptr, 0, 0, nullptr), ORVA_OK);
    ASSERT_EQ(Feed(*h, msg, 100), ORVA_OK);
  }
  EXPECT_EQ(m_lib->CallCount("SKF_DigestFinal"), finals + 1);
  EXPECT_EQ(m_lib->CallCount("SKF_CloseHandle"), closes + 1);
}

// Messages signed in pieces with a caller's user ID: the token's digest holds the Z value of
// that identity (the software verifier agrees), and the verify handler takes them back.
TEST_F(GMSessionTest, MessagesSignedInPiecesVerifyOnTheTokenAndInSoftware) {
  Cert sm2Cert("sm2-sign"), rsaCert("rsa-sign");
  SessionPtr sm2 = Sm2(), rsa = Rsa();
  const char* kId = "ALICE123@YAHOO.COM";
  Bytes msg = Content(5000);
  // The software verifier hashes authenticated attributes with the default identity, the
  // token with the handler's: signatures with attributes are made with the default one.
  struct Row {
    const char* name;
    bool bRsa;
    uint32_t alg, format, flags;
    const char* id;
    size_t expectSize;  // the size a null buffer asks for
  } rows[] = {
      {"sm2 raw", false, 0x4002, SIGN_TYPE_RAW, 0, kId, 256},
      {"sm2 der", false, 0x4002, SIGN_TYPE_DER, 0, kId, 256},
      {"sm2 p7 cert", false, 0x4002, SIGN_TYPE_PKCS7, 0x1, kId, 8192},
      {"sm2 p7 cert and content", false, 0x4002, SIGN_TYPE_PKCS7, 0x3, kId, 8192 + 5000},
      {"sm2 p7 attrs", false, 0x4002, SIGN_TYPE_PKCS7, 0x4, kGmId, 4096},
      {"sm2 p7 everything", false, 0x4002, SIGN_TYPE_PKCS7, 0x7, kGmId, 8192 + 5000},
      {"rsa pkcs1", true, 0x801, SIGN_TYPE_PKCS1, 0, nullptr, 256},
      {"rsa p7 content", true, 0x801, SIGN_TYPE_PKCS7, 0x2, nullptr, 4096 + 5000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    CSession& s = r.bRsa ? *rsa : *sm2;
    Cert& cert = r.bRsa ? rsaCert : sm2Cert;
    CryptoMsgPtr h = Handler(s, MSG_SIGN | r.format, r.flags);
    ASSERT_EQ(h->Init(r.alg, reinterpret_cast<const uint8_t*>(r.id), r.id ? static_cast<uint32_t>(std::strlen(r.id)) : 0,
                      0, nullptr),
              ORVA_OK);
    ASSERT_EQ(Feed(*h, msg, 1500), ORVA_OK);
    uint32_t len = 0;
    ASSERT_EQ(h->Final(nullptr, 0, nullptr, &len), ORVA_OK);
    EXPECT_EQ(len, r.expectSize);
    // A short buffer is refused before anything is finished: the caller can ask again.
    Bytes sig(len);
    uint32_t shortLen = len - 1;
    EXPECT_EQ(h->Final(nullptr, 0, sig.data(), &shortLen), ORVA_E_BUFFER_TOO_SMALL);
    ASSERT_EQ(h->Final(nullptr, 0, sig.data(), &len), ORVA_OK);
    sig.resize(len);
    EXPECT_EQ(h->Final(nullptr, 0, sig.data(), &len), ORVA_E_INVALID_CALL);  // one message per handler

    Bytes digest = r.bRsa ? SoftDigest(HASH_SHA256, msg) : SoftDigest(HASH_SM3, msg, &sm2Cert, r.id);
    EXPECT_EQ(SoftVerify(digest, r.bRsa ? HASH_SHA256 : HASH_SM3, sig, cert), ORVA_OK);
    if (r.flags & 0x2) {
      CSignedData sd;
      ASSERT_EQ(sd.SetSignature(sig.data(), static_cast<uint32_t>(sig.size())), ORVA_OK);
      uint32_t cl = 0;
      ASSERT_EQ(sd.GetOrgData(nullptr, &cl), ORVA_OK);
      Bytes content(cl);
      ASSERT_EQ(sd.GetOrgData(content.data(), &cl), ORVA_OK);
      EXPECT_EQ(content, msg);
    }
    uint32_t verdict = 0;
    EXPECT_EQ(VerifyStream(s, SIGN_TYPE_PKCS1, r.alg, r.id, msg, sig, cert, &verdict), ORVA_OK);
    EXPECT_EQ(verdict, 1u);
    // Another message, or another identity, gives a failure and a verdict of 0.
    Bytes other = msg;
    other[4999] ^= 1;
    EXPECT_NE(VerifyStream(s, SIGN_TYPE_PKCS1, r.alg, r.id, other, sig, cert, &verdict), ORVA_OK);
    EXPECT_EQ(verdict, 0u);
    if (!r.bRsa) {
      const char* otherId = std::strcmp(r.id, kGmId) == 0 ? kId : kGmId;
      EXPECT_NE(VerifyStream(s, SIGN_TYPE_PKCS1, r.alg, otherId, msg, sig, cert, &verdict), ORVA_OK);
      EXPECT_EQ(verdict, 0u);
    }
  }
  // The verify handler's buffer rules.
  CryptoMsgPtr v = Handler(*sm2, 0x2004, 0, &sm2Cert.obj);
  ASSERT_EQ(v->Init(0x4002, reinterpret_cast<const uint8_t*>(kGmId), 16, 0, nullptr), ORVA_OK);
  Bytes sig(72, 1);
  uint32_t len = 0;
  EXPECT_EQ(v->Final(nullptr, 0, nullptr, &len), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(v->Final(sig.data(), 72, nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 4u);
  uint8_t small[3];
  len = 3;
  EXPECT_EQ(v->Final(sig.data(), 72, small, &len), ORVA_E_BUFFER_TOO_SMALL);
}

// Attached content is held in memory up to 100 MiB.
TEST_F(GMSessionTest, AttachedContentIsCapped) {
  SessionPtr s = Sm2();
  CryptoMsgPtr h = Handler(*s, 0x1002, ORVA_SIGNATTACH_MSG);
  ASSERT_EQ(h->Init(0x4002, reinterpret_cast<const uint8_t*>(kGmId), 16, 0, nullptr), ORVA_OK);
  Bytes piece(16 * 1024 * 1024, 0x33);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(h->Update(piece.data(), static_cast<uint32_t>(piece.size()), false), ORVA_OK);
  Bytes rest(4 * 1024 * 1024, 0x33);
  EXPECT_EQ(h->Update(rest.data(), static_cast<uint32_t>(rest.size()), false), ORVA_OK);  // exactly 100 MiB
  EXPECT_EQ(h->Update(rest.data(), 1, true), ORVA_E_DATA_TOO_LONG);
}

// Envelopes sealed by the crypto engine open on the token in formats 1, 3 and 4.
TEST_F(GMSessionTest, EnvelopesSealedInSoftwareOpenOnTheToken) {
  Cert exch("sm2-exch");
  SessionPtr s = Sm2(KEY_USAGE_EXCH);
  Bytes plain = Content(3000);
  struct Row {
    uint32_t format, symm, pad;
  } rows[] = {
      {1, SYMM_SM4_CBC, 1}, {1, SYMM_SM4_ECB, 0}, {3, SYMM_SM4_CBC, 0}, {3, SYMM_AES128_CBC, 1},
      {4, SYMM_SM4_ECB, 1}, {4, SYMM_AES256_ECB, 0}, {4, SYMM_AES192_CBC, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << "format " << r.format << " alg 0x" << std::hex << r.symm << " pad " << r.pad);
    Bytes env = SealInSoftware(exch, r.format, r.symm, r.pad, plain);
    Bytes opened;
    ASSERT_EQ(Open(*s, r.format, r.symm, r.pad, env, opened, 1040), ORVA_OK);
    EXPECT_EQ(opened, r.pad ? plain : ZeroFilled(plain));
  }
}

// Envelopes sealed on the token open in software; zero padding fills 1000 bytes to 1008.
TEST_F(GMSessionTest, EnvelopesSealedOnTheTokenOpenInSoftware) {
  Cert exch("sm2-exch");
  SessionPtr s = Sm2();
  SessionPtr x = Sm2(KEY_USAGE_EXCH);
  Bytes plain = Content(1000);
  struct Row {
    uint32_t format, symm, pad;
    size_t wrappedLen;  // 0 when it varies (DER)
  } rows[] = {
      {1, SYMM_SM4_ECB, 0, 97 + 16}, {1, SYMM_SM4_CBC, 1, 97 + 16}, {3, SYMM_SM4_CBC, 0, 164 + 16},
      {3, SYMM_AES256_CBC, 1, 164 + 32}, {4, SYMM_SM4_ECB, 1, 0},    {4, SYMM_AES128_ECB, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << "format " << r.format << " alg 0x" << std::hex << r.symm << " pad " << r.pad);
    Bytes env = Seal(*s, exch, r.format, r.symm, r.pad, plain, 1000);
    ASSERT_GE(env.size(), 4u);
    uint32_t L = Le32(env.data());
    if (r.wrappedLen) {
      EXPECT_EQ(L, r.wrappedLen);
    }
    // The body: 1000 bytes and 8 zero bytes without padding, or 8 bytes of PKCS#7 padding.
    EXPECT_EQ(env.size() - 4 - L, 1008u);
    EXPECT_EQ(OpenInSoftware(env, r.format, "sm2-exch", r.symm, r.pad), r.pad ? plain : ZeroFilled(plain));
    Bytes opened;
    ASSERT_EQ(Open(*x, r.format, r.symm, r.pad, env, opened, 16 * 70), ORVA_OK);
    EXPECT_EQ(opened, r.pad ? plain : ZeroFilled(plain));
  }
  // The piece rules: every piece but the last whole blocks; many pieces give the same body as one.
  CryptoMsgPtr enc = Handler(*s, 0x3001, 0, &exch.obj);
  auto out = std::make_shared<CMemoryStream>();
  ASSERT_EQ(enc->Init(SYMM_SM4_ECB, nullptr, 0, 0, out), ORVA_OK);
  EXPECT_EQ(enc->Update(plain.data(), 100, false), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(enc->Update(plain.data(), 96, false), ORVA_OK);
  EXPECT_EQ(enc->Update(plain.data() + 96, 904, true), ORVA_OK);
  EXPECT_EQ(enc->Final(nullptr, 0, nullptr, nullptr), ORVA_OK);
  EXPECT_EQ(OpenInSoftware(out->Data(), 1, "sm2-exch", SYMM_SM4_ECB, 0), ZeroFilled(plain));
  EXPECT_EQ(enc->Final(nullptr, 0, nullptr, nullptr), ORVA_E_INVALID_CALL);  // the key is closed
  Bytes big = Content(5000);
  Bytes env = Seal(*s, exch, 4, SYMM_SM4_CBC, 1, big, 1024 * 3);
  EXPECT_EQ(OpenInSoftware(env, 4, "sm2-exch", SYMM_SM4_CBC, 1), big);
  CryptoMsgPtr dec = Handler(*x, 0x4001);
  EXPECT_EQ(dec->Update(plain.data(), 16, false), ORVA_E_INVALID_CALL);  // before Init
}

// The wrapped key of an envelope comes from a page: every length in it is checked before
// anything is copied or given to the token, and a bad one is 0x8100000E.
TEST_F(GMSessionTest, HostileWrappedKeysAreRefusedBeforeTheToken) {
  Cert exch("sm2-exch");
  SessionPtr x = Sm2(KEY_USAGE_EXCH);
  SessionPtr rsa = Rsa(KEY_USAGE_EXCH);
  Bytes plain = Content(64);
  Bytes normal = SealInSoftware(exch, 1, SYMM_SM4_ECB, 1, plain);
  Bytes blob = SealInSoftware(exch, 3, SYMM_SM4_ECB, 1, plain);
  Bytes der = SealInSoftware(exch, 4, SYMM_SM4_ECB, 1, plain);
  auto wrappedOf = [](const Bytes& env) { return Bytes(env.begin() + 4, env.begin() + 4 + Le32(env.data())); };
  Bytes n = wrappedOf(normal), b = wrappedOf(blob), d = wrappedOf(der);
  ASSERT_EQ(n.size(), 113u);
  ASSERT_EQ(b.size(), 180u);

  auto withCipherLen = [](Bytes v, uint32_t cl) {
    v[160] = static_cast<uint8_t>(cl);
    v[161] = static_cast<uint8_t>(cl >> 8);
    v[162] = static_cast<uint8_t>(cl >> 16);
    v[163] = static_cast<uint8_t>(cl >> 24);
    return v;
  };
  Bytes n96(n.begin(), n.begin() + 96), n97(n.begin(), n.begin() + 97), nNoMarker = n;
  nNoMarker[0] = 0x30;
  Bytes nHuge = n;
  nHuge.resize(97 + 400, 0xAB);
  Bytes b164(b.begin(), b.begin() + 164), bShort(b.begin(), b.begin() + 179);
  Bytes bHuge = withCipherLen(b, 0xFFFFFFFF), bZero = withCipherLen(b, 0), bOneMore = withCipherLen(b, 17);
  Bytes bBig = withCipherLen(b, 400);
  bBig.resize(164 + 400, 0xAB);
  Bytes dCut(d.begin(), d.end() - 1), dLong = d;
  dLong[1] = static_cast<uint8_t>(dLong[1] + 1);  // the SEQUENCE claims a byte more than given
  Bytes dTrailing = d;
  dTrailing.push_back(0);
  Bytes r129(129, 1), r255(255, 1);

  ULONG imports = m_lib->CallCount("SKF_ImportSessionKey");
  struct Row {
    const char* name;
    CSession* s;
    uint32_t format;
    const Bytes* wrapped;
  } rows[] = {
      {"C1C3C2 of 96 bytes", x.get(), 1, &n96},
      {"C1C3C2 of 97 bytes: no key", x.get(), 1, &n97},
      {"C1C3C2 without 0x04", x.get(), 1, &nNoMarker},
      {"C1C3C2 of a 400-byte key", x.get(), 1, &nHuge},
      {"blob header only", x.get(), 3, &b164},
      {"blob a byte short", x.get(), 3, &bShort},
      {"blob CipherLen 0xFFFFFFFF", x.get(), 3, &bHuge},
      {"blob CipherLen 0", x.get(), 3, &bZero},
      {"blob CipherLen one past the bytes", x.get(), 3, &bOneMore},
      {"blob of 564 bytes", x.get(), 3, &bBig},
      {"DER cut short", x.get(), 4, &dCut},
      {"DER longer than given", x.get(), 4, &dLong},
      {"DER with a trailing byte", x.get(), 4, &dTrailing},
      {"DER read as C1C3C2", x.get(), 1, &d},
      {"RSA wrapped key of 129 bytes", rsa.get(), 1, &r129},
      {"RSA wrapped key of 255 bytes", rsa.get(), 1, &r255},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    CryptoMsgPtr dec = Handler(*r.s, MSG_DECRYPT | r.format);
    auto out = std::make_shared<CMemoryStream>();
    EXPECT_EQ(dec->Init(SYMM_SM4_ECB, r.wrapped->data(), static_cast<uint32_t>(r.wrapped->size()), 0, out),
              ORVA_E_BAD_INPUT);
    EXPECT_TRUE(out->Data().empty());
  }
  EXPECT_EQ(m_lib->CallCount("SKF_ImportSessionKey"), imports);
  CryptoMsgPtr dec = Handler(*x, 0x4003);
  EXPECT_EQ(dec->Init(SYMM_SM4_ECB, nullptr, 180, 0, std::make_shared<CMemoryStream>()), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(dec->Init(SYMM_SM4_ECB, b.data(), 180, 0, nullptr), ORVA_E_INVALID_PARAM);

  // The well-formed ones open; trailing bytes after a blob's cipher are not read.
  Bytes opened;
  EXPECT_EQ(Open(*x, 1, SYMM_SM4_ECB, 1, normal, opened, 32), ORVA_OK);
  EXPECT_EQ(opened, plain);
  Bytes padded = blob;
  Bytes body(blob.begin() + 4 + 180, blob.end());
  padded.resize(4 + 180);
  padded.push_back(0xEE);
  padded[0] = 181;
  padded.insert(padded.end(), body.begin(), body.end());
  EXPECT_EQ(Open(*x, 3, SYMM_SM4_ECB, 1, padded, opened, 32), ORVA_OK);
  EXPECT_EQ(opened, plain);
  EXPECT_EQ(Open(*x, 4, SYMM_SM4_ECB, 1, der, opened, 32), ORVA_OK);
  EXPECT_EQ(opened, plain);
  // A key for another algorithm is the token's affair.
  EXPECT_EQ(Open(*x, 4, SYMM_AES256_ECB, 1, der, opened, 32), ORVA_E_BAD_INPUT);
  // Content that is not whole blocks.
  CryptoMsgPtr dec2 = Handler(*x, 0x4004, 1);
  ASSERT_EQ(dec2->Init(SYMM_SM4_ECB, d.data(), static_cast<uint32_t>(d.size()), 0, std::make_shared<CMemoryStream>()),
            ORVA_OK);
  EXPECT_EQ(dec2->Update(plain.data(), 100, false), ORVA_E_BAD_INPUT_LENGTH);
}

TEST_F(GMSessionTest, RsaEnvelopesRoundTripOnTheToken) {
  Cert exch("rsa-exch"), sm2Exch("sm2-exch");
  SessionPtr s = Rsa(), x = Rsa(KEY_USAGE_EXCH);
  Bytes plain = Content(2000);
  Bytes env = Seal(*s, exch, 1, SYMM_AES128_CBC, 1, plain, 1024);
  EXPECT_EQ(Le32(env.data()), 256u);
  Bytes opened;
  ASSERT_EQ(Open(*x, 1, SYMM_AES128_CBC, 1, env, opened, 512), ORVA_OK);
  EXPECT_EQ(opened, plain);
  // RSA takes envelope format 1 only.
  for (uint32_t format : {3u, 4u}) {
    CryptoMsgPtr enc = Handler(*s, MSG_ENCRYPT | format, 0, &exch.obj);
    EXPECT_EQ(enc->Init(SYMM_SM4_CBC, nullptr, 0, 0, std::make_shared<CMemoryStream>()), ORVA_E_INVALID_PARAM);
  }
  // An RSA session seals for an SM2 certificate too: the token wraps to the given key.
  Bytes sm2Env = Seal(*s, sm2Exch, 4, SYMM_SM4_CBC, 1, plain, 1024);
  EXPECT_EQ(OpenInSoftware(sm2Env, 4, "sm2-exch", SYMM_SM4_CBC, 1), plain);
  // A certificate of another key type.
  Cert p256("p256-self");
  CryptoMsgPtr enc = Handler(*s, 0x3001, 0, &p256.obj);
  EXPECT_NE(enc->Init(SYMM_SM4_CBC, nullptr, 0, 0, std::make_shared<CMemoryStream>()), ORVA_OK);
}

TEST_F(GMSessionTest, LoginAndExportsReadTheContainer) {
  SessionPtr s = Sm2(), r = Rsa();
  uint32_t left = 0;
  EXPECT_EQ(s->Login(PIN_USER, "wrong123", &left), ORVA_E_PIN_INCORRECT);
  EXPECT_EQ(left, 2u);
  EXPECT_EQ(s->Login(PIN_USER, "demo1234", &left), ORVA_OK);
  EXPECT_EQ(left, 3u);
  EXPECT_EQ(s->Login(PIN_USER, "", &left), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(s->Login(PIN_USER, "demo1234", nullptr), ORVA_E_INVALID_PARAM);

  struct Row {
    CSession* s;
    uint32_t alg;
    bool bSign;
    const char* cert;
    const char* sn;
  } rows[] = {{s.get(), ALG_SM2, true, "sm2-sign", "1001"},
              {s.get(), ALG_SM2, false, "sm2-exch", "1002"},
              {r.get(), ALG_RSA, true, "rsa-sign", "3001"},
              {r.get(), ALG_RSA, false, "rsa-exch", "3002"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.cert);
    // The exported record equals the one the certificate gives.
    Cert cert(row.cert);
    ORVA_PUBLIC_KEY_RECORD want{}, got{};
    want.order = PUBKEY_RSA_ORDER_BE_RIGHT;
    ASSERT_EQ(cert.obj.get_PublicKey(&want), ORVA_OK);
    ASSERT_EQ(row.s->ExportPublicKey(row.alg, row.bSign, &got), ORVA_OK);
    EXPECT_EQ(got.usage, row.bSign ? 1 : 2);
    EXPECT_EQ(got.version, 1);
    EXPECT_EQ(uint32_t{got.algorithm}, uint32_t{want.algorithm});  // packed fields: copies
    if (row.alg == ALG_RSA) {
      EXPECT_EQ(uint32_t{got.order}, PUBKEY_RSA_ORDER_BE_RIGHT);
      EXPECT_EQ(uint32_t{got.u.rsa.bits}, 2048u);
      EXPECT_EQ(uint32_t{got.u.rsa.exponent}, 65537u);
      EXPECT_EQ(std::memcmp(got.u.rsa.modulus, want.u.rsa.modulus, 256), 0);
    } else {
      EXPECT_EQ(std::memcmp(&got.u.sm2, &want.u.sm2, sizeof got.u.sm2), 0);
    }
    std::unique_ptr<CX509Certificate> exported;
    ASSERT_EQ(row.s->ExportCert(row.alg, row.bSign, exported), ORVA_OK);
    std::string sn, container;
    exported->get_SN(sn);
    EXPECT_EQ(sn, row.sn);
    exported->get_Container(container);
    EXPECT_EQ(container, row.alg == ALG_RSA ? "RSA_CON" : "ORVA_ECC_CON");
    EXPECT_EQ(exported->get_Provider(), "SoftKey01");
    // The class must be the container's.
    uint32_t other = row.alg == ALG_RSA ? ALG_SM2 : ALG_RSA;
    EXPECT_EQ(row.s->ExportPublicKey(other, row.bSign, &got), ORVA_E_INVALID_PARAM);
    EXPECT_EQ(row.s->ExportCert(other, row.bSign, exported), ORVA_E_INVALID_PARAM);
  }
}

// A token pulled out in the middle of a stream: every later call of the handlers answers the
// removed-device code and the handlers go without harm.
TEST_F(GMSessionTest, UnpluggingMidStreamFailsWithDeviceRemoved) {
  Cert exch("sm2-exch");
  SessionPtr s = Sm2(), x = Sm2(KEY_USAGE_EXCH);
  SessionPtr raw;  // a session of the view itself, without the device's admission
  ASSERT_EQ(View()->OpenSession(ALG_SM2, KEY_USAGE_SIGN, raw), ORVA_OK);
  Bytes msg = Content(4096);
  const uint8_t* id = reinterpret_cast<const uint8_t*>(kGmId);
  Bytes env = SealInSoftware(exch, 4, SYMM_SM4_CBC, 1, msg);
  uint32_t L = Le32(env.data());

  CryptoMsgPtr sign = Handler(*s, 0x1002, 0x3), rawSign = Handler(*raw, 0x1004), hash = Handler(*raw, MSG_HASH);
  CryptoMsgPtr enc = Handler(*s, 0x3004, 1, &exch.obj), dec = Handler(*x, 0x4004, 1);
  auto encOut = std::make_shared<CMemoryStream>(), decOut = std::make_shared<CMemoryStream>();
  ASSERT_EQ(sign->Init(0x4002, id, 16, 0, nullptr), ORVA_OK);
  ASSERT_EQ(rawSign->Init(0x4002, id, 16, 0, nullptr), ORVA_OK);
  ASSERT_EQ(hash->Init(HASH_SM3, nullptr, 0, 0, nullptr), ORVA_OK);
  ASSERT_EQ(enc->Init(SYMM_SM4_CBC, nullptr, 0, 0, encOut), ORVA_OK);
  ASSERT_EQ(dec->Init(SYMM_SM4_CBC, env.data() + 4, L, 0, decOut), ORVA_OK);
  for (CCryptoMsg* m : {sign.get(), rawSign.get(), hash.get(), enc.get()})
    ASSERT_EQ(m->Update(msg.data(), 2048, false), ORVA_OK);
  ASSERT_EQ(dec->Update(env.data() + 4 + L, 1024, false), ORVA_OK);

  ASSERT_EQ(m_lib->Unplug("SoftKey01"), SAR_OK);
  ASSERT_TRUE(WaitEvents(1));
  EXPECT_EQ(m_events[0].ulEventType, DEVICE_EVENT_REMOVED);

  for (CCryptoMsg* m : {sign.get(), rawSign.get(), hash.get(), enc.get()})
    EXPECT_EQ(m->Update(msg.data() + 2048, 2048, true), ORVA_E_DEVICE_REMOVED);
  EXPECT_EQ(dec->Update(env.data() + 4 + L + 1024, 1024, false), ORVA_E_DEVICE_REMOVED);
  Bytes out(16384);
  uint32_t len = static_cast<uint32_t>(out.size());
  EXPECT_EQ(sign->Final(nullptr, 0, out.data(), &len), ORVA_E_DEVICE_REMOVED);
  len = static_cast<uint32_t>(out.size());
  EXPECT_EQ(rawSign->Final(nullptr, 0, out.data(), &len), ORVA_E_DEVICE_REMOVED);
  len = static_cast<uint32_t>(out.size());
  EXPECT_EQ(hash->Final(nullptr, 0, out.data(), &len), ORVA_E_DEVICE_REMOVED);
  EXPECT_EQ(enc->Final(nullptr, 0, nullptr, nullptr), ORVA_E_DEVICE_REMOVED);
  EXPECT_EQ(dec->Final(nullptr, 0, nullptr, nullptr), ORVA_E_DEVICE_REMOVED);
  Bytes digest(32, 1), sig;
  EXPECT_EQ(Sign(*raw, 0x4002, digest, HASH_SM3, SIGN_TYPE_RAW, 0, sig), ORVA_E_DEVICE_REMOVED);
  // New handlers on the dead session fail the same way.
  CryptoMsgPtr late = Handler(*raw, 0x1004);
  EXPECT_EQ(late->Init(0x4002, id, 16, 0, nullptr), ORVA_E_DEVICE_REMOVED);
  sign.reset();
  rawSign.reset();
  hash.reset();
  enc.reset();
  dec.reset();
  late.reset();
  raw.reset();
  s.reset();
  x.reset();
}
