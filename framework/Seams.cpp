// Process start and message box behind replaceable function pointers.

#include "framework/Seams.h"

namespace {

UINT PlatformWinExec(LPCSTR pszCmdLine, UINT nCmdShow) { return ::WinExec(pszCmdLine, nCmdShow); }

int PlatformMessageBox(HWND hWnd, LPCSTR pszText, LPCSTR pszCaption, UINT nType) {
  return ::MessageBoxA(hWnd, pszText, pszCaption, nType);
}

WinExecFn s_pfnWinExec = &PlatformWinExec;
MessageBoxFn s_pfnMessageBox = &PlatformMessageBox;

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

UINT AfxWinExec(LPCSTR pszCmdLine, UINT nCmdShow) { return s_pfnWinExec(pszCmdLine, nCmdShow); }

int AfxShowMessageBox(HWND hWnd, LPCSTR pszText, LPCSTR pszCaption, UINT nType) {
  return s_pfnMessageBox(hWnd, pszText, pszCaption, nType);
}
