// The merged listing against a plain reference: EnumSubKeys looks duplicates up in an index, and
// must give exactly what a first-to-last scan with lstrcmpA gives (order, names and flags), also
// for names that lstrcmpA finds equal although their bytes differ.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "regkey/LayeredRegKey.h"
#include "tests/regkey/key_listing.h"
#include "tests/support/scratch_key.h"

namespace {

using oarepair::test_support::Listing;
using oarepair::test_support::ListKey;
using NameList = std::vector<std::string>;

// The listing as the merge rules state it, computed from the raw enumerations: lower names, then
// upper names; a name is dropped when lstrcmpA finds it equal to an entry of an earlier location
// (the first such entry loses its read-only flag to a writable location); "~Deleted" is never
// listed and markers hide names from read-only locations.
Listing Reference(const NameList& aLower, bool bLowerReadOnly, const NameList& aUpper,
                  bool bUpperReadOnly, const NameList& aMarkers) {
  std::map<std::string, void*> mapDeleted;
  for (const std::string& strMarker : aMarkers) mapDeleted[strMarker] = nullptr;
  Listing aEntries;
  const auto pass = [&](const NameList& aNames, bool bReadOnly) {
    const size_t nNoted = aEntries.size();
    for (const std::string& strName : aNames) {
      if (lstrcmpA(strName.c_str(), "~Deleted") == 0) continue;
      if (bReadOnly && mapDeleted.count(strName) != 0) continue;
      bool bFound = false;
      for (size_t nEntry = 0; nEntry < nNoted && !bFound; ++nEntry) {
        if (lstrcmpA(aEntries[nEntry].first.c_str(), strName.c_str()) == 0) {
          if (!bReadOnly) aEntries[nEntry].second = false;
          bFound = true;
        }
      }
      if (!bFound) aEntries.emplace_back(strName, bReadOnly);
    }
  };
  pass(aLower, bLowerReadOnly);
  pass(aUpper, bUpperReadOnly);
  return aEntries;
}

class MergedIndexTest : public oarepair::test_support::ScratchKeyTest {
 protected:
  // Creates the names below the scratch-relative path strParent.
  bool MakeAll(const std::string& strParent, const NameList& aNames) const {
    if (!Make(strParent)) return false;
    for (const std::string& strName : aNames) {
      if (!Make(strParent + "\\" + strName)) return false;
    }
    return true;
  }

