// The fault-injecting file system that the atomic-file and registry tests rely on: faults land on
// exactly the call asked for, and a crash keeps only what was synced.
#include "tests/support/fault_file_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/scratch_folder.h"

namespace oarepair::test_support {
namespace {

// Writes a whole file through the wrapper, syncing the file and/or its folder as asked.
int Put(FaultFileSystem& fs, const std::string& folder, const std::string& name,
        const std::string& content, bool syncFile, bool syncFolder) {
  int fd = -1;
  if (int err = fs.Open(folder + "/" + name, O_CREAT | O_TRUNC | O_WRONLY, 0644, &fd)) return err;
  int err = fs.Write(fd, content.data(), content.size());
  if (!err && syncFile) err = fs.Fsync(fd);
  int closeErr = fs.Close(fd);
  if (!err) err = closeErr;
  if (!err && syncFolder) {
    int dirFd = -1;
    err = fs.Open(folder, O_RDONLY | O_DIRECTORY, 0, &dirFd);
    if (!err) {
      err = fs.Fsync(dirFd);
      fs.Close(dirFd);
    }
  }
  return err;
}

int SyncFolder(FaultFileSystem& fs, const std::string& folder) {
  int fd = -1;
  if (int err = fs.Open(folder, O_RDONLY | O_DIRECTORY, 0, &fd)) return err;
  int err = fs.Fsync(fd);
  fs.Close(fd);
  return err;
}

class FaultFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_dir.Valid()); }
  ScratchFolder m_dir{MemoryScratchBase()};
};

TEST_F(FaultFileSystemTest, FailsExactlyTheNthCallOfAKind) {
  FaultFileSystem fs;
  struct stat st {};
  fs.FailNth(FsOp::kStat, 3, EIO);
  EXPECT_EQ(0, fs.Stat(m_dir.Path(), &st));
  EXPECT_EQ(0, fs.LStat(m_dir.Path(), &st)) << "another kind does not count";
  EXPECT_EQ(0, fs.Stat(m_dir.Path(), &st));
  EXPECT_EQ(EIO, fs.Stat(m_dir.Path(), &st));
  EXPECT_EQ(0, fs.Stat(m_dir.Path(), &st)) << "once only";
  EXPECT_EQ(4u, fs.Count(FsOp::kStat));
  EXPECT_EQ(1u, fs.Count(FsOp::kLStat));
  EXPECT_EQ(5u, fs.TotalCount());
  EXPECT_EQ(1u, fs.InjectedFaults());

  // Counted from the moment it is armed.
  fs.FailNth(FsOp::kStat, 1, EACCES, /*andAfter=*/true);
  EXPECT_EQ(EACCES, fs.Stat(m_dir.Path(), &st));
  EXPECT_EQ(EACCES, fs.Stat(m_dir.Path(), &st));
  fs.ClearFaults();
  EXPECT_EQ(0, fs.Stat(m_dir.Path(), &st));
}

TEST_F(FaultFileSystemTest, FailsTheNthCallOfAnyKind) {
  FaultFileSystem fs;
  struct stat st {};
  std::string resolved;
  fs.FailNthAny(2, ENOSPC);
  EXPECT_EQ(0, fs.Stat(m_dir.Path(), &st));
  EXPECT_EQ(ENOSPC, fs.RealPath(m_dir.Path(), &resolved));
  EXPECT_EQ(0, fs.LStat(m_dir.Path(), &st));
}

TEST_F(FaultFileSystemTest, FailedWriteTakesHalfAndFailedCloseReleases) {
  FaultFileSystem fs;
  int fd = -1;
  ASSERT_EQ(0, fs.Open(m_dir / "f", O_CREAT | O_WRONLY, 0600, &fd));
  fs.FailNth(FsOp::kWrite, 1, ENOSPC);
  EXPECT_EQ(ENOSPC, fs.Write(fd, "abcdefgh", 8));
  fs.FailNth(FsOp::kClose, 1, EIO);
  EXPECT_EQ(EIO, fs.Close(fd));
  EXPECT_EQ(-1, ::fcntl(fd, F_GETFD)) << "the descriptor must be gone";
  EXPECT_EQ("abcd", ReadFile(m_dir / "f"));
}

