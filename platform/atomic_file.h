// Replaces a file so that a crash leaves the old content or the new, never a mix: temp file in the
// same folder, every write checked, fsync, the old mode and owner kept, rename, fsync the folder.
#pragma once

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
int AtomicReplaceFile(FileSystem& fs, const std::string& path,
                      const std::function<int(const AtomicWriteSink&)>& produce,
                      const std::function<int()>& beforeRename = nullptr);

}  // namespace oarepair::platform
