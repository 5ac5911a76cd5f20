// Key names as Wine holds them (UTF-16 code units) and as the narrow API sees them (Windows-1252),
// with Wine's case folding and ordering.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace oarepair::platform {

// Longest key-name component Wine accepts, in UTF-16 code units.
constexpr size_t kMaxKeyNameLength = 256;

// Lowercase mapping of one UTF-16 code unit from 0x80, as Wine folds names.
char16_t FoldNonAscii(char16_t c);

// Lowercase mapping of one UTF-16 code unit, as Wine folds names for lookup and ordering. Inline
// for ASCII: every name comparison and every name read from a file goes through it.
inline char16_t FoldChar(char16_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c + 32) : c;
  return FoldNonAscii(c);
}

// Wine's order: fold both names unit by unit; on an equal common prefix the shorter comes first.
int CompareNames(std::u16string_view a, std::u16string_view b);
bool NamesEqual(std::u16string_view a, std::u16string_view b);
// A hash of the name as Wine folds it: names NamesEqual holds for hash alike.
uint32_t HashKeyName(std::u16string_view name);

// The narrow API's code page is Windows-1252 (Wine's default ANSI code page): every byte maps to
// one code unit; a unit with no byte becomes '?', as WideCharToMultiByte's default character.
std::u16string NarrowToWide(std::string_view narrow);
std::string WideToNarrow(std::u16string_view wide);
// One code unit as the narrow API sees it: always exactly one byte.
char WideUnitToNarrow(char16_t unit);

}  // namespace oarepair::platform
