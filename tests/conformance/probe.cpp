// Registry conformance probe: makes the same Win32 calls on Windows (run under Wine) and on Linux
// (our platform layer) and prints one line per case, so that the two outputs can be diffed.
//
// Output lines look like `NNN-case-name rc=0(SUCCESS) out=new sees(Child)=0`. Handle values, times and
// addresses are never printed: an output handle is classified (untouched, null, HKCR, HKCU, HKLM,
// same-as-input, new) and `sees(X)=rc` opens child X through it to show which key it refers to.
// All scratch keys live under HKCU\Software\RegProbe, HKCR\RegProbe, HKCU\Software\Classes\RegProbe*,
// HKLM\Software\RegProbe and HKLM\RegProbeDirect, and are removed at the end.
//
// Calls that fault inside Wine 8.0 instead of returning an error are deliberately not made:
// RegOpenKeyExA / RegCreateKeyA with a NULL result pointer and RegEnumKeyExA with a NULL name count.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"
#ifndef _WIN32
#include "platform/registry_control.h"
#endif

namespace {

HKEY FromValue(ULONG_PTR value) { return reinterpret_cast<HKEY>(value); }

// A predefined-style value: the 32-bit number sign-extended, as the Windows headers define roots.
HKEY SignExtended(uint32_t value)
{
  return FromValue(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<int32_t>(value))));
}

const HKEY kSentinel = FromValue(0x5EA5EA5Cu);  // written into result variables before each call
const HKEY kGarbage = FromValue(0x1234u);       // never a live key handle in this program

const char kScratchPath[] = "Software\\RegProbe";
const char kClsidName[] = "{5EA5EA5C-0000-4000-8000-000000000612}";
const char kClsidPath[] = "CLSID\\{5EA5EA5C-0000-4000-8000-000000000612}";

constexpr DWORD kNameBufSize = 300;
constexpr DWORD kMaxListed = 10000;  // stops a listing that never ends

std::vector<HKEY> g_kept;  // handles closed just before the cleanup cases
std::string g_setup;       // setup failures, appended to the next printed line

const char* ErrorName(LONG rc)
{
  switch (rc) {
    case 0: return "SUCCESS";
    case 2: return "FILE_NOT_FOUND";
    case 3: return "PATH_NOT_FOUND";
    case 5: return "ACCESS_DENIED";
    case 6: return "INVALID_HANDLE";
    case 8: return "NOT_ENOUGH_MEMORY";
    case 87: return "INVALID_PARAMETER";
    case 161: return "BAD_PATHNAME";
    case 234: return "MORE_DATA";
    case 259: return "NO_MORE_ITEMS";
    case 1009: return "BADDB";
    case 1010: return "BADKEY";
    case 1011: return "CANTOPEN";
    case 1012: return "CANTREAD";
    case 1013: return "CANTWRITE";
    case 1015: return "REGISTRY_CORRUPT";
    case 1016: return "REGISTRY_IO_FAILED";
    case 1018: return "KEY_DELETED";
    case 1020: return "KEY_HAS_CHILDREN";
    default: return "UNKNOWN";
  }
}

std::string Code(LONG rc)
{
  return std::to_string(static_cast<long>(rc)) + "(" + ErrorName(rc) + ")";
}

std::string Num(LONG rc) { return std::to_string(static_cast<long>(rc)); }

std::string Hex(unsigned char c)
{
  static const char kDigits[] = "0123456789abcdef";
  std::string s = "\\x";
  s += kDigits[c >> 4];
  s += kDigits[c & 15];
  return s;
}

// A name for printing: runs of ten or more equal characters become `c{n}`, other bytes outside
// printable ASCII become \xHH.
std::string Show(const std::string& name)
{
  std::string out;
  size_t i = 0;
  while (i < name.size()) {
    size_t j = i;
    while (j < name.size() && name[j] == name[i]) ++j;
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const std::string one = (c < 0x20 || c >= 0x7F) ? Hex(c) : std::string(1, name[i]);
    if (j - i >= 10) {
      out += one + "{" + std::to_string(j - i) + "}";
    } else {
      for (size_t k = i; k < j; ++k) out += one;
    }
    i = j;
  }
  return out;
}

// The first `count` bytes of a buffer: NUL as \0, the sentinel '#' as itself.
std::string ShowBuf(const char* buf, size_t count)
{
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    const unsigned char c = static_cast<unsigned char>(buf[i]);
    if (c == 0) {
      out += "\\0";
    } else if (c < 0x20 || c >= 0x7F) {
      out += Hex(c);
    } else {
      out += buf[i];
    }
  }
  return out;
}

std::string Repeat(char c, size_t n) { return std::string(n, c); }

void Line(const char* name, const std::string& text)
{
  std::string line = std::string(name) + " " + text + g_setup + "\n";
  g_setup.clear();
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

// Records a setup step that should have succeeded; a failure shows on the next printed line.
void Setup(const char* what, LONG rc)
{
  if (rc != 0) g_setup += std::string(" setup(") + what + ")=" + Code(rc);
}

std::string Classify(HKEY out, HKEY in)
{
  if (out == kSentinel) return "untouched";
  if (out == nullptr) return "null";
  if (out == HKEY_CLASSES_ROOT) return "HKCR";
  if (out == HKEY_CURRENT_USER) return "HKCU";
  if (out == HKEY_LOCAL_MACHINE) return "HKLM";
  if (out == in) return "same-as-input";
  return "new";
}

// Closes a result handle unless it is empty or the very handle that was passed in.
void Release(HKEY out, HKEY in)
{
  if (out != kSentinel && out != nullptr && out != in) RegCloseKey(out);
}

LONG Exists(HKEY root, const char* path)
{
  HKEY h = kSentinel;
  const LONG rc = RegOpenKeyExA(root, path, 0, KEY_READ, &h);
  if (rc == 0) Release(h, root);
  return rc;
}

std::string Sees(HKEY h, const char* child)
{
  return "sees(" + Show(child) + ")=" + Num(Exists(h, child));
}

LONG CreateRc(HKEY root, const char* path)
{
  HKEY h = kSentinel;
  const LONG rc = RegCreateKeyA(root, path, &h);
  if (rc == 0) Release(h, root);
  return rc;
}

HKEY OpenKept(HKEY root, const char* path, REGSAM sam, const char* what)
{
  HKEY h = kSentinel;
  const LONG rc = RegOpenKeyExA(root, path, 0, sam, &h);
  Setup(what, rc);
  return rc == 0 ? h : nullptr;
}

HKEY CreateKept(HKEY root, const char* path, const char* what)
{
  HKEY h = kSentinel;
  const LONG rc = RegCreateKeyA(root, path, &h);
  Setup(what, rc);
  return rc == 0 ? h : nullptr;
}

// Name at `index`, or `<rc>` when the enumeration fails.
std::string NameAt(HKEY h, DWORD index)
{
  char buf[kNameBufSize];
  DWORD cap = kNameBufSize;
  const LONG rc = RegEnumKeyExA(h, index, buf, &cap, nullptr, nullptr, nullptr, nullptr);
  if (rc != 0) return "<" + Code(rc) + ">";
  return std::string(buf, cap);
}

LONG EnumRc(HKEY h)
{
  char buf[kNameBufSize];
  DWORD cap = kNameBufSize;
  return RegEnumKeyExA(h, 0, buf, &cap, nullptr, nullptr, nullptr, nullptr);
}

// All names from index 0 up, and the code that ended the walk: `[a,b] end=259(NO_MORE_ITEMS)`.
std::string List(HKEY h)
{
  std::string s = "[";
  LONG rc = 0;
  for (DWORD i = 0; i < kMaxListed; ++i) {
    char buf[kNameBufSize];
    DWORD cap = kNameBufSize;
    rc = RegEnumKeyExA(h, i, buf, &cap, nullptr, nullptr, nullptr, nullptr);
    if (rc != 0) break;
    if (i != 0) s += ",";
    s += Show(std::string(buf, cap));
  }
  return s + "] end=" + Code(rc);
}

std::string ListAt(HKEY root, const char* path)
{
  HKEY h = kSentinel;
  const LONG rc = RegOpenKeyExA(root, path, 0, KEY_READ, &h);
  if (rc != 0) return "open:" + Code(rc);
  std::string s = List(h);
  Release(h, root);
  return s;
}

// Deletes `path` below `root` with everything under it, children first.
LONG DelTree(HKEY root, const char* path)
{
  HKEY h = kSentinel;
  LONG rc = RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &h);
  if (rc != 0) return rc;
  for (DWORD guard = 0; guard < kMaxListed; ++guard) {
    char name[kNameBufSize];
    DWORD cap = kNameBufSize;
    rc = RegEnumKeyExA(h, 0, name, &cap, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == 0) rc = DelTree(h, name);
    if (rc != 0) {
      RegCloseKey(h);
      return rc;
    }
  }
  RegCloseKey(h);
  return RegDeleteKeyA(root, path);
}

std::string OpenReport(HKEY root, const char* path, REGSAM sam, const char* seen)
{
  HKEY out = kSentinel;
  const LONG rc = RegOpenKeyExA(root, path, 0, sam, &out);
  std::string s = "rc=" + Code(rc) + " out=" + Classify(out, root);
  if (rc == 0 && seen != nullptr) s += " " + Sees(out, seen);
  Release(out, root);
  return s;
}

std::string OpenReport(HKEY root, const std::string& path, REGSAM sam, const char* seen)
{
  return OpenReport(root, path.c_str(), sam, seen);
}

