// What the registry refuses or waits for before it works on a prefix, seen through the Win32
// calls: prefixes Wine refuses, registry files that are FIFOs or filled with NUL bytes, a prefix
// lock held by someone else, and the temp files a killed save left behind. Each case that could
// block runs in a child process with a time limit, so a fault shows as a failure, not a hang.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/registry_control.h"
#include "platform/win32.h"
#include "tests/support/reg_fixture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scratch_folder.h"

namespace {

namespace p = oarepair::platform;
using oarepair::test_support::EnvGuard;
using oarepair::test_support::ListFolder;
using oarepair::test_support::ReadFile;
using oarepair::test_support::RegFileHeader;
using oarepair::test_support::RegSection;
using oarepair::test_support::ScratchFolder;
using oarepair::test_support::WriteFile;

LONG Exists(HKEY root, const char* path) {
  HKEY h = nullptr;
  LONG rc = RegOpenKeyExA(root, path, 0, KEY_READ, &h);
  if (rc == ERROR_SUCCESS) RegCloseKey(h);
  return rc;
}

// What a child run left: its exit code (-1 when killed, -2 when it overran its time and was
// killed) and its standard error.
struct ChildRun {
  int code = -1;
  std::string err;
};

// Runs `body` in a child whose standard error goes to `errFile`; the child's exit code is the
// body's result. `whileRunning`, when given, runs in the parent once the child has started.
ChildRun RunChild(const std::function<int()>& body, const std::string& errFile, int seconds,
                  const std::function<void(pid_t)>& whileRunning = nullptr) {
  std::fflush(nullptr);
  ChildRun run;
  const pid_t pid = ::fork();
  if (pid < 0) return run;
  if (pid == 0) {
    const int fd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) ::dup2(fd, 2);
    const int code = body();
    std::fflush(nullptr);
    ::_exit(code);
  }
  if (whileRunning) whileRunning(pid);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      run.code = -2;
      run.err = ReadFile(errFile);
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = ReadFile(errFile);
  return run;
}

size_t CountLines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// A child's result code for an error code, so that the parent can compare them.
int CodeOf(LONG rc) { return static_cast<int>(rc & 0x7f); }

class PrefixGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.Valid());
    m_prefix = m_dir / "prefix";
    ASSERT_EQ(0, ::mkdir(m_prefix.c_str(), 0755));
    m_system = RegFileHeader("REGISTRY\\\\Machine") +
               RegSection("Software\\\\Classes\\\\CLSID\\\\{A}", 1700000000, "@=\"a\"\n");
    m_user = RegFileHeader() + RegSection("Software\\\\Wine", 1700000003);
    ASSERT_TRUE(WriteFile(m_prefix + "/system.reg", m_system));
    ASSERT_TRUE(WriteFile(m_prefix + "/user.reg", m_user));
    p::SetClock([] { return 133500000000000000ULL; });
  }
  void TearDown() override {
    p::UseMemoryRegistry();
    p::SetClock(nullptr);
  }

  std::string ErrFile() const { return m_dir / "stderr"; }

  ScratchFolder m_dir;
  std::string m_prefix;
  std::string m_system;
  std::string m_user;
};

// ---------------------------------------------------------------------------------------------
// Prefixes Wine refuses: nothing is read, created or started, and one line says why.

// Runs a repair-like session on the default prefix from a scratch working folder, in a child.
ChildRun RunOnDefaultPrefix(const std::string& cwd, const std::string& errFile) {
  return RunChild(
      [&] {
        if (::chdir(cwd.c_str()) != 0) return 90;
        p::UseDefaultRegistry();
        const LONG found = Exists(HKEY_CLASSES_ROOT, "CLSID");
        HKEY h = nullptr;
        const LONG created = RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Made", &h);
        if (created == ERROR_SUCCESS) RegCloseKey(h);
        // The flush before a Wine start must fail too: no Wine is started over such a prefix.
        const LONG flushed = p::FlushRegistry();
        if (found == ERROR_SUCCESS || found == ERROR_FILE_NOT_FOUND) return 10;
        if (created == ERROR_SUCCESS || created == ERROR_FILE_NOT_FOUND) return 11;
        if (flushed == ERROR_SUCCESS) return 12;
        return 0;
      },
      errFile, 30);
}

