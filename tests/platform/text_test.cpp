// lstrcmpA as Wine's: texts of Windows-1252 compared by their sort keys in the default locale.
// The signs here were read from Wine 8.0 (tests/conformance/probe.cpp holds them as cases too).
#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"

namespace {

int Sign(const std::string& a, const std::string& b) {
  const int rc = lstrcmpA(a.c_str(), b.c_str());
  return rc < 0 ? -1 : (rc > 0 ? 1 : 0);
}

TEST(LstrcmpATest, DifferentBytesThatWineFindsEqual) {
  EXPECT_EQ(Sign("ab", "a\xAD" "b"), 0);  // the soft hyphen is ignored
  EXPECT_EQ(Sign("\xAD", ""), 0);
  EXPECT_EQ(Sign("x\xAD\xAD", "x"), 0);
  EXPECT_EQ(Sign("ss", "\xDF"), 0);     // sharp s
  EXPECT_EQ(Sign("strasse", "stra\xDF" "e"), 0);
  EXPECT_EQ(Sign("ae", "\xE6"), 0);     // ligatures
  EXPECT_EQ(Sign("AE", "\xC6"), 0);
  EXPECT_EQ(Sign("oe", "\x9C"), 0);
  EXPECT_EQ(Sign("OE", "\x8C"), 0);
  EXPECT_EQ(Sign("th", "\xFE"), 0);     // thorn
  EXPECT_EQ(Sign("TH", "\xDE"), 0);
  EXPECT_EQ(Sign("a^", "a\x88"), 0);    // modifier circumflex and caret
  EXPECT_EQ(Sign("~", "\x98"), -1);     // but the small tilde is not the tilde
}

TEST(LstrcmpATest, IdenticalTextsAreEqualAndOthersAreOrdered) {
  EXPECT_EQ(Sign("", ""), 0);
  EXPECT_EQ(Sign("abc", "abc"), 0);
  EXPECT_EQ(Sign("SS", "\xDF"), 1);     // case still counts
  EXPECT_EQ(Sign("Th", "\xDE"), -1);
  EXPECT_EQ(Sign("\xDF", "st"), -1);    // the sharp s sorts as two letters
  EXPECT_EQ(Sign("\xDF", "s"), 1);
  EXPECT_EQ(Sign("e\xE9", "\xE9" "e"), -1);  // accents: the first difference counts
}

TEST(LstrcmpATest, SpecialCharactersCountLastByWhereTheyStand) {
  EXPECT_EQ(Sign("co-op", "coop"), 1);
  EXPECT_EQ(Sign("-ab", "a-b"), 1);     // the earlier hyphen weighs more
  EXPECT_EQ(Sign("a-b", "ab-"), 1);
  EXPECT_EQ(Sign("a'b", "a-b"), -1);    // apostrophe before hyphen
  EXPECT_EQ(Sign("\xDF-", "ss-"), 0);   // position counts letters, and the sharp s is two
  EXPECT_EQ(Sign("\xDF-", "s-s"), -1);
  EXPECT_EQ(Sign("a\x01" "b", "ab"), 1);
  EXPECT_EQ(Sign("a-c", "ab"), 1);      // letters first
}

TEST(LstrcmpATest, SignIsAntisymmetricOverEveryPairOfSingleBytes) {
  int nEqualPairs = 0;
  for (int a = 1; a < 256; ++a) {
    for (int b = 1; b < 256; ++b) {
      const std::string x(1, static_cast<char>(a));
      const std::string y(1, static_cast<char>(b));
      ASSERT_EQ(Sign(x, y), -Sign(y, x)) << a << " " << b;
      if (a != b && Sign(x, y) == 0) ++nEqualPairs;
    }
  }
  // Of the 65025 ordered pairs Wine finds 257 equal (conformance case 856): each byte with itself,
  // and '^' with 0x88 both ways.
  EXPECT_EQ(nEqualPairs, 2);
}

TEST(LstrcmpATest, NullTexts) {
  EXPECT_EQ(lstrcmpA(nullptr, nullptr), 0);
  EXPECT_LT(lstrcmpA(nullptr, ""), 0);
  EXPECT_GT(lstrcmpA("a", nullptr), 0);
}

}  // namespace
