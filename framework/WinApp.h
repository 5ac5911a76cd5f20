// CWinApp: the application object of the framework. The one global instance registers itself
// at construction; AfxWinMain then runs its start-up and exit.
#pragma once

#include <string>

#include "framework/MessageMap.h"
#include "platform/win32.h"

#ifndef HELP_CONTENTS
#define HELP_CONTENTS 0x0003L
#endif

class CWinApp {
 public:
  // A null name leaves the title to the framework's default: the program's file name without
  // folder and extension.
  explicit CWinApp(LPCSTR pszAppName = nullptr);
  virtual ~CWinApp();

  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Start-up of the application; FALSE means no running application follows, so the framework
  // goes straight to ExitInstance and ends the process.
  virtual BOOL InitInstance();
  // Runs the application after a successful start-up. This framework creates no windows and so
  // has no message loop: Run ends at once with ExitInstance.
  virtual int Run();
  // Exit processing; its result is the process exit status (m_nExitCode).
  virtual int ExitInstance();
  // Opens the program's help. The program ships no help file, so nothing is shown.
  virtual void WinHelp(DWORD dwData, UINT nCmd);

  // Handler of the Help command (ID_HELP).
  void OnHelp();

  // Routes a command through the message map chain of this object's class. TRUE when a handler
  // took it.
  BOOL OnCmdMsg(UINT nID);
  virtual const AFX_MSGMAP* GetMessageMap() const;

  // Records the module the program runs from and settles the title. Called by AfxWinMain.
  void SetCurrentHandles(HINSTANCE hInstance);

  HINSTANCE m_hInstance;
  LPCSTR m_pszAppName;  // the title: points into m_strAppName once settled
  int m_nExitCode;      // returned by ExitInstance

 protected:
  static const AFX_MSGMAP messageMap;

 private:
  static const AFX_MSGMAP_ENTRY _messageEntries[];
  std::string m_strAppName;
  CWinApp* m_pPrevApp;  // the application object that was current before this one
};

// The application object constructed last and not yet destroyed, or null. Objects are expected
// to be destroyed in the reverse order of their construction.
CWinApp* AfxGetApp();

// The framework's start-up: settles the application object, calls InitInstance once and returns
// the exit status. The command line and show state are not read.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
