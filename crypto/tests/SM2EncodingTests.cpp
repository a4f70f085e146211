// SM2 ciphertext and signature encodings against ciphertexts made by OpenSSL for every
// plaintext length from 1 to 64, the repair of ciphertexts with stray zero bytes, and the
// length checks of every conversion.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cstring>
#include <functional>

#include "crypto/OpenSSLASN1.h"
#include "crypto/SM2CipherConvert.h"
#include "foundation/ResultCodes.h"
#include "platform/OpenSsl.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

namespace {

using Bytes = std::vector<uint8_t>;

orva::ossl::EvpPkeyPtr ReadKey(const std::string& key, bool bPublic) {
  std::string pem = orva::testing::ReadFile(orva::testing::TestPkiKeyPath(key, bPublic));
  orva::ossl::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* k = bPublic ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr)
                        : PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  EXPECT_NE(k, nullptr) << key;
  return orva::ossl::EvpPkeyPtr(k);
}

Bytes OpensslEncrypt(EVP_PKEY* pub, const Bytes& plain) {
  orva::ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(pub, nullptr));
  size_t n = 0;
  EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), nullptr, &n, plain.data(), plain.size()), 1);
  Bytes out(n);
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), out.data(), &n, plain.data(), plain.size()), 1);
  out.resize(n);
  return out;
}

Bytes OpensslDecrypt(EVP_PKEY* priv, const Bytes& der) {
  orva::ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(priv, nullptr));
  size_t n = 0;
  if (EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), nullptr, &n, der.data(), der.size()) != 1)
    return {};
  Bytes out(n);
  if (EVP_PKEY_decrypt(ctx.get(), out.data(), &n, der.data(), der.size()) != 1) return {};
  out.resize(n);
  return out;
}

// C1C3C2 read from OpenSSL's DER with OpenSSL's generic ASN.1 parser (coordinates padded to
// 32 bytes), independent of the conversions under test.
Bytes PlainFromDer(const Bytes& der) {
  const unsigned char* p = der.data();
  ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
  EXPECT_NE(seq, nullptr);
  Bytes out = {0x04};
  for (int i = 0; i < 2; ++i) {
    orva::ossl::BnPtr bn(ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(seq, i)->value.integer, nullptr));
    Bytes c(32);
    BN_bn2binpad(bn.get(), c.data(), 32);
    out.insert(out.end(), c.begin(), c.end());
  }
  for (int i = 2; i < 4; ++i) {
    const ASN1_OCTET_STRING* os = sk_ASN1_TYPE_value(seq, i)->value.octet_string;
    out.insert(out.end(), ASN1_STRING_get0_data(os), ASN1_STRING_get0_data(os) + ASN1_STRING_length(os));
  }
  sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
  return out;
}

// Runs a conversion with its size query first, then with a buffer of exactly that size.
Bytes Convert(const std::function<uint32_t(uint8_t*, uint32_t*)>& fn) {
  uint32_t len = 0;
  EXPECT_EQ(fn(nullptr, &len), ORVA_OK);
  Bytes out(len, 0xCC);
  EXPECT_EQ(fn(out.data(), &len), ORVA_OK);
  EXPECT_EQ(len, out.size());
  return out;
}

Bytes Blob(const Bytes& der) {
  return Convert([&](uint8_t* o, uint32_t* l) {
    return COpenSSLASN1::d2i_SM2Cipher(der.data(), static_cast<uint32_t>(der.size()), o, l);
  });
}
Bytes Plain(const Bytes& blob) {
  return Convert([&](uint8_t* o, uint32_t* l) {
    return CSM2CipherConvert::Raw2Normal(blob.data(), static_cast<uint32_t>(blob.size()), o, l);
  });
}
Bytes BlobFromPlain(const Bytes& plain) {
  return Convert([&](uint8_t* o, uint32_t* l) {
    return CSM2CipherConvert::Normal2Raw(plain.data(), static_cast<uint32_t>(plain.size()), o, l);
  });
}
Bytes Der(const Bytes& blob) {
  return Convert([&](uint8_t* o, uint32_t* l) {
    return COpenSSLASN1::i2d_SM2Cipher(blob.data(), static_cast<uint32_t>(blob.size()), o, l);
  });
}

Bytes RandomBytes(size_t n) {
  Bytes b(n);
  RAND_bytes(b.data(), static_cast<int>(n));
  return b;
}

