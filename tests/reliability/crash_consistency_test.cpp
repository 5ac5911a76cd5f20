// Crash consistency of a registry save: the save of system.reg is interrupted at every point of
// its write path (before and after each write piece, fchown, fchmod, fsync, close, rename and the
// folder's fsync), once by killing the process that saves and once by a simulated power loss that
// drops every byte and name not yet synced. After each interruption system.reg holds exactly the
// old or exactly the new content, parses, and our next run completes the change.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/registry_control.h"
#include "platform/win32.h"
#include "tests/reliability/interrupting_file_system.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/scratch_key.h"

namespace oarepair::reliability {
namespace {

namespace p = oarepair::platform;
using test_support::FaultFileSystem;
using test_support::ReadFile;
using test_support::WriteFile;

constexpr uint64_t kFixedNow = 133500000000000000ULL;  // 2024-01-22, so new sections are stable
// Filler keys that make the generated system.reg about 45 KB, written in pieces of 512 bytes:
// about 90 pieces, each with an interruption point before and after it. scripts/crash-test.sh
// --long makes the file bigger and the pieces smaller through the environment.
size_t EnvSize(const char* name, size_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  const unsigned long long value = std::strtoull(text, nullptr, 10);
  return value > 0 ? static_cast<size_t>(value) : fallback;
}
const size_t kPadding = EnvSize("OAREPAIR_CRASH_PADDING", 300);
const size_t kPiece = EnvSize("OAREPAIR_CRASH_PIECE", 512);

// The repair's change: the dispatch class key and its subtree go, in one session (the CLSID
// handle stays open until the end, so its close is the one save). A key already gone is done.
LONG RepairEdit() {
  HKEY clsid = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &clsid);
  if (rc != ERROR_SUCCESS) return rc;
  rc = test_support::DeleteKeyTree(clsid, kDispatchClassId);
  if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
  const LONG closed = RegCloseKey(clsid);
  return rc != ERROR_SUCCESS ? rc : closed;
}

// New keys: a nested one under HKLM\Software and one under HKEY_CLASSES_ROOT.
LONG CreateEdit() {
  HKEY first = nullptr;
  LONG rc = RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Oarepair\\Crash\\New Key", &first);
  if (rc != ERROR_SUCCESS) return rc;
  HKEY second = nullptr;
  rc = RegCreateKeyA(HKEY_CLASSES_ROOT, ".crashtest", &second);
  if (rc == ERROR_SUCCESS) RegCloseKey(second);
  const LONG closed = RegCloseKey(first);
  return rc != ERROR_SUCCESS ? rc : closed;
}

struct Scenario {
  std::string name;
  std::function<LONG()> edit;
  bool symlinked = false;  // system.reg is a symlink to store/system.reg
};

class CrashConsistencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.Valid());
    m_prefix = m_dir.Path();
    p::SetClock([] { return kFixedNow; });
    p::SetFileSystem(nullptr);
  }
  void TearDown() override {
    p::SetFileSystem(nullptr);
    p::UseMemoryRegistry();
    p::SetClock(nullptr);
  }

  // Where system.reg's bytes really live.
  std::string DataPath(const Scenario& s) const {
    return s.symlinked ? m_prefix + "/store/system.reg" : m_prefix + "/system.reg";
  }
  std::vector<std::string> ExpectedNames(const Scenario& s) const {
    if (s.symlinked) return {"system.reg", "user.reg", "store"};
    return {"system.reg", "user.reg"};
  }

  // Puts the old files back and removes whatever an interrupted run left.
  void Reset(const Scenario& s, const std::string& oldText) {
    for (const std::string& name : StrayNames(m_prefix, ExpectedNames(s))) {
      ::unlink((m_prefix + "/" + name).c_str());
    }
    if (s.symlinked) {
      ::mkdir((m_prefix + "/store").c_str(), 0755);
      for (const std::string& name : StrayNames(m_prefix + "/store", {"system.reg"})) {
        ::unlink((m_prefix + "/store/" + name).c_str());
      }
      ::unlink((m_prefix + "/system.reg").c_str());
      ASSERT_EQ(0, ::symlink("store/system.reg", (m_prefix + "/system.reg").c_str()));
    }
    ASSERT_TRUE(WriteFile(DataPath(s), oldText));
    ASSERT_TRUE(WriteFile(m_prefix + "/user.reg", UserHiveText()));
  }

  // Runs the edit once without interruption and records every point of its write path.
  void DryRun(const Scenario& s, const std::string& oldText, std::vector<std::string>* labels,
              std::string* newText) {
    Reset(s, oldText);
    InterruptingFileSystem recorder(p::PosixFileSystem(), kPiece);
    recorder.SetRecording(true);
    p::UsePrefixRegistry(m_prefix);
    p::SetFileSystem(&recorder);
    const LONG rc = s.edit();
    p::SetFileSystem(nullptr);
    p::UseMemoryRegistry();
    ASSERT_EQ(ERROR_SUCCESS, rc) << s.name;
    *labels = recorder.Labels();
    *newText = ReadFile(DataPath(s));
    ASSERT_NE(oldText, *newText) << s.name << ": the edit changed nothing";
    std::string why;
    ASSERT_TRUE(ParsesAsHive(*newText, &why)) << why;
  }

  static uint64_t PointOf(const std::vector<std::string>& labels, const std::string& prefix) {
    for (size_t i = 0; i < labels.size(); ++i) {
      if (labels[i].rfind(prefix, 0) == 0) return i + 1;
    }
    return 0;
  }

  // Our next run after the interruption: the same edit completes and gives the new content.
  void ExpectRecovery(const Scenario& s, const std::string& newText, uint64_t point,
                      const std::string& label) {
    p::UsePrefixRegistry(m_prefix);
    const LONG rc = s.edit();
    p::UseMemoryRegistry();
    EXPECT_EQ(ERROR_SUCCESS, rc) << "after " << label << " (point " << point << ")";
    EXPECT_TRUE(ReadFile(DataPath(s)) == newText)
        << "the next run did not complete the change after " << label;
  }

  // Checks what an interruption at `point` left: old before `firstNewPoint`, new from it on.
  void CheckOutcome(const Scenario& s, const std::string& oldText, const std::string& newText,
                    uint64_t point, uint64_t firstNewPoint, const std::string& label) {
    const std::string now = ReadFile(DataPath(s));
    const bool isOld = now == oldText;
    const bool isNew = now == newText;
    EXPECT_TRUE(isOld || isNew) << s.name << ": system.reg is torn after " << label << " (point "
                                << point << ", " << now.size() << " bytes)";
    if (point < firstNewPoint) {
      EXPECT_TRUE(isOld) << s.name << ": expected the old content after " << label;
    } else {
      EXPECT_TRUE(isNew) << s.name << ": expected the new content after " << label;
    }
    std::string why;
    EXPECT_TRUE(ParsesAsHive(now, &why)) << s.name << " after " << label << ": " << why;
    if (s.symlinked) {
      struct stat st {};
      EXPECT_EQ(0, ::lstat((m_prefix + "/system.reg").c_str(), &st));
      EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the symlink was replaced after " << label;
    }
  }

  // Kills the saving process at every point; returns the number of runs interrupted.
  uint64_t KillAtEveryPoint(const Scenario& s, const std::string& oldText) {
    std::vector<std::string> labels;
    std::string newText;
    DryRun(s, oldText, &labels, &newText);
    const uint64_t renamed = PointOf(labels, "after rename");
    EXPECT_GT(renamed, 0u) << "no rename on the write path";
    uint64_t interrupted = 0;
    uint64_t leftTemp = 0;
    uint64_t leftAfterNextRun = 0;
    for (uint64_t point = 1; point <= labels.size(); ++point) {
      Reset(s, oldText);
      const std::string prefix = m_prefix;
      const ChildStatus child = RunInChild([&] {
        InterruptingFileSystem killer(p::PosixFileSystem(), kPiece);
        killer.InterruptAt(point, InterruptingFileSystem::Mode::kKillProcess);
        p::UsePrefixRegistry(prefix);
        p::SetFileSystem(&killer);
        s.edit();
        return 3;  // never reached: the point lies on the way
      });
      const std::string& label = labels[point - 1];
      EXPECT_FALSE(child.exited) << "not killed at " << label;
      EXPECT_EQ(SIGKILL, child.code) << label;
      if (!child.exited && child.code == SIGKILL) ++interrupted;
      CheckOutcome(s, oldText, newText, point, renamed, label);
      leftTemp += StrayNames(m_prefix, ExpectedNames(s)).size();
      if (s.symlinked) leftTemp += StrayNames(m_prefix + "/store", {"system.reg"}).size();
      ExpectRecovery(s, newText, point, label);
      // The next run removes what the killed one left: nothing but the files themselves stays.
      std::vector<std::string> stray = StrayNames(m_prefix, ExpectedNames(s));
      if (s.symlinked) {
        for (const std::string& name : StrayNames(m_prefix + "/store", {"system.reg"}))
          stray.push_back("store/" + name);
      }
      leftAfterNextRun += stray.size();
      EXPECT_TRUE(stray.empty()) << s.name << ": the next run left " << stray.size()
                                 << " stray file(s) such as " << (stray.empty() ? "" : stray[0])
                                 << " after " << label;
      if (HasFailure()) break;  // one precise failure says more than hundreds of echoes
    }
    AddFigure("crash: temp files left behind by killed saves", leftTemp);
    AddFigure("crash: temp files still there after the next run", leftAfterNextRun);
    return interrupted;
  }

  // Simulates a power loss at every point; returns the number of runs interrupted.
  uint64_t PowerLossAtEveryPoint(const Scenario& s, const std::string& oldText) {
    std::vector<std::string> labels;
    std::string newText;
    DryRun(s, oldText, &labels, &newText);
    const uint64_t renamed = PointOf(labels, "after rename");
    EXPECT_GT(renamed, 0u);
    // The rename survives a power loss only once the folder is synced.
    uint64_t durable = 0;
    for (uint64_t i = renamed; i < labels.size() && durable == 0; ++i) {
      if (labels[i].rfind("after fsync folder", 0) == 0) durable = i + 1;
    }
    EXPECT_GT(durable, 0u) << "the folder is never synced after the rename";
    uint64_t interrupted = 0;
    for (uint64_t point = 1; point <= labels.size(); ++point) {
      Reset(s, oldText);
      const std::string& label = labels[point - 1];
      {
        FaultFileSystem disk(p::PosixFileSystem());
        InterruptingFileSystem dying(disk, kPiece);
        dying.InterruptAt(point, InterruptingFileSystem::Mode::kDie);
        p::UsePrefixRegistry(m_prefix);
        p::SetFileSystem(&dying);
        s.edit();
        // The store lets go of its descriptors through the dead file system (nothing reaches the
        // disk); the power loss then closes them and drops what was never synced.
        p::UseMemoryRegistry();
        p::SetFileSystem(nullptr);
        EXPECT_TRUE(dying.Died()) << "point " << point << " was never reached";
        if (dying.Died()) ++interrupted;
        disk.Crash();
      }
      CheckOutcome(s, oldText, newText, point, durable, label);
      EXPECT_TRUE(StrayNames(m_prefix, ExpectedNames(s)).empty())
          << "an unsynced temp file survived the power loss at " << label;
      ExpectRecovery(s, newText, point, label);
      if (HasFailure()) break;
    }
    return interrupted;
  }

  FastScratchFolder m_dir;
  std::string m_prefix;
};

