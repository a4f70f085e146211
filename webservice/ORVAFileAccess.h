#pragma once
// Which paths a browser request may hand to the file system.
//
// A web page never names a path the user did not give it. A request with a calling origin
// may use a path only when, once resolved, it lies
//   - at a file the user chose for that origin in the agent's own file dialog during this
//     run ("get_filename"), or
//   - at or below a folder the user chose for that origin in the agent's folder dialog
//     during this run ("get_pathname"), or
//   - at or below a folder of the machine-wide FileAccessRoots list (";"-separated).
// Deleting needs more than that: a chosen folder or a FileAccessRoots folder itself is
// never deleted through a grant, only what lies below it. Grants belong to the exact
// origin (lower-cased) and last until the process ends; another origin inherits nothing.
// Every other path is answered 0x8100000B and nothing is touched.
//
// Resolution comes before the check: symbolic links and ".." are resolved with the file
// system (realpath). For a path that does not exist yet, its deepest existing folder is
// resolved and the missing names are appended; a missing name may not be "." or "..", and
// a name that exists but cannot be resolved (a dangling or looping link, a file used as a
// folder, a folder without search permission) refuses the path. The caller then works on
// the resolved path, never on the text the page sent.
//
// How a path is resolved depends on what the command does with it:
//   kTarget: the file or folder the path leads to, a final link followed (read, write,
//            create, open, output files);
//   kEntry:  the directory entry itself, its folder resolved and the final name kept (a
//            final "." or ".." is resolved as with kTarget);
//   kDelete: as kEntry, for commands that remove the entry (removing a link removes the
//            link, never what it points to); a grant's own folder is refused.
//
// A request without an origin (a local program) is not checked: CheckPath answers 0 and
// hands the path back unchanged.
//
// Use from a command handler:
//   std::string strUse;
//   uint32_t ulRes = CORVAFileAccess::Instance().CheckPath(GetCallerOrigin(), strFile,
//                                                           OrvaPathUse::kTarget, strUse);
//   if (ulRes != 0) return ulRes;      // 0x8100000B, nothing touched
//   ... open strUse ...
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

enum class OrvaPathUse { kTarget, kEntry, kDelete };

class CORVAFileAccess {
 public:
  static CORVAFileAccess& Instance();

  // The user chose `strPath` for `strOrigin` in the agent's file dialog (bFolder false) or
  // folder dialog (bFolder true). The path is resolved now; one that cannot be resolved
  // grants nothing. An empty origin grants nothing.
  void GrantChosen(const std::string& strOrigin, const std::string& strPath, bool bFolder);

  // The check. kDelete resolves as kEntry and also refuses a grant's own folder.
  // Origin none: 0, `strUse` = `strPath`. Origin set: 0 with `strUse` the resolved path,
  // or 0x8100000B (logged with the origin and the path).
  uint32_t CheckPath(const std::optional<std::string>& origin, const std::string& strPath,
                     OrvaPathUse use, std::string& strUse);

  // Forgets every grant of this run (tests).
  void ResetRunGrants();

  // The resolution described above (kDelete as kEntry); false when the path cannot be
  // resolved (empty, a zero byte inside, longer than the system allows, or refused).
  // Relative paths are taken from the current folder.
  static bool ResolvePath(const std::string& strPath, OrvaPathUse use, std::string& strOut);

  // Folders no command deletes, whatever the grants say: "/", every folder directly below
  // it (/usr, /etc, /home ...), the user's home folder and every folder above it. The path
  // must be resolved already.
  static bool IsProtectedFolder(const std::string& strResolved);

 private:
  CORVAFileAccess() = default;
  struct Grant {
    std::string origin;
    std::string path;  // resolved
    bool bFolder;
    bool operator<(const Grant& o) const {
      return std::tie(origin, path, bFolder) < std::tie(o.origin, o.path, o.bFolder);
    }
  };
  // The FileAccessRoots folders, resolved (missing ones left out).
  static std::vector<std::string> _ReadRoots();
  bool _IsCovered(const std::string& strOrigin, const std::string& strResolved, bool bDelete);

  std::mutex m_lock;
  std::set<Grant> m_grants;
};
