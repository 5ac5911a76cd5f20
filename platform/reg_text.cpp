#include "platform/reg_text.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/clock.h"

namespace oarepair::platform {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool IsAsciiHexDigit(char16_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsOctalDigit(char16_t c) { return c >= '0' && c <= '7'; }

// Appends `value` in lowercase hex with at least `width` digits.
void AppendHex(uint32_t value, int width, std::string* out) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n < width) digits[n++] = '0';
  while (n > 0) out->push_back(digits[--n]);
}

void AppendOctal(uint32_t value, int width, std::string* out) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + (value & 7));
    value >>= 3;
  } while (value != 0);
  while (n < width) digits[n++] = '0';
  while (n > 0) out->push_back(digits[--n]);
}

// Decodes the UTF-8 sequence that starts with the byte at text[*pos] (>= 0x80) and advances
// *pos. Returns the code point, or -1 when the lead byte does not start a valid sequence; then
// only that byte is consumed (the continuation bytes after it are dropped one by one in turn).
// Like Wine, encoded surrogates are accepted; overlong forms and values above U+10FFFF are not.
int32_t DecodeUtf8(std::string_view text, size_t* pos) {
  const auto lead = static_cast<unsigned char>(text[*pos]);
  size_t extra = 0;
  uint32_t value = 0;
  uint32_t minimum = 0;
  if (lead >= 0xC0 && lead <= 0xDF) {
    extra = 1;
    value = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    value = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    extra = 3;
    value = lead & 0x07u;
    minimum = 0x10000;
  } else {
    ++*pos;  // a stray continuation byte or an impossible lead byte
    return -1;
  }
  if (text.size() - *pos <= extra) {
    ++*pos;
    return -1;
  }
  for (size_t i = 1; i <= extra; ++i) {
    const auto b = static_cast<unsigned char>(text[*pos + i]);
    if ((b & 0xC0u) != 0x80u) {
      ++*pos;
      return -1;
    }
    value = (value << 6) | (b & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF) {
    ++*pos;
    return -1;
  }
  *pos += extra + 1;
  return static_cast<int32_t>(value);
}

void PushCodePoint(int32_t cp, std::u16string* out) {
  if (out == nullptr) return;
  if (cp >= 0x10000) {
    const auto v = static_cast<uint32_t>(cp) - 0x10000u;
    out->push_back(static_cast<char16_t>(0xD800u + (v >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00u + (v & 0x3FFu)));
  } else {
    out->push_back(static_cast<char16_t>(cp));
  }
}

}  // namespace

void AppendEscaped(std::u16string_view text, EscapeContext context, std::string* out) {
  const char16_t extra1 = context == EscapeContext::kKeyPath ? u'[' : u'"';
  const char16_t extra2 = context == EscapeContext::kKeyPath ? u']' : u'"';
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const char16_t next = i + 1 < text.size() ? text[i + 1] : u'\0';
    if (c == u'\\' || c == extra1 || c == extra2) {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      out->push_back('\\');
      switch (c) {
        case 0x07: out->push_back('a'); break;
        case 0x08: out->push_back('b'); break;
        case 0x09: out->push_back('t'); break;
        case 0x0A: out->push_back('n'); break;
        case 0x0B: out->push_back('v'); break;
        case 0x0C: out->push_back('f'); break;
        case 0x0D: out->push_back('r'); break;
        case 0x1B: out->push_back('e'); break;
        default:
          // An octal digit after the escape would be read as part of it: then use all three.
          AppendOctal(c, IsOctalDigit(next) ? 3 : 1, out);
          break;
      }
    } else if (c < 0x80) {
      out->push_back(static_cast<char>(c));  // printable ASCII and DEL stay raw
    } else {
      out->push_back('\\');
      out->push_back('x');
      AppendHex(c, IsAsciiHexDigit(next) ? 4 : 1, out);
    }
  }
}

std::string Escape(std::u16string_view text, EscapeContext context) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(text, context, &out);
  return out;
}

namespace {

// Unescape's result without decoding: no escape or UTF-8 sequence can hide the end character or
// a backslash except the one character right after a backslash, so the two searches suffice. The
// end character found stays the answer until an escape reaches past it.
size_t FindUnescapedEnd(std::string_view text, char endChar) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const auto find = [](const char* from, char c, const char* to) {
    return static_cast<const char*>(std::memchr(from, c, static_cast<size_t>(to - from)));
  };
  const char* p = begin;
  const char* close = find(p, endChar, end);
  while (p < end) {
    const char* const escape = find(p, '\\', close == nullptr ? end : close);
    if (escape == nullptr)
      return close == nullptr ? kNoEndChar : static_cast<size_t>(close - begin) + 1;
    p = escape + 2;  // the escaped character never ends the text
    if (close != nullptr && p > close) close = p < end ? find(p, endChar, end) : nullptr;
  }
  return kNoEndChar;
}

}  // namespace

