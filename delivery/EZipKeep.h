// File operations behind keeping an archive (Linux).
#pragma once

#include <string>

// Moves `source` to `target` unless `target` exists; across file systems the data is copied
// and the copy linked under the final name. False when nothing was moved.
bool MoveWithoutReplacing(const std::string& source, const std::string& target);
// "BugReport.zip" and "BugReport__<decoration>.zip": the only names pruning may delete.
bool IsKeptArchiveName(const std::string& name);
