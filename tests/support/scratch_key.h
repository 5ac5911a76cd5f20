// Scratch registry keys for tests: a fresh key under HKEY_CURRENT_USER\Software\oarepair-test per
// test, removed with its subtree afterwards, and raw-call helpers to arrange and check keys.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace oarepair::test_support {

// The helpers walk paths one component per call, relative to the previous handle, so they work
// below any depth even where the narrow calls cap path arguments at MAX_PATH characters.

// Creates every missing key of strPath below hRoot.
bool CreateKeyPath(HKEY hRoot, const std::string& strPath);
// Whether hRoot\strPath exists.
bool KeyExists(HKEY hRoot, const std::string& strPath);
// The subkey names of hRoot\strPath in enumeration order; empty when the key cannot be opened.
std::vector<std::string> ListSubKeys(HKEY hRoot, const std::string& strPath);
// Deletes hRoot\strPath and its whole subtree, children first. ERROR_SUCCESS when it is gone.
LONG DeleteKeyTree(HKEY hRoot, const std::string& strPath);
// Whether RegOpenKeyExA accepts a path argument longer than MAX_PATH characters; probed with keys
// made (and removed) below HKEY_CURRENT_USER\strScratch.
bool LongPathArgumentsWork(const std::string& strScratch);

// Fixture base: each test gets its own scratch key, created in SetUp and removed in TearDown.
class ScratchKeyTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // HKEY_CURRENT_USER-relative path of strRelative below the scratch key ("" is the scratch key).
  std::string At(const std::string& strRelative) const;
  // Raw helpers relative to the scratch key.
  bool Make(const std::string& strRelative) const;
  bool Has(const std::string& strRelative) const;
  std::vector<std::string> Names(const std::string& strRelative) const;

  std::string m_strScratch;  // HKEY_CURRENT_USER-relative path of the scratch key
};

}  // namespace oarepair::test_support
