#include "platform/hive_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/file_system.h"
#include "platform/fresh_memory.h"
#include "platform/names.h"
#include "platform/section_values.h"

namespace oarepair::platform {
namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

HiveStore::~HiveStore() { Reset(); }

void HiveStore::Reset() {
  for (auto& state : m_hives) Unload(state);
  m_saveFailure = ERROR_SUCCESS;
  m_lock.Release();
  m_inSession = false;
  m_refusal.clear();
  m_refusalCode = ERROR_SUCCESS;
}

void HiveStore::Unload(HiveState& state) {
  if (state.fd >= 0) CurrentFileSystem().Close(state.fd);
  const char* name = state.fileName;
  state = HiveState();
  state.fileName = name;
}

void HiveStore::MakeEmpty(HiveState& state, Hive hive) {
  state.index = HiveIndex();
  state.root = MakeNode(u"");
  RegNode* root = state.root.get();
  auto software = MakeNode(u"Software");
  software->parent = root;
  RegNode* soft = software.get();
  root->children.Insert(std::move(software));
  if (hive == Hive::kMachine) {
    auto classes = MakeNode(u"Classes");
    classes->parent = soft;
    soft->children.Insert(std::move(classes));
  }
  state.loaded = true;
}

void HiveStore::UseMemory() {
  Reset();
  m_memory = true;
  m_prefix.clear();
  m_hives[0].fileName = "system.reg";
  m_hives[1].fileName = "user.reg";
  MakeEmpty(m_hives[0], Hive::kMachine);
  MakeEmpty(m_hives[1], Hive::kUser);
}

void HiveStore::UsePrefix(const std::string& prefix) {
  Reset();
  m_memory = false;
  m_prefix = prefix;
  m_hives[0].fileName = "system.reg";
  m_hives[1].fileName = "user.reg";
  Refuse(PrefixPathProblem(prefix), ERROR_BAD_PATHNAME);
}

void HiveStore::UseDefault() {
  std::string prefix;
  const std::string problem = DefaultPrefix(&prefix);
  UsePrefix(prefix);
  if (!problem.empty()) {
    // Said in terms of the variable the user set, rather than of the path it gave.
    m_refusal = problem;
    m_refusalCode = ERROR_BAD_PATHNAME;
  }
}

void HiveStore::Refuse(const std::string& why, LONG code) {
  if (why.empty() || !m_refusal.empty()) return;  // the first reason stands
  m_refusal = why;
  m_refusalCode = code;
}

std::string HiveStore::PathOf(const HiveState& state) const {
  return m_prefix + "/" + state.fileName;
}

void HiveStore::Complain(const std::string& what) {
  // One line per distinct problem: a caller retrying the same call is not told twice.
  if (what == m_lastComplaint) return;
  m_lastComplaint = what;
  std::fprintf(stderr, "oarepair: %s\n", what.c_str());
}

LONG HiveStore::BeginSession() {
  if (m_inSession) return ERROR_SUCCESS;
  if (!m_refusal.empty()) {
    Complain(m_refusal);
    return m_refusalCode;
  }
  FileSystem& fs = CurrentFileSystem();
  int rc = CheckPrefixOwner(fs, m_prefix);
  if (rc == ENOENT) {
    // A prefix Wine will create when it starts holds no keys yet; one it cannot create is
    // refused, so that its absence is not taken for a registry without the key.
    Refuse(MissingPrefixProblem(fs, m_prefix), ERROR_PATH_NOT_FOUND);
    if (!m_refusal.empty()) {
      Complain(m_refusal);
      return m_refusalCode;
    }
    return ERROR_FILE_NOT_FOUND;
  }
  if (rc == EACCES) {
    Complain("the Wine prefix " + m_prefix +
             " belongs to another user; Wine refuses it and so do we");
    return ERROR_ACCESS_DENIED;
  }
  if (rc != 0) {
    Complain("cannot examine the Wine prefix " + m_prefix + ": " + std::strerror(rc));
    return ERROR_REGISTRY_IO_FAILED;
  }
  rc = m_lock.Acquire(fs, m_prefix, [this] {
    // Another run of ours (perhaps one whose message waits for Enter) or some other process
    // holds the folder's lock; the wait has no end of its own, so it is named.
    Complain("waiting for another process to release its lock on the Wine prefix " + m_prefix +
             " (another oarepair run?)");
  });
  if (rc != 0) {
    Complain("cannot lock the Wine prefix " + m_prefix + ": " + std::strerror(rc));
    return ERROR_LOCK_VIOLATION;
  }
  bool running = false;
  pid_t pid = 0;
  std::string lockPath;
  rc = DetectWineserver(fs, m_prefix, &running, &pid, &lockPath);
  if (rc != 0 || running) {
    m_lock.Release();
    if (rc != 0) {
      std::string what = std::strerror(rc);
      if (!lockPath.empty())
        what = rc == EINVAL ? lockPath + " is not a regular file" : lockPath + ": " + what;
      Complain("cannot tell whether a wineserver runs for " + m_prefix + ": " + what);
      return ERROR_REGISTRY_IO_FAILED;
    }
    Complain("a wineserver (pid " + std::to_string(pid) + ") is running for the Wine prefix " +
             m_prefix + ", so its registry files are not ours to change; stop it with " +
             "'WINEPREFIX=" + m_prefix + " wineserver -k' and try again");
    return ERROR_SHARING_VIOLATION;
  }
  m_inSession = true;
  RemoveStaleTempFiles();
  return ERROR_SUCCESS;
}

void HiveStore::RemoveStaleTempFiles() {
  // A save killed between creating its temp file and renaming it leaves the temp file behind.
  // With the prefix lock held none of ours is being written, and the writer's pid tells a dead
  // process's file from any other.
  FileSystem& fs = CurrentFileSystem();
  for (const HiveState& state : m_hives) {
    platform::RemoveStaleTempFiles(fs, m_prefix, state.fileName);
    // A symlinked file is written beside its target, so its temp files are there.
    std::string target;
    if (fs.RealPath(PathOf(state), &target) != 0) continue;
    const size_t slash = target.find_last_of('/');
    if (slash == std::string::npos) continue;
    const std::string folder = slash == 0 ? std::string("/") : target.substr(0, slash);
    std::string prefixReal;
    const std::string name = target.substr(slash + 1);
    if (fs.RealPath(m_prefix, &prefixReal) == 0 && folder == prefixReal && name == state.fileName)
      continue;  // the prefix folder itself: done above
    platform::RemoveStaleTempFiles(fs, folder, name);
  }
}

LONG HiveStore::Load(HiveState& state) {
  FileSystem& fs = CurrentFileSystem();
  const std::string path = PathOf(state);
  if (state.loaded) {
    struct stat now {};
    if (fs.Stat(path, &now) == 0 && SameFile(now, state.fileStat)) return ERROR_SUCCESS;
    Unload(state);  // changed on disk since we read it: read it again
  }
  int fd = -1;
  // O_NONBLOCK: a FIFO or device in the file's place must not block the open; the descriptor is
  // refused below unless it is a regular file, where O_NONBLOCK changes nothing.
  int rc = fs.Open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0, &fd);
  if (rc == ENOENT || rc == ENOTDIR) return ERROR_FILE_NOT_FOUND;
  if (rc != 0) {
    Complain("cannot open " + path + ": " + std::strerror(rc));
    return ERROR_REGISTRY_IO_FAILED;
  }
  struct stat st {};
  rc = fs.FStat(fd, &st);
  if (rc == 0 && !S_ISREG(st.st_mode)) {
    fs.Close(fd);
    Complain(path + " is not a regular file; it is refused and left untouched");
    return ERROR_BADDB;
  }
  HiveParseError error;
  HiveParseStatus status = HiveParseStatus::kIoError;
  state.fd = fd;  // names are read back from the file while it is indexed
  const HiveByteSource source = [&](uint64_t offset, uint64_t length, std::string* out) {
    return ReadBytes(state, offset, length, out);
  };
  if (rc == 0) status = IndexHiveFile(fs, fd, source, &state.index, &error);
  if (rc == 0 && status == HiveParseStatus::kOk) {
    const HiveIndex& x = state.index;
    state.root = MakeNode(u"");
    state.root->key = 0;
    // A file without sections gives its root no time.
    const LONG timed =
        (x.flags[0] & HiveIndex::kTimed) == 0
            ? ERROR_SUCCESS
            : ReadKeys(state, {0}, [&](uint32_t, std::u16string_view, uint64_t time) -> LONG {
                state.root->time = time;
                return ERROR_SUCCESS;
              });
    if (timed != ERROR_SUCCESS) {
      Unload(state);
      return timed;
    }
    state.root->link = (x.flags[0] & HiveIndex::kLink) != 0;
    state.root->expanded = x.SubkeyCount(0) == 0;
    state.index.flags[0] |= HiveIndex::kMade;
    std::string header;
    state.win64 = ReadBytes(state, 0, x.headerLength, &header) == 0 &&
                  HeaderSaysWin64(header);
    state.fileStat = st;
    state.loaded = true;
    state.dirty = false;
    state.failure = ERROR_SUCCESS;
    return ERROR_SUCCESS;
  }
  fs.Close(fd);
  state.fd = -1;
  state.index = HiveIndex();
  if (status == HiveParseStatus::kMalformed) {
    Complain(path + ": " + error.message + "; the file is refused and left untouched");
    return ERROR_BADDB;
  }
  if (rc == 0) rc = error.ioError;
  Complain("cannot read " + path + ": " + std::strerror(rc != 0 ? rc : EIO));
  return ERROR_REGISTRY_IO_FAILED;
}

