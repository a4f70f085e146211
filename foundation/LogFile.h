#pragma once
// The diagnostic log: one UTF-16LE file per run, every line flushed to the file with one
// write() so that the log survives a crash of the process up to its last line.
//
// Call through the macros, which supply the qualified function name and the source line:
//   ORVA_LOG_BEGIN();                       ->  [12:00:01][CFoo::Bar()][42] Begin!
//   ORVA_LOG_ERROR("pVal is NULL!");        ->  [12:00:01][CFoo::Bar()][43] [ERROR]pVal is NULL!
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

template <class T>
class Singleton {
 public:
  virtual ~Singleton() = default;
};

class CLogFile : public Singleton<CLogFile> {
 public:
  // The one log of the process. It is never destroyed: it stays usable from any thread
  // until the process ends; the footer is written by an exit handler.
  static CLogFile& Instance();

  // Turns the log on when `bEnabled`, in `folder` or the default folder
  // ${XDG_DATA_HOME:-~/.local/share}/ORVA/Logs, removing logs older than 30 days.
  void Init(bool bEnabled, int32_t lLogClass, const std::string& folder);

  void LogInfo(const char* lpcsFunc, int nLine, const char* lpcsFormat, ...)
      __attribute__((format(printf, 4, 5)));
  void LogError(const char* lpcsFunc, int nLine, const char* lpcsFormat, ...)
      __attribute__((format(printf, 4, 5)));

  bool IsEnabled() const { return m_bEnabled.load(std::memory_order_acquire); }
  int32_t GetLogClass() const { return m_lLogClass; }
  std::string GetFileName() const;

  // Writes the footer and closes the file; later lines are dropped. Run at process exit.
  void Close();

  // Default log folder for this user.
  static std::string DefaultFolder();

  ~CLogFile() override;

 private:
  CLogFile() = default;
  void _WriteLine(std::string_view text);
  void _WriteMessage(const char* lpcsFunc, int nLine, bool bError, const char* lpcsFormat,
                     va_list args);
  void _OpenFile(const std::string& path);
  static void _RemoveOldLogs(const std::string& folder);

  mutable std::mutex m_lock;
  std::string m_fileName;
  std::atomic<bool> m_bEnabled{false};
  int32_t m_lLogClass = 0;
  int m_fd = -1;
};

namespace orva {
// "CX509Certificate::get_SN" from "uint32_t CX509Certificate::get_SN(std::string&) const":
// the last two components of the function's qualified name, without templates or
// parameters. Namespaces other than the class are dropped.
std::string QualifiedFunctionName(std::string_view prettyFunction);
}  // namespace orva

// Reads LogEnabled, LogClass and LogFolder from the machine-wide settings and initialises
// the log as start-up does (the per-user scope is not consulted).
void InitLogFromMachineSettings();

#define ORVA_LOG_INFO(...)                                                                  \
  do {                                                                                      \
    CLogFile& orva_log_ = CLogFile::Instance();                                             \
    if (orva_log_.IsEnabled())                                                              \
      orva_log_.LogInfo(::orva::QualifiedFunctionName(__PRETTY_FUNCTION__).c_str(), __LINE__, \
                        __VA_ARGS__);                                                       \
  } while (0)

#define ORVA_LOG_ERROR(...)                                                                 \
  do {                                                                                      \
    CLogFile& orva_log_ = CLogFile::Instance();                                             \
    if (orva_log_.IsEnabled())                                                              \
      orva_log_.LogError(::orva::QualifiedFunctionName(__PRETTY_FUNCTION__).c_str(),        \
                         __LINE__, __VA_ARGS__);                                            \
  } while (0)

#define ORVA_LOG_BEGIN() ORVA_LOG_INFO("Begin!")
#define ORVA_LOG_END() ORVA_LOG_INFO("End!")
