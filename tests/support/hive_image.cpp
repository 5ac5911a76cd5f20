#include "tests/support/hive_image.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/file_system.h"

namespace oarepair::test_support {
namespace p = platform;

MemoryFile::MemoryFile(std::string_view text, size_t piece)
    : ForwardingFileSystem(p::PosixFileSystem()), m_text(text), m_piece(piece) {}

int MemoryFile::PRead(int, void* buf, size_t n, uint64_t offset, size_t* got) {
  *got = offset >= m_text.size()
             ? 0
             : std::min({n, m_piece, m_text.size() - static_cast<size_t>(offset)});
  if (*got > 0) std::memcpy(buf, m_text.data() + offset, *got);
  return 0;
}

int MemoryFile::FStat(int, struct stat* st) {
  *st = {};
  st->st_mode = S_IFREG | 0644;
  st->st_size = static_cast<off_t>(m_text.size());
  return 0;
}

namespace {

p::HiveByteSource SourceOf(p::FileSystem& fs, int fd) {
  return [&fs, fd](uint64_t offset, uint64_t length, std::string* out) {
    out->resize(length);
    uint64_t done = 0;
    while (done < length) {
      size_t got = 0;
      const int rc = fs.PRead(fd, &(*out)[done], length - done, offset + done, &got);
      if (rc != 0) return rc;
      if (got == 0) break;
      done += got;
    }
    out->resize(done);
    return 0;
  };
}

// Every key of the index, each named and timed by the section that first names it.
int MakeTree(const p::HiveIndex& x, const p::HiveByteSource& source, HiveImage* image) {
  std::vector<p::RegNode*> nodes(x.KeyCount(), nullptr);
  image->root = p::MakeNode(u"");
  nodes[0] = image->root.get();
  std::string text;
  for (uint32_t k = 0; k < x.KeyCount(); ++k) {
    const uint32_t from = x.TimeSource(k);
    const bool needText = k != 0 || (x.flags[k] & p::HiveIndex::kTimed) != 0;
    std::u16string name;
    uint64_t time = 0;
    if (needText) {
      const int rc = source(x.offset[from], x.SectionLength(from), &text);
      if (rc != 0) return rc;
      if (p::KeyFromSection(x, k, text, k == 0 ? nullptr : &name, &time) != 0) return EINVAL;
    }
    if (k != 0) {
      // A key's parent comes before it in the index.
      p::RegNodePtr node = p::MakeNode(name);
      node->parent = nodes[x.parent[k]];
      nodes[k] = node.get();
      node->parent->children.Insert(std::move(node));
    }
    nodes[k]->time = time;
    nodes[k]->link = (x.flags[k] & p::HiveIndex::kLink) != 0;
    nodes[k]->section = x.firstSection[k];
  }
  image->headerLength = x.headerLength;
  image->fileSize = x.fileSize;
  image->sections.resize(x.SectionCount());
  for (size_t i = 0; i < x.SectionCount(); ++i) {
    const int32_t next = x.NextSection(static_cast<int32_t>(i));
    image->sections[i] = HiveSection{x.offset[i], x.SectionLength(i), nullptr, next, false};
  }
  for (uint32_t k = 0; k < x.KeyCount(); ++k)
    for (int32_t i = x.firstSection[k]; i >= 0; i = x.NextSection(i))
      image->sections[static_cast<size_t>(i)].node = nodes[k];
  return 0;
}

int32_t LastLiveSection(const HiveImage& image, const p::RegNode* node) {
  int32_t last = -1;
  for (int32_t i = node->section; i >= 0; i = image.sections[static_cast<size_t>(i)].next)
    if (!image.sections[static_cast<size_t>(i)].removed) last = std::max(last, i);
  return last;
}

// A section is written when it is not removed and its key still hangs from the root.
bool SectionIsLive(const HiveImage& image, const HiveSection& section) {
  if (section.removed || section.node == nullptr) return false;
  for (const p::RegNode* n = section.node; n != nullptr; n = n->parent) {
    if (n->deleted) return false;
    if (n == image.root.get()) return true;
  }
  return false;
}

// Every field of the index, in order.
std::string DescribeIndex(const p::HiveIndex& x) {
  std::string out;
  const auto add = [&out](const char* what, uint64_t value) {
    out += what;
    out += std::to_string(value);
    out += ' ';
  };
  for (uint32_t k = 0; k < x.KeyCount(); ++k) {
    add("\nkey ", k);
    add("parent ", x.parent[k]);
    add("hash ", x.nameHash[k]);
    add("first ", static_cast<uint64_t>(static_cast<int64_t>(x.firstSection[k])));
    add("flags ", x.flags[k]);
    add("mention ", x.Mention(k));
    if (const auto it = x.times.find(k); it != x.times.end()) add("time ", it->second);
    for (uint32_t i = x.children[k]; i < x.children[k + 1]; ++i)
      add("subkey ", x.children[x.KeyCount() + 1 + i]);
  }
  for (size_t i = 0; i < x.SectionCount(); ++i) {
    add("\nsection ", i);
    add("offset ", x.offset[i]);
    add("removed ", x.removed[i]);
    add("next ", static_cast<uint64_t>(static_cast<int64_t>(x.NextSection(static_cast<int32_t>(i)))));
  }
  add("\nheader ", x.headerLength);
  add("size ", x.fileSize);
  add("load time ", x.loadTime);
  add("implied ", x.impliedBy.size());
  add("timed elsewhere ", x.times.size());
  add("chained ", x.nextSection.size());
  return out;
}

}  // namespace

std::string CompareTwoPartReading(std::string_view text, size_t piece, bool* joined) {
  // A reading in two parts reads the start of the file once, and a later part on another
  // thread; one that falls back to a single pass reads the start again.
  class CountingFile final : public ForwardingFileSystem {
   public:
    // Not the copy of `file`'s own base, which a plain ForwardingFileSystem(file) would make.
    explicit CountingFile(MemoryFile& file)
        : ForwardingFileSystem(static_cast<p::FileSystem&>(file)) {}
    int PRead(int fd, void* buf, size_t n, uint64_t offset, size_t* got) override {
      if (std::this_thread::get_id() != m_caller)
        m_elsewhere = true;
      else if (offset == 0)
        ++m_starts;
      return m_base.PRead(fd, buf, n, offset, got);
    }
    bool InTwoParts() const { return m_starts == 1 && m_elsewhere; }

   private:
    const std::thread::id m_caller = std::this_thread::get_id();
    int m_starts = 0;
    std::atomic<bool> m_elsewhere{false};
  };
  std::string reading[2];
  for (int twoParts = 0; twoParts < 2; ++twoParts) {
    MemoryFile memory(text, piece);
    CountingFile file(memory);
    p::HiveIndex index;
    p::HiveParseError error;
    const p::HiveParseStatus status = p::IndexHiveFile(
        file, 3, SourceOf(file, 3), &index, &error, twoParts ? 0 : UINT64_MAX);
    reading[twoParts] = "status " + std::to_string(static_cast<int>(status)) + " line " +
                        std::to_string(error.line) + " " + error.message + DescribeIndex(index);
    if (twoParts && joined != nullptr) *joined = file.InTwoParts();
  }
  if (reading[0] == reading[1]) return "";
  // The line where they part, and what follows it.
  size_t at = 0;
  while (at < reading[0].size() && at < reading[1].size() && reading[0][at] == reading[1][at])
    ++at;
  const size_t line = reading[0].rfind('\n', at);
  const size_t from = line == std::string::npos ? 0 : line;
  return "one pass: " + reading[0].substr(from, 300) + "\ntwo parts: " +
         reading[1].substr(from, 300);
}

p::HiveParseStatus ParseHiveFile(p::FileSystem& fs, int fd, HiveImage* image,
                                 p::HiveParseError* error) {
  *image = HiveImage();
  const p::HiveByteSource source = SourceOf(fs, fd);
  p::HiveIndex index;
  // From 1 MiB up, so that the tests' files of a few MB are read in two parts, as the registry
  // reads files from 16 MiB up.
  const p::HiveParseStatus status =
      p::IndexHiveFile(fs, fd, source, &index, error, uint64_t{1} << 20);
  if (status != p::HiveParseStatus::kOk) return status;
  const int rc = MakeTree(index, source, image);
  if (rc == 0) return status;
  *image = HiveImage();
  error->ioError = rc;
  error->message = std::string("cannot read the file: ") + std::strerror(rc);
  return p::HiveParseStatus::kIoError;
}

p::HiveParseStatus ParseHiveText(std::string_view text, HiveImage* image,
                                 p::HiveParseError* error) {
  MemoryFile file(text, text.size() + 1);
  return ParseHiveFile(file, 3, image, error);
}

int WriteHive(const HiveImage& image, const p::HiveByteSource& source,
              const p::HiveByteSink& sink) {
  // Wine's order over the live tree: each key that needs a section gets one after the last
  // section written before it in that order.
  std::vector<p::HiveFreshSection> fresh;
  int32_t anchor = image.root ? LastLiveSection(image, image.root.get()) : -1;
  if (image.root) {
    p::VisitInWineOrder(image.root.get(), [&](p::RegNode* node) {
      const int32_t last = LastLiveSection(image, node);
      if (last >= 0)
        anchor = last;
      else if (node->children.empty())
        fresh.push_back({anchor, p::NewSectionText(node)});
      return true;
    });
  }
  std::stable_sort(fresh.begin(), fresh.end(),
                   [](const p::HiveFreshSection& a, const p::HiveFreshSection& b) {
                     return a.after < b.after;
                   });
  return p::StreamHive(
      image.headerLength, image.sections.size(),
      [&](size_t i) { return image.sections[i].offset; },
      [&](size_t i) { return image.sections[i].length; },
      [&](size_t i) { return SectionIsLive(image, image.sections[i]); }, fresh, source, sink);
}

void RemoveSections(HiveImage* image, const p::RegNode* node) {
  for (int32_t i = node->section; i >= 0; i = image->sections[static_cast<size_t>(i)].next)
    image->sections[static_cast<size_t>(i)].removed = true;
}

}  // namespace oarepair::test_support
