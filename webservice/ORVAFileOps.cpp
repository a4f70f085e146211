#include "webservice/ORVAFileOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "platform/ErrnoMap.h"
#include "platform/Paths.h"
#include "webservice/ORVAFileAccess.h"

namespace {

using orva::platform::WinErrorFromErrno;

// The Path= value of a .trashinfo record: bytes outside the unreserved set percent-encoded.
std::string TrashInfoPath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
        c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

// Moves the entry into the user's trash. Returns a Windows error number.
uint32_t MoveToTrash(const std::string& entry) {
  const std::string trash = orva::platform::JoinPath(orva::platform::XdgDataHome(), "Trash");
  const std::string files = trash + "/files", info = trash + "/info";
  if (int e = orva::platform::MakeDirs(files, 0700)) return WinErrorFromErrno(e);
  if (int e = orva::platform::MakeDirs(info, 0700)) return WinErrorFromErrno(e);
  std::string base = entry.substr(entry.rfind('/') + 1);
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm tm {};
  localtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  for (int i = 1; i <= 1000; ++i) {
    std::string name = i == 1 ? base : base + "." + std::to_string(i);
    std::string infoPath = info + "/" + name + ".trashinfo";
    // The record is created first and exclusively: it reserves the name.
    int fd = ::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return WinErrorFromErrno(errno, infoPath);
    }
    std::string record = "[Trash Info]\nPath=" + TrashInfoPath(entry) + "\nDeletionDate=" + stamp + "\n";
    bool ok = ::write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
    ::close(fd);
    if (ok && ::rename(entry.c_str(), (files + "/" + name).c_str()) == 0) return 0;
    int e = ok ? errno : EIO;
    ::unlink(infoPath.c_str());
    return WinErrorFromErrno(e, entry);
  }
  return orva::platform::kWinErrorFileExists;
}

}  // namespace

uint32_t DeleteDirectory(const std::string& strPath, bool bPermanently) {
  ORVA_LOG_BEGIN();
  if (strPath.empty()) {
    ORVA_LOG_ERROR("lpcsPath is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  std::string entry;
  if (!CORVAFileAccess::ResolvePath(strPath, OrvaPathUse::kEntry, entry)) {
    struct stat st {};
    uint32_t win = ::lstat(strPath.c_str(), &st) != 0 ? WinErrorFromErrno(errno, strPath)
                                                      : orva::platform::kWinErrorAccessDenied;
    ORVA_LOG_ERROR("The path can't be resolved! ret = 0x%x", win);
    return win;
  }
  if (CORVAFileAccess::IsProtectedFolder(entry)) {
    ORVA_LOG_ERROR("The folder is protected and is never deleted: %s", entry.c_str());
    return orva::platform::kWinErrorAccessDenied;
  }
  struct stat st {};
  if (::lstat(entry.c_str(), &st) != 0) {
    uint32_t win = WinErrorFromErrno(errno, entry);
    ORVA_LOG_ERROR("lstat() failed! ret = 0x%x", win);
    return win;
  }
  uint32_t win = 0;
  if (bPermanently) {
    std::error_code ec;
    std::filesystem::remove_all(entry, ec);
    if (ec) win = WinErrorFromErrno(ec.value(), entry);
  } else {
    win = MoveToTrash(entry);
  }
  if (win != 0) {
    ORVA_LOG_ERROR("The deletion failed! ret = 0x%x", win);
    return win;
  }
  ORVA_LOG_END();
  return ORVA_OK;
}
