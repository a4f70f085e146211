// Certificate attributes by name on the generated identity certificates. The test binary runs
// with TZ=Asia/Shanghai, so validity dates are local dates eight hours ahead of UTC.
#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

#include "certificates/CertificateStore.h"
#include "certificates/ORVACertHelper.h"
#include "certificates/X509Certificate.h"
#include "foundation/ResultCodes.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

namespace {

std::unique_ptr<CX509Certificate> Load(const std::string& name) {
  std::vector<uint8_t> der = orva::testing::TestPkiCertDer(name);
  auto cert = std::make_unique<CX509Certificate>();
  EXPECT_EQ(cert->FromBuffer(der.data(), static_cast<uint32_t>(der.size())), ORVA_OK) << name;
  return cert;
}

struct Row {
  const char* cert;
  const char* attr;
  const char* node;
  const char* value;
};

}  // namespace

TEST(ORVACertHelper, AttributeTable) {
  ASSERT_STREQ(std::getenv("TZ"), "Asia/Shanghai");
  ASSERT_EQ(access("/usr/share/zoneinfo/Asia/Shanghai", R_OK), 0) << "tzdata is missing";
  orva::testing::RemoveTree(CCertificateStore::StoreFolder("MY"));
  std::string keyId;
  ASSERT_EQ(Load("sm2-sign")->get_KeyIdentifier(keyId), ORVA_OK);

  const Row rows[] = {
      // Identity number in the extension: a person, whatever else the certificate holds.
      {"id-person-ext", "cert_type", "", "1"},
      {"id-person-ext", "cert_idcard", "", "110101199001011234"},
      {"id-person-ext", "cert_iccode", "", ""},
      {"id-person-ext", "cert_orgcode", "", ""},
      {"id-person-ext", "cert_sscode", "", ""},
      {"id-person-ext", "cert_usccode", "", ""},
      {"id-person-br", "cert_type", "", "1"},
      {"id-person-br", "cert_iccode", "", "110108000000016"},
      // Older certificates: the length of subject node 2.5.4.1 tells the kind.
      {"id-person-old18", "cert_type", "", "0"},
      {"id-person-old18", "cert_idcard", "", "110101199001011234"},
      {"id-person-old18", "cert_usccode", "", "110101199001011234"},
      {"id-person-old18", "cert_orgcode", "", ""},
      {"id-person-old18", "cert_iccode", "", ""},
      {"id-person-old18", "cert_sscode", "", ""},
      {"id-person-old15", "cert_type", "", "1"},
      {"id-person-old15", "cert_idcard", "", "110101900101123"},
      {"id-person-old15", "cert_orgcode", "", ""},
      {"id-person-old15", "cert_iccode", "", ""},
      {"id-org-old", "cert_type", "", "2"},
      {"id-org-old", "cert_idcard", "", ""},
      {"id-org-old", "cert_orgcode", "", "12345678-X"},
      {"id-org-old", "cert_iccode", "", "110108000000016"},
      {"id-org-old", "cert_sscode", "", ""},
      {"id-org-old", "cert_usccode", "", ""},
      {"id-org-ss", "cert_type", "", "2"},
      {"id-org-ss", "cert_sscode", "", "SS123456"},
      {"id-org-ss", "cert_orgcode", "", ""},
      {"id-org-ss", "cert_iccode", "", ""},
      // Identity extensions only; no node 2.5.4.1, so the holder type is unknown.
      {"id-org-ext", "cert_type", "", "0"},
      {"id-org-ext", "cert_iccode", "", "110108000000016"},
      {"id-org-ext", "cert_orgcode", "", "12345678-X"},
      {"id-org-ext", "cert_sscode", "", "SS00123456"},
      {"id-org-ext", "cert_usccode", "", "91110108MA01ABCD2X"},
      {"id-org-ext", "cert_idcard", "", ""},
      // Plain attributes.
      {"sm2-dates", "cert_validdate", "", "2020-05-25|2022-05-25"},
      {"sm2-sign", "cert_validdate", "", "2024-01-01|2050-01-01"},
      {"sm2-sign", "cert_sn", "", "1001"},
      {"sm2-names", "cert_sn", "", "008F3A0001"},
      {"sm2-sign", "cert_keyalg", "", "2"},
      {"rsa-exch", "cert_keyalg", "", "1"},
      {"ed25519-self", "cert_keyalg", "", "0"},
      {"sm2-sign", "cert_digestalg", "", "16384"},
      {"rsa-sha1", "cert_digestalg", "", "1024"},
      {"p256-self", "cert_digestalg", "", "0"},
      {"sm2-sign", "cert_usage", "", "1"},
      {"rsa-exch", "cert_usage", "", "2"},
      {"rsa-noku", "cert_usage", "", "0"},
      {"sm2-sign", "cert_subject", "CN", "张三"},
      {"sm2-sign", "cert_subject", "T", ""},
      {"sm2-both", "cert_subject", "", "C=CN, O=OrvaDesk Test, CN=Both Usages"},
      {"sm2-sign", "cert_issuer", "CN", "OrvaDesk Test SM2 CA"},
      {"sm2-sign", "cert_issuer", "", "C=CN, O=OrvaDesk Test, OU=Test CA, CN=OrvaDesk Test SM2 CA"},
      {"sm2-sign", "cert_keyid", "", keyId.c_str()},
      {"sm2-sign", "cert_registed", "", "0"},
  };
  for (const Row& r : rows) {
    std::string value = "unchanged";
    EXPECT_EQ(CORVACertHelper::GetCertAttribute(r.attr, r.node, Load(r.cert).get(), value), ORVA_OK)
        << r.cert << " " << r.attr;
    EXPECT_EQ(value, r.value) << r.cert << " " << r.attr << " " << r.node;
  }

  EXPECT_EQ(CORVACertHelper::GetCertTaxCode(Load("id-org-ext").get()), "110108123456789");
  EXPECT_EQ(CORVACertHelper::GetCertTaxCode(Load("id-org-old").get()), "");
  EXPECT_EQ(CORVACertHelper::GetCertValidFrom(Load("sm2-dates").get()), "2020-05-25");
  EXPECT_EQ(CORVACertHelper::GetCertValidUntil(Load("sm2-dates").get()), "2022-05-25");

  std::string value = "x";
  EXPECT_EQ(CORVACertHelper::GetCertAttribute("cert_foo", "", Load("sm2-sign").get(), value),
            ORVA_E_INVALID_PARAM);
  EXPECT_EQ(value, "");
  EXPECT_EQ(CORVACertHelper::GetCertAttribute("cert_sn", "", nullptr, value), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CORVACertHelper::GetCertAttribute(nullptr, "", Load("sm2-sign").get(), value),
            ORVA_E_INVALID_PARAM);
  CX509Certificate empty;
  EXPECT_EQ(CORVACertHelper::GetCertAttribute("cert_sn", "", &empty, value), ORVA_OK);
  EXPECT_EQ(value, "");
}

