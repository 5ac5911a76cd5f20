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
#include "platform/file_system.h"
#include "platform/hive_store.h"
#include "platform/names.h"
#include "platform/reg_text.h"
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

// A key and the hive it belongs to: a link may lead from one hive into another.
struct Place {
  RegNode* node = nullptr;
  HiveStore::Hive hive = HiveStore::Hive::kMachine;
};

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

// How one call walks a path, from the caller's view and the call's access flags, as Wine 8
// combines them: its server redirects and shares for a 32-bit caller in a win64 prefix, and its
// kernelbase handles KEY_WOW64_32KEY for a 64-bit caller.
struct Walk {
  bool redirect = false;  // a 32-bit caller without KEY_WOW64_64KEY
  bool first32 = false;   // a 32-bit caller asking for KEY_WOW64_32KEY: the first name as well
  bool force32 = false;   // a 64-bit caller asking for KEY_WOW64_32KEY
};

using Names = std::vector<std::u16string>;

constexpr std::u16string_view kWow6432Node = u"Wow6432Node";

bool IsWow6432Node(std::u16string_view name) { return NamesEqual(name, kWow6432Node); }

class Registry {
 public:
  std::mutex mutex;
  HiveStore store;
  std::unordered_map<uintptr_t, Handle> handles;
  uintptr_t nextHandle = 0x10000;
  uint64_t calls = 0;
  uint64_t failAt = 0;
  LONG failCode = ERROR_SUCCESS;
  RegistryView view = RegistryView::k64Bit;
  bool held = false;  // HoldRegistrySession

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

  // The walk of a call with access mask `sam`. Views exist only in a win64 prefix, which is
  // known once system.reg is loaded.
  LONG WalkFor(REGSAM sam, Walk* walk) {
    *walk = Walk();
    const bool wants32 = view == RegistryView::k32Bit || (sam & KEY_WOW64_32KEY) != 0;
    if (!wants32 || store.Prefix().empty()) return ERROR_SUCCESS;
    const LONG rc = store.Acquire(HiveStore::Hive::kMachine);
    if (rc != ERROR_SUCCESS) return rc;
    if (!store.Win64()) return ERROR_SUCCESS;
    if (view == RegistryView::k32Bit) {
      walk->redirect = (sam & KEY_WOW64_64KEY) == 0;
      walk->first32 = (sam & KEY_WOW64_32KEY) != 0;
    } else {
      walk->force32 = (sam & KEY_WOW64_32KEY) != 0;
    }
    return ERROR_SUCCESS;
  }

  // A key with a Wow6432Node child stands, in a redirected walk, for that child, unless the next
  // name is Wow6432Node itself or the key is one.
  LONG Wow64Of(Place* at, std::u16string_view next) {
    if (IsWow6432Node(at->node->name()) || IsWow6432Node(next)) return ERROR_SUCCESS;
    RegNode* wow = nullptr;
    const LONG rc = store.Child(at->hive, at->node, kWow6432Node, &wow);
    if (wow != nullptr) at->node = wow;
    return rc;
  }

  // Software\Classes\Wow6432Node of a win64 prefix: a name missing there is looked up in the
  // 64-bit Classes, which the views share.
  bool Shared(const Place& at) {
    if (at.hive != HiveStore::Hive::kMachine || !store.Win64()) return false;
    RegNode* classes = store.ClassesRoot();
    return classes != nullptr && at.node->parent == classes && IsWow6432Node(at.node->name());
  }

