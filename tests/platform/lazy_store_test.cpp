// The registry over a prefix's files makes keys only where a session goes, and what it saves does
// not depend on how much of the file it made: the same changes give the same file as from a
// tree of every key, whether the session saw one path or all of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/hive_file.h"
#include "platform/names.h"
#include "platform/reg_text.h"
#include "platform/reg_node.h"
#include "platform/registry_control.h"
#include "platform/win32.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/hive_image.h"
#include "tests/support/reg_fixture.h"
#include "tests/support/scratch_folder.h"

namespace {

namespace p = oarepair::platform;
namespace ts = oarepair::test_support;
using oarepair::test_support::ReadFile;
using oarepair::test_support::RegFileHeader;
using oarepair::test_support::RegSection;
using oarepair::test_support::ScratchFolder;
using oarepair::test_support::WriteFile;

// Opens and lists every key below `key`, so that every one of them is in memory.
void TouchAll(HKEY key) {
  char name[300];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key, name, 0, KEY_READ, &sub), ERROR_SUCCESS) << name;
    TouchAll(sub);
    RegCloseKey(sub);
  }
}

constexpr uint64_t kNow = 133500000000000000ULL;

// The same changes made to a whole tree parsed from the file, as the registry makes them: a new
// key and its parent take the time of the change, and only a key without subkeys is deleted.
void ApplyToImage(ts::HiveImage* image, const std::string& op) {
  const std::u16string path = p::NarrowToWide(op.substr(1));
  p::RegNode* node = image->root.get();
  for (std::u16string_view name : p::SplitKeyPath(path)) {
    p::RegNode* child = node->children.Find(name);
    if (child == nullptr) {
      if (op[0] == '-') return;
      auto fresh = p::MakeNode(name);
      fresh->parent = node;
      fresh->time = kNow;
      child = fresh.get();
      node->children.Insert(std::move(fresh));
      node->time = kNow;
    }
    node = child;
  }
  if (op[0] == '+' || !node->children.empty()) return;
  ts::RemoveSections(image, node);
  node->deleted = true;
  node->parent->time = kNow;
  node->parent->children.Erase(node);
}

std::string WriteImage(const ts::HiveImage& image, const std::string& original) {
  std::string out;
  const p::HiveByteSource source = [&](uint64_t offset, uint64_t length, std::string* piece) {
    piece->assign(original, offset, length);
    return 0;
  };
  const p::HiveByteSink sink = [&](const char* data, size_t size) {
    out.append(data, size);
    return 0;
  };
  EXPECT_EQ(ts::WriteHive(image, source, sink), 0);
  return out;
}

class LazyStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_prefix.Valid());
    p::SetClock([] { return kNow; });
    p::SetFileSystem(nullptr);
  }
  void TearDown() override { p::UseMemoryRegistry(); }

  // Runs `ops` (lines "+path" to create, "-path" to delete) over a fresh copy of `system`, in one
  // session; with `everything`, after making every key; with `saveEach`, saving after every
  // change, so that later saves start from a file the session has already replaced. Returns the
  // saved system.reg.
  std::string Apply(const std::string& system, const std::vector<std::string>& ops,
                    bool everything, bool saveEach = false) {
    WriteFile(m_prefix / "system.reg", system);
    WriteFile(m_prefix / "user.reg", RegFileHeader());
    p::UsePrefixRegistry(m_prefix.Path());
    p::HoldRegistrySession(true);
    if (everything) TouchAll(HKEY_LOCAL_MACHINE);
    for (const std::string& op : ops) {
      const std::string path = op.substr(1);
      if (op[0] == '+') {
        HKEY h = nullptr;
        EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &h), ERROR_SUCCESS) << path;
        RegCloseKey(h);
      } else {
        const LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
        EXPECT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ||
                    rc == ERROR_ACCESS_DENIED)
            << path << ": " << rc;
      }
      if (saveEach) {
        EXPECT_EQ(p::FlushRegistry(), ERROR_SUCCESS) << path;
      }
    }
    p::HoldRegistrySession(false);
    return ReadFile(m_prefix / "system.reg");
  }

  ScratchFolder m_prefix;
};

