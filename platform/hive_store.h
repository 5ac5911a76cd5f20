// The two registry files behind the Linux registry (system.reg for HKEY_LOCAL_MACHINE and
// HKEY_CLASSES_ROOT, user.reg for HKEY_CURRENT_USER): when they are loaded, locked and saved.
#pragma once

#include <sys/stat.h>

#include <string>

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

  // Makes the hive's tree available for this session, loading its file on first use.
  LONG Acquire(Hive hive);
  // ERROR_SUCCESS, or the error that has made a loaded hive unusable for this session.
  LONG Usable(Hive hive) const;

  RegNode* Root(Hive hive) const;
  // HKLM\Software\Classes, or nullptr when the machine hive has none.
  RegNode* ClassesRoot() const;

  void MarkDirty(Hive hive);
  // Removes a key without subkeys from the tree and from the file's sections.
  void DeleteLeaf(Hive hive, RegNode* node, uint64_t now);

  // Saves every changed file; returns ERROR_SUCCESS or the first failure.
  LONG Flush();
  // Saves, then releases the prefix lock; a hive whose save failed is dropped and read again
  // from its file in the next session.
  LONG EndSession();

 private:
  struct HiveState {
    const char* fileName = "";
    HiveImage image;
    bool loaded = false;
    bool dirty = false;
    bool current = false;  // checked against its file in this session: no need to look again
    LONG failure = ERROR_SUCCESS;
    int fd = -1;  // the file the image was read from, kept open to copy untouched sections
    struct stat fileStat {};
  };

  void Reset();
  void Unload(HiveState& state);
  void MakeEmpty(HiveState& state, Hive hive);
  LONG BeginSession();
  LONG Load(HiveState& state);
  LONG Save(HiveState& state);
  std::string PathOf(const HiveState& state) const;
  void Complain(const std::string& what);

  bool m_memory = true;
  std::string m_prefix;
  bool m_inSession = false;
  PrefixLock m_lock;
  HiveState m_hives[2];
  std::string m_lastComplaint;
};

}  // namespace oarepair::platform
