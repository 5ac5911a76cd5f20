// Faults during a repair. The nth registry call fails, for every n, while CLayeredRegKey deletes
// the dispatch class key and while the whole program runs; then the nth open, write, fsync,
// rename and close fail while the program runs; and the real program meets a file-size limit.
// Nothing crashes, a key that is still there is never reported as deleted, the program shows its
// failure message and exits 1 whenever the repair is not on disk, and a second run completes it.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/registry_control.h"
#include "platform/win32.h"
#include "regkey/LayeredRegKey.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/scratch_key.h"

#ifdef OAREPAIR_HAVE_APP
#include "app/RepairApp.h"
#include "framework/MessageBox.h"
#include "framework/Seams.h"
#include "framework/WinApp.h"
#include "resource_ids.h"
#endif

namespace oarepair::reliability {
namespace {

namespace p = oarepair::platform;
using test_support::FaultFileSystem;
using test_support::FsOp;
using test_support::FsOpName;
using test_support::ReadFile;

constexpr uint64_t kFixedNow = 133500000000000000ULL;
const char kNeighbourPath[] = "CLSID\\{00020421-0000-0000-C000-000000000046}";
const LONG kCodes[] = {ERROR_ACCESS_DENIED, ERROR_REGISTRY_IO_FAILED, ERROR_NOT_ENOUGH_MEMORY,
                       ERROR_FILE_NOT_FOUND};

// The dispatch class key of MachineHiveText, made through the calls (for the in-memory registry).
void MakeDamagedKey() {
  const std::string base = kDispatchClassPath;
  for (const char* sub : {"\\InprocServer", "\\InprocServer32", "\\Junk\\Level2\\Level3",
                          "\\Junk\\Level2\\Other"}) {
    ASSERT_TRUE(test_support::CreateKeyPath(HKEY_CLASSES_ROOT, base + sub));
  }
  ASSERT_TRUE(test_support::CreateKeyPath(HKEY_CLASSES_ROOT, kNeighbourPath));
}

bool DeleteThroughLayeredKey() {
  CLayeredRegKey key(HKEY_CLASSES_ROOT, "CLSID", nullptr);
  return key.DeleteSubKey(kDispatchClassId);
}

class RepairFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.Valid());
    m_prefix = m_dir.Path();
    p::SetClock([] { return kFixedNow; });
    m_old = MachineHiveText(40);
    ResetFiles();
    // The file a clean repair leaves.
    p::UsePrefixRegistry(m_prefix);
    ASSERT_TRUE(DeleteThroughLayeredKey());
    p::UseMemoryRegistry();
    m_new = ReadFile(m_prefix + "/system.reg");
    ASSERT_NE(m_old, m_new);
    ResetFiles();
  }
  void TearDown() override {
    p::FailRegistryCallAt(0, ERROR_SUCCESS);
    p::SetFileSystem(nullptr);
    p::UseMemoryRegistry();
    p::SetClock(nullptr);
  }
  void ResetFiles() {
    for (const std::string& name : StrayNames(m_prefix, {})) {
      ::unlink((m_prefix + "/" + name).c_str());
    }
    ASSERT_TRUE(WritePrefixFiles(m_prefix, m_old));
  }
  std::vector<std::string> Stray() const { return StrayNames(m_prefix, {"system.reg", "user.reg"}); }

  FastScratchFolder m_dir;
  std::string m_prefix;
  std::string m_old;
  std::string m_new;
};

// ------------------------------------------------------------------------------------------------
// CLayeredRegKey::DeleteSubKey with the nth registry call failing.

// Whether a registry file still holds the dispatch class key, and its neighbour.
bool FileHasDispatchKey(const std::string& text) {
  return text.find(std::string("CLSID\\\\") + kDispatchClassId) != std::string::npos;
}
bool FileHasNeighbour(const std::string& text) {
  return text.find("CLSID\\\\{00020421-0000-0000-C000-000000000046}\\\\InprocServer32") !=
         std::string::npos;
}

