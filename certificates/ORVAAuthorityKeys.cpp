#include "certificates/ORVAAuthorityKeys.h"

#include <cctype>

#include "foundation/LogFile.h"
#include "foundation/RegOptions.h"

namespace orva::cert {

namespace {

#include ORVA_AUTHORITY_KEYS_INC

// Room for a few dozen RSA-4096 keys.
constexpr size_t kMaxSettingChars = 64 * 1024;

bool IsHexKey(const std::string& s) {
  if (s.empty() || s.size() % 2) return false;
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::vector<std::string> AcceptedAuthorityKeys() {
  std::vector<std::string> keys;
  std::string setting;
  if (CRegOptions::ReadString(SettingsScope::Machine, "AuthorityKeys", setting, kMaxSettingChars)) {
    size_t start = 0;
    while (start <= setting.size()) {
      size_t end = setting.find(';', start);
      if (end == std::string::npos) end = setting.size();
      std::string item = setting.substr(start, end - start);
      size_t b = item.find_first_not_of(" \t\r\n");
      size_t e = item.find_last_not_of(" \t\r\n");
      item = b == std::string::npos ? std::string() : item.substr(b, e - b + 1);
      if (IsHexKey(item))
        keys.push_back(Lower(item));
      else if (!item.empty())
        ORVA_LOG_ERROR("AuthorityKeys entry is not a hexadecimal key! entry=%.40s", item.c_str());
      start = end + 1;
    }
    return keys;
  }
  for (const auto& list : kAuthorityKeyLists)
    for (const char* key : list)
      if (key != nullptr && IsHexKey(key)) keys.push_back(Lower(key));
  return keys;
}

}  // namespace orva::cert
