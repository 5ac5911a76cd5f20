// Concurrency: a wineserver that serves the prefix owns its files, so nothing is written while
// one runs (both server-folder layouts, real and simulated); a server that starts while we edit
// makes the save refuse, checked again just before the rename, and neither side loses its change,
// as does any other program that writes the file meanwhile; our own processes on one prefix take
// turns and every change survives.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "platform/registry_control.h"
#include "platform/win32.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/scratch_key.h"
#include "tests/support/scoped_env.h"

namespace oarepair::reliability {
namespace {

using oarepair::test_support::ScopedEnv;

namespace p = oarepair::platform;
using test_support::ReadFile;

std::string Hex(unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%llx", value);
  return text;
}

// "server-<dev>-<ino>" of the prefix folder, as wineserver names its folder.
std::string ServerName(const std::string& prefix) {
  struct stat st {};
  if (::stat(prefix.c_str(), &st) != 0) return std::string();
  return "server-" + Hex(static_cast<unsigned long long>(st.st_dev)) + "-" +
         Hex(static_cast<unsigned long long>(st.st_ino));
}

// A process that holds the write lock on byte 0 of a server folder's "lock" file, as a running
// wineserver does. The folders are made with Wine's modes when missing and removed afterwards.
class FakeServer {
 public:
  FakeServer() = default;
  ~FakeServer() { Stop(); }
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // `base` is the folder that holds server folders (/tmp/.wine-<uid>, or $TMPDIR/wine-XXXXXX).
  bool Start(const std::string& base, const std::string& serverName) {
    m_createdBase = ::mkdir(base.c_str(), 0700) == 0;
    m_base = base;
    m_folder = base + "/" + serverName;
    if (::mkdir(m_folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    int ready[2];
    if (::pipe(ready) != 0) return false;
    const std::string lockPath = m_folder + "/lock";
    m_pid = ::fork();
    if (m_pid == 0) {
      ::close(ready[0]);
      const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = 0;
      lock.l_len = 1;
      const char status = fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
      if (::write(ready[1], &status, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char status = 'n';
    const bool told = m_pid > 0 && ::read(ready[0], &status, 1) == 1;
    ::close(ready[0]);
    return told && status == 'y';
  }

  void Stop() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      m_pid = -1;
    }
    if (!m_folder.empty()) {
      ::unlink((m_folder + "/lock").c_str());
      ::rmdir(m_folder.c_str());
      if (m_createdBase) ::rmdir(m_base.c_str());
      m_folder.clear();
    }
  }

  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  std::string m_base;
  std::string m_folder;
  bool m_createdBase = false;
};

std::string UpstreamBase() { return "/tmp/.wine-" + std::to_string(::getuid()); }

class ConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.Valid());
    m_prefix = m_dir.Path();
    m_old = MachineHiveText(40);
    ASSERT_TRUE(WritePrefixFiles(m_prefix, m_old));
    p::UseMemoryRegistry();
  }
  void TearDown() override {
    p::SetFileSystem(nullptr);
    p::UseMemoryRegistry();
  }

  ino_t Inode() const {
    struct stat st {};
    ::stat((m_prefix + "/system.reg").c_str(), &st);
    return st.st_ino;
  }

  // Our calls while a server owns the prefix: refused with ERROR_SHARING_VIOLATION, nothing
  // written. Returns the number of calls refused.
  uint64_t ExpectRefusedAndUntouched() {
    const ino_t inode = Inode();
    p::UsePrefixRegistry(m_prefix);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SHARING_VIOLATION,
              RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &key));
    EXPECT_EQ(ERROR_SHARING_VIOLATION,
              RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\WhileServerRuns", &key));
    EXPECT_EQ(ERROR_SHARING_VIOLATION, RegDeleteKeyA(HKEY_CLASSES_ROOT, kDispatchClassPath));
    EXPECT_EQ(ERROR_SUCCESS, p::FlushRegistry());  // nothing was loaded, nothing to save
    p::UseMemoryRegistry();
    EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_old);
    EXPECT_EQ(inode, Inode());
    EXPECT_EQ(std::vector<std::string>{},
              StrayNames(m_prefix, {"system.reg", "user.reg", "wineserver"}));
    return 3;
  }

  FastScratchFolder m_dir;
  std::string m_prefix;
  std::string m_old;
};

TEST_F(ConcurrencyTest, UpstreamLayoutServerIsDetectedAndNothingWritten) {
  FakeServer server;
  ASSERT_TRUE(server.Start(UpstreamBase(), ServerName(m_prefix)));
  AddFigure("concurrency: calls refused while a wineserver ran", ExpectRefusedAndUntouched());
  server.Stop();
  // Once it is gone the prefix is ours again.
  p::UsePrefixRegistry(m_prefix);
  EXPECT_EQ(ERROR_SUCCESS, OpenResult(HKEY_CLASSES_ROOT, "CLSID"));
}

