// The merged subkey listing: order, read-only flags, deletion markers and name access.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "regkey/LayeredRegKey.h"
#include "tests/regkey/key_listing.h"
#include "tests/support/scratch_key.h"

namespace {

using oarepair::test_support::Listing;
using oarepair::test_support::ListKey;
using oarepair::test_support::ListNames;
using NameList = std::vector<std::string>;

class ListingTest : public oarepair::test_support::ScratchKeyTest {
 protected:
  bool MakeAll(const std::string& strParent, const NameList& aNames) const {
    for (const std::string& strName : aNames) {
      if (!Make(strParent + "\\" + strName)) return false;
    }
    return true;
  }
};

bool Contains(const NameList& aNames, const std::string& strName) {
  return std::find(aNames.begin(), aNames.end(), strName) != aNames.end();
}

TEST_F(ListingTest, LowerNamesComeFirstThenNamesFoundOnlyAbove) {
  ASSERT_TRUE(MakeAll("L", {"alpha", "shared", "mid", "zulu"}));
  ASSERT_TRUE(MakeAll("U", {"beta", "shared", "yankee"}));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());

  // Expected from the raw enumerations: every lower name in its order, read-only unless the
  // writable upper location has it too, then the upper-only names in their order.
  const NameList aLower = Names("L");
  const NameList aUpper = Names("U");
  Listing aExpected;
  for (const std::string& strName : aLower)
    aExpected.emplace_back(strName, !Contains(aUpper, strName));
  for (const std::string& strName : aUpper) {
    if (!Contains(aLower, strName)) aExpected.emplace_back(strName, false);
  }
  ASSERT_EQ(aExpected.size(), 6u);
  EXPECT_EQ(ListKey(key), aExpected);
  EXPECT_EQ(key.EnumSubKeys(), 6);
}

