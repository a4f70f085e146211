// The shared downloader against real loopback peers: python3's http.server for documents,
// error statuses and redirects, a listener that never answers for the time-outs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "foundation/ORVAHttpDownload.h"
#include "foundation/ResultCodes.h"
#include "testing/TestEnv.h"
#include "testing/TestServers.h"

using orva::testing::HttpFileServer;
using orva::testing::SilentServer;

namespace {

class HttpDownloadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new std::string(orva::testing::MakeTempDir("www"));
    std::string big(100000, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    orva::testing::WriteFile(*s_dir + "/crl/list.crl", big);
    orva::testing::WriteFile(*s_dir + "/empty.bin", "");
    s_server = new HttpFileServer();
    ASSERT_TRUE(s_server->Start(*s_dir));
    ASSERT_TRUE(s_silent.Start());
  }
  static void TearDownTestSuite() {
    delete s_server;
    s_silent.Stop();
  }
  static std::string* s_dir;
  static HttpFileServer* s_server;
  static SilentServer s_silent;
};
std::string* HttpDownloadTest::s_dir;
HttpFileServer* HttpDownloadTest::s_server;
SilentServer HttpDownloadTest::s_silent;

TEST_F(HttpDownloadTest, OutcomesOfOneGet) {
  std::string doc = orva::testing::ReadFile(*s_dir + "/crl/list.crl");
  std::string silent = "http://127.0.0.1:" + std::to_string(s_silent.Port()) + "/x";
  int closedPort = orva::testing::FreeLoopbackPort();
  ORVA_HTTP_OPTIONS quick;
  quick.ulTotalTimeoutMs = 1000;
  ORVA_HTTP_OPTIONS small;
  small.ullMaxBytes = 99999;
  struct Row {
    const char* what;
    std::string url;
    ORVA_HTTP_OPTIONS opts;
    uint32_t res;
    long status;
    std::string body;
  } rows[] = {
      {"document", s_server->Url("/crl/list.crl"), {}, ORVA_OK, 200, doc},
      {"empty document", s_server->Url("/empty.bin"), {}, ORVA_OK, 200, ""},
      {"exactly at the limit", s_server->Url("/crl/list.crl"), [] {
         ORVA_HTTP_OPTIONS o;
         o.ullMaxBytes = 100000;
         return o;
       }(), ORVA_OK, 200, doc},
      {"one byte over the limit", s_server->Url("/crl/list.crl"), small, ORVA_E_DATA_TOO_LONG, 200, ""},
      {"not found", s_server->Url("/crl/none.crl"), {}, ORVA_E_DOWNLOAD_MISSING, 404, ""},
      // http.server answers a folder without its slash with 301; redirects are not followed.
      {"redirect", s_server->Url("/crl"), {}, ORVA_E_DOWNLOAD_MISSING, 301, ""},
      {"nobody listening", "http://127.0.0.1:" + std::to_string(closedPort) + "/x", {}, ORVA_E_DOWNLOAD_MISSING, 0, ""},
      {"silent server", silent, quick, ORVA_E_TIMEOUT, 0, ""},
      {"empty address", "", {}, ORVA_E_INVALID_PARAM, 0, ""},
      {"blank in address", s_server->Url("/crl/list crl"), {}, ORVA_E_INVALID_PARAM, 0, ""},
      {"file scheme", "file:///etc/hostname", {}, ORVA_E_INVALID_PARAM, 0, ""},
      {"ftp scheme", "ftp://127.0.0.1/x", {}, ORVA_E_INVALID_PARAM, 0, ""},
  };
  for (const Row& r : rows) {
    std::vector<uint8_t> body = {1, 2, 3};
    ORVA_HTTP_RESULT info;
    EXPECT_EQ(CORVAHttpDownload::Get(r.url, body, r.opts, &info), r.res) << r.what << ": " << info.strError;
    EXPECT_EQ(info.lHttpStatus, r.status) << r.what;
    if (r.res == ORVA_OK) {
      EXPECT_EQ(std::string(body.begin(), body.end()), r.body) << r.what;
      EXPECT_EQ(info.ullReceived, r.body.size()) << r.what;
    } else {
      EXPECT_EQ(body, (std::vector<uint8_t>{1, 2, 3})) << r.what << ": a failure leaves the output alone";
    }
  }
}

// Proxy variables of the environment would send the request to the silent listener.
TEST_F(HttpDownloadTest, ProxyVariablesAreIgnored) {
  std::string proxy = "http://127.0.0.1:" + std::to_string(s_silent.Port());
  for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) setenv(v, proxy.c_str(), 1);
  std::vector<uint8_t> body;
  ORVA_HTTP_OPTIONS quick;
  quick.ulTotalTimeoutMs = 3000;
  EXPECT_EQ(CORVAHttpDownload::Get(s_server->Url("/crl/list.crl"), body, quick), ORVA_OK);
  EXPECT_EQ(body.size(), 100000u);
  for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) unsetenv(v);
}

TEST_F(HttpDownloadTest, SinkAndCancelStopATransfer) {
  size_t seen = 0;
  CORVAHttpDownload::Sink stopAfterFirst = [&seen](const uint8_t*, size_t n) {
    seen += n;
    return false;
  };
  EXPECT_EQ(CORVAHttpDownload::Get(s_server->Url("/crl/list.crl"), stopAfterFirst), ORVA_E_CANCELLED);
  EXPECT_GT(seen, 0u);

  // A cancel raised while the peer stays silent ends the wait long before the time-out.
  std::atomic<bool> cancel{false};
  ORVA_HTTP_OPTIONS opts;
  opts.pbCancel = &cancel;
  std::thread raiser([&cancel] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel = true;
  });
  std::vector<uint8_t> body;
  ORVA_HTTP_RESULT info;
  EXPECT_EQ(CORVAHttpDownload::Get("http://127.0.0.1:" + std::to_string(s_silent.Port()) + "/", body, opts, &info),
            ORVA_E_CANCELLED)
      << info.strError;
  raiser.join();
}

}  // namespace
