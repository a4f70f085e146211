// One headless Chromium against the service, trusting the local CA through the user's NSS
// database as "orvadesk --trust-browsers" sets it up. A page from an allowed loopback
// origin POSTs as text/plain and as application/json (preflight), opens wss://, receives a
// pushed event and sends a message without the socket dying. A frame of it from an origin
// that is not allowed gets nothing, and nothing of its runs.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "foundation/SettingsStore.h"
#include "testing/ChildProcess.h"
#include "testing/TestEnv.h"
#include "webservice/ORVAHttpRequest.h"
#include "webservice/ORVAHttpServer.h"
#include "webservice/ORVATlsIdentity.h"

using orva::testing::ChildProcess;
using orva::testing::MakeTempDir;
using orva::testing::ReadFile;

namespace {

// A plain HTTP server on two loopback ports (two origins) that serves the test pages and
// records what they report through GET /report?key=value.
class PageServer {
 public:
  explicit PageServer(std::map<std::string, std::string> pages) : m_pages(std::move(pages)) {
    for (int i = 0; i < 2; ++i) {
      m_fd[i] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bind(m_fd[i], reinterpret_cast<sockaddr*>(&a), sizeof a);
      listen(m_fd[i], 16);
      socklen_t len = sizeof a;
      getsockname(m_fd[i], reinterpret_cast<sockaddr*>(&a), &len);
      m_port[i] = ntohs(a.sin_port);
    }
    m_thread = std::thread([this] { Run(); });
  }
  ~PageServer() {
    m_stop = true;
    m_thread.join();
    for (int fd : m_fd) close(fd);
  }
  uint16_t Port(int i) const { return m_port[i]; }
  void SetPages(std::map<std::string, std::string> pages) {
    std::lock_guard<std::mutex> g(m_lock);
    m_pages = std::move(pages);
  }
  std::string Report(const std::string& key) {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_reports.find(key);
    return it == m_reports.end() ? std::string() : it->second;
  }
  std::string AllReports() {
    std::lock_guard<std::mutex> g(m_lock);
    std::string s;
    for (auto& [k, v] : m_reports) s += k + "=" + v + "\n";
    return s;
  }

 private:
  void Run() {
    while (!m_stop) {
      pollfd p[2] = {{m_fd[0], POLLIN, 0}, {m_fd[1], POLLIN, 0}};
      if (poll(p, 2, 100) <= 0) continue;
      for (int i = 0; i < 2; ++i)
        if (p[i].revents & POLLIN) Serve(accept4(m_fd[i], nullptr, nullptr, SOCK_CLOEXEC));
    }
  }
  void Serve(int fd) {
    if (fd < 0) return;
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string in;
    char buf[4096];
    while (in.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      in.append(buf, static_cast<size_t>(n));
    }
    std::string line = in.substr(0, in.find("\r\n"));
    std::string path = line.size() > 4 ? line.substr(4, line.find(' ', 4) - 4) : "";
    std::string status = "404 Not Found", type = "text/plain", body;
    if (path.rfind("/report?", 0) == 0) {
      std::string q = path.substr(8);
      size_t eq = q.find('=');
      std::lock_guard<std::mutex> g(m_lock);
      m_reports[OrvaUrlDecode(q.substr(0, eq))] =
          eq == std::string::npos ? "" : OrvaUrlDecode(q.substr(eq + 1));
      status = "204 No Content";
    } else {
      std::lock_guard<std::mutex> g(m_lock);
      auto it = m_pages.find(path);
      if (it != m_pages.end()) {
        status = "200 OK";
        type = "text/html; charset=utf-8";
        body = it->second;
      }
    }
    std::string resp = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
                       "\r\nCache-Control: no-store\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n\r\n" + body;
    send(fd, resp.data(), resp.size(), MSG_NOSIGNAL);
    close(fd);
  }

  int m_fd[2] = {-1, -1};
  uint16_t m_port[2] = {0, 0};
  std::atomic<bool> m_stop{false};
  std::mutex m_lock;
  std::map<std::string, std::string> m_pages;
  std::map<std::string, std::string> m_reports;
  std::thread m_thread;
};

const char* kGoodPage = R"(<!doctype html><meta charset="utf-8"><title>good</title>
<iframe src="http://127.0.0.1:@BAD@/bad.html"></iframe>
<script>
const S = 'https://orvadesk.localhost:@SVC@/';
const report = (k, v) => fetch('/report?' + encodeURIComponent(k) + '=' + encodeURIComponent(v));
const post = (type, body) => fetch(S, {method: 'POST', headers: {'Content-Type': type}, body});
(async () => {
  try { const r = await post('text/plain', '{"msgType":"init"}'); await report('plain', await r.text()); }
  catch (e) { await report('plain', 'ERR ' + e); }
  try { const r = await post('application/json', '{"msgType":"init"}'); await report('json', await r.text()); }
  catch (e) { await report('json', 'ERR ' + e); }
  const ws = new WebSocket('wss://orvadesk.localhost:@SVC@/');
  ws.onopen = () => report('wsopen', '1');
  ws.onerror = () => report('wserror', '1');
  ws.onclose = (e) => report('wsclose', e.code + ' ' + e.wasClean);
  ws.onmessage = async (e) => {
    await report('event', e.data);
    ws.send('hello from the page');
    setTimeout(async () => {
      try {
        const r = await post('text/plain', '{"msgType":"init"}');
        await report('after', ws.readyState + ' ' + (await r.text()));
      } catch (err) { await report('after', 'ERR ' + err); }
      ws.close(1000);
    }, 700);
  };
})();
</script>)";

