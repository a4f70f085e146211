// The pieces of the loopback service that need no socket: the request reader, the reply
// header, the WebSocket handshake, frames and decoder, the access rules, the hosts check
// and the TLS identity (checked with the openssl command line).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "foundation/RegOptions.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "platform/Paths.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "webservice/ORVAAccessPolicy.h"
#include "webservice/ORVAHttpRequest.h"
#include "webservice/ORVAHttpServer.h"
#include "webservice/ORVAHttpsWorker.h"
#include "webservice/ORVATlsIdentity.h"
#include "webservice/ORVAWebSocket.h"

using orva::testing::MakeTempDir;
using orva::testing::ReadFile;
using orva::testing::RunProgram;
using orva::testing::WriteFile;

TEST(HttpRequest, ParsesHeaderBlocks) {
  struct Row {
    std::string text;
    uint32_t res;
    std::string method, name, value;
  } rows[] = {
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\n", 0, "POST", "content-length", " 5"},
      // Names compare without regard to case; values keep their leading blanks.
      {"GET / HTTP/1.1\r\nsec-websocket-key:  k== \r\n\r\n", 0, "GET", "Sec-WebSocket-Key", "  k== "},
      // A later header of the same name replaces an earlier one.
      {"POST / HTTP/1.1\r\nX-A: 1\r\nx-a: 2\r\n\r\n", 0, "POST", "X-A", " 2"},
      {"OPTIONS / HTTP/1.1\r\nOrigin: https://a.example\r\n\r\n", 0, "OPTIONS", "origin", " https://a.example"},
      {"", ORVA_E_INVALID_PARAM, "", "", ""},
      {"\r\nHost: a\r\n\r\n", ORVA_E_INVALID_PARAM, "", "", ""},
      {"POST / HTTP/1.1", ORVA_E_BAD_INPUT_LENGTH, "", "", ""},
      {"POST / HTTP/1.1\r\nHost: a", ORVA_E_BAD_INPUT_LENGTH, "", "", ""},
  };
  for (const auto& r : rows) {
    CORVAHttpRequest req;
    EXPECT_EQ(req.parseReq(r.text), r.res) << r.text;
    if (r.res != 0) continue;
    EXPECT_EQ(req.GetMethod(), r.method);
    ASSERT_NE(req.GetHeader(r.name), nullptr) << r.text;
    EXPECT_EQ(*req.GetHeader(r.name), r.value);
  }
  CORVAHttpRequest req;
  ASSERT_EQ(req.parseReq("POST / HTTP/1.1\r\nA: b\r\n\r\n{\"x\":1}"), 0u);
  EXPECT_EQ(req.GetFirstLine(), "POST / HTTP/1.1");
  EXPECT_EQ(req.GetBody(), "{\"x\":1}");
  EXPECT_EQ(CORVAHttpRequest::FindHeaderEnd("GET / HTTP/1.1\r\n\r\nrest"), 18u);
  EXPECT_EQ(CORVAHttpRequest::FindHeaderEnd("GET / HTTP/1.1\r\n\r"), std::string::npos);
}

