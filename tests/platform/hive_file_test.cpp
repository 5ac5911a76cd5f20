// Reading and writing Wine registry files: section boundaries, the key tree, refusal of
// malformed files, streaming, byte-exact round trips, deletion and creation of keys, and
// agreement with Wine itself on files it wrote and on files it reads back.
#include "platform/hive_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/names.h"
#include "platform/reg_text.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/hive_image.h"
#include "tests/support/reg_fixture.h"
#include "tests/support/scratch_folder.h"

namespace oarepair::platform {
namespace {

std::u16string Str(std::u16string_view name) { return std::u16string(name); }

using test_support::FileTimeOfSeconds;
using test_support::HiveImage;
using test_support::HiveSection;
using test_support::ParseHiveFile;
using test_support::ParseHiveText;
using test_support::RemoveSections;
using test_support::WriteHive;
using test_support::RegFileHeader;
using test_support::RegSection;

// --- Helpers

std::string Narrow(std::u16string_view text) { return Escape(text, EscapeContext::kString); }

std::u16string Widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

HiveImage Parse(std::string_view text) {
  HiveImage image;
  HiveParseError error;
  const HiveParseStatus status = ParseHiveText(text, &image, &error);
  EXPECT_EQ(status, HiveParseStatus::kOk) << error.message;
  return image;
}

RegNode* FindKey(const HiveImage& image, std::u16string_view path) {
  RegNode* node = image.root.get();
  for (std::u16string_view name : SplitKeyPath(path)) {
    if (node == nullptr) return nullptr;
    node = node->children.Find(name);
  }
  return node;
}

void CollectPaths(const RegNode* node, const std::u16string& path, std::vector<std::u16string>* out) {
  node->children.ForEach([&](const RegNode* child) {
    const std::u16string childPath =
        path.empty() ? Str(child->name()) : path + u"\\" + Str(child->name());
    out->push_back(childPath);
    CollectPaths(child, childPath, out);
  });
}

// Every key below `from` (implied ones included), as paths relative to the branch root.
std::vector<std::u16string> KeyPaths(const HiveImage& image, std::u16string_view from = u"") {
  std::vector<std::u16string> paths;
  const RegNode* start = FindKey(image, from);
  if (start != nullptr) CollectPaths(start, std::u16string(from), &paths);
  return paths;
}

std::set<std::u16string> KeySet(const HiveImage& image, std::u16string_view from = u"") {
  const auto paths = KeyPaths(image, from);
  return std::set<std::u16string>(paths.begin(), paths.end());
}

// Where a key's sections stand, following its chain and skipping removed ones.
std::string SectionText(const HiveImage& image, std::string_view text, size_t index) {
  const HiveSection& s = image.sections[index];
  return std::string(text.substr(s.offset, s.length));
}

int WriteToString(const HiveImage& image, std::string_view original, std::string* out) {
  out->clear();
  const HiveByteSource source = [original](uint64_t offset, uint64_t length, std::string* piece) {
    if (offset > original.size() || length > original.size() - offset) return EIO;
    piece->assign(original.data() + offset, length);
    return 0;
  };
  const HiveByteSink sink = [out](const char* data, size_t size) {
    out->append(data, size);
    return 0;
  };
  return WriteHive(image, source, sink);
}

std::string Rewrite(const HiveImage& image, std::string_view original) {
  std::string out;
  EXPECT_EQ(WriteToString(image, original, &out), 0);
  return out;
}

// What the registry does when it creates a key: new keys get `now`, and so does the first
// existing ancestor.
RegNode* CreateKey(HiveImage* image, std::u16string_view path, uint64_t now) {
  RegNode* node = image->root.get();
  bool touched = false;
  for (std::u16string_view name : SplitKeyPath(path)) {
    RegNode* child = node->children.Find(name);
    if (child == nullptr) {
      if (!touched) node->time = now;
      touched = true;
      auto fresh = MakeNode(name);
      fresh->parent = node;
      fresh->time = now;
      child = fresh.get();
      node->children.Insert(std::move(fresh));
    }
    node = child;
  }
  return node;
}

// What the registry does when it deletes a key without subkeys.
void DeleteKey(HiveImage* image, std::u16string_view path, uint64_t now) {
  RegNode* node = FindKey(*image, path);
  ASSERT_NE(node, nullptr) << Narrow(path);
  ASSERT_TRUE(node->children.empty()) << Narrow(path);
  RegNode* parent = node->parent;
  RemoveSections(image, node);
  node->deleted = true;
  parent->time = now;
  parent->children.Erase(node);
}

// Deletes a key and everything below it, deepest keys first.
void DeleteTree(HiveImage* image, const std::u16string& path, uint64_t now) {
  RegNode* node = FindKey(*image, path);
  ASSERT_NE(node, nullptr);
  std::vector<std::u16string> below;
  CollectPaths(node, path, &below);
  std::reverse(below.begin(), below.end());  // pre-order reversed: children before parents
  for (const auto& p : below) DeleteKey(image, p, now);
  DeleteKey(image, path, now);
}

size_t CountLinesStartingWith(const std::string& text, const std::string& start) {
  size_t count = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    if (text.compare(pos, start.size(), start) == 0) ++count;
    const size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  return count;
}

// A FileSystem that hands out at most `max` bytes per read, to cut lines at every position.
class ChoppyFileSystem final : public FileSystem {
 public:
  explicit ChoppyFileSystem(size_t max) : m_max(max) {}
  size_t reads = 0;

  int Open(const std::string& p, int f, mode_t m, int* fd) override { return B().Open(p, f, m, fd); }
  int Read(int fd, void* b, size_t n, size_t* got) override {
    ++reads;
    return B().Read(fd, b, std::min(n, m_max), got);
  }
  int PRead(int fd, void* b, size_t n, uint64_t off, size_t* got) override {
    ++reads;
    return B().PRead(fd, b, std::min(n, m_max), off, got);
  }
  int Write(int fd, const void* b, size_t n) override { return B().Write(fd, b, n); }
  int Fsync(int fd) override { return B().Fsync(fd); }
  int Close(int fd) override { return B().Close(fd); }
  int Rename(const std::string& a, const std::string& b) override { return B().Rename(a, b); }
  int Unlink(const std::string& p) override { return B().Unlink(p); }
  int Stat(const std::string& p, struct stat* st) override { return B().Stat(p, st); }
  int LStat(const std::string& p, struct stat* st) override { return B().LStat(p, st); }
  int FStat(int fd, struct stat* st) override { return B().FStat(fd, st); }
  int FChmod(int fd, mode_t m) override { return B().FChmod(fd, m); }
  int FChown(int fd, uid_t u, gid_t g) override { return B().FChown(fd, u, g); }
  int Ftruncate(int fd, uint64_t n) override { return B().Ftruncate(fd, n); }
  int RealPath(const std::string& p, std::string* r) override { return B().RealPath(p, r); }
  int Flock(int fd, int op) override { return B().Flock(fd, op); }
  int TestPosixLock(int fd, bool* l, pid_t* h) override { return B().TestPosixLock(fd, l, h); }

