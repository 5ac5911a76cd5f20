// Fuzz target for the registry file reader and writer. For any input: the reader never crashes
// and reads the text in memory and from a file alike, and in one pass and in two parts alike; a file it accepts is written back (with no
// change) byte for byte and reads again to the same tree, and after a deleted leaf and a new key
// it is written so that it reads back as the changed tree; a file it refuses makes the registry
// calls fail with ERROR_BADDB and is never rewritten.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/hive_file.h"
#include "platform/names.h"
#include "platform/registry_control.h"
#include "platform/win32.h"
#include "tests/support/hive_image.h"

namespace {

namespace p = oarepair::platform;
namespace ts = oarepair::test_support;

constexpr uint64_t kFixedNow = 133500000000000000ULL;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "hive_file_fuzzer: %s\n", what);
  std::abort();
}

// Counts for the end of the run: how many inputs were accepted, how many refused, and how many
// were read in two parts that could be joined.
struct Tally {
  uint64_t accepted = 0;
  uint64_t refused = 0;
  uint64_t joined = 0;  // read in two parts that were joined
  ~Tally() {
    std::fprintf(stderr, "hive_file_fuzzer: %llu inputs accepted, %llu refused, %llu joined\n",
                 static_cast<unsigned long long>(accepted),
                 static_cast<unsigned long long>(refused), static_cast<unsigned long long>(joined));
  }
};
Tally g_tally;

// A prefix folder for the refused-input check, on a memory file system when there is one.
std::string g_prefix;

void MakePrefix() {
  const char* tmpdir = std::getenv("TMPDIR");
  for (const char* base : {static_cast<const char*>("/dev/shm"), tmpdir, "/tmp"}) {
    if (base == nullptr || *base == '\0') continue;
    std::string pattern = std::string(base) + "/oarepair-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) != nullptr) {
      g_prefix = buffer.data();
      std::atexit([] {
        ::unlink((g_prefix + "/system.reg").c_str());
        ::rmdir(g_prefix.c_str());
      });
      return;
    }
  }
  Fail("cannot make a scratch prefix");
}

// The tree's shape: every key's name and link flag, children in order. With `fold`, names are
// compared as the registry compares them, without regard to case.
void Describe(const p::RegNode* node, bool fold, std::string* out) {
  std::u16string name(node->name().data(), node->name().size());
  if (fold)
    for (char16_t& c : name) c = p::FoldChar(c);
  for (char16_t c : name) {
    out->push_back(static_cast<char>(c & 0xff));
    out->push_back(static_cast<char>(c >> 8));
  }
  if (node->link) out->append("#link");
  out->push_back('{');
  node->children.ForEach([&](const p::RegNode* child) {
    Describe(child, fold, out);
    out->push_back(';');
  });
  out->push_back('}');
}

std::string Shape(const ts::HiveImage& image, bool fold = false) {
  std::string out;
  if (image.root) Describe(image.root.get(), fold, &out);
  return out;
}

// A cheap hash of the input, to vary the read size and to pick inputs for the slower checks.
uint32_t HashOf(const std::string& text) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
  return hash;
}

