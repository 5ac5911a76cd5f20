// The first half of reading a registry file: checks every line that names no key and hands on, in
// file order, the few lines the index is built from. It can run on a thread of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace oarepair::platform {

enum class HiveParseStatus { kOk, kIoError, kMalformed };

struct HiveParseError {
  int ioError = 0;        // errno for kIoError
  uint64_t line = 0;      // 1-based line of the fault for kMalformed
  std::string message;    // e.g. "line 12: key path does not end with ']'"
};

// What one piece of the file gave: its section headers and key options, in order, with the times
// they give.
struct ScanBatch {
  struct Line {
    enum Kind : uint8_t { kHeader, kTime, kLink };  // a section header, or an option
    uint64_t number;  // 1-based
    uint64_t start;   // a header's section starts here: at the blank line before it, if any
    uint64_t time;    // a header's (0: it gives none) or a "#time=" option's
    size_t at;        // a header's text is text[at, at + size), from after its '['
    size_t size;
    Kind kind;
  };
  std::vector<Line> lines;
  std::string text;
  // The last batch of a file says how the scan ended.
  bool last = false;
  HiveParseStatus status = HiveParseStatus::kOk;
  HiveParseError error;
  uint64_t fileSize = 0;
};

// Reads a file in chunks; never holds more of it than a mapped window or a chunk, one line, and a
// few batches.
class HiveScanner {
 public:
  // Reads go through `fs` while `io` is held, so that the indexing half may read the same file
  // from another thread.
  HiveScanner(FileSystem& fs, int fd, uint64_t sizeHint, std::mutex* io);
  ~HiveScanner();
  HiveScanner(const HiveScanner&) = delete;
  HiveScanner& operator=(const HiveScanner&) = delete;

  // Scans the whole file and hands `take` its batches in order, from a thread of its own when
  // the file is large, until `take` returns false or the last batch has been taken. The batch
  // given is only lent.
  void Run(const std::function<bool(const ScanBatch&)>& take);

  // The size of the chunks the file is read in: reads and writes of whole files use it.
  static size_t ChunkSize();

 private:
  // Scans the next chunk into `batch` (emptied first). False when the batch is the last one;
  // there is no call after that.
  bool Next(ScanBatch* batch);
  // The next piece of the file: from the mapped window while the file can be mapped, else read
  // into m_chunk. *got is 0 at the end of the file.
  int NextPiece(const char** data, size_t* got);
  bool Line(std::string_view raw, uint64_t offset, bool mayHoldNul, ScanBatch* batch);
  void Emit(ScanBatch::Line::Kind kind, std::string_view text, uint64_t start, uint64_t time,
            ScanBatch* batch) const;
  bool Fail(uint64_t line, const std::string& what, ScanBatch* batch);
  bool End(ScanBatch* batch);

  FileSystem& m_fs;
  int m_fd;
  uint64_t m_size;
  std::mutex* m_io;
  std::string m_chunk;
  // The part of the file mapped now. Mapping spares copying every byte out of the page cache;
  // only the part below the size found at the start is mapped, a window at a time, so that the
  // pages held stay few. Wine and this registry replace their files by rename and never cut one
  // short in place, which is what would make a mapped page unreadable.
  const char* m_window = nullptr;
  uint64_t m_windowOffset = 0;
  size_t m_windowSize = 0;
  bool m_mapping = true;
  std::string m_carry;  // a line that runs over the end of a chunk
  uint64_t m_carryOffset = 0;
  uint64_t m_fileOffset = 0;
  uint64_t m_line = 0;
  bool m_prevEmpty = false;     // the previous line was empty (and not part of a hex value)
  uint64_t m_prevOffset = 0;    // where the previous line starts
  bool m_continuation = false;  // the previous line ended a hex value with a backslash
  uint64_t m_valueLine = 0;     // the line where that hex value started
  bool m_sawHeader = false;
};

}  // namespace oarepair::platform
