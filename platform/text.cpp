// lstrcmpA and lstrlenA. lstrcmpA compares as Windows' word sort does in a Western locale, in
// levels: letters by base letter, then accents, then case (lowercase first); the hyphen, the
// apostrophe and control characters count only when everything else is equal, and then make the
// string that has them the greater one. Equal results come only from identical texts.

#include <array>
#include <cstddef>
#include <cstring>

#include "platform/win32.h"

namespace {

struct Weight {
  int primary = 0;    // 0: ignorable
  int secondary = 0;  // accent
  int tertiary = 0;   // 1 for uppercase
};

// Base letters of Windows-1252's accented letters 0xC0..0xFF ('\0': not a letter).
constexpr char kLatin1Base[64 + 1] =
    "aaaaaaaceeeeiiiidnooooo\0ouuuuyts"   // 0xC0..0xDF (0xD7 is the multiplication sign)
    "aaaaaaaceeeeiiiidnooooo\0ouuuuyty";  // 0xE0..0xFF (0xF7 is the division sign)

Weight WeightOf(unsigned char c) {
  Weight w;
  if (c == '-' || c == '\'' || (c >= 0x01 && c <= 0x08) || (c >= 0x0E && c <= 0x1F) ||
      c == 0x7F) {
    return w;  // ignorable at the first three levels
  }
  if (c >= '0' && c <= '9') {
    w.primary = 1000 + (c - '0');
    return w;
  }
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
    w.primary = 2000 + ((c | 0x20) - 'a');
    w.tertiary = (c >= 'A' && c <= 'Z') ? 1 : 0;
    return w;
  }
  if (c >= 0xC0 && kLatin1Base[c - 0xC0] != '\0') {
    const char base = kLatin1Base[c - 0xC0];
    w.primary = 2000 + (base - 'a');
    w.secondary = 1 + (c & 0x1F);
    w.tertiary = c < 0xE0 && c != 0xDF ? 1 : 0;
    return w;
  }
  switch (c) {  // the caron letters and ligatures of 0x80..0x9F
    case 0x8A: case 0x9A: w.primary = 2000 + ('s' - 'a'); w.secondary = 40; break;
    case 0x8E: case 0x9E: w.primary = 2000 + ('z' - 'a'); w.secondary = 40; break;
    case 0x8C: case 0x9C: w.primary = 2000 + ('o' - 'a'); w.secondary = 41; break;
    case 0x9F: w.primary = 2000 + ('y' - 'a'); w.secondary = 9; break;
    default:
      // Blanks, then punctuation and symbols, all before digits and letters.
      w.primary = (c == ' ' || (c >= 0x09 && c <= 0x0D)) ? 100 + c : 300 + c;
      return w;
  }
  w.tertiary = (c == 0x8A || c == 0x8E || c == 0x8C || c == 0x9F) ? 1 : 0;
  return w;
}

// The weights of every byte, worked out once: the listing compares every name it meets.
const std::array<Weight, 256>& Weights() {
  static const std::array<Weight, 256> table = [] {
    std::array<Weight, 256> weights{};
    for (size_t c = 0; c < weights.size(); ++c) weights[c] = WeightOf(static_cast<unsigned char>(c));
    return weights;
  }();
  return table;
}

// Compares one level of the two texts' weights, over their characters that are not ignorable;
// when one runs out first, it is the smaller.
int CompareLevel(const unsigned char* a, const unsigned char* b, int Weight::*level) {
  const std::array<Weight, 256>& w = Weights();
  for (;; ++a, ++b) {
    while (*a != 0 && w[*a].primary == 0) ++a;
    while (*b != 0 && w[*b].primary == 0) ++b;
    if (*a == 0 || *b == 0) return *a == *b ? 0 : (*a == 0 ? -1 : 1);
    const int x = w[*a].*level;
    const int y = w[*b].*level;
    if (x != y) return x < y ? -1 : 1;
  }
}

size_t Ignorables(const unsigned char* s) {
  const std::array<Weight, 256>& w = Weights();
  size_t n = 0;
  for (; *s != 0; ++s) n += w[*s].primary == 0 ? 1 : 0;
  return n;
}

}  // namespace

int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) {
    if (lpString1 == lpString2) return 0;
    return lpString1 == nullptr ? -1 : 1;
  }
  const auto* a = reinterpret_cast<const unsigned char*>(lpString1);
  const auto* b = reinterpret_cast<const unsigned char*>(lpString2);
  int rc = CompareLevel(a, b, &Weight::primary);
  if (rc == 0) rc = CompareLevel(a, b, &Weight::secondary);
  if (rc == 0) rc = CompareLevel(a, b, &Weight::tertiary);
  if (rc == 0) {
    const size_t i1 = Ignorables(a);
    const size_t i2 = Ignorables(b);
    if (i1 != i2) rc = i1 < i2 ? -1 : 1;
  }
  if (rc == 0) {
    const int raw = std::strcmp(lpString1, lpString2);
    rc = raw == 0 ? 0 : (raw < 0 ? -1 : 1);
  }
  return rc;
}

int WINAPI lstrlenA(LPCSTR lpString) {
  return lpString == nullptr ? 0 : static_cast<int>(std::strlen(lpString));
}