 private:
  static FileSystem& B() { return PosixFileSystem(); }
  size_t m_max;
};

HiveParseStatus ParseFromFile(FileSystem& fs, const std::string& path, HiveImage* image,
                              HiveParseError* error) {
  int fd = -1;
  const int rc = fs.Open(path, O_RDONLY, 0, &fd);
  EXPECT_EQ(rc, 0) << path;
  if (rc != 0) return HiveParseStatus::kIoError;
  const HiveParseStatus status = ParseHiveFile(fs, fd, image, error);
  fs.Close(fd);
  return status;
}

// The same tree, sections and header, node for node.
void ExpectSameImage(const HiveImage& a, const HiveImage& b) {
  EXPECT_EQ(a.headerLength, b.headerLength);
  EXPECT_EQ(a.fileSize, b.fileSize);
  ASSERT_EQ(a.sections.size(), b.sections.size());
  for (size_t i = 0; i < a.sections.size(); ++i) {
    EXPECT_EQ(a.sections[i].offset, b.sections[i].offset) << i;
    EXPECT_EQ(a.sections[i].length, b.sections[i].length) << i;
    EXPECT_EQ(a.sections[i].next, b.sections[i].next) << i;
    EXPECT_EQ(EscapedKeyPath(a.sections[i].node), EscapedKeyPath(b.sections[i].node)) << i;
  }
  EXPECT_EQ(KeyPaths(a), KeyPaths(b));
}

// --- A small canonical file used by the write tests

constexpr uint32_t kT0 = 1700000000;
const std::string kHeader = RegFileHeader();
const std::string kA = RegSection("A", kT0, "\"v\"=\"1\"\n");
const std::string kABC = RegSection("A\\\\B\\\\C", kT0 + 1);
const std::string kABD = RegSection("A\\\\B\\\\D", kT0 + 2, "\"x\"=dword:00000001\n");
const std::string kM = RegSection("M", kT0 + 3);
const std::string kCanonical = kHeader + kA + kABC + kABD + kM;

constexpr uint32_t kNow = 1796738751;
const uint64_t kNowTime = FileTimeOfSeconds(kNow) + 1234567;  // seconds are truncated

// The section Wine writes for a key that must have one and has none yet.
std::string Fresh(std::string_view escapedPath) {
  std::string text = RegSection(escapedPath, kNow);
  // RegSection writes the whole-second time; the key's real time has the fraction.
  const std::string whole = test_support::FileTimeText(FileTimeOfSeconds(kNow));
  text.replace(text.find(whole), whole.size(), test_support::FileTimeText(kNowTime));
  return text;
}

// --- Odd names: what the file says and which keys it means

std::string OddSections() {
  std::string s;
  s += RegSection("Software\\\\Odd\\\\zorder\\\\child", kT0 + 7, "\"v\"=\"child first\"\n");
  s += RegSection("Software\\\\Odd", kT0, "@=\"odd names\"\n");
  s += RegSection("Software\\\\Odd\\\\br\\[ack\\]ets", kT0);
  s += RegSection("Software\\\\Odd\\\\quo\"te", kT0, "\"quo\\\"te\\\\back[x]\"=\"a\\\"b\"\n");
  s += RegSection("Software\\\\Odd\\\\caf\\xe9", kT0);
  s += RegSection("Software\\\\Odd\\\\caf\\x00e9a", kT0);
  s += RegSection("Software\\\\Odd\\\\\\x65e5\\x672c", kT0);
  s += RegSection("Software\\\\Odd\\\\emoji\\xd83d\\xde00", kT0);
  s += RegSection("Software\\\\Odd\\\\ctl\\1x", kT0);
  s += RegSection("Software\\\\Odd\\\\ctl\\0017", kT0);
  s += RegSection("Software\\\\Odd\\\\tab\\tchar", kT0, "\"sz_oct\"=\"\\0017\\2x\\37\"\n");
  s += RegSection("Software\\\\Odd\\\\bell\\a", kT0);
  s += RegSection("Software\\\\Odd\\\\esc\\e", kT0);
  s += RegSection("Software\\\\Odd\\\\del\x7f", kT0);
  s += RegSection("Software\\\\Odd\\\\ leading", kT0);
  s += RegSection("Software\\\\Odd\\\\trailing ", kT0);
  s += RegSection("Software\\\\Odd\\\\raw\xc3\xa9t", kT0);
  s += RegSection("Software\\\\Odd\\\\raw4\xf0\x9f\x98\x80", kT0);
  s += RegSection("Software\\\\Odd\\\\x\\x41B", kT0);
  s += RegSection("Software\\\\Odd\\\\oct\\777z", kT0);
  s += RegSection("Software\\\\Odd\\\\" + std::string(255, 'n'), kT0);
  s += RegSection("Software\\\\Odd\\\\" + std::string(256, 'm'), kT0);
  s += RegSection("Software\\\\Odd\\\\\\\\doubled\\\\\\\\sep\\\\", kT0);
  s += RegSection("Software\\\\Odd\\\\zorder", kT0 + 9, "\"v\"=\"parent after\"\n");
  s += RegSection("Software\\\\Odd\\\\dup", kT0 + 2, "\"a\"=\"1\"\n");
  s += RegSection("Software\\\\Odd\\\\implied\\\\a\\\\b", kT0 + 4);
  std::vector<uint8_t> target;
  for (char c : std::string("\\Registry\\User\\S-1-5-21-0-0-0-1000\\Software\\Odd\\dup")) {
    target.push_back(static_cast<uint8_t>(c));
    target.push_back(0);
  }
  s += RegSection("Software\\\\Odd\\\\lnk", kT0,
                  "#link\n" + test_support::WrappedHexValue("\"SymbolicLinkValue\"=hex(6):", target));
  s += RegSection("Software\\\\Odd\\\\bin", kT0,
                  test_support::WrappedHexValue("\"bin\"=hex:", 100) +
                      test_support::WrappedHexValue(
                          "\"a_long_name_" + std::string(60, 'x') + "\"=hex:", 30) +
                      "\"d\"=dword:0000abcd\n\"e\"=str(2):\"%PATH%\"\n\"m\"=str(7):\"1\\0002\\0\"\n" +
                      "\"n\"=hex(0):\n\"q\"=hex(b):01,02,03,04,05,06,07,08\n");
  s += RegSection("Software\\\\Odd\\\\DUP", kT0 + 3, "\"b\"=\"2\"\n");
  s += RegSection("Software\\\\Odd\\\\class", kT0, "#class=\"MyCl\\\"ass\\xe9\"\n");
  return s;
}

std::set<std::u16string> OddKeys() {
  const std::u16string o = u"Software\\Odd\\";
  std::set<std::u16string> keys = {
      u"Software\\Odd",
      o + u"zorder",
      o + u"zorder\\child",
      o + u"br[ack]ets",
      o + u"quo\"te",
      o + u"caf\u00e9",
      o + u"caf\u00e9a",
      o + u"\u65e5\u672c",
      o + u"emoji\U0001F600",
      o + u"ctl\x01" + u"x",
      o + u"ctl\x01" + u"7",
      o + u"tab\tchar",
      o + u"bell\a",
      o + u"esc\x1b",
      o + u"del\x7f",
      o + u" leading",
      o + u"trailing ",
      o + u"raw\u00e9t",
      o + u"raw4\U0001F600",
      o + u"x\u041b",
      o + u"oct\u01ffz",
      o + std::u16string(255, u'n'),
      o + std::u16string(256, u'm'),
      o + u"doubled",
      o + u"doubled\\sep",
      o + u"dup",
      o + u"implied",
      o + u"implied\\a",
      o + u"implied\\a\\b",
      o + u"lnk",
      o + u"bin",
      o + u"class",
  };
  return keys;
}

// ===================================================================================== parsing

TEST(HiveParse, HeaderAndSectionsTileTheFile) {
  const HiveImage image = Parse(kCanonical);
  EXPECT_EQ(image.headerLength, kHeader.size());
  EXPECT_EQ(image.fileSize, kCanonical.size());
  ASSERT_EQ(image.sections.size(), 4u);
  EXPECT_EQ(SectionText(image, kCanonical, 0), kA);
  EXPECT_EQ(SectionText(image, kCanonical, 1), kABC);
  EXPECT_EQ(SectionText(image, kCanonical, 2), kABD);
  EXPECT_EQ(SectionText(image, kCanonical, 3), kM);
}

TEST(HiveParse, BlankLineBeforeTheFirstSectionBelongsToIt) {
  // Without #arch the header's own blank line is the one before the first section.
  const std::string header = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n";
  const std::string text = header + "\n[A] 1\n";
  const HiveImage image = Parse(text);
  EXPECT_EQ(image.headerLength, header.size());
  ASSERT_EQ(image.sections.size(), 1u);
  EXPECT_EQ(SectionText(image, text, 0), "\n[A] 1\n");
}

TEST(HiveParse, OnlyOneBlankLineGoesWithTheNextSection) {
  const std::string a = "\n[A] 1\n\"v\"=\"1\"\n\n";
  const std::string b = "\n[B] 2\n";
  const std::string text = kHeader + a + b;
  const HiveImage image = Parse(text);
  ASSERT_EQ(image.sections.size(), 2u);
  EXPECT_EQ(SectionText(image, text, 0), a);
  EXPECT_EQ(SectionText(image, text, 1), b);
}

TEST(HiveParse, RepeatedHeaderWithAnInvalidUtf8NameIsTheSameKey) {
  // "\xC0" alone is no UTF-8 and is dropped, leaving the path "B". The second header, the same
  // bytes, must name the same key, whatever the previous header shared with it.
  const std::string text = kHeader + "\n[\xC0\\\\B] 1\n#link\n\n[\xC0\\\\B] 2\n";
  const HiveImage image = Parse(text);
  ASSERT_EQ(image.root->children.size(), 1u);
  const RegNode* b = image.root->children.At(0);
  EXPECT_EQ(b->name(), u"B");
  EXPECT_TRUE(b->children.empty());
}

TEST(HiveParse, SectionWithoutBlankLineStartsAtItsHeader) {
  const std::string text = kHeader + "\n[A] 1\n\"v\"=\"1\"\n  [B] 2\n";
  const HiveImage image = Parse(text);
  ASSERT_EQ(image.sections.size(), 2u);
  EXPECT_EQ(SectionText(image, text, 0), "\n[A] 1\n\"v\"=\"1\"\n");
  EXPECT_EQ(SectionText(image, text, 1), "  [B] 2\n");
}

TEST(HiveParse, FileWithoutSectionsIsAllHeader) {
  const HiveImage image = Parse(kHeader);
  EXPECT_EQ(image.headerLength, kHeader.size());
  EXPECT_TRUE(image.sections.empty());
  ASSERT_NE(image.root, nullptr);
  EXPECT_TRUE(image.root->children.empty());
}

TEST(HiveParse, LastLineMayLackItsNewline) {
  const std::string text = kHeader + "\n[A] 1\n\"v\"=\"1\"";
  const HiveImage image = Parse(text);
  ASSERT_EQ(image.sections.size(), 1u);
  EXPECT_EQ(SectionText(image, text, 0), "\n[A] 1\n\"v\"=\"1\"");
  EXPECT_EQ(Parse("WINE REGISTRY Version 2").headerLength, 23u);
}

TEST(HiveParse, CarriageReturnsAreTolerated) {
  const std::string text =
      "WINE REGISTRY Version 2\r\n;; c\r\n\r\n#arch=win64\r\n\r\n[A\\\\B] 1\r\n#time=1d\r\n"
      "\"v\"=hex:01,\\\r\n  02\r\n\r\n[C] 2\r\n";
  const HiveImage image = Parse(text);
  ASSERT_EQ(image.sections.size(), 2u);
  EXPECT_EQ(SectionText(image, text, 0), "\r\n[A\\\\B] 1\r\n#time=1d\r\n\"v\"=hex:01,\\\r\n  02\r\n");
  EXPECT_EQ(SectionText(image, text, 1), "\r\n[C] 2\r\n");
  EXPECT_EQ(FindKey(image, u"A\\B")->time, 0x1du);
}

TEST(HiveParse, HeadersCreateImpliedAncestors) {
  const HiveImage image = Parse(kCanonical);
  RegNode* a = FindKey(image, u"A");
  RegNode* b = FindKey(image, u"A\\B");
  RegNode* c = FindKey(image, u"A\\B\\C");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(a->section, 0);
  EXPECT_EQ(b->section, -1);  // implied
  EXPECT_EQ(c->section, 1);
  EXPECT_EQ(c->parent, b);
  EXPECT_EQ(b->parent, a);
  EXPECT_EQ(a->parent, image.root.get());
  EXPECT_EQ(image.sections[1].node, c);
  EXPECT_EQ(image.root->section, -1);
  EXPECT_EQ(KeyPaths(image),
            (std::vector<std::u16string>{u"A", u"A\\B", u"A\\B\\C", u"A\\B\\D", u"M"}));
}

TEST(HiveParse, EmptyPathIsTheBranchRoot) {
  const std::string text = kHeader + "\n[] 5\n\"v\"=\"1\"\n" + kM;
  const HiveImage image = Parse(text);
  EXPECT_EQ(image.root->section, 0);
  EXPECT_EQ(image.sections[0].node, image.root.get());
}

TEST(HiveParse, PathStartingWithAnEscapedNulIsTheBranchRoot) {
  // Wine 8.0 loads "[\0abc]" as the branch root.
  const HiveImage image = Parse(kHeader + "\n[\\0abc] 5\n\"nulroot\"=\"1\"\n");
  EXPECT_EQ(image.root->section, 0);
  EXPECT_TRUE(image.root->children.empty());
}

// The names a header shares with the one before are taken from the previous key rather than
// decoded again. Each header of a long run, built from the previous path plus new names and full
// of escapes that look like separators, must reach the key it reaches when parsed alone.
TEST(HiveParse, HeadersThatShareTheirStartResolveAsWhenAlone) {
  const std::vector<std::string> pieces = {
      "a", "B", "ab", "\\x41", "\\x41b", "c\\]", "d\\[", "\\x5c", "x\\x5cy", "\\134",
      "p\\0134", "\\0", "\\x0", "\xc3\xa9", "\\\xc3\xa9", "\\t", "q\\\\", "", "7",
      "\\x", "z\\x41\\x5C"};
  std::mt19937 rng(20261208);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  std::vector<std::string> paths;
  std::vector<std::string> current;
  std::string text = kHeader;
  for (int i = 0; i < 3000; ++i) {
    current.resize(current.empty() ? 0 : pick(current.size() + 1));
    for (size_t extra = 1 + pick(3); extra > 0; --extra)
      current.push_back(pieces[pick(pieces.size())]);
    std::string path;
    for (size_t j = 0; j < current.size(); ++j) path += (j > 0 ? "\\\\" : "") + current[j];
    if (pick(20) == 0) path = "\\\\" + path;  // a leading separator
    if (pick(20) == 0) path += "\\\\";        // a trailing one
    text += "\n[" + path + "] 1\n";
    paths.push_back(path);
  }
  const HiveImage all = Parse(text);
  ASSERT_EQ(all.sections.size(), paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    const HiveImage alone = Parse(kHeader + "\n[" + paths[i] + "] 1\n");
    ASSERT_EQ(alone.sections.size(), 1u);
    // Compared without regard to case: the first spelling of a key is the one it keeps.
    auto folded = [](const RegNode* n) {
      std::u16string path;
      for (; n != nullptr && n->parent != nullptr; n = n->parent) {
        std::u16string name = Str(n->name());
        for (char16_t& c : name) c = FoldChar(c);
        path = name + u"/" + path;
      }
      return path;
    };
    ASSERT_EQ(folded(all.sections[i].node), folded(alone.sections[0].node))
        << "header " << i << ": [" << paths[i] << "]";
  }
}

TEST(HiveParse, TimesComeFromTimeLineOrHeaderSeconds) {
  const std::string text = kHeader + "\n[A] 1700000000\n" +      // no #time
                           "\n[B] 1700000000\n#time=1DD871D3B6C4FF8\n" +  // #time wins, upper case
                           "\n[C\\\\D] 1700000000\n#time=1dd871d3b6c4ff8\n";
  const HiveImage image = Parse(text);
  EXPECT_EQ(FindKey(image, u"A")->time, FileTimeOfSeconds(1700000000));
  EXPECT_EQ(FindKey(image, u"B")->time, 0x1dd871d3b6c4ff8u);
  EXPECT_EQ(FindKey(image, u"C")->time, 0x1dd871d3b6c4ff8u);  // implied: its first descendant's
}

TEST(HiveParse, AnImpliedKeyTakesTheFirstTimeGivenBelowIt) {
  // A time of 0 gives no key a time, so E takes the time of the second section below it, not
  // that of the header that first names it.
  const std::string text = kHeader + "\n[E\\\\F] 1700000000\n#time=0\n" +
                           "\n[E\\\\G] 1700000000\n#time=1dd871d3b6c4ff8\n";
  const HiveImage image = Parse(text);
  EXPECT_EQ(FindKey(image, u"E")->time, 0x1dd871d3b6c4ff8u);
  EXPECT_EQ(FindKey(image, u"E\\G")->time, 0x1dd871d3b6c4ff8u);
}

TEST(HiveParse, HeaderSecondsAreReadAsAnUnsignedInt) {
  // As sscanf(" %u") stores them: the low 32 bits, a minus sign wrapping around.
  const HiveImage image = Parse(kHeader + "\n[A] 4294967297\n\n[B] -1\n\n[C]\t+7x\n");
  EXPECT_EQ(FindKey(image, u"A")->time, FileTimeOfSeconds(1));
  EXPECT_EQ(FindKey(image, u"B")->time, FileTimeOfSeconds(0xFFFFFFFFu));
  EXPECT_EQ(FindKey(image, u"C")->time, FileTimeOfSeconds(7));
}

TEST(HiveParse, HeaderWithoutSecondsGetsTheLoadTime) {
  SetClock([] { return uint64_t{0x1d000000000abcd}; });
  const HiveImage image = Parse(kHeader + "\n[A]\n\"v\"=\"1\"\n\n[B] junk\n");
  SetClock(nullptr);
  EXPECT_EQ(FindKey(image, u"A")->time, 0x1d000000000abcdu);
  EXPECT_EQ(FindKey(image, u"B")->time, 0x1d000000000abcdu);
}

TEST(HiveParse, KeyKeepsTheFirstTimeItGets) {
  // A child listed before its parent gives the parent its time; the parent's own is ignored, and
  // so is the time of a repeated section.
  const std::string text = kHeader + RegSection("P\\\\child", kT0 + 5) + RegSection("P", kT0 + 9) +
                           RegSection("Q", kT0 + 1) + RegSection("q", kT0 + 2);
  const HiveImage image = Parse(text);
  EXPECT_EQ(FindKey(image, u"P")->time, FileTimeOfSeconds(kT0 + 5));
  EXPECT_EQ(FindKey(image, u"Q")->time, FileTimeOfSeconds(kT0 + 1));
}

TEST(HiveParse, RepeatedSectionsOfAKeyAreChained) {
  const std::string text = kHeader + RegSection("dup", kT0, "\"a\"=\"1\"\n") + RegSection("x", kT0) +
                           RegSection("DUP", kT0) + RegSection("Dup", kT0);
  HiveImage image = Parse(text);
  RegNode* dup = FindKey(image, u"dUp");
  ASSERT_NE(dup, nullptr);
  EXPECT_EQ(dup->name(), u"dup");  // the first spelling stays
  EXPECT_EQ(image.root->children.size(), 2u);
  EXPECT_EQ(dup->section, 0);
  EXPECT_EQ(image.sections[0].next, 2);
  EXPECT_EQ(image.sections[2].next, 3);
  EXPECT_EQ(image.sections[3].next, -1);
  EXPECT_EQ(image.sections[1].next, -1);
  RemoveSections(&image, dup);
  EXPECT_TRUE(image.sections[0].removed);
  EXPECT_FALSE(image.sections[1].removed);
  EXPECT_TRUE(image.sections[2].removed);
  EXPECT_TRUE(image.sections[3].removed);
}

TEST(HiveParse, LinkOptionMarksTheKey) {
  const std::string text = kHeader + RegSection("L", kT0, "#link\n\"SymbolicLinkValue\"=hex(6):41,00\n") +
                           RegSection("L2", kT0, "#linkage\n") +  // Wine matches the prefix
                           RegSection("N", kT0, "#linx\n;#link\n");
  const HiveImage image = Parse(text);
  EXPECT_TRUE(FindKey(image, u"L")->link);
  EXPECT_TRUE(FindKey(image, u"L2")->link);
  EXPECT_FALSE(FindKey(image, u"N")->link);
}

TEST(HiveParse, OddNamesAreReadAsWineReadsThem) {
  const std::string text = kHeader + OddSections();
  const HiveImage image = Parse(text);
  std::set<std::u16string> expected = OddKeys();
  expected.insert(u"Software");
  EXPECT_EQ(KeySet(image), expected);
  EXPECT_TRUE(FindKey(image, u"Software\\Odd\\lnk")->link);
  EXPECT_EQ(FindKey(image, u"Software\\Odd\\implied")->section, -1);
  EXPECT_EQ(FindKey(image, u"Software\\Odd\\doubled")->section, -1);
  EXPECT_EQ(FindKey(image, u"Software\\Odd\\zorder")->time, FileTimeOfSeconds(kT0 + 7));
  // One section per header line.
  EXPECT_EQ(image.sections.size(), CountLinesStartingWith(text, "["));
}

TEST(HiveParse, ChildrenAreInWineOrder) {
  std::string text = kHeader;
  for (const char* name : {"Zed", "apple", "_under", "\\[open", "@at", "#hash", " leading",
                           "Apple2", "\\x00c9cole", "\\xe9t\\xe9", "a0", "A b", "A-", "A_", "AB", "A"})
    text += RegSection(std::string("order\\\\") + name, kT0);
  const HiveImage image = Parse(text);
  std::vector<std::u16string> names;
  FindKey(image, u"order")->children.ForEach([&](const RegNode* n) { names.push_back(Str(n->name())); });
  EXPECT_EQ(names, (std::vector<std::u16string>{u" leading", u"#hash", u"@at", u"[open", u"_under",
                                                 u"A", u"A b", u"A-", u"a0", u"A_", u"AB", u"apple",
                                                 u"Apple2", u"Zed", u"\u00c9cole", u"\u00e9t\u00e9"}));
}

TEST(HiveParse, ValueLinesWineAcceptsAreAccepted) {
  const std::string text = kHeader + RegSection("V", kT0,
                                                "@=\"default\"\n"
                                                "\"a\" = \"spaced\"\n"
                                                "  \"indented\"=\"x\"\n"
                                                "\"s\"=\"abc\" trailing words\n"
                                                "\"d\"=dword:1 junk\n"
                                                "\"d2\"=dword: ffffffff\n"
                                                "\"h\"=hex:1,2 , 3\n"
                                                "\"h2\"=hex:0x41,02\n"
                                                "\"h3\"=hex:001,FF\n"
                                                "\"h4\"=hex:\n"
                                                "\"t1\"=hex( 3):01\n"
                                                "\"t2\"=hex(0x3):01\n"
                                                "\"t3\"=hex(12345):\n"
                                                "\"s1\"=str:\"x\"\n"
                                                "\"s2\"=str(2):\"%x%\"\n"
                                                "\"s7\"=str(7):\"a\\0b\\0\"\n"
                                                "\"c1\"=hex:01,\\ ignored after the backslash\n"
                                                "  02,\\\n"
                                                "\n"
                                                "\"c2\"=hex:01,\\\n"
                                                "      03\n"
                                                "; a comment\n"
                                                "#unknown option\n"
                                                "#class=\"cls\"\n"
                                                "   \n");
  const HiveImage image = Parse(text);
  ASSERT_EQ(image.sections.size(), 1u);
  EXPECT_EQ(image.sections[0].length, text.size() - kHeader.size());
}

TEST(HiveParse, BlankLineThatContinuesAHexValueIsNotASectionSeparator) {
  const std::string a = "\n[A] 1\n\"h\"=hex:01,\\\n\n";
  const std::string b = "[B] 2\n";
  const HiveImage image = Parse(kHeader + a + b);
  ASSERT_EQ(image.sections.size(), 2u);
  EXPECT_EQ(image.sections[1].offset, kHeader.size() + a.size());
}

std::string Repeat(const std::string& piece, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

struct MalformedCase {
  const char* what;
  std::string text;
  uint64_t line;
  const char* message;  // a piece of the expected message
};

std::vector<MalformedCase> MalformedCases() {
  const std::string h = kHeader;  // 4 lines
  const std::string a = "\n[A] 1\n";  // lines 5 and 6
  return {
      {"empty file", "", 1, "empty"},
      {"wrong magic", "WINE REGISTRY Version 1\n\n[A] 1\n", 1, "first line"},
      {"byte order mark", "\xef\xbb\xbfWINE REGISTRY Version 2\n", 1, "first line"},
      {"magic with trailing space", "WINE REGISTRY Version 2 \n", 1, "first line"},
      {"header without ']'", h + a + "\"v\"=\"1\"\n\n[A\\\\B 123\n", 9, "']'"},
      {"escaped ']' does not close", h + "\n[a\\] 1\n", 6, "']'"},
      {"value name without closing quote", h + a + "\"v=1\n", 7, "closing"},
      {"no '=' after the name", h + a + "\"name=\"x\"\n", 7, "'='"},
      {"'@' without '='", h + a + "@ \"x\"\n", 7, "'='"},
      {"unknown data prefix", h + a + "\"v\"=foo:1\n", 7, "type"},
      {"str(3) is not a type", h + a + "\"v\"=str(3):\"x\"\n", 7, "type"},
      {"bare word data", h + a + "\"v\"=1234\n", 7, "type"},
      {"unterminated string", h + a + "\"v\"=\"abc\n", 7, "closing"},
      {"string ending in a backslash", h + a + "\"v\"=\"abc\\\"\n", 7, "closing"},
      {"bad hex", h + a + "\"v\"=hex:01,zz\n", 7, "hex"},
      {"hex byte above ff", h + a + "\"v\"=hex:100\n", 7, "hex"},
      {"hex(type) without ')'", h + a + "\"v\"=hex(1:01\n", 7, "hex(type)"},
      {"dword without digits", h + a + "\"v\"=dword:zz\n", 7, "dword"},
      {"hex continuation at end of file", h + a + "\"v\"=hex:01,\\\n", 7, "end of the file"},
      {"hex continuation at end, no newline", h + a + "\"v\"=hex:01,\\", 7, "end of the file"},
      {"hex continuation into a header", h + a + "\"v\"=hex:01,\\\n[B] 2\n", 8, "section header"},
      {"hex continuation into an indented header", h + a + "\"v\"=hex:01,\\\n  [B] 2\n", 8,
       "section header"},
      {"bad continuation line", h + a + "\"v\"=hex:01,\\\n  02,\\\n  zz\n", 9, "continued"},
      {"NUL in a value", h + a + std::string("\"v\"=\"a\0b\"\n", 10), 7, "NUL"},
      {"NUL in the header", std::string("WINE REGISTRY Version 2\n;\0\n", 27), 2, "NUL"},
      {"NUL in a blank line", h + a + std::string("\0\n", 2), 7, "NUL"},
      {"key name of 257 characters", h + "\n[x\\\\" + std::string(257, 'k') + "] 1\n", 6, "256"},
      {"key name of 257 escaped characters", h + "\n[x\\\\" + Repeat("\\x41", 257) + "] 1\n", 6,
       "256"},
      {"unrecognised line in a section", h + a + "garbage\n", 7, "neither"},
      {"unrecognised line in the header", h + "garbage\n" + a, 5, "neither"},
      {"value before any key", h + "\"v\"=\"1\"\n" + a, 5, "before any key"},
      {"class without closing quote", h + a + "#class=\"abc\n", 7, "class"},
  };
}

TEST(HiveParse, MalformedFilesAreRefusedWithTheirLine) {
  for (const MalformedCase& c : MalformedCases()) {
    HiveImage image;
    image.root = MakeNode(u"stale");
    HiveParseError error;
    EXPECT_EQ(ParseHiveText(c.text, &image, &error), HiveParseStatus::kMalformed) << c.what;
    EXPECT_EQ(error.line, c.line) << c.what << ": " << error.message;
    EXPECT_NE(error.message.find("line " + std::to_string(c.line) + ":"), std::string::npos)
        << c.what << ": " << error.message;
    EXPECT_NE(error.message.find(c.message), std::string::npos) << c.what << ": " << error.message;
    EXPECT_EQ(image.root, nullptr) << c.what;  // nothing half-built is left
    EXPECT_TRUE(image.sections.empty()) << c.what;
  }
}

TEST(HiveParse, NamesOf256CharactersAreAccepted) {
  const HiveImage image = Parse(kHeader + "\n[x\\\\" + Repeat("\\x41", 256) + "] 1\n");
  EXPECT_NE(FindKey(image, u"x\\" + std::u16string(256, u'A')), nullptr);
}

// ============================================================================ reading a file

TEST(HiveParseFile, SameResultWhateverTheReadSize) {
  test_support::ScratchFolder folder;
  ASSERT_TRUE(folder.Valid());
  const std::string text = kHeader + OddSections() + kCanonical.substr(kHeader.size());
  const std::string path = folder / "user.reg";
  ASSERT_TRUE(test_support::WriteFile(path, text));
  const HiveImage expected = Parse(text);
  for (size_t max : {size_t{1}, size_t{2}, size_t{7}, size_t{64}, size_t{4096}, size_t{1} << 24}) {
    ChoppyFileSystem fs(max);
    HiveImage image;
    HiveParseError error;
    ASSERT_EQ(ParseFromFile(fs, path, &image, &error), HiveParseStatus::kOk) << error.message;
    SCOPED_TRACE("read size " + std::to_string(max));
    ExpectSameImage(image, expected);
    EXPECT_EQ(KeySet(image), KeySet(expected));
  }
}

// A section's options count in whatever piece of the file they come: read a few bytes at a time,
// every "#time=" and "#link" line arrives after its header was handed on.
TEST(HiveParseFile, OptionsCountWhenTheirHeaderCameInAnEarlierPiece) {
  test_support::ScratchFolder folder;
  ASSERT_TRUE(folder.Valid());
  const std::string text = kHeader + "\n[A] 1700000000\n#time=1dd871d3b6c4ff8\n" +
                           "\n[B] 1700000000\n;\n#time=1\n#time=1dd871d3b6c4ff9\n" +
                           "\n[L] 1700000000\n#link\n\n[M] 1700000000\n";
  const std::string path = folder / "user.reg";
  ASSERT_TRUE(test_support::WriteFile(path, text));
  for (size_t max : {size_t{1}, size_t{3}, size_t{1} << 24}) {
    SCOPED_TRACE("read size " + std::to_string(max));
    ChoppyFileSystem fs(max);
    HiveImage image;
    HiveParseError error;
    ASSERT_EQ(ParseFromFile(fs, path, &image, &error), HiveParseStatus::kOk) << error.message;
    EXPECT_EQ(FindKey(image, u"A")->time, 0x1dd871d3b6c4ff8u);
    EXPECT_EQ(FindKey(image, u"B")->time, 0x1dd871d3b6c4ff9u);  // the last option counts
    EXPECT_TRUE(FindKey(image, u"L")->link);
    EXPECT_FALSE(FindKey(image, u"M")->link);
    EXPECT_EQ(FindKey(image, u"M")->time, FileTimeOfSeconds(1700000000));
  }
}

TEST(HiveParseFile, LinesLongerThanAReadChunk) {
  test_support::ScratchFolder folder;
  ASSERT_TRUE(folder.Valid());
  std::string text = kHeader + kA;
  text += RegSection("Long", kT0, "\"big\"=\"" + std::string(2500000, 'q') + "\"\n");
  text += RegSection("Long\\\\" + std::string(200, 'k'), kT0);
  text += test_support::LargeHiveText(3 << 20).substr(RegFileHeader("REGISTRY\\\\Machine").size());
  text += kM;
  const std::string path = folder / "system.reg";
  ASSERT_TRUE(test_support::WriteFile(path, text));
  HiveImage image;
  HiveParseError error;
  ASSERT_EQ(ParseFromFile(PosixFileSystem(), path, &image, &error), HiveParseStatus::kOk)
      << error.message;
  ExpectSameImage(image, Parse(text));
  EXPECT_EQ(Rewrite(image, text), text);
}

TEST(HiveParseFile, MalformedLineIsFoundPastManyChunks) {
  test_support::ScratchFolder folder;
  ASSERT_TRUE(folder.Valid());
  std::string text = test_support::LargeHiveText(3 << 20);
  const auto lines = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
  text += "\n[Bad] 1\n\"v\"=hex:01,\\\n[Next] 2\n";
  const std::string path = folder / "system.reg";
  ASSERT_TRUE(test_support::WriteFile(path, text));
  HiveImage image;
  HiveParseError error;
  ChoppyFileSystem fs(100000);
  EXPECT_EQ(ParseFromFile(fs, path, &image, &error), HiveParseStatus::kMalformed);
  EXPECT_EQ(error.line, lines + 4);
  EXPECT_EQ(image.root, nullptr);
}

// The real file system, except that a file looks smaller than it is (as when it grew after it
// was looked at).
class SizeHider final : public test_support::ForwardingFileSystem {
 public:
  explicit SizeHider(uint64_t hideLast) : ForwardingFileSystem(PosixFileSystem()), m_hide(hideLast) {}
  int FStat(int fd, struct stat* st) override {
    const int rc = m_base.FStat(fd, st);
    st->st_size -= static_cast<off_t>(m_hide);
    return rc;
  }

 private:
  uint64_t m_hide;
};

// A file is read to its end, whatever size it had when it was looked at: reads sized for a small
// file grow their buffer for a line longer than many of them, and a fault past the size seen is
// found with its line.
TEST(HiveParseFile, FileLargerThanItLookedIsReadToItsEnd) {
  test_support::ScratchFolder folder;
  ASSERT_TRUE(folder.Valid());
  std::string text = test_support::LargeHiveText(3 << 20);
  text += RegSection("Long", kT0, "\"big\"=hex:" + Repeat("0a,", 600000) + "0b\n");
  text += test_support::LargeHiveText(1 << 20).substr(RegFileHeader("REGISTRY\\\\Machine").size());
  const std::string path = folder / "system.reg";
  ASSERT_TRUE(test_support::WriteFile(path, text));
  const HiveImage expected = Parse(text);
  for (uint64_t hide : {uint64_t{0}, uint64_t{300000}, uint64_t{text.size() - 10}}) {
    SCOPED_TRACE("seen " + std::to_string(text.size() - hide) + " of " +
                 std::to_string(text.size()) + " bytes");
    SizeHider fs(hide);
    HiveImage image;
    HiveParseError error;
    ASSERT_EQ(ParseFromFile(fs, path, &image, &error), HiveParseStatus::kOk) << error.message;
    ExpectSameImage(image, expected);
    EXPECT_EQ(Rewrite(image, text), text);
  }
  const auto lines = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
  ASSERT_TRUE(test_support::WriteFile(path, text + "[Bad] 1\n\"v\"=hex:01,zz\n"));
  SizeHider fs(300000);
  HiveImage image;
  HiveParseError error;
  EXPECT_EQ(ParseFromFile(fs, path, &image, &error), HiveParseStatus::kMalformed);
  EXPECT_EQ(error.line, lines + 2);
}

// The real file system, counting the reads of a whole chunk made on the thread that created it
// (the indexing side, which reads names back in other sizes) and on others (the scanner).
// `first` then `later` (which starts with the blank line of a section), with room added so
// that a reading in two parts cuts the file between them: at the first blank line before a
// header from the middle of the file on.
std::string CutBetween(std::string first, const std::string& later) {
  while (first.size() < later.size() + 6) {
    // A comment line after the first line makes the first part longer.
    first.insert(first.find('\n') + 1, ";" + std::string(later.size(), 'c') + "\n");
  }
  const size_t room = first.size() - 2 - later.size();  // the cut lands on first's last '\n'
  return first + later + ";" + std::string(room - 2, 'x') + "\n";
}

// Reading a file in two parts at once gives the index of one pass, or the same refusal, and falls
// back to one pass where the parts cannot be joined so.
class TwoPartReading : public ::testing::Test {
 protected:
  void SetUp() override { SetClock([] { return uint64_t{0x1d000000000abcd}; }); }
  void TearDown() override { SetClock(nullptr); }

  // The same reading both ways, in reads of a few bytes and of whole chunks; whether the two
  // parts were joined.
  static bool Joined(const std::string& text) {
    bool joined = false;
    for (size_t piece : {size_t{7}, size_t{4096}, size_t{1} << 20}) {
      bool was = false;
      EXPECT_EQ(test_support::CompareTwoPartReading(text, piece, &was), "") << piece;
      if (piece != 7) {
        EXPECT_EQ(was, joined) << piece;
      }
      joined = was;
    }
    return joined;
  }

  const std::string m_first = kHeader + RegSection("A", kT0) + RegSection("A\\\\B", kT0 + 1) +
                              RegSection("A\\\\B\\\\C1", kT0 + 2, "\"v\"=\"1\"\n") +
                              RegSection("A\\\\B\\\\C2", kT0 + 3, "@=hex:01,02\n");
};

TEST_F(TwoPartReading, LaterPartInWineOrderIsJoined) {
  // More subkeys of the last part's keys, new keys below them, implied keys and the root.
  EXPECT_TRUE(Joined(CutBetween(m_first, RegSection("A\\\\B\\\\C3", kT0 + 4) +
                                             RegSection("A\\\\B\\\\C4\\\\D\\\\E", kT0 + 5) +
                                             RegSection("A\\\\Z", kT0 + 6) + RegSection("Y", 0))));
  EXPECT_TRUE(Joined(CutBetween(m_first, "\n[] 9\n" + RegSection("B", kT0))));
  // The first key of the later part is the last of the first one: its sections are chained,
  // its #link joins the key's flags, and its subkeys are new.
  EXPECT_TRUE(Joined(CutBetween(m_first, RegSection("A\\\\B\\\\C2", kT0 + 9, "#link\n") +
                                             RegSection("A\\\\B\\\\C2\\\\Sub", kT0 + 1))));
  // ... however its case is written.
  EXPECT_TRUE(Joined(CutBetween(m_first, RegSection("a\\\\b\\\\c2\\\\Sub", kT0 + 1))));
  // Real files, cut in the middle.
  for (const char* name : {"win64-wow64/system.reg", "win64-wow64/user.reg", "win32/system.reg"}) {
    const std::string text =
        test_support::ReadFile(std::string(OAREPAIR_FIXTURES_DIR) + "/wine-8.0/" + name);
    ASSERT_FALSE(text.empty()) << name;
    EXPECT_TRUE(Joined(text)) << name;
  }
  EXPECT_TRUE(Joined(test_support::LargeHiveText(300 << 10)));
}

TEST_F(TwoPartReading, FilesThatCannotBeJoinedAreReadInOnePass) {
  // A key the first part made, named again after others that sort later.
  EXPECT_FALSE(Joined(CutBetween(m_first, RegSection("A\\\\B\\\\C1\\\\Sub", kT0))));
  EXPECT_FALSE(Joined(CutBetween(m_first + RegSection("A\\\\X", kT0), RegSection("A\\\\B\\\\C3", kT0))));
  // The later part names subkeys of one key out of Wine's order.
  EXPECT_FALSE(Joined(CutBetween(m_first, RegSection("A\\\\B\\\\C4", kT0) + RegSection("A\\\\B\\\\C3", kT0))));
  // A key the first part left without a time (its only section says 0) gets one later.
  EXPECT_FALSE(Joined(CutBetween(kHeader + RegSection("A", kT0) + "\n[A\\\\B] 1\n#time=0\n",
                                 RegSection("A\\\\B\\\\C", kT0))));
  // Carriage returns: no plain blank line to cut at.
  std::string crlf = CutBetween(m_first, RegSection("A\\\\B\\\\C3", kT0));
  for (size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 2) crlf.insert(at, "\r");
  EXPECT_FALSE(Joined(crlf));
}

TEST_F(TwoPartReading, RefusedFilesGiveTheFirstFaultInTheFile) {
  const std::string badValue = RegSection("A\\\\B\\\\C3", kT0, "\"v\"=hex:zz\n");
  const std::string badFirst = m_first + "\"w\"=dword\n";
  EXPECT_FALSE(Joined(CutBetween(m_first, badValue)));
  EXPECT_FALSE(Joined(CutBetween(badFirst, RegSection("A\\\\B\\\\C3", kT0))));
  EXPECT_FALSE(Joined(CutBetween(badFirst, badValue)));
  // Hex data continued by a backslash before the blank line the cut falls on.
  EXPECT_FALSE(Joined(CutBetween(m_first + "\"h\"=hex:01,\\\n", RegSection("A\\\\B\\\\C3", kT0))));
}

// Lines of many lengths across the ends of chunks (one longer than a chunk) and across the cut
// come out as in one pass, and a fault far into the file is found on its line.
TEST(HiveParseFile, LongLinesReadInTwoPartsAsInOnePass) {
  SetClock([] { return uint64_t{0x1d000000000abcd}; });
  std::string text = test_support::LargeHiveText(1 << 20);
  const size_t lengths[] = {3, 900, 5000, 16370, 16383, 16384, 16385, 20000, 70000, 300000};
  for (int i = 0; text.size() < (size_t{6} << 20); ++i) {
    const size_t length = lengths[static_cast<size_t>(i) % std::size(lengths)];
    text += RegSection("Wide\\\\K" + std::to_string(100000 + i), kT0 + i,
                       "\"s\"=\"" + std::string(length, 's') + "\"\n\"h\"=hex:" +
                           Repeat("0c,", length / 3) + "0d\n");
  }
  bool joined = false;
  EXPECT_EQ(test_support::CompareTwoPartReading(text, size_t{1} << 20, &joined), "");
  EXPECT_TRUE(joined);
  SetClock(nullptr);

  test_support::ScratchFolder folder;
  ASSERT_TRUE(folder.Valid());
  const std::string path = folder / "system.reg";
  const auto lines = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
  ASSERT_TRUE(test_support::WriteFile(path, text + "[Bad] 1\n\"v\"=hex:01,zz\n"));
  HiveImage image;
  HiveParseError error;
  EXPECT_EQ(ParseFromFile(PosixFileSystem(), path, &image, &error), HiveParseStatus::kMalformed);
  EXPECT_EQ(error.line, lines + 2);
}

// A large file is read in two parts at once; whichever part finds its fault first in time, the
// one reported is the first in the file.
TEST(HiveParseFile, FirstFaultInTheFileIsReportedWhateverFindsIt) {
  test_support::ScratchFolder folder;
  ASSERT_TRUE(folder.Valid());
  const std::string large = test_support::LargeHiveText(3 << 20);
  const auto lines = static_cast<uint64_t>(std::count(large.begin(), large.end(), '\n'));
  const std::string badHeader = "\n[Open\\\\" + std::string(300, 'n') + "] 1\n";  // name too long
  const std::string badValue = "\n[Bad] 1\n\"v\"=nonsense\n";
  const std::string filler = test_support::LargeHiveText(1 << 20).substr(
      RegFileHeader("REGISTRY\\\\Machine").size());
  struct Case {
    std::string text;
    uint64_t line;
  };
  const std::vector<Case> cases = {
      {large + badHeader + badValue, lines + 2},
      {large + badValue + badHeader, lines + 3},
      {large + badHeader + filler + badValue, lines + 2},
      {large + badValue + filler + badHeader, lines + 3},
  };
  for (const Case& c : cases) {
    const std::string path = folder / "system.reg";
    ASSERT_TRUE(test_support::WriteFile(path, c.text));
    HiveImage image;
    HiveParseError error;
    EXPECT_EQ(ParseFromFile(PosixFileSystem(), path, &image, &error), HiveParseStatus::kMalformed);
    EXPECT_EQ(error.line, c.line) << error.message;
    EXPECT_EQ(image.root, nullptr);
  }
}

// Sections out of Wine's order make the parts of a large file read names back from the file while
// the other part reads on, and the parts cannot be joined: the keys must come out as they do in
// order.
TEST(HiveParseFile, LargeFileOutOfOrderGivesTheSameKeys) {
  test_support::ScratchFolder folder;
  ASSERT_TRUE(folder.Valid());
  const std::string text = test_support::LargeHiveText(3 << 20);
  const HiveImage inOrder = Parse(text);
  std::vector<std::string> sections;
  for (const HiveSection& s : inOrder.sections)
    sections.push_back(text.substr(s.offset, s.length));
  std::mt19937 random(12);
  std::shuffle(sections.begin(), sections.end(), random);
  std::string shuffled = text.substr(0, inOrder.headerLength);
  for (const std::string& s : sections) shuffled += s;
  const std::string path = folder / "system.reg";
  ASSERT_TRUE(test_support::WriteFile(path, shuffled));
  ChoppyFileSystem fs(size_t{1} << 24);
  HiveImage image;
  HiveParseError error;
  ASSERT_EQ(ParseFromFile(fs, path, &image, &error), HiveParseStatus::kOk) << error.message;
  EXPECT_EQ(image.sections.size(), inOrder.sections.size());
  EXPECT_EQ(KeySet(image), KeySet(inOrder));
  // More reads than the file's chunks: names were read back.
  EXPECT_GT(fs.reads, shuffled.size() / (256 << 10) + 2);
}

TEST(HiveParseFile, ReadErrorIsReported) {
  test_support::ScratchFolder folder;
  ASSERT_TRUE(folder.Valid());
  const std::string text = test_support::LargeHiveText(3 << 20);
  const std::string path = folder / "system.reg";
  ASSERT_TRUE(test_support::WriteFile(path, text));
  test_support::FaultFileSystem fs;
  fs.FailNth(test_support::FsOp::kPRead, 2, EIO);
  HiveImage image;
  HiveParseError error;
  EXPECT_EQ(ParseFromFile(fs, path, &image, &error), HiveParseStatus::kIoError);
  EXPECT_EQ(error.ioError, EIO);
  EXPECT_EQ(image.root, nullptr);
  EXPECT_GE(fs.Count(test_support::FsOp::kPRead), 2u);
}

TEST(HiveParseFile, MalformedFromAFileMatchesTheText) {
  test_support::ScratchFolder folder;
  ASSERT_TRUE(folder.Valid());
  for (const MalformedCase& c : MalformedCases()) {
    const std::string path = folder / "case.reg";
    ASSERT_TRUE(test_support::WriteFile(path, c.text));
    ChoppyFileSystem fs(3);
    HiveImage image;
    HiveParseError error;
    EXPECT_EQ(ParseFromFile(fs, path, &image, &error), HiveParseStatus::kMalformed) << c.what;
    EXPECT_EQ(error.line, c.line) << c.what;
  }
}

// ============================================================================ writing a file

TEST(HiveWrite, UnchangedFilesAreReproducedExactly) {
  const std::vector<std::string> texts = {
      kCanonical,
      kHeader + OddSections(),
      kHeader,
      "WINE REGISTRY Version 2",
      kHeader + "\n[A] 1\n\"v\"=\"1\"",                              // no final newline
      "WINE REGISTRY Version 2\r\n\r\n[A] 1\r\n\r\n\r\n[B] 2\r\n",  // CRLF, extra blank lines
      kHeader + "\n\n\n[A] 1\n;c\n#x\n\n\n",                        // trailing blank lines
  };
  for (const std::string& text : texts) {
    const HiveImage image = Parse(text);
    EXPECT_EQ(Rewrite(image, text), text);
  }
}

TEST(HiveWrite, DeletingALeafDropsOnlyItsSection) {
  HiveImage image = Parse(kCanonical);
  DeleteKey(&image, u"A\\B\\C", kNowTime);
  EXPECT_EQ(Rewrite(image, kCanonical), kHeader + kA + kABD + kM);
}

TEST(HiveWrite, DeletingTheLastSectionLeavesNoTrailingBlankLine) {
  HiveImage image = Parse(kCanonical);
  DeleteKey(&image, u"M", kNowTime);
  const std::string out = Rewrite(image, kCanonical);
  EXPECT_EQ(out, kHeader + kA + kABC + kABD);
  EXPECT_NE(out.substr(out.size() - 2), "\n\n");
}

TEST(HiveWrite, ImpliedParentLeftWithoutSubkeysGetsItsOwnSection) {
  HiveImage image = Parse(kCanonical);
  DeleteKey(&image, u"A\\B\\C", kNowTime);
  DeleteKey(&image, u"A\\B\\D", kNowTime);
  EXPECT_EQ(Rewrite(image, kCanonical), kHeader + kA + Fresh("A\\\\B") + kM);
}

TEST(HiveWrite, ParentWithItsOwnSectionGetsNoOther) {
  HiveImage image = Parse(kCanonical);
  DeleteKey(&image, u"A\\B\\C", kNowTime);
  DeleteKey(&image, u"A\\B\\D", kNowTime);
  DeleteKey(&image, u"A\\B", kNowTime);
  EXPECT_EQ(Rewrite(image, kCanonical), kHeader + kA + kM);
}

TEST(HiveWrite, EmptiedBranchIsJustTheHeader) {
  // The branch root exists whether or not it has a section, so it needs none.
  HiveImage image = Parse(kCanonical);
  for (const char16_t* key : {u"A\\B\\C", u"A\\B\\D", u"A\\B", u"A", u"M"})
    DeleteKey(&image, key, kNowTime);
  EXPECT_EQ(Rewrite(image, kCanonical), kHeader);
  const std::string withRoot = kHeader + RegSection("", kT0, "\"v\"=\"1\"\n") + kM;
  HiveImage rooted = Parse(withRoot);
  DeleteKey(&rooted, u"M", kNowTime);
  EXPECT_EQ(Rewrite(rooted, withRoot), kHeader + RegSection("", kT0, "\"v\"=\"1\"\n"));
}

TEST(HiveWrite, DeletingTheRepairedClassKeyTree) {
  const std::string clsid = "Software\\\\Classes\\\\CLSID\\\\";
  const std::string guid = "{00020420-0000-0000-C000-000000000046}";
  const std::string before = RegSection(clsid + "{00020400-0000-0000-C000-000000000046}", kT0, "@=\"x\"\n");
  const std::string target = RegSection(clsid + guid, kT0, "@=\"PSDispatch\"\n") +
                             RegSection(clsid + guid + "\\\\InprocServer", kT0, "@=\"ole2disp.dll\"\n") +
                             RegSection(clsid + guid + "\\\\InprocServer32", kT0,
                                        "@=\"C:\\\\windows\\\\system32\\\\oleaut32.dll\"\n\"ThreadingModel\"=\"Both\"\n");
  const std::string after = RegSection(clsid + "{00020421-0000-0000-C000-000000000046}", kT0, "@=\"y\"\n");
  const std::string text = kHeader + before + target + after;
  HiveImage image = Parse(text);
  DeleteTree(&image, u"Software\\Classes\\CLSID\\" + Widen(guid), kNowTime);
  EXPECT_EQ(Rewrite(image, text), kHeader + before + after);
}

TEST(HiveWrite, NewKeysGoToWinesCanonicalPositions) {
  HiveImage image = Parse(kCanonical);
  CreateKey(&image, u"A\\B\\Ca", kNowTime);      // between C and D
  CreateKey(&image, u"A\\_under", kNowTime);     // '_' sorts before 'b' in Wine's order
  CreateKey(&image, u"A\\_zz", kNowTime);        // after its sibling _under
  CreateKey(&image, u"0first", kNowTime);        // before every section
  CreateKey(&image, u"N\\O\\P", kNowTime);       // only the deepest new key gets a section
  CreateKey(&image, u"A\\B\\C\\deep", kNowTime); // below a key that keeps its own section
  CreateKey(&image, u"A\\B", kNowTime);          // exists: nothing new
  EXPECT_EQ(Rewrite(image, kCanonical),
            kHeader + Fresh("0first") + kA + Fresh("A\\\\_under") + Fresh("A\\\\_zz") + kABC +
                Fresh("A\\\\B\\\\C\\\\deep") + Fresh("A\\\\B\\\\Ca") + kABD + kM +
                Fresh("N\\\\O\\\\P"));
}

TEST(HiveWrite, NewKeysWithOddNamesAreEscaped) {
  HiveImage image = Parse(kCanonical);
  CreateKey(&image, u"M\\br[ack]et \u00e9a\\\U0001F600", kNowTime);
  EXPECT_EQ(Rewrite(image, kCanonical),
            kCanonical + Fresh("M\\\\br\\[ack\\]et \\x00e9a\\\\\\xd83d\\xde00"));
}

TEST(HiveWrite, GeneratedSectionUsesWinesTimeFormat) {
  HiveImage image = Parse(kHeader);
  RegNode* key = CreateKey(&image, u"T", 0);
  key->time = 0x1dd871d3b6c4ff8;
  EXPECT_EQ(Rewrite(image, kHeader), kHeader + "\n[T] 1796738751\n#time=1dd871d3b6c4ff8\n");
}

// Wine prints the low word of #time= as exactly eight digits, so a low word below 0x10000000
// keeps its leading zeros inside the number, and a high word of 0 shows as a leading "0".
TEST(HiveWrite, TimesWhoseLowWordStartsWithZeroKeepItsDigits) {
  struct Case {
    uint64_t time;
    const char* text;  // as Wine 8's save_subkeys writes the header and #time lines
  };
  const Case cases[] = {
      {0x01dd871d0b6c4ff8u, "] 1796738670\n#time=1dd871d0b6c4ff8\n"},
      {0x01dd871d00000001u, "] 1796738651\n#time=1dd871d00000001\n"},
      // Before 1970: Wine's signed seconds, truncated toward zero, kept as an unsigned int.
      {0x0000000000abcdefu, "] 1240428290\n#time=000abcdef\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    HiveImage image = Parse(kHeader);
    RegNode* key = CreateKey(&image, u"T", 0);
    key->time = c.time;
    EXPECT_EQ(Rewrite(image, kHeader), kHeader + "\n[T" + c.text);
  }
}

// Read, then written again from the key's time alone: the same bytes as Wine wrote them.
TEST(HiveWrite, TimesWhoseLowWordStartsWithZeroRoundTrip) {
  for (const char* lines : {"] 1796738670\n#time=1dd871d0b6c4ff8\n",
                            "] 1796738651\n#time=1dd871d00000001\n",
                            "] 1240428290\n#time=000abcdef\n"}) {
    SCOPED_TRACE(lines);
    const std::string text = kHeader + "\n[T" + lines;
    HiveImage image = Parse(text);
    RegNode* key = FindKey(image, u"T");
    ASSERT_NE(key, nullptr);
    RemoveSections(&image, key);  // the section must now be generated from the tree
    EXPECT_EQ(Rewrite(image, text), text);
  }
  EXPECT_EQ(FindKey(Parse(kHeader + "\n[T] 1\n#time=1dd871d0b6c4ff8\n"), u"T")->time,
            0x01dd871d0b6c4ff8u);
  EXPECT_EQ(FindKey(Parse(kHeader + "\n[T] 1\n#time=000abcdef\n"), u"T")->time, 0xabcdefu);
}

TEST(HiveWrite, LiveLeafWhoseSectionsWereRemovedGetsOneBack) {
  HiveImage image = Parse(kCanonical);
  RegNode* m = FindKey(image, u"M");
  RemoveSections(&image, m);
  m->time = kNowTime;
  EXPECT_EQ(Rewrite(image, kCanonical), kHeader + kA + kABC + kABD + Fresh("M"));
}

TEST(HiveWrite, KeysBelowALinkAreNotEntered) {
  const std::string text = kHeader + RegSection("L", kT0, "#link\n") + kM;
  HiveImage image = Parse(text);
  CreateKey(&image, u"L\\inside", kNowTime);
  EXPECT_EQ(Rewrite(image, text), text);
}

TEST(HiveWrite, SectionsBelowADeletedKeyAreNotWritten) {
  HiveImage image = Parse(kCanonical);
  RegNode* b = FindKey(image, u"A\\B");
  b->deleted = true;  // a whole subtree cut off without its sections being marked
  EXPECT_EQ(Rewrite(image, kCanonical), kHeader + kA + kM);
}

TEST(HiveWrite, NewKeysInAFileOutOfOrderFollowTheirPredecessor) {
  const std::string sb = RegSection("B", kT0, "\"v\"=\"1\"\n");
  const std::string sa = RegSection("A", kT0, "\"v\"=\"1\"\n");
  const std::string text = kHeader + sb + sa;
  HiveImage image = Parse(text);
  CreateKey(&image, u"A\\x", kNowTime);  // after A, which is last in the file
  CreateKey(&image, u"B\\y", kNowTime);  // after B
  EXPECT_EQ(Rewrite(image, text), kHeader + sb + Fresh("B\\\\y") + sa + Fresh("A\\\\x"));
}

TEST(HiveWrite, RepeatedSectionsAreKeptOrDroppedTogether) {
  const std::string d1 = RegSection("dup", kT0, "\"a\"=\"1\"\n");
  const std::string x = RegSection("x", kT0);
  const std::string d2 = RegSection("DUP", kT0, "\"b\"=\"2\"\n");
  const std::string text = kHeader + d1 + x + d2;
  HiveImage image = Parse(text);
  EXPECT_EQ(Rewrite(image, text), text);
  CreateKey(&image, u"dup\\sub", kNowTime);  // after the key's last section
  EXPECT_EQ(Rewrite(image, text), kHeader + d1 + x + d2 + Fresh("dup\\\\sub"));
  DeleteKey(&image, u"dup\\sub", kNowTime);
  DeleteKey(&image, u"dup", kNowTime);
  EXPECT_EQ(Rewrite(image, text), kHeader + x);
}

// After a save the image takes the new file's layout: every section where a fresh parse of the
// new file finds it, each key's sections chained in order, and a second save from the new file
// gives the same bytes as a fresh load of it would. Once with generated sections merged in, once
// with deletions only (the table squeezed in place).
TEST(HiveWrite, StreamsInPiecesOfAQuarterMebibyte) {
  const std::string text = test_support::LargeHiveText(5 << 20);
  HiveImage image = Parse(text);
  CreateKey(&image, u"Software\\Classes\\CLSID\\{00000002-0000-0000-C000-00000000000F}\\x", kNowTime);
  size_t sourceCalls = 0;
  size_t sinkCalls = 0;
  size_t largest = 0;
  std::string out;
  const HiveByteSource source = [&](uint64_t offset, uint64_t length, std::string* piece) {
    ++sourceCalls;
    largest = std::max<size_t>(largest, length);
    piece->assign(text, offset, length);
    return 0;
  };
  const HiveByteSink sink = [&](const char* data, size_t size) {
    ++sinkCalls;
    largest = std::max(largest, size);
    out.append(data, size);
    return 0;
  };
  ASSERT_EQ(WriteHive(image, source, sink), 0);
  constexpr size_t kPiece = size_t{256} << 10;
  EXPECT_LE(largest, kPiece);
  EXPECT_GE(sinkCalls, text.size() / kPiece);
  // Untouched neighbours are read together: two runs around the new section, in whole pieces.
  EXPECT_LE(sourceCalls, text.size() / kPiece + 3);
  EXPECT_EQ(Parse(out).sections.size(), image.sections.size() + 1);
}

TEST(HiveWrite, SourceAndSinkFailuresAreReturned) {
  const HiveImage image = Parse(kCanonical);
  const HiveByteSink nowhere = [](const char*, size_t) { return 0; };
  const HiveByteSource failing = [](uint64_t, uint64_t, std::string*) { return EACCES; };
  EXPECT_EQ(WriteHive(image, failing, nowhere), EACCES);
  const HiveByteSource shortRead = [](uint64_t, uint64_t length, std::string* piece) {
    piece->assign(length / 2, 'x');
    return 0;
  };
  EXPECT_EQ(WriteHive(image, shortRead, nowhere), EIO);

  const std::string big = test_support::LargeHiveText(3 << 20);
  const HiveImage bigImage = Parse(big);
  const HiveByteSource source = [&](uint64_t offset, uint64_t length, std::string* piece) {
    piece->assign(big, offset, length);
    return 0;
  };
  size_t calls = 0;
  const HiveByteSink full = [&](const char*, size_t) {
    ++calls;
    return ENOSPC;
  };
  EXPECT_EQ(WriteHive(bigImage, source, full), ENOSPC);
  EXPECT_EQ(calls, 1u);  // nothing more is written after a failure
}

// ============================================================================ key paths

TEST(HiveKeyPath, RootIsEmptyAndNamesAreJoinedWithEscapedBackslashes) {
  HiveImage image = Parse(kCanonical);
  EXPECT_EQ(EscapedKeyPath(image.root.get()), "");
  EXPECT_EQ(EscapedKeyPath(FindKey(image, u"A\\B\\C")), "A\\\\B\\\\C");
  RegNode* odd = CreateKey(&image, u"M\\x]y[\t\u00e9\x7f\"", kNowTime);
  EXPECT_EQ(EscapedKeyPath(odd), "M\\\\x\\]y\\[\\t\\xe9\x7f\"");
}

TEST(HiveKeyPath, EveryOddNameSurvivesAWriteAndRead) {
  const HiveImage image = Parse(kHeader + OddSections());
  for (const auto& path : KeyPaths(image)) {
    const RegNode* node = FindKey(image, path);
    ASSERT_NE(node, nullptr);
    std::u16string back;
    const std::string escaped = EscapedKeyPath(node);
    ASSERT_EQ(Unescape(escaped + "]", ']', &back), escaped.size() + 1);
    std::u16string joined;
    for (auto name : SplitKeyPath(back)) joined += (joined.empty() ? u"" : u"\\") + std::u16string(name);
    EXPECT_EQ(joined, path) << escaped;
  }
}

// ============================================================================ Wine itself

class WineHive : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    m_prefix = test_support::WinebootPrefix(&why);
    if (m_prefix.empty()) GTEST_SKIP() << "no Wine prefix for comparison: " << why;
  }
  std::string m_prefix;
};

HiveImage ParseRealFile(const std::string& path, std::string* text) {
  *text = test_support::ReadFile(path);
  HiveImage image;
  HiveParseError error;
  EXPECT_EQ(ParseFromFile(PosixFileSystem(), path, &image, &error), HiveParseStatus::kOk)
      << path << ": " << error.message;
  return image;
}

TEST_F(WineHive, FilesWrittenByWinebootRoundTripByteForByte) {
  for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) {
    SCOPED_TRACE(name);
    const std::string path = m_prefix + "/" + name;
    std::string text;
    const HiveImage image = ParseRealFile(path, &text);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(image.fileSize, text.size());
    EXPECT_EQ(image.sections.size(), CountLinesStartingWith(text, "["));
    size_t links = 0;
    for (const auto& s : image.sections) links += s.node->link ? 1 : 0;
    EXPECT_EQ(links, CountLinesStartingWith(text, "#link"));
    // Read the original bytes back through the descriptor, as a save does.
    int fd = -1;
    ASSERT_EQ(PosixFileSystem().Open(path, O_RDONLY, 0, &fd), 0);
    const HiveByteSource source = [fd](uint64_t offset, uint64_t length, std::string* piece) {
      piece->resize(length);
      size_t got = 0;
      const int rc = PosixFileSystem().PRead(fd, &(*piece)[0], length, offset, &got);
      piece->resize(got);
      return rc;
    };
    std::string out;
    const HiveByteSink sink = [&out](const char* data, size_t size) {
      out.append(data, size);
      return 0;
    };
    EXPECT_EQ(WriteHive(image, source, sink), 0);
    PosixFileSystem().Close(fd);
    EXPECT_TRUE(out == text) << "the rewritten file differs from Wine's";
  }
  std::string text;
  const HiveImage machine = ParseRealFile(m_prefix + "/system.reg", &text);
  EXPECT_NE(FindKey(machine, u"Software\\Classes\\CLSID\\{00020420-0000-0000-C000-000000000046}"),
            nullptr);
}

// The key's path below the branch root.
std::u16string PathOf(const RegNode* node) {
  std::u16string path;
  for (const RegNode* n = node; n->parent != nullptr; n = n->parent)
    path = path.empty() ? Str(n->name()) : Str(n->name()) + u"\\" + path;
  return path;
}

// Plain printable ASCII without quotes, so it can be handed to "reg query" on a command line.
bool IsPlainPath(const std::u16string& path) {
  return std::all_of(path.begin(), path.end(),
                     [](char16_t c) { return c >= 0x20 && c < 0x7F && c != u'\'' && c != u'"'; });
}

// Finds a key without a section of its own whose only subkey is a leaf with one: deleting that
// leaf leaves the key needing a section, or Wine would lose it.
const RegNode* FindImpliedParentOfOneLeaf(const RegNode* node) {
  const RegNode* found = nullptr;
  node->children.ForEach([&](const RegNode* child) {
    if (found != nullptr || child->link) return;
    if (child->section < 0 && child->children.size() == 1) {
      const RegNode* only = child->children.At(0);
      if (only->children.empty() && only->section >= 0 && !only->link &&
          IsPlainPath(PathOf(only))) {
        found = child;
        return;
      }
    }
    found = FindImpliedParentOfOneLeaf(child);
  });
  return found;
}

TEST_F(WineHive, WineSeesDeletionsAndNewKeys) {
  const std::string copy = test_support::CopyPrefix(m_prefix);
  ASSERT_FALSE(copy.empty());
  const std::string path = copy + "/system.reg";
  std::string text;
  HiveImage image = ParseRealFile(path, &text);
  const std::u16string repaired = u"Software\\Classes\\CLSID\\{00020420-0000-0000-C000-000000000046}";
  ASSERT_NE(FindKey(image, repaired), nullptr);
  DeleteTree(&image, repaired, kNowTime);
  const RegNode* parent = FindImpliedParentOfOneLeaf(image.root.get());
  ASSERT_NE(parent, nullptr) << "no implied key with a single leaf in system.reg";
  const std::u16string parentPath = PathOf(parent);
  const std::string parentQuery = "HKLM\\" + WideToNarrow(parentPath);
  DeleteKey(&image, parentPath + u"\\" + Str(parent->children.At(0)->name()), kNowTime);
  CreateKey(&image, u"Software\\OarepairHiveTest\\New Key", kNowTime);
  std::string out;
  ASSERT_EQ(WriteToString(image, text, &out), 0);
  ASSERT_TRUE(test_support::WriteFile(path, out));

  std::string output;
  test_support::StartWineserver(copy);
  EXPECT_NE(test_support::RunWine(copy, "reg query 'HKLM\\" + Narrow(repaired) + "'", &output), 0)
      << output;
  EXPECT_EQ(test_support::RunWine(copy, "reg query '" + parentQuery + "'", &output), 0) << output;
  EXPECT_EQ(test_support::RunWine(copy, "reg query 'HKLM\\Software\\OarepairHiveTest\\New Key'",
                                  &output),
            0)
      << output;
  test_support::StopWineserver(copy);

  // Wine saved the branch from what it loaded: the same keys, apart from those it changes itself.
  std::string saved;
  const HiveImage wine = ParseRealFile(path, &saved);
  ASSERT_NE(saved, out) << "Wine did not save system.reg";
  EXPECT_EQ(FindKey(wine, repaired), nullptr);
  EXPECT_NE(FindKey(wine, parentPath), nullptr);
  EXPECT_NE(FindKey(wine, u"Software\\OarepairHiveTest\\New Key"), nullptr);
  EXPECT_EQ(KeySet(wine, u"Software\\Classes"), KeySet(image, u"Software\\Classes"));
}

TEST_F(WineHive, OddNamesAreReadAsWineReadsThem) {
  const std::string copy = test_support::CopyPrefix(m_prefix);
  ASSERT_FALSE(copy.empty());
  const std::string path = copy + "/user.reg";
  std::string text = test_support::ReadFile(path) + OddSections();
  ASSERT_TRUE(test_support::WriteFile(path, text));
  const HiveImage ours = Parse(text);
  ASSERT_EQ(KeySet(ours, u"Software\\Odd"), [] {
    auto keys = OddKeys();
    keys.erase(u"Software\\Odd");
    return keys;
  }());

  std::string output;
  EXPECT_EQ(test_support::RunWine(copy, "reg query 'HKCU\\Software\\Odd'", &output), 0) << output;
  test_support::StopWineserver(copy);
  std::string saved;
  const HiveImage wine = ParseRealFile(path, &saved);
  ASSERT_NE(saved, text) << "Wine did not save user.reg";
  EXPECT_EQ(KeySet(wine, u"Software\\Odd"), KeySet(ours, u"Software\\Odd"));
  EXPECT_TRUE(FindKey(wine, u"Software\\Odd\\lnk")->link);
  // Wine writes back in canonical form, which we reproduce unchanged.
  EXPECT_EQ(Rewrite(wine, saved), saved);
}

}  // namespace
}  // namespace oarepair::platform