class SM2Encoding : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_pub = ReadKey("sm2-exch", true).release();
    s_priv = ReadKey("sm2-exch", false).release();
  }
  static void TearDownTestSuite() {
    EVP_PKEY_free(s_pub);
    EVP_PKEY_free(s_priv);
  }
  // An OpenSSL ciphertext of a 16-byte key whose plain form satisfies `pred`.
  static Bytes Cipher16Where(const std::function<bool(const Bytes&)>& pred, Bytes& plainOut) {
    for (int i = 0; i < 2000; ++i) {
      Bytes der = OpensslEncrypt(s_pub, RandomBytes(16));
      Bytes plain = PlainFromDer(der);
      if (pred(plain)) {
        plainOut = plain;
        return der;
      }
    }
    ADD_FAILURE() << "no ciphertext found";
    return {};
  }
  static EVP_PKEY* s_pub;
  static EVP_PKEY* s_priv;
};
EVP_PKEY* SM2Encoding::s_pub = nullptr;
EVP_PKEY* SM2Encoding::s_priv = nullptr;

}  // namespace

// DER -> blob -> C1C3C2 -> blob -> DER returns OpenSSL's own bytes, and the DER we build
// decrypts, for every plaintext length from 1 to 64 (17 and 18 bytes give genuine 114- and
// 115-byte plain ciphertexts, which must not be "repaired").
TEST_F(SM2Encoding, RoundTripsForEveryLengthFrom1To64) {
  for (size_t n = 1; n <= 64; ++n) {
    SCOPED_TRACE(n);
    Bytes message = RandomBytes(n);
    Bytes der = OpensslEncrypt(s_pub, message);
    Bytes blob = Blob(der);
    ASSERT_EQ(blob.size(), 164 + n);
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 32), Bytes(32, 0));
    EXPECT_EQ(Bytes(blob.begin() + 64, blob.begin() + 96), Bytes(32, 0));
    EXPECT_EQ(blob[160] | (blob[161] << 8) | (blob[162] << 16) | (blob[163] << 24), static_cast<int>(n));
    Bytes plain = Plain(blob);
    EXPECT_EQ(plain, PlainFromDer(der));
    Bytes blob2 = BlobFromPlain(plain);
    EXPECT_EQ(blob2, blob);
    Bytes der2 = Der(blob2);
    EXPECT_EQ(der2, der);
    EXPECT_EQ(OpensslDecrypt(s_priv, der2), message);
  }
}

TEST_F(SM2Encoding, GenuineLengthsWithLeadingCoordinateBytesAreNotRepaired) {
  // A 17-byte plaintext whose X begins with a non-zero byte: the old rule took it as CASE2.
  for (size_t n : {17, 18}) {
    Bytes plain;
    for (int i = 0; i < 100; ++i) {
      plain = PlainFromDer(OpensslEncrypt(s_pub, RandomBytes(n)));
      if (plain[1] != 0 && plain[33] != 0) break;
    }
    ASSERT_EQ(plain.size(), 97 + n);
    Bytes blob = BlobFromPlain(plain);
    EXPECT_EQ(Plain(blob), plain) << n;
  }
}

