// The software token's controls: exported functions for tests in the same process, and the
// same controls as one-line text commands on the Unix socket named by SOFTSKF_CONTROL:
//   plug NAME[,NAME...]    unplug NAME[,NAME...]    reset FILE    fail FUNCTION CODE
//   event NAME[,NAME...] TYPE    count FUNCTION    waiters
// Each command gets one reply line: "OK", "OK <number>" or "ERR 0x<code> <text>". Only
// processes of the same user may connect (the socket is mode 0600 and peers are checked).
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "tools/softskf/SoftSkfControl.h"
#include "tools/softskf/SoftToken.h"

#define SOFTSKF_EXPORT extern "C" __attribute__((visibility("default")))

using namespace softskf;

namespace {

std::vector<std::string> SplitNames(const char* szNames) {
  std::vector<std::string> names;
  if (szNames == nullptr) return names;
  std::string s(szNames, strnlen(szNames, 4096));
  size_t pos = 0;
  while (pos <= s.size()) {
    size_t comma = s.find(',', pos);
    std::string n = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    if (!n.empty()) names.push_back(n);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return names;
}

ULONG PlugNames(const char* szNames, bool present) {
  std::vector<std::string> names = SplitNames(szNames);
  if (names.empty()) return SAR_INVALIDPARAMERR;
  Token& t = Token::Get();
  std::lock_guard<std::mutex> g(t.lock);
  return t.Plug(names, present);
}

}  // namespace

SOFTSKF_EXPORT ULONG SOFTSKF_Plug(const char* szNames) { return PlugNames(szNames, true); }

SOFTSKF_EXPORT ULONG SOFTSKF_Unplug(const char* szNames) { return PlugNames(szNames, false); }

SOFTSKF_EXPORT ULONG SOFTSKF_Reset(const char* szPath) {
  Token& t = Token::Get();
  std::lock_guard<std::mutex> g(t.lock);
  if (szPath == nullptr || *szPath == '\0') return t.ResetText("");
  return t.Reset(szPath);
}

SOFTSKF_EXPORT ULONG SOFTSKF_ResetJson(const char* szJson) {
  Token& t = Token::Get();
  std::lock_guard<std::mutex> g(t.lock);
  return t.ResetText(szJson ? szJson : "");
}

SOFTSKF_EXPORT ULONG SOFTSKF_FailNext(const char* szFunction, ULONG ulCode) {
  if (szFunction == nullptr || *szFunction == '\0') return SAR_INVALIDPARAMERR;
  Token::Get().FailNext(szFunction, ulCode);
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SOFTSKF_PostEvent(const char* szNames, ULONG ulType) {
  Token::Get().PostEvent(SplitNames(szNames), ulType);
  return SAR_OK;
}

SOFTSKF_EXPORT ULONG SOFTSKF_CallCount(const char* szFunction) {
  return szFunction ? Token::Get().CallCount(szFunction) : 0;
}

SOFTSKF_EXPORT ULONG SOFTSKF_Waiters(void) { return static_cast<ULONG>(Token::Get().Waiters()); }

namespace softskf {

std::string RunControlLine(const std::string& line) {
  std::string cmd = line.substr(0, line.find(' '));
  std::string rest = cmd.size() < line.size() ? line.substr(cmd.size() + 1) : "";
  auto reply = [](ULONG rv, const char* what) {
    if (rv == SAR_OK) return std::string("OK");
    char buf[96];
    std::snprintf(buf, sizeof buf, "ERR 0x%08X %s", rv, what);
    return std::string(buf);
  };
  // The last word of "fail" and "event" is a number; the rest is the name.
  auto splitLast = [&](std::string& head, ULONG& num) {
    size_t sp = rest.find_last_of(' ');
    if (sp == std::string::npos) return false;
    head = rest.substr(0, sp);
    char* end = nullptr;
    std::string tail = rest.substr(sp + 1);
    errno = 0;
    unsigned long v = std::strtoul(tail.c_str(), &end, 0);
    if (tail.empty() || *end != '\0' || errno || v > 0xFFFFFFFFul) return false;
    num = static_cast<ULONG>(v);
    return !head.empty();
  };
  if (cmd == "plug") return reply(SOFTSKF_Plug(rest.c_str()), "plug failed");
  if (cmd == "unplug") return reply(SOFTSKF_Unplug(rest.c_str()), "unplug failed");
  if (cmd == "reset") return reply(SOFTSKF_Reset(rest.c_str()), "reset failed");
  if (cmd == "fail" || cmd == "event") {
    std::string head;
    ULONG num = 0;
    if (!splitLast(head, num)) return reply(SAR_INVALIDPARAMERR, "usage: fail FUNCTION CODE | event NAMES TYPE");
    return reply(cmd == "fail" ? SOFTSKF_FailNext(head.c_str(), num) : SOFTSKF_PostEvent(head.c_str(), num),
                 "failed");
  }
  if (cmd == "count") return "OK " + std::to_string(SOFTSKF_CallCount(rest.c_str()));
  if (cmd == "waiters") return "OK " + std::to_string(SOFTSKF_Waiters());
  return reply(SAR_INVALIDPARAMERR, "unknown command");
}

namespace {

struct ControlServer {
  std::string path;
  int listenFd = -1;
  int stopPipe[2] = {-1, -1};
  std::thread thread;
};

std::mutex g_serverLock;
ControlServer* g_pServer = nullptr;

bool SamePeerUser(int fd) {
  struct ucred cred {};
  socklen_t len = sizeof cred;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == getuid();
}

// Serves one client: lines of at most 4096 bytes, an idle client is dropped after 10 s.
void ServeClient(int fd, int stopFd) {
  std::string buf;
  char chunk[512];
  for (;;) {
    struct pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    int n = poll(p, 2, 10000);
    if (n <= 0 || (p[1].revents & POLLIN)) return;
    ssize_t r = read(fd, chunk, sizeof chunk);
    if (r <= 0) return;
    buf.append(chunk, static_cast<size_t>(r));
    size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
      std::string line = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string out = RunControlLine(line) + "\n";
      if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return;
    }
    if (buf.size() > 4096) return;
  }
}

void ServerLoop(ControlServer* s) {
  for (;;) {
    struct pollfd p[2] = {{s->listenFd, POLLIN, 0}, {s->stopPipe[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    int fd = accept4(s->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (SamePeerUser(fd)) ServeClient(fd, s->stopPipe[0]);
    close(fd);
  }
}

}  // namespace

void StartControlServer(const std::string& path) {
  std::lock_guard<std::mutex> g(g_serverLock);
  if (g_pServer != nullptr) return;
  struct sockaddr_un addr {};
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    std::fprintf(stderr, "softskf: control socket path is empty or too long\n");
    return;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // A socket file nobody answers on is a leftover of an earlier run.
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (live) {
      std::fprintf(stderr, "softskf: %s is in use; no control socket\n", path.c_str());
      close(fd);
      return;
    }
    unlink(path.c_str());
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || chmod(path.c_str(), 0600) != 0 ||
      listen(fd, 8) != 0) {
    std::fprintf(stderr, "softskf: cannot listen on %s: %s\n", path.c_str(), std::strerror(errno));
    close(fd);
    return;
  }
  auto* s = new ControlServer();
  s->path = path;
  s->listenFd = fd;
  if (pipe2(s->stopPipe, O_CLOEXEC) != 0) {
    close(fd);
    unlink(path.c_str());
    delete s;
    return;
  }
  s->thread = std::thread(ServerLoop, s);
  g_pServer = s;
}

void StopControlServer() {
  ControlServer* s;
  {
    std::lock_guard<std::mutex> g(g_serverLock);
    s = g_pServer;
    g_pServer = nullptr;
  }
  if (s == nullptr) return;
  char c = 1;
  (void)!write(s->stopPipe[1], &c, 1);
  if (s->thread.joinable()) s->thread.join();
  close(s->listenFd);
  close(s->stopPipe[0]);
  close(s->stopPipe[1]);
  unlink(s->path.c_str());
  delete s;
}

}  // namespace softskf

// Unloading the library ends the control thread and frees the token.
__attribute__((destructor)) static void SoftSkfUnload() { Token::Shutdown(); }
