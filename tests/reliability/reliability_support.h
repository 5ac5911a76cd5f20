// Shared helpers of the reliability suite: throwaway prefixes with registry files we generate,
// child processes, Wine in a throwaway prefix, and the figures the suite reports at its end.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace oarepair::reliability {

// The class key the repair deletes, below HKEY_CLASSES_ROOT\CLSID.
extern const char kDispatchClassId[];
// HKEY_CLASSES_ROOT-relative path of that key.
extern const char kDispatchClassPath[];

// --- Figures: what the suite tried, summed per name over the whole run, printed at the end and
// appended to the file named by $OAREPAIR_RELIABILITY_FIGURES (one "name count" a line).
void AddFigure(const std::string& name, uint64_t count);
uint64_t Figure(const std::string& name);

// --- A throwaway folder on a memory file system when there is one (/dev/shm), else under $TMPDIR
// or /tmp, removed with its content. The crash and fault loops run thousands of saves, each with
// two fsyncs; what they check does not depend on the disk (a killed process loses nothing the
// kernel holds, and power loss is simulated), so the memory file system keeps them fast.
class FastScratchFolder {
 public:
  FastScratchFolder();
  ~FastScratchFolder();
  FastScratchFolder(const FastScratchFolder&) = delete;
  FastScratchFolder& operator=(const FastScratchFolder&) = delete;

  bool Valid() const { return !m_path.empty(); }
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// --- Registry files in Wine's format, generated here so the suite needs no Wine for most cases.
// A section of a generated file: its path relative to the branch root and its value lines.
struct FixtureSection {
  std::string path;                 // unescaped, components joined by single backslashes
  std::vector<std::string> values;  // value lines as they appear in the file
};
// Escapes one key-name component as Wine writes it in a section header.
std::string EscapeKeyName(const std::string& name);
// system.reg text: the header, the damaged dispatch class key with nested subkeys, a neighbour
// class key, `padding` filler keys with values (about 120 bytes each), then `extra` sections, all
// in Wine's order. Times are fixed, so the text is the same on every run.
std::string MachineHiveText(size_t padding, const std::vector<FixtureSection>& extra = {});
// user.reg text with a few keys.
std::string UserHiveText();

// Makes `dir` (which must exist) a prefix with the given system.reg and a generated user.reg.
bool WritePrefixFiles(const std::string& dir, const std::string& systemReg);

// Whether the text parses as a registry file; *why tells the parser's complaint.
bool ParsesAsHive(const std::string& text, std::string* why = nullptr);
// The key paths of a parsed file in tree order, each "a\b\c" with its children count, so that
// two files can be compared for the tree they describe.
std::vector<std::string> HiveTreeSummary(const std::string& text);

// The names in `dir` that are not in `expected`: temp files a save left behind.
std::vector<std::string> StrayNames(const std::string& dir, const std::vector<std::string>& expected);

// --- Processes.
struct ChildStatus {
  bool exited = false;  // ended by exit or _exit; else by a signal
  int code = -1;        // exit status, or the signal number
};
// Runs `body` in a forked child whose exit status is the body's result.
ChildStatus RunInChild(const std::function<int()>& body);
// Runs a program with extra "NAME=value" environment entries, its standard output and error
// gathered into *output (when given). Returns its exit status, or -1 when it could not run or
// was killed by a signal, or -2 after `timeoutSeconds`, when it is killed.
int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               std::string* output, int timeoutSeconds = 120);

// --- Wine, always in a throwaway prefix.
// Whether the 64-bit Wine loader and wineserver are here; *why says what is missing.
bool WineAvailable(std::string* why);
// Makes `dir` a copy of a freshly booted template prefix (made once per build tree and cached).
bool MakeWinePrefix(const std::string& dir, std::string* why);
// Runs `wine64 args...` in `prefix`; returns its exit status.
int RunWine(const std::string& prefix, const std::vector<std::string>& args, std::string* output);
// `wineserver -w` (waits until Wine saved and left) and `wineserver -k` for the prefix.
void WaitForWineserver(const std::string& prefix);
void KillWineserver(const std::string& prefix);
// Starts `wineserver -p` for the prefix and waits until it holds its lock. Returns false when it
// could not be started.
bool StartPersistentWineserver(const std::string& prefix);
// The key names (last path component) below `key` that `wine64 reg export` lists, as UTF-16
// code units turned into UTF-8. `key` is a full path such as "HKLM\\Software\\X".
bool WineExportedSubKeys(const std::string& prefix, const std::string& key,
                         std::vector<std::u16string>* names, std::string* why);

// --- Registry checks through our calls.
// RegOpenKeyExA's result for root\path, the handle closed again.
LONG OpenResult(HKEY root, const std::string& path);

}  // namespace oarepair::reliability
