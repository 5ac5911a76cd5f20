// The file-system seam of the Linux registry: every open, read, write, fsync, rename, unlink and
// lock goes through one FileSystem, so tests can fail any call or drop unsynced data.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace oarepair::platform {

// Results are 0 on success or an errno value; nothing throws.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual int Open(const std::string& path, int flags, mode_t mode, int* fd) = 0;
  // Reads up to n bytes at the file position; *got is 0 at end of file.
  virtual int Read(int fd, void* buf, size_t n, size_t* got) = 0;
  // Reads up to n bytes at offset without moving the file position.
  virtual int PRead(int fd, void* buf, size_t n, uint64_t offset, size_t* got) = 0;
  // Writes all n bytes or fails.
  virtual int Write(int fd, const void* buf, size_t n) = 0;
  virtual int Fsync(int fd) = 0;
  // Asks the kernel to start writing a range of the file to disk without waiting for it, so a
  // later Fsync waits only for what is still in flight. A hint: nothing is promised durable, and
  // a file system that cannot start writeback does nothing.
  virtual void StartWriteback(int fd, uint64_t offset, uint64_t length) {
    (void)fd;
    (void)offset;
    (void)length;
  }
  virtual int Close(int fd) = 0;
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  virtual int Unlink(const std::string& path) = 0;
  virtual int Stat(const std::string& path, struct stat* st) = 0;   // follows links
  virtual int LStat(const std::string& path, struct stat* st) = 0;  // does not
  virtual int FStat(int fd, struct stat* st) = 0;
  virtual int FChmod(int fd, mode_t mode) = 0;
  virtual int FChown(int fd, uid_t uid, gid_t gid) = 0;
  virtual int Ftruncate(int fd, uint64_t length) = 0;
  // Resolves symlinks; fails with ENOENT when the path does not exist.
  virtual int RealPath(const std::string& path, std::string* resolved) = 0;
  // flock(2) on an open descriptor (LOCK_EX, LOCK_NB, LOCK_UN ...).
  virtual int Flock(int fd, int operation) = 0;
  // fcntl(F_GETLK) for a write lock on byte 0: *locked is set when another process holds it.
  virtual int TestPosixLock(int fd, bool* locked, pid_t* holder) = 0;
  // The names in a folder, without "." and "..", in no particular order. A file system that
  // cannot list folders says ENOSYS.
  virtual int ListFolder(const std::string& path, std::vector<std::string>* names) {
    (void)path;
    names->clear();
    return ENOSYS;
  }
};

// The real file system.
FileSystem& PosixFileSystem();

// The file system the registry uses now; tests swap it with SetFileSystem (nullptr restores the
// real one). Not thread-safe: set it before registry calls start.
FileSystem& CurrentFileSystem();
void SetFileSystem(FileSystem* fs);

}  // namespace oarepair::platform
