#include "platform/hive_scan.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <system_error>
#include <thread>

#include "platform/reg_text.h"

namespace oarepair::platform {
namespace {

constexpr std::string_view kMagic = "WINE REGISTRY Version 2";
// Reads and writes move the file in pieces of at most this size, so neither ever holds the whole
// text; large enough that the cost of each call is small beside the bytes it moves.
constexpr size_t kChunkSize = size_t{256} << 10;
// A mapped window holds a few chunks: few enough pages to leave the memory held small, enough
// bytes that mapping and unmapping cost little beside reading them.
constexpr size_t kWindowSize = 4 * kChunkSize;

// Skips a number in hex as strtoul(..., 16) reads it at a hex digit: an optional "0x", then
// digits. True when it is more than `limit`.
bool SkipHexNumber(std::string_view s, size_t* p, uint64_t limit) {
  if (s[*p] == '0' && *p + 2 < s.size() && (s[*p + 1] == 'x' || s[*p + 1] == 'X') &&
      IsHexDigit(s[*p + 2]))
    *p += 2;
  uint64_t value = 0;
  for (; *p < s.size() && IsHexDigit(s[*p]); ++*p)
    value = value > (UINT64_MAX >> 4) ? UINT64_MAX
                                      : (value << 4) | static_cast<unsigned>(HexDigitValue(s[*p]));
  return value > limit;
}

enum class HexScan { kDone, kContinues, kBad };

// Checks a list of hex bytes from s[p] as Wine reads them: bytes of at most 0xff, commas and
// spaces between them, and at the end either nothing or a backslash that continues the list on
// the next line (whatever follows that backslash is ignored, as Wine ignores it).
HexScan ScanHexBytes(std::string_view s, size_t p) {
  while (p < s.size() && IsHexDigit(s[p])) {
    if (SkipHexNumber(s, &p, 0xFF)) return HexScan::kBad;
    p = SkipRegSpaces(s, p);
    if (p < s.size() && s[p] == ',') ++p;
    p = SkipRegSpaces(s, p);
  }
  p = SkipRegSpaces(s, p);
  if (p == s.size()) return HexScan::kDone;
  return s[p] == '\\' ? HexScan::kContinues : HexScan::kBad;
}

// Checks the syntax of a value line that starts with '@' or '"'. The value itself is not kept:
// the section's text is. Returns null when the line is sound, else what is wrong.
const char* ScanValueLine(std::string_view s, bool* continues) {
  *continues = false;
  size_t p = 1;
  if (s[0] == '"') {
    const size_t used = Unescape(s.substr(1), '"', nullptr);
    if (used == kNoEndChar) return "the value name has no closing '\"'";
    p = 1 + used;
  }
  p = SkipRegSpaces(s, p);
  if (p == s.size() || s[p] != '=') return "the value name is not followed by '='";
  p = SkipRegSpaces(s, p + 1);
  const std::string_view data = s.substr(p);
  for (std::string_view prefix : {"\"", "str:\"", "str(2):\"", "str(7):\""}) {
    if (StartsWith(data, prefix)) {
      if (Unescape(data.substr(prefix.size()), '"', nullptr) == kNoEndChar)
        return "the string data has no closing '\"'";
      return nullptr;
    }
  }
  size_t q = 0;
  if (StartsWith(data, "dword:")) {
    q = SkipRegSpaces(data, 6);
    if (q < data.size() && (data[q] == '+' || data[q] == '-')) ++q;
    if (q == data.size() || !IsHexDigit(data[q])) return "the dword data is not a hex number";
    return nullptr;
  }
  if (StartsWith(data, "hex:")) {
    q = 4;
  } else if (StartsWith(data, "hex(")) {
    // The type is read like strtoul(..., 16): spaces, a sign and "0x" are allowed.
    q = SkipRegSpaces(data, 4);
    if (q < data.size() && (data[q] == '+' || data[q] == '-')) ++q;
    if (q == data.size() || !IsHexDigit(data[q])) return "the hex(type) prefix has no type";
    SkipHexNumber(data, &q, UINT64_MAX);
    if (!StartsWith(data.substr(q), "):")) return "the hex(type) prefix does not end with '):'";
    q += 2;
  } else {
    return "the data has an unknown type prefix";
  }
  const HexScan scan = ScanHexBytes(data, q);
  if (scan == HexScan::kBad) return "the hex data is not a list of bytes";
  *continues = scan == HexScan::kContinues;
  return nullptr;
}

// Hands the scanner's batches to the indexing thread, a few at a time, so that memory stays small
// however far ahead the scan could run.
class BatchPipe {
 public:
  explicit BatchPipe(size_t batches) : m_empty(batches) {}

