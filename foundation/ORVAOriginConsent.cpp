#include "foundation/ORVAOriginConsent.h"

#include "foundation/LogFile.h"
#include "foundation/ORVAUserInterface.h"
#include "foundation/RegOptions.h"
#include "foundation/SettingsStore.h"

namespace {

// Settings strings hold at most this many characters (the list of approved origins grows
// with each "always allow").
constexpr size_t kOriginListMax = 32767;

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::mutex& ApprovedWriteLock() {
  static std::mutex m;
  return m;
}

}  // namespace

CORVAOriginConsent& CORVAOriginConsent::Instance() {
  static CORVAOriginConsent instance;
  return instance;
}

std::string CORVAOriginConsent::Normalize(const std::string& strOrigin) {
  if (strOrigin.empty() || strOrigin.size() > 255) return {};
  std::string o = Lower(strOrigin);
  size_t sep = o.find("://");
  if (sep == std::string::npos || sep == 0 || sep + 3 >= o.size()) return {};
  for (size_t i = 0; i < sep; ++i) {
    char c = o[i];
    if (!((c >= 'a' && c <= 'z') || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))))
      return {};
  }
  // host[:port]: letters, digits, '-', '.', '_', and the brackets and colons of IPv6.
  for (size_t i = sep + 3; i < o.size(); ++i) {
    char c = o[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
              c == '_' || c == ':' || c == '[' || c == ']';
    if (!ok) return {};
  }
  return o;
}

bool CORVAOriginConsent::_Listed(const std::string& strList, const std::string& strOrigin) {
  size_t from = 0;
  while (from <= strList.size()) {
    size_t at = strList.find(';', from);
    std::string item = strList.substr(from, at == std::string::npos ? std::string::npos : at - from);
    // Blanks around the separators are not part of an origin.
    size_t b = item.find_first_not_of(" \t"), e = item.find_last_not_of(" \t");
    if (b != std::string::npos) {
      item = Lower(item.substr(b, e - b + 1));
      if (item != "null" && item == strOrigin) return true;
    }
    if (at == std::string::npos) break;
    from = at + 1;
  }
  return false;
}

bool CORVAOriginConsent::IsAllowed(const std::string& strOrigin) {
  std::string o = Normalize(strOrigin);
  if (o.empty() || o == "null") return false;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_session.find(o);
    if (it != m_session.end() && it->second == State::Allowed) return true;
  }
  std::string list;
  if (CRegOptions::ReadString(SettingsScope::Machine, "AllowedOrigins", list, kOriginListMax) &&
      _Listed(list, o))
    return true;
  if (CRegOptions::ReadString(SettingsScope::User, "ApprovedOrigins", list, kOriginListMax) &&
      _Listed(list, o))
    return true;
  return false;
}

bool CORVAOriginConsent::Decide(const std::string& strOrigin) {
  std::string o = Normalize(strOrigin);
  if (o.empty()) {
    ORVA_LOG_ERROR("Not an origin, refused without asking.");
    return false;
  }
  if (IsAllowed(o)) return true;

  std::unique_lock<std::mutex> lock(m_lock);
  auto it = m_session.find(o);
  if (it != m_session.end()) {
    // Asked already: wait for that answer (or use it).
    m_answered.wait(lock, [&] { return m_session[o] != State::Asking; });
    return m_session[o] == State::Allowed;
  }
  m_session[o] = State::Asking;
  lock.unlock();

  OrvaConsent answer = OrvaConsent::Refuse;
  try {
    std::lock_guard<std::mutex> one(m_askLock);
    // Approved meanwhile by a listing written elsewhere: no question.
    std::string list;
    if (CRegOptions::ReadString(SettingsScope::User, "ApprovedOrigins", list, kOriginListMax) &&
        _Listed(list, o))
      answer = OrvaConsent::AllowOnce;
    else
      answer = GetOrvaUserInterface()->AskConsent(o);
  } catch (...) {
    answer = OrvaConsent::Refuse;
  }
  ORVA_LOG_INFO("Origin %s: %s", o.c_str(),
                answer == OrvaConsent::AlwaysAllow ? "always allowed"
                : answer == OrvaConsent::AllowOnce ? "allowed for this run"
                                                   : "refused");
  if (answer == OrvaConsent::AlwaysAllow) {
    std::lock_guard<std::mutex> w(ApprovedWriteLock());
    std::string list;
    CRegOptions::ReadString(SettingsScope::User, "ApprovedOrigins", list, kOriginListMax);
    if (!_Listed(list, o)) {
      std::string updated = list.empty() ? o : list + ";" + o;
      if (updated.size() <= kOriginListMax) {
        uint32_t res = CRegOptions::SetRegSetting(SettingsScope::User, kOrvaSettingsKey,
                                                  "ApprovedOrigins", ORVA_REG_SZ, updated.c_str(),
                                                  static_cast<uint32_t>(updated.size()));
        if (res != 0) ORVA_LOG_ERROR("SetRegSetting() failed! ulRes=0x%x", res);
      }
    }
  }
  lock.lock();
  m_session[o] = answer == OrvaConsent::Refuse ? State::Refused : State::Allowed;
  lock.unlock();
  m_answered.notify_all();
  return answer != OrvaConsent::Refuse;
}

void CORVAOriginConsent::Reset() {
  std::lock_guard<std::mutex> lock(m_lock);
  for (auto it = m_session.begin(); it != m_session.end();)
    it = it->second == State::Asking ? std::next(it) : m_session.erase(it);
}
