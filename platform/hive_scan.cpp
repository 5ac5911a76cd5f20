#include "platform/hive_scan.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/fresh_memory.h"
#include "platform/names.h"
#include "platform/reg_text.h"

namespace oarepair::platform {
namespace {

constexpr std::string_view kMagic = "WINE REGISTRY Version 2";
// Reads and writes move the file in pieces of at most this size, so neither ever holds the whole
// text; large enough that the cost of each call is small beside the bytes it moves.
constexpr size_t kChunkSize = size_t{256} << 10;
// Room kept past the bytes read, so that a search may read a whole block beyond its end.
constexpr size_t kSlack = 64;

#if defined(__SSE2__)
// Bit i is set where p[i] is `a` (or `b`): sixteen bytes at a time, where most lines and strings
// are a few dozen bytes long and a call of memchr for each costs more than its search.
unsigned Matches(const char* p, char a) {
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8(a))));
}
unsigned Matches(const char* p, char a, char b) {
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
      _mm_cmpeq_epi8(block, _mm_set1_epi8(a)), _mm_cmpeq_epi8(block, _mm_set1_epi8(b)))));
}
#endif

// The first byte of text[i..] that is a backslash, a ']' or from 0x80, or the end.
size_t PathSpecial(std::string_view text, size_t i) {
#if defined(__SSE2__)
  const char* const s = text.data();
  for (; i < text.size(); i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    unsigned m = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('\\')),
                                  _mm_cmpeq_epi8(block, _mm_set1_epi8(']'))),
                     block)));  // the sign bit of every byte from 0x80
    if (text.size() - i < 16) m &= (1u << (text.size() - i)) - 1;
    if (m != 0) return i + static_cast<size_t>(__builtin_ctz(m));
  }
  return text.size();
#else
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' || c == ']' || static_cast<unsigned char>(c) >= 0x80) break;
  }
  return i;
#endif
}

// The names of the rest of a key path from body[from], when each is plain ASCII without an
// escape, not empty, and they are joined by plain "\\\\" separators: then each name is its raw
// bytes. Sets `names` to their [start, end) in body and *end to just past the ']' that ends the
// path. False, deciding nothing, for any other path.
bool SplitPlainPath(std::string_view body, size_t from,
                    std::vector<std::pair<size_t, size_t>>* names, size_t* end) {
  names->clear();
  size_t start = from;
  for (;;) {
    const size_t k = PathSpecial(body, start);
    if (k == start || k == body.size()) return false;
    if (body[k] == ']') {
      names->emplace_back(start, k);
      *end = k + 1;
      return true;
    }
    if (body[k] != '\\' || k + 1 == body.size() || body[k + 1] != '\\') return false;
    names->emplace_back(start, k);
    start = k + 2;
  }
}

// The '\n' that ends the line starting at p; there is one before `end`. May read up to 15 bytes
// past it.
const char* LineEnd(const char* p, const char* end) {
#if defined(__SSE2__)
  for (; p < end; p += 16) {
    if (const unsigned m = Matches(p, '\n')) return p + __builtin_ctz(m);
  }
  return end;
#else
  return static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
#endif
}

// Unescape's result without decoding, for text in the scanner's buffer: how many bytes up to and
// past the first unescaped `endChar`, or kNoEndChar. May read up to 15 bytes past the text.
size_t UnescapedEnd(std::string_view text, char endChar) {
#if defined(__SSE2__)
  const char* const s = text.data();
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    unsigned m = Matches(s + i, endChar, '\\');
    if (n - i < 16) m &= (1u << (n - i)) - 1;
    if (m == 0) {
      i += 16;
      continue;
    }
    i += static_cast<size_t>(__builtin_ctz(m));
    if (s[i] == endChar) return i + 1;
    i += 2;  // the escaped byte never ends the text
  }
  return kNoEndChar;
#else
  return Unescape(text, endChar, nullptr);
#endif
}

// For a hex digit only.
unsigned HexValue(char c) { return static_cast<unsigned>(HexDigitValue(c)); }

