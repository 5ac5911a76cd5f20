// Atomic replacement of a file: the new content goes to a private temp file next to the real
// target, is synced and given the old file's mode and owner, and is renamed over the target; the
// folder is synced so the rename itself survives a crash.
#include "platform/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/fresh_memory.h"

namespace oarepair::platform {
namespace {

// The sink's bytes are gathered and written in writes of about this size.
constexpr size_t kWriteChunk = 256 * 1024;
// Attempts at a free temp name before giving up with EEXIST.
constexpr int kTempNameAttempts = 100;
// Every this many bytes written, the disk is asked to start on them: the fsync before the rename
// then waits for the last piece, not the whole file (measured on a 65 MB save: 0.95 of the
// repair's time; pieces of 2 MiB gained less).
constexpr size_t kWritebackChunk = 8 * 1024 * 1024;

// Splits "dir/name" into the folder (symlinks resolved) and the name. A path without a slash
// lives in the current folder.
int SplitResolvedFolder(FileSystem& fs, const std::string& path, std::string* folder,
                        std::string* name) {
  const size_t slash = path.find_last_of('/');
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name->empty() || *name == "." || *name == "..") return EISDIR;
  std::string dir = slash == std::string::npos ? std::string(".")
                    : slash == 0               ? std::string("/")
                                               : path.substr(0, slash);
  return fs.RealPath(dir, folder);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder == "/" ? folder + name : folder + "/" + name;
}

std::string TempName(const std::string& folder, const std::string& name) {
  static std::atomic<unsigned> counter{0};
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, ".%lx%04x.tmp", static_cast<unsigned long>(getpid()),
                counter.fetch_add(1) & 0xffffu);
  return JoinPath(folder, "." + name + suffix);
}

// The pid of the process that wrote a temp file of TempName's shape for `name`, or 0 when
// `entry` is not such a name. The pid is written without leading zeros, the counter as exactly
// four digits.
pid_t WriterOfTempName(const std::string& entry, const std::string& name) {
  const std::string head = "." + name + ".";
  const std::string tail = ".tmp";
  if (entry.size() <= head.size() + tail.size() || entry.compare(0, head.size(), head) != 0 ||
      entry.compare(entry.size() - tail.size(), tail.size(), tail) != 0) {
    return 0;
  }
  const std::string digits = entry.substr(head.size(), entry.size() - head.size() - tail.size());
  // A pid of one to eight digits, then the counter.
  if (digits.size() < 5 || digits.size() > 12 || digits[0] == '0') return 0;
  unsigned long long pid = 0;
  for (char c : digits) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
  }
  for (size_t i = 0; i + 4 < digits.size(); ++i) {
    const char c = digits[i];
    pid = pid * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  if (pid == 0 || pid > 0x7fffffffULL) return 0;
  return static_cast<pid_t>(pid);
}

// Whether a process with this pid exists. One we may not signal exists too.
bool ProcessExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

// Gathers the producer's bytes into large writes; remembers the first failure so that every later
// call of the sink reports it and nothing more is written.
class ChunkedWriter {
 public:
  ChunkedWriter(FileSystem& fs, int fd) : m_fs(fs), m_fd(fd) {
    m_buffer.reserve(kWriteChunk);
    PrefaultAhead(m_buffer, kWriteChunk);
  }

  int Put(const char* data, size_t size) {
    if (m_error) return m_error;
    if (size == 0) return 0;
    if (data == nullptr) return Fail(EFAULT);
    // A piece as large as a write goes out as it is, not copied into the buffer first: the
    // kept bytes of a save come in such pieces.
    if (size >= kWriteChunk) {
      if (int err = Flush()) return err;
      return Written(m_fs.Write(m_fd, data, size), size);
    }
    if (m_buffer.size() + size > kWriteChunk) {
      if (int err = Flush()) return err;
    }
    m_buffer.append(data, size);
    return m_buffer.size() == kWriteChunk ? Flush() : 0;
  }

  int Flush() {
    if (m_error) return m_error;
    if (m_buffer.empty()) return 0;
    const int err = m_fs.Write(m_fd, m_buffer.data(), m_buffer.size());
    const size_t size = m_buffer.size();
    m_buffer.clear();
    return Written(err, size);
  }

  int Error() const { return m_error; }

 private:
  int Written(int err, size_t size) {
    if (err) return Fail(err);
    m_written += size;
    if (m_written - m_started >= kWritebackChunk) {
      m_fs.StartWriteback(m_fd, m_started, m_written - m_started);
      m_started = m_written;
    }
    return 0;
  }

  int Fail(int err) {
    if (err && !m_error) m_error = err;
    return err;
  }

  FileSystem& m_fs;
  int m_fd;
  std::string m_buffer;
  size_t m_written = 0;  // bytes written so far
  size_t m_started = 0;  // bytes the disk was asked to start on
  int m_error = 0;
};

// Everything a failed replacement must undo: open descriptors and the temp file.
struct Cleanup {
  explicit Cleanup(FileSystem& fileSystem) : fs(fileSystem) {}
  Cleanup(const Cleanup&) = delete;
  Cleanup& operator=(const Cleanup&) = delete;

  FileSystem& fs;
  int fd = -1;
  int folderFd = -1;
  std::string temp;  // set while the temp file exists under its own name

