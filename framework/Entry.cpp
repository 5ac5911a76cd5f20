// The process entry point of the program: WinMain on Windows, main elsewhere; both hand over to
// AfxWinMain. Linked into the program only, never into tests, which bring their own main.

#include "framework/WinApp.h"

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow) {
  return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
#else
int main() {
  char szNoCommandLine[] = "";
  return AfxWinMain(nullptr, nullptr, szNoCommandLine, SW_SHOWNORMAL);
}
#endif
