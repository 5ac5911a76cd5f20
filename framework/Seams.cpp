// Process start and message box behind replaceable function pointers.

#include "framework/Seams.h"

#ifndef _WIN32
#include <cerrno>
#include <cstring>

#include "platform/registry_control.h"
#include "platform/wine_loader.h"
#endif

namespace {

UINT PlatformWinExec(LPCSTR pszCmdLine, UINT nCmdShow) { return ::WinExec(pszCmdLine, nCmdShow); }

int PlatformMessageBox(HWND hWnd, LPCSTR pszText, LPCSTR pszCaption, UINT nType) {
  return ::MessageBoxA(hWnd, pszText, pszCaption, nType);
}

BOOL PlatformCanStart(std::string* pstrWhy) {
#ifdef _WIN32
  (void)pstrWhy;
  return TRUE;
#else
  namespace p = oarepair::platform;
  const p::RegistryView view = p::CurrentRegistryView();
  std::string strLooked;
  const char* pszBits = view == p::RegistryView::k64Bit ? "64" : "32";
  const std::string strLoader = p::FindWineLoader(view, p::DefaultLoaderPlaces(), &strLooked);
  if (strLoader.empty()) {
    *pstrWhy = std::string("no ") + pszBits + "-bit Wine loader (looked for " + strLooked + ")";
    return FALSE;
  }
  // Debian installs the 32-bit loader also where the kernel cannot run 32-bit programs.
  const int nError = p::CheckLoaderRuns(strLoader);
  if (nError == 0) return TRUE;
  *pstrWhy = strLoader + " does not start here (" +
             (nError == ENOEXEC ? std::string("this kernel cannot run ") + pszBits + "-bit programs"
                                : std::string(std::strerror(nError))) +
             ")";
  return FALSE;
#endif
}

WinExecFn s_pfnWinExec = &PlatformWinExec;
MessageBoxFn s_pfnMessageBox = &PlatformMessageBox;
CanStartFn s_pfnCanStart = nullptr;

}  // namespace

WinExecFn AfxSetWinExecHook(WinExecFn pfnHook) {
  const WinExecFn pfnOld = s_pfnWinExec;
  s_pfnWinExec = pfnHook != nullptr ? pfnHook : &PlatformWinExec;
  return pfnOld;
}

MessageBoxFn AfxSetMessageBoxHook(MessageBoxFn pfnHook) {
  const MessageBoxFn pfnOld = s_pfnMessageBox;
  s_pfnMessageBox = pfnHook != nullptr ? pfnHook : &PlatformMessageBox;
  return pfnOld;
}

CanStartFn AfxSetCanStartHook(CanStartFn pfnHook) {
  const CanStartFn pfnOld = s_pfnCanStart;
  s_pfnCanStart = pfnHook;
  return pfnOld;
}

BOOL AfxCanStartPrograms(std::string* pstrWhy) {
  return s_pfnCanStart != nullptr ? s_pfnCanStart(pstrWhy) : PlatformCanStart(pstrWhy);
}

UINT AfxWinExec(LPCSTR pszCmdLine, UINT nCmdShow) { return s_pfnWinExec(pszCmdLine, nCmdShow); }

int AfxShowMessageBox(HWND hWnd, LPCSTR pszText, LPCSTR pszCaption, UINT nType) {
  return s_pfnMessageBox(hWnd, pszText, pszCaption, nType);
}
