// Atomic file replacement: the new content, mode and owner land; a symlink stays a link; the temp
// file is private; and every failure or crash leaves the old file whole and no temp file behind.
#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fault_file_system.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/scratch_folder.h"

namespace oarepair::platform {
namespace {

using test_support::Exists;
using test_support::FaultFileSystem;
using test_support::FsOp;
using test_support::kFsOpCount;
using test_support::ListFolder;
using test_support::ReadFile;
using test_support::ScratchFolder;
using test_support::WriteFile;

// A content that a mix of old and new could not be mistaken for: many lines, sent in pieces.
std::string MakeContent(char tag, size_t size) {
  std::string text;
  for (size_t line = 0; text.size() < size; ++line) {
    text += tag;
    text += " line " + std::to_string(line) + "\n";
  }
  text.resize(size);
  return text;
}

// Sends the content in pieces of `piece` bytes and passes on the sink's failure.
std::function<int(const AtomicWriteSink&)> Producer(const std::string& content, size_t piece) {
  return [content, piece](const AtomicWriteSink& sink) {
    for (size_t at = 0; at < content.size(); at += piece) {
      size_t n = content.size() - at < piece ? content.size() - at : piece;
      if (int err = sink(content.data() + at, n)) return err;
    }
    return 0;
  };
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.Valid());
    m_target = m_dir / "user.reg";
  }
  ScratchFolder m_dir;
  std::string m_target;
  const std::string m_old = MakeContent('o', 5000);
  const std::string m_new = MakeContent('n', 7321);
};

TEST_F(AtomicFileTest, ReplacesContentAndLeavesNothingElse) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  struct stat before {};
  ASSERT_EQ(0, ::stat(m_target.c_str(), &before));

  ASSERT_EQ(0, AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_new, 333)));

  EXPECT_EQ(m_new, ReadFile(m_target));
  EXPECT_EQ(std::set<std::string>{"user.reg"}, ListFolder(m_dir.Path()));
  struct stat after {};
  ASSERT_EQ(0, ::stat(m_target.c_str(), &after));
  EXPECT_NE(before.st_ino, after.st_ino) << "the file must be replaced, not rewritten in place";
}

TEST_F(AtomicFileTest, EmptyContentGivesEmptyFile) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  ASSERT_EQ(0, AtomicReplaceFile(PosixFileSystem(), m_target,
                                 [](const AtomicWriteSink&) { return 0; }));
  EXPECT_EQ("", ReadFile(m_target));
}

TEST_F(AtomicFileTest, SmallPiecesAreGatheredIntoLargeWrites) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  const std::string big = MakeContent('b', 600 * 1024 + 17);
  FaultFileSystem fs;
  ASSERT_EQ(0, AtomicReplaceFile(fs, m_target, Producer(big, 7)));
  EXPECT_EQ(big, ReadFile(m_target));
  // 600 KiB in 7-byte pieces is ~88000 sink calls; gathered, it is a handful of writes.
  EXPECT_LE(fs.Count(FsOp::kWrite), 4u);
  EXPECT_GE(fs.Count(FsOp::kWrite), 1u);
}

TEST_F(AtomicFileTest, PiecesLargerThanTheBufferArriveInOrder) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  const std::string big = MakeContent('B', 3 * 1024 * 1024 + 5);
  // Mixed piece sizes: small ones that are buffered, then huge ones that bypass the buffer.
  auto produce = [&big](const AtomicWriteSink& sink) {
    size_t at = 0;
    const size_t pieces[] = {10, 1000, 700000, 3, 1500000};
    for (size_t i = 0; at < big.size(); ++i) {
      size_t n = pieces[i % 5];
      if (n > big.size() - at) n = big.size() - at;
      if (int err = sink(big.data() + at, n)) return err;
      at += n;
    }
    return 0;
  };
  ASSERT_EQ(0, AtomicReplaceFile(PosixFileSystem(), m_target, produce));
  EXPECT_TRUE(ReadFile(m_target) == big);
}