  // A link key stands for its target: a path from the registry's root, walked without
  // redirection, its own links followed up to 16 deep. Only targets in HKEY_LOCAL_MACHINE can be
  // followed here (the only ones Wine makes); any other is refused rather than taken as absent.
  LONG Follow(Place* at, int depth = 0) {
    if (!at->node->link) return ERROR_SUCCESS;
    if (depth > 16) return ERROR_FILE_NOT_FOUND;
    std::u16string target;
    LONG rc = store.LinkTarget(at->hive, at->node, &target);
    if (rc != ERROR_SUCCESS) return rc;
    constexpr std::u16string_view kRoot = u"\\Registry\\";
    const std::u16string_view path(target);
    if (path.size() <= kRoot.size() || !NamesEqual(path.substr(0, kRoot.size()), kRoot))
      return ERROR_FILE_NOT_FOUND;
    const std::vector<std::u16string_view> names = SplitKeyPath(path.substr(kRoot.size()));
    if (names.empty()) return ERROR_FILE_NOT_FOUND;
    if (!NamesEqual(names[0], u"Machine")) return ERROR_ACCESS_DENIED;
    rc = store.Acquire(HiveStore::Hive::kMachine);
    if (rc != ERROR_SUCCESS) return rc;
    Place next{store.Root(HiveStore::Hive::kMachine), HiveStore::Hive::kMachine};
    for (size_t i = 1; i < names.size(); ++i) {
      rc = store.Child(next.hive, next.node, names[i], &next.node);
      if (rc != ERROR_SUCCESS) return rc;
      if (next.node == nullptr) return ERROR_FILE_NOT_FOUND;
      rc = Follow(&next, depth + 1);
      if (rc != ERROR_SUCCESS) return rc;
    }
    *at = next;
    return ERROR_SUCCESS;
  }

  // Walks `count` names from `*at` as far as they exist, as Wine's server does: redirecting
  // and sharing for a 32-bit caller, following links between names. `*found` receives how many
  // names were found.
  LONG WalkPrefix(Place* at, const std::u16string* names, size_t count, const Walk& walk,
                  size_t* found) {
    *found = 0;
    if (count == 0) return ERROR_SUCCESS;
    LONG rc = walk.first32 ? Wow64Of(at, names[0]) : ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    size_t i = 0;
    for (;;) {
      RegNode* sub = nullptr;
      rc = store.Child(at->hive, at->node, names[i], &sub);
      if (rc == ERROR_SUCCESS && sub == nullptr && walk.redirect && Shared(*at)) {
        at->node = at->node->parent;
        rc = store.Child(at->hive, at->node, names[i], &sub);
      }
      if (rc != ERROR_SUCCESS) return rc;
      if (sub == nullptr) break;
      at->node = sub;
      if (++i == count) break;
      rc = walk.redirect ? Wow64Of(at, names[i]) : ERROR_SUCCESS;
      if (rc == ERROR_SUCCESS) rc = Follow(at);
      if (rc != ERROR_SUCCESS) return rc;
    }
    *found = i;
    return ERROR_SUCCESS;
  }

  // The key a walk ends at: the Wow6432Node child for a redirected caller, a link's target.
  LONG Arrive(Place* at, const Walk& walk) {
    const LONG rc = walk.redirect ? Wow64Of(at, u"") : ERROR_SUCCESS;
    return rc != ERROR_SUCCESS ? rc : Follow(at);
  }

  // Wine's server opening `count` names from `*at`.
  LONG ServerOpen(Place* at, const std::u16string* names, size_t count, const Walk& walk) {
    size_t found = 0;
    LONG rc = WalkPrefix(at, names, count, walk, &found);
    if (rc != ERROR_SUCCESS) return rc;
    if (found != count) return ERROR_FILE_NOT_FOUND;
    return Arrive(at, walk);
  }

  // Before each name after the first, a 64-bit caller asking for the 32-bit view steps once into
  // the Wow6432Node child of the key reached so far (unless the path names it itself).
  void StepInto32(Place* at, std::u16string_view next, bool* force) {
    if (IsWow6432Node(next)) {
      *force = false;
      return;
    }
    Place wow = *at;
    const std::u16string name(kWow6432Node);
    if (ServerOpen(&wow, &name, 1, Walk()) == ERROR_SUCCESS) {
      *at = wow;
      *force = false;
    }
  }