TEST_F(ConcurrencyTest, DebianLayoutServerUnderTmpdirIsDetectedAndNothingWritten) {
  FastScratchFolder tmpdir;
  ASSERT_TRUE(tmpdir.Valid());
  const std::string name = "wine-RelTst";
  ASSERT_TRUE(test_support::WriteFile(m_prefix + "/wineserver", name));
  ::chmod((m_prefix + "/wineserver").c_str(), 0400);
  ScopedEnv env("TMPDIR", tmpdir.Path());
  FakeServer server;
  ASSERT_TRUE(server.Start(tmpdir / name, ServerName(m_prefix)));
  AddFigure("concurrency: calls refused while a wineserver ran", ExpectRefusedAndUntouched());
}

TEST_F(ConcurrencyTest, RealWineserverIsDetectedAndNothingWritten) {
  std::string why;
  if (!WineAvailable(&why)) GTEST_SKIP() << "Wine is not usable: " << why;
  ASSERT_TRUE(StartPersistentWineserver(m_prefix)) << "wineserver -p did not start";
  struct Stop {
    std::string prefix;
    ~Stop() { KillWineserver(prefix); }
  } stop{m_prefix};
  AddFigure("concurrency: calls refused while a wineserver ran", ExpectRefusedAndUntouched());

#ifdef OAREPAIR_HAVE_APP
  // The program says so and exits 1; its one line on stderr names the prefix and the way out.
  std::string output;
  const int status =
      RunProgram({OAREPAIR_PROGRAM}, {"WINEPREFIX=" + m_prefix, "WINE=/bin/true"}, &output, 60);
  EXPECT_EQ(1, status) << output;
  EXPECT_NE(std::string::npos, output.find(m_prefix)) << output;
  EXPECT_NE(std::string::npos, output.find("wineserver -k")) << output;
  EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_old);
#endif

  KillWineserver(m_prefix);
  p::UsePrefixRegistry(m_prefix);
  EXPECT_EQ(ERROR_SUCCESS, OpenResult(HKEY_CLASSES_ROOT, "CLSID"));
}

// A server that appears after our session loaded the file: the save is refused and reported, the
// file stays as it was, and our change is not silently dropped into a later save.
TEST_F(ConcurrencyTest, ServerStartedBetweenLoadAndSaveMakesSaveRefuse) {
  p::UsePrefixRegistry(m_prefix);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\OurChange", &key));
  FakeServer server;
  ASSERT_TRUE(server.Start(UpstreamBase(), ServerName(m_prefix)));

  EXPECT_EQ(ERROR_SHARING_VIOLATION, p::FlushRegistry());
  EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_old);
  EXPECT_EQ(std::vector<std::string>{}, StrayNames(m_prefix, {"system.reg", "user.reg"}));
  HKEY child = nullptr;
  EXPECT_NE(ERROR_SUCCESS, RegCreateKeyA(key, "More", &child));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_old);
  server.Stop();

  // The next session reads the file again: the refused change is not there, and can be made.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenResult(HKEY_LOCAL_MACHINE, "Software\\OurChange"));
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\OurChange", &key));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  p::UseMemoryRegistry();
  p::UsePrefixRegistry(m_prefix);
  EXPECT_EQ(ERROR_SUCCESS, OpenResult(HKEY_LOCAL_MACHINE, "Software\\OurChange"));
  AddFigure("concurrency: saves refused because a wineserver started", 1);
}

// Starts a fake server the first time a regular file is synced: the temp file is complete, and
// only the check just before the rename can still see the server.
class StartServerAtFsync final : public test_support::ForwardingFileSystem {
 public:
  StartServerAtFsync(p::FileSystem& base, FakeServer& server, std::string serverBase,
                     std::string name)
      : ForwardingFileSystem(base),
        m_server(server),
        m_serverBase(std::move(serverBase)),
        m_name(std::move(name)) {}
  bool Started() const { return m_started; }

  int Fsync(int fd) override {
    struct stat st {};
    if (!m_started && m_base.FStat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      m_started = m_server.Start(m_serverBase, m_name);
    }
    return m_base.Fsync(fd);
  }

 private:
  FakeServer& m_server;
  std::string m_serverBase;
  std::string m_name;
  bool m_started = false;
};

