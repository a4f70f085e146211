// Revocation checks against real servers on loopback: slapd serving the lists in
// certificateRevocationList;binary and deltaRevocationList;binary, python3's http.server as
// the fallback address, and a listener that never answers. Certificates naming the
// directory's port are issued by the openssl command line at the start, with the serial
// numbers the test PKI's lists carry.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "certificates/CertCRLHelper.h"
#include "certificates/CertificateStore.h"
#include "certificates/X509Certificate.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "platform/Paths.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"
#include "testing/TestServers.h"

using orva::testing::ReadFile;
using orva::testing::TestPkiDir;
using orva::testing::WriteFile;

namespace {

const char kId[] = "distid:1234567812345678";

void SetMachineString(const char* name, const std::string& value) {
  SettingValue v;
  v.type = ORVA_REG_SZ;
  v.text = value;
  ASSERT_EQ(CSettingsStore::Instance().WriteValue(SettingsScope::Machine, kOrvaSettingsKey, name, v), 0u);
}
void ClearMachineString(const char* name) {
  CSettingsStore::Instance().DeleteValue(SettingsScope::Machine, kOrvaSettingsKey, name);
}

std::string Ldap(const std::string& host, int port, const std::string& entry) {
  return "ldap://" + host + ":" + std::to_string(port) + "/CN=" + entry +
         ",OU=x,C=CN?certificateRevocationList?base";
}

// A leaf of the test PKI's authority `ca` with this serial number whose only distribution
// point is `url`, made by the openssl command line.
std::unique_ptr<CX509Certificate> Issue(const std::string& ca, const std::string& serialHex, const std::string& url) {
  const std::string pki = TestPkiDir();
  const bool sm2 = ca.rfind("sm2", 0) == 0;
  const std::string dir = orva::testing::MakeTempDir("issue");
  const std::string caKey = ReadFile(pki + "/ca/" + ca + "/key");
  std::string ext = "[leaf]\nbasicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\n"
                    "authorityKeyIdentifier = keyid:always\ncrlDistributionPoints = dp\n"
                    "[dp]\nfullname = @dpn\n[dpn]\nURI.1 = " + url + "\n";
  WriteFile(dir + "/ext.cnf", ext);
  std::vector<std::string> req = {"openssl", "req", "-new", "-key", pki + "/keys/" + (sm2 ? "sm2-leaf" : "rsa-leaf") + ".pem",
                                  "-subj", "/C=CN/O=OrvaDesk Test/CN=Directory " + serialHex, "-out", dir + "/leaf.csr"};
  std::vector<std::string> x509 = {"openssl", "x509", "-req", "-in", dir + "/leaf.csr", "-CA", pki + "/certs/" + ca + ".pem",
                                   "-CAkey", pki + "/keys/" + caKey.substr(0, caKey.find('\n')) + ".pem",
                                   "-set_serial", "0x" + serialHex, "-days", "365", "-extfile", dir + "/ext.cnf",
                                   "-extensions", "leaf", "-outform", "DER", "-out", dir + "/leaf.der"};
  if (sm2) {
    req.insert(req.end(), {"-sm3", "-sigopt", kId});
    x509.insert(x509.end(), {"-sm3", "-sigopt", kId, "-vfyopt", kId});
  }
  std::string out;
  EXPECT_EQ(orva::testing::RunProgram(req, out, 20000), 0) << out;
  EXPECT_EQ(orva::testing::RunProgram(x509, out, 20000), 0) << out;
  std::string der = ReadFile(dir + "/leaf.der");
  auto cert = std::make_unique<CX509Certificate>();
  EXPECT_EQ(cert->FromBuffer(reinterpret_cast<const uint8_t*>(der.data()), static_cast<uint32_t>(der.size())), ORVA_OK);
  return cert;
}

struct Outcome {
  uint32_t status;
  uint32_t res;
  bool operator==(const Outcome&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << "status 0x" << std::hex << o.status << " res 0x" << o.res;
}

Outcome Check(const CX509Certificate& cert) {
  Outcome o{0xFFFF, 0};
  o.res = cert.get_ValidType(ORVA_CERT_CHECK_CRL, &o.status);
  return o;
}

class CrlDirectoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string crls = TestPkiDir() + "/crls/";
    const std::string dir = orva::testing::MakeTempDir("slapd");
    WriteFile(dir + "/garbage.bin", "this is not a revocation list");
    std::string ldif =
        "dn: C=CN\nobjectClass: country\nc: CN\n\n"
        "dn: OU=x,C=CN\nobjectClass: organizationalUnit\nou: x\n\n"
        "dn: CN=crl1,OU=x,C=CN\nobjectClass: cRLDistributionPoint\ncn: crl1\n"
        "certificateRevocationList;binary:< file://" + crls + "sm2-ca.crl\n"
        "deltaRevocationList;binary:< file://" + crls + "sm2-ca-delta.crl\n\n"
        "dn: CN=rsacrl1,OU=x,C=CN\nobjectClass: cRLDistributionPoint\ncn: rsacrl1\n"
        "certificateRevocationList;binary:< file://" + crls + "rsa-ca.crl\n"
        "deltaRevocationList;binary:< file://" + crls + "rsa-ca-delta.crl\n\n"
        "dn: CN=crlforged,OU=x,C=CN\nobjectClass: cRLDistributionPoint\ncn: crlforged\n"
        "certificateRevocationList;binary:< file://" + crls + "sm2-ca-other-key.crl\n\n"
        "dn: CN=crlgarbage,OU=x,C=CN\nobjectClass: cRLDistributionPoint\ncn: crlgarbage\n"
        "certificateRevocationList;binary:< file://" + dir + "/garbage.bin\n\n"
        "dn: CN=crlempty,OU=x,C=CN\nobjectClass: cRLDistributionPoint\ncn: crlempty\n";
    s_slapd = new orva::testing::SlapdServer();
    ASSERT_TRUE(s_slapd->Start(dir, "C=CN", ldif)) << ReadFile(dir + "/slapd.log") << ReadFile(dir + "/slapadd.log");
    const std::string www = orva::testing::MakeTempDir("www");
    WriteFile(www + "/crl/sm2_crl.crl", ReadFile(crls + "sm2-ca.crl"));
    s_http = new orva::testing::HttpFileServer();
    ASSERT_TRUE(s_http->Start(www));
    s_closedPort = orva::testing::FreeLoopbackPort();
  }
  static void TearDownTestSuite() {
    delete s_slapd;
    delete s_http;
  }
  void SetUp() override {
    orva::testing::RemoveTree(orva::platform::JoinPath(orva::platform::UserSettingsDir(), "certstore"));
    for (const char* ca : {"sm2-ca", "rsa-ca"}) {
      std::vector<uint8_t> der = orva::testing::TestPkiCertDer(ca);
      ASSERT_TRUE(WriteFile(CCertificateStore::StoreFolder("CA") + "/" + ca + ".der", std::string(der.begin(), der.end())));
    }
    orva::testing::RemoveTree(orva::platform::AgentCacheDir());
    ClearMachineString("CrlFallbackUrl");
    ClearMachineString("CrlFallbackLdap");
  }
  static std::string Cached(const std::string& host, const std::string& file) {
    return ReadFile(CCertCRLHelper::CacheFolder(host) + file);
  }
  static std::string List(const std::string& name) { return ReadFile(TestPkiDir() + "/crls/" + name); }

