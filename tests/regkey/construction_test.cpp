// Construction, class-wide defaults, opening, closing and cache release of CLayeredRegKey.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "regkey/LayeredRegKey.h"
#include "tests/regkey/key_listing.h"
#include "tests/support/scratch_key.h"

namespace {

using oarepair::test_support::ListNames;

static_assert(!std::is_copy_constructible<CLayeredRegKey>::value, "keys own handles");
static_assert(!std::is_copy_assignable<CLayeredRegKey>::value, "keys own handles");

// Sets the class-wide defaults for one test and puts the initial values back afterwards.
class DefaultsOverride {
 public:
  DefaultsOverride(const char* pszPath, const char* pszLowerPath, bool bReadOnly,
                   bool bLowerReadOnly) {
    std::strcpy(CLayeredRegKey::s_szDefaultPath, pszPath);
    std::strcpy(CLayeredRegKey::s_szDefaultLowerPath, pszLowerPath);
    CLayeredRegKey::s_bDefaultReadOnly = bReadOnly;
    CLayeredRegKey::s_bDefaultLowerReadOnly = bLowerReadOnly;
  }
  ~DefaultsOverride() {
    CLayeredRegKey::s_szDefaultPath[0] = '\0';
    CLayeredRegKey::s_szDefaultLowerPath[0] = '\0';
    CLayeredRegKey::s_bDefaultReadOnly = false;
    CLayeredRegKey::s_bDefaultLowerReadOnly = true;
  }
  DefaultsOverride(const DefaultsOverride&) = delete;
  DefaultsOverride& operator=(const DefaultsOverride&) = delete;
};

class ConstructionTest : public oarepair::test_support::ScratchKeyTest {};

TEST(ClassDefaultsTest, StartWithEmptyPathsWritableUpperAndReadOnlyLower) {
  EXPECT_EQ(sizeof CLayeredRegKey::s_szDefaultPath, 260u);
  EXPECT_EQ(sizeof CLayeredRegKey::s_szDefaultLowerPath, 260u);
  EXPECT_STREQ(CLayeredRegKey::s_szDefaultPath, "");
  EXPECT_STREQ(CLayeredRegKey::s_szDefaultLowerPath, "");
  EXPECT_FALSE(CLayeredRegKey::s_bDefaultReadOnly);
  EXPECT_TRUE(CLayeredRegKey::s_bDefaultLowerReadOnly);
}

TEST_F(ConstructionTest, FirstConstructorSharesTheRootAndOpensNothing) {
  ASSERT_TRUE(Make("U") && Make("L"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_EQ(key.m_hRoot, HKEY_CURRENT_USER);
  EXPECT_EQ(key.m_hLowerRoot, HKEY_CURRENT_USER);
  EXPECT_TRUE(key.HasLowerLayer());
  EXPECT_EQ(key.m_strPath, At("U"));
  EXPECT_EQ(key.m_strBasePath, At("U"));
  EXPECT_EQ(key.m_strLowerPath, At("L"));
  EXPECT_EQ(key.m_strLowerBasePath, At("L"));
  EXPECT_FALSE(key.m_bReadOnly);
  EXPECT_TRUE(key.m_bLowerReadOnly);
  EXPECT_TRUE(key.m_strMarkerNames.empty());
  EXPECT_EQ(key.m_hKey, nullptr);
  EXPECT_EQ(key.m_hLowerKey, nullptr);
  EXPECT_EQ(key.m_hDetachedLowerRoot, nullptr);
  EXPECT_TRUE(key.m_aSubKeys.empty() && key.m_aAuxNames.empty());
  EXPECT_TRUE(key.m_mapDeleted.empty() && key.m_mapAuxNames.empty());
}

TEST_F(ConstructionTest, FirstConstructorWithoutLowerPathHasOneLocation) {
  ASSERT_TRUE(Make("U") && Make("L"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  EXPECT_FALSE(key.HasLowerLayer());
  EXPECT_EQ(key.m_hLowerRoot, nullptr);
  EXPECT_TRUE(key.m_strLowerPath.empty() && key.m_strLowerBasePath.empty());
  EXPECT_EQ(key.Open(), 1);
  EXPECT_NE(key.m_hKey, nullptr);
  EXPECT_EQ(key.m_hLowerKey, nullptr);
}

TEST_F(ConstructionTest, FirstConstructorWithNullPathStandsOnTheRoot) {
  CLayeredRegKey key(HKEY_CURRENT_USER, nullptr, nullptr);
  EXPECT_TRUE(key.m_strPath.empty() && key.m_strBasePath.empty());
  EXPECT_EQ(key.Open(), 1);
  const std::vector<std::string> aNames = ListNames(key);
  EXPECT_NE(std::find(aNames.begin(), aNames.end(), "Software"), aNames.end());
}

TEST_F(ConstructionTest, SecondConstructorChoosesTheHivesAndSetsMarkerNames) {
  CLayeredRegKey keyUser(At("U").c_str(), true, "Lower", false);
  EXPECT_EQ(keyUser.m_hRoot, HKEY_CURRENT_USER);
  EXPECT_EQ(keyUser.m_hLowerRoot, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(keyUser.m_strPath, At("U"));
  EXPECT_EQ(keyUser.m_strBasePath, At("U"));
  EXPECT_EQ(keyUser.m_strLowerPath, "Lower");
  EXPECT_EQ(keyUser.m_strLowerBasePath, "Lower");
  EXPECT_EQ(keyUser.m_strMarkerNames, "~__TEMP__~ ~SUBVERSION~ ~DELETE~ ~OVERWRITE~");
  EXPECT_EQ(keyUser.m_hKey, nullptr);
  EXPECT_EQ(keyUser.m_hLowerKey, nullptr);

  CLayeredRegKey keyMachine("Upper", false, "Lower", true);
  EXPECT_EQ(keyMachine.m_hRoot, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(keyMachine.m_hLowerRoot, HKEY_CURRENT_USER);
}

TEST_F(ConstructionTest, SecondConstructorFallsBackToTheClassDefaultPaths) {
  DefaultsOverride defaults("Default\\Upper", "Default\\Lower", false, true);
  CLayeredRegKey key(nullptr, true, nullptr, false);
  EXPECT_EQ(key.m_strPath, "Default\\Upper");
  EXPECT_EQ(key.m_strBasePath, "Default\\Upper");
  EXPECT_EQ(key.m_strLowerPath, "Default\\Lower");
  EXPECT_EQ(key.m_strLowerBasePath, "Default\\Lower");
  EXPECT_EQ(key.m_hLowerRoot, HKEY_LOCAL_MACHINE);

  CLayeredRegKey keyGiven("Given", true, "GivenLower", true);
  EXPECT_EQ(keyGiven.m_strPath, "Given");
  EXPECT_EQ(keyGiven.m_strLowerPath, "GivenLower");

  // An empty text given is still given: the defaults apply only to null.
  CLayeredRegKey keyEmpty("", true, "", true);
  EXPECT_EQ(keyEmpty.m_strPath, "");
  EXPECT_EQ(keyEmpty.m_strLowerPath, "");
  EXPECT_TRUE(keyEmpty.HasLowerLayer());
}

TEST_F(ConstructionTest, SecondConstructorWithoutPathsOrDefaultsIsEmptyAndSingle) {
  CLayeredRegKey key(nullptr, false, nullptr, true);
  EXPECT_EQ(key.m_hRoot, HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(key.m_strPath.empty() && key.m_strBasePath.empty());
  EXPECT_TRUE(key.m_strLowerPath.empty() && key.m_strLowerBasePath.empty());
  EXPECT_FALSE(key.HasLowerLayer());
}

TEST_F(ConstructionTest, NewKeysTakeTheirReadOnlyFlagsFromTheClassDefaults) {
  DefaultsOverride defaults("", "", true, false);
  CLayeredRegKey keyFirst(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  CLayeredRegKey keySecond(At("U").c_str(), true, At("L").c_str(), true);
  EXPECT_TRUE(keyFirst.m_bReadOnly && keySecond.m_bReadOnly);
  EXPECT_FALSE(keyFirst.m_bLowerReadOnly || keySecond.m_bLowerReadOnly);
}

TEST_F(ConstructionTest, OpenCountsTheKeyOpenWhenEitherLocationOpens) {
  ASSERT_TRUE(Make("OnlyLower\\L") && Make("OnlyUpper\\U"));
  CLayeredRegKey keyLower(HKEY_CURRENT_USER, At("OnlyLower\\U").c_str(),
                          At("OnlyLower\\L").c_str());
  EXPECT_EQ(keyLower.Open(), 1);
  EXPECT_EQ(keyLower.m_hKey, nullptr);
  EXPECT_NE(keyLower.m_hLowerKey, nullptr);

  CLayeredRegKey keyUpper(HKEY_CURRENT_USER, At("OnlyUpper\\U").c_str(),
                          At("OnlyUpper\\L").c_str());
  EXPECT_EQ(keyUpper.Open(), 1);
  EXPECT_NE(keyUpper.m_hKey, nullptr);
  EXPECT_EQ(keyUpper.m_hLowerKey, nullptr);

  CLayeredRegKey keyNeither(HKEY_CURRENT_USER, At("None\\U").c_str(), At("None\\L").c_str());
  EXPECT_EQ(keyNeither.Open(), 0);
  EXPECT_EQ(keyNeither.m_hKey, nullptr);
  EXPECT_EQ(keyNeither.m_hLowerKey, nullptr);
  EXPECT_FALSE(Has("None"));
}

TEST_F(ConstructionTest, CloseReleasesBothHandlesAndMayBeRepeated) {
  ASSERT_TRUE(Make("U") && Make("L"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_EQ(key.Open(), 1);
  ASSERT_TRUE(key.m_hKey != nullptr && key.m_hLowerKey != nullptr);
  key.Close();
  EXPECT_EQ(key.m_hKey, nullptr);
  EXPECT_EQ(key.m_hLowerKey, nullptr);
  key.Close();
  EXPECT_EQ(key.m_hKey, nullptr);
}

TEST_F(ConstructionTest, ClearCacheFreesListsAndSetsWithTheirStorage) {
  ASSERT_TRUE(Make("U\\a") && Make("U\\b") && Make("U\\~Deleted\\x"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  ASSERT_EQ(key.EnumSubKeys(), 2);
  ASSERT_EQ(key.m_mapDeleted.size(), 1u);
  key.m_aAuxNames.push_back(std::make_unique<std::string>("aux"));
  key.m_mapAuxNames["aux"] = nullptr;

  key.ClearCache();
  EXPECT_EQ(key.m_aSubKeys.size(), 0u);
  EXPECT_EQ(key.m_aSubKeys.capacity(), 0u);
  EXPECT_EQ(key.m_aAuxNames.size(), 0u);
  EXPECT_EQ(key.m_aAuxNames.capacity(), 0u);
  EXPECT_TRUE(key.m_mapDeleted.empty());
  EXPECT_TRUE(key.m_mapAuxNames.empty());
  EXPECT_NE(key.m_hKey, nullptr) << "emptying the cache does not close the key";
}

TEST_F(ConstructionTest, EveryOpenEmptiesTheListing) {
  ASSERT_TRUE(Make("U\\a") && Make("U\\~Deleted\\x"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  ASSERT_EQ(key.EnumSubKeys(), 1);
  EXPECT_EQ(key.Open(), 1);
  EXPECT_TRUE(key.m_aSubKeys.empty());
  EXPECT_TRUE(key.m_mapDeleted.empty());
}

TEST_F(ConstructionTest, DetachLowerLayerKeepsPathsAndTheOpenLowerHandle) {
  ASSERT_TRUE(Make("U\\up") && Make("L\\low"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_EQ(key.Open(), 1);
  key.DetachLowerLayer();
  EXPECT_FALSE(key.HasLowerLayer());
  EXPECT_EQ(key.m_hDetachedLowerRoot, HKEY_CURRENT_USER);
  EXPECT_EQ(key.m_strLowerPath, At("L"));
  EXPECT_EQ(key.m_strLowerBasePath, At("L"));
  EXPECT_NE(key.m_hLowerKey, nullptr);
  // The handle still open keeps the lower names in the listing until the next open.
  EXPECT_EQ(ListNames(key), (std::vector<std::string>{"low", "up"}));
  ASSERT_EQ(key.Open(), 1);
  EXPECT_EQ(key.m_hLowerKey, nullptr);
  EXPECT_EQ(ListNames(key), std::vector<std::string>{"up"});

  key.DetachLowerLayer();
  EXPECT_EQ(key.m_hDetachedLowerRoot, HKEY_CURRENT_USER);
  CLayeredRegKey keySingle(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  keySingle.DetachLowerLayer();
  EXPECT_EQ(keySingle.m_hDetachedLowerRoot, nullptr);
}

}  // namespace
