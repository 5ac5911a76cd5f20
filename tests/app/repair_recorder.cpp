// Recording hooks for the repair run's seams.
#include "tests/app/repair_recorder.h"

#include <cstdlib>
#include <cstring>

#include "framework/Seams.h"
#include "tests/support/scratch_key.h"

#ifndef _WIN32
#include "platform/registry_control.h"
#endif

namespace oarepair::test_support {

const char kClassKeyPath[] = "CLSID\\{00020420-0000-0000-C000-000000000046}";
const char kNeighbourKeyPath[] = "CLSID\\{00020421-0000-0000-C000-000000000046}\\InprocServer32";

namespace {

std::vector<SeamCall> s_aCalls;
UINT s_nWinExecResult = 33;
bool s_bPassThrough = false;
bool s_bRegistersClass = false;
UINT s_nPlatformResult = 0;

unsigned long long RegistryCallsSoFar() {
#ifdef _WIN32
  return 0;
#else
  return platform::RegistryCallCount();
#endif
}

UINT RecordWinExec(LPCSTR pszCmdLine, UINT nCmdShow) {
  const unsigned long long nCalls = RegistryCallsSoFar();
  s_aCalls.push_back({SeamCall::Kind::kWinExec, pszCmdLine != nullptr ? pszCmdLine : "", "",
                      nCmdShow, OpenClassKeyResult(), nCalls});
  if (s_bRegistersClass) {
    EXPECT_TRUE(CreateKeyPath(HKEY_CLASSES_ROOT, std::string(kClassKeyPath) + "\\InprocServer32"));
  }
  if (s_bPassThrough) {
    s_nPlatformResult = ::WinExec(pszCmdLine, nCmdShow);
    return s_nPlatformResult;
  }
  return s_nWinExecResult;
}

// Programs can start, as the recording WinExec starts none; passing through, the platform says.
BOOL RecordCanStart(std::string* pstrWhy) {
  if (!s_bPassThrough) return TRUE;
  const CanStartFn pfnSelf = AfxSetCanStartHook(nullptr);
  const BOOL bCan = AfxCanStartPrograms(pstrWhy);
  AfxSetCanStartHook(pfnSelf);
  return bCan;
}

int RecordMessageBox(HWND hWnd, LPCSTR pszText, LPCSTR pszCaption, UINT nType) {
  (void)hWnd;
  const unsigned long long nCalls = RegistryCallsSoFar();
  s_aCalls.push_back({SeamCall::Kind::kMessageBox, pszText != nullptr ? pszText : "",
                      pszCaption != nullptr ? pszCaption : "<null>", nType, OpenClassKeyResult(),
                      nCalls});
  return IDOK;
}

#ifdef _WIN32
bool RunningUnderWine() {
  HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
  return hNtdll != nullptr && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
}
#endif

}  // namespace

LONG OpenClassKeyResult() {
  HKEY hKey = nullptr;
  const LONG nResult = RegOpenKeyExA(HKEY_CLASSES_ROOT, kClassKeyPath, 0, KEY_READ, &hKey);
  if (nResult == ERROR_SUCCESS) RegCloseKey(hKey);
  return nResult;
}

void RepairRunTest::SetUp() {
#ifdef _WIN32
  const char* pszAllow = std::getenv("OAREPAIR_ALLOW_REGISTRY_TESTS");
  if (!RunningUnderWine() && (pszAllow == nullptr || std::strcmp(pszAllow, "1") != 0)) {
    GTEST_SKIP() << "these tests delete HKEY_CLASSES_ROOT\\" << kClassKeyPath
                 << "; they run under Wine, or with OAREPAIR_ALLOW_REGISTRY_TESTS=1";
  }
#endif
  s_aCalls.clear();
  s_nWinExecResult = 33;
  s_bPassThrough = false;
  s_bRegistersClass = false;
  s_nPlatformResult = 0;
  AfxSetWinExecHook(&RecordWinExec);
  AfxSetCanStartHook(&RecordCanStart);
  AfxSetMessageBoxHook(&RecordMessageBox);
  ASSERT_TRUE(CreateKeyPath(HKEY_CLASSES_ROOT, "CLSID"));
  if (KeyExists(HKEY_CLASSES_ROOT, kClassKeyPath)) {
    ASSERT_EQ(DeleteKeyTree(HKEY_CLASSES_ROOT, kClassKeyPath), ERROR_SUCCESS);
  }
  ASSERT_TRUE(CreateKeyPath(HKEY_CLASSES_ROOT, kNeighbourKeyPath));
}

void RepairRunTest::TearDown() {
  AfxSetWinExecHook(nullptr);
  AfxSetCanStartHook(nullptr);
  AfxSetMessageBoxHook(nullptr);
#ifndef _WIN32
  platform::FailRegistryCallAt(0, ERROR_SUCCESS);
#endif
}

void RepairRunTest::MakeDamagedClassKey() {
  const std::string strClass = kClassKeyPath;
  ASSERT_TRUE(CreateKeyPath(HKEY_CLASSES_ROOT, strClass + "\\InprocServer32"));
  ASSERT_TRUE(CreateKeyPath(HKEY_CLASSES_ROOT, strClass + "\\Junk\\Level2\\Level3"));
  ASSERT_TRUE(CreateKeyPath(HKEY_CLASSES_ROOT, strClass + "\\Junk\\Other"));
  ASSERT_EQ(OpenClassKeyResult(), ERROR_SUCCESS);
}

const std::vector<SeamCall>& RepairRunTest::Calls() const { return s_aCalls; }

void RepairRunTest::SetWinExecResult(UINT nResult) { s_nWinExecResult = nResult; }

void RepairRunTest::SetWinExecPassThrough(bool bPassThrough) { s_bPassThrough = bPassThrough; }

void RepairRunTest::SetWinExecRegistersClass(bool bRegisters) { s_bRegistersClass = bRegisters; }

UINT RepairRunTest::LastPlatformWinExecResult() const { return s_nPlatformResult; }

}  // namespace oarepair::test_support
