// Interruption of a save at any step: by SIGKILL, or by every later call failing in-process.
#include "tests/reliability/interrupting_file_system.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace oarepair::reliability {
namespace {

bool WritesTo(int flags) {
  return (flags & (O_CREAT | O_TRUNC)) != 0 || (flags & O_ACCMODE) != O_RDONLY;
}

// The file name for a label; our temp files are named ".<target>.<pid+counter>.tmp", which would
// make labels differ from run to run.
std::string ShortName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() > 5 && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0) {
    const size_t dot = name.find('.', 1);
    const size_t stem = name.find(".reg.");
    return "temp of " + name.substr(1, stem != std::string::npos ? stem + 3 : dot - 1);
  }
  return name.empty() ? path : name;
}

}  // namespace

InterruptingFileSystem::InterruptingFileSystem(platform::FileSystem& base, size_t writePiece)
    : m_base(base), m_piece(writePiece == 0 ? 1 : writePiece) {}

void InterruptingFileSystem::InterruptAt(uint64_t point, Mode mode) {
  m_target = point;
  m_mode = point == 0 ? Mode::kNone : mode;
}

bool InterruptingFileSystem::Point(const std::string& label) {
  if (m_dead) return false;
  ++m_points;
  if (m_recording) m_labels.push_back(label);
  if (m_mode == Mode::kNone || m_points != m_target) return true;
  if (m_mode == Mode::kKillProcess) {
    ::kill(::getpid(), SIGKILL);
    for (;;) ::pause();
  }
  m_dead = true;
  return false;
}

std::string InterruptingFileSystem::NameOf(int fd) const {
  for (const auto& [known, name] : m_names)
    if (known == fd) return name;
  return "fd " + std::to_string(fd);
}

int InterruptingFileSystem::Open(const std::string& path, int flags, mode_t mode, int* fd) {
  if (m_dead) return EIO;
  const bool step = WritesTo(flags);
  const std::string what = "open " + ShortName(path);
  if (step && !Before(what)) return EIO;
  const int rc = m_base.Open(path, flags, mode, fd);
  if (rc == 0) {
    m_names.erase(std::remove_if(m_names.begin(), m_names.end(),
                                 [&](const auto& entry) { return entry.first == *fd; }),
                  m_names.end());
    m_names.emplace_back(*fd, (flags & O_DIRECTORY) ? "folder" : ShortName(path));
    if (step) m_written.insert(*fd);
  }
  if (step && !After(what)) return EIO;
  return rc;
}

int InterruptingFileSystem::Read(int fd, void* buf, size_t n, size_t* got) {
  if (m_dead) return EIO;
  return m_base.Read(fd, buf, n, got);
}

int InterruptingFileSystem::PRead(int fd, void* buf, size_t n, uint64_t offset, size_t* got) {
  if (m_dead) return EIO;
  return m_base.PRead(fd, buf, n, offset, got);
}

int InterruptingFileSystem::Write(int fd, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  uint64_t piece = 0;
  do {
    const size_t size = std::min(m_piece, n - done);
    const std::string what = "write " + NameOf(fd) + " piece " + std::to_string(++piece);
    if (!Before(what)) return EIO;
    const int rc = m_base.Write(fd, p + done, size);
    if (!After(what)) return EIO;
    if (rc != 0) return rc;
    done += size;
  } while (done < n);
  return 0;
}

int InterruptingFileSystem::Fsync(int fd) {
  const std::string what = "fsync " + NameOf(fd);
  if (!Before(what)) return EIO;
  const int rc = m_base.Fsync(fd);
  if (!After(what)) return EIO;
  return rc;
}

int InterruptingFileSystem::Close(int fd) {
  if (m_dead) return EIO;
  const bool step = m_written.count(fd) != 0;
  const std::string what = "close " + NameOf(fd);
  if (step && !Before(what)) return EIO;
  const int rc = m_base.Close(fd);
  m_written.erase(fd);
  if (step && !After(what)) return EIO;
  return rc;
}

int InterruptingFileSystem::Rename(const std::string& from, const std::string& to) {
  const std::string what = "rename " + ShortName(from) + " -> " + ShortName(to);
  if (!Before(what)) return EIO;
  const int rc = m_base.Rename(from, to);
  if (!After(what)) return EIO;
  return rc;
}

int InterruptingFileSystem::Unlink(const std::string& path) {
  const std::string what = "unlink " + ShortName(path);
  if (!Before(what)) return EIO;
  const int rc = m_base.Unlink(path);
  if (!After(what)) return EIO;
  return rc;
}

int InterruptingFileSystem::Stat(const std::string& path, struct stat* st) {
  if (m_dead) return EIO;
  return m_base.Stat(path, st);
}

int InterruptingFileSystem::LStat(const std::string& path, struct stat* st) {
  if (m_dead) return EIO;
  return m_base.LStat(path, st);
}

int InterruptingFileSystem::FStat(int fd, struct stat* st) {
  if (m_dead) return EIO;
  return m_base.FStat(fd, st);
}

int InterruptingFileSystem::FChmod(int fd, mode_t mode) {
  const std::string what = "fchmod " + NameOf(fd);
  if (!Before(what)) return EIO;
  const int rc = m_base.FChmod(fd, mode);
  if (!After(what)) return EIO;
  return rc;
}

int InterruptingFileSystem::FChown(int fd, uid_t uid, gid_t gid) {
  const std::string what = "fchown " + NameOf(fd);
  if (!Before(what)) return EIO;
  const int rc = m_base.FChown(fd, uid, gid);
  if (!After(what)) return EIO;
  return rc;
}

int InterruptingFileSystem::Ftruncate(int fd, uint64_t length) {
  const std::string what = "ftruncate " + NameOf(fd);
  if (!Before(what)) return EIO;
  const int rc = m_base.Ftruncate(fd, length);
  if (!After(what)) return EIO;
  return rc;
}

int InterruptingFileSystem::RealPath(const std::string& path, std::string* resolved) {
  if (m_dead) return EIO;
  return m_base.RealPath(path, resolved);
}

int InterruptingFileSystem::Flock(int fd, int operation) {
  if (m_dead) return EIO;
  return m_base.Flock(fd, operation);
}

int InterruptingFileSystem::TestPosixLock(int fd, bool* locked, pid_t* holder) {
  if (m_dead) return EIO;
  return m_base.TestPosixLock(fd, locked, holder);
}

int InterruptingFileSystem::ListFolder(const std::string& path, std::vector<std::string>* names) {
  if (m_dead) return EIO;
  return m_base.ListFolder(path, names);
}

}  // namespace oarepair::reliability
