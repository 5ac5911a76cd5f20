// Deletion: recursive removal from the upper location, deletion markers on layered keys, and the
// names and positions DeleteSubKey refuses.
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

class DeletionTest : public oarepair::test_support::ScratchKeyTest {};

TEST_F(DeletionTest, RemovesATreeThreeLevelsDeepAndNothingElse) {
  ASSERT_TRUE(Make("U\\T\\A\\B\\C") && Make("U\\T\\A\\B2") && Make("U\\T\\A2") &&
              Make("U\\Keep\\k"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  EXPECT_TRUE(key.DeleteSubKey("T"));
  EXPECT_EQ(Names("U"), NameList{"Keep"});
  EXPECT_EQ(Names("U\\Keep"), NameList{"k"});
}

TEST_F(DeletionTest, AbsentNameWithoutLowerLayerFailsAndWritesNothing) {
  ASSERT_TRUE(Make("U\\a"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  EXPECT_FALSE(key.DeleteSubKey("ghost"));
  EXPECT_EQ(Names("U"), NameList{"a"});
}

TEST_F(DeletionTest, MissingSingleLocationFailsAndCreatesNothing) {
  CLayeredRegKey key(HKEY_CURRENT_USER, At("Missing").c_str(), nullptr);
  EXPECT_FALSE(key.DeleteSubKey("x"));
  EXPECT_TRUE(Names("").empty());
}

TEST_F(DeletionTest, MultiLevelNamePresentAboveRemovesOnlyItsLastComponent) {
  ASSERT_TRUE(Make("U\\A\\B\\C") && Make("U\\A\\Other"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  EXPECT_TRUE(key.DeleteSubKey("A\\B"));
  EXPECT_EQ(Names("U\\A"), NameList{"Other"});
}

TEST_F(DeletionTest, TreeHoldingAMarkerKeyKeepsItAndReportsThePlatformsRefusal) {
  ASSERT_TRUE(Make("U\\T\\a\\b") && Make("U\\T\\~Deleted\\m"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  // The walk never lists "~Deleted", so the key still has a subkey when it is deleted.
  EXPECT_FALSE(key.DeleteSubKey("T"));
  EXPECT_EQ(Names("U\\T"), NameList{"~Deleted"});
  EXPECT_EQ(Names("U\\T\\~Deleted"), NameList{"m"});
}

TEST_F(DeletionTest, NameOnlyBelowIsRecordedAsAMarker) {
  ASSERT_TRUE(Make("L\\x\\kid") && Make("L\\y") && Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_TRUE(key.DeleteSubKey("x"));
  EXPECT_EQ(Names("U"), NameList{"~Deleted"});
  EXPECT_EQ(Names("U\\~Deleted"), NameList{"x"});
  EXPECT_TRUE(Names("U\\~Deleted\\x").empty());
  EXPECT_TRUE(Has("L\\x\\kid"));
  EXPECT_EQ(ListKey(key), (Listing{{"y", true}}));
}

TEST_F(DeletionTest, NameInNeitherLocationIsStillRecordedAsAMarker) {
  ASSERT_TRUE(Make("L") && Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_TRUE(key.DeleteSubKey("ghost"));
  EXPECT_EQ(Names("U\\~Deleted"), NameList{"ghost"});
  EXPECT_TRUE(Names("L").empty());
}

TEST_F(DeletionTest, MarkerGoesBelowTheUpperPathBuiltForTheLowerPosition) {
  ASSERT_TRUE(Make("U") && Make("L\\B\\x"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("B"));
  ASSERT_EQ(key.m_hKey, nullptr);
  EXPECT_TRUE(key.DeleteSubKey("x"));
  EXPECT_EQ(Names("U"), NameList{"B"});
  EXPECT_EQ(Names("U\\B\\~Deleted"), NameList{"x"});
  EXPECT_TRUE(ListNames(key).empty());
}

TEST_F(DeletionTest, NameInBothLocationsLosesOnlyItsUpperTree) {
  ASSERT_TRUE(Make("L\\x\\lowerKid") && Make("U\\x\\y\\z"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_TRUE(key.DeleteSubKey("x"));
  EXPECT_TRUE(Names("U").empty());
  EXPECT_TRUE(Has("L\\x\\lowerKid"));
  EXPECT_EQ(ListKey(key), (Listing{{"x", true}}));
}

TEST_F(DeletionTest, DeletingAMarkedNameAgainSucceedsWithOneMarker) {
  ASSERT_TRUE(Make("L\\x") && Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_TRUE(key.DeleteSubKey("x"));
  EXPECT_TRUE(key.DeleteSubKey("x"));
  EXPECT_EQ(Names("U\\~Deleted"), NameList{"x"});
}

TEST_F(DeletionTest, RecreatingAMarkedNameKeepsItsMarker) {
  ASSERT_TRUE(Make("L\\x") && Make("L\\a") && Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.DeleteSubKey("x"));
  EXPECT_TRUE(key.CreateSubKey("x"));
  EXPECT_EQ(Names("U\\~Deleted"), NameList{"x"});
  EXPECT_EQ(ListKey(key), (Listing{{"a", true}, {"x", false}}));
  // Deleting it from the upper location leaves the marker, so it stays hidden.
  EXPECT_TRUE(key.DeleteSubKey("x"));
  EXPECT_EQ(Names("U\\~Deleted"), NameList{"x"});
  EXPECT_EQ(ListKey(key), (Listing{{"a", true}}));
}

TEST_F(DeletionTest, DeletingTheMarkerKeyRemovesEveryMarker) {
  ASSERT_TRUE(Make("L\\a") && Make("L\\b") && Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.DeleteSubKey("a") && key.DeleteSubKey("b"));
  ASSERT_TRUE(ListNames(key).empty());
  EXPECT_TRUE(key.DeleteSubKey("~Deleted"));
  EXPECT_FALSE(Has("U\\~Deleted"));
  EXPECT_EQ(ListKey(key), (Listing{{"a", true}, {"b", true}}));
}

TEST_F(DeletionTest, MarkerKeyNameWithoutAMarkerKeyIsMarkedLikeAnyName) {
  ASSERT_TRUE(Make("L\\a") && Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_TRUE(key.DeleteSubKey("~Deleted"));
  EXPECT_EQ(Names("U\\~Deleted"), NameList{"~Deleted"});
  EXPECT_EQ(ListKey(key), (Listing{{"a", true}}));
  EXPECT_TRUE(key.m_mapDeleted.empty());
}

TEST_F(DeletionTest, RefusesNullEmptyAndBackslashNamesAndTouchesNothing) {
  ASSERT_TRUE(Make("U\\Sub\\kid") && Make("U\\Sibling\\kid") && Make("L\\Sub"));
  for (const char* pszLower : {static_cast<const char*>(nullptr), "L"}) {
    const std::string strLower = pszLower != nullptr ? At(pszLower) : std::string();
    CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(),
                       pszLower != nullptr ? strLower.c_str() : nullptr);
    ASSERT_TRUE(key.OpenSubKey("Sub"));
    ASSERT_EQ(key.EnumSubKeys(), 1);
    const char* pszListed = key.GetSubKeyName(0);
    EXPECT_FALSE(key.DeleteSubKey(nullptr));
    EXPECT_FALSE(key.DeleteSubKey(""));
    EXPECT_FALSE(key.DeleteSubKey("\\"));
    EXPECT_EQ(key.GetSubKeyName(0), pszListed) << "the key was not re-opened";
  }
  EXPECT_EQ(Names("U"), (NameList{"Sibling", "Sub"}));
  EXPECT_EQ(Names("U\\Sub"), NameList{"kid"});
  EXPECT_EQ(Names("U\\Sibling"), NameList{"kid"});
}

TEST_F(DeletionTest, RefusesNamesWithALeadingBackslashAndTouchesNothing) {
  ASSERT_TRUE(Make("U\\Sub\\kid") && Make("U\\Sub\\X\\deep") && Make("U\\Sibling\\kid") &&
              Make("L\\Sub\\X"));
  for (const char* pszLower : {static_cast<const char*>(nullptr), "L"}) {
    const std::string strLower = pszLower != nullptr ? At(pszLower) : std::string();
    CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(),
                       pszLower != nullptr ? strLower.c_str() : nullptr);
    ASSERT_TRUE(key.OpenSubKey("Sub"));
    ASSERT_EQ(key.EnumSubKeys(), 2);
    const char* pszListed = key.GetSubKeyName(0);
    // Two and three backslashes open this very key, a leading one opens the child it names.
    for (const char* pszName : {"\\\\", "\\\\\\", "\\X", "\\\\X", "\\X\\"}) {
      EXPECT_FALSE(key.DeleteSubKey(pszName)) << pszName;
      EXPECT_EQ(key.GetSubKeyName(0), pszListed) << pszName << ": the key was re-opened";
    }
  }
  EXPECT_EQ(Names("U"), (NameList{"Sibling", "Sub"}));
  EXPECT_EQ(Names("U\\Sub"), (NameList{"kid", "X"}));
  EXPECT_EQ(Names("U\\Sub\\X"), NameList{"deep"});
  EXPECT_EQ(Names("U\\Sibling"), NameList{"kid"});
  EXPECT_FALSE(Has("U\\Sub\\~Deleted"));
  EXPECT_FALSE(Has("U\\~Deleted"));
}

TEST_F(DeletionTest, RefusesNamesLstrcmpAFindsEqualToTheBackslashName) {
  // lstrcmpA ignores the soft hyphen, so OpenSubKey takes these names back to the base path; a
  // deletion must not walk the base path's children.
  ASSERT_TRUE(Make("Base\\Sub\\kid") && Make("Base\\Other\\kid"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("Base").c_str(), nullptr);
  ASSERT_TRUE(key.OpenSubKey("Sub"));
  for (const char* pszName : {"\xAD\\", "\xAD\\\xAD", "\xAD\xAD\\"}) {
    ASSERT_EQ(lstrcmpA(pszName, "\\"), 0);
    EXPECT_FALSE(key.DeleteSubKey(pszName));
  }
  EXPECT_EQ(Names("Base"), (NameList{"Other", "Sub"}));
  EXPECT_EQ(Names("Base\\Sub"), NameList{"kid"});
  EXPECT_EQ(Names("Base\\Other"), NameList{"kid"});
}

TEST_F(DeletionTest, EmptyComponentsAfterTheFirstNameRemoveTheKeyTheyName) {
  // The registry collapses a doubled separator inside a path and a trailing one, in its delete as
  // in the walk that removes the children first.
  ASSERT_TRUE(Make("U\\A\\B\\kid") && Make("U\\A\\Keep") && Make("U\\T\\kid") &&
              Make("U\\T2\\kid") && Make("U\\Other"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  EXPECT_TRUE(key.DeleteSubKey("A\\\\B"));
  EXPECT_EQ(Names("U\\A"), NameList{"Keep"});
  EXPECT_TRUE(key.DeleteSubKey("T\\"));
  EXPECT_TRUE(key.DeleteSubKey("T2\\\\"));
  EXPECT_EQ(Names("U"), (NameList{"A", "Other"}));
  EXPECT_EQ(Names("U\\A"), NameList{"Keep"});
}

TEST_F(DeletionTest, UnreachablePositionDeletesNothingBelowTheBasePath) {
  ASSERT_TRUE(Make("Base\\Sub") && Make("Base\\Victim\\kid"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("Base").c_str(), nullptr);
  ASSERT_TRUE(key.OpenSubKey("Sub"));
  // The open handle now refers to a deleted key, whose path the scratch key cannot reach.
  ASSERT_EQ(oarepair::test_support::DeleteKeyTree(HKEY_CURRENT_USER, At("Base\\Sub")),
            ERROR_SUCCESS);
  ASSERT_NE(key.m_hKey, nullptr);
  EXPECT_FALSE(key.DeleteSubKey("Victim"));
  EXPECT_EQ(Names("Base\\Victim"), NameList{"kid"});
}

TEST_F(DeletionTest, MultiLevelNameAbsentAboveWritesNoMarker) {
  ASSERT_TRUE(Make("L\\A\\B") && Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  EXPECT_FALSE(key.DeleteSubKey("A\\B"));
  EXPECT_FALSE(key.DeleteSubKey("Nowhere\\B"));
  EXPECT_TRUE(Names("U").empty());
  EXPECT_EQ(ListKey(key), (Listing{{"A", true}}));
}

}  // namespace
