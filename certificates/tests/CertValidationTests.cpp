// Certificate status beyond the validity period, without servers: the chain walk through the
// user's stores against the accepted authority keys, the distribution-point parsing and cache
// names, and revocation checks answered from lists placed in the cache.
#include <gtest/gtest.h>

#include <map>

#include "certificates/CertCRLHelper.h"
#include "certificates/CertificateStore.h"
#include "certificates/X509Certificate.h"
#include "foundation/ResultCodes.h"
#include "foundation/SettingsStore.h"
#include "platform/Paths.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

using orva::testing::TestPkiCertDer;
using orva::testing::TestPkiDir;

namespace {

std::unique_ptr<CX509Certificate> Load(const std::string& name) {
  std::vector<uint8_t> der = TestPkiCertDer(name);
  auto cert = std::make_unique<CX509Certificate>();
  EXPECT_EQ(cert->FromBuffer(der.data(), static_cast<uint32_t>(der.size())), ORVA_OK) << name;
  return cert;
}

std::unique_ptr<CX509Certificate> FromBytes(const std::vector<uint8_t>& der) {
  auto cert = std::make_unique<CX509Certificate>();
  EXPECT_EQ(cert->FromBuffer(der.data(), static_cast<uint32_t>(der.size())), ORVA_OK);
  return cert;
}

std::string KeyHex(const std::string& name) {
  std::vector<uint8_t> bits;
  EXPECT_EQ(Load(name)->GetPublicKeyBits(bits), ORVA_OK);
  static const char kDigits[] = "0123456789ABCDEF";  // the setting is compared ignoring case
  std::string hex;
  for (uint8_t b : bits) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0xF]);
  }
  return hex;
}

void SetMachineString(const char* name, const std::string& value) {
  SettingValue v;
  v.type = ORVA_REG_SZ;
  v.text = value;
  ASSERT_EQ(CSettingsStore::Instance().WriteValue(SettingsScope::Machine, kOrvaSettingsKey, name, v), 0u);
}

void ClearMachineString(const char* name) {
  CSettingsStore::Instance().DeleteValue(SettingsScope::Machine, kOrvaSettingsKey, name);
}

// AuthorityKeys naming the keys of these certificates (absent when the list is null).
void AcceptKeysOf(std::initializer_list<const char*> names) {
  std::string text;
  for (const char* n : names) text += (text.empty() ? "" : " ; ") + KeyHex(n);
  SetMachineString("AuthorityKeys", text);
}

// The four stores emptied, then filled: "CA:sm2-ca" puts certs/sm2-ca.der into CA under a
// name that sorts by its position in the list.
void FillStores(const std::vector<std::string>& items) {
  orva::testing::RemoveTree(orva::platform::JoinPath(orva::platform::UserSettingsDir(), "certstore"));
  int i = 0;
  for (const std::string& item : items) {
    std::string store = item.substr(0, item.find(':'));
    std::string name = item.substr(item.find(':') + 1);
    std::vector<uint8_t> der = TestPkiCertDer(name);
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%02d-", i++);
    ASSERT_TRUE(orva::testing::WriteFile(CCertificateStore::StoreFolder(store) + "/" + prefix + name + ".der",
                                         std::string(der.begin(), der.end())));
  }
}

uint32_t Status(const CX509Certificate& cert, uint32_t flags, uint32_t* pRes = nullptr) {
  uint32_t status = 0xFFFF;
  uint32_t res = cert.get_ValidType(flags, &status);
  if (pRes) *pRes = res;
  else EXPECT_EQ(res, ORVA_OK);
  return status;
}

std::vector<uint8_t> FlipLastByte(std::vector<uint8_t> der) {
  der.back() ^= 0x01;
  return der;
}

const std::vector<std::string> kSm2Chain = {"CA:sm2-ca", "ROOT:sm2-root"};

