#pragma once
// File-system operations shared by the web-service commands and the stream factory's
// folder methods.
#include <cstdint>
#include <string>

// Removes a folder with everything in it (or the file or link the path names), without
// confirmation. The final name is not followed: a link is removed, never what it points to,
// and links inside the folder are removed as links. With bPermanently false the entry is
// moved to the user's trash (${XDG_DATA_HOME}/Trash, with its .trashinfo record) instead.
// Returns 0, 0x81000004 for an empty path, or a Windows error number for
// ConvertLastError: 5 for a protected folder (CORVAFileAccess::IsProtectedFolder, refused
// whoever asks), 2/3 when the path does not exist, the error of the removal otherwise.
uint32_t DeleteDirectory(const std::string& strPath, bool bPermanently);
