#include "platform/ErrnoMap.h"

#include <cerrno>
#include <sys/stat.h>

#include "platform/Paths.h"

namespace orva::platform {

uint32_t WinErrorFromErrno(int err, const std::string& path) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT: {
      if (path.empty()) return kWinErrorFileNotFound;
      std::string parent = ParentPath(path);
      if (parent.empty()) return kWinErrorFileNotFound;
      struct stat st {};
      if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kWinErrorPathNotFound;
      return kWinErrorFileNotFound;
    }
    case ENOTDIR:
      return kWinErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kWinErrorAccessDenied;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:
      return kWinErrorSharingViolation;
    case EEXIST:
      return kWinErrorAlreadyExists;
    case ENOTEMPTY:
      return kWinErrorDirNotEmpty;
    case EINVAL:
    case ENAMETOOLONG:
      return kWinErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT:
      return kWinErrorDiskFull;
    default:
      return kWinErrorGenFailure;
  }
}

}  // namespace orva::platform