  LONG OpenPath(Place* at, const Names& names, const Walk& walk) {
    if (!walk.force32) return ServerOpen(at, names.data(), names.size(), walk);
    // The server sees a 64-bit caller: plain walks, one name per call.
    bool force = true;
    for (size_t i = 0; i < names.size(); ++i) {
      if (i > 0 && force) StepInto32(at, names[i], &force);
      const LONG rc = ServerOpen(at, &names[i], 1, Walk());
      if (rc != ERROR_SUCCESS) return rc;
    }
    if (force) StepInto32(at, u"", &force);
    return ERROR_SUCCESS;
  }

  // Adds the missing key `name` under `*at` and moves there.
  LONG AddChild(Place* at, const std::u16string& name, uint64_t now) {
    // A link that could not be followed: there is no key of its own to create under.
    if (at->node->link) return ERROR_ACCESS_DENIED;
    auto fresh = MakeNode(name);
    fresh->parent = at->node;
    fresh->time = now;
    RegNode* child = fresh.get();
    at->node->children.Insert(std::move(fresh));
    at->node->time = now;
    at->node = child;
    store.MarkDirty(at->hive);
    return ERROR_SUCCESS;
  }

  // Wine's create: the server creates the last name when only that one is missing; with more
  // missing, kernelbase creates them one call at a time.
  LONG CreatePath(Place* at, const Names& names, const Walk& walk, uint64_t now) {
    if (!walk.force32) {
      Place reached = *at;
      size_t found = 0;
      LONG rc = WalkPrefix(&reached, names.data(), names.size(), walk, &found);
      if (rc != ERROR_SUCCESS) return rc;
      if (found == names.size()) rc = Arrive(&reached, walk);
      else if (found + 1 == names.size()) rc = AddChild(&reached, names[found], now);
      if (found + 1 >= names.size()) {
        if (rc == ERROR_SUCCESS) *at = reached;
        return rc;
      }
    }
    const Walk each = walk.force32 ? Walk() : walk;
    bool force = walk.force32;
    for (size_t i = 0; i < names.size(); ++i) {
      if (i > 0 && force) StepInto32(at, names[i], &force);
      size_t found = 0;
      LONG rc = WalkPrefix(at, &names[i], 1, each, &found);
      if (rc == ERROR_SUCCESS) rc = found == 1 ? Arrive(at, each) : AddChild(at, names[i], now);
      if (rc != ERROR_SUCCESS) return rc;
    }
    if (force) StepInto32(at, u"", &force);
    return ERROR_SUCCESS;
  }

  // A predefined root as the call's view sees it.
  LONG ResolveRoot(uint32_t value, REGSAM sam, Target* t) {
    switch (value) {
      case kClassesRoot:
        t->classesRoot = true;
        t->hive = HiveStore::Hive::kMachine;
        break;
      case kLocalMachine:
        t->hive = HiveStore::Hive::kMachine;
        break;
      case kCurrentUser:
        t->hive = HiveStore::Hive::kUser;
        break;
      default:
        return ERROR_INVALID_HANDLE;
    }
    LONG rc = store.Acquire(t->hive);
    if (rc != ERROR_SUCCESS) return rc;
    t->node = store.Root(t->hive);
    if (!t->classesRoot) return t->node != nullptr ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    Walk walk;
    rc = WalkFor(sam, &walk);
    if (rc != ERROR_SUCCESS) return rc;
    Place at{t->node, t->hive};
    if (walk.redirect) {
      // HKEY_CLASSES_ROOT is Machine\Software\Classes opened in the caller's view.
      const Names classes{u"Software", u"Classes"};
      rc = ServerOpen(&at, classes.data(), classes.size(), walk);
    } else {
      at.node = store.ClassesRoot();
      rc = at.node != nullptr ? ERROR_SUCCESS : NotFoundOr(at.hive);
      if (rc == ERROR_SUCCESS && walk.force32) {
        rc = store.Child(at.hive, at.node, kWow6432Node, &at.node);
        if (rc == ERROR_SUCCESS && at.node == nullptr) rc = ERROR_FILE_NOT_FOUND;
      }
    }
    t->node = at.node;
    t->hive = at.hive;
    return rc;
  }

