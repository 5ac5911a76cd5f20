// The first half of reading a registry file: checks every line, decodes the key path of every
// section header, and hands on, in file order, what the index is built from: of a whole file, or
// of one part of it while another thread reads the rest.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_system.h"

namespace oarepair::platform {

enum class HiveParseStatus { kOk, kIoError, kMalformed };

struct HiveParseError {
  int ioError = 0;        // errno for kIoError
  uint64_t line = 0;      // 1-based line of the fault for kMalformed
  std::string message;    // e.g. "line 12: key path does not end with ']'"
};

// What one piece of the file gave: its section headers, each with the time and options of its
// section, and the names in their key paths, in file order. Kept small: the indexing half reads
// it while it is still in the cache.
struct ScanBatch {
  // A section header, or the key options of a section whose header came in an earlier batch.
  struct Line {
    enum Flags : uint8_t {
      kHeader = 1,
      kRoot = 2,        // the path names the branch root (Wine takes a first unit NUL so)
      kTimeOption = 4,  // `time` is that of the section's last "#time=" option
      kLink = 8,        // the section has a "#link" option
      kDecodedNames = 16,  // its names are in `text`, else in `bytes` (plain ASCII, as written)
    };
    uint64_t start;  // a header's section starts here: at the blank line before it, if any
    uint64_t time;   // the header's (0: it gives none), unless kTimeOption says otherwise
    // A header's path: its first `shared` names are, byte for byte, those of the previous
    // header's path; the next `nameCount` names of `names` are the rest.
    uint32_t shared;
    uint32_t nameCount;
    uint8_t flags;
  };
  struct Name {
    uint32_t at;  // bytes[at, at + size) or text[at, at + size)
    uint32_t size;
  };
  std::vector<Line> lines;
  std::vector<Name> names;
  std::string bytes;    // most names: half the bytes to hand on as UTF-16
  std::u16string text;
  // The last batch of a file says how the scan ended.
  bool last = false;
  HiveParseStatus status = HiveParseStatus::kOk;
  HiveParseError error;
  uint64_t fileSize = 0;
};

// Reads a file in chunks; never holds more of it than a chunk and one line, besides one batch.
class HiveScanner {
 public:
  // Reads go through `fs` while `io` is held, so that other threads may read the same file. With
  // `from` and `to` it scans only that part of the file: `from` is 0 or the start of a line
  // after the first header, `to` is UINT64_MAX or the start of a line, and `sizeHint` is the
  // part's size.
  HiveScanner(FileSystem& fs, int fd, uint64_t sizeHint, std::mutex* io, uint64_t from = 0,
              uint64_t to = UINT64_MAX);
  HiveScanner(const HiveScanner&) = delete;
  HiveScanner& operator=(const HiveScanner&) = delete;

  // Scans the file (or the part) and hands `take` its batches in order, until `take` returns
  // false or the last batch has been taken. The batch given is only lent.
  void Run(const std::function<bool(const ScanBatch&)>& take);

  // The size of the chunks the file is read in: reads and writes of whole files use it.
  static size_t ChunkSize();

 private:
  // Scans the next chunk into `batch` (emptied first). False when the batch is the last one;
  // there is no call after that.
  bool Next(ScanBatch* batch);
  // Scans the whole lines of m_buffer[m_begin, stop), each ending with '\n'.
  bool Lines(size_t stop, ScanBatch* batch);
  // One line without its '\n', starting at byte `offset` of the file; it lies in m_buffer.
  bool Line(std::string_view raw, uint64_t offset, ScanBatch* batch);
  // A section header, from after its '['.
  bool Header(std::string_view body, uint64_t start, ScanBatch* batch);
  // Where the options of the current section are recorded: with its header when that is in the
  // batch, else in a record of their own.
  ScanBatch::Line& SectionOptions(ScanBatch* batch);
  // How many names of this header's path are, byte for byte, those of the previous one, and
  // where the rest of it starts.
  void SharedWithPrevious(std::string_view body, size_t* shared, size_t* rawStart) const;
  bool Fail(uint64_t line, const std::string& what, ScanBatch* batch);
  bool End(ScanBatch* batch);

  FileSystem& m_fs;
  int m_fd;
  uint64_t m_size;
  std::mutex* m_io;
  uint64_t m_to;  // where the part scanned ends
  // The file is read into m_buffer, whose byte 0 is byte m_bufferOffset of the file; its bytes
  // [m_begin, m_end) are read but not scanned yet. Past m_end the buffer has room to spare, so
  // that searches may read a block at a time beyond the end of what they search.
  std::string m_buffer;
  size_t m_begin = 0;
  size_t m_end = 0;
  uint64_t m_bufferOffset = 0;
  uint64_t m_line = 0;
  bool m_prevEmpty = false;     // the previous line was empty (and not part of a hex value)
  uint64_t m_prevOffset = 0;    // where the previous line starts
  bool m_continuation = false;  // the previous line ended a hex value with a backslash
  uint64_t m_valueLine = 0;     // the line where that hex value started
  bool m_sawHeader = false;
  size_t m_header = SIZE_MAX;  // where the last header stands in the batch being filled
  // Key paths. Sections come mostly in tree order, so most of a path is the one before: the
  // names it shares with the previous header byte for byte are not decoded again.
  std::string m_prevRaw;           // the previous header's path as written
  std::vector<size_t> m_prevCuts;  // offsets in it just past each plain separator, name by name
  bool m_prevClean = false;        // those separators cover the whole of it
  std::u16string m_path;                    // the decoded part of the current path
  std::vector<std::u16string_view> m_names; // its names
  std::vector<std::pair<size_t, size_t>> m_plainNames;  // where a plain one's names stand
};

}  // namespace oarepair::platform