// Pieces around the size of one write, after buffered bytes and before them: the boundaries at
// which a piece is gathered, written as it is, or written after what was gathered.
TEST_F(AtomicFileTest, PiecesOfAboutOneWriteArriveInOrder) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  constexpr size_t kWrite = 256 * 1024;
  const size_t pieces[] = {5, kWrite, kWrite, kWrite - 1, 1, kWrite + 1, 7, kWrite - 7, kWrite};
  size_t total = 0;
  for (size_t n : pieces) total += n;
  const std::string big = MakeContent('w', total);
  auto produce = [&](const AtomicWriteSink& sink) {
    size_t at = 0;
    for (size_t n : pieces) {
      if (int err = sink(big.data() + at, n)) return err;
      at += n;
    }
    return 0;
  };
  FaultFileSystem fs;
  ASSERT_EQ(0, AtomicReplaceFile(fs, m_target, produce));
  EXPECT_TRUE(ReadFile(m_target) == big);
  // Nothing is written in more pieces than it came in.
  EXPECT_LE(fs.Count(FsOp::kWrite), std::size(pieces));
}

// Records, in order, the bytes written to each descriptor, the writeback asked for and the syncs.
class WritebackWatcher : public test_support::ForwardingFileSystem {
 public:
  struct Event {
    char kind;  // 'w' write, 'b' writeback asked for, 's' fsync
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t writtenBefore = 0;  // bytes written to the descriptor before this event
  };
  WritebackWatcher() : ForwardingFileSystem(PosixFileSystem()) {}
  int Write(int fd, const void* buf, size_t n) override {
    const int err = m_base.Write(fd, buf, n);
    if (!err) Record(fd, {'w', 0, n});
    return err;
  }
  void StartWriteback(int fd, uint64_t offset, uint64_t length) override {
    Record(fd, {'b', offset, length});
    m_base.StartWriteback(fd, offset, length);
  }
  int Fsync(int fd) override {
    Record(fd, {'s'});
    return m_base.Fsync(fd);
  }
  std::vector<Event> events;

 private:
  void Record(int fd, Event event) {
    event.writtenBefore = m_written[fd];
    if (event.kind == 'w') m_written[fd] += event.length;
    events.push_back(event);
  }
  std::map<int, uint64_t> m_written;
};

// A large save asks the disk to start on what it has written as it goes, in order, never past
// what was written, and all before the sync that makes the file durable.
TEST_F(AtomicFileTest, LargeSaveStartsWritebackOfWrittenBytesBeforeItsSync) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  const std::string big = MakeContent('L', 20 * 1024 * 1024 + 5);
  WritebackWatcher fs;
  ASSERT_EQ(0, AtomicReplaceFile(fs, m_target, Producer(big, 300000)));
  EXPECT_TRUE(ReadFile(m_target) == big);

  uint64_t next = 0;
  size_t asked = 0;
  bool synced = false;
  for (const WritebackWatcher::Event& event : fs.events) {
    if (event.kind == 's') synced = true;
    if (event.kind != 'b') continue;
    ++asked;
    EXPECT_FALSE(synced) << "writeback asked for after the sync";
    EXPECT_EQ(next, event.offset) << "ranges must follow one another from the start";
    EXPECT_GT(event.length, 0u);
    EXPECT_LE(event.offset + event.length, event.writtenBefore) << "range not yet written";
    next = event.offset + event.length;
  }
  EXPECT_GE(asked, 2u);
  EXPECT_TRUE(synced);
}

TEST_F(AtomicFileTest, KeepsTheModeOfTheOldFile) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  ASSERT_EQ(0, ::chmod(m_target.c_str(), 0640));
  ASSERT_EQ(0, AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_new, 100)));
  EXPECT_EQ(0640u, ModeOf(m_target));

  ASSERT_EQ(0, ::chmod(m_target.c_str(), 0600));
  ASSERT_EQ(0, AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_old, 100)));
  EXPECT_EQ(0600u, ModeOf(m_target));
  EXPECT_EQ(m_old, ReadFile(m_target));
}

