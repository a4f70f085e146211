// The software token's cryptography over OpenSSL 3: SM2 keys, signatures over digests,
// SM2 encryption in the GM/T 0016 cipher blob, RSA PKCS#1 v1.5, the SM3 Z value, and the
// symmetric ciphers by SKF algorithm identifier.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/asn1.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>

#include "tools/softskf/SoftToken.h"

namespace softskf::crypto {

namespace {

struct BnFree {
  void operator()(BIGNUM* p) const { BN_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const { BIO_free_all(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct ParamBldFree {
  void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
};
struct ParamFree {
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
struct GroupFree {
  void operator()(EC_GROUP* p) const { EC_GROUP_free(p); }
};
struct PointFree {
  void operator()(EC_POINT* p) const { EC_POINT_free(p); }
};
struct SigFree {
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
struct AnySeqFree {
  void operator()(ASN1_SEQUENCE_ANY* p) const { sk_ASN1_TYPE_pop_free(p, ASN1_TYPE_free); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, ParamFree>;
using GroupPtr = std::unique_ptr<EC_GROUP, GroupFree>;
using PointPtr = std::unique_ptr<EC_POINT, PointFree>;
using SigPtr = std::unique_ptr<ECDSA_SIG, SigFree>;
using AnySeqPtr = std::unique_ptr<ASN1_SEQUENCE_ANY, AnySeqFree>;

PkeyCtxPtr CtxFor(EVP_PKEY* k) { return PkeyCtxPtr(EVP_PKEY_CTX_new_from_pkey(nullptr, k, nullptr)); }

// 04 || X || Y of an SM2 public point from a blob (right-aligned 32-byte values).
void PointFromBlob(const ECCPUBLICKEYBLOB* blob, uint8_t point[65]) {
  point[0] = 0x04;
  std::memcpy(point + 1, blob->XCoordinate + 32, 32);
  std::memcpy(point + 33, blob->YCoordinate + 32, 32);
}

PkeyPtr FromParams(const char* alg, int selection, OSSL_PARAM* params) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, alg, nullptr));
  EVP_PKEY* k = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &k, selection, params) != 1)
    return nullptr;
  return PkeyPtr(k);
}

bool BnToPad(const BIGNUM* bn, uint8_t* out, int len) { return BN_bn2binpad(bn, out, len) == len; }

}  // namespace

PkeyPtr GenSm2() { return PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")); }

PkeyPtr GenRsa(ULONG bits) {
  return PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
}

ULONG KeyType(EVP_PKEY* k) {
  if (k == nullptr) return SKF_CONTAINER_EMPTY;
  if (EVP_PKEY_is_a(k, "SM2")) return SKF_CONTAINER_ECC;
  if (EVP_PKEY_is_a(k, "RSA")) return SKF_CONTAINER_RSA;
  return SKF_CONTAINER_EMPTY;
}

bool Sm2ToBlob(EVP_PKEY* k, ECCPUBLICKEYBLOB* blob) {
  uint8_t point[65];
  size_t len = 0;
  if (EVP_PKEY_get_octet_string_param(k, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &len) != 1 ||
      len != 65 || point[0] != 0x04)
    return false;
  std::memset(blob, 0, sizeof *blob);
  blob->BitLen = 256;
  std::memcpy(blob->XCoordinate + 32, point + 1, 32);
  std::memcpy(blob->YCoordinate + 32, point + 33, 32);
  return true;
}

PkeyPtr Sm2FromBlob(const ECCPUBLICKEYBLOB* blob) {
  // The coordinates are 256-bit values: the left halves of the fields must be zero.
  for (int i = 0; i < 32; ++i)
    if (blob->XCoordinate[i] || blob->YCoordinate[i]) return nullptr;
  uint8_t point[65];
  PointFromBlob(blob, point);
  ParamBldPtr bld(OSSL_PARAM_BLD_new());
  if (!bld ||
      OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point) != 1)
    return nullptr;
  ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  if (!params) return nullptr;
  return FromParams("SM2", EVP_PKEY_PUBLIC_KEY, params.get());
}

PkeyPtr Sm2FromPrivate(const uint8_t* d32) {
  GroupPtr group(EC_GROUP_new_by_curve_name(NID_sm2));
  BnPtr d(BN_bin2bn(d32, 32, nullptr));
  if (!group || !d || BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0)
    return nullptr;
  PointPtr pub(EC_POINT_new(group.get()));
  uint8_t point[65];
  if (!pub || EC_POINT_mul(group.get(), pub.get(), d.get(), nullptr, nullptr, nullptr) != 1 ||
      EC_POINT_point2oct(group.get(), pub.get(), POINT_CONVERSION_UNCOMPRESSED, point, sizeof point,
                         nullptr) != sizeof point)
    return nullptr;
  ParamBldPtr bld(OSSL_PARAM_BLD_new());
  if (!bld ||
      OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point) != 1)
    return nullptr;
  ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  if (!params) return nullptr;
  return FromParams("SM2", EVP_PKEY_KEYPAIR, params.get());
}

bool RsaToBlob(EVP_PKEY* k, RSAPUBLICKEYBLOB* blob) {
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  bool ok = EVP_PKEY_get_bn_param(k, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
            EVP_PKEY_get_bn_param(k, OSSL_PKEY_PARAM_RSA_E, &e) == 1;
  BnPtr nOwn(n), eOwn(e);
  if (!ok || BN_num_bytes(n) > MAX_RSA_MODULUS_LEN || BN_num_bytes(e) > MAX_RSA_EXPONENT_LEN)
    return false;
  std::memset(blob, 0, sizeof *blob);
  blob->AlgID = SGD_RSA;
  blob->BitLen = static_cast<ULONG>(BN_num_bits(n));
  return BnToPad(n, blob->Modulus, MAX_RSA_MODULUS_LEN) &&
         BnToPad(e, blob->PublicExponent, MAX_RSA_EXPONENT_LEN);
}

PkeyPtr RsaFromBlob(const RSAPUBLICKEYBLOB* blob) {
  if (blob->BitLen == 0 || blob->BitLen > 8 * MAX_RSA_MODULUS_LEN || blob->BitLen % 8) return nullptr;
  BnPtr n(BN_bin2bn(blob->Modulus, MAX_RSA_MODULUS_LEN, nullptr));
  BnPtr e(BN_bin2bn(blob->PublicExponent, MAX_RSA_EXPONENT_LEN, nullptr));
  if (!n || !e || BN_is_zero(e.get()) || static_cast<ULONG>(BN_num_bits(n.get())) != blob->BitLen)
    return nullptr;
  ParamBldPtr bld(OSSL_PARAM_BLD_new());
  if (!bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
    return nullptr;
  ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  if (!params) return nullptr;
  return FromParams("RSA", EVP_PKEY_PUBLIC_KEY, params.get());
}

bool Sm2SignDigest(EVP_PKEY* k, const uint8_t* dgst, size_t len, ECCSIGNATUREBLOB* sig) {
  PkeyCtxPtr ctx = CtxFor(k);
  uint8_t der[80];
  size_t derLen = sizeof der;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_sign(ctx.get(), der, &derLen, dgst, len) != 1)
    return false;
  const uint8_t* p = der;
  SigPtr s(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLen)));
  if (!s) return false;
  std::memset(sig, 0, sizeof *sig);
  return BnToPad(ECDSA_SIG_get0_r(s.get()), sig->r + 32, 32) &&
         BnToPad(ECDSA_SIG_get0_s(s.get()), sig->s + 32, 32);
}

bool Sm2VerifyDigest(EVP_PKEY* k, const uint8_t* dgst, size_t len, const ECCSIGNATUREBLOB* sig) {
  for (int i = 0; i < 32; ++i)
    if (sig->r[i] || sig->s[i]) return false;
  SigPtr s(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(sig->r + 32, 32, nullptr);
  BIGNUM* sv = BN_bin2bn(sig->s + 32, 32, nullptr);
  if (!s || !r || !sv || ECDSA_SIG_set0(s.get(), r, sv) != 1) {
    BN_free(r);
    BN_free(sv);
    return false;
  }
  uint8_t* der = nullptr;
  int derLen = i2d_ECDSA_SIG(s.get(), &der);
  if (derLen <= 0) return false;
  PkeyCtxPtr ctx = CtxFor(k);
  bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
            EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(derLen), dgst, len) == 1;
  OPENSSL_free(der);
  return ok;
}

// SM2 ciphertext DER (GM/T 0009: x, y, C3, C2) <-> cipher blob.
bool Sm2Encrypt(EVP_PKEY* k, const uint8_t* in, size_t len, Bytes& blob) {
  PkeyCtxPtr ctx = CtxFor(k);
  size_t outLen = 0;
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), nullptr, &outLen, in, len) != 1)
    return false;
  Bytes der(outLen);
  if (EVP_PKEY_encrypt(ctx.get(), der.data(), &outLen, in, len) != 1) return false;
  const uint8_t* p = der.data();
  AnySeqPtr seq(d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(outLen)));
  if (!seq || sk_ASN1_TYPE_num(seq.get()) != 4) return false;
  ASN1_TYPE* x = sk_ASN1_TYPE_value(seq.get(), 0);
  ASN1_TYPE* y = sk_ASN1_TYPE_value(seq.get(), 1);
  ASN1_TYPE* h = sk_ASN1_TYPE_value(seq.get(), 2);
  ASN1_TYPE* c = sk_ASN1_TYPE_value(seq.get(), 3);
  if (x->type != V_ASN1_INTEGER || y->type != V_ASN1_INTEGER || h->type != V_ASN1_OCTET_STRING ||
      c->type != V_ASN1_OCTET_STRING || ASN1_STRING_length(h->value.octet_string) != 32 ||
      static_cast<size_t>(ASN1_STRING_length(c->value.octet_string)) != len)
    return false;
  BnPtr bx(ASN1_INTEGER_to_BN(x->value.integer, nullptr));
  BnPtr by(ASN1_INTEGER_to_BN(y->value.integer, nullptr));
  blob.assign(SKF_ECCCIPHERBLOB_HEADER + len, 0);
  if (!bx || !by || !BnToPad(bx.get(), blob.data() + 32, 32) || !BnToPad(by.get(), blob.data() + 96, 32))
    return false;
  std::memcpy(blob.data() + 128, ASN1_STRING_get0_data(h->value.octet_string), 32);
  ULONG cl = static_cast<ULONG>(len);
  std::memcpy(blob.data() + 160, &cl, 4);
  std::memcpy(blob.data() + 164, ASN1_STRING_get0_data(c->value.octet_string), len);
  return true;
}

