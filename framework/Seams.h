// The two doors from the framework and the application to the outside world, process start and
// the message box, each one replaceable function so tests can record the calls and their order.
#pragma once

#include <string>

#include "platform/win32.h"

using WinExecFn = UINT (*)(LPCSTR pszCmdLine, UINT nCmdShow);
using MessageBoxFn = int (*)(HWND hWnd, LPCSTR pszText, LPCSTR pszCaption, UINT nType);
using CanStartFn = BOOL (*)(std::string* pstrWhy);

// Replaces the function behind AfxWinExec / AfxShowMessageBox and returns the one it replaced.
// Null restores the platform's WinExec / MessageBoxA.
WinExecFn AfxSetWinExecHook(WinExecFn pfnHook);
MessageBoxFn AfxSetMessageBoxHook(MessageBoxFn pfnHook);

// Replaces the function behind AfxCanStartPrograms and returns the one it replaced (null: the
// platform's answer, which null restores).
CanStartFn AfxSetCanStartHook(CanStartFn pfnHook);

// Whether AfxWinExec can start a program that sees the selected registry view: always on
// Windows; on Linux when Wine's loader of that view's bitness is there. When not, `pstrWhy`
// says why.
BOOL AfxCanStartPrograms(std::string* pstrWhy);

// Starts a command line (the platform's WinExec unless replaced).
UINT AfxWinExec(LPCSTR pszCmdLine, UINT nCmdShow);
// Shows a message box (the platform's MessageBoxA unless replaced).
int AfxShowMessageBox(HWND hWnd, LPCSTR pszText, LPCSTR pszCaption, UINT nType);