TEST_F(SM2Encoding, StrayZeroBytesOfA16ByteKeyAreRepaired) {
  Bytes plain;
  struct Case {
    const char* name;
    size_t len;
    std::function<bool(const Bytes&)> pred;
    std::function<Bytes(const Bytes&)> damage;
  } cases[] = {
      // A zero byte before Y (X begins with a non-zero byte).
      {"CASE2", 114, [](const Bytes& p) { return p[1] != 0; },
       [](const Bytes& p) {
         Bytes d(p.begin(), p.begin() + 33);
         d.push_back(0);
         d.insert(d.end(), p.begin() + 33, p.end());
         return d;
       }},
      // A zero byte before X (X ends with a non-zero byte).
      {"CASE3", 114, [](const Bytes& p) { return p[32] != 0 && p[1] != 0; },
       [](const Bytes& p) {
         Bytes d = {0x04, 0x00};
         d.insert(d.end(), p.begin() + 1, p.end());
         return d;
       }},
      // Zero bytes before both coordinates.
      {"CASE1", 115, [](const Bytes&) { return true; },
       [](const Bytes& p) {
         Bytes d = {0x04, 0x00};
         d.insert(d.end(), p.begin() + 1, p.begin() + 33);
         d.push_back(0);
         d.insert(d.end(), p.begin() + 33, p.end());
         return d;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes der = Cipher16Where(c.pred, plain);
    ASSERT_EQ(plain.size(), 113u);
    Bytes blob = Blob(der);
    EXPECT_EQ(BlobFromPlain(plain), blob);
    Bytes damaged = c.damage(plain);
    ASSERT_EQ(damaged.size(), c.len);
    Bytes repaired = BlobFromPlain(damaged);
    EXPECT_EQ(repaired, blob);
    EXPECT_EQ(OpensslDecrypt(s_priv, Der(repaired)).size(), 16u);
  }
}

TEST(SM2EncodingErrors, CipherConversionsCheckEveryLength) {
  Bytes blob(164 + 20, 0x11);
  blob[160] = 20, blob[161] = blob[162] = blob[163] = 0;
  uint32_t len = 0;
  auto raw2normal = [&](const Bytes& b, uint32_t inLen) {
    uint32_t l = 1000;
    Bytes out(1000);
    return CSM2CipherConvert::Raw2Normal(b.data(), inLen, out.data(), &l);
  };
  auto withCipherLen = [&](uint32_t v) {
    Bytes b = blob;
    b[160] = static_cast<uint8_t>(v), b[161] = static_cast<uint8_t>(v >> 8);
    b[162] = static_cast<uint8_t>(v >> 16), b[163] = static_cast<uint8_t>(v >> 24);
    return b;
  };
  EXPECT_EQ(raw2normal(blob, static_cast<uint32_t>(blob.size())), ORVA_OK);
  EXPECT_EQ(raw2normal(blob, 163), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(raw2normal(blob, static_cast<uint32_t>(blob.size() - 1)), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(raw2normal(withCipherLen(21), static_cast<uint32_t>(blob.size())), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(raw2normal(withCipherLen(0xFFFFFFFF), static_cast<uint32_t>(blob.size())), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(raw2normal(withCipherLen(0xFFFFFF5C), static_cast<uint32_t>(blob.size())), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(CSM2CipherConvert::Raw2Normal(nullptr, 184, nullptr, &len), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CSM2CipherConvert::Raw2Normal(blob.data(), 0, nullptr, &len), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CSM2CipherConvert::Raw2Normal(blob.data(), 184, nullptr, nullptr), ORVA_E_INVALID_PARAM);
  // A short output buffer is refused and left untouched.
  Bytes out(116, 0xCC);
  len = 116;
  EXPECT_EQ(CSM2CipherConvert::Raw2Normal(blob.data(), 184, out.data(), &len), ORVA_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(out, Bytes(116, 0xCC));

  Bytes plain(97 + 20, 0x22);
  plain[0] = 0x04;
  auto normal2raw = [&](const Bytes& p, uint32_t inLen, uint32_t cap) {
    Bytes o(cap + 1, 0xCC);
    uint32_t l = cap;
    uint32_t r = CSM2CipherConvert::Normal2Raw(p.data(), inLen, o.data(), &l);
    EXPECT_EQ(o[cap], 0xCC);  // nothing past the capacity
    return r;
  };
  EXPECT_EQ(normal2raw(plain, 117, 184), ORVA_OK);
  EXPECT_EQ(normal2raw(plain, 97, 164), ORVA_OK);  // an empty cipher part
  EXPECT_EQ(normal2raw(plain, 96, 1000), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(normal2raw(plain, 1, 1000), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(normal2raw(plain, 117, 183), ORVA_E_BUFFER_TOO_SMALL);
  Bytes noMarker = plain;
  noMarker[0] = 0x02;
  EXPECT_EQ(normal2raw(noMarker, 117, 1000), ORVA_E_BAD_INPUT);
  EXPECT_EQ(CSM2CipherConvert::Normal2Raw(plain.data(), 117, nullptr, nullptr), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CSM2CipherConvert::Normal2Raw(nullptr, 117, nullptr, &len), ORVA_E_INVALID_PARAM);

  // i2d: CipherLen 0, short or inconsistent blobs.
  Bytes empty(164, 0x11);
  empty[160] = empty[161] = empty[162] = empty[163] = 0;
  EXPECT_EQ(COpenSSLASN1::i2d_SM2Cipher(empty.data(), 164, nullptr, &len), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(COpenSSLASN1::i2d_SM2Cipher(blob.data(), 183, nullptr, &len), ORVA_E_BAD_INPUT_LENGTH);
  EXPECT_EQ(COpenSSLASN1::i2d_SM2Cipher(blob.data(), 100, nullptr, &len), ORVA_E_BAD_INPUT_LENGTH);
  ASSERT_EQ(COpenSSLASN1::i2d_SM2Cipher(blob.data(), 184, nullptr, &len), ORVA_OK);
  Bytes der(len);
  uint32_t shortLen = len - 1;
  EXPECT_EQ(COpenSSLASN1::i2d_SM2Cipher(blob.data(), 184, der.data(), &shortLen), ORVA_E_BUFFER_TOO_SMALL);
}

namespace {

// DER of SEQUENCE { INTEGER x, INTEGER y, OCTET STRING hash, OCTET STRING ct } from raw parts.
Bytes Tlv(uint8_t tag, const Bytes& v) {
  Bytes out = {tag};
  if (v.size() < 128) {
    out.push_back(static_cast<uint8_t>(v.size()));
  } else {
    out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(v.size()));
  }
  out.insert(out.end(), v.begin(), v.end());
  return out;
}

Bytes CipherDer(const Bytes& x, const Bytes& y, const Bytes& hash, const Bytes& ct, const Bytes& tail = {}) {
  Bytes body;
  for (const Bytes& part : {Tlv(0x02, x), Tlv(0x02, y), Tlv(0x04, hash), Tlv(0x04, ct)})
    body.insert(body.end(), part.begin(), part.end());
  Bytes out = Tlv(0x30, body);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

}  // namespace

TEST(SM2EncodingErrors, DerCiphertextsMustBeExact) {
  Bytes x(32, 0x21), y(32, 0x22), hash(32, 0x33), ct(10, 0x44);
  struct Row {
    const char* name;
    Bytes der;
    uint32_t res;
  } rows[] = {
      {"good", CipherDer(x, y, hash, ct), ORVA_OK},
      {"short coordinate", CipherDer(Bytes(31, 0x21), y, hash, ct), ORVA_OK},
      {"hash of 31 bytes", CipherDer(x, y, Bytes(31, 0x33), ct), ORVA_E_SET_INTEGER},
      {"hash of 33 bytes", CipherDer(x, y, Bytes(33, 0x33), ct), ORVA_E_SET_INTEGER},
      {"empty ciphertext", CipherDer(x, y, hash, {}), ORVA_E_SET_INTEGER},
      {"x of 33 bytes", CipherDer(Bytes(33, 0x21), y, hash, ct), ORVA_E_SET_INTEGER},
      {"negative y", CipherDer(x, Bytes(32, 0x92), hash, ct), ORVA_E_SET_INTEGER},
      {"zero x", CipherDer({0x00}, y, hash, ct), ORVA_E_SET_INTEGER},
      {"trailing byte", CipherDer(x, y, hash, ct, {0x00}), ORVA_E_SET_INTEGER},
      {"truncated", [&] { Bytes b = CipherDer(x, y, hash, ct); b.pop_back(); return b; }(), ORVA_E_SET_INTEGER},
      {"not a sequence", Bytes{0x04, 0x01, 0x00}, ORVA_E_SET_INTEGER},
  };
  for (const Row& r : rows) {
    uint32_t len = 0;
    EXPECT_EQ(COpenSSLASN1::d2i_SM2Cipher(r.der.data(), static_cast<uint32_t>(r.der.size()), nullptr, &len), r.res)
        << r.name;
  }
  Bytes good = CipherDer(Bytes(31, 0x21), y, hash, ct);
  Bytes blob = Blob(good);
  ASSERT_EQ(blob.size(), 174u);
  EXPECT_EQ(blob[32], 0);  // a 31-byte x is right-aligned
  EXPECT_EQ(blob[33], 0x21);
  uint32_t len = 173;
  EXPECT_EQ(COpenSSLASN1::d2i_SM2Cipher(good.data(), static_cast<uint32_t>(good.size()), blob.data(), &len),
            ORVA_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(COpenSSLASN1::d2i_SM2Cipher(nullptr, 10, nullptr, &len), ORVA_E_INVALID_PARAM);
}

TEST(SM2Signature, RecordAndDerConvertBothWays) {
  auto record = [](uint8_t rFirst, uint8_t sFirst) {
    ORVA_SM2_SIGNATURE sig{};
    sig.ulBits = 256;
    std::memset(sig.r + 32, 0x5A, 32);
    std::memset(sig.s + 32, 0x6B, 32);
    sig.r[32] = rFirst;
    sig.s[32] = sFirst;
    return sig;
  };
  auto der = [](const ORVA_SM2_SIGNATURE& sig) {
    return Convert([&](uint8_t* o, uint32_t* l) { return COpenSSLASN1::i2d_SM2Signature(&sig, o, l); });
  };
  // A value whose top bit is set becomes a 33-byte INTEGER.
  EXPECT_EQ(der(record(0x11, 0x22)).size(), 70u);
  Bytes d = der(record(0x91, 0x22));
  EXPECT_EQ(d.size(), 71u);
  EXPECT_EQ(d[3], 0x21);
  EXPECT_EQ(d[4], 0x00);
  EXPECT_EQ(der(record(0x91, 0xA2)).size(), 72u);
  EXPECT_EQ(der(record(0x00, 0x22)).size(), 69u);  // minimal: the leading zero byte goes

  for (uint8_t first : {0x00, 0x11, 0x91}) {
    ORVA_SM2_SIGNATURE in = record(first, 0xA2), out;
    std::memset(&out, 0xEE, sizeof out);
    Bytes enc = der(in);
    ASSERT_EQ(COpenSSLASN1::d2i_SM2Signature(enc.data(), static_cast<uint32_t>(enc.size()), &out), ORVA_OK);
    EXPECT_EQ(std::memcmp(&in, &out, sizeof in), 0) << int(first);
  }

  ORVA_SM2_SIGNATURE bad = record(1, 1);
  uint32_t len = 0;
  bad.ulBits = 128;
  EXPECT_EQ(COpenSSLASN1::i2d_SM2Signature(&bad, nullptr, &len), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(COpenSSLASN1::i2d_SM2Signature(nullptr, nullptr, &len), ORVA_E_INVALID_PARAM);
  bad.ulBits = 512;
  std::memset(bad.r, 0x01, 64);
  Bytes wide = der(bad);
  ORVA_SM2_SIGNATURE back{};
  ASSERT_EQ(COpenSSLASN1::d2i_SM2Signature(wide.data(), static_cast<uint32_t>(wide.size()), &back), ORVA_OK);
  EXPECT_EQ(uint32_t{back.ulBits}, 512u);
  EXPECT_EQ(std::memcmp(back.r, bad.r, 64), 0);

  auto sigDer = [](const Bytes& r, const Bytes& s) {
    Bytes body = Tlv(0x02, r);
    Bytes ss = Tlv(0x02, s);
    body.insert(body.end(), ss.begin(), ss.end());
    return Tlv(0x30, body);
  };
  struct Row {
    const char* name;
    Bytes der;
    uint32_t res;
  } rows[] = {
      {"good", sigDer(Bytes(32, 0x11), Bytes(32, 0x22)), ORVA_OK},
      {"r of 65 bytes", sigDer(Bytes(65, 0x11), Bytes(32, 0x22)), ORVA_E_SET_INTEGER},
      {"negative r", sigDer(Bytes(32, 0x91), Bytes(32, 0x22)), ORVA_E_SET_INTEGER},
      {"zero s", sigDer(Bytes(32, 0x11), {0x00}), ORVA_E_SET_INTEGER},
      {"trailing", [&] { Bytes b = sigDer(Bytes(32, 0x11), Bytes(32, 0x22)); b.push_back(0); return b; }(),
       ORVA_E_SET_INTEGER},
      {"one value", Tlv(0x30, Tlv(0x02, Bytes(32, 0x11))), ORVA_E_SET_INTEGER},
  };
  for (const Row& r : rows) {
    ORVA_SM2_SIGNATURE out;
    EXPECT_EQ(COpenSSLASN1::d2i_SM2Signature(r.der.data(), static_cast<uint32_t>(r.der.size()), &out), r.res)
        << r.name;
  }
  ORVA_SM2_SIGNATURE out;
  EXPECT_EQ(COpenSSLASN1::d2i_SM2Signature(nullptr, 10, &out), ORVA_E_INVALID_PARAM);
}
