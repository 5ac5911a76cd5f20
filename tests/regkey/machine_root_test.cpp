// Layered keys whose locations lie under HKEY_LOCAL_MACHINE: every key the class makes for its own
// work (the path it builds for the upper location, the marker keys, the walk that removes a tree)
// stands under the key's own root. The same relative paths exist under HKEY_CURRENT_USER as decoys,
// so work done under the wrong root shows there.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "regkey/LayeredRegKey.h"
#include "tests/regkey/key_listing.h"
#include "tests/support/scratch_key.h"

namespace {

using oarepair::test_support::CreateKeyPath;
using oarepair::test_support::DeleteKeyTree;
using oarepair::test_support::KeyExists;
using oarepair::test_support::Listing;
using oarepair::test_support::ListKey;
using oarepair::test_support::ListSubKeys;
using NameList = std::vector<std::string>;

const char kMachineTestRoot[] = "Software\\oarepair-test";

// The scratch key of the base fixture (under HKEY_CURRENT_USER) and a twin of the same path under
// HKEY_LOCAL_MACHINE.
class MachineRootTest : public oarepair::test_support::ScratchKeyTest {
 protected:
  void SetUp() override {
    ScratchKeyTest::SetUp();
    ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, m_strScratch));
    ASSERT_TRUE(CreateKeyPath(HKEY_LOCAL_MACHINE, m_strScratch));
  }
  void TearDown() override {
    EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, m_strScratch), ERROR_SUCCESS);
    if (ListSubKeys(HKEY_LOCAL_MACHINE, kMachineTestRoot).empty()) {
      DeleteKeyTree(HKEY_LOCAL_MACHINE, kMachineTestRoot);
    }
    ScratchKeyTest::TearDown();
  }

  bool MakeMachine(const std::string& strRelative) const {
    return CreateKeyPath(HKEY_LOCAL_MACHINE, At(strRelative));
  }
  bool HasMachine(const std::string& strRelative) const {
    return KeyExists(HKEY_LOCAL_MACHINE, At(strRelative));
  }
  NameList MachineNames(const std::string& strRelative) const {
    return ListSubKeys(HKEY_LOCAL_MACHINE, At(strRelative));
  }
};

TEST_F(MachineRootTest, UpperPathIsBuiltUnderTheMachineRoot) {
  ASSERT_TRUE(MakeMachine("U") && MakeMachine("L\\B\\C") && Make("U"));
  CLayeredRegKey key(At("U").c_str(), false, At("L").c_str(), false);
  ASSERT_EQ(key.m_hRoot, HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(key.OpenSubKey("B"));
  ASSERT_TRUE(key.OpenSubKey("C"));
  ASSERT_EQ(key.m_hKey, nullptr);
  EXPECT_TRUE(key.CreateSubKey("x"));
  EXPECT_EQ(MachineNames("U\\B\\C"), NameList{"x"});
  EXPECT_TRUE(Names("U").empty());
}

TEST_F(MachineRootTest, UpperPathOfTheFirstConstructorIsBuiltUnderItsRoot) {
  ASSERT_TRUE(MakeMachine("U") && MakeMachine("L\\B") && Make("U"));
  CLayeredRegKey key(HKEY_LOCAL_MACHINE, At("U").c_str(), At("L").c_str());
  ASSERT_TRUE(key.OpenSubKey("B"));
  EXPECT_TRUE(key.EnsureUpperPath());
  EXPECT_NE(key.m_hKey, nullptr);
  EXPECT_TRUE(HasMachine("U\\B"));
  EXPECT_TRUE(Names("U").empty());
}

TEST_F(MachineRootTest, UpperPathUnderTheMachineRootOverALowerLocationOfTheUser) {
  ASSERT_TRUE(MakeMachine("U") && Make("U") && Make("L\\B"));
  CLayeredRegKey key(At("U").c_str(), false, At("L").c_str(), true);
  ASSERT_EQ(key.m_hRoot, HKEY_LOCAL_MACHINE);
  ASSERT_EQ(key.m_hLowerRoot, HKEY_CURRENT_USER);
  ASSERT_TRUE(key.OpenSubKey("B"));
  EXPECT_TRUE(key.CreateAndOpenSubKey("x"));
  EXPECT_EQ(MachineNames("U\\B"), NameList{"x"});
  EXPECT_EQ(key.m_strPath, At("U\\B\\x"));
  EXPECT_TRUE(Names("U").empty());
  EXPECT_FALSE(HasMachine("L"));
}

TEST_F(MachineRootTest, MarkersAreWrittenAndReadUnderTheMachineRoot) {
  ASSERT_TRUE(MakeMachine("U") && MakeMachine("L\\x") && MakeMachine("L\\y"));
  // A marker at the same place under the user's root must not hide anything here.
  ASSERT_TRUE(Make("U\\~Deleted\\y"));
  CLayeredRegKey key(At("U").c_str(), false, At("L").c_str(), false);
  EXPECT_TRUE(key.DeleteSubKey("x"));
  EXPECT_EQ(MachineNames("U\\~Deleted"), NameList{"x"});
  EXPECT_EQ(Names("U\\~Deleted"), NameList{"y"});
  EXPECT_EQ(ListKey(key), (Listing{{"y", true}}));
}

TEST_F(MachineRootTest, MarkersOfAPositionBuiltUnderTheMachineRoot) {
  ASSERT_TRUE(MakeMachine("U") && MakeMachine("L\\B\\x") && MakeMachine("L\\B\\y") && Make("U"));
  CLayeredRegKey key(At("U").c_str(), false, At("L").c_str(), false);
  ASSERT_TRUE(key.OpenSubKey("B"));
  EXPECT_TRUE(key.DeleteSubKey("x"));
  EXPECT_EQ(MachineNames("U\\B\\~Deleted"), NameList{"x"});
  EXPECT_TRUE(Names("U").empty());
  EXPECT_EQ(ListKey(key), (Listing{{"y", true}}));
}

TEST_F(MachineRootTest, TreeIsRemovedUnderTheMachineRootOnly) {
  ASSERT_TRUE(MakeMachine("U\\T\\a\\b") && MakeMachine("U\\T\\c") && MakeMachine("U\\keep"));
  ASSERT_TRUE(Make("U\\T\\a\\b") && Make("U\\T\\c"));
  CLayeredRegKey key(At("U").c_str(), false, At("L").c_str(), false);
  EXPECT_TRUE(key.DeleteSubKey("T"));
  EXPECT_EQ(MachineNames("U"), NameList{"keep"});
  EXPECT_EQ(Names("U\\T"), (NameList{"a", "c"}));
  EXPECT_EQ(Names("U\\T\\a"), NameList{"b"});
}

}  // namespace