// Eight bytes at a time while none of the three is in sight.
size_t PlainRunEnd(std::string_view text, size_t i, char endChar) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighs = 0x8080808080808080u;
  // Exact for "some byte of x is zero", which is all that is asked of it.
  const auto hasZeroByte = [](uint64_t x) { return ((x - kOnes) & ~x & kHighs) != 0; };
  const uint64_t ends = kOnes * static_cast<unsigned char>(endChar);
  const uint64_t backslashes = kOnes * static_cast<unsigned char>('\\');
  for (; i + sizeof(uint64_t) <= text.size(); i += sizeof(uint64_t)) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + i, sizeof word);
    if ((word & kHighs) != 0 || hasZeroByte(word ^ ends) || hasZeroByte(word ^ backslashes))
      break;
  }
  while (i < text.size() && text[i] != endChar && text[i] != '\\' &&
         static_cast<unsigned char>(text[i]) < 0x80)
    ++i;
  return i;
}

size_t Unescape(std::string_view text, char endChar, std::u16string* out) {
  if (out == nullptr) return FindUnescapedEnd(text, endChar);
  out->clear();
  size_t i = 0;
  while (i < text.size()) {
    // Most names and strings are plain ASCII: take each run of it in one piece.
    const size_t run = PlainRunEnd(text, i, endChar);
    if (run > i) {
      const size_t had = out->size();
      out->resize(had + (run - i));
      char16_t* to = &(*out)[had];
      for (size_t k = i; k < run; ++k) *to++ = static_cast<char16_t>(text[k]);
      i = run;
      if (i == text.size()) break;
    }
    const char b = text[i];
    if (b == endChar) return i + 1;
    if (b == '\\') {
      if (++i == text.size()) return kNoEndChar;  // the escape eats what would end the text
      const char e = text[i];
      char16_t unit = 0;
      switch (e) {
        case 'a': unit = 0x07; break;
        case 'b': unit = 0x08; break;
        case 'e': unit = 0x1B; break;
        case 'f': unit = 0x0C; break;
        case 'n': unit = 0x0A; break;
        case 'r': unit = 0x0D; break;
        case 't': unit = 0x09; break;
        case 'v': unit = 0x0B; break;
        case 'x': {
          uint32_t value = 0;
          size_t digits = 0;
          while (digits < 4 && i + 1 + digits < text.size()) {
            const int d = HexDigitValue(text[i + 1 + digits]);
            if (d < 0) break;
            value = value * 16 + static_cast<uint32_t>(d);
            ++digits;
          }
          // "\x" before a non-hex character is a plain 'x'.
          unit = digits == 0 ? u'x' : static_cast<char16_t>(value);
          i += digits;
          break;
        }
        case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
          uint32_t value = static_cast<uint32_t>(e - '0');
          size_t digits = 1;
          while (digits < 3 && i + digits < text.size() && IsOctalDigit(text[i + digits])) {
            value = value * 8 + static_cast<uint32_t>(text[i + digits] - '0');
            ++digits;
          }
          unit = static_cast<char16_t>(value);
          i += digits - 1;
          break;
        }
        default:
          if (static_cast<unsigned char>(e) >= 0x80) {
            // An escaped non-ASCII character is still UTF-8 (Wine reads "\é" as "é").
            const int32_t cp = DecodeUtf8(text, &i);
            if (cp >= 0) PushCodePoint(cp, out);
            continue;
          }
          unit = static_cast<char16_t>(static_cast<unsigned char>(e));
          break;
      }
      out->push_back(unit);
      ++i;
    } else if (static_cast<unsigned char>(b) < 0x80) {
      out->push_back(static_cast<char16_t>(b));
      ++i;
    } else {
      const int32_t cp = DecodeUtf8(text, &i);
      if (cp >= 0) PushCodePoint(cp, out);
    }
  }
  return kNoEndChar;
}

void SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>* names) {
  names->clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) names->push_back(path.substr(start, end - start));
    start = end + 1;
  }
}

std::vector<std::u16string_view> SplitKeyPath(std::u16string_view path) {
  std::vector<std::u16string_view> names;
  SplitKeyPath(path, &names);
  return names;
}

uint64_t HeaderFileTime(std::string_view s) {
  size_t p = SkipRegSpaces(s, 0);
  bool negative = false;
  if (p < s.size() && (s[p] == '+' || s[p] == '-')) negative = s[p++] == '-';
  if (p == s.size() || s[p] < '0' || s[p] > '9') return 0;
  uint64_t value = 0;
  for (; p < s.size() && s[p] >= '0' && s[p] <= '9'; ++p)
    value = value > (UINT64_MAX - 9) / 10 ? UINT64_MAX
                                          : value * 10 + static_cast<uint64_t>(s[p] - '0');
  // Stored into an unsigned int as sscanf does: the low 32 bits. The file time that gives is
  // never 0: it is at least the epoch.
  const auto low = static_cast<uint32_t>(value);
  const uint32_t seconds = negative ? static_cast<uint32_t>(0u - low) : low;
  return seconds * kFileTimeTicksPerSecond + kUnixEpochAsFileTime;
}

uint64_t OptionFileTime(std::string_view s) {
  uint64_t value = 0;
  for (size_t p = 0; p < s.size() && IsHexDigit(s[p]); ++p)
    value = (value << 4) | static_cast<unsigned>(HexDigitValue(s[p]));
  return value;
}

}  // namespace oarepair::platform