TEST_F(AtomicFileTest, KeepsTheOwnerOfTheOldFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  ASSERT_TRUE(WriteFile(m_target, m_old));
  ASSERT_EQ(0, ::chown(m_target.c_str(), 65534, 65533));
  ASSERT_EQ(0, ::chmod(m_target.c_str(), 0604));
  ASSERT_EQ(0, AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_new, 100)));
  struct stat st {};
  ASSERT_EQ(0, ::stat(m_target.c_str(), &st));
  EXPECT_EQ(65534u, st.st_uid);
  EXPECT_EQ(65533u, st.st_gid);
  EXPECT_EQ(0604u, st.st_mode & 07777) << "the mode must survive the change of owner";
  EXPECT_EQ(m_new, ReadFile(m_target));
}

TEST_F(AtomicFileTest, RefusedChownFailsUnlessTheOwnerIsAlreadyUs) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  {
    // Our own file whose group we may not give: the group is lost, the save goes on.
    FaultFileSystem fs;
    fs.FailNth(FsOp::kFChown, 1, EPERM);
    EXPECT_EQ(0, AtomicReplaceFile(fs, m_target, Producer(m_new, 100)));
    EXPECT_EQ(m_new, ReadFile(m_target));
    EXPECT_EQ(1u, fs.InjectedFaults());
  }
  if (::geteuid() != 0) return;  // only root can make another user's file for the second half
  ASSERT_EQ(0, ::chown(m_target.c_str(), 65534, 65534));
  FaultFileSystem fs;
  fs.FailNth(FsOp::kFChown, 1, EPERM);
  EXPECT_EQ(EPERM, AtomicReplaceFile(fs, m_target, Producer(m_old, 100)));
  EXPECT_EQ(m_new, ReadFile(m_target)) << "another user's file must not silently become ours";
  EXPECT_EQ(std::set<std::string>{"user.reg"}, ListFolder(m_dir.Path()));
}

TEST_F(AtomicFileTest, SymlinkIsWrittenThroughAndStaysALink) {
  ScratchFolder realDir;
  ASSERT_TRUE(realDir.Valid());
  const std::string real = realDir / "user.reg";
  ASSERT_TRUE(WriteFile(real, m_old));
  ASSERT_EQ(0, ::chmod(real.c_str(), 0600));
  // A relative link through a second link, as users set prefixes up by hand.
  ASSERT_EQ(0, ::symlink(real.c_str(), (m_dir / "hop").c_str()));
  ASSERT_EQ(0, ::symlink("hop", m_target.c_str()));

  FaultFileSystem fs;
  fs.SetRecording(true);
  std::string tempFolder;
  auto produce = [&](const AtomicWriteSink& sink) {
    for (const std::string& name : ListFolder(realDir.Path())) {
      if (name != "user.reg") tempFolder = realDir.Path();
    }
    return sink(m_new.data(), m_new.size());
  };
  ASSERT_EQ(0, AtomicReplaceFile(fs, m_target, produce));

  struct stat link {};
  ASSERT_EQ(0, ::lstat(m_target.c_str(), &link));
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  char text[64] = {};
  ASSERT_EQ(3, ::readlink(m_target.c_str(), text, sizeof text - 1));
  EXPECT_STREQ("hop", text);
  EXPECT_EQ(m_new, ReadFile(real));
  EXPECT_EQ(0600u, ModeOf(real));
  EXPECT_EQ(realDir.Path(), tempFolder) << "the temp file belongs beside the real file";
  EXPECT_EQ((std::set<std::string>{"hop", "user.reg"}), ListFolder(m_dir.Path()));
  EXPECT_EQ(std::set<std::string>{"user.reg"}, ListFolder(realDir.Path()));
  // The folder synced is the real file's folder.
  bool renamedIntoRealFolder = false;
  for (const auto& call : fs.Calls()) {
    if (call.op == FsOp::kRename) renamedIntoRealFolder = call.path2 == real;
  }
  EXPECT_TRUE(renamedIntoRealFolder);
}

TEST_F(AtomicFileTest, DanglingSymlinkIsRefusedAndKept) {
  ASSERT_EQ(0, ::symlink("nowhere.reg", m_target.c_str()));
  EXPECT_EQ(ENOENT, AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_new, 100)));
  struct stat link {};
  ASSERT_EQ(0, ::lstat(m_target.c_str(), &link));
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(std::set<std::string>{"user.reg"}, ListFolder(m_dir.Path()));
}