std::string CreateReport(HKEY root, const char* path, const char* seen)
{
  HKEY out = kSentinel;
  const LONG rc = RegCreateKeyA(root, path, &out);
  std::string s = "rc=" + Code(rc) + " out=" + Classify(out, root);
  if (rc == 0 && seen != nullptr) s += " " + Sees(out, seen);
  Release(out, root);
  return s;
}

std::string CreateReport(HKEY root, const std::string& path, const char* seen)
{
  return CreateReport(root, path.c_str(), seen);
}

// One RegEnumKeyExA call with a '#'-filled name buffer of capacity `cap`. On success with `asName`
// the line shows the length and name, otherwise the first `shown` bytes of the buffer.
std::string EnumReport(HKEY h, DWORD index, DWORD cap, size_t shown, bool asName)
{
  char buf[kNameBufSize + 8];
  for (char& c : buf) c = '#';
  DWORD count = cap;
  const LONG rc = RegEnumKeyExA(h, index, buf, &count, nullptr, nullptr, nullptr, nullptr);
  std::string s = "rc=" + Code(rc) + " cap-in=" + std::to_string(cap) +
                  " cap-out=" + std::to_string(count);
  if (rc == 0 && asName) {
    const std::string name(buf);
    s += " len=" + std::to_string(name.size()) + " name=" + Show(name);
  } else {
    s += " buf=" + ShowBuf(buf, shown);
  }
  return s;
}

std::string Ok(LONG rc) { return rc == 0 ? "ok" : Code(rc); }

// ---------------------------------------------------------------------------------------------------

struct Fixture {
  HKEY scratch = nullptr;  // HKCU\Software\RegProbe
  HKEY base = nullptr;     // ...\Base, KEY_ALL_ACCESS
};

void RemoveLeftovers()
{
  DelTree(HKEY_CURRENT_USER, kScratchPath);
  DelTree(HKEY_CLASSES_ROOT, "RegProbe");
  DelTree(HKEY_CLASSES_ROOT, kClsidPath);
  DelTree(HKEY_CURRENT_USER, "Software\\Classes\\RegProbe");
  DelTree(HKEY_CURRENT_USER, "Software\\Classes\\RegProbeU");
  DelTree(HKEY_LOCAL_MACHINE, "Software\\RegProbe");
  DelTree(HKEY_LOCAL_MACHINE, "RegProbeDirect");
}

void SetupCases(Fixture& f)
{
  HKEY scratch = kSentinel;
  const LONG rc = RegCreateKeyA(HKEY_CURRENT_USER, kScratchPath, &scratch);
  Line("000-setup-create-scratch-root", "rc=" + Code(rc) + " out=" + Classify(scratch, HKEY_CURRENT_USER));
  f.scratch = rc == 0 ? scratch : nullptr;

  const LONG base = CreateRc(f.scratch, "Base");
  const LONG marker = CreateRc(f.scratch, "Base\\M_Base");
  const LONG deep = CreateRc(f.scratch, "Base\\L1\\L2\\M_L2");
  const LONG hkcr = CreateRc(HKEY_CLASSES_ROOT, "RegProbe");
  HKEY h = kSentinel;
  const LONG open = RegOpenKeyExA(f.scratch, "Base", 0, KEY_ALL_ACCESS, &h);
  f.base = open == 0 ? h : nullptr;
  Line("001-setup-fixture", "base=" + Code(base) + " marker=" + Code(marker) + " deep=" + Code(deep) +
                                " hkcr=" + Code(hkcr) + " base-open=" + Ok(open));
}

void OpenCases(const Fixture& f)
{
  const HKEY hkcr = HKEY_CLASSES_ROOT;
  const HKEY hkcu = HKEY_CURRENT_USER;
  const HKEY hklm = HKEY_LOCAL_MACHINE;
  const HKEY s = f.scratch;

  Line("101-open-existing-KEY_READ", OpenReport(hkcu, "Software\\RegProbe\\Base", KEY_READ, "M_Base"));
  Line("102-open-existing-KEY_ALL_ACCESS",
       OpenReport(hkcu, "Software\\RegProbe\\Base", KEY_ALL_ACCESS, "M_Base"));
  Line("103-open-missing", OpenReport(hkcu, "Software\\RegProbe\\Nope", KEY_READ, nullptr));
  Line("104-open-missing-intermediate",
       OpenReport(hkcu, "Software\\RegProbe\\NoDir\\Nope", KEY_READ, nullptr));
  Line("105-open-missing-relative", OpenReport(s, "Nope", KEY_READ, nullptr));
  Line("106-open-null-subkey-on-handle", OpenReport(f.base, nullptr, KEY_READ, "M_Base"));
  Line("107-open-empty-subkey-on-handle", OpenReport(f.base, "", KEY_READ, "M_Base"));
  Line("108-open-null-subkey-on-HKCU", OpenReport(hkcu, nullptr, KEY_READ, kScratchPath));
  Line("109-open-empty-subkey-on-HKCU", OpenReport(hkcu, "", KEY_READ, kScratchPath));
  Line("110-open-empty-subkey-on-HKCR", OpenReport(hkcr, "", KEY_READ, "RegProbe"));
  Line("111-open-null-subkey-on-HKCR", OpenReport(hkcr, nullptr, KEY_READ, "RegProbe"));
  Line("112-open-empty-subkey-on-HKLM", OpenReport(hklm, "", KEY_READ, "Software"));
  Line("113-open-backslash-only-on-HKCR", OpenReport(hkcr, "\\", KEY_READ, "RegProbe"));
  Line("114-open-backslash-only-on-handle", OpenReport(f.base, "\\", KEY_READ, nullptr));
  Line("115-open-leading-backslash-HKCU", OpenReport(hkcu, "\\Software\\RegProbe", KEY_READ, nullptr));
  Line("116-open-leading-backslash-relative", OpenReport(s, "\\Base", KEY_READ, nullptr));
  Line("117-open-leading-backslash-HKCR", OpenReport(hkcr, "\\RegProbe", KEY_READ, nullptr));
  Line("118-open-leading-backslash-HKLM", OpenReport(hklm, "\\Software", KEY_READ, nullptr));
  Line("119-open-trailing-backslash", OpenReport(s, "Base\\", KEY_READ, "M_Base"));
  Line("120-open-trailing-double-backslash", OpenReport(s, "Base\\\\", KEY_READ, "M_Base"));
  Line("121-open-double-backslash-middle",
       OpenReport(hkcu, "Software\\RegProbe\\\\Base", KEY_READ, "M_Base"));
  Line("122-open-multi-level-absolute",
       OpenReport(hkcu, "Software\\RegProbe\\Base\\L1\\L2", KEY_READ, "M_L2"));
  Line("123-open-multi-level-relative", OpenReport(f.base, "L1\\L2", KEY_READ, "M_L2"));
  Line("124-open-case-insensitive", OpenReport(hkcu, "SOFTWARE\\regprobe\\bASE", KEY_READ, "m_base"));
  Line("125-open-dot-component", OpenReport(s, "Base\\.\\M_Base", KEY_READ, nullptr));
  Line("126-open-dotdot-component", OpenReport(s, "Base\\..\\Base", KEY_READ, nullptr));
  Line("127-open-forward-slash-separator", OpenReport(s, "Base/M_Base", KEY_READ, nullptr));
  Line("128-open-trailing-space", OpenReport(s, "Base ", KEY_READ, nullptr));
  Line("129-open-null-hkey", OpenReport(nullptr, "Software", KEY_READ, nullptr));
  Line("130-open-null-hkey-empty-subkey", OpenReport(nullptr, "", KEY_READ, nullptr));
  Line("131-open-null-hkey-null-subkey", OpenReport(nullptr, nullptr, KEY_READ, nullptr));
  Line("132-open-garbage-handle-0x1234", OpenReport(kGarbage, "Software", KEY_READ, nullptr));
  Line("133-open-undefined-predefined-0x80000010",
       OpenReport(SignExtended(0x80000010u), "Software", KEY_READ, nullptr));
  Line("134-open-HKCU-zero-extended-0x80000001",
       OpenReport(FromValue(0x80000001u), kScratchPath, KEY_READ, "Base"));
  {
    HKEY h = kSentinel;
    Setup("open-Base", RegOpenKeyExA(s, "Base", 0, KEY_READ, &h));
    const LONG close = RegCloseKey(h);
    Line("135-open-closed-handle", "close=" + Code(close) + " " + OpenReport(h, "M_Base", KEY_READ, nullptr));
  }
  // 136 (NULL result pointer) faults in Wine 8.0 and is not run.
  {
    const HKEY parent = CreateKept(s, "O_Long", "O_Long");
    const std::string n255 = Repeat('a', 255);
    const LONG create = CreateRc(parent, n255.c_str());
    Line("137-open-255-char-component",
         "create=" + Code(create) + " " + OpenReport(parent, n255, KEY_READ, nullptr));
    Line("138-open-256-char-component-missing", OpenReport(parent, Repeat('b', 256), KEY_READ, nullptr));
    Line("139-open-257-char-component-missing", OpenReport(parent, Repeat('b', 257), KEY_READ, nullptr));
    g_kept.push_back(parent);
  }
  {
    HKEY first = kSentinel;
    HKEY second = kSentinel;
    const LONG r1 = RegOpenKeyExA(s, "Base", 0, KEY_READ, &first);
    const LONG r2 = RegOpenKeyExA(s, "Base", 0, KEY_READ, &second);
    Line("140-open-same-key-twice", "first=" + Ok(r1) + " second=" + Ok(r2) +
                                        " distinct=" + (first != second ? "yes" : "no"));
    Release(first, s);
    Release(second, s);
  }
  {
    HKEY read = kSentinel;
    HKEY all = kSentinel;
    const LONG r1 = RegOpenKeyExA(s, "Base", 0, KEY_READ, &read);
    const LONG r2 = RegOpenKeyExA(s, "Base", 0, KEY_ALL_ACCESS, &all);
    Line("141-open-access-masks-enumerate", "read=" + (r1 == 0 ? List(read) : "open:" + Code(r1)) +
                                                " all=" + (r2 == 0 ? List(all) : "open:" + Code(r2)));
    Release(read, s);
    Release(all, s);
  }
  {
    const std::string p = Repeat('p', 100);
    const std::string q = Repeat('q', 100);
    const std::string r = Repeat('r', 100);
    HKEY a = kSentinel;
    HKEY b = kSentinel;
    const LONG ra = RegCreateKeyA(s, p.c_str(), &a);
    const LONG rb = RegCreateKeyA(ra == 0 ? a : nullptr, q.c_str(), &b);
    const LONG rc = CreateRc(rb == 0 ? b : nullptr, r.c_str());
    if (ra == 0) RegCloseKey(a);
    if (rb == 0) RegCloseKey(b);
    Line("142-open-relative-path-201-chars", "create-a=" + Code(ra) + " create-b=" + Code(rb) +
                                                 " create-c=" + Code(rc) + " " +
                                                 OpenReport(s, p + "\\" + q, KEY_READ, r.c_str()));
    Line("143-open-absolute-path-320-chars-existing",
         OpenReport(hkcu, std::string(kScratchPath) + "\\" + p + "\\" + q + "\\" + r, KEY_READ, nullptr));
  }
  for (size_t len = 259; len <= 262; ++len) {
    const std::string name =
        std::to_string(len - 115) + "-open-subkey-arg-" + std::to_string(len) + "-chars";
    Line(name.c_str(), OpenReport(s, "NoSuch\\" + Repeat('x', len - 7), KEY_READ, nullptr));
  }
  // Names are code-page text: letters above 0x7F fold case too, and lengths count characters.
  {
    const LONG create = CreateRc(s, "H_\xc9t\xc9");
    Line("148-open-case-insensitive-high-bytes",
         "create=" + Code(create) + " " + OpenReport(s, "h_\xe9T\xe9", KEY_READ, nullptr));
  }
}

