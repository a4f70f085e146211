// The per-user certificate store: files on disk, add and replace, remove by certificate or by
// key, find by serial number.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "certificates/CertificateStore.h"
#include "certificates/X509Certificate.h"
#include "foundation/ResultCodes.h"
#include "platform/ErrnoMap.h"
#include "platform/Paths.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

namespace {

std::unique_ptr<CX509Certificate> Load(const std::string& name) {
  std::vector<uint8_t> der = orva::testing::TestPkiCertDer(name);
  auto cert = std::make_unique<CX509Certificate>();
  EXPECT_EQ(cert->FromBuffer(der.data(), static_cast<uint32_t>(der.size())), ORVA_OK) << name;
  return cert;
}

std::vector<std::string> StoreFiles() {
  std::vector<std::string> names;
  if (DIR* d = opendir(CCertificateStore::StoreFolder("MY").c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Sha1OfFile(const std::string& path) {
  std::string out;
  EXPECT_EQ(orva::testing::RunProgram({"openssl", "dgst", "-sha1", "-r", path}, out), 0) << out;
  return out.substr(0, 40);
}

class CertificateStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { orva::testing::RemoveTree(CCertificateStore::StoreFolder("MY")); }
};

}  // namespace

TEST_F(CertificateStoreTest, RegisteringTwiceKeepsOneCopyWithItsProperties) {
  auto cert = Load("sm2-sign");
  ASSERT_EQ(cert->set_ProviderInfo("Soft CSP", "con-1"), ORVA_OK);
  ASSERT_EQ(cert->RegistToIE(), ORVA_OK);
  ASSERT_EQ(cert->RegistToIE(), ORVA_OK);

  std::string sha1 = Sha1OfFile(orva::testing::TestPkiCertPath("sm2-sign"));
  EXPECT_EQ(StoreFiles(), (std::vector<std::string>{sha1 + ".der", sha1 + ".json"}));
  std::string folder = CCertificateStore::StoreFolder("My");
  EXPECT_EQ(folder, orva::platform::UserSettingsDir() + "/certstore/MY");
  struct stat st {};
  ASSERT_EQ(stat((folder + "/" + sha1 + ".der").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string side = orva::testing::ReadFile(folder + "/" + sha1 + ".json");
  EXPECT_NE(side.find("\"container\":\"con-1\""), std::string::npos) << side;
  EXPECT_NE(side.find("\"provider\":\"Soft CSP\""), std::string::npos) << side;

  // The found copy carries the stored key-provider information, not the object's names.
  CCertificateStore store;
  ASSERT_EQ(store.Open(), ORVA_OK);
  auto found = store.FindCertificateBySN("1001");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->get_Provider(), "");
  std::string container;
  ASSERT_EQ(found->get_Container(container), ORVA_OK);
  EXPECT_EQ(container, "con-1");
}

TEST_F(CertificateStoreTest, AHandDroppedCopyCountsAndIsReplaced) {
  std::string folder = CCertificateStore::StoreFolder("MY");
  ASSERT_EQ(orva::platform::MakeDirs(folder), 0);
  std::string der = orva::testing::ReadFile(orva::testing::TestPkiCertPath("sm2-names"));
  ASSERT_TRUE(orva::testing::WriteFile(folder + "/dropped.der", der));
  ASSERT_TRUE(orva::testing::WriteFile(folder + "/broken.der", "not a certificate"));
  ASSERT_TRUE(orva::testing::WriteFile(folder + "/notes.txt", "ignored"));

  CCertificateStore store;
  // Serial numbers compare without regard to the case of their letters.
  auto found = store.FindCertificateBySN("008f3a0001");
  ASSERT_TRUE(found);
  std::string sn;
  ASSERT_EQ(found->get_SN(sn), ORVA_OK);
  EXPECT_EQ(sn, "008F3A0001");
  EXPECT_FALSE(store.FindCertificateBySN("8F3A0001"));
  EXPECT_FALSE(store.FindCertificateBySN(""));
  EXPECT_FALSE(store.FindCertificateBySN(nullptr));

  ASSERT_EQ(store.AddCertificate(Load("sm2-names").get()), ORVA_OK);
  std::string sha1 = Sha1OfFile(orva::testing::TestPkiCertPath("sm2-names"));
  std::vector<std::string> want = {sha1 + ".der", "broken.der", "notes.txt"};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(StoreFiles(), want);
  std::vector<std::unique_ptr<CX509Certificate>> all;
  ASSERT_EQ(store.EnumCertificates(all), ORVA_OK);
  EXPECT_EQ(all.size(), 1u);
}

TEST_F(CertificateStoreTest, RemoveTakesTheExactCertificateBeforeOneWithTheSameKey) {
  // sm2-noski and sm2-noski-twin certify the same key.
  auto first = Load("sm2-noski");
  auto twin = Load("sm2-noski-twin");
  CCertificateStore store;
  ASSERT_EQ(store.Open(ORVA_CERT_STORE_READWRITE), ORVA_OK);
  ASSERT_EQ(store.AddCertificate(first.get()), ORVA_OK);
  ASSERT_EQ(store.AddCertificate(twin.get()), ORVA_OK);

  ASSERT_EQ(store.RemoveCeriticate(twin.get()), ORVA_OK);
  EXPECT_TRUE(store.FindCertificateBySN("1008"));
  EXPECT_FALSE(store.FindCertificateBySN("1009"));

  // Not present itself: the registered certificate with the same key goes instead (a renewed
  // certificate replacing its predecessor).
  ASSERT_EQ(twin->UnregistrFromIE(), ORVA_OK);
  EXPECT_FALSE(store.FindCertificateBySN("1008"));
  EXPECT_EQ(StoreFiles(), std::vector<std::string>{});

  EXPECT_EQ(twin->UnregistrFromIE(), ORVA_E_NO_CERT);
  EXPECT_EQ(store.RemoveCeriticate(Load("rsa-sign").get()), ORVA_E_NO_CERT);
  EXPECT_EQ(store.RemoveCeriticate(nullptr), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(store.AddCertificate(nullptr), ORVA_E_INVALID_PARAM);
  CX509Certificate empty;
  EXPECT_EQ(store.AddCertificate(&empty), ORVA_E_INVALID_CALL);
}

TEST_F(CertificateStoreTest, StoreKinds) {
  CCertificateStore store;
  // "Only if it exists" on a store that was never written.
  EXPECT_EQ(store.Open(ORVA_CERT_STORE_EXISTING), orva::platform::kWinErrorFileNotFound);
  EXPECT_FALSE(store.IsOpen());
  EXPECT_EQ(store.Open(3), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(store.Open(ORVA_CERT_STORE_READWRITE, "../etc"), ORVA_E_INVALID_PARAM);

  // Read-only: reads work, writes are refused with the access error.
  ASSERT_EQ(store.Open(ORVA_CERT_STORE_READONLY), ORVA_OK);
  EXPECT_FALSE(store.FindCertificateBySN("1001"));
  EXPECT_EQ(store.AddCertificate(Load("sm2-sign").get()), orva::platform::kWinErrorAccessDenied);

  ASSERT_EQ(Load("sm2-sign")->RegistToIE(), ORVA_OK);
  ASSERT_EQ(store.Open(ORVA_CERT_STORE_EXISTING, "my"), ORVA_OK);
  EXPECT_TRUE(store.FindCertificateBySN("1001"));
  ASSERT_EQ(store.Open(ORVA_CERT_STORE_READONLY), ORVA_OK);
  EXPECT_EQ(store.RemoveCeriticate(Load("sm2-sign").get()), orva::platform::kWinErrorAccessDenied);
  EXPECT_TRUE(store.FindCertificateBySN("1001"));

  // Other system stores are folders of their own.
  ASSERT_EQ(store.Open(ORVA_CERT_STORE_READWRITE, "Root"), ORVA_OK);
  EXPECT_FALSE(store.FindCertificateBySN("1001"));
}
