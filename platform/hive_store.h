// The two registry files behind the Linux registry (system.reg for HKEY_LOCAL_MACHINE and
// HKEY_CLASSES_ROOT, user.reg for HKEY_CURRENT_USER): when they are loaded, locked and saved.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/hive_file.h"
#include "platform/prefix.h"
#include "platform/win32.h"

namespace oarepair::platform {

// A session runs from the first call that needs a file until no handle is open any more: it holds
// the prefix lock, and at its end every changed file is saved once, atomically.
class HiveStore {
 public:
  enum class Hive { kMachine = 0, kUser = 1 };

  HiveStore() = default;
  ~HiveStore();
  HiveStore(const HiveStore&) = delete;
  HiveStore& operator=(const HiveStore&) = delete;

  void UseMemory();
  void UsePrefix(const std::string& prefix);
  void UseDefault();
  const std::string& Prefix() const { return m_prefix; }

  // Makes the hive's tree available for this session, indexing its file on first use. Keys are
  // made in memory as Child and Expand reach them.
  LONG Acquire(Hive hive);
  // Whether the hive's file was read in this process and has not failed since.
  bool Loaded(Hive hive) const;
  // ERROR_SUCCESS, or the error that has made a loaded hive unusable for this session.
  LONG Usable(Hive hive) const;

  RegNode* Root(Hive hive) const;
  // HKLM\Software\Classes, or nullptr when the machine hive has none (or it could not be read:
  // Usable then says why).
  RegNode* ClassesRoot();

  // The subkey `name` of a key of the hive, made from the file when it is not in memory yet;
  // *out is nullptr when there is none. ERROR_SUCCESS, or why the file could not be read.
  LONG Child(Hive hive, RegNode* node, std::u16string_view name, RegNode** out);
  // Makes every subkey of a key present in its `children`, for listing it or seeing it is empty.
  LONG Expand(Hive hive, RegNode* node);

  // Whether the machine hive's file says "#arch=win64": a prefix with a 32-bit (WoW64) view
  // beside its 64-bit one. False for the in-memory registry and before the hive is loaded.
  bool Win64() const;
  // The target path of a link key ("#link"), as its section in the file gives it.
  // ERROR_FILE_NOT_FOUND when it has none that Wine could follow.
  LONG LinkTarget(Hive hive, const RegNode* node, std::u16string* target);

  void MarkDirty(Hive hive);
  // Removes a key without subkeys from the tree and from the file's sections.
  void DeleteLeaf(Hive hive, RegNode* node, uint64_t now);

  // The error of the first save that failed since the store was set up, else ERROR_SUCCESS:
  // the change it held is lost, even after the hive is read again.
  LONG SaveFailure() const { return m_saveFailure; }

  // Saves every changed file; returns ERROR_SUCCESS or the first failure.
  LONG Flush();
  // Saves, then releases the prefix lock; a hive whose save failed is dropped and read again
  // from its file in the next session.
  LONG EndSession();

 private:
  struct HiveState {
    const char* fileName = "";
    HiveIndex index;
    RegNodePtr root;
    bool loaded = false;
    bool dirty = false;
    bool current = false;  // checked against its file in this session: no need to look again
    LONG failure = ERROR_SUCCESS;
    bool win64 = false;  // its header says "#arch=win64"
    int fd = -1;  // the file the index was read from, kept open to copy untouched sections
    std::string window;  // the last piece of it read to make keys, from windowStart
    uint64_t windowStart = 0;
    uint64_t windowSpan = 0;  // how much was read for it: grows as the session reads more
    struct stat fileStat {};
  };

  void Reset();
  void Unload(HiveState& state);
  void MakeEmpty(HiveState& state, Hive hive);
  LONG BeginSession();
  void RemoveStaleTempFiles();
  LONG Load(HiveState& state);
  LONG Save(HiveState& state);
  Hive HiveOf(const HiveState& state) const {
    return &state == &m_hives[0] ? Hive::kMachine : Hive::kUser;
  }
  RegNode* Make(HiveState& state, RegNode* parent, uint32_t key, std::u16string_view name,
               uint64_t time);
  // Reads the name and time of index keys from their sections and hands each to `visit`; a
  // failure to read makes the hive unusable for the session.
  using KeyVisitor = std::function<LONG(uint32_t key, std::u16string_view name, uint64_t time)>;
  LONG ReadKeys(HiveState& state, std::vector<uint32_t> keys, const KeyVisitor& visit);
  LONG Unreadable(HiveState& state, int rc);
  // The last section of a key that the next save keeps, or -1.
  int32_t LastLiveSection(const HiveState& state, const RegNode* node) const;
  // The last section in Wine's order (pre-order, subkeys sorted) of a subtree, or -1.
  LONG LastInSubtree(HiveState& state, RegNode* top, int32_t* anchor);
  // Gathers the keys that need a section generated (no section, no subkeys), in file order,
  // each with the section it follows (-1: the header).
  LONG CollectFresh(HiveState& state, std::vector<RegNode*>* nodes, std::vector<int32_t>* after);
  // Reads [offset, offset+length) of the file the index stands for, less at its end.
  int ReadBytes(const HiveState& state, uint64_t offset, uint64_t length, std::string* out) const;
  std::string PathOf(const HiveState& state) const;
  void Complain(const std::string& what);
  // Records why the prefix is refused, unless a reason is already known or `why` is empty.
  void Refuse(const std::string& why, LONG code);

  bool m_memory = true;
  std::string m_prefix;
  // Why the prefix is refused (Wine would refuse it), or empty; nothing in it is then touched.
  std::string m_refusal;
  LONG m_refusalCode = ERROR_SUCCESS;
  bool m_inSession = false;
  PrefixLock m_lock;
  HiveState m_hives[2];
  std::string m_lastComplaint;
  LONG m_saveFailure = ERROR_SUCCESS;
};

}  // namespace oarepair::platform
