// Fault injection, call recording and crash simulation over a real FileSystem.
#include "tests/support/fault_file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace oarepair::test_support {
namespace {

bool ReadWholeFile(const std::string& path, std::string* content) {
  content->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ::close(fd);
      return got == 0;
    }
    content->append(buffer, static_cast<size_t>(got));
  }
}

bool WriteWholeFd(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    ssize_t put = ::write(fd, content.data() + done, content.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

std::string ParentFolder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool Modifies(int flags) {
  return (flags & (O_CREAT | O_TRUNC)) != 0 || (flags & O_ACCMODE) != O_RDONLY;
}

}  // namespace

const char* FsOpName(FsOp op) {
  switch (op) {
    case FsOp::kOpen: return "open";
    case FsOp::kRead: return "read";
    case FsOp::kPRead: return "pread";
    case FsOp::kWrite: return "write";
    case FsOp::kFsync: return "fsync";
    case FsOp::kClose: return "close";
    case FsOp::kRename: return "rename";
    case FsOp::kUnlink: return "unlink";
    case FsOp::kStat: return "stat";
    case FsOp::kLStat: return "lstat";
    case FsOp::kFStat: return "fstat";
    case FsOp::kFChmod: return "fchmod";
    case FsOp::kFChown: return "fchown";
    case FsOp::kFtruncate: return "ftruncate";
    case FsOp::kRealPath: return "realpath";
    case FsOp::kFlock: return "flock";
    case FsOp::kTestPosixLock: return "testlock";
  }
  return "?";
}

std::string DescribeCall(const FsCall& call) {
  std::string text = FsOpName(call.op);
  if (!call.path.empty()) text += " " + call.path;
  if (!call.path2.empty()) text += " -> " + call.path2;
  if (call.result) {
    text += std::string(" = ") + std::strerror(call.result);
    if (call.injected) text += " (injected)";
  }
  return text;
}

FaultFileSystem::FaultFileSystem(platform::FileSystem& base) : m_base(base) {}

void FaultFileSystem::ResetCounts() {
  m_counts.fill(0);
  m_total = 0;
  ClearFaults();  // their positions were counted from the old totals
}

void FaultFileSystem::FailNth(FsOp op, uint64_t n, int err, bool andAfter) {
  Rule& rule = m_rules[static_cast<size_t>(op)];
  rule = Rule{};
  if (n == 0) return;
  rule = Rule{true, m_counts[static_cast<size_t>(op)] + n, err, andAfter};
}

void FaultFileSystem::FailNthAny(uint64_t n, int err, bool andAfter) {
  m_anyRule = Rule{};
  if (n == 0) return;
  m_anyRule = Rule{true, m_total + n, err, andAfter};
}

void FaultFileSystem::ClearFaults() {
  m_rules.fill(Rule{});
  m_anyRule = Rule{};
}

int FaultFileSystem::Enter(FsOp op) {
  const size_t index = static_cast<size_t>(op);
  const uint64_t count = ++m_counts[index];
  const uint64_t total = ++m_total;
  auto hits = [](const Rule& rule, uint64_t at) {
    return rule.armed && (at == rule.at || (rule.andAfter && at > rule.at));
  };
  int err = 0;
  if (hits(m_rules[index], count)) {
    err = m_rules[index].err;
  } else if (hits(m_anyRule, total)) {
    err = m_anyRule.err;
  }
  if (err) ++m_injected;
  return err;
}

int FaultFileSystem::Finish(FsOp op, const std::string& path, const std::string& path2, int fd,
                            int result, bool injected) {
  if (m_recording) m_calls.push_back(FsCall{op, path, path2, fd, result, injected});
  return result;
}

std::string FaultFileSystem::PathOf(int fd) const {
  auto it = m_openPaths.find(fd);
  return it == m_openPaths.end() ? std::string() : it->second;
}

void FaultFileSystem::TrackName(const std::string& path) {
  if (m_names.count(path)) return;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    m_names[path] = std::nullopt;
    return;
  }
  if (!S_ISREG(st.st_mode)) return;  // folders and links are not modelled
  const FileId id{st.st_dev, st.st_ino};
  m_names[path] = id;
  if (!m_files.count(id)) {
    DurableFile file;
    file.mode = st.st_mode & 07777;
    file.uid = st.st_uid;
    file.gid = st.st_gid;
    ReadWholeFile(path, &file.content);
    m_files[id] = file;
  }
}