  ~Cleanup() {
    if (fd >= 0) fs.Close(fd);
    if (folderFd >= 0) fs.Close(folderFd);
    if (!temp.empty()) fs.Unlink(temp);
  }
};

}  // namespace

mode_t CurrentUmask() {
  // /proc tells the mask without changing it; umask() would have to set it and put it back.
  if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned long mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status)) {
      found = std::sscanf(line, "Umask: %lo", &mask) == 1;
    }
    std::fclose(status);
    if (found) return static_cast<mode_t>(mask & 0777);
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

size_t RemoveStaleTempFiles(FileSystem& fs, const std::string& folder, const std::string& name) {
  std::vector<std::string> entries;
  if (fs.ListFolder(folder, &entries) != 0) return 0;  // nothing to list: nothing removed
  size_t removed = 0;
  for (const std::string& entry : entries) {
    const pid_t writer = WriterOfTempName(entry, name);
    // Our own pid: a file of this process is never stale (a save of it may be under way).
    if (writer == 0 || writer == getpid() || ProcessExists(writer)) continue;
    const std::string path = JoinPath(folder, entry);
    struct stat st {};
    // Only a plain file: a link or folder of that name is not one of ours.
    if (fs.LStat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (fs.Unlink(path) == 0) ++removed;
  }
  return removed;
}

int AtomicReplaceFile(FileSystem& fs, const std::string& path,
                      const std::function<int(const AtomicWriteSink&)>& produce,
                      const std::function<int()>& beforeRename) {
  if (path.empty() || !produce) return EINVAL;

  // The real target: a symlink is written through, so the link stays a link.
  std::string target;
  std::string folder;
  std::string name;
  bool exists = false;
  struct stat original {};
  int err = fs.RealPath(path, &target);
  if (err == 0) {
    err = fs.Stat(target, &original);
    if (err) return err;
    if (S_ISDIR(original.st_mode)) return EISDIR;
    if (!S_ISREG(original.st_mode)) return EINVAL;  // a device or pipe is not ours to replace
    exists = true;
    err = SplitResolvedFolder(fs, target, &folder, &name);
    if (err) return err;
  } else if (err == ENOENT) {
    // A symlink to nowhere stays as it is: replacing it would silently turn it into a file.
    struct stat link {};
    err = fs.LStat(path, &link);
    if (err == 0) return ENOENT;
    if (err != ENOENT) return err;  // cannot tell whether a link is there: touch nothing
    err = SplitResolvedFolder(fs, path, &folder, &name);
    if (err) return err;
    target = JoinPath(folder, name);
  } else {
    return err;
  }

  Cleanup cleanup(fs);

  // The temp file is private (0600) while it is written; it gets the final mode only when its
  // content is complete.
  for (int attempt = 0;; ++attempt) {
    std::string temp = TempName(folder, name);
    err = fs.Open(temp, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOCTTY, 0600, &cleanup.fd);
    if (err == 0) {
      cleanup.temp = temp;
      break;
    }
    if (err != EEXIST || attempt + 1 >= kTempNameAttempts) return err;
  }

  ChunkedWriter writer(fs, cleanup.fd);
  err = produce([&writer](const char* data, size_t size) { return writer.Put(data, size); });
  // The sink's own failure came first, even when the producer ignored it or reported another.
  if (writer.Error()) return writer.Error();
  if (err) return err;
  err = writer.Flush();
  if (err) return err;

  if (exists) {
    // Owner first: a change of owner clears set-id bits, which the mode then restores.
    mode_t mode = original.st_mode & 07777;
    err = fs.FChown(cleanup.fd, original.st_uid, original.st_gid);
    // Without privilege the group may not be ours to give; the owner being us already is enough.
    if (err == EPERM && original.st_uid == geteuid()) {
      // The new file then keeps the group it was created with. A set-group-id bit would give
      // that group, which the old file never gave, so it is carried over only to the same group.
      struct stat created {};
      err = fs.FStat(cleanup.fd, &created);
      if (err) return err;
      if (created.st_gid != original.st_gid) mode &= ~static_cast<mode_t>(S_ISGID);
    }
    if (err) return err;
    err = fs.FChmod(cleanup.fd, mode);
  } else {
    // A new file gets what creating it with 0644 would give: 0644 less the umask.
    err = fs.FChmod(cleanup.fd, static_cast<mode_t>(0644 & ~CurrentUmask()));
  }
  if (err) return err;

  err = fs.Fsync(cleanup.fd);
  if (err) return err;
  const int fd = cleanup.fd;
  cleanup.fd = -1;  // close releases the descriptor whatever it reports
  err = fs.Close(fd);
  if (err) return err;

  // Opened before the rename, so that after it only the sync itself can fail.
  err = fs.Open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY, 0, &cleanup.folderFd);
  if (err) return err;

  if (beforeRename) {
    err = beforeRename();
    if (err) return err;
  }

  err = fs.Rename(cleanup.temp, target);
  if (err) return err;
  cleanup.temp.clear();

  // The rename is durable only once the folder is synced. A file system that cannot sync a
  // folder says EINVAL; there the rename is as durable as it can be made.
  err = fs.Fsync(cleanup.folderFd);
  if (err == EINVAL) err = 0;
  return err;
}

}  // namespace oarepair::platform