TEST_F(PrefixGuardTest, EmptyOrRelativeWinePrefixIsRefusedAndNothingIsTouched) {
  const std::string home = m_dir / "home";
  const std::string cwd = m_dir / "cwd";
  ASSERT_EQ(0, ::mkdir(home.c_str(), 0755));
  ASSERT_EQ(0, ::mkdir(cwd.c_str(), 0755));
  // A relative prefix that exists as seen from the working folder: Wine still refuses it.
  ASSERT_EQ(0, ::mkdir((cwd + "/relE").c_str(), 0755));
  ASSERT_TRUE(WriteFile(cwd + "/relE/system.reg", m_system));
  // An empty WINEPREFIX must not fall back to $HOME/.wine, which holds a prefix here.
  ASSERT_EQ(0, ::mkdir((home + "/.wine").c_str(), 0755));
  ASSERT_TRUE(WriteFile(home + "/.wine/system.reg", m_system));
  for (const char* value : {"", "relE", "relE/"}) {
    SCOPED_TRACE(std::string("WINEPREFIX='") + value + "'");
    EnvGuard env;
    env.Set("HOME", home);
    env.Set("WINEPREFIX", value);
    const ChildRun run = RunOnDefaultPrefix(cwd, ErrFile());
    EXPECT_EQ(0, run.code) << run.err;
    EXPECT_EQ(1u, CountLines(run.err)) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("WINEPREFIX='" + std::string(value) +
                                              "' is not an absolute path"))
        << run.err;
    EXPECT_EQ((std::set<std::string>{"system.reg"}), ListFolder(home + "/.wine"));
    EXPECT_EQ((std::set<std::string>{"system.reg"}), ListFolder(cwd + "/relE"));
    EXPECT_EQ(m_system, ReadFile(home + "/.wine/system.reg"));
    EXPECT_EQ(m_system, ReadFile(cwd + "/relE/system.reg"));
  }
}

TEST_F(PrefixGuardTest, PrefixInAMissingFolderIsRefused) {
  const std::string cwd = m_dir / "cwd";
  ASSERT_EQ(0, ::mkdir(cwd.c_str(), 0755));
  EnvGuard env;
  env.Set("WINEPREFIX", m_dir / "missing/p");
  const ChildRun run = RunOnDefaultPrefix(cwd, ErrFile());
  EXPECT_EQ(0, run.code) << run.err;
  EXPECT_EQ(1u, CountLines(run.err)) << run.err;
  EXPECT_NE(std::string::npos, run.err.find(m_dir / "missing")) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("does not exist")) << run.err;
  EXPECT_FALSE(oarepair::test_support::Exists(m_dir / "missing"));
}

TEST_F(PrefixGuardTest, MissingPrefixInAnExistingFolderIsStillAnEmptyRegistry) {
  // Wine creates such a prefix when it starts: no key is there yet, and that is no failure.
  p::UsePrefixRegistry(m_dir / "fresh");
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Exists(HKEY_CLASSES_ROOT, "CLSID"));
  EXPECT_EQ(ERROR_SUCCESS, p::FlushRegistry());
  EXPECT_FALSE(oarepair::test_support::Exists(m_dir / "fresh"));
}

TEST_F(PrefixGuardTest, PrefixWithTrailingSlashesIsAccepted) {
  p::UsePrefixRegistry(m_prefix + "//");
  EXPECT_EQ(ERROR_SUCCESS, Exists(HKEY_CLASSES_ROOT, "CLSID\\{A}"));
}

// ---------------------------------------------------------------------------------------------
// Files that are not regular, and a lock held by someone else: never a silent hang.

