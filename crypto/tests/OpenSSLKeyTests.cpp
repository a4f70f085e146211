// The software key: every block cipher bit against `openssl enc` with and without padding, the
// size rules, key generation, and RSA / SM2 public-key encryption against `openssl pkeyutl`.
#include <gtest/gtest.h>

#include "crypto/OpenSSLKey.h"
#include "crypto/tests/CryptoTestUtil.h"

using namespace cryptotest;

namespace {

struct CipherRow {
  uint32_t alg;
  const char* name;  // openssl enc cipher
  uint32_t keyLen;
  uint32_t block;
  bool cbc;
};

const CipherRow kCiphers[] = {
    {SYMM_DES_CBC, "des-cbc", 8, 8, true},         {SYMM_3DES_CBC, "des-ede3-cbc", 24, 8, true},
    {SYMM_SM4_ECB, "sm4-ecb", 16, 16, false},      {SYMM_AES128_CBC, "aes-128-cbc", 16, 16, true},
    {SYMM_AES192_CBC, "aes-192-cbc", 24, 16, true}, {SYMM_AES256_CBC, "aes-256-cbc", 32, 16, true},
    {SYMM_DES_ECB, "des-ecb", 8, 8, false},        {SYMM_3DES_ECB, "des-ede3-ecb", 24, 8, false},
    {SYMM_AES128_ECB, "aes-128-ecb", 16, 16, false}, {SYMM_AES192_ECB, "aes-192-ecb", 24, 16, false},
    {SYMM_AES256_ECB, "aes-256-ecb", 32, 16, false}, {SYMM_SM4_CBC, "sm4-cbc", 16, 16, true},
};

// `openssl enc` over `in` with the key (zero IV for CBC).
Bytes OpensslEnc(const CipherRow& c, const Bytes& key, const Bytes& in, bool bEncrypt, bool bPad) {
  std::string dir = orva::testing::MakeTempDir("enc");
  WriteBytes(dir + "/in", in);
  std::vector<std::string> argv = {"openssl", "enc", bEncrypt ? "-e" : "-d", std::string("-") + c.name, "-K",
                                   Hex(key), "-in", dir + "/in", "-out", dir + "/out"};
  if (c.cbc) argv.insert(argv.end(), {"-iv", std::string(c.block * 2, '0')});
  if (!bPad) argv.push_back("-nopad");
  if (std::string(c.name).rfind("des-", 0) == 0 && std::string(c.name).find("ede3") == std::string::npos)
    argv.insert(argv.end(), {"-provider", "legacy", "-provider", "default"});
  RunOk(argv);
  return ReadBytes(dir + "/out");
}

Bytes Crypt(COpenSSLKey& k, bool bEncrypt, const Bytes& in, uint32_t* pulRes = nullptr) {
  uint32_t need = 0;
  uint32_t r = bEncrypt ? k.encrypt(in.data(), static_cast<uint32_t>(in.size()), nullptr, &need)
                        : k.decrypt(in.data(), static_cast<uint32_t>(in.size()), nullptr, &need);
  EXPECT_EQ(r, ORVA_OK);
  Bytes out(need);
  uint32_t len = need;
  r = bEncrypt ? k.encrypt(in.data(), static_cast<uint32_t>(in.size()), out.data(), &len)
               : k.decrypt(in.data(), static_cast<uint32_t>(in.size()), out.data(), &len);
  if (pulRes) *pulRes = r;
  else { EXPECT_EQ(r, ORVA_OK); }
  EXPECT_LE(len, need);
  out.resize(r == ORVA_OK ? len : 0);
  return out;
}

}  // namespace

TEST(OpenSSLKey, EveryCipherAgreesWithOpensslEnc) {
  for (const CipherRow& c : kCiphers) {
    SCOPED_TRACE(c.name);
    Bytes key(c.keyLen);
    uint32_t len = c.keyLen;
    ASSERT_EQ(COpenSSLKey::generateSymmKey(c.alg, key.data(), &len), ORVA_OK);
    ASSERT_EQ(len, c.keyLen);
    COpenSSLKey k;
    ASSERT_EQ(k.importKey(c.alg, ORVA_KEY_TYPE_SYMM, key.data(), len), ORVA_OK);
    for (size_t n : {size_t{16}, size_t{37}, size_t{48}, size_t{1000}}) {
      SCOPED_TRACE(n);
      Bytes data = RandomBytes(n);
      // Padding on (the default).
      k.set_Padding(1);
      Bytes ours = Crypt(k, true, data);
      EXPECT_EQ(ours, OpensslEnc(c, key, data, true, true));
      EXPECT_EQ(Crypt(k, false, ours), data);
      EXPECT_EQ(OpensslEnc(c, key, ours, false, true), data);
      // Padding off: whole blocks only.
      k.set_Padding(0);
      if (n % c.block == 0) {
        Bytes raw = Crypt(k, true, data);
        EXPECT_EQ(raw.size(), n);
        EXPECT_EQ(raw, OpensslEnc(c, key, data, true, false));
        EXPECT_EQ(Crypt(k, false, raw), data);
      } else {
        uint32_t r = 0;
        Crypt(k, true, data, &r);
        EXPECT_EQ(r, ORVA_E_CALL_FAILED);
      }
    }
  }
}

