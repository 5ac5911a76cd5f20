// I/O errors during a registry save: the Nth open, write, fsync, rename and close fail, for every
// N, with ENOSPC, EIO and EACCES, while the real registry calls save a change to a throwaway
// prefix. The original file stays byte-identical (or, for a fault after the rename, the new
// content is whole), no temp file is left, and the failure is reported: FlushRegistry returns an
// error and the session's later calls fail.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/registry_control.h"
#include "platform/win32.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/scratch_key.h"

namespace oarepair::reliability {
namespace {

namespace p = oarepair::platform;
using test_support::FaultFileSystem;
using test_support::FsOp;
using test_support::FsOpName;
using test_support::ReadFile;
using test_support::WriteFile;

constexpr uint64_t kFixedNow = 133500000000000000ULL;
const char kNeighbour[] = "{00020421-0000-0000-C000-000000000046}";

const FsOp kOps[] = {FsOp::kOpen, FsOp::kWrite, FsOp::kFsync, FsOp::kRename, FsOp::kClose};
const int kErrors[] = {ENOSPC, EIO, EACCES};

class IoFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.Valid());
    m_prefix = m_dir.Path();
    p::SetClock([] { return kFixedNow; });
    m_old = MachineHiveText(Padding());
    ResetFiles();
    // The content a clean save gives.
    p::UsePrefixRegistry(m_prefix);
    HKEY clsid = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &clsid));
    ASSERT_EQ(ERROR_SUCCESS, test_support::DeleteKeyTree(clsid, kDispatchClassId));
    ASSERT_EQ(ERROR_SUCCESS, p::FlushRegistry());
    RegCloseKey(clsid);
    p::UseMemoryRegistry();
    m_new = ReadFile(m_prefix + "/system.reg");
    ASSERT_NE(m_old, m_new);
  }
  void TearDown() override {
    p::SetFileSystem(nullptr);
    p::UseMemoryRegistry();
    p::SetClock(nullptr);
  }

  virtual size_t Padding() const { return 40; }

  // Fails the nth call of each kind in `ops` during a save started by FlushRegistry, for every n
  // until the save no longer makes that many such calls.
  void FlushFaultLoop(const std::vector<FsOp>& ops);

  void ResetFiles() {
    for (const std::string& name : StrayNames(m_prefix, {})) {
      ::unlink((m_prefix + "/" + name).c_str());
    }
    ASSERT_TRUE(WritePrefixFiles(m_prefix, m_old));
  }

  FastScratchFolder m_dir;
  std::string m_prefix;
  std::string m_old;
  std::string m_new;
};

void IoFaultTest::FlushFaultLoop(const std::vector<FsOp>& ops) {
  uint64_t injected = 0;
  uint64_t refused = 0;
  for (FsOp op : ops) {
    for (int err : kErrors) {
      for (uint64_t n = 1;; ++n) {
        const std::string what = std::string(FsOpName(op)) + " #" + std::to_string(n) + " -> " +
                                 std::strerror(err);
        SCOPED_TRACE(what);
        ResetFiles();
        FaultFileSystem fault(p::PosixFileSystem());
        p::UsePrefixRegistry(m_prefix);
        p::SetFileSystem(&fault);
        HKEY clsid = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &clsid));
        ASSERT_EQ(ERROR_SUCCESS, test_support::DeleteKeyTree(clsid, kDispatchClassId));

        fault.ResetCounts();
        fault.FailNth(op, n, err);
        const LONG flushed = p::FlushRegistry();
        const bool hit = fault.InjectedFaults() > 0;
        fault.ClearFaults();

        const std::string now = ReadFile(m_prefix + "/system.reg");
        EXPECT_TRUE(now == m_old || now == m_new) << "system.reg is neither old nor new";
        EXPECT_EQ(std::vector<std::string>{}, StrayNames(m_prefix, {"system.reg", "user.reg"}));
        if (flushed == ERROR_SUCCESS) {
          EXPECT_TRUE(now == m_new) << "FlushRegistry reported success but the change is not saved";
        }
        if (now == m_old) {
          EXPECT_NE(ERROR_SUCCESS, flushed) << "the save failed but FlushRegistry said it worked";
          // The session's later calls fail instead of working on a tree the file does not hold.
          HKEY key = nullptr;
          EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(clsid, kNeighbour, 0, KEY_READ, &key));
          EXPECT_NE(ERROR_SUCCESS, RegCreateKeyA(clsid, "{AFTER-FAILURE}", &key));
          EXPECT_NE(ERROR_SUCCESS, p::FlushRegistry())
              << "a second flush calls the lost change saved";
          ++refused;
        }
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(clsid));
        p::SetFileSystem(nullptr);
        p::UseMemoryRegistry();
        // Nothing more was written once the session ended.
        EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == now);
        EXPECT_EQ(std::vector<std::string>{}, StrayNames(m_prefix, {"system.reg", "user.reg"}));

        if (!hit) {
          // Past the last such call of the save: the save must have worked untouched.
          EXPECT_EQ(ERROR_SUCCESS, flushed);
          EXPECT_TRUE(now == m_new);
          std::printf("[ io fault ] %-6s %-28s: %llu positions\n", FsOpName(op),
                      std::strerror(err), static_cast<unsigned long long>(n - 1));
          break;
        }
        ++injected;
        if (HasFailure()) return;
      }
    }
  }
  AddFigure("io: faults injected into registry saves", injected);
  AddFigure("io: saves refused with the original kept", refused);
  EXPECT_GT(refused, 0u);
}