TEST_F(ConcurrencyTest, ServerStartedDuringTheWriteIsSeenBeforeTheRename) {
  FakeServer server;
  StartServerAtFsync fs(p::PosixFileSystem(), server, UpstreamBase(), ServerName(m_prefix));
  p::UsePrefixRegistry(m_prefix);
  p::SetFileSystem(&fs);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\OurChange", &key));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, p::FlushRegistry());
  EXPECT_TRUE(fs.Started()) << "the save never synced its temp file";
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  p::SetFileSystem(nullptr);
  p::UseMemoryRegistry();
  EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_old);
  EXPECT_EQ(std::vector<std::string>{}, StrayNames(m_prefix, {"system.reg", "user.reg"}));
  AddFigure("concurrency: saves refused because a wineserver started", 1);
}

// Another program writes the file while our session holds a change (a wineserver that came and
// went between our checks, an editor): the save is refused rather than renamed over theirs,
// whether the file was replaced or rewritten in place, and the next session adds our change to
// theirs.
TEST_F(ConcurrencyTest, FileChangedByAnotherProgramDuringTheSessionIsNotOverwritten) {
  const std::string path = m_prefix + "/system.reg";
  const std::string theirs = MachineHiveText(40, {{"Software\\TheirChange", {}}});
  for (const bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "rewritten in place" : "replaced");
    ASSERT_TRUE(WritePrefixFiles(m_prefix, m_old));
    p::UsePrefixRegistry(m_prefix);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\OurChange", &key));
    if (inPlace) {
      ASSERT_TRUE(test_support::WriteFile(path, theirs));
    } else {
      ASSERT_TRUE(test_support::WriteFile(path + ".theirs", theirs));
      ASSERT_EQ(0, std::rename((path + ".theirs").c_str(), path.c_str()));
    }

    EXPECT_EQ(ERROR_SHARING_VIOLATION, p::FlushRegistry());
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_TRUE(ReadFile(path) == theirs);
    EXPECT_EQ(std::vector<std::string>{}, StrayNames(m_prefix, {"system.reg", "user.reg"}));

    p::UseMemoryRegistry();
    p::UsePrefixRegistry(m_prefix);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\OurChange", &key));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    p::UseMemoryRegistry();
    p::UsePrefixRegistry(m_prefix);
    EXPECT_EQ(ERROR_SUCCESS, OpenResult(HKEY_LOCAL_MACHINE, "Software\\OurChange"));
    EXPECT_EQ(ERROR_SUCCESS, OpenResult(HKEY_LOCAL_MACHINE, "Software\\TheirChange"));
    p::UseMemoryRegistry();
  }
  AddFigure("concurrency: saves refused because another program wrote the file", 2);
}

// The real thing: Wine changes the registry while our session holds a change. Our save is
// refused; Wine's change reaches the file when its server stops; our retry then adds ours, and
// Wine sees both.
TEST_F(ConcurrencyTest, RealWineserverStartedDuringEditKeepsBothChanges) {
  std::string why;
  if (!WineAvailable(&why)) GTEST_SKIP() << "Wine is not usable: " << why;
  const std::string prefix = m_dir / "wine";
  ASSERT_EQ(0, ::mkdir(prefix.c_str(), 0755));
  ASSERT_TRUE(MakeWinePrefix(prefix, &why)) << why;
  struct Stop {
    std::string prefix;
    ~Stop() { KillWineserver(prefix); }
  } stop{prefix};

  p::UsePrefixRegistry(prefix);
  HKEY ours = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\OarepairOurs", &ours));

  ASSERT_TRUE(StartPersistentWineserver(prefix));
  std::string output;
  ASSERT_EQ(0, RunWine(prefix, {"reg", "add", "HKLM\\Software\\OarepairTheirs", "/f"}, &output))
      << output;
  const std::string beforeOurSave = ReadFile(prefix + "/system.reg");
  EXPECT_EQ(ERROR_SHARING_VIOLATION, p::FlushRegistry());
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(ours));
  EXPECT_TRUE(ReadFile(prefix + "/system.reg") == beforeOurSave) << "we wrote under a running server";
  p::UseMemoryRegistry();

  KillWineserver(prefix);  // Wine saves its change as its server stops
  p::UsePrefixRegistry(prefix);
  EXPECT_EQ(ERROR_SUCCESS, OpenResult(HKEY_LOCAL_MACHINE, "Software\\OarepairTheirs"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenResult(HKEY_LOCAL_MACHINE, "Software\\OarepairOurs"));
  // Our retry, now that the prefix is ours.
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\OarepairOurs", &ours));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(ours));
  p::UseMemoryRegistry();

  const std::string theirs = "HKEY_LOCAL_MACHINE\\Software\\OarepairTheirs";
  const std::string oursKey = "HKEY_LOCAL_MACHINE\\Software\\OarepairOurs";
  // reg query lists a key's subkeys one full path a line (a key without values prints nothing
  // of its own, so the parent is listed).
  RunWine(prefix, {"reg", "query", "HKLM\\Software"}, &output);
  EXPECT_NE(std::string::npos, output.find("\r\n" + theirs + "\r\n")) << output;
  EXPECT_NE(std::string::npos, output.find("\r\n" + oursKey + "\r\n")) << output;
  AddFigure("concurrency: saves refused because a wineserver started", 1);
}

