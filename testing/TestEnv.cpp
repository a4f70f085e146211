#include "testing/TestEnv.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <unistd.h>

#include "platform/Paths.h"

namespace orva::testing {

namespace {

std::string g_root;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

void RemoveRootAtExit() {
  if (!g_root.empty() && std::getenv("ORVA_KEEP_TEST_DIR") == nullptr) RemoveTree(g_root);
}

}  // namespace

const std::string& SetUpIsolatedEnvironment() {
  if (!g_root.empty()) return g_root;
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orva-test-XXXXXX";
  char* made = mkdtemp(tmpl.data());
  if (made == nullptr) std::abort();
  g_root = made;
  auto set = [](const char* name, const std::string& sub) {
    std::string p = g_root + "/" + sub;
    platform::MakeDirs(p);
    setenv(name, p.c_str(), 1);
  };
  set("HOME", "home");
  set("XDG_DATA_HOME", "home/.local/share");
  set("XDG_CONFIG_HOME", "home/.config");
  set("XDG_CACHE_HOME", "home/.cache");
  set("XDG_STATE_HOME", "home/.local/state");
  set("XDG_RUNTIME_DIR", "run");
  set("ORVADESK_MACHINE_DIR", "machine");
  set("ORVADESK_USER_DIR", "user");
  std::atexit(RemoveRootAtExit);
  return g_root;
}

const std::string& TestRoot() { return SetUpIsolatedEnvironment(); }

std::string MakeTempDir(const std::string& prefix) {
  static std::atomic<int> counter{0};
  std::string p = TestRoot() + "/" + prefix + "-" + std::to_string(getpid()) + "-" +
                  std::to_string(counter.fetch_add(1));
  platform::MakeDirs(p);
  return p;
}

bool WriteFile(const std::string& path, const std::string& data) {
  std::string parent = platform::ParentPath(path);
  if (!parent.empty()) platform::MakeDirs(parent);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(f);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string SourceDir() {
  const char* s = std::getenv("ORVA_SOURCE_DIR");
  return s ? s : "";
}

std::string BinaryDir() {
  const char* s = std::getenv("ORVA_BINARY_DIR");
  return s ? s : "";
}

}  // namespace orva::testing
