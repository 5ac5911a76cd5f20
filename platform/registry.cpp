// The Win32 registry calls on Linux: handles, paths and error codes as Wine answers them, over
// key trees loaded from a Wine prefix's registry files (or held only in memory for tests).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/hive_store.h"
#include "platform/names.h"
#include "platform/registry_control.h"
#include "platform/win32.h"

namespace oarepair::platform {
namespace {

constexpr uint32_t kClassesRoot = 0x80000000u;
constexpr uint32_t kCurrentUser = 0x80000001u;
constexpr uint32_t kLocalMachine = 0x80000002u;

void SetResult(PHKEY out, HKEY value) {
  if (out != nullptr) *out = value;
}

// What a handle argument stands for once resolved.
struct Target {
  LONG status = ERROR_SUCCESS;
  RegNode* node = nullptr;
  HiveStore::Hive hive = HiveStore::Hive::kMachine;
  bool predefined = false;
  bool classesRoot = false;
};

struct Handle {
  RegNodePtr node;
  HiveStore::Hive hive;
};

class Registry {
 public:
  std::mutex mutex;
  HiveStore store;
  std::unordered_map<uintptr_t, Handle> handles;
  uintptr_t nextHandle = 0x10000;
  uint64_t calls = 0;
  uint64_t failAt = 0;
  LONG failCode = ERROR_SUCCESS;

  // Counts the call and applies an injected fault.
  bool InjectedFault(LONG* code) {
    ++calls;
    if (failAt != 0 && calls == failAt) {
      failAt = 0;
      *code = failCode;
      return true;
    }
    return false;
  }

  // The predefined root behind a value, comparing only its low 32 bits as Windows does.
  static bool PredefinedValue(HKEY hKey, uint32_t* value) {
    const auto raw = reinterpret_cast<uintptr_t>(hKey);
    const auto low = static_cast<uint32_t>(raw & 0xFFFFFFFFu);
    const uint64_t high = static_cast<uint64_t>(raw) >> 31 >> 1;
    if ((low & 0x80000000u) == 0) return false;
    if (high != 0 && high != 0xFFFFFFFFu) return false;
    *value = low;
    return true;
  }

  Target Resolve(HKEY hKey) {
    Target t;
    if (hKey == nullptr) {
      t.status = ERROR_INVALID_HANDLE;
      return t;
    }
    uint32_t value = 0;
    if (PredefinedValue(hKey, &value)) {
      t.predefined = true;
      switch (value) {
        case kClassesRoot:
          t.classesRoot = true;
          t.hive = HiveStore::Hive::kMachine;
          break;
        case kLocalMachine:
          t.hive = HiveStore::Hive::kMachine;
          break;
        case kCurrentUser:
          t.hive = HiveStore::Hive::kUser;
          break;
        default:
          t.status = ERROR_INVALID_HANDLE;
          return t;
      }
      t.status = store.Acquire(t.hive);
      if (t.status != ERROR_SUCCESS) return t;
      RegNode* root = store.Root(t.hive);
      t.node = t.classesRoot ? store.ClassesRoot() : root;
      if (t.node == nullptr) t.status = ERROR_FILE_NOT_FOUND;
      return t;
    }
    auto it = handles.find(reinterpret_cast<uintptr_t>(hKey));
    if (it == handles.end()) {
      t.status = ERROR_INVALID_HANDLE;
      return t;
    }
    t.hive = it->second.hive;
    t.node = it->second.node.get();
    t.status = store.Usable(t.hive);
    if (t.status == ERROR_SUCCESS && t.node->deleted) t.status = ERROR_KEY_DELETED;
    return t;
  }

  HKEY NewHandle(RegNode* node, HiveStore::Hive hive) {
    const uintptr_t value = nextHandle;
    nextHandle += 4;
    // The handle holds its own reference: the key outlives its deletion while the handle is open.
    handles.emplace(value, Handle{RegNodePtr::Share(node), hive});
    return reinterpret_cast<HKEY>(value);
  }

  // The common start of the calls that hand out a handle: an injected fault, the handle and
  // result checks, and the resolved target. Anything but ERROR_SUCCESS is the call's result.
  LONG BeginHandleCall(HKEY hKey, PHKEY out, Target* target) {
    LONG code = ERROR_SUCCESS;
    if (InjectedFault(&code)) {
      SetResult(out, nullptr);
      return code;
    }
    if (hKey == nullptr) return ERROR_INVALID_HANDLE;  // the result is left untouched
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    *target = Resolve(hKey);
    return target->status == ERROR_SUCCESS ? ERROR_SUCCESS : FailHandleCall(out, target->status);
  }