LONG HiveStore::Acquire(Hive hive) {
  HiveState& state = m_hives[static_cast<int>(hive)];
  if (m_memory) return ERROR_SUCCESS;
  LONG rc = BeginSession();
  if (rc != ERROR_SUCCESS) return rc;
  if (state.loaded && state.failure != ERROR_SUCCESS) return state.failure;
  // Only our lock holders change the files while a session runs (a wineserver was ruled out when
  // it began), so the file is compared with the loaded tree once per session, not once per call.
  if (state.loaded && state.current) return ERROR_SUCCESS;
  rc = Load(state);
  state.current = rc == ERROR_SUCCESS;
  return rc;
}

bool HiveStore::Loaded(Hive hive) const {
  const HiveState& state = m_hives[static_cast<int>(hive)];
  return m_memory || (state.loaded && state.failure == ERROR_SUCCESS);
}

LONG HiveStore::Usable(Hive hive) const {
  const HiveState& state = m_hives[static_cast<int>(hive)];
  if (m_memory) return ERROR_SUCCESS;
  if (!state.loaded) return ERROR_REGISTRY_IO_FAILED;
  return state.failure;
}

RegNode* HiveStore::Root(Hive hive) const { return m_hives[static_cast<int>(hive)].root.get(); }

RegNode* HiveStore::ClassesRoot() {
  RegNode* node = Root(Hive::kMachine);
  for (std::u16string_view name : {u"Software", u"Classes"})
    if (node == nullptr || Child(Hive::kMachine, node, name, &node) != ERROR_SUCCESS) return nullptr;
  return node;
}

