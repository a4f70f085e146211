// The orvadesk program as a process: orvactl posts to it, it stops cleanly on SIGTERM and
// SIGINT, a killed agent restarts on its port at once, a second agent is refused the
// port, and --trust-browsers puts the local CA into the user's NSS database.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <chrono>
#include <functional>
#include <thread>

#include "foundation/SettingsStore.h"
#include "foundation/StringConvert.h"
#include "platform/Paths.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "testing/TestPki.h"

using orva::testing::ChildProcess;
using orva::testing::MakeTempDir;
using orva::testing::ReadFile;
using orva::testing::RunProgram;

namespace {

const std::string kInit = "{\"msg\":\"执行成功\",\"res\":0,\"respType\":\"init_resp\"}\n";

class Agent : public ::testing::Test {
 protected:
  void SetUp() override {
    port = orva::testing::FreeLoopbackPort();
    logDir = MakeTempDir("logs");
    orva::testing::WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
                             "{\"SOFTWARE\\\\ORVA\\\\OrvaDesk\":{\"ServicePort\":" + std::to_string(port) +
                                 ",\"LogEnabled\":1,\"LogFolder\":\"" + logDir + "\"}}");
  }
  std::string Bin(const char* name) { return orva::testing::BinaryDir() + "/app/" + name; }
  bool StartAgent(ChildProcess& p, const std::string& out) {
    return p.Start({Bin("orvadesk")}, {}, out) && orva::testing::WaitForPort(port, 10000);
  }
  int Ctl(const std::vector<std::string>& args, std::string& out, const std::string& stdinText = "") {
    std::vector<std::string> argv = {Bin("orvactl")};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, out, 10000, {}, stdinText);
  }

  int port = 0;
  std::string logDir;
};

}  // namespace

TEST_F(Agent, OrvactlTalksToTheRunningAgentWhichStopsOnSignals) {
  std::string out;
  EXPECT_EQ(Ctl({R"({"msgType":"init"})"}, out), 1);  // no agent has run yet
  EXPECT_EQ(out.rfind("orvactl: cannot read ", 0), 0u) << out;

  for (int sig : {SIGTERM, SIGINT}) {
    std::string dir = MakeTempDir("agent");
    ChildProcess agent;
    ASSERT_TRUE(StartAgent(agent, dir + "/out")) << ReadFile(dir + "/out");
    EXPECT_EQ(Ctl({R"({"msgType":"init"})"}, out), 0);
    EXPECT_EQ(out, kInit);
    EXPECT_EQ(Ctl({}, out, R"({"msgType":"GET_VERSION"})"), 0);
    EXPECT_EQ(out, "{\"msg\":\"功能不支持\",\"res\":-2130706427}\n");
    EXPECT_EQ(Ctl({"--local", R"({"msgType":"init"})"}, out), 0);
    EXPECT_EQ(out, kInit);

    agent.Signal(sig);
    int code = -1;
    ASSERT_TRUE(agent.Wait(10000, &code)) << "signal " << sig;
    EXPECT_EQ(code, 0) << "signal " << sig;
  }
  EXPECT_EQ(Ctl({R"({"msgType":"init"})"}, out), 1);
  EXPECT_NE(out.find("not listening"), std::string::npos) << out;
  // The log was switched on from the machine-wide settings: the service wrote to it.
  std::string logs;
  RunProgram({"sh", "-c", "cat \"$0\"/*.log", logDir}, logs);
  std::u16string wide = CStringConvert::Utf8ToUtf16("CORVAHttpServer::Start");
  std::string needle(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  EXPECT_NE(logs.find(needle), std::string::npos);
}

TEST_F(Agent, KilledAgentRestartsAtOnceAndASecondOneIsRefused) {
  std::string dir = MakeTempDir("agent");
  ChildProcess agent;
  ASSERT_TRUE(StartAgent(agent, dir + "/out1"));
  std::string out;
  // orvactl asks for "Connection: close", so the agent closes first and keeps TIME_WAIT.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Ctl({R"({"msgType":"init"})"}, out), 0) << out;

  ChildProcess second;
  ASSERT_TRUE(second.Start({Bin("orvadesk")}, {}, dir + "/out2"));
  int code = -1;
  ASSERT_TRUE(second.Wait(10000, &code));
  EXPECT_EQ(code, 1);
  EXPECT_NE(ReadFile(dir + "/out2").find("cannot listen"), std::string::npos);

  agent.KillGroup();  // SIGKILL: no clean stop
  ChildProcess again;
  ASSERT_TRUE(StartAgent(again, dir + "/out3")) << ReadFile(dir + "/out3");
  EXPECT_EQ(Ctl({R"({"msgType":"init"})"}, out), 0);
  EXPECT_EQ(out, kInit);
}

TEST_F(Agent, TrustBrowsersAddsTheLocalCaOnce) {
  std::string out;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(RunProgram({Bin("orvadesk"), "--trust-browsers"}, out, 20000), 0) << out;
    EXPECT_NE(out.find("OrvaDesk local CA"), std::string::npos) << out;
  }
  std::string db = "sql:" + orva::platform::HomeDir() + "/.pki/nssdb";
  ASSERT_EQ(RunProgram({"certutil", "-d", db, "-L"}, out), 0) << out;
  size_t first = out.find("OrvaDesk local CA");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_EQ(out.find("OrvaDesk local CA", first + 1), std::string::npos) << out;
  EXPECT_NE(out.find("C,,"), std::string::npos) << out;
  // The certificate in the database is the agent's CA.
  ASSERT_EQ(RunProgram({"certutil", "-d", db, "-L", "-n", "OrvaDesk local CA", "-a"}, out), 0);
  std::string pem = ReadFile(orva::platform::UserSettingsDir() + "/tls/ca.pem");
  std::erase(out, '\r');
  EXPECT_EQ(out, pem);
}

