#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <thread>

#include "foundation/ORVAOriginConsent.h"
#include "foundation/ORVAScriptedUI.h"
#include "foundation/RegOptions.h"
#include "foundation/SettingsStore.h"
#include "testing/TestEnv.h"

namespace {

// Answers consent questions only when released, and counts them.
class SlowConsentUI : public CORVAScriptedUI {
 public:
  OrvaConsent answer = OrvaConsent::AllowOnce;
  std::atomic<int> asked{0};
  std::mutex m;
  std::condition_variable cv;
  bool released = true;
  OrvaConsent AskConsent(const std::string& o) override {
    ++asked;
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return released; });
    return answer;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> l(m);
      released = true;
    }
    cv.notify_all();
  }
};

class OriginConsentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string root = orva::testing::MakeTempDir("consent");
    setenv("ORVADESK_MACHINE_DIR", (root + "/machine").c_str(), 1);
    setenv("ORVADESK_USER_DIR", (root + "/user").c_str(), 1);
    orva::testing::WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
                             R"({"SOFTWARE\\ORVA\\OrvaDesk": {"AllowedOrigins": " https://Bank.example ;null;https://ra.example:8443"}})");
    m_ui = std::make_shared<SlowConsentUI>();
    SetOrvaUserInterface(m_ui);
    CORVAOriginConsent::Instance().Reset();
  }
  void TearDown() override {
    m_ui->Release();
    SetOrvaUserInterface(nullptr);
    CORVAOriginConsent::Instance().Reset();
  }
  std::shared_ptr<SlowConsentUI> m_ui;
};

}  // namespace

TEST_F(OriginConsentTest, NormalizeAndListsDecideWithoutAsking) {
  struct Row {
    const char* origin;
    const char* normal;
  } rows[] = {{"https://A.Example", "https://a.example"}, {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
              {"https://[::1]:443", "https://[::1]:443"},  {"null", ""}, {"", ""},
              {"https://a.example/path", ""},             {"https://a b", ""},
              {"://a", ""},                               {"https://", ""},
              {"javascript:alert(1)", ""},                {"https://a.example\r\nX: y", ""}};
  for (const auto& r : rows) EXPECT_EQ(CORVAOriginConsent::Normalize(r.origin), r.normal) << r.origin;

  CORVAOriginConsent& c = CORVAOriginConsent::Instance();
  EXPECT_TRUE(c.Decide("https://bank.example"));       // listed, blanks and case aside
  EXPECT_TRUE(c.Decide("HTTPS://RA.example:8443"));
  EXPECT_FALSE(c.Decide("null"));                      // never matches, never asked
  EXPECT_FALSE(c.Decide("https://a.example/x"));
  EXPECT_FALSE(c.IsAllowed("https://ra.example"));     // the port is part of the origin
  EXPECT_EQ(m_ui->asked.load(), 0);
}

// One question for a burst of concurrent requests of one origin; the answer holds for the
// rest of the run (refusals too); "always" is written to ApprovedOrigins and survives.
TEST_F(OriginConsentTest, OneQuestionSharedAndRemembered) {
  CORVAOriginConsent& c = CORVAOriginConsent::Instance();
  m_ui->released = false;
  std::atomic<int> allowed{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      if (c.Decide("https://shop.example")) ++allowed;
    });
  while (m_ui->asked.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  m_ui->Release();
  for (auto& t : threads) t.join();
  EXPECT_EQ(m_ui->asked.load(), 1);
  EXPECT_EQ(allowed.load(), 8);
  EXPECT_TRUE(c.Decide("https://shop.example"));
  EXPECT_EQ(m_ui->asked.load(), 1);
  std::string approved;
  EXPECT_FALSE(CRegOptions::ReadString(SettingsScope::User, "ApprovedOrigins", approved, 1000));

  m_ui->answer = OrvaConsent::Refuse;
  EXPECT_FALSE(c.Decide("https://evil.example"));
  EXPECT_FALSE(c.Decide("https://EVIL.example"));
  EXPECT_EQ(m_ui->asked.load(), 2);

  m_ui->answer = OrvaConsent::AlwaysAllow;
  EXPECT_TRUE(c.Decide("https://Portal.example"));
  EXPECT_TRUE(c.Decide("https://sign.example"));
  ASSERT_TRUE(CRegOptions::ReadString(SettingsScope::User, "ApprovedOrigins", approved, 1000));
  EXPECT_EQ(approved, "https://portal.example;https://sign.example");
  EXPECT_EQ(m_ui->asked.load(), 4);

  // A new run: "always" still holds, "once" and refusals are asked again.
  c.Reset();
  m_ui->answer = OrvaConsent::Refuse;
  EXPECT_TRUE(c.Decide("https://portal.example"));
  EXPECT_FALSE(c.Decide("https://shop.example"));
  EXPECT_EQ(m_ui->asked.load(), 5);
}
