// The repair run over every view of real Wine 8.0 prefixes (copies of tests/fixtures): both
// views of a win64 prefix, the one view of a win32 prefix, a view whose loader is missing, and
// a class key reached through a registry link.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/RepairApp.h"
#include "framework/Seams.h"
#include "platform/registry_control.h"
#include "tests/support/scratch_folder.h"

namespace oarepair::test_support {
namespace {

namespace p = oarepair::platform;

// Section headers of the class key as system.reg writes them, per view of a win64 prefix.
const char kClass64[] = "[Software\\\\Classes\\\\CLSID\\\\{00020420-0000-0000-C000-000000000046}";
const char kClass32[] =
    "[Software\\\\Classes\\\\Wow6432Node\\\\CLSID\\\\{00020420-0000-0000-C000-000000000046}";
const char kMerged[] = "Registry entries successfully merged";

// What the seams saw.
struct Started {
  p::RegistryView view;
  std::string strCommand;
  bool bClass64OnDisk;  // system.reg named the class key in that view when the tool started
  bool bClass32OnDisk;
};
std::vector<Started> s_started;
std::vector<std::string> s_messages;
std::string s_prefix;
bool s_bCan32 = true;
bool s_bCan64 = true;

// The lines of the file that are the class key's own sections, or that follow them.
std::string ClassSections(const std::string& text, const std::string& header) {
  std::string out;
  size_t at = 0;
  while ((at = text.find("\n" + header, at)) != std::string::npos) {
    const size_t end = text.find("\n\n", at + 1);
    out += text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at += header.size();
  }
  return out;
}

UINT RecordStart(LPCSTR pszCmdLine, UINT) {
  const std::string text = ReadFile(s_prefix + "/system.reg");
  s_started.push_back({p::CurrentRegistryView(), pszCmdLine,
                       text.find(kClass64) != std::string::npos,
                       text.find(kClass32) != std::string::npos});
  return 33;
}

BOOL CanStart(std::string* pstrWhy) {
  const bool bCan = p::CurrentRegistryView() == p::RegistryView::k64Bit ? s_bCan64 : s_bCan32;
  if (!bCan) *pstrWhy = "no loader in this test";
  return bCan ? TRUE : FALSE;
}

bool s_bLockFreeAtMessage = false;

int RecordMessage(HWND, LPCSTR pszText, LPCSTR, UINT) {
  s_messages.emplace_back(pszText);
  // Another run must not wait for this one while its message waits for the user.
  const int fd = ::open(s_prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  s_bLockFreeAtMessage = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) ::close(fd);
  return IDOK;
}

class RepairViewsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_scratch.Valid());
    s_started.clear();
    s_messages.clear();
    s_bCan32 = s_bCan64 = true;
    AfxSetWinExecHook(&RecordStart);
    AfxSetCanStartHook(&CanStart);
    AfxSetMessageBoxHook(&RecordMessage);
  }
  void TearDown() override {
    AfxSetWinExecHook(nullptr);
    AfxSetCanStartHook(nullptr);
    AfxSetMessageBoxHook(nullptr);
    p::UseMemoryRegistry();
  }

  // A prefix holding `system` as system.reg, or a copy of a fixture's files.
  void MakePrefix(const std::string& fixture, const std::string& system = "") {
    s_prefix = m_scratch / "prefix";
    ASSERT_EQ(::mkdir(s_prefix.c_str(), 0700), 0);
    for (const char* file : {"system.reg", "user.reg", "userdef.reg"}) {
      std::string text =
          ReadFile(std::string(OAREPAIR_FIXTURES_DIR) + "/wine-8.0/" + fixture + "/" + file);
      if (!system.empty() && std::string(file) == "system.reg") text = system;
      ASSERT_FALSE(text.empty());
      ASSERT_TRUE(WriteFile(s_prefix + "/" + file, text));
    }
    p::UsePrefixRegistry(s_prefix);
  }

  int Run() {
    char szNone[] = "";
    CRepairApp app;
    return AfxWinMain(nullptr, nullptr, szNone, SW_SHOWNORMAL);
  }

  std::string System() const { return ReadFile(s_prefix + "/system.reg"); }

  ScratchFolder m_scratch;
};

