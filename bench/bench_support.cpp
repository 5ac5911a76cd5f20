#include "bench/bench_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

namespace oarepair::bench {

BenchOptions& Options() {
  static BenchOptions options;
  return options;
}

TempDir::TempDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/oarepair-bench-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) != nullptr) m_path = buffer.data();
}

TempDir::~TempDir() {
  if (m_path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

bool CopyFile(const std::string& from, const std::string& to) {
  std::error_code err;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, err);
  return !err;
}

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

std::string BaseName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

bool MakeRegistryPrefix(const std::string& source, const std::string& dir) {
  if (!source.empty()) {
    return CopyFile(source + "/system.reg", dir + "/system.reg") &&
           CopyFile(source + "/user.reg", dir + "/user.reg");
  }
  std::ofstream out(dir + "/system.reg", std::ios::binary | std::ios::trunc);
  out << "WINE REGISTRY Version 2\n"
         ";; All keys relative to REGISTRY\\\\Machine\n"
         "\n"
         "#arch=win64\n"
         "\n"
         "[Software\\\\Classes] 1796741350\n"
         "#time=1dd87234871b700\n";
  return static_cast<bool>(out.flush());
}

std::vector<std::string> ClassIdNames(size_t count, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::string> names;
  names.reserve(count);
  char buffer[64];
  for (size_t i = 0; i < count; ++i) {
    const uint64_t a = random();
    const uint64_t b = random();
    // The index in the last group keeps the names distinct whatever the random bits are.
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%04X-%04X%08X}",
                  static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                  static_cast<unsigned>(a & 0xFFFF), static_cast<unsigned>(b >> 48),
                  static_cast<unsigned>((b >> 32) & 0xFFFF), static_cast<unsigned>(i));
    names.emplace_back(buffer);
  }
  return names;
}

bool BuildTree(HKEY hParent, const std::string& top, size_t nKeys) {
  HKEY hTop = nullptr;
  if (RegCreateKeyA(hParent, top.c_str(), &hTop) != ERROR_SUCCESS) return false;
  bool ok = true;
  char name[32];
  const size_t nMiddle = nKeys / 10;
  for (size_t m = 0; ok && m < nMiddle; ++m) {
    std::snprintf(name, sizeof name, "Group%07zu", m);
    HKEY hMiddle = nullptr;
    if (RegCreateKeyA(hTop, name, &hMiddle) != ERROR_SUCCESS) {
      ok = false;
      break;
    }
    for (int leaf = 0; ok && leaf < 9; ++leaf) {
      std::snprintf(name, sizeof name, "Item%d", leaf);
      HKEY hLeaf = nullptr;
      if (RegCreateKeyA(hMiddle, name, &hLeaf) != ERROR_SUCCESS) {
        ok = false;
      } else {
        RegCloseKey(hLeaf);
      }
    }
    RegCloseKey(hMiddle);
  }
  RegCloseKey(hTop);
  return ok;
}

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t length = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
      return std::strtol(line.c_str() + length + 1, nullptr, 10);
    }
  }
  return -1;
}

}  // namespace oarepair::bench
