// The real file system behind the seam: calls interrupted by signals are resumed, short writes are
// continued, failures come back as errno values, and descriptors do not leak into child programs.
#include "platform/file_system.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/fault_file_system.h"
#include "tests/support/scratch_folder.h"

namespace oarepair::platform {
namespace {

using test_support::ScratchFolder;
using test_support::WriteFile;

std::atomic<int> g_alarms{0};
void CountAlarm(int) { g_alarms.fetch_add(1); }

// SIGALRM at a steady rate, with a handler installed without SA_RESTART: blocking calls in the
// thread that takes the signal return EINTR or a short count, as they would in a program that
// handles signals.
class AlarmStorm {
 public:
  explicit AlarmStorm(long intervalMicros) {
    g_alarms = 0;
    struct sigaction action {};
    action.sa_handler = CountAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGALRM, &action, &m_old);
    struct itimerval timer {};
    timer.it_interval.tv_usec = intervalMicros;
    timer.it_value.tv_usec = intervalMicros;
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~AlarmStorm() {
    struct itimerval off {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &m_old, nullptr);
  }
  AlarmStorm(const AlarmStorm&) = delete;
  AlarmStorm& operator=(const AlarmStorm&) = delete;

 private:
  struct sigaction m_old {};
};

// Starts a thread that never takes SIGALRM, so the signals land in the calling thread.
template <typename Body>
std::thread ThreadWithoutAlarms(Body body) {
  sigset_t alarm;
  sigset_t old;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, &old);
  std::thread thread(body);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return thread;
}

TEST(PosixFileSystemTest, WriteDeliversEveryByteThroughSignalsAndShortWrites) {
  int pipeFds[2];
  ASSERT_EQ(0, ::pipe(pipeFds));
  std::string data(4 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131) >> 3);

  std::string received;
  std::thread reader = ThreadWithoutAlarms([&] {
    char buffer[8192];
    for (;;) {
      ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      received.append(buffer, static_cast<size_t>(got));
      std::this_thread::sleep_for(std::chrono::microseconds(20));  // a slow reader
    }
  });
  int result;
  {
    AlarmStorm storm(300);
    result = PosixFileSystem().Write(pipeFds[1], data.data(), data.size());
  }
  ::close(pipeFds[1]);
  reader.join();
  ::close(pipeFds[0]);
  EXPECT_GT(g_alarms.load(), 0) << "the write was never interrupted; the test proves nothing";
  EXPECT_EQ(0, result);
  EXPECT_EQ(data.size(), received.size());
  EXPECT_TRUE(data == received);
}

TEST(PosixFileSystemTest, ReadWaitsThroughSignals) {
  int pipeFds[2];
  ASSERT_EQ(0, ::pipe(pipeFds));
  std::thread writer = ThreadWithoutAlarms([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    if (::write(pipeFds[1], "hello", 5) != 5) std::abort();
  });
  char buffer[16] = {};
  size_t got = 0;
  int result;
  {
    AlarmStorm storm(1000);
    result = PosixFileSystem().Read(pipeFds[0], buffer, sizeof buffer, &got);
  }
  writer.join();
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  EXPECT_GT(g_alarms.load(), 0);
  EXPECT_EQ(0, result);
  EXPECT_EQ("hello", std::string(buffer, got));
}

TEST(PosixFileSystemTest, BlockingFlockWaitsThroughSignals) {
  ScratchFolder dir;
  ASSERT_TRUE(dir.Valid());
  const std::string path = dir / "lock";
  ASSERT_TRUE(WriteFile(path, ""));
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = ::open(path.c_str(), O_RDONLY);
    char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
    ::usleep(300000);
    ::_exit(0);  // the lock goes with the process
  }
  char ok = 'n';
  ASSERT_EQ(1, ::read(ready[0], &ok, 1));
  ASSERT_EQ('y', ok);
  int fd = -1;
  ASSERT_EQ(0, PosixFileSystem().Open(path, O_RDONLY, 0, &fd));
  int result;
  {
    AlarmStorm storm(5000);
    result = PosixFileSystem().Flock(fd, LOCK_EX);
  }
  EXPECT_GT(g_alarms.load(), 0);
  EXPECT_EQ(0, result);
  ::close(fd);
  ::close(ready[0]);
  ::close(ready[1]);
  ::waitpid(child, nullptr, 0);
}

TEST(PosixFileSystemTest, FullDeviceIsReportedAsENOSPC) {
  int fd = -1;
  if (PosixFileSystem().Open("/dev/full", O_WRONLY, 0, &fd) != 0) GTEST_SKIP() << "no /dev/full";
  std::string data(100000, 'x');
  EXPECT_EQ(ENOSPC, PosixFileSystem().Write(fd, data.data(), data.size()));
  EXPECT_EQ(0, PosixFileSystem().Close(fd));
}

