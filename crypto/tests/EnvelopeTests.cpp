// Envelopes: every type and symmetric algorithm sealed here is opened by a script built from
// `openssl pkeyutl -decrypt` and `openssl enc`, and envelopes the script seals are classified
// and opened here; the layout sizes, the piece rules, the recognition of wrapped keys and the
// 100 MiB limit of the container.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "crypto/EnvelopedData.h"
#include "crypto/OpenSSLASN1.h"
#include "crypto/OpenSSLKey.h"
#include "crypto/OpenSSLMsgEncrypt.h"
#include "crypto/SM2CipherConvert.h"
#include "crypto/tests/CryptoTestUtil.h"

using namespace cryptotest;

namespace {

struct CipherRow {
  uint32_t alg;
  const char* name;
};
const CipherRow kCiphers[] = {
    {SYMM_DES_CBC, "des-cbc"},         {SYMM_3DES_CBC, "des-ede3-cbc"},   {SYMM_SM4_ECB, "sm4-ecb"},
    {SYMM_AES128_CBC, "aes-128-cbc"},  {SYMM_AES192_CBC, "aes-192-cbc"},  {SYMM_AES256_CBC, "aes-256-cbc"},
    {SYMM_DES_ECB, "des-ecb"},         {SYMM_3DES_ECB, "des-ede3-ecb"},   {SYMM_AES128_ECB, "aes-128-ecb"},
    {SYMM_AES192_ECB, "aes-192-ecb"},  {SYMM_AES256_ECB, "aes-256-ecb"},  {SYMM_SM4_CBC, "sm4-cbc"},
};

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

struct Recipient {
  CX509Certificate cert;
  explicit Recipient(const std::string& name) {
    Bytes der = CertDer(name);
    EXPECT_EQ(cert.FromBuffer(der.data(), static_cast<uint32_t>(der.size())), ORVA_OK);
  }
};

// Seals with the software handler, feeding pieces of `piece` bytes (the last one marked).
Bytes SealHere(const CX509Certificate& cert, uint32_t type, uint32_t alg, uint32_t pad, const Bytes& plain,
               size_t piece = 512) {
  COpenSSLMsgEncrypt enc;
  enc.set_CryptoCert(&cert);
  enc.set_EnvelopType(type);
  enc.set_Padding(pad);
  auto out = std::make_shared<CMemoryStream>();
  EXPECT_EQ(enc.Init(alg, nullptr, 0, plain.size(), out), ORVA_OK);
  for (size_t at = 0; at < plain.size(); at += piece) {
    size_t n = std::min(piece, plain.size() - at);
    EXPECT_EQ(enc.Update(plain.data() + at, static_cast<uint32_t>(n), at + n == plain.size()), ORVA_OK);
  }
  EXPECT_EQ(enc.Final(nullptr, 0, nullptr, nullptr), ORVA_OK);
  return out->Data();
}

// Opens with the program's own pieces: recognition of the wrapped key, the SM2 conversions,
// and software keys (the recipient's private key, then the session key).
Bytes OpenHere(const Bytes& env, const std::string& key, uint32_t symmAlg, uint32_t pad, uint32_t* pAlg,
               uint32_t* pType) {
  uint32_t L = Le32(env.data());
  EXPECT_LE(4 + L, env.size());
  Bytes wrapped(env.begin() + 4, env.begin() + 4 + L);
  EXPECT_EQ(CEnvelopedData::GetEnvelopAlg(wrapped.data(), L, pAlg), ORVA_OK);
  EXPECT_EQ(CEnvelopedData::GetEnvelopType(wrapped.data(), L, pType), ORVA_OK);
  Bytes der;
  if (*pAlg == ALG_RSA) {
    der.assign(wrapped.rbegin(), wrapped.rend());
  } else if (*pType == 4) {
    der = wrapped;
  } else {
    Bytes blob = wrapped;
    if (*pType == 1) {
      uint32_t n = 0;
      EXPECT_EQ(CSM2CipherConvert::Normal2Raw(wrapped.data(), L, nullptr, &n), ORVA_OK);
      blob.assign(n, 0);
      EXPECT_EQ(CSM2CipherConvert::Normal2Raw(wrapped.data(), L, blob.data(), &n), ORVA_OK);
    }
    uint32_t n = 0;
    EXPECT_EQ(COpenSSLASN1::i2d_SM2Cipher(blob.data(), static_cast<uint32_t>(blob.size()), nullptr, &n), ORVA_OK);
    der.assign(n, 0);
    EXPECT_EQ(COpenSSLASN1::i2d_SM2Cipher(blob.data(), static_cast<uint32_t>(blob.size()), der.data(), &n), ORVA_OK);
  }
  Bytes priv = PrivateKeyDer(key);
  COpenSSLKey pk;
  EXPECT_EQ(pk.importKey(*pAlg, ORVA_KEY_TYPE_PRIVATE, priv.data(), static_cast<uint32_t>(priv.size())), ORVA_OK);
  uint8_t session[600];
  uint32_t sl = sizeof session;
  EXPECT_EQ(pk.decrypt(der.data(), static_cast<uint32_t>(der.size()), session, &sl), ORVA_OK);
  COpenSSLKey sk;
  EXPECT_EQ(sk.importKey(symmAlg, ORVA_KEY_TYPE_SYMM, session, sl), ORVA_OK);
  sk.set_Padding(pad);
  Bytes content(env.begin() + 4 + L, env.end());
  Bytes plain(content.size());
  uint32_t pl = static_cast<uint32_t>(plain.size());
  EXPECT_EQ(sk.decrypt(content.data(), static_cast<uint32_t>(content.size()), plain.data(), &pl), ORVA_OK);
  plain.resize(pl);
  return plain;
}

Bytes ZeroFilled(Bytes b) {
  b.resize((b.size() + 15) / 16 * 16, 0);
  return b;
}

std::string Tool() { return orva::testing::SourceDir() + "/crypto/tests/envelope-tool.sh"; }

}  // namespace

