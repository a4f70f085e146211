// The service in this process on a free loopback port, driven by a raw TLS client that
// sends exact bytes: request flows, framing errors, who may call, WebSocket frames and
// events, hostile peers, the connection cap, time-outs and the life cycle.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "foundation/SettingsStore.h"
#include "testing/TestEnv.h"
#include "webservice/ORVAAccessPolicy.h"
#include "webservice/ORVAHttpServer.h"
#include "webservice/ORVATlsIdentity.h"
#include "webservice/ORVAWebSocket.h"
#include "webservice/tests/TlsTestClient.h"

namespace {

const std::string kInitBody = "{\"msg\":\"执行成功\",\"res\":0,\"respType\":\"init_resp\"}\n";
const std::string kNoBody = "{\"msg\":\"参数错误\",\"res\":-2130706428}\n";
const std::string kUnknown = "{\"msg\":\"Unkonw HTTP request!\",\"res\":-2130706428}\n";
const std::string kRefused = "{\"msg\":\"非法调用\",\"res\":-2130706421}\n";
const std::string kAllowed = "https://page.example";

std::string WithoutDate(std::string head) {
  size_t d = head.find("\r\nDate: ");
  if (d == std::string::npos) return head;
  size_t e = head.find("\r\n", d + 2);
  return head.erase(d + 2, e - d);
}

std::string OkHead(size_t len) {
  return "HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\nAccess-Control-Allow-Origin:*\r\n"
         "Content-Length:" + std::to_string(len) +
         "\r\nConnection: keep-alive\r\nContent-Type: application/json\r\n\r\n";
}

std::string Upgrade(const std::string& extra = "") {
  return "GET / HTTP/1.1\r\nHost: orvadesk.localhost:6368\r\nUpgrade: websocket\r\n"
         "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" + extra + "\r\n";
}

const std::string k101 =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

DEVICE_EVENT_INFO Event(uint32_t type, uint32_t index, const char* label) {
  DEVICE_EVENT_INFO e{};
  e.ulEventType = type;
  e.ulIndex = index;
  std::snprintf(e.szLabel, sizeof e.szLabel, "%s", label);
  return e;
}

template <class F>
bool WaitFor(F f, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (f()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return f();
}

class Service : public ::testing::Test {
 protected:
  void StartWith(const ORVA_SERVICE_LIMITS& limits) {
    orva::testing::WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
                             R"({"SOFTWARE\\ORVA\\OrvaDesk":{"AllowedOrigins":")" + kAllowed + R"("}})");
    CORVAHttpServer::SetLimits(limits);
    ASSERT_TRUE(CORVAHttpServer::Start(0, nullptr));
    port = CORVAHttpServer::GetPort();
    ASSERT_NE(port, 0);
  }
  void SetUp() override { StartWith(ORVA_SERVICE_LIMITS{}); }
  void TearDown() override {
    CORVAHttpServer::Stop();
    CORVAHttpServer::SetLimits(ORVA_SERVICE_LIMITS{});
  }
  uint64_t Messages() { return CORVAHttpServer::Stats().ullMessages.load(); }

  uint16_t port = 0;
};

}  // namespace

