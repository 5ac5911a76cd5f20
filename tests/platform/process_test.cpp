// WinExec on Linux: the loader it finds, the words and environment it passes, the detachment of
// the started program, the save before the start, and the Win32 codes it returns.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "platform/registry_control.h"
#include "platform/wine_loader.h"
#include "platform/win32.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/scoped_env.h"

namespace oarepair::test_support {
namespace {

using oarepair::test_support::ScopedEnv;

namespace p = oarepair::platform;

// A stand-in for Wine's loader: writes what it was given and how it runs to $STANDIN_RECORD,
// renaming the record into place when complete.
const char kStandIn[] =
    "#!/bin/sh\n"
    "in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1); err=$(readlink /proc/$$/fd/2)\n"
    "stat=$(sed 's/.*) //' /proc/$$/stat)\n"
    "rec=\"$STANDIN_RECORD\"\n"
    "{\n"
    "  printf 'argc=%s\\n' \"$#\"\n"
    "  printf 'self=%s\\n' \"$0\"\n"
    "  for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; done\n"
    "  printf 'prefix=%s\\n' \"${WINEPREFIX-<unset>}\"\n"
    "  printf 'stdin=%s\\nstdout=%s\\nstderr=%s\\n' \"$in\" \"$out\" \"$err\"\n"
    "  printf 'ppid=%s\\n' \"$(echo \"$stat\" | cut -d' ' -f2)\"\n"
    "  printf 'sid=%s\\n' \"$(echo \"$stat\" | cut -d' ' -f4)\"\n"
    "  if [ -n \"$STANDIN_GREP\" ]; then\n"
    "    printf 'found=%s\\n' \"$(grep -c \"$STANDIN_GREP\" \"$WINEPREFIX/system.reg\")\"\n"
    "  fi\n"
    "} > \"$rec.tmp\" && mv \"$rec.tmp\" \"$rec\"\n";

const char kSystemReg[] =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\\\Machine\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Software\\\\Classes\\\\CLSID] 1796741013\n"
    "#time=1dd8722800703ec\n";

// "key=value" lines; repeated keys ("arg") are joined with '|'.
std::map<std::string, std::string> ParseRecord(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    auto it = fields.find(key);
    if (it == fields.end()) {
      fields[key] = value;
    } else {
      it->second += "|" + value;
    }
  }
  return fields;
}

class WinExecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_scratch.Valid());
    m_standIn = m_scratch / "wine64";  // the loader of the 64-bit view, the default one
    ASSERT_TRUE(WriteFile(m_standIn, kStandIn));
    ASSERT_EQ(::chmod(m_standIn.c_str(), 0755), 0);
    m_record = m_scratch / "record.txt";
    ::setenv("STANDIN_RECORD", m_record.c_str(), 1);
    ::unsetenv("STANDIN_GREP");
    p::UseMemoryRegistry();
  }
  void TearDown() override {
    p::SetFileSystem(nullptr);
    p::UseMemoryRegistry();
    ::unsetenv("STANDIN_RECORD");
    ::unsetenv("STANDIN_GREP");
  }

  // Makes a small prefix and points the registry at it.
  std::string UsePrefix() {
    const std::string prefix = m_scratch / "prefix";
    EXPECT_EQ(::mkdir(prefix.c_str(), 0700), 0);
    EXPECT_TRUE(WriteFile(prefix + "/system.reg", kSystemReg));
    p::UsePrefixRegistry(prefix);
    return prefix;
  }

  // The stand-in's record, waiting up to 10 s for it.
  std::map<std::string, std::string> WaitForRecord() {
    for (int i = 0; i < 200; ++i) {
      if (Exists(m_record)) return ParseRecord(ReadFile(m_record));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the stand-in loader left no record";
    return {};
  }

  ScratchFolder m_scratch;
  std::string m_standIn;
  std::string m_record;
};

TEST_F(WinExecTest, StartsTheLoaderWithTheCommandWordsInThePrefix) {
  const std::string prefix = UsePrefix();
  ScopedEnv wine("WINE", m_standIn.c_str());
  ScopedEnv winePrefix("WINEPREFIX", "/somewhere/else");

  EXPECT_EQ(WinExec("RegSvr32 /s OleAut32.dll", SW_HIDE), 33u);

  auto record = WaitForRecord();
  EXPECT_EQ(record["argc"], "3");
  EXPECT_EQ(record["arg"], "RegSvr32|/s|OleAut32.dll");
  EXPECT_EQ(record["prefix"], prefix);
}

