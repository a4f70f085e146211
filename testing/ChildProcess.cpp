#include "testing/ChildProcess.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "testing/TestEnv.h"

extern char** environ;

namespace orva::testing {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (m_pid > 0) KillGroup();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& outPath, const std::string& stdinText) {
  std::string inPath;
  if (!stdinText.empty()) {
    inPath = MakeTempDir("stdin") + "/in";
    WriteFile(inPath, stdinText);
  }
  // Everything the child needs is prepared before fork: other threads of the test may
  // hold the allocator's lock at that moment.
  std::vector<std::string> envAll;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& o : env)
      if (o.substr(0, o.find('=')) == name) replaced = true;
    if (!replaced) envAll.push_back(entry);
  }
  for (const auto& o : env) envAll.push_back(o);
  std::vector<char*> envp;
  for (auto& e : envAll) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const char* in = inPath.empty() ? "/dev/null" : inPath.c_str();
  const char* out = outPath.empty() ? "/dev/null" : outPath.c_str();

  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setpgid(0, 0);
    int inFd = open(in, O_RDONLY);
    int outFd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (inFd >= 0) dup2(inFd, 0);
    if (outFd >= 0) {
      dup2(outFd, 1);
      dup2(outFd, 2);
    }
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);
  m_pid = pid;
  return true;
}

bool ChildProcess::Wait(int timeoutMs, int* exitCode) {
  if (m_pid <= 0) return false;
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
      if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      // The group may hold children of the child (a browser's helpers).
      kill(-m_pid, SIGKILL);
      m_pid = -1;
      return true;
    }
    if (NowMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void ChildProcess::Signal(int sig) {
  if (m_pid > 0) kill(m_pid, sig);
}

void ChildProcess::KillGroup() {
  if (m_pid <= 0) return;
  kill(-m_pid, SIGKILL);
  int status;
  waitpid(m_pid, &status, 0);
  m_pid = -1;
}

int RunProgram(const std::vector<std::string>& argv, std::string& output, int timeoutMs,
               const std::vector<std::string>& env, const std::string& stdinText) {
  std::string outPath = MakeTempDir("run") + "/out";
  ChildProcess p;
  if (!p.Start(argv, env, outPath, stdinText)) return -1;
  int code = -1;
  if (!p.Wait(timeoutMs, &code)) {
    p.KillGroup();
    code = -1;
  }
  output = ReadFile(outPath);
  return code;
}

int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool WaitForPort(int port, int timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  while (NowMs() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace orva::testing