  // An empty batch for the scanner; false once the indexing half has stopped.
  bool TakeEmpty(ScanBatch* batch) {
    std::unique_lock<std::mutex> hold(m_mutex);
    m_changed.wait(hold, [this] { return m_stopped || !m_empty.empty(); });
    if (m_stopped) return false;
    *batch = std::move(m_empty.front());
    m_empty.pop_front();
    return true;
  }

  // The next scanned batch, in file order.
  void TakeFull(ScanBatch* batch) {
    std::unique_lock<std::mutex> hold(m_mutex);
    m_changed.wait(hold, [this] { return !m_full.empty(); });
    *batch = std::move(m_full.front());
    m_full.pop_front();
  }

  void PutFull(ScanBatch batch) { Put(&m_full, std::move(batch)); }
  void PutEmpty(ScanBatch batch) { Put(&m_empty, std::move(batch)); }

  void Stop() {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_stopped = true;
    m_changed.notify_all();
  }

 private:
  void Put(std::deque<ScanBatch>* queue, ScanBatch batch) {
    std::lock_guard<std::mutex> hold(m_mutex);
    queue->push_back(std::move(batch));
    m_changed.notify_all();
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<ScanBatch> m_empty;
  std::deque<ScanBatch> m_full;
  bool m_stopped = false;
};

// Files this large are scanned on a thread of their own while the index is built from what the
// scan found; smaller ones take less time than starting the thread would save.
constexpr uint64_t kScanThreadFrom = uint64_t{1} << 20;

}  // namespace

void HiveScanner::Run(const std::function<bool(const ScanBatch&)>& take) {
  if (m_size >= kScanThreadFrom) {
    BatchPipe pipe(3);  // one being scanned, one waiting, one being indexed
    std::thread scanning;
    try {
      scanning = std::thread([&pipe, this] {
        ScanBatch batch;
        bool more = true;
        while (more && pipe.TakeEmpty(&batch)) {
          more = Next(&batch);
          pipe.PutFull(std::move(batch));
        }
      });
    } catch (const std::system_error&) {
      // No thread to be had: the same work is done in turn below.
    }
    if (scanning.joinable()) {
      ScanBatch batch;
      for (bool more = true; more;) {
        pipe.TakeFull(&batch);
        more = take(batch) && !batch.last;
        pipe.PutEmpty(std::move(batch));
      }
      pipe.Stop();
      scanning.join();
      return;
    }
  }
  ScanBatch batch;
  do {
    Next(&batch);
  } while (take(batch) && !batch.last);
}

size_t HiveScanner::ChunkSize() { return kChunkSize; }

HiveScanner::HiveScanner(FileSystem& fs, int fd, uint64_t sizeHint, std::mutex* io)
    : m_fs(fs), m_fd(fd), m_size(sizeHint), m_io(io) {}

HiveScanner::~HiveScanner() {
  if (m_window != nullptr) m_fs.Unmap(m_window, m_windowSize);
}

int HiveScanner::NextPiece(const char** data, size_t* got) {
  std::lock_guard<std::mutex> hold(*m_io);
  if (m_window != nullptr && m_fileOffset >= m_windowOffset + m_windowSize) {
    m_fs.Unmap(m_window, m_windowSize);
    m_window = nullptr;
  }
  if (m_window == nullptr && m_mapping && m_fileOffset < m_size &&
      m_fileOffset % kWindowSize == 0) {
    const auto size = static_cast<size_t>(std::min<uint64_t>(kWindowSize, m_size - m_fileOffset));
    if (m_fs.MapForRead(m_fd, m_fileOffset, size, &m_window) == 0) {
      m_windowOffset = m_fileOffset;
      m_windowSize = size;
    } else {
      m_window = nullptr;
      m_mapping = false;  // read instead, from here on
    }
  }
  if (m_window != nullptr) {
    const auto at = static_cast<size_t>(m_fileOffset - m_windowOffset);
    *data = m_window + at;
    *got = std::min(kChunkSize, m_windowSize - at);
    return 0;
  }
  // Past the mapped part, or not mapped at all. A file smaller than a chunk is read with one
  // buffer of its size (and one read past its end).
  if (m_chunk.empty())
    m_chunk.resize(m_size == 0 ? kChunkSize
                               : static_cast<size_t>(
                                     std::clamp<uint64_t>(m_size + 1, 4096, kChunkSize)));
  *data = m_chunk.data();
  return m_fs.PRead(m_fd, &m_chunk[0], m_chunk.size(), m_fileOffset, got);
}

bool HiveScanner::Next(ScanBatch* batch) {
  batch->lines.clear();
  batch->text.clear();
  batch->last = false;
  batch->status = HiveParseStatus::kOk;
  const char* chunk = nullptr;
  size_t got = 0;
  const int rc = NextPiece(&chunk, &got);
  if (rc != 0) {
    batch->status = HiveParseStatus::kIoError;
    batch->error = {rc, 0, std::string("cannot read the file: ") + std::strerror(rc)};
    return End(batch);
  }
  if (got == 0) {
    if (!m_carry.empty() && !Line(m_carry, m_carryOffset, true, batch)) return End(batch);
    if (m_line == 0) Fail(1, "the file is empty", batch);
    if (m_continuation)
      Fail(m_line,
           "the hex data of line " + std::to_string(m_valueLine) +
               " continues past the end of the file",
           batch);
    return End(batch);
  }
  const bool chunkHasNul = std::memchr(chunk, '\0', got) != nullptr;
  size_t start = 0;
  while (start < got) {
    const void* nl = std::memchr(chunk + start, '\n', got - start);
    if (nl == nullptr) {
      if (m_carry.empty()) m_carryOffset = m_fileOffset + start;
      m_carry.append(chunk + start, got - start);
      // A line already known to be refused is not gathered to its end, which may be a gigabyte
      // away: one with a NUL byte, or a first line longer than the magic line (with its '\r').
      // Line refuses its beginning for the same reason.
      const bool hasNul =
          chunkHasNul && std::memchr(chunk + start, '\0', got - start) != nullptr;
      if (hasNul || (m_line == 0 && m_carry.size() > kMagic.size() + 1)) {
        Line(m_carry, m_carryOffset, true, batch);
        return End(batch);
      }
      break;
    }
    const auto end = static_cast<size_t>(static_cast<const char*>(nl) - chunk);
    bool ok = true;
    if (!m_carry.empty()) {
      m_carry.append(chunk + start, end - start);
      ok = Line(m_carry, m_carryOffset, true, batch);
      m_carry.clear();
    } else {
      ok = Line(std::string_view(chunk + start, end - start), m_fileOffset + start, chunkHasNul,
                batch);
    }
    if (!ok) return End(batch);
    start = end + 1;
  }
  m_fileOffset += got;
  return true;
}

bool HiveScanner::End(ScanBatch* batch) {
  batch->last = true;
  batch->fileSize = m_fileOffset;
  return false;
}

bool HiveScanner::Fail(uint64_t line, const std::string& what, ScanBatch* batch) {
  if (batch->status == HiveParseStatus::kOk) {
    batch->status = HiveParseStatus::kMalformed;
    batch->error = {0, line, "line " + std::to_string(line) + ": " + what};
  }
  return false;
}

void HiveScanner::Emit(ScanBatch::Line::Kind kind, std::string_view text, uint64_t start,
                       uint64_t time, ScanBatch* batch) const {
  batch->lines.push_back({m_line, start, time, batch->text.size(), text.size(), kind});
  batch->text.append(text.data(), text.size());
}

// One line without its '\n', starting at byte `offset` of the file.
// `mayHoldNul` false: the caller has seen that the text around the line holds no NUL byte.
bool HiveScanner::Line(std::string_view raw, uint64_t offset, bool mayHoldNul, ScanBatch* batch) {
  ++m_line;
  if (mayHoldNul && std::memchr(raw.data(), '\0', raw.size()) != nullptr)
    return Fail(m_line, "the line contains a NUL byte", batch);
  std::string_view content = raw;
  if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
  const bool wasEmpty = m_prevEmpty;
  const uint64_t emptyOffset = m_prevOffset;
  m_prevEmpty = false;
  m_prevOffset = offset;

  if (m_line == 1) {
    if (content != kMagic)
      return Fail(1, "the first line is not \"WINE REGISTRY Version 2\"", batch);
    return true;
  }
  const size_t p = SkipRegSpaces(content, 0);
  if (m_continuation) {
    // The rest of a hex value; it never counts as the blank line before a section.
    if (p < content.size() && content[p] == '[')
      return Fail(m_line,
                  "the hex data of line " + std::to_string(m_valueLine) +
                      " continues into a section header",
                  batch);
    const HexScan scan = ScanHexBytes(content, p);
    if (scan == HexScan::kBad)
      return Fail(m_line,
                  "the continued hex data of line " + std::to_string(m_valueLine) +
                      " is not a list of bytes",
                  batch);
    m_continuation = scan == HexScan::kContinues;
    return true;
  }
  m_prevEmpty = content.empty();
  if (p == content.size()) return true;  // blank
  const std::string_view rest = content.substr(p);
  switch (rest[0]) {
    case '[': {
      m_sawHeader = true;
      // The time is read here, off the indexing half's thread; a path without its ']' is refused
      // there.
      const std::string_view body = rest.substr(1);
      const size_t used = Unescape(body, ']', nullptr);
      const uint64_t time = used == kNoEndChar ? 0 : HeaderFileTime(body.substr(used));
      Emit(ScanBatch::Line::kHeader, body, wasEmpty ? emptyOffset : offset, time, batch);
      return true;
    }
    case ';':
      return true;
    case '#':
      if (!m_sawHeader) return true;  // a global option such as #arch
      if (StartsWith(rest, "#time=")) {
        Emit(ScanBatch::Line::kTime, {}, 0, OptionFileTime(rest.substr(6)), batch);
      } else if (StartsWith(rest, "#link")) {
        Emit(ScanBatch::Line::kLink, {}, 0, 0, batch);
      }
      // A class Wine cannot read would be lost.
      if (StartsWith(rest, "#class=\"") && Unescape(rest.substr(8), '"', nullptr) == kNoEndChar)
        return Fail(m_line, "the class has no closing '\"'", batch);
      return true;
    case '@':
    case '"': {
      if (!m_sawHeader) return Fail(m_line, "a value line comes before any key", batch);
      bool continues = false;
      if (const char* why = ScanValueLine(rest, &continues)) return Fail(m_line, why, batch);
      if (continues) {
        m_continuation = true;
        m_valueLine = m_line;
      }
      return true;
    }
    default:
      return Fail(m_line, "the line is neither a key, a value, an option nor a comment", batch);
  }
}

}  // namespace oarepair::platform