TEST_F(WinExecTest, StartedProgramIsDetached) {
  ScopedEnv wine("WINE", m_standIn.c_str());

  ASSERT_GT(WinExec("RegSvr32 /s OleAut32.dll", SW_HIDE), 31u);

  // Nothing is left for us to reap: the go-between child is gone and the program is not ours.
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  auto record = WaitForRecord();
  EXPECT_EQ(record["stdin"], "/dev/null");
  EXPECT_EQ(record["stdout"], "/dev/null");
  EXPECT_EQ(record["stderr"], "/dev/null");
  EXPECT_NE(record["sid"], std::to_string(::getsid(0)));
  EXPECT_NE(record["ppid"], std::to_string(::getpid()));
}

TEST_F(WinExecTest, InMemoryRegistryLeavesWinePrefixAsInherited) {
  ScopedEnv wine("WINE", m_standIn.c_str());
  {
    ScopedEnv winePrefix("WINEPREFIX", "/inherited/prefix");
    ASSERT_GT(WinExec("RegSvr32", SW_HIDE), 31u);
    EXPECT_EQ(WaitForRecord()["prefix"], "/inherited/prefix");
  }
  ASSERT_EQ(::unlink(m_record.c_str()), 0);
  {
    ScopedEnv winePrefix("WINEPREFIX", nullptr);
    ASSERT_GT(WinExec("RegSvr32", SW_HIDE), 31u);
    EXPECT_EQ(WaitForRecord()["prefix"], "<unset>");
  }
}

TEST_F(WinExecTest, PendingRegistryChangesAreOnDiskBeforeTheStart) {
  const std::string prefix = UsePrefix();
  ScopedEnv wine("WINE", m_standIn.c_str());
  ScopedEnv grep("STANDIN_GREP", "OarepairFlushProbe");
  HKEY hKey = nullptr;
  // The open handle keeps the session going: without WinExec's save nothing would be written yet.
  ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "CLSID\\OarepairFlushProbe", &hKey), ERROR_SUCCESS);
  ASSERT_EQ(ReadFile(prefix + "/system.reg").find("OarepairFlushProbe"), std::string::npos);

  EXPECT_GT(WinExec("RegSvr32 /s OleAut32.dll", SW_HIDE), 31u);

  EXPECT_EQ(WaitForRecord()["found"], "1");
  RegCloseKey(hKey);
}

TEST_F(WinExecTest, FailedSaveStartsNothing) {
  const std::string prefix = UsePrefix();
  ScopedEnv wine("WINE", m_standIn.c_str());
  HKEY hKey = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "CLSID\\OarepairFlushProbe", &hKey), ERROR_SUCCESS);
  FaultFileSystem faults;
  faults.FailNth(FsOp::kRename, 1, EIO, /*andAfter=*/true);
  p::SetFileSystem(&faults);

  EXPECT_EQ(WinExec("RegSvr32 /s OleAut32.dll", SW_HIDE), 0u);

  RegCloseKey(hKey);
  p::UseMemoryRegistry();
  p::SetFileSystem(nullptr);
  EXPECT_GT(faults.InjectedFaults(), 0u);
  EXPECT_EQ(ReadFile(prefix + "/system.reg"), kSystemReg);
  // WinExec returned before starting anything, so no record can appear later.
  EXPECT_FALSE(Exists(m_record));
}