TEST(CertChain, WalkThroughTheStores) {
  const std::vector<std::string> deep7 = {"CA:deep-ca1", "CA:deep-ca2", "CA:deep-ca3", "CA:deep-ca4",
                                          "CA:deep-ca5", "CA:deep-ca6", "CA:deep-ca7", "ROOT:deep-root"};
  std::vector<std::string> deep8 = deep7;
  deep8.push_back("CA:deep-ca8");
  struct Row {
    const char* what;
    std::string cert;
    std::vector<std::string> stores;
    std::vector<const char*> keys;  // accepted keys; {"-"} leaves the setting out
    uint32_t status;
  } rows[] = {
      {"SM2 chain to an accepted root", "sm2-sign", kSm2Chain, {"sm2-ca", "sm2-root"}, 0},
      {"RSA chain to an accepted root", "rsa-sign", {"CA:rsa-ca", "ROOT:rsa-root"}, {"rsa-ca", "rsa-root"}, 0},
      {"issuers found in MY and SPC", "sm2-sign", {"MY:sm2-ca", "SPC:sm2-root"}, {"sm2-ca", "sm2-root"}, 0},
      {"root not listed", "sm2-sign", kSm2Chain, {"sm2-ca"}, ORVA_CERT_STATUS_BAD_ISSUER},
      {"intermediate not listed", "sm2-sign", kSm2Chain, {"sm2-root"}, ORVA_CERT_STATUS_BAD_ISSUER},
      {"no keys configured (the compiled-in lists are empty)", "sm2-sign", kSm2Chain, {"-"},
       ORVA_CERT_STATUS_BAD_ISSUER},
      {"intermediate missing from every store", "sm2-sign", {"ROOT:sm2-root"}, {"sm2-ca", "sm2-root"},
       ORVA_CERT_STATUS_BAD_ROOT},
      {"root missing from every store", "sm2-sign", {"CA:sm2-ca"}, {"sm2-ca", "sm2-root"}, ORVA_CERT_STATUS_BAD_ROOT},
      {"accepted self-signed root", "sm2-root", {}, {"sm2-root"}, 0},
      {"self-signed root not listed", "sm2-root", {}, {"sm2-ca"}, ORVA_CERT_STATUS_BAD_ROOT},
      {"self-signed ECDSA certificate listed", "p256-self", {}, {"p256-self"}, 0},
      {"only a same-name CA with another key", "sm2-sign", {"CA:sm2-ca-renewed", "ROOT:sm2-root"},
       {"sm2-ca", "sm2-ca-renewed", "sm2-root"}, ORVA_CERT_STATUS_BAD_SIGNATURE},
      {"renewed CA stored after the old one", "sm2-sign-renewed",
       {"CA:sm2-ca", "CA:sm2-ca-renewed", "ROOT:sm2-root"}, {"sm2-ca", "sm2-ca-renewed", "sm2-root"}, 0},
      {"old CA stored after the renewed one", "sm2-sign", {"CA:sm2-ca-renewed", "CA:sm2-ca", "ROOT:sm2-root"},
       {"sm2-ca", "sm2-ca-renewed", "sm2-root"}, 0},
      {"renewed CA with an unlisted key beside the listed one", "sm2-sign-renewed",
       {"CA:sm2-ca", "CA:sm2-ca-renewed", "ROOT:sm2-root"}, {"sm2-ca", "sm2-root"}, ORVA_CERT_STATUS_BAD_ISSUER},
      {"loop of two CAs", "loop-leaf", {"CA:loop-a", "CA:loop-b"}, {"loop-a", "loop-b"}, ORVA_CERT_STATUS_BAD_ROOT},
      {"eight issuers", "deep-leaf7", deep7, {"deep-root"}, 0},
      {"nine issuers", "deep-leaf8", deep8, {"deep-root"}, ORVA_CERT_STATUS_BAD_ROOT},
  };
  for (const Row& r : rows) {
    FillStores(r.stores);
    if (r.keys.size() == 1 && std::string(r.keys[0]) == "-") {
      ClearMachineString("AuthorityKeys");
    } else {
      std::string text;
      for (const char* k : r.keys) text += (text.empty() ? "" : ";") + KeyHex(k);
      SetMachineString("AuthorityKeys", text);
    }
    EXPECT_EQ(Status(*Load(r.cert), ORVA_CERT_CHECK_CHAIN), r.status) << r.what;
  }
  ClearMachineString("AuthorityKeys");
}

