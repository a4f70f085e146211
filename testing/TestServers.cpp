#include "testing/TestServers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Paths.h"
#include "testing/TestEnv.h"

namespace orva::testing {

namespace {
constexpr int kStartWaitMs = 10000;
constexpr int kTries = 3;  // a free port may be taken between the probe and the start
}  // namespace

bool HttpFileServer::Start(const std::string& folder) {
  for (int i = 0; i < kTries; ++i) {
    m_port = FreeLoopbackPort();
    std::string log = MakeTempDir("http-server") + "/log";
    if (!m_proc.Start({"python3", "-m", "http.server", std::to_string(m_port), "--bind", "127.0.0.1",
                       "--directory", folder},
                      {}, log))
      return false;
    if (WaitForPort(m_port, kStartWaitMs)) return true;
    m_proc.KillGroup();
  }
  return false;
}

void HttpFileServer::Stop() { m_proc.KillGroup(); }

std::string HttpFileServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

bool SilentServer::Start() {
  m_fd = socket(AF_INET, SOCK_STREAM, 0);
  if (m_fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_fd, 16) != 0 ||
      getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    Stop();
    return false;
  }
  m_port = ntohs(a.sin_port);
  return true;
}

void SilentServer::Stop() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

bool SlapdServer::Start(const std::string& folder, const std::string& suffix, const std::string& ldif) {
  std::string db = folder + "/db";
  RemoveTree(db);
  platform::MakeDirs(db);
  std::string conf = folder + "/slapd.conf";
  WriteFile(conf,
            "include /etc/ldap/schema/core.schema\n"
            "modulepath /usr/lib/ldap\n"
            "moduleload back_mdb\n"
            "pidfile " + folder + "/slapd.pid\n"
            "database mdb\n"
            "maxsize 16777216\n"
            "suffix \"" + suffix + "\"\n"
            "rootdn \"CN=admin," + suffix + "\"\n"
            "directory " + db + "\n");
  WriteFile(folder + "/data.ldif", ldif);
  std::string out;
  if (RunProgram({"slapadd", "-f", conf, "-l", folder + "/data.ldif"}, out, 20000) != 0) {
    WriteFile(folder + "/slapadd.log", out);
    return false;
  }
  for (int i = 0; i < kTries; ++i) {
    m_port = FreeLoopbackPort();
    // -d keeps slapd in the foreground, so its process id is the one we end.
    if (!m_proc.Start({"slapd", "-d", "0", "-h", "ldap://127.0.0.1:" + std::to_string(m_port) + "/", "-f", conf},
                      {}, folder + "/slapd.log"))
      return false;
    if (WaitForPort(m_port, kStartWaitMs)) return true;
    m_proc.KillGroup();
  }
  return false;
}

void SlapdServer::Stop() { m_proc.KillGroup(); }

}  // namespace orva::testing
