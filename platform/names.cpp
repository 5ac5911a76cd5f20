#include "platform/names.h"

#include <atomic>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <locale.h>

namespace oarepair::platform {
namespace {

// Windows-1252 bytes 0x80..0x9F; the five unassigned bytes map to the same C1 code point, as
// Windows' own table does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t ByteToUnit(unsigned char b) {
  if (b >= 0x80 && b < 0xA0) return kCp1252High[b - 0x80];
  return b;
}

// The lowercase of one code unit from 0x80 as Wine has it: the C library's Unicode tables (Wine
// folds with Unicode's simple lowercase mapping too), less a few letters.
char16_t LowerNonAscii(char16_t c) {
  // Letters the C library lowercases but Wine's table leaves alone (dotted capital I, title-case
  // digraphs, theta symbol, capital sharp s, Ohm, Kelvin and Angstrom signs): checked against
  // Wine 8.0 with one sibling key per code unit.
  for (char16_t keep : {u'\u0130', u'\u01C5', u'\u01C8', u'\u01CB', u'\u01F2', u'\u03F4',
                        u'\u1E9E', u'\u2126', u'\u212A', u'\u212B'})
    if (c == keep) return c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  // Kept for the process's life: a plain handle, so nothing is destroyed before exit-time saves.
  static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (loc == nullptr) return c;
  const wint_t lower = towlower_l(static_cast<wint_t>(c), loc);
  return lower < 0x10000 ? static_cast<char16_t>(lower) : c;
}

// The units from 0x80 folded so far, each looked up on first use (0: not yet; none folds to 0).
// A repair meets a handful of them, and filling the whole table took about a millisecond of every
// start. Atomic because the two parts of a large file are read, and their names folded, at once;
// static and trivially destroyed, so it outlives the exit-time save.
std::atomic<char16_t> g_folded[0x10000];

}  // namespace

char16_t FoldNonAscii(char16_t c) {
  char16_t folded = g_folded[c].load(std::memory_order_relaxed);
  if (folded == 0) {
    folded = LowerNonAscii(c);
    g_folded[c].store(folded, std::memory_order_relaxed);
  }
  return folded;
}

int CompareNames(std::u16string_view a, std::u16string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;  // the same unit folds the same: most names share a beginning
    const char16_t fa = FoldChar(a[i]);
    const char16_t fb = FoldChar(b[i]);
    if (fa != fb) return fa < fb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && CompareNames(a, b) == 0;
}

uint32_t HashKeyName(std::u16string_view name) {
  // Four folded units at a time: every key of a file is hashed while it is read.
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  uint64_t hash = kMul ^ name.size();
  for (size_t i = 0; i < name.size(); i += 4) {
    uint64_t word = 0;  // the last units of a name are padded with zeros
    if (i + 4 <= name.size())
      std::memcpy(&word, name.data() + i, sizeof word);  // one load, not a call of memcpy
    else
      std::memcpy(&word, name.data() + i, (name.size() - i) * sizeof(char16_t));
    if ((word & 0xFF80FF80FF80FF80ull) == 0) {
      // ASCII only: add 0x20 to every unit from 'A' (0x41) to 'Z' (0x5A), all four at once.
      const uint64_t fromA = word + 0x003F003F003F003Full;
      const uint64_t pastZ = word + 0x0025002500250025ull;
      word += ((fromA & ~pastZ) & 0x0080008000800080ull) >> 2;
    } else {
      char16_t units[4];
      std::memcpy(units, &word, sizeof word);
      for (char16_t& c : units) c = FoldChar(c);
      std::memcpy(&word, units, sizeof word);
    }
    hash = (hash ^ word) * kMul;
    hash ^= hash >> 29;
  }
  return static_cast<uint32_t>(hash ^ (hash >> 32));
}

std::u16string NarrowToWide(std::string_view narrow) {
  std::u16string wide;
  wide.reserve(narrow.size());
  for (char c : narrow) wide.push_back(ByteToUnit(static_cast<unsigned char>(c)));
  return wide;
}

char WideUnitToNarrow(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == unit) return static_cast<char>(0x80 + i);
  return '?';
}

std::string WideToNarrow(std::u16string_view wide) {
  std::string narrow(wide.size(), '\0');
  for (size_t i = 0; i < wide.size(); ++i) narrow[i] = WideUnitToNarrow(wide[i]);
  return narrow;
}

}  // namespace oarepair::platform
