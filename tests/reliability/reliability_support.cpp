// Shared helpers of the reliability suite.
#include "tests/reliability/reliability_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/hive_image.h"
#include "platform/names.h"
#include "platform/prefix.h"
#include "tests/support/scratch_folder.h"

extern char** environ;

#ifndef OAREPAIR_WINE_RUN_SCRIPT
#define OAREPAIR_WINE_RUN_SCRIPT ""
#endif
#ifndef OAREPAIR_WINE_CACHE_DIR
#define OAREPAIR_WINE_CACHE_DIR ""
#endif

namespace oarepair::reliability {

const char kDispatchClassId[] = "{00020420-0000-0000-C000-000000000046}";
const char kDispatchClassPath[] = "CLSID\\{00020420-0000-0000-C000-000000000046}";

namespace {

// ----------------------------------------------------------------------------------------------
// Figures

std::mutex g_figureMutex;
std::map<std::string, uint64_t>& Figures() {
  static std::map<std::string, uint64_t> figures;
  return figures;
}

// Prints the figures once every test has run, and appends them to the figures file.
class FigureReporter : public ::testing::Environment {
 public:
  void TearDown() override {
    std::lock_guard<std::mutex> lock(g_figureMutex);
    if (Figures().empty()) return;
    std::printf("[ figures  ] reliability suite totals (this run):\n");
    for (const auto& [name, count] : Figures()) {
      std::printf("[ figures  ]   %-44s %llu\n", name.c_str(),
                  static_cast<unsigned long long>(count));
    }
    const char* file = std::getenv("OAREPAIR_RELIABILITY_FIGURES");
    if (file != nullptr && *file != '\0') {
      if (std::FILE* out = std::fopen(file, "a")) {
        for (const auto& [name, count] : Figures()) {
          std::fprintf(out, "%s %llu\n", name.c_str(), static_cast<unsigned long long>(count));
        }
        std::fclose(out);
      }
    }
  }
};

[[maybe_unused]] ::testing::Environment* const g_reporter =
    ::testing::AddGlobalTestEnvironment(new FigureReporter);

// ----------------------------------------------------------------------------------------------
// Generated registry files

constexpr uint64_t kFixedSeconds = 1700000000;  // 2023-11-14, a time no test run will have
constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;

std::string SectionHeader(const std::string& path, uint64_t seconds) {
  std::string escaped;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (!escaped.empty()) escaped += "\\\\";
    escaped += EscapeKeyName(path.substr(start, end - start));
    start = end + 1;
  }
  char time[64];
  std::snprintf(time, sizeof time, "] %llu\n#time=%llx\n", static_cast<unsigned long long>(seconds),
                static_cast<unsigned long long>(seconds * 10000000ULL + kUnixEpochTicks));
  return "\n[" + escaped + time;
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    for (char& c : part) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

std::string HiveText(const char* header, std::vector<FixtureSection> sections) {
  // Wine's order: sorted pre-order, names compared in lower case (the generated names are ASCII).
  std::stable_sort(sections.begin(), sections.end(), [](const FixtureSection& a, const FixtureSection& b) {
    return Components(a.path) < Components(b.path);
  });
  std::string text = header;
  uint64_t seconds = kFixedSeconds;
  for (const FixtureSection& section : sections) {
    text += SectionHeader(section.path, seconds++);
    for (const std::string& value : section.values) text += value + "\n";
  }
  return text;
}

}  // namespace

FastScratchFolder::FastScratchFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::vector<std::string> bases;
  if (::access("/dev/shm", W_OK) == 0) bases.push_back("/dev/shm");
  bases.push_back(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  for (const std::string& base : bases) {
    std::string pattern = base + "/oarepair-reliability-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) != nullptr) {
      m_path = buffer.data();
      return;
    }
  }
}

