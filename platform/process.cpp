// WinExec on Linux: starts a Windows command line through Wine's loader in the prefix the
// registry uses, detached from us, after saving pending registry changes so Wine sees them.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry_control.h"
#include "platform/wine_loader.h"
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

// 64 or 32 for an ELF program, 0 for anything else (a script, a missing file).
int ElfBits(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  unsigned char ident[5] = {};
  const ssize_t got = ::read(fd, ident, sizeof(ident));
  ::close(fd);
  if (got != static_cast<ssize_t>(sizeof(ident)) || std::memcmp(ident, "\x7f" "ELF", 4) != 0)
    return 0;
  return ident[4] == 2 ? 64 : ident[4] == 1 ? 32 : 0;
}

int BitsOf(RegistryView view) { return view == RegistryView::k64Bit ? 64 : 32; }
const char* LoaderName(RegistryView view) {
  return view == RegistryView::k64Bit ? "wine64" : "wine";
}

std::vector<std::string> PathFolders() {
  const char* path = std::getenv("PATH");
  const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::vector<std::string> folders;
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    folders.push_back(dir.empty() ? "." : dir);
    start = end + 1;
  }
  return folders;
}

// A program named by WINE or WINELOADER: a path, or a name looked up on PATH.
std::string ResolveNamed(const std::string& name) {
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
  for (const auto& dir : PathFolders()) {
    const std::string candidate = dir + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return std::string();
}

// How a program is started from here: standard streams on /dev/null, and the signal state a
// fresh process has (nothing blocked, and SIGPIPE, which callers often ignore, at its default).
// posix_spawn starts it without copying our page tables and reports a failed exec itself.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  int err = 0;

  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    err = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0);
    if (err == 0) err = ::posix_spawn_file_actions_adddup2(&actions, 0, 1);
    if (err == 0) err = ::posix_spawn_file_actions_adddup2(&actions, 0, 2);
    if (err == 0) err = ::posix_spawnattr_setsigmask(&attributes, &none);
    if (err == 0) err = ::posix_spawnattr_setsigdefault(&attributes, &pipe);
    if (err == 0)
      err = ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnSetup() {
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  int Spawn(pid_t* child, char* const argv[], char* const envp[]) const {
    return err != 0 ? err : ::posix_spawn(child, argv[0], &actions, &attributes, argv, envp);
  }
};

}  // namespace

LoaderPlaces DefaultLoaderPlaces() {
  return {{"/usr/lib/wine"}, {"/opt/wine-stable/bin", "/opt/wine-devel/bin", "/opt/wine-staging/bin"}};
}

std::string FindWineLoader(RegistryView view, const LoaderPlaces& places, std::string* looked) {
  const int bits = BitsOf(view);
  const std::string wanted = LoaderName(view);
  const char* variable = "WINE";
  const char* named = std::getenv(variable);
  if (named == nullptr || *named == '\0') {
    variable = "WINELOADER";
    named = std::getenv(variable);
  }
  if (named != nullptr && *named != '\0') {
    const std::string loader = ResolveNamed(named);
    if (loader.empty()) {
      *looked = std::string(variable) + "=" + named + " (no such program)";
      return std::string();
    }
    // An ELF program tells its bitness; a script is taken by its name.
    const size_t slash = loader.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : loader.substr(0, slash);
    const std::string base = slash == std::string::npos ? loader : loader.substr(slash + 1);
    const int elfBits = ElfBits(loader);
    const bool named64 = base.size() >= 2 && base.compare(base.size() - 2, 2, "64") == 0;
    const int loaderBits = elfBits != 0 ? elfBits : named64 ? 64 : 32;
    if (loaderBits == bits) return loader;
    // Beside a real loader stands a real loader; a script is trusted only beside a script.
    const std::string beside = folder + "/" + wanted;
    const int besideBits = ElfBits(beside);
    const bool fits = elfBits != 0 ? besideBits == bits : (besideBits == 0 || besideBits == bits);
    if (IsExecutableFile(beside) && fits) return beside;
    *looked = beside + ", beside " + variable + "=" + loader;
    return std::string();
  }
  std::vector<std::string> folders = places.beforePath;
  for (auto& dir : PathFolders()) folders.push_back(std::move(dir));
  folders.insert(folders.end(), places.afterPath.begin(), places.afterPath.end());
  std::string tried;
  for (const auto& dir : folders) {
    const std::string candidate = dir + "/" + wanted;
    if (IsExecutableFile(candidate) && ElfBits(candidate) == bits) return candidate;
    if (!tried.empty()) tried += ", ";
    tried += candidate;
  }
  *looked = tried;
  return std::string();
}