TEST(HttpRequest, BodyLengthRules) {
  struct Row {
    std::string headers;
    uint32_t res;
    uint64_t len;
    bool present;
    int64_t lenient;  // the announced length read the old way
  } rows[] = {
      {"", 0, 0, false, 0},
      {"Content-Length: 25\r\n", 0, 25, true, 25},
      {"content-length:\t7 \r\n", 0, 7, true, 7},
      {"Content-Length: 104857600\r\n", 0, 104857600, true, 104857600},
      {"Content-Length: 104857601\r\n", ORVA_E_DATA_TOO_LONG, 104857601, true, 104857601},
      {"Content-Length: 99999999999999\r\n", ORVA_E_DATA_TOO_LONG, 99999999999999, true, 99999999999999},
      {"Content-Length: -1\r\n", ORVA_E_BAD_INPUT_LENGTH, 0, false, -1},
      {"Content-Length: +5\r\n", ORVA_E_BAD_INPUT_LENGTH, 0, false, 5},
      {"Content-Length: 12abc\r\n", ORVA_E_BAD_INPUT_LENGTH, 0, false, 12},
      {"Content-Length: abc\r\n", ORVA_E_BAD_INPUT_LENGTH, 0, false, 0},
      {"Content-Length: \r\n", ORVA_E_BAD_INPUT_LENGTH, 0, false, 0},
      {"Content-Length: 99999999999999999999999\r\n", ORVA_E_BAD_INPUT_LENGTH, 0, false, INT64_MAX},
      {"Content-Length: 5\r\nContent-Length: 6\r\n", ORVA_E_BAD_INPUT_LENGTH, 0, false, 6},
      {"Content-Length: 5\r\nContent-Length: 5\r\n", 0, 5, true, 5},
      {"Transfer-Encoding: chunked\r\n", ORVA_E_BAD_INPUT_LENGTH, 0, false, 0},
      {"Content-Length: 5\r\nTransfer-Encoding: identity\r\n", ORVA_E_BAD_INPUT_LENGTH, 0, false, 5},
  };
  for (const auto& r : rows) {
    CORVAHttpRequest req;
    ASSERT_EQ(req.parseReq("POST / HTTP/1.1\r\n" + r.headers + "\r\n"), 0u);
    uint64_t len = 0;
    bool present = false;
    EXPECT_EQ(req.GetBodyLength(len, present), r.res) << r.headers;
    if (r.res != ORVA_E_BAD_INPUT_LENGTH) {
      EXPECT_EQ(len, r.len) << r.headers;
      EXPECT_EQ(present, r.present) << r.headers;
    }
    EXPECT_EQ(req.GetContentLength(), r.lenient) << r.headers;
  }
}

TEST(HttpRequest, UrlDecode) {
  struct Row {
    const char* in;
    const char* out;
  } rows[] = {{"a+b", "a b"},       {"%7B%22x%22%7d", "{\"x\"}"}, {"100%", "100%"},
              {"%4", "%4"},         {"%zz1", "%zz1"},             {"%41%", "A%"},
              {"", ""}};
  for (const auto& r : rows) EXPECT_EQ(OrvaUrlDecode(r.in), r.out) << r.in;
}

TEST(HttpRequest, ReplyHeaderBlock) {
  std::string h = packRespHeader(54);
  const std::string dateLine = "\r\nDate: ";
  size_t d = h.find(dateLine);
  ASSERT_EQ(d, std::string("HTTP/1.0 200 OK").size());
  size_t e = h.find("\r\n", d + 2);
  std::string date = h.substr(d + dateLine.size(), e - d - dateLine.size());
  struct tm tm {};
  ASSERT_NE(strptime(date.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm), nullptr) << date;
  EXPECT_EQ(date.size(), 29u);
  EXPECT_EQ(h.substr(0, d), "HTTP/1.0 200 OK");
  EXPECT_EQ(h.substr(e),
            "\r\nAccept-Ranges: bytes\r\nAccess-Control-Allow-Origin:*\r\nContent-Length:54\r\n"
            "Connection: keep-alive\r\nContent-Type: application/json\r\n\r\n");
  std::string refusal = packRefusalHeader(7);
  EXPECT_EQ(refusal.rfind("HTTP/1.0 403 Forbidden\r\n", 0), 0u);
  EXPECT_EQ(refusal.find("Access-Control"), std::string::npos);

  std::string resp;
  EXPECT_EQ(CORVAHttpsWorker::PackResponse(resp, ""), ORVA_E_INVALID_PARAM);
  std::string err = CORVAHttpsWorker::PackErrorResponse(ORVA_E_INVALID_PARAM, "Unkonw HTTP request!");
  const std::string body = "{\"msg\":\"Unkonw HTTP request!\",\"res\":-2130706428}\n";
  EXPECT_EQ(err.substr(err.size() - body.size()), body);
  EXPECT_NE(err.find("Content-Length:" + std::to_string(body.size()) + "\r\n"), std::string::npos);
}

