// The repair run through its seams: what it deletes, what it starts, what it shows, in which
// order, and the exit status it leaves. The same tests run on Linux and under Wine.
#include <string>

#include <gtest/gtest.h>

#include "app/RepairApp.h"
#include "tests/app/repair_recorder.h"
#include "tests/support/scratch_key.h"

namespace oarepair::test_support {
namespace {

const char kMergedText[] = "Registry entries successfully merged";
const char kFailedText[] = "The OLE Automation registration could not be repaired.";
const char kCommandLine[] = "RegSvr32 /s OleAut32.dll";
// The default title: the test program's file name without extension.
const char kTitle[] = "app_tests";

using Kind = SeamCall::Kind;

// Runs the whole program's start-up and exit on a fresh application object.
int RunProgram(LPSTR pszCmdLine = nullptr, int nCmdShow = SW_SHOWNORMAL) {
  char szNone[] = "";
  CRepairApp app;
  return AfxWinMain(nullptr, nullptr, pszCmdLine != nullptr ? pszCmdLine : szNone, nCmdShow);
}

TEST_F(RepairRunTest, DeletesTheDamagedKeyThenStartsTheToolThenReportsSuccess) {
  MakeDamagedClassKey();

  EXPECT_EQ(RunProgram(), 0);

  ASSERT_EQ(Calls().size(), 2u);
  const SeamCall& exec = Calls()[0];
  EXPECT_EQ(exec.kind, Kind::kWinExec);
  EXPECT_EQ(exec.strText, kCommandLine);
  EXPECT_EQ(exec.nValue, static_cast<UINT>(SW_HIDE));
  // The whole class key was gone before the tool was started.
  EXPECT_EQ(exec.nClassKeyOpen, ERROR_FILE_NOT_FOUND);

  const SeamCall& box = Calls()[1];
  EXPECT_EQ(box.kind, Kind::kMessageBox);
  EXPECT_EQ(box.strText, kMergedText);
  EXPECT_EQ(box.nValue, static_cast<UINT>(MB_OK));
  EXPECT_EQ(box.strCaption, kTitle);

  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKeyPath));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kNeighbourKeyPath));
}

// The registration tool creates the class key again, possibly before WinExec returns: the run
// judges its deletion before the tool starts, so a good repair is not reported as a failure.
TEST_F(RepairRunTest, ToolThatRegistersAtOnceDoesNotTurnSuccessIntoFailure) {
  MakeDamagedClassKey();
  SetWinExecRegistersClass(true);

  EXPECT_EQ(RunProgram(), 0);

  ASSERT_EQ(Calls().size(), 2u);
  EXPECT_EQ(Calls()[0].nClassKeyOpen, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Calls()[1].nClassKeyOpen, ERROR_SUCCESS);
  EXPECT_EQ(Calls()[1].strText, kMergedText);
}

TEST_F(RepairRunTest, InitInstanceReturnsFalseAndLeavesExitStatusZero) {
  MakeDamagedClassKey();
  CRepairApp app;
  app.m_nExitCode = 7;  // the run must set the status itself

  EXPECT_EQ(app.InitInstance(), FALSE);

  EXPECT_EQ(app.m_nExitCode, 0);
  EXPECT_EQ(app.ExitInstance(), 0);
  ASSERT_EQ(Calls().size(), 2u);
}

TEST_F(RepairRunTest, AbsentClassKeyStillStartsTheToolAndReportsSuccess) {
  ASSERT_EQ(OpenClassKeyResult(), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(RunProgram(), 0);

  ASSERT_EQ(Calls().size(), 2u);
  EXPECT_EQ(Calls()[0].kind, Kind::kWinExec);
  EXPECT_EQ(Calls()[0].strText, kCommandLine);
  EXPECT_EQ(Calls()[1].kind, Kind::kMessageBox);
  EXPECT_EQ(Calls()[1].strText, kMergedText);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kNeighbourKeyPath));
}

TEST_F(RepairRunTest, ClassKeyWithoutChildrenIsDeleted) {
  ASSERT_TRUE(CreateKeyPath(HKEY_CLASSES_ROOT, kClassKeyPath));

  EXPECT_EQ(RunProgram(), 0);

  ASSERT_EQ(Calls().size(), 2u);
  EXPECT_EQ(Calls()[0].nClassKeyOpen, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Calls()[1].strText, kMergedText);
}

// A "~Deleted" child is never walked by the layered key's deletion, so the class key keeps a
// subkey and cannot be removed: the run must say so instead of claiming success.
TEST_F(RepairRunTest, UndeletableClassKeyStillStartsTheToolAndReportsFailure) {
  MakeDamagedClassKey();
  ASSERT_TRUE(CreateKeyPath(HKEY_CLASSES_ROOT, std::string(kClassKeyPath) + "\\~Deleted"));

  EXPECT_EQ(RunProgram(), 1);

  ASSERT_EQ(Calls().size(), 2u);
  EXPECT_EQ(Calls()[0].kind, Kind::kWinExec);
  EXPECT_EQ(Calls()[0].strText, kCommandLine);
  EXPECT_EQ(Calls()[0].nValue, static_cast<UINT>(SW_HIDE));
  EXPECT_EQ(Calls()[0].nClassKeyOpen, ERROR_SUCCESS);
  EXPECT_EQ(Calls()[1].kind, Kind::kMessageBox);
  EXPECT_EQ(Calls()[1].strText, kFailedText);
  EXPECT_EQ(Calls()[1].nValue, static_cast<UINT>(MB_OK | MB_ICONERROR));
  EXPECT_EQ(Calls()[1].strCaption, kTitle);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKeyPath));
}