std::string LevelsPath(const char* first, int extra)
{
  std::string path = first;
  for (int i = 1; i <= extra; ++i) path += "\\" + std::to_string(i);
  return path;
}

void CreateCases(const Fixture& f)
{
  const HKEY hkcr = HKEY_CLASSES_ROOT;
  const HKEY hkcu = HKEY_CURRENT_USER;
  const HKEY s = f.scratch;

  HKEY created = kSentinel;
  {
    const LONG rc = RegCreateKeyA(s, "C_New", &created);
    Line("201-create-new", "rc=" + Code(rc) + " out=" + Classify(created, s) +
                               " exists=" + Code(Exists(s, "C_New")));
    if (rc != 0) created = nullptr;
  }
  {
    const LONG marker = CreateRc(created, "M_New");
    HKEY again = kSentinel;
    const LONG rc = RegCreateKeyA(s, "C_New", &again);
    std::string text = "marker=" + Code(marker) + " rc=" + Code(rc) + " out=" + Classify(again, s) +
                       " distinct-from-first=" + (again != created ? "yes" : "no");
    if (rc == 0) text += " " + Sees(again, "M_New");
    Line("202-create-existing-opens-it", text);
    Release(again, s);
  }
  {
    const LONG first = CreateRc(s, "C_Case\\MiXed");
    const LONG rc = CreateRc(s, "C_Case\\mixed");
    Line("203-create-existing-different-case-keeps-stored-case",
         "first=" + Code(first) + " rc=" + Code(rc) + " list=" + ListAt(s, "C_Case"));
  }
  {
    const LONG rc = CreateRc(s, "C_Nest\\A\\B\\C");
    Line("204-create-nested-creates-intermediates",
         "rc=" + Code(rc) + " C_Nest=" + Code(Exists(s, "C_Nest")) +
             " C_Nest\\A=" + Code(Exists(s, "C_Nest\\A")) +
             " C_Nest\\A\\B=" + Code(Exists(s, "C_Nest\\A\\B")) +
             " C_Nest\\A\\B\\C=" + Code(Exists(s, "C_Nest\\A\\B\\C")));
  }
  Line("205-create-null-name-on-handle", CreateReport(f.base, nullptr, "M_Base"));
  Line("206-create-empty-name-on-handle", CreateReport(f.base, "", "M_Base"));
  Line("207-create-null-name-on-HKCU", CreateReport(hkcu, nullptr, kScratchPath));
  Line("208-create-empty-name-on-HKCU", CreateReport(hkcu, "", kScratchPath));
  Line("209-create-null-name-on-HKCR", CreateReport(hkcr, nullptr, "RegProbe"));
  Line("210-create-trailing-backslash", CreateReport(s, "C_Trail\\Kid\\", nullptr));
  Line("211-create-trailing-backslash-result",
       "list=" + ListAt(s, "C_Trail") + " Kid=" + Code(Exists(s, "C_Trail\\Kid")));
  Line("212-create-trailing-double-backslash", CreateReport(s, "C_Trail2\\Kid\\\\", nullptr));
  Line("213-create-leading-backslash", CreateReport(s, "\\C_Lead", nullptr));
  Line("214-create-leading-backslash-result", "C_Lead=" + Code(Exists(s, "C_Lead")));
  Line("215-create-double-backslash-middle", CreateReport(s, "C_Dbl\\\\X", nullptr));
  Line("216-create-double-backslash-middle-result",
       "C_Dbl=" + Code(Exists(s, "C_Dbl")) + " C_Dbl\\X=" + Code(Exists(s, "C_Dbl\\X")));
  Line("217-create-backslash-only", CreateReport(s, "\\", nullptr));
  {
    Setup("C_RO", CreateRc(s, "C_RO"));
    const HKEY ro = OpenKept(s, "C_RO", KEY_READ, "open-C_RO");
    Line("218-create-under-KEY_READ-handle", CreateReport(ro, "Kid", nullptr));
    Line("219-create-under-KEY_READ-handle-result", "exists=" + Code(Exists(s, "C_RO\\Kid")));
    if (ro != nullptr) RegCloseKey(ro);
  }
  Line("220-create-null-parent", CreateReport(nullptr, "C_Null", nullptr));
  Line("221-create-garbage-parent-0x1234", CreateReport(kGarbage, "C_Garbage", nullptr));
  {
    HKEY h = kSentinel;
    Setup("open-C_RO", RegOpenKeyExA(s, "C_RO", 0, KEY_READ, &h));
    Setup("close-C_RO", RegCloseKey(h));
    Line("222-create-closed-parent", CreateReport(h, "Kid2", nullptr));
  }
  {
    const HKEY parent = CreateKept(s, "C_Long", "C_Long");
    Line("223-create-255-char-name", CreateReport(parent, Repeat('c', 255), nullptr));
    Line("224-create-256-char-name", CreateReport(parent, Repeat('d', 256), nullptr));
    Line("225-create-257-char-name", CreateReport(parent, Repeat('e', 257), nullptr));
    g_kept.push_back(parent);
  }
  Line("226-create-32-levels-in-one-call", CreateReport(s, LevelsPath("C_Lv32", 31), nullptr));
  Line("227-create-33-levels-in-one-call", CreateReport(s, LevelsPath("C_Lv33", 32), nullptr));
  {
    // One level per call below HKCU\Software\RegProbe\C_Deep, which is three levels below HKCU.
    constexpr int kCap = 300;
    HKEY h = kSentinel;
    const LONG start = RegCreateKeyA(s, "C_Deep", &h);
    int levels = 0;
    std::string fail = "none-up-to-cap";
    if (start == 0) {
      while (levels < kCap) {
        HKEY next = kSentinel;
        const LONG rc = RegCreateKeyA(h, "d", &next);
        if (rc != 0) {
          fail = "level-" + std::to_string(levels + 1) + ":" + Code(rc);
          break;
        }
        RegCloseKey(h);
        h = next;
        ++levels;
      }
      RegCloseKey(h);
    }
    const LONG cleanup = DelTree(s, "C_Deep");
    Line("228-create-depth-chain-one-level-per-call",
         "start=" + Code(start) + " created-levels=" + std::to_string(levels) +
             " deepest-depth-below-HKCU=" + std::to_string(levels + 3) + " fail=" + fail +
             " cleanup=" + Code(cleanup));
  }
  Line("229-create-forward-slash-in-name", CreateReport(s, "C_Slash\\a/b", nullptr));
  Line("230-create-forward-slash-in-name-result", "list=" + ListAt(s, "C_Slash"));
  // 231 (NULL result pointer) faults in Wine 8.0 and is not run.
  Line("232-create-direct-child-of-HKLM", CreateReport(HKEY_LOCAL_MACHINE, "RegProbeDirect", nullptr));
  Line("233-create-KEY_ALL_ACCESS-parent-from-create", CreateReport(created, "Kid", nullptr));
  Line("234-create-subkey-arg-260-chars", CreateReport(s, "C_Len1\\" + Repeat('x', 253), nullptr));
  Line("235-create-subkey-arg-261-chars", CreateReport(s, "C_Len2\\" + Repeat('x', 254), nullptr) +
                                              " C_Len2=" + Code(Exists(s, "C_Len2")));
  {
    const HKEY parent = CreateKept(s, "C_High", "C_High");
    Line("236-create-256-high-byte-char-name", CreateReport(parent, Repeat('\xe9', 256), nullptr));
    Line("237-create-257-high-byte-char-name", CreateReport(parent, Repeat('\xe9', 257), nullptr));
    Line("238-create-high-byte-name-result", "list=" + List(parent));
    g_kept.push_back(parent);
  }
  if (created != nullptr) RegCloseKey(created);
}

