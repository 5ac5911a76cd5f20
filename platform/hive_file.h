// Reads a Wine registry file (system.reg, user.reg) into an index of its keys and sections, and
// streams a new one from it, every section that is kept copied byte for byte.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/file_system.h"
#include "platform/hive_scan.h"
#include "platform/huge_page_allocator.h"
#include "platform/reg_node.h"

namespace oarepair::platform {

// A file's keys and sections without a key tree: what a validating pass records so that keys are
// made in memory only for the paths a session uses. Key 0 is the branch root; a key's name is read
// back from the header of the first section whose path names it.
struct HiveIndex {
  static constexpr uint32_t kNone = UINT32_MAX;
  // Key flags. kMade: a RegNode exists for it. kTimed: a section gave it a time, the time of
  // the section of TimeSource unless `times` says otherwise.
  enum : uint8_t { kLink = 1, kMade = 2, kDeleted = 4, kTimed = 8 };

  // Per key.
  IndexArray<uint32_t> parent;      // kNone for the root
  IndexArray<uint32_t> nameHash;    // HashKeyName of the name (names.h)
  IndexArray<int32_t> firstSection; // its own first section, -1 when implied
  IndexArray<uint8_t> flags;
  // The few keys first named by another key's header (implied there): that header's section.
  // Every other key is first named by its own first section.
  std::unordered_map<uint32_t, uint32_t> impliedBy;
  std::unordered_map<uint32_t, uint64_t> times;  // the few keys timed by another section
  uint64_t loadTime = 0;  // the time of a section whose header gives none
  // Per section, in file order: where it starts, and whether it is left out of the next save.
  IndexArray<uint64_t> offset;
  std::vector<bool> removed;
  // The same key's next section, for the few sections that have one (Wine merges repeated
  // sections of one key).
  std::unordered_map<int32_t, int32_t> nextSection;
  uint64_t headerLength = 0;
  uint64_t fileSize = 0;
  // Every key's subkeys, in one array so that a large index's fills huge pages: KeyCount() + 1
  // starts, then the lists. Those of key k are Subkeys(k)[0 .. SubkeyCount(k)).
  IndexArray<uint32_t> children;

  uint32_t KeyCount() const { return static_cast<uint32_t>(parent.size()); }
  size_t SectionCount() const { return offset.size(); }
  uint64_t SectionLength(size_t i) const {
    return (i + 1 < offset.size() ? offset[i + 1] : fileSize) - offset[i];
  }
  uint32_t SubkeyCount(uint32_t key) const { return children[key + 1] - children[key]; }
  uint32_t* Subkeys(uint32_t key) { return children.data() + KeyCount() + 1 + children[key]; }
  uint32_t Depth(uint32_t key) const;
  // The section whose header first names a key; kNone for the root.
  uint32_t Mention(uint32_t key) const;
  // The key's section after section i, or -1.
  int32_t NextSection(int32_t i) const;
  // The section whose time a key takes: the first that names it (the first one for the root).
  uint32_t TimeSource(uint32_t key) const { return key == 0 ? 0 : Mention(key); }
  // Lists every key's subkeys (`children`) once the keys are all known.
  void IndexChildren();
};

// Gives the original bytes [offset, offset+length) of the file that was parsed, in place of what
// `out` held.
using HiveByteSource = std::function<int(uint64_t offset, uint64_t length, std::string* out)>;

// Files this large are read in two parts at once, one on each core. Below it, the second thread
// and the fresh memory of a second index cost more than the half of the reading they save.
constexpr uint64_t kHiveTwoPartsFrom = uint64_t{16} << 20;

// Checks every line of a file and records its index, with every key's subkeys listed; `source`
// reads the same file (to compare a name with one read earlier). A file of `twoPartsFrom` bytes
// or more is read in two parts at once where it can be; the index and any error are those of a
// reading in one pass.
HiveParseStatus IndexHiveFile(FileSystem& fs, int fd, const HiveByteSource& source,
                              HiveIndex* index, HiveParseError* error,
                              uint64_t twoPartsFrom = kHiveTwoPartsFrom);

// A key's name and last-write time, from the text of the section that first names it (its time
// source). Either may be null: the root has no name, and a header alone gives the name. 0, or
// EINVAL when the text does not start such a section.
int KeyFromSection(const HiveIndex& index, uint32_t key, std::string_view text,
                   std::u16string* name, uint64_t* time);

// The name of an index key other than the root, as the header of its mention spells it; `source`
// may give fewer bytes than asked at the end of the file.
// Returns 0, an errno value of the source, or EINVAL when the key has no such header.
int ReadKeyName(const HiveIndex& index, const HiveByteSource& source, uint32_t key,
                std::u16string* name);
// Receives the new file's bytes in order; returns 0 or an errno value.
using HiveByteSink = std::function<int(const char* data, size_t size)>;

// A generated section: its text and the section of the old file it follows (-1: the header).
struct HiveFreshSection {
  int32_t after;
  std::string text;
};

// Streams a new file: the old header, then every section i of the old file for which live(i)
// holds, in order, each generated section right after the one it follows (`fresh` in file
// order). Returns 0 or the first errno of the source or the sink.
int StreamHive(uint64_t headerLength, size_t sectionCount,
               const std::function<uint64_t(size_t)>& offsetOf,
               const std::function<uint64_t(size_t)>& lengthOf,
               const std::function<bool(size_t)>& live, const std::vector<HiveFreshSection>& fresh,
               const HiveByteSource& source, const HiveByteSink& sink);

// A new section's text for a key without one, as Wine writes it.
std::string NewSectionText(const RegNode* node);

// The escaped path of a key relative to the branch root, as a section header writes it.
std::string EscapedKeyPath(const RegNode* node);

}  // namespace oarepair::platform
