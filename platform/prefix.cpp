// Finding the Wine prefix, telling whether a wineserver serves it, and serialising our own
// processes on it.
#include "platform/prefix.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace oarepair::platform {
namespace {

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string HomeFolder() {
  // A set $HOME is used as it is, even empty (Wine then refuses it as not absolute).
  if (const char* home = std::getenv("HOME")) return home;
  // Without $HOME, the password database names the home folder, as Wine falls back to it.
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return std::string();
}

// Wine drops trailing slashes from the prefix, keeping a lone "/".
std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string LowerHex(unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%llx", value);
  return text;
}

// The folder name Debian's wineserver keeps in $WINEPREFIX/wineserver. Sets *name to empty when
// the file does not exist or does not hold a plain folder name (then it points nowhere we trust).
int ReadServerPointer(FileSystem& fs, const std::string& prefix, std::string* name) {
  name->clear();
  int fd = -1;
  // Never blocking: a FIFO in its place would otherwise wait for a writer forever.
  int err = fs.Open(prefix + "/wineserver", O_RDONLY | O_NOCTTY | O_NONBLOCK, 0, &fd);
  if (err == ENOENT || err == ENOTDIR) return 0;
  if (err) return err;
  struct stat st {};
  err = fs.FStat(fd, &st);
  if (err == 0 && !S_ISREG(st.st_mode)) err = EINVAL;
  if (err) {
    fs.Close(fd);  // read-only: nothing to lose
    return err;
  }
  // mkdtemp names are short; anything longer than a file name is not one.
  constexpr size_t kLimit = 256;
  std::string text;
  char buffer[kLimit + 1];
  while (text.size() <= kLimit) {
    size_t got = 0;
    err = fs.Read(fd, buffer, sizeof buffer, &got);
    if (err || got == 0) break;
    text.append(buffer, got);
  }
  fs.Close(fd);  // read-only: nothing to lose
  if (err) return err;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty() || text.size() > 255 || text == "." || text == ".." ||
      text.find('/') != std::string::npos || text.find('\0') != std::string::npos) {
    return 0;
  }
  *name = text;
  return 0;
}

void AddCandidate(std::vector<std::string>* folders, const std::string& folder) {
  for (const std::string& known : *folders) {
    if (known == folder) return;
  }
  folders->push_back(folder);
}

// Adds the folder holding the server folder `serverName` of every process of this user that
// works in such a folder. A wineserver works in its server folder for its whole life, and
// Debian's puts that folder under the $TMPDIR it was started with, which need not be ours: its
// working folder finds it wherever it is. Read straight from /proc (not through the file-system
// seam, which is for the registry's own files); a process that cannot be looked at is skipped.
void AddRunningServerFolders(const std::string& serverName, std::vector<std::string>* folders) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return;
  const uid_t uid = getuid();
  while (const struct dirent* entry = ::readdir(proc)) {
    const char* name = entry->d_name;
    if (*name < '1' || *name > '9' || std::strspn(name, "0123456789") != std::strlen(name))
      continue;
    const std::string base = std::string("/proc/") + name;
    struct stat st {};
    if (::stat(base.c_str(), &st) != 0 || st.st_uid != uid) continue;
    char buffer[PATH_MAX];
    const ssize_t got = ::readlink((base + "/cwd").c_str(), buffer, sizeof buffer);
    if (got <= 0 || static_cast<size_t>(got) >= sizeof buffer) continue;
    const std::string cwd(buffer, static_cast<size_t>(got));
    const size_t slash = cwd.find_last_of('/');
    if (cwd[0] != '/' || slash == std::string::npos || slash == 0 ||
        cwd.compare(slash + 1, std::string::npos, serverName) != 0) {
      continue;  // also a folder that was removed: its link ends in " (deleted)"
    }
    AddCandidate(folders, cwd.substr(0, slash));
  }
  ::closedir(proc);
}

// Looks at one server folder. *running is set when a server holds its lock.
int ProbeServerFolder(FileSystem& fs, const std::string& serverFolder, bool* running, pid_t* pid) {
  const std::string lockPath = serverFolder + "/lock";
  int fd = -1;
  int err = fs.Open(lockPath, O_RDONLY | O_NOCTTY | O_NONBLOCK, 0, &fd);
  if (err == ENOENT || err == ENOTDIR) return 0;  // no server ever ran from here
  if (err) return err;
  bool locked = false;
  pid_t holder = 0;
  err = fs.TestPosixLock(fd, &locked, &holder);
  fs.Close(fd);  // read-only: nothing to lose
  if (err == ENOLCK) {
    // A file system without locks: the server then treats its socket as the lock.
    struct stat st {};
    int statErr = fs.LStat(serverFolder + "/socket", &st);
    if (statErr == ENOENT || statErr == ENOTDIR) return 0;
    if (statErr) return statErr;
    *running = true;
    *pid = 0;
    return 0;
  }
  if (err) return err;
  if (locked) {
    *running = true;
    *pid = holder;
  }
  return 0;
}

}  // namespace