// Each run of the repair is a process of its own: `arrange` starts it, `endRun` does what the
// end of the process does (the exit hook saves what is pending; a handle whose RegCloseKey failed
// stays open until then), and `checkFinal` looks at the result of the second, fault-free run.
// Returns the number of faults that hit a call.
uint64_t LayeredKeyFaultLoop(const std::function<void()>& arrange,
                             const std::function<void()>& endRun,
                             const std::function<void()>& checkFinal) {
  uint64_t hits = 0;
  for (LONG code : kCodes) {
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE("registry call #" + std::to_string(n) + " fails with " + std::to_string(code));
      arrange();
      const uint64_t before = p::RegistryCallCount();
      p::FailRegistryCallAt(n, code);
      const bool deleted = DeleteThroughLayeredKey();
      const bool hit = p::RegistryCallCount() - before >= n;
      p::FailRegistryCallAt(0, ERROR_SUCCESS);
      endRun();

      const LONG after = OpenResult(HKEY_CLASSES_ROOT, kDispatchClassPath);
      if (after == ERROR_SUCCESS) {
        EXPECT_FALSE(deleted) << "DeleteSubKey reported success but the key is still there";
      }
      if (deleted) {
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, after);
      }
      EXPECT_EQ(ERROR_SUCCESS, OpenResult(HKEY_CLASSES_ROOT, kNeighbourPath))
          << "a neighbouring class key was lost";
      // The next run completes the repair.
      if (after == ERROR_SUCCESS) {
        EXPECT_TRUE(DeleteThroughLayeredKey());
      }
      endRun();
      EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenResult(HKEY_CLASSES_ROOT, kDispatchClassPath));
      checkFinal();
      if (!hit) {
        EXPECT_TRUE(deleted) << "without a fault the repair must work";
        break;
      }
      ++hits;
      if (::testing::Test::HasFailure()) return hits;
    }
  }
  return hits;
}

TEST_F(RepairFaultTest, LayeredDeleteWithFailingRegistryCallOnMemoryRegistry) {
  const uint64_t hits = LayeredKeyFaultLoop(
      [] {
        p::UseMemoryRegistry();
        MakeDamagedKey();
      },
      [] {}, [] {});
  std::printf("[ reg fault] in-memory registry: %llu calls failed in turn\n",
              static_cast<unsigned long long>(hits));
  AddFigure("registry calls failed during a repair", hits);
}

TEST_F(RepairFaultTest, LayeredDeleteWithFailingRegistryCallOnPrefix) {
  const uint64_t hits = LayeredKeyFaultLoop(
      [this] {
        p::UseMemoryRegistry();
        ResetFiles();
        p::UsePrefixRegistry(m_prefix);
      },
      [this] {
        EXPECT_EQ(ERROR_SUCCESS, p::FlushRegistry());
        p::UsePrefixRegistry(m_prefix);
        const std::string now = ReadFile(m_prefix + "/system.reg");
        std::string why;
        EXPECT_TRUE(ParsesAsHive(now, &why)) << why;
        EXPECT_TRUE(FileHasNeighbour(now));
        EXPECT_EQ(std::vector<std::string>{}, Stray());
      },
      [this] {
        // What the two runs leave is what one clean run leaves, byte for byte.
        EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_new);
        EXPECT_EQ(std::vector<std::string>{}, Stray());
      });
  std::printf("[ reg fault] prefix registry: %llu calls failed in turn\n",
              static_cast<unsigned long long>(hits));
  AddFigure("registry calls failed during a repair", hits);
}

#ifdef OAREPAIR_HAVE_APP
// ------------------------------------------------------------------------------------------------
// The whole program (its InitInstance through AfxWinMain), with the message box recorded and the
// platform's own WinExec starting a stand-in for Wine's loader.

struct ShownMessage {
  std::string text;
  UINT type;
};
std::vector<ShownMessage> g_messages;

int RecordMessage(HWND, LPCSTR text, LPCSTR, UINT type) {
  g_messages.push_back({text != nullptr ? text : "", type});
  return IDOK;
}

