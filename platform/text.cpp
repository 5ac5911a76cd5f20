// lstrcmpA and lstrlenA. lstrcmpA compares as Windows' word sort does in a Western locale, in
// levels: letters by base letter, then accents, then case (lowercase first); the hyphen, the
// apostrophe and control characters count only when everything else is equal, and then make the
// string that has them the greater one. Equal results come only from identical texts.

#include <cstring>
#include <vector>

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

int CompareLevel(const std::vector<int>& a, const std::vector<int>& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

void Levels(const char* s, std::vector<int>* p, std::vector<int>* sec, std::vector<int>* ter,
            size_t* ignorables) {
  for (; *s != '\0'; ++s) {
    const Weight w = WeightOf(static_cast<unsigned char>(*s));
    if (w.primary == 0) {
      ++*ignorables;
      continue;
    }
    p->push_back(w.primary);
    sec->push_back(w.secondary);
    ter->push_back(w.tertiary);
  }
}

}  // namespace

int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) {
    if (lpString1 == lpString2) return 0;
    return lpString1 == nullptr ? -1 : 1;
  }
  std::vector<int> p1, s1, t1, p2, s2, t2;
  size_t i1 = 0;
  size_t i2 = 0;
  Levels(lpString1, &p1, &s1, &t1, &i1);
  Levels(lpString2, &p2, &s2, &t2, &i2);
  int rc = CompareLevel(p1, p2);
  if (rc == 0) rc = CompareLevel(s1, s2);
  if (rc == 0) rc = CompareLevel(t1, t2);
  if (rc == 0 && i1 != i2) rc = i1 < i2 ? -1 : 1;
  if (rc == 0) {
    const int raw = std::strcmp(lpString1, lpString2);
    rc = raw == 0 ? 0 : (raw < 0 ? -1 : 1);
  }
  return rc;
}

int WINAPI lstrlenA(LPCSTR lpString) {
  return lpString == nullptr ? 0 : static_cast<int>(std::strlen(lpString));
}
