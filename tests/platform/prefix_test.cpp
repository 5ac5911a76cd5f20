// The Wine prefix: its default path, wineserver detection in both server-folder layouts (with
// locks held by other processes, and once against a real wineserver), the owner check, and the
// lock that serialises our processes.
#include "platform/prefix.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fault_file_system.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scratch_folder.h"

namespace oarepair::platform {
namespace {

using test_support::EnvGuard;
using test_support::Exists;
using test_support::FaultFileSystem;
using test_support::FsOp;
using test_support::ListFolder;
using test_support::ReadFile;
using test_support::ScratchFolder;
using test_support::WriteFile;

// "server-<dev>-<ino>" for a prefix, worked out here from stat as Wine's server names it.
std::string ServerName(const std::string& prefix) {
  struct stat st {};
  std::error_code err;
  const std::string real = std::filesystem::canonical(prefix, err).string();
  if (err || ::stat(real.c_str(), &st) != 0) return std::string();
  char text[64];
  std::snprintf(text, sizeof text, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  return text;
}

// Makes a folder with Wine's mode (0700); reports whether this call created it.
bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0; }

// Another process holding the wineserver's lock: an fcntl write lock on byte 0 of `lockPath`.
class LockHolder {
 public:
  explicit LockHolder(const std::string& lockPath) {
    int ready[2];
    int release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = 0;
      lock.l_len = 1;
      char ok = (fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0) ? 'y' : 'n';
      if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
      char ignored;
      while (::read(release[0], &ignored, 1) < 0 && errno == EINTR) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    m_release = release[1];
    char ok = 'n';
    while (::read(ready[0], &ok, 1) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
    m_locked = ok == 'y';
  }
  ~LockHolder() { Stop(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  bool Locked() const { return m_locked; }
  pid_t Pid() const { return m_pid; }
  void Stop() {
    if (m_release >= 0) ::close(m_release);
    m_release = -1;
    if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

 private:
  pid_t m_pid = -1;
  int m_release = -1;
  bool m_locked = false;
};

struct Detection {
  int err = -1;
  bool running = false;
  pid_t pid = -1;
  std::string lockPath;
};

Detection Detect(const std::string& prefix, FileSystem& fs = PosixFileSystem()) {
  Detection d;
  d.err = DetectWineserver(fs, prefix, &d.running, &d.pid, &d.lockPath);
  return d;
}

// ---------------------------------------------------------------------------------------------
std::string ChosenPrefix(std::string* problem = nullptr) {
  std::string prefix;
  const std::string why = DefaultPrefix(&prefix);
  if (problem != nullptr) *problem = why;
  return prefix;
}

TEST(DefaultPrefixTest, WinePrefixWinsOverHome) {
  EnvGuard env;
  env.Set("WINEPREFIX", "/somewhere/prefix");
  env.Set("HOME", "/home/someone");
  std::string problem = "unset";
  EXPECT_EQ("/somewhere/prefix", ChosenPrefix(&problem));
  EXPECT_EQ("", problem);
}

TEST(DefaultPrefixTest, MissingWinePrefixMeansHomeDotWine) {
  EnvGuard env;
  env.Set("HOME", "/home/someone/");
  env.Unset("WINEPREFIX");
  std::string problem = "unset";
  EXPECT_EQ("/home/someone/.wine", ChosenPrefix(&problem));
  EXPECT_EQ("", problem);
}

TEST(DefaultPrefixTest, TrailingSlashesAreDroppedAsWineDropsThem) {
  EnvGuard env;
  env.Set("WINEPREFIX", "/somewhere/prefix///");
  std::string problem = "unset";
  EXPECT_EQ("/somewhere/prefix", ChosenPrefix(&problem));
  EXPECT_EQ("", problem);
  env.Set("WINEPREFIX", "//");
  EXPECT_EQ("/", ChosenPrefix(&problem));
  EXPECT_EQ("", problem);
}

// Wine 8 refuses an empty WINEPREFIX ("invalid directory  in WINEPREFIX: not an absolute path")
// rather than falling back to ~/.wine, and so does a relative one.
TEST(DefaultPrefixTest, EmptyOrRelativeWinePrefixIsRefused) {
  EnvGuard env;
  env.Set("HOME", "/home/someone");
  for (const char* value : {"", "relE", "./p", "~/.wine"}) {
    env.Set("WINEPREFIX", value);
    std::string problem;
    ChosenPrefix(&problem);
    EXPECT_NE(std::string::npos, problem.find("is not an absolute path")) << value << ": " << problem;
    EXPECT_NE(std::string::npos, problem.find(std::string("'") + value + "'")) << problem;
    EXPECT_EQ(std::string::npos, problem.find('\n')) << "one line";
  }
}

TEST(DefaultPrefixTest, EmptyOrRelativeHomeIsRefused) {
  EnvGuard env;
  env.Unset("WINEPREFIX");
  for (const char* value : {"", "relhome"}) {
    env.Set("HOME", value);
    std::string problem;
    ChosenPrefix(&problem);
    EXPECT_NE(std::string::npos, problem.find("not an absolute path")) << value << ": " << problem;
  }
}

TEST(DefaultPrefixTest, WithoutHomeThePasswordDatabaseNamesTheHome) {
  struct passwd* entry = ::getpwuid(::getuid());
  if (!entry || !entry->pw_dir) GTEST_SKIP() << "no password entry for this user";
  const std::string expected = std::string(entry->pw_dir) + "/.wine";
  EnvGuard env;
  env.Unset("WINEPREFIX");
  env.Unset("HOME");
  EXPECT_EQ(expected, ChosenPrefix());
}

TEST(PrefixPathProblemTest, OnlyAbsolutePathsPass) {
  EXPECT_EQ("", PrefixPathProblem("/a/b"));
  EXPECT_NE("", PrefixPathProblem(""));
  EXPECT_NE("", PrefixPathProblem("a/b"));
}

TEST(MissingPrefixProblemTest, WineCreatesAPrefixOnlyInAnExistingFolderOfOurs) {
  ScratchFolder dir;
  ASSERT_TRUE(dir.Valid());
  FileSystem& fs = PosixFileSystem();
  EXPECT_EQ("", MissingPrefixProblem(fs, dir / "p"));
  EXPECT_EQ("", MissingPrefixProblem(fs, dir / "p//"));
  const std::string noParent = MissingPrefixProblem(fs, dir / "nope/p");
  EXPECT_NE(std::string::npos, noParent.find("does not exist")) << noParent;
  EXPECT_NE(std::string::npos, noParent.find(dir / "nope")) << noParent;
  ASSERT_TRUE(WriteFile(dir / "file", "x"));
  EXPECT_NE("", MissingPrefixProblem(fs, dir / "file/p"));
  EXPECT_EQ("", MissingPrefixProblem(fs, "/p")) << "a prefix right under / has no folder to check";
  if (::getuid() == 0) {
    // Root owns everything it makes; a folder given to another user stands in for one of theirs.
    ASSERT_EQ(0, ::mkdir((dir / "theirs").c_str(), 0777));
    ASSERT_EQ(0, ::chown((dir / "theirs").c_str(), 12345, 12345));
    const std::string theirs = MissingPrefixProblem(fs, dir / "theirs/p");
    EXPECT_NE(std::string::npos, theirs.find("another user")) << theirs;
  }
}

// ---------------------------------------------------------------------------------------------
class DetectWineserverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_prefix.Valid());
    m_serverName = ServerName(m_prefix.Path());
    ASSERT_FALSE(m_serverName.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    for (const std::string& folder : m_remove) std::filesystem::remove_all(folder, ignored);
    for (const std::string& folder : m_rmdirIfEmpty) ::rmdir(folder.c_str());
  }

  // The upstream folder /tmp/.wine-<uid>/server-<dev>-<ino> for the scratch prefix.
  std::string MakeUpstreamServerFolder() {
    const std::string base = "/tmp/.wine-" + std::to_string(::getuid());
    if (MakeFolder(base)) m_rmdirIfEmpty.push_back(base);
    const std::string folder = base + "/" + m_serverName;
    MakeFolder(folder);
    m_remove.insert(m_remove.begin(), folder);
    return folder;
  }

  // A Debian pointer: a fresh /tmp/wine-XXXXXX whose name goes into $WINEPREFIX/wineserver.
  std::string MakePointer(const std::string& suffix = std::string()) {
    char pattern[] = "/tmp/wine-XXXXXX";
    if (!::mkdtemp(pattern)) return std::string();
    m_remove.push_back(pattern);
    const std::string name = std::filesystem::path(pattern).filename().string();
    WriteFile(m_prefix / "wineserver", name + suffix);
    ::chmod((m_prefix / "wineserver").c_str(), 0400);
    return name;
  }

  ScratchFolder m_prefix;
  std::string m_serverName;
  std::vector<std::string> m_remove;
  std::vector<std::string> m_rmdirIfEmpty;
};

TEST_F(DetectWineserverTest, UpstreamLayoutHeldLockIsARunningServer) {
  const std::string folder = MakeUpstreamServerFolder();
  LockHolder holder(folder + "/lock");
  ASSERT_TRUE(holder.Locked());

  Detection d = Detect(m_prefix.Path());
  EXPECT_EQ(0, d.err);
  EXPECT_TRUE(d.running);
  EXPECT_EQ(holder.Pid(), d.pid);
  EXPECT_EQ(folder + "/lock", d.lockPath);

  holder.Stop();
  d = Detect(m_prefix.Path());
  EXPECT_EQ(0, d.err);
  EXPECT_FALSE(d.running) << "a lock file left behind by a server that exited means nothing";
  EXPECT_EQ(0, d.pid);
  EXPECT_EQ("", d.lockPath);
  EXPECT_TRUE(Exists(folder + "/lock"));
}

TEST_F(DetectWineserverTest, PrefixReachedThroughASymlinkIsNamedAfterTheRealFolder) {
  const std::string folder = MakeUpstreamServerFolder();
  LockHolder holder(folder + "/lock");
  ASSERT_TRUE(holder.Locked());
  ScratchFolder links;
  ASSERT_TRUE(links.Valid());
  const std::string link = links / "prefix-link";
  ASSERT_EQ(0, ::symlink(m_prefix.Path().c_str(), link.c_str()));
  Detection d = Detect(link);
  EXPECT_EQ(0, d.err);
  EXPECT_TRUE(d.running);
  EXPECT_EQ(holder.Pid(), d.pid);
}

TEST_F(DetectWineserverTest, DebianLayoutUnderTmpdir) {
  ScratchFolder tmpdir;
  ASSERT_TRUE(tmpdir.Valid());
  EnvGuard env;
  env.Set("TMPDIR", tmpdir.Path());
  const std::string name = MakePointer();
  ASSERT_FALSE(name.empty());
  const std::string folder = tmpdir / name;
  ASSERT_TRUE(MakeFolder(folder));
  ASSERT_TRUE(MakeFolder(folder + "/" + m_serverName));
  LockHolder holder(folder + "/" + m_serverName + "/lock");
  ASSERT_TRUE(holder.Locked());

  Detection d = Detect(m_prefix.Path());
  EXPECT_EQ(0, d.err);
  EXPECT_TRUE(d.running);
  EXPECT_EQ(holder.Pid(), d.pid);
  EXPECT_EQ(folder + "/" + m_serverName + "/lock", d.lockPath);

  holder.Stop();
  d = Detect(m_prefix.Path());
  EXPECT_EQ(0, d.err);
  EXPECT_FALSE(d.running);
}

TEST_F(DetectWineserverTest, DebianLayoutUnderTmpEvenWhenTmpdirIsSet) {
  // The pointer was made without TMPDIR; a later run with TMPDIR must still find the server.
  ScratchFolder tmpdir;
  ASSERT_TRUE(tmpdir.Valid());
  EnvGuard env;
  env.Set("TMPDIR", tmpdir.Path());
  const std::string name = MakePointer();
  ASSERT_FALSE(name.empty());
  const std::string folder = "/tmp/" + name + "/" + m_serverName;
  ASSERT_TRUE(MakeFolder(folder));
  LockHolder holder(folder + "/lock");
  ASSERT_TRUE(holder.Locked());

  Detection d = Detect(m_prefix.Path());
  EXPECT_EQ(0, d.err);
  EXPECT_TRUE(d.running);
  EXPECT_EQ(holder.Pid(), d.pid);
  EXPECT_EQ(folder + "/lock", d.lockPath);

  env.Unset("TMPDIR");
  d = Detect(m_prefix.Path());
  EXPECT_TRUE(d.running);
  EXPECT_EQ(holder.Pid(), d.pid);
}

TEST_F(DetectWineserverTest, PointerWithATrailingNewlineIsAccepted) {
  EnvGuard env;
  env.Unset("TMPDIR");
  const std::string name = MakePointer("\n");
  ASSERT_FALSE(name.empty());
  const std::string folder = "/tmp/" + name + "/" + m_serverName;
  ASSERT_TRUE(MakeFolder(folder));
  LockHolder holder(folder + "/lock");
  ASSERT_TRUE(holder.Locked());
  Detection d = Detect(m_prefix.Path());
  EXPECT_EQ(0, d.err);
  EXPECT_TRUE(d.running);
}

TEST_F(DetectWineserverTest, UpstreamFolderIsCheckedEvenWithAPointer) {
  // A Wine built from upstream sources ignores the pointer that a packaged Wine left behind.
  ASSERT_FALSE(MakePointer().empty());
  const std::string folder = MakeUpstreamServerFolder();
  LockHolder holder(folder + "/lock");
  ASSERT_TRUE(holder.Locked());
  Detection d = Detect(m_prefix.Path());
  EXPECT_EQ(0, d.err);
  EXPECT_TRUE(d.running);
  EXPECT_EQ(folder + "/lock", d.lockPath);
}

TEST_F(DetectWineserverTest, PointerThatLeavesItsFolderIsIgnored) {
  WriteFile(m_prefix / "wineserver", "../" + std::string("etc"));
  FaultFileSystem fs;
  fs.SetRecording(true);
  Detection d = Detect(m_prefix.Path(), fs);
  EXPECT_EQ(0, d.err);
  EXPECT_FALSE(d.running);
  for (const auto& call : fs.Calls()) {
    EXPECT_EQ(std::string::npos, call.path.find("/../")) << test_support::DescribeCall(call);
  }
}

TEST_F(DetectWineserverTest, MissingFoldersMeanNoServerAndNothingIsCreated) {
  EnvGuard env;
  env.Unset("TMPDIR");
  const std::string name = MakePointer();
  ASSERT_FALSE(name.empty());
  const auto prefixBefore = ListFolder(m_prefix.Path());
  Detection d = Detect(m_prefix.Path());
  EXPECT_EQ(0, d.err);
  EXPECT_FALSE(d.running);
  EXPECT_EQ(prefixBefore, ListFolder(m_prefix.Path()));
  EXPECT_TRUE(ListFolder("/tmp/" + name).empty()) << "no server folder may be created";
  EXPECT_FALSE(Exists("/tmp/.wine-" + std::to_string(::getuid()) + "/" + m_serverName));
}

TEST_F(DetectWineserverTest, UnlockedLockFileMeansNoServer) {
  const std::string folder = MakeUpstreamServerFolder();
  ASSERT_TRUE(WriteFile(folder + "/lock", ""));
  ASSERT_TRUE(WriteFile(folder + "/socket", ""));  // even a stale socket does not count
  Detection d = Detect(m_prefix.Path());
  EXPECT_EQ(0, d.err);
  EXPECT_FALSE(d.running);
}

TEST_F(DetectWineserverTest, OnlyOpensReadOnlyAndTestsTheLock) {
  const std::string folder = MakeUpstreamServerFolder();
  LockHolder holder(folder + "/lock");
  ASSERT_TRUE(holder.Locked());
  ASSERT_FALSE(MakePointer().empty());  // a pointer file to read as well
  FaultFileSystem fs;
  fs.SetRecording(true);
  Detection d = Detect(m_prefix.Path(), fs);
  EXPECT_TRUE(d.running);
  EXPECT_EQ(1u, fs.Count(FsOp::kTestPosixLock));
  EXPECT_EQ(0u, fs.Count(FsOp::kWrite));
  EXPECT_EQ(0u, fs.Count(FsOp::kFlock));
  EXPECT_EQ(0u, fs.Count(FsOp::kRename) + fs.Count(FsOp::kUnlink) + fs.Count(FsOp::kFChmod));
  uint64_t opened = 0;
  for (const auto& call : fs.Calls()) {
    if (call.op == FsOp::kOpen && call.result == 0) ++opened;
  }
  EXPECT_EQ(2u, opened) << "the pointer file and the lock file";
  EXPECT_EQ(opened, fs.Count(FsOp::kClose)) << "every descriptor is closed";
}

TEST_F(DetectWineserverTest, WithoutLocksTheSocketCountsAsTheLock) {
  const std::string folder = MakeUpstreamServerFolder();
  ASSERT_TRUE(WriteFile(folder + "/lock", ""));
  {
    FaultFileSystem fs;
    fs.FailNth(FsOp::kTestPosixLock, 1, ENOLCK);
    Detection d = Detect(m_prefix.Path(), fs);
    EXPECT_EQ(0, d.err);
    EXPECT_FALSE(d.running) << "no socket: no server";
    EXPECT_EQ(1u, fs.InjectedFaults());
  }
  ASSERT_TRUE(WriteFile(folder + "/socket", ""));
  FaultFileSystem fs;
  fs.FailNth(FsOp::kTestPosixLock, 1, ENOLCK);
  Detection d = Detect(m_prefix.Path(), fs);
  EXPECT_EQ(0, d.err);
  EXPECT_TRUE(d.running);
  EXPECT_EQ(0, d.pid) << "the pid is unknown without the lock";
  EXPECT_EQ(folder + "/lock", d.lockPath);
}

TEST_F(DetectWineserverTest, AFailureToTellIsAnErrorNotARunningOrStoppedServer) {
  const std::string folder = MakeUpstreamServerFolder();
  ASSERT_TRUE(WriteFile(folder + "/lock", ""));
  FaultFileSystem fs;
  fs.FailNth(FsOp::kTestPosixLock, 1, EIO);
  Detection d = Detect(m_prefix.Path(), fs);
  EXPECT_EQ(EIO, d.err);
  EXPECT_FALSE(d.running);
}

TEST_F(DetectWineserverTest, EveryFailingCallIsReported) {
  const std::string folder = MakeUpstreamServerFolder();
  ASSERT_FALSE(MakePointer().empty());
  ASSERT_TRUE(WriteFile(folder + "/lock", ""));
  FaultFileSystem clean;
  ASSERT_EQ(0, Detect(m_prefix.Path(), clean).err);
  const uint64_t total = clean.TotalCount();
  ASSERT_GE(total, 6u);
  for (uint64_t n = 1; n <= total; ++n) {
    FaultFileSystem fs;
    fs.FailNthAny(n, EACCES);
    Detection d = Detect(m_prefix.Path(), fs);
    SCOPED_TRACE("call #" + std::to_string(n));
    EXPECT_FALSE(d.running);
    // Only the closes of read-only descriptors may fail without consequence.
    if (fs.Count(FsOp::kClose) > 0 && fs.InjectedFaults() == 1 && d.err == 0) {
      continue;
    }
    EXPECT_EQ(EACCES, d.err);
  }
}

TEST_F(DetectWineserverTest, MissingPrefixIsAnError) {
  Detection d = Detect(m_prefix / "missing");
  EXPECT_EQ(ENOENT, d.err);
  EXPECT_FALSE(d.running);
}

// ---------------------------------------------------------------------------------------------
// Against the real thing: a wineserver started for a throwaway prefix is seen, and after
// `wineserver -k` it is not.
const char* WineserverBinary() {
  for (const char* path : {"/usr/bin/wineserver", "/usr/lib/wine/wineserver64"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return nullptr;
}

int RunWineserver(const char* binary, const std::string& prefix, const char* arg,
                  const std::string& tmpdir = std::string()) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!tmpdir.empty()) ::setenv("TMPDIR", tmpdir.c_str(), 1);
    ::setenv("WINEPREFIX", prefix.c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    ::execl(binary, binary, arg, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

TEST(RealWineserverTest, StartedServerIsDetectedAndStoppedOneIsNot) {
  const char* binary = WineserverBinary();
  if (!binary) GTEST_SKIP() << "Wine is not installed";
  ScratchFolder prefix;
  ASSERT_TRUE(prefix.Valid());

  struct StopAndClean {
    const char* binary;
    std::string prefix;
    std::vector<std::string> serverFolders;
    ~StopAndClean() {
      RunWineserver(binary, prefix, "-k");
      std::error_code ignored;
      for (const std::string& folder : serverFolders) std::filesystem::remove_all(folder, ignored);
    }
  } guard{binary, prefix.Path(), {}};

  ASSERT_EQ(0, RunWineserver(binary, prefix.Path(), "-p"));
  Detection d;
  const bool seen = WaitFor(
      [&] {
        d = Detect(prefix.Path());
        return d.err != 0 || d.running;
      },
      std::chrono::seconds(10));
  // Remember the server folder for the cleanup, whichever layout this Wine uses.
  const std::string pointer = ReadFile(prefix / "wineserver");
  if (!pointer.empty()) {
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir && *tmpdir) guard.serverFolders.push_back(std::string(tmpdir) + "/" + pointer);
    guard.serverFolders.push_back("/tmp/" + pointer);
  }
  ASSERT_TRUE(seen) << "no wineserver seen within 10 s";
  ASSERT_EQ(0, d.err);
  EXPECT_GT(d.pid, 0);
  EXPECT_EQ(0, ::kill(d.pid, 0)) << "the lock holder is a live process";
  const std::string comm = ReadFile("/proc/" + std::to_string(d.pid) + "/comm");
  EXPECT_EQ(0u, comm.rfind("wineserver", 0)) << "holder is " << comm;
  EXPECT_NE(std::string::npos, d.lockPath.find("/" + ServerName(prefix.Path()) + "/lock"));
  if (!pointer.empty()) {
    EXPECT_NE(std::string::npos, d.lockPath.find("/" + pointer + "/"));
  }

  ASSERT_EQ(0, RunWineserver(binary, prefix.Path(), "-k"));
  const bool stopped = WaitFor(
      [&] {
        d = Detect(prefix.Path());
        return d.err != 0 || !d.running;
      },
      std::chrono::seconds(10));
  EXPECT_TRUE(stopped) << "the server still held its lock 10 s after -k";
  EXPECT_EQ(0, d.err);
  EXPECT_FALSE(d.running);
}

// Debian's wineserver puts its folder under the TMPDIR it was started with; a run of ours with
// another TMPDIR (or none) must see it all the same.
TEST(RealWineserverTest, ServerStartedWithAnotherTmpdirIsDetected) {
  const char* binary = WineserverBinary();
  if (!binary) GTEST_SKIP() << "Wine is not installed";
  ScratchFolder dir;
  ASSERT_TRUE(dir.Valid());
  const std::string prefix = dir / "prefix";
  const std::string otherTmp = dir / "other-tmp";
  ASSERT_EQ(0, ::mkdir(prefix.c_str(), 0755));
  ASSERT_EQ(0, ::mkdir(otherTmp.c_str(), 0700));

  struct Stop {
    const char* binary;
    std::string prefix;
    std::string tmpdir;
    ~Stop() {
      RunWineserver(binary, prefix, "-k", tmpdir);
      RunWineserver(binary, prefix, "-w", tmpdir);
    }
  } stop{binary, prefix, otherTmp};

  ASSERT_EQ(0, RunWineserver(binary, prefix, "-p", otherTmp));
  EnvGuard env;
  env.Unset("TMPDIR");
  Detection d;
  const bool seen = WaitFor(
      [&] {
        d = Detect(prefix);
        return d.err != 0 || d.running;
      },
      std::chrono::seconds(10));
  ASSERT_TRUE(seen) << "a wineserver started with TMPDIR=" << otherTmp << " was not seen";
  ASSERT_EQ(0, d.err);
  const std::string comm = ReadFile("/proc/" + std::to_string(d.pid) + "/comm");
  EXPECT_EQ(0u, comm.rfind("wineserver", 0)) << "holder is " << comm;
  EXPECT_EQ(0u, d.lockPath.rfind(otherTmp + "/", 0)) << d.lockPath;
  EXPECT_NE(std::string::npos, d.lockPath.find("/" + ServerName(prefix) + "/lock")) << d.lockPath;
  // And with yet another TMPDIR of our own.
  env.Set("TMPDIR", dir.Path());
  d = Detect(prefix);
  EXPECT_EQ(0, d.err);
  EXPECT_TRUE(d.running);

  ASSERT_EQ(0, RunWineserver(binary, prefix, "-k", otherTmp));
  const bool stopped = WaitFor(
      [&] {
        d = Detect(prefix);
        return d.err != 0 || !d.running;
      },
      std::chrono::seconds(10));
  EXPECT_TRUE(stopped) << "the server still held its lock 10 s after -k";
  EXPECT_EQ(0, d.err);
}

// ---------------------------------------------------------------------------------------------
TEST(CheckPrefixOwnerTest, OwnFolderPassesOthersFail) {
  ScratchFolder dir;
  ASSERT_TRUE(dir.Valid());
  EXPECT_EQ(0, CheckPrefixOwner(PosixFileSystem(), dir.Path()));
  EXPECT_EQ(ENOENT, CheckPrefixOwner(PosixFileSystem(), dir / "missing"));
  ASSERT_TRUE(WriteFile(dir / "file", "x"));
  EXPECT_EQ(ENOTDIR, CheckPrefixOwner(PosixFileSystem(), dir / "file"));

  const std::string foreign = dir / "foreign";
  ASSERT_EQ(0, ::mkdir(foreign.c_str(), 0755));
  if (::getuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  ASSERT_EQ(0, ::chown(foreign.c_str(), 65534, 65534));
  EXPECT_EQ(EACCES, CheckPrefixOwner(PosixFileSystem(), foreign));
  // A link to it counts as the folder it leads to, as Wine changes into the prefix.
  ASSERT_EQ(0, ::symlink(foreign.c_str(), (dir / "link").c_str()));
  EXPECT_EQ(EACCES, CheckPrefixOwner(PosixFileSystem(), dir / "link"));
}

// ---------------------------------------------------------------------------------------------
bool CanFlockNow(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

TEST(PrefixLockTest, HeldUntilReleasedAndCreatesNothing) {
  ScratchFolder prefix;
  ASSERT_TRUE(prefix.Valid());
  {
    PrefixLock lock;
    EXPECT_FALSE(lock.Held());
    ASSERT_EQ(0, lock.Acquire(PosixFileSystem(), prefix.Path()));
    EXPECT_TRUE(lock.Held());
    EXPECT_FALSE(CanFlockNow(prefix.Path()));
    EXPECT_EQ(EBUSY, lock.Acquire(PosixFileSystem(), prefix.Path()));
    EXPECT_TRUE(lock.Held());
    lock.Release();
    EXPECT_FALSE(lock.Held());
    EXPECT_TRUE(CanFlockNow(prefix.Path()));
    lock.Release();  // twice is harmless
    ASSERT_EQ(0, lock.Acquire(PosixFileSystem(), prefix.Path()));
  }
  EXPECT_TRUE(CanFlockNow(prefix.Path())) << "the destructor releases the lock";
  EXPECT_TRUE(ListFolder(prefix.Path()).empty());
}

TEST(PrefixLockTest, FailuresAreReportedAndLeaveNothingOpen) {
  ScratchFolder prefix;
  ASSERT_TRUE(prefix.Valid());
  PrefixLock lock;
  EXPECT_EQ(ENOENT, lock.Acquire(PosixFileSystem(), prefix / "missing"));
  ASSERT_TRUE(WriteFile(prefix / "file", ""));
  EXPECT_EQ(ENOTDIR, lock.Acquire(PosixFileSystem(), prefix / "file"));
  EXPECT_FALSE(lock.Held());

  FaultFileSystem fs;
  fs.FailNth(FsOp::kFlock, 1, ENOLCK);
  EXPECT_EQ(ENOLCK, lock.Acquire(fs, prefix.Path()));
  EXPECT_FALSE(lock.Held());
  EXPECT_EQ(1u, fs.Count(FsOp::kOpen));
  EXPECT_EQ(1u, fs.Count(FsOp::kClose)) << "the folder descriptor is closed again";
}

TEST(PrefixLockTest, SerialisesTwoProcesses) {
  ScratchFolder prefix;
  ASSERT_TRUE(prefix.Valid());
  // The other process starts before we take the lock: a child forked while we hold it would
  // share our locked descriptor, which two real processes never do.
  int go[2];
  int done[2];
  ASSERT_EQ(0, ::pipe(go));
  ASSERT_EQ(0, ::pipe(done));
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(go[1]);
    ::close(done[0]);
    char ignored;
    if (::read(go[0], &ignored, 1) != 1) ::_exit(3);
    PrefixLock theirs;
    char result = theirs.Acquire(PosixFileSystem(), prefix.Path()) == 0 ? 'y' : 'n';
    if (::write(done[1], &result, 1) != 1) ::_exit(2);
    ::_exit(0);
  }
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (::waitpid(pid, nullptr, WNOHANG) == 0) ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } reaper{child};
  ::close(go[0]);
  ::close(done[1]);

  PrefixLock lock;
  ASSERT_EQ(0, lock.Acquire(PosixFileSystem(), prefix.Path()));
  ASSERT_EQ(1, ::write(go[1], "g", 1));
  ::close(go[1]);
  struct pollfd wait {};
  wait.fd = done[0];
  wait.events = POLLIN;
  EXPECT_EQ(0, ::poll(&wait, 1, 400)) << "the second process got the lock while we held it";

  lock.Release();
  ASSERT_EQ(1, ::poll(&wait, 1, 10000)) << "the second process never got the lock";
  char result = 'n';
  EXPECT_EQ(1, ::read(done[0], &result, 1));
  EXPECT_EQ('y', result);
  ::close(done[0]);
}

}  // namespace
}  // namespace oarepair::platform
