// Text of names and strings in Wine's registry files: the escaping Wine writes, the unescaping
// Wine reads, and the splitting of key paths into names.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace oarepair::platform {

// The value of each byte as a hex digit, or -1. A table: every section of a registry file has
// sixteen hex digits of time, and escapes and values have more.
inline constexpr std::array<int8_t, 256> kHexDigitValues = [] {
  std::array<int8_t, 256> values{};
  for (auto& v : values) v = -1;
  for (int c = 0; c < 10; ++c) values[static_cast<size_t>('0' + c)] = static_cast<int8_t>(c);
  for (int c = 0; c < 6; ++c) {
    values[static_cast<size_t>('a' + c)] = static_cast<int8_t>(10 + c);
    values[static_cast<size_t>('A' + c)] = static_cast<int8_t>(10 + c);
  }
  return values;
}();

inline int HexDigitValue(char c) { return kHexDigitValues[static_cast<unsigned char>(c)]; }
inline bool IsHexDigit(char c) { return HexDigitValue(c) >= 0; }

inline bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// What Wine skips before the first character of a line and around '=' and hex bytes.
inline bool IsRegSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline size_t SkipRegSpaces(std::string_view s, size_t p) {
  while (p < s.size() && IsRegSpace(s[p])) ++p;
  return p;
}

// Which two characters, besides the backslash, get a backslash before them.
enum class EscapeContext {
  kKeyPath,  // a key path in a section header: '[' and ']'
  kString,   // a value name, string data or a class: '"'
};

// Appends `text` as Wine writes it: ASCII only, control characters as \a \b \t \n \v \f \r \e or
// octal, code units from 0x80 as \x in the shortest form (4 digits when a hex digit follows).
void AppendEscaped(std::u16string_view text, EscapeContext context, std::string* out);
std::string Escape(std::u16string_view text, EscapeContext context);

// Returned by Unescape when the text has no unescaped end character.
constexpr size_t kNoEndChar = std::string_view::npos;

// Decodes `text` up to its first unescaped `endChar` as Wine reads it: \x with 1 to 4 hex digits,
// octal with 1 to 3 digits, the control escapes, any other escaped character literally, raw
// bytes from 0x80 as UTF-8 (4-byte sequences as surrogate pairs, invalid bytes dropped).
// Returns the bytes used, end character included, or kNoEndChar. `out` may be null to only
// check; otherwise it receives the decoded text (replacing what it held).
size_t Unescape(std::string_view text, char endChar, std::u16string* out);

// Where the run of plain ASCII that starts at text[i] ends: at the first `endChar`, backslash or
// byte from 0x80, or at the end.
size_t PlainRunEnd(std::string_view text, size_t i, char endChar);

// The time a section header gives after the ']' of its path: " <seconds>" read as sscanf(" %u")
// reads it, as a file time; 0 when there is no number (Wine then gives the key the load time).
uint64_t HeaderFileTime(std::string_view afterPath);

// The time of a "#time=" option, from the text after its '=': hex digits, upper or lower case, up
// to the first other character.
uint64_t OptionFileTime(std::string_view digits);

// Splits an unescaped key path at every backslash; empty names (doubled, leading or trailing
// separators) are dropped, as Wine collapses them. The views point into `path`.
void SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>* names);
std::vector<std::u16string_view> SplitKeyPath(std::u16string_view path);

}  // namespace oarepair::platform
