// A registry file read into a tree of every key, with its section table, and written back: the
// plain model the tests and fuzzers check the registry's lazily made keys and its save against.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hive_file.h"
#include "tests/support/forwarding_file_system.h"

namespace oarepair::test_support {

// One "[key] time" section of the file: the blank line before its header (when there is one),
// the header and every line up to the next section.
struct HiveSection {
  uint64_t offset = 0;
  uint64_t length = 0;
  platform::RegNode* node = nullptr;  // the key it describes
  int32_t next = -1;                  // the key's next section
  bool removed = false;               // the key was deleted: the section is not written back
};

// A loaded file: its key tree and where each key's text stands in the original bytes.
struct HiveImage {
  platform::RegNodePtr root;  // the branch root; its name is empty
  std::vector<HiveSection> sections;  // in file order
  uint64_t headerLength = 0;          // bytes before the first section
  uint64_t fileSize = 0;
};

// A file held in memory behind the file-system seam, given out at most `piece` bytes a read (so
// that lines cross reads as they do in large files); every descriptor reads it.
class MemoryFile final : public ForwardingFileSystem {
 public:
  MemoryFile(std::string_view text, size_t piece);
  int PRead(int fd, void* buf, size_t n, uint64_t offset, size_t* got) override;
  int FStat(int fd, struct stat* st) override;
  int Close(int) override { return 0; }

 private:
  std::string_view m_text;
  size_t m_piece;
};

// Checks and indexes the file as the registry does (in two parts from 1 MiB up, where the
// registry starts at 16 MiB), then makes every key of it.
platform::HiveParseStatus ParseHiveFile(platform::FileSystem& fs, int fd, HiveImage* image,
                                        platform::HiveParseError* error);
platform::HiveParseStatus ParseHiveText(std::string_view text, HiveImage* image,
                                        platform::HiveParseError* error);

// Reads `text` (in reads of at most `piece` bytes) in one pass and, where it can, in two parts
// at once: "" when both give the same status, error and index, else what differs. `joined`
// says whether the second reading was done in two parts (not again in one pass). The clock
// should be fixed, as the time of a header without one is the time of reading.
std::string CompareTwoPartReading(std::string_view text, size_t piece, bool* joined = nullptr);

// Writes the file for the tree as it is now: the header, every section of a live key in the
// original order, and a new section in Wine's format, in Wine's canonical (sorted pre-order)
// place, for every live key that has none but must have one (a key with no subkeys).
// Returns 0 or the first errno of the source or the sink.
int WriteHive(const HiveImage& image, const platform::HiveByteSource& source,
              const platform::HiveByteSink& sink);

// Marks every section of a key as removed (the key was deleted).
void RemoveSections(HiveImage* image, const platform::RegNode* node);

}  // namespace oarepair::test_support
