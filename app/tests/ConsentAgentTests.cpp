// The running agent asks about unknown web origins through its user interface: here the
// headless one, answering from ORVADESK_UI_SCRIPT, with curl as the browser.
#include <gtest/gtest.h>

#include <csignal>

#include "foundation/RegOptions.h"
#include "foundation/SettingsStore.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"

using namespace orva::testing;

TEST(AgentConsent, UnknownOriginsAreAskedOnceThroughTheUserInterface) {
  int port = FreeLoopbackPort();
  std::string dir = MakeTempDir("consent");
  WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
            "{\"SOFTWARE\\\\ORVA\\\\OrvaDesk\":{\"ServicePort\":" + std::to_string(port) +
                ",\"AllowedOrigins\":\"https://listed.example\"}}");
  std::string script = dir + "/answers.jsonl";
  WriteFile(script, "{\"dialog\":\"consent\",\"button\":\"once\"}\n"
                    "{\"dialog\":\"consent\",\"button\":\"refuse\"}\n"
                    "{\"dialog\":\"consent\",\"button\":\"always\"}\n"
                    "{\"dialog\":\"consent\",\"button\":\"once\"}\n");
  ChildProcess agent;
  // No display: the headless interface, whatever the test's environment holds.
  ASSERT_TRUE(agent.Start({BinaryDir() + "/app/orvadesk"},
                          {"ORVADESK_UI_SCRIPT=" + script, "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="},
                          dir + "/agent.out"));
  ASSERT_TRUE(WaitForPort(port, 10000)) << ReadFile(dir + "/agent.out");

  auto request = [&](const std::string& origin, bool preflight = false) {
    std::string out;
    std::vector<std::string> argv = {"curl", "-sk", "-o", "/dev/null", "-w", "%{http_code}",
                                     "-H", "Origin: " + origin};
    if (preflight)
      argv.insert(argv.end(), {"-X", "OPTIONS", "-H", "Access-Control-Request-Method: POST"});
    else
      argv.insert(argv.end(), {"-d", "{\"msgType\":\"init\"}"});
    argv.push_back("https://127.0.0.1:" + std::to_string(port) + "/");
    RunProgram(argv, out, 10000);
    return out;
  };
  struct Row {
    const char* origin;
    bool preflight;
    const char* status;
  } rows[] = {
      {"https://listed.example", false, "200"},  // listed: no question
      {"https://shop.example", false, "200"},    // "once"
      {"https://SHOP.example", false, "200"},    // remembered for the run
      {"https://evil.example", false, "403"},    // "refuse"
      {"https://evil.example", false, "403"},    // remembered, not asked again
      {"https://portal.example", false, "200"},  // "always"
      {"https://pre.example", true, "204"},      // a preflight asks too
      {"null", false, "403"},                    // never asked
  };
  for (const auto& r : rows) EXPECT_EQ(request(r.origin, r.preflight), r.status) << r.origin;

  std::string approved;
  EXPECT_TRUE(CRegOptions::ReadString(SettingsScope::User, "ApprovedOrigins", approved, 1000));
  EXPECT_EQ(approved, "https://portal.example");
  std::string log = ReadFile(script + ".log");
  for (const char* o : {"shop.example", "evil.example", "portal.example", "pre.example"})
    EXPECT_NE(log.find(std::string("\"origin\":\"https://") + o + "\""), std::string::npos) << log;
  size_t questions = 0;
  for (size_t at = 0; (at = log.find("\"dialog\":\"consent\"", at)) != std::string::npos; ++at) ++questions;
  EXPECT_EQ(questions, 4u) << log;

  agent.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(agent.Wait(10000, &code));
  EXPECT_EQ(code, 0);
}
