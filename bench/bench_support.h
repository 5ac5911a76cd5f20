// Helpers shared by the benchmarks: throwaway folders, prefix copies, key names, key trees built
// through the registry calls, and the process's memory figures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace oarepair::bench {

// The prefixes given on the command line (--prefix=DIR, repeatable), in order.
struct BenchOptions {
  std::vector<std::string> prefixes;
};
BenchOptions& Options();

// A folder under $TMPDIR (or /tmp), removed with its content when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool Valid() const { return !m_path.empty(); }
  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

bool CopyFile(const std::string& from, const std::string& to);
// Size in bytes, or 0 when the file cannot be read.
uint64_t FileSize(const std::string& path);
// The last component of a path ("/a/b/big" gives "big").
std::string BaseName(const std::string& path);

// Makes `dir` a prefix the Linux registry can use: the system.reg and user.reg of `source`, or,
// when `source` is empty, a minimal system.reg holding only Software\Classes. Returns false on
// failure.
bool MakeRegistryPrefix(const std::string& source, const std::string& dir);

// `count` distinct class-id names ("{8-4-4-4-12}" in upper-case hex) from a fixed seed.
std::vector<std::string> ClassIdNames(size_t count, uint64_t seed);

// Creates `top` below hParent with nKeys keys under it: nKeys/10 children, each with nine
// children of its own. Returns false when a call fails.
bool BuildTree(HKEY hParent, const std::string& top, size_t nKeys);

// Fields of /proc/self/status in kB (VmRSS, VmHWM); -1 when absent.
long StatusKb(const char* field);

}  // namespace oarepair::bench
