// Loading strings from the program's string table and showing them.

#include "framework/MessageBox.h"

#include "framework/Seams.h"
#include "framework/WinApp.h"

#ifndef _WIN32
#include "framework/StringResources.h"
#endif

bool AfxLoadString(UINT nID, std::string* pstrText) {
  pstrText->clear();
#ifdef _WIN32
  CWinApp* pApp = AfxGetApp();
  HINSTANCE hInstance = pApp != nullptr && pApp->m_hInstance != nullptr
                            ? pApp->m_hInstance
                            : GetModuleHandleA(nullptr);
  char szBuffer[1024];
  const int nLength = LoadStringA(hInstance, nID, szBuffer, static_cast<int>(sizeof(szBuffer)));
  if (nLength <= 0) return false;
  pstrText->assign(szBuffer, static_cast<size_t>(nLength));
  return true;
#else
  for (size_t i = 0; i < afxStringResourceCount; ++i) {
    if (afxStringResources[i].nID == nID) {
      *pstrText = afxStringResources[i].pszText;
      return true;
    }
  }
  return false;
#endif
}

int AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp) {
  (void)nIDHelp;
  std::string strText;
  if (!AfxLoadString(nIDPrompt, &strText)) return 0;
  CWinApp* pApp = AfxGetApp();
  LPCSTR pszCaption = pApp != nullptr ? pApp->m_pszAppName : nullptr;
  return AfxShowMessageBox(nullptr, strText.c_str(), pszCaption, nType);
}