FastScratchFolder::~FastScratchFolder() {
  if (m_path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

void AddFigure(const std::string& name, uint64_t count) {
  std::lock_guard<std::mutex> lock(g_figureMutex);
  Figures()[name] += count;
}

uint64_t Figure(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_figureMutex);
  auto it = Figures().find(name);
  return it == Figures().end() ? 0 : it->second;
}

std::string EscapeKeyName(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c == '\\' || c == '[' || c == ']') out += '\\';
    out += c;
  }
  return out;
}

std::string MachineHiveText(size_t padding, const std::vector<FixtureSection>& extra) {
  const std::string clsid = "Software\\Classes\\CLSID\\";
  const std::string dispatch = clsid + kDispatchClassId;
  std::vector<FixtureSection> sections = {
      {"Software\\Classes\\.txt", {"@=\"txtfile\"", "\"Content Type\"=\"text/plain\""}},
      {dispatch, {"@=\"PSDispatch\""}},
      {dispatch + "\\InprocServer", {"@=\"ole2disp.dll\""}},
      {dispatch + "\\InprocServer32",
       {"@=\"C:\\\\windows\\\\system32\\\\bogus.dll\"", "\"ThreadingModel\"=\"Both\""}},
      {dispatch + "\\Junk", {"\"Left\"=dword:00000001"}},
      {dispatch + "\\Junk\\Level2\\Level3", {}},
      {dispatch + "\\Junk\\Level2\\Other", {"\"Bytes\"=hex:01,02,03,\\", "  04,05"}},
      {clsid + "{00020421-0000-0000-C000-000000000046}", {"@=\"PSEnumVariant\""}},
      {clsid + "{00020421-0000-0000-C000-000000000046}\\InprocServer32",
       {"@=\"C:\\\\windows\\\\system32\\\\oleaut32.dll\""}},
      {"Software\\Wine", {"\"Version\"=\"wine-8.0\""}},
  };
  for (size_t i = 0; i < padding; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "Software\\Filler\\Group%03zu\\Key%05zu", i / 100, i);
    char value[96];
    std::snprintf(value, sizeof value, "\"Data\"=\"filler value number %05zu for the crash tests\"",
                  i);
    sections.push_back({name, {value}});
  }
  sections.insert(sections.end(), extra.begin(), extra.end());
  return HiveText("WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n"
                  "#arch=win64\n",
                  sections);
}

std::string UserHiveText() {
  return HiveText(
      "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
      "#arch=win64\n",
      {{"Control Panel\\Desktop", {"\"Wallpaper\"=\"\""}},
       {"Software\\Wine\\Fonts", {"\"LogPixels\"=dword:00000060"}}});
}

bool WritePrefixFiles(const std::string& dir, const std::string& systemReg) {
  return test_support::WriteFile(dir + "/system.reg", systemReg) &&
         test_support::WriteFile(dir + "/user.reg", UserHiveText());
}

bool ParsesAsHive(const std::string& text, std::string* why) {
  test_support::HiveImage image;
  platform::HiveParseError error;
  const auto status = test_support::ParseHiveText(text, &image, &error);
  if (why != nullptr) *why = error.message;
  return status == platform::HiveParseStatus::kOk;
}

std::vector<std::string> HiveTreeSummary(const std::string& text) {
  std::vector<std::string> summary;
  test_support::HiveImage image;
  platform::HiveParseError error;
  if (test_support::ParseHiveText(text, &image, &error) != platform::HiveParseStatus::kOk) {
    summary.push_back("(refused: " + error.message + ")");
    return summary;
  }
  struct Frame {
    const platform::RegNode* node;
    std::string path;
  };
  std::vector<Frame> stack{{image.root.get(), ""}};
  while (!stack.empty()) {
    Frame frame = stack.back();
    stack.pop_back();
    summary.push_back(frame.path + " (" + std::to_string(frame.node->children.size()) + ")");
    std::vector<Frame> children;
    frame.node->children.ForEach([&](const platform::RegNode* child) {
      children.push_back({child, frame.path + "\\" + platform::WideToNarrow(child->name())});
    });
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
  }
  return summary;
}

