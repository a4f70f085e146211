#pragma once
// The two settings scopes: one JSON file each, machine-wide
// ($ORVADESK_MACHINE_DIR/settings.json) and per-user ($ORVADESK_USER_DIR/settings.json).
// A file is one object whose members are full key paths written as in the registry
// ("SOFTWARE\\ORVA\\OrvaDesk"), each an object of named values: numbers are 32-bit values,
// strings are string values. Key paths and value names compare case-insensitively.
// A missing or unreadable file is an empty scope; writes replace the file atomically.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

enum class SettingsScope { User, Machine };

// Registry value types as the settings readers report them.
inline constexpr uint32_t ORVA_REG_SZ = 1;
inline constexpr uint32_t ORVA_REG_DWORD = 4;

// The key every setting of the program lives under, and its token-kit sub-keys.
inline constexpr const char* kOrvaSettingsKey = "SOFTWARE\\ORVA\\OrvaDesk";

struct SettingValue {
  uint32_t type = 0;  // ORVA_REG_SZ or ORVA_REG_DWORD
  uint32_t dword = 0;
  std::string text;
};

class CSettingsStore {
 public:
  static CSettingsStore& Instance();

  // Path of a scope's file (from the environment at each call).
  static std::string FilePath(SettingsScope scope);

  // Reads one value. Returns 0, or a Windows error number: 2 when the key or value is
  // missing (or the file cannot be read), 13 when the stored member is neither a 32-bit
  // number nor a string.
  uint32_t ReadValue(SettingsScope scope, const std::string& keyPath, const std::string& name,
                     SettingValue& out);
  // Writes one value, creating the key. Returns 0 or a Windows error number.
  uint32_t WriteValue(SettingsScope scope, const std::string& keyPath, const std::string& name,
                      const SettingValue& value);
  uint32_t DeleteValue(SettingsScope scope, const std::string& keyPath, const std::string& name);
  // Names of the direct sub-keys of `keyPath`, as written in the file.
  uint32_t EnumSubKeys(SettingsScope scope, const std::string& keyPath,
                       std::vector<std::string>& names);
  // Names of the values of `keyPath`.
  uint32_t EnumValues(SettingsScope scope, const std::string& keyPath,
                      std::vector<std::string>& names);

 private:
  CSettingsStore() = default;
  std::mutex m_writeLock;
};