// The agent lists the configured token kits at start and follows a token that the software
// token's control socket pulls out and plugs back in while the agent runs.
TEST_F(Agent, TheAgentLoadsTheConfiguredKitAndFollowsItsToken) {
  const std::string dir = MakeTempDir("token");
  const std::string softskf = orva::testing::BinaryDir() + "/tools/softskf/";
  orva::testing::WriteFile(
      CSettingsStore::FilePath(SettingsScope::Machine),
      "{\"SOFTWARE\\\\ORVA\\\\OrvaDesk\":{\"ServicePort\":" + std::to_string(port) +
          ",\"LogEnabled\":1,\"LogFolder\":\"" + logDir +
          "\"},\"SOFTWARE\\\\ORVA\\\\OrvaDesk\\\\Demo\":{\"SDKName\":\"Demo Kit\",\"Manufacturer\":\"OrvaDesk\","
          "\"DefaultSdkType\":3,\"CSPName\":\"Soft CSP\",\"SKFImage\":\"" +
          softskf + "libsoftskf.so\"}}");
  const std::string state = dir + "/state.json", sock = dir + "/ctl.sock";
  orva::testing::WriteFile(
      state, "{\"devices\":[{\"name\":\"Demo01\",\"label\":\"OrvaDesk Demo\",\"applications\":[{\"name\":\"APP\","
             "\"adminPin\":{\"value\":\"admin1234\"},\"userPin\":{\"value\":\"demo1234\"},\"containers\":[{"
             "\"name\":\"ORVA_ECC_CON\",\"signKeyFile\":\"" +
                 orva::testing::TestPkiKeyPath("sm2-sign") + "\",\"signCertFile\":\"" +
                 orva::testing::TestPkiCertPath("sm2-sign") + "\"}]}]}]}");
  ChildProcess agent;
  ASSERT_TRUE(agent.Start({Bin("orvadesk")}, {"SOFTSKF_STATE=" + state, "SOFTSKF_CONTROL=" + sock}, dir + "/out") &&
              orva::testing::WaitForPort(port, 10000))
      << ReadFile(dir + "/out");

  auto ctl = [&](const std::vector<std::string>& args, std::string& out) {
    std::vector<std::string> argv = {softskf + "softskfctl", "-s", sock};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, out, 10000);
  };
  auto logHas = [&](const std::string& text) {
    std::string logs;
    RunProgram({"sh", "-c", "cat \"$0\"/*.log", logDir}, logs);
    std::u16string wide = CStringConvert::Utf8ToUtf16(text);
    return logs.find(std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2)) != std::string::npos;
  };
  auto waitFor = [](const std::function<bool()>& pred) {
    for (int i = 0; i < 500 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return pred();
  };
  std::string out;
  EXPECT_TRUE(waitFor([&] { return logHas("Add device OrvaDesk Demo"); }));
  ASSERT_EQ(ctl({"unplug", "Demo01"}, out), 0) << out;
  EXPECT_EQ(out, "OK\n");
  EXPECT_TRUE(waitFor([&] { return logHas("Device OrvaDesk Demo is removed! It's index is:0x0."); }));
  EXPECT_NE(ReadFile(state).find("\"present\" : false"), std::string::npos);
  ASSERT_EQ(ctl({"plug", "Demo01"}, out), 0) << out;
  EXPECT_TRUE(waitFor([&] { return logHas("Device OrvaDesk Demo is inserted! It's index is:0x0."); }));
  EXPECT_EQ(ctl({"unplug"}, out), 1);
  EXPECT_EQ(out.rfind("ERR 0x0A000006", 0), 0u) << out;
  EXPECT_EQ(ctl({"frobnicate", "Demo01"}, out), 1);
  // A failure armed over the socket meets the agent's next connection of an inserted token.
  ASSERT_EQ(ctl({"fail", "SKF_ConnectDev", "0x0A000001"}, out), 0) << out;
  EXPECT_EQ(ctl({"fail", "SKF_ConnectDev", "lots"}, out), 1);
  ASSERT_EQ(ctl({"unplug", "Demo01"}, out), 0);
  ASSERT_EQ(ctl({"plug", "Demo01"}, out), 0);
  EXPECT_TRUE(waitFor([&] { return logHas("pEventDev->Connect() failed! ulRes = 0x81000006"); }));
  ASSERT_EQ(ctl({"count", "SKF_ConnectDev"}, out), 0);
  EXPECT_EQ(out.rfind("OK ", 0), 0u) << out;

  // The state file stays private to the user, as does the control socket.
  struct stat st {};
  ASSERT_EQ(stat(state.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(sock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  agent.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(agent.Wait(10000, &code));
  EXPECT_EQ(code, 0);
  EXPECT_NE(stat(sock.c_str(), &st), 0);  // the token removed its socket when it unloaded
  EXPECT_NE(ReadFile(state).find("\"present\" : true"), std::string::npos);
  EXPECT_EQ(ctl({"plug", "Demo01"}, out), 2);
}
