// Escaping, unescaping and path splitting of registry file text, checked against output and
// input behaviour observed from Wine 8.0.
#include "platform/reg_text.h"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace oarepair::platform {
namespace {

std::u16string Decode(std::string_view text, char endChar, size_t* used = nullptr) {
  std::u16string out;
  const size_t n = Unescape(text, endChar, &out);
  if (used != nullptr) *used = n;
  return out;
}

// --- Writing names and strings

TEST(RegTextEscape, KeyPathEscapesBracketsButNotQuotes) {
  EXPECT_EQ(Escape(u"br[ack]ets", EscapeContext::kKeyPath), "br\\[ack\\]ets");
  EXPECT_EQ(Escape(u"quo\"te", EscapeContext::kKeyPath), "quo\"te");
  EXPECT_EQ(Escape(u"back\\slash", EscapeContext::kKeyPath), "back\\\\slash");
}

TEST(RegTextEscape, StringEscapesQuotesButNotBrackets) {
  EXPECT_EQ(Escape(u"quo\"te\\back[x]", EscapeContext::kString), "quo\\\"te\\\\back[x]");
}

TEST(RegTextEscape, ControlCharactersUseLetterEscapes) {
  EXPECT_EQ(Escape(u"\a\b\t\n\v\f\r\x1b", EscapeContext::kKeyPath), "\\a\\b\\t\\n\\v\\f\\r\\e");
  EXPECT_EQ(Escape(u"tab\tchar", EscapeContext::kKeyPath), "tab\\tchar");
}

TEST(RegTextEscape, OtherControlsUseShortestOctalUnlessAnOctalDigitFollows) {
  EXPECT_EQ(Escape(std::u16string(u"ctl\x01") + u"x", EscapeContext::kKeyPath), "ctl\\1x");
  EXPECT_EQ(Escape(std::u16string(u"ctl\x01") + u"7", EscapeContext::kKeyPath), "ctl\\0017");
  EXPECT_EQ(Escape(std::u16string(u"\x1f") + u"8", EscapeContext::kString), "\\378");
  EXPECT_EQ(Escape(std::u16string(u"\x1f") + u"0", EscapeContext::kString), "\\0370");
  // Wine's multi-string form: "1", NUL, "2", NUL.
  EXPECT_EQ(Escape(std::u16string(u"1\0" u"2\0", 4), EscapeContext::kString), "1\\0002\\0");
  EXPECT_EQ(Escape(std::u16string(u"\x01") + u"7" + u"\x02" + u"x" + u"\x1f",
                   EscapeContext::kString),
            "\\0017\\2x\\37");
}

TEST(RegTextEscape, DeleteStaysRaw) {
  EXPECT_EQ(Escape(u"del\x7f", EscapeContext::kKeyPath), "del\x7f");
}

TEST(RegTextEscape, NonAsciiUsesShortestHexPaddedBeforeAHexDigit) {
  EXPECT_EQ(Escape(u"caf\u00e9", EscapeContext::kKeyPath), "caf\\xe9");
  EXPECT_EQ(Escape(u"caf\u00e9a", EscapeContext::kKeyPath), "caf\\x00e9a");
  EXPECT_EQ(Escape(u"caf\u00e9g", EscapeContext::kKeyPath), "caf\\xe9g");
  EXPECT_EQ(Escape(u"caf\u00e9F", EscapeContext::kKeyPath), "caf\\x00e9F");
  EXPECT_EQ(Escape(u"caf\u00e99", EscapeContext::kKeyPath), "caf\\x00e99");
  EXPECT_EQ(Escape(u"\u65e5\u672c", EscapeContext::kKeyPath), "\\x65e5\\x672c");
  EXPECT_EQ(Escape(u"\u0100z", EscapeContext::kKeyPath), "\\x100z");
  EXPECT_EQ(Escape(u"\u00c9cole", EscapeContext::kKeyPath), "\\x00c9cole");
}

TEST(RegTextEscape, CharactersOutsideTheBmpAreTwoSurrogateEscapes) {
  EXPECT_EQ(Escape(u"emoji\U0001F600", EscapeContext::kKeyPath), "emoji\\xd83d\\xde00");
}

TEST(RegTextEscape, OutputIsAlwaysSevenBitAscii) {
  std::u16string all;
  for (uint32_t c = 0; c < 0x10000; ++c) all.push_back(static_cast<char16_t>(c));
  const std::string text = Escape(all, EscapeContext::kString);
  for (char c : text) ASSERT_LT(static_cast<unsigned char>(c), 0x80u);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.find('\0'), std::string::npos);
}

