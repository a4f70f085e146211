#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "foundation/RegOptions.h"
#include "foundation/ResultCodes.h"
#include "platform/Paths.h"
#include "testing/TestEnv.h"

namespace {

// Each test gets its own settings folders.
class RegOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string root = orva::testing::MakeTempDir("reg");
    setenv("ORVADESK_MACHINE_DIR", (root + "/machine").c_str(), 1);
    setenv("ORVADESK_USER_DIR", (root + "/user").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  }
  void Machine(const std::string& json) {
    orva::testing::WriteFile(CSettingsStore::FilePath(SettingsScope::Machine), json);
  }
};

}  // namespace

TEST_F(RegOptionsTest, ReadsValuesCaseInsensitivelyWithTypesAndBuffers) {
  Machine(R"({"software\\orva\\ORVADESK": {"LogEnabled": 1, "LogFolder": "/var/x", "Big": 4294967295},
             "SOFTWARE\\ORVA\\OrvaDesk\\SoftKit": {"SDKName": "SoftKit"}})");
  uint8_t buf[16];
  uint32_t len = sizeof buf, type = 0;
  ASSERT_EQ(CRegOptions::GetRegSetting(SettingsScope::Machine, "logenabled", buf, &len, &type), 0u);
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(type, ORVA_REG_DWORD);
  EXPECT_EQ(buf[0], 1);
  len = sizeof buf;
  ASSERT_EQ(CRegOptions::GetRegSetting(SettingsScope::Machine, "LogFolder", buf, &len, &type), 0u);
  EXPECT_EQ(len, 7u);
  EXPECT_STREQ(reinterpret_cast<char*>(buf), "/var/x");
  uint32_t big = 0;
  EXPECT_TRUE(CRegOptions::ReadDword(SettingsScope::Machine, "Big", big));
  EXPECT_EQ(big, 0xFFFFFFFFu);

  // A failed read never reports success and leaves the length 0.
  struct Row {
    const char* name;
    uint32_t bufLen;
    uint32_t res;
  } rows[] = {{"Missing", 16, 2}, {"LogFolder", 6, 234}, {"LogFolder", 0, ORVA_E_INVALID_PARAM}};
  for (const auto& r : rows) {
    len = r.bufLen;
    EXPECT_EQ(CRegOptions::GetRegSetting(SettingsScope::Machine, r.name, buf, &len), r.res) << r.name;
    EXPECT_EQ(len, 0u);
  }
  len = sizeof buf;
  EXPECT_EQ(CRegOptions::GetRegSetting(SettingsScope::User, "LogEnabled", buf, &len), 2u);

  std::vector<std::string> kits;
  ASSERT_EQ(CSettingsStore::Instance().EnumSubKeys(SettingsScope::Machine, kOrvaSettingsKey, kits), 0u);
  EXPECT_EQ(kits, std::vector<std::string>{"SoftKit"});
  std::string s;
  EXPECT_TRUE(CRegOptions::ReadStringEx(SettingsScope::Machine, "SOFTWARE\\ORVA\\OrvaDesk\\softkit",
                                        "sdkname", s, 127));
  EXPECT_EQ(s, "SoftKit");
  EXPECT_FALSE(CRegOptions::ReadString(SettingsScope::Machine, "LogFolder", s, 5));  // too long
}

TEST_F(RegOptionsTest, UnreadableFilesAreEmptyScopes) {
  for (const char* text : {"", "not json", "[1,2]", "{\"SOFTWARE\\\\ORVA\\\\OrvaDesk\": 5}"}) {
    Machine(text);
    uint32_t v = 0;
    EXPECT_FALSE(CRegOptions::ReadDword(SettingsScope::Machine, "LogEnabled", v)) << text;
  }
}