int CheckLoaderRuns(const std::string& loader) {
  if (!IsExecutableFile(loader)) return ENOENT;
  if (ElfBits(loader) == 0) return 0;  // a script: whatever it starts, it is not run to find out
  char* const argv[] = {const_cast<char*>(loader.c_str()), const_cast<char*>("--version"),
                        nullptr};
  pid_t child = -1;
  const int err = SpawnSetup().Spawn(&child, argv, environ);
  if (err != 0) return err;
  // Waited for at most ten seconds: a descriptor for the child wakes us as it ends (a loader
  // answers in a few milliseconds); where the kernel has none, we look every 10 ms.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  int status = 0;
  int failed = 0;
  for (int waited = 0;; waited += 10) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) {
      failed = errno;
      break;
    }
    if (waited >= 10000) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      failed = ETIMEDOUT;
      break;
    }
    pollfd ready{pidfd, POLLIN, 0};
    if (pidfd < 0 || ::poll(&ready, 1, 10) < 0) ::usleep(10000);
  }
  if (pidfd >= 0) ::close(pidfd);
  if (failed != 0) return failed;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : EIO;
}

namespace {

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

// What the go-between child of StartDetached is given, and what it reports.
struct GoBetweenWork {
  char* const* argv;
  char* const* envp;
  const SpawnSetup* setup;
  int err;
};

// The go-between: a session of its own, then the program as its child. It runs in our memory
// while we wait (as vfork's child does), so it only writes `err` and ends.
int GoBetween(void* arg) {
  auto* work = static_cast<GoBetweenWork*>(arg);
  pid_t program = -1;
  work->err = ::setsid() < 0 ? errno : work->setup->Spawn(&program, work->argv, work->envp);
  return 0;
}

// Starts `argv` with `envp` in a new session as the grandchild of a short-lived child that we
// reap at once, so nothing is left for us to wait for. The child shares our memory until it
// ends, so none of our page tables are copied for it, which costs milliseconds where a
// page-table change is dear. Returns 0 when the program was executed, else the errno of the
// failure.
int StartDetached(char* const argv[], char* const envp[]) {
  const SpawnSetup setup;
  if (setup.err != 0) return setup.err;
  GoBetweenWork work{argv, envp, &setup, 0};
  std::vector<char> stack(size_t{64} << 10);
  // No signal handler may run on the go-between, which shares our memory.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t child =
      ::clone(GoBetween, stack.data() + stack.size(), CLONE_VM | CLONE_VFORK | SIGCHLD, &work);
  const int err = child < 0 ? errno : 0;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (child < 0) return err;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return work.err;
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
  // first, and a file we refused must not reach Wine, which would load it its own way and
  // write back what it misread.
  if (p::PrepareRegistryForWine() != ERROR_SUCCESS) {
    std::fprintf(stderr,
                 "oarepair: not starting \"%s\": the registry could not be read or saved\n",
                 lpCmdLine);
    return 0;
  }

  // The loader of the caller's bitness, so that the program started sees the same view.
  std::string looked;
  const std::string loader =
      p::FindWineLoader(p::CurrentRegistryView(), p::DefaultLoaderPlaces(), &looked);
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