TEST_F(AtomicFileTest, FolderOrDeviceTargetIsRefused) {
  ASSERT_EQ(0, ::mkdir(m_target.c_str(), 0700));
  EXPECT_EQ(EISDIR, AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_new, 100)));
  const std::string fifo = m_dir / "pipe";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  EXPECT_EQ(EINVAL, AtomicReplaceFile(PosixFileSystem(), fifo, Producer(m_new, 100)));
  EXPECT_EQ((std::set<std::string>{"pipe", "user.reg"}), ListFolder(m_dir.Path()));
}

TEST_F(AtomicFileTest, MissingFolderFails) {
  EXPECT_EQ(ENOENT, AtomicReplaceFile(PosixFileSystem(), m_dir / "no/such.reg",
                                      Producer(m_new, 100)));
}

TEST_F(AtomicFileTest, NewFileGets0644LessTheUmask) {
  const mode_t saved = ::umask(027);
  EXPECT_EQ(027u, CurrentUmask());
  int result = AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_new, 100));
  ::umask(022);
  EXPECT_EQ(022u, CurrentUmask());
  int second = AtomicReplaceFile(PosixFileSystem(), m_dir / "other.reg", Producer(m_old, 100));
  ::umask(saved);
  ASSERT_EQ(0, result);
  ASSERT_EQ(0, second);
  EXPECT_EQ(0640u, ModeOf(m_target));
  EXPECT_EQ(0644u, ModeOf(m_dir / "other.reg"));
  EXPECT_EQ(m_new, ReadFile(m_target));
}

// Umasks that leave 0666's group and other write bits visible: a new file is still 0644 at most.
TEST_F(AtomicFileTest, NewFileIs0644WhenTheUmaskWouldAllowMore) {
  const mode_t saved = ::umask(0);
  const int open = AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_new, 100));
  ::umask(002);
  const int group = AtomicReplaceFile(PosixFileSystem(), m_dir / "other.reg", Producer(m_old, 100));
  ::umask(077);
  const int privateFile =
      AtomicReplaceFile(PosixFileSystem(), m_dir / "private.reg", Producer(m_old, 100));
  ::umask(saved);
  ASSERT_EQ(0, open);
  ASSERT_EQ(0, group);
  ASSERT_EQ(0, privateFile);
  EXPECT_EQ(0644u, ModeOf(m_target));
  EXPECT_EQ(0644u, ModeOf(m_dir / "other.reg"));
  EXPECT_EQ(0600u, ModeOf(m_dir / "private.reg"));
}

// The replaced file's set-id and sticky bits stay; the umask plays no part in a replacement.
TEST_F(AtomicFileTest, SetIdAndStickyBitsOfTheReplacedFileAreKept) {
  const mode_t saved = ::umask(0);
  for (mode_t mode : {04755, 02750, 01644, 06711, 07777, 00600}) {
    SCOPED_TRACE(std::to_string(mode));
    ASSERT_TRUE(WriteFile(m_target, m_old));
    ASSERT_EQ(0, ::chmod(m_target.c_str(), mode));
    ASSERT_EQ(mode, ModeOf(m_target)) << "this file system does not keep these bits";
    ASSERT_EQ(0, AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_new, 100)));
    EXPECT_EQ(mode, ModeOf(m_target));
    EXPECT_EQ(m_new, ReadFile(m_target));
  }
  ::umask(saved);
}