  static orva::testing::SlapdServer* s_slapd;
  static orva::testing::HttpFileServer* s_http;
  static int s_closedPort;
};
orva::testing::SlapdServer* CrlDirectoryTest::s_slapd;
orva::testing::HttpFileServer* CrlDirectoryTest::s_http;
int CrlDirectoryTest::s_closedPort;

const Outcome kRevoked{ORVA_CERT_STATUS_REVOKED, ORVA_OK};
const Outcome kGood{0, ORVA_OK};
const Outcome kUnchecked{ORVA_CERT_STATUS_CRL_UNCHECKED, ORVA_E_CALL_FAILED};

TEST_F(CrlDirectoryTest, FetchedCachedReusedAndFetchedAgainWhenStale) {
  const int port = s_slapd->Port();
  auto revoked = Issue("sm2-ca", "5001", Ldap("127.0.0.1", port, "crl1"));
  auto deltaOnly = Issue("sm2-ca", "5002", Ldap("127.0.0.1", port, "crl1"));
  auto good = Issue("sm2-ca", "5003", Ldap("127.0.0.1", port, "crl1"));
  EXPECT_EQ(Check(*revoked), kRevoked);
  // Both lists were fetched and kept as they came.
  EXPECT_EQ(Cached("127.0.0.1", "crl1.crl"), List("sm2-ca.crl"));
  EXPECT_EQ(Cached("127.0.0.1", "crl1_Delta.crl"), List("sm2-ca-delta.crl"));
  EXPECT_EQ(Check(*deltaOnly), kRevoked);
  EXPECT_EQ(Check(*good), kGood);

  // Current lists answer without the directory: the same entry named on a port where
  // nothing listens.
  auto offline = Issue("sm2-ca", "5002", Ldap("127.0.0.1", s_closedPort, "crl1"));
  EXPECT_EQ(Check(*offline), kRevoked);

  // A list past its next update is fetched again and replaces the cached file.
  WriteFile(CCertCRLHelper::CacheFolder("127.0.0.1") + "crl1.crl", List("sm2-ca-stale.crl"));
  EXPECT_EQ(Check(*revoked), kRevoked);
  EXPECT_EQ(Cached("127.0.0.1", "crl1.crl"), List("sm2-ca.crl"));

  // RSA lists of the other entry.
  EXPECT_EQ(Check(*Issue("rsa-ca", "6001", Ldap("127.0.0.1", port, "rsacrl1"))), kRevoked);
  EXPECT_EQ(Check(*Issue("rsa-ca", "6002", Ldap("127.0.0.1", port, "rsacrl1"))), kRevoked);
  EXPECT_EQ(Check(*Issue("rsa-ca", "6003", Ldap("127.0.0.1", port, "rsacrl1"))), kGood);
  EXPECT_EQ(Cached("127.0.0.1", "rsacrl1_Delta.crl"), List("rsa-ca-delta.crl"));
}