TEST_F(PrefixGuardTest, FifoAtSystemRegIsRefusedWithoutBlocking) {
  ASSERT_EQ(0, ::unlink((m_prefix + "/system.reg").c_str()));
  ASSERT_EQ(0, ::mkfifo((m_prefix + "/system.reg").c_str(), 0600));
  const std::string prefix = m_prefix;
  const ChildRun run = RunChild(
      [&] {
        p::UsePrefixRegistry(prefix);
        const LONG rc = Exists(HKEY_CLASSES_ROOT, "CLSID");
        const LONG user = Exists(HKEY_CURRENT_USER, "Software\\Wine");
        p::UseMemoryRegistry();
        if (user != ERROR_SUCCESS) return 20;  // the other file still works
        return CodeOf(rc);
      },
      ErrFile(), 10);
  EXPECT_NE(-2, run.code) << "opening a FIFO at system.reg blocked";
  EXPECT_EQ(CodeOf(ERROR_BADDB), run.code) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("system.reg is not a regular file")) << run.err;
  struct stat st {};
  ASSERT_EQ(0, ::lstat((m_prefix + "/system.reg").c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO is left as it was";
}

TEST_F(PrefixGuardTest, FifoAtTheWineserverPointerIsRefusedWithoutBlocking) {
  ASSERT_EQ(0, ::mkfifo((m_prefix + "/wineserver").c_str(), 0600));
  const std::string prefix = m_prefix;
  const ChildRun run = RunChild(
      [&] {
        p::UsePrefixRegistry(prefix);
        const LONG rc = Exists(HKEY_CLASSES_ROOT, "CLSID");
        p::UseMemoryRegistry();
        return CodeOf(rc);
      },
      ErrFile(), 10);
  EXPECT_NE(-2, run.code) << "opening a FIFO at the wineserver pointer blocked";
  EXPECT_EQ(CodeOf(ERROR_REGISTRY_IO_FAILED), run.code) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("/wineserver is not a regular file")) << run.err;
  EXPECT_EQ(m_system, ReadFile(m_prefix + "/system.reg"));
}

TEST_F(PrefixGuardTest, AHeldPrefixLockIsNamedAndWaitedFor) {
  // Another process's flock on the prefix folder, taken here on a descriptor of our own.
  const int held = ::open(m_prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(0, ::flock(held, LOCK_EX));
  const std::string prefix = m_prefix;
  std::string seenWhileWaiting;
  bool stillWaiting = false;
  const ChildRun run = RunChild(
      [&] {
        ::close(held);  // the child's copy: the lock stays with the parent's descriptor
        p::UsePrefixRegistry(prefix);
        const LONG rc = Exists(HKEY_CLASSES_ROOT, "CLSID\\{A}");
        p::UseMemoryRegistry();
        return CodeOf(rc);
      },
      ErrFile(), 20,
      [&](pid_t child) {
        // The child says what it waits for, and keeps waiting while the lock is held.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
          seenWhileWaiting = ReadFile(ErrFile());
          if (!seenWhileWaiting.empty()) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (seenWhileWaiting.empty()) seenWhileWaiting = ReadFile(ErrFile());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stillWaiting = ::waitpid(child, nullptr, WNOHANG) == 0;
        ::flock(held, LOCK_UN);
      });
  ::close(held);
  EXPECT_NE(std::string::npos,
            seenWhileWaiting.find("waiting for another process to release its lock on the Wine "
                                  "prefix " + m_prefix))
      << "stderr while waiting: '" << seenWhileWaiting << "'";
  EXPECT_TRUE(stillWaiting) << "the lock was not waited for";
  EXPECT_EQ(0, run.code) << "after the lock was released the call succeeds: " << run.err;
  EXPECT_EQ(1u, CountLines(run.err)) << run.err;
}

TEST_F(PrefixGuardTest, AFreePrefixLockIsTakenWithoutAWord) {
  const std::string prefix = m_prefix;
  const ChildRun run = RunChild(
      [&] {
        p::UsePrefixRegistry(prefix);
        const LONG rc = Exists(HKEY_CLASSES_ROOT, "CLSID\\{A}");
        p::UseMemoryRegistry();
        return CodeOf(rc);
      },
      ErrFile(), 20);
  EXPECT_EQ(0, run.code);
  EXPECT_EQ("", run.err);
}

// ---------------------------------------------------------------------------------------------
// A file of NUL bytes: refused with a clear message, after reading little of it, and untouched.

struct NulFileOutcome {
  ChildRun run;
  long grownKb = -1;
};

// Makes system.reg a sparse file of `size` NUL bytes (or of `fill` bytes when not NUL), then
// has a child load it; the child reports how much its peak memory grew.
NulFileOutcome LoadFilledFile(const std::string& prefix, const std::string& errFile,
                              const std::string& growthFile, off_t size, char fill,
                              struct stat* made = nullptr) {
  const std::string path = prefix + "/system.reg";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return {};
  if (fill == '\0') {
    if (::ftruncate(fd, size) != 0) {
      ::close(fd);
      return {};
    }
  } else {
    const std::string block(1 << 20, fill);
    for (off_t done = 0; done < size; done += static_cast<off_t>(block.size())) {
      if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
        ::close(fd);
        return {};
      }
    }
  }
  ::close(fd);
  if (made != nullptr && ::stat(path.c_str(), made) != 0) return {};
  NulFileOutcome outcome;
  outcome.run = RunChild(
      [&] {
        struct rusage before {};
        ::getrusage(RUSAGE_SELF, &before);
        p::UsePrefixRegistry(prefix);
        const LONG rc = Exists(HKEY_CLASSES_ROOT, "CLSID");
        const LONG flushed = p::FlushRegistry();
        struct rusage after {};
        ::getrusage(RUSAGE_SELF, &after);
        p::UseMemoryRegistry();
        WriteFile(growthFile, std::to_string(after.ru_maxrss - before.ru_maxrss));
        if (flushed != ERROR_SUCCESS) return 30;
        return CodeOf(rc);
      },
      errFile, 60);
  const std::string grown = ReadFile(growthFile);
  if (!grown.empty()) outcome.grownKb = std::strtol(grown.c_str(), nullptr, 10);
  return outcome;
}

