// The repair run on Linux against the registry files of a prefix, with the platform's own
// WinExec starting a stand-in for Wine's loader: the change is saved before the loader starts,
// and a save that fails is reported and leaves the files as they were.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/RepairApp.h"
#include "platform/file_system.h"
#include "platform/registry_control.h"
#include "tests/app/repair_recorder.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/scratch_key.h"
#include "tests/support/scoped_env.h"

namespace oarepair::test_support {
namespace {

namespace p = oarepair::platform;

const char kSystemReg[] =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\\\Machine\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Software\\\\Classes\\\\CLSID\\\\{00020420-0000-0000-C000-000000000046}] 1796741013\n"
    "#time=1dd8722800703ec\n"
    "@=\"PSDispatch\"\n"
    "\n"
    "[Software\\\\Classes\\\\CLSID\\\\{00020420-0000-0000-C000-000000000046}\\\\InprocServer32] "
    "1796741013\n"
    "#time=1dd87228005e8e0\n"
    "@=\"bogus.dll\"\n"
    "\"ThreadingModel\"=\"Both\"\n"
    "\n"
    "[Software\\\\Classes\\\\CLSID\\\\{00020420-0000-0000-C000-000000000046}\\\\Junk\\\\Level2\\\\"
    "Level3] 1796741013\n"
    "#time=1dd87228005e8e0\n"
    "\n"
    "[Software\\\\Classes\\\\CLSID\\\\{00020421-0000-0000-C000-000000000046}\\\\InprocServer32] "
    "1796741013\n"
    "#time=1dd87228005e8e0\n"
    "@=\"C:\\\\windows\\\\system32\\\\oleaut32.dll\"\n";

const char kUserReg[] =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Software\\\\Wine] 1796741013\n"
    "#time=1dd8722800703ec\n";

// Records its arguments, WINEPREFIX and how many lines of system.reg name the class key at the
// moment it runs, then renames the record into place so a reader never sees half of it.
const char kStandIn[] =
    "#!/bin/sh\n"
    "rec=\"$OAREPAIR_STANDIN_RECORD\"\n"
    "{\n"
    "  for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; done\n"
    "  printf 'prefix=%s\\n' \"${WINEPREFIX-<unset>}\"\n"
    "  printf 'classkey=%s\\n' \"$(grep -c '00020420-0000' \"$WINEPREFIX/system.reg\")\"\n"
    "  printf 'neighbour=%s\\n' \"$(grep -c '00020421-0000' \"$WINEPREFIX/system.reg\")\"\n"
    "} > \"$rec.tmp\" && mv \"$rec.tmp\" \"$rec\"\n";

const char kMergedText[] = "Registry entries successfully merged";
const char kFailedText[] = "The OLE Automation registration could not be repaired.";

// Waits up to 10 s for a file to appear; its content, or empty.
std::string WaitForFile(const std::string& path) {
  for (int i = 0; i < 200; ++i) {
    if (test_support::Exists(path)) return ReadFile(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return std::string();
}

class RepairPrefixTest : public RepairRunTest {
 protected:
  void SetUp() override {
    RepairRunTest::SetUp();
    ASSERT_TRUE(m_scratch.Valid());
    m_prefix = m_scratch / "prefix";
    ASSERT_EQ(::mkdir(m_prefix.c_str(), 0700), 0);
    ASSERT_TRUE(WriteFile(m_prefix + "/system.reg", kSystemReg));
    ASSERT_TRUE(WriteFile(m_prefix + "/user.reg", kUserReg));
    // Named as Wine's 64-bit loader: the loader of the 64-bit view, whose HKEY_CLASSES_ROOT the
    // 32-bit view shares in a prefix without a 32-bit half.
    m_standIn = m_scratch / "wine64";
    ASSERT_TRUE(WriteFile(m_standIn, kStandIn));
    ASSERT_EQ(::chmod(m_standIn.c_str(), 0755), 0);
    m_record = m_scratch / "record.txt";
    p::UsePrefixRegistry(m_prefix);
    SetWinExecPassThrough(true);
  }
  void TearDown() override {
    p::SetFileSystem(nullptr);
    const char* pszPrefix = std::getenv("OAREPAIR_TEST_PREFIX");
    if (pszPrefix != nullptr && *pszPrefix != '\0') {
      p::UsePrefixRegistry(pszPrefix);
    } else {
      p::UseMemoryRegistry();
    }
    RepairRunTest::TearDown();
  }

  int RunProgram() {
    ScopedEnv wine("WINE", m_standIn);
    ScopedEnv record("OAREPAIR_STANDIN_RECORD", m_record);
    char szNone[] = "";
    CRepairApp app;
    return AfxWinMain(nullptr, nullptr, szNone, SW_SHOWNORMAL);
  }

  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const std::string& name : ListFolder(m_prefix)) files[name] = ReadFile(m_prefix + "/" + name);
    return files;
  }

  ScratchFolder m_scratch;
  std::string m_prefix;
  std::string m_standIn;
  std::string m_record;
};

