#pragma once
// Folders of the XDG base-directory layout and of the running program. Every folder the
// agent touches is derived here, so tests can redirect them with the environment.
#include <string>

namespace orva::platform {

// $HOME, or the passwd entry when HOME is unset.
std::string HomeDir();
// ${XDG_DATA_HOME:-~/.local/share}, ${XDG_CONFIG_HOME:-~/.config}, ${XDG_CACHE_HOME:-~/.cache}.
std::string XdgDataHome();
std::string XdgConfigHome();
std::string XdgCacheHome();

// Machine-wide settings folder: $ORVADESK_MACHINE_DIR or /etc/orvadesk.
std::string MachineSettingsDir();
// Per-user settings folder: $ORVADESK_USER_DIR or ${XDG_CONFIG_HOME}/orvadesk.
std::string UserSettingsDir();
// Per-user cache folder of the agent: ${XDG_CACHE_HOME}/orvadesk.
std::string AgentCacheDir();

// Full path of the running executable (from /proc/self/exe) and its folder with a trailing "/".
std::string ExecutablePath();
std::string ExecutableDir();

// Creates every missing directory along the path (mode 0700 for new ones unless given).
// Returns 0 or an errno value.
int MakeDirs(const std::string& path, unsigned mode = 0700);

// Joins two path pieces with exactly one "/" between them.
std::string JoinPath(const std::string& a, const std::string& b);

// Parent folder of a path ("" for a bare name, "/" for a top-level entry).
std::string ParentPath(const std::string& path);

}  // namespace orva::platform
