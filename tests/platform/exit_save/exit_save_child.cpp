// A program that uses the registry of the prefix named by its first argument the way a careless
// caller might: it creates a key, leaves the handle open and returns from main. The registry then
// saves the change at exit. Its second argument is the key's name below HKEY_CURRENT_USER\Software.
#include <string>

#include "platform/registry_control.h"
#include "platform/win32.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  oarepair::platform::UsePrefixRegistry(argv[1]);
  HKEY hKey = nullptr;
  const std::string strPath = std::string("Software\\") + argv[2];
  if (RegCreateKeyA(HKEY_CURRENT_USER, strPath.c_str(), &hKey) != ERROR_SUCCESS) return 3;
  return 0;  // hKey stays open: the exit-time save writes the change
}
