// The software crypto paths against OpenSSL doing the same work by hand, in one run:
//   hashing 64 MiB with SM3 and SHA-256 through COpenSSLMsgHash vs raw EVP (1 MiB updates);
//   sealing 16 MiB with SM4-CBC through COpenSSLMsgEncrypt vs raw EVP (1 MiB pieces, both
//   writing to the same discarding stream; ours also makes and wraps the session key);
//   SM2 and RSA-2048 verification through COpenSSLDigestVerify vs parse-certificate, take-key,
//   verify by hand; plus the parse and the verification alone, to judge a parsed-key cache.
// Keys and certificates are made here; nothing is read from disk.
//   build/bench/crypto_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <memory>
#include <vector>

#include "certificates/X509Certificate.h"
#include "crypto/OpenSSLDigestVerify.h"
#include "crypto/OpenSSLMsgEncrypt.h"
#include "crypto/OpenSSLMsgHash.h"
#include "foundation/DeviceTypes.h"
#include "foundation/Stream.h"
#include "platform/OpenSsl.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kPiece = 1 << 20;

const Bytes& Data(size_t n) {
  static Bytes data;
  if (data.size() < n) {
    data.resize(n);
    RAND_bytes(data.data(), static_cast<int>(n));
  }
  return data;
}

// A stream that counts and drops what is written.
class NullStream : public IStream {
 public:
  uint32_t Read(void*, uint32_t, uint32_t* pcb) override {
    if (pcb) *pcb = 0;
    return 0;
  }
  uint32_t Write(const void*, uint32_t cb, uint32_t* pcb) override {
    m_total += cb;
    if (pcb) *pcb = cb;
    return 0;
  }
  uint32_t Seek(int64_t, uint32_t, uint64_t* p) override {
    if (p) *p = m_total;
    return 0;
  }
  uint32_t Commit(uint32_t) override { return 0; }
  uint64_t m_total = 0;
};

struct Signer {
  orva::ossl::EvpPkeyPtr key;
  Bytes certDer;
  Bytes digest;  // 32 bytes
  Bytes sig;
};

// A certificate for `key` (signed by an RSA key: the certificate's own signature is not checked)
// and a signature over a 32-byte digest.
Signer MakeSigner(bool bSm2) {
  Signer s;
  s.key.reset(bSm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2") : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
  static orva::ossl::EvpPkeyPtr issuer(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
  orva::ossl::X509Ptr x(X509_new());
  X509_set_version(x.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 1);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
  X509_set_issuer_name(x.get(), X509_get_subject_name(x.get()));
  X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
  X509_set_pubkey(x.get(), s.key.get());
  X509_sign(x.get(), issuer.get(), EVP_sha256());
  unsigned char* der = nullptr;
  int n = i2d_X509(x.get(), &der);
  s.certDer.assign(der, der + n);
  OPENSSL_free(der);
  s.digest.resize(32);
  RAND_bytes(s.digest.data(), 32);
  orva::ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(s.key.get(), nullptr));
  EVP_PKEY_sign_init(ctx.get());
  if (!bSm2) EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256());
  size_t len = 0;
  EVP_PKEY_sign(ctx.get(), nullptr, &len, s.digest.data(), 32);
  s.sig.resize(len);
  EVP_PKEY_sign(ctx.get(), s.sig.data(), &len, s.digest.data(), 32);
  s.sig.resize(len);
  return s;
}

const Signer& Sm2Signer() {
  static Signer s = MakeSigner(true);
  return s;
}
const Signer& RsaSigner() {
  static Signer s = MakeSigner(false);
  return s;
}

// ---- hashing ---------------------------------------------------------------------------------

void HashOurs(benchmark::State& state, uint32_t alg) {
  const Bytes& data = Data(64 << 20);
  for (auto _ : state) {
    COpenSSLMsgHash h;
    h.Init(alg, nullptr, 0);
    for (size_t at = 0; at < data.size(); at += kPiece) h.Update(data.data() + at, kPiece);
    uint8_t out[32];
    uint32_t len = 32;
    if (h.Final(out, &len) != 0) state.SkipWithError("hash failed");
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}

void HashRaw(benchmark::State& state, const EVP_MD* md) {
  const Bytes& data = Data(64 << 20);
  for (auto _ : state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, md, nullptr);
    for (size_t at = 0; at < data.size(); at += kPiece) EVP_DigestUpdate(ctx, data.data() + at, kPiece);
    uint8_t out[32];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx, out, &len);
    EVP_MD_CTX_free(ctx);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}

void BM_Hash_SM3_MsgHash(benchmark::State& s) { HashOurs(s, HASH_SM3); }
void BM_Hash_SM3_RawEvp(benchmark::State& s) { HashRaw(s, EVP_sm3()); }
void BM_Hash_SHA256_MsgHash(benchmark::State& s) { HashOurs(s, HASH_SHA256); }
void BM_Hash_SHA256_RawEvp(benchmark::State& s) { HashRaw(s, EVP_sha256()); }

// ---- envelope sealing ------------------------------------------------------------------------

constexpr size_t kSealBytes = 16 << 20;

