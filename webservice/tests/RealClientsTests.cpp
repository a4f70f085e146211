// The service against real clients started by the test: curl (exact reply bytes, a body
// large enough for Expect: 100-continue, certificate checked against the local CA) and
// python3-websockets (handshake checked by the library, an event, pings, a clean close).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "foundation/SettingsStore.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "webservice/ORVAHttpServer.h"
#include "webservice/ORVATlsIdentity.h"

using orva::testing::ChildProcess;
using orva::testing::MakeTempDir;
using orva::testing::ReadFile;
using orva::testing::RunProgram;
using orva::testing::WriteFile;

namespace {

class RealClients : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(CORVAHttpServer::Start(0, nullptr));
    port = CORVAHttpServer::GetPort();
    ORVA_SERVICE_IDENTITY id;
    ASSERT_EQ(CORVATlsIdentity::Load(id), 0u);
    caPath = MakeTempDir("ca") + "/ca.pem";
    WriteFile(caPath, CORVATlsIdentity::CertPem(id.strCaB64));
  }
  static void TearDownTestSuite() { CORVAHttpServer::Stop(); }

  std::vector<std::string> Curl(const std::vector<std::string>& extra) {
    std::string p = std::to_string(port);
    std::vector<std::string> args = {"curl", "-sS", "--max-time", "10", "--noproxy", "*",
                                     "--cacert", caPath, "--resolve",
                                     "orvadesk.localhost:" + p + ":127.0.0.1"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("https://orvadesk.localhost:" + p + "/");
    return args;
  }

  static inline uint16_t port = 0;
  static inline std::string caPath;
};

std::string WithoutDate(std::string head) {
  size_t d = head.find("\r\nDate: ");
  if (d == std::string::npos) return head;
  size_t e = head.find("\r\n", d + 2);
  return head.erase(d + 2, e - d);
}

}  // namespace

TEST_F(RealClients, CurlSeesTheExactReply) {
  std::string dir = MakeTempDir("curl");
  std::string out;
  ASSERT_EQ(RunProgram(Curl({"-D", dir + "/head", "-o", dir + "/body", "-H",
                             "Content-Type: text/plain", "--data-binary", R"({"msgType":"init"})"}),
                       out),
            0)
      << out;
  const std::string body = "{\"msg\":\"执行成功\",\"res\":0,\"respType\":\"init_resp\"}\n";
  EXPECT_EQ(ReadFile(dir + "/body"), body);
  EXPECT_EQ(WithoutDate(ReadFile(dir + "/head")),
            "HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\nAccess-Control-Allow-Origin:*\r\n"
            "Content-Length:54\r\nConnection: keep-alive\r\nContent-Type: application/json\r\n\r\n");

  // Above 1 MiB curl asks "Expect: 100-continue" and waits for the go-ahead.
  std::string big = R"({"msgType":"init","pad":")" + std::string(3 << 20, 'a') + "\"}";
  WriteFile(dir + "/big.json", big);
  ASSERT_EQ(RunProgram(Curl({"-v", "-o", dir + "/body2", "--data-binary", "@" + dir + "/big.json"}), out), 0)
      << out;
  EXPECT_NE(out.find("Expect: 100-continue"), std::string::npos);
  EXPECT_NE(out.find("HTTP/1.1 100 Continue"), std::string::npos);
  EXPECT_EQ(ReadFile(dir + "/body2"), body);

  // A certificate that does not chain to the local CA would be refused by curl.
  ASSERT_NE(RunProgram({"curl", "-sS", "--max-time", "5", "--noproxy", "*", "--resolve",
                        "orvadesk.localhost:" + std::to_string(port) + ":127.0.0.1",
                        "https://orvadesk.localhost:" + std::to_string(port) + "/", "-d", "{}"},
                       out),
            0);
}

TEST_F(RealClients, PythonWebSocketGetsAnEventAndClosesCleanly) {
  std::string dir = MakeTempDir("py");
  std::string script = orva::testing::SourceDir() + "/webservice/tests/peers/ws_client.py";
  ChildProcess py;
  ASSERT_TRUE(py.Start({"/usr/bin/python3", script, std::to_string(port), caPath}, {}, dir + "/out"));
  auto waitFor = [&](const std::string& text) {
    for (int i = 0; i < 500; ++i) {
      if (ReadFile(dir + "/out").find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  ASSERT_TRUE(waitFor("OPEN\n")) << ReadFile(dir + "/out");
  for (int i = 0; i < 100 && CORVAHttpServer::Stats().llOpenWebSockets.load() < 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  DEVICE_EVENT_INFO e{};
  e.ulEventType = 1;
  e.ulIndex = 0;
  std::snprintf(e.szLabel, sizeof e.szLabel, "OrvaDesk Demo");
  CORVAHttpServer::HandleKeyEvent(e, nullptr);
  int code = -1;
  ASSERT_TRUE(py.Wait(15000, &code)) << ReadFile(dir + "/out");
  std::string out = ReadFile(dir + "/out");
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(out,
            "OPEN\nEVENT {\"eventType\":1,\"keyIndex\":0,\"keyName\":\"OrvaDesk Demo\","
            "\"respType\":\"device_event_resp\"}\nPONG\nCLOSED 1000\n");
}
