// Prints the sort weights of every Windows-1252 byte as Wine's lstrcmpA uses them, in the form of
// the table kSortWeights in platform/text.cpp, and checks that the table explains Wine.
//
// Build it for Windows x64 and run it under 64-bit Wine with the locale the conformance probe uses:
//   x86_64-w64-mingw32-g++ -std=c++17 -O1 -static tests/conformance/sort_weights.cpp -o sw.exe
//   LANG=C.UTF-8 LC_ALL=C.UTF-8 cmake/wine-run.sh x64 sw.exe > weights.txt
// The lines between the BEGIN and END lines replace the table's rows; the exit status is 0 only
// when every check below held. Given a file (sort_weights.exe Z:/path/to/platform/text.cpp), it
// also checks that the file's rows are exactly the ones printed (the ctest test in the x64 build).
//
// The weights come from the sort key Wine makes of each single byte (LCMapStringA with
// LCMAP_SORTKEY in the user's default locale). A key has five parts, each ended by 01 except the
// last, which ends with 00: the primary weights (two bytes each, one per letter, two for a byte
// that sorts as two letters such as 0xDF "ss"), one diacritic weight and one case weight per
// primary weight (trailing 02s, the defaults, left out), an empty part, and one entry of four
// bytes per special character (hyphen, apostrophe, control characters): 0xFFFF minus the number
// of primary weights before it, its weight, and 0x12. A byte that is in none of the parts (the
// soft hyphen 0xAD) is ignored altogether.
//
// Checks: the key the table gives equals Wine's for every text of one and of two bytes (so no two
// bytes combine into one letter), and lstrcmpA's sign equals that of comparing the two keys byte by
// byte for every pair of one-byte texts and for a fixed series of random texts.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Weights {
  int count = 0;  // primary weights: 0, 1 or 2
  unsigned primary[2] = {0, 0};
  unsigned diacritic[2] = {2, 2};
  unsigned caseWeight[2] = {2, 2};
  unsigned special = 0;  // weight of a special character, 0 for others
};

Weights g_table[256];
int g_failures = 0;

std::vector<unsigned char> WineKey(const std::string& text) {
  unsigned char buffer[8192];
  const int n = LCMapStringA(LOCALE_USER_DEFAULT, LCMAP_SORTKEY, text.c_str(), -1,
                             reinterpret_cast<char*>(buffer), sizeof buffer);
  return std::vector<unsigned char>(buffer, buffer + (n > 0 ? n : 0));
}

bool Parse(int byte, const std::vector<unsigned char>& key, Weights* w) {
  size_t i = 0;
  while (i + 1 < key.size() && key[i] != 1) {
    if (w->count == 2) return false;
    w->primary[w->count++] = (key[i] << 8) | key[i + 1];
    i += 2;
  }
  if (i >= key.size() || key[i] != 1) return false;
  ++i;
  for (int level = 0; level < 2; ++level) {
    unsigned* out = level == 0 ? w->diacritic : w->caseWeight;
    for (int k = 0; i < key.size() && key[i] != 1; ++k, ++i) {
      if (k >= w->count) return false;
      out[k] = key[i];
    }
    if (i >= key.size()) return false;
    ++i;
  }
  if (i >= key.size() || key[i] != 1) return false;  // the empty part
  ++i;
  if (i + 5 == key.size()) {
    if (w->count != 0 || key[i] != 0xFF || key[i + 1] != 0xFF || key[i + 3] != 0x12) return false;
    w->special = key[i + 2];
    i += 4;
  }
  (void)byte;
  return i + 1 == key.size() && key[i] == 0;
}

std::vector<unsigned char> TableKey(const std::string& text) {
  std::vector<unsigned char> primary, diacritic, caseWeight, special;
  for (unsigned char c : text) {
    const Weights& w = g_table[c];
    if (w.special != 0) {
      const unsigned pos = 0xFFFF - static_cast<unsigned>(primary.size() / 2);
      special.insert(special.end(), {static_cast<unsigned char>(pos >> 8),
                                     static_cast<unsigned char>(pos & 0xFF),
                                     static_cast<unsigned char>(w.special), 0x12});
    }
    for (int k = 0; k < w.count; ++k) {
      primary.push_back(static_cast<unsigned char>(w.primary[k] >> 8));
      primary.push_back(static_cast<unsigned char>(w.primary[k] & 0xFF));
      diacritic.push_back(static_cast<unsigned char>(w.diacritic[k]));
      caseWeight.push_back(static_cast<unsigned char>(w.caseWeight[k]));
    }
  }
  while (!diacritic.empty() && diacritic.back() == 2) diacritic.pop_back();
  while (!caseWeight.empty() && caseWeight.back() == 2) caseWeight.pop_back();
  std::vector<unsigned char> key = primary;
  key.push_back(1);
  key.insert(key.end(), diacritic.begin(), diacritic.end());
  key.push_back(1);
  key.insert(key.end(), caseWeight.begin(), caseWeight.end());
  key.push_back(1);
  key.push_back(1);
  key.insert(key.end(), special.begin(), special.end());
  key.push_back(0);
  return key;
}

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