// When the old group cannot be given to the new file, its set-group-id bit would give the group
// the new file has instead, which the old file never gave: that bit goes, the rest stays.
TEST_F(AtomicFileTest, SetGroupIdIsNotGivenToAnotherGroup) {
  struct stat mine {};
  ASSERT_TRUE(WriteFile(m_target, m_old));
  ASSERT_EQ(0, ::stat(m_target.c_str(), &mine));
  const gid_t other = mine.st_gid + 4242;
  if (::chown(m_target.c_str(), static_cast<uid_t>(-1), other) != 0)
    GTEST_SKIP() << "giving the file a group we are not in needs privilege";
  ASSERT_EQ(0, ::chmod(m_target.c_str(), 06755));
  FaultFileSystem unprivileged;
  unprivileged.FailNth(FsOp::kFChown, 1, EPERM);  // as a user outside that group is refused
  ASSERT_EQ(0, AtomicReplaceFile(unprivileged, m_target, Producer(m_new, 100)));
  struct stat after {};
  ASSERT_EQ(0, ::stat(m_target.c_str(), &after));
  EXPECT_NE(other, after.st_gid);
  EXPECT_EQ(04755u, after.st_mode & 07777);
  EXPECT_EQ(m_new, ReadFile(m_target));

  // A refused chown that leaves the file in the old group anyway keeps the bit.
  ASSERT_EQ(0, ::chown(m_target.c_str(), static_cast<uid_t>(-1), mine.st_gid));
  ASSERT_EQ(0, ::chmod(m_target.c_str(), 02755));
  FaultFileSystem refused;
  refused.FailNth(FsOp::kFChown, 1, EPERM);
  ASSERT_EQ(0, AtomicReplaceFile(refused, m_target, Producer(m_old, 100)));
  EXPECT_EQ(02755u, ModeOf(m_target));
}

TEST_F(AtomicFileTest, TempFileIsPrivateWhileWrittenAndBesideTheTarget) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  ASSERT_EQ(0, ::chmod(m_target.c_str(), 0644));
  const mode_t saved = ::umask(0);  // the temp file must be private whatever the umask
  std::vector<mode_t> seen;
  auto produce = [&](const AtomicWriteSink& sink) {
    for (const std::string& name : ListFolder(m_dir.Path())) {
      if (name != "user.reg") seen.push_back(ModeOf(m_dir / name));
    }
    int err = sink(m_new.data(), m_new.size());
    for (const std::string& name : ListFolder(m_dir.Path())) {
      if (name != "user.reg") seen.push_back(ModeOf(m_dir / name));
    }
    return err;
  };
  int result = AtomicReplaceFile(PosixFileSystem(), m_target, produce);
  ::umask(saved);
  ASSERT_EQ(0, result);
  ASSERT_EQ(2u, seen.size()) << "exactly one temp file, in the target's folder";
  EXPECT_EQ(0600u, seen[0]);
  EXPECT_EQ(0600u, seen[1]);
  EXPECT_EQ(0644u, ModeOf(m_target));
}

TEST_F(AtomicFileTest, BeforeRenameSeesTheCompleteFileAndCanVeto) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  std::string tempContent;
  mode_t tempMode = 0;
  ASSERT_TRUE(WriteFile(m_target, m_old));
  ASSERT_EQ(0, ::chmod(m_target.c_str(), 0640));
  auto veto = [&]() {
    for (const std::string& name : ListFolder(m_dir.Path())) {
      if (name == "user.reg") continue;
      tempContent = ReadFile(m_dir / name);
      tempMode = ModeOf(m_dir / name);
    }
    return EBUSY;
  };
  EXPECT_EQ(EBUSY, AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_new, 999), veto));
  EXPECT_EQ(m_new, tempContent) << "the hook runs once the new content is complete";
  EXPECT_EQ(0640u, tempMode);
  EXPECT_EQ(m_old, ReadFile(m_target));
  EXPECT_EQ(0640u, ModeOf(m_target));
  EXPECT_EQ(std::set<std::string>{"user.reg"}, ListFolder(m_dir.Path()));

  int calls = 0;
  auto allow = [&]() {
    ++calls;
    return 0;
  };
  EXPECT_EQ(0, AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_new, 999), allow));
  EXPECT_EQ(1, calls);
  EXPECT_EQ(m_new, ReadFile(m_target));
}

TEST_F(AtomicFileTest, ProducerFailureKeepsTheOldFile) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  auto failing = [&](const AtomicWriteSink& sink) {
    sink(m_new.data(), 100);
    return EIO;
  };
  EXPECT_EQ(EIO, AtomicReplaceFile(PosixFileSystem(), m_target, failing));
  EXPECT_EQ(m_old, ReadFile(m_target));
  EXPECT_EQ(std::set<std::string>{"user.reg"}, ListFolder(m_dir.Path()));
}

