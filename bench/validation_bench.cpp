// Certificate status and time-stamp verification on the test PKI (build the tests first):
//   chain check of an SM2 and an RSA leaf through the stores (two issuers each);
//   revocation check answered from the cache (the usual case while a list is current)
//   against the same check fetching both lists from slapd on loopback each time;
//   all three checks together; decoding and verifying RSA and SM2 time-stamp tokens.
// Settings, stores and cache live in a temporary folder made for the run.
//   build/bench/validation_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <memory>

#include "certificates/CertCRLHelper.h"
#include "certificates/CertificateStore.h"
#include "certificates/X509Certificate.h"
#include "crypto/Timestamp.h"
#include "foundation/SettingsStore.h"
#include "platform/Paths.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"
#include "testing/TestServers.h"

namespace {

using orva::testing::ReadFile;
using orva::testing::TestPkiDir;

std::unique_ptr<CX509Certificate> Load(const std::string& name) {
  std::vector<uint8_t> der = orva::testing::TestPkiCertDer(name);
  auto c = std::make_unique<CX509Certificate>();
  c->FromBuffer(der.data(), static_cast<uint32_t>(der.size()));
  return c;
}

std::string KeyHex(const std::string& name) {
  std::vector<uint8_t> bits;
  Load(name)->GetPublicKeyBits(bits);
  std::string hex;
  for (uint8_t b : bits) {
    char h[3];
    std::snprintf(h, sizeof h, "%02x", b);
    hex += h;
  }
  return hex;
}

void Prepare() {
  static bool done = false;
  if (done) return;
  done = true;
  orva::testing::SetUpIsolatedEnvironment();
  for (auto [store, name] : {std::pair{"CA", "sm2-ca"}, {"CA", "rsa-ca"}, {"ROOT", "sm2-root"}, {"ROOT", "rsa-root"}}) {
    std::vector<uint8_t> der = orva::testing::TestPkiCertDer(name);
    orva::testing::WriteFile(CCertificateStore::StoreFolder(store) + "/" + name + ".der",
                             std::string(der.begin(), der.end()));
  }
  SettingValue v;
  v.type = ORVA_REG_SZ;
  v.text = KeyHex("sm2-ca") + ";" + KeyHex("sm2-root") + ";" + KeyHex("rsa-ca") + ";" + KeyHex("rsa-root");
  CSettingsStore::Instance().WriteValue(SettingsScope::Machine, kOrvaSettingsKey, "AuthorityKeys", v);
}

void PutListsInCache() {
  const std::string crls = TestPkiDir() + "/crls/";
  orva::testing::WriteFile(CCertCRLHelper::CacheFolder("127.0.0.1") + "crl1.crl", ReadFile(crls + "sm2-ca.crl"));
  orva::testing::WriteFile(CCertCRLHelper::CacheFolder("127.0.0.1") + "crl1_Delta.crl",
                           ReadFile(crls + "sm2-ca-delta.crl"));
}

void Status(benchmark::State& state, const CX509Certificate& cert, uint32_t flags, uint32_t want) {
  for (auto _ : state) {
    uint32_t status = 0xFFFF;
    if (cert.get_ValidType(flags, &status) != 0 || status != want) {
      state.SkipWithError("unexpected status");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ChainSm2(benchmark::State& state) {
  Prepare();
  Status(state, *Load("sm2-sign"), ORVA_CERT_CHECK_CHAIN, 0);
}
void BM_ChainRsa(benchmark::State& state) {
  Prepare();
  Status(state, *Load("rsa-sign"), ORVA_CERT_CHECK_CHAIN, 0);
}
void BM_RevocationFromCache(benchmark::State& state) {
  Prepare();
  PutListsInCache();
  Status(state, *Load("crl-sm2-delta"), ORVA_CERT_CHECK_CRL, ORVA_CERT_STATUS_REVOKED);
}
void BM_AllChecksFromCache(benchmark::State& state) {
  Prepare();
  PutListsInCache();
  Status(state, *Load("crl-sm2-good"), 0x7, 0);
}

// A directory on loopback holding both lists, and a leaf naming it; the cache is emptied
// before every check so that each one fetches both lists.
void BM_RevocationFromDirectory(benchmark::State& state) {
  Prepare();
  const std::string crls = TestPkiDir() + "/crls/";
  const std::string dir = orva::testing::MakeTempDir("slapd");
  orva::testing::SlapdServer slapd;
  if (!slapd.Start(dir, "C=CN",
                   "dn: C=CN\nobjectClass: country\nc: CN\n\n"
                   "dn: OU=x,C=CN\nobjectClass: organizationalUnit\nou: x\n\n"
                   "dn: CN=bench,OU=x,C=CN\nobjectClass: cRLDistributionPoint\ncn: bench\n"
                   "certificateRevocationList;binary:< file://" + crls + "sm2-ca.crl\n"
                   "deltaRevocationList;binary:< file://" + crls + "sm2-ca-delta.crl\n")) {
    state.SkipWithError("slapd did not start");
    return;
  }
  const std::string url = "ldap://127.0.0.1:" + std::to_string(slapd.Port()) +
                          "/CN=bench,OU=x,C=CN?certificateRevocationList?base";
  const std::string work = orva::testing::MakeTempDir("leaf");
  const std::string pki = TestPkiDir();
  orva::testing::WriteFile(work + "/ext.cnf", "[leaf]\nbasicConstraints = CA:FALSE\ncrlDistributionPoints = dp\n"
                                              "[dp]\nfullname = @n\n[n]\nURI.1 = " + url + "\n");
  std::string out;
  orva::testing::RunProgram({"openssl", "req", "-new", "-key", pki + "/keys/sm2-leaf.pem", "-subj", "/CN=Bench", "-sm3",
                             "-sigopt", "distid:1234567812345678", "-out", work + "/leaf.csr"},
                            out);
  orva::testing::RunProgram({"openssl", "x509", "-req", "-in", work + "/leaf.csr", "-CA", pki + "/certs/sm2-ca.pem",
                             "-CAkey", pki + "/keys/sm2-ca.pem", "-sm3", "-sigopt", "distid:1234567812345678",
                             "-vfyopt", "distid:1234567812345678", "-set_serial", "0x5002", "-days", "30", "-extfile",
                             work + "/ext.cnf", "-extensions", "leaf", "-outform", "DER", "-out", work + "/leaf.der"},
                            out);
  std::string der = ReadFile(work + "/leaf.der");
  CX509Certificate cert;
  cert.FromBuffer(reinterpret_cast<const uint8_t*>(der.data()), static_cast<uint32_t>(der.size()));
  for (auto _ : state) {
    state.PauseTiming();
    orva::testing::RemoveTree(CCertCRLHelper::CacheFolder("127.0.0.1"));
    state.ResumeTiming();
    uint32_t status = 0;
    if (cert.get_ValidType(ORVA_CERT_CHECK_CRL, &status) != 0 || status != ORVA_CERT_STATUS_REVOKED) {
      state.SkipWithError("unexpected status");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void Token(benchmark::State& state, const std::string& name) {
  Prepare();
  std::string der = ReadFile(TestPkiDir() + "/ts/" + name + ".tsr");
  for (auto _ : state) {
    CTimestamp ts;
    if (ts.decode(reinterpret_cast<const uint8_t*>(der.data()), static_cast<uint32_t>(der.size())) != 0 ||
        ts.verify(nullptr, 0) != 0) {
      state.SkipWithError("token does not verify");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_TimestampRsa(benchmark::State& state) { Token(state, "rsa-sha256"); }
void BM_TimestampSm2(benchmark::State& state) { Token(state, "sm2-sm3"); }

}  // namespace

BENCHMARK(BM_ChainSm2);
BENCHMARK(BM_ChainRsa);
BENCHMARK(BM_RevocationFromCache);
BENCHMARK(BM_AllChecksFromCache);
BENCHMARK(BM_RevocationFromDirectory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimestampRsa);
BENCHMARK(BM_TimestampSm2);
BENCHMARK_MAIN();
