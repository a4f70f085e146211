#pragma once
// Accessors of the settings key SOFTWARE\ORVA\OrvaDesk in both scopes, and the three user
// options (1 AutoRun, 2 AutoCheckUpdate, 3 AutoShowOnline).
#include <cstdint>
#include <string>

#include "foundation/SettingsStore.h"

class CRegOptions {
 public:
  // Reads one value of the settings key into the caller's buffer: a 32-bit number as 4
  // little-endian bytes, a string as UTF-8 with its terminating zero. On success the length
  // holds the bytes read; on any failure it is 0 and the result is non-zero (a Windows error
  // number: 2 missing, 234 larger than the buffer), never 0.
  static uint32_t GetRegSetting(SettingsScope scope, const char* lpcsName, void* pvBuf,
                                uint32_t* pulLen, uint32_t* pulType = nullptr);
  // The same for any key path (token-kit sub-keys).
  static uint32_t GetRegSettingEx(SettingsScope scope, const std::string& keyPath,
                                  const char* lpcsName, void* pvBuf, uint32_t* pulLen,
                                  uint32_t* pulType = nullptr);
  // Creates the key if missing and writes the value (ORVA_REG_DWORD: 4 bytes; ORVA_REG_SZ:
  // UTF-8 text, a terminating zero in the data is dropped).
  static uint32_t SetRegSetting(SettingsScope scope, const char* lpcsKeyPath, const char* lpcsName,
                                uint32_t ulType, const void* pvData, uint32_t ulLen);

  static uint32_t GetUserOption(uint32_t ulType, uint32_t* pulValue);
  static uint32_t SetUserOption(uint32_t ulType, uint32_t ulValue);

  // Typed readers for the Parts that read their own values. A value counts as readable only
  // when it exists, has the right type and fits: strings hold at most `maxChars` UTF-16
  // units (a buffer of 2 * (maxChars + 1) bytes).
  static bool ReadDword(SettingsScope scope, const char* lpcsName, uint32_t& out);
  static bool ReadString(SettingsScope scope, const char* lpcsName, std::string& out,
                         size_t maxChars);
  static bool ReadDwordEx(SettingsScope scope, const std::string& keyPath, const char* lpcsName,
                          uint32_t& out);
  static bool ReadStringEx(SettingsScope scope, const std::string& keyPath, const char* lpcsName,
                           std::string& out, size_t maxChars);

  // Per-user first, then machine-wide (the read order of the user options).
  static bool ReadDwordUserThenMachine(const char* lpcsName, uint32_t& out);

  // Path of the XDG autostart entry that stands for the Run key value "OrvaDesk".
  static std::string AutostartFilePath();
};