TEST_F(RegOptionsTest, UserOptionsPreferUserScopeAndFallBack) {
  Machine(R"({"SOFTWARE\\ORVA\\OrvaDesk": {"AutoCheckUpdate": 1}})");
  uint32_t v = 99;
  ASSERT_EQ(CRegOptions::GetUserOption(2, &v), 0u);
  EXPECT_EQ(v, 1u);  // machine-wide only
  ASSERT_EQ(CRegOptions::SetUserOption(2, 0), 0u);
  ASSERT_EQ(CRegOptions::GetUserOption(2, &v), 0u);
  EXPECT_EQ(v, 0u);  // the user's value wins now
  ASSERT_EQ(CRegOptions::GetUserOption(3, &v), 0u);
  EXPECT_EQ(v, 0u);  // missing everywhere is 0, not an error
  EXPECT_EQ(CRegOptions::GetUserOption(4, &v), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CRegOptions::SetUserOption(4, 1), ORVA_E_INVALID_PARAM);
  EXPECT_EQ(CRegOptions::GetUserOption(0, &v), ORVA_E_INVALID_PARAM);
  // The machine-wide file was not written by the user's option.
  EXPECT_EQ(orva::testing::ReadFile(CSettingsStore::FilePath(SettingsScope::Machine)),
            R"({"SOFTWARE\\ORVA\\OrvaDesk": {"AutoCheckUpdate": 1}})");
}

TEST_F(RegOptionsTest, AutoRunWritesAndHidesTheAutostartEntry) {
  ASSERT_EQ(CRegOptions::SetUserOption(1, 1), 0u);
  std::string entry = orva::testing::ReadFile(CRegOptions::AutostartFilePath());
  EXPECT_NE(entry.find("Exec=" + orva::platform::ExecutableDir() + "orvadesk\n"), std::string::npos);
  EXPECT_EQ(entry.find("Hidden=true"), std::string::npos);
  ASSERT_EQ(CRegOptions::SetUserOption(1, 0), 0u);
  entry = orva::testing::ReadFile(CRegOptions::AutostartFilePath());
  EXPECT_NE(entry.find("Hidden=true"), std::string::npos);  // kept, not deleted
  uint32_t v = 7;
  ASSERT_EQ(CRegOptions::GetUserOption(1, &v), 0u);
  EXPECT_EQ(v, 0u);
}

TEST_F(RegOptionsTest, FailedUserWriteFallsBackAndReportsFailure) {
  // The per-user folder is a file: the write fails; the machine-wide one takes the value.
  std::string blocker = orva::testing::MakeTempDir("blk") + "/file";
  orva::testing::WriteFile(blocker, "x");
  setenv("ORVADESK_USER_DIR", blocker.c_str(), 1);
  EXPECT_EQ(CRegOptions::SetUserOption(3, 1), ORVA_E_CALL_FAILED);
  uint32_t v = 0;
  EXPECT_TRUE(CRegOptions::ReadDword(SettingsScope::Machine, "AutoShowOnline", v));
  EXPECT_EQ(v, 1u);
}

TEST_F(RegOptionsTest, WritesKeepOtherValuesAndSurviveConcurrency) {
  Machine(R"({"SOFTWARE\\ORVA\\OrvaDesk": {"LogEnabled": 1}, "Other\\Key": {"A": "b"}})");
  const char* name = "Counter";
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([t] {
      for (int i = 0; i < 20; ++i) {
        uint32_t v = static_cast<uint32_t>(t * 100 + i);
        std::string n = "V" + std::to_string(t);
        CRegOptions::SetRegSetting(SettingsScope::Machine, kOrvaSettingsKey, n.c_str(), ORVA_REG_DWORD, &v, 4);
      }
    });
  for (auto& t : ts) t.join();
  for (int t = 0; t < 4; ++t) {
    uint32_t v = 0;
    EXPECT_TRUE(CRegOptions::ReadDword(SettingsScope::Machine, ("V" + std::to_string(t)).c_str(), v));
    EXPECT_EQ(v, static_cast<uint32_t>(t * 100 + 19));
  }
  uint32_t le = 0;
  EXPECT_TRUE(CRegOptions::ReadDword(SettingsScope::Machine, "LogEnabled", le));
  std::string s;
  EXPECT_TRUE(CRegOptions::ReadStringEx(SettingsScope::Machine, "Other\\Key", "A", s, 10));
  (void)name;
}
