// WinExec on Linux: starts a Windows command line through Wine's loader in the prefix the
// registry uses, detached from us, after saving pending registry changes so Wine sees them.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry_control.h"
#include "platform/win32.h"

extern char** environ;

namespace oarepair::platform {
namespace {

// WinExec's result for a started program: anything above 31.
constexpr UINT kStarted = 33;

// Splits a Windows command line into words: blanks separate, double quotes group and are
// removed ("C:\Program Files\x.exe" /s stays two words).
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Wine's loader: $WINE when set (a path, or a name looked up on PATH), else "wine" on PATH.
// Empty when it cannot be found.
std::string FindLoader() {
  const char* configured = std::getenv("WINE");
  std::string name = configured != nullptr && *configured != '\0' ? configured : "wine";
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return std::string();
}

// Our environment with WINEPREFIX replaced by `prefix` (kept as it is when `prefix` is empty).
std::vector<std::string> ChildEnvironment(const std::string& prefix) {
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (!prefix.empty() && std::strncmp(*entry, "WINEPREFIX=", 11) == 0) continue;
    env.emplace_back(*entry);
  }
  if (!prefix.empty()) env.push_back("WINEPREFIX=" + prefix);
  return env;
}

std::vector<char*> PointersOf(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

UINT WinExecResultOf(int err) {
  switch (err) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case ENOEXEC:
      return ERROR_BAD_FORMAT;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    default:
      return 0;  // out of resources
  }
}

// Starts `argv` with `envp` in a new session, standard streams on /dev/null, as the grandchild
// of a short-lived child that we reap at once, so nothing is left for us to wait for. Returns 0
// when the program was executed, else the errno of the failure.
int StartDetached(char* const argv[], char* const envp[]) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return errno;

  const pid_t child = ::fork();
  if (child < 0) {
    const int err = errno;
    ::close(report[0]);
    ::close(report[1]);
    return err;
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    ::close(report[0]);
    int err = 0;
    if (::setsid() < 0) err = errno;
    const int null = err == 0 ? ::open("/dev/null", O_RDWR) : -1;
    if (err == 0 && null < 0) err = errno;
    if (err == 0) {
      for (int fd = 0; fd <= 2; ++fd) {
        if (::dup2(null, fd) < 0) {
          err = errno;
          break;
        }
      }
      if (null > 2) ::close(null);
    }
    if (err == 0) {
      const pid_t grandchild = ::fork();
      if (grandchild < 0) {
        err = errno;
      } else if (grandchild == 0) {
        // The program starts with the signal state a fresh process has: nothing blocked, and
        // SIGPIPE (which callers often ignore) back to its default.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        ::sigaction(SIGPIPE, &dfl, nullptr);
        ::execve(argv[0], argv, envp);
        err = errno;
        ssize_t ignored = ::write(report[1], &err, sizeof(err));
        (void)ignored;
        ::_exit(127);
      } else {
        ::_exit(0);
      }
    }
    ssize_t ignored = ::write(report[1], &err, sizeof(err));
    (void)ignored;
    ::_exit(127);
  }

  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The pipe closes without data once the program is executing (close-on-exec); otherwise the
  // child or grandchild sends the errno of what failed.
  int err = 0;
  size_t got = 0;
  while (got < sizeof(err)) {
    const ssize_t n = ::read(report[0], reinterpret_cast<char*>(&err) + got, sizeof(err) - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(report[0]);
  if (got == sizeof(err)) return err != 0 ? err : EIO;
  if (got != 0) return EIO;
  return 0;
}

}  // namespace
}  // namespace oarepair::platform

UINT WINAPI WinExec(LPCSTR lpCmdLine, UINT uCmdShow) {
  namespace p = oarepair::platform;
  // Wine's programs take no show state from the loader; a started console tool such as
  // "RegSvr32 /s" opens no window of its own.
  (void)uCmdShow;

  std::vector<std::string> words = p::SplitCommandLine(lpCmdLine != nullptr ? lpCmdLine : "");
  if (words.empty()) return ERROR_FILE_NOT_FOUND;

  // Wine reads the registry files when its server starts: what we changed must be on disk
  // first. When that save fails the program is not started: Wine would work on a registry that
  // differs from ours.
  if (p::FlushRegistry() != ERROR_SUCCESS) return 0;

  const std::string loader = p::FindLoader();
  if (loader.empty()) return ERROR_FILE_NOT_FOUND;

  std::vector<std::string> args;
  args.push_back(loader);
  args.insert(args.end(), words.begin(), words.end());
  std::vector<std::string> env = p::ChildEnvironment(p::RegistryPrefix());
  std::vector<char*> argv = p::PointersOf(args);
  std::vector<char*> envp = p::PointersOf(env);

  const int err = p::StartDetached(argv.data(), envp.data());
  return err == 0 ? p::kStarted : p::WinExecResultOf(err);
}
