// The Linux registry calls on the in-memory store: handle life, paths, limits and error codes
// that the layered key and the repair depend on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry_control.h"
#include "platform/win32.h"

namespace {

using oarepair::platform::FailRegistryCallAt;
using oarepair::platform::UseMemoryRegistry;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseMemoryRegistry();
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\T", &m_base), ERROR_SUCCESS);
  }
  void TearDown() override {
    if (m_base != nullptr) RegCloseKey(m_base);
  }

  std::vector<std::string> List(HKEY key) {
    std::vector<std::string> names;
    char buf[300];
    for (DWORD i = 0;; ++i) {
      DWORD cap = sizeof buf;
      LONG rc = RegEnumKeyExA(key, i, buf, &cap, nullptr, nullptr, nullptr, nullptr);
      if (rc != ERROR_SUCCESS) {
        EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
        break;
      }
      names.emplace_back(buf, cap);
    }
    return names;
  }

  LONG Exists(HKEY root, const char* path) {
    HKEY h = nullptr;
    LONG rc = RegOpenKeyExA(root, path, 0, KEY_READ, &h);
    if (rc == ERROR_SUCCESS) RegCloseKey(h);
    return rc;
  }

  void Make(const char* path) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyA(m_base, path, &h), ERROR_SUCCESS) << path;
    RegCloseKey(h);
  }

  HKEY m_base = nullptr;
};

