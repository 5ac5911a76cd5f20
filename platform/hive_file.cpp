#include "platform/hive_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/clock.h"
#include "platform/names.h"
#include "platform/reg_text.h"

namespace oarepair::platform {
namespace {

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

// Records the index of a file from the scanner's batches.
class HiveParser {
 public:
  HiveParser(HiveIndex* index, const HiveByteSource* source, uint64_t sizeHint,
             HiveParseError* error)
      : m_index(index), m_source(source), m_error(error), m_sizeHint(sizeHint) {
    *m_index = HiveIndex();
    m_index->loadTime = NowFileTime();
    NewKey(HiveIndex::kNone, 0, u"");
  }

  // Takes in one batch; false once the parse has ended: the last batch was taken in, or the file
  // was refused or could not be read (Result says which).
  bool Apply(const ScanBatch& batch) {
    for (const ScanBatch::Line& line : batch.lines) {
      m_line = line.number;
      if (line.kind == ScanBatch::Line::kTime) {
        m_sectionTime = line.time;
      } else if (line.kind == ScanBatch::Line::kLink) {
        m_index->flags[m_currentKey] |= HiveIndex::kLink;
      } else if (!Section(std::string_view(batch.text.data() + line.at, line.size), line.start,
                          line.time)) {
        return false;
      }
    }
    if (!batch.last) return true;
    if (batch.status != HiveParseStatus::kOk) {
      m_readError = batch.status == HiveParseStatus::kIoError;
      if (m_error != nullptr) *m_error = batch.error;
      Abandon();
      return false;
    }
    Finish(batch.fileSize);
    return false;
  }

  // How the parse ended, once Apply has returned false.
  HiveParseStatus Result() const {
    if (m_done) return HiveParseStatus::kOk;
    return m_readError ? HiveParseStatus::kIoError : HiveParseStatus::kMalformed;
  }

 private:
  // Wine's sections average 150 to 200 bytes and most keys have one: reserving for one per 128
  // bytes spares the copies of growing every table one doubling at a time.
  void ReserveFor(uint64_t sizeHint) {
    const auto n = static_cast<size_t>(sizeHint / 128);
    HiveIndex& x = *m_index;
    for (auto* v : {&x.parent, &x.nameHash, &x.mention}) v->reserve(n);
    x.firstSection.reserve(n);
    x.flags.reserve(n);
    x.offset.reserve(n);
    x.next.reserve(n);
    x.removed.reserve(n);
  }

  void Finish(uint64_t size) {
    m_done = true;
    CloseSection(size);
    HiveIndex& x = *m_index;
    if (m_current < 0) x.headerLength = size;
    x.fileSize = size;
    m_table = std::vector<uint32_t>();
    for (uint8_t& f : x.flags) f &= static_cast<uint8_t>(~(kHasChild | kInOrder));
    x.IndexChildren();
  }

  // Drops what was built.
  void Abandon() { *m_index = HiveIndex(); }

  // A name could not be read back from the file; the parse fails with that error.
  void FailRead(int rc) {
    m_readError = true;
    if (m_error != nullptr) {
      m_error->ioError = rc;
      m_error->line = 0;
      m_error->message = std::string("cannot read the file: ") + std::strerror(rc);
    }
    Abandon();
  }

  bool Fail(uint64_t line, const std::string& what) {
    if (m_error != nullptr) {
      m_error->ioError = 0;
      m_error->line = line;
      m_error->message = "line " + std::to_string(line) + ": " + what;
    }
    Abandon();
    return false;
  }