std::string DefaultPrefix(std::string* prefix) {
  // As Wine's loader and wineserver choose their configuration folder.
  if (const char* value = std::getenv("WINEPREFIX")) {
    *prefix = WithoutTrailingSlashes(value);
    if (value[0] != '/') {
      return "WINEPREFIX='" + std::string(value) +
             "' is not an absolute path; Wine refuses it, and so do we";
    }
    return std::string();
  }
  const std::string home = HomeFolder();
  *prefix = WithoutTrailingSlashes(home) + "/.wine";
  if (home.empty() && std::getenv("HOME") == nullptr) {
    prefix->clear();
    return "WINEPREFIX is not set and the home folder is unknown, so there is no Wine prefix";
  }
  if (home[0] != '/') {
    return "WINEPREFIX is not set and the home folder '" + home +
           "' is not an absolute path; Wine refuses it, and so do we";
  }
  return std::string();
}

std::string PrefixPathProblem(const std::string& prefix) {
  if (!prefix.empty() && prefix[0] == '/') return std::string();
  return "the Wine prefix '" + prefix + "' is not an absolute path; Wine refuses it, and so do we";
}

std::string MissingPrefixProblem(FileSystem& fs, const std::string& prefix) {
  // Wine creates a missing prefix with one mkdir, in a folder that must exist and must not
  // belong to another user.
  const std::string path = WithoutTrailingSlashes(prefix);
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return std::string();  // in "/"
  size_t end = slash;
  while (end > 1 && path[end - 1] == '/') --end;
  const std::string parent = path.substr(0, end);
  struct stat st {};
  const int err = fs.Stat(parent, &st);
  if (err == ENOENT || err == ENOTDIR) {
    return "the Wine prefix " + prefix + " does not exist and neither does the folder " + parent +
           " that would hold it; Wine cannot create it there, so nothing was done";
  }
  if (err) {
    return "the Wine prefix " + prefix + " does not exist and its folder " + parent +
           " cannot be examined: " + std::strerror(err);
  }
  if (!S_ISDIR(st.st_mode)) {
    return "the Wine prefix " + prefix + " does not exist and " + parent +
           " is not a folder; Wine cannot create it there, so nothing was done";
  }
  if (st.st_uid != getuid()) {
    return "the Wine prefix " + prefix + " does not exist and its folder " + parent +
           " belongs to another user; Wine refuses to create it there, so nothing was done";
  }
  if (::access(parent.c_str(), W_OK | X_OK) != 0) {
    return "the Wine prefix " + prefix + " does not exist and cannot be created in " + parent +
           ": " + std::strerror(errno) + "; nothing was done";
  }
  return std::string();
}

int DetectWineserver(FileSystem& fs, const std::string& prefix, bool* running, pid_t* pid,
                     std::string* lockPath) {
  *running = false;
  *pid = 0;
  lockPath->clear();

  // The server names its folder after the prefix folder itself, symlinks resolved.
  std::string real;
  int err = fs.RealPath(prefix, &real);
  if (err) return err;
  struct stat st {};
  err = fs.Stat(real, &st);
  if (err) return err;
  const std::string serverName = "server-" + LowerHex(static_cast<unsigned long long>(st.st_dev)) +
                                 "-" + LowerHex(static_cast<unsigned long long>(st.st_ino));

  std::string pointer;
  err = ReadServerPointer(fs, real, &pointer);
  if (err) {
    *lockPath = real + "/wineserver";
    return err;
  }

  std::vector<std::string> folders;
  if (!pointer.empty()) {
    const std::string tmpdir = EnvOrEmpty("TMPDIR");
    if (!tmpdir.empty()) AddCandidate(&folders, tmpdir + "/" + pointer);
    AddCandidate(&folders, "/tmp/" + pointer);
  }
  // An upstream Wine ignores the pointer file, so its folder is checked in every case.
  AddCandidate(&folders, "/tmp/.wine-" + std::to_string(getuid()));
  // A server started with another $TMPDIR than ours is found through its working folder.
  AddRunningServerFolders(serverName, &folders);

  for (const std::string& folder : folders) {
    const std::string serverFolder = folder + "/" + serverName;
    err = ProbeServerFolder(fs, serverFolder, running, pid);
    if (err) return err;
    if (*running) {
      *lockPath = serverFolder + "/lock";
      return 0;
    }
  }
  return 0;
}

int CheckPrefixOwner(FileSystem& fs, const std::string& prefix) {
  struct stat st {};
  int err = fs.Stat(prefix, &st);
  if (err) return err;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  // Wine compares the owner with the real uid, root included.
  if (st.st_uid != getuid()) return EACCES;
  return 0;
}

PrefixLock::~PrefixLock() { Release(); }

int PrefixLock::Acquire(FileSystem& fs, const std::string& prefix,
                        const std::function<void()>& beforeWaiting) {
  if (m_fd >= 0) return EBUSY;
  int fd = -1;
  int err = fs.Open(prefix, O_RDONLY | O_DIRECTORY | O_NOCTTY, 0, &fd);
  if (err) return err;
  err = fs.Flock(fd, LOCK_EX | LOCK_NB);
  if (err == EWOULDBLOCK) {
    if (beforeWaiting) beforeWaiting();
    err = fs.Flock(fd, LOCK_EX);
  }
  if (err) {
    fs.Close(fd);
    return err;
  }
  m_fs = &fs;
  m_fd = fd;
  return 0;
}

void PrefixLock::Release() {
  if (m_fd < 0) return;
  // Closing the only descriptor of the open folder ends the flock.
  m_fs->Close(m_fd);
  m_fd = -1;
  m_fs = nullptr;
}

}  // namespace oarepair::platform