TEST_F(PrefixGuardTest, AFileOfNulBytesIsRefusedWithItsLineAndMemoryStaysBounded) {
  constexpr off_t kSize = off_t{64} << 20;
  struct stat before {};
  const NulFileOutcome outcome =
      LoadFilledFile(m_prefix, ErrFile(), m_dir / "growth", kSize, '\0', &before);
  EXPECT_EQ(CodeOf(ERROR_BADDB), outcome.run.code) << outcome.run.err;
  EXPECT_NE(std::string::npos,
            outcome.run.err.find(m_prefix + "/system.reg: line 1: the line contains a NUL byte; "
                                            "the file is refused and left untouched"))
      << outcome.run.err;
  EXPECT_EQ(1u, CountLines(outcome.run.err)) << outcome.run.err;
  // A bounded read: far less than the file, which the old reader gathered as one line.
  EXPECT_GE(outcome.grownKb, 0);
  EXPECT_LT(outcome.grownKb, 16 * 1024) << "peak memory grew by " << outcome.grownKb << " KB";
  struct stat after {};
  ASSERT_EQ(0, ::stat((m_prefix + "/system.reg").c_str(), &after));
  EXPECT_EQ(kSize, after.st_size);
  EXPECT_EQ(before.st_ino, after.st_ino) << "the file was replaced";
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  EXPECT_EQ((std::set<std::string>{"system.reg", "user.reg"}), ListFolder(m_prefix));
}

TEST_F(PrefixGuardTest, AHugeFirstLineIsRefusedAfterReadingLittle) {
  constexpr off_t kSize = off_t{48} << 20;
  const NulFileOutcome outcome = LoadFilledFile(m_prefix, ErrFile(), m_dir / "growth", kSize, 'W');
  EXPECT_EQ(CodeOf(ERROR_BADDB), outcome.run.code) << outcome.run.err;
  EXPECT_NE(std::string::npos,
            outcome.run.err.find("system.reg: line 1: the first line is not \"WINE REGISTRY "
                                 "Version 2\""))
      << outcome.run.err;
  EXPECT_GE(outcome.grownKb, 0);
  EXPECT_LT(outcome.grownKb, 16 * 1024) << "peak memory grew by " << outcome.grownKb << " KB";
}

TEST_F(PrefixGuardTest, ANulByteLaterInALongLineNamesThatLine) {
  // The NUL comes in a line that runs over several read chunks; the line number is still right.
  std::string text = m_system + "\n[Software\\\\Long] 1\n\"v\"=\"" + std::string(700000, 'x');
  text += '\0';
  text += std::string(300000, 'y') + "\"\n";
  ASSERT_TRUE(WriteFile(m_prefix + "/system.reg", text));
  p::UsePrefixRegistry(m_prefix);
  testing::internal::CaptureStderr();
  const LONG rc = Exists(HKEY_CLASSES_ROOT, "CLSID");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ERROR_BADDB, rc);
  const size_t valueLine = CountLines(m_system) + 3;
  EXPECT_NE(std::string::npos,
            err.find("line " + std::to_string(valueLine) + ": the line contains a NUL byte"))
      << err;
  EXPECT_EQ(text, ReadFile(m_prefix + "/system.reg"));
}

