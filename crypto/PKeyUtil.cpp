#include "crypto/PKeyUtil.h"

#include "foundation/DeviceTypes.h"

namespace orva::crypto {

uint32_t PkeyKind(const EVP_PKEY* pkey) {
  if (pkey == nullptr) return 0;
  if (EVP_PKEY_is_a(pkey, "RSA")) return ALG_RSA;
  if (EVP_PKEY_is_a(pkey, "SM2")) return ALG_SM2;
  return 0;
}

orva::ossl::X509Ptr DecodeCert(const uint8_t* pbDer, uint32_t ulLen) {
  if (pbDer == nullptr || ulLen == 0 || ulLen > 0x7fffffff) return nullptr;
  const unsigned char* p = pbDer;
  orva::ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(ulLen)));
  if (!x) ERR_clear_error();
  return x;
}

namespace {
bool PkeyCrypt(bool bEncrypt, EVP_PKEY* pkey, const uint8_t* in, size_t inLen,
               std::vector<uint8_t>& out) {
  orva::ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey, nullptr));
  size_t n = 0;
  bool ok = ctx && (bEncrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) == 1 &&
            (bEncrypt ? EVP_PKEY_encrypt(ctx.get(), nullptr, &n, in, inLen)
                      : EVP_PKEY_decrypt(ctx.get(), nullptr, &n, in, inLen)) == 1;
  if (ok) {
    out.assign(n, 0);
    ok = (bEncrypt ? EVP_PKEY_encrypt(ctx.get(), out.data(), &n, in, inLen)
                   : EVP_PKEY_decrypt(ctx.get(), out.data(), &n, in, inLen)) == 1;
  }
  if (!ok) {
    ERR_clear_error();
    out.clear();
    return false;
  }
  out.resize(n);
  return true;
}
}  // namespace

bool PkeyEncrypt(EVP_PKEY* pkey, const uint8_t* in, size_t inLen, std::vector<uint8_t>& out) {
  return PkeyCrypt(true, pkey, in, inLen, out);
}
bool PkeyDecrypt(EVP_PKEY* pkey, const uint8_t* in, size_t inLen, std::vector<uint8_t>& out) {
  return PkeyCrypt(false, pkey, in, inLen, out);
}

uint32_t DigestAlgOfNid(int nid) {
  switch (nid) {
    case NID_md5: return HASH_MD5;
    case NID_sha1: return HASH_SHA1;
    case NID_sha256: return HASH_SHA256;
    case NID_sha384: return HASH_SHA384;
    case NID_sha512: return HASH_SHA512;
    case NID_sm3: return HASH_SM3;
    default: return 0;
  }
}

int DigestNidOf(uint32_t ulAlg) {
  switch (ulAlg) {
    case HASH_MD5: return NID_md5;
    case HASH_SHA1: return NID_sha1;
    case HASH_SHA256: return NID_sha256;
    case HASH_SM3: return NID_sm3;
    default: return NID_undef;
  }
}

}  // namespace orva::crypto