HKEY KeyWithChildren(HKEY parent, const char* name, const std::vector<const char*>& children)
{
  const HKEY h = CreateKept(parent, name, name);
  for (const char* child : children) Setup(child, CreateRc(h, child));
  return h;
}

void EnumCases(const Fixture& f)
{
  const HKEY s = f.scratch;
  const HKEY order = KeyWithChildren(s, "E_Order", {"Zed", "a1", "~Deleted", "B2", "_x", "c", "A", "b"});
  Line("301-enum-order-mixed-case", "list=" + List(order));
  {
    const HKEY h = KeyWithChildren(
        s, "E_Punct", {"~x", "}x", "|x", "{x", "Z", "a", "`x", "_x", "^x", "[x", "@x", "0x"});
    Line("302-enum-order-punctuation", "list=" + List(h));
    if (h != nullptr) RegCloseKey(h);
  }
  {
    const HKEY h = KeyWithChildren(s, "E_Prefix", {"abc", "aB0", "ab", "AA", "a-b", "a b", "a"});
    Line("303-enum-order-prefixes", "list=" + List(h));
    if (h != nullptr) RegCloseKey(h);
  }
  Line("304-enum-index-259", EnumReport(order, 259, 100, 4, false));
  Line("305-enum-index-equal-count", EnumReport(order, 8, 100, 4, false));
  Line("306-enum-index-0xFFFFFFFF", EnumReport(order, 0xFFFFFFFFu, 100, 4, false));
  Line("307-enum-last-index", EnumReport(order, 7, 100, 4, true));
  if (order != nullptr) RegCloseKey(order);

  const HKEY cap = KeyWithChildren(s, "E_Cap", {"Zed"});
  Line("308-enum-cap-0-name-len-3", EnumReport(cap, 0, 0, 5, false));
  Line("309-enum-cap-1-name-len-3", EnumReport(cap, 0, 1, 5, false));
  Line("310-enum-cap-2-name-len-3", EnumReport(cap, 0, 2, 5, false));
  Line("311-enum-cap-3-equals-len", EnumReport(cap, 0, 3, 5, false));
  Line("312-enum-cap-4-len-plus-1", EnumReport(cap, 0, 4, 5, false));
  Line("313-enum-cap-300", EnumReport(cap, 0, 300, 5, false));
  {
    char name[kNameBufSize];
    DWORD count = kNameBufSize;
    const LONG rc = RegEnumKeyExA(cap, 0, name, &count, nullptr, nullptr, nullptr, nullptr);
    Line("314-enum-class-and-time-null", "rc=" + Code(rc));
  }
  {
    char name[kNameBufSize];
    DWORD count = kNameBufSize;
    FILETIME time{};
    const LONG rc = RegEnumKeyExA(cap, 0, name, &count, nullptr, nullptr, nullptr, &time);
    Line("315-enum-class-null-time-given", "rc=" + Code(rc));
  }
  {
    char name[kNameBufSize];
    DWORD count = kNameBufSize;
    char cls[16];
    for (char& c : cls) c = '#';
    DWORD clsCount = 10;
    const LONG rc = RegEnumKeyExA(cap, 0, name, &count, nullptr, cls, &clsCount, nullptr);
    Line("316-enum-class-buffer-given",
         "rc=" + Code(rc) + " class-cap-out=" + std::to_string(clsCount) + " class=" + ShowBuf(cls, 3));
  }
  {
    char name[kNameBufSize];
    DWORD count = kNameBufSize;
    char cls[16];
    for (char& c : cls) c = '#';
    DWORD clsCount = 0;
    const LONG rc = RegEnumKeyExA(cap, 0, name, &count, nullptr, cls, &clsCount, nullptr);
    Line("317-enum-class-buffer-cap-0",
         "rc=" + Code(rc) + " class-cap-out=" + std::to_string(clsCount) + " class=" + ShowBuf(cls, 2));
  }
  {
    char name[kNameBufSize];
    DWORD count = kNameBufSize;
    DWORD clsCount = 10;
    const LONG rc = RegEnumKeyExA(cap, 0, name, &count, nullptr, nullptr, &clsCount, nullptr);
    Line("318-enum-class-null-class-len-given",
         "rc=" + Code(rc) + " class-cap-out=" + std::to_string(clsCount));
  }
  {
    const HKEY h = CreateKept(s, "E_Long", "E_Long");
    const LONG create = CreateRc(h, Repeat('e', 255).c_str());
    Line("319-enum-255-name-cap-255", "create=" + Code(create) + " " + EnumReport(h, 0, 255, 3, false));
    Line("320-enum-255-name-cap-256", EnumReport(h, 0, 256, 3, true));
    if (h != nullptr) RegCloseKey(h);
  }
  Line("321-enum-null-handle", EnumReport(nullptr, 0, 100, 3, false));
  Line("322-enum-garbage-handle-0x1234", EnumReport(kGarbage, 0, 100, 3, false));
  {
    HKEY h = kSentinel;
    Setup("open-E_Cap", RegOpenKeyExA(s, "E_Cap", 0, KEY_READ, &h));
    Setup("close-E_Cap", RegCloseKey(h));
    Line("323-enum-closed-handle", EnumReport(h, 0, 100, 3, false));
  }
  if (cap != nullptr) RegCloseKey(cap);
  Line("324-enum-on-HKCU-index-0", "rc=" + Code(EnumRc(HKEY_CURRENT_USER)));
  {
    const HKEY h = KeyWithChildren(s, "E_Ins", {"b", "d", "z"});
    const std::string i0 = NameAt(h, 0);
    Setup("a", CreateRc(h, "a"));
    const std::string i1 = NameAt(h, 1);
    Line("325-enum-insert-during-iteration",
         "i0=" + Show(i0) + " after-adding-a:i1=" + Show(i1) + " list=" + List(h));
    if (h != nullptr) RegCloseKey(h);
  }
  {
    const HKEY h = KeyWithChildren(s, "E_Del", {"a", "b", "c", "d"});
    const std::string i0 = NameAt(h, 0);
    const LONG del = RegDeleteKeyA(h, "a");
    const std::string i1 = NameAt(h, 1);
    Line("326-enum-delete-during-iteration", "i0=" + Show(i0) + " del=" + Code(del) +
                                                 " then-i1=" + Show(i1) + " list=" + List(h));
    if (h != nullptr) RegCloseKey(h);
  }
  {
    const HKEY h = OpenKept(s, "E_Del", KEY_READ, "open-E_Del");
    Setup("E_Del\\e", CreateRc(s, "E_Del\\e"));
    Line("327-enum-sees-keys-created-after-open", "list=" + List(h));
    if (h != nullptr) RegCloseKey(h);
  }
  {
    const HKEY h = KeyWithChildren(s, "E_High", {"\xe9", "~Deleted", "z", "\xc0" "b", "ab", "\x80", "\xff"});
    Line("328-enum-order-high-bytes", "list=" + List(h));
    if (h != nullptr) RegCloseKey(h);
  }
  {
    const HKEY h = KeyWithChildren(s, "E_HighCap", {"\xe9t\xe9"});
    Line("329-enum-high-byte-name-cap-3", EnumReport(h, 0, 3, 5, false));
    Line("330-enum-high-byte-name-cap-4", EnumReport(h, 0, 4, 5, false));
    if (h != nullptr) RegCloseKey(h);
  }
  {
    const HKEY h = OpenKept(s, "E_Cap", KEY_READ, "open-E_Cap");
    char name[kNameBufSize];
    DWORD count = kNameBufSize;
    DWORD reserved = 0;
    const LONG rc = RegEnumKeyExA(h, 0, name, &count, &reserved, nullptr, nullptr, nullptr);
    Line("331-enum-reserved-non-null", "rc=" + Code(rc) + " cap-out=" + std::to_string(count));
    if (h != nullptr) RegCloseKey(h);
  }
}