TEST(RegTextEscape, AppendKeepsWhatWasThere) {
  std::string out = "[";
  AppendEscaped(u"a]", EscapeContext::kKeyPath, &out);
  EXPECT_EQ(out, "[a\\]");
}

// --- Reading names and strings

TEST(RegTextUnescape, StopsAtTheFirstUnescapedEndCharacter) {
  size_t used = 0;
  EXPECT_EQ(Decode("abc] 123", ']', &used), u"abc");
  EXPECT_EQ(used, 4u);
  // "[a\\]" ends at the last ']': the escape pair is consumed first.
  EXPECT_EQ(Decode("a\\\\] 1", ']', &used), u"a\\");
  EXPECT_EQ(used, 4u);
  EXPECT_EQ(Decode("br\\[ack\\]ets]", ']', &used), u"br[ack]ets");
  EXPECT_EQ(used, 13u);
  EXPECT_EQ(Decode("quo\\\"te\"=x", '"', &used), u"quo\"te");
  EXPECT_EQ(used, 8u);
  // The other context's special character is plain text here.
  EXPECT_EQ(Decode("a[b]c\"", '"'), u"a[b]c");
}

TEST(RegTextUnescape, MissingEndCharacterIsReported) {
  std::u16string out;
  EXPECT_EQ(Unescape("abc", ']', &out), kNoEndChar);
  EXPECT_EQ(Unescape("a\\]", ']', &out), kNoEndChar);
  EXPECT_EQ(Unescape("abc\\", '"', &out), kNoEndChar);  // trailing backslash eats the end
  EXPECT_EQ(Unescape("", '"', nullptr), kNoEndChar);
  EXPECT_EQ(Unescape("x\"", '"', nullptr), 2u);  // checking only, no output
}

TEST(RegTextUnescape, ControlEscapes) {
  EXPECT_EQ(Decode("\\a\\b\\e\\f\\n\\r\\t\\v]", ']'), u"\a\b\x1b\f\n\r\t\v");
}

TEST(RegTextUnescape, HexTakesOneToFourDigitsGreedily) {
  EXPECT_EQ(Decode("\\x41B]", ']'), u"\u041b");
  EXPECT_EQ(Decode("\\x0041B]", ']'), u"AB");
  EXPECT_EQ(Decode("\\x41bc]", ']'), u"\u41bc");
  EXPECT_EQ(Decode("\\xe9t]", ']'), u"\u00e9t");
  EXPECT_EQ(Decode("\\xE9]", ']'), u"\u00e9");
  EXPECT_EQ(Decode("\\xd83d\\xde00]", ']'), u"\U0001F600");
  // "\x" before a non-hex character is a plain 'x'.
  EXPECT_EQ(Decode("a\\xg]", ']'), u"axg");
  EXPECT_EQ(Decode("a\\x]", ']'), u"ax");
}

TEST(RegTextUnescape, OctalTakesOneToThreeDigits) {
  EXPECT_EQ(Decode("\\0017]", ']'), std::u16string(u"\x01") + u"7");
  EXPECT_EQ(Decode("\\1x]", ']'), std::u16string(u"\x01") + u"x");
  EXPECT_EQ(Decode("a\\0417]", ']'), u"a!7");
  EXPECT_EQ(Decode("a\\777z]", ']'), u"a\u01ffz");
  EXPECT_EQ(Decode("\\08]", ']'), std::u16string(u"\0" u"8", 2));
  EXPECT_EQ(Decode("1\\0002\\0\"", '"'), std::u16string(u"1\0" u"2\0", 4));
}

