#include "foundation/ResultCodes.h"

#include <string>

#include "platform/ErrnoMap.h"

uint32_t ConvertLastError(uint32_t ulWinError) {
  switch (ulWinError) {
    case 0:
      return ORVA_OK;
    case 3:
      return ORVA_E_PATH_NOT_FOUND;
    case 5:
      return ORVA_E_ACCESS_DENIED;
    case 32:
      return ORVA_E_SHARING_VIOLATION;
    case 86:
      return ORVA_E_PIN_INVALID;
    case 87:
      return ORVA_E_INVALID_PARAM;
    case 145:
      return ORVA_E_DIR_NOT_EMPTY;
    default:
      return ORVA_E_CALL_FAILED;
  }
}

uint32_t ConvertErrno(int err, const char* path) {
  return ConvertLastError(orva::platform::WinErrorFromErrno(err, path ? std::string(path) : std::string()));
}