TEST(Envelope, EveryTypeAndAlgorithmAgreesWithTheCommandLine) {
  struct Row {
    const char* cert;
    const char* alg;
    uint32_t type;
    uint32_t classType;  // how the wrapped key is recognised
  } rows[] = {{"rsa-exch", "rsa", 4, 1}, {"rsa-exch", "rsa", 1, 1}, {"sm2-exch", "sm2", 0, 3},
              {"sm2-exch", "sm2", 1, 1}, {"sm2-exch", "sm2", 3, 3}, {"sm2-exch", "sm2", 4, 4}};
  std::string dir = orva::testing::MakeTempDir("env");
  Bytes plain = ToBytes("信封的内容 / envelope content " + std::string(1000, 'e'));
  WriteBytes(dir + "/plain", plain);
  struct Job {
    size_t row, ci;
    uint32_t pad;
    bool bScriptSeals;
    std::string name;
  };
  std::vector<Job> jobs;
  std::string jobLines;
  for (size_t row = 0; row < std::size(rows); ++row) {
    const Row& r = rows[row];
    Recipient rcpt(r.cert);
    for (size_t ci = 0; ci < std::size(kCiphers); ++ci) {
      const CipherRow& c = kCiphers[ci];
      Job j{row, ci, static_cast<uint32_t>((row + ci) % 2),  // every algorithm meets both paddings
            (row + ci) % 3 == 0,  // the script seals for every type with each algorithm twice
            dir + "/" + std::to_string(row) + "-" + c.name};
      std::string args = std::string(r.alg) + " " + std::to_string(r.type) + " " + c.name + " " + std::to_string(j.pad);
      // Sealed here, for the script to open.
      WriteBytes(j.name + ".env", SealHere(rcpt.cert, r.type, c.alg, j.pad, plain));
      jobLines += "open " + j.name + ".env " + orva::testing::TestPkiKeyPath(r.cert) + " " + args + " " + j.name + ".out\n";
      if (j.bScriptSeals)
        jobLines += "seal " + dir + "/plain " + orva::testing::TestPkiKeyPath(r.cert, true) + " " + args + " " + j.name +
                    ".env2\n";
      jobs.push_back(j);
    }
  }
  // The script runs every job, two at a time.
  ASSERT_TRUE(orva::testing::WriteFile(dir + "/jobs", jobLines));
  RunOk({"bash", "-c", "xargs -P 2 -L 1 " + Tool() + " < " + dir + "/jobs"}, "", {}, 180000);
  for (const Job& j : jobs) {
    const Row& r = rows[j.row];
    const CipherRow& c = kCiphers[j.ci];
    SCOPED_TRACE(j.name + " pad " + std::to_string(j.pad));
    Bytes expect = j.pad ? plain : ZeroFilled(plain);
    EXPECT_EQ(ReadBytes(j.name + ".out"), expect);
    uint32_t alg = 0, type = 0;
    EXPECT_EQ(OpenHere(ReadBytes(j.name + ".env"), r.cert, c.alg, j.pad, &alg, &type), expect);
    if (!j.bScriptSeals) continue;
    // Sealed by the script, recognised and opened here.
    EXPECT_EQ(OpenHere(ReadBytes(j.name + ".env2"), r.cert, c.alg, j.pad, &alg, &type), expect);
    EXPECT_EQ(alg, std::string(r.alg) == "rsa" ? ALG_RSA : ALG_SM2);
    EXPECT_EQ(type, r.classType);
  }
}

