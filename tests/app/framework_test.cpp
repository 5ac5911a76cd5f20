// The framework under the repair application: the application object's registration, start-up
// and exit, the default title, the string table and AfxMessageBox, and the replaceable doors.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/MessageBox.h"
#include "framework/Seams.h"
#include "framework/WinApp.h"
#include "resource_ids.h"

namespace oarepair::test_support {
namespace {

// Counts the framework's calls into the application object.
class CCountingApp : public CWinApp {
 public:
  explicit CCountingApp(BOOL bInitResult, LPCSTR pszAppName = nullptr)
      : CWinApp(pszAppName), m_bInitResult(bInitResult) {}
  BOOL InitInstance() override {
    m_aEvents.push_back("InitInstance");
    m_nExitCode = 5;
    return m_bInitResult;
  }
  int Run() override {
    m_aEvents.push_back("Run");
    return CWinApp::Run();
  }
  int ExitInstance() override {
    m_aEvents.push_back("ExitInstance");
    return CWinApp::ExitInstance();
  }
  BOOL m_bInitResult;
  std::vector<std::string> m_aEvents;
};

int CallWinMain() {
  char szNone[] = "";
  return AfxWinMain(nullptr, nullptr, szNone, SW_SHOWNORMAL);
}

TEST(ApplicationObject, RegistersItselfWhileItLives) {
  EXPECT_EQ(AfxGetApp(), nullptr);
  {
    CCountingApp app(FALSE);
    EXPECT_EQ(AfxGetApp(), &app);
  }
  EXPECT_EQ(AfxGetApp(), nullptr);
}

TEST(ApplicationObject, WinMainWithoutApplicationObjectFails) {
  ASSERT_EQ(AfxGetApp(), nullptr);
  EXPECT_EQ(CallWinMain(), -1);
}

TEST(ApplicationObject, FailedStartUpGoesStraightToExitProcessing) {
  CCountingApp app(FALSE);
  EXPECT_EQ(CallWinMain(), 5);
  EXPECT_EQ(app.m_aEvents, (std::vector<std::string>{"InitInstance", "ExitInstance"}));
}

TEST(ApplicationObject, SuccessfulStartUpRunsThenExits) {
  CCountingApp app(TRUE);
  EXPECT_EQ(CallWinMain(), 5);
  EXPECT_EQ(app.m_aEvents, (std::vector<std::string>{"InitInstance", "Run", "ExitInstance"}));
}

TEST(ApplicationObject, DefaultTitleIsTheProgramName) {
  CCountingApp app(FALSE);
  EXPECT_EQ(app.m_pszAppName, nullptr);
  CallWinMain();
  ASSERT_NE(app.m_pszAppName, nullptr);
  EXPECT_STREQ(app.m_pszAppName, "app_tests");
}

TEST(ApplicationObject, GivenTitleIsKept) {
  CCountingApp app(FALSE, "Given Title");
  CallWinMain();
  EXPECT_STREQ(app.m_pszAppName, "Given Title");
}

TEST(ApplicationObject, BaseApplicationHasNoCommands) {
  CCountingApp app(FALSE);
  EXPECT_EQ(app.OnCmdMsg(ID_HELP), FALSE);
  EXPECT_EQ(AfxFindMessageEntry(app.GetMessageMap()->lpEntries, ID_HELP), nullptr);
}

// Records message boxes; answers with s_nAnswer.
struct BoxRecord {
  std::string strText;
  std::string strCaption;
  UINT nType;
};
std::vector<BoxRecord> s_aBoxes;
int s_nAnswer = IDOK;

int RecordBox(HWND, LPCSTR pszText, LPCSTR pszCaption, UINT nType) {
  s_aBoxes.push_back({pszText != nullptr ? pszText : "<null>",
                      pszCaption != nullptr ? pszCaption : "<null>", nType});
  return s_nAnswer;
}

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s_aBoxes.clear();
    s_nAnswer = IDOK;
    AfxSetMessageBoxHook(&RecordBox);
  }
  void TearDown() override { AfxSetMessageBoxHook(nullptr); }
};

