// The application object: registration, default title, command routing and exit status.

#include "framework/WinApp.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <string>

namespace {

CWinApp* s_pCurrentApp = nullptr;

// The running program's file path, or empty when it cannot be found.
std::string ModulePath(HINSTANCE hInstance) {
#ifdef _WIN32
  char szPath[MAX_PATH + 1] = {};
  const DWORD nLength = GetModuleFileNameA(hInstance, szPath, MAX_PATH);
  if (nLength == 0 || nLength >= MAX_PATH) return std::string();
  return std::string(szPath, nLength);
#else
  (void)hInstance;
  char szPath[4096];
  const ssize_t nLength = readlink("/proc/self/exe", szPath, sizeof(szPath));
  if (nLength <= 0 || static_cast<size_t>(nLength) >= sizeof(szPath)) return std::string();
  return std::string(szPath, static_cast<size_t>(nLength));
#endif
}

// The file name of a path without its folder and its last extension.
std::string BaseTitle(const std::string& strPath) {
  const size_t nSlash = strPath.find_last_of("\\/");
  std::string strName = nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
  const size_t nDot = strName.rfind('.');
  if (nDot != std::string::npos && nDot > 0) strName.erase(nDot);
  return strName;
}

}  // namespace

const AFX_MSGMAP CWinApp::messageMap = {nullptr, &CWinApp::_messageEntries[0]};
const AFX_MSGMAP_ENTRY CWinApp::_messageEntries[] = {{0, nullptr}};

CWinApp::CWinApp(LPCSTR pszAppName)
    : m_hInstance(nullptr), m_pszAppName(nullptr), m_nExitCode(0), m_pPrevApp(s_pCurrentApp) {
  if (pszAppName != nullptr) {
    m_strAppName = pszAppName;
    m_pszAppName = m_strAppName.c_str();
  }
  s_pCurrentApp = this;
}

CWinApp::~CWinApp() {
  if (s_pCurrentApp == this) s_pCurrentApp = m_pPrevApp;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::Run() { return ExitInstance(); }

int CWinApp::ExitInstance() { return m_nExitCode; }

void CWinApp::WinHelp(DWORD dwData, UINT nCmd) {
  (void)dwData;
  (void)nCmd;
}

void CWinApp::OnHelp() { WinHelp(0, HELP_CONTENTS); }

const AFX_MSGMAP* CWinApp::GetMessageMap() const { return &CWinApp::messageMap; }

BOOL CWinApp::OnCmdMsg(UINT nID) {
  for (const AFX_MSGMAP* pMap = GetMessageMap(); pMap != nullptr; pMap = pMap->pBaseMap) {
    const AFX_MSGMAP_ENTRY* pEntry = AfxFindMessageEntry(pMap->lpEntries, nID);
    if (pEntry != nullptr) {
      (this->*(pEntry->pfn))();
      return TRUE;
    }
  }
  return FALSE;
}

void CWinApp::SetCurrentHandles(HINSTANCE hInstance) {
  m_hInstance = hInstance;
  if (m_strAppName.empty()) {
    m_strAppName = BaseTitle(ModulePath(hInstance));
    if (m_strAppName.empty()) m_strAppName = "oarepair";
  }
  m_pszAppName = m_strAppName.c_str();
}

const AFX_MSGMAP_ENTRY* AfxFindMessageEntry(const AFX_MSGMAP_ENTRY* lpEntries, UINT nID) {
  if (lpEntries == nullptr || nID == 0) return nullptr;
  for (const AFX_MSGMAP_ENTRY* pEntry = lpEntries; pEntry->nID != 0; ++pEntry)
    if (pEntry->nID == nID && pEntry->pfn != nullptr) return pEntry;
  return nullptr;
}

CWinApp* AfxGetApp() { return s_pCurrentApp; }
