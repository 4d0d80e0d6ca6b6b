// Making a file's name durable: after a file is created, renamed or removed,
// the change reaches the disk only when its folder is synced.
#pragma once

#include <QString>

namespace kestrune {

// Syncs the folder that holds `path`; false when it could not be opened or
// synced (the name change may not survive a power cut).
bool syncFolderOf(const QString& path);

}  // namespace kestrune
