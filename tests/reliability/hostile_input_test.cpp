// Hostile input and permissions: a prefix that belongs to another user is refused, as Wine
// refuses it; malformed registry files are refused and never rewritten; the temp file of a save
// is private while it is written and the saved file keeps its mode and owner; and key names with
// control characters, quotes, brackets, non-ASCII text and the longest allowed length survive a
// round trip through Wine in both directions.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "platform/names.h"
#include "platform/registry_control.h"
#include "platform/win32.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/scratch_key.h"

namespace oarepair::reliability {
namespace {

namespace p = oarepair::platform;
using test_support::ReadFile;
using test_support::WriteFile;

constexpr uid_t kNobody = 65534;

struct FileId {
  ino_t inode = 0;
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};
FileId IdOf(const std::string& path) {
  struct stat st {};
  FileId id;
  if (::stat(path.c_str(), &st) == 0) id = {st.st_ino, st.st_mode & 07777, st.st_uid, st.st_gid};
  return id;
}

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.Valid());
    m_prefix = m_dir.Path();
    m_old = MachineHiveText(40);
    ASSERT_TRUE(WritePrefixFiles(m_prefix, m_old));
    p::UseMemoryRegistry();
  }
  void TearDown() override {
    ::chown(m_prefix.c_str(), ::getuid(), ::getgid());
    p::SetFileSystem(nullptr);
    p::UseMemoryRegistry();
  }
  std::vector<std::string> Stray() const { return StrayNames(m_prefix, {"system.reg", "user.reg"}); }

  FastScratchFolder m_dir;
  std::string m_prefix;
  std::string m_old;
};

// ------------------------------------------------------------------------------------------------
// Ownership

TEST_F(HostileInputTest, PrefixOfAnotherUserIsRefusedAsWineRefusesIt) {
  if (::getuid() == kNobody) GTEST_SKIP() << "runs as the user it would hand the prefix to";
  ASSERT_EQ(0, ::chown(m_prefix.c_str(), kNobody, kNobody));
  const FileId before = IdOf(m_prefix + "/system.reg");

  p::UsePrefixRegistry(m_prefix);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Intruder", &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CLASSES_ROOT, kDispatchClassPath));
  EXPECT_EQ(ERROR_SUCCESS, p::FlushRegistry());
  p::UseMemoryRegistry();
  EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_old);
  EXPECT_EQ(before.inode, IdOf(m_prefix + "/system.reg").inode);
  EXPECT_EQ(std::vector<std::string>{}, Stray());
  AddFigure("hostile: calls refused on a prefix of another user", 3);

#ifdef OAREPAIR_HAVE_APP
  std::string output;
  EXPECT_EQ(1, RunProgram({OAREPAIR_PROGRAM}, {"WINEPREFIX=" + m_prefix, "WINE=/bin/true"},
                          &output, 60))
      << output;
  EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == m_old);
#endif

  std::string why;
  if (!WineAvailable(&why)) GTEST_SKIP() << "Wine is not usable, its own refusal is not compared: "
                                         << why;
  std::string output2;
  const int rc = RunWine(m_prefix, {"reg", "query", "HKLM\\Software"}, &output2);
  EXPECT_NE(0, rc);
  EXPECT_NE(std::string::npos, output2.find("is not owned by you")) << output2;
}

// ------------------------------------------------------------------------------------------------
// Malformed files

TEST_F(HostileInputTest, MalformedFilesAreRefusedAndNeverRewritten) {
  const std::string header = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n"
                             "#arch=win64\n";
  const std::string good = "\n[Software\\\\Classes\\\\CLSID\\\\{X}] 1700000000\n#time=1d9\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"byte-order mark", "\xEF\xBB\xBF" + header + good},
      {"wrong first line", "WINE REGISTRY Version 1\n" + good},
      {"empty file", ""},
      {"NUL byte", header + good + "\"a\"=\"b\0c\"\n"},
      {"key path without ']'", header + "\n[Software\\\\Classes\\\\CLSID 1700000000\n"},
      {"truncated in a string", header + good + "\"Name\"=\"unterminated\n"},
      {"hex data running off the end", header + good + "\"Bin\"=hex:01,02,\\\n"},
      {"over-long key name", header + "\n[Software\\\\" + std::string(300, 'n') + "] 1700000000\n"},
      {"value before any key", header + "\"Orphan\"=\"value\"\n" + good},
      {"garbage line", header + good + "this is not a registry line\n"},
  };
  uint64_t refused = 0;
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(WriteFile(m_prefix + "/system.reg", text));
    const FileId before = IdOf(m_prefix + "/system.reg");
    p::UsePrefixRegistry(m_prefix);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_BADDB, RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &key));
    EXPECT_EQ(ERROR_BADDB, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Added", &key));
    EXPECT_EQ(ERROR_SUCCESS, p::FlushRegistry());
    p::UseMemoryRegistry();
    EXPECT_TRUE(ReadFile(m_prefix + "/system.reg") == text);
    EXPECT_EQ(before.inode, IdOf(m_prefix + "/system.reg").inode);
    EXPECT_EQ(std::vector<std::string>{}, Stray());
    std::string why;
    EXPECT_FALSE(ParsesAsHive(text, &why));
    ++refused;
  }
  AddFigure("hostile: malformed files refused and left untouched", refused);
}

