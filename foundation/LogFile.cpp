#include "foundation/LogFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "foundation/RegOptions.h"
#include "foundation/StringConvert.h"
#include "platform/Paths.h"

namespace {

constexpr const char* kHeaderRule = "--------------------Start Log--------------------";
constexpr const char* kFooterRule = "---------------------End Log---------------------";
constexpr time_t kMaxLogAgeSeconds = 2592000;  // 30 days

void CloseLogAtExit() { CLogFile::Instance().Close(); }

void AppendUtf16Le(std::string& out, std::string_view utf8) {
  std::u16string wide = CStringConvert::Utf8ToUtf16(utf8);
  size_t at = out.size();
  out.resize(at + wide.size() * 2);
  for (char16_t c : wide) {
    out[at++] = static_cast<char>(c & 0xFF);
    out[at++] = static_cast<char>((c >> 8) & 0xFF);
  }
}

std::string FormatV(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), fmt, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace

CLogFile& CLogFile::Instance() {
  // Constructed in static storage and never destroyed, so that threads still running while
  // the process exits can log safely; the exit handler only writes the footer.
  alignas(CLogFile) static unsigned char storage[sizeof(CLogFile)];
  static CLogFile* instance = [] {
    CLogFile* p = ::new (storage) CLogFile();
    std::atexit(CloseLogAtExit);
    return p;
  }();
  return *instance;
}

CLogFile::~CLogFile() { Close(); }

std::string CLogFile::DefaultFolder() {
  return orva::platform::JoinPath(orva::platform::XdgDataHome(), "ORVA/Logs");
}

std::string CLogFile::GetFileName() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_fileName;
}

void CLogFile::Init(bool bEnabled, int32_t lLogClass, const std::string& folder) {
  m_lLogClass = lLogClass;
  if (!bEnabled) {
    m_bEnabled.store(false, std::memory_order_release);
    return;
  }
  std::string dir = folder.empty() ? DefaultFolder() : folder;
  if (dir.empty()) return;
  if (orva::platform::MakeDirs(dir) != 0) {
    // The file creation below fails too; the log stays on but drops every line.
  }
  _RemoveOldLogs(dir);

  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  struct tm lt {};
  localtime_r(&tv.tv_sec, &lt);
  char name[64];
  std::snprintf(name, sizeof name, "%02d%02d%02d%02d%02d%04d.log", lt.tm_mon + 1, lt.tm_mday,
                lt.tm_hour, lt.tm_min, lt.tm_sec, static_cast<int>(tv.tv_usec / 1000));
  std::string path = orva::platform::JoinPath(dir, name);

  {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_fd >= 0) {
      _WriteLine(kFooterRule);
      close(m_fd);
      m_fd = -1;
    }
    m_fileName = path;
  }
  _OpenFile(path);
  m_bEnabled.store(true, std::memory_order_release);
}

void CLogFile::_OpenFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::lock_guard<std::mutex> g(m_lock);
  m_fd = fd;
  if (m_fd < 0) return;
  static const char bom[2] = {'\xFF', '\xFE'};
  ssize_t ignored = write(m_fd, bom, sizeof bom);
  (void)ignored;
  _WriteLine(kHeaderRule);
  _WriteLine("The module running under Admin mode.");
  _WriteLine("The host application is: " + orva::platform::ExecutablePath() + ".");
}

void CLogFile::_RemoveOldLogs(const std::string& folder) {
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return;
  time_t now = time(nullptr);
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".log") != 0) continue;
    std::string full = orva::platform::JoinPath(folder, name);
    struct stat st {};
    if (lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (now - st.st_mtime > kMaxLogAgeSeconds) unlink(full.c_str());
  }
  closedir(d);
}

