#include "foundation/RegOptions.h"

#include <cstring>

#include "foundation/LogFile.h"
#include "foundation/ResultCodes.h"
#include "foundation/StringConvert.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"

namespace {

constexpr uint32_t kErrMoreData = 234;

const char* OptionName(uint32_t ulType) {
  switch (ulType) {
    case 1:
      return "AutoRun";
    case 2:
      return "AutoCheckUpdate";
    case 3:
      return "AutoShowOnline";
    default:
      return nullptr;
  }
}

// The autostart entry is the Run key's counterpart: value 1 writes the program's path;
// any other value keeps the entry but hides it.
void WriteAutostartEntry(uint32_t ulValue) {
  std::string exec = orva::platform::ExecutableDir() + "orvadesk";
  std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=OrvaDesk\n"
      "Comment=Certificate agent for USB tokens\n"
      "Exec=" + exec + "\n"
      "X-GNOME-Autostart-enabled=" + std::string(ulValue == 1 ? "true" : "false") + "\n";
  if (ulValue != 1) text += "Hidden=true\n";
  orva::platform::WriteFileAtomic(CRegOptions::AutostartFilePath(), text, 0644);
}

size_t Utf16Units(const std::string& s) { return CStringConvert::Utf8ToUtf16(s).size(); }

}  // namespace

std::string CRegOptions::AutostartFilePath() {
  return orva::platform::JoinPath(orva::platform::XdgConfigHome(), "autostart/OrvaDesk.desktop");
}

uint32_t CRegOptions::GetRegSetting(SettingsScope scope, const char* lpcsName, void* pvBuf,
                                    uint32_t* pulLen, uint32_t* pulType) {
  return GetRegSettingEx(scope, kOrvaSettingsKey, lpcsName, pvBuf, pulLen, pulType);
}

uint32_t CRegOptions::GetRegSettingEx(SettingsScope scope, const std::string& keyPath,
                                      const char* lpcsName, void* pvBuf, uint32_t* pulLen,
                                      uint32_t* pulType) {
  if (lpcsName == nullptr || lpcsName[0] == '\0' || pvBuf == nullptr || pulLen == nullptr ||
      *pulLen == 0) {
    ORVA_LOG_ERROR("Param is NULL!");
    if (pulLen) *pulLen = 0;
    return ORVA_E_INVALID_PARAM;
  }
  SettingValue v;
  uint32_t res = CSettingsStore::Instance().ReadValue(scope, keyPath, lpcsName, v);
  if (res != 0) {
    *pulLen = 0;
    ORVA_LOG_ERROR("RegQueryValueEx() failed! res = 0x%x", res);
    return res;
  }
  uint32_t need = v.type == ORVA_REG_DWORD ? 4u : static_cast<uint32_t>(v.text.size() + 1);
  if (need > *pulLen) {
    *pulLen = 0;
    ORVA_LOG_ERROR("RegQueryValueEx() failed! res = 0x%x", kErrMoreData);
    return kErrMoreData;
  }
  auto* out = static_cast<uint8_t*>(pvBuf);
  if (v.type == ORVA_REG_DWORD) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v.dword >> (8 * i));
  } else {
    std::memcpy(out, v.text.c_str(), v.text.size() + 1);
  }
  *pulLen = need;
  if (pulType) *pulType = v.type;
  return ORVA_OK;
}

