// Finding the Wine prefix, telling whether a wineserver serves it, and serialising our own
// processes on it.
#include "platform/prefix.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace oarepair::platform {
namespace {

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string HomeFolder() {
  std::string home = EnvOrEmpty("HOME");
  if (!home.empty()) return home;
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
  int err = fs.Open(prefix + "/wineserver", O_RDONLY | O_NOCTTY, 0, &fd);
  if (err == ENOENT || err == ENOTDIR) return 0;
  if (err) return err;
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

std::string DefaultPrefixPath() {
  std::string prefix = EnvOrEmpty("WINEPREFIX");
  if (!prefix.empty()) return prefix;
  return HomeFolder() + "/.wine";
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
  if (err) return err;

  std::vector<std::string> folders;
  if (!pointer.empty()) {
    const std::string tmpdir = EnvOrEmpty("TMPDIR");
    if (!tmpdir.empty()) AddCandidate(&folders, tmpdir + "/" + pointer);
    AddCandidate(&folders, "/tmp/" + pointer);
  }
  // An upstream Wine ignores the pointer file, so its folder is checked in every case.
  AddCandidate(&folders, "/tmp/.wine-" + std::to_string(getuid()));

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

int PrefixLock::Acquire(FileSystem& fs, const std::string& prefix) {
  if (m_fd >= 0) return EBUSY;
  int fd = -1;
  int err = fs.Open(prefix, O_RDONLY | O_DIRECTORY | O_NOCTTY, 0, &fd);
  if (err) return err;
  err = fs.Flock(fd, LOCK_EX);
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
