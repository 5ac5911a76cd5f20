#include "platform/hive_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/clock.h"
#include "platform/fresh_memory.h"
#include "platform/names.h"
#include "platform/reg_text.h"

namespace oarepair::platform {
namespace {

// Widens plain ASCII bytes to code units, sixteen at a time: every name of a header that is not
// the previous header's is widened so.
void WidenAscii(const char* from, size_t n, char16_t* to) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i + 8), _mm_unpackhi_epi8(bytes, zero));
  }
#endif
  for (; i < n; ++i) to[i] = static_cast<unsigned char>(from[i]);
}

// Frees the memory of arrays no longer needed.
template <class... Arrays>
void Release(Arrays*... arrays) {
  ((*arrays = Arrays()), ...);
}

// How many slots of the index's arrays are made present at a time.
constexpr size_t kPrefaultStep = 16384;

// Makes the per-key arrays' next `count` slots present (fresh_memory.h).
void PrefaultKeys(const HiveIndex& x, size_t count) {
  PrefaultAhead(x.parent, count);
  PrefaultAhead(x.nameHash, count);
  PrefaultAhead(x.firstSection, count);
  PrefaultAhead(x.flags, count);
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
    uint32_t name = 0;  // the first name of the next header
    for (const ScanBatch::Line& line : batch.lines) {
      if ((line.flags & ScanBatch::Line::kHeader) != 0) {
        if (!Section(line, batch, name)) return false;
        name += line.nameCount;
      }
      if ((line.flags & ScanBatch::Line::kTimeOption) != 0) m_sectionTime = line.time;
      if ((line.flags & ScanBatch::Line::kLink) != 0)
        m_index->flags[m_currentKey] |= HiveIndex::kLink;
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

  // Makes this parser read one part of a file, ending where the part ends, for Append to join
  // with the next part; a later part reads times as `earlier` does.
  void ReadAsPart(const HiveParser* earlier = nullptr) {
    m_part = true;
    if (earlier != nullptr) m_index->loadTime = earlier->m_index->loadTime;
  }

  // Takes in what `later` read from the part of the file that follows this one's, so that the
  // index is the one a single reading of both parts gives, and completes it. False where that
  // cannot be had so (`later` names keys of this part other than in Wine's order, or gives a
  // time to a key this part left without one): the index is then unfinished, and the file has
  // to be read in one pass. `later` is used up.
  bool Append(HiveParser* later) {
    HiveIndex& x = *m_index;
    HiveIndex& y = *later->m_index;
    const uint32_t known = x.KeyCount();
    const auto sections = static_cast<int32_t>(x.offset.size());
    PrefaultKeys(x, y.KeyCount());
    // Parents come before their subkeys. Once a key of `later` is placed, its slot in y.nameHash
    // says which key of this index it is: its hash is not needed after that, its parent is.
    y.nameHash[0] = 0;
    std::vector<bool> hasSubkey(y.KeyCount());  // a subkey of it was placed
    std::u16string name;
    for (uint32_t k = 1; k < y.KeyCount(); ++k) {
      const uint32_t parent = y.parent[k];
      const uint32_t mapped = y.nameHash[parent];
      uint32_t to = x.KeyCount();
      if (mapped < known && (x.flags[mapped] & kHasChild) != 0) {
        if (hasSubkey[parent]) {
          // Later subkeys in order come after the first, which came after those of this part.
          if ((y.flags[parent] & kInOrder) == 0) return false;
        } else {
          // The first one either is the last subkey this part made under the key, or comes
          // after it, where this part made them in order.
          const size_t depth = x.Depth(mapped);
          if ((x.flags[mapped] & kInOrder) == 0 || depth >= m_cursors.size() ||
              m_cursors[depth].parent != mapped || ReadKeyName(y, *m_source, k, &name) != 0)
            return false;
          const int order = CompareNames(m_cursors[depth].name, name);
          if (order > 0) return false;
          if (order == 0) to = m_cursors[depth].key;
        }
      }
      hasSubkey[parent] = true;
      const int32_t first = y.firstSection[k] < 0 ? -1 : y.firstSection[k] + sections;
      const uint32_t hash = y.nameHash[k];
      y.nameHash[k] = to;
      if (to == x.KeyCount()) {
        x.parent.push_back(mapped);
        x.nameHash.push_back(hash);
        x.firstSection.push_back(first);
        x.flags.push_back(y.flags[k]);
        continue;
      }
      if (!Join(to, y.flags[k], first)) return false;
    }
    if (!Join(0, y.flags[0], y.firstSection[0] < 0 ? -1 : y.firstSection[0] + sections))
      return false;
    for (const auto& [key, section] : y.impliedBy)
      if (y.nameHash[key] >= known) x.impliedBy.emplace(y.nameHash[key], section + sections);
    for (const auto& [key, time] : y.times)
      if (y.nameHash[key] >= known) x.times.emplace(y.nameHash[key], time);
    for (const auto& [from, to] : y.nextSection)
      x.nextSection.emplace(from + sections, to + sections);
    // What is copied goes at once, so that the two indexes never hold more than one of each
    // array twice: the peak memory of a large file's load.
    Release(&y.parent, &y.nameHash, &y.firstSection, &y.flags);
    PrefaultAhead(x.offset, y.offset.size());
    x.offset.insert(x.offset.end(), y.offset.begin(), y.offset.end());
    x.removed.insert(x.removed.end(), y.removed.begin(), y.removed.end());
    Release(&y.offset);
    x.fileSize = y.fileSize;
    Complete();
    return true;
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
    for (auto* v : {&x.parent, &x.nameHash}) v->reserve(n);
    x.firstSection.reserve(n);
    x.flags.reserve(n);
    x.offset.reserve(n);
    x.removed.reserve(n);
    // The root was made before the arrays were reserved: their first pages are asked for here.
    PrefaultKeys(x, kPrefaultStep);
  }

  void Finish(uint64_t size) {
    m_done = true;
    CloseSection(size);
    HiveIndex& x = *m_index;
    if (m_current < 0) x.headerLength = size;
    x.fileSize = size;
    if (!m_part) Complete();
  }

  // Key `key` of this part is also one of the next part, with `flags` and its own first section
  // there (-1: none). False where a single reading would time it other than this part did.
  bool Join(uint32_t key, uint8_t flags, int32_t first) {
    HiveIndex& x = *m_index;
    if ((x.flags[key] & HiveIndex::kTimed) == 0 && (flags & HiveIndex::kTimed) != 0) return false;
    x.flags[key] |= static_cast<uint8_t>(flags & HiveIndex::kLink);
    if (first < 0) return true;
    if (x.firstSection[key] < 0) {
      x.firstSection[key] = first;
    } else {
      const auto it = m_lastSection.find(key);
      x.nextSection[it != m_lastSection.end() ? it->second : x.firstSection[key]] = first;
    }
    return true;
  }

  void Complete() {
    HiveIndex& x = *m_index;
    m_table = std::vector<uint32_t>();
    for (uint8_t& f : x.flags) f &= static_cast<uint8_t>(~(kHasChild | kInOrder | kImplied));
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

  // A section header as the scanner decoded it; its names start at batch.names[firstName].
  bool Section(const ScanBatch::Line& line, const ScanBatch& batch, uint32_t firstName) {
    if (m_current < 0) ReserveFor(m_sizeHint);  // the file is a registry file, not just any
    // Wine gives a key whose header has no time the load time.
    const uint64_t time = line.time != 0 ? line.time : m_index->loadTime;
    uint32_t key = 0;
    if ((line.flags & ScanBatch::Line::kRoot) == 0) {
      key = Resolve(line, batch, firstName);
      if (key == HiveIndex::kNone) return false;
    }
    CloseSection(line.start);
    HiveIndex& x = *m_index;
    if (m_current < 0) x.headerLength = line.start;
    const auto index = static_cast<int32_t>(x.offset.size());
    if (x.offset.size() % kPrefaultStep == 0) PrefaultAhead(x.offset, kPrefaultStep);
    x.offset.push_back(line.start);
    x.removed.push_back(false);
    if (x.firstSection[key] < 0) {
      x.firstSection[key] = index;
    } else {
      // A repeated section of the key: chain it after the key's last one.
      auto it = m_lastSection.find(key);
      x.nextSection[it != m_lastSection.end() ? it->second : x.firstSection[key]] = index;
      m_lastSection[key] = index;
    }
    m_current = index;
    m_currentKey = key;
    m_sectionTime = time;
    return true;
  }

  // Finds or creates the key of a header's path: the keys of the previous path as far as the
  // names are the same, then its other names. kNone when a name could not be read back to
  // compare it (the parse has then failed).
  uint32_t Resolve(const ScanBatch::Line& line, const ScanBatch& batch, uint32_t firstName) {
    if (line.shared > m_lastPath.size()) {  // the scanner follows the same paths: cannot happen
      FailRead(EIO);
      return HiveIndex::kNone;
    }
    size_t depth = line.shared;
    uint32_t key = depth > 0 ? m_lastPath[depth - 1] : 0;
    const bool decoded = (line.flags & ScanBatch::Line::kDecodedNames) != 0;
    const auto nameOf = [&](uint32_t n) {  // valid until the next call
      const ScanBatch::Name& given = batch.names[n];
      if (decoded) return std::u16string_view(batch.text.data() + given.at, given.size);
      char16_t* to = m_wide.data();
      if (given.size > m_wide.size()) {  // the scanner refuses such names: never here
        m_name.resize(given.size);
        to = m_name.data();
      }
      WidenAscii(batch.bytes.data() + given.at, given.size, to);
      return std::u16string_view(to, given.size);
    };
    uint32_t n = firstName;
    const uint32_t end = firstName + line.nameCount;
    // The same spelling as in the previous header is the common case; only a different one
    // needs the case-folding comparison.
    // m_lastNames may hold more names than m_lastPath: only the first m_lastPath.size() count.
    for (; n < end && depth < m_lastPath.size(); ++n, ++depth) {
      const std::u16string_view name = nameOf(n);
      if (m_lastNames[depth] != name && !NamesEqual(m_lastNames[depth], name)) break;
      key = m_lastPath[depth];
    }
    m_lastPath.resize(depth);  // m_lastNames keeps its strings, and their memory, for reuse
    for (; n < end; ++n) {
      const std::u16string_view name = nameOf(n);
      const uint32_t hash = HashKeyName(name);
      uint32_t child = HiveIndex::kNone;
      const size_t at = m_lastPath.size();
      const bool past = PastLastChild(key, at, name);
      if (!past && !FindChild(key, hash, name, &child)) return HiveIndex::kNone;
      if (child == HiveIndex::kNone) child = NewKey(key, hash, name, at, past, n + 1 < end);
      if (m_lastNames.size() <= at) m_lastNames.resize(at + 1);
      m_lastNames[at].assign(name);
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
  // `implied`: a deeper key's header names it; else it is the key of the header being read.
  uint32_t NewKey(uint32_t parent, uint32_t hash, std::u16string_view name, size_t depth = 0,
                  bool inOrder = false, bool implied = false) {
    HiveIndex& x = *m_index;
    const uint32_t key = x.KeyCount();
    if (key % kPrefaultStep == 0) PrefaultKeys(x, kPrefaultStep);
    if (parent != HiveIndex::kNone) {
      // A subkey made out of order, or after another key's at this depth, ends the parent's
      // run of subkeys known to be in order.
      if (!inOrder && (x.flags[parent] & kHasChild) != 0) x.flags[parent] &= ~kInOrder;
      x.flags[parent] |= kHasChild;
      if (m_cursors.size() <= depth) m_cursors.resize(depth + 1);
      m_cursors[depth].parent = parent;
      m_cursors[depth].key = key;
      m_cursors[depth].name.assign(name);
    }
    x.parent.push_back(parent);
    x.nameHash.push_back(hash);
    if (implied) x.impliedBy.emplace(key, static_cast<uint32_t>(x.offset.size()));
    x.firstSection.push_back(-1);
    x.flags.push_back(implied ? kInOrder | kImplied : kInOrder);
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
      if (!MentionedBy(n, current)) x.times[n] = m_sectionTime;
    }
  }

  // Whether `section` is key n's time source, without the look-up in impliedBy for the keys
  // (nearly all) that no other header implied.
  bool MentionedBy(uint32_t n, uint32_t section) const {
    const HiveIndex& x = *m_index;
    if (n == 0 || (x.flags[n] & kImplied) != 0) return x.TimeSource(n) == section;
    return static_cast<uint32_t>(x.firstSection[n]) == section;
  }

  HiveIndex* m_index;
  const HiveByteSource* m_source;
  HiveParseError* m_error;
  uint64_t m_sizeHint;
  // Flags of a key while the file is read, cleared when it is done.
  static constexpr uint8_t kHasChild = 16;
  static constexpr uint8_t kInOrder = 32;  // its subkeys were made in Wine's order
  static constexpr uint8_t kImplied = 64;  // a deeper key's header named it first
  struct Cursor {
    uint32_t parent = HiveIndex::kNone;  // the key whose subkey was made last at this depth
    uint32_t key = HiveIndex::kNone;     // that subkey
    std::u16string name;                 // its name
  };
  std::vector<Cursor> m_cursors;   // by depth
  std::vector<uint32_t> m_table;   // subkeys by parent and name hash, open addressing; made on
                                   // the first lookup
  std::u16string m_readName;
  uint32_t m_currentKey = 0;
  bool m_readError = false;
  bool m_done = false;
  bool m_part = false;
  int32_t m_current = -1;      // the section being read
  uint64_t m_sectionTime = 0;
  std::vector<uint32_t> m_lastPath;         // the keys along the previous header's path
  std::vector<std::u16string> m_lastNames;  // their names as spelt there
  std::array<char16_t, kMaxKeyNameLength> m_wide;  // a name handed on as bytes, widened
  std::u16string m_name;                           // ... were it longer
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
    PrefaultAhead(m_out, m_out.capacity());
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

// Where a file of `size` bytes may be cut in two: the start of the first blank line before a
// header from its middle on, before three quarters of it. 0 where there is none; the errno value
// of a failed read.
int PartStart(const HiveByteSource& source, uint64_t size, uint64_t* start) {
  constexpr uint64_t kWindow = 64 << 10;
  std::string text;
  *start = 0;
  for (uint64_t from = size / 2; from < size / 4 * 3; from += kWindow - 2) {
    if (const int rc = source(from, kWindow, &text)) return rc;
    const size_t at = text.find("\n\n[");
    if (at != std::string::npos) {
      *start = from + at + 1;
      return 0;
    }
    if (text.size() < kWindow) return 0;
  }
  return 0;
}

// Reads the file in two parts at once and joins their indexes. False where the file has to be
// read in one pass instead: the parts cannot be joined into the index that reading gives, or a
// part was refused (only that reading knows which fault comes first, and on which line). Else
// true with the status of the reading, and its error.
bool IndexInTwoParts(FileSystem& fs, int fd, const HiveByteSource& source, uint64_t size,
                     std::mutex* io, HiveIndex* index, HiveParseStatus* status,
                     HiveParseError* error) {
  uint64_t split = 0;
  if (const int rc = PartStart(source, size, &split)) {
    *status = HiveParseStatus::kIoError;
    *error = {rc, 0, std::string("cannot read the file: ") + std::strerror(rc)};
    return true;
  }
  if (split == 0) return false;
  HiveIndex laterIndex;
  HiveParseError errors[2];
  HiveParser first(index, &source, size, &errors[0]);
  HiveParser later(&laterIndex, &source, size - split, &errors[1]);
  first.ReadAsPart();
  later.ReadAsPart(&first);
  std::thread other;
  try {
    other = std::thread([&] {
      HiveScanner scanner(fs, fd, size - split, io, split);
      scanner.Run([&later](const ScanBatch& batch) { return later.Apply(batch); });
    });
  } catch (const std::system_error&) {
    return false;
  }
  HiveScanner scanner(fs, fd, split, io, 0, split);
  scanner.Run([&first](const ScanBatch& batch) { return first.Apply(batch); });
  other.join();
  const HiveParseStatus results[2] = {first.Result(), later.Result()};
  if (results[0] == HiveParseStatus::kMalformed) return false;
  for (int part = 0; part < 2; ++part) {
    if (results[part] == HiveParseStatus::kIoError) {
      *status = HiveParseStatus::kIoError;
      *error = errors[part];
      *index = HiveIndex();
      return true;
    }
  }
  if (results[1] != HiveParseStatus::kOk || !first.Append(&later)) return false;
  *status = HiveParseStatus::kOk;
  return true;
}

}  // namespace

HiveParseStatus IndexHiveFile(FileSystem& fs, int fd, const HiveByteSource& source,
                              HiveIndex* index, HiveParseError* error, uint64_t twoPartsFrom) {
  struct stat st {};
  const uint64_t size =
      fs.FStat(fd, &st) == 0 && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  // The scanners and the parsers' look-ups of names read the same file, perhaps from two
  // threads.
  std::mutex io;
  const HiveByteSource locked = [&](uint64_t offset, uint64_t length, std::string* out) {
    std::lock_guard<std::mutex> hold(io);
    return source(offset, length, out);
  };
  HiveParseStatus status = HiveParseStatus::kOk;
  HiveParseError unused;
  if (size >= twoPartsFrom && IndexInTwoParts(fs, fd, locked, size, &io, index, &status,
                                               error != nullptr ? error : &unused))
    return status;
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

uint32_t HiveIndex::Mention(uint32_t key) const {
  if (parent[key] == kNone) return kNone;
  const auto it = impliedBy.find(key);
  return it != impliedBy.end() ? it->second : static_cast<uint32_t>(firstSection[key]);
}

int32_t HiveIndex::NextSection(int32_t i) const {
  const auto it = nextSection.find(i);
  return it != nextSection.end() ? it->second : -1;
}

uint32_t HiveIndex::Depth(uint32_t key) const {
  uint32_t depth = 0;
  for (uint32_t k = key; parent[k] != kNone; k = parent[k]) ++depth;
  return depth;
}

void HiveIndex::IndexChildren() {
  const uint32_t n = KeyCount();
  const size_t lists = static_cast<size_t>(n) + 1;  // where the lists start
  const size_t size = lists + (n > 0 ? n - 1 : 0);
  children.clear();
  children.reserve(size);
  PrefaultAhead(children, children.capacity());
  children.assign(lists, 0);
  for (uint32_t k = 1; k < n; ++k) ++children[parent[k] + 1];
  for (uint32_t k = 0; k < n; ++k) children[k + 1] += children[k];
  children.resize(size, kNone);
  // Filled with each start as the cursor, which moves it to the next key's start; shifting the
  // starts back one place restores them.
  uint32_t* const keys = children.data() + lists;
  for (uint32_t k = 1; k < n; ++k) keys[children[parent[k]]++] = k;
  for (uint32_t k = n; k > 0; --k) children[k] = children[k - 1];
  children[0] = 0;
}

int ReadKeyName(const HiveIndex& index, const HiveByteSource& source, uint32_t key,
                std::u16string* name) {
  const uint32_t mention = key < index.KeyCount() ? index.Mention(key) : HiveIndex::kNone;
  if (mention == HiveIndex::kNone) return EINVAL;
  const uint64_t start = index.offset[mention];
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