  // ERROR_FILE_NOT_FOUND, unless a lookup that found nothing failed to read the hive's file.
  LONG NotFoundOr(HiveStore::Hive hive) const {
    const LONG rc = store.Usable(hive);
    return rc != ERROR_SUCCESS ? rc : ERROR_FILE_NOT_FOUND;
  }

  Target Resolve(HKEY hKey, REGSAM sam = 0) {
    Target t;
    if (hKey == nullptr) {
      t.status = ERROR_INVALID_HANDLE;
      return t;
    }
    uint32_t value = 0;
    if (PredefinedValue(hKey, &value)) {
      t.predefined = true;
      t.status = ResolveRoot(value, sam, &t);
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
  LONG BeginHandleCall(HKEY hKey, REGSAM sam, PHKEY out, Target* target) {
    LONG code = ERROR_SUCCESS;
    if (InjectedFault(&code)) {
      SetResult(out, nullptr);
      return code;
    }
    if (hKey == nullptr) return ERROR_INVALID_HANDLE;  // the result is left untouched
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    *target = Resolve(hKey, sam);
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
    if (handles.empty() && !held) store.EndSession();
  }
};

Registry& TheRegistry() {
  static Registry* registry = [] {
    auto* r = new Registry();  // lives until exit; the exit hook saves through it
    r->store.UseDefault();
    // Function-local statics are destroyed in the reverse order of their construction, merged
    // with the exit hooks: the ones the exit-time save uses (the file system, the clock) are made
    // now, before the hook, so that they are still alive when it runs.
    PosixFileSystem();
    NowFileTime();
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

// Drops every handle and the chosen view, then points the store at another registry.
template <typename Use>
void SwitchRegistry(const Use& use) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.handles.clear();
  r.held = false;
  r.view = RegistryView::k64Bit;
  use(r.store);
}

}  // namespace

void UseMemoryRegistry() {
  SwitchRegistry([](HiveStore& store) { store.UseMemory(); });
}

void UsePrefixRegistry(const std::string& prefix) {
  SwitchRegistry([&prefix](HiveStore& store) { store.UsePrefix(prefix); });
}

void UseDefaultRegistry() {
  SwitchRegistry([](HiveStore& store) { store.UseDefault(); });
}

void SetRegistryView(RegistryView view) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.view = view;
}

RegistryView CurrentRegistryView() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.view;
}

std::vector<RegistryView> RegistryViews() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.store.Prefix().empty()) return {RegistryView::k64Bit};
  const LONG rc = r.store.Acquire(HiveStore::Hive::kMachine);
  std::vector<RegistryView> views;
  if (rc != ERROR_SUCCESS || r.store.Win64()) views.push_back(RegistryView::k64Bit);
  if (rc == ERROR_SUCCESS) views.push_back(RegistryView::k32Bit);
  r.EndCallLocked();
  return views;
}

const char* RegistryViewName(RegistryView view) {
  return view == RegistryView::k64Bit ? "64-bit view" : "32-bit view";
}

std::string RegistryPrefix() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.store.Prefix();
}

void HoldRegistrySession(bool hold) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.held = hold;
  r.EndCallLocked();
}

LONG FlushRegistry() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.store.Flush();
}

