// Path joining, descending in step in both locations, returning to the base and SetPath.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "regkey/LayeredRegKey.h"
#include "tests/regkey/key_listing.h"
#include "tests/support/scratch_key.h"

namespace {

using oarepair::test_support::ListNames;
using NameList = std::vector<std::string>;

class NavigationTest : public oarepair::test_support::ScratchKeyTest {};

TEST(JoinPathTest, AddsOneSeparatorOnlyWhereNeeded) {
  EXPECT_EQ(JoinPath("", "Name"), "Name");
  EXPECT_EQ(JoinPath("A", "Name"), "A\\Name");
  EXPECT_EQ(JoinPath("A\\", "Name"), "A\\Name");
  EXPECT_EQ(JoinPath("A\\B", "C\\D"), "A\\B\\C\\D");
  EXPECT_EQ(JoinPath("A", "\\Name"), "A\\\\Name");
  EXPECT_EQ(JoinPath("A", ""), "A\\");
  EXPECT_EQ(JoinPath("", ""), "");
}

TEST_F(NavigationTest, OpenSubKeyDescendsInBothLocationsInStep) {
  ASSERT_TRUE(Make("U\\A\\fromUpper") && Make("L\\A\\fromLower"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("A"));
  EXPECT_EQ(key.m_strPath, At("U\\A"));
  EXPECT_EQ(key.m_strLowerPath, At("L\\A"));
  EXPECT_EQ(key.m_strBasePath, At("U"));
  EXPECT_EQ(key.m_strLowerBasePath, At("L"));
  EXPECT_TRUE(key.m_hKey != nullptr && key.m_hLowerKey != nullptr);
  EXPECT_EQ(ListNames(key), (NameList{"fromLower", "fromUpper"}));
}

TEST_F(NavigationTest, NameWithBackslashesDescendsSeveralLevelsAtOnce) {
  ASSERT_TRUE(Make("U\\A\\B\\leaf"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  ASSERT_TRUE(key.OpenSubKey("A\\B"));
  EXPECT_EQ(key.m_strPath, At("U\\A\\B"));
  EXPECT_EQ(ListNames(key), NameList{"leaf"});
}

TEST_F(NavigationTest, BackslashNameReturnsBothLocationsToTheirConstructionPaths) {
  ASSERT_TRUE(Make("U\\A\\B\\C") && Make("L\\A\\B\\C") && Make("U\\top"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("A") && key.OpenSubKey("B") && key.OpenSubKey("C"));
  ASSERT_EQ(key.m_strLowerPath, At("L\\A\\B\\C"));
  ASSERT_TRUE(key.OpenSubKey("\\"));
  EXPECT_EQ(key.m_strPath, At("U"));
  EXPECT_EQ(key.m_strLowerPath, At("L"));
  EXPECT_TRUE(key.m_hKey != nullptr && key.m_hLowerKey != nullptr);
  EXPECT_EQ(ListNames(key), (NameList{"A", "top"}));
}

TEST_F(NavigationTest, MissingNameRestoresBothPathsAndLeavesTheKeyClosed) {
  ASSERT_TRUE(Make("U\\A\\kid") && Make("L\\A"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("A"));
  ASSERT_EQ(key.EnumSubKeys(), 1);
  EXPECT_FALSE(key.OpenSubKey("Nowhere"));
  EXPECT_EQ(key.m_strPath, At("U\\A"));
  EXPECT_EQ(key.m_strLowerPath, At("L\\A"));
  EXPECT_EQ(key.m_hKey, nullptr);
  EXPECT_EQ(key.m_hLowerKey, nullptr);
  EXPECT_TRUE(key.m_aSubKeys.empty());
  // Creation re-opens the key at the restored position first.
  EXPECT_TRUE(key.CreateSubKey("New"));
  EXPECT_TRUE(Has("U\\A\\New"));
  EXPECT_FALSE(Has("U\\Nowhere") || Has("U\\A\\Nowhere"));
}

TEST_F(NavigationTest, NamePresentOnlyBelowOpensOnlyTheLowerLocation) {
  ASSERT_TRUE(Make("U") && Make("L\\A\\kid"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("A"));
  EXPECT_EQ(key.m_hKey, nullptr);
  EXPECT_NE(key.m_hLowerKey, nullptr);
  EXPECT_EQ(ListNames(key), NameList{"kid"});
  EXPECT_FALSE(Has("U\\A"));
}

TEST_F(NavigationTest, LowerPathMovesEvenWithoutALowerLayer) {
  ASSERT_TRUE(Make("U\\A"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  ASSERT_TRUE(key.OpenSubKey("A"));
  EXPECT_EQ(key.m_strLowerPath, "A");
  EXPECT_EQ(key.m_strLowerBasePath, "");
  EXPECT_FALSE(key.HasLowerLayer());
}

TEST_F(NavigationTest, SetPathMovesOnlyTheUpperLocation) {
  ASSERT_TRUE(Make("U") && Make("L") && Make("Other\\x"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.SetPath(At("Other")));
  EXPECT_EQ(key.m_strPath, At("Other"));
  EXPECT_EQ(key.m_strBasePath, At("U"));
  EXPECT_EQ(key.m_strLowerPath, At("L"));
  EXPECT_TRUE(key.m_hKey != nullptr && key.m_hLowerKey != nullptr);
  EXPECT_EQ(ListNames(key), NameList{"x"});
}

TEST_F(NavigationTest, FailedSetPathRestoresThePathAndLeavesTheKeyClosed) {
  ASSERT_TRUE(Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  ASSERT_EQ(key.Open(), 1);
  EXPECT_FALSE(key.SetPath(At("Missing")));
  EXPECT_EQ(key.m_strPath, At("U"));
  EXPECT_EQ(key.m_hKey, nullptr);
  EXPECT_FALSE(Has("Missing"));
}

TEST_F(NavigationTest, SetPathSucceedsWhenOnlyTheLowerLocationOpens) {
  ASSERT_TRUE(Make("L"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_TRUE(key.SetPath(At("Missing")));
  EXPECT_EQ(key.m_strPath, At("Missing"));
  EXPECT_EQ(key.m_hKey, nullptr);
  EXPECT_NE(key.m_hLowerKey, nullptr);
}

TEST_F(NavigationTest, DescendsThroughATreeLevelByLevel) {
  const NameList aLevels{"one", "two", "three", "four", "five", "six"};
  std::string strPath = "T";
  for (const std::string& strLevel : aLevels) strPath += "\\" + strLevel;
  ASSERT_TRUE(Make(strPath) && Make("T\\one\\two\\side"));

  CLayeredRegKey key(HKEY_CURRENT_USER, At("T").c_str(), nullptr);
  std::string strExpected = At("T");
  for (const std::string& strLevel : aLevels) {
    const NameList aNames = ListNames(key);
    ASSERT_FALSE(aNames.empty());
    EXPECT_NE(std::find(aNames.begin(), aNames.end(), strLevel), aNames.end()) << strLevel;
    ASSERT_TRUE(key.OpenSubKey(strLevel.c_str())) << strLevel;
    strExpected += "\\" + strLevel;
    EXPECT_EQ(key.m_strPath, strExpected);
  }
  EXPECT_TRUE(ListNames(key).empty());
  EXPECT_FALSE(key.OpenSubKey("seven"));
  EXPECT_EQ(key.m_strPath, strExpected);
}

}  // namespace
