// Chains of keys as deep as the platform's narrow registry calls can address: 500 levels where
// path arguments may be long, else as deep as a MAX_PATH-character path argument reaches.
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

const size_t kDeepestChain = 500;
const char kLevel[] = "\\c";  // each level adds two characters to a path

class DeepTreeTest : public oarepair::test_support::ScratchKeyTest {
 protected:
  // How many levels fit below each of the given bases, leaving nTail characters for a name
  // below the chain.
  size_t ChainDepth(const NameList& aBases, size_t nTail) const {
    if (oarepair::test_support::LongPathArgumentsWork(m_strScratch)) return kDeepestChain;
    size_t nLongest = 0;
    for (const std::string& strBase : aBases) nLongest = std::max(nLongest, At(strBase).size());
    return (MAX_PATH - nLongest - nTail) / (sizeof kLevel - 1);
  }
  void SetUp() override {
    ScratchKeyTest::SetUp();
    RecordProperty("long_path_arguments",
                   oarepair::test_support::LongPathArgumentsWork(m_strScratch) ? "yes" : "no");
  }
  static std::string Chain(size_t nDepth) {
    std::string strChain;
    for (size_t nLevel = 0; nLevel < nDepth; ++nLevel) strChain += kLevel;
    return strChain;
  }
};

TEST_F(DeepTreeTest, NavigatesToTheBottomOfAChainAndDeletesItWhole) {
  const size_t nDepth = ChainDepth({"Chain"}, 0);
  RecordProperty("depth", static_cast<int>(nDepth));
  ASSERT_GE(nDepth, 100u);
  ASSERT_TRUE(Make("Chain" + Chain(nDepth)) && Make("Keep"));

  CLayeredRegKey key(HKEY_CURRENT_USER, At("").c_str(), nullptr);
  ASSERT_TRUE(key.OpenSubKey("Chain"));
  for (size_t nLevel = 0; nLevel < nDepth; ++nLevel) ASSERT_TRUE(key.OpenSubKey("c")) << nLevel;
  EXPECT_EQ(key.m_strPath, At("Chain" + Chain(nDepth)));
  EXPECT_TRUE(ListNames(key).empty());
  ASSERT_TRUE(key.OpenSubKey("\\"));

  EXPECT_TRUE(key.DeleteSubKey("Chain"));
  EXPECT_EQ(Names(""), NameList{"Keep"});
}

TEST_F(DeepTreeTest, BuildsTheUpperPathForTheBottomOfALowerChain) {
  const size_t nDepth = ChainDepth({"U", "L"}, sizeof "\\leaf" - 1);
  RecordProperty("depth", static_cast<int>(nDepth));
  ASSERT_GE(nDepth, 100u);
  ASSERT_TRUE(Make("U") && Make("L" + Chain(nDepth)));

  CLayeredRegKey key(HKEY_CURRENT_USER, At("U").c_str(), At("L").c_str());
  for (size_t nLevel = 0; nLevel < nDepth; ++nLevel) ASSERT_TRUE(key.OpenSubKey("c")) << nLevel;
  ASSERT_EQ(key.m_hKey, nullptr);
  EXPECT_TRUE(key.CreateSubKey("leaf"));
  EXPECT_TRUE(Has("U" + Chain(nDepth) + "\\leaf"));
  EXPECT_TRUE(Names("L" + Chain(nDepth)).empty());

  ASSERT_TRUE(key.OpenSubKey("\\"));
  EXPECT_TRUE(key.DeleteSubKey("c"));
  EXPECT_TRUE(Names("U").empty());
  EXPECT_TRUE(Has("L" + Chain(nDepth)));
}

}  // namespace