TEST_F(MessageBoxTest, StringTableHoldsBothMessages) {
  std::string strText;
  ASSERT_TRUE(AfxLoadString(IDS_REGISTRY_MERGED, &strText));
  EXPECT_EQ(strText, "Registry entries successfully merged");
  ASSERT_TRUE(AfxLoadString(IDS_REPAIR_FAILED, &strText));
  EXPECT_EQ(strText, "The OLE Automation registration could not be repaired.");
  EXPECT_EQ(IDS_REGISTRY_MERGED, 1);
  EXPECT_EQ(IDS_REPAIR_FAILED, 2);
}

TEST_F(MessageBoxTest, MissingStringIsNotLoaded) {
  std::string strText = "left over";
  EXPECT_FALSE(AfxLoadString(3, &strText));
  EXPECT_TRUE(strText.empty());
  EXPECT_FALSE(AfxLoadString(0, &strText));
}

TEST_F(MessageBoxTest, ShowsTheStringWithTheApplicationTitle) {
  CCountingApp app(FALSE, "Caption");
  s_nAnswer = IDCANCEL;
  EXPECT_EQ(AfxMessageBox(IDS_REGISTRY_MERGED), IDCANCEL);  // the box's answer comes back
  ASSERT_EQ(s_aBoxes.size(), 1u);
  EXPECT_EQ(s_aBoxes[0].strText, "Registry entries successfully merged");
  EXPECT_EQ(s_aBoxes[0].strCaption, "Caption");
  EXPECT_EQ(s_aBoxes[0].nType, static_cast<UINT>(MB_OK));
}

TEST_F(MessageBoxTest, TypeIsPassedUnchanged) {
  CCountingApp app(FALSE, "Caption");
  AfxMessageBox(IDS_REPAIR_FAILED, MB_OK | MB_ICONERROR);
  ASSERT_EQ(s_aBoxes.size(), 1u);
  EXPECT_EQ(s_aBoxes[0].nType, static_cast<UINT>(MB_OK | MB_ICONERROR));
}

TEST_F(MessageBoxTest, MissingStringShowsNothing) {
  CCountingApp app(FALSE, "Caption");
  EXPECT_EQ(AfxMessageBox(999), 0);
  EXPECT_TRUE(s_aBoxes.empty());
}

UINT FirstExecHook(LPCSTR, UINT) { return 101; }
UINT SecondExecHook(LPCSTR, UINT) { return 102; }

TEST(Seams, WinExecHookIsReplacedAndHandedBack) {
  const WinExecFn pfnPlatform = AfxSetWinExecHook(&FirstExecHook);
  EXPECT_EQ(AfxWinExec("anything", SW_HIDE), 101u);
  EXPECT_EQ(AfxSetWinExecHook(&SecondExecHook), &FirstExecHook);
  EXPECT_EQ(AfxWinExec("anything", SW_HIDE), 102u);
  EXPECT_EQ(AfxSetWinExecHook(nullptr), &SecondExecHook);
  // Null restored the platform's function, the same one that was there at the start.
  EXPECT_EQ(AfxSetWinExecHook(nullptr), pfnPlatform);
}

TEST(Seams, PlatformWinExecRefusesAnEmptyCommandLine) {
  AfxSetWinExecHook(nullptr);
  EXPECT_LE(AfxWinExec("", SW_HIDE), 31u);
}

int FirstBoxHook(HWND, LPCSTR, LPCSTR, UINT) { return 11; }

TEST(Seams, MessageBoxHookIsReplacedAndHandedBack) {
  const MessageBoxFn pfnPlatform = AfxSetMessageBoxHook(&FirstBoxHook);
  EXPECT_EQ(AfxShowMessageBox(nullptr, "text", "caption", MB_OK), 11);
  EXPECT_EQ(AfxSetMessageBoxHook(nullptr), &FirstBoxHook);
  EXPECT_EQ(AfxSetMessageBoxHook(nullptr), pfnPlatform);
}

}  // namespace
}  // namespace oarepair::test_support