  // `body` follows the '['; the section's text starts at `start`; `time` is what the header gives.
  bool Section(std::string_view body, uint64_t start, uint64_t headerTime) {
    // The names this header shares with the previous one are not decoded again: sections come
    // mostly in tree order, so most of a path is usually the one before.
    size_t shared = 0;
    size_t rawStart = 0;
    SharedWithPrevious(body, &shared, &rawStart);
    if (shared > m_lastPath.size()) shared = rawStart = 0;  // cannot happen; never trust it
    const size_t tailUsed = Unescape(body.substr(rawStart), ']', &m_path);
    if (tailUsed == kNoEndChar)
      return Fail(m_line, "the key path does not end with an unescaped ']'");
    const size_t used = rawStart + tailUsed;
    if (m_current < 0) ReserveFor(m_sizeHint);  // the file is a registry file, not just any
    // Wine gives a key whose header has no time the load time.
    const uint64_t time = headerTime != 0 ? headerTime : m_index->loadTime;
    uint32_t key = 0;
    // Wine takes a path whose first unit is NUL for the branch root.
    const bool rootByNul = shared == 0 && !m_path.empty() && m_path[0] == u'\0';
    if (!rootByNul) {
      SplitKeyPath(m_path, &m_names);
      for (std::u16string_view name : m_names)
        if (name.size() > kMaxKeyNameLength)
          return Fail(m_line, "a key name is longer than " + std::to_string(kMaxKeyNameLength) +
                                  " characters");
      key = Resolve(shared);
      if (key == HiveIndex::kNone) return false;
    }
    RememberPath(body.substr(0, used - 1), shared, rawStart, rootByNul);
    CloseSection(start);
    HiveIndex& x = *m_index;
    if (m_current < 0) x.headerLength = start;
    const auto index = static_cast<int32_t>(x.offset.size());
    x.offset.push_back(start);
    x.next.push_back(-1);
    x.removed.push_back(false);
    if (x.firstSection[key] < 0) {
      x.firstSection[key] = index;
    } else {
      // A repeated section of the key: chain it after the key's last one.
      auto it = m_lastSection.find(key);
      int32_t last = x.firstSection[key];
      if (it != m_lastSection.end()) {
        last = it->second;
      } else {
        while (x.next[static_cast<size_t>(last)] >= 0) last = x.next[static_cast<size_t>(last)];
      }
      x.next[static_cast<size_t>(last)] = index;
      m_lastSection[key] = index;
    }
    m_current = index;
    m_currentKey = key;
    m_sectionTime = time;
    return true;
  }