// ------------------------------------------------------------------------------------------------
// Permissions of the save

// Watches every write of a save: the file written must be readable by its owner only.
class PrivacyWatcher final : public test_support::ForwardingFileSystem {
 public:
  explicit PrivacyWatcher(p::FileSystem& base) : ForwardingFileSystem(base) {}
  uint64_t Writes() const { return m_writes; }
  uint64_t Exposed() const { return m_exposed; }

  int Write(int fd, const void* buf, size_t n) override {
    struct stat st {};
    if (m_base.FStat(fd, &st) == 0) {
      ++m_writes;
      if ((st.st_mode & 077) != 0) ++m_exposed;
    }
    return m_base.Write(fd, buf, n);
  }

 private:
  uint64_t m_writes = 0;
  uint64_t m_exposed = 0;
};

TEST_F(HostileInputTest, TempFileIsPrivateAndSavedFileKeepsModeAndOwner) {
  const mode_t oldMask = ::umask(0);  // the most permissive mask: the privacy must not rely on it
  uint64_t saves = 0;
  for (mode_t mode : {0600, 0640, 0644, 0604, 0664, 0444}) {
    for (const auto& [uid, gid] : std::vector<std::pair<uid_t, gid_t>>{
             {::getuid(), ::getgid()}, {kNobody, kNobody}, {1000, 100}}) {
      SCOPED_TRACE("mode " + std::to_string(mode) + " owner " + std::to_string(uid) + ":" +
                   std::to_string(gid));
      ASSERT_TRUE(WritePrefixFiles(m_prefix, m_old));
      const std::string path = m_prefix + "/system.reg";
      if (::chown(path.c_str(), uid, gid) != 0) {
        ADD_FAILURE() << "cannot give the file away (not running as root?)";
        continue;
      }
      ASSERT_EQ(0, ::chmod(path.c_str(), mode));
      const FileId before = IdOf(path);

      PrivacyWatcher watcher(p::PosixFileSystem());
      p::UsePrefixRegistry(m_prefix);
      p::SetFileSystem(&watcher);
      HKEY key = nullptr;
      ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Saved", &key));
      EXPECT_EQ(ERROR_SUCCESS, p::FlushRegistry());
      EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
      p::SetFileSystem(nullptr);
      p::UseMemoryRegistry();

      const FileId after = IdOf(path);
      EXPECT_NE(before.inode, after.inode) << "the file was not replaced";
      EXPECT_GT(watcher.Writes(), 0u);
      EXPECT_EQ(0u, watcher.Exposed()) << "the temp file was readable by others while written";
      EXPECT_EQ(mode, after.mode);
      EXPECT_EQ(uid, after.uid);
      EXPECT_EQ(gid, after.gid);
      EXPECT_NE(std::string::npos, ReadFile(path).find("[Software\\\\Saved]"));
      EXPECT_EQ(std::vector<std::string>{}, Stray());
      ++saves;
    }
  }
  ::umask(oldMask);
  AddFigure("hostile: saves checked for temp privacy, mode and owner", saves);
}

// ------------------------------------------------------------------------------------------------
// Odd key names

// Names in the narrow API's code page (Windows-1252) that the file format must escape or keep:
// every control character, quotes, brackets, '=' and ';', spaces at the ends, the whole upper
// half of the code page, and names of the longest length Wine accepts (256).
std::vector<std::string> OddNames(bool withLineBreaks) {
  std::vector<std::string> names;
  for (int c = 1; c < 32; ++c) {
    if (!withLineBreaks && (c == '\n' || c == '\r')) continue;
    names.push_back("ctl" + std::to_string(c) + "-" + std::string(1, static_cast<char>(c)) + "7");
  }
  names.push_back("del\x7f");
  names.push_back("quo\"te");
  names.push_back("br[ack]et");
  names.push_back("]lead[");
  names.push_back("[]");
  names.push_back("semi;colon=eq");
  names.push_back(" lead and trail ");
  names.push_back("@");
  names.push_back("#time=0");
  for (int start = 0x80; start < 0x100; start += 16) {
    std::string name = "hi" + std::to_string(start) + "-";
    for (int c = start; c < start + 16; ++c) name += static_cast<char>(c);
    names.push_back(name);
  }
  names.push_back(std::string(256, 'L'));
  names.push_back(std::string(255, 'M') + "\xe9");
  return names;
}

std::set<std::string> ListNarrow(HKEY root, const std::string& path) {
  const std::vector<std::string> list = test_support::ListSubKeys(root, path);
  return std::set<std::string>(list.begin(), list.end());
}

