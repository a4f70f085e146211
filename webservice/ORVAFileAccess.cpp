#include "webservice/ORVAFileAccess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "foundation/LogFile.h"
#include "foundation/RegOptions.h"
#include "foundation/ResultCodes.h"
#include "platform/Paths.h"
#include "webservice/ORVAAccessPolicy.h"

namespace {

constexpr size_t kMaxRootsChars = 32767;

std::vector<std::string> SplitNames(const std::string& path) {
  std::vector<std::string> names;
  size_t i = 0;
  while (i < path.size()) {
    size_t next = path.find('/', i);
    if (next == std::string::npos) next = path.size();
    if (next > i) names.push_back(path.substr(i, next - i));
    i = next + 1;
  }
  return names;
}

std::string JoinNames(const std::vector<std::string>& names, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += "/" + names[i];
  return out.empty() ? "/" : out;
}

std::string Append(const std::string& base, const std::string& name) {
  return base == "/" ? "/" + name : base + "/" + name;
}

// True when `path` lies strictly below `root` (both resolved).
bool IsBelow(const std::string& path, const std::string& root) {
  if (root == "/") return path.size() > 1 && path[0] == '/';
  return path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 &&
         path[root.size()] == '/';
}

bool RealPath(const std::string& path, std::string& out) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return false;
  out = buf;
  return true;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

CORVAFileAccess& CORVAFileAccess::Instance() {
  static CORVAFileAccess access;
  return access;
}

bool CORVAFileAccess::ResolvePath(const std::string& strPath, OrvaPathUse use, std::string& strOut) {
  if (strPath.empty() || strPath.find('\0') != std::string::npos || strPath.size() >= PATH_MAX)
    return false;
  std::string abs = strPath;
  if (abs[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return false;
    abs = Append(cwd, abs);
  }
  std::vector<std::string> names = SplitNames(abs);
  std::string keep;
  if (use != OrvaPathUse::kTarget && !names.empty() && names.back() != "." && names.back() != "..") {
    keep = names.back();
    names.pop_back();
  }
  // The deepest leading part that exists; each name after it must be missing itself
  // (lstat fails), so that a dangling link is never taken for a new name.
  size_t n = names.size();
  std::string base;
  for (;; --n) {
    std::string prefix = JoinNames(names, n);
    if (RealPath(prefix, base)) break;
    if (errno != ENOENT || n == 0) return false;
    struct stat st {};
    if (::lstat(prefix.c_str(), &st) == 0 || errno != ENOENT) return false;
  }
  for (size_t i = n; i < names.size(); ++i) {
    if (names[i] == "." || names[i] == "..") return false;
    base = Append(base, names[i]);
  }
  if (!keep.empty()) base = Append(base, keep);
  if (base.size() >= PATH_MAX) return false;
  strOut = std::move(base);
  return true;
}

bool CORVAFileAccess::IsProtectedFolder(const std::string& strResolved) {
  std::vector<std::string> names = SplitNames(strResolved);
  if (names.size() <= 1) return true;  // "/" and every top-level folder
  std::string home = orva::platform::HomeDir();
  std::string realHome;
  for (const std::string& h : {home, RealPath(home, realHome) ? realHome : home}) {
    if (h.empty() || h[0] != '/') continue;
    std::string trimmed = JoinNames(SplitNames(h), SplitNames(h).size());
    if (strResolved == trimmed || IsBelow(trimmed, strResolved)) return true;
  }
  return false;
}

std::vector<std::string> CORVAFileAccess::_ReadRoots() {
  std::vector<std::string> roots;
  std::string list;
  if (!CRegOptions::ReadString(SettingsScope::Machine, "FileAccessRoots", list, kMaxRootsChars))
    return roots;
  size_t start = 0;
  while (start <= list.size()) {
    size_t semi = list.find(';', start);
    std::string item =
        Trim(list.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
    std::string resolved;
    if (!item.empty() && item[0] == '/' && RealPath(item, resolved)) {
      struct stat st {};
      if (::stat(resolved.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) roots.push_back(resolved);
    }
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  return roots;
}

void CORVAFileAccess::GrantChosen(const std::string& strOrigin, const std::string& strPath,
                                  bool bFolder) {
  std::string origin = CORVAAccessPolicy::NormaliseOrigin(strOrigin);
  if (origin.empty()) return;
  std::string target, entry;
  bool bTarget = ResolvePath(strPath, OrvaPathUse::kTarget, target);
  // A chosen file that is a link may be deleted as the link too.
  bool bEntry = !bFolder && ResolvePath(strPath, OrvaPathUse::kEntry, entry);
  std::lock_guard<std::mutex> g(m_lock);
  if (bTarget) m_grants.insert({origin, target, bFolder});
  if (bEntry && entry != target) m_grants.insert({origin, entry, false});
  if (bTarget)
    ORVA_LOG_INFO("%s granted to %s: %s", bFolder ? "Folder" : "File", origin.c_str(), target.c_str());
}

void CORVAFileAccess::ResetRunGrants() {
  std::lock_guard<std::mutex> g(m_lock);
  m_grants.clear();
}

bool CORVAFileAccess::_IsCovered(const std::string& strOrigin, const std::string& strResolved,
                                 bool bDelete) {
  {
    std::lock_guard<std::mutex> g(m_lock);
    for (auto it = m_grants.lower_bound({strOrigin, std::string(), false});
         it != m_grants.end() && it->origin == strOrigin; ++it) {
      if (!it->bFolder) {
        if (it->path == strResolved) return true;
      } else if (IsBelow(strResolved, it->path) || (!bDelete && strResolved == it->path)) {
        return true;
      }
    }
  }
  for (const std::string& root : _ReadRoots())
    if (IsBelow(strResolved, root) || (!bDelete && strResolved == root)) return true;
  return false;
}

uint32_t CORVAFileAccess::CheckPath(const std::optional<std::string>& origin,
                                    const std::string& strPath, OrvaPathUse use,
                                    std::string& strUse) {
  if (!origin) {
    strUse = strPath;
    return ORVA_OK;
  }
  std::string caller = CORVAAccessPolicy::NormaliseOrigin(*origin);
  std::string resolved;
  if (!ResolvePath(strPath, use, resolved)) {
    ORVA_LOG_ERROR("The path can't be resolved! origin: %s, path: %s", caller.c_str(), strPath.c_str());
    return ORVA_E_INVALID_CALL;
  }
  if (caller.empty() || !_IsCovered(caller, resolved, use == OrvaPathUse::kDelete)) {
    ORVA_LOG_ERROR("The path is not granted to the page! origin: %s, path: %s", caller.c_str(),
                   resolved.c_str());
    return ORVA_E_INVALID_CALL;
  }
  strUse = std::move(resolved);
  return ORVA_OK;
}
