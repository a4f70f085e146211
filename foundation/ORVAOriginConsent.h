#pragma once
// Which web origins may use the agent. An origin (compared exactly after lower-casing) is
// allowed when it is listed in the machine-wide "AllowedOrigins" or the per-user
// "ApprovedOrigins" (origins separated by ";"), or when the user approved it in the consent
// dialog: "allow once" lasts for the rest of the run, "always allow" also appends it to
// "ApprovedOrigins". A refusal also lasts for the rest of the run, so a page cannot bring
// the question back by retrying.
//
// The question is asked on the first request of an unknown origin (whatever the request,
// a CORS preflight included); requests of that origin arriving meanwhile wait for the same
// answer, and only one question is on the screen at a time. "null", an empty origin and
// anything that is not "scheme://host[:port]" are refused without a question.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class CORVAOriginConsent {
 public:
  static CORVAOriginConsent& Instance();

  // True when requests of `strOrigin` may be served; may ask the user and wait.
  bool Decide(const std::string& strOrigin);
  // True when `strOrigin` is allowed without asking (listed or approved this run).
  bool IsAllowed(const std::string& strOrigin);
  // The form origins are compared in; "" when `strOrigin` is not an origin at all.
  static std::string Normalize(const std::string& strOrigin);
  // Forgets this run's answers (tests).
  void Reset();

 private:
  CORVAOriginConsent() = default;
  enum class State { Asking, Allowed, Refused };
  static bool _Listed(const std::string& strList, const std::string& strOrigin);

  std::mutex m_lock;
  std::condition_variable m_answered;
  std::map<std::string, State> m_session;  // this run's answers and questions in progress
  std::mutex m_askLock;                    // one question on the screen at a time
};