TEST_F(RepairViewsTest, AWin64PrefixIsRepairedInBothViewsBeforeEitherToolStarts) {
  MakePrefix("win64-wow64");
  ASSERT_NE(System().find(kClass64), std::string::npos);
  ASSERT_NE(System().find(kClass32), std::string::npos);
  EXPECT_EQ(Run(), 0);
  ASSERT_EQ(s_started.size(), 2u);
  EXPECT_EQ(s_started[0].view, p::RegistryView::k64Bit);
  EXPECT_EQ(s_started[1].view, p::RegistryView::k32Bit);
  for (const Started& start : s_started) {
    EXPECT_EQ(start.strCommand, "RegSvr32 /s OleAut32.dll");
    EXPECT_FALSE(start.bClass64OnDisk);
    EXPECT_FALSE(start.bClass32OnDisk);
  }
  EXPECT_EQ(s_messages, std::vector<std::string>{kMerged});
  EXPECT_TRUE(s_bLockFreeAtMessage) << "the prefix lock is held while the message is shown";
  // Only the class keys went: their neighbours in both views stay.
  EXPECT_NE(System().find("[Software\\\\Classes\\\\CLSID\\\\{00020421-"), std::string::npos);
  EXPECT_NE(System().find("[Software\\\\Classes\\\\Wow6432Node\\\\CLSID\\\\{00020421-"),
            std::string::npos);
}

TEST_F(RepairViewsTest, AViewWhoseToolCannotStartIsLeftUntouchedAndTheRunFails) {
  MakePrefix("win64-wow64");
  const std::string before32 = ClassSections(System(), kClass32);
  ASSERT_FALSE(before32.empty());
  s_bCan32 = false;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Run(), 1);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("32-bit view: left untouched: no loader in this test"), std::string::npos)
      << errors;
  EXPECT_EQ(errors.find("64-bit view"), std::string::npos) << errors;
  ASSERT_EQ(s_started.size(), 1u);
  EXPECT_EQ(s_started[0].view, p::RegistryView::k64Bit);
  EXPECT_EQ(System().find(kClass64), std::string::npos);
  EXPECT_EQ(ClassSections(System(), kClass32), before32);
  ASSERT_EQ(s_messages.size(), 1u);
  EXPECT_NE(s_messages[0], kMerged);

  // The other way round: the 64-bit view is kept, the 32-bit one repaired.
  s_started.clear();
  s_messages.clear();
  p::UseMemoryRegistry();
  ASSERT_EQ(::unlink((s_prefix + "/system.reg").c_str()), 0);
  ASSERT_EQ(::unlink((s_prefix + "/user.reg").c_str()), 0);
  ASSERT_EQ(::unlink((s_prefix + "/userdef.reg").c_str()), 0);
  ASSERT_EQ(::rmdir(s_prefix.c_str()), 0);
  MakePrefix("win64-wow64");
  const std::string before64 = ClassSections(System(), kClass64);
  s_bCan32 = true;
  s_bCan64 = false;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Run(), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("64-bit view: left untouched"),
            std::string::npos);
  ASSERT_EQ(s_started.size(), 1u);
  EXPECT_EQ(s_started[0].view, p::RegistryView::k32Bit);
  EXPECT_EQ(ClassSections(System(), kClass64), before64);
  EXPECT_EQ(System().find(kClass32), std::string::npos);
}

TEST_F(RepairViewsTest, AClassKeyThatCannotBeRemovedIsReportedWithWhatItStillHolds) {
  std::string system =
      ReadFile(std::string(OAREPAIR_FIXTURES_DIR) + "/wine-8.0/win32/system.reg");
  system += "\n[Software\\\\Classes\\\\CLSID\\\\{00020420-0000-0000-C000-000000000046}\\\\~Deleted] "
            "1796741013\n#time=1dd8722800703ec\n";
  MakePrefix("win32", system);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Run(), 1);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("32-bit view: the class key could not be removed; it still holds the "
                        "subkeys \"~Deleted\""),
            std::string::npos)
      << errors;
  EXPECT_TRUE(s_bLockFreeAtMessage);
}