TEST(RegTextUnescape, OtherEscapedCharactersAreLiteral) {
  EXPECT_EQ(Decode("a\\qb\\\\c\\[\\]\\\"]", ']'), u"aqb\\c[]\"");
}

TEST(RegTextUnescape, RawUtf8IsDecoded) {
  EXPECT_EQ(Decode("a\xc3\xa9" "b]", ']'), u"a\u00e9b");
  EXPECT_EQ(Decode("\xe6\x97\xa5\xe6\x9c\xac]", ']'), u"\u65e5\u672c");
  EXPECT_EQ(Decode("a\xf0\x9f\x98\x80" "b]", ']'), u"a\U0001F600b");
  // Wine takes an encoded surrogate as the code unit.
  EXPECT_EQ(Decode("a\xed\xa0\x80" "b]", ']'), u"a\xd800" u"b");
  // An escaped non-ASCII character is the character.
  EXPECT_EQ(Decode("a\\\xc3\xa9" "b]", ']'), u"a\u00e9b");
}

TEST(RegTextUnescape, InvalidUtf8IsDropped) {
  EXPECT_EQ(Decode("caf\xe9t]", ']'), u"caft");           // Latin-1 byte
  EXPECT_EQ(Decode("a\xc0\x80" "b]", ']'), u"ab");         // overlong NUL
  EXPECT_EQ(Decode("a\xc1\xbf" "b]", ']'), u"ab");         // overlong 2-byte
  EXPECT_EQ(Decode("a\xe0\x80\x80" "b]", ']'), u"ab");     // overlong 3-byte
  EXPECT_EQ(Decode("a\x80" "b]", ']'), u"ab");             // stray continuation
  EXPECT_EQ(Decode("a\xe6\x97" "b]", ']'), u"ab");         // cut short
  EXPECT_EQ(Decode("a\xf0\x9f\x98" "b]", ']'), u"ab");     // cut short
  EXPECT_EQ(Decode("a\xf4\x90\x80\x80" "b]", ']'), u"ab"); // above U+10FFFF
  EXPECT_EQ(Decode("a\xf8\x88\x80\x80\x80" "b]", ']'), u"ab");  // 5-byte form
  EXPECT_EQ(Decode("a\xc3\xc3\xa9" "b]", ']'), u"a\u00e9b");  // bad lead, then a good one
  EXPECT_EQ(Decode("a\xc2]", ']'), u"a");                  // cut by the end character
}

TEST(RegTextUnescape, OutputIsReplacedNotAppended) {
  std::u16string out = u"old";
  EXPECT_EQ(Unescape("new]", ']', &out), 4u);
  EXPECT_EQ(out, u"new");
}

// Plain runs are taken eight bytes at a time: whatever stops a run must be seen at any position
// of such a block, and the bytes around it kept.
TEST(RegTextUnescape, WhatStopsAPlainRunIsSeenAtEveryPosition) {
  for (size_t at = 0; at < 20; ++at) {
    const std::string before(at, 'a');
    const std::string after(19 - at, 'z');  // not a hex digit: \x stops before it
    const std::u16string wideBefore(at, u'a');
    const std::u16string wideAfter(19 - at, u'z');
    size_t used = 0;
    EXPECT_EQ(Decode(before + "]" + after, ']', &used), wideBefore) << at;
    EXPECT_EQ(used, at + 1);
    EXPECT_EQ(Decode(before + "\\]" + after + "]", ']'), wideBefore + u"]" + wideAfter) << at;
    EXPECT_EQ(Decode(before + "\xc3\xa9" + after + "]", ']'), wideBefore + u"\u00e9" + wideAfter)
        << at;
    EXPECT_EQ(Decode(before + "\\x41" + after + "]", ']'), wideBefore + u"A" + wideAfter) << at;
  }
}

