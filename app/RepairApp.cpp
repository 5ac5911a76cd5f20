// The repair run: delete HKEY_CLASSES_ROOT\CLSID\{00020420-0000-0000-C000-000000000046} with its
// subtree, start "RegSvr32 /s OleAut32.dll" hidden without waiting for it, and tell the user
// whether the registration was repaired.

#include "app/RepairApp.h"

#include "framework/MessageBox.h"
#include "framework/Seams.h"
#include "regkey/LayeredRegKey.h"
#include "resource_ids.h"

const char g_szClassesKey[] = "CLSID";
const char g_szDispatchClassId[] = "{00020420-0000-0000-C000-000000000046}";
const char g_szRegisterCommand[] = "RegSvr32 /s OleAut32.dll";

namespace {

// WinExec results above 31 mean the command was started.
constexpr UINT kWinExecStarted = 31;

// Whether the class key is gone, looked at read-only. Only "not found" counts as gone: any other
// failure to look (access denied, an unusable registry) leaves the repair unconfirmed.
bool IsClassKeyGone() {
  std::string strPath = std::string(g_szClassesKey) + "\\" + g_szDispatchClassId;
  HKEY hKey = nullptr;
  const LONG nResult = RegOpenKeyExA(HKEY_CLASSES_ROOT, strPath.c_str(), 0, KEY_READ, &hKey);
  if (nResult == ERROR_SUCCESS) {
    RegCloseKey(hKey);
    return false;
  }
  return nResult == ERROR_FILE_NOT_FOUND;
}

}  // namespace

BEGIN_MESSAGE_MAP(CRepairApp, CWinApp)
  ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

CRepairApp::CRepairApp() : CWinApp(nullptr) {}

BOOL CRepairApp::InitInstance() {
  CLayeredRegKey key(HKEY_CLASSES_ROOT, g_szClassesKey, nullptr);
  key.DeleteSubKey(g_szDispatchClassId);

  // Checked before the tool starts: RegSvr32 creates the class key again, and a check after its
  // start could see the new key and call a good repair a failure.
  const bool bClassKeyGone = IsClassKeyGone();

  // The tool is started even when the deletion failed, and nothing waits for it. On Linux this
  // call is also where pending registry changes are saved; a failed save fails the start.
  const UINT nStarted = AfxWinExec(g_szRegisterCommand, SW_HIDE);

  if (bClassKeyGone && nStarted > kWinExecStarted) {
    m_nExitCode = 0;
    AfxMessageBox(IDS_REGISTRY_MERGED);
  } else {
    m_nExitCode = 1;
    AfxMessageBox(IDS_REPAIR_FAILED, MB_OK | MB_ICONERROR);
  }
  return FALSE;
}
