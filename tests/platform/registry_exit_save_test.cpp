// The save at normal exit: a program that returns from main with a key handle still open gets its
// change written by the registry's exit hook, which must find the file system it saves through
// still alive. Each run is a fresh process, so the order in which the registry and the file system
// first come to life is the program's own, not that of the tests run before.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/reg_fixture.h"
#include "tests/support/scratch_folder.h"

namespace {

using oarepair::test_support::RegFileHeader;
using oarepair::test_support::RegSection;
using oarepair::test_support::ReadFile;
using oarepair::test_support::ScratchFolder;

// Runs the child program with stderr into `errPath`; its wait status.
int RunChild(const std::string& prefix, const std::string& keyName, const std::string& errPath) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (std::freopen(errPath.c_str(), "w", stderr) == nullptr) ::_exit(100);
    ::execl(OAREPAIR_EXIT_SAVE_CHILD, OAREPAIR_EXIT_SAVE_CHILD, prefix.c_str(), keyName.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(101);
  }
  int status = -1;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

TEST(RegistryExitSaveTest, ChangeBehindAnOpenHandleIsSavedAtExit) {
  ScratchFolder prefix;
  ASSERT_TRUE(prefix.Valid());
  std::ofstream(prefix / "system.reg", std::ios::binary)
      << RegFileHeader("REGISTRY\\\\Machine") + RegSection("Software\\\\Wine", 1700000000);
  std::ofstream(prefix / "user.reg", std::ios::binary)
      << RegFileHeader() + RegSection("Software\\\\Wine", 1700000001);

  const int status = RunChild(prefix.Path(), "left-open-at-exit", prefix / "child.err");
  const std::string strErr = ReadFile(prefix / "child.err");
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status) << ": "
                                 << strErr;
  EXPECT_EQ(WEXITSTATUS(status), 0) << strErr;
  EXPECT_EQ(strErr, "");
  EXPECT_NE(ReadFile(prefix / "user.reg").find("[Software\\\\left-open-at-exit]"), std::string::npos)
      << ReadFile(prefix / "user.reg");
}

}  // namespace