void BM_Seal_SM4CBC_MsgEncrypt(benchmark::State& state) {
  const Bytes& data = Data(kSealBytes);
  CX509Certificate cert;
  const Signer& s = Sm2Signer();
  cert.FromBuffer(s.certDer.data(), static_cast<uint32_t>(s.certDer.size()));
  for (auto _ : state) {
    auto out = std::make_shared<NullStream>();
    COpenSSLMsgEncrypt enc;
    enc.set_CryptoCert(&cert);
    enc.set_Padding(1);
    if (enc.Init(SYMM_SM4_CBC, nullptr, 0, kSealBytes, out) != 0) state.SkipWithError("Init failed");
    for (size_t at = 0; at < kSealBytes; at += kPiece) enc.Update(data.data() + at, kPiece, at + kPiece == kSealBytes);
    enc.Final(nullptr, 0, nullptr, nullptr);
    benchmark::DoNotOptimize(out->m_total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSealBytes));
}

void BM_Seal_SM4CBC_RawEvp(benchmark::State& state) {
  const Bytes& data = Data(kSealBytes);
  Bytes buf(kPiece + 32);
  for (auto _ : state) {
    auto out = std::make_shared<NullStream>();
    uint8_t key[16], iv[16] = {};
    RAND_bytes(key, 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_sm4_cbc(), nullptr, key, iv);
    int n = 0;
    uint32_t w = 0;
    for (size_t at = 0; at < kSealBytes; at += kPiece) {
      EVP_EncryptUpdate(ctx, buf.data(), &n, data.data() + at, static_cast<int>(kPiece));
      out->Write(buf.data(), static_cast<uint32_t>(n), &w);
    }
    EVP_EncryptFinal_ex(ctx, buf.data(), &n);
    out->Write(buf.data(), static_cast<uint32_t>(n), &w);
    EVP_CIPHER_CTX_free(ctx);
    benchmark::DoNotOptimize(out->m_total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSealBytes));
}

// ---- verification ----------------------------------------------------------------------------

void VerifyOurs(benchmark::State& state, const Signer& s, uint32_t alg) {
  COpenSSLDigestVerify v;
  for (auto _ : state) {
    uint32_t r = v.verify(s.digest.data(), 32, alg, s.sig.data(), static_cast<uint32_t>(s.sig.size()),
                          s.certDer.data(), static_cast<uint32_t>(s.certDer.size()));
    if (r != 0) state.SkipWithError("verify failed");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Parse the certificate, take its key, verify: what the verifier does, written plainly.
void VerifyByHand(benchmark::State& state, const Signer& s, bool bRsa) {
  for (auto _ : state) {
    const unsigned char* p = s.certDer.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(s.certDer.size()));
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(x), nullptr);
    EVP_PKEY_verify_init(ctx);
    if (bRsa) EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    int ok = EVP_PKEY_verify(ctx, s.sig.data(), s.sig.size(), s.digest.data(), 32);
    EVP_PKEY_CTX_free(ctx);
    X509_free(x);
    if (ok != 1) state.SkipWithError("verify failed");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_Verify_SM2_DigestVerify(benchmark::State& s) { VerifyOurs(s, Sm2Signer(), HASH_SM3); }
void BM_Verify_SM2_ByHand(benchmark::State& s) { VerifyByHand(s, Sm2Signer(), false); }
void BM_Verify_RSA2048_DigestVerify(benchmark::State& s) { VerifyOurs(s, RsaSigner(), HASH_SHA256); }
void BM_Verify_RSA2048_ByHand(benchmark::State& s) { VerifyByHand(s, RsaSigner(), true); }

// The two halves of the RSA check, for the cache question.
void BM_RSA2048_ParseCertOnly(benchmark::State& state) {
  const Signer& s = RsaSigner();
  for (auto _ : state) {
    const unsigned char* p = s.certDer.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(s.certDer.size()));
    benchmark::DoNotOptimize(X509_get0_pubkey(x));
    X509_free(x);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_RSA2048_VerifyParsedKey(benchmark::State& state) {
  const Signer& s = RsaSigner();
  const unsigned char* p = s.certDer.data();
  orva::ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(s.certDer.size())));
  for (auto _ : state) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(x.get()), nullptr);
    EVP_PKEY_verify_init(ctx);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    int ok = EVP_PKEY_verify(ctx, s.sig.data(), s.sig.size(), s.digest.data(), 32);
    EVP_PKEY_CTX_free(ctx);
    if (ok != 1) state.SkipWithError("verify failed");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_Hash_SM3_MsgHash)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Hash_SM3_RawEvp)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Hash_SHA256_MsgHash)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Hash_SHA256_RawEvp)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Seal_SM4CBC_MsgEncrypt)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Seal_SM4CBC_RawEvp)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Verify_SM2_DigestVerify)->Unit(benchmark::kMicrosecond)->MinTime(2);
BENCHMARK(BM_Verify_SM2_ByHand)->Unit(benchmark::kMicrosecond)->MinTime(2);
BENCHMARK(BM_Verify_RSA2048_DigestVerify)->Unit(benchmark::kMicrosecond)->MinTime(2);
BENCHMARK(BM_Verify_RSA2048_ByHand)->Unit(benchmark::kMicrosecond)->MinTime(2);
BENCHMARK(BM_RSA2048_ParseCertOnly)->Unit(benchmark::kMicrosecond)->MinTime(2);
BENCHMARK(BM_RSA2048_VerifyParsedKey)->Unit(benchmark::kMicrosecond)->MinTime(2);

BENCHMARK_MAIN();
