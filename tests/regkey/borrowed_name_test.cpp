// Names borrowed from a key's own listing (GetSubKeyName) passed back to the operations that may
// empty that listing before they are done with the name: each works on its own copy of the name.
// Under AddressSanitizer a name read after the listing freed it is reported as a use after free.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "regkey/LayeredRegKey.h"
#include "tests/regkey/key_listing.h"
#include "tests/support/scratch_key.h"

namespace {

using oarepair::test_support::ListNames;
using NameList = std::vector<std::string>;

// Longer than any short-string buffer, so the name has a heap block of its own as well.
const char kLongName[] = "a-listed-name-well-beyond-sixteen-characters";

class BorrowedNameTest : public oarepair::test_support::ScratchKeyTest {};

TEST_F(BorrowedNameTest, OpenSubKeyDescendsIntoAListedName) {
  ASSERT_TRUE(Make(std::string("U\\") + kLongName + "\\inner"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  ASSERT_EQ(key.EnumSubKeys(), 1);
  ASSERT_TRUE(key.OpenSubKey(key.GetSubKeyName(0)));
  EXPECT_EQ(key.m_strPath, At(std::string("U\\") + kLongName));
  EXPECT_EQ(ListNames(key), NameList{"inner"});
}

TEST_F(BorrowedNameTest, OpenSubKeyOfAListedNameOnALayeredKeyMovesBothLocations) {
  ASSERT_TRUE(Make(std::string("L\\") + kLongName + "\\below") && Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_EQ(key.EnumSubKeys(), 1);
  ASSERT_TRUE(key.OpenSubKey(key.GetSubKeyName(0)));
  EXPECT_EQ(key.m_strPath, At(std::string("U\\") + kLongName));
  EXPECT_EQ(key.m_strLowerPath, At(std::string("L\\") + kLongName));
  EXPECT_EQ(ListNames(key), NameList{"below"});
}

TEST_F(BorrowedNameTest, CreateSubKeyOfAListedNameAfterARebuiltUpperPath) {
  // The upper location is missing, so CreateSubKey opens the key and builds the upper path first,
  // which empties the listing the name came from.
  ASSERT_TRUE(Make(std::string("L\\B\\") + kLongName) && Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("B"));
  ASSERT_EQ(key.m_hKey, nullptr);
  ASSERT_EQ(key.EnumSubKeys(), 1);
  EXPECT_TRUE(key.CreateSubKey(key.GetSubKeyName(0)));
  EXPECT_EQ(Names("U\\B"), NameList{kLongName});
}

TEST_F(BorrowedNameTest, CreateSubKeyOfAListedNameOnAClosedKey) {
  ASSERT_TRUE(Make(std::string("U\\") + kLongName));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  ASSERT_EQ(key.EnumSubKeys(), 1);
  // The listing stays while the handle goes: CreateSubKey re-opens the key, emptying the listing.
  key.Close();
  ASSERT_EQ(key.m_aSubKeys.size(), 1u);
  EXPECT_TRUE(key.CreateSubKey(key.GetSubKeyName(0)));
  EXPECT_EQ(Names("U"), NameList{kLongName});
}

TEST_F(BorrowedNameTest, CreateAndOpenSubKeyOfAListedName) {
  ASSERT_TRUE(Make(std::string("U\\") + kLongName + "\\inner"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  ASSERT_EQ(key.EnumSubKeys(), 1);
  ASSERT_TRUE(key.CreateAndOpenSubKey(key.GetSubKeyName(0)));
  EXPECT_EQ(key.m_strPath, At(std::string("U\\") + kLongName));
  EXPECT_EQ(ListNames(key), NameList{"inner"});
}

TEST_F(BorrowedNameTest, CreateAndOpenSubKeyOfAListedNameAfterARebuiltUpperPath) {
  ASSERT_TRUE(Make(std::string("L\\B\\") + kLongName + "\\below") && Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("B"));
  ASSERT_EQ(key.EnumSubKeys(), 1);
  ASSERT_TRUE(key.CreateAndOpenSubKey(key.GetSubKeyName(0)));
  EXPECT_EQ(key.m_strPath, At(std::string("U\\B\\") + kLongName));
  EXPECT_TRUE(Has(std::string("U\\B\\") + kLongName));
  EXPECT_EQ(ListNames(key), NameList{"below"});
}

TEST_F(BorrowedNameTest, DeleteSubKeyOfAListedNameWritesItsMarkerAfterARebuiltUpperPath) {
  // EnsureUpperPath re-opens the key, emptying the listing, before the name is looked up.
  ASSERT_TRUE(Make(std::string("L\\B\\") + kLongName) && Make("L\\B\\other") && Make("U"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("B"));
  ASSERT_EQ(key.m_hKey, nullptr);
  ASSERT_EQ(key.EnumSubKeys(), 2);
  ASSERT_STREQ(key.GetSubKeyName(0), kLongName);
  EXPECT_TRUE(key.DeleteSubKey(key.GetSubKeyName(0)));
  EXPECT_EQ(Names("U\\B\\~Deleted"), NameList{kLongName});
  EXPECT_EQ(ListNames(key), NameList{"other"});
}

TEST_F(BorrowedNameTest, DeleteSubKeyOfAListedNameOnAClosedKeyRemovesItsTree) {
  ASSERT_TRUE(Make(std::string("U\\") + kLongName + "\\kid") && Make("U\\keep"));
  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), nullptr);
  ASSERT_EQ(key.EnumSubKeys(), 2);
  ASSERT_STREQ(key.GetSubKeyName(0), kLongName);
  key.Close();
  EXPECT_TRUE(key.DeleteSubKey(key.GetSubKeyName(0)));
  EXPECT_EQ(Names("U"), NameList{"keep"});
}

}  // namespace