TEST_F(LazyStoreTest, ASessionMakesOnlyTheKeysOnItsPathUntilItLists) {
  std::string system = RegFileHeader("REGISTRY\\\\Machine");
  for (int i = 0; i < 3000; ++i)
    system += RegSection("Software\\\\Classes\\\\CLSID\\\\{" + std::to_string(10000 + i) +
                             "}\\\\InprocServer32",
                         1700000000, "@=\"x.dll\"\n");
  WriteFile(m_prefix / "system.reg", system);
  WriteFile(m_prefix / "user.reg", RegFileHeader());
  p::UsePrefixRegistry(m_prefix.Path());
  const size_t before = p::TreeBlocksInUse();
  HKEY clsid = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &clsid), ERROR_SUCCESS);
  HKEY one = nullptr;
  ASSERT_EQ(RegOpenKeyExA(clsid, "{11500}\\inprocserver32", 0, KEY_READ, &one), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(clsid, "{19999}", 0, KEY_READ, &one), ERROR_FILE_NOT_FOUND);
  EXPECT_LT(p::TreeBlocksInUse() - before, 40u);  // a few keys on the path, not 6000
  char name[64];
  DWORD size = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(clsid, 2999, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "{12999}");
  EXPECT_GT(p::TreeBlocksInUse() - before, 3000u);  // listing makes every subkey
  RegCloseKey(clsid);
}

TEST_F(LazyStoreTest, ANameIsFoundUnderAnySpellingAndKeepsTheFilesFirstOne) {
  const std::string system =
      RegFileHeader("REGISTRY\\\\Machine") +
      RegSection("Software\\\\Mixed\\\\\\xc4ste\\\\Leaf", 1700000000) +
      RegSection("Software\\\\MIXED\\\\\\xe4STE", 1700000001, "@=\"v\"\n");
  WriteFile(m_prefix / "system.reg", system);
  WriteFile(m_prefix / "user.reg", RegFileHeader());
  p::UsePrefixRegistry(m_prefix.Path());
  HKEY key = nullptr;
  // "\xe4" is a-umlaut in the narrow code page; Wine folds it with its capital.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\mixed\\\xe4ste", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);
  HKEY mixed = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\mixed", 0, KEY_READ, &mixed),
            ERROR_SUCCESS);
  char name[64];
  DWORD size = sizeof name;
  FILETIME time{};
  ASSERT_EQ(RegEnumKeyExA(mixed, 0, name, &size, nullptr, nullptr, nullptr, &time),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "\xc4ste");  // as the first header that names it spells it
  // An implied key takes the time of the first section below it.
  const uint64_t ticks = (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  EXPECT_EQ(ticks, 1700000000ULL * 10000000ULL + 116444736000000000ULL);
  RegCloseKey(mixed);
}

TEST_F(LazyStoreTest, ChangesSaveAsTheyWouldFromTheWholeTree) {
  // Sections out of Wine's order, repeated, implied keys and a subtree before its parent: where
  // a new section goes depends on keys the session never reached.
  const std::string system =
      RegFileHeader("REGISTRY\\\\Machine") +
      RegSection("Software\\\\B\\\\x", 1700000001, "@=\"1\"\n") +
      RegSection("Software\\\\A", 1700000002) +
      RegSection("Software\\\\D\\\\q\\\\r", 1700000003) +
      RegSection("Software\\\\B", 1700000004, "\"v\"=dword:00000001\n") +
      RegSection("Software\\\\C\\\\y", 1700000005) +
      RegSection("Software\\\\A\\\\z", 1700000006) +
      RegSection("Software\\\\b", 1700000007, "\"w\"=\"again\"\n") +
      RegSection("Software\\\\C\\\\a\\\\deep", 1700000008) +
      RegSection("System\\\\Other", 1700000009);
  const std::vector<std::string> names = {"Software\\A",        "Software\\A\\z",
                                          "Software\\B\\x",     "Software\\C\\y",
                                          "Software\\C\\a\\deep", "Software\\C\\a",
                                          "Software\\C",        "Software\\D\\q\\r",
                                          "Software\\D\\q",     "Software\\AA",
                                          "Software\\B\\w",     "Software\\E\\new",
                                          "Software\\A\\a",     "Software\\C\\b",
                                          "System\\Other",      "System\\A"};
  std::mt19937 random(12345);
  for (int round = 0; round < 60; ++round) {
    std::vector<std::string> ops;
    const int count = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < count; ++i)
      ops.push_back((random() % 2 == 0 ? "+" : "-") + names[random() % names.size()]);
    const std::string lazy = Apply(system, ops, false);
    const std::string touched = Apply(system, ops, true);
    const std::string savedEach = Apply(system, ops, round % 2 == 0, true);
    ts::HiveImage tree;
    p::HiveParseError treeError;
    ASSERT_EQ(ts::ParseHiveText(system, &tree, &treeError), p::HiveParseStatus::kOk);
    for (const std::string& op : ops) ApplyToImage(&tree, op);
    std::string what;
    for (const std::string& op : ops) what += op + " ";
    ASSERT_EQ(lazy, WriteImage(tree, system)) << what;
    ASSERT_EQ(touched, lazy) << what;
    ASSERT_EQ(savedEach, lazy) << what;
    ts::HiveImage image;
    p::HiveParseError error;
    ASSERT_EQ(ts::ParseHiveText(lazy, &image, &error), p::HiveParseStatus::kOk) << error.message;
  }
}

