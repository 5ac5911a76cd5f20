// Replaces a file so that a crash leaves the old content or the new, never a mix: temp file in the
// same folder, every write checked, fsync, the old mode and owner kept, rename, fsync the folder.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "platform/file_system.h"

namespace oarepair::platform {

using AtomicWriteSink = std::function<int(const char* data, size_t size)>;

// Writes the new content of `path` through `produce`, which calls the sink in order and returns 0
// or an errno value. `beforeRename` runs just before the rename and may veto it with an errno
// value (the registry checks there that no wineserver has started). A symlinked path is written
// through to the file it points to. On any failure the temp file is removed and the old file is
// left untouched; the result is 0 or the first errno value.
// The new file gets the old one's permission bits, set-id and sticky bits included, except a
// set-group-id bit when the old group could not be given to it (no privilege for that group).
// A target that does not exist yet is created with mode 0644 less the umask. The one failure that
// comes after the rename is the sync of the folder: the new content is then in place but may not
// survive a crash, and that errno value is returned.
int AtomicReplaceFile(FileSystem& fs, const std::string& path,
                      const std::function<int(const AtomicWriteSink&)>& produce,
                      const std::function<int()>& beforeRename = nullptr);

// Removes the temp files that AtomicReplaceFile left in `folder` for the file named `name` when
// the process writing them died before it could clean up: regular files named exactly as it
// names them (".<name>.<pid in hex><four hex digits>.tmp") whose writing process no longer
// exists. Nothing else is touched. Call it only while no writer of ours can be at work on that
// file (the registry holds the prefix lock). Returns how many were removed.
size_t RemoveStaleTempFiles(FileSystem& fs, const std::string& folder, const std::string& name);

// The process's file-mode creation mask, read without changing it.
mode_t CurrentUmask();

}  // namespace oarepair::platform
