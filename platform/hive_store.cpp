#include "platform/hive_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/atomic_file.h"
#include "platform/file_system.h"
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
  state.image = HiveImage();
  state.image.root = MakeNode(u"");
  RegNode* root = state.image.root.get();
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
  if (rc == 0) status = ParseHiveFile(fs, fd, &state.image, &error);
  if (rc == 0 && status == HiveParseStatus::kOk) {
    state.fd = fd;
    std::string header;
    state.win64 = ReadBytes(state, 0, state.image.headerLength, &header) == 0 &&
                  HeaderSaysWin64(header);
    state.fileStat = st;
    state.loaded = true;
    state.dirty = false;
    state.failure = ERROR_SUCCESS;
    return ERROR_SUCCESS;
  }
  fs.Close(fd);
  state.image = HiveImage();
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

RegNode* HiveStore::Root(Hive hive) const {
  return m_hives[static_cast<int>(hive)].image.root.get();
}

RegNode* HiveStore::ClassesRoot() const {
  RegNode* root = Root(Hive::kMachine);
  if (root == nullptr) return nullptr;
  RegNode* software = root->children.Find(u"Software");
  return software == nullptr ? nullptr : software->children.Find(u"Classes");
}

int HiveStore::ReadBytes(const HiveState& state, uint64_t offset, uint64_t length,
                         std::string* out) const {
  out->resize(length);
  uint64_t done = 0;
  while (done < length) {
    size_t got = 0;
    int rc = CurrentFileSystem().PRead(state.fd, &(*out)[done], length - done, offset + done, &got);
    if (rc != 0) return rc;
    if (got == 0) return EIO;  // the file we read from has shrunk under us
    done += got;
  }
  return 0;
}

bool HiveStore::Win64() const { return !m_memory && m_hives[0].loaded && m_hives[0].win64; }

LONG HiveStore::LinkTarget(Hive hive, const RegNode* node, std::u16string* target) {
  HiveState& state = m_hives[static_cast<int>(hive)];
  if (m_memory || state.fd < 0) return ERROR_FILE_NOT_FOUND;
  // Wine merges repeated sections of a key; the value may stand in any of them.
  for (int32_t i = node->section; i >= 0;) {
    const HiveSection& section = state.image.sections[static_cast<size_t>(i)];
    if (!section.removed) {
      std::string text;
      const int rc = ReadBytes(state, section.offset, section.length, &text);
      if (rc != 0) {
        Complain("cannot read " + PathOf(state) + ": " + std::strerror(rc));
        return ERROR_REGISTRY_IO_FAILED;
      }
      if (ParseLinkTarget(text, target)) return ERROR_SUCCESS;
    }
    i = section.next;
  }
  return ERROR_FILE_NOT_FOUND;
}

void HiveStore::MarkDirty(Hive hive) { m_hives[static_cast<int>(hive)].dirty = true; }

void HiveStore::DeleteLeaf(Hive hive, RegNode* node, uint64_t now) {
  HiveState& state = m_hives[static_cast<int>(hive)];
  RegNode* parent = node->parent;
  RemoveSections(&state.image, node);
  node->deleted = true;
  parent->time = now;
  parent->children.Erase(node);  // may free the node when no handle holds it
  state.dirty = true;
}

LONG HiveStore::Save(HiveState& state) {
  FileSystem& fs = CurrentFileSystem();
  const std::string path = PathOf(state);
  HiveWriteRecord written;
  const HiveByteSource source = [&](uint64_t offset, uint64_t length, std::string* out) {
    return ReadBytes(state, offset, length, out);
  };
  const auto produce = [&](const AtomicWriteSink& sink) {
    return WriteHive(state.image, source, sink, &written);
  };
  const auto beforeRename = [&]() {
    bool running = false;
    pid_t pid = 0;
    std::string lockPath;
    int rc = DetectWineserver(fs, m_prefix, &running, &pid, &lockPath);
    if (rc != 0) return rc;
    return running ? EBUSY : 0;
  };
  int rc = AtomicReplaceFile(fs, path, produce, beforeRename);
  if (rc != 0) {
    if (rc == EBUSY) {
      Complain("a wineserver started for " + m_prefix + " while we worked; " + path +
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
  // Serve the next save from the file just written.
  int fd = -1;
  struct stat st {};
  rc = fs.Open(path, O_RDONLY | O_CLOEXEC, 0, &fd);
  if (rc == 0) rc = fs.FStat(fd, &st);
  if (rc != 0) {
    if (fd >= 0) fs.Close(fd);
    Complain("cannot reopen " + path + " after saving it: " + std::strerror(rc));
    state.failure = ERROR_REGISTRY_IO_FAILED;
    return ERROR_SUCCESS;  // the save itself is on disk
  }
  fs.Close(state.fd);
  state.fd = fd;
  state.fileStat = st;
  AdoptWrittenFile(&state.image, written, static_cast<uint64_t>(st.st_size));
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