TEST_F(AtomicFileTest, SinkFailureWinsEvenWhenTheProducerIgnoresIt) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  const std::string big = MakeContent('x', 2 * 1024 * 1024);
  FaultFileSystem fs;
  fs.FailNth(FsOp::kWrite, 1, ENOSPC);
  int laterSinkResult = 0;
  auto careless = [&](const AtomicWriteSink& sink) {
    sink(big.data(), big.size());                  // fails; ignored
    laterSinkResult = sink(m_new.data(), 10);      // must keep failing
    return 0;
  };
  EXPECT_EQ(ENOSPC, AtomicReplaceFile(fs, m_target, careless));
  EXPECT_EQ(ENOSPC, laterSinkResult);
  EXPECT_EQ(1u, fs.Count(FsOp::kWrite)) << "nothing is written after the first failure";
  EXPECT_EQ(m_old, ReadFile(m_target));
  EXPECT_EQ(std::set<std::string>{"user.reg"}, ListFolder(m_dir.Path()));
}

TEST_F(AtomicFileTest, TheSinksErrorIsReportedRatherThanTheProducersLaterOne) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  const std::string big = MakeContent('x', 1024 * 1024);
  FaultFileSystem fs;
  fs.FailNth(FsOp::kWrite, 1, ENOSPC);
  auto confused = [&](const AtomicWriteSink& sink) {
    return sink(big.data(), big.size()) ? EIO : 0;  // reports a failure of its own
  };
  EXPECT_EQ(ENOSPC, AtomicReplaceFile(fs, m_target, confused));
  EXPECT_EQ(m_old, ReadFile(m_target));
}

TEST_F(AtomicFileTest, HardLinkedFileIsReplacedAndTheOtherLinkKeepsTheOldContent) {
  ASSERT_TRUE(WriteFile(m_target, m_old));
  ASSERT_EQ(0, ::link(m_target.c_str(), (m_dir / "copy.reg").c_str()));
  ASSERT_EQ(0, AtomicReplaceFile(PosixFileSystem(), m_target, Producer(m_new, 100)));
  EXPECT_EQ(m_new, ReadFile(m_target));
  EXPECT_EQ(m_old, ReadFile(m_dir / "copy.reg"));
}

// --- Fault sweeps: the same replacement with one call failing, for every call there is.

enum class Layout { kPlainFile, kSymlink, kNewFile };

struct SweepCase {
  Layout layout;
  int err;
};

std::string LayoutName(Layout layout) {
  switch (layout) {
    case Layout::kPlainFile: return "PlainFile";
    case Layout::kSymlink: return "Symlink";
    case Layout::kNewFile: return "NewFile";
  }
  return "?";
}

std::string SweepCaseName(const ::testing::TestParamInfo<SweepCase>& param) {
  const int err = param.param.err;
  return LayoutName(param.param.layout) + "_" +
         (err == ENOSPC ? "ENOSPC" : err == EIO ? "EIO" : "EACCES");
}

class AtomicFileFaultTest : public ::testing::TestWithParam<SweepCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.Valid());
    ASSERT_TRUE(m_realDir.Valid());
    m_path = m_dir / "system.reg";
    m_real = GetParam().layout == Layout::kSymlink ? m_realDir / "system.reg" : m_path;
  }

  // Puts the original state back: the old file (or none), the link when there is one.
  void Reset() {
    std::error_code ignored;
    for (const std::string& name : ListFolder(m_dir.Path())) {
      std::filesystem::remove_all(m_dir / name, ignored);
    }
    for (const std::string& name : ListFolder(m_realDir.Path())) {
      std::filesystem::remove_all(m_realDir / name, ignored);
    }
    if (GetParam().layout == Layout::kNewFile) return;
    ASSERT_TRUE(WriteFile(m_real, m_old));
    ASSERT_EQ(0, ::chmod(m_real.c_str(), 0640));
    if (GetParam().layout == Layout::kSymlink) {
      ASSERT_EQ(0, ::symlink(m_real.c_str(), m_path.c_str()));
    }
  }

  bool HasOld() const {
    if (GetParam().layout == Layout::kNewFile) return !Exists(m_real);
    return Exists(m_real) && ReadFile(m_real) == m_old && ModeOf(m_real) == 0640;
  }
  bool HasNew() const { return Exists(m_real) && ReadFile(m_real) == m_new; }

  // Only the target (and, for the link layout, the link) are left: no temp file anywhere.
  bool NoStrayFiles() const {
    std::set<std::string> expected;
    if (GetParam().layout != Layout::kNewFile || Exists(m_path)) expected.insert("system.reg");
    std::set<std::string> expectedReal;
    if (GetParam().layout == Layout::kSymlink) expectedReal.insert("system.reg");
    return ListFolder(m_dir.Path()) == expected && ListFolder(m_realDir.Path()) == expectedReal;
  }

  int Replace(FaultFileSystem& fs) {
    return AtomicReplaceFile(fs, m_path, Producer(m_new, 4096));
  }

  // Hundreds of replacements, each with two syncs: memory keeps the sweep quick, and the fault
  // file system models what a crash keeps.
  ScratchFolder m_dir{test_support::MemoryScratchBase()};
  ScratchFolder m_realDir{test_support::MemoryScratchBase()};
  std::string m_path;
  std::string m_real;
  const std::string m_old = MakeContent('o', 40 * 1024);
  // Three writes of the gathering buffer, so that a failing second and third write are swept too.
  const std::string m_new = MakeContent('n', 600 * 1024 + 3);
};