const Scenario kRepair{"repair", RepairEdit, false};
const Scenario kCreate{"create", CreateEdit, false};
const Scenario kSymlinked{"repair through a symlinked system.reg", RepairEdit, true};

TEST_F(CrashConsistencyTest, KilledSaveLeavesOldOrNewContent) {
  const std::string oldText = MachineHiveText(kPadding);
  uint64_t total = 0;
  for (const Scenario* s : {&kRepair, &kCreate, &kSymlinked}) {
    SCOPED_TRACE(s->name);
    const uint64_t runs = KillAtEveryPoint(*s, oldText);
    std::printf("[ crash    ] %s: %llu saves killed, one at each point of the write path\n",
                s->name.c_str(), static_cast<unsigned long long>(runs));
    total += runs;
  }
  AddFigure("crash: saves interrupted by SIGKILL", total);
  EXPECT_GE(total, 500u);
}

TEST_F(CrashConsistencyTest, PowerLossDuringSaveLeavesOldOrNewContent) {
  const std::string oldText = MachineHiveText(kPadding);
  uint64_t total = 0;
  for (const Scenario* s : {&kRepair, &kCreate, &kSymlinked}) {
    SCOPED_TRACE(s->name);
    const uint64_t runs = PowerLossAtEveryPoint(*s, oldText);
    std::printf("[ crash    ] %s: %llu saves cut by a simulated power loss\n", s->name.c_str(),
                static_cast<unsigned long long>(runs));
    total += runs;
  }
  AddFigure("crash: saves interrupted by simulated power loss", total);
  EXPECT_GE(total, 500u);
}