TEST_F(WinExecTest, NothingStartsOverARefusedRegistryFile) {
  // A value running on into the next header: Wine would read it its own way and save that.
  const std::string malformed = std::string(kSystemReg) +
                                "\n[Software\\\\Classes\\\\AdvA] 1796741013\n\"a\"=hex:01,02,\\\n"
                                "[Software\\\\Classes\\\\AdvB] 1796741013\n\"b\"=\"important\"\n";
  for (const char* file : {"system.reg", "user.reg"}) {
    SCOPED_TRACE(file);
    const std::string prefix = m_scratch / (std::string("refused-") + file);
    ASSERT_EQ(::mkdir(prefix.c_str(), 0700), 0);
    ASSERT_TRUE(WriteFile(prefix + "/system.reg", kSystemReg));
    ASSERT_TRUE(WriteFile(prefix + "/" + file, malformed));
    p::UsePrefixRegistry(prefix);
    ScopedEnv wine("WINE", m_standIn.c_str());
    EXPECT_EQ(WinExec("RegSvr32 /s OleAut32.dll", SW_HIDE), 0u);
    EXPECT_EQ(ReadFile(prefix + "/" + file), malformed);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(Exists(m_record));
}

TEST_F(WinExecTest, MissingLoaderIsFileNotFound) {
  {
    ScopedEnv wine("WINE", (m_scratch / "no-such-wine").c_str());
    EXPECT_EQ(WinExec("RegSvr32 /s OleAut32.dll", SW_HIDE), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
  }
  {
    // A loader without execute permission is no loader.
    const std::string plain = m_scratch / "plain64";
    ASSERT_TRUE(WriteFile(plain, kStandIn));
    ScopedEnv wine("WINE", plain.c_str());
    EXPECT_EQ(WinExec("RegSvr32", SW_HIDE), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
  }
  EXPECT_FALSE(Exists(m_record));
}

TEST_F(WinExecTest, EachViewIsServedByTheLoaderOfItsBitness) {
  const std::string wine32 = m_scratch / "wine";
  ASSERT_TRUE(WriteFile(wine32, kStandIn));
  ASSERT_EQ(::chmod(wine32.c_str(), 0755), 0);
  ScopedEnv wine("WINE", m_standIn.c_str());
  p::SetRegistryView(p::RegistryView::k32Bit);
  ASSERT_GT(WinExec("RegSvr32 /s", SW_HIDE), 31u);
  EXPECT_EQ(WaitForRecord()["self"], wine32);
  ASSERT_EQ(::unlink(m_record.c_str()), 0);
  p::SetRegistryView(p::RegistryView::k64Bit);
  ASSERT_GT(WinExec("RegSvr32 /s", SW_HIDE), 31u);
  EXPECT_EQ(WaitForRecord()["self"], m_standIn);
}

// Finding the loaders, over folders of this test: programs are only looked at, never run.
class LoaderSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_scratch.Valid());
    for (const char* dir : {"a", "b", "c", "d"}) ASSERT_EQ(::mkdir((m_scratch / dir).c_str(), 0700), 0);
  }

  // An executable file that looks like a program of `bits` (64, 32) or a script (0).
  std::string Make(const std::string& relative, int bits) {
    const std::string path = m_scratch / relative;
    std::string text = "#!/bin/sh\nexit 0\n";
    if (bits != 0) text = std::string("\x7f" "ELF") + static_cast<char>(bits == 64 ? 2 : 1) + "rest";
    EXPECT_TRUE(WriteFile(path, text));
    EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
    return path;
  }

  std::string Find(p::RegistryView view, const p::LoaderPlaces& places) {
    m_looked.clear();
    return p::FindWineLoader(view, places, &m_looked);
  }

  ScratchFolder m_scratch;
  std::string m_looked;
  ScopedEnv m_wine{"WINE", nullptr};
  ScopedEnv m_wineLoader{"WINELOADER", nullptr};
};

TEST_F(LoaderSearchTest, SearchedFoldersGiveTheFirstProgramOfTheViewsBitness) {
  Make("a/wine", 0);  // a wrapper script may start either loader: passed over
  Make("a/wine64", 32);  // a program of the wrong bitness: passed over
  const std::string wine32 = Make("b/wine", 32);
  const std::string wine64 = Make("b/wine64", 64);
  Make("c/wine64", 64);
  const std::string path = (m_scratch / "c") + ":/nonexistent";
  ScopedEnv pathEnv("PATH", path.c_str());
  const p::LoaderPlaces places{{m_scratch / "a", m_scratch / "b"}, {m_scratch / "d"}};
  EXPECT_EQ(Find(p::RegistryView::k64Bit, places), wine64);
  EXPECT_EQ(Find(p::RegistryView::k32Bit, places), wine32);
  // PATH comes between the two lists.
  const std::string onPath = m_scratch / "c/wine64";
  EXPECT_EQ(Find(p::RegistryView::k64Bit, {{m_scratch / "a"}, {m_scratch / "b"}}), onPath);
  // Nowhere: every place tried is named.
  EXPECT_EQ(Find(p::RegistryView::k32Bit, {{m_scratch / "a"}, {m_scratch / "d"}}), "");
  EXPECT_NE(m_looked.find(m_scratch / "a/wine"), std::string::npos);
  EXPECT_NE(m_looked.find(m_scratch / "c/wine"), std::string::npos);
  EXPECT_NE(m_looked.find(m_scratch / "d/wine"), std::string::npos);
}