TEST(WebSocket, HandshakeAcceptValue) {
  struct Row {
    std::string keyLine;
    std::string accept;  // empty: not a handshake
  } rows[] = {
      {"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
      {"Sec-WebSocket-Key:    dGhlIHNhbXBsZSBub25jZQ==   ", "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
      {"sec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==", "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
      {"Sec-WebSocket-Key:   ", ""},
      {"X-Other: 1", ""},
  };
  for (const auto& r : rows) {
    CORVAHttpRequest req;
    ASSERT_EQ(req.parseReq("GET / HTTP/1.1\r\nUpgrade: websocket\r\n" + r.keyLine + "\r\n\r\n"), 0u);
    std::string resp;
    uint32_t res = CORVAHttpsWorker::DoWebsocketHandShake(resp, req);
    if (r.accept.empty()) {
      EXPECT_EQ(res, ORVA_E_CALL_FAILED) << r.keyLine;
      continue;
    }
    ASSERT_EQ(res, 0u);
    EXPECT_EQ(resp, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Accept: " + r.accept + "\r\n\r\n");
  }
  EXPECT_EQ(CORVAHttpsWorker::CalcResponseSecKey(""), "");
}

TEST(WebSocket, EventFrameSizes) {
  struct Row {
    size_t payload;
    uint32_t frame;  // 0: not framed
    std::vector<uint8_t> start;
  } rows[] = {{40, 42, {0x81, 0x28}},         {125, 127, {0x81, 0x7D}},
              {126, 130, {0x81, 0x7E, 0x00, 0x7E}}, {200, 204, {0x81, 0x7E, 0x00, 0xC8}},
              {65534, 65538, {0x81, 0x7E, 0xFF, 0xFE}}, {65535, 0, {}}};
  for (const auto& r : rows) {
    std::string text(r.payload, 'x');
    uint32_t size = 0;
    ASSERT_EQ(CORVAHttpsWorker::PackData(text, nullptr, &size), 0);
    EXPECT_EQ(size, r.frame) << r.payload;
    if (r.frame == 0) continue;
    std::vector<uint8_t> buf(r.frame);
    uint32_t small = r.frame - 1;
    EXPECT_EQ(CORVAHttpsWorker::PackData(text, buf.data(), &small), -1);
    EXPECT_EQ(small, r.frame - 1);
    uint32_t exact = r.frame;
    ASSERT_EQ(CORVAHttpsWorker::PackData(text, buf.data(), &exact), 0);
    EXPECT_EQ(exact, r.frame);
    EXPECT_TRUE(std::equal(r.start.begin(), r.start.end(), buf.begin())) << r.payload;
    EXPECT_EQ(buf.back(), 'x');
  }
}

TEST(WebSocket, DecoderTable) {
  auto cat = [](std::initializer_list<std::string> parts) {
    std::string s;
    for (const auto& p : parts) s += p;
    return s;
  };
  std::string unmasked = OrvaWsFrame(ORVA_WS_OP_TEXT, "hi");
  std::string rsv = OrvaWsClientFrame(ORVA_WS_OP_TEXT, "hi");
  rsv[0] = static_cast<char>(rsv[0] | 0x40);
  std::string huge64 = std::string("\x81\xFF\x80\x00\x00\x00\x00\x00\x00\x00", 10) + std::string(4, '\0');
  struct Row {
    const char* name;
    std::string bytes;
    CORVAWsDecoder::Result res;
    uint8_t opcode;  // of the message, or
    std::string payload;
    uint16_t code;  // close code read, or the close code of the error
  } rows[] = {
      {"masked text", OrvaWsClientFrame(ORVA_WS_OP_TEXT, "hi"), CORVAWsDecoder::kMessage, ORVA_WS_OP_TEXT, "hi", 0},
      {"binary 300 bytes", OrvaWsClientFrame(ORVA_WS_OP_BINARY, std::string(300, '\x01')), CORVAWsDecoder::kMessage, ORVA_WS_OP_BINARY, std::string(300, '\x01'), 0},
      {"fragments", cat({OrvaWsClientFrame(ORVA_WS_OP_TEXT, "he", false), OrvaWsClientFrame(ORVA_WS_OP_CONTINUATION, "llo")}), CORVAWsDecoder::kMessage, ORVA_WS_OP_TEXT, "hello", 0},
      {"ping between fragments", cat({OrvaWsClientFrame(ORVA_WS_OP_TEXT, "he", false), OrvaWsClientFrame(ORVA_WS_OP_PING, "p")}), CORVAWsDecoder::kMessage, ORVA_WS_OP_PING, "p", 0},
      {"close 1000", OrvaWsClientFrame(ORVA_WS_OP_CLOSE, std::string("\x03\xE8" "bye", 5)), CORVAWsDecoder::kMessage, ORVA_WS_OP_CLOSE, std::string("\x03\xE8" "bye", 5), 1000},
      {"empty close", OrvaWsClientFrame(ORVA_WS_OP_CLOSE, ""), CORVAWsDecoder::kMessage, ORVA_WS_OP_CLOSE, "", 0},
      {"header only", OrvaWsClientFrame(ORVA_WS_OP_TEXT, "hello").substr(0, 4), CORVAWsDecoder::kNeedMore, 0, "", 0},
      {"unmasked", unmasked, CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_PROTOCOL},
      {"reserved bit", rsv, CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_PROTOCOL},
      {"opcode 3", OrvaWsClientFrame(3, "x"), CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_PROTOCOL},
      {"ping of 126 bytes", OrvaWsClientFrame(ORVA_WS_OP_PING, std::string(126, 'p')), CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_PROTOCOL},
      {"fragmented ping", OrvaWsClientFrame(ORVA_WS_OP_PING, "p", false), CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_PROTOCOL},
      {"lone continuation", OrvaWsClientFrame(ORVA_WS_OP_CONTINUATION, "x"), CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_PROTOCOL},
      {"text inside text", cat({OrvaWsClientFrame(ORVA_WS_OP_TEXT, "a", false), OrvaWsClientFrame(ORVA_WS_OP_TEXT, "b")}), CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_PROTOCOL},
      {"text not UTF-8", OrvaWsClientFrame(ORVA_WS_OP_TEXT, "\xC3\x28"), CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_BAD_DATA},
      {"close of one byte", OrvaWsClientFrame(ORVA_WS_OP_CLOSE, "\x03"), CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_PROTOCOL},
      {"close 1005", OrvaWsClientFrame(ORVA_WS_OP_CLOSE, "\x03\xED"), CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_PROTOCOL},
      {"over the limit", OrvaWsClientFrame(ORVA_WS_OP_BINARY, std::string(1025, 'a')), CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_TOO_BIG},
      {"fragments over the limit", cat({OrvaWsClientFrame(ORVA_WS_OP_TEXT, std::string(600, 'a'), false), OrvaWsClientFrame(ORVA_WS_OP_CONTINUATION, std::string(600, 'a'))}), CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_TOO_BIG},
      // Refused from its 10-byte header alone, before any payload is waited for.
      {"64-bit length with top bit", huge64, CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_PROTOCOL},
      {"announced 1 GiB", std::string("\x82\xFF\x00\x00\x00\x00\x40\x00\x00\x00", 10), CORVAWsDecoder::kError, 0, "", ORVA_WS_CLOSE_TOO_BIG},
  };
  for (const auto& r : rows) {
    CORVAWsDecoder dec(1024);
    std::string buf = r.bytes;
    ORVA_WS_MESSAGE msg;
    uint16_t code = 0;
    ASSERT_EQ(dec.Next(buf, msg, code), r.res) << r.name;
    if (r.res == CORVAWsDecoder::kMessage) {
      EXPECT_EQ(msg.opcode, r.opcode) << r.name;
      EXPECT_EQ(msg.payload, r.payload) << r.name;
      EXPECT_EQ(msg.closeCode, r.code) << r.name;
    } else if (r.res == CORVAWsDecoder::kError) {
      EXPECT_EQ(code, r.code) << r.name;
    }
  }
  // The message interrupted by a ping completes afterwards.
  CORVAWsDecoder dec;
  std::string buf = OrvaWsClientFrame(ORVA_WS_OP_TEXT, "he", false) +
                    OrvaWsClientFrame(ORVA_WS_OP_PING, "p") +
                    OrvaWsClientFrame(ORVA_WS_OP_CONTINUATION, "llo");
  ORVA_WS_MESSAGE msg;
  uint16_t code = 0;
  ASSERT_EQ(dec.Next(buf, msg, code), CORVAWsDecoder::kMessage);
  EXPECT_EQ(msg.opcode, ORVA_WS_OP_PING);
  ASSERT_EQ(dec.Next(buf, msg, code), CORVAWsDecoder::kMessage);
  EXPECT_EQ(msg.payload, "hello");
  EXPECT_TRUE(buf.empty());
  EXPECT_EQ(OrvaWsCloseFrame(1000), std::string("\x88\x02\x03\xE8", 4));
}

namespace {

void WriteSettings(SettingsScope scope, const std::string& json) {
  WriteFile(CSettingsStore::FilePath(scope), json);
}

}  // namespace

TEST(AccessPolicy, HostNames) {
  struct Row {
    const char* host;  // nullptr: no Host header
    bool ok;
  } rows[] = {{nullptr, true},
              {"orvadesk.localhost", true},
              {"orvadesk.localhost:6368", true},
              {"ORVADESK.LOCALHOST:6368", true},
              {" 127.0.0.1:6368 ", true},
              {"localhost", true},
              {"orvadesk.localhost.:6368", true},
              {"evil.example:6368", false},
              {"orvadesk.localhost.evil.example", false},
              {"127.0.0.2:6368", false},
              {"[::1]:6368", false},
              {"127.0.0.1:63x8", false},
              {"", false}};
  for (const auto& r : rows) {
    std::string h = r.host ? r.host : "";
    EXPECT_EQ(CORVAAccessPolicy::IsHostAllowed(r.host ? &h : nullptr), r.ok) << (r.host ? r.host : "(none)");
  }
}

TEST(AccessPolicy, ListedOriginsAndSettingsChanges) {
  WriteSettings(SettingsScope::Machine,
                R"({"SOFTWARE\\ORVA\\OrvaDesk":{"AllowedOrigins":"https://A.example; http://127.0.0.1:8080;null;;"}})");
  WriteSettings(SettingsScope::User, R"({"SOFTWARE\\ORVA\\OrvaDesk":{"ApprovedOrigins":"https://b.example"}})");
  CORVAAccessPolicy& p = CORVAAccessPolicy::Instance();
  p.ResetRunAnswers();
  struct Row {
    const char* origin;
    bool ok;
  } rows[] = {{"https://a.example", true},      {"HTTPS://A.EXAMPLE", true},
              {"http://127.0.0.1:8080", true},  {"https://b.example", true},
              {"https://a.example:443", false}, {"http://a.example", false},
              {"null", false},                  {"", false},
              {"https://c.example", false}};
  for (const auto& r : rows) EXPECT_EQ(p.IsOriginAllowed(r.origin), r.ok) << r.origin;

  // Changes to either file count from the next request on.
  WriteSettings(SettingsScope::User, R"({"SOFTWARE\\ORVA\\OrvaDesk":{"ApprovedOrigins":"https://c.example"}})");
  EXPECT_TRUE(p.IsOriginAllowed("https://c.example"));
  EXPECT_FALSE(p.IsOriginAllowed("https://b.example"));
  WriteSettings(SettingsScope::User, "{}");
  WriteSettings(SettingsScope::Machine, "{}");
  EXPECT_FALSE(p.IsOriginAllowed("https://a.example"));
}

TEST(AccessPolicy, ConsentIsAskedOnceForConcurrentRequests) {
  WriteSettings(SettingsScope::Machine, "{}");
  WriteSettings(SettingsScope::User, "{}");
  CORVAAccessPolicy& p = CORVAAccessPolicy::Instance();
  p.ResetRunAnswers();
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> asked{0};
  p.SetConsentProvider([&](const std::string& origin) {
    asked++;
    std::unique_lock<std::mutex> lk(m);
    cv.wait_for(lk, std::chrono::seconds(5), [&] { return release; });
    return origin == "https://always.example" ? CORVAAccessPolicy::kAllowAlways
           : origin == "https://once.example" ? CORVAAccessPolicy::kAllowOnce
                                              : CORVAAccessPolicy::kRefuse;
  });
  for (const char* origin : {"https://always.example", "https://once.example", "https://no.example"}) {
    asked = 0;
    {
      std::lock_guard<std::mutex> g(m);
      release = false;
    }
    std::vector<std::thread> threads;
    std::atomic<int> allowed{0};
    for (int i = 0; i < 8; ++i)
      threads.emplace_back([&] { allowed += p.IsOriginAllowed(origin) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    {
      std::lock_guard<std::mutex> g(m);
      release = true;
    }
    cv.notify_all();
    for (auto& t : threads) t.join();
    EXPECT_EQ(asked.load(), 1) << origin;
    bool expect = std::string(origin) != "https://no.example";
    EXPECT_EQ(allowed.load(), expect ? 8 : 0) << origin;
    // The answer holds for the rest of the run without asking again.
    EXPECT_EQ(p.IsOriginAllowed(origin), expect);
    EXPECT_EQ(asked.load(), 1);
  }
  std::string approved;
  ASSERT_TRUE(CRegOptions::ReadString(SettingsScope::User, "ApprovedOrigins", approved, 1000));
  EXPECT_EQ(approved, "https://always.example");
  // A new run forgets "once" but keeps "always".
  p.SetConsentProvider(nullptr);
  p.ResetRunAnswers();
  EXPECT_TRUE(p.IsOriginAllowed("https://always.example"));
  EXPECT_FALSE(p.IsOriginAllowed("https://once.example"));
  WriteSettings(SettingsScope::User, "{}");
}

TEST(HostsFile, EntryMustBeExact) {
  struct Row {
    std::string text;
    bool present;
  } rows[] = {{"127.0.0.1 localhost\n127.0.0.1 orvadesk.localhost\n", true},
              {"127.0.0.1 orvadesk.localhost", true},
              {"127.0.0.1 orvadesk.localhost \n", false},
              {"127.0.0.1\torvadesk.localhost\n", false},
              {"127.0.0.1 orvadesk.localhost\r\n", false},
              {"#127.0.0.1 orvadesk.localhost\n", false},
              {"127.0.0.1 ORVADESK.localhost\n", false},
              {"", false}};
  for (const auto& r : rows) {
    std::string path = MakeTempDir("hosts") + "/hosts";
    WriteFile(path, r.text);
    EXPECT_EQ(CORVAHttpServer::HostsFileHasEntry(path), r.present) << r.text;
  }
  EXPECT_FALSE(CORVAHttpServer::HostsFileHasEntry("/nonexistent/hosts"));
}

TEST(TlsIdentity, CreatedConstrainedAndCheckedByOpenssl) {
  std::string dir = MakeTempDir("tls");
  ORVA_SERVICE_IDENTITY id;
  ASSERT_EQ(CORVATlsIdentity::Create(dir, id), 0u);
  for (const char* f : {"service.crt.b64", "service.key.b64", "ca.crt.b64"}) {
    struct stat st {};
    ASSERT_EQ(stat((dir + "/" + f).c_str(), &st), 0) << f;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
  }
  EXPECT_EQ(ReadFile(dir + "/service.crt.b64"), id.strCertB64);
  EXPECT_EQ(ReadFile(dir + "/service.key.b64"), id.strKeyB64);

  std::string work = MakeTempDir("ossl");
  WriteFile(work + "/ca.pem", CORVATlsIdentity::CertPem(id.strCaB64));
  WriteFile(work + "/svc.pem", CORVATlsIdentity::CertPem(id.strCertB64));
  std::vector<uint8_t> keyDer;
  ASSERT_EQ(CStringConvert::Base64StringToBinary(id.strKeyB64, keyDer), 0u);
  WriteFile(work + "/svc.key.der", std::string(keyDer.begin(), keyDer.end()));

  std::string out;
  EXPECT_EQ(RunProgram({"openssl", "verify", "-CAfile", work + "/ca.pem", "-purpose", "sslserver",
                        "-verify_hostname", "orvadesk.localhost", work + "/svc.pem"}, out), 0)
      << out;
  // The CA's constraints keep every other name out, even if a certificate were minted.
  EXPECT_NE(RunProgram({"openssl", "verify", "-CAfile", work + "/ca.pem", "-verify_hostname",
                        "evil.example", work + "/svc.pem"}, out), 0);
  ASSERT_EQ(RunProgram({"openssl", "x509", "-in", work + "/ca.pem", "-noout", "-text"}, out), 0);
  EXPECT_NE(out.find("X509v3 Name Constraints: critical"), std::string::npos) << out;
  for (const char* n : {"DNS:orvadesk.localhost", "DNS:localhost", "IP:127.0.0.1/255.255.255.255",
                        "CA:TRUE, pathlen:0", "Certificate Sign"})
    EXPECT_NE(out.find(n), std::string::npos) << n;
  ASSERT_EQ(RunProgram({"openssl", "x509", "-in", work + "/svc.pem", "-noout", "-text", "-dates"}, out), 0);
  for (const char* n : {"Public-Key: (2048 bit)", "sha256WithRSAEncryption", "TLS Web Server Authentication",
                        "Digital Signature, Non Repudiation, Key Agreement", "DNS:orvadesk.localhost",
                        "Subject: CN = orvadesk.localhost", "Version: 3"})
    EXPECT_NE(out.find(n), std::string::npos) << n;
  // Twenty years, give or take the day of slack.
  size_t na = out.find("notAfter=");
  ASSERT_NE(na, std::string::npos);
  struct tm tm {};
  ASSERT_NE(strptime(out.substr(na + 9).c_str(), "%b %d %H:%M:%S %Y GMT", &tm), nullptr);
  double years = difftime(timegm(&tm), time(nullptr)) / (365.25 * 86400);
  EXPECT_GT(years, 19.9);
  EXPECT_LT(years, 20.1);
  // The key on disk is the service's PKCS#8 key and nothing else: the CA key is gone.
  ASSERT_EQ(RunProgram({"openssl", "pkey", "-inform", "DER", "-in", work + "/svc.key.der", "-pubout"}, out), 0);
  std::string svcPub;
  RunProgram({"openssl", "x509", "-in", work + "/svc.pem", "-noout", "-pubkey"}, svcPub);
  EXPECT_EQ(out, svcPub);
  // PKCS#8: version 0, then the algorithm identifier (a PKCS#1 key has an integer there).
  EXPECT_EQ(std::vector<uint8_t>(keyDer.begin() + 4, keyDer.begin() + 8),
            (std::vector<uint8_t>{0x02, 0x01, 0x00, 0x30}));
  std::string ls;
  RunProgram({"ls", "-A", dir}, ls);
  EXPECT_EQ(ls, "ca.crt.b64\nservice.crt.b64\nservice.key.b64\n");
}

TEST(TlsIdentity, LoadKeepsAGoodIdentityAndReplacesABrokenOne) {
  ORVA_SERVICE_IDENTITY a, b, c;
  ASSERT_EQ(CORVATlsIdentity::Load(a), 0u);
  ASSERT_EQ(CORVATlsIdentity::Load(b), 0u);
  EXPECT_EQ(a.strCertB64, b.strCertB64);
  EXPECT_EQ(a.strCaB64, b.strCaB64);
  // A key that no longer matches the certificate is not served: a new pair is made.
  WriteFile(CORVATlsIdentity::Dir() + "/service.key.b64", "MIIBOgIBAAJBAK");
  ASSERT_EQ(CORVATlsIdentity::Load(c), 0u);
  EXPECT_NE(c.strCertB64, a.strCertB64);
  EXPECT_NE(c.strCaB64, a.strCaB64);
  EXPECT_EQ(ReadFile(CORVATlsIdentity::Dir() + "/service.key.b64"), c.strKeyB64);
}
