#include "testing/Command.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace orva::testing {

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& input) {
  CommandResult res;
  if (argv.empty()) return res;
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0) return res;
  if (pipe2(outPipe, O_CLOEXEC) != 0) return res;
  if (pipe2(errPipe, O_CLOEXEC) != 0) return res;

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    return res;
  }

  // Feed the input and drain both outputs together so that no pipe fills up.
  std::signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  int inFd = inPipe[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  int fds[2] = {outPipe[0], errPipe[0]};
  std::string* sinks[2] = {&res.out, &res.err};
  while (fds[0] >= 0 || fds[1] >= 0) {
    pollfd p[3];
    int n = 0;
    for (int i = 0; i < 2; ++i)
      if (fds[i] >= 0) p[n++] = {fds[i], POLLIN, 0};
    if (inFd >= 0) p[n++] = {inFd, POLLOUT, 0};
    if (poll(p, n, 10000) <= 0) break;  // a program silent for 10 s is given up on
    for (int k = 0; k < n; ++k) {
      if (p[k].revents == 0) continue;
      if (p[k].fd == inFd) {
        ssize_t w = write(inFd, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 || written == input.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      for (int i = 0; i < 2; ++i) {
        if (p[k].fd != fds[i]) continue;
        char buf[4096];
        ssize_t r = read(fds[i], buf, sizeof buf);
        if (r > 0) {
          sinks[i]->append(buf, static_cast<size_t>(r));
        } else if (r == 0 || errno != EINTR) {
          close(fds[i]);
          fds[i] = -1;
        }
      }
    }
  }
  if (inFd >= 0) close(inFd);
  for (int fd : fds)
    if (fd >= 0) {
      kill(pid, SIGKILL);
      close(fd);
    }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  res.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return res;
}

}  // namespace orva::testing
