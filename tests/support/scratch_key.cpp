// Scratch registry keys and raw-call helpers for tests.
#include "tests/support/scratch_key.h"

#include <chrono>
#include <cstdio>
#include <random>

namespace oarepair::test_support {
namespace {

const char kTestRoot[] = "Software\\oarepair-test";
const DWORD kcchName = 1025;

std::vector<std::string> SplitPath(const std::string& strPath) {
  std::vector<std::string> aParts;
  std::string strPart;
  for (char ch : strPath) {
    if (ch == '\\') {
      if (!strPart.empty()) aParts.push_back(strPart);
      strPart.clear();
    } else {
      strPart += ch;
    }
  }
  if (!strPart.empty()) aParts.push_back(strPart);
  return aParts;
}

// Opens (or with bCreate creates) hRoot\strPath one component at a time; null on failure.
HKEY WalkTo(HKEY hRoot, const std::string& strPath, bool bCreate) {
  HKEY hCurrent = nullptr;
  if (RegOpenKeyExA(hRoot, "", 0, KEY_ALL_ACCESS, &hCurrent) != ERROR_SUCCESS) return nullptr;
  for (const std::string& strPart : SplitPath(strPath)) {
    HKEY hNext = nullptr;
    const LONG lResult = bCreate
                             ? RegCreateKeyA(hCurrent, strPart.c_str(), &hNext)
                             : RegOpenKeyExA(hCurrent, strPart.c_str(), 0, KEY_ALL_ACCESS, &hNext);
    RegCloseKey(hCurrent);
    if (lResult != ERROR_SUCCESS) return nullptr;
    hCurrent = hNext;
  }
  return hCurrent;
}

LONG DeleteChildTree(HKEY hParent, const std::string& strName) {
  HKEY hChild = nullptr;
  LONG lResult = RegOpenKeyExA(hParent, strName.c_str(), 0, KEY_ALL_ACCESS, &hChild);
  if (lResult != ERROR_SUCCESS) return lResult;
  // Always take index 0: every delete shifts the later indexes down.
  for (;;) {
    char szName[kcchName];
    DWORD cchName = kcchName;
    if (RegEnumKeyExA(hChild, 0, szName, &cchName, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    if (DeleteChildTree(hChild, szName) != ERROR_SUCCESS) break;
  }
  RegCloseKey(hChild);
  return RegDeleteKeyA(hParent, strName.c_str());
}

std::string UniqueName() {
  static unsigned nCounter = 0;
  std::random_device device;
  const auto nTicks = std::chrono::steady_clock::now().time_since_epoch().count();
  const unsigned nValue = device() ^ static_cast<unsigned>(nTicks) ^ (++nCounter * 2654435761u);
  char szName[16];
  std::snprintf(szName, sizeof szName, "%08x", nValue);
  return szName;
}

}  // namespace

bool CreateKeyPath(HKEY hRoot, const std::string& strPath) {
  HKEY hKey = WalkTo(hRoot, strPath, true);
  if (hKey == nullptr) return false;
  RegCloseKey(hKey);
  return true;
}

bool KeyExists(HKEY hRoot, const std::string& strPath) {
  HKEY hKey = WalkTo(hRoot, strPath, false);
  if (hKey == nullptr) return false;
  RegCloseKey(hKey);
  return true;
}

std::vector<std::string> ListSubKeys(HKEY hRoot, const std::string& strPath) {
  std::vector<std::string> aNames;
  HKEY hKey = WalkTo(hRoot, strPath, false);
  if (hKey == nullptr) return aNames;
  for (DWORD dwIndex = 0;; ++dwIndex) {
    char szName[kcchName];
    DWORD cchName = kcchName;
    if (RegEnumKeyExA(hKey, dwIndex, szName, &cchName, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    aNames.emplace_back(szName, cchName);
  }
  RegCloseKey(hKey);
  return aNames;
}

LONG DeleteKeyTree(HKEY hRoot, const std::string& strPath) {
  std::vector<std::string> aParts = SplitPath(strPath);
  if (aParts.empty()) return ERROR_INVALID_PARAMETER;
  const std::string strName = aParts.back();
  aParts.pop_back();
  std::string strParent;
  for (const std::string& strPart : aParts) strParent += strPart + "\\";
  HKEY hParent = WalkTo(hRoot, strParent, false);
  if (hParent == nullptr) return ERROR_FILE_NOT_FOUND;
  const LONG lResult = DeleteChildTree(hParent, strName);
  RegCloseKey(hParent);
  return lResult;
}

bool LongPathArgumentsWork(const std::string& strScratch) {
  const std::string strProbe = strScratch + "\\long-path-probe";
  std::string strDeep = strProbe;
  for (int nLevel = 0; nLevel < 3; ++nLevel) strDeep += "\\" + std::string(100, 'p');
  bool bWorks = false;
  if (CreateKeyPath(HKEY_CURRENT_USER, strDeep)) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, strDeep.c_str(), 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
      RegCloseKey(hKey);
      bWorks = true;
    }
  }
  DeleteKeyTree(HKEY_CURRENT_USER, strProbe);
  return bWorks;
}

void ScratchKeyTest::SetUp() {
  m_strScratch = std::string(kTestRoot) + "\\" + UniqueName();
  ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, m_strScratch));
  ASSERT_TRUE(CreateKeyPath(HKEY_CURRENT_USER, m_strScratch));
}

void ScratchKeyTest::TearDown() {
  EXPECT_EQ(DeleteKeyTree(HKEY_CURRENT_USER, m_strScratch), ERROR_SUCCESS);
  // Removes the shared parent only when no other scratch key is left in it.
  HKEY hSoftware = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_ALL_ACCESS, &hSoftware) ==
      ERROR_SUCCESS) {
    if (ListSubKeys(HKEY_CURRENT_USER, kTestRoot).empty())
      RegDeleteKeyA(hSoftware, "oarepair-test");
    RegCloseKey(hSoftware);
  }
}

std::string ScratchKeyTest::At(const std::string& strRelative) const {
  return strRelative.empty() ? m_strScratch : m_strScratch + "\\" + strRelative;
}

bool ScratchKeyTest::Make(const std::string& strRelative) const {
  return CreateKeyPath(HKEY_CURRENT_USER, At(strRelative));
}

bool ScratchKeyTest::Has(const std::string& strRelative) const {
  return KeyExists(HKEY_CURRENT_USER, At(strRelative));
}

std::vector<std::string> ScratchKeyTest::Names(const std::string& strRelative) const {
  return ListSubKeys(HKEY_CURRENT_USER, At(strRelative));
}

}  // namespace oarepair::test_support