  LONG FailHandleCall(PHKEY out, LONG code) {
    *out = nullptr;
    EndCallLocked();
    return code;
  }

  // Ends a session once the last handle is gone: pending changes are saved and the prefix lock
  // is released so another process can take its turn.
  void EndCallLocked() {
    if (handles.empty()) store.EndSession();
  }
};

Registry& TheRegistry() {
  static Registry* registry = [] {
    auto* r = new Registry();  // lives until exit; the exit hook saves through it
    r->store.UseDefault();
    std::atexit([] {
      Registry& reg = TheRegistry();
      std::lock_guard<std::mutex> lock(reg.mutex);
      reg.store.Flush();
    });
    return r;
  }();
  return *registry;
}

// A parsed subkey argument: its components, and whether it was absent, empty or root-relative.
struct SubPath {
  LONG status = ERROR_SUCCESS;
  std::vector<std::u16string> parts;
};

// Splits a subkey argument the way Wine does: a leading backslash is refused except on the
// classes root, empty components collapse, and a component over 256 units is refused.
SubPath ParseSubPath(LPCSTR sub, bool classesRoot) {
  SubPath p;
  if (sub == nullptr || *sub == '\0') return p;
  std::string_view rest(sub);
  if (rest.front() == '\\') {
    if (!classesRoot) {
      p.status = ERROR_BAD_PATHNAME;
      return p;
    }
    rest.remove_prefix(1);
  }
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string_view::npos) end = rest.size();
    if (end > start) {
      if (end - start > kMaxKeyNameLength) {
        p.status = ERROR_INVALID_PARAMETER;
        return p;
      }
      p.parts.push_back(NarrowToWide(rest.substr(start, end - start)));
    }
    start = end + 1;
  }
  return p;
}

}  // namespace

void UseMemoryRegistry() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.handles.clear();
  r.store.UseMemory();
}

void UsePrefixRegistry(const std::string& prefix) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.handles.clear();
  r.store.UsePrefix(prefix);
}

void UseDefaultRegistry() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.handles.clear();
  r.store.UseDefault();
}

std::string RegistryPrefix() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.store.Prefix();
}

LONG FlushRegistry() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.store.Flush();
}

void FailRegistryCallAt(uint64_t n, LONG code) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.failAt = n == 0 ? 0 : r.calls + n;
  r.failCode = code;
}

uint64_t RegistryCallCount() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.calls;
}

}  // namespace oarepair::platform