LONG HiveStore::ReadKeys(HiveState& state, std::vector<uint32_t> keys, const KeyVisitor& visit) {
  const HiveIndex& x = state.index;
  const auto sectionOf = [&x](uint32_t k) { return x.TimeSource(k); };
  std::sort(keys.begin(), keys.end(),
            [&](uint32_t a, uint32_t b) { return sectionOf(a) < sectionOf(b); });
  // Keys near each other in the file (the subkeys of one key, mostly) are read in one piece.
  constexpr uint64_t kSpan = uint64_t{1} << 20;
  constexpr uint64_t kFirstSpan = uint64_t{64} << 10;
  std::u16string name;
  for (size_t first = 0; first < keys.size();) {
    for (size_t i = first; i < keys.size(); ++i)
      if (sectionOf(keys[i]) == HiveIndex::kNone) return Unreadable(state, EINVAL);
    const uint64_t start = x.offset[sectionOf(keys[first])];
    size_t last = first + 1;
    while (last < keys.size() && x.offset[sectionOf(keys[last])] +
                                         x.SectionLength(sectionOf(keys[last])) - start <=
                                     kSpan)
      ++last;
    const uint32_t tail = sectionOf(keys[last - 1]);
    const uint64_t length = x.offset[tail] + x.SectionLength(tail) - start;
    // The piece read last is kept: a session making keys one after the other (deleting a tree)
    // mostly finds the next ones in it. It reads further ahead the more it reads, up to kSpan:
    // fresh memory costs more than reading the page cache again, so a session that looks up
    // a few keys keeps to a few small pieces, never past the end of the file.
    if (start < state.windowStart || start + length > state.windowStart + state.window.size()) {
      state.windowSpan = std::min(kSpan, std::max(kFirstSpan, 2 * state.windowSpan));
      const uint64_t ahead =
          x.fileSize > start ? std::min(state.windowSpan, x.fileSize - start) : 0;
      const int rc = ReadBytes(state, start, std::max(length, ahead), &state.window);
      if (rc != 0) return Unreadable(state, rc);
      state.windowStart = start;
    }
    const std::string_view text = std::string_view(state.window).substr(start - state.windowStart);
    for (size_t i = first; i < last; ++i) {
      const uint32_t section = sectionOf(keys[i]);
      const uint64_t from = x.offset[section] - start;
      if (from > text.size()) return Unreadable(state, EIO);
      uint64_t time = 0;
      const std::string_view piece = text.substr(from, x.SectionLength(section));
      const int bad = KeyFromSection(x, keys[i], piece, keys[i] == 0 ? nullptr : &name, &time);
      if (bad != 0) return Unreadable(state, bad);
      const LONG done = visit(keys[i], name, time);
      if (done != ERROR_SUCCESS) return done;
    }
    first = last;
  }
  return ERROR_SUCCESS;
}