// Every fault of every kind at every position of a save started by FlushRegistry.
TEST_F(IoFaultTest, FailedSaveKeepsOriginalLeavesNoTempAndReportsFailure) {
  FlushFaultLoop(std::vector<FsOp>(std::begin(kOps), std::end(kOps)));
}

// A file of about 2.4 MB goes out in several writes; each of them fails in turn.
class LargeFileIoFaultTest : public IoFaultTest {
 protected:
  size_t Padding() const override { return 16000; }
};

TEST_F(LargeFileIoFaultTest, EveryFailedWriteOfALargeFileKeepsOriginal) {
  FlushFaultLoop({FsOp::kWrite, FsOp::kFsync});
}

// The same faults while the save happens as the last handle closes: the close cannot report it,
// so the next session must read the old file again and not believe the change was made.
TEST_F(IoFaultTest, FailedSaveAtLastCloseIsNotBelievedByNextSession) {
  uint64_t injected = 0;
  for (FsOp op : kOps) {
    for (int err : kErrors) {
      for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(std::string(FsOpName(op)) + " #" + std::to_string(n) + " -> " +
                     std::strerror(err));
        ResetFiles();
        FaultFileSystem fault(p::PosixFileSystem());
        p::UsePrefixRegistry(m_prefix);
        p::SetFileSystem(&fault);
        HKEY clsid = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &clsid));
        ASSERT_EQ(ERROR_SUCCESS, test_support::DeleteKeyTree(clsid, kDispatchClassId));
        fault.ResetCounts();
        fault.FailNth(op, n, err);
        RegCloseKey(clsid);
        const bool hit = fault.InjectedFaults() > 0;
        fault.ClearFaults();

        const std::string now = ReadFile(m_prefix + "/system.reg");
        EXPECT_TRUE(now == m_old || now == m_new);
        EXPECT_EQ(std::vector<std::string>{}, StrayNames(m_prefix, {"system.reg", "user.reg"}));
        // A new session sees what the file holds, nothing else.
        const LONG seen = OpenResult(HKEY_CLASSES_ROOT, kDispatchClassPath);
        EXPECT_EQ(now == m_old ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND, seen);
        p::SetFileSystem(nullptr);
        p::UseMemoryRegistry();
        if (!hit) break;
        ++injected;
        if (HasFailure()) return;
      }
    }
  }
  AddFigure("io: faults injected into registry saves", injected);
}

// Faults while the file is read: the registry answers with an error that is not "not found",
// and nothing is written.
TEST_F(IoFaultTest, FailedLoadIsAnErrorAndWritesNothing) {
  uint64_t injected = 0;
  for (FsOp op : {FsOp::kOpen, FsOp::kPRead, FsOp::kRead, FsOp::kFStat, FsOp::kStat,
                  FsOp::kRealPath, FsOp::kFlock, FsOp::kTestPosixLock}) {
    for (int err : kErrors) {
      for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(std::string(FsOpName(op)) + " #" + std::to_string(n) + " -> " +
                     std::strerror(err));
        ResetFiles();
        struct stat before {};
        ASSERT_EQ(0, ::stat((m_prefix + "/system.reg").c_str(), &before));
        FaultFileSystem fault(p::PosixFileSystem());
        p::UsePrefixRegistry(m_prefix);
        p::SetFileSystem(&fault);
        fault.FailNth(op, n, err);
        HKEY key = nullptr;
        const LONG opened = RegCreateKeyA(HKEY_CLASSES_ROOT, "CLSID\\{NEW-KEY}", &key);
        const bool hit = fault.InjectedFaults() > 0;
        if (opened == ERROR_SUCCESS) {
          RegCloseKey(key);
        } else {
          EXPECT_NE(ERROR_FILE_NOT_FOUND, opened) << "a failed read looks like a missing key";
        }
        fault.ClearFaults();
        p::SetFileSystem(nullptr);
        p::UseMemoryRegistry();
        struct stat after {};
        ASSERT_EQ(0, ::stat((m_prefix + "/system.reg").c_str(), &after));
        if (opened != ERROR_SUCCESS) {
          EXPECT_EQ(before.st_ino, after.st_ino) << "the file was rewritten after a failed load";
          EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_old);
        }
        EXPECT_EQ(std::vector<std::string>{}, StrayNames(m_prefix, {"system.reg", "user.reg"}));
        if (!hit) break;
        ++injected;
        if (HasFailure()) return;
      }
    }
  }
  AddFigure("io: faults injected into registry loads", injected);
}

}  // namespace
}  // namespace oarepair::reliability