// One line: the ten-character time stamp, the text and CR LF, as a single write() so that
// concurrent writers and a crash never leave half a line. Called with m_lock held.
void CLogFile::_WriteLine(std::string_view text) {
  if (m_fd < 0) return;
  time_t now = time(nullptr);
  struct tm lt {};
  localtime_r(&now, &lt);
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "[%02d:%02d:%02d]", lt.tm_hour % 100, lt.tm_min % 100,
                lt.tm_sec % 100);
  std::string line;
  line.reserve((text.size() + 12) * 2);
  AppendUtf16Le(line, stamp);
  AppendUtf16Le(line, text);
  AppendUtf16Le(line, "\r\n");
  size_t off = 0;
  while (off < line.size()) {
    ssize_t n = write(m_fd, line.data() + off, line.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
}

void CLogFile::_WriteMessage(const char* lpcsFunc, int nLine, bool bError, const char* lpcsFormat,
                             va_list args) {
  if (!IsEnabled() || lpcsFormat == nullptr) return;
  // Formatting happens outside the lock; only the write is serialised.
  std::string msg = FormatV(lpcsFormat, args);
  std::string text;
  text.reserve(msg.size() + 64);
  text += '[';
  text += lpcsFunc ? lpcsFunc : "";
  text += "()][";
  text += std::to_string(nLine);
  text += "] ";
  if (bError) text += "[ERROR]";
  text += msg;
  std::lock_guard<std::mutex> g(m_lock);
  _WriteLine(text);
}

void CLogFile::LogInfo(const char* lpcsFunc, int nLine, const char* lpcsFormat, ...) {
  va_list args;
  va_start(args, lpcsFormat);
  _WriteMessage(lpcsFunc, nLine, false, lpcsFormat, args);
  va_end(args);
}

void CLogFile::LogError(const char* lpcsFunc, int nLine, const char* lpcsFormat, ...) {
  va_list args;
  va_start(args, lpcsFormat);
  _WriteMessage(lpcsFunc, nLine, true, lpcsFormat, args);
  va_end(args);
}

void CLogFile::Close() {
  std::lock_guard<std::mutex> g(m_lock);
  if (m_fd < 0) return;
  _WriteLine(kFooterRule);
  close(m_fd);
  m_fd = -1;
}

namespace orva {

std::string QualifiedFunctionName(std::string_view pf) {
  // Cut a trailing " [with T = ...]" and find the parameter list: the first "(" outside
  // template brackets that is not part of an operator name.
  if (auto with = pf.find(" [with "); with != std::string_view::npos) pf = pf.substr(0, with);
  int angle = 0;
  size_t open = std::string_view::npos;
  for (size_t i = 0; i < pf.size(); ++i) {
    char c = pf[i];
    if (c == '<') {
      if (i >= 8 && pf.substr(i - 8, 8) == "operator") continue;
      ++angle;
    } else if (c == '>') {
      if (i >= 1 && pf[i - 1] == '-') continue;
      if (angle > 0) --angle;
    } else if (c == '(' && angle == 0) {
      if (i >= 8 && pf.substr(i - 8, 8) == "operator" && i + 1 < pf.size() && pf[i + 1] == ')') {
        i += 1;  // "operator()": the parameter list follows
        continue;
      }
      open = i;
      break;
    }
  }
  std::string_view head = open == std::string_view::npos ? pf : pf.substr(0, open);
  // The name starts after the last blank outside template brackets.
  angle = 0;
  size_t start = 0;
  for (size_t i = 0; i < head.size(); ++i) {
    char c = head[i];
    if (c == '<') ++angle;
    else if (c == '>' && angle > 0) --angle;
    else if ((c == ' ' || c == '*' || c == '&') && angle == 0) start = i + 1;
  }
  std::string_view name = head.substr(start);
  // Split on "::" outside template brackets and drop template arguments of each piece.
  std::vector<std::string> parts;
  std::string cur;
  angle = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if ((c == '<' || c == '>') && angle == 0 && cur.rfind("operator", 0) == 0) {
      cur += c;  // operator<, operator<<, operator>=...
      continue;
    }
    if (c == '<') {
      ++angle;
      continue;
    }
    if (c == '>') {
      if (angle > 0) --angle;
      continue;
    }
    if (angle > 0) continue;
    if (c == ':' && i + 1 < name.size() && name[i + 1] == ':') {
      parts.push_back(cur);
      cur.clear();
      ++i;
      continue;
    }
    cur += c;
  }
  parts.push_back(cur);
  if (parts.size() == 1) return parts[0];
  return parts[parts.size() - 2] + "::" + parts.back();
}

}  // namespace orva

void InitLogFromMachineSettings() {
  uint32_t enabled = 0;
  if (!CRegOptions::ReadDword(SettingsScope::Machine, "LogEnabled", enabled) || enabled != 1) {
    CLogFile::Instance().Init(false, 0, {});
    return;
  }
  uint32_t logClass = 0;
  CRegOptions::ReadDword(SettingsScope::Machine, "LogClass", logClass);
  std::string folder;
  // The folder is read into 260 bytes of UTF-16 (129 characters); a longer value leaves it
  // empty.
  if (!CRegOptions::ReadString(SettingsScope::Machine, "LogFolder", folder, 129)) folder.clear();
  CLogFile::Instance().Init(true, static_cast<int32_t>(logClass), folder);
}