bool Sm2Decrypt(EVP_PKEY* k, const ECCCIPHERBLOB* blob, size_t blobLen, Bytes& out) {
  if (blobLen < SKF_ECCCIPHERBLOB_HEADER) return false;
  ULONG cl = blob->CipherLen;
  if (cl == 0 || cl > blobLen - SKF_ECCCIPHERBLOB_HEADER) return false;
  for (int i = 0; i < 32; ++i)
    if (blob->XCoordinate[i] || blob->YCoordinate[i]) return false;
  AnySeqPtr seq(sk_ASN1_TYPE_new_null());
  auto push = [&](int type, const uint8_t* data, int n) {
    ASN1_TYPE* t = ASN1_TYPE_new();
    if (t == nullptr) return false;
    if (type == V_ASN1_INTEGER) {
      BnPtr bn(BN_bin2bn(data, n, nullptr));
      ASN1_INTEGER* ai = bn ? BN_to_ASN1_INTEGER(bn.get(), nullptr) : nullptr;
      if (ai == nullptr) {
        ASN1_TYPE_free(t);
        return false;
      }
      ASN1_TYPE_set(t, V_ASN1_INTEGER, ai);
    } else {
      ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
      if (os == nullptr || ASN1_OCTET_STRING_set(os, data, n) != 1) {
        ASN1_OCTET_STRING_free(os);
        ASN1_TYPE_free(t);
        return false;
      }
      ASN1_TYPE_set(t, V_ASN1_OCTET_STRING, os);
    }
    if (sk_ASN1_TYPE_push(seq.get(), t) <= 0) {
      ASN1_TYPE_free(t);
      return false;
    }
    return true;
  };
  if (!seq || !push(V_ASN1_INTEGER, blob->XCoordinate + 32, 32) ||
      !push(V_ASN1_INTEGER, blob->YCoordinate + 32, 32) || !push(V_ASN1_OCTET_STRING, blob->HASH, 32) ||
      !push(V_ASN1_OCTET_STRING, blob->Cipher, static_cast<int>(cl)))
    return false;
  uint8_t* der = nullptr;
  int derLen = i2d_ASN1_SEQUENCE_ANY(seq.get(), &der);
  if (derLen <= 0) return false;
  PkeyCtxPtr ctx = CtxFor(k);
  size_t outLen = 0;
  bool ok = ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
            EVP_PKEY_decrypt(ctx.get(), nullptr, &outLen, der, static_cast<size_t>(derLen)) == 1;
  if (ok) {
    out.assign(outLen, 0);
    ok = EVP_PKEY_decrypt(ctx.get(), out.data(), &outLen, der, static_cast<size_t>(derLen)) == 1;
    out.resize(ok ? outLen : 0);
  }
  OPENSSL_free(der);
  return ok;
}