// ---------------------------------------------------------------------------------------------
// Temp files of killed saves.

pid_t DeadPid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

std::string Hex(long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%lx", value);
  return text;
}

TEST_F(PrefixGuardTest, TempFilesOfDeadWritersAreRemovedAndNothingElse) {
  const pid_t dead = DeadPid();
  ASSERT_NE(0, ::kill(dead, 0)) << "the child's pid is in use again";
  const std::string d = Hex(dead);
  const std::set<std::string> stale = {".system.reg." + d + "0000.tmp",
                                       ".user.reg." + d + "00a1.tmp"};
  const std::set<std::string> kept = {
      ".system.reg." + Hex(::getpid()) + "0000.tmp",   // a live writer: this process
      ".system.reg." + Hex(1) + "0000.tmp",            // a live writer: init
      ".system.reg.0" + d + "0000.tmp",                // not how the pid is written
      ".system.reg." + Hex(0x7fffffffL + 1L) + "0000.tmp",  // no pid is that large
      ".system.reg." + d + "0000.tmp.old",
      ".system.reg." + d + "0000.TMP",
      ".System.reg." + d + "0000.tmp",
      ".other.reg." + d + "0000.tmp",
      "reg" + d + "0000.tmp",                           // Wine's own temp name
      "system.reg." + d + "0000.tmp",
  };
  for (const std::string& name : stale) ASSERT_TRUE(WriteFile(m_prefix + "/" + name, "partial"));
  for (const std::string& name : kept) ASSERT_TRUE(WriteFile(m_prefix + "/" + name, "keep"));
  // Of its name, but not a plain file: a symlink (to a file that must survive) and a folder.
  ASSERT_TRUE(WriteFile(m_dir / "precious", "precious"));
  const std::string link = ".system.reg." + d + "0001.tmp";
  const std::string folder = ".user.reg." + d + "0002.tmp";
  ASSERT_EQ(0, ::symlink((m_dir / "precious").c_str(), (m_prefix + "/" + link).c_str()));
  ASSERT_EQ(0, ::mkdir((m_prefix + "/" + folder).c_str(), 0755));

  p::UsePrefixRegistry(m_prefix);
  EXPECT_EQ(ERROR_SUCCESS, Exists(HKEY_CLASSES_ROOT, "CLSID\\{A}"));
  p::UseMemoryRegistry();

  std::set<std::string> expected = kept;
  expected.insert({"system.reg", "user.reg", link, folder});
  EXPECT_EQ(expected, ListFolder(m_prefix));
  EXPECT_EQ("precious", ReadFile(m_dir / "precious"));
  EXPECT_EQ(m_system, ReadFile(m_prefix + "/system.reg"));
}

TEST_F(PrefixGuardTest, TempFilesBesideASymlinkedFilesTargetAreRemovedToo) {
  const std::string store = m_dir / "store";
  ASSERT_EQ(0, ::mkdir(store.c_str(), 0755));
  ASSERT_EQ(0, ::rename((m_prefix + "/system.reg").c_str(), (store + "/real.reg").c_str()));
  ASSERT_EQ(0, ::symlink((store + "/real.reg").c_str(), (m_prefix + "/system.reg").c_str()));
  const std::string d = Hex(DeadPid());
  ASSERT_TRUE(WriteFile(store + "/.real.reg." + d + "0000.tmp", "partial"));
  ASSERT_TRUE(WriteFile(store + "/.system.reg." + d + "0000.tmp", "not of this file"));
  p::UsePrefixRegistry(m_prefix);
  EXPECT_EQ(ERROR_SUCCESS, Exists(HKEY_CLASSES_ROOT, "CLSID\\{A}"));
  p::UseMemoryRegistry();
  EXPECT_EQ((std::set<std::string>{"real.reg", ".system.reg." + d + "0000.tmp"}),
            ListFolder(store));
}

}  // namespace