using oarepair::platform::HiveStore;
using oarepair::platform::NowFileTime;
using oarepair::platform::ParseSubPath;
using oarepair::platform::RegNode;
using oarepair::platform::Registry;
using oarepair::platform::Target;
using oarepair::platform::TheRegistry;

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
  (void)ulOptions;
  (void)samDesired;  // the store keeps no security descriptors: every access is granted
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  Target t;
  const LONG begun = r.BeginHandleCall(hKey, phkResult, &t);
  if (begun != ERROR_SUCCESS) return begun;
  const bool emptySub = lpSubKey == nullptr || *lpSubKey == '\0';
  if (emptySub && t.predefined) {
    // A predefined root opened at its own path hands back the root value itself.
    *phkResult = hKey;
    r.EndCallLocked();
    return ERROR_SUCCESS;
  }
  auto path = ParseSubPath(lpSubKey, t.predefined && t.classesRoot);
  if (path.status != ERROR_SUCCESS) return r.FailHandleCall(phkResult, path.status);
  RegNode* node = t.node;
  for (const auto& part : path.parts) {
    node = node->children.Find(part);
    if (node == nullptr) return r.FailHandleCall(phkResult, ERROR_FILE_NOT_FOUND);
  }
  *phkResult = r.NewHandle(node, t.hive);
  return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  Target t;
  const LONG begun = r.BeginHandleCall(hKey, phkResult, &t);
  if (begun != ERROR_SUCCESS) return begun;
  auto path = ParseSubPath(lpSubKey, t.predefined && t.classesRoot);
  if (path.status != ERROR_SUCCESS) return r.FailHandleCall(phkResult, path.status);
  RegNode* node = t.node;
  bool created = false;
  const uint64_t now = NowFileTime();
  for (const auto& part : path.parts) {
    RegNode* child = node->children.Find(part);
    if (child == nullptr) {
      // Wine resolves symbolic links itself; we hold no target for them and create nothing.
      if (node->link) return r.FailHandleCall(phkResult, ERROR_ACCESS_DENIED);
      auto fresh = oarepair::platform::MakeNode(part);
      fresh->parent = node;
      fresh->time = now;
      child = fresh.get();
      node->children.Insert(std::move(fresh));
      node->time = now;
      created = true;
    }
    node = child;
  }
  if (created) r.store.MarkDirty(t.hive);
  *phkResult = r.NewHandle(node, t.hive);
  return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  LONG code = ERROR_SUCCESS;
  if (r.InjectedFault(&code)) return code;
  auto t = r.Resolve(hKey);
  LONG result = t.status;
  if (result == ERROR_SUCCESS &&
      (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr))
    result = ERROR_INVALID_PARAMETER;
  RegNode* child = nullptr;
  if (result == ERROR_SUCCESS) {
    child = t.node->children.At(dwIndex);
    if (child == nullptr) result = ERROR_NO_MORE_ITEMS;
  }
  if (result == ERROR_SUCCESS) {
    // Listings ask for one index after the other: the next key is fetched into the cache while
    // the caller works on this one (keys created in random order lie far apart in memory).
    if (RegNode* next = t.node->children.At(dwIndex + 1)) {
      __builtin_prefetch(next);
      __builtin_prefetch(reinterpret_cast<const char*>(next) + 64);
    }
    // One byte per code unit, so the length is known before converting.
    const std::u16string_view name = child->name();
    if (name.size() + 1 > *lpcchName) {
      result = ERROR_MORE_DATA;
    } else if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass < 1) {
      result = ERROR_MORE_DATA;
    } else {
      for (size_t i = 0; i < name.size(); ++i)
        lpName[i] = oarepair::platform::WideUnitToNarrow(name[i]);
      lpName[name.size()] = '\0';
      *lpcchName = static_cast<DWORD>(name.size());
      if (lpClass != nullptr) lpClass[0] = '\0';
      if (lpcchClass != nullptr) *lpcchClass = 0;
      if (lpftLastWriteTime != nullptr) {
        lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(child->time & 0xFFFFFFFFu);
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(child->time >> 32);
      }
    }
  }
  r.EndCallLocked();
  return result;
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  LONG code = ERROR_SUCCESS;
  if (r.InjectedFault(&code)) return code;
  auto t = r.Resolve(hKey);
  LONG result = t.status;
  if (result == ERROR_SUCCESS && lpSubKey == nullptr) result = ERROR_INVALID_PARAMETER;
  RegNode* node = nullptr;
  if (result == ERROR_SUCCESS) {
    auto path = ParseSubPath(lpSubKey, false);
    result = path.status;
    node = t.node;
    for (size_t i = 0; result == ERROR_SUCCESS && i < path.parts.size(); ++i) {
      node = node->children.Find(path.parts[i]);
      if (node == nullptr) result = ERROR_FILE_NOT_FOUND;
    }
  }
  if (result == ERROR_SUCCESS) {
    // Only leaves are deleted; a hive root (or the classes root) never is.
    if (!node->children.empty() || node->parent == nullptr ||
        node == r.store.ClassesRoot()) {
      result = ERROR_ACCESS_DENIED;
    } else {
      r.store.DeleteLeaf(t.hive, node, NowFileTime());
    }
  }
  r.EndCallLocked();
  return result;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  LONG code = ERROR_SUCCESS;
  if (r.InjectedFault(&code)) return code;
  if (hKey == nullptr) return ERROR_INVALID_HANDLE;
  uint32_t value = 0;
  // Closing any value of the predefined range succeeds and changes nothing, as in Wine.
  if (Registry::PredefinedValue(hKey, &value)) return ERROR_SUCCESS;
  auto it = r.handles.find(reinterpret_cast<uintptr_t>(hKey));
  if (it == r.handles.end()) return ERROR_INVALID_HANDLE;
  r.handles.erase(it);
  r.EndCallLocked();
  return ERROR_SUCCESS;
}