TEST_F(ListingTest, MarkerHidesANameFoundOnlyInTheReadOnlyLocation) {
  ASSERT_TRUE(MakeAll("L", {"a", "b"}) && Make("U\\~Deleted\\a"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_EQ(ListKey(key), (Listing{{"b", true}}));
  EXPECT_EQ(key.m_mapDeleted.size(), 1u);
  EXPECT_EQ(key.m_mapDeleted.count("a"), 1u);
}

TEST_F(ListingTest, MarkedNameInBothLocationsIsListedFromAboveAfterTheLowerNames) {
  ASSERT_TRUE(MakeAll("L", {"a", "b"}) && MakeAll("U", {"a", "~Deleted\\a"}));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_EQ(ListKey(key), (Listing{{"b", true}, {"a", false}}));
}

TEST_F(ListingTest, MarkersMatchNamesCaseSensitively) {
  ASSERT_TRUE(MakeAll("L\\P1", {"Gone", "Kept"}) && Make("U\\P1\\~Deleted\\GONE"));
  ASSERT_TRUE(MakeAll("L\\P2", {"Gone", "Kept"}) && Make("U\\P2\\~Deleted\\Gone"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("P1"));
  EXPECT_EQ(ListNames(key), (NameList{"Gone", "Kept"}));
  ASSERT_TRUE(key.OpenSubKey("\\") && key.OpenSubKey("P2"));
  EXPECT_EQ(ListNames(key), NameList{"Kept"});
}

TEST_F(ListingTest, MarkerKeyIsNeverListedFromEitherLocation) {
  ASSERT_TRUE(MakeAll("L", {"a", "c", "~Deleted\\a"}) && MakeAll("U", {"b", "~Deleted"}));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  const NameList aNames = ListNames(key);
  EXPECT_FALSE(Contains(aNames, "~Deleted"));
  // Markers are read from the upper location only.
  EXPECT_TRUE(Contains(aNames, "a"));
  EXPECT_TRUE(Contains(aNames, "b"));
  EXPECT_EQ(aNames.size(), 3u);
  EXPECT_TRUE(key.m_mapDeleted.empty());
}

TEST_F(ListingTest, MarkerKeyNameIsComparedCaseSensitively) {
  ASSERT_TRUE(MakeAll("L", {"~DELETED\\x", "y"}));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  const NameList aNames = ListNames(key);
  EXPECT_TRUE(Contains(aNames, "~DELETED"));
  EXPECT_EQ(aNames, Names("L"));
}

TEST_F(ListingTest, UnopenableUpperLocationListsLowerNamesWithoutMarkers) {
  ASSERT_TRUE(MakeAll("L", {"a", "b", "~Deleted\\a"}));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_EQ(ListKey(key), (Listing{{"a", true}, {"b", true}}));
  EXPECT_EQ(key.m_hKey, nullptr);
  EXPECT_TRUE(key.m_mapDeleted.empty());
}

TEST_F(ListingTest, MarkersNeverHideNamesFromAWritableLocation) {
  ASSERT_TRUE(Make("L\\a") && MakeAll("U", {"u", "~Deleted\\a", "~Deleted\\u"}));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  key.m_bLowerReadOnly = false;
  EXPECT_EQ(ListKey(key), (Listing{{"a", false}, {"u", false}}));
}

TEST_F(ListingTest, ReadOnlyUpperLocationIsFlaggedAndHiddenByItsMarkers) {
  ASSERT_TRUE(MakeAll("U", {"x", "y", "~Deleted\\x"}));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  key.m_bReadOnly = true;
  EXPECT_EQ(ListKey(key), (Listing{{"y", true}}));
}

TEST_F(ListingTest, ReadOnlyKeyAppliesTheMarkerKeysOwnMarkers) {
  ASSERT_TRUE(MakeAll("U\\~Deleted", {"a", "b", "~Deleted\\a"}));
  CLayeredRegKey keyWritable(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  keyWritable.EnumSubKeys();
  EXPECT_EQ(keyWritable.m_mapDeleted.size(), 2u);
  EXPECT_EQ(keyWritable.m_mapDeleted.count("a") + keyWritable.m_mapDeleted.count("b"), 2u);

  CLayeredRegKey keyReadOnly(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  keyReadOnly.m_bReadOnly = true;
  keyReadOnly.EnumSubKeys();
  EXPECT_EQ(keyReadOnly.m_mapDeleted.size(), 1u);
  EXPECT_EQ(keyReadOnly.m_mapDeleted.count("b"), 1u);
}

TEST_F(ListingTest, NamesDifferingOnlyInCaseAreListedTwice) {
  ASSERT_TRUE(Make("L\\Mix") && Make("U\\mIX"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_EQ(ListKey(key), (Listing{{"Mix", true}, {"mIX", false}}));
}

TEST_F(ListingTest, NamesOfOtherBytesThatLstrcmpAFindsEqualAreListedOnce) {
  // Different keys to the registry, one name to lstrcmpA: the sharp s is "ss", the ligature is
  // "ae", the thorn is "th", and the soft hyphen is ignored. Each upper name finds its lower twin,
  // which it makes writable; only "zz" is new.
  ASSERT_TRUE(MakeAll("L", {"ss", "ae", "th", "ab"}));
  ASSERT_TRUE(MakeAll("U", {"\xDF", "\xE6", "\xFE", "a\xAD" "b", "zz"}));
  const NameList aLower = Names("L");
  ASSERT_EQ(aLower.size(), 4u);
  Listing aExpected;
  for (const std::string& strName : aLower) aExpected.emplace_back(strName, false);
  aExpected.emplace_back("zz", false);
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_EQ(ListKey(key), aExpected);
}

TEST_F(ListingTest, UpperNamesOfOtherBytesMatchPlainLowerNamesInEitherDirection) {
  ASSERT_TRUE(MakeAll("L", {"\xDF", "a\xAD" "b"}));
  ASSERT_TRUE(MakeAll("U", {"ss", "ab", "St"}));
  const NameList aLower = Names("L");
  ASSERT_EQ(aLower.size(), 2u);
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_EQ(ListKey(key), (Listing{{aLower[0], false}, {aLower[1], false}, {"St", false}}));
}

TEST_F(ListingTest, ListsTheLongestNamesAndTheNamesAfterThem) {
  const NameList aNames{std::string(255, 'a'), std::string(256, 'b'), "c", "d"};
  ASSERT_TRUE(MakeAll("U", aNames));
  ASSERT_EQ(Names("U"), aNames);
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  EXPECT_EQ(ListNames(key), aNames);
}

TEST_F(ListingTest, EnumSubKeysListsAfreshEachTime) {
  ASSERT_TRUE(MakeAll("U", {"a", "b"}));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  EXPECT_EQ(key.EnumSubKeys(), 2);
  ASSERT_TRUE(Make("U\\c"));
  EXPECT_EQ(key.EnumSubKeys(), 3);
  EXPECT_EQ(key.m_aSubKeys.size(), 3u);
}

TEST_F(ListingTest, EnumSubKeysReopensWhenTheLowerHandleIsMissing) {
  ASSERT_TRUE(Make("U\\up"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_EQ(key.Open(), 1);
  ASSERT_EQ(key.m_hLowerKey, nullptr);
  ASSERT_TRUE(Make("L\\low"));
  EXPECT_EQ(ListNames(key), (NameList{"low", "up"}));
}

TEST_F(ListingTest, EnumLocationChecksDuplicatesOnlyAgainstEarlierEntries) {
  ASSERT_TRUE(MakeAll("U", {"a", "b"}));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  ASSERT_EQ(key.Open(), 1);
  EXPECT_EQ(key.EnumLocation(nullptr, true), 0);
  EXPECT_EQ(key.EnumLocation(key.m_hKey, true), 2);
  EXPECT_EQ(key.EnumLocation(key.m_hKey, false), 0);
  EXPECT_EQ(ListKey(key).size(), 2u);
  ASSERT_EQ(key.Open(), 1);
  EXPECT_EQ(key.EnumLocation(key.m_hKey, true), 2);
  EXPECT_EQ(key.EnumLocation(key.m_hKey, false), 0);
  ASSERT_EQ(key.m_aSubKeys.size(), 2u);
  EXPECT_FALSE(key.m_aSubKeys[0]->bReadOnly || key.m_aSubKeys[1]->bReadOnly);
}

TEST(IsHiddenNameTest, HidesTheMarkerKeyAndMarkedNamesOfReadOnlyLocations) {
  CLayeredRegKey key(HKEY_CURRENT_USER, "unused", nullptr);
  key.m_mapDeleted["x"] = nullptr;
  EXPECT_TRUE(key.IsHiddenName("~Deleted", false));
  EXPECT_TRUE(key.IsHiddenName("~Deleted", true));
  EXPECT_FALSE(key.IsHiddenName("~deleted", true));
  EXPECT_TRUE(key.IsHiddenName("x", true));
  EXPECT_FALSE(key.IsHiddenName("x", false));
  EXPECT_FALSE(key.IsHiddenName("X", true));
  EXPECT_FALSE(key.IsHiddenName("y", true));
}

TEST_F(ListingTest, GetSubKeyNameListsOnDemand) {
  ASSERT_TRUE(MakeAll("U", {"a", "b"}));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  ASSERT_TRUE(key.m_aSubKeys.empty());
  const char* pszFirst = key.GetSubKeyName(0);
  ASSERT_NE(pszFirst, nullptr);
  EXPECT_EQ(pszFirst, Names("U")[0]);
  EXPECT_EQ(key.m_aSubKeys.size(), 2u);
}

TEST_F(ListingTest, GetSubKeyNameOutsideTheListingIsNull) {
  ASSERT_TRUE(MakeAll("U", {"a", "b"}) && Make("Empty"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  const int nCount = key.EnumSubKeys();
  ASSERT_EQ(nCount, 2);
  EXPECT_EQ(key.GetSubKeyName(-1), nullptr);
  EXPECT_EQ(key.GetSubKeyName(nCount), nullptr);
  EXPECT_EQ(key.GetSubKeyName(nCount + 100), nullptr);
  EXPECT_NE(key.GetSubKeyName(nCount - 1), nullptr);

  CLayeredRegKey keyEmpty(HKEY_CURRENT_USER, At("Empty").c_str(), nullptr);
  EXPECT_EQ(keyEmpty.GetSubKeyName(0), nullptr);
  CLayeredRegKey keyMissing(HKEY_CURRENT_USER, At("Missing").c_str(), nullptr);
  EXPECT_EQ(keyMissing.GetSubKeyName(0), nullptr);
}

}  // namespace