TEST_F(FaultFileSystemTest, RecordsTheSequence) {
  FaultFileSystem fs;
  fs.SetRecording(true);
  ASSERT_EQ(0, Put(fs, m_dir.Path(), "a", "x", true, false));
  fs.FailNth(FsOp::kRename, 1, EACCES);
  EXPECT_EQ(EACCES, fs.Rename(m_dir / "a", m_dir / "b"));
  ASSERT_EQ(5u, fs.Calls().size());
  EXPECT_EQ(FsOp::kOpen, fs.Calls()[0].op);
  EXPECT_EQ(FsOp::kWrite, fs.Calls()[1].op);
  EXPECT_EQ(m_dir / "a", fs.Calls()[1].path) << "descriptor calls name their file";
  EXPECT_EQ(FsOp::kFsync, fs.Calls()[2].op);
  EXPECT_EQ(FsOp::kClose, fs.Calls()[3].op);
  EXPECT_TRUE(fs.Calls()[4].injected);
  EXPECT_EQ("rename " + (m_dir / "a") + " -> " + (m_dir / "b") + " = " +
                std::string(std::strerror(EACCES)) + " (injected)",
            DescribeCall(fs.Calls()[4]));
}

TEST_F(FaultFileSystemTest, CrashDropsFilesWhoseFolderWasNotSynced) {
  FaultFileSystem fs;
  ASSERT_EQ(0, Put(fs, m_dir.Path(), "data-synced", "1", true, false));
  ASSERT_EQ(0, Put(fs, m_dir.Path(), "unsynced", "2", false, false));
  fs.Crash();
  EXPECT_TRUE(ListFolder(m_dir.Path()).empty());
}

TEST_F(FaultFileSystemTest, CrashKeepsSyncedNamesButNotUnsyncedData) {
  FaultFileSystem fs;
  ASSERT_EQ(0, Put(fs, m_dir.Path(), "durable", "all synced", true, true));
  ASSERT_EQ(0, Put(fs, m_dir.Path(), "name-only", "data never synced", false, true));
  fs.Crash();
  EXPECT_EQ("all synced", ReadFile(m_dir / "durable"));
  EXPECT_TRUE(Exists(m_dir / "name-only"));
  EXPECT_EQ("", ReadFile(m_dir / "name-only")) << "the name survived, the data did not";
}

TEST_F(FaultFileSystemTest, CrashRevertsInPlaceOverwritesThatWereNotSynced) {
  ASSERT_TRUE(WriteFile(m_dir / "old", "before"));  // on disk before tracking: durable
  FaultFileSystem fs;
  ASSERT_EQ(0, Put(fs, m_dir.Path(), "old", "after, not synced", false, true));
  fs.Crash();
  EXPECT_EQ("before", ReadFile(m_dir / "old"));

  ASSERT_EQ(0, Put(fs, m_dir.Path(), "old", "after, synced", true, false));
  fs.Crash();
  EXPECT_EQ("after, synced", ReadFile(m_dir / "old"));
}

TEST_F(FaultFileSystemTest, CrashRevertsARenameUntilTheFolderIsSynced) {
  ASSERT_TRUE(WriteFile(m_dir / "target", "old"));
  ::chmod((m_dir / "target").c_str(), 0640);
  FaultFileSystem fs;
  ASSERT_EQ(0, Put(fs, m_dir.Path(), "temp", "new", true, false));
  ASSERT_EQ(0, fs.Rename(m_dir / "temp", m_dir / "target"));
  fs.Crash();
  EXPECT_EQ(std::set<std::string>{"target"}, ListFolder(m_dir.Path()));
  EXPECT_EQ("old", ReadFile(m_dir / "target"));
  struct stat st {};
  ASSERT_EQ(0, ::stat((m_dir / "target").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777) << "the old file comes back with its mode";

  ASSERT_EQ(0, Put(fs, m_dir.Path(), "temp", "new", true, false));
  ASSERT_EQ(0, fs.Rename(m_dir / "temp", m_dir / "target"));
  ASSERT_EQ(0, SyncFolder(fs, m_dir.Path()));
  fs.Crash();
  EXPECT_EQ(std::set<std::string>{"target"}, ListFolder(m_dir.Path()));
  EXPECT_EQ("new", ReadFile(m_dir / "target"));
}

TEST_F(FaultFileSystemTest, CrashRevertsAnUnlinkUntilTheFolderIsSynced) {
  ASSERT_TRUE(WriteFile(m_dir / "keep", "content"));
  FaultFileSystem fs;
  ASSERT_EQ(0, fs.Unlink(m_dir / "keep"));
  fs.Crash();
  EXPECT_EQ("content", ReadFile(m_dir / "keep"));
  ASSERT_EQ(0, fs.Unlink(m_dir / "keep"));
  ASSERT_EQ(0, SyncFolder(fs, m_dir.Path()));
  fs.Crash();
  EXPECT_FALSE(Exists(m_dir / "keep"));
}

TEST_F(FaultFileSystemTest, CrashClosesOpenDescriptors) {
  FaultFileSystem fs;
  int fd = -1;
  ASSERT_EQ(0, fs.Open(m_dir / "f", O_CREAT | O_WRONLY, 0600, &fd));
  fs.Crash();
  EXPECT_EQ(-1, ::fcntl(fd, F_GETFD));
}

}  // namespace
}  // namespace oarepair::test_support