// The real file system, noting the largest read asked of it.
class LargestRead final : public ts::ForwardingFileSystem {
 public:
  LargestRead() : ForwardingFileSystem(p::PosixFileSystem()) {}
  int PRead(int fd, void* buf, size_t n, uint64_t offset, size_t* got) override {
    largest = std::max(largest, n);
    return m_base.PRead(fd, buf, n, offset, got);
  }
  size_t largest = 0;
};

// Keys are read back from the file in pieces that start small and grow as a session reads more:
// looking up a key of a small file reads no more than the file, and deleting a large tree key by
// key soon reads a mebibyte at a time. (Fresh memory for a large piece costs more than reading
// the page cache again.)
TEST_F(LazyStoreTest, KeysAreReadBackInPiecesThatGrowWithTheSession) {
  std::string system = RegFileHeader("REGISTRY\\Machine");
  for (int i = 0; i < 200; ++i)  // 12 KB: more than the load's smallest read
    system += RegSection("Software\\\\Small\\\\K" + std::to_string(100 + i), 1700000000);
  WriteFile(m_prefix / "system.reg", system);
  WriteFile(m_prefix / "user.reg", RegFileHeader());
  LargestRead fs;
  p::SetFileSystem(&fs);
  p::UsePrefixRegistry(m_prefix.Path());
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Small\\K117", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_LE(fs.largest, system.size() + 1);  // the load asks for one byte more, to see the end

  for (int i = 0; i < 20000; ++i)
    system += RegSection("Software\\\\Big\\\\K" + std::to_string(100000 + i), 1700000000,
                         "@=\"" + std::string(100, 'v') + "\"\n");
  WriteFile(m_prefix / "system.reg", system);
  p::UsePrefixRegistry(m_prefix.Path());
  fs.largest = 0;
  HKEY big = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Big", 0, KEY_ALL_ACCESS, &big),
            ERROR_SUCCESS);
  char name[64];
  for (;;) {  // the first subkey each time, as a tree is deleted
    DWORD size = sizeof name;
    if (RegEnumKeyExA(big, 0, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    ASSERT_EQ(RegDeleteKeyA(big, name), ERROR_SUCCESS) << name;
  }
  RegCloseKey(big);
  EXPECT_GE(fs.largest, size_t{1} << 20);
  p::SetFileSystem(nullptr);
}

TEST(HashKeyName, NamesWineTakesForOneHashAlike) {
  const std::vector<std::pair<std::u16string, std::u16string>> same = {
      {u"InprocServer32", u"INPROCSERVER32"},
      {u"{00020420-0000-0000-C000-000000000046}", u"{00020420-0000-0000-c000-000000000046}"},
      {u"\u00C4ste", u"\u00E4STE"},
      {u"ab\u0410cdefg", u"AB\u0430CDEFG"},  // a non-ASCII unit inside a group of four
      {u"", u""},
  };
  for (const auto& [a, b] : same) {
    ASSERT_TRUE(p::NamesEqual(a, b));
    EXPECT_EQ(p::HashKeyName(a), p::HashKeyName(b));
  }
  // '@' and '[' lie just outside 'A'..'Z'; the Kelvin sign is not folded to 'k' by Wine.
  EXPECT_NE(p::HashKeyName(u"@"), p::HashKeyName(u"`"));
  EXPECT_NE(p::HashKeyName(u"["), p::HashKeyName(u"{"));
  EXPECT_NE(p::HashKeyName(u"\u212A"), p::HashKeyName(u"k"));
  EXPECT_NE(p::HashKeyName(u"ab"), p::HashKeyName(std::u16string(u"ab\0", 3)));
}

}  // namespace