TEST(OpenSSLKey, SizesAndErrors) {
  uint8_t key24[24];
  uint32_t len = 24;
  ASSERT_EQ(COpenSSLKey::generateSymmKey(SYMM_3DES_CBC, key24, &len), ORVA_OK);
  COpenSSLKey k;
  ASSERT_EQ(k.importKey(SYMM_3DES_CBC, ORVA_KEY_TYPE_SYMM, key24, 24), ORVA_OK);
  Bytes data = RandomBytes(16);
  // 16 bytes with padding ask for 16 + key length and produce two blocks.
  uint32_t need = 0;
  ASSERT_EQ(k.encrypt(data.data(), 16, nullptr, &need), ORVA_OK);
  EXPECT_EQ(need, 40u);
  Bytes out(40, 0xEE);
  uint32_t small = 39;
  EXPECT_EQ(k.encrypt(data.data(), 16, out.data(), &small), ORVA_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(out, Bytes(40, 0xEE));  // untouched
  len = 40;
  ASSERT_EQ(k.encrypt(data.data(), 16, out.data(), &len), ORVA_OK);
  EXPECT_EQ(len, 24u);
  // Decrypting with another key fails on the padding.
  uint8_t other[24];
  len = 24;
  ASSERT_EQ(COpenSSLKey::generateSymmKey(SYMM_3DES_CBC, other, &len), ORVA_OK);
  COpenSSLKey wrong;
  ASSERT_EQ(wrong.importKey(SYMM_3DES_CBC, ORVA_KEY_TYPE_SYMM, other, 24), ORVA_OK);
  Bytes plain(24);
  len = 24;
  uint32_t r = ORVA_OK;
  for (int i = 0; i < 4 && r == ORVA_OK; ++i) {  // a wrong key yields valid padding 1 time in 256
    Bytes c = Crypt(k, true, RandomBytes(16 + i));
    len = static_cast<uint32_t>(plain.size());
    r = wrong.decrypt(c.data(), static_cast<uint32_t>(c.size()), plain.data(), &len);
  }
  EXPECT_EQ(r, ORVA_E_CALL_FAILED);

  // Key generation.
  len = 0;
  EXPECT_EQ(COpenSSLKey::generateSymmKey(SYMM_SM4_ECB, nullptr, &len), ORVA_OK);
  EXPECT_EQ(len, 16u);
  uint8_t a[16], b[16];
  len = 15;
  EXPECT_EQ(COpenSSLKey::generateSymmKey(SYMM_SM4_ECB, a, &len), ORVA_E_BUFFER_TOO_SMALL);
  len = 16;
  ASSERT_EQ(COpenSSLKey::generateSymmKey(SYMM_SM4_ECB, a, &len), ORVA_OK);
  len = 16;
  ASSERT_EQ(COpenSSLKey::generateSymmKey(SYMM_SM4_ECB, b, &len), ORVA_OK);
  EXPECT_NE(Bytes(a, a + 16), Bytes(b, b + 16));
  for (uint32_t bad : {SYMM_SM1_ECB, SYMM_SM1_CBC, 0u, 0x3u, SYMM_SM4_CBC | SYMM_SM4_ECB})
    EXPECT_EQ(COpenSSLKey::generateSymmKey(bad, a, &len), ORVA_E_INVALID_PARAM) << bad;
  EXPECT_EQ(COpenSSLKey::generateSymmKey(SYMM_SM4_ECB, a, nullptr), ORVA_E_INVALID_PARAM);

  // Calls without a key, with empty input, and with keys that do not fit their algorithm.
  COpenSSLKey empty;
  len = 64;
  EXPECT_EQ(empty.encrypt(data.data(), 16, out.data(), &len), ORVA_E_INVALID_CALL);
  EXPECT_EQ(empty.importKey(SYMM_SM4_ECB, ORVA_KEY_TYPE_SYMM, nullptr, 16), ORVA_E_INVALID_CALL);
  EXPECT_EQ(k.encrypt(nullptr, 16, out.data(), &len), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(k.decrypt(data.data(), 0, out.data(), &len), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(k.encrypt(data.data(), 16, out.data(), nullptr), ORVA_E_INVALID_PARAM);
  COpenSSLKey sm1;
  ASSERT_EQ(sm1.importKey(SYMM_SM1_ECB, ORVA_KEY_TYPE_SYMM, a, 16), ORVA_OK);
  len = 64;
  EXPECT_EQ(sm1.encrypt(data.data(), 16, out.data(), &len), ORVA_E_INVALID_PARAM);
  COpenSSLKey shortKey;  // 16 bytes for AES-256 would let the cipher read past the key
  ASSERT_EQ(shortKey.importKey(SYMM_AES256_CBC, ORVA_KEY_TYPE_SYMM, a, 16), ORVA_OK);
  EXPECT_EQ(shortKey.encrypt(data.data(), 16, out.data(), &len), ORVA_E_INVALID_PARAM);
  COpenSSLKey badType;
  ASSERT_EQ(badType.importKey(ALG_RSA, 7, a, 16), ORVA_OK);
  EXPECT_EQ(badType.encrypt(data.data(), 16, out.data(), &len), ORVA_E_INVALID_CALL);
  COpenSSLKey badAlg;
  ASSERT_EQ(badAlg.importKey(5, ORVA_KEY_TYPE_PUBLIC, a, 16), ORVA_OK);
  EXPECT_EQ(badAlg.encrypt(data.data(), 16, out.data(), &len), ORVA_E_INVALID_CALL);
}

// Public keys taken from certificates encrypt what `openssl pkeyutl -decrypt` opens with the
// private key; private keys imported as DER open what the command line encrypted.
TEST(OpenSSLKey, PublicKeyEncryptionAgreesWithPkeyutl) {
  struct Row {
    const char* cert;
    const char* key;
    uint32_t alg;
    uint32_t minOut, maxOut;
  } rows[] = {
      {"rsa-exch", "rsa-exch", ALG_RSA, 256, 256},
      {"rsa-4096", "rsa-4096", ALG_RSA, 512, 512},
      {"sm2-exch", "sm2-exch", ALG_SM2, 24 + 97 + 8, 24 + 97 + 12},
  };
  std::string dir = orva::testing::MakeTempDir("pk");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.cert);
    Bytes cert = CertDer(r.cert);
    COpenSSLKey pub;
    EXPECT_EQ(pub.importKeyFromCert(3, cert.data(), static_cast<uint32_t>(cert.size())), ORVA_E_INVALID_CALL);
    EXPECT_EQ(pub.importKeyFromCert(2, cert.data(), 10), ORVA_E_CALL_FAILED);
    ASSERT_EQ(pub.importKeyFromCert(2, cert.data(), static_cast<uint32_t>(cert.size())), ORVA_OK);
    EXPECT_EQ(pub.get_KeyAlg(), r.alg);
    EXPECT_EQ(pub.get_KeyType(), ORVA_KEY_TYPE_PUBLIC);
    if (r.alg == ALG_SM2) { EXPECT_EQ(pub.get_KeyData().size(), 65u); }
    Bytes secret = RandomBytes(24);
    Bytes c = Crypt(pub, true, secret);
    EXPECT_GE(c.size(), r.minOut);
    EXPECT_LE(c.size(), r.maxOut);
    if (r.alg == ALG_SM2) { EXPECT_EQ(c[0], 0x30); }  // DER ciphertext of GM/T 0009
    WriteBytes(dir + "/c", c);
    RunOk({"openssl", "pkeyutl", "-decrypt", "-inkey", orva::testing::TestPkiKeyPath(r.key), "-in", dir + "/c",
         "-out", dir + "/p"});
    EXPECT_EQ(ReadBytes(dir + "/p"), secret);

    // The command line encrypts, our private key opens.
    WriteBytes(dir + "/s", secret);
    RunOk({"openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", orva::testing::TestPkiKeyPath(r.key, true), "-in",
         dir + "/s", "-out", dir + "/c2"});
    Bytes der = PrivateKeyDer(r.key);
    COpenSSLKey priv;
    ASSERT_EQ(priv.importKey(r.alg, ORVA_KEY_TYPE_PRIVATE, der.data(), static_cast<uint32_t>(der.size())), ORVA_OK);
    EXPECT_EQ(Crypt(priv, false, ReadBytes(dir + "/c2")), secret);
    // A damaged ciphertext fails.
    Bytes bad = ReadBytes(dir + "/c2");
    bad[bad.size() / 2] ^= 1;
    uint32_t res = ORVA_OK;
    Crypt(priv, false, bad, &res);
    EXPECT_EQ(res, ORVA_E_CALL_FAILED);
  }
  // Key data that does not decode, and an EC private key on another curve.
  COpenSSLKey junk;
  uint8_t j[40] = {0x30, 0x03};
  ASSERT_EQ(junk.importKey(ALG_RSA, ORVA_KEY_TYPE_PUBLIC, j, sizeof j), ORVA_OK);
  uint8_t out[600];
  uint32_t len = sizeof out;
  EXPECT_EQ(junk.encrypt(j, 16, out, &len), ORVA_E_CALL_FAILED);
  Bytes p256 = PrivateKeyDer("p256");
  COpenSSLKey ec;
  ASSERT_EQ(ec.importKey(ALG_SM2, ORVA_KEY_TYPE_PRIVATE, p256.data(), static_cast<uint32_t>(p256.size())), ORVA_OK);
  len = sizeof out;
  EXPECT_EQ(ec.decrypt(j, 40, out, &len), ORVA_E_CALL_FAILED);
}