TEST(CertChain, SignaturesAreCheckedOverTheBytesAsSigned) {
  FillStores(kSm2Chain);
  AcceptKeysOf({"sm2-ca", "sm2-root", "rsa-ca", "rsa-root"});
  // A leaf whose signature was changed, and a listed root whose self-signature was.
  EXPECT_EQ(Status(*FromBytes(FlipLastByte(TestPkiCertDer("sm2-sign"))), ORVA_CERT_CHECK_CHAIN),
            ORVA_CERT_STATUS_BAD_SIGNATURE);
  EXPECT_EQ(Status(*FromBytes(FlipLastByte(TestPkiCertDer("sm2-root"))), ORVA_CERT_CHECK_CHAIN),
            ORVA_CERT_STATUS_BAD_SIGNATURE);
  // An intermediate in the store whose own signature was changed.
  FillStores({"ROOT:sm2-root"});
  std::vector<uint8_t> badCa = FlipLastByte(TestPkiCertDer("sm2-ca"));
  ASSERT_TRUE(orva::testing::WriteFile(CCertificateStore::StoreFolder("CA") + "/bad.der",
                                       std::string(badCa.begin(), badCa.end())));
  EXPECT_EQ(Status(*Load("sm2-sign"), ORVA_CERT_CHECK_CHAIN), ORVA_CERT_STATUS_BAD_SIGNATURE);
  // An RSA leaf under the SM2 authority's name would need the SM2 key: rsa-sign against the
  // RSA chain passes, and stays unaccepted when only SM2 keys are listed.
  FillStores({"CA:rsa-ca", "ROOT:rsa-root"});
  EXPECT_EQ(Status(*Load("rsa-sign"), ORVA_CERT_CHECK_CHAIN), 0u);
  AcceptKeysOf({"sm2-ca", "sm2-root"});
  EXPECT_EQ(Status(*Load("rsa-sign"), ORVA_CERT_CHECK_CHAIN), ORVA_CERT_STATUS_BAD_ISSUER);
  // Entries that are not hexadecimal are skipped, the others still count.
  SetMachineString("AuthorityKeys", "zz-not-hex;" + KeyHex("rsa-ca") + ";;" + KeyHex("rsa-root") + ";");
  EXPECT_EQ(Status(*Load("rsa-sign"), ORVA_CERT_CHECK_CHAIN), 0u);
  ClearMachineString("AuthorityKeys");
}

TEST(CertChain, ChecksRunInOrderAndStopAtTheFirstFailure) {
  FillStores({"ROOT:sm2-root"});
  AcceptKeysOf({"sm2-ca", "sm2-root"});
  // The chain fails: the revocation check (which would need a server) is not run.
  uint32_t res = 0;
  EXPECT_EQ(Status(*Load("crl-sm2-revoked"), 0x7, &res), ORVA_CERT_STATUS_BAD_ROOT);
  EXPECT_EQ(res, ORVA_OK);
  EXPECT_EQ(Status(*Load("sm2-expired"), 0x7, &res), ORVA_CERT_STATUS_EXPIRED);
  ClearMachineString("AuthorityKeys");
}

