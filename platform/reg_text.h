// Text of names and strings in Wine's registry files: the escaping Wine writes, the unescaping
// Wine reads, and the splitting of key paths into names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace oarepair::platform {

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

// Splits an unescaped key path at every backslash; empty names (doubled, leading or trailing
// separators) are dropped, as Wine collapses them. The views point into `path`.
void SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>* names);
std::vector<std::u16string_view> SplitKeyPath(std::u16string_view path);

}  // namespace oarepair::platform
