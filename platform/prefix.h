// The Wine prefix the Linux registry lives in: where it is, whether a wineserver owns it, and the
// lock that makes our own processes take turns on it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "platform/file_system.h"

namespace oarepair::platform {

// The prefix Wine would use, chosen by Wine's rules: $WINEPREFIX whenever it is set (an empty
// value included), else $HOME/.wine ($HOME, when unset, from the password database), trailing
// slashes dropped. Returns an empty string, or, for a choice Wine refuses (a relative or empty
// $WINEPREFIX, no home folder or a relative one), why; *prefix is set either way.
std::string DefaultPrefix(std::string* prefix);
// Why Wine would refuse `prefix` given as a path (empty or relative), or an empty string.
std::string PrefixPathProblem(const std::string& prefix);
// For a prefix that does not exist: why Wine could not create it (the folder that would hold it
// is missing, is no folder, belongs to another user or is not writable), or an empty string.
std::string MissingPrefixProblem(FileSystem& fs, const std::string& prefix);

// Whether a wineserver serves the prefix: it holds a write lock on byte 0 of the "lock" file in
// its server folder (upstream /tmp/.wine-<uid>/server-<dev>-<ino>, or Debian's folder named by
// $WINEPREFIX/wineserver under $TMPDIR or /tmp), and the server folder any process of this user
// works in (a server started with another $TMPDIR). Returns 0 or an errno value; *running is set
// when a server holds the lock, with its pid in *pid and the lock file's path in *lockPath. On
// an error *lockPath names the file that could not be used; EINVAL: it is not a regular file.
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

  // Blocks until the lock is ours. When another process holds it, `beforeWaiting` runs once
  // before the wait begins (to say what is waited for). Returns 0 or an errno value.
  int Acquire(FileSystem& fs, const std::string& prefix,
              const std::function<void()>& beforeWaiting = nullptr);
  void Release();
  bool Held() const { return m_fd >= 0; }

 private:
  FileSystem* m_fs = nullptr;
  int m_fd = -1;
};

}  // namespace oarepair::platform