TEST(CrlDistributionPoint, AddressPieces) {
  struct Row {
    std::string url;
    bool serverOk;
    std::string host;
    uint32_t port;
    bool nameOk;
    std::string name;
    std::string base;  // "" when refused
  } rows[] = {
      {"ldap://host/CN=crl1,OU=x,C=CN?certificateRevocationList?base", true, "host", 0, true, "crl1",
       "CN=crl1,OU=x,C=CN"},
      {"ldap://127.0.0.1:389/CN=crl1,OU=x,C=CN?certificateRevocationList?base", true, "127.0.0.1", 389, true, "crl1",
       "CN=crl1,OU=x,C=CN"},
      {"ldap://127.0.0.1:1/CN=a_b-c.d", true, "127.0.0.1", 1, true, "a_b-c.d", "CN=a_b-c.d"},
      {"ldap://127.0.0.1:65535/CN=crl2?x", true, "127.0.0.1", 65535, true, "crl2", "CN=crl2"},
      {"ldap://127.0.0.1:0/CN=crl1", false, "", 0, true, "crl1", "CN=crl1"},
      {"ldap://127.0.0.1:65536/CN=crl1", false, "", 0, true, "crl1", "CN=crl1"},
      {"ldap://127.0.0.1:99999999999/CN=crl1", false, "", 0, true, "crl1", "CN=crl1"},
      {"ldap://127.0.0.1:/CN=crl1", false, "", 0, true, "crl1", "CN=crl1"},
      {"ldap://127.0.0.1:-1/CN=crl1", false, "", 0, true, "crl1", "CN=crl1"},
      {"ldap://127.0.0.1:38a/CN=crl1", false, "", 0, true, "crl1", "CN=crl1"},
      {"ldap://../CN=crl1", false, "", 0, true, "crl1", "CN=crl1"},
      {"ldap://.hidden/CN=crl1", false, "", 0, true, "crl1", "CN=crl1"},
      {"ldap://a b/CN=crl1", false, "", 0, true, "crl1", "CN=crl1"},
      {"ldap:///CN=crl1", false, "", 0, true, "crl1", "CN=crl1"},
      {"ldap://host/CN=../../etc/passwd,OU=x", true, "host", 0, false, "", "CN=../../etc/passwd,OU=x"},
      {"ldap://host/CN=.crl,OU=x", true, "host", 0, false, "", "CN=.crl,OU=x"},
      {"ldap://host/CN=crl 1,OU=x", true, "host", 0, false, "", "CN=crl 1,OU=x"},
      {"ldap://host/CN=a%20b,OU=x?y", true, "host", 0, false, "", "CN=a b,OU=x"},
      {"ldap://host/CN=%zz,OU=x", true, "host", 0, false, "", ""},
      {"ldap://host/CN=,OU=x", true, "host", 0, false, "", "CN=,OU=x"},
      {"ldap://host/CN=" + std::string(128, 'a'), true, "host", 0, false, "", "CN=" + std::string(128, 'a')},
      {"ldap://host/CN=" + std::string(127, 'a'), true, "host", 0, true, std::string(127, 'a'),
       "CN=" + std::string(127, 'a')},
      {"http://127.0.0.1:10008/crl/sm2_crl.crl", true, "127.0.0.1", 10008, false, "", ""},
      {"ldaps://host/CN=crl1", false, "", 0, true, "crl1", "CN=crl1"},
  };
  for (const Row& r : rows) {
    std::string host = "unchanged", name = "unchanged", base = "unchanged";
    uint32_t port = 7;
    uint32_t res = CCertCRLHelper::_GetServerNameFromLDAP(r.url, host, port);
    EXPECT_EQ(res == ORVA_OK, r.serverOk) << r.url;
    if (r.serverOk) {
      EXPECT_EQ(host, r.host) << r.url;
      EXPECT_EQ(port, r.port) << r.url;
    } else {
      EXPECT_EQ(res, ORVA_E_CALL_FAILED) << r.url;
      EXPECT_EQ(host, "unchanged") << r.url;
    }
    res = CCertCRLHelper::_GetCNNameFromLDAP(r.url, name);
    EXPECT_EQ(res == ORVA_OK, r.nameOk) << r.url;
    EXPECT_EQ(name, r.nameOk ? r.name : "unchanged") << r.url;
    res = CCertCRLHelper::_GetBaseNameFromLDAP(r.url, base);
    EXPECT_EQ(res == ORVA_OK, !r.base.empty()) << r.url;
    EXPECT_EQ(base, r.base.empty() ? "unchanged" : r.base) << r.url;
  }
  EXPECT_EQ(CCertCRLHelper::CacheFolder("127.0.0.1"),
            orva::platform::XdgCacheHome() + "/orvadesk/CRLCache/127.0.0.1/");
}

