#include "tests/support/reg_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include "tests/support/scratch_folder.h"

namespace oarepair::test_support {
namespace {

constexpr const char* kWine64 = "/usr/lib/wine/wine64";
constexpr const char* kWineserver = "/usr/lib/wine/wineserver";
constexpr const char* kWineserverBinary = "/usr/lib/wine/wineserver64";

// Temp folders made by this file, removed when the test program ends, with the server folder of
// a prefix made in one.
class TempFolders {
 public:
  ~TempFolders() {
    for (const auto& path : m_paths) {
      RemoveWineServerFolder(path + "/prefix");
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  }
  std::string Make(const char* what) {
    std::error_code err;
    const std::filesystem::path tmp = std::filesystem::temp_directory_path(err);  // $TMPDIR first
    if (err) return std::string();
    std::string pattern =
        (tmp / ("oarepair-" + std::string(what) + "-" + std::to_string(::getpid()) + "-XXXXXX"))
            .string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) return std::string();
    std::lock_guard<std::mutex> hold(m_mutex);
    m_paths.emplace_back(buffer.data());
    return m_paths.back();
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_paths;
};

TempFolders& Folders() {
  static TempFolders folders;
  return folders;
}

std::string WineEnv(const std::string& prefix) {
  return std::string("WINEPREFIX='") + prefix + "' WINEDEBUG=-all WINELOADER=" + kWine64 +
         " WINESERVER=" + kWineserver + " ";
}

// Runs a shell command; returns its exit status (or -1) and, if asked, its output. The output
// goes through a file, not a pipe: a wineserver started by the command inherits it and lives on,
// and a pipe would only reach its end when that server exits.
int Shell(const std::string& command, std::string* output) {
  const std::string folder = Folders().Make("shell");
  if (folder.empty()) return -1;
  const std::string log = folder + "/output";
  const int status = std::system((command + " >'" + log + "' 2>&1 </dev/null").c_str());
  if (output != nullptr) {
    output->clear();
    if (FILE* f = std::fopen(log.c_str(), "rb")) {
      char buf[4096];
      size_t n = 0;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) output->append(buf, n);
      std::fclose(f);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace

std::string RegFileHeader(std::string_view branch) {
  std::string text = "WINE REGISTRY Version 2\n;; All keys relative to ";
  text += branch;
  text += "\n\n#arch=win64\n";
  return text;
}

uint64_t FileTimeOfSeconds(uint32_t seconds) {
  return uint64_t{seconds} * 10000000u + 116444736000000000u;
}

std::string FileTimeText(uint64_t fileTime) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(fileTime));
  return buf;
}

std::string RegSection(std::string_view escapedPath, uint32_t seconds, std::string_view body) {
  std::string text = "\n[";
  text += escapedPath;
  text += "] " + std::to_string(seconds) + "\n#time=" + FileTimeText(FileTimeOfSeconds(seconds)) +
          "\n";
  text += body;
  return text;
}

std::string WrappedHexValue(std::string_view lead, const std::vector<uint8_t>& bytes) {
  std::string line(lead);
  size_t column = lead.size();
  for (size_t i = 0; i < bytes.size(); ++i) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned>(bytes[i]));
    line += byte;
    column += 2;
    if (i + 1 < bytes.size()) {
      line += ',';
      ++column;
      if (column > 76) {
        line += "\\\n  ";
        column = 2;
      }
    }
  }
  line += '\n';
  return line;
}

std::string WrappedHexValue(std::string_view lead, size_t byteCount, uint8_t firstByte) {
  std::vector<uint8_t> bytes(byteCount);
  for (size_t i = 0; i < byteCount; ++i) bytes[i] = static_cast<uint8_t>((firstByte + i) & 0xFF);
  return WrappedHexValue(lead, bytes);
}

std::string LargeHiveText(size_t approxBytes) {
  std::string text = RegFileHeader("REGISTRY\\\\Machine");
  text.reserve(approxBytes + 4096);
  uint32_t seconds = 1700000000;
  char guid[64];
  for (uint32_t n = 0; text.size() < approxBytes; ++n) {
    std::snprintf(guid, sizeof guid, "{%08X-0000-0000-C000-%012X}", n, n * 7919u);
    const std::string key = std::string("Software\\\\Classes\\\\CLSID\\\\") + guid;
    text += RegSection(key, seconds, "@=\"Generated class " + std::to_string(n) + "\"\n");
    text += RegSection(key + "\\\\InprocServer32", seconds,
                       "@=\"C:\\\\windows\\\\system32\\\\gen" + std::to_string(n % 977) +
                           ".dll\"\n\"ThreadingModel\"=\"Both\"\n");
    if (n % 3 == 0) text += RegSection(key + "\\\\ProgID", seconds, "@=\"Gen.Class.1\"\n");
    if (n % 5 == 0) {
      text += RegSection(key + "\\\\Settings", seconds,
                         "\"Flags\"=dword:0000" + std::to_string(1000 + n % 9000) + "\n" +
                             WrappedHexValue("\"Blob\"=hex:", 40, static_cast<uint8_t>(n)));
    }
    if (n % 7 == 0) text += RegSection(key + "\\\\Implemented Categories\\\\{0}", seconds);
    seconds += n % 2;
  }
  return text;
}

std::string WineUnavailableReason() {
  if (::access(kWine64, X_OK) != 0) return std::string(kWine64) + " is not installed";
  for (const char* server : {kWineserver, kWineserverBinary})
    if (::access(server, X_OK) != 0) return std::string(server) + " is not installed";
  return std::string();
}

const std::string& WinebootPrefix(std::string* why) {
  static std::once_flag once;
  static std::string prefix;
  static std::string failure;
  std::call_once(once, [] {
    failure = WineUnavailableReason();
    if (!failure.empty()) return;
    const std::string folder = Folders().Make("wineboot");
    if (folder.empty()) {
      failure = "cannot make a temp folder";
      return;
    }
    const std::string path = folder + "/prefix";
    std::string output;
    const int status = Shell(WineEnv(path) + kWine64 + " wineboot -i", &output);
    StopWineserver(path);
    if (status != 0 || ::access((path + "/system.reg").c_str(), R_OK) != 0) {
      failure = "wineboot -i failed (status " + std::to_string(status) + "): " + output;
      return;
    }
    prefix = path;
  });
  if (why != nullptr) *why = failure;
  return prefix;
}

std::string CopyPrefix(const std::string& prefix) {
  const std::string folder = Folders().Make("prefix-copy");
  if (folder.empty()) return std::string();
  const std::string copy = folder + "/prefix";
  if (Shell("cp -a '" + prefix + "' '" + copy + "'", nullptr) != 0) return std::string();
  return copy;
}

int RunWine(const std::string& prefix, const std::string& args, std::string* output) {
  return Shell(WineEnv(prefix) + kWine64 + " " + args, output);
}

void StartWineserver(const std::string& prefix) {
  // The distribution's wrapper pins the persistence to zero; the server itself takes -p.
  Shell(WineEnv(prefix) + kWineserverBinary + " -p", nullptr);
}

void StopWineserver(const std::string& prefix) {
  // -k flushes the registry before the server exits; -w waits for that exit.
  Shell(WineEnv(prefix) + kWineserver + " -k", nullptr);
  Shell(WineEnv(prefix) + kWineserver + " -w", nullptr);
}

}  // namespace oarepair::test_support