  // How many names of the path in `body` are, byte for byte, those of the previous header, and
  // where the rest of it starts. A name counts only with the plain "\\\\" after it in both.
  void SharedWithPrevious(std::string_view body, size_t* shared, size_t* rawStart) const {
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

  // Keeps the raw path of this header and where its plain separators end, for the next one.
  void RememberPath(std::string_view raw, size_t shared, size_t rawStart, bool rootByNul) {
    m_prevRaw.assign(raw.data(), raw.size());
    m_prevCuts.resize(shared == 0 ? 0 : std::min(shared, m_prevCuts.size()));
    if (shared > 0 && m_prevCuts.size() < shared) m_prevCuts.push_back(rawStart);
    m_prevClean = !rootByNul && PlainCuts(raw, rawStart, &m_prevCuts);
    if (rootByNul) m_prevCuts.clear();
  }

  // Adds the offsets just past each separator of raw[from..] written as a plain "\\\\" that ends
  // a non-empty name, up to the first separator written any other way (\x5c, \134), the first
  // empty name or the first raw byte from 0x80, after which names can no longer be counted from
  // the raw text. True when the rest of the path was covered that way and ends with a non-empty
  // name.
  static bool PlainCuts(std::string_view raw, size_t from, std::vector<size_t>* cuts) {
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

  // Finds or creates the key whose path is the first `shared` keys of the previous header's path
  // followed by m_names. The previous path is reused as far as it matches. kNone when a name
  // could not be read back to compare it (the parse has then failed).
  uint32_t Resolve(size_t shared) {
    uint32_t key = shared > 0 ? m_lastPath[shared - 1] : 0;
    size_t depth = shared;
    size_t i = 0;
    // The same spelling as in the previous header is the common case; only a different one
    // needs the case-folding comparison.
    // m_lastNames may hold more names than m_lastPath: only the first m_lastPath.size() count.
    while (i < m_names.size() && depth < m_lastPath.size() &&
           (m_lastNames[depth] == m_names[i] || NamesEqual(m_lastNames[depth], m_names[i]))) {
      key = m_lastPath[depth++];
      ++i;
    }
    m_lastPath.resize(depth);  // m_lastNames keeps its strings, and their memory, for reuse
    for (; i < m_names.size(); ++i) {
      const uint32_t hash = HashKeyName(m_names[i]);
      uint32_t child = HiveIndex::kNone;
      const size_t at = m_lastPath.size();
      const bool past = PastLastChild(key, at, m_names[i]);
      if (!past && !FindChild(key, hash, m_names[i], &child)) return HiveIndex::kNone;
      if (child == HiveIndex::kNone) child = NewKey(key, hash, m_names[i], at, past);
      if (m_lastNames.size() <= at) m_lastNames.resize(at + 1);
      m_lastNames[at].assign(m_names[i]);
      m_lastPath.push_back(child);
      key = child;
    }
    return key;
  }

  static size_t Slot(uint32_t parent, uint32_t hash) {
    return (parent * 0x9E3779B1u) ^ hash;
  }

  // Whether `name` is surely not yet a subkey of `parent` (found at `depth` of a path) without a
  // lookup: the key has no subkeys, or they were all made in Wine's order and the last one comes
  // before it. Wine writes its files in that order, so a whole file is read with no lookup.
  bool PastLastChild(uint32_t parent, size_t depth, std::u16string_view name) const {
    const uint8_t flags = m_index->flags[parent];
    if ((flags & kHasChild) == 0) return true;
    return (flags & kInOrder) != 0 && depth < m_cursors.size() &&
           m_cursors[depth].parent == parent && CompareNames(m_cursors[depth].name, name) < 0;
  }

  // Looks for the subkey `name` of `parent`; false when a name could not be read back.
  bool FindChild(uint32_t parent, uint32_t hash, std::u16string_view name, uint32_t* found) {
    const HiveIndex& x = *m_index;
    if (m_table.empty()) {
      // Made on the first lookup, for every key so far.
      m_table.assign(std::max<size_t>(1024, NextPowerOfTwo(x.KeyCount()) * 2), HiveIndex::kNone);
      for (uint32_t k = 1; k < x.KeyCount(); ++k) Place(k);
    }
    const size_t mask = m_table.size() - 1;
    for (size_t slot = Slot(parent, hash) & mask; m_table[slot] != HiveIndex::kNone;
         slot = (slot + 1) & mask) {
      const uint32_t k = m_table[slot];
      if (x.parent[k] != parent || x.nameHash[k] != hash) continue;
      const int rc = ReadKeyName(x, *m_source, k, &m_readName);
      if (rc != 0) {
        FailRead(rc);
        return false;
      }
      if (!NamesEqual(m_readName, name)) continue;
      *found = k;
      return true;
    }
    return true;
  }

  static size_t NextPowerOfTwo(size_t n) {
    size_t p = 1;
    while (p < n) p *= 2;
    return p;
  }

  // `inOrder`: PastLastChild held for it.
  uint32_t NewKey(uint32_t parent, uint32_t hash, std::u16string_view name, size_t depth = 0,
                  bool inOrder = false) {
    HiveIndex& x = *m_index;
    const uint32_t key = x.KeyCount();
    if (parent != HiveIndex::kNone) {
      // A subkey made out of order, or after another key's at this depth, ends the parent's
      // run of subkeys known to be in order.
      if (!inOrder && (x.flags[parent] & kHasChild) != 0) x.flags[parent] &= ~kInOrder;
      x.flags[parent] |= kHasChild;
      if (m_cursors.size() <= depth) m_cursors.resize(depth + 1);
      m_cursors[depth].parent = parent;
      m_cursors[depth].name.assign(name);
    }
    x.parent.push_back(parent);
    x.nameHash.push_back(hash);
    x.mention.push_back(parent == HiveIndex::kNone ? HiveIndex::kNone
                                                   : static_cast<uint32_t>(x.offset.size()));
    x.firstSection.push_back(-1);
    x.flags.push_back(kInOrder);
    if (!m_table.empty()) {
      if (x.KeyCount() * 2 > m_table.size()) {
        m_table.assign(m_table.size() * 2, HiveIndex::kNone);
        for (uint32_t k = 1; k < key; ++k) Place(k);
      }
      if (parent != HiveIndex::kNone) Place(key);
    }
    return key;
  }

  void Place(uint32_t key) {
    const size_t mask = m_table.size() - 1;
    size_t slot = Slot(m_index->parent[key], m_index->nameHash[key]) & mask;
    while (m_table[slot] != HiveIndex::kNone) slot = (slot + 1) & mask;
    m_table[slot] = key;
  }

  // Ends the open section and gives its time to the key and to every ancestor that has none yet
  // (an implied key takes the time of its first descendant in the file).
  void CloseSection(uint64_t /*end*/) {
    if (m_current < 0) return;
    if (m_sectionTime == 0) return;  // gives no key a time
    HiveIndex& x = *m_index;
    const auto current = static_cast<uint32_t>(m_current);
    for (uint32_t n = m_currentKey; n != HiveIndex::kNone && (x.flags[n] & HiveIndex::kTimed) == 0;
         n = x.parent[n]) {
      x.flags[n] |= HiveIndex::kTimed;
      if (x.TimeSource(n) != current) x.times[n] = m_sectionTime;
    }
  }

  HiveIndex* m_index;
  const HiveByteSource* m_source;
  HiveParseError* m_error;
  uint64_t m_sizeHint;
  // Flags of a key while the file is read, cleared when it is done.
  static constexpr uint8_t kHasChild = 16;
  static constexpr uint8_t kInOrder = 32;  // its subkeys were made in Wine's order
  struct Cursor {
    uint32_t parent = HiveIndex::kNone;  // the key whose subkey was made last at this depth
    std::u16string name;                 // that subkey's name
  };
  std::vector<Cursor> m_cursors;   // by depth
  std::vector<uint32_t> m_table;   // subkeys by parent and name hash, open addressing; made on
                                   // the first lookup
  std::u16string m_readName;
  uint32_t m_currentKey = 0;
  bool m_readError = false;
  bool m_done = false;
  uint64_t m_line = 0;         // of the header being read
  int32_t m_current = -1;      // the section being read
  uint64_t m_sectionTime = 0;
  std::u16string m_path;                      // the decoded part of the current header's path
  std::vector<std::u16string_view> m_names;   // its names
  std::vector<uint32_t> m_lastPath;           // the keys along the previous header's path
  std::vector<std::u16string> m_lastNames;    // their names as spelt there
  std::string m_prevRaw;                      // the previous header's path as written
  std::vector<size_t> m_prevCuts;  // offsets in it just past each plain separator, name by name
  bool m_prevClean = false;        // those separators cover the whole of it
  std::unordered_map<uint32_t, int32_t> m_lastSection;  // keys with repeated sections
};

std::string FileTimeHex(uint64_t time) {
  // Wine prints the high half as plain hex and the low half as exactly eight digits.
  char buf[32];
  std::snprintf(buf, sizeof buf, "%x%08x", static_cast<unsigned>(time >> 32),
                static_cast<unsigned>(time & 0xFFFFFFFFu));
  return buf;
}

// The "] <seconds>" of a key's header as Wine computes it: the time taken as a signed number,
// less the epoch, divided with truncation toward zero, kept as an unsigned int.
uint32_t WineHeaderSeconds(uint64_t time) {
  const auto signedTime = static_cast<int64_t>(time);
  int64_t seconds = 0;
  if (signedTime >= 0) {
    seconds = (signedTime - static_cast<int64_t>(kUnixEpochAsFileTime)) /
              static_cast<int64_t>(kFileTimeTicksPerSecond);
  } else {
    // The difference does not fit a signed number; its size does fit an unsigned one.
    const uint64_t below = kUnixEpochAsFileTime + (uint64_t{0} - time);
    seconds = -static_cast<int64_t>(below / kFileTimeTicksPerSecond);
  }
  return static_cast<uint32_t>(static_cast<uint64_t>(seconds));
}

}  // namespace

std::string NewSectionText(const RegNode* node) {
  const uint64_t time = node->time;
  const uint32_t seconds = WineHeaderSeconds(time);
  std::string text = "\n[";
  text += EscapedKeyPath(node);
  text += "] ";
  text += std::to_string(seconds);
  text += "\n#time=";
  text += FileTimeHex(time);
  text += "\n";
  return text;
}

namespace {

// Gathers output into large pieces for the sink; copies of original bytes that touch each other
// are merged into one read.
class HiveWriter {
 public:
  HiveWriter(const HiveByteSource& source, const HiveByteSink& sink)
      : m_source(source), m_sink(sink) {
    m_out.reserve(HiveScanner::ChunkSize() + 4096);
  }

