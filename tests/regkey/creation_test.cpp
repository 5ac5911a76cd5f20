// Subkey creation and the step that builds the upper path where only the lower one exists.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "regkey/LayeredRegKey.h"
#include "tests/regkey/key_listing.h"
#include "tests/support/scratch_key.h"

namespace {

using oarepair::test_support::ListNames;
using NameList = std::vector<std::string>;

class CreationTest : public oarepair::test_support::ScratchKeyTest {};

TEST_F(CreationTest, CreateSubKeyOpensOnDemandAndKeepsThePosition) {
  ASSERT_TRUE(Make("U\\old"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  EXPECT_TRUE(key.CreateSubKey("New"));
  EXPECT_TRUE(Has("U\\New"));
  EXPECT_EQ(key.m_strPath, At("U"));
  EXPECT_NE(key.m_hKey, nullptr);
  EXPECT_TRUE(key.CreateSubKey("old"));
  EXPECT_EQ(Names("U"), (NameList{"New", "old"}));
}

TEST_F(CreationTest, CreateSubKeyWithAPathCreatesEveryLevel) {
  ASSERT_TRUE(Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  EXPECT_TRUE(key.CreateSubKey("A\\B\\C"));
  EXPECT_TRUE(Has("U\\A\\B\\C"));
}

TEST_F(CreationTest, CreateSubKeyFailsWhenTheSingleLocationIsMissing) {
  CLayeredRegKey key(HKEY_CURRENT_USER, At("Missing").c_str(), nullptr);
  EXPECT_FALSE(key.CreateSubKey("New"));
  EXPECT_FALSE(Has("Missing"));
  EXPECT_TRUE(Names("").empty());
}

TEST_F(CreationTest, CreateAndOpenSubKeyMovesBothLocations) {
  ASSERT_TRUE(Make("U") && Make("L"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.CreateAndOpenSubKey("New"));
  EXPECT_EQ(key.m_strPath, At("U\\New"));
  EXPECT_EQ(key.m_strLowerPath, At("L\\New"));
  EXPECT_NE(key.m_hKey, nullptr);
  EXPECT_EQ(key.m_hLowerKey, nullptr);
  EXPECT_FALSE(Has("L\\New"));
  EXPECT_TRUE(key.CreateSubKey("Inner"));
  EXPECT_TRUE(Has("U\\New\\Inner"));
}

TEST_F(CreationTest, FailedCreateAndOpenSubKeyDoesNotMove) {
  CLayeredRegKey key(HKEY_CURRENT_USER, At("Missing").c_str(), nullptr);
  EXPECT_FALSE(key.CreateAndOpenSubKey("New"));
  EXPECT_EQ(key.m_strPath, At("Missing"));
  EXPECT_FALSE(Has("Missing"));
}

TEST_F(CreationTest, EnsureUpperPathWithoutLowerLayerCreatesNothing) {
  CLayeredRegKey key(HKEY_CURRENT_USER, At("Missing").c_str(), nullptr);
  EXPECT_TRUE(key.EnsureUpperPath());
  EXPECT_FALSE(Has("Missing"));
  EXPECT_EQ(key.m_hKey, nullptr);
}

TEST_F(CreationTest, EnsureUpperPathWithBothLocationsOpenChangesNothing) {
  ASSERT_TRUE(Make("U\\a") && Make("L"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_EQ(key.EnumSubKeys(), 1);
  EXPECT_TRUE(key.EnsureUpperPath());
  EXPECT_EQ(key.m_aSubKeys.size(), 1u) << "no re-open, so the listing stays";
}

TEST_F(CreationTest, EnsureUpperPathReopensWhenOnlyTheLowerHandleIsMissing) {
  ASSERT_TRUE(Make("U\\A\\a") && Make("L"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("A"));
  ASSERT_EQ(key.m_hLowerKey, nullptr);
  ASSERT_EQ(key.EnumSubKeys(), 1);
  EXPECT_TRUE(key.EnsureUpperPath());
  EXPECT_NE(key.m_hKey, nullptr);
  EXPECT_TRUE(key.m_aSubKeys.empty()) << "the re-open empties the listing";
  EXPECT_FALSE(Has("L\\A"));
}

TEST_F(CreationTest, CreateSubKeyBuildsTheUpperPositionOfTheLowerLocation) {
  ASSERT_TRUE(Make("U") && Make("L\\B\\C\\lowerKid"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("B") && key.OpenSubKey("C"));
  ASSERT_EQ(key.m_hKey, nullptr);
  EXPECT_TRUE(key.CreateSubKey("N"));
  EXPECT_EQ(Names("U"), NameList{"B"});
  EXPECT_EQ(Names("U\\B"), NameList{"C"});
  EXPECT_EQ(Names("U\\B\\C"), NameList{"N"});
  EXPECT_EQ(Names("L\\B\\C"), NameList{"lowerKid"});
  EXPECT_NE(key.m_hKey, nullptr);
  EXPECT_EQ(key.m_strPath, At("U\\B\\C"));
}

TEST_F(CreationTest, EnsureUpperPathSkipsEmptyComponentsOfTheRelativePart) {
  ASSERT_TRUE(Make("U") && Make("L\\B\\C"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  // The lower path becomes L\B\\C, whose part below the lower base is \B\\C.
  ASSERT_TRUE(key.OpenSubKey("B\\\\C"));
  ASSERT_EQ(key.m_strLowerPath.substr(key.m_strLowerBasePath.size()), "\\B\\\\C");
  EXPECT_TRUE(key.EnsureUpperPath());
  EXPECT_EQ(Names("U"), NameList{"B"});
  EXPECT_EQ(Names("U\\B"), NameList{"C"});
  EXPECT_TRUE(Names("U\\B\\C").empty());
  EXPECT_NE(key.m_hKey, nullptr);
}

TEST_F(CreationTest, EnsureUpperPathNeverCreatesTheUpperBasePath) {
  ASSERT_TRUE(Make("L\\B"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("B"));
  EXPECT_FALSE(key.EnsureUpperPath());
  EXPECT_FALSE(key.CreateSubKey("N"));
  EXPECT_FALSE(key.CreateAndOpenSubKey("N"));
  EXPECT_FALSE(Has("U"));
  EXPECT_EQ(Names("L\\B"), NameList{});
}

TEST_F(CreationTest, EnsureUpperPathKeepsWhatItCreatedBeforeAFailingComponent) {
  ASSERT_TRUE(Make("U") && Make("L"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  // No registry accepts a 257-character name, so the walk stops at the second component.
  key.m_strLowerPath = JoinPath(At("L"), "B\\" + std::string(257, 'x') + "\\D");
  EXPECT_FALSE(key.EnsureUpperPath());
  EXPECT_EQ(Names("U"), NameList{"B"});
  EXPECT_TRUE(Names("U\\B").empty());
}

TEST_F(CreationTest, EnsureUpperPathAfterSetPathReportsWhetherTheCurrentPathOpens) {
  ASSERT_TRUE(Make("U") && Make("L\\B"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("B"));
  ASSERT_TRUE(key.SetPath(At("U\\Elsewhere")));
  ASSERT_EQ(key.m_hKey, nullptr);
  // The path built is the upper base plus the lower relative part, not the path just set.
  EXPECT_FALSE(key.EnsureUpperPath());
  EXPECT_TRUE(Has("U\\B"));
  EXPECT_FALSE(Has("U\\Elsewhere"));
}

}  // namespace