TEST_P(AtomicFileFaultTest, EveryFailingCallOfEveryKindKeepsTheOldFile) {
  Reset();
  FaultFileSystem clean;
  clean.SetRecording(true);
  ASSERT_EQ(0, Replace(clean));
  ASSERT_TRUE(HasNew());
  // The call at which the new file becomes the target; after it only the folder sync counts.
  size_t renameAt = clean.Calls().size();
  for (size_t i = 0; i < clean.Calls().size(); ++i) {
    if (clean.Calls()[i].op == FsOp::kRename) renameAt = i;
  }
  ASSERT_LT(renameAt, clean.Calls().size());
  for (FsOp op : {FsOp::kRealPath, FsOp::kOpen, FsOp::kWrite, FsOp::kFChmod, FsOp::kClose,
                  FsOp::kRename}) {
    EXPECT_GE(clean.Count(op), 1u) << test_support::FsOpName(op) << " never used";
  }
  EXPECT_EQ(2u, clean.Count(FsOp::kFsync)) << "the file and its folder";
  const bool replacing = GetParam().layout != Layout::kNewFile;
  EXPECT_EQ(replacing ? 1u : 0u, clean.Count(FsOp::kFChown));
  EXPECT_EQ(replacing ? 1u : 0u, clean.Count(FsOp::kStat));
  EXPECT_EQ(replacing ? 0u : 1u, clean.Count(FsOp::kLStat));

  uint64_t sweeps = 0;
  for (size_t kind = 0; kind < kFsOpCount; ++kind) {
    const FsOp op = static_cast<FsOp>(kind);
    // One past the last call as well: a fault that never comes must change nothing.
    for (uint64_t n = 1; n <= clean.Count(op) + 1; ++n) {
      Reset();
      FaultFileSystem fs;
      fs.SetRecording(true);
      fs.FailNth(op, n, GetParam().err);
      const int result = Replace(fs);
      ++sweeps;
      SCOPED_TRACE(std::string(test_support::FsOpName(op)) + " #" + std::to_string(n));
      if (fs.InjectedFaults() == 0) {
        EXPECT_EQ(0, result);
        EXPECT_TRUE(HasNew());
        EXPECT_TRUE(NoStrayFiles());
        continue;
      }
      // Where did the failing call stand in the clean sequence?
      size_t at = 0;
      for (uint64_t seen = 0; at < clean.Calls().size(); ++at) {
        if (clean.Calls()[at].op == op && ++seen == n) break;
      }
      if (at <= renameAt) {
        EXPECT_EQ(GetParam().err, result);
        EXPECT_TRUE(HasOld()) << "old content, mode and presence must be kept";
      } else {
        // Past the rename: the new file is in place. A failed folder sync is still reported.
        EXPECT_TRUE(HasNew());
        EXPECT_EQ(op == FsOp::kFsync ? GetParam().err : 0, result);
      }
      EXPECT_TRUE(NoStrayFiles());
    }
  }
  EXPECT_GE(sweeps, 12u);
}