// A writer that skipped the fsync before the rename would lose the new content in a power loss
// after the rename: the harness must see that, or its passes above would mean nothing.
class SkipFileSync final : public test_support::ForwardingFileSystem {
 public:
  explicit SkipFileSync(p::FileSystem& base) : ForwardingFileSystem(base) {}
  int Fsync(int fd) override {
    struct stat st {};
    if (m_base.FStat(fd, &st) == 0 && S_ISREG(st.st_mode)) return 0;  // the fault: no sync
    return m_base.Fsync(fd);
  }
};

TEST_F(CrashConsistencyTest, HarnessCatchesAWriterThatDoesNotSync) {
  const std::string oldText = MachineHiveText(20);
  const Scenario& s = kRepair;
  std::vector<std::string> labels;
  std::string newText;
  DryRun(s, oldText, &labels, &newText);
  uint64_t torn = 0;
  for (uint64_t point = 1; point <= labels.size(); ++point) {
    Reset(s, oldText);
    FaultFileSystem disk(p::PosixFileSystem());
    SkipFileSync careless(disk);
    InterruptingFileSystem dying(careless, kPiece);
    dying.InterruptAt(point, InterruptingFileSystem::Mode::kDie);
    p::UsePrefixRegistry(m_prefix);
    p::SetFileSystem(&dying);
    s.edit();
    p::UseMemoryRegistry();
    p::SetFileSystem(nullptr);
    disk.Crash();
    const std::string now = ReadFile(DataPath(s));
    if (now != oldText && now != newText) ++torn;
  }
  EXPECT_GT(torn, 0u) << "a save without fsync survived every simulated power loss: the "
                         "simulation does not drop unsynced data";
}