  // Lists case strCase's layered key and compares it with the reference built from what the
  // registry enumerates for each location.
  void ExpectListingMatchesReference(const std::string& strCase, bool bLowerReadOnly,
                                     bool bUpperReadOnly) {
    const std::string strLower = strCase + "\\L";
    const std::string strUpper = strCase + "\\U";
    const Listing aExpected = Reference(Names(strLower), bLowerReadOnly, Names(strUpper),
                                        bUpperReadOnly, Names(strUpper + "\\~Deleted"));
    CLayeredRegKey key(HKEY_CURRENT_USER, At(strUpper).c_str(), At(strLower).c_str());
    key.m_bLowerReadOnly = bLowerReadOnly;
    key.m_bReadOnly = bUpperReadOnly;
    EXPECT_EQ(ListKey(key), aExpected) << strCase;
    // A second listing on the same key starts from scratch and gives the same entries.
    EXPECT_EQ(ListKey(key), aExpected) << strCase << " (listed again)";
  }
};

// Pieces of names chosen so that names collide under lstrcmpA in every way it allows: case, the
// German sharp s against "ss", ligatures against their letters, the soft hyphen (0xAD) that
// Wine's lstrcmpA ignores, the modifier circumflex (0x88) against '^', hyphen and apostrophe.
const char* const kPieces[] = {"a", "A", "b",  "ss",   "\xDF", "^", "\x88", "\xAD",
                               "-", "'", "ae", "\xE6", "AE",   "~", "x1",   "Zz"};

std::string RandomName(std::mt19937& random) {
  std::uniform_int_distribution<size_t> pieces(1, 3);
  std::uniform_int_distribution<size_t> piece(0, sizeof kPieces / sizeof kPieces[0] - 1);
  std::string strName;
  const size_t nPieces = pieces(random);
  for (size_t i = 0; i < nPieces; ++i) strName += kPieces[piece(random)];
  return strName;
}

TEST_F(MergedIndexTest, RandomLocationsListExactlyAsTheLinearScan) {
  std::mt19937 random(20261208);
  std::bernoulli_distribution inLower(0.6);
  std::bernoulli_distribution inUpper(0.6);
  std::bernoulli_distribution marked(0.25);
  std::bernoulli_distribution flag(0.5);
  for (int nCase = 0; nCase < 60; ++nCase) {
    char szCase[16];
    std::snprintf(szCase, sizeof szCase, "case%02d", nCase);
    NameList aPool;
    for (int i = 0; i < 24; ++i) aPool.push_back(RandomName(random));
    NameList aLower;
    NameList aUpper;
    NameList aMarkers;
    for (const std::string& strName : aPool) {
      if (inLower(random)) aLower.push_back(strName);
      if (inUpper(random)) aUpper.push_back(strName);
      if (marked(random)) aMarkers.push_back(strName);
    }
    const std::string strCase = szCase;
    ASSERT_TRUE(MakeAll(strCase + "\\L", aLower));
    ASSERT_TRUE(MakeAll(strCase + "\\U", aUpper));
    ASSERT_TRUE(MakeAll(strCase + "\\U\\~Deleted", aMarkers));
    const bool bLowerReadOnly = flag(random);
    const bool bUpperReadOnly = nCase % 4 == 3 && flag(random);
    ExpectListingMatchesReference(strCase, bLowerReadOnly, bUpperReadOnly);
  }
}

TEST_F(MergedIndexTest, ManyNamesListExactlyAsTheLinearScan) {
  // Enough entries for the index to grow and for its slots to collide, with some names of other
  // characters among plain ones.
  std::mt19937 random(7);
  std::uniform_int_distribution<unsigned> digits(0, 0xFFFFFF);
  std::bernoulli_distribution other(0.05);
  NameList aPool;
  for (int i = 0; i < 900; ++i) {
    char szName[32];
    std::snprintf(szName, sizeof szName, "{%06X-%04d}", digits(random), i);
    aPool.push_back(other(random) ? RandomName(random) + szName : std::string(szName));
  }
  NameList aLower(aPool.begin(), aPool.begin() + 600);
  NameList aUpper(aPool.begin() + 300, aPool.end());
  NameList aMarkers;
  for (size_t i = 0; i < aPool.size(); i += 10) aMarkers.push_back(aPool[i]);
  ASSERT_TRUE(MakeAll("many\\L", aLower));
  ASSERT_TRUE(MakeAll("many\\U", aUpper));
  ASSERT_TRUE(MakeAll("many\\U\\~Deleted", aMarkers));
  ExpectListingMatchesReference("many", true, false);
}

TEST_F(MergedIndexTest, EqualNamesOfOtherBytesMatchTheFirstEqualEntry) {
  // Whatever lstrcmpA finds equal here, the listing must agree with the scan: the writable
  // upper names are compared with every lower entry in order.
  const NameList aLower{"ss",
                        "\xDF",
                        "ae",
                        "\xE6",
                        "a^b",
                        "a\x88"
                        "b",
                        "ab",
                        "a\xAD"
                        "b"};
  const NameList aUpper{"\xDF",
                        "ss",
                        "\xE6",
                        "ae",
                        "a\x88"
                        "b",
                        "a^b",
                        "a\xAD"
                        "b",
                        "ab"};
  ASSERT_TRUE(MakeAll("eq\\L", aLower));
  ASSERT_TRUE(MakeAll("eq\\U", aUpper));
  ExpectListingMatchesReference("eq", true, false);
  ExpectListingMatchesReference("eq", false, false);
}

TEST_F(MergedIndexTest, ReferenceSeesEveryUpperNameOnlyOnceAgainstTheLowerEntries) {
  // The reference itself: a shared name is kept once and takes the writable flag; a name only
  // above is appended after the lower names.
  const Listing aListing = Reference({"x", "y"}, true, {"y", "z"}, false, {});
  EXPECT_EQ(aListing, (Listing{{"x", true}, {"y", false}, {"z", false}}));
  EXPECT_EQ(Reference({"x", "y"}, true, {"z"}, false, {"x"}), (Listing{{"y", true}, {"z", false}}));
}

}  // namespace