LONG PrepareRegistryForWine() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  LONG rc = r.store.Flush();
  if (rc == ERROR_SUCCESS) rc = r.store.SaveFailure();
  if (rc == ERROR_SUCCESS && !r.store.Prefix().empty()) {
    for (auto hive : {HiveStore::Hive::kMachine, HiveStore::Hive::kUser}) {
      // Read once is enough: a file read whole has been validated whole.
      if (r.store.Loaded(hive)) continue;
      const LONG loaded = r.store.Acquire(hive);
      // A missing file is one Wine makes afresh; a running wineserver owns the files already.
      if (loaded == ERROR_SUCCESS || loaded == ERROR_FILE_NOT_FOUND ||
          loaded == ERROR_SHARING_VIOLATION)
        continue;
      rc = loaded;
      break;
    }
  }
  r.EndCallLocked();
  return rc;
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
using oarepair::platform::Place;
using oarepair::platform::RegNode;
using oarepair::platform::Registry;
using oarepair::platform::Target;
using oarepair::platform::TheRegistry;
using oarepair::platform::Walk;

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
  (void)ulOptions;
  // The store keeps no security descriptors: every access is granted. Only the view flags of the
  // mask matter.
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  Target t;
  const LONG begun = r.BeginHandleCall(hKey, samDesired, phkResult, &t);
  if (begun != ERROR_SUCCESS) return begun;
  const bool emptySub = lpSubKey == nullptr || *lpSubKey == '\0';
  const bool viewFlags = (samDesired & (KEY_WOW64_32KEY | KEY_WOW64_64KEY)) != 0;
  if (emptySub && t.predefined && !viewFlags) {
    // A predefined root opened at its own path hands back the root value itself.
    *phkResult = hKey;
    r.EndCallLocked();
    return ERROR_SUCCESS;
  }
  auto path = ParseSubPath(lpSubKey, t.predefined && t.classesRoot);
  if (path.status != ERROR_SUCCESS) return r.FailHandleCall(phkResult, path.status);
  Walk walk;
  LONG rc = r.WalkFor(samDesired, &walk);
  Place at{t.node, t.hive};
  if (rc == ERROR_SUCCESS) rc = r.OpenPath(&at, path.parts, walk);
  if (rc != ERROR_SUCCESS) return r.FailHandleCall(phkResult, rc);
  *phkResult = r.NewHandle(at.node, at.hive);
  return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  Target t;
  const LONG begun = r.BeginHandleCall(hKey, 0, phkResult, &t);
  if (begun != ERROR_SUCCESS) return begun;
  auto path = ParseSubPath(lpSubKey, t.predefined && t.classesRoot);
  if (path.status != ERROR_SUCCESS) return r.FailHandleCall(phkResult, path.status);
  Walk walk;
  LONG rc = r.WalkFor(0, &walk);
  Place at{t.node, t.hive};
  if (rc == ERROR_SUCCESS) rc = r.CreatePath(&at, path.parts, walk, NowFileTime());
  if (rc != ERROR_SUCCESS) return r.FailHandleCall(phkResult, rc);
  *phkResult = r.NewHandle(at.node, at.hive);
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
  if (result == ERROR_SUCCESS) result = r.store.Expand(t.hive, t.node);
  if (result == ERROR_SUCCESS) {
    child = t.node->children.At(dwIndex);
    if (child == nullptr) result = ERROR_NO_MORE_ITEMS;
  }
  if (result == ERROR_SUCCESS) {
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
  // The key is opened as RegOpenKeyExA would (in the caller's view, links followed), then
  // deleted.
  Place at{t.node, t.hive};
  if (result == ERROR_SUCCESS) {
    auto path = ParseSubPath(lpSubKey, false);
    result = path.status;
    Walk walk;
    if (result == ERROR_SUCCESS) result = r.WalkFor(0, &walk);
    if (result == ERROR_SUCCESS) result = r.OpenPath(&at, path.parts, walk);
  }
  if (result == ERROR_SUCCESS) {
    RegNode* node = at.node;
    result = r.store.Expand(at.hive, node);
  }
  if (result == ERROR_SUCCESS) {
    RegNode* node = at.node;
    // Only leaves are deleted; a hive root (or the classes root) never is.
    if (!node->children.empty() || node->parent == nullptr ||
        node == r.store.ClassesRoot()) {
      result = ERROR_ACCESS_DENIED;
    } else {
      r.store.DeleteLeaf(at.hive, node, NowFileTime());
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
