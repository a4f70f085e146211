#include "platform/Paths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orva::platform {

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  if (v != nullptr && v[0] != '\0') return v;
  return fallback;
}

}  // namespace

std::string HomeDir() {
  const char* h = std::getenv("HOME");
  if (h != nullptr && h[0] != '\0') return h;
  std::vector<char> buf(16384);
  struct passwd pw {};
  struct passwd* res = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &res) == 0 && res != nullptr &&
      res->pw_dir != nullptr)
    return res->pw_dir;
  return "/";
}

std::string XdgDataHome() { return EnvOr("XDG_DATA_HOME", JoinPath(HomeDir(), ".local/share")); }
std::string XdgConfigHome() { return EnvOr("XDG_CONFIG_HOME", JoinPath(HomeDir(), ".config")); }
std::string XdgCacheHome() { return EnvOr("XDG_CACHE_HOME", JoinPath(HomeDir(), ".cache")); }

std::string MachineSettingsDir() { return EnvOr("ORVADESK_MACHINE_DIR", "/etc/orvadesk"); }
std::string UserSettingsDir() {
  return EnvOr("ORVADESK_USER_DIR", JoinPath(XdgConfigHome(), "orvadesk"));
}
std::string AgentCacheDir() { return JoinPath(XdgCacheHome(), "orvadesk"); }

std::string ExecutablePath() {
  std::vector<char> buf(PATH_MAX + 1);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
}

std::string ExecutableDir() {
  std::string p = ExecutablePath();
  auto pos = p.rfind('/');
  if (pos == std::string::npos) return "./";
  return p.substr(0, pos + 1);
}

int MakeDirs(const std::string& path, unsigned mode) {
  if (path.empty()) return EINVAL;
  std::string cur;
  size_t i = 0;
  if (path[0] == '/') {
    cur = "/";
    i = 1;
  }
  while (i <= path.size()) {
    size_t next = path.find('/', i);
    if (next == std::string::npos) next = path.size();
    std::string piece = path.substr(i, next - i);
    i = next + 1;
    if (piece.empty()) continue;
    if (!cur.empty() && cur.back() != '/') cur += '/';
    cur += piece;
    if (mkdir(cur.c_str(), mode) != 0) {
      int e = errno;
      if (e == EEXIST) {
        struct stat st {};
        if (stat(cur.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        return ENOTDIR;
      }
      return e;
    }
  }
  return 0;
}

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  bool aSlash = a.back() == '/';
  bool bSlash = b.front() == '/';
  if (aSlash && bSlash) return a + b.substr(1);
  if (aSlash || bSlash) return a + b;
  return a + "/" + b;
}

std::string ParentPath(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return {};
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

}  // namespace orva::platform