// The same kills on the system.reg of a real wineboot prefix; a sample of the results is then
// loaded by Wine, which must see the dispatch class key exactly when the old content is there.
TEST_F(CrashConsistencyTest, KilledSaveOfWinebootFileIsLoadedByWine) {
  std::string why;
  if (!WineAvailable(&why)) GTEST_SKIP() << "Wine is not usable: " << why;
  const std::string winePrefix = m_dir / "wine";
  ASSERT_EQ(0, ::mkdir(winePrefix.c_str(), 0755));
  ASSERT_TRUE(MakeWinePrefix(winePrefix, &why)) << why;
  const std::string systemReg = winePrefix + "/system.reg";
  const std::string oldText = ReadFile(systemReg);
  const std::string userText = ReadFile(winePrefix + "/user.reg");
  ASSERT_FALSE(oldText.empty());

  // Our saves work in a prefix of their own: the wineboot prefix is only where Wine loads them.
  const std::string ours = m_dir / "ours";
  ASSERT_EQ(0, ::mkdir(ours.c_str(), 0755));
  constexpr size_t kBigPiece = 256 * 1024;
  auto reset = [&] {
    for (const std::string& name : StrayNames(ours, {"system.reg", "user.reg"})) {
      ::unlink((ours + "/" + name).c_str());
    }
    ASSERT_TRUE(WriteFile(ours + "/system.reg", oldText));
    ASSERT_TRUE(WriteFile(ours + "/user.reg", userText));
  };

  reset();
  InterruptingFileSystem recorder(p::PosixFileSystem(), kBigPiece);
  recorder.SetRecording(true);
  p::UsePrefixRegistry(ours);
  p::SetFileSystem(&recorder);
  ASSERT_EQ(ERROR_SUCCESS, RepairEdit());
  p::SetFileSystem(nullptr);
  p::UseMemoryRegistry();
  const std::vector<std::string> labels = recorder.Labels();
  const std::string newText = ReadFile(ours + "/system.reg");
  ASSERT_NE(oldText, newText);
  const uint64_t renamed = PointOf(labels, "after rename");
  ASSERT_GT(renamed, 0u);

  // Points whose results Wine loads: in the middle of the write, just before the rename, just
  // after it, and the last.
  const uint64_t middle = PointOf(labels, "after write temp of system.reg piece 2");
  const std::vector<uint64_t> sample = {middle != 0 ? middle : 2, renamed - 1, renamed,
                                        labels.size()};
  uint64_t interrupted = 0;
  uint64_t loaded = 0;
  for (uint64_t point = 1; point <= labels.size(); ++point) {
    reset();
    const ChildStatus child = RunInChild([&] {
      InterruptingFileSystem killer(p::PosixFileSystem(), kBigPiece);
      killer.InterruptAt(point, InterruptingFileSystem::Mode::kKillProcess);
      p::UsePrefixRegistry(ours);
      p::SetFileSystem(&killer);
      RepairEdit();
      return 3;
    });
    const std::string& label = labels[point - 1];
    ASSERT_FALSE(child.exited) << label;
    ++interrupted;
    const std::string now = ReadFile(ours + "/system.reg");
    const bool isOld = now == oldText;
    ASSERT_TRUE(isOld || now == newText) << "torn after " << label;
    ASSERT_EQ(point < renamed, isOld) << label;
    std::string parseError;
    ASSERT_TRUE(ParsesAsHive(now, &parseError)) << label << ": " << parseError;

    if (std::find(sample.begin(), sample.end(), point) == sample.end()) continue;
    ASSERT_TRUE(WriteFile(systemReg, now));
    ASSERT_TRUE(WriteFile(winePrefix + "/user.reg", userText));
    // One Wine start per sample: cmd runs both queries; a key's path line is printed exactly
    // when the key exists.
    const std::string dispatchKey = std::string("HKEY_CLASSES_ROOT\\") + kDispatchClassPath;
    const std::string neighbourKey =
        "HKEY_CLASSES_ROOT\\CLSID\\{00020421-0000-0000-C000-000000000046}\\InprocServer32";
    std::string output;
    RunWine(winePrefix,
            {"cmd", "/c", "reg query " + dispatchKey + " & reg query " + neighbourKey}, &output);
    KillWineserver(winePrefix);
    const bool seesDispatch = output.find("\r\n" + dispatchKey + "\r\n") != std::string::npos;
    const bool seesNeighbour = output.find("\r\n" + neighbourKey + "\r\n") != std::string::npos;
    EXPECT_EQ(isOld, seesDispatch) << "Wine's view of the class key after " << label << ":\n"
                                   << output;
    EXPECT_TRUE(seesNeighbour) << "Wine did not load the file left after " << label << ":\n"
                               << output;
    ++loaded;
  }
  std::printf("[ crash    ] wineboot system.reg (%zu bytes): %llu saves killed, %llu results "
              "loaded by Wine\n",
              oldText.size(), static_cast<unsigned long long>(interrupted),
              static_cast<unsigned long long>(loaded));
  AddFigure("crash: saves interrupted by SIGKILL", interrupted);
  AddFigure("crash: interrupted results loaded by Wine", loaded);

  // A power loss at each of the same points leaves one of the two files Wine loaded above.
  uint64_t durable = 0;
  for (uint64_t i = renamed; i < labels.size() && durable == 0; ++i) {
    if (labels[i].rfind("after fsync folder", 0) == 0) durable = i + 1;
  }
  ASSERT_GT(durable, 0u);
  uint64_t cut = 0;
  for (uint64_t point = 1; point <= labels.size(); ++point) {
    reset();
    {
      FaultFileSystem disk(p::PosixFileSystem());
      InterruptingFileSystem dying(disk, kBigPiece);
      dying.InterruptAt(point, InterruptingFileSystem::Mode::kDie);
      p::UsePrefixRegistry(ours);
      p::SetFileSystem(&dying);
      RepairEdit();
      p::UseMemoryRegistry();
      p::SetFileSystem(nullptr);
      ASSERT_TRUE(dying.Died()) << labels[point - 1];
      disk.Crash();
    }
    const std::string now = ReadFile(ours + "/system.reg");
    ASSERT_TRUE(now == (point < durable ? oldText : newText))
        << "power loss at " << labels[point - 1] << " left " << now.size() << " bytes";
    ++cut;
  }
  AddFigure("crash: saves interrupted by simulated power loss", cut);
}

}  // namespace
}  // namespace oarepair::reliability
