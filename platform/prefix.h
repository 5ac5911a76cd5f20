// The Wine prefix the Linux registry lives in: where it is, whether a wineserver owns it, and the
// lock that makes our own processes take turns on it.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/file_system.h"

namespace oarepair::platform {

// $WINEPREFIX when set and not empty, else $HOME/.wine, as Wine finds it. Not checked.
std::string DefaultPrefixPath();

// Whether a wineserver serves the prefix: it holds a write lock on byte 0 of the "lock" file in
// its server folder (upstream /tmp/.wine-<uid>/server-<dev>-<ino>, or Debian's folder named by
// $WINEPREFIX/wineserver under $TMPDIR or /tmp). Returns 0 or an errno value; *running is set
// when a server holds the lock, with its pid in *pid and the lock file's path in *lockPath.
int DetectWineserver(FileSystem& fs, const std::string& prefix, bool* running, pid_t* pid,
                     std::string* lockPath);

// Whether the prefix folder belongs to the user running us (Wine refuses one that does not).
// Returns 0, ENOENT when it does not exist, or EACCES when another user owns it.
int CheckPrefixOwner(FileSystem& fs, const std::string& prefix);

// An exclusive lock between our own processes on one prefix (flock on the prefix folder, so
// nothing is created in it). Released by Release or the destructor.
class PrefixLock {
 public:
  PrefixLock() = default;
  ~PrefixLock();
  PrefixLock(const PrefixLock&) = delete;
  PrefixLock& operator=(const PrefixLock&) = delete;

  // Blocks until the lock is ours. Returns 0 or an errno value.
  int Acquire(FileSystem& fs, const std::string& prefix);
  void Release();
  bool Held() const { return m_fd >= 0; }

 private:
  FileSystem* m_fs = nullptr;
  int m_fd = -1;
};

}  // namespace oarepair::platform