std::string LoadText(UINT id) {
  std::string text;
  EXPECT_TRUE(AfxLoadString(id, &text));
  return text;
}

class ProgramFaultTest : public RepairFaultTest {
 protected:
  void SetUp() override {
    RepairFaultTest::SetUp();
    const char* wine = std::getenv("WINE");
    m_hadWine = wine != nullptr;
    if (m_hadWine) m_oldWine = wine;
    // Wine's loader is replaced by a program that does nothing: the run's registry work is what
    // is tested here, not RegSvr32.
    ::setenv("WINE", "/bin/true", 1);
    m_oldHook = AfxSetMessageBoxHook(&RecordMessage);
    m_merged = LoadText(IDS_REGISTRY_MERGED);
    m_failed = LoadText(IDS_REPAIR_FAILED);
  }
  void TearDown() override {
    AfxSetMessageBoxHook(m_oldHook);
    if (m_hadWine) {
      ::setenv("WINE", m_oldWine.c_str(), 1);
    } else {
      ::unsetenv("WINE");
    }
    RepairFaultTest::TearDown();
  }

  // Runs the program once on the prefix; returns its exit status.
  int RunOnce() {
    g_messages.clear();
    p::UsePrefixRegistry(m_prefix);
    char none[] = "";
    int status = 0;
    {
      CRepairApp app;
      status = AfxWinMain(nullptr, nullptr, none, SW_SHOWNORMAL);
    }
    // What the process's exit hook does: save whatever is still pending.
    p::FlushRegistry();
    return status;
  }

  // What every run must satisfy: one message matching the exit status; success only with the
  // repair on disk; the failure message whenever the class key is still in the file. A failed
  // file call leaves the old file or the repaired one; a failed registry call may leave part of
  // the subtree deleted (each delete is a change of its own), never a file that does not parse
  // or that lost anything else.
  void CheckRun(int status, bool fileFault) {
    const std::string now = ReadFile(m_prefix + "/system.reg");
    if (fileFault) {
      EXPECT_TRUE(now == m_old || now == m_new) << "system.reg is neither old nor repaired";
    }
    std::string why;
    EXPECT_TRUE(ParsesAsHive(now, &why)) << why;
    EXPECT_TRUE(FileHasNeighbour(now)) << "a neighbouring class key was lost";
    EXPECT_EQ(std::vector<std::string>{}, Stray());
    ASSERT_EQ(1u, g_messages.size());
    if (status == 0) {
      EXPECT_EQ(m_merged, g_messages[0].text);
      EXPECT_TRUE(now == m_new) << "the program reported success but the file is not repaired";
    } else {
      EXPECT_EQ(1, status);
      EXPECT_EQ(m_failed, g_messages[0].text);
      EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONERROR), g_messages[0].type);
    }
    if (FileHasDispatchKey(now)) {
      EXPECT_EQ(1, status) << "the key is still on disk but the run says repaired";
    }
  }

  // The second run: no fault, the repair completes.
  void CheckSecondRun() {
    const int status = RunOnce();
    p::UseMemoryRegistry();
    EXPECT_EQ(0, status);
    EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_new);
    EXPECT_EQ(std::vector<std::string>{}, Stray());
  }

  bool m_hadWine = false;
  std::string m_oldWine;
  MessageBoxFn m_oldHook = nullptr;
  std::string m_merged;
  std::string m_failed;
};

TEST_F(ProgramFaultTest, CleanRunRepairsAndSaysSo) {
  EXPECT_EQ(0, RunOnce());
  p::UseMemoryRegistry();
  CheckRun(0, true);
  EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_new);
}

