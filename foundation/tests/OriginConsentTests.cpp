#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "foundation/ORVAOriginConsent.h"
#include "foundation/ORVAScriptedUI.h"

namespace {

// Counts the questions on the screen at the same time.
class CountingUI : public CORVAScriptedUI {
 public:
  std::atomic<int> open{0}, maxOpen{0}, asked{0};
  std::string lastOrigin;
  OrvaConsent AskConsent(const std::string& o) override {
    int now = ++open;
    int seen = maxOpen.load();
    while (now > seen && !maxOpen.compare_exchange_weak(seen, now)) {
    }
    ++asked;
    lastOrigin = o;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    --open;
    return OrvaConsent::AllowOnce;
  }
};

}  // namespace

TEST(OriginConsent, OnlyRealOriginsReachTheUser) {
  struct Row {
    const char* origin;
    const char* normal;
  } rows[] = {{"https://A.Example", "https://a.example"}, {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
              {"https://[::1]:443", "https://[::1]:443"},  {"chrome-extension://abcdef", "chrome-extension://abcdef"},
              {"null", ""}, {"", ""}, {"https://a.example/path", ""}, {"https://a b", ""},
              {"://a", ""}, {"https://", ""}, {"1http://a", ""}, {"javascript:alert(1)", ""},
              {"https://a.example\r\nX: y", ""}, {"https://<b>x</b>", ""}};
  for (const auto& r : rows) EXPECT_EQ(OrvaNormalizeWebOrigin(r.origin), r.normal) << r.origin;
  EXPECT_EQ(OrvaNormalizeWebOrigin("https://" + std::string(250, 'a')), "");

  auto ui = std::make_shared<CountingUI>();
  SetOrvaUserInterface(ui);
  EXPECT_EQ(OrvaAskOriginConsent("null"), OrvaConsent::Refuse);
  EXPECT_EQ(OrvaAskOriginConsent("https://x.example/<script>"), OrvaConsent::Refuse);
  EXPECT_EQ(ui->asked.load(), 0);
  EXPECT_EQ(OrvaAskOriginConsent("HTTPS://Shop.Example:8443"), OrvaConsent::AllowOnce);
  EXPECT_EQ(ui->lastOrigin, "https://shop.example:8443");

  // Many origins at once: one question at a time.
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([i] { OrvaAskOriginConsent("https://site" + std::to_string(i) + ".example"); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ui->asked.load(), 9);
  EXPECT_EQ(ui->maxOpen.load(), 1);
  SetOrvaUserInterface(nullptr);
}