void DeleteCases(const Fixture& f)
{
  const HKEY s = f.scratch;
  {
    Setup("D_Leaf", CreateRc(s, "D_Leaf"));
    const LONG rc = RegDeleteKeyA(s, "D_Leaf");
    Line("401-delete-leaf", "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, "D_Leaf")));
  }
  {
    Setup("D_Par\\Kid", CreateRc(s, "D_Par\\Kid"));
    const LONG rc = RegDeleteKeyA(s, "D_Par");
    Line("402-delete-key-with-subkeys", "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, "D_Par")) +
                                            " child-after=" + Code(Exists(s, "D_Par\\Kid")));
  }
  Line("403-delete-missing", "rc=" + Code(RegDeleteKeyA(s, "D_Missing")));
  Line("404-delete-missing-intermediate", "rc=" + Code(RegDeleteKeyA(s, "D_Missing\\X")));
  {
    Setup("D_Self", CreateRc(s, "D_Self"));
    HKEY h = OpenKept(s, "D_Self", KEY_ALL_ACCESS, "open-D_Self");
    const LONG rc = RegDeleteKeyA(h, nullptr);
    Line("405-delete-null-subkey", "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, "D_Self")));
    const LONG self = RegDeleteKeyA(h, "");
    const std::string after = Code(Exists(s, "D_Self"));
    const LONG enumRc = EnumRc(h);
    const LONG again = RegDeleteKeyA(h, "");
    const LONG close = RegCloseKey(h);
    Line("406-delete-empty-subkey-deletes-key-itself",
         "rc=" + Code(self) + " exists-after=" + after + " enum-on-handle=" + Code(enumRc) +
             " delete-again=" + Code(again) + " close=" + Code(close));
  }
  {
    const HKEY h = OpenKept(s, "D_Par", KEY_ALL_ACCESS, "open-D_Par");
    const LONG rc = RegDeleteKeyA(h, "");
    Line("407-delete-empty-subkey-with-children",
         "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, "D_Par")));
    if (h != nullptr) RegCloseKey(h);
  }
  {
    Setup("D_A\\D_B", CreateRc(s, "D_A\\D_B"));
    const LONG rc = RegDeleteKeyA(s, "D_A\\D_B");
    Line("408-delete-multi-level-name", "rc=" + Code(rc) + " D_A=" + Code(Exists(s, "D_A")) +
                                            " D_A\\D_B=" + Code(Exists(s, "D_A\\D_B")));
  }
  {
    Setup("D_Trail", CreateRc(s, "D_Trail"));
    const LONG rc = RegDeleteKeyA(s, "D_Trail\\");
    Line("409-delete-trailing-backslash", "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, "D_Trail")));
  }
  {
    Setup("D_Lead", CreateRc(s, "D_Lead"));
    const LONG rc = RegDeleteKeyA(s, "\\D_Lead");
    Line("410-delete-leading-backslash", "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, "D_Lead")));
  }
  {
    Setup("d_case", CreateRc(s, "d_case"));
    const LONG rc = RegDeleteKeyA(s, "D_CASE");
    Line("411-delete-case-insensitive", "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, "d_case")));
  }
  {
    Setup("D_RO\\Kid", CreateRc(s, "D_RO\\Kid"));
    const HKEY h = OpenKept(s, "D_RO", KEY_READ, "open-D_RO");
    const LONG rc = RegDeleteKeyA(h, "Kid");
    Line("412-delete-via-KEY_READ-parent",
         "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, "D_RO\\Kid")));
    const LONG self = RegDeleteKeyA(h, "");
    Line("413-delete-self-via-KEY_READ-handle",
         "rc=" + Code(self) + " exists-after=" + Code(Exists(s, "D_RO")));
    if (h != nullptr) RegCloseKey(h);
  }
  Line("414-delete-null-hkey", "rc=" + Code(RegDeleteKeyA(nullptr, "D_Null")));
  Line("415-delete-garbage-hkey-0x1234", "rc=" + Code(RegDeleteKeyA(kGarbage, "D_Garbage")));
  {
    Setup("D_Closed\\Kid", CreateRc(s, "D_Closed\\Kid"));
    HKEY h = kSentinel;
    Setup("open-D_Closed", RegOpenKeyExA(s, "D_Closed", 0, KEY_ALL_ACCESS, &h));
    Setup("close-D_Closed", RegCloseKey(h));
    const LONG rc = RegDeleteKeyA(h, "Kid");
    Line("416-delete-via-closed-handle",
         "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, "D_Closed\\Kid")));
  }
  Line("417-delete-predefined-HKCU-itself", "rc=" + Code(RegDeleteKeyA(HKEY_CURRENT_USER, "")));
  Line("418-delete-predefined-HKCR-itself", "rc=" + Code(RegDeleteKeyA(HKEY_CLASSES_ROOT, "")));
  Line("419-delete-predefined-HKLM-null-subkey", "rc=" + Code(RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr)));
  {
    const LONG rc = RegDeleteKeyA(s, "\\");
    Line("420-delete-backslash-only",
         "rc=" + Code(rc) + " scratch-exists=" + Code(Exists(HKEY_CURRENT_USER, kScratchPath)));
  }
  {
    const LONG rc = RegDeleteKeyA(s, "\\\\");
    Line("422-delete-two-backslashes",
         "rc=" + Code(rc) + " scratch-exists=" + Code(Exists(HKEY_CURRENT_USER, kScratchPath)));
  }
  {
    const LONG rc = RegDeleteKeyA(s, "\\\\\\");
    Line("423-delete-three-backslashes",
         "rc=" + Code(rc) + " scratch-exists=" + Code(Exists(HKEY_CURRENT_USER, kScratchPath)));
  }
  {
    Setup("D_Dbl\\Kid", CreateRc(s, "D_Dbl\\Kid"));
    const LONG open = Exists(s, "D_Dbl\\\\Kid");
    const LONG rc = RegDeleteKeyA(s, "D_Dbl\\\\Kid");
    Line("424-delete-doubled-separator-inside",
         "open-before=" + Code(open) + " rc=" + Code(rc) + " D_Dbl=" + Code(Exists(s, "D_Dbl")) +
             " D_Dbl\\Kid=" + Code(Exists(s, "D_Dbl\\Kid")));
  }
  {
    Setup("D_Trail2", CreateRc(s, "D_Trail2"));
    const LONG rc = RegDeleteKeyA(s, "D_Trail2\\\\");
    Line("425-delete-two-trailing-backslashes",
         "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, "D_Trail2")));
  }
  {
    Setup("D_ML\\Kid", CreateRc(s, "D_ML\\Kid"));
    const LONG rc = RegDeleteKeyA(s, "D_ML\\Kid\\");
    Line("426-delete-multi-level-trailing-backslash",
         "rc=" + Code(rc) + " D_ML=" + Code(Exists(s, "D_ML")) +
             " D_ML\\Kid=" + Code(Exists(s, "D_ML\\Kid")));
  }
  {
    Setup("D_LeadKid\\Kid", CreateRc(s, "D_LeadKid\\Kid"));
    const LONG open = Exists(s, "\\D_LeadKid");
    const LONG rc = RegDeleteKeyA(s, "\\D_LeadKid\\Kid");
    Line("427-delete-leading-backslash-multi-level",
         "open=" + Code(open) + " rc=" + Code(rc) +
             " D_LeadKid\\Kid=" + Code(Exists(s, "D_LeadKid\\Kid")));
  }
  {
    // 261 characters naming an existing key (the one 234 created, plus a trailing backslash).
    const std::string path = "C_Len1\\" + Repeat('x', 253) + "\\";
    const LONG rc = RegDeleteKeyA(s, path.c_str());
    Line("421-delete-subkey-arg-261-chars-existing",
         "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, ("C_Len1\\" + Repeat('x', 253)).c_str())));
  }
}

void StaleCases(const Fixture& f)
{
  const HKEY s = f.scratch;
  Setup("S_Par\\Sibling", CreateRc(s, "S_Par\\Sibling"));
  Setup("S_Par\\Victim", CreateRc(s, "S_Par\\Victim"));
  const HKEY parent = OpenKept(s, "S_Par", KEY_ALL_ACCESS, "open-S_Par");
  HKEY victim = OpenKept(s, "S_Par\\Victim", KEY_ALL_ACCESS, "open-Victim");
  {
    const LONG rc = RegDeleteKeyA(parent, "Victim");
    Line("451-stale-delete-while-other-handle-open",
         "rc=" + Code(rc) + " exists-after=" + Code(Exists(s, "S_Par\\Victim")));
  }
  {
    char name[kNameBufSize];
    DWORD count = kNameBufSize;
    const LONG rc = RegEnumKeyExA(victim, 0, name, &count, nullptr, nullptr, nullptr, nullptr);
    Line("452-stale-enum", "rc=" + Code(rc) + " cap-out=" + std::to_string(count));
  }
  Line("453-stale-create-child", CreateReport(victim, "Kid", nullptr));
  Line("454-stale-open-child", OpenReport(victim, "Kid", KEY_READ, nullptr));
  Line("455-stale-open-empty", OpenReport(victim, "", KEY_READ, nullptr));
  Line("456-stale-open-null", OpenReport(victim, nullptr, KEY_READ, nullptr));
  Line("457-stale-delete-empty", "rc=" + Code(RegDeleteKeyA(victim, "")));
  Line("458-stale-delete-child", "rc=" + Code(RegDeleteKeyA(victim, "Kid")));
  Line("459-stale-parent-listing", "parent-list=" + List(parent));
  HKEY reborn = kSentinel;
  {
    const LONG rc = RegCreateKeyA(parent, "Victim", &reborn);
    const LONG kid = CreateRc(rc == 0 ? reborn : nullptr, "NewKid");
    Line("460-stale-recreate-same-name",
         "rc=" + Code(rc) + " out=" + Classify(reborn, parent) + " new-kid=" + Code(kid));
    if (rc != 0) reborn = nullptr;
  }
  Line("461-stale-enum-after-recreate", "rc=" + Code(EnumRc(victim)));
  Line("462-stale-open-child-after-recreate", OpenReport(victim, "NewKid", KEY_READ, nullptr));
  Line("463-recreated-key-listing", "list=" + List(reborn));
  Line("464-stale-close", "rc=" + Code(RegCloseKey(victim)));
  if (reborn != nullptr) RegCloseKey(reborn);
  if (parent != nullptr) RegCloseKey(parent);
  {
    Setup("S_P2\\C", CreateRc(s, "S_P2\\C"));
    const HKEY child = OpenKept(s, "S_P2\\C", KEY_ALL_ACCESS, "open-S_P2\\C");
    const LONG delChild = RegDeleteKeyA(s, "S_P2\\C");
    const LONG delParent = RegDeleteKeyA(s, "S_P2");
    const LONG enumRc = EnumRc(child);
    HKEY out = kSentinel;
    const LONG createRc = RegCreateKeyA(child, "X", &out);
    Release(out, child);
    const LONG close = RegCloseKey(child);
    Line("465-delete-parent-after-child-deleted-with-open-handle",
         "child=" + Code(delChild) + " parent=" + Code(delParent) + " child-handle-enum=" + Code(enumRc) +
             " child-handle-create=" + Code(createRc) + " close=" + Code(close));
  }
  {
    Setup("S_P3\\C", CreateRc(s, "S_P3\\C"));
    const HKEY child = OpenKept(s, "S_P3\\C", KEY_ALL_ACCESS, "open-S_P3\\C");
    const LONG delParent = RegDeleteKeyA(s, "S_P3");
    if (child != nullptr) RegCloseKey(child);
    const LONG cleanup = DelTree(s, "S_P3");
    Line("466-delete-parent-with-child-open-and-present",
         "parent=" + Code(delParent) + " cleanup=" + Code(cleanup));
  }
  {
    Setup("S_P4\\Kid", CreateRc(s, "S_P4\\Kid"));
    const HKEY h = OpenKept(s, "S_P4", KEY_ALL_ACCESS, "open-S_P4");
    const LONG kid = RegDeleteKeyA(h, "Kid");
    const LONG self = RegDeleteKeyA(h, "");
    HKEY out = kSentinel;
    const LONG recreate = RegCreateKeyA(h, "Kid", &out);
    Release(out, h);
    const LONG close = RegCloseKey(h);
    Line("467-delete-kid-then-self-via-one-handle",
         "kid=" + Code(kid) + " self=" + Code(self) + " recreate-kid-via-handle=" + Code(recreate) +
             " close=" + Code(close) + " exists-after=" + Code(Exists(s, "S_P4")));
  }
}

void CloseCases(const Fixture& f)
{
  const HKEY hkcu = HKEY_CURRENT_USER;
  {
    const LONG rc = RegCloseKey(hkcu);
    Line("501-close-HKCU", "rc=" + Code(rc) + " use-after=" + Code(Exists(hkcu, kScratchPath)));
  }
  {
    const LONG rc = RegCloseKey(HKEY_CLASSES_ROOT);
    Line("502-close-HKCR", "rc=" + Code(rc) + " use-after=" + Code(Exists(HKEY_CLASSES_ROOT, "RegProbe")));
  }
  {
    const LONG rc = RegCloseKey(HKEY_LOCAL_MACHINE);
    Line("503-close-HKLM", "rc=" + Code(rc) + " use-after=" + Code(Exists(HKEY_LOCAL_MACHINE, "Software")));
  }
  {
    const LONG first = RegCloseKey(hkcu);
    const LONG second = RegCloseKey(hkcu);
    Line("504-close-HKCU-twice", "first=" + Code(first) + " second=" + Code(second));
  }
  {
    HKEY h = kSentinel;
    Setup("open-Base", RegOpenKeyExA(f.scratch, "Base", 0, KEY_READ, &h));
    const LONG first = RegCloseKey(h);
    const LONG second = RegCloseKey(h);
    Line("505-close-twice", "first=" + Code(first) + " second=" + Code(second));
  }
  Line("506-close-null", "rc=" + Code(RegCloseKey(nullptr)));
  {
    HKEY h = kSentinel;
    Setup("open-HKCU-empty", RegOpenKeyExA(hkcu, "", 0, KEY_READ, &h));
    const std::string out = Classify(h, hkcu);
    const LONG rc = RegCloseKey(h);
    Line("507-close-result-of-empty-open-on-HKCU",
         "out=" + out + " rc=" + Code(rc) + " use-HKCU-after=" + Code(Exists(hkcu, kScratchPath)));
  }
  Line("508-close-undefined-predefined-0x80000010", "rc=" + Code(RegCloseKey(SignExtended(0x80000010u))));
  Line("509-close-garbage-0x1234", "rc=" + Code(RegCloseKey(kGarbage)));
}

void ClassesCases()
{
  const HKEY hkcr = HKEY_CLASSES_ROOT;
  const HKEY hkcu = HKEY_CURRENT_USER;
  const HKEY hklm = HKEY_LOCAL_MACHINE;
  Line("601-hkcr-create-subkey", "rc=" + Code(CreateRc(hkcr, "RegProbe\\ViaHKCR")));
  Line("602-hkcr-key-visible-under-HKLM-Software-Classes",
       "rc=" + Code(Exists(hklm, "Software\\Classes\\RegProbe\\ViaHKCR")));
  Line("603-hkcr-key-visible-under-HKCU-Software-Classes",
       "rc=" + Code(Exists(hkcu, "Software\\Classes\\RegProbe\\ViaHKCR")));
  Line("604-hkcu-classes-create", "rc=" + Code(CreateRc(hkcu, "Software\\Classes\\RegProbeU\\Kid")));
  Line("605-hkcu-classes-key-visible-under-HKCR", "rc=" + Code(Exists(hkcr, "RegProbeU")) +
                                                      " kid=" + Code(Exists(hkcr, "RegProbeU\\Kid")));
  Line("606-hklm-classes-create", "rc=" + Code(CreateRc(hklm, "Software\\Classes\\RegProbe\\ViaHKLM")));
  Line("607-hklm-classes-key-visible-under-HKCR", "rc=" + Code(Exists(hkcr, "RegProbe\\ViaHKLM")));
  {
    const LONG rc = CreateRc(hkcu, "Software\\Classes\\RegProbe\\ViaHKCU");
    Line("608-hkcr-listing-with-user-and-machine-children",
         "rc=" + Code(rc) + " hkcr=" + ListAt(hkcr, "RegProbe") +
             " hklm=" + ListAt(hklm, "Software\\Classes\\RegProbe") +
             " hkcu=" + ListAt(hkcu, "Software\\Classes\\RegProbe"));
  }
  {
    const LONG rc = RegDeleteKeyA(hkcr, "RegProbe\\ViaHKCR");
    Line("609-hkcr-delete-subkey", "rc=" + Code(rc) + " hklm-after=" +
                                       Code(Exists(hklm, "Software\\Classes\\RegProbe\\ViaHKCR")));
  }
  Line("610-hkcr-delete-nonempty", "rc=" + Code(RegDeleteKeyA(hkcr, "RegProbe")));
  Line("611-hkcr-open-KEY_ALL_ACCESS", OpenReport(hkcr, "RegProbe", KEY_ALL_ACCESS, nullptr));
  {
    const LONG rc = CreateRc(hkcr, kClsidPath);
    const std::string machine = std::string("Software\\Classes\\") + kClsidPath;
    const std::string wow = std::string("Software\\Classes\\Wow6432Node\\") + kClsidPath;
    Line("612-hkcr-clsid-create-and-where-it-lands",
         "rc=" + Code(rc) + " hklm-classes-clsid=" + Code(Exists(hklm, machine.c_str())) +
             " hklm-classes-wow6432node-clsid=" + Code(Exists(hklm, wow.c_str())));
  }
  {
    HKEY clsid = kSentinel;
    const LONG open = RegOpenKeyExA(hkcr, "CLSID", 0, KEY_ALL_ACCESS, &clsid);
    if (open != 0) clsid = nullptr;
    const std::string inproc = std::string(kClsidName) + "\\InprocServer32";
    Setup("InprocServer32", CreateRc(clsid, inproc.c_str()));
    const LONG direct = RegDeleteKeyA(clsid, kClsidName);
    const LONG tree = DelTree(clsid, kClsidName);
    Line("613-hkcr-clsid-delete-through-clsid-handle",
         "open-clsid=" + Ok(open) + " delete-with-child=" + Code(direct) + " deltree=" + Code(tree) +
             " exists-after=" + Code(Exists(hkcr, kClsidPath)));
    if (clsid != nullptr) RegCloseKey(clsid);
  }
  {
    // HKCR and HKLM\Software\Classes are one key: deleting through one name makes handles opened
    // through the other stale.
    Setup("RegProbe\\Alias", CreateRc(hkcr, "RegProbe\\Alias"));
    const HKEY alias = OpenKept(hkcr, "RegProbe\\Alias", KEY_READ, "open-HKCR-Alias");
    const LONG rc = RegDeleteKeyA(hklm, "Software\\Classes\\RegProbe\\Alias");
    const LONG enumRc = EnumRc(alias);
    const LONG close = RegCloseKey(alias);
    Line("614-hkcr-handle-stale-after-delete-via-HKLM",
         "rc=" + Code(rc) + " hkcr-handle-enum=" + Code(enumRc) + " close=" + Code(close) +
             " hkcr-after=" + Code(Exists(hkcr, "RegProbe\\Alias")));
  }
  Line("621-hklm-software-create", CreateReport(hklm, "Software\\RegProbe", nullptr));
  Line("622-hklm-software-open-KEY_ALL_ACCESS",
       OpenReport(hklm, "Software\\RegProbe", KEY_ALL_ACCESS, nullptr));
  Line("623-hklm-software-open-KEY_READ", OpenReport(hklm, "Software\\RegProbe", KEY_READ, nullptr));
  {
    const LONG rc = RegDeleteKeyA(hklm, "Software\\RegProbe");
    Line("624-hklm-software-delete",
         "rc=" + Code(rc) + " exists-after=" + Code(Exists(hklm, "Software\\RegProbe")));
  }
}

// Creates `name` below the scratch root with one empty child per letter of `children`.
HKEY LetterTree(HKEY s, const char* name, const char* children)
{
  const HKEY h = CreateKept(s, name, name);
  for (const char* c = children; *c != '\0'; ++c) {
    const char child[2] = {*c, '\0'};
    Setup(child, CreateRc(h, child));
  }
  return h;
}

void TreeCases(const Fixture& f)
{
  const HKEY s = f.scratch;
  {
    const HKEY h = LetterTree(s, "T1", "abcde");
    std::string deleted;
    LONG end = 0;
    for (DWORD i = 0; i < kMaxListed; ++i) {
      char name[kNameBufSize];
      DWORD count = kNameBufSize;
      end = RegEnumKeyExA(h, i, name, &count, nullptr, nullptr, nullptr, nullptr);
      if (end != 0) break;
      const LONG del = RegDeleteKeyA(h, name);
      if (del != 0) {
        deleted += "<del:" + Code(del) + ">";
        break;
      }
      deleted += name;
    }
    Line("701-tree-rising-index-while-deleting",
         "deleted=" + deleted + " end=" + Code(end) + " left=" + List(h));
    if (h != nullptr) RegCloseKey(h);
  }
  {
    const HKEY h = LetterTree(s, "T2", "abcde");
    std::string deleted;
    LONG end = 0;
    for (DWORD guard = 0; guard < kMaxListed; ++guard) {
      char name[kNameBufSize];
      DWORD count = kNameBufSize;
      end = RegEnumKeyExA(h, 0, name, &count, nullptr, nullptr, nullptr, nullptr);
      if (end != 0) break;
      const LONG del = RegDeleteKeyA(h, name);
      if (del != 0) {
        deleted += "<del:" + Code(del) + ">";
        break;
      }
      deleted += name;
    }
    Line("702-tree-index-zero-while-deleting",
         "deleted=" + deleted + " end=" + Code(end) + " left=" + List(h));
    if (h != nullptr) RegCloseKey(h);
  }
  {
    const HKEY h = LetterTree(s, "T3", "abcde");
    DWORD count = 0;
    while (count < kMaxListed && NameAt(h, count)[0] != '<') ++count;
    std::string deleted;
    for (DWORD i = count; i > 0; --i) {
      const std::string name = NameAt(h, i - 1);
      const LONG del = RegDeleteKeyA(h, name.c_str());
      deleted += del == 0 ? name : "<del:" + Code(del) + ">";
    }
    Line("703-tree-falling-index-while-deleting",
         "count=" + std::to_string(count) + " deleted=" + deleted + " left=" + List(h));
    if (h != nullptr) RegCloseKey(h);
  }
  {
    const HKEY h = LetterTree(s, "T4", "abcde");
    std::vector<std::string> names;
    for (DWORD i = 0; i < kMaxListed; ++i) {
      const std::string name = NameAt(h, i);
      if (name[0] == '<') break;
      names.push_back(name);
    }
    std::string deleted;
    for (const std::string& name : names) {
      const LONG del = RegDeleteKeyA(h, name.c_str());
      deleted += del == 0 ? name : "<del:" + Code(del) + ">";
    }
    Line("704-tree-snapshot-then-delete",
         "count=" + std::to_string(names.size()) + " deleted=" + deleted + " left=" + List(h));
    if (h != nullptr) RegCloseKey(h);
  }
  {
    Setup("T5\\a", CreateRc(s, "T5\\a"));
    Setup("T5\\B", CreateRc(s, "T5\\B"));
    Setup("T5\\~Deleted\\x", CreateRc(s, "T5\\~Deleted\\x"));
    Setup("T5\\~Deleted\\Y", CreateRc(s, "T5\\~Deleted\\Y"));
    const std::string top = ListAt(s, "T5");
    const std::string markers = ListAt(s, "T5\\~Deleted");
    const LONG direct = RegDeleteKeyA(s, "T5");
    const LONG tree = DelTree(s, "T5");
    Line("705-tree-recursive-delete-with-marker-subtree",
         "top=" + top + " markers=" + markers + " direct-delete=" + Code(direct) + " deltree=" + Code(tree) +
             " exists-after=" + Code(Exists(s, "T5")));
  }
  {
    Setup("T6\\inner\\x", CreateRc(s, "T6\\inner\\x"));
    const HKEY inner = OpenKept(s, "T6\\inner", KEY_READ, "open-T6\\inner");
    const LONG tree = DelTree(s, "T6");
    const std::string after = Code(Exists(s, "T6"));
    const LONG enumRc = EnumRc(inner);
    const LONG close = RegCloseKey(inner);
    Line("706-tree-recursive-delete-with-inner-handle-open",
         "deltree=" + Code(tree) + " exists-after=" + after + " inner-handle-enum=" + Code(enumRc) +
             " inner-close=" + Code(close));
  }
  {
    Setup("T7\\child\\grandchild", CreateRc(s, "T7\\child\\grandchild"));
    const HKEY scratchRead = OpenKept(HKEY_CURRENT_USER, kScratchPath, KEY_READ, "open-scratch-read");
    const HKEY top = OpenKept(scratchRead, "T7", KEY_READ, "open-T7-read");
    const LONG enumRc = EnumRc(top);
    const HKEY child = OpenKept(top, "child", KEY_READ, "open-child-read");
    const LONG grand = RegDeleteKeyA(child, "grandchild");
    if (child != nullptr) RegCloseKey(child);
    const LONG delChild = RegDeleteKeyA(top, "child");
    if (top != nullptr) RegCloseKey(top);
    const LONG delTop = RegDeleteKeyA(scratchRead, "T7");
    if (scratchRead != nullptr) RegCloseKey(scratchRead);
    Line("707-tree-delete-through-KEY_READ-handles",
         "enum-readonly=" + Code(enumRc) + " delete-grandchild-via-readonly=" + Code(grand) +
             " delete-child-via-readonly=" + Code(delChild) + " delete-via-readonly-parent=" + Code(delTop) +
             " exists-after=" + Code(Exists(s, "T7")));
  }
  {
    Setup("T8\\Keep", CreateRc(s, "T8\\Keep"));
    Setup("T8\\~Deleted\\Gone", CreateRc(s, "T8\\~Deleted\\Gone"));
    Line("708-tree-marker-subkey-listing",
         "list=" + ListAt(s, "T8") + " markers=" + ListAt(s, "T8\\~Deleted") +
             " marker-open-case-insensitive=" + Code(Exists(s, "T8\\~Deleted\\GONE")));
  }
}

std::string Sign(int value) { return value < 0 ? "-" : value > 0 ? "+" : "0"; }

void CompareCase(const char* name, const char* a, const char* b)
{
  Line(name, "sign=" + Sign(lstrcmpA(a, b)));
}

using TextPairs = std::vector<std::pair<std::string, std::string>>;

// The signs of lstrcmpA over many pairs, summed up: how many of each, and an FNV-1a digest of the
// signs in order.
std::string CompareDigest(const TextPairs& pairs)
{
  unsigned long long digest = 14695981039346656037ULL;
  size_t counts[3] = {0, 0, 0};
  for (const auto& pair : pairs) {
    const int sign = lstrcmpA(pair.first.c_str(), pair.second.c_str());
    const int index = sign < 0 ? 0 : sign > 0 ? 2 : 1;
    ++counts[index];
    digest = (digest ^ static_cast<unsigned long long>(index)) * 1099511628211ULL;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", digest);
  return "pairs=" + std::to_string(pairs.size()) + " less=" + std::to_string(counts[0]) +
         " equal=" + std::to_string(counts[1]) + " greater=" + std::to_string(counts[2]) +
         " digest=" + hex;
}

// Every byte 1..255 against every byte.
TextPairs SingleBytePairs()
{
  TextPairs pairs;
  for (int a = 1; a < 256; ++a)
    for (int b = 1; b < 256; ++b)
      pairs.emplace_back(std::string(1, static_cast<char>(a)), std::string(1, static_cast<char>(b)));
  return pairs;
}

// Every text of two bytes against the bytes that sort as two letters and against their spellings.
TextPairs TwoLetterPairs()
{
  const char* const others[] = {"\xDF", "\xE6", "\xC6", "\x8C", "\x9C", "\xDE", "\xFE", "ss",
                                "SS",   "ae",   "AE",   "oe",   "OE",   "th",   "TH",   "Th"};
  TextPairs pairs;
  for (int a = 1; a < 256; ++a) {
    for (int b = 1; b < 256; ++b) {
      const std::string two = std::string(1, static_cast<char>(a)) + static_cast<char>(b);
      for (const char* other : others) pairs.emplace_back(two, other);
    }
  }
  return pairs;
}

// A fixed series of random texts of up to eight bytes; half the pairs are near relatives.
TextPairs RandomPairs()
{
  unsigned long long state = 0x9E3779B97F4A7C15ULL;
  const auto next = [&state]() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<unsigned>(state >> 33);
  };
  const auto byte = [&next]() { return static_cast<char>(1 + next() % 255); };
  TextPairs pairs;
  for (int i = 0; i < 200000; ++i) {
    std::string a, b;
    for (unsigned n = next() % 9; n > 0; --n) a += byte();
    if (next() % 2 == 0) {
      b = a;
      // One call per statement: the order of the draws is the same for every compiler.
      if (!b.empty()) {
        const size_t at = next() % b.size();
        b[at] = byte();
      }
      const size_t at = b.empty() ? 0 : next() % b.size();
      const char inserted = byte();
      b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), inserted);
    } else {
      for (unsigned n = next() % 9; n > 0; --n) b += byte();
    }
    pairs.emplace_back(a, b);
  }
  return pairs;
}

// lstrcmpA compares linguistically in the user's locale and code page; only the sign is portable.
void StringCases()
{
  CompareCase("801-lstrcmp-equal", "abc", "abc");
  CompareCase("802-lstrcmp-lower-vs-upper", "abc", "ABC");
  CompareCase("803-lstrcmp-upper-vs-lower", "ABC", "abc");
  CompareCase("804-lstrcmp-a-vs-B", "a", "B");
  CompareCase("805-lstrcmp-B-vs-a", "B", "a");
  CompareCase("806-lstrcmp-a-vs-A", "a", "A");
  CompareCase("807-lstrcmp-empty-vs-empty", "", "");
  CompareCase("808-lstrcmp-empty-vs-a", "", "a");
  CompareCase("809-lstrcmp-a-vs-empty", "a", "");
  CompareCase("810-lstrcmp-prefix-ab-vs-abc", "ab", "abc");
  CompareCase("811-lstrcmp-control-char-inside-vs-without", "a\x01" "b", "ab");
  CompareCase("812-lstrcmp-tab-inside-vs-without", "a\tb", "ab");
  CompareCase("813-lstrcmp-control-char-at-end-vs-without", "a\x01", "a");
  CompareCase("814-lstrcmp-high-e9-vs-c9", "\xe9", "\xc9");
  CompareCase("815-lstrcmp-high-c9-vs-e9", "\xc9", "\xe9");
  CompareCase("816-lstrcmp-high-e9-vs-f", "\xe9", "f");
  CompareCase("817-lstrcmp-high-e9-vs-e", "\xe9", "e");
  CompareCase("818-lstrcmp-hyphen-co-op-vs-coop", "co-op", "coop");
  CompareCase("819-lstrcmp-hyphen-coop-vs-co-op", "coop", "co-op");
  CompareCase("820-lstrcmp-underscore-vs-A", "_x", "A");
  CompareCase("821-lstrcmp-tilde-Deleted-vs-Zed", "~Deleted", "Zed");
  CompareCase("822-lstrcmp-digits-a2-vs-a10", "a2", "a10");
  CompareCase("823-lstrcmp-clsid-upper-vs-lower", "{00020420-0000-0000-C000-000000000046}",
              "{00020420-0000-0000-c000-000000000046}");
  CompareCase("824-lstrcmp-clsid-equal", "{00020420-0000-0000-C000-000000000046}",
              "{00020420-0000-0000-C000-000000000046}");
  CompareCase("825-lstrcmp-null-vs-a", nullptr, "a");
  CompareCase("826-lstrcmp-a-vs-null", "a", nullptr);
  CompareCase("827-lstrcmp-null-vs-null", nullptr, nullptr);
  CompareCase("828-lstrcmp-null-vs-empty", nullptr, "");
  // Hyphen and apostrophe weigh nothing at the first level (word sort): "a-c" is compared as "ac".
  CompareCase("829-lstrcmp-hyphen-a-c-vs-ab", "a-c", "ab");
  CompareCase("830-lstrcmp-hyphen-co-op-vs-coo", "co-op", "coo");
  CompareCase("831-lstrcmp-apostrophe-it's-vs-itr", "it's", "itr");
  CompareCase("832-lstrcmp-underscore-a_c-vs-ab", "a_c", "ab");
  // Case weighs less than letters: the first letter difference wins over an earlier case difference.
  CompareCase("833-lstrcmp-case-Ab-vs-ac", "Ab", "ac");
  CompareCase("834-lstrcmp-case-aB-vs-Ab", "aB", "Ab");
  CompareCase("835-lstrcmp-digit-vs-letter", "1", "a");
  CompareCase("836-lstrcmp-space-vs-hyphen", "a b", "a-b");
  CompareCase("837-lstrcmp-brace-vs-digit", "{0", "00");
  // Wine's lstrcmpA ignores the soft hyphen (0xAD) and sorts some bytes as two letters, so texts of
  // different bytes may be equal.
  CompareCase("838-lstrcmp-soft-hyphen-inside", "a\xAD" "b", "ab");
  CompareCase("839-lstrcmp-soft-hyphen-only-vs-empty", "\xAD", "");
  CompareCase("840-lstrcmp-backslash-vs-two-and-soft-hyphen", "\\", "\\\\\xAD");
  CompareCase("841-lstrcmp-ss-vs-sharp-s", "ss", "\xDF");
  CompareCase("842-lstrcmp-SS-vs-sharp-s", "SS", "\xDF");
  CompareCase("843-lstrcmp-ae-vs-ae-ligature", "ae", "\xE6");
  CompareCase("844-lstrcmp-AE-vs-AE-ligature", "AE", "\xC6");
  CompareCase("845-lstrcmp-oe-vs-oe-ligature", "oe", "\x9C");
  CompareCase("846-lstrcmp-th-vs-thorn", "th", "\xFE");
  CompareCase("847-lstrcmp-Th-vs-capital-thorn", "Th", "\xDE");
  CompareCase("848-lstrcmp-caret-vs-modifier-circumflex", "a^", "a\x88");
  CompareCase("849-lstrcmp-sharp-s-vs-st", "\xDF", "st");
  CompareCase("850-lstrcmp-hyphen-positions", "-ab", "a-b");
  Line("856-lstrcmp-every-pair-of-single-bytes", CompareDigest(SingleBytePairs()));
  Line("857-lstrcmp-two-byte-texts-vs-two-letter-bytes", CompareDigest(TwoLetterPairs()));
  Line("858-lstrcmp-random-texts", CompareDigest(RandomPairs()));
  Line("851-lstrlen-abc", "len=" + std::to_string(lstrlenA("abc")));
  Line("852-lstrlen-empty", "len=" + std::to_string(lstrlenA("")));
  Line("853-lstrlen-high-bytes", "len=" + std::to_string(lstrlenA("\xe9t\xe9")));
  Line("854-lstrlen-300-chars", "len=" + std::to_string(lstrlenA(Repeat('z', 300).c_str())));
  Line("855-lstrlen-null", "len=" + std::to_string(lstrlenA(nullptr)));
}

void CleanupCases(Fixture& f)
{
  for (HKEY h : g_kept) {
    if (h != nullptr) RegCloseKey(h);
  }
  g_kept.clear();
  if (f.base != nullptr) RegCloseKey(f.base);
  {
    const LONG close = RegCloseKey(f.scratch);
    const LONG tree = DelTree(HKEY_CURRENT_USER, kScratchPath);
    Line("901-cleanup-hkcu-scratch", "close-scratch=" + Code(close) + " hkcu=" + Code(tree));
  }
  {
    const LONG hkcr = DelTree(HKEY_CLASSES_ROOT, "RegProbe");
    HKEY classes = kSentinel;
    const LONG open = RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Classes", 0, KEY_ALL_ACCESS, &classes);
    if (open != 0) classes = nullptr;
    const LONG user = DelTree(classes, "RegProbe");
    const LONG userU = DelTree(classes, "RegProbeU");
    if (classes != nullptr) RegCloseKey(classes);
    const LONG machine = DelTree(HKEY_LOCAL_MACHINE, "Software\\Classes\\RegProbe");
    Line("902-cleanup-classes", "hkcr=" + Code(hkcr) + " hkcu-classes-open=" + Ok(open) +
                                    " hkcu-classes-RegProbe=" + Code(user) +
                                    " hkcu-classes-RegProbeU=" + Code(userU) +
                                    " hklm-classes-RegProbe=" + Code(machine));
  }
  Line("903-cleanup-hklm", "hklm-software=" + Code(DelTree(HKEY_LOCAL_MACHINE, "Software\\RegProbe")) +
                               " hklm-direct=" + Code(DelTree(HKEY_LOCAL_MACHINE, "RegProbeDirect")));
  Line("904-cleanup-verify-all-gone",
       "hkcu=" + Code(Exists(HKEY_CURRENT_USER, kScratchPath)) +
           " hkcr=" + Code(Exists(HKEY_CLASSES_ROOT, "RegProbe")) +
           " hkcr-u=" + Code(Exists(HKEY_CLASSES_ROOT, "RegProbeU")) +
           " hkcr-clsid=" + Code(Exists(HKEY_CLASSES_ROOT, kClsidPath)) +
           " hklm=" + Code(Exists(HKEY_LOCAL_MACHINE, "Software\\RegProbe")) +
           " hklm-direct=" + Code(Exists(HKEY_LOCAL_MACHINE, "RegProbeDirect")));
}

}  // namespace

// On Linux, "--prefix DIR" answers over that prefix's registry files instead of memory, and
// "--view 32" as a 32-bit program would.
int main(int argc, char** argv)
{
#ifndef _WIN32
  oarepair::platform::UseMemoryRegistry();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--prefix") oarepair::platform::UsePrefixRegistry(argv[i + 1]);
    if (option == "--view" && std::string(argv[i + 1]) == "32")
      oarepair::platform::SetRegistryView(oarepair::platform::RegistryView::k32Bit);
  }
#else
  (void)argc;
  (void)argv;
#endif
  RemoveLeftovers();
  Fixture f;
  SetupCases(f);
  OpenCases(f);
  CreateCases(f);
  EnumCases(f);
  DeleteCases(f);
  StaleCases(f);
  CloseCases(f);
  ClassesCases();
  TreeCases(f);
  StringCases();
  CleanupCases(f);
  return 0;
}