uint32_t CRegOptions::SetRegSetting(SettingsScope scope, const char* lpcsKeyPath,
                                    const char* lpcsName, uint32_t ulType, const void* pvData,
                                    uint32_t ulLen) {
  if (lpcsKeyPath == nullptr || lpcsKeyPath[0] == '\0' || pvData == nullptr || lpcsName == nullptr) {
    ORVA_LOG_ERROR("Param is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  SettingValue v;
  v.type = ulType;
  if (ulType == ORVA_REG_DWORD) {
    if (ulLen < 4) {
      ORVA_LOG_ERROR("Param is NULL!");
      return ORVA_E_INVALID_PARAM;
    }
    const auto* p = static_cast<const uint8_t*>(pvData);
    v.dword = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
  } else if (ulType == ORVA_REG_SZ) {
    std::string s(static_cast<const char*>(pvData), ulLen);
    if (auto z = s.find('\0'); z != std::string::npos) s.resize(z);
    v.text = CStringConvert::SanitizeUtf8(s);
  } else {
    ORVA_LOG_ERROR("Param is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint32_t res = CSettingsStore::Instance().WriteValue(scope, lpcsKeyPath, lpcsName, v);
  if (res != 0) {
    ORVA_LOG_ERROR("RegSetValueEx() failed! res = 0x%x", res);
    return res;
  }
  return ORVA_OK;
}

uint32_t CRegOptions::GetUserOption(uint32_t ulType, uint32_t* pulValue) {
  ORVA_LOG_BEGIN();
  const char* name = OptionName(ulType);
  if (name == nullptr) {
    ORVA_LOG_ERROR("ulType is wrong! ulType = 0x%0x is NULL!", ulType);
    return ORVA_E_INVALID_PARAM;
  }
  if (pulValue == nullptr) {
    ORVA_LOG_ERROR("pulValue is NULL!");
    return ORVA_E_INVALID_PARAM;
  }
  uint8_t buf[4] = {};
  uint32_t len = sizeof buf;
  uint32_t type = 0;
  uint32_t res = GetRegSetting(SettingsScope::User, name, buf, &len, &type);
  if (res != 0 || len != 4 || type != ORVA_REG_DWORD) {
    ORVA_LOG_ERROR(
        "GetRegSetting() failed with HKEY_CURRENT_USER, res = 0x%x. Try to get value from "
        "HKEY_LOCAL_MACHINE...!",
        res);
    len = sizeof buf;
    res = GetRegSetting(SettingsScope::Machine, name, buf, &len, &type);
    if (res != 0 || len != 4 || type != ORVA_REG_DWORD) {
      ORVA_LOG_ERROR("GetRegSetting() failed with HKEY_LOCAL_MACHINE, res = 0x%x", res);
      *pulValue = 0;
      ORVA_LOG_END();
      return ORVA_OK;
    }
  }
  *pulValue = uint32_t(buf[0]) | (uint32_t(buf[1]) << 8) | (uint32_t(buf[2]) << 16) |
              (uint32_t(buf[3]) << 24);
  ORVA_LOG_END();
  return ORVA_OK;
}

uint32_t CRegOptions::SetUserOption(uint32_t ulType, uint32_t ulValue) {
  ORVA_LOG_BEGIN();
  const char* name = OptionName(ulType);
  if (name == nullptr) {
    ORVA_LOG_ERROR("ulType is wrong! ulType = 0x%0x is NULL!", ulType);
    return ORVA_E_INVALID_PARAM;
  }
  uint8_t data[4] = {static_cast<uint8_t>(ulValue), static_cast<uint8_t>(ulValue >> 8),
                     static_cast<uint8_t>(ulValue >> 16), static_cast<uint8_t>(ulValue >> 24)};
  uint32_t res = SetRegSetting(SettingsScope::User, kOrvaSettingsKey, name, ORVA_REG_DWORD, data, 4);
  if (res != 0) {
    ORVA_LOG_ERROR(
        "SetRegSetting() failed with HKEY_CURRENT_USER, res = 0x%x. Try to get value from "
        "HKEY_LOCAL_MACHINE...!",
        res);
    res = SetRegSetting(SettingsScope::Machine, kOrvaSettingsKey, name, ORVA_REG_DWORD, data, 4);
    ORVA_LOG_ERROR("GetRegSetting() failed with HKEY_LOCAL_MACHINE, res = 0x%x", res);
    return ORVA_E_CALL_FAILED;
  }
  if (ulType == 1) WriteAutostartEntry(ulValue);
  ORVA_LOG_END();
  return ORVA_OK;
}

bool CRegOptions::ReadDword(SettingsScope scope, const char* lpcsName, uint32_t& out) {
  return ReadDwordEx(scope, kOrvaSettingsKey, lpcsName, out);
}

bool CRegOptions::ReadString(SettingsScope scope, const char* lpcsName, std::string& out,
                             size_t maxChars) {
  return ReadStringEx(scope, kOrvaSettingsKey, lpcsName, out, maxChars);
}

bool CRegOptions::ReadDwordEx(SettingsScope scope, const std::string& keyPath,
                              const char* lpcsName, uint32_t& out) {
  SettingValue v;
  if (CSettingsStore::Instance().ReadValue(scope, keyPath, lpcsName, v) != 0) return false;
  if (v.type != ORVA_REG_DWORD) return false;
  out = v.dword;
  return true;
}

bool CRegOptions::ReadStringEx(SettingsScope scope, const std::string& keyPath,
                               const char* lpcsName, std::string& out, size_t maxChars) {
  SettingValue v;
  if (CSettingsStore::Instance().ReadValue(scope, keyPath, lpcsName, v) != 0) return false;
  if (v.type != ORVA_REG_SZ) return false;
  if (Utf16Units(v.text) > maxChars) return false;
  out = v.text;
  return true;
}

bool CRegOptions::ReadDwordUserThenMachine(const char* lpcsName, uint32_t& out) {
  return ReadDword(SettingsScope::User, lpcsName, out) ||
         ReadDword(SettingsScope::Machine, lpcsName, out);
}
