// The repair run when registry calls fail (Linux, through the registry's fault counter): a key
// that cannot be opened, deleted or looked at is never reported as repaired.
#include <gtest/gtest.h>

#include "app/RepairApp.h"
#include "platform/registry_control.h"
#include "tests/app/repair_recorder.h"
#include "tests/support/scratch_key.h"

namespace oarepair::test_support {
namespace {

namespace p = oarepair::platform;

const char kMergedText[] = "Registry entries successfully merged";
const char kFailedText[] = "The OLE Automation registration could not be repaired.";

int RunProgram() {
  char szNone[] = "";
  CRepairApp app;
  return AfxWinMain(nullptr, nullptr, szNone, SW_SHOWNORMAL);
}

// The first registry call of the run opens "CLSID" for full access. Without that right nothing is
// deleted; the tool is still started, and the run reports the failure.
TEST_F(RepairRunTest, NoRightToOpenClassesKeyReportsFailure) {
  MakeDamagedClassKey();
  p::FailRegistryCallAt(1, ERROR_ACCESS_DENIED);

  EXPECT_EQ(RunProgram(), 1);

  ASSERT_EQ(Calls().size(), 2u);
  EXPECT_EQ(Calls()[0].kind, SeamCall::Kind::kWinExec);
  EXPECT_EQ(Calls()[0].strText, "RegSvr32 /s OleAut32.dll");
  EXPECT_EQ(Calls()[0].nClassKeyOpen, ERROR_SUCCESS);
  EXPECT_EQ(Calls()[1].strText, kFailedText);
  EXPECT_EQ(Calls()[1].nValue, static_cast<UINT>(MB_OK | MB_ICONERROR));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, std::string(kClassKeyPath) + "\\Junk\\Level2\\Level3"));
}

// Finds how many registry calls a clean run makes before the tool starts; the last of them is the
// read-only look at the class key.
unsigned long long CallsBeforeToolStart(const std::vector<SeamCall>& aCalls,
                                        unsigned long long nStart) {
  return aCalls.at(0).nRegistryCalls - nStart;
}

TEST_F(RepairRunTest, ClassKeyThatCannotBeLookedAtIsNotCountedAsGone) {
  MakeDamagedClassKey();
  const unsigned long long nStart = p::RegistryCallCount();
  ASSERT_EQ(RunProgram(), 0);
  ASSERT_EQ(Calls().size(), 2u);
  const unsigned long long nCheck = CallsBeforeToolStart(Calls(), nStart);
  ASSERT_GT(nCheck, 1u);

  const LONG aErrors[] = {ERROR_ACCESS_DENIED, ERROR_REGISTRY_IO_FAILED, ERROR_NOT_ENOUGH_MEMORY};
  for (LONG nError : aErrors) {
    SCOPED_TRACE(nError);
    SetUp();
    MakeDamagedClassKey();
    p::FailRegistryCallAt(nCheck, nError);

    EXPECT_EQ(RunProgram(), 1);

    ASSERT_EQ(Calls().size(), 2u);
    // The deletion itself worked: only the look at the result failed.
    EXPECT_EQ(Calls()[0].nClassKeyOpen, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Calls()[1].strText, kFailedText);
  }
}

TEST_F(RepairRunTest, CheckThatFindsNothingCountsAsGone) {
  MakeDamagedClassKey();
  const unsigned long long nStart = p::RegistryCallCount();
  ASSERT_EQ(RunProgram(), 0);
  const unsigned long long nCheck = CallsBeforeToolStart(Calls(), nStart);

  SetUp();
  MakeDamagedClassKey();
  // The injected "not found" stands in for the check's own answer: the run trusts exactly that.
  p::FailRegistryCallAt(nCheck, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RunProgram(), 0);
  ASSERT_EQ(Calls().size(), 2u);
  EXPECT_EQ(Calls()[1].strText, kMergedText);
}

// Any failing call inside the deletion leaves the class key (or part of it) behind; whatever call
// fails, a run that reports success must have removed the key.
TEST_F(RepairRunTest, NoFailingCallIsReportedAsSuccessWhileTheKeyRemains) {
  MakeDamagedClassKey();
  const unsigned long long nStart = p::RegistryCallCount();
  ASSERT_EQ(RunProgram(), 0);
  const unsigned long long nCheck = CallsBeforeToolStart(Calls(), nStart);

  int nFailures = 0;
  for (unsigned long long n = 1; n <= nCheck; ++n) {
    SCOPED_TRACE(n);
    SetUp();
    MakeDamagedClassKey();
    p::FailRegistryCallAt(n, ERROR_ACCESS_DENIED);
    const int nExit = RunProgram();
    p::FailRegistryCallAt(0, ERROR_SUCCESS);
    ASSERT_EQ(Calls().size(), 2u);
    const bool bGone = !KeyExists(HKEY_CLASSES_ROOT, kClassKeyPath);
    if (nExit == 0) {
      EXPECT_TRUE(bGone);
      EXPECT_EQ(Calls()[1].strText, kMergedText);
    } else {
      EXPECT_EQ(nExit, 1);
      EXPECT_EQ(Calls()[1].strText, kFailedText);
      ++nFailures;
    }
  }
  // Most calls of the deletion matter: failing them must show.
  EXPECT_GT(nFailures, 0);
}

}  // namespace
}  // namespace oarepair::test_support
