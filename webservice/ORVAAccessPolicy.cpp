#include "webservice/ORVAAccessPolicy.h"

#include "foundation/LogFile.h"
#include "foundation/RegOptions.h"
#include "foundation/SettingsStore.h"

namespace {

constexpr size_t kMaxListChars = 32767;

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

void AddList(const std::string& list, std::set<std::string>& out) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t semi = list.find(';', start);
    std::string item = CORVAAccessPolicy::NormaliseOrigin(
        list.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
    if (!item.empty() && item != "null") out.insert(item);
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
}

}  // namespace

CORVAAccessPolicy& CORVAAccessPolicy::Instance() {
  static CORVAAccessPolicy policy;
  return policy;
}

void CORVAAccessPolicy::SetConsentProvider(ConsentFn fn) {
  std::lock_guard<std::mutex> g(m_lock);
  m_consent = std::move(fn);
}

void CORVAAccessPolicy::ResetRunAnswers() {
  std::lock_guard<std::mutex> g(m_lock);
  m_allowedThisRun.clear();
  m_refusedThisRun.clear();
}

std::string CORVAAccessPolicy::NormaliseOrigin(const std::string& origin) {
  return LowerAscii(Trim(origin));
}

bool CORVAAccessPolicy::IsHostAllowed(const std::string* pHost) {
  if (pHost == nullptr) return true;
  std::string host = LowerAscii(Trim(*pHost));
  // "[::1]:6368" has colons inside brackets; the listener is IPv4 only, so such a name
  // is simply not one of ours.
  if (!host.empty() && host.front() != '[') {
    size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
      std::string port = host.substr(colon + 1);
      if (port.find_first_not_of("0123456789") != std::string::npos) return false;
      host.resize(colon);
    }
  }
  if (!host.empty() && host.back() == '.') host.pop_back();  // "orvadesk.localhost."
  return host == ORVA_SERVICE_HOST || host == "127.0.0.1" || host == "localhost";
}

void CORVAAccessPolicy::_RefreshLists() {
  auto stampOf = [](SettingsScope scope) {
    FileStamp s;
    struct stat st {};
    if (::stat(CSettingsStore::FilePath(scope).c_str(), &st) == 0) {
      s.exists = true;
      s.dev = st.st_dev;
      s.ino = st.st_ino;
      s.size = st.st_size;
      s.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    }
    return s;
  };
  FileStamp machine = stampOf(SettingsScope::Machine);
  FileStamp user = stampOf(SettingsScope::User);
  if (m_machineStamp == machine && m_userStamp == user) return;
  std::set<std::string> listed;
  std::string text;
  if (CRegOptions::ReadString(SettingsScope::Machine, "AllowedOrigins", text, kMaxListChars))
    AddList(text, listed);
  text.clear();
  if (CRegOptions::ReadString(SettingsScope::User, "ApprovedOrigins", text, kMaxListChars))
    AddList(text, listed);
  m_listed = std::move(listed);
  m_machineStamp = machine;
  m_userStamp = user;
}

bool CORVAAccessPolicy::_IsListed(const std::string& origin) {
  _RefreshLists();
  return m_listed.count(origin) != 0;
}

bool CORVAAccessPolicy::IsOriginAllowed(const std::string& rawOrigin) {
  std::string origin = NormaliseOrigin(rawOrigin);
  if (origin.empty() || origin == "null") return false;

  std::unique_lock<std::mutex> lk(m_lock);
  if (_IsListed(origin) || m_allowedThisRun.count(origin)) return true;
  if (m_refusedThisRun.count(origin) || !m_consent) return false;
  auto it = m_pending.find(origin);
  if (it != m_pending.end()) {
    // Someone is asking already: share that answer.
    std::shared_future<Decision> answer = it->second;
    lk.unlock();
    return answer.get() != kRefuse;
  }
  std::promise<Decision> promise;
  m_pending.emplace(origin, promise.get_future().share());
  ConsentFn consent = m_consent;
  lk.unlock();  // other origins and listed requests go on while the user thinks

  Decision d = kRefuse;
  try {
    d = consent(origin);
  } catch (...) {
    d = kRefuse;
  }
  if (d == kAllowAlways) {
    std::string list;
    CRegOptions::ReadString(SettingsScope::User, "ApprovedOrigins", list, kMaxListChars);
    if (!list.empty() && list.back() != ';') list += ';';
    list += origin;
    uint32_t res = CRegOptions::SetRegSetting(SettingsScope::User, kOrvaSettingsKey,
                                              "ApprovedOrigins", ORVA_REG_SZ, list.data(),
                                              static_cast<uint32_t>(list.size()));
    if (res != 0) ORVA_LOG_ERROR("SetRegSetting() failed! ulRes = 0x%x", res);
  }
  lk.lock();
  if (d == kRefuse)
    m_refusedThisRun.insert(origin);
  else
    m_allowedThisRun.insert(origin);
  m_pending.erase(origin);
  lk.unlock();
  promise.set_value(d);
  return d != kRefuse;
}
