#pragma once
// Who may call the loopback service. A request without an Origin comes from a local
// program and is served. A browser request is served only when its origin is listed in the
// machine-wide AllowedOrigins or the per-user ApprovedOrigins (";"-separated, compared
// exactly after lower-casing, "null" never matches), or when the user approved it in this
// run through the consent step. The Host header, without its port, must name the service
// host name, 127.0.0.1 or localhost (DNS rebinding).
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>

inline constexpr const char* ORVA_SERVICE_HOST = "orvadesk.localhost";

class CORVAAccessPolicy {
 public:
  enum Decision { kRefuse, kAllowOnce, kAllowAlways };
  // Asks the user about an unknown origin and blocks until answered. Runs on the thread of
  // the first request of that origin; concurrent requests of the origin wait for the same
  // answer.
  using ConsentFn = std::function<Decision(const std::string& origin)>;

  static CORVAAccessPolicy& Instance();

  // Until a consent step is set, an origin that is not listed is refused.
  void SetConsentProvider(ConsentFn fn);
  // Forgets this run's answers (tests, and a restart of the service).
  void ResetRunAnswers();

  // A missing Host passes (browsers always send one).
  static bool IsHostAllowed(const std::string* pHost);
  // The origin as sent by the browser; may ask the user.
  bool IsOriginAllowed(const std::string& origin);

  // "https://A.example" -> "https://a.example", blanks trimmed.
  static std::string NormaliseOrigin(const std::string& origin);

 private:
  CORVAAccessPolicy() = default;
  bool _IsListed(const std::string& origin);
  void _RefreshLists();

  std::mutex m_lock;
  ConsentFn m_consent;
  std::set<std::string> m_allowedThisRun;
  std::set<std::string> m_refusedThisRun;
  std::map<std::string, std::shared_future<Decision>> m_pending;

  // The two lists, re-read when either settings file changes.
  std::set<std::string> m_listed;
  struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long long mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;
  };
  std::optional<FileStamp> m_machineStamp, m_userStamp;
};