TEST_F(RepairViewsTest, AWin32PrefixHasOneViewServedByThe32BitTool) {
  MakePrefix("win32");
  ASSERT_NE(System().find(kClass64), std::string::npos);  // no Wow6432Node: the one class key
  s_bCan64 = false;  // no 64-bit Wine is needed for a win32 prefix
  EXPECT_EQ(Run(), 0);
  ASSERT_EQ(s_started.size(), 1u);
  EXPECT_EQ(s_started[0].view, p::RegistryView::k32Bit);
  EXPECT_EQ(System().find("{00020420-0000-0000-C000-000000000046}]"), std::string::npos);
  EXPECT_EQ(s_messages, std::vector<std::string>{kMerged});
}

TEST_F(RepairViewsTest, AMissing32BitHalfNeedsNo32BitTool) {
  // A win64 prefix whose 32-bit half was never made: the 32-bit view then sees the 64-bit keys,
  // whose class key the 64-bit pass removed.
  std::string system = ReadFile(std::string(OAREPAIR_FIXTURES_DIR) + "/wine-8.0/win64-wow64/system.reg");
  std::string kept;
  size_t at = 0;
  while (at < system.size()) {
    size_t end = system.find("\n\n", at + 1);
    if (end == std::string::npos) end = system.size();
    const std::string section = system.substr(at, end - at);
    if (section.find("Wow6432Node") == std::string::npos) kept += section;
    at = end;
  }
  kept += "\n";
  MakePrefix("win64-wow64", kept);
  ASSERT_EQ(System().find("Wow6432Node"), std::string::npos);
  s_bCan32 = false;
  EXPECT_EQ(Run(), 0);
  ASSERT_EQ(s_started.size(), 1u);
  EXPECT_EQ(s_started[0].view, p::RegistryView::k64Bit);
  EXPECT_EQ(s_messages, std::vector<std::string>{kMerged});
}

// A hand-made prefix whose CLSID key is a link, as Wine follows links.
std::string LinkedPrefix(const std::string& target) {
  std::string hex;
  for (unsigned char c : target) {
    char pair[8];
    std::snprintf(pair, sizeof(pair), "%s%02x,00", hex.empty() ? "" : ",", c);
    hex += pair;
  }
  return "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win32\n"
         "\n[Software\\\\Classes\\\\CLSID] 1796741013\n#time=1dd8722800703ec\n#link\n"
         "\"SymbolicLinkValue\"=hex(6):" + hex + "\n"
         "\n[Software\\\\Classes\\\\RealCLSID\\\\{00020420-0000-0000-C000-000000000046}\\\\"
         "InprocServer32] 1796741013\n#time=1dd8722800703ec\n@=\"bogus.dll\"\n"
         "\n[Software\\\\Classes\\\\RealCLSID\\\\{00020421-0000-0000-C000-000000000046}] "
         "1796741013\n#time=1dd8722800703ec\n";
}

TEST_F(RepairViewsTest, AClassKeyReachedThroughALinkIsDeletedInTheLinksTarget) {
  MakePrefix("win32", LinkedPrefix("\\REGISTRY\\Machine\\Software\\Classes\\RealCLSID"));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(System().find("{00020420-"), std::string::npos);
  EXPECT_NE(System().find("RealCLSID\\\\{00020421-"), std::string::npos);
  EXPECT_NE(System().find("[Software\\\\Classes\\\\CLSID] 1796741013\n#time=1dd8722800703ec\n#link"),
            std::string::npos);
  EXPECT_EQ(s_messages, std::vector<std::string>{kMerged});
}

TEST_F(RepairViewsTest, ALinkThatCannotBeFollowedIsNotTakenForAGoneKey) {
  MakePrefix("win32", LinkedPrefix("\\Registry\\User\\S-1-5-21-0-0-0-1000\\Software\\Classes"));
  const std::string before = System();
  testing::internal::CaptureStderr();
  EXPECT_EQ(Run(), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("32-bit view"), std::string::npos);
  EXPECT_EQ(System(), before);
}

}  // namespace
}  // namespace oarepair::test_support