// Revocation answered from lists placed in the cache, as a check of flag 0x4 alone. The
// leaves name CN=crl1 / CN=rsacrl1 on 127.0.0.1:389, where nothing listens: a list that does
// not count leads to a download that fails, so the check reports 0x40 with 0x81000006.
TEST(CrlFromCache, ListsThatCountAndListsThatDoNot) {
  const std::string crls = TestPkiDir() + "/crls/";
  const std::string sm2Base = CCertCRLHelper::CacheFolder("127.0.0.1") + "crl1.crl";
  const std::string sm2Delta = CCertCRLHelper::CacheFolder("127.0.0.1") + "crl1_Delta.crl";
  const std::string rsaBase = CCertCRLHelper::CacheFolder("127.0.0.1") + "rsacrl1.crl";
  const std::string rsaDelta = CCertCRLHelper::CacheFolder("127.0.0.1") + "rsacrl1_Delta.crl";
  const std::vector<std::string> both = {"CA:sm2-ca", "CA:rsa-ca"};
  struct Row {
    const char* what;
    std::string cert;
    std::vector<std::string> stores;
    std::map<std::string, std::string> cache;  // cache file -> list file ("!" garbage)
    std::vector<const char*> keys;
    uint32_t status;
    uint32_t res;
  } rows[] = {
      {"revoked in the base list", "crl-sm2-revoked", both,
       {{sm2Base, "sm2-ca.crl"}, {sm2Delta, "sm2-ca-delta.crl"}}, {}, ORVA_CERT_STATUS_REVOKED, ORVA_OK},
      {"revoked only in the delta list", "crl-sm2-delta", both,
       {{sm2Base, "sm2-ca.crl"}, {sm2Delta, "sm2-ca-delta.crl"}}, {}, ORVA_CERT_STATUS_REVOKED, ORVA_OK},
      {"in neither list", "crl-sm2-good", both, {{sm2Base, "sm2-ca.crl"}, {sm2Delta, "sm2-ca-delta.crl"}}, {}, 0,
       ORVA_OK},
      {"delta list unavailable", "crl-sm2-delta", both, {{sm2Base, "sm2-ca.crl"}}, {}, 0, ORVA_OK},
      {"RSA revoked in the base list", "crl-rsa-revoked", both,
       {{rsaBase, "rsa-ca.crl"}, {rsaDelta, "rsa-ca-delta.crl"}}, {}, ORVA_CERT_STATUS_REVOKED, ORVA_OK},
      {"RSA revoked only in the delta list", "crl-rsa-delta", both,
       {{rsaBase, "rsa-ca.crl"}, {rsaDelta, "rsa-ca-delta.crl"}}, {}, ORVA_CERT_STATUS_REVOKED, ORVA_OK},
      {"RSA in neither list", "crl-rsa-good", both, {{rsaBase, "rsa-ca.crl"}, {rsaDelta, "rsa-ca-delta.crl"}}, {}, 0,
       ORVA_OK},
      {"base list of another issuer", "crl-sm2-revoked", both, {{sm2Base, "rsa-ca.crl"}}, {},
       ORVA_CERT_STATUS_CRL_UNCHECKED, ORVA_E_CALL_FAILED},
      {"delta list of another issuer is ignored", "crl-sm2-delta", both,
       {{sm2Base, "sm2-ca.crl"}, {sm2Delta, "rsa-ca-delta.crl"}}, {}, 0, ORVA_OK},
      {"the issuer's name signed with another key", "crl-sm2-good", both, {{sm2Base, "sm2-ca-other-key.crl"}}, {},
       ORVA_CERT_STATUS_CRL_UNCHECKED, ORVA_E_CALL_FAILED},
      {"the renewed CA's key, accepted, signs for the old CA", "crl-sm2-good",
       {"CA:sm2-ca", "CA:sm2-ca-renewed"}, {{sm2Base, "sm2-ca-other-key.crl"}}, {"sm2-ca-renewed"},
       ORVA_CERT_STATUS_REVOKED, ORVA_OK},
      {"the renewed CA's key, not accepted", "crl-sm2-good", {"CA:sm2-ca", "CA:sm2-ca-renewed"},
       {{sm2Base, "sm2-ca-other-key.crl"}}, {"sm2-ca"}, ORVA_CERT_STATUS_CRL_UNCHECKED, ORVA_E_CALL_FAILED},
      {"list past its next update", "crl-sm2-revoked", both, {{sm2Base, "sm2-ca-stale.crl"}}, {},
       ORVA_CERT_STATUS_CRL_UNCHECKED, ORVA_E_CALL_FAILED},
      {"list without a next update", "crl-sm2-revoked", both, {{sm2Base, "sm2-ca-nonext.crl"}}, {},
       ORVA_CERT_STATUS_CRL_UNCHECKED, ORVA_E_CALL_FAILED},
      {"cache file that is not a list", "crl-sm2-revoked", both, {{sm2Base, "!"}}, {},
       ORVA_CERT_STATUS_CRL_UNCHECKED, ORVA_E_CALL_FAILED},
      {"issuer in no store", "crl-sm2-revoked", {"CA:rsa-ca"}, {{sm2Base, "sm2-ca.crl"}}, {},
       ORVA_CERT_STATUS_CRL_UNCHECKED, ORVA_E_CALL_FAILED},
      {"no distribution point", "sm2-both", both, {{sm2Base, "sm2-ca.crl"}}, {}, ORVA_CERT_STATUS_CRL_UNCHECKED,
       ORVA_E_CALL_FAILED},
      {"no list cached and the directory does not answer", "rsa-crldp", both, {}, {}, ORVA_CERT_STATUS_CRL_UNCHECKED,
       ORVA_E_CALL_FAILED},
  };
  for (const Row& r : rows) {
    FillStores(r.stores);
    if (r.keys.empty()) {
      ClearMachineString("AuthorityKeys");
    } else {
      std::string text;
      for (const char* k : r.keys) text += (text.empty() ? "" : ";") + KeyHex(k);
      SetMachineString("AuthorityKeys", text);
    }
    orva::testing::RemoveTree(orva::platform::AgentCacheDir());
    for (const auto& [file, list] : r.cache)
      ASSERT_TRUE(orva::testing::WriteFile(file, list == "!" ? std::string("not a list") :
                                                               orva::testing::ReadFile(crls + list)));
    uint32_t res = 0;
    EXPECT_EQ(Status(*Load(r.cert), ORVA_CERT_CHECK_CRL, &res), r.status) << r.what;
    EXPECT_EQ(res, r.res) << r.what;
  }
  ClearMachineString("AuthorityKeys");
}