std::vector<std::string> StrayNames(const std::string& dir,
                                    const std::vector<std::string>& expected) {
  std::vector<std::string> stray;
  const std::set<std::string> allowed(expected.begin(), expected.end());
  for (const std::string& name : test_support::ListFolder(dir)) {
    if (!allowed.count(name)) stray.push_back(name);
  }
  return stray;
}

// ----------------------------------------------------------------------------------------------
// Processes

ChildStatus RunInChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  ChildStatus status;
  const pid_t pid = ::fork();
  if (pid < 0) return status;
  if (pid == 0) {
    int code = body();
    ::_exit(code);
  }
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(raw)) {
    status.exited = true;
    status.code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    status.code = WTERMSIG(raw);
  }
  return status;
}

int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               std::string* output, int timeoutSeconds) {
  if (argv.empty()) return -1;
  std::vector<std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& item : env) replaced |= item.substr(0, item.find('=')) == name;
    if (!replaced) environment.push_back(text);
  }
  environment.insert(environment.end(), env.begin(), env.end());
  std::vector<std::string> argCopy = argv;
  std::vector<char*> args;
  for (auto& a : argCopy) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  // The output goes to an anonymous file, not a pipe: a daemon the program starts (wineserver)
  // inherits it and would hold a pipe open long after the program itself has ended.
  const int sink = output != nullptr ? ::memfd_create("oarepair-output", MFD_CLOEXEC)
                                     : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (sink < 0) return -1;
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(sink);
    return -1;
  }
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, 0);
    ::dup2(sink, 1);
    ::dup2(sink, 2);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int raw = 0;
  bool timedOut = false;
  for (;;) {
    const pid_t done = ::waitpid(pid, &raw, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
      }
      timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (output != nullptr) {
    output->clear();
    char buffer[4096];
    off_t at = 0;
    for (;;) {
      const ssize_t got = ::pread(sink, buffer, sizeof buffer, at);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      output->append(buffer, static_cast<size_t>(got));
      at += got;
    }
  }
  ::close(sink);
  if (timedOut) return -2;
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// ----------------------------------------------------------------------------------------------
// Wine

namespace {

bool Executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

std::string WineLoader() {
  for (const std::string& candidate :
       {EnvOr("OAREPAIR_WINE64", ""), std::string("/usr/lib/wine/wine64"),
        std::string("/usr/lib64/wine/wine64")}) {
    if (!candidate.empty() && Executable(candidate)) return candidate;
  }
  return std::string();
}

std::string WineServer() {
  for (const std::string& candidate : {EnvOr("OAREPAIR_WINESERVER", ""),
                                       std::string("/usr/lib/wine/wineserver"),
                                       std::string("/usr/bin/wineserver")}) {
    if (!candidate.empty() && Executable(candidate)) return candidate;
  }
  return std::string();
}

std::vector<std::string> WineEnv(const std::string& prefix) {
  return {"WINEPREFIX=" + prefix, "WINELOADER=" + WineLoader(), "WINEDEBUG=-all",
          "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY="};
}

// Decodes UTF-16LE text (with or without a byte-order mark) into code units.
std::u16string DecodeUtf16(const std::string& bytes) {
  std::u16string units;
  size_t start = 0;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE)
    start = 2;
  for (size_t i = start; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return units;
}

}  // namespace

bool WineAvailable(std::string* why) {
  if (WineLoader().empty()) {
    *why = "no 64-bit Wine loader (/usr/lib/wine/wine64) on this machine";
    return false;
  }
  if (WineServer().empty()) {
    *why = "no wineserver on this machine";
    return false;
  }
  if (std::string(OAREPAIR_WINE_RUN_SCRIPT).empty() || !Executable(OAREPAIR_WINE_RUN_SCRIPT)) {
    *why = "the build did not name cmake/wine-run.sh";
    return false;
  }
  return true;
}

bool MakeWinePrefix(const std::string& dir, std::string* why) {
  std::string output;
  const std::string cache = EnvOr("OAREPAIR_WINE_CACHE", OAREPAIR_WINE_CACHE_DIR);
  std::vector<std::string> argv = {OAREPAIR_WINE_RUN_SCRIPT};
  if (!cache.empty()) {
    argv.push_back("--cache");
    argv.push_back(cache);
  }
  argv.insert(argv.end(), {"--new-prefix", "x64", dir});
  const int rc = RunProgram(argv, {}, &output, 300);
  if (rc != 0) {
    *why = "wine-run.sh --new-prefix failed (" + std::to_string(rc) + "): " + output;
    return false;
  }
  return true;
}

int RunWine(const std::string& prefix, const std::vector<std::string>& args, std::string* output) {
  std::vector<std::string> argv = {WineLoader()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, WineEnv(prefix), output, 180);
}

void WaitForWineserver(const std::string& prefix) {
  std::string output;
  RunProgram({WineServer(), "-w"}, WineEnv(prefix), &output, 120);
}

void KillWineserver(const std::string& prefix) {
  std::string output;
  RunProgram({WineServer(), "-k"}, WineEnv(prefix), &output, 60);
  RunProgram({WineServer(), "-w"}, WineEnv(prefix), &output, 60);
  test_support::RemoveWineServerFolder(prefix);
}

bool StartPersistentWineserver(const std::string& prefix) {
  // wineserver -p goes to the background at once; it serves the prefix once it holds its lock.
  if (RunProgram({WineServer(), "-p"}, WineEnv(prefix), nullptr, 60) != 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    bool running = false;
    pid_t pid = 0;
    std::string lockPath;
    if (platform::DetectWineserver(platform::PosixFileSystem(), prefix, &running, &pid,
                                   &lockPath) == 0 &&
        running)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool WineExportedSubKeys(const std::string& prefix, const std::string& key,
                         std::vector<std::u16string>* names, std::string* why) {
  names->clear();
  const std::string exportName = "oarepair-export.reg";
  std::string output;
  const int rc =
      RunWine(prefix, {"reg", "export", key, "C:\\" + exportName, "/y"}, &output);
  if (rc != 0) {
    *why = "wine reg export failed (" + std::to_string(rc) + "): " + output;
    return false;
  }
  const std::string path = prefix + "/drive_c/" + exportName;
  const std::u16string text = DecodeUtf16(test_support::ReadFile(path));
  ::unlink(path.c_str());
  // Key lines look like "[HKEY_LOCAL_MACHINE\Software\X\name]"; the listed key's own line and
  // deeper keys are left out. A name may itself hold brackets, so only the last ']' ends it.
  std::u16string full;
  for (char c : key) full.push_back(static_cast<char16_t>(c));
  const std::u16string shortRoot = u"HKLM\\";
  if (full.rfind(shortRoot, 0) == 0) full = u"HKEY_LOCAL_MACHINE\\" + full.substr(shortRoot.size());
  const std::u16string start = u"[" + full + u"\\";
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(u"\r\n", at);
    if (end == std::u16string::npos) end = text.size();
    const std::u16string line = text.substr(at, end - at);
    at = end + 2;
    if (line.size() < start.size() + 1 || line.compare(0, start.size(), start) != 0 ||
        line.back() != u']')
      continue;
    const std::u16string name = line.substr(start.size(), line.size() - start.size() - 1);
    if (name.find(u'\\') != std::u16string::npos) continue;
    names->push_back(name);
  }
  return true;
}

LONG OpenResult(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key);
  if (rc == ERROR_SUCCESS && key != root) RegCloseKey(key);
  return rc;
}

}  // namespace oarepair::reliability
