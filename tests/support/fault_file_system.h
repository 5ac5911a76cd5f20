// A FileSystem for tests that wraps a real one: it counts and records every call, fails a chosen
// call with a chosen errno, and simulates a crash by putting files back to their last durable
// state (file data counts as durable once the file is fsynced, a name once its folder is).
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"

namespace oarepair::test_support {

enum class FsOp {
  kOpen,
  kRead,
  kPRead,
  kWrite,
  kFsync,
  kClose,
  kRename,
  kUnlink,
  kStat,
  kLStat,
  kFStat,
  kFChmod,
  kFChown,
  kFtruncate,
  kRealPath,
  kFlock,
  kTestPosixLock,
};
constexpr size_t kFsOpCount = static_cast<size_t>(FsOp::kTestPosixLock) + 1;

const char* FsOpName(FsOp op);

// One call as it reached the wrapper.
struct FsCall {
  FsOp op;
  std::string path;   // the path, or for descriptor calls the path the descriptor was opened with
  std::string path2;  // the rename target
  int fd = -1;
  int result = 0;     // 0 or the errno value returned
  bool injected = false;
};

// "write /dir/file -> ENOSPC (injected)".
std::string DescribeCall(const FsCall& call);

class FaultFileSystem final : public platform::FileSystem {
 public:
  explicit FaultFileSystem(platform::FileSystem& base = platform::PosixFileSystem());
  ~FaultFileSystem() override = default;
  FaultFileSystem(const FaultFileSystem&) = delete;
  FaultFileSystem& operator=(const FaultFileSystem&) = delete;

  // --- Counting: every call counts, whether it fails or not.
  uint64_t Count(FsOp op) const { return m_counts[static_cast<size_t>(op)]; }
  uint64_t TotalCount() const { return m_total; }
  // Zeroes the counts; armed faults are dropped, as they were placed by the old counts.
  void ResetCounts();

  // --- Faults. `n` counts from now: 1 fails the next such call. With `andAfter`, every later
  // such call fails too (a full disk, or a process that has died). A failed call does nothing,
  // except that a failed write first writes half of its bytes (as a disk that fills up midway)
  // and a failed close still releases the descriptor (as Linux does).
  void FailNth(FsOp op, uint64_t n, int err, bool andAfter = false);
  void FailNthAny(uint64_t n, int err, bool andAfter = false);
  void ClearFaults();
  uint64_t InjectedFaults() const { return m_injected; }

  // --- Recording of the call sequence (off until enabled).
  void SetRecording(bool on) { m_recording = on; }
  const std::vector<FsCall>& Calls() const { return m_calls; }
  void ClearCalls() { m_calls.clear(); }

  // --- Crash simulation. Every file this wrapper creates, writes, renames or unlinks is tracked
  // from its first touch (what existed then counts as durable). Crash() closes every descriptor
  // still open and puts every tracked name back to its durable state: names whose folder was not
  // fsynced since a rename, create or unlink get their old file back (or vanish), and files get
  // the content they had at their last fsync. Needs a base that works on the real disk.
  void Crash();
  // Forgets what is tracked: everything on disk now counts as durable.
  void ForgetUnsynced();

  // FileSystem
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
  // Passed on uncounted and never failed: listing changes nothing on the disk.
  int ListFolder(const std::string& path, std::vector<std::string>* names) override {
    return m_base.ListFolder(path, names);
  }

 private:
  struct Rule {
    bool armed = false;
    uint64_t at = 0;  // the count at which the call fails
    int err = 0;
    bool andAfter = false;
  };
  using FileId = std::pair<dev_t, ino_t>;
  struct DurableFile {
    std::string content;
    mode_t mode = 0600;
    uid_t uid = 0;
    gid_t gid = 0;
  };

  // Counts the call and tells the errno to inject, or 0.
  int Enter(FsOp op);
  int Finish(FsOp op, const std::string& path, const std::string& path2, int fd, int result,
             bool injected);
  std::string PathOf(int fd) const;

  void TrackName(const std::string& path);
  void OnFileSynced(int fd);
  void OnFolderSynced(int fd);

  platform::FileSystem& m_base;
  std::array<uint64_t, kFsOpCount> m_counts{};
  uint64_t m_total = 0;
  std::array<Rule, kFsOpCount> m_rules{};
  Rule m_anyRule;
  uint64_t m_injected = 0;
  bool m_recording = false;
  std::vector<FsCall> m_calls;

  std::map<int, std::string> m_openPaths;                  // descriptor -> path it was opened with
  std::map<std::string, std::optional<FileId>> m_names;    // tracked name -> durable file
  std::map<FileId, DurableFile> m_files;                   // file -> durable content
};

}  // namespace oarepair::test_support