LONG HiveStore::Unreadable(HiveState& state, int rc) {
  Complain("cannot read " + PathOf(state) + " again: " + std::strerror(rc));
  state.failure = ERROR_REGISTRY_IO_FAILED;
  return state.failure;
}

RegNode* HiveStore::Make(HiveState& state, RegNode* parent, uint32_t key,
                         std::u16string_view name, uint64_t time) {
  HiveIndex& x = state.index;
  RegNodePtr made = MakeNode(name);
  made->time = time;
  made->parent = parent;
  made->key = key;
  made->link = (x.flags[key] & HiveIndex::kLink) != 0;
  made->expanded = x.SubkeyCount(key) == 0;
  x.flags[key] |= HiveIndex::kMade;
  RegNode* node = made.get();
  parent->children.Insert(std::move(made));
  return node;
}

// Keys made from the index, and keys made since it was read, are found by name in `children`;
// the rest of an index key's subkeys are looked at only by their name's hash until one matches.
LONG HiveStore::Child(Hive hive, RegNode* node, std::u16string_view name, RegNode** out) {
  *out = node->children.Find(name);
  if (*out != nullptr || node->expanded) return ERROR_SUCCESS;
  HiveState& state = m_hives[static_cast<int>(hive)];
  HiveIndex& x = state.index;
  const uint32_t hash = HashKeyName(name);
  uint32_t* const begin = x.Subkeys(node->key);
  uint32_t* const end = begin + x.SubkeyCount(node->key);
  const auto hashLess = [&x](uint32_t a, uint32_t b) { return x.nameHash[a] < x.nameHash[b]; };
  // A few lookups scan the subkeys (a repair makes two or three in CLSID); a key looked in
  // often, as when a big tree is deleted key by key, has them sorted by hash once.
  if (!node->byHash && end - begin > 64 && ++node->scans > 8) {
    std::sort(begin, end, hashLess);
    node->byHash = true;
  }
  auto from = begin;
  auto to = end;
  if (node->byHash) {
    from = std::partition_point(begin, end, [&](uint32_t k) { return x.nameHash[k] < hash; });
    to = std::partition_point(from, end, [&](uint32_t k) { return x.nameHash[k] == hash; });
  }
  std::vector<uint32_t> candidates;
  for (auto it = from; it != to; ++it)
    if (x.nameHash[*it] == hash && (x.flags[*it] & (HiveIndex::kMade | HiveIndex::kDeleted)) == 0)
      candidates.push_back(*it);
  return ReadKeys(state, std::move(candidates),
                  [&](uint32_t key, std::u16string_view spelt, uint64_t time) -> LONG {
                    if (*out == nullptr && NamesEqual(spelt, name))
                      *out = Make(state, node, key, spelt, time);
                    return ERROR_SUCCESS;
                  });
}

