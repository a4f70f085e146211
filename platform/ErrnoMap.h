#pragma once
// Translation of errno values into the Windows error numbers that the rest of the program
// (and the pages, through the result codes) understands.
#include <cstdint>
#include <string>

namespace orva::platform {

// Windows error numbers the program distinguishes.
inline constexpr uint32_t kWinErrorFileNotFound = 2;
inline constexpr uint32_t kWinErrorPathNotFound = 3;
inline constexpr uint32_t kWinErrorAccessDenied = 5;
inline constexpr uint32_t kWinErrorSharingViolation = 32;
inline constexpr uint32_t kWinErrorFileExists = 80;
inline constexpr uint32_t kWinErrorInvalidPassword = 86;
inline constexpr uint32_t kWinErrorInvalidParameter = 87;
inline constexpr uint32_t kWinErrorDiskFull = 112;
inline constexpr uint32_t kWinErrorDirNotEmpty = 145;
inline constexpr uint32_t kWinErrorAlreadyExists = 183;
inline constexpr uint32_t kWinErrorMoreData = 234;
inline constexpr uint32_t kWinErrorGenFailure = 31;

// errno -> Windows error number. ENOENT becomes 3 (path not found) when the parent folder
// of `path` is missing, else 2 (file not found); pass the path the failed call named.
uint32_t WinErrorFromErrno(int err, const std::string& path = {});

}  // namespace orva::platform