// Two of our processes on one prefix: the second waits for the first session to end, then
// reads the file the first one saved, so both changes survive.
TEST_F(ConcurrencyTest, TwoOfOurProcessesTakeTurnsAndBothChangesSurvive) {
  int toParent[2];
  int toFirst[2];
  ASSERT_EQ(0, ::pipe(toParent));
  ASSERT_EQ(0, ::pipe(toFirst));
  const std::string prefix = m_prefix;
  auto child = [&](const char* name, bool waitForGo) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    p::UsePrefixRegistry(prefix);
    HKEY key = nullptr;
    const LONG rc = RegCreateKeyA(HKEY_LOCAL_MACHINE, name, &key);
    const char said = rc == ERROR_SUCCESS ? name[std::string(name).size() - 1] : 'x';
    if (::write(toParent[1], &said, 1) != 1) ::_exit(2);
    if (waitForGo) {
      char go = 0;
      if (::read(toFirst[0], &go, 1) != 1) ::_exit(2);
    }
    ::_exit(rc == ERROR_SUCCESS && RegCloseKey(key) == ERROR_SUCCESS ? 0 : 1);
  };
  const pid_t first = child("Software\\Turn\\A", true);
  char said = 0;
  ASSERT_EQ(1, ::read(toParent[0], &said, 1));
  ASSERT_EQ('A', said);
  const pid_t second = child("Software\\Turn\\B", false);
  // The second process must be waiting for the prefix lock, not working on the file.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int flags = ::fcntl(toParent[0], F_GETFL);
  ::fcntl(toParent[0], F_SETFL, flags | O_NONBLOCK);
  EXPECT_EQ(-1, ::read(toParent[0], &said, 1)) << "the second process got in while the first "
                                                  "held its session";
  ::fcntl(toParent[0], F_SETFL, flags);
  const char go = 'g';
  ASSERT_EQ(1, ::write(toFirst[1], &go, 1));
  ASSERT_EQ(1, ::read(toParent[0], &said, 1));
  EXPECT_EQ('B', said);
  int status = 0;
  ::waitpid(first, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::waitpid(second, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {toParent[0], toParent[1], toFirst[0], toFirst[1]}) ::close(fd);

  p::UsePrefixRegistry(m_prefix);
  EXPECT_EQ(ERROR_SUCCESS, OpenResult(HKEY_LOCAL_MACHINE, "Software\\Turn\\A"));
  EXPECT_EQ(ERROR_SUCCESS, OpenResult(HKEY_LOCAL_MACHINE, "Software\\Turn\\B"));
}

// Many of our processes, each saving many small sessions at once: every change is in the end.
TEST_F(ConcurrencyTest, ManyProcessesSavingAtOnceLoseNothing) {
  constexpr int kProcesses = 6;
  constexpr int kSessions = 15;
  std::vector<pid_t> pids;
  const std::string prefix = m_prefix;
  for (int i = 0; i < kProcesses; ++i) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      p::UsePrefixRegistry(prefix);
      int failures = 0;
      for (int j = 0; j < kSessions; ++j) {
        const std::string name =
            "Software\\Stress\\P" + std::to_string(i) + "\\K" + std::to_string(j);
        HKEY key = nullptr;
        if (RegCreateKeyA(HKEY_LOCAL_MACHINE, name.c_str(), &key) != ERROR_SUCCESS ||
            RegCloseKey(key) != ERROR_SUCCESS)
          ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  p::UsePrefixRegistry(m_prefix);
  int present = 0;
  for (int i = 0; i < kProcesses; ++i) {
    for (int j = 0; j < kSessions; ++j) {
      const std::string name = "Software\\Stress\\P" + std::to_string(i) + "\\K" + std::to_string(j);
      if (OpenResult(HKEY_LOCAL_MACHINE, name) == ERROR_SUCCESS) ++present;
    }
  }
  EXPECT_EQ(kProcesses * kSessions, present);
  // Everything the generated file held is still there too.
  EXPECT_EQ(ERROR_SUCCESS, OpenResult(HKEY_CLASSES_ROOT, kDispatchClassPath));
  EXPECT_EQ(ERROR_SUCCESS, OpenResult(HKEY_LOCAL_MACHINE, "Software\\Wine"));
  AddFigure("concurrency: saves by concurrent processes of ours", kProcesses * kSessions + 2);
}

}  // namespace
}  // namespace oarepair::reliability