  void Copy(uint64_t offset, uint64_t length) {
    if (length == 0) return;
    if (m_runLength > 0 && m_runOffset + m_runLength == offset) {
      m_runLength += length;
    } else {
      FlushRun();
      m_runOffset = offset;
      m_runLength = length;
    }
  }

  void Append(std::string_view text) {
    FlushRun();
    Put(text.data(), text.size());
  }

  int Finish() {
    FlushRun();
    if (m_error == 0 && !m_out.empty()) m_error = m_sink(m_out.data(), m_out.size());
    m_out.clear();
    return m_error;
  }

 private:
  void FlushRun() {
    uint64_t offset = m_runOffset;
    uint64_t left = m_runLength;
    m_runLength = 0;
    while (left > 0 && m_error == 0) {
      const uint64_t n = std::min<uint64_t>(left, HiveScanner::ChunkSize());
      int rc = m_source(offset, n, &m_piece);  // m_piece keeps its size: no zeroing each time
      if (rc == 0 && m_piece.size() != n) rc = EIO;  // the original file is shorter than read
      if (rc != 0) {
        m_error = rc;
        return;
      }
      Put(m_piece.data(), m_piece.size());
      offset += n;
      left -= n;
    }
  }

  void Put(const char* data, size_t size) {
    if (m_error != 0) return;
    if (m_out.size() + size > HiveScanner::ChunkSize() && !m_out.empty()) {
      m_error = m_sink(m_out.data(), m_out.size());
      m_out.clear();
      if (m_error != 0) return;
    }
    if (size >= HiveScanner::ChunkSize()) {
      m_error = m_sink(data, size);
      return;
    }
    m_out.append(data, size);
  }