TEST_F(CrlDirectoryTest, FallbackServers) {
  // The directory named in the certificate is down: the fallback HTTP address gives the base
  // list (the delta list exists only in the directory).
  auto revoked = Issue("sm2-ca", "5001", Ldap("127.0.0.1", s_closedPort, "crl1"));
  auto deltaOnly = Issue("sm2-ca", "5002", Ldap("127.0.0.1", s_closedPort, "crl1"));
  EXPECT_EQ(Check(*revoked), kUnchecked);
  SetMachineString("CrlFallbackUrl", s_http->Url("/crl/sm2_crl.crl"));
  EXPECT_EQ(Check(*revoked), kRevoked);
  EXPECT_EQ(Cached("127.0.0.1", "crl1.crl"), List("sm2-ca.crl"));
  EXPECT_EQ(Check(*deltaOnly), kGood);

  // The fallback directory server on the certificate's port: 127.0.0.2 is loopback too, but
  // slapd listens on 127.0.0.1 only.
  orva::testing::RemoveTree(orva::platform::AgentCacheDir());
  ClearMachineString("CrlFallbackUrl");
  auto viaOther = Issue("sm2-ca", "5002", Ldap("127.0.0.2", s_slapd->Port(), "crl1"));
  EXPECT_EQ(Check(*viaOther), kUnchecked);
  SetMachineString("CrlFallbackLdap", "127.0.0.1");
  EXPECT_EQ(Check(*viaOther), kRevoked);
  EXPECT_EQ(Cached("127.0.0.2", "crl1_Delta.crl"), List("sm2-ca-delta.crl"));
}

TEST_F(CrlDirectoryTest, EntriesWithoutAUsableList) {
  const int port = s_slapd->Port();
  SetMachineString("CrlFallbackUrl", s_http->Url("/crl/none.crl"));
  struct Row {
    const char* what;
    std::string entry;
  } rows[] = {
      {"entry missing", "crlmissing"},
      {"entry without the attribute", "crlempty"},
      {"value is not a list", "crlgarbage"},
      {"list signed with another key", "crlforged"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(Check(*Issue("sm2-ca", "5003", Ldap("127.0.0.1", port, r.entry))), kUnchecked) << r.what;
    // Nothing that failed is kept.
    EXPECT_EQ(Cached("127.0.0.1", r.entry + ".crl"), "") << r.what;
  }
}

TEST_F(CrlDirectoryTest, ASilentDirectoryServerTimesOut) {
  orva::testing::SilentServer silent;
  ASSERT_TRUE(silent.Start());
  auto cert = Issue("sm2-ca", "5001", Ldap("127.0.0.1", silent.Port(), "crl1"));
  // The connection is taken into the listener's backlog and never answered: the bind waits
  // for the directory operation time-out, then the check gives up.
  auto result = std::async(std::launch::async, [&cert] { return Check(*cert); });
  ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(result.get(), kUnchecked);
}

}  // namespace
