#include "platform/DynamicLibrary.h"

#include <cerrno>
#include <dlfcn.h>
#include <sys/stat.h>

#include "platform/ErrnoMap.h"

namespace orva::platform {

std::unique_ptr<CDynamicLibrary> CDynamicLibrary::Open(const std::string& path,
                                                       uint32_t& ulWinError,
                                                       std::string* errorText) {
  ulWinError = 0;
  if (path.empty() || path[0] != '/') {
    ulWinError = kWinErrorInvalidParameter;
    if (errorText) *errorText = "not an absolute path";
    return nullptr;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    int e = errno;
    ulWinError = WinErrorFromErrno(e, path);
    if (errorText) *errorText = "cannot reach the file";
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    ulWinError = kWinErrorBadExeFormat;
    if (errorText) *errorText = "not a regular file";
    return nullptr;
  }
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char* msg = dlerror();
    ulWinError = kWinErrorBadExeFormat;
    if (errorText) *errorText = msg ? msg : "dlopen failed";
    return nullptr;
  }
  return std::unique_ptr<CDynamicLibrary>(new CDynamicLibrary(h, path));
}

CDynamicLibrary::~CDynamicLibrary() {
  if (m_handle) dlclose(m_handle);
}

void* CDynamicLibrary::Symbol(const char* name) const {
  if (m_handle == nullptr || name == nullptr) return nullptr;
  return dlsym(m_handle, name);
}

}  // namespace orva::platform