LONG HiveStore::Expand(Hive hive, RegNode* node) {
  if (node->expanded) return ERROR_SUCCESS;
  HiveState& state = m_hives[static_cast<int>(hive)];
  HiveIndex& x = state.index;
  std::vector<uint32_t> keys;
  const uint32_t* const subkeys = x.Subkeys(node->key);
  for (uint32_t i = 0; i < x.SubkeyCount(node->key); ++i)
    if ((x.flags[subkeys[i]] & (HiveIndex::kMade | HiveIndex::kDeleted)) == 0)
      keys.push_back(subkeys[i]);
  const LONG rc = ReadKeys(state, std::move(keys),
                           [&](uint32_t key, std::u16string_view name, uint64_t time) -> LONG {
                             Make(state, node, key, name, time);
                             return ERROR_SUCCESS;
                           });
  if (rc == ERROR_SUCCESS) node->expanded = true;
  return rc;
}

int HiveStore::ReadBytes(const HiveState& state, uint64_t offset, uint64_t length,
                         std::string* out) const {
  // A buffer used again at the same size is not zeroed again.
  if (out->size() != length) ResizeBuffer(out, length);
  uint64_t done = 0;
  while (done < length) {
    size_t got = 0;
    int rc = CurrentFileSystem().PRead(state.fd, &(*out)[done], length - done, offset + done, &got);
    if (rc != 0) return rc;
    if (got == 0) break;
    done += got;
  }
  out->resize(done);
  return 0;
}

bool HiveStore::Win64() const { return !m_memory && m_hives[0].loaded && m_hives[0].win64; }