// Pieces of 1 MiB and a short last piece give the same bytes as one `openssl enc` over the
// whole content.
TEST(Envelope, LargeContentInPieces) {
  Recipient rcpt("sm2-exch");
  Bytes plain = RandomBytes(2 * COpenSSLMsgEncrypt::kMaxPiece + 1001);
  for (uint32_t pad : {0u, 1u}) {
    Bytes env = SealHere(rcpt.cert, 4, SYMM_SM4_CBC, pad, plain, COpenSSLMsgEncrypt::kMaxPiece);
    uint32_t alg = 0, type = 0;
    EXPECT_EQ(OpenHere(env, "sm2-exch", SYMM_SM4_CBC, pad, &alg, &type), pad ? plain : ZeroFilled(plain));
    std::string dir = orva::testing::MakeTempDir("big");
    WriteBytes(dir + "/env", env);
    RunOk({Tool(), "open", dir + "/env", orva::testing::TestPkiKeyPath("sm2-exch"), "sm2", "4", "sm4-cbc",
         std::to_string(pad), dir + "/out"});
    EXPECT_EQ(ReadBytes(dir + "/out"), pad ? plain : ZeroFilled(plain));
  }
}

TEST(Envelope, LayoutSizesAndPieceRules) {
  Recipient sm2("sm2-exch");
  Recipient rsa("rsa-exch");
  Bytes twenty(RandomBytes(20));
  // SM4-ECB over 20 bytes: 32 bytes of cipher text with or without padding.
  for (uint32_t pad : {0u, 1u}) {
    Bytes env = SealHere(sm2.cert, 4, SYMM_SM4_ECB, pad, twenty);
    uint32_t L = Le32(env.data());
    EXPECT_EQ(env.size(), 4 + L + 32) << pad;
  }
  // Wrapped key sizes: C1C3C2 97 + 16, blob 164 + 16, RSA-2048 256, DER as OpenSSL writes it.
  struct Row {
    const CX509Certificate* cert;
    uint32_t type, alg, minL, maxL;
  } rows[] = {{&sm2.cert, 1, SYMM_SM4_CBC, 113, 113}, {&sm2.cert, 0, SYMM_SM4_CBC, 180, 180},
              {&sm2.cert, 3, SYMM_AES256_CBC, 196, 196}, {&sm2.cert, 4, SYMM_SM4_CBC, 120, 124},
              {&sm2.cert, 4, SYMM_AES256_CBC, 137, 141}, {&rsa.cert, 1, SYMM_3DES_CBC, 256, 256}};
  for (const Row& r : rows) {
    Bytes env = SealHere(*r.cert, r.type, r.alg, 1, twenty);
    uint32_t L = Le32(env.data());
    EXPECT_GE(L, r.minL) << r.type;
    EXPECT_LE(L, r.maxL) << r.type;
  }

  COpenSSLMsgEncrypt enc;
  auto out = std::make_shared<CMemoryStream>();
  Bytes data = RandomBytes(COpenSSLMsgEncrypt::kMaxPiece + 16);
  EXPECT_EQ(enc.Init(SYMM_SM4_CBC, nullptr, 0, 0, out), ORVA_E_INVALID_CALL);  // no certificate
  EXPECT_EQ(enc.Update(data.data(), 16, false), ORVA_E_INVALID_CALL);
  EXPECT_EQ(enc.Final(nullptr, 0, nullptr, nullptr), ORVA_E_INVALID_CALL);
  enc.set_CryptoCert(&sm2.cert);
  enc.set_EnvelopType(2);
  EXPECT_EQ(enc.Init(SYMM_SM4_CBC, nullptr, 0, 0, out), ORVA_E_INVALID_PARAM);
  enc.set_EnvelopType(4);
  EXPECT_EQ(enc.Init(SYMM_SM1_ECB, nullptr, 0, 0, out), ORVA_E_ALG_NOT_SUPPORTED);
  EXPECT_EQ(enc.Init(SYMM_SM4_CBC, nullptr, 0, 0, nullptr), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(enc.Init(0x3, nullptr, 0, 0, out), ORVA_E_INVALID_PARAM);
  EXPECT_TRUE(out->Data().empty());
  ASSERT_EQ(enc.Init(SYMM_SM4_CBC, nullptr, 0, 0, out), ORVA_OK);
  EXPECT_EQ(enc.Init(SYMM_SM4_CBC, nullptr, 0, 0, out), ORVA_E_INVALID_CALL);
  EXPECT_EQ(enc.Update(nullptr, 16, false), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(enc.Update(data.data(), COpenSSLMsgEncrypt::kMaxPiece + 16, false), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(enc.Update(data.data(), 100, false), ORVA_E_BAD_INPUT_LENGTH);  // not the last: whole blocks
  ASSERT_EQ(enc.Update(data.data(), COpenSSLMsgEncrypt::kMaxPiece, false), ORVA_OK);
  // The last piece lies at the very end of its own buffer: the zero fill is made elsewhere.
  Bytes tail(data.begin(), data.begin() + 100);
  ASSERT_EQ(enc.Update(tail.data(), 100, true), ORVA_OK);
  ASSERT_EQ(enc.Final(nullptr, 0, nullptr, nullptr), ORVA_OK);
  EXPECT_EQ(enc.Final(nullptr, 0, nullptr, nullptr), ORVA_E_INVALID_CALL);  // idle again
  uint32_t L = Le32(out->Data().data());
  EXPECT_EQ(out->Data().size(), 4 + L + COpenSSLMsgEncrypt::kMaxPiece + 112);

  // A stream that refuses writes.
  struct FullStream : CMemoryStream {
    uint32_t Write(const void*, uint32_t, uint32_t* pcb) override {
      if (pcb) *pcb = 0;
      return ORVA_OK;
    }
  };
  COpenSSLMsgEncrypt enc2;
  enc2.set_CryptoCert(&rsa.cert);
  EXPECT_EQ(enc2.Init(SYMM_AES128_CBC, nullptr, 0, 0, std::make_shared<FullStream>()), ORVA_E_STREAM_WRITE);
  EXPECT_EQ(enc2.Update(data.data(), 16, true), ORVA_E_INVALID_CALL);  // Init failed: idle

  // The wrap on its own: size query and the 512-byte buffer rule.
  uint8_t key[16] = {1};
  uint32_t len = 0;
  EXPECT_EQ(COpenSSLMsgEncrypt::_WrapSymmKeyData(&rsa.cert, key, 16, 1, nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 512u);
  uint8_t wrapped[512];
  len = 511;
  EXPECT_EQ(COpenSSLMsgEncrypt::_WrapSymmKeyData(&rsa.cert, key, 16, 1, wrapped, &len), ORVA_E_BUFFER_TOO_SMALL);
  len = 512;
  EXPECT_EQ(COpenSSLMsgEncrypt::_WrapSymmKeyData(&sm2.cert, key, 16, 7, wrapped, &len), ORVA_E_CALL_FAILED);
  EXPECT_EQ(COpenSSLMsgEncrypt::_WrapSymmKeyData(&sm2.cert, key, 129, 2, wrapped, &len), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(COpenSSLMsgEncrypt::_WrapSymmKeyData(nullptr, key, 16, 2, wrapped, &len), ORVA_E_INVALID_PARAM);
  Recipient big("rsa-4096");
  ASSERT_EQ(COpenSSLMsgEncrypt::_WrapSymmKeyData(&big.cert, key, 16, 1, wrapped, &len), ORVA_OK);
  EXPECT_EQ(len, 512u);
}

// Every wrapped key the program makes is recognised, whatever length OpenSSL's DER takes for
// 8- to 32-byte session keys; then the fixed rows of the recognition table.
TEST(EnvelopedData, RecognisesEveryWrappedKey) {
  Recipient sm2("sm2-exch"), rsa("rsa-exch"), big("rsa-4096");
  const uint32_t algs[] = {SYMM_DES_CBC, SYMM_SM4_CBC, SYMM_3DES_CBC, SYMM_AES256_CBC};
  uint8_t key[32];
  for (uint32_t alg : algs) {
    uint32_t kl = sizeof key;
    ASSERT_EQ(COpenSSLKey::generateSymmKey(alg, key, &kl), ORVA_OK);
    struct Want {
      const CX509Certificate* cert;
      uint32_t format, alg, type;
      int tries;
    } wants[] = {{&sm2.cert, COpenSSLMsgEncrypt::kWrapDer, ALG_SM2, 4, 40},
                 {&sm2.cert, COpenSSLMsgEncrypt::kWrapNormal, ALG_SM2, 1, 2},
                 {&sm2.cert, COpenSSLMsgEncrypt::kWrapBlob, ALG_SM2, 3, 2},
                 {&rsa.cert, COpenSSLMsgEncrypt::kWrapNormal, ALG_RSA, 1, 2},
                 {&big.cert, COpenSSLMsgEncrypt::kWrapNormal, ALG_RSA, 1, 1}};
    for (const Want& w : wants) {
      for (int t = 0; t < w.tries; ++t) {
        uint8_t wrapped[512];
        uint32_t L = sizeof wrapped;
        ASSERT_EQ(COpenSSLMsgEncrypt::_WrapSymmKeyData(w.cert, key, kl, w.format, wrapped, &L), ORVA_OK);
        uint32_t a = 0, type = 0;
        EXPECT_EQ(CEnvelopedData::GetEnvelopAlg(wrapped, L, &a), ORVA_OK) << L;
        EXPECT_EQ(CEnvelopedData::GetEnvelopType(wrapped, L, &type), ORVA_OK) << L;
        EXPECT_EQ(a, w.alg) << "key " << kl << " L " << L;
        EXPECT_EQ(type, w.type) << "key " << kl << " L " << L;
      }
    }
  }

  // A DER ciphertext of a 24-byte key whose x and y are short is 128 bytes long, like an
  // RSA-1024 wrap: it is told apart by parsing.
  Bytes blob(164 + 24, 0x11);
  std::fill(blob.begin(), blob.begin() + 33, 0);   // x: 31 significant bytes
  std::fill(blob.begin() + 64, blob.begin() + 97, 0);  // y: 31 significant bytes
  blob[33] = 0x7f;
  blob[97] = 0x7f;
  blob[160] = 24;
  blob[161] = blob[162] = blob[163] = 0;
  uint8_t der128[200];
  uint32_t dl = sizeof der128;
  ASSERT_EQ(COpenSSLASN1::i2d_SM2Cipher(blob.data(), static_cast<uint32_t>(blob.size()), der128, &dl), ORVA_OK);
  ASSERT_EQ(dl, 128u);

  Bytes normal113(113, 0x55);
  normal113[0] = 0x04;
  Bytes other113(113, 0x55);
  other113[0] = 0x30;
  struct Row {
    Bytes header;
    uint32_t L;
    uint32_t algRes, alg, typeRes, type;
  } rows[] = {
      {Bytes(4, 0), 0, ORVA_E_INVALID_PARAM, 0, ORVA_E_INVALID_PARAM, 0},
      {Bytes(4, 0), 3, ORVA_E_INVALID_PARAM, 0, ORVA_E_INVALID_PARAM, 0},
      {normal113, 113, ORVA_OK, ALG_SM2, ORVA_OK, 1},
      {other113, 113, ORVA_OK, ALG_SM2, ORVA_OK, 4},
      {Bytes(180, 0), 180, ORVA_OK, ALG_SM2, ORVA_OK, 3},
      {Bytes(166, 0), 166, ORVA_OK, ALG_SM2, ORVA_OK, 3},
      {Bytes(128, 0x5a), 128, ORVA_OK, ALG_RSA, ORVA_OK, 1},
      {Bytes(der128, der128 + 128), 128, ORVA_OK, ALG_SM2, ORVA_OK, 4},
      {Bytes(140, 0), 140, ORVA_OK, ALG_RSA, ORVA_OK, 1},
      {Bytes(256, 0), 256, ORVA_OK, ALG_RSA, ORVA_OK, 1},
      {Bytes(268, 0), 268, ORVA_OK, ALG_RSA, ORVA_OK, 1},
      {Bytes(512, 0), 512, ORVA_OK, ALG_RSA, ORVA_OK, 1},
      {Bytes(4, 0x30), 300, ORVA_E_BAD_INPUT, 0, ORVA_OK, 2},  // PKCS#7: only the head is there
      {Bytes(4, 0x30), 0xF4018230u, ORVA_E_BAD_INPUT, 0, ORVA_OK, 2},
      {Bytes(200, 0), 200, ORVA_E_BAD_INPUT, 0, ORVA_E_BAD_INPUT, 0},
      {Bytes(165, 0), 165, ORVA_E_BAD_INPUT, 0, ORVA_E_BAD_INPUT, 0},
      {Bytes(97, 0x04), 97, ORVA_E_BAD_INPUT, 0, ORVA_E_BAD_INPUT, 0},
      {Bytes(150, 0x30), 150, ORVA_E_BAD_INPUT, 0, ORVA_E_BAD_INPUT, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.L);
    uint32_t alg = 99, type = 99;
    EXPECT_EQ(CEnvelopedData::GetEnvelopAlg(r.header.data(), r.L, &alg), r.algRes);
    if (r.algRes == ORVA_OK) { EXPECT_EQ(alg, r.alg); }
    EXPECT_EQ(CEnvelopedData::GetEnvelopType(r.header.data(), r.L, &type), r.typeRes);
    if (r.typeRes == ORVA_OK) { EXPECT_EQ(type, r.type); }
  }
  uint32_t v;
  EXPECT_EQ(CEnvelopedData::GetEnvelopType(nullptr, 113, &v), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CEnvelopedData::GetEnvelopAlg(normal113.data(), 113, nullptr), ORVA_E_INVALID_PARAM);
}

TEST(EnvelopedData, BytesStreamsAndTheLimit) {
  CEnvelopedData ed;
  uint32_t len = 0;
  EXPECT_EQ(ed.GetEnvelopedData(nullptr, &len), ORVA_E_INVALID_CALL);  // nothing held
  EXPECT_EQ(ed.GetEnvelopedData(nullptr, nullptr), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(ed.SetEnvelopedData(nullptr, 3), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(ed.SetEnvelopedStream(nullptr), ORVA_E_INVALID_PARAM);
  StreamPtr got;
  EXPECT_EQ(ed.GetEnvelopedStream(&got), ORVA_OK);
  EXPECT_FALSE(got);
  EXPECT_EQ(ed.GetEnvelopedStream(nullptr), ORVA_E_INVALID_PARAM);

  // Bytes are preferred over a stream.
  Bytes bytes = RandomBytes(300);
  ASSERT_EQ(ed.SetEnvelopedData(bytes.data(), 300), ORVA_OK);
  auto mem = std::make_shared<CMemoryStream>(RandomBytes(10));
  ASSERT_EQ(ed.SetEnvelopedStream(mem), ORVA_OK);
  ASSERT_EQ(ed.GetEnvelopedData(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 300u);
  Bytes out(300);
  len = 299;
  EXPECT_EQ(ed.GetEnvelopedData(out.data(), &len), ORVA_E_BUFFER_TOO_SMALL);
  len = 300;
  ASSERT_EQ(ed.GetEnvelopedData(out.data(), &len), ORVA_OK);
  EXPECT_EQ(out, bytes);
  ASSERT_EQ(ed.GetEnvelopedStream(&got), ORVA_OK);
  EXPECT_EQ(got.get(), mem.get());

  // A stream (read from its start, in as many reads as it takes) up to exactly 100 MiB.
  struct TrickleStream : CMemoryStream {
    using CMemoryStream::CMemoryStream;
    uint32_t Read(void* pv, uint32_t cb, uint32_t* pcbRead) override {
      return CMemoryStream::Read(pv, std::min<uint32_t>(cb, 7), pcbRead);
    }
  };
  Bytes content = RandomBytes(1000);
  auto trickle = std::make_shared<TrickleStream>(content);
  trickle->Seek(0, STREAM_SEEK_END, nullptr);
  CEnvelopedData fromStream;
  ASSERT_EQ(fromStream.SetEnvelopedStream(trickle), ORVA_OK);
  len = 0;
  ASSERT_EQ(fromStream.GetEnvelopedData(nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 1000u);
  out.assign(1000, 0);
  ASSERT_EQ(fromStream.GetEnvelopedData(out.data(), &len), ORVA_OK);
  EXPECT_EQ(out, content);

  std::string path = orva::testing::MakeTempDir("big") + "/envelope";
  for (uint64_t size : {CEnvelopedData::kMaxEnvelopedLen, CEnvelopedData::kMaxEnvelopedLen + 1}) {
    int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);  // sparse: no disk is used
    ::close(fd);
    auto file = std::make_shared<CFileStream>();
    ASSERT_EQ(file->OpenFile(path, CFileStream::AccessRead, false), ORVA_OK);
    CEnvelopedData e;
    ASSERT_EQ(e.SetEnvelopedStream(file), ORVA_OK);
    len = 0;
    if (size == CEnvelopedData::kMaxEnvelopedLen) {
      ASSERT_EQ(e.GetEnvelopedData(nullptr, &len), ORVA_OK);
      EXPECT_EQ(len, size);
      Bytes all(len, 1);
      ASSERT_EQ(e.GetEnvelopedData(all.data(), &len), ORVA_OK);
      EXPECT_EQ(all.back(), 0);
    } else {
      EXPECT_EQ(e.GetEnvelopedData(nullptr, &len), ORVA_E_DATA_TOO_LONG);
    }
  }
}
