// Replacing a file so that a crash leaves either its old content or the
// new, never a mix or nothing: the new content goes to a temporary file in
// the same folder, which is synced and renamed over the file; then the
// folder is synced, so that the rename itself is on disk.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "QVExport.h"

namespace QVT {

// Puts the temporary file in the place of the target: 0, or -1 with errno
// set. QVRenameFile is the real one; a test may give one that fails.
using FileRenamer = std::function<int(const std::string& temporary, const std::string& target)>;
QV_API int QVRenameFile(const std::string& temporary, const std::string& target);

// Writes `content` as the file `path`. `mode`: the new file's permissions;
// kKeepFileMode keeps those of the file it replaces (0644 when there is
// none), since settings may hold secrets. False on failure, with the step
// that failed and the system's reason in `why` ("cannot sync its folder:
// ..."), the temporary file removed and the old file as it was (unless
// only the folder's sync failed).
inline constexpr int kKeepFileMode = -1;
QV_API bool QVReplaceFile(const std::string& path, std::string_view content, int mode,
                          const FileRenamer& rename = QVRenameFile, std::string* why = nullptr);

}  // namespace QVT
