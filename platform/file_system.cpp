// The real file system behind the seam: plain POSIX calls, interrupted calls retried, short
// writes continued, every failure returned as its errno value.
#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace oarepair::platform {
namespace {

// Largest single read or write request; the kernel moves at most about this much per call.
constexpr size_t kMaxIoChunk = 0x7ffff000;

class PosixFs final : public FileSystem {
 public:
  int Open(const std::string& path, int flags, mode_t mode, int* fd) override {
    // Descriptors never leak into the programs the platform starts (RegSvr32 under Wine).
    int result;
    do {
      result = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return errno;
    *fd = result;
    return 0;
  }

  int Read(int fd, void* buf, size_t n, size_t* got) override {
    ssize_t r;
    do {
      r = ::read(fd, buf, n < kMaxIoChunk ? n : kMaxIoChunk);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return errno;
    *got = static_cast<size_t>(r);
    return 0;
  }

  int PRead(int fd, void* buf, size_t n, uint64_t offset, size_t* got) override {
    if (offset > static_cast<uint64_t>(LLONG_MAX)) return EINVAL;
    ssize_t r;
    do {
      r = ::pread(fd, buf, n < kMaxIoChunk ? n : kMaxIoChunk, static_cast<off_t>(offset));
    } while (r < 0 && errno == EINTR);
    if (r < 0) return errno;
    *got = static_cast<size_t>(r);
    return 0;
  }

  int Write(int fd, const void* buf, size_t n) override {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
      ssize_t w = ::write(fd, p, n < kMaxIoChunk ? n : kMaxIoChunk);
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      // A write that moves nothing but reports no error would loop forever; a full device is
      // the only sensible reading of it.
      if (w == 0) return ENOSPC;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return 0;
  }

  int Fsync(int fd) override {
    int r;
    do {
      r = ::fsync(fd);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
  }

  void StartWriteback(int fd, uint64_t offset, uint64_t length) override {
    // Its failure changes nothing: the Fsync that follows writes and reports everything.
    (void)::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                            SYNC_FILE_RANGE_WRITE);
  }

  int Close(int fd) override {
    // Never retried: Linux releases the descriptor even when close reports EINTR, and a retry
    // could close a descriptor another thread has just been given. The error is still reported.
    return ::close(fd) < 0 ? errno : 0;
  }

  int Rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) < 0 ? errno : 0;
  }

  int Unlink(const std::string& path) override {
    return ::unlink(path.c_str()) < 0 ? errno : 0;
  }

  int Stat(const std::string& path, struct stat* st) override {
    return ::stat(path.c_str(), st) < 0 ? errno : 0;
  }

  int LStat(const std::string& path, struct stat* st) override {
    return ::lstat(path.c_str(), st) < 0 ? errno : 0;
  }

  int FStat(int fd, struct stat* st) override { return ::fstat(fd, st) < 0 ? errno : 0; }

  int FChmod(int fd, mode_t mode) override {
    int r;
    do {
      r = ::fchmod(fd, mode);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
  }

  int FChown(int fd, uid_t uid, gid_t gid) override {
    int r;
    do {
      r = ::fchown(fd, uid, gid);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
  }

  int Ftruncate(int fd, uint64_t length) override {
    if (length > static_cast<uint64_t>(LLONG_MAX)) return EINVAL;
    int r;
    do {
      r = ::ftruncate(fd, static_cast<off_t>(length));
    } while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
  }

  int RealPath(const std::string& path, std::string* resolved) override {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) return errno;
    *resolved = real.get();
    return 0;
  }

  int Flock(int fd, int operation) override {
    // A blocking LOCK_EX waits as long as it must: a signal does not end the wait.
    int r;
    do {
      r = ::flock(fd, operation);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
  }

  int TestPosixLock(int fd, bool* locked, pid_t* holder) override {
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    query.l_start = 0;
    query.l_len = 1;
    int r;
    do {
      r = ::fcntl(fd, F_GETLK, &query);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return errno;
    *locked = query.l_type != F_UNLCK;
    *holder = *locked ? query.l_pid : 0;
    return 0;
  }

  int ListFolder(const std::string& path, std::vector<std::string>* names) override {
    names->clear();
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return errno;
    int err = 0;
    for (;;) {
      errno = 0;
      const struct dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        err = errno;
        break;
      }
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names->push_back(name);
    }
    ::closedir(dir);
    return err;
  }
};

FileSystem* g_current = nullptr;

}  // namespace

FileSystem& PosixFileSystem() {
  static PosixFs fs;
  return fs;
}

FileSystem& CurrentFileSystem() { return g_current ? *g_current : PosixFileSystem(); }

void SetFileSystem(FileSystem* fs) { g_current = fs; }

}  // namespace oarepair::platform