// Checking only (no output) must find the same end as decoding, whatever escapes, raw UTF-8
// (valid or not) and end characters the text holds.
TEST(RegTextUnescape, CheckingFindsTheSameEndAsDecoding) {
  std::mt19937 random(77);
  const std::string pieces[] = {"a", "\\", "\\\\", "\"", "]", "\\\"", "\\]", "\\x", "\\x5c",
                                "\\x22", "\\134", "\\42", "\\0", "\xc3\xa9", "\xc3", "\xe2\x82",
                                "\x80", "\xf0\x9f\x98\x80", "\\\xc3\xa9", "\\\xc3", " ", "7", "f"};
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) text += pieces[random() % std::size(pieces)];
    for (char endChar : {'"', ']'}) {
      std::u16string decoded;
      ASSERT_EQ(Unescape(text, endChar, nullptr), Unescape(text, endChar, &decoded))
          << "text " << text << " end " << endChar;
    }
  }
}

// Whatever Wine writes, it reads back as the same text, in both contexts.
TEST(RegTextRoundTrip, EscapedTextReadsBackUnchanged) {
  std::mt19937 random(20240611);
  const char16_t interesting[] = {u'\0', u'\x01', u'\x07', u'\x1b', u'\x1f', u'0', u'7', u'8',
                                  u'9', u'a', u'f', u'g', u'A', u'F', u'x', u'\\', u'[', u']',
                                  u'"', u' ', u'\x7f', u'\x80', u'\xe9', u'\xff', u'\x100',
                                  u'\x41b', u'\xd83d', u'\xde00', u'\xfffe', u'\xffff'};
  for (int round = 0; round < 5000; ++round) {
    std::u16string text;
    const size_t length = random() % 12;
    for (size_t i = 0; i < length; ++i) {
      if (random() % 3 == 0)
        text.push_back(static_cast<char16_t>(random() % 0x10000));
      else
        text.push_back(interesting[random() % (sizeof interesting / sizeof interesting[0])]);
    }
    for (EscapeContext context : {EscapeContext::kKeyPath, EscapeContext::kString}) {
      const char end = context == EscapeContext::kKeyPath ? ']' : '"';
      const std::string escaped = Escape(text, context);
      std::u16string back;
      ASSERT_EQ(Unescape(escaped + end + "tail", end, &back), escaped.size() + 1) << escaped;
      ASSERT_EQ(back, text) << escaped;
    }
  }
}

// --- Splitting key paths

TEST(RegTextSplit, SplitsOnBackslash) {
  const auto names = SplitKeyPath(u"Software\\Wine\\Fonts");
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], u"Software");
  EXPECT_EQ(names[1], u"Wine");
  EXPECT_EQ(names[2], u"Fonts");
}

TEST(RegTextSplit, EmptyNamesCollapse) {
  const auto names = SplitKeyPath(u"\\\\a\\\\\\b\\\\");
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], u"a");
  EXPECT_EQ(names[1], u"b");
  EXPECT_TRUE(SplitKeyPath(u"").empty());
  EXPECT_TRUE(SplitKeyPath(u"\\\\\\").empty());
}

TEST(RegTextSplit, KeepsSpacesAndOtherCharacters) {
  const auto names = SplitKeyPath(u" leading\\trailing \\[x]");
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], u" leading");
  EXPECT_EQ(names[1], u"trailing ");
  EXPECT_EQ(names[2], u"[x]");
}

TEST(RegTextSplit, ReusesTheCallersVector) {
  std::vector<std::u16string_view> names = {u"stale"};
  SplitKeyPath(u"x", &names);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], u"x");
}

}  // namespace
}  // namespace oarepair::platform
