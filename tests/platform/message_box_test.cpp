// MessageBoxA on Linux: what it writes, and that it waits for Enter only at a terminal. Each
// case runs in a child process with its own standard streams, under a time limit.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "tests/support/scratch_folder.h"

namespace oarepair::test_support {
namespace {

// A child running MessageBoxA with stdin on `inFd`, stdout into `outPath` and stderr into
// `outPath` + ".err"; its exit status is the box's result.
pid_t StartBox(int inFd, const std::string& outPath, LPCSTR text, LPCSTR caption, UINT type) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = ::open((outPath + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || err < 0 || ::dup2(inFd, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
    ::_exit(100);
  }
  ::_exit(MessageBoxA(nullptr, text, caption, type));
}

// Waits up to `ms` for the child; its exit status, or -1 when it is still running.
int WaitFor(pid_t pid, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    if (std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Kill(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_scratch.Valid());
    // A pipe whose writer stays open: a box that read it would wait for ever.
    ASSERT_EQ(::pipe(m_pipe), 0);
  }
  void TearDown() override {
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
  }
  // Runs the box with the idle pipe as input; its output.
  std::string Show(LPCSTR text, LPCSTR caption, UINT type) {
    const std::string out = m_scratch / "out.txt";
    const pid_t pid = StartBox(m_pipe[0], out, text, caption, type);
    const int result = WaitFor(pid, 5000);
    if (result == -1) Kill(pid);
    EXPECT_EQ(result, IDOK) << "the box did not return at once";
    EXPECT_EQ(ReadFile(out + ".err"), "");
    return ReadFile(out);
  }

  ScratchFolder m_scratch;
  int m_pipe[2] = {-1, -1};
};

TEST_F(MessageBoxTest, WritesCaptionAndTextAndReturnsAtOnceWithoutATerminal) {
  EXPECT_EQ(Show("Registry entries successfully merged", "oarepair", MB_OK),
            "oarepair: Registry entries successfully merged\n");
}

TEST_F(MessageBoxTest, ErrorIconIsSaidInWords) {
  EXPECT_EQ(Show("could not", "oarepair", MB_OK | MB_ICONERROR), "oarepair: error: could not\n");
  // Other icons are not errors.
  EXPECT_EQ(Show("note", "oarepair", MB_OK | MB_ICONINFORMATION), "oarepair: note\n");
}

TEST_F(MessageBoxTest, MissingCaptionIsError) {
  EXPECT_EQ(Show("text", nullptr, MB_OK), "Error: text\n");
  EXPECT_EQ(Show(nullptr, "cap", MB_OK), "cap: \n");
}

TEST_F(MessageBoxTest, WaitsForEnterAtATerminal) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const char* name = ::ptsname(master);
  ASSERT_NE(name, nullptr);
  const int slave = ::open(name, O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);

  const std::string out = m_scratch / "out.txt";
  const pid_t pid = StartBox(slave, out, "waiting", "cap", MB_OK);
  EXPECT_EQ(WaitFor(pid, 300), -1) << "the box returned without Enter";
  ASSERT_EQ(::write(master, "\n", 1), 1);
  const int result = WaitFor(pid, 5000);
  if (result == -1) Kill(pid);
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(ReadFile(out), "cap: waiting\n");
  // The prompt is for the person at the terminal, not part of the output.
  EXPECT_EQ(ReadFile(out + ".err"), "[Press Enter] ");
  ::close(slave);
  ::close(master);
}

}  // namespace
}  // namespace oarepair::test_support
