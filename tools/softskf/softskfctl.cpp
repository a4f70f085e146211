// softskfctl: sends one control command to a software SKF token inside a running program
// (the library listens on the socket named by SOFTSKF_CONTROL).
//   softskfctl [-s SOCKET] plug NAME[,NAME...] | unplug NAME[,NAME...] | reset FILE
//              | fail FUNCTION CODE | event NAME[,NAME...] TYPE | count FUNCTION | waiters
// Prints the token's reply; exit status 0 for "OK", 1 for a refusal, 2 for a usage or
// connection error.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  const char* path = std::getenv("SOFTSKF_CONTROL");
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "-s") == 0) {
    path = argv[i + 1];
    i += 2;
  }
  if (i >= argc || path == nullptr || *path == '\0') {
    std::fprintf(stderr,
                 "usage: softskfctl [-s SOCKET] COMMAND [ARGS...]\n"
                 "  plug NAMES | unplug NAMES | reset FILE | fail FUNCTION CODE\n"
                 "  event NAMES TYPE | count FUNCTION | waiters\n"
                 "The socket defaults to $SOFTSKF_CONTROL.\n");
    return 2;
  }
  std::string line;
  for (; i < argc; ++i) {
    if (!line.empty()) line += ' ';
    line += argv[i];
  }
  if (line.find('\n') != std::string::npos || line.size() > 4000) {
    std::fprintf(stderr, "softskfctl: the command is not one short line\n");
    return 2;
  }
  line += '\n';
  struct sockaddr_un addr {};
  if (std::strlen(path) >= sizeof addr.sun_path) {
    std::fprintf(stderr, "softskfctl: socket path too long\n");
    return 2;
  }
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "softskfctl: cannot connect to %s\n", path);
    return 2;
  }
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    std::fprintf(stderr, "softskfctl: cannot send\n");
    return 2;
  }
  std::string reply;
  char buf[256];
  while (reply.find('\n') == std::string::npos && reply.size() < 4096) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  size_t nl = reply.find('\n');
  if (nl == std::string::npos) {
    std::fprintf(stderr, "softskfctl: no reply\n");
    return 2;
  }
  reply.resize(nl);
  std::printf("%s\n", reply.c_str());
  return reply.rfind("OK", 0) == 0 ? 0 : 1;
}