LONG HiveStore::LinkTarget(Hive hive, const RegNode* node, std::u16string* target) {
  HiveState& state = m_hives[static_cast<int>(hive)];
  if (m_memory || state.fd < 0) return ERROR_FILE_NOT_FOUND;
  if (node->key == kNoIndexKey) return ERROR_FILE_NOT_FOUND;
  const HiveIndex& x = state.index;
  // Wine merges repeated sections of a key; the value may stand in any of them.
  for (int32_t i = x.firstSection[node->key]; i >= 0; i = x.NextSection(i)) {
    const auto at = static_cast<size_t>(i);
    if (x.removed[at]) continue;
    std::string text;
    const int rc = ReadBytes(state, x.offset[at], x.SectionLength(at), &text);
    if (rc != 0) {
      Complain("cannot read " + PathOf(state) + ": " + std::strerror(rc));
      return ERROR_REGISTRY_IO_FAILED;
    }
    if (ParseLinkTarget(text, target)) return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

void HiveStore::MarkDirty(Hive hive) { m_hives[static_cast<int>(hive)].dirty = true; }

void HiveStore::DeleteLeaf(Hive hive, RegNode* node, uint64_t now) {
  HiveState& state = m_hives[static_cast<int>(hive)];
  RegNode* parent = node->parent;
  if (node->key != kNoIndexKey) {
    HiveIndex& x = state.index;
    x.flags[node->key] |= HiveIndex::kDeleted;
    for (int32_t i = x.firstSection[node->key]; i >= 0; i = x.NextSection(i))
      x.removed[static_cast<size_t>(i)] = true;
  }
  node->deleted = true;
  parent->time = now;
  parent->children.Erase(node);  // may free the node when no handle holds it
  state.dirty = true;
}

LONG HiveStore::Save(HiveState& state) {
  FileSystem& fs = CurrentFileSystem();
  const std::string path = PathOf(state);
  std::vector<RegNode*> freshNodes;
  std::vector<int32_t> after;
  LONG found = CollectFresh(state, &freshNodes, &after);
  if (found != ERROR_SUCCESS) return found;
  std::vector<HiveFreshSection> fresh;
  for (size_t i = 0; i < freshNodes.size(); ++i)
    fresh.push_back({after[i], NewSectionText(freshNodes[i])});
  const HiveByteSource source = [&](uint64_t offset, uint64_t length, std::string* out) {
    return ReadBytes(state, offset, length, out);
  };
  const HiveIndex& x = state.index;
  const auto produce = [&](const AtomicWriteSink& sink) {
    return StreamHive(
        x.headerLength, x.SectionCount(), [&](size_t i) { return x.offset[i]; },
        [&](size_t i) { return x.SectionLength(i); }, [&](size_t i) { return !x.removed[i]; },
        fresh, source, sink);
  };
  bool replaced = false;
  const auto beforeRename = [&]() {
    bool running = false;
    pid_t pid = 0;
    std::string lockPath;
    int rc = DetectWineserver(fs, m_prefix, &running, &pid, &lockPath);
    if (rc != 0) return rc;
    if (running) return EBUSY;
    // The prefix lock keeps out only our own processes: a wineserver that started and exited
    // since the load, or any other program, may have written the file. Renaming over it would
    // throw that change away, and the kept sections were copied from the file as it was loaded.
    struct stat now {};
    rc = fs.Stat(path, &now);
    if (rc != 0 && rc != ENOENT) return rc;
    replaced = rc == ENOENT || !SameFile(now, state.fileStat);
    return replaced ? EBUSY : 0;
  };
  int rc = AtomicReplaceFile(fs, path, produce, beforeRename);
  if (rc != 0) {
    if (rc == EBUSY) {
      Complain(replaced ? path + " was changed by another program while we worked; our change "
                                 "was not saved and the file was left as it was"
                        : "a wineserver started for " + m_prefix + " while we worked; " + path +
                              " was left as it was");
      state.failure = ERROR_SHARING_VIOLATION;
    } else {
      Complain("cannot save " + path + ": " + std::strerror(rc) + "; the file was left as it was");
      state.failure = ERROR_REGISTRY_IO_FAILED;
    }
    if (m_saveFailure == ERROR_SUCCESS) m_saveFailure = state.failure;
    return state.failure;
  }
  state.dirty = false;
  // The index and the tree together still describe what was just written: the old file's live
  // sections and the new ones, which the tree regenerates at the next save. So the old file,
  // which the open descriptor keeps alive until the hive is unloaded, goes on serving its
  // sections, and only the new file's identity is recorded, to tell a later change by others.
  struct stat st {};
  rc = fs.Stat(path, &st);
  if (rc != 0) {
    Complain("cannot examine " + path + " after saving it: " + std::strerror(rc));
    state.failure = ERROR_REGISTRY_IO_FAILED;
    return ERROR_SUCCESS;  // the save itself is on disk
  }
  state.fileStat = st;
  return ERROR_SUCCESS;
}

int32_t HiveStore::LastLiveSection(const HiveState& state, const RegNode* node) const {
  if (node->key == kNoIndexKey) return -1;
  const HiveIndex& x = state.index;
  int32_t last = -1;
  for (int32_t i = x.firstSection[node->key]; i >= 0; i = x.NextSection(i))
    if (!x.removed[static_cast<size_t>(i)]) last = std::max(last, i);
  return last;
}

LONG HiveStore::LastInSubtree(HiveState& state, RegNode* top, int32_t* anchor) {
  // Wine's order backwards: a key's subkeys from the last, each with its own subtree, then the
  // key itself. Without recursion: a hostile file may nest keys very deep.
  struct Frame {
    RegNode* node;
    size_t left;  // subkeys not yet looked at, counted from the end
  };
  std::vector<Frame> stack;
  const Hive hive = HiveOf(state);
  auto push = [&](RegNode* node) -> LONG {
    if (!node->link) {
      const LONG rc = Expand(hive, node);
      if (rc != ERROR_SUCCESS) return rc;
    }
    stack.push_back(Frame{node, node->link ? 0 : node->children.size()});
    return ERROR_SUCCESS;
  };
  *anchor = -1;
  LONG rc = push(top);
  while (rc == ERROR_SUCCESS && !stack.empty()) {
    Frame& frame = stack.back();
    if (frame.left > 0) {
      RegNode* child = frame.node->children.At(--frame.left);
      rc = push(child);
      continue;
    }
    *anchor = LastLiveSection(state, frame.node);
    if (*anchor >= 0) break;
    stack.pop_back();
  }
  return rc;
}

LONG HiveStore::CollectFresh(HiveState& state, std::vector<RegNode*>* nodes,
                             std::vector<int32_t>* after) {
  // Only keys in memory can have lost their sections or subkeys, or be new: a first walk over
  // those finds the keys that need a section.
  const Hive hive = HiveOf(state);
  std::unordered_set<const RegNode*> fresh;
  LONG rc = ERROR_SUCCESS;
  VisitInWineOrder(state.root.get(), [&](RegNode* child) {
    if (LastLiveSection(state, child) < 0 && child->children.empty()) {
      rc = Expand(hive, child);
      if (child->children.empty()) fresh.insert(child);
    }
    return rc == ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS || fresh.empty()) return rc;

  // Then Wine's order over the keys above them, every subkey of those made: each new section
  // follows the last section before its key. A subtree with no new section is not walked; what
  // counts of it is its last section in that order, looked for from its end.
  std::unordered_set<const RegNode*> above;
  for (const RegNode* node : fresh)
    for (const RegNode* n = node->parent; n != nullptr && above.insert(n).second; n = n->parent) {
    }
  int32_t anchor = LastLiveSection(state, state.root.get());
  rc = Expand(hive, state.root.get());
  struct Frame {
    RegNode* node;
    size_t next;
  };
  std::vector<Frame> stack{Frame{state.root.get(), 0}};
  while (rc == ERROR_SUCCESS && !stack.empty()) {
    Frame& top = stack.back();
    const ChildList& children = top.node->children;
    if (top.next >= children.size()) {
      stack.pop_back();
      continue;
    }
    RegNode* child = children.At(top.next);
    if (fresh.count(child) != 0) {
      nodes->push_back(child);
      after->push_back(anchor);
      ++top.next;
    } else if (above.count(child) != 0) {
      ++top.next;
      const int32_t own = LastLiveSection(state, child);
      if (own >= 0) anchor = own;
      rc = Expand(hive, child);
      stack.push_back(Frame{child, 0});
    } else {
      // A run of subtrees without new sections: the last section among them, from the end.
      size_t end = top.next;
      while (end < children.size() && fresh.count(children.At(end)) == 0 &&
             above.count(children.At(end)) == 0)
        ++end;
      for (size_t i = end; i-- > top.next && rc == ERROR_SUCCESS;) {
        int32_t last = -1;
        rc = LastInSubtree(state, children.At(i), &last);
        if (last >= 0) {
          anchor = last;
          break;
        }
      }
      top.next = end;
    }
  }
  if (rc != ERROR_SUCCESS) return rc;
  // In file order; keys with the same anchor stay in Wine's order.
  std::vector<size_t> order(nodes->size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return (*after)[a] < (*after)[b]; });
  std::vector<RegNode*> sortedNodes;
  std::vector<int32_t> sortedAfter;
  for (size_t i : order) {
    sortedNodes.push_back((*nodes)[i]);
    sortedAfter.push_back((*after)[i]);
  }
  *nodes = std::move(sortedNodes);
  *after = std::move(sortedAfter);
  return ERROR_SUCCESS;
}

LONG HiveStore::Flush() {
  if (m_memory) return ERROR_SUCCESS;
  // A refused prefix is not to be worked on, by us or by a Wine started after this flush.
  if (!m_refusal.empty()) return m_refusalCode;
  LONG first = ERROR_SUCCESS;
  for (auto& state : m_hives) {
    if (!state.loaded || !state.dirty) continue;
    // A hive whose save failed keeps its unsaved change: every later flush reports that failure
    // rather than calling the change saved.
    LONG rc = state.failure != ERROR_SUCCESS ? state.failure : Save(state);
    if (rc != ERROR_SUCCESS && first == ERROR_SUCCESS) first = rc;
  }
  return first;
}

LONG HiveStore::EndSession() {
  if (m_memory || !m_inSession) return ERROR_SUCCESS;
  LONG rc = Flush();
  for (auto& state : m_hives) {
    if (state.failure != ERROR_SUCCESS) Unload(state);
    state.current = false;
  }
  m_lock.Release();
  m_inSession = false;
  return rc;
}

}  // namespace oarepair::platform
