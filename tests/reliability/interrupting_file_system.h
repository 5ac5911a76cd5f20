// A FileSystem that interrupts a save at a chosen point: every call that changes the disk (an
// open for writing, each piece of a write, fchown, fchmod, fsync, the close of a written file,
// rename, unlink, ftruncate) is a step with one point before it and one after it. At the chosen
// point the process is killed (SIGKILL), or, in-process, it "dies": that call and every later one
// fail with EIO and reach nothing, as if the process had gone.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace oarepair::reliability {

class InterruptingFileSystem final : public platform::FileSystem {
 public:
  enum class Mode { kNone, kKillProcess, kDie };

  // Writes are passed on in pieces of at most `writePiece` bytes, each piece a step of its own,
  // so that an interruption can fall between any two of them.
  InterruptingFileSystem(platform::FileSystem& base, size_t writePiece);

  // Point 2k-1 is just before step k, point 2k just after it (k counts from 1). 0 disables.
  void InterruptAt(uint64_t point, Mode mode);
  // Points passed so far (two per completed step).
  uint64_t PointsPassed() const { return m_points; }
  bool Died() const { return m_dead; }
  // With recording on, the label of every point passed ("before rename a -> b").
  void SetRecording(bool on) { m_recording = on; }
  const std::vector<std::string>& Labels() const { return m_labels; }

  int Open(const std::string& path, int flags, mode_t mode, int* fd) override;
  int Read(int fd, void* buf, size_t n, size_t* got) override;
  int PRead(int fd, void* buf, size_t n, uint64_t offset, size_t* got) override;
  int Write(int fd, const void* buf, size_t n) override;
  int Fsync(int fd) override;
  int Close(int fd) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Unlink(const std::string& path) override;
  int Stat(const std::string& path, struct stat* st) override;
  int LStat(const std::string& path, struct stat* st) override;
  int FStat(int fd, struct stat* st) override;
  int FChmod(int fd, mode_t mode) override;
  int FChown(int fd, uid_t uid, gid_t gid) override;
  int Ftruncate(int fd, uint64_t length) override;
  int RealPath(const std::string& path, std::string* resolved) override;
  int Flock(int fd, int operation) override;
  int TestPosixLock(int fd, bool* locked, pid_t* holder) override;
  int ListFolder(const std::string& path, std::vector<std::string>* names) override;

 private:
  // Passes one point; false when the process has died there (in-process mode).
  bool Point(const std::string& label);
  bool Before(const std::string& what) { return Point("before " + what); }
  bool After(const std::string& what) { return Point("after " + what); }
  std::string NameOf(int fd) const;

  platform::FileSystem& m_base;
  size_t m_piece;
  uint64_t m_target = 0;
  Mode m_mode = Mode::kNone;
  uint64_t m_points = 0;
  bool m_dead = false;
  bool m_recording = false;
  std::vector<std::string> m_labels;
  std::set<int> m_written;                 // descriptors opened for writing
  std::vector<std::pair<int, std::string>> m_names;  // descriptor -> file name, for labels
};

}  // namespace oarepair::reliability