  const HiveByteSource& m_source;
  const HiveByteSink& m_sink;
  std::string m_out;
  std::string m_piece;
  uint64_t m_runOffset = 0;
  uint64_t m_runLength = 0;
  int m_error = 0;
};

}  // namespace

HiveParseStatus IndexHiveFile(FileSystem& fs, int fd, const HiveByteSource& source,
                              HiveIndex* index, HiveParseError* error) {
  struct stat st {};
  const uint64_t size =
      fs.FStat(fd, &st) == 0 && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  // The scanner and the parser's look-ups of names read the same file, perhaps from two threads.
  std::mutex io;
  const HiveByteSource locked = [&](uint64_t offset, uint64_t length, std::string* out) {
    std::lock_guard<std::mutex> hold(io);
    return source(offset, length, out);
  };
  HiveParser parser(index, &locked, size, error);
  HiveScanner scanner(fs, fd, size, &io);
  scanner.Run([&parser](const ScanBatch& batch) { return parser.Apply(batch); });
  return parser.Result();
}

int KeyFromSection(const HiveIndex& index, uint32_t key, std::string_view text,
                   std::u16string* name, uint64_t* time) {
  // As the parser read the header: the path up to ']', then the seconds, then any "#time="
  // option line of the section.
  const size_t open = text.find('[');
  if (open == std::string_view::npos) return EINVAL;
  const std::string_view body = text.substr(open + 1);
  std::u16string path;
  const size_t used = Unescape(body, ']', &path);
  if (used == kNoEndChar) return EINVAL;
  if (name != nullptr) {
    std::vector<std::u16string_view> names;
    SplitKeyPath(path, &names);
    const uint32_t depth = index.Depth(key);
    if (depth == 0 || depth > names.size()) return EINVAL;
    name->assign(names[depth - 1]);
  }
  if (time == nullptr) return 0;
  *time = 0;
  if ((index.flags[key] & HiveIndex::kTimed) == 0) return 0;
  auto it = index.times.find(key);
  if (it != index.times.end()) {
    *time = it->second;
    return 0;
  }
  size_t end = body.find('\n', used);
  *time = HeaderFileTime(body.substr(used, end == std::string_view::npos ? end : end - used));
  if (*time == 0) *time = index.loadTime;
  while (end != std::string_view::npos) {
    const size_t start = end + 1;
    end = body.find('\n', start);
    const std::string_view line = body.substr(start, end == std::string_view::npos ? end
                                                                              : end - start);
    const std::string_view rest = line.substr(std::min(line.size(), SkipRegSpaces(line, 0)));
    if (StartsWith(rest, "#time=")) *time = OptionFileTime(rest.substr(6));
  }
  return 0;
}

uint32_t HashKeyName(std::u16string_view name) {
  // Four folded units at a time: every key of a file is hashed while it is read.
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  uint64_t hash = kMul ^ name.size();
  for (size_t i = 0; i < name.size(); i += 4) {
    uint64_t word = 0;  // the last units of a name are padded with zeros
    if (i + 4 <= name.size())
      std::memcpy(&word, name.data() + i, sizeof word);  // one load, not a call of memcpy
    else
      std::memcpy(&word, name.data() + i, (name.size() - i) * sizeof(char16_t));
    if ((word & 0xFF80FF80FF80FF80ull) == 0) {
      // ASCII only: add 0x20 to every unit from 'A' (0x41) to 'Z' (0x5A), all four at once.
      const uint64_t fromA = word + 0x003F003F003F003Full;
      const uint64_t pastZ = word + 0x0025002500250025ull;
      word += ((fromA & ~pastZ) & 0x0080008000800080ull) >> 2;
    } else {
      char16_t units[4];
      std::memcpy(units, &word, sizeof word);
      for (char16_t& c : units) c = FoldChar(c);
      std::memcpy(&word, units, sizeof word);
    }
    hash = (hash ^ word) * kMul;
    hash ^= hash >> 29;
  }
  return static_cast<uint32_t>(hash ^ (hash >> 32));
}

uint32_t HiveIndex::Depth(uint32_t key) const {
  uint32_t depth = 0;
  for (uint32_t k = key; parent[k] != kNone; k = parent[k]) ++depth;
  return depth;
}

void HiveIndex::IndexChildren() {
  const uint32_t n = KeyCount();
  childStart.assign(static_cast<size_t>(n) + 1, 0);
  for (uint32_t k = 1; k < n; ++k) ++childStart[parent[k] + 1];
  for (uint32_t k = 0; k < n; ++k) childStart[k + 1] += childStart[k];
  childKeys.assign(n > 0 ? n - 1 : 0, kNone);
  // Filled with each start as the cursor, which moves it to the next key's start; shifting the
  // starts back one place restores them.
  for (uint32_t k = 1; k < n; ++k) childKeys[childStart[parent[k]]++] = k;
  for (uint32_t k = n; k > 0; --k) childStart[k] = childStart[k - 1];
  childStart[0] = 0;
}

int ReadKeyName(const HiveIndex& index, const HiveByteSource& source, uint32_t key,
                std::u16string* name) {
  if (key >= index.KeyCount() || index.mention[key] == HiveIndex::kNone) return EINVAL;
  const uint64_t start = index.offset[index.mention[key]];
  // The header follows at most a blank line; a long path is read in growing pieces.
  std::string text;
  for (uint64_t want = 512;; want *= 4) {
    const int rc = source(start, want, &text);  // may stop short at the end of the file
    if (rc != 0) return rc;
    if (KeyFromSection(index, key, text, name, nullptr) == 0) return 0;
    if (text.size() < want) return EINVAL;  // the file ends first
  }
}

int StreamHive(uint64_t headerLength, size_t sectionCount,
               const std::function<uint64_t(size_t)>& offsetOf,
               const std::function<uint64_t(size_t)>& lengthOf,
               const std::function<bool(size_t)>& live, const std::vector<HiveFreshSection>& fresh,
               const HiveByteSource& source, const HiveByteSink& sink) {
  HiveWriter writer(source, sink);
  size_t nextFresh = 0;
  auto emitFreshAfter = [&](int32_t after) {
    for (; nextFresh < fresh.size() && fresh[nextFresh].after == after; ++nextFresh) {
      writer.Append(fresh[nextFresh].text);
    }
  };
  writer.Copy(0, headerLength);
  emitFreshAfter(-1);
  for (size_t i = 0; i < sectionCount; ++i) {
    if (live(i)) writer.Copy(offsetOf(i), lengthOf(i));
    emitFreshAfter(static_cast<int32_t>(i));
  }
  return writer.Finish();
}

std::string EscapedKeyPath(const RegNode* node) {
  std::vector<std::u16string_view> names;
  for (const RegNode* n = node; n != nullptr && n->parent != nullptr; n = n->parent)
    names.push_back(n->name());
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (it != names.rbegin()) path += "\\\\";
    AppendEscaped(*it, EscapeContext::kKeyPath, &path);
  }
  return path;
}

}  // namespace oarepair::platform
