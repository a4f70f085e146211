#include "foundation/SettingsStore.h"

#include <json/json.h>
#include <memory>
#include <sstream>

#include "platform/AtomicFile.h"
#include "platform/ErrnoMap.h"
#include "platform/Paths.h"

namespace {

constexpr uint32_t kErrFileNotFound = 2;
constexpr uint32_t kErrInvalidData = 13;

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// Key paths are compared without regard to case or to doubled or trailing separators.
std::string NormalizeKey(const std::string& key) {
  std::string out;
  for (char c : key) {
    if (c == '/') c = '\\';
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

bool LoadScope(SettingsScope scope, Json::Value& root) {
  std::string text;
  if (orva::platform::ReadWholeFile(CSettingsStore::FilePath(scope), text, 16u << 20) != 0)
    return false;
  Json::CharReaderBuilder b;
  b["collectComments"] = false;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  std::string errs;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errs)) return false;
  } catch (const std::exception&) {
    return false;
  }
  return root.isObject();
}

const Json::Value* FindMember(const Json::Value& obj, const std::string& name,
                              std::string* actualName = nullptr) {
  if (!obj.isObject()) return nullptr;
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    if (EqualsNoCase(it.name(), name)) {
      if (actualName) *actualName = it.name();
      return &*it;
    }
  }
  return nullptr;
}

const Json::Value* FindKey(const Json::Value& root, const std::string& keyPath,
                           std::string* actualName = nullptr) {
  std::string want = NormalizeKey(keyPath);
  for (auto it = root.begin(); it != root.end(); ++it) {
    if (EqualsNoCase(NormalizeKey(it.name()), want)) {
      if (actualName) *actualName = it.name();
      return &*it;
    }
  }
  return nullptr;
}

}  // namespace

CSettingsStore& CSettingsStore::Instance() {
  static CSettingsStore store;
  return store;
}

std::string CSettingsStore::FilePath(SettingsScope scope) {
  return orva::platform::JoinPath(scope == SettingsScope::Machine
                                      ? orva::platform::MachineSettingsDir()
                                      : orva::platform::UserSettingsDir(),
                                  "settings.json");
}

uint32_t CSettingsStore::ReadValue(SettingsScope scope, const std::string& keyPath,
                                   const std::string& name, SettingValue& out) {
  Json::Value root;
  if (!LoadScope(scope, root)) return kErrFileNotFound;
  const Json::Value* key = FindKey(root, keyPath);
  if (key == nullptr || !key->isObject()) return kErrFileNotFound;
  const Json::Value* v = FindMember(*key, name);
  if (v == nullptr) return kErrFileNotFound;
  if (v->isString()) {
    out.type = ORVA_REG_SZ;
    out.text = v->asString();
    out.dword = 0;
    return 0;
  }
  if (v->isIntegral() && (v->isUInt() || v->isInt())) {
    int64_t n = v->asInt64();
    if (n < INT32_MIN || n > static_cast<int64_t>(UINT32_MAX)) return kErrInvalidData;
    out.type = ORVA_REG_DWORD;
    out.dword = static_cast<uint32_t>(n);
    out.text.clear();
    return 0;
  }
  return kErrInvalidData;
}

uint32_t CSettingsStore::WriteValue(SettingsScope scope, const std::string& keyPath,
                                    const std::string& name, const SettingValue& value) {
  if (keyPath.empty() || name.empty()) return 87;
  std::lock_guard<std::mutex> g(m_writeLock);
  std::string path = FilePath(scope);
  orva::platform::FileLock lock(path + ".lock");
  Json::Value root(Json::objectValue);
  if (!LoadScope(scope, root)) root = Json::Value(Json::objectValue);
  std::string keyName = keyPath;
  FindKey(root, keyPath, &keyName);
  Json::Value& key = root[keyName];
  if (!key.isObject()) key = Json::Value(Json::objectValue);
  std::string valueName = name;
  FindMember(key, name, &valueName);
  if (value.type == ORVA_REG_DWORD) key[valueName] = Json::Value(static_cast<Json::UInt>(value.dword));
  else key[valueName] = Json::Value(value.text);

  Json::StreamWriterBuilder w;
  w["indentation"] = "  ";
  w["emitUTF8"] = true;
  std::string text = Json::writeString(w, root) + "\n";
  int e = orva::platform::WriteFileAtomic(path, text, 0644);
  return e == 0 ? 0 : orva::platform::WinErrorFromErrno(e, path);
}

uint32_t CSettingsStore::DeleteValue(SettingsScope scope, const std::string& keyPath,
                                     const std::string& name) {
  std::lock_guard<std::mutex> g(m_writeLock);
  std::string path = FilePath(scope);
  orva::platform::FileLock lock(path + ".lock");
  Json::Value root;
  if (!LoadScope(scope, root)) return kErrFileNotFound;
  std::string keyName;
  if (FindKey(root, keyPath, &keyName) == nullptr) return kErrFileNotFound;
  Json::Value& key = root[keyName];
  std::string valueName;
  if (FindMember(key, name, &valueName) == nullptr) return kErrFileNotFound;
  key.removeMember(valueName);
  Json::StreamWriterBuilder w;
  w["indentation"] = "  ";
  w["emitUTF8"] = true;
  int e = orva::platform::WriteFileAtomic(path, Json::writeString(w, root) + "\n", 0644);
  return e == 0 ? 0 : orva::platform::WinErrorFromErrno(e, path);
}

uint32_t CSettingsStore::EnumSubKeys(SettingsScope scope, const std::string& keyPath,
                                     std::vector<std::string>& names) {
  names.clear();
  Json::Value root;
  if (!LoadScope(scope, root)) return kErrFileNotFound;
  std::string parent = NormalizeKey(keyPath) + "\\";
  for (auto it = root.begin(); it != root.end(); ++it) {
    std::string k = NormalizeKey(it.name());
    if (k.size() <= parent.size() || !EqualsNoCase(k.substr(0, parent.size()), parent)) continue;
    std::string rest = k.substr(parent.size());
    if (rest.find('\\') != std::string::npos) continue;
    bool seen = false;
    for (const auto& n : names) seen = seen || EqualsNoCase(n, rest);
    if (!seen) names.push_back(rest);
  }
  return 0;
}

uint32_t CSettingsStore::EnumValues(SettingsScope scope, const std::string& keyPath,
                                    std::vector<std::string>& names) {
  names.clear();
  Json::Value root;
  if (!LoadScope(scope, root)) return kErrFileNotFound;
  const Json::Value* key = FindKey(root, keyPath);
  if (key == nullptr || !key->isObject()) return kErrFileNotFound;
  for (auto it = key->begin(); it != key->end(); ++it) names.push_back(it.name());
  return 0;
}
