// A throwaway folder for a test, made under $TMPDIR (or /tmp) and removed with everything in it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace oarepair::test_support {

class ScratchFolder {
 public:
  // Under `base`, or $TMPDIR (else /tmp) when it is empty.
  explicit ScratchFolder(const std::string& base = std::string()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string parent = !base.empty() ? base : tmp && *tmp ? tmp : "/tmp";
    std::string pattern = parent + "/oarepair-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data())) m_path = buffer.data();
  }
  ~ScratchFolder() {
    if (m_path.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  bool Valid() const { return !m_path.empty(); }
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// A memory-backed folder for tests that sync often but model durability themselves (the fault
// file system does), or empty when there is none.
inline std::string MemoryScratchBase() {
  return ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : std::string();
}

inline bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out.flush());
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Debian's Wine keeps a prefix's server folder under $TMPDIR or /tmp, named (wine-XXXXXX) in the
// prefix's "wineserver" file, and leaves it when the server exits; copies of a prefix share it.
// Removes it once no server of the prefix (or of its copies) runs; only a folder we own.
inline void RemoveWineServerFolder(const std::string& prefix) {
  std::string name = ReadFile(prefix + "/wineserver");
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
  if (name.size() <= 5 || name.rfind("wine-", 0) != 0) return;
  for (const char c : name.substr(5)) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return;
  }
  const char* tmp = std::getenv("TMPDIR");
  for (const std::string& base : {std::string(tmp && *tmp ? tmp : "/tmp"), std::string("/tmp")}) {
    const std::string path = base + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
      continue;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
}

// The names in a folder, "." and ".." left out.
inline std::set<std::string> ListFolder(const std::string& path) {
  std::set<std::string> names;
  std::error_code err;
  for (const auto& entry : std::filesystem::directory_iterator(path, err)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

}  // namespace oarepair::test_support
