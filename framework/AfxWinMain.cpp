// The framework's start-up and exit, shared by WinMain on Windows and main elsewhere.

#include "framework/WinApp.h"

int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow) {
  // The program takes nothing from its command line or its start-up show state.
  (void)hPrevInstance;
  (void)lpCmdLine;
  (void)nCmdShow;

  CWinApp* pApp = AfxGetApp();
  if (pApp == nullptr) return -1;  // no application object: nothing to start
  pApp->SetCurrentHandles(hInstance);

  // A failed start-up skips the application's run and goes straight to the exit processing.
  if (!pApp->InitInstance()) return pApp->ExitInstance();
  return pApp->Run();
}