// WinExec reports a started program with a value above 31; everything else is a failure.
class RepairRunWinExecResultTest : public RepairRunTest,
                                   public ::testing::WithParamInterface<UINT> {};

TEST_P(RepairRunWinExecResultTest, ToolThatCouldNotStartIsReportedAsFailure) {
  MakeDamagedClassKey();
  SetWinExecResult(GetParam());

  EXPECT_EQ(RunProgram(), 1);

  ASSERT_EQ(Calls().size(), 2u);
  EXPECT_EQ(Calls()[0].nClassKeyOpen, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Calls()[1].strText, kFailedText);
  EXPECT_EQ(Calls()[1].nValue, static_cast<UINT>(MB_OK | MB_ICONERROR));
}

INSTANTIATE_TEST_SUITE_P(FailureCodes, RepairRunWinExecResultTest,
                         ::testing::Values(0u, static_cast<UINT>(ERROR_FILE_NOT_FOUND),
                                           static_cast<UINT>(ERROR_PATH_NOT_FOUND),
                                           static_cast<UINT>(ERROR_BAD_FORMAT), 31u));

TEST_F(RepairRunTest, AnyResultAboveThirtyOneCountsAsStarted) {
  for (UINT nResult : {32u, 33u, 0x7FFFFFFFu}) {
    SCOPED_TRACE(nResult);
    SetUp();
    MakeDamagedClassKey();
    SetWinExecResult(nResult);
    EXPECT_EQ(RunProgram(), 0);
    ASSERT_EQ(Calls().size(), 2u);
    EXPECT_EQ(Calls()[1].strText, kMergedText);
  }
}

TEST_F(RepairRunTest, CommandLineAndShowStateChangeNothing) {
  char szArgs[] = "/x --help C:\\other.dll RegSvr32 /u";
  struct Variant {
    LPSTR pszCmdLine;
    int nCmdShow;
  };
  const Variant aVariants[] = {{nullptr, SW_SHOWNORMAL}, {szArgs, SW_HIDE}, {szArgs, SW_SHOW}};
  for (const Variant& variant : aVariants) {
    SCOPED_TRACE(variant.pszCmdLine != nullptr ? variant.pszCmdLine : "(empty)");
    SetUp();
    MakeDamagedClassKey();
    EXPECT_EQ(RunProgram(variant.pszCmdLine, variant.nCmdShow), 0);
    ASSERT_EQ(Calls().size(), 2u);
    EXPECT_EQ(Calls()[0].strText, kCommandLine);
    EXPECT_EQ(Calls()[0].nValue, static_cast<UINT>(SW_HIDE));
    EXPECT_EQ(Calls()[0].nClassKeyOpen, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Calls()[1].strText, kMergedText);
    EXPECT_EQ(Calls()[1].nValue, static_cast<UINT>(MB_OK));
  }
}

TEST_F(RepairRunTest, SecondRunFindsNothingToDeleteAndStillSucceeds) {
  MakeDamagedClassKey();
  EXPECT_EQ(RunProgram(), 0);
  SetUp();
  EXPECT_EQ(RunProgram(), 0);
  ASSERT_EQ(Calls().size(), 2u);
  EXPECT_EQ(Calls()[1].strText, kMergedText);
}

TEST_F(RepairRunTest, HelpCommandIsTheOnlyEntryOfTheMessageMap) {
  CRepairApp app;
  const AFX_MSGMAP* pMap = app.GetMessageMap();
  ASSERT_NE(pMap, nullptr);
  ASSERT_NE(pMap->lpEntries, nullptr);
  EXPECT_EQ(pMap->lpEntries[0].nID, static_cast<UINT>(0xE146));
  EXPECT_TRUE(pMap->lpEntries[0].pfn == static_cast<AFX_PMSG>(&CWinApp::OnHelp));
  EXPECT_EQ(pMap->lpEntries[1].nID, 0u);
  // The chain continues with the framework's own (empty) table.
  EXPECT_EQ(pMap->pBaseMap, app.CWinApp::GetMessageMap());
}

// Records WinHelp, which the framework's Help handler calls.
class CHelpRecordingApp : public CRepairApp {
 public:
  void WinHelp(DWORD dwData, UINT nCmd) override {
    ++m_nHelpCalls;
    m_nLastCmd = nCmd;
    (void)dwData;
  }
  int m_nHelpCalls = 0;
  UINT m_nLastCmd = 0;
};

TEST_F(RepairRunTest, HelpCommandIsRoutedToTheFrameworkHelpHandler) {
  CHelpRecordingApp app;
  EXPECT_EQ(app.OnCmdMsg(ID_HELP), TRUE);
  EXPECT_EQ(app.m_nHelpCalls, 1);
  EXPECT_EQ(app.m_nLastCmd, static_cast<UINT>(HELP_CONTENTS));

  EXPECT_EQ(app.OnCmdMsg(0xE147), FALSE);
  EXPECT_EQ(app.OnCmdMsg(0), FALSE);
  EXPECT_EQ(app.m_nHelpCalls, 1);
  // Routing a command runs no part of the repair.
  EXPECT_TRUE(Calls().empty());
}

}  // namespace
}  // namespace oarepair::test_support