TEST_F(RegistryTest, HandlesAreCheckedAndClosedOnce) {
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExA(m_base, nullptr, 0, KEY_READ, &h), ERROR_SUCCESS);
  EXPECT_NE(h, m_base);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
  HKEY out = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(h, "x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(nullptr, "x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
  EXPECT_EQ(out, reinterpret_cast<HKEY>(1));  // a null key leaves the result untouched
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000010u)), "", 0,
                          KEY_READ, &out),
            ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, PredefinedRootsOpenAsThemselvesAndNeverClose) {
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &h), ERROR_SUCCESS);
  EXPECT_EQ(h, HKEY_CURRENT_USER);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, "Software\\T"), ERROR_SUCCESS);
  // Only the low 32 bits of a predefined value count.
  HKEY zeroExtended = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u));
  EXPECT_EQ(Exists(zeroExtended, "Software\\T"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, ClassesRootIsMachineClassesOnlyAsInWine) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "ViaHKCR", &h), ERROR_SUCCESS);
  RegCloseKey(h);
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Classes\\ViaHKCU", &h), ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_EQ(Exists(HKEY_LOCAL_MACHINE, "Software\\Classes\\ViaHKCR"), ERROR_SUCCESS);
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, "Software\\Classes\\ViaHKCR"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Exists(HKEY_CLASSES_ROOT, "ViaHKCU"), ERROR_FILE_NOT_FOUND);
  // The classes root alone accepts a leading backslash; nobody can delete it.
  EXPECT_EQ(Exists(HKEY_CLASSES_ROOT, "\\ViaHKCR"), ERROR_SUCCESS);
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, "\\Software"), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "ViaHKCR"), ERROR_SUCCESS);
  EXPECT_EQ(Exists(HKEY_LOCAL_MACHINE, "Software\\Classes\\ViaHKCR"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, PathsFollowWineRules) {
  Make("A\\B\\C");  // intermediates are created
  EXPECT_EQ(Exists(m_base, "A\\B\\C"), ERROR_SUCCESS);
  EXPECT_EQ(Exists(m_base, "a\\b\\c\\"), ERROR_SUCCESS);
  EXPECT_EQ(Exists(m_base, "A\\\\B\\\\"), ERROR_SUCCESS);
  EXPECT_EQ(Exists(m_base, "\\A"), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Exists(m_base, "\\"), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Exists(m_base, "A\\.\\B"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Exists(m_base, "A/B"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Exists(m_base, "A "), ERROR_FILE_NOT_FOUND);
  Make("a/b");
  EXPECT_EQ(List(m_base), (std::vector<std::string>{"A", "a/b"}));
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyA(m_base, "\\Lead", &h), ERROR_BAD_PATHNAME);
  EXPECT_EQ(h, nullptr);
}

TEST_F(RegistryTest, NamesUpTo256UnitsAreAcceptedAndListedWhole) {
  const std::string n255(255, 'e');
  const std::string n256(256, 'f');
  const std::string n257(257, 'g');
  Make(n255.c_str());
  Make(n256.c_str());
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyA(m_base, n257.c_str(), &h), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Exists(m_base, n257.c_str()), ERROR_INVALID_PARAMETER);
  char buf[300];
  DWORD cap = 255;
  EXPECT_EQ(RegEnumKeyExA(m_base, 0, buf, &cap, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(cap, 255u);  // nothing is written on overflow
  cap = 256;
  ASSERT_EQ(RegEnumKeyExA(m_base, 0, buf, &cap, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(cap, 255u);
  EXPECT_EQ(std::string(buf), n255);
  cap = 257;
  ASSERT_EQ(RegEnumKeyExA(m_base, 1, buf, &cap, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(buf), n256);
  cap = 257;
  EXPECT_EQ(RegEnumKeyExA(m_base, 0xFFFFFFFFu, buf, &cap, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, ADeepChainNeedsNoDepthLimit) {
  std::string path;
  for (int i = 0; i < 600; ++i) path += (i ? "\\d" : "d") + std::to_string(i);
  Make(path.c_str());
  EXPECT_EQ(Exists(m_base, path.c_str()), ERROR_SUCCESS);
}

TEST_F(RegistryTest, OnlyLeavesAreDeletedAndCaseIsIgnored) {
  Make("P\\Kid");
  EXPECT_EQ(RegDeleteKeyA(m_base, "P"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(m_base, "p\\KID"), ERROR_SUCCESS);  // only the last part goes
  EXPECT_EQ(Exists(m_base, "P"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(m_base, "P\\Kid"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(m_base, "Nope\\Kid"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(m_base, "P\\"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(m_base, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyA(m_base, "\\"), ERROR_BAD_PATHNAME);
  EXPECT_TRUE(List(m_base).empty());
}

TEST_F(RegistryTest, HandlesOfDeletedKeysGoStale) {
  Make("Gone\\Inner");
  HKEY gone = nullptr;
  HKEY inner = nullptr;
  ASSERT_EQ(RegOpenKeyExA(m_base, "Gone", 0, KEY_ALL_ACCESS, &gone), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(gone, "Inner", 0, KEY_READ, &inner), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(gone, "Inner"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(gone, ""), ERROR_SUCCESS);  // deletes the key itself
  char buf[64];
  DWORD cap = sizeof buf;
  EXPECT_EQ(RegEnumKeyExA(inner, 0, buf, &cap, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyA(gone, "x", &h), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExA(gone, "", 0, KEY_READ, &h), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteKeyA(gone, ""), ERROR_KEY_DELETED);
  // The same name made again is a new key the stale handle never sees.
  Make("Gone\\NewKid");
  EXPECT_EQ(RegOpenKeyExA(gone, "NewKid", 0, KEY_READ, &h), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(inner), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(gone), ERROR_SUCCESS);
  EXPECT_EQ(List(m_base), std::vector<std::string>{"Gone"});
}

TEST_F(RegistryTest, IndexesFollowTheCurrentChildList) {
  for (const char* n : {"a", "b", "c", "d", "e"}) Make(n);
  // Deleting while the index rises skips every second key, as on Windows and Wine.
  std::string deleted;
  char buf[16];
  for (DWORD i = 0;; ++i) {
    DWORD cap = sizeof buf;
    if (RegEnumKeyExA(m_base, i, buf, &cap, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    ASSERT_EQ(RegDeleteKeyA(m_base, buf), ERROR_SUCCESS);
    deleted += buf;
  }
  EXPECT_EQ(deleted, "ace");
  EXPECT_EQ(List(m_base), (std::vector<std::string>{"b", "d"}));
}

TEST_F(RegistryTest, NarrowNamesUseWindows1252) {
  Make("caf\xe9");
  Make("\x8a");  // S with caron: folds with its lowercase partner 0x9A
  EXPECT_EQ(Exists(m_base, "CAF\xc9"), ERROR_SUCCESS);
  EXPECT_EQ(Exists(m_base, "\x9a"), ERROR_SUCCESS);
  EXPECT_EQ(List(m_base), (std::vector<std::string>{"caf\xe9", "\x8a"}));
}

TEST_F(RegistryTest, DeletingEveryChildOfAWideKeyLeavesItEmpty) {
  HKEY wide = nullptr;
  ASSERT_EQ(RegCreateKeyA(m_base, "Wide", &wide), ERROR_SUCCESS);
  const int n = 100000;
  for (int i = 0; i < n; ++i) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyA(wide, ("c" + std::to_string(i)).c_str(), &h), ERROR_SUCCESS);
    RegCloseKey(h);
  }
  char buf[32];
  int count = 0;
  for (;;) {
    DWORD cap = sizeof buf;
    if (RegEnumKeyExA(wide, 0, buf, &cap, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    ASSERT_EQ(RegDeleteKeyA(wide, buf), ERROR_SUCCESS);
    ++count;
  }
  EXPECT_EQ(count, n);
  RegCloseKey(wide);
}

TEST_F(RegistryTest, InjectedFaultFailsExactlyTheNthCall) {
  FailRegistryCallAt(2, ERROR_ACCESS_DENIED);
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyA(m_base, "one", &h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_ACCESS_DENIED);  // the second call
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyA(m_base, "two", &h), ERROR_SUCCESS);
  RegCloseKey(h);
  FailRegistryCallAt(1, ERROR_ACCESS_DENIED);
  h = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegCreateKeyA(m_base, "three", &h), ERROR_ACCESS_DENIED);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(Exists(m_base, "three"), ERROR_FILE_NOT_FOUND);
}

}  // namespace