const char* kBadPage = R"(<!doctype html><meta charset="utf-8"><title>bad</title>
<script>
const S = 'https://orvadesk.localhost:@SVC@/';
const report = (k, v) => fetch('/report?' + encodeURIComponent(k) + '=' + encodeURIComponent(v));
(async () => {
  try {
    const r = await fetch(S, {method: 'POST', headers: {'Content-Type': 'text/plain'}, body: '{"msgType":"init"}'});
    await report('bad-plain', 'status ' + r.status);
  } catch (e) { await report('bad-plain', 'ERR'); }
  const ws = new WebSocket('wss://orvadesk.localhost:@SVC@/');
  ws.onopen = () => report('bad-wsopen', '1');
  ws.onclose = (e) => report('bad-wsclose', String(e.code));
})();
</script>)";

std::string Fill(std::string page, uint16_t svc, uint16_t bad) {
  for (auto [key, value] : {std::pair<std::string, std::string>{"@SVC@", std::to_string(svc)},
                            {"@BAD@", std::to_string(bad)}}) {
    for (size_t p; (p = page.find(key)) != std::string::npos;) page.replace(p, key.size(), value);
  }
  return page;
}

}  // namespace

TEST(Chromium, AllowedPageTalksToTheServiceAndOthersGetNothing) {
  PageServer pages({});
  std::string goodOrigin = "http://127.0.0.1:" + std::to_string(pages.Port(0));
  orva::testing::WriteFile(CSettingsStore::FilePath(SettingsScope::Machine),
                           R"({"SOFTWARE\\ORVA\\OrvaDesk":{"AllowedOrigins":")" + goodOrigin + R"("}})");
  ASSERT_TRUE(CORVAHttpServer::Start(0, nullptr));
  uint16_t svc = CORVAHttpServer::GetPort();
  pages.SetPages({{"/good.html", Fill(kGoodPage, svc, pages.Port(1))},
                  {"/bad.html", Fill(kBadPage, svc, pages.Port(1))}});

  // Trust as the agent's --trust-browsers does: the CA in $HOME/.pki/nssdb.
  ORVA_SERVICE_IDENTITY id;
  ASSERT_EQ(CORVATlsIdentity::Load(id), 0u);
  std::string report;
  ASSERT_EQ(CORVATlsIdentity::TrustInBrowsers(id, report), 0u) << report;

  uint64_t messagesBefore = CORVAHttpServer::Stats().ullMessages.load();
  uint64_t refusedBefore = CORVAHttpServer::Stats().ullRefused.load();
  std::string dir = MakeTempDir("chromium");
  ChildProcess browser;
  ASSERT_TRUE(browser.Start(
      {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--user-data-dir=" + dir + "/profile",
       "--host-resolver-rules=MAP orvadesk.localhost 127.0.0.1,MAP * ~NOTFOUND,EXCLUDE 127.0.0.1",
       goodOrigin + "/good.html"},
      {}, dir + "/chromium.log"));

  auto waitReport = [&](const std::string& key, int ms) {
    for (int i = 0; i < ms / 50; ++i) {
      if (!pages.Report(key).empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  };
  ASSERT_TRUE(waitReport("wsopen", 30000)) << pages.AllReports() << ReadFile(dir + "/chromium.log");
  for (int i = 0; i < 100 && CORVAHttpServer::Stats().llOpenWebSockets.load() < 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  DEVICE_EVENT_INFO e{};
  e.ulEventType = 1;
  e.ulIndex = 0;
  std::snprintf(e.szLabel, sizeof e.szLabel, "OrvaDesk Demo");
  CORVAHttpServer::HandleKeyEvent(e, nullptr);
  EXPECT_TRUE(waitReport("wsclose", 15000)) << pages.AllReports();
  EXPECT_TRUE(waitReport("bad-wsclose", 5000)) << pages.AllReports();
  browser.KillGroup();

  const std::string init = "{\"msg\":\"执行成功\",\"res\":0,\"respType\":\"init_resp\"}\n";
  EXPECT_EQ(pages.Report("plain"), init) << pages.AllReports();
  EXPECT_EQ(pages.Report("json"), init) << pages.AllReports();
  EXPECT_EQ(pages.Report("event"),
            "{\"eventType\":1,\"keyIndex\":0,\"keyName\":\"OrvaDesk Demo\",\"respType\":\"device_event_resp\"}\n");
  // Still open (readyState 1) after the page's own message, and the service still answers.
  EXPECT_EQ(pages.Report("after"), "1 " + init);
  EXPECT_EQ(pages.Report("wsclose"), "1000 true");
  EXPECT_EQ(pages.Report("wserror"), "");
  // The other origin: the fetch fails, the socket never opens, nothing ran.
  EXPECT_EQ(pages.Report("bad-plain"), "ERR");
  EXPECT_EQ(pages.Report("bad-wsopen"), "");
  EXPECT_EQ(pages.Report("bad-wsclose"), "1006");
  EXPECT_EQ(CORVAHttpServer::Stats().ullMessages.load() - messagesBefore, 3u);
  EXPECT_GE(CORVAHttpServer::Stats().ullRefused.load() - refusedBefore, 2u);
  CORVAHttpServer::Stop();
}