TEST_P(AtomicFileFaultTest, FailingTheNthCallOfAnyKindKeepsTheOldFile) {
  Reset();
  FaultFileSystem clean;
  clean.SetRecording(true);
  ASSERT_EQ(0, Replace(clean));
  const uint64_t total = clean.TotalCount();
  size_t renameAt = 0;
  for (size_t i = 0; i < clean.Calls().size(); ++i) {
    if (clean.Calls()[i].op == FsOp::kRename) renameAt = i;
  }
  for (uint64_t n = 1; n <= total + 1; ++n) {
    Reset();
    FaultFileSystem fs;
    fs.FailNthAny(n, GetParam().err);
    const int result = Replace(fs);
    SCOPED_TRACE("call #" + std::to_string(n) + " of " + std::to_string(total));
    if (n > total) {
      EXPECT_EQ(0u, fs.InjectedFaults());
      EXPECT_EQ(0, result);
      EXPECT_TRUE(HasNew());
    } else if (n - 1 <= renameAt) {
      EXPECT_EQ(1u, fs.InjectedFaults());
      EXPECT_EQ(GetParam().err, result);
      EXPECT_TRUE(HasOld());
    } else {
      EXPECT_TRUE(HasNew());
      EXPECT_EQ(clean.Calls()[n - 1].op == FsOp::kFsync ? GetParam().err : 0, result);
    }
    EXPECT_TRUE(NoStrayFiles());
  }
}

TEST_P(AtomicFileFaultTest, FullDiskFromTheNthWriteOnKeepsTheOldFile) {
  Reset();
  FaultFileSystem clean;
  ASSERT_EQ(0, Replace(clean));
  for (uint64_t n = 1; n <= clean.Count(FsOp::kWrite); ++n) {
    Reset();
    FaultFileSystem fs;
    fs.FailNth(FsOp::kWrite, n, GetParam().err, /*andAfter=*/true);
    EXPECT_EQ(GetParam().err, Replace(fs));
    EXPECT_TRUE(HasOld());
    EXPECT_TRUE(NoStrayFiles());
  }
}

// The process dies after its k-th call (every later call fails and nothing more reaches the
// disk), then the machine crashes: what is on disk must be the old content or the new, never a
// mix, and the new content once the replacement has reported success.
TEST_P(AtomicFileFaultTest, CrashAtEveryStepLeavesOldOrNewContent) {
  Reset();
  FaultFileSystem clean;
  ASSERT_EQ(0, Replace(clean));
  const uint64_t total = clean.TotalCount();
  int sawOld = 0;
  int sawNew = 0;
  for (uint64_t k = 0; k <= total; ++k) {
    Reset();
    FaultFileSystem fs;
    if (k < total) fs.FailNthAny(k + 1, GetParam().err, /*andAfter=*/true);
    const int result = Replace(fs);
    fs.Crash();
    SCOPED_TRACE("crash after call " + std::to_string(k) + " of " + std::to_string(total));
    const bool hasOld = HasOld();
    const bool hasNew = HasNew();
    EXPECT_TRUE(hasOld || hasNew) << "content after the crash: " << ReadFile(m_real).size()
                                  << " bytes";
    if (result == 0) {
      EXPECT_TRUE(hasNew) << "a reported success must survive the crash";
    }
    EXPECT_TRUE(NoStrayFiles());
    sawOld += hasOld ? 1 : 0;
    sawNew += hasNew ? 1 : 0;
  }
  EXPECT_GT(sawOld, 0);
  EXPECT_GT(sawNew, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, AtomicFileFaultTest,
    ::testing::Values(SweepCase{Layout::kPlainFile, ENOSPC}, SweepCase{Layout::kPlainFile, EIO},
                      SweepCase{Layout::kPlainFile, EACCES}, SweepCase{Layout::kSymlink, ENOSPC},
                      SweepCase{Layout::kSymlink, EIO}, SweepCase{Layout::kSymlink, EACCES},
                      SweepCase{Layout::kNewFile, ENOSPC}, SweepCase{Layout::kNewFile, EIO},
                      SweepCase{Layout::kNewFile, EACCES}),
    SweepCaseName);

}  // namespace
}  // namespace oarepair::platform