void FaultFileSystem::OnFileSynced(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    OnFolderSynced(fd);
    return;
  }
  if (!S_ISREG(st.st_mode)) return;
  DurableFile file;
  file.mode = st.st_mode & 07777;
  file.uid = st.st_uid;
  file.gid = st.st_gid;
  // The descriptor may be write-only; its /proc entry opens the same file for reading.
  ReadWholeFile("/proc/self/fd/" + std::to_string(fd), &file.content);
  m_files[FileId{st.st_dev, st.st_ino}] = file;
}

void FaultFileSystem::OnFolderSynced(int fd) {
  struct stat folder {};
  if (::fstat(fd, &folder) != 0) return;
  for (auto& [name, durable] : m_names) {
    struct stat parent {};
    if (::stat(ParentFolder(name).c_str(), &parent) != 0) continue;
    if (parent.st_dev != folder.st_dev || parent.st_ino != folder.st_ino) continue;
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0) {
      durable = std::nullopt;
    } else if (S_ISREG(st.st_mode)) {
      durable = FileId{st.st_dev, st.st_ino};
    }
  }
}

void FaultFileSystem::Crash() {
  for (const auto& [fd, path] : m_openPaths) m_base.Close(fd);
  m_openPaths.clear();
  for (const auto& [name, durable] : m_names) {
    struct stat st {};
    const bool exists = ::lstat(name.c_str(), &st) == 0;
    if (!durable) {
      if (exists && !S_ISDIR(st.st_mode)) ::unlink(name.c_str());
      continue;
    }
    const auto found = m_files.find(*durable);
    const DurableFile file = found == m_files.end() ? DurableFile{} : found->second;
    int fd = -1;
    if (exists && S_ISREG(st.st_mode) && FileId{st.st_dev, st.st_ino} == *durable) {
      fd = ::open(name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    } else {
      if (exists) ::unlink(name.c_str());
      fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    if (fd < 0) continue;
    WriteWholeFd(fd, file.content);
    if (::fchown(fd, file.uid, file.gid) != 0) {
      // Restoring another owner needs privilege; the content is what matters here.
    }
    ::fchmod(fd, file.mode);
    ::close(fd);
  }
  ForgetUnsynced();
}

void FaultFileSystem::ForgetUnsynced() {
  m_names.clear();
  m_files.clear();
}

int FaultFileSystem::Open(const std::string& path, int flags, mode_t mode, int* fd) {
  if (int err = Enter(FsOp::kOpen)) return Finish(FsOp::kOpen, path, {}, -1, err, true);
  bool created = false;
  if (Modifies(flags)) {
    TrackName(path);
    struct stat st {};
    created = (flags & O_CREAT) && ::lstat(path.c_str(), &st) != 0;
  }
  int result = m_base.Open(path, flags, mode, fd);
  if (result == 0) {
    m_openPaths[*fd] = path;
    struct stat st {};
    if (created && ::fstat(*fd, &st) == 0) {
      // A new file: until it is synced, a crash leaves it empty.
      DurableFile file;
      file.mode = st.st_mode & 07777;
      file.uid = st.st_uid;
      file.gid = st.st_gid;
      m_files[FileId{st.st_dev, st.st_ino}] = file;
    }
  }
  return Finish(FsOp::kOpen, path, {}, result == 0 ? *fd : -1, result, false);
}

int FaultFileSystem::Read(int fd, void* buf, size_t n, size_t* got) {
  if (int err = Enter(FsOp::kRead)) return Finish(FsOp::kRead, PathOf(fd), {}, fd, err, true);
  return Finish(FsOp::kRead, PathOf(fd), {}, fd, m_base.Read(fd, buf, n, got), false);
}

int FaultFileSystem::PRead(int fd, void* buf, size_t n, uint64_t offset, size_t* got) {
  if (int err = Enter(FsOp::kPRead)) return Finish(FsOp::kPRead, PathOf(fd), {}, fd, err, true);
  return Finish(FsOp::kPRead, PathOf(fd), {}, fd, m_base.PRead(fd, buf, n, offset, got), false);
}

int FaultFileSystem::Write(int fd, const void* buf, size_t n) {
  if (int err = Enter(FsOp::kWrite)) {
    // A disk that fills up midway has taken part of the data.
    if (n >= 2) m_base.Write(fd, buf, n / 2);
    return Finish(FsOp::kWrite, PathOf(fd), {}, fd, err, true);
  }
  return Finish(FsOp::kWrite, PathOf(fd), {}, fd, m_base.Write(fd, buf, n), false);
}

int FaultFileSystem::Fsync(int fd) {
  if (int err = Enter(FsOp::kFsync)) return Finish(FsOp::kFsync, PathOf(fd), {}, fd, err, true);
  int result = m_base.Fsync(fd);
  if (result == 0) OnFileSynced(fd);
  return Finish(FsOp::kFsync, PathOf(fd), {}, fd, result, false);
}

int FaultFileSystem::Close(int fd) {
  const std::string path = PathOf(fd);
  int err = Enter(FsOp::kClose);
  // Linux releases the descriptor even when close fails, so an injected failure does too.
  int result = m_base.Close(fd);
  m_openPaths.erase(fd);
  if (err) return Finish(FsOp::kClose, path, {}, fd, err, true);
  return Finish(FsOp::kClose, path, {}, fd, result, false);
}

int FaultFileSystem::Rename(const std::string& from, const std::string& to) {
  if (int err = Enter(FsOp::kRename)) return Finish(FsOp::kRename, from, to, -1, err, true);
  TrackName(from);
  TrackName(to);
  return Finish(FsOp::kRename, from, to, -1, m_base.Rename(from, to), false);
}

int FaultFileSystem::Unlink(const std::string& path) {
  if (int err = Enter(FsOp::kUnlink)) return Finish(FsOp::kUnlink, path, {}, -1, err, true);
  TrackName(path);
  return Finish(FsOp::kUnlink, path, {}, -1, m_base.Unlink(path), false);
}

int FaultFileSystem::Stat(const std::string& path, struct stat* st) {
  if (int err = Enter(FsOp::kStat)) return Finish(FsOp::kStat, path, {}, -1, err, true);
  return Finish(FsOp::kStat, path, {}, -1, m_base.Stat(path, st), false);
}

int FaultFileSystem::LStat(const std::string& path, struct stat* st) {
  if (int err = Enter(FsOp::kLStat)) return Finish(FsOp::kLStat, path, {}, -1, err, true);
  return Finish(FsOp::kLStat, path, {}, -1, m_base.LStat(path, st), false);
}

int FaultFileSystem::FStat(int fd, struct stat* st) {
  if (int err = Enter(FsOp::kFStat)) return Finish(FsOp::kFStat, PathOf(fd), {}, fd, err, true);
  return Finish(FsOp::kFStat, PathOf(fd), {}, fd, m_base.FStat(fd, st), false);
}

int FaultFileSystem::FChmod(int fd, mode_t mode) {
  if (int err = Enter(FsOp::kFChmod)) return Finish(FsOp::kFChmod, PathOf(fd), {}, fd, err, true);
  return Finish(FsOp::kFChmod, PathOf(fd), {}, fd, m_base.FChmod(fd, mode), false);
}

int FaultFileSystem::FChown(int fd, uid_t uid, gid_t gid) {
  if (int err = Enter(FsOp::kFChown)) return Finish(FsOp::kFChown, PathOf(fd), {}, fd, err, true);
  return Finish(FsOp::kFChown, PathOf(fd), {}, fd, m_base.FChown(fd, uid, gid), false);
}

int FaultFileSystem::Ftruncate(int fd, uint64_t length) {
  if (int err = Enter(FsOp::kFtruncate)) {
    return Finish(FsOp::kFtruncate, PathOf(fd), {}, fd, err, true);
  }
  return Finish(FsOp::kFtruncate, PathOf(fd), {}, fd, m_base.Ftruncate(fd, length), false);
}

int FaultFileSystem::RealPath(const std::string& path, std::string* resolved) {
  if (int err = Enter(FsOp::kRealPath)) return Finish(FsOp::kRealPath, path, {}, -1, err, true);
  return Finish(FsOp::kRealPath, path, {}, -1, m_base.RealPath(path, resolved), false);
}

int FaultFileSystem::Flock(int fd, int operation) {
  if (int err = Enter(FsOp::kFlock)) return Finish(FsOp::kFlock, PathOf(fd), {}, fd, err, true);
  return Finish(FsOp::kFlock, PathOf(fd), {}, fd, m_base.Flock(fd, operation), false);
}

int FaultFileSystem::TestPosixLock(int fd, bool* locked, pid_t* holder) {
  if (int err = Enter(FsOp::kTestPosixLock)) {
    return Finish(FsOp::kTestPosixLock, PathOf(fd), {}, fd, err, true);
  }
  return Finish(FsOp::kTestPosixLock, PathOf(fd), {}, fd,
                m_base.TestPosixLock(fd, locked, holder), false);
}

}  // namespace oarepair::test_support