TEST(CrlFromCache, ChainAndRevocationTogether) {
  FillStores(kSm2Chain);
  AcceptKeysOf({"sm2-ca", "sm2-root"});
  orva::testing::RemoveTree(orva::platform::AgentCacheDir());
  const std::string crls = TestPkiDir() + "/crls/";
  ASSERT_TRUE(orva::testing::WriteFile(CCertCRLHelper::CacheFolder("127.0.0.1") + "crl1.crl",
                                       orva::testing::ReadFile(crls + "sm2-ca.crl")));
  ASSERT_TRUE(orva::testing::WriteFile(CCertCRLHelper::CacheFolder("127.0.0.1") + "crl1_Delta.crl",
                                       orva::testing::ReadFile(crls + "sm2-ca-delta.crl")));
  EXPECT_EQ(Status(*Load("crl-sm2-good"), 0x7), 0u);
  EXPECT_EQ(Status(*Load("sm2-sign"), 0x7), 0u);
  EXPECT_EQ(Status(*Load("crl-sm2-revoked"), 0x7), ORVA_CERT_STATUS_REVOKED);
  EXPECT_EQ(Status(*Load("crl-sm2-delta"), 0x6), ORVA_CERT_STATUS_REVOKED);
  ClearMachineString("AuthorityKeys");
}

}  // namespace