bool RsaSignRaw(EVP_PKEY* k, const uint8_t* in, size_t len, Bytes& sig) {
  PkeyCtxPtr ctx = CtxFor(k);
  size_t sigLen = 0;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &sigLen, in, len) != 1)
    return false;
  sig.assign(sigLen, 0);
  if (EVP_PKEY_sign(ctx.get(), sig.data(), &sigLen, in, len) != 1) return false;
  sig.resize(sigLen);
  return true;
}

bool RsaVerifyRaw(EVP_PKEY* k, const uint8_t* in, size_t len, const uint8_t* sig, size_t sigLen) {
  PkeyCtxPtr ctx = CtxFor(k);
  return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_verify(ctx.get(), sig, sigLen, in, len) == 1;
}

bool RsaEncrypt(EVP_PKEY* k, const uint8_t* in, size_t len, Bytes& out) {
  PkeyCtxPtr ctx = CtxFor(k);
  size_t outLen = 0;
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), nullptr, &outLen, in, len) != 1)
    return false;
  out.assign(outLen, 0);
  if (EVP_PKEY_encrypt(ctx.get(), out.data(), &outLen, in, len) != 1) return false;
  out.resize(outLen);
  return true;
}

bool RsaDecrypt(EVP_PKEY* k, const uint8_t* in, size_t len, Bytes& out) {
  PkeyCtxPtr ctx = CtxFor(k);
  size_t outLen = 0;
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), nullptr, &outLen, in, len) != 1)
    return false;
  out.assign(outLen, 0);
  if (EVP_PKEY_decrypt(ctx.get(), out.data(), &outLen, in, len) != 1) return false;
  out.resize(outLen);
  return true;
}

