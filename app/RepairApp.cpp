// The repair run: delete HKEY_CLASSES_ROOT\CLSID\{00020420-0000-0000-C000-000000000046} with its
// subtree, start "RegSvr32 /s OleAut32.dll" hidden without waiting for it, and tell the user
// whether the registration was repaired.

#include "app/RepairApp.h"

#include <string>
#include <vector>

#include "framework/MessageBox.h"
#include "framework/RegistryViews.h"
#include "framework/Seams.h"
#include "regkey/LayeredRegKey.h"
#include "resource_ids.h"

const char g_szClassesKey[] = "CLSID";
const char g_szDispatchClassId[] = "{00020420-0000-0000-C000-000000000046}";
const char g_szRegisterCommand[] = "RegSvr32 /s OleAut32.dll";

namespace {

// WinExec results above 31 mean the command was started.
constexpr UINT kWinExecStarted = 31;

// Whether the class key is still there, looked at read-only: ERROR_SUCCESS when it is,
// ERROR_FILE_NOT_FOUND when it is gone. Any other failure to look (access denied, an unusable
// registry) leaves the repair unconfirmed. When it is there, `pstrRemaining` receives up to three
// names of its subkeys, comma-separated: what kept the deletion from completing (a "~Deleted"
// subkey, which the layered key never walks, or a name the narrow calls cannot spell, shown
// with '?').
LONG LookForClassKey(std::string* pstrRemaining) {
  std::string strPath = std::string(g_szClassesKey) + "\\" + g_szDispatchClassId;
  HKEY hKey = nullptr;
  const LONG nResult = RegOpenKeyExA(HKEY_CLASSES_ROOT, strPath.c_str(), 0, KEY_READ, &hKey);
  if (nResult != ERROR_SUCCESS) return nResult;
  char szName[260];
  for (DWORD nIndex = 0; nIndex < 3; ++nIndex) {
    DWORD cchName = sizeof(szName);
    if (RegEnumKeyExA(hKey, nIndex, szName, &cchName, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    if (!pstrRemaining->empty()) *pstrRemaining += ", ";
    *pstrRemaining += "\"" + std::string(szName, cchName) + "\"";
  }
  RegCloseKey(hKey);
  return nResult;
}

// What the run found and did in one registry view.
struct CViewRepair {
  BOOL m_bCanStart = FALSE;  // the tool can be started for this view
  std::string m_strCannotStart;
  LONG m_nClassKey = ERROR_SUCCESS;  // LookForClassKey after the deletion
  std::string m_strRemaining;        // the subkeys it still holds, when it is still there
};

// Why a view is not repaired, or empty when it is.
std::string FailureOf(const CViewRepair& view, UINT nStarted) {
  if (!view.m_bCanStart)
    return "left untouched: " + view.m_strCannotStart;
  if (view.m_nClassKey == ERROR_SUCCESS) {
    std::string strWhy = "the class key could not be removed";
    if (!view.m_strRemaining.empty()) strWhy += "; it still holds the subkeys " + view.m_strRemaining;
    return strWhy;
  }
  if (view.m_nClassKey != ERROR_FILE_NOT_FOUND)
    return "whether the class key is gone could not be checked (error " +
           std::to_string(view.m_nClassKey) + ")";
  if (nStarted <= kWinExecStarted)
    return std::string("\"") + g_szRegisterCommand + "\" could not be started (result " +
           std::to_string(nStarted) + ")";
  return std::string();
}

}  // namespace

BEGIN_MESSAGE_MAP(CRepairApp, CWinApp)
  ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

CRepairApp::CRepairApp() : CWinApp(nullptr) {}

BOOL CRepairApp::InitInstance() {
  // Each registry view is repaired as the Windows program of its bitness repairs its own: on
  // Windows there is one, on Linux one per view of the Wine prefix. Every view's deletion comes
  // before the first tool starts: once a Wine program runs in the prefix, its wineserver owns
  // the registry files. The deletions of all views are saved together, once.
  AfxBeginRegistryWork();
  const int nViews = AfxGetRegistryViewCount();
  std::vector<CViewRepair> views(static_cast<size_t>(nViews));
  for (int nView = 0; nView < nViews; ++nView) {
    CViewRepair& view = views[static_cast<size_t>(nView)];
    AfxSelectRegistryView(nView);
    // A view whose tool cannot start keeps its registration as it is, rather than losing it.
    view.m_bCanStart = AfxCanStartPrograms(&view.m_strCannotStart);
    if (view.m_bCanStart) {
      CLayeredRegKey key(HKEY_CLASSES_ROOT, g_szClassesKey, nullptr);
      key.DeleteSubKey(g_szDispatchClassId);
    }
    // Checked before the tool starts: RegSvr32 creates the class key again, and a check after
    // its start could see the new key and call a good repair a failure.
    view.m_nClassKey = LookForClassKey(&view.m_strRemaining);
  }
  AfxEndRegistryWork();

  BOOL bRepaired = TRUE;
  for (int nView = 0; nView < nViews; ++nView) {
    const CViewRepair& view = views[static_cast<size_t>(nView)];
    AfxSelectRegistryView(nView);
    // A view without its tool and without the class key has nothing to repair: a win64 prefix
    // whose 32-bit half was never made.
    if (!view.m_bCanStart && view.m_nClassKey == ERROR_FILE_NOT_FOUND) continue;
    // The tool is started even when the deletion failed, and nothing waits for it. On Linux
    // this call is also where pending registry changes are saved; a failed save fails the start.
    const UINT nStarted = view.m_bCanStart ? AfxWinExec(g_szRegisterCommand, SW_HIDE) : 0;
    const std::string strFailure = FailureOf(view, nStarted);
    if (!strFailure.empty()) {
      bRepaired = FALSE;
      AfxReportProblem((std::string(AfxGetRegistryViewName(nView)) + ": " + strFailure).c_str());
    }
  }

  if (bRepaired) {
    m_nExitCode = 0;
    AfxMessageBox(IDS_REGISTRY_MERGED);
  } else {
    m_nExitCode = 1;
    AfxMessageBox(IDS_REPAIR_FAILED, MB_OK | MB_ICONERROR);
  }
  return FALSE;
}