TEST_F(ProgramFaultTest, FailingRegistryCallAtEveryPosition) {
  uint64_t hits = 0;
  uint64_t failedRuns = 0;
  // The layered-key loops above try every code; for the whole program one refusal, one failure
  // of the store and one lying "not found" cover the ways a call can fail.
  const LONG codes[] = {ERROR_ACCESS_DENIED, ERROR_REGISTRY_IO_FAILED, ERROR_FILE_NOT_FOUND};
  for (LONG code : codes) {
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE("registry call #" + std::to_string(n) + " fails with " + std::to_string(code));
      ResetFiles();
      p::UsePrefixRegistry(m_prefix);
      const uint64_t before = p::RegistryCallCount();
      p::FailRegistryCallAt(n, code);
      const int status = RunOnce();
      const bool hit = p::RegistryCallCount() - before >= n;
      p::FailRegistryCallAt(0, ERROR_SUCCESS);
      p::UseMemoryRegistry();
      CheckRun(status, false);
      if (status != 0) ++failedRuns;
      CheckSecondRun();
      if (!hit) break;
      ++hits;
      if (HasFailure()) return;
    }
  }
  std::printf("[ reg fault] program: %llu registry calls failed in turn, %llu runs reported "
              "failure\n",
              static_cast<unsigned long long>(hits), static_cast<unsigned long long>(failedRuns));
  AddFigure("registry calls failed during a repair", hits);
  AddFigure("program runs that showed the failure message and exited 1", failedRuns);
}

TEST_F(ProgramFaultTest, FailingFileCallAtEveryPosition) {
  uint64_t injected = 0;
  uint64_t failedRuns = 0;
  for (FsOp op : {FsOp::kOpen, FsOp::kWrite, FsOp::kFsync, FsOp::kRename, FsOp::kClose}) {
    for (int err : {ENOSPC, EIO, EACCES}) {
      for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(std::string(FsOpName(op)) + " #" + std::to_string(n) + " -> " +
                     std::strerror(err));
        ResetFiles();
        FaultFileSystem fault(p::PosixFileSystem());
        fault.FailNth(op, n, err);
        p::SetFileSystem(&fault);
        const int status = RunOnce();
        p::UseMemoryRegistry();
        p::SetFileSystem(nullptr);
        const bool hit = fault.InjectedFaults() > 0;
        CheckRun(status, true);
        if (status != 0) ++failedRuns;
        CheckSecondRun();
        if (!hit) {
          EXPECT_EQ(0, status);
          break;
        }
        ++injected;
        if (HasFailure()) return;
      }
    }
  }
  std::printf("[ io fault ] program: %llu file calls failed in turn, %llu runs reported failure\n",
              static_cast<unsigned long long>(injected),
              static_cast<unsigned long long>(failedRuns));
  AddFigure("io: faults injected into program runs", injected);
  AddFigure("program runs that showed the failure message and exited 1", failedRuns);
}

// The real program, started as a process: a file-size limit makes its save fail with EFBIG.
TEST_F(ProgramFaultTest, RealProgramWithFileSizeLimitFailsAndKeepsFile) {
  std::string output;
  // A limit of one 512-byte block; SIGXFSZ ignored, so the write reports EFBIG instead of
  // killing the program.
  const int status = RunProgram(
      {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\"", OAREPAIR_PROGRAM},
      {"WINEPREFIX=" + m_prefix, "WINE=/bin/true"}, &output, 60);
  EXPECT_EQ(1, status) << output;
  EXPECT_NE(std::string::npos, output.find(m_failed)) << output;
  EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_old);
  EXPECT_EQ(std::vector<std::string>{}, Stray());

  // Without the limit the same program repairs.
  const int second = RunProgram({OAREPAIR_PROGRAM}, {"WINEPREFIX=" + m_prefix, "WINE=/bin/true"},
                                &output, 60);
  EXPECT_EQ(0, second) << output;
  EXPECT_NE(std::string::npos, output.find(m_merged)) << output;
  const std::string repaired = ReadFile(m_prefix + "/system.reg");
  EXPECT_TRUE(ParsesAsHive(repaired));
  EXPECT_EQ(std::string::npos, repaired.find(std::string("CLSID\\\\") + kDispatchClassId))
      << "the class key is still in the file after a successful run";
  AddFigure("program runs that showed the failure message and exited 1", 1);
}
#endif  // OAREPAIR_HAVE_APP

}  // namespace
}  // namespace oarepair::reliability