TEST_F(HostileInputTest, OddNamesSurviveOurSaveAndReload) {
  const std::vector<std::string> names = OddNames(true);
  p::UsePrefixRegistry(m_prefix);
  HKEY parent = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\OddNames", &parent));
  for (const std::string& name : names) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(parent, name.c_str(), &key)) << name;
    RegCloseKey(key);
  }
  // One unit longer than Wine allows: refused, and nothing of it is written.
  HKEY tooLong = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyA(parent, std::string(257, 'T').c_str(), &tooLong));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(parent));
  p::UseMemoryRegistry();

  const std::string text = ReadFile(m_prefix + "/system.reg");
  std::string why;
  EXPECT_TRUE(ParsesAsHive(text, &why)) << why;
  for (unsigned char c : text) {
    EXPECT_TRUE(c == '\n' || (c >= 0x20 && c <= 0x7f)) << "raw byte " << int(c) << " written";
    if (HasFailure()) break;
  }
  EXPECT_EQ(std::string::npos, text.find(std::string(257, 'T')));

  p::UsePrefixRegistry(m_prefix);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            ListNarrow(HKEY_LOCAL_MACHINE, "Software\\OddNames"));
  AddFigure("hostile: odd key names round-tripped through our files", names.size());
}

// Both directions through Wine: names we create are the names Wine exports, and names Wine
// imports (including text outside Windows-1252) are listed by us and kept exactly by our save.
TEST_F(HostileInputTest, OddNamesRoundTripThroughWine) {
  std::string why;
  if (!WineAvailable(&why)) GTEST_SKIP() << "Wine is not usable: " << why;
  const std::string prefix = m_dir / "wine";
  ASSERT_EQ(0, ::mkdir(prefix.c_str(), 0755));
  ASSERT_TRUE(MakeWinePrefix(prefix, &why)) << why;
  struct Stop {
    std::string prefix;
    ~Stop() { KillWineserver(prefix); }
  } stop{prefix};

  // Ours -> Wine. Line breaks are left out: Wine's .reg export writes them raw inside a line.
  const std::vector<std::string> ours = OddNames(false);
  p::UsePrefixRegistry(prefix);
  for (const std::string& name : ours) {
    ASSERT_TRUE(test_support::CreateKeyPath(HKEY_LOCAL_MACHINE, "Software\\OarepairOdd"))
        << "cannot create the parent";
    HKEY parent = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\OarepairOdd", 0, KEY_ALL_ACCESS, &parent));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(parent, name.c_str(), &key)) << name;
    RegCloseKey(key);
    RegCloseKey(parent);
  }
  p::UseMemoryRegistry();
  std::vector<std::u16string> exported;
  ASSERT_TRUE(WineExportedSubKeys(prefix, "HKLM\\Software\\OarepairOdd", &exported, &why)) << why;
  std::set<std::u16string> expected;
  for (const std::string& name : ours) expected.insert(p::NarrowToWide(name));
  EXPECT_EQ(expected, std::set<std::u16string>(exported.begin(), exported.end()));

  // Wine -> ours: a .reg file imported by Wine, in UTF-16.
  const std::vector<std::u16string> theirs = {
      u"caf\u00e9\u20ac",        u"\u00ff\u00fe-edge",      u"quo\"te[]",
      u"ctl\u0001\u001f\t-x",    u"\u4e2d\u6587-wide",      u"emoji-\U0001F600",
      u"A\u0100-latin-ext",      u"sp ace ",                std::u16string(256, u'W'),
  };
  std::u16string reg = u"\ufeffWindows Registry Editor Version 5.00\r\n\r\n";
  for (const std::u16string& name : theirs) {
    reg += u"[HKEY_LOCAL_MACHINE\\Software\\OarepairWine\\" + name + u"]\r\n\r\n";
  }
  std::string bytes;
  for (char16_t unit : reg) {
    bytes += static_cast<char>(unit & 0xff);
    bytes += static_cast<char>(unit >> 8);
  }
  ASSERT_TRUE(WriteFile(prefix + "/drive_c/oarepair-import.reg", bytes));
  std::string output;
  ASSERT_EQ(0, RunWine(prefix, {"reg", "import", "C:\\oarepair-import.reg"}, &output)) << output;
  KillWineserver(prefix);

  p::UsePrefixRegistry(prefix);
  std::set<std::string> narrow;
  for (const std::u16string& name : theirs) narrow.insert(p::WideToNarrow(name));
  EXPECT_EQ(narrow, ListNarrow(HKEY_LOCAL_MACHINE, "Software\\OarepairWine"));
  // A change of ours beside them: their sections are written back untouched.
  HKEY added = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\OarepairWine\\AddedByUs", &added));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(added));
  // And one of theirs deleted by us.
  EXPECT_EQ(ERROR_SUCCESS,
            RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                          ("Software\\OarepairWine\\" + p::WideToNarrow(theirs[0])).c_str()));
  p::UseMemoryRegistry();

  ASSERT_TRUE(WineExportedSubKeys(prefix, "HKLM\\Software\\OarepairWine", &exported, &why)) << why;
  std::set<std::u16string> after(theirs.begin() + 1, theirs.end());
  after.insert(u"AddedByUs");
  EXPECT_EQ(after, std::set<std::u16string>(exported.begin(), exported.end()));
  AddFigure("hostile: odd key names round-tripped through Wine", ours.size() + theirs.size());
}

}  // namespace
}  // namespace oarepair::reliability