TEST(PosixFileSystemTest, FailuresComeBackAsErrnoValues) {
  ScratchFolder dir;
  ASSERT_TRUE(dir.Valid());
  FileSystem& fs = PosixFileSystem();
  const std::string missing = dir / "missing";
  int fd = -1;
  struct stat st {};
  std::string resolved;
  EXPECT_EQ(ENOENT, fs.Open(missing, O_RDONLY, 0, &fd));
  EXPECT_EQ(-1, fd) << "a failed open leaves the descriptor alone";
  EXPECT_EQ(ENOENT, fs.Stat(missing, &st));
  EXPECT_EQ(ENOENT, fs.LStat(missing, &st));
  EXPECT_EQ(ENOENT, fs.RealPath(missing, &resolved));
  EXPECT_EQ(ENOENT, fs.Rename(missing, dir / "other"));
  EXPECT_EQ(ENOENT, fs.Unlink(missing));
  EXPECT_EQ(EBADF, fs.Close(-1));
  EXPECT_EQ(EBADF, fs.Fsync(-1));
  EXPECT_EQ(EBADF, fs.FStat(-1, &st));
  EXPECT_EQ(EBADF, fs.Write(-1, "x", 1));
  EXPECT_EQ(EEXIST, fs.Open(dir.Path(), O_CREAT | O_EXCL | O_WRONLY, 0600, &fd));
}

TEST(PosixFileSystemTest, DescriptorsAreCloseOnExec) {
  ScratchFolder dir;
  ASSERT_TRUE(dir.Valid());
  int fd = -1;
  ASSERT_EQ(0, PosixFileSystem().Open(dir / "f", O_CREAT | O_WRONLY, 0600, &fd));
  EXPECT_NE(0, ::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "the descriptor would leak into Wine";
  EXPECT_EQ(0, PosixFileSystem().Close(fd));
}

TEST(PosixFileSystemTest, PositionedReadLeavesThePosition) {
  ScratchFolder dir;
  ASSERT_TRUE(dir.Valid());
  ASSERT_TRUE(WriteFile(dir / "f", "abcdefgh"));
  FileSystem& fs = PosixFileSystem();
  int fd = -1;
  ASSERT_EQ(0, fs.Open(dir / "f", O_RDONLY, 0, &fd));
  char buffer[8] = {};
  size_t got = 0;
  ASSERT_EQ(0, fs.PRead(fd, buffer, 3, 4, &got));
  EXPECT_EQ("efg", std::string(buffer, got));
  ASSERT_EQ(0, fs.Read(fd, buffer, 2, &got));
  EXPECT_EQ("ab", std::string(buffer, got));
  ASSERT_EQ(0, fs.PRead(fd, buffer, 8, 8, &got));
  EXPECT_EQ(0u, got) << "end of file";
  EXPECT_EQ(0, fs.Close(fd));
}

TEST(PosixFileSystemTest, TruncateAndModeChangesTakeEffect) {
  ScratchFolder dir;
  ASSERT_TRUE(dir.Valid());
  FileSystem& fs = PosixFileSystem();
  int fd = -1;
  ASSERT_EQ(0, fs.Open(dir / "f", O_CREAT | O_RDWR, 0600, &fd));
  ASSERT_EQ(0, fs.Write(fd, "0123456789", 10));
  ASSERT_EQ(0, fs.Ftruncate(fd, 4));
  ASSERT_EQ(0, fs.FChmod(fd, 0640));
  struct stat st {};
  ASSERT_EQ(0, fs.FStat(fd, &st));
  EXPECT_EQ(4, st.st_size);
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(0, fs.FChown(fd, st.st_uid, st.st_gid));
  EXPECT_EQ(0, fs.Close(fd));
}

TEST(PosixFileSystemTest, UnlockedFileTestsFree) {
  ScratchFolder dir;
  ASSERT_TRUE(dir.Valid());
  ASSERT_TRUE(WriteFile(dir / "lock", ""));
  int fd = -1;
  ASSERT_EQ(0, PosixFileSystem().Open(dir / "lock", O_RDONLY, 0, &fd));
  bool locked = true;
  pid_t holder = -1;
  EXPECT_EQ(0, PosixFileSystem().TestPosixLock(fd, &locked, &holder));
  EXPECT_FALSE(locked);
  EXPECT_EQ(0, holder);
  PosixFileSystem().Close(fd);
}

TEST(CurrentFileSystemTest, SwappedForTestsAndRestored) {
  EXPECT_EQ(&PosixFileSystem(), &CurrentFileSystem());
  test_support::FaultFileSystem fault;
  SetFileSystem(&fault);
  EXPECT_EQ(&fault, &CurrentFileSystem());
  SetFileSystem(nullptr);
  EXPECT_EQ(&PosixFileSystem(), &CurrentFileSystem());
}

}  // namespace
}  // namespace oarepair::platform
