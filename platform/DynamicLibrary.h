#pragma once
// Loading vendor libraries (token kits) by absolute path: the counterpart of LoadLibrary,
// GetProcAddress and FreeLibrary. Bare names are refused so that no search path (and no
// library planted in the working folder) decides which code runs.
#include <cstdint>
#include <memory>
#include <string>

namespace orva::platform {

// Windows error number of a library that exists but cannot be loaded.
inline constexpr uint32_t kWinErrorModNotFound = 126;
inline constexpr uint32_t kWinErrorBadExeFormat = 193;

class CDynamicLibrary {
 public:
  // Opens the library at an absolute path (RTLD_NOW | RTLD_LOCAL). On failure returns null
  // and sets `ulWinError`: 87 for a path that is not absolute, the file's errno as a Windows
  // number when it cannot be reached, 193 when it is not a loadable library. `errorText`
  // receives the loader's message.
  static std::unique_ptr<CDynamicLibrary> Open(const std::string& path, uint32_t& ulWinError,
                                               std::string* errorText = nullptr);
  ~CDynamicLibrary();
  CDynamicLibrary(const CDynamicLibrary&) = delete;
  CDynamicLibrary& operator=(const CDynamicLibrary&) = delete;

  // The exported symbol, or null when the library lacks it.
  void* Symbol(const char* name) const;
  template <class Fn>
  Fn Function(const char* name) const {
    return reinterpret_cast<Fn>(Symbol(name));
  }

  const std::string& Path() const { return m_path; }

 private:
  CDynamicLibrary(void* handle, std::string path) : m_handle(handle), m_path(std::move(path)) {}
  void* m_handle;
  std::string m_path;
};

}  // namespace orva::platform