const EVP_CIPHER* CipherFor(ULONG algId, size_t* keyLen) {
  *keyLen = 16;
  switch (algId) {
    case SGD_SM4_ECB: return EVP_sm4_ecb();
    case SGD_SM4_CBC: return EVP_sm4_cbc();
    case SGD_AES128_CBC: return EVP_aes_128_cbc();
    case SGD_AES128_ECB: return EVP_aes_128_ecb();
    case SGD_AES192_CBC: *keyLen = 24; return EVP_aes_192_cbc();
    case SGD_AES192_ECB: *keyLen = 24; return EVP_aes_192_ecb();
    case SGD_AES256_CBC: *keyLen = 32; return EVP_aes_256_cbc();
    case SGD_AES256_ECB: *keyLen = 32; return EVP_aes_256_ecb();
    default: return nullptr;  // SM1 and SSF33 exist only in hardware
  }
}

bool Sm3Z(const ECCPUBLICKEYBLOB* pub, const uint8_t* id, size_t idLen, uint8_t z[32]) {
  if (idLen > 8191) return false;
  GroupPtr group(EC_GROUP_new_by_curve_name(NID_sm2));
  BnPtr p(BN_new()), a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
  if (!group || !p || !a || !b || !gx || !gy ||
      EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), nullptr) != 1 ||
      EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()), gx.get(),
                                      gy.get(), nullptr) != 1)
    return false;
  uint8_t buf[2 + 32 * 6];
  uint16_t entl = static_cast<uint16_t>(idLen * 8);
  uint8_t entlBytes[2] = {static_cast<uint8_t>(entl >> 8), static_cast<uint8_t>(entl)};
  if (!BnToPad(a.get(), buf, 32) || !BnToPad(b.get(), buf + 32, 32) || !BnToPad(gx.get(), buf + 64, 32) ||
      !BnToPad(gy.get(), buf + 96, 32))
    return false;
  std::memcpy(buf + 128, pub->XCoordinate + 32, 32);
  std::memcpy(buf + 160, pub->YCoordinate + 32, 32);
  MdCtxPtr md(EVP_MD_CTX_new());
  unsigned int zl = 0;
  return md && EVP_DigestInit_ex(md.get(), EVP_sm3(), nullptr) == 1 &&
         EVP_DigestUpdate(md.get(), entlBytes, 2) == 1 &&
         (idLen == 0 || EVP_DigestUpdate(md.get(), id, idLen) == 1) &&
         EVP_DigestUpdate(md.get(), buf, 192) == 1 && EVP_DigestFinal_ex(md.get(), z, &zl) == 1 &&
         zl == 32;
}

std::string KeyToPem(EVP_PKEY* k) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), k, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return {};
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

PkeyPtr KeyFromPem(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  PkeyPtr k(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (k && KeyType(k.get()) == SKF_CONTAINER_EMPTY) return nullptr;
  return k;
}

bool SameKey(EVP_PKEY* a, EVP_PKEY* b) { return a && b && EVP_PKEY_eq(a, b) == 1; }

}  // namespace softskf::crypto