TEST(ORVACertHelper, RegisteredFollowsTheStore) {
  orva::testing::RemoveTree(CCertificateStore::StoreFolder("MY"));
  auto cert = Load("sm2-names");
  std::string value;
  ASSERT_EQ(CORVACertHelper::GetCertAttribute("cert_registed", "", cert.get(), value), ORVA_OK);
  EXPECT_EQ(value, "0");
  ASSERT_EQ(cert->RegistToIE(), ORVA_OK);
  ASSERT_EQ(CORVACertHelper::GetCertAttribute("cert_registed", "", cert.get(), value), ORVA_OK);
  EXPECT_EQ(value, "1");
  ASSERT_EQ(cert->UnregistrFromIE(), ORVA_OK);
  EXPECT_EQ(CORVACertHelper::GetCertIsRegisted(cert.get()), 0u);
}

TEST(ORVACertHelper, ExtensionsAsText) {
  auto cert = Load("sm2-sign");
  std::string value;
  struct {
    const char* oid;
    uint32_t res;
    const char* value;
  } rows[] = {
      {"2.5.29.15", ORVA_OK, "192"},
      {"2.5.29.37", ORVA_OK, "10"},
      {"2.5.29.19", ORVA_OK, "Subject Type=End Entity; Path Length Constraint=None"},
      {"1.2.156.10260.4.1.1", ORVA_CRYPT_E_NOT_FOUND, ""},
  };
  for (const auto& r : rows) {
    value = "x";
    EXPECT_EQ(CORVACertHelper::GetCertExtension(r.oid, cert.get(), value), r.res) << r.oid;
    EXPECT_EQ(value, r.value) << r.oid;
  }
  EXPECT_EQ(CORVACertHelper::GetCertExtension("2.5.29.15", nullptr, value), ORVA_E_INVALID_PARAM);
}