int CompareKeys(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  const int r = std::memcmp(a.data(), b.data(), n);
  if (r != 0) return Sign(r);
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

void Fail(const char* what, const std::string& a, const std::string& b) {
  if (++g_failures > 20) return;
  std::fprintf(stderr, "mismatch (%s):", what);
  for (unsigned char c : a) std::fprintf(stderr, " %02x", c);
  std::fprintf(stderr, " |");
  for (unsigned char c : b) std::fprintf(stderr, " %02x", c);
  std::fprintf(stderr, "\n");
}

// The table rows of a source file: its lines that begin like a printed row.
std::vector<std::string> RowsOf(const char* path) {
  std::vector<std::string> rows;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("    {", 0) == 0 && line.find("},  // 0x") != std::string::npos) {
      rows.push_back(line);
    }
  }
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  for (int c = 1; c < 256; ++c) {
    if (!Parse(c, WineKey(std::string(1, static_cast<char>(c))), &g_table[c])) {
      Fail("unexpected key layout", std::string(1, static_cast<char>(c)), "");
    }
  }
  for (int a = 1; a < 256; ++a) {
    const std::string one(1, static_cast<char>(a));
    if (TableKey(one) != WineKey(one)) Fail("one-byte key", one, "");
    for (int b = 1; b < 256; ++b) {
      const std::string other(1, static_cast<char>(b));
      const std::string two = one + other;
      if (TableKey(two) != WineKey(two)) Fail("two-byte key", two, "");
      if (Sign(lstrcmpA(one.c_str(), other.c_str())) != CompareKeys(WineKey(one), WineKey(other))) {
        Fail("lstrcmpA of one-byte texts", one, other);
      }
    }
  }
  // Random texts of up to eight bytes, half of them close relatives of the other text.
  unsigned long long state = 0x2545F4914F6CDD1DULL;
  const auto next = [&state]() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<unsigned>(state >> 33);
  };
  for (int i = 0; i < 200000; ++i) {
    std::string a, b;
    for (unsigned n = next() % 9; n > 0; --n) a += static_cast<char>(1 + next() % 255);
    if (next() % 2 == 0) {
      b = a;
      if (!b.empty()) {
        const unsigned at = next() % static_cast<unsigned>(b.size());
        b[at] = static_cast<char>(1 + next() % 255);
      }
      const unsigned at = b.empty() ? 0 : next() % static_cast<unsigned>(b.size());
      b.insert(b.begin() + at, static_cast<char>(1 + next() % 255));
    } else {
      for (unsigned n = next() % 9; n > 0; --n) b += static_cast<char>(1 + next() % 255);
    }
    if (TableKey(a) != WineKey(a)) Fail("random key", a, "");
    if (Sign(lstrcmpA(a.c_str(), b.c_str())) != CompareKeys(TableKey(a), TableKey(b))) {
      Fail("lstrcmpA of random texts", a, b);
    }
  }

  std::vector<std::string> rows;
  for (int c = 0; c < 256; ++c) {
    const Weights& w = g_table[c];
    char row[128];
    std::snprintf(row, sizeof row,
                  "    {%d, {0x%04X, 0x%04X}, {0x%02X, 0x%02X}, {0x%02X, 0x%02X}, 0x%02X},"
                  "  // 0x%02X",
                  w.count, w.primary[0], w.primary[1], w.diacritic[0], w.diacritic[1],
                  w.caseWeight[0], w.caseWeight[1], w.special, c);
    rows.push_back(row);
  }
  std::printf("BEGIN sort weights (code page %u, locale %04lx)\n", GetACP(),
              static_cast<unsigned long>(GetThreadLocale()));
  for (const std::string& row : rows) std::printf("%s\n", row.c_str());
  std::printf("END sort weights\n");
  if (argc > 1 && RowsOf(argv[1]) != rows) {
    std::fprintf(stderr, "the rows of %s are not the ones printed above\n", argv[1]);
    ++g_failures;
  }
  if (g_failures != 0) std::fprintf(stderr, "%d checks failed\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
