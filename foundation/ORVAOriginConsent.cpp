#include "foundation/ORVAOriginConsent.h"

#include <mutex>

#include "foundation/LogFile.h"

std::string OrvaNormalizeWebOrigin(const std::string& strOrigin) {
  if (strOrigin.empty() || strOrigin.size() > 255) return {};
  std::string o = strOrigin;
  for (char& c : o)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  size_t sep = o.find("://");
  if (sep == std::string::npos || sep == 0 || sep + 3 >= o.size()) return {};
  for (size_t i = 0; i < sep; ++i) {
    char c = o[i];
    bool ok = (c >= 'a' && c <= 'z') ||
              (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
    if (!ok) return {};
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

OrvaConsent OrvaAskOriginConsent(const std::string& strOrigin) {
  std::string o = OrvaNormalizeWebOrigin(strOrigin);
  if (o.empty()) {
    ORVA_LOG_ERROR("Not a web origin, refused without asking.");
    return OrvaConsent::Refuse;
  }
  static std::mutex oneAtATime;
  std::lock_guard<std::mutex> lock(oneAtATime);
  OrvaConsent answer = OrvaConsent::Refuse;
  try {
    answer = GetOrvaUserInterface()->AskConsent(o);
  } catch (...) {
    answer = OrvaConsent::Refuse;
  }
  ORVA_LOG_INFO("Origin %s: %s", o.c_str(),
                answer == OrvaConsent::AlwaysAllow ? "always allowed"
                : answer == OrvaConsent::AllowOnce ? "allowed for this run"
                                                   : "refused");
  return answer;
}