TEST_F(LoaderSearchTest, ALoaderThatTheKernelCannotRunIsToldApart) {
  // An ELF header the kernel refuses, as it refuses 32-bit programs without 32-bit support.
  EXPECT_EQ(p::CheckLoaderRuns(Make("a/wine", 32)), ENOEXEC);
  EXPECT_EQ(p::CheckLoaderRuns("/bin/true"), 0);
  EXPECT_EQ(p::CheckLoaderRuns("/bin/false"), EIO);
  EXPECT_EQ(p::CheckLoaderRuns(m_scratch / "absent"), ENOENT);
  EXPECT_EQ(p::CheckLoaderRuns(Make("b/wine", 0)), 0);  // not run: a stand-in would see it
}

TEST_F(LoaderSearchTest, NamedLoaderServesItsBitnessAndTheOtherIsLookedForBesideIt) {
  const std::string wine64 = Make("a/wine64", 64);
  const std::string fallback32 = Make("b/wine", 32);
  const p::LoaderPlaces places{{m_scratch / "b"}, {}};
  ScopedEnv pathEnv("PATH", "/nonexistent");
  {
    ScopedEnv wine("WINE", wine64.c_str());
    EXPECT_EQ(Find(p::RegistryView::k64Bit, places), wine64);
    // Not beside it: the searched places are not used when a loader is named.
    EXPECT_EQ(Find(p::RegistryView::k32Bit, places), "");
    EXPECT_NE(m_looked.find(m_scratch / "a/wine"), std::string::npos);
    EXPECT_NE(m_looked.find("WINE"), std::string::npos);
    // Beside a real loader only a real loader counts.
    Make("a/wine", 0);
    EXPECT_EQ(Find(p::RegistryView::k32Bit, places), "");
    const std::string wine32 = Make("a/wine", 32);
    EXPECT_EQ(Find(p::RegistryView::k32Bit, places), wine32);
  }
  {
    // WINE wins over WINELOADER; WINELOADER counts when WINE is unset or empty.
    ScopedEnv loader("WINELOADER", fallback32.c_str());
    ScopedEnv wine("WINE", wine64.c_str());
    EXPECT_EQ(Find(p::RegistryView::k64Bit, places), wine64);
    ScopedEnv emptyWine("WINE", "");
    EXPECT_EQ(Find(p::RegistryView::k32Bit, places), fallback32);
    EXPECT_EQ(Find(p::RegistryView::k64Bit, places), "");
  }
  {
    // A script is taken by its name, and a script beside it counts.
    const std::string script = Make("c/wine", 0);
    ScopedEnv wine("WINE", script.c_str());
    EXPECT_EQ(Find(p::RegistryView::k32Bit, places), script);
    EXPECT_EQ(Find(p::RegistryView::k64Bit, places), "");
    const std::string script64 = Make("c/wine64", 0);
    EXPECT_EQ(Find(p::RegistryView::k64Bit, places), script64);
  }
  {
    ScopedEnv wine("WINE", (m_scratch / "d/absent").c_str());
    EXPECT_EQ(Find(p::RegistryView::k64Bit, places), "");
    EXPECT_NE(m_looked.find("no such program"), std::string::npos);
  }
}

TEST_F(WinExecTest, LoaderThatCannotBeExecutedIsBadFormat) {
  const std::string junk = m_scratch / "junk64";
  ASSERT_TRUE(WriteFile(junk, std::string("\x7f\x01\x02 not a program\n", 19)));
  ASSERT_EQ(::chmod(junk.c_str(), 0755), 0);
  ScopedEnv wine("WINE", junk.c_str());
  EXPECT_EQ(WinExec("RegSvr32", SW_HIDE), static_cast<UINT>(ERROR_BAD_FORMAT));
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
}

TEST_F(WinExecTest, QuotesGroupWordsAndBlanksSeparateThem) {
  ScopedEnv wine("WINE", m_standIn.c_str());
  ASSERT_GT(WinExec("  \"C:\\Program Files\\tool.exe\"\t/s   \"\" x\"y z\"", SW_HIDE), 31u);
  auto record = WaitForRecord();
  EXPECT_EQ(record["argc"], "4");
  EXPECT_EQ(record["arg"], "C:\\Program Files\\tool.exe|/s||xy z");
}

TEST_F(WinExecTest, EmptyCommandLineStartsNothing) {
  ScopedEnv wine("WINE", m_standIn.c_str());
  EXPECT_EQ(WinExec("", SW_HIDE), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(WinExec("   \t ", SW_HIDE), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(WinExec(nullptr, SW_HIDE), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(Exists(m_record));
}

}  // namespace
}  // namespace oarepair::test_support
