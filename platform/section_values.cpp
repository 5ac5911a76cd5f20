#include "platform/section_values.h"

#include <cstdint>
#include <string>

#include "platform/names.h"
#include "platform/reg_text.h"

namespace oarepair::platform {
namespace {

std::string_view NextLine(std::string_view text, size_t* pos) {
  const size_t start = *pos;
  size_t end = text.find('\n', start);
  if (end == std::string_view::npos) end = text.size();
  *pos = end + 1;
  std::string_view line = text.substr(start, end - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (FoldChar(static_cast<unsigned char>(text[i])) !=
        FoldChar(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

}  // namespace

bool HeaderSaysWin64(std::string_view header) {
  size_t pos = 0;
  while (pos < header.size()) {
    if (NextLine(header, &pos) == "#arch=win64") return true;
  }
  return false;
}

bool ParseLinkTarget(std::string_view section, std::u16string* target) {
  constexpr std::string_view kValue = "\"SymbolicLinkValue\"=hex(6):";
  size_t pos = 0;
  std::string_view line;
  bool found = false;
  while (pos < section.size()) {
    line = NextLine(section, &pos);
    if (StartsWithNoCase(line, kValue)) {
      found = true;
      break;
    }
  }
  if (!found) return false;
  line.remove_prefix(kValue.size());
  std::string bytes;
  for (;;) {
    // A value goes on over the next line when its line ends with a backslash; Wine indents the
    // continuation with two blanks.
    const bool continues = !line.empty() && line.back() == '\\';
    if (continues) line.remove_suffix(1);
    size_t i = 0;
    while (i < line.size()) {
      const char c = line[i];
      if (c == ',' || c == ' ' || c == '\t') {
        ++i;
        continue;
      }
      if (i + 1 >= line.size()) return false;
      const int high = HexDigitValue(line[i]);
      const int low = HexDigitValue(line[i + 1]);
      if (high < 0 || low < 0) return false;
      bytes.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    }
    if (!continues || pos >= section.size()) break;
    line = NextLine(section, &pos);
  }
  target->clear();
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    target->push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                            static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return true;
}

}  // namespace oarepair::platform