void WriteScratchFile(const std::string& text) {
  const std::string path = g_prefix + "/system.reg";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot write the scratch file");
  if (!text.empty() && ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    Fail("short write of the scratch file");
  ::close(fd);
}

// What WriteHive makes of `image`, read from `text`; `failure` when it fails.
std::string WrittenText(const std::string& text, const ts::HiveImage& image, const char* failure) {
  std::string written;
  const p::HiveByteSource source = [&](uint64_t offset, uint64_t length, std::string* out) {
    if (offset > text.size() || length > text.size() - offset) return EIO;
    out->assign(text, static_cast<size_t>(offset), static_cast<size_t>(length));
    return 0;
  };
  const p::HiveByteSink sink = [&](const char* data, size_t size) {
    written.append(data, size);
    return 0;
  };
  if (ts::WriteHive(image, source, sink) != 0) Fail(failure);
  return written;
}

void CheckAccepted(const std::string& text, const ts::HiveImage& image) {
  const std::string written = WrittenText(text, image, "WriteHive failed on an unchanged tree");
  // A file with no section at all has a bare root, which is written as a "[]" section (as Wine
  // writes an empty branch); every other file comes back byte for byte.
  if (!image.sections.empty() && written != text) Fail("an accepted file was not written back as read");
  if (image.sections.empty() && written.compare(0, text.size(), text) != 0)
    Fail("the header of a file without sections was not written back as read");

  ts::HiveImage again;
  p::HiveParseError error;
  if (ts::ParseHiveText(written, &again, &error) != p::HiveParseStatus::kOk)
    Fail("the written file does not read again");
  if (Shape(again) != Shape(image)) Fail("the written file reads as another tree");
}

void CheckRefused(const std::string& text) {
  // As the registry's system.reg, the file must be refused and left alone.
  WriteScratchFile(text);
  const std::string path = g_prefix + "/system.reg";
  struct stat before {};
  if (::stat(path.c_str(), &before) != 0) Fail("the scratch file is gone");
  // The registry names the refused file on stderr; millions of those lines would drown the
  // fuzzer's own report, so they go to /dev/null here.
  const int savedErr = ::dup(2);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (savedErr < 0 || devNull < 0) Fail("cannot silence stderr");
  ::dup2(devNull, 2);
  ::close(devNull);
  p::UsePrefixRegistry(g_prefix);
  HKEY key = nullptr;
  const LONG created = RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Fuzz", &key);
  const LONG flushed = p::FlushRegistry();
  p::UseMemoryRegistry();
  ::dup2(savedErr, 2);
  ::close(savedErr);
  if (created != ERROR_BADDB) Fail("a refused file was not reported as ERROR_BADDB");
  if (flushed != ERROR_SUCCESS) Fail("flushing a refused file failed");
  struct stat after {};
  if (::stat(path.c_str(), &after) != 0 || after.st_ino != before.st_ino ||
      after.st_size != before.st_size || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
      after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
    Fail("a refused file was rewritten");
  (void)text;
}

// Whether a key hangs below a #link key (Wine resolves links itself; the registry never goes
// below one, so neither does this check).
bool BelowLink(const p::RegNode* node) {
  for (const p::RegNode* n = node->parent; n != nullptr; n = n->parent)
    if (n->link) return true;
  return false;
}

// Every key of the tree in pre-order.
void Collect(p::RegNode* node, std::vector<p::RegNode*>* all) {
  all->push_back(node);
  node->children.ForEach([&](const p::RegNode* child) {
    Collect(const_cast<p::RegNode*>(child), all);
  });
}

// The change a repair makes, on an accepted file: one leaf deleted and one key created, as
// RegDeleteKeyA and RegCreateKeyA change the tree. The file written for the changed tree must
// read back as exactly that tree: a parent left without children keeps a section of its own, a
// new key gets one.
void CheckEdited(const std::string& text, ts::HiveImage& image, uint32_t hash) {
  std::vector<p::RegNode*> all;
  Collect(image.root.get(), &all);
  std::vector<p::RegNode*> leaves;
  std::vector<p::RegNode*> parents;
  for (p::RegNode* node : all) {
    if (BelowLink(node)) continue;
    if (node->parent != nullptr && node->children.empty() && !node->link) leaves.push_back(node);
    if (!node->link) parents.push_back(node);
  }
  if (parents.empty()) return;  // a root marked #link: nothing here is ours to change
  p::RegNode* under = parents[(hash >> 8) % parents.size()];
  if (!leaves.empty()) {
    p::RegNode* leaf = leaves[hash % leaves.size()];
    p::RegNode* parent = leaf->parent;
    if (under == leaf) under = parent;
    ts::RemoveSections(&image, leaf);
    leaf->deleted = true;
    parent->time = kFixedNow;
    parent->children.Erase(leaf);  // frees the leaf
  }
  for (const char16_t* name : {u"FuzzNew", u"Child"}) {
    p::RegNode* existing = under->children.Find(name);
    if (existing == nullptr) {
      auto fresh = p::MakeNode(name);
      fresh->parent = under;
      fresh->time = kFixedNow;
      existing = fresh.get();
      under->children.Insert(std::move(fresh));
    }
    under = existing;
    if (under->link) break;
  }

  const std::string written = WrittenText(text, image, "WriteHive failed on a changed tree");
  ts::HiveImage again;
  p::HiveParseError error;
  if (ts::ParseHiveText(written, &again, &error) != p::HiveParseStatus::kOk)
    Fail(("the file written after a change does not read again: " + error.message).c_str());
  // Case is compared loosely here: a key that the file spells in two ways takes the spelling of
  // its first remaining section, so deleting a section can change which spelling that is.
  if (Shape(again, true) != Shape(image, true))
    Fail("the file written after a change reads as another tree");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  p::SetClock([] { return kFixedNow; });
  MakePrefix();
  // user.reg is not needed by the calls made here; the registry reads it only for HKCU.
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ts::HiveImage image;
  p::HiveParseError error;
  const p::HiveParseStatus status = ts::ParseHiveText(text, &image, &error);
  if (status == p::HiveParseStatus::kIoError) Fail("reading text in memory reported an I/O error");

  // One input in 16 is read a second time in reads of 1 to 64 bytes (so lines are joined across
  // reads as in big files) or whole, and must read the same. The registry check of a refused
  // file (a real file, the prefix lock, the load) is made for one refusal in 32.
  const uint32_t hash = HashOf(text);
  const bool throughFile = hash % 16 == 0;
  if (status == p::HiveParseStatus::kMalformed) {
    if (error.message.empty() || error.line == 0) Fail("a refusal names no line");
    ++g_tally.refused;
  } else {
    ++g_tally.accepted;
  }
  ts::HiveImage fromFile;
  if (throughFile) {
    ts::MemoryFile file(text, (hash >> 2) % 5 == 0 ? text.size() + 1 : 1 + (hash >> 4) % 64);
    p::HiveParseError fileError;
    const p::HiveParseStatus fileStatus = ts::ParseHiveFile(file, 3, &fromFile, &fileError);
    if (fileStatus != status) Fail("the text and the file of the same bytes read differently");
    if (status == p::HiveParseStatus::kMalformed && fileError.line != error.line)
      Fail("the text and the file are refused at different lines");
    if (status == p::HiveParseStatus::kOk && Shape(fromFile) != Shape(image))
      Fail("the text and the file read as different trees");
  }
  // One input in 4 is also read the way large files are, in two parts at once, and must give
  // the index and the refusal of a reading in one pass.
  if (hash % 4 == 1) {
    bool joined = false;
    const std::string differs = ts::CompareTwoPartReading(text, 1 + (hash >> 12) % 300, &joined);
    g_tally.joined += joined;
    if (!differs.empty()) {
      std::fprintf(stderr, "%s\n", differs.c_str());
      Fail("the file read in two parts and in one pass differ");
    }
  }
  if (status == p::HiveParseStatus::kMalformed) {
    if ((hash >> 8) % 32 == 0) CheckRefused(text);
    return 0;
  }
  CheckAccepted(text, image);
  CheckEdited(text, image, hash);
  return 0;
}
