// Reads a Wine registry file (system.reg, user.reg) into a key tree and writes the tree back,
// keeping every section of a key that still exists byte for byte as it was read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/reg_node.h"

namespace oarepair::platform {

// One "[key] time" section of the file: the blank line before its header (when there is one),
// the header and every line up to the next section.
struct HiveSection {
  uint64_t offset = 0;
  uint64_t length = 0;
  RegNode* node = nullptr;  // the key it describes
  int32_t next = -1;        // the key's next section (Wine merges repeated sections of one key)
  bool removed = false;     // the key was deleted: the section is not written back
};

// Sections in file order; held in the tree's memory, as big as the tree's node count.
using HiveSectionTable = std::vector<HiveSection, TreeAllocator<HiveSection>>;

// A loaded file: its key tree and where each key's text stands in the original bytes.
struct HiveImage {
  RegNodePtr root;                     // the branch root; its name is empty
  HiveSectionTable sections;
  uint64_t headerLength = 0;           // bytes before the first section
  uint64_t fileSize = 0;
  // The TreeShapeCount at which every live key was known to have a section or a subkey (right
  // after loading or saving); while the count is unchanged, a save generates no section.
  uint64_t completeAtShape = 0;
};

enum class HiveParseStatus { kOk, kIoError, kMalformed };

struct HiveParseError {
  int ioError = 0;        // errno for kIoError
  uint64_t line = 0;      // 1-based line of the fault for kMalformed
  std::string message;    // e.g. "line 12: key path does not end with ']'"
};

// Parses the text of a file held in memory.
HiveParseStatus ParseHiveText(std::string_view text, HiveImage* image, HiveParseError* error);

// Parses a file from an open descriptor, streaming through the file-system seam, so memory holds
// the tree and not the text.
HiveParseStatus ParseHiveFile(FileSystem& fs, int fd, HiveImage* image, HiveParseError* error);

// Gives the original bytes [offset, offset+length) of the file that was parsed.
using HiveByteSource = std::function<int(uint64_t offset, uint64_t length, std::string* out)>;
// Receives the new file's bytes in order; returns 0 or an errno value.
using HiveByteSink = std::function<int(const char* data, size_t size)>;

// What one WriteHive put into the new file, kept small: which sections of the image were copied
// and the sections it generated, so that the image can describe the new file once it has
// replaced the old one.
struct HiveWriteRecord {
  std::vector<bool> copied;          // one flag per section of the image
  std::vector<HiveSection> fresh;    // generated sections, in file order; `next` holds the
                                     // image section they follow (-1: right after the header)
};

// Writes the file for the tree as it is now: the header, every section of a live key in the
// original order, and a new section in Wine's format, placed in Wine's canonical (sorted
// pre-order) position, for every live key that has no section but must have one (a key with no
// subkeys). Returns 0 or the first errno of the source or the sink. `record`, when given,
// receives what was written, for AdoptWrittenFile.
int WriteHive(const HiveImage& image, const HiveByteSource& source, const HiveByteSink& sink,
              HiveWriteRecord* record = nullptr);

// Makes the image describe the file that WriteHive wrote with `record` (after that file has
// replaced the one the image was read from): the sections not written are marked removed, the
// others point into the new file, in its order, each key's sections chained as they stand.
void AdoptWrittenFile(HiveImage* image, const HiveWriteRecord& record, uint64_t fileSize);

// Marks every section of a key as removed (the key was deleted).
void RemoveSections(HiveImage* image, const RegNode* node);

// The escaped path of a key relative to the branch root, as a section header writes it.
std::string EscapedKeyPath(const RegNode* node);

}  // namespace oarepair::platform
