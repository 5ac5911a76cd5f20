// The registry views a run serves, one after the other. A Windows program sees one view, that of
// its own bitness. On Linux the program stands for a whole Wine prefix and serves every view the
// prefix has: the 64-bit view, then the 32-bit (WoW64) one; a win32 prefix has its one view.
#pragma once

#include "platform/win32.h"

// Brackets the registry work of every view: on Linux the prefix is then locked once and each
// changed registry file saved once, at the end. Nothing on Windows.
void AfxBeginRegistryWork();
void AfxEndRegistryWork();

// How many views there are; reads the registry's layout afresh.
int AfxGetRegistryViewCount();
// Makes view `nView` (0 to count - 1) the one later registry calls and AfxWinExec serve.
void AfxSelectRegistryView(int nView);
// "64-bit view" or "32-bit view".
LPCSTR AfxGetRegistryViewName(int nView);

// Tells the user about one problem of the run, in one line: on standard error on Linux, to the
// output of an attached debugger on Windows, whose message box is the user's report.
void AfxReportProblem(LPCSTR pszLine);