TEST_F(Service, RequestFlowOnOneKeepAliveConnection) {
  TlsTestClient c;
  ASSERT_TRUE(c.Connect(port));
  struct Row {
    const char* name;
    std::vector<std::string> sends;  // written one after another, 30 ms apart
    std::vector<std::string> bodies;  // replies expected, in order
    bool bContinue = false;           // a 100 Continue comes first
  } rows[] = {
      {"init", {HttpPost(R"({"msgType":"init"})")}, {kInitBody}},
      {"get_version",
       {HttpPost(R"({"msgType":"get_version"})", "Content-Type: application/json\r\n")},
       {"{\"msg\":\"执行成功\",\"res\":0,\"respType\":\"get_version_resp\",\"version\":\"" ORVA_VERSION_TEXT "\"}\n"}},
      {"body in three writes",
       {"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 18\r\n\r\n{\"msgT", "ype\":\"in", "it\"}"},
       {kInitBody}},
      {"two pipelined", {HttpPost(R"({"msgType":"init"})") + HttpPost("not json")},
       {kInitBody, "{\"msg\":\"输入数据有误\",\"res\":-2130706418}\n"}},
      {"header names in any case",
       {"POST / HTTP/1.1\r\nhOST: 127.0.0.1\r\ncontent-length: 18\r\n\r\n{\"msgType\":\"init\"}"},
       {kInitBody}},
      {"a command whose text says websocket",
       {HttpPost(R"({"msgType":"init","text":"Upgrade: websocket"})", "Upgrade: websocket\r\n")},
       {kInitBody}},
      {"GET has no body", {"GET /?x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"}, {kNoBody}},
      {"GET upgrade without key is a GET", {"GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n"}, {kNoBody}},
      {"GET body is URL-decoded",
       {"GET / HTTP/1.1\r\nContent-Length: 32\r\n\r\n%7B%22msgType%22%3A%22init%22%7D"}, {kInitBody}},
      {"OPTIONS without origin", {"OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"}, {kUnknown}},
      {"PUT", {"PUT / HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}"}, {kUnknown}},
      {"Expect: 100-continue",
       {"POST / HTTP/1.1\r\nContent-Length: 18\r\nExpect: 100-continue\r\n\r\n", "{\"msgType\":\"init\"}"},
       {kInitBody}, true},
      {"empty body", {HttpPost("")}, {kNoBody}},
  };
  for (const auto& r : rows) {
    for (size_t i = 0; i < r.sends.size(); ++i) {
      ASSERT_TRUE(c.Send(r.sends[i])) << r.name;
      if (i == 0 && r.bContinue) {
        ASSERT_TRUE(c.ReadUntil([](const std::string& b) { return b.size() >= 25; })) << r.name;
        EXPECT_EQ(c.Buffer().substr(0, 25), "HTTP/1.1 100 Continue\r\n\r\n") << r.name;
        c.Buffer().erase(0, 25);
      }
      if (i + 1 < r.sends.size()) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    for (const auto& want : r.bodies) {
      std::string head, body;
      ASSERT_TRUE(c.ReadResponse(head, body)) << r.name;
      EXPECT_EQ(WithoutDate(head), OkHead(want.size())) << r.name;
      EXPECT_EQ(body, want) << r.name;
    }
  }
  EXPECT_TRUE(c.Buffer().empty());
}

TEST_F(Service, FramingErrorsAreAnsweredAndClosed) {
  struct Row {
    const char* name;
    std::string request;
    std::string body;
  } rows[] = {
      {"100 MiB + 1", "POST / HTTP/1.1\r\nContent-Length: 104857601\r\n\r\n",
       "{\"msg\":\"Data length is too large!\",\"res\":-2130706422}\n"},
      {"negative length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
       "{\"msg\":\"Unkonw HTTP request!\",\"res\":-2130706417}\n"},
      {"overflowing length", "POST / HTTP/1.1\r\nContent-Length: 184467440737095516160\r\n\r\n",
       "{\"msg\":\"Unkonw HTTP request!\",\"res\":-2130706417}\n"},
      {"chunked", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n",
       "{\"msg\":\"Unkonw HTTP request!\",\"res\":-2130706417}\n"},
      {"200 KB header line", "POST / HTTP/1.1\r\nX-Long: " + std::string(200 * 1024, 'a') + "\r\n\r\n",
       "{\"msg\":\"Unkonw HTTP request!\",\"res\":-2130706417}\n"},
      {"200 KB without a line break", std::string(200 * 1024, 'G'),
       "{\"msg\":\"Unkonw HTTP request!\",\"res\":-2130706417}\n"},
      {"blank request line", "\r\nHost: a\r\n\r\n", kUnknown},
  };
  for (const auto& r : rows) {
    TlsTestClient c;
    ASSERT_TRUE(c.Connect(port)) << r.name;
    ASSERT_TRUE(c.Send(r.request)) << r.name;
    std::string head, body;
    ASSERT_TRUE(c.ReadResponse(head, body)) << r.name;
    EXPECT_EQ(head.substr(0, 17), "HTTP/1.0 200 OK\r\n") << r.name;
    EXPECT_EQ(body, r.body) << r.name;
    EXPECT_TRUE(c.WaitClosed()) << r.name;
  }
}

TEST_F(Service, WhoMayCall) {
  struct Row {
    const char* name;
    std::string request;
    bool served;
  } rows[] = {
      {"local program", HttpPost(R"({"msgType":"init"})"), true},
      {"allowed origin", HttpPost(R"({"msgType":"init"})", "Origin: " + kAllowed + "\r\n"), true},
      {"allowed origin, other case", HttpPost(R"({"msgType":"init"})", "Origin: HTTPS://Page.Example\r\n"), true},
      {"other origin", HttpPost(R"({"msgType":"init"})", "Origin: https://evil.example\r\n"), false},
      {"null origin", HttpPost(R"({"msgType":"init"})", "Origin: null\r\n"), false},
      {"rebound host name", "POST / HTTP/1.1\r\nHost: evil.example:6368\r\nContent-Length: 2\r\n\r\n{}", false},
      {"preflight of another origin",
       "OPTIONS / HTTP/1.1\r\nOrigin: https://evil.example\r\nAccess-Control-Request-Method: POST\r\n\r\n", false},
      {"upgrade from another origin", Upgrade("Origin: https://evil.example\r\n"), false},
      {"upgrade through a rebound name", "GET / HTTP/1.1\r\nHost: evil.example\r\nUpgrade: websocket\r\n"
                                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n", false},
  };
  for (const auto& r : rows) {
    uint64_t before = Messages();
    uint64_t refusedBefore = CORVAHttpServer::Stats().ullRefused.load();
    TlsTestClient c;
    ASSERT_TRUE(c.Connect(port)) << r.name;
    ASSERT_TRUE(c.Send(r.request)) << r.name;
    std::string head, body;
    ASSERT_TRUE(c.ReadResponse(head, body)) << r.name;
    if (r.served) {
      EXPECT_EQ(body, kInitBody) << r.name;
      EXPECT_EQ(Messages(), before + 1) << r.name;
      continue;
    }
    EXPECT_EQ(head.substr(0, 24), "HTTP/1.0 403 Forbidden\r\n") << r.name;
    EXPECT_EQ(head.find("Access-Control"), std::string::npos) << r.name;
    EXPECT_EQ(body, kRefused) << r.name;
    EXPECT_TRUE(c.WaitClosed()) << r.name;
    EXPECT_EQ(Messages(), before) << r.name << ": a refused request ran a command";
    EXPECT_EQ(CORVAHttpServer::Stats().ullRefused.load(), refusedBefore + 1) << r.name;
  }

  // The preflight of an allowed origin lets a page POST application/json.
  TlsTestClient c;
  ASSERT_TRUE(c.Connect(port));
  ASSERT_TRUE(c.Send("OPTIONS / HTTP/1.1\r\nHost: orvadesk.localhost:6368\r\nOrigin: " + kAllowed +
                     "\r\nAccess-Control-Request-Method: POST\r\n"
                     "Access-Control-Request-Headers: content-type\r\n"
                     "Access-Control-Request-Private-Network: true\r\n\r\n"));
  std::string head, body;
  ASSERT_TRUE(c.ReadResponse(head, body));
  EXPECT_EQ(WithoutDate(head),
            "HTTP/1.0 204 No Content\r\nAccess-Control-Allow-Origin: " + kAllowed +
                "\r\nAccess-Control-Allow-Methods: POST, GET, OPTIONS\r\n"
                "Access-Control-Allow-Headers: content-type\r\n"
                "Access-Control-Allow-Private-Network: true\r\nAccess-Control-Max-Age: 600\r\n"
                "Vary: Origin\r\nContent-Length:0\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_TRUE(body.empty());
  // ... and the connection goes on with the POST itself.
  ASSERT_TRUE(c.Send(HttpPost(R"({"msgType":"init"})", "Origin: " + kAllowed +
                                                         "\r\nContent-Type: application/json\r\n")));
  ASSERT_TRUE(c.ReadResponse(head, body));
  EXPECT_EQ(body, kInitBody);
}

TEST_F(Service, WebSocketFramesAndEvents) {
  TlsTestClient ws;
  ASSERT_TRUE(ws.Connect(port));
  ASSERT_TRUE(ws.Send(Upgrade("Origin: " + kAllowed + "\r\n")));
  ASSERT_TRUE(ws.ReadUntil([](const std::string& b) { return b.size() >= k101.size(); }));
  EXPECT_EQ(ws.Buffer().substr(0, k101.size()), k101);
  ws.Buffer().erase(0, k101.size());
  ASSERT_TRUE(WaitFor([] { return CORVAHttpServer::Stats().llOpenWebSockets.load() == 1; }));

  // A plain keep-alive connection alongside: it never sees a frame.
  TlsTestClient http;
  ASSERT_TRUE(http.Connect(port));
  std::string head, body;
  ASSERT_TRUE(http.Send(HttpPost(R"({"msgType":"init"})")));
  ASSERT_TRUE(http.ReadResponse(head, body));

  CORVAHttpServer::HandleKeyEvent(Event(1, 0, "Token A"), nullptr);
  uint8_t op = 0;
  std::string payload;
  ASSERT_TRUE(ws.ReadFrame(op, payload));
  EXPECT_EQ(op, ORVA_WS_OP_TEXT);
  EXPECT_EQ(payload, "{\"eventType\":1,\"keyIndex\":0,\"keyName\":\"Token A\",\"respType\":\"device_event_resp\"}\n");
  // An event of another device manager is not ours to push.
  CORVAHttpServer::HandleKeyEvent(Event(2, 1, "Other"), reinterpret_cast<CDeviceManager*>(&op));

  // The page's own frames: a ping is answered, a message is read and let go.
  ASSERT_TRUE(ws.Send(OrvaWsClientFrame(ORVA_WS_OP_PING, "are you there")));
  ASSERT_TRUE(ws.ReadFrame(op, payload));
  EXPECT_EQ(op, ORVA_WS_OP_PONG);
  EXPECT_EQ(payload, "are you there");
  ASSERT_TRUE(ws.Send(OrvaWsClientFrame(ORVA_WS_OP_TEXT, R"({"msgType":"init"})")));
  std::string longLabel(127, 'x');
  CORVAHttpServer::HandleKeyEvent(Event(2, 3, longLabel.c_str()), nullptr);
  ASSERT_TRUE(ws.ReadFrame(op, payload));
  EXPECT_EQ(payload, "{\"eventType\":2,\"keyIndex\":3,\"keyName\":\"" + longLabel +
                         "\",\"respType\":\"device_event_resp\"}\n");
  EXPECT_TRUE(ws.Buffer().empty());

  ASSERT_TRUE(http.Send(HttpPost(R"({"msgType":"init"})")));
  ASSERT_TRUE(http.ReadResponse(head, body));
  EXPECT_EQ(body, kInitBody);
  EXPECT_TRUE(http.Buffer().empty());

  // A close is echoed with its code, then the connection ends.
  ASSERT_TRUE(ws.Send(OrvaWsClientFrame(ORVA_WS_OP_CLOSE, std::string("\x03\xE8", 2))));
  ASSERT_TRUE(ws.ReadFrame(op, payload));
  EXPECT_EQ(op, ORVA_WS_OP_CLOSE);
  EXPECT_EQ(payload, std::string("\x03\xE8", 2));
  EXPECT_TRUE(ws.WaitClosed());
  EXPECT_TRUE(WaitFor([] { return CORVAHttpServer::Stats().llOpenWebSockets.load() == 0; }));

  // Bad frames close with the code RFC 6455 gives them.
  struct Row {
    const char* name;
    std::string frame;
    uint16_t code;
  } rows[] = {{"unmasked", OrvaWsFrame(ORVA_WS_OP_TEXT, "hi"), ORVA_WS_CLOSE_PROTOCOL},
              {"oversized", std::string("\x82\xFF\x00\x00\x00\x00\x40\x00\x00\x00\x01\x02\x03\x04", 14), ORVA_WS_CLOSE_TOO_BIG},
              {"not UTF-8", OrvaWsClientFrame(ORVA_WS_OP_TEXT, "\xFF"), ORVA_WS_CLOSE_BAD_DATA}};
  for (const auto& r : rows) {
    TlsTestClient bad;
    ASSERT_TRUE(bad.Connect(port));
    ASSERT_TRUE(bad.Send(Upgrade() + r.frame)) << r.name;
    ASSERT_TRUE(bad.ReadUntil([](const std::string& b) { return b.size() >= k101.size(); }));
    bad.Buffer().erase(0, k101.size());
    ASSERT_TRUE(bad.ReadFrame(op, payload)) << r.name;
    EXPECT_EQ(op, ORVA_WS_OP_CLOSE) << r.name;
    EXPECT_EQ(payload, OrvaWsCloseFrame(r.code).substr(2)) << r.name;
    EXPECT_TRUE(bad.WaitClosed()) << r.name;
  }
}

TEST_F(Service, HostilePeersDoNotStallOthers) {
  // A silent TCP peer and one that stops half-way through its hello.
  TlsTestClient silent, half;
  ASSERT_TRUE(silent.ConnectTcp(port));
  ASSERT_TRUE(half.ConnectTcp(port));
  ASSERT_TRUE(half.SendRaw(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)));
  // A peer that speaks plain HTTP fails its handshake alone.
  TlsTestClient plain;
  ASSERT_TRUE(plain.ConnectTcp(port));
  ASSERT_TRUE(plain.SendRaw("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}"));
  EXPECT_TRUE(plain.WaitClosed());
  {
    TlsTestClient c;
    ASSERT_TRUE(c.Connect(port, "", 2000));
    ASSERT_TRUE(c.Send(HttpPost(R"({"msgType":"init"})")));
    std::string head, body;
    ASSERT_TRUE(c.ReadResponse(head, body, 2000));
    EXPECT_EQ(body, kInitBody);
  }
  // Clients that go away in the middle of their replies.
  for (int i = 0; i < 5; ++i) {
    TlsTestClient gone;
    ASSERT_TRUE(gone.Connect(port));
    std::string many;
    for (int k = 0; k < 200; ++k) many += HttpPost(R"({"msgType":"get_version"})");
    ASSERT_TRUE(gone.Send(many));
    gone.Abort();
  }
  // 200 connections at once, every one answered.
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 200; ++i)
    threads.emplace_back([&] {
      TlsTestClient c;
      if (!c.Connect(port, "", 10000)) return;
      if (!c.Send(HttpPost(R"({"msgType":"init"})"))) return;
      std::string head, body;
      if (c.ReadResponse(head, body, 10000) && body == kInitBody) good++;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 200);
  // Every finished connection is reaped without waiting for a new one.
  EXPECT_TRUE(WaitFor([] { return CORVAHttpServer::WorkerCount() == 2; }))
      << CORVAHttpServer::WorkerCount();
}

TEST_F(Service, TimeOutsAndTheConnectionCap) {
  CORVAHttpServer::Stop();
  ORVA_SERVICE_LIMITS limits;
  limits.nHandshakeTimeoutMs = 300;
  limits.nIdleTimeoutMs = 300;
  limits.nHeaderTimeoutMs = 300;
  limits.ulMaxConnections = 3;
  StartWith(limits);

  // A silent peer is dropped after the handshake time-out.
  TlsTestClient silent;
  ASSERT_TRUE(silent.ConnectTcp(port));
  EXPECT_TRUE(silent.WaitClosed());
  // A keep-alive connection is dropped when idle, and a half-sent header times out.
  TlsTestClient idle, slow;
  ASSERT_TRUE(idle.Connect(port));
  ASSERT_TRUE(slow.Connect(port));
  ASSERT_TRUE(slow.Send("POST / HTTP/1.1\r\nContent-Le"));
  EXPECT_TRUE(idle.WaitClosed());
  EXPECT_TRUE(slow.WaitClosed());
  // A WebSocket is never idle: it still gets events after the idle time has passed.
  TlsTestClient ws;
  ASSERT_TRUE(ws.Connect(port));
  ASSERT_TRUE(ws.Send(Upgrade()));
  ASSERT_TRUE(ws.ReadUntil([](const std::string& b) { return b.size() >= k101.size(); }));
  ws.Buffer().erase(0, k101.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  CORVAHttpServer::HandleKeyEvent(Event(3, 0, ""), nullptr);
  uint8_t op = 0;
  std::string payload;
  ASSERT_TRUE(ws.ReadFrame(op, payload));
  EXPECT_EQ(payload, "{\"eventType\":3,\"keyIndex\":0,\"keyName\":\"\",\"respType\":\"device_event_resp\"}\n");

  // At the cap a new peer waits in the backlog until a connection ends.
  ASSERT_TRUE(WaitFor([] { return CORVAHttpServer::WorkerCount() == 1; }));
  TlsTestClient a, b;
  ASSERT_TRUE(a.Connect(port));
  ASSERT_TRUE(b.ConnectTcp(port));
  ASSERT_TRUE(WaitFor([] { return CORVAHttpServer::WorkerCount() == 3; }));
  TlsTestClient waiting;
  ASSERT_TRUE(waiting.ConnectTcp(port));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(CORVAHttpServer::WorkerCount(), 3u);
  ws.Close();  // frees a place
  EXPECT_TRUE(WaitFor([] { return CORVAHttpServer::Stats().llOpenWebSockets.load() == 0; }));
  waiting.Close();
  TlsTestClient next;
  ASSERT_TRUE(next.Connect(port, "", 5000));
  ASSERT_TRUE(next.Send(HttpPost(R"({"msgType":"init"})")));
  std::string head, body;
  ASSERT_TRUE(next.ReadResponse(head, body));
  EXPECT_EQ(body, kInitBody);
}

TEST_F(Service, StartStopAndRestart) {
  // A second Start keeps the one listener; a busy port makes Start fail.
  EXPECT_TRUE(CORVAHttpServer::Start(0, nullptr));
  EXPECT_EQ(CORVAHttpServer::GetPort(), port);
  int other = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(other, 1), 0);
  socklen_t len = sizeof a;
  getsockname(other, reinterpret_cast<sockaddr*>(&a), &len);
  uint16_t busy = ntohs(a.sin_port);

  // Open connections of both kinds end promptly on Stop; the WebSocket hears 1001.
  TlsTestClient http, ws, silent;
  ASSERT_TRUE(http.Connect(port));
  ASSERT_TRUE(silent.ConnectTcp(port));
  ASSERT_TRUE(ws.Connect(port));
  ASSERT_TRUE(ws.Send(Upgrade()));
  ASSERT_TRUE(ws.ReadUntil([](const std::string& b) { return b.size() >= k101.size(); }));
  ws.Buffer().erase(0, k101.size());
  std::string head, body;
  ASSERT_TRUE(http.Send(HttpPost(R"({"msgType":"init"})")));
  ASSERT_TRUE(http.ReadResponse(head, body));
  auto t0 = std::chrono::steady_clock::now();
  CORVAHttpServer::Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
  uint8_t op = 0;
  std::string payload;
  ASSERT_TRUE(ws.ReadFrame(op, payload));
  EXPECT_EQ(op, ORVA_WS_OP_CLOSE);
  EXPECT_EQ(payload, std::string("\x03\xE9", 2));
  EXPECT_TRUE(http.WaitClosed());
  EXPECT_TRUE(silent.WaitClosed());
  CORVAHttpServer::Stop();  // nothing left to stop
  CORVAHttpServer::HandleKeyEvent(Event(1, 0, "x"), nullptr);

  EXPECT_FALSE(CORVAHttpServer::Start(busy, nullptr));
  EXPECT_EQ(CORVAHttpServer::GetPort(), 0);
  close(other);

  // The same port again at once, although the old connections linger in TIME_WAIT.
  ASSERT_TRUE(CORVAHttpServer::Start(port, nullptr));
  TlsTestClient again;
  ASSERT_TRUE(again.Connect(port));
  ASSERT_TRUE(again.Send(HttpPost(R"({"msgType":"init"})")));
  ASSERT_TRUE(again.ReadResponse(head, body));
  EXPECT_EQ(body, kInitBody);
}