TEST_F(RepairPrefixTest, SavesTheDeletionBeforeTheLoaderStarts) {
  EXPECT_EQ(RunProgram(), 0);

  EXPECT_GT(LastPlatformWinExecResult(), 31u);
  const std::string strRecord = WaitForFile(m_record);
  EXPECT_EQ(strRecord,
            "arg=RegSvr32\narg=/s\narg=OleAut32.dll\nprefix=" + m_prefix +
                "\nclasskey=0\nneighbour=1\n");
  ASSERT_EQ(Calls().size(), 2u);
  EXPECT_EQ(Calls()[1].strText, kMergedText);

  // Read back from the files in a new session: the class key is gone, its neighbour is not.
  const std::string strSystem = ReadFile(m_prefix + "/system.reg");
  EXPECT_EQ(strSystem.find("00020420-0000"), std::string::npos);
  EXPECT_NE(strSystem.find("00020421-0000"), std::string::npos);
  EXPECT_EQ(strSystem.rfind("WINE REGISTRY Version 2\n", 0), 0u);
  EXPECT_NE(strSystem.find("\n#arch=win64\n"), std::string::npos);
  p::UsePrefixRegistry(m_prefix);
  EXPECT_EQ(OpenClassKeyResult(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kNeighbourKeyPath));
}

TEST_F(RepairPrefixTest, FailedSaveIsReportedAndLeavesTheFilesAsTheyWere) {
  const auto before = Snapshot();
  FaultFileSystem faults;
  faults.FailNth(FsOp::kRename, 1, EIO, /*andAfter=*/true);
  faults.FailNth(FsOp::kWrite, 1, ENOSPC, /*andAfter=*/true);
  p::SetFileSystem(&faults);

  EXPECT_EQ(RunProgram(), 1);
  p::UseMemoryRegistry();  // ends the prefix session: nothing may be saved on the way out
  p::SetFileSystem(nullptr);

  EXPECT_GT(faults.InjectedFaults(), 0u);
  // The loader was not started: Wine would have worked on files that miss our change.
  EXPECT_EQ(LastPlatformWinExecResult(), 0u);
  ASSERT_EQ(Calls().size(), 2u);
  EXPECT_EQ(Calls()[0].kind, SeamCall::Kind::kWinExec);
  EXPECT_EQ(Calls()[1].strText, kFailedText);
  EXPECT_EQ(Calls()[1].nValue, static_cast<UINT>(MB_OK | MB_ICONERROR));
  EXPECT_EQ(Snapshot(), before);
  EXPECT_FALSE(test_support::Exists(m_record));
}

TEST_F(RepairPrefixTest, MissingLoaderLeavesTheViewUntouchedAndIsReported) {
  const auto before = Snapshot();
  ScopedEnv wine("WINE", m_scratch / "no-such-loader");
  char szNone[] = "";
  int nExit = 0;
  {
    CRepairApp app;
    nExit = AfxWinMain(nullptr, nullptr, szNone, SW_SHOWNORMAL);
  }
  EXPECT_EQ(nExit, 1);
  // Nothing could register the class again, so it was not deleted, and nothing was started.
  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_EQ(Calls()[0].strText, kFailedText);
  EXPECT_EQ(Snapshot(), before);
}

}  // namespace
}  // namespace oarepair::test_support
