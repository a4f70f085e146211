// The agent on a real X display (Xvfb): a browser request from an unknown origin opens the
// Qt consent window from the connection's thread, and the keys pressed in it (xdotool)
// decide the reply.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "foundation/RegOptions.h"
#include "foundation/SettingsStore.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"

using namespace orva::testing;

namespace {

std::string FreeDisplay() {
  for (int n = 200 + getpid() % 300;; ++n)
    if (access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) != 0 &&
        access(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), F_OK) != 0)
      return ":" + std::to_string(n);
}

}  // namespace

TEST(GuiAgent, ConsentWindowDecidesTheBrowserRequest) {
  std::string dir = MakeTempDir("gui");
  std::string display = FreeDisplay();
  ChildProcess xvfb;
  ASSERT_TRUE(xvfb.Start({"Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"}));
  std::string sock = "/tmp/.X11-unix/X" + display.substr(1);
  for (int i = 0; i < 100 && access(sock.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(access(sock.c_str(), F_OK), 0);

  int port = FreeLoopbackPort();
  WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
            "{\"SOFTWARE\\\\ORVA\\\\OrvaDesk\":{\"ServicePort\":" + std::to_string(port) + "}}");
  std::string runtime = dir + "/run";
  WriteFile(runtime + "/.keep", "");
  chmod(runtime.c_str(), 0700);
  std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=", "XDG_RUNTIME_DIR=" + runtime,
                                  "ORVADESK_UI_SCRIPT="};
  ChildProcess agent;
  ASSERT_TRUE(agent.Start({BinaryDir() + "/app/orvadesk"}, env, dir + "/agent.out"));
  ASSERT_TRUE(WaitForPort(port, 10000)) << ReadFile(dir + "/agent.out");

  struct Row {
    const char* origin;
    std::vector<const char*> keys;  // pressed in the consent window
    const char* status;
  } rows[] = {
      {"https://refused.example", {"Escape"}, "403"},
      {"https://once.example", {"Tab", "space"}, "200"},           // refuse -> allow once
      {"https://always.example", {"Tab", "Tab", "space"}, "200"},  // -> always allow
      {"https://enter.example", {"Return"}, "403"},                // Enter never approves
  };
  for (const auto& r : rows) {
    std::string out = dir + "/curl.out";
    ChildProcess curl;
    ASSERT_TRUE(curl.Start({"curl", "-sk", "-o", "/dev/null", "-w", "%{http_code}", "-H",
                            std::string("Origin: ") + r.origin, "-d", "{\"msgType\":\"init\"}",
                            "https://127.0.0.1:" + std::to_string(port) + "/"},
                           {}, out));
    // The window, named by its caption, appears while curl waits.
    std::string win;
    for (int i = 0; i < 100 && win.empty(); ++i) {
      RunProgram({"xdotool", "search", "--name", "网站访问授权"}, win, 5000, {"DISPLAY=" + display});
      if (win.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_FALSE(win.empty()) << r.origin;
    win = win.substr(0, win.find('\n'));
    std::string ignored;
    std::vector<std::string> argv = {"xdotool", "windowfocus", "--sync", win, "key", "--delay", "50"};
    for (const char* k : r.keys) argv.push_back(k);
    RunProgram(argv, ignored, 5000, {"DISPLAY=" + display});
    int code = -1;
    ASSERT_TRUE(curl.Wait(10000, &code)) << r.origin;
    EXPECT_EQ(ReadFile(out), r.status) << r.origin;
  }
  std::string approved;
  EXPECT_TRUE(CRegOptions::ReadString(SettingsScope::User, "ApprovedOrigins", approved, 1000));
  EXPECT_EQ(approved, "https://always.example");

  agent.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(agent.Wait(10000, &code));
  EXPECT_EQ(code, 0) << ReadFile(dir + "/agent.out");
  xvfb.KillGroup();
}
