// CRepairApp: the application object of oarepair. Its start-up is the whole repair run.
#pragma once

#include "framework/WinApp.h"

class CRepairApp : public CWinApp {
 public:
  CRepairApp();

  // Deletes the OLE Automation dispatch class key, starts RegSvr32 on the OLE Automation library
  // and reports the outcome; returns FALSE, so the program ends with m_nExitCode (0 repaired,
  // 1 not).
  BOOL InitInstance() override;

  DECLARE_MESSAGE_MAP()
};

// The registry key, class key and command line of the repair run.
extern const char g_szClassesKey[];       // "CLSID" under HKEY_CLASSES_ROOT
extern const char g_szDispatchClassId[];  // the OLE Automation dispatch class key below it
extern const char g_szRegisterCommand[];  // "RegSvr32 /s OleAut32.dll"