// How many bytes a and b have in common at their start, of the first n; a word at a time, as
// every section header is compared with the one before it.
size_t CommonPrefixLength(const char* a, const char* b, size_t n) {
  size_t i = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  for (; i + sizeof(uint64_t) <= n; i += sizeof(uint64_t)) {
    uint64_t x = 0;
    uint64_t y = 0;
    std::memcpy(&x, a + i, sizeof x);
    std::memcpy(&y, b + i, sizeof y);
    // The lowest differing byte is the first one in memory.
    if (x != y) return i + static_cast<size_t>(__builtin_ctzll(x ^ y)) / 8;
  }
#endif
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Adds the offsets just past each separator of raw[from..] written as a plain "\\\\" that ends
// a non-empty name, up to the first separator written any other way (\x5c, \134), the first
// empty name or the first raw byte from 0x80, after which names can no longer be counted from
// the raw text. True when the rest of the path was covered that way and ends with a non-empty
// name.
bool PlainCuts(std::string_view raw, size_t from, std::vector<size_t>* cuts) {
  size_t nameStart = from;
  size_t i = from;
  while ((i = PlainRunEnd(raw, i, '\\')) < raw.size()) {
    // Raw bytes from 0x80 are read as UTF-8 and dropped when invalid, so a name made of them
    // may come out empty and the names no longer match the separators one to one.
    if (static_cast<unsigned char>(raw[i]) >= 0x80) return false;
    if (raw[i] != '\\' || i + 1 >= raw.size()) {
      ++i;
      continue;
    }
    const char e = raw[i + 1];
    if (e == '\\') {
      if (i == nameStart) return false;
      i += 2;
      cuts->push_back(i);
      nameStart = i;
    } else if (e == 'x') {
      unsigned value = 0;
      size_t digits = 0;
      for (; digits < 4 && i + 2 + digits < raw.size() && IsHexDigit(raw[i + 2 + digits]);
           ++digits)
        value = value * 16 + HexValue(raw[i + 2 + digits]);
      if (digits > 0 && value == '\\') return false;
      i += 2 + digits;
    } else if (e >= '0' && e <= '7') {
      unsigned value = 0;
      size_t digits = 0;
      for (; digits < 3 && i + 1 + digits < raw.size() && raw[i + 1 + digits] >= '0' &&
             raw[i + 1 + digits] <= '7';
           ++digits)
        value = value * 8 + static_cast<unsigned>(raw[i + 1 + digits] - '0');
      if (value == '\\') return false;
      i += 1 + digits;
    } else {
      i += 2;  // any other escaped character is part of the name
    }
  }
  return nameStart < raw.size();
}

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

// Checks the syntax of a value line that starts with '@' or '"'; it lies in the scanner's buffer.
// The value itself is not kept: the section's text is. Returns null when the line is sound, else
// what is wrong.
const char* ScanValueLine(std::string_view s, bool* continues) {
  *continues = false;
  size_t p = 1;
  if (s[0] == '"') {
    const size_t used = UnescapedEnd(s.substr(1), '"');
    if (used == kNoEndChar) return "the value name has no closing '\"'";
    p = 1 + used;
  }
  p = SkipRegSpaces(s, p);
  if (p == s.size() || s[p] != '=') return "the value name is not followed by '='";
  p = SkipRegSpaces(s, p + 1);
  const std::string_view data = s.substr(p);
  for (std::string_view prefix : {"\"", "str:\"", "str(2):\"", "str(7):\""}) {
    if (StartsWith(data, prefix)) {
      if (UnescapedEnd(data.substr(prefix.size()), '"') == kNoEndChar)
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

}  // namespace

void HiveScanner::Run(const std::function<bool(const ScanBatch&)>& take) {
  ScanBatch batch;
  do {
    Next(&batch);
  } while (take(batch) && !batch.last);
}

size_t HiveScanner::ChunkSize() { return kChunkSize; }

HiveScanner::HiveScanner(FileSystem& fs, int fd, uint64_t sizeHint, std::mutex* io,
                         uint64_t from, uint64_t to)
    : m_fs(fs), m_fd(fd), m_size(sizeHint), m_io(io), m_to(to), m_bufferOffset(from) {
  // A later part starts past the first line and the first header.
  if (from > 0) {
    m_line = 1;
    m_sawHeader = true;
  }
}

bool HiveScanner::Next(ScanBatch* batch) {
  batch->lines.clear();
  m_header = SIZE_MAX;
  batch->names.clear();
  batch->bytes.clear();
  batch->text.clear();
  batch->last = false;
  batch->status = HiveParseStatus::kOk;
  // The unscanned start of a line moves to the front, and the next chunk is read after it. A
  // file smaller than a chunk is read with one buffer of its size (and one read past its end).
  if (m_begin > 0) {
    std::memmove(&m_buffer[0], m_buffer.data() + m_begin, m_end - m_begin);
    m_bufferOffset += m_begin;
    m_end -= m_begin;
    m_begin = 0;
  }
  const size_t want = static_cast<size_t>(std::min<uint64_t>(
      m_size == 0 ? kChunkSize : std::clamp<uint64_t>(m_size + 1, 4096, kChunkSize),
      m_to - std::min(m_to, m_bufferOffset + m_end)));
  if (m_buffer.size() < m_end + want + kSlack) ResizeBuffer(&m_buffer, m_end + want + kSlack);
  size_t got = 0;
  int rc = 0;
  if (want > 0) {
    std::lock_guard<std::mutex> hold(*m_io);
    rc = m_fs.PRead(m_fd, &m_buffer[m_end], want, m_bufferOffset + m_end, &got);
  }
  if (rc != 0) {
    batch->status = HiveParseStatus::kIoError;
    batch->error = {rc, 0, std::string("cannot read the file: ") + std::strerror(rc)};
    return End(batch);
  }
  if (got == 0) {
    if (m_end > m_begin) {  // the last line has no '\n': scanned as though it had
      m_buffer[m_end] = '\n';
      if (!Lines(m_end + 1, batch)) return End(batch);
    }
    if (m_line == 0) Fail(1, "the file is empty", batch);
    if (m_continuation)
      Fail(m_line,
           "the hex data of line " + std::to_string(m_valueLine) +
               " continues past the end of the file",
           batch);
    return End(batch);
  }
  const size_t fresh = m_end;
  m_end += got;
  const char* const base = m_buffer.data();
  // Where the line after the last '\n' of base[fresh, end) starts (m_begin when there is none):
  // the lines before it are whole.
  const auto linesEnd = [&](size_t end) {
    const void* newline = memrchr(base + fresh, '\n', end - fresh);
    return newline == nullptr ? m_begin
                              : static_cast<size_t>(static_cast<const char*>(newline) - base) + 1;
  };
  // Only whole lines are scanned; a line the chunk cuts short waits for the next one.
  const size_t stop = linesEnd(m_end);
  // A line known to be refused is not gathered to its end, which may be a gigabyte away: one
  // with a NUL byte, or a first line longer than the magic line (with its '\r').
  if (const void* nul = std::memchr(base + fresh, '\0', got)) {
    if (!Lines(linesEnd(static_cast<size_t>(static_cast<const char*>(nul) - base)), batch))
      return End(batch);
    Fail(m_line + 1, "the line contains a NUL byte", batch);
    return End(batch);
  }
  if (m_line == 0 && stop == m_begin && m_end - m_begin > kMagic.size() + 1) {
    Fail(1, "the first line is not \"WINE REGISTRY Version 2\"", batch);
    return End(batch);
  }
  return Lines(stop, batch) || End(batch);
}

bool HiveScanner::Lines(size_t stop, ScanBatch* batch) {
  const char* const base = m_buffer.data();
  const char* const end = base + stop;
  for (const char* p = base + m_begin; p < end;) {
    const char* const newline = LineEnd(p, end);
    if (!Line(std::string_view(p, static_cast<size_t>(newline - p)),
              m_bufferOffset + static_cast<uint64_t>(p - base), batch))
      return false;
    p = newline + 1;
  }
  m_begin = stop;
  return true;
}

bool HiveScanner::End(ScanBatch* batch) {
  batch->last = true;
  batch->fileSize = m_bufferOffset + m_end;
  return false;
}

bool HiveScanner::Fail(uint64_t line, const std::string& what, ScanBatch* batch) {
  if (batch->status == HiveParseStatus::kOk) {
    batch->status = HiveParseStatus::kMalformed;
    batch->error = {0, line, "line " + std::to_string(line) + ": " + what};
  }
  return false;
}

bool HiveScanner::Line(std::string_view raw, uint64_t offset, ScanBatch* batch) {
  ++m_line;
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
    case '[':
      m_sawHeader = true;
      return Header(rest.substr(1), wasEmpty ? emptyOffset : offset, batch);
    case ';':
      return true;
    case '#':
      if (!m_sawHeader) return true;  // a global option such as #arch
      if (StartsWith(rest, "#time=")) {
        ScanBatch::Line& line = SectionOptions(batch);
        line.time = OptionFileTime(rest.substr(6));
        line.flags |= ScanBatch::Line::kTimeOption;
      } else if (StartsWith(rest, "#link")) {
        SectionOptions(batch).flags |= ScanBatch::Line::kLink;
      }
      // A class Wine cannot read would be lost.
      if (StartsWith(rest, "#class=\"") && UnescapedEnd(rest.substr(8), '"') == kNoEndChar)
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

bool HiveScanner::Header(std::string_view body, uint64_t start, ScanBatch* batch) {
  size_t shared = 0;
  size_t rawStart = 0;
  SharedWithPrevious(body, &shared, &rawStart);
  // Most paths are plain: their names are handed on as the bytes they are. Any other is decoded
  // as Wine reads it and split at every backslash.
  size_t used = 0;
  const bool plain = SplitPlainPath(body, rawStart, &m_plainNames, &used);
  if (!plain) {
    const size_t tailUsed = Unescape(body.substr(rawStart), ']', &m_path);
    if (tailUsed == kNoEndChar)
      return Fail(m_line, "the key path does not end with an unescaped ']'", batch);
    used = rawStart + tailUsed;
  }
  ScanBatch::Line line{start, HeaderFileTime(body.substr(used)), static_cast<uint32_t>(shared), 0,
                       ScanBatch::Line::kHeader};
  const bool root = !plain && shared == 0 && !m_path.empty() && m_path[0] == u'\0';
  const auto tooLong = [&] {
    return Fail(m_line,
                "a key name is longer than " + std::to_string(kMaxKeyNameLength) + " characters",
                batch);
  };
  if (plain) {
    for (const auto& [from, to] : m_plainNames) {
      if (to - from > kMaxKeyNameLength) return tooLong();
      batch->names.push_back(
          {static_cast<uint32_t>(batch->bytes.size()), static_cast<uint32_t>(to - from)});
      batch->bytes.append(body.data() + from, to - from);
    }
    line.nameCount = static_cast<uint32_t>(m_plainNames.size());
  } else if (root) {
    line.flags |= ScanBatch::Line::kRoot;
  } else {
    SplitKeyPath(m_path, &m_names);
    for (std::u16string_view name : m_names) {
      if (name.size() > kMaxKeyNameLength) return tooLong();
      batch->names.push_back(
          {static_cast<uint32_t>(batch->text.size()), static_cast<uint32_t>(name.size())});
      batch->text.append(name);
    }
    line.nameCount = static_cast<uint32_t>(m_names.size());
    line.flags |= ScanBatch::Line::kDecodedNames;
  }
  // Kept for the next header: the raw path, and where its plain separators end.
  m_prevCuts.resize(shared == 0 ? 0 : std::min(shared, m_prevCuts.size()));
  if (shared > 0 && m_prevCuts.size() < shared) m_prevCuts.push_back(rawStart);
  // The raw path up to rawStart is the previous one's.
  m_prevRaw.resize(std::min(rawStart, m_prevRaw.size()));
  m_prevRaw.append(body.data() + m_prevRaw.size(), used - 1 - m_prevRaw.size());
  if (plain) {
    for (size_t n = 1; n < m_plainNames.size(); ++n) m_prevCuts.push_back(m_plainNames[n].first);
    m_prevClean = true;
  } else {
    m_prevClean = !root && PlainCuts(m_prevRaw, rawStart, &m_prevCuts);
    if (root) m_prevCuts.clear();
  }
  m_header = batch->lines.size();
  batch->lines.push_back(line);
  return true;
}

ScanBatch::Line& HiveScanner::SectionOptions(ScanBatch* batch) {
  if (m_header == SIZE_MAX) {
    m_header = batch->lines.size();
    batch->lines.push_back({0, 0, 0, 0, 0});
  }
  return batch->lines[m_header];
}

void HiveScanner::SharedWithPrevious(std::string_view body, size_t* shared,
                                     size_t* rawStart) const {
  // A name counts only with the plain "\\\\" after it in both.
  *shared = 0;
  *rawStart = 0;
  if (m_prevCuts.empty() && !m_prevClean) return;
  const size_t same =
      CommonPrefixLength(body.data(), m_prevRaw.data(), std::min(body.size(), m_prevRaw.size()));
  while (*shared < m_prevCuts.size() && m_prevCuts[*shared] <= same) {
    *rawStart = m_prevCuts[*shared];
    ++*shared;
  }
  // The whole previous path, then a separator: a key below the previous one.
  if (m_prevClean && *shared == m_prevCuts.size() && same == m_prevRaw.size() &&
      body.substr(same, 2) == "\\\\") {
    *rawStart = same + 2;
    ++*shared;
  }
}

}  // namespace oarepair::platform
