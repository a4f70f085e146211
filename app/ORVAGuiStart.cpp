#include "app/ORVAGuiStart.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/LogFile.h"

namespace {

// ":N" or ":N.S" (a local display): its socket must accept a connection. Displays on other
// hosts are trusted to exist.
bool X11Reachable(const char* display) {
  std::string d = display;
  if (d.empty()) return false;
  if (d[0] != ':') return true;
  std::string num = d.substr(1, d.find('.') == std::string::npos ? std::string::npos : d.find('.') - 1);
  if (num.empty() || num.find_first_not_of("0123456789") != std::string::npos) return false;
  std::string path = "/tmp/.X11-unix/X" + num;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

bool OrvaHasDisplay() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && *platform) return true;
  const char* display = std::getenv("DISPLAY");
  if (display && X11Reachable(display)) return true;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (wayland && *wayland) {
    std::string path = wayland[0] == '/' ? wayland : std::string(runtime ? runtime : "") + "/" + wayland;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return true;
  }
  return false;
}

CORVAGuiSession::CORVAGuiSession(int& argc, char** argv) : m_app(argc, argv) {
  m_app.setQuitOnLastWindowClosed(false);  // the tray program outlives its windows
  m_pUI = std::make_shared<CORVAQtUI>();
  SetOrvaUserInterface(m_pUI);
}

CORVAGuiSession::~CORVAGuiSession() {
  m_pUI->Shutdown();
  SetOrvaUserInterface(nullptr);
}

std::unique_ptr<CORVAGuiSession> OrvaStartGui(int& argc, char** argv) {
  if (!OrvaHasDisplay()) {
    ORVA_LOG_INFO("No display: the headless user interface answers.");
    return nullptr;
  }
  return std::make_unique<CORVAGuiSession>(argc, argv);
}
