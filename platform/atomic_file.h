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
// A target that does not exist yet is created with mode 0644 less the umask. The one failure that
// comes after the rename is the sync of the folder: the new content is then in place but may not
// survive a crash, and that errno value is returned.
int AtomicReplaceFile(FileSystem& fs, const std::string& path,
                      const std::function<int(const AtomicWriteSink&)>& produce,
                      const std::function<int()>& beforeRename = nullptr);

// The process's file-mode creation mask, read without changing it.
mode_t CurrentUmask();

}  // namespace oarepair::platform
