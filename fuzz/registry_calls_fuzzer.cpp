// Fuzz target for the registry calls: random sequences of RegCreateKeyA, RegOpenKeyExA,
// RegEnumKeyExA, RegDeleteKeyA and RegCloseKey on the in-memory registry, every result checked
// against a small model of the tree with Wine's rules (case-insensitive names that keep their
// case, lower-case order, leaf-only deletion, stale handles, predefined roots, path syntax).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/registry_control.h"
#include "platform/win32.h"

namespace {

namespace p = oarepair::platform;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "registry_calls_fuzzer: %s\n", what.c_str());
  std::abort();
}

void Expect(bool ok, const std::string& what) {
  if (!ok) Fail(what);
}

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// ---- The model -----------------------------------------------------------------------------

struct Node;
using NodePtr = std::shared_ptr<Node>;

struct Node {
  std::string name;
  Node* parent = nullptr;
  std::vector<NodePtr> children;  // unordered; listed sorted
  bool deleted = false;
  bool undeletable = false;  // a hive root or the classes root

  NodePtr Find(const std::string& child) const {
    const std::string folded = Lower(child);
    for (const NodePtr& c : children)
      if (Lower(c->name) == folded) return c;
    return nullptr;
  }
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const NodePtr& c : children) names.push_back(c->name);
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); });
    return names;
  }
};

NodePtr AddChild(Node* parent, const std::string& name) {
  auto child = std::make_shared<Node>();
  child->name = name;
  child->parent = parent;
  parent->children.push_back(child);
  return child;
}

struct Model {
  NodePtr machine = std::make_shared<Node>();
  NodePtr user = std::make_shared<Node>();
  NodePtr classes;
  Model() {
    machine->undeletable = true;
    user->undeletable = true;
    NodePtr software = AddChild(machine.get(), "Software");
    classes = AddChild(software.get(), "Classes");
    classes->undeletable = true;
    AddChild(user.get(), "Software");
  }
};

// A handle the sequence holds: its value and the key it stands for.
struct Slot {
  HKEY value = nullptr;
  NodePtr node;
  bool open = false;
};

constexpr size_t kSlots = 8;
const char* const kNames[] = {"a", "A", "b", "B", "ab", "aB", "Software", "CLASSES",
                              "x y", "_u", "~Deleted", "a.b", "Z"};
constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];

// What a handle argument resolves to in the model.
struct Base {
  HKEY value = nullptr;
  NodePtr node;  // null when the value is not a key
  LONG status = ERROR_SUCCESS;
  bool predefined = false;
  bool classesRoot = false;
  std::string label;
};

struct Parsed {
  LONG status = ERROR_SUCCESS;
  std::vector<std::string> parts;
};

// A subkey argument as Wine splits it: a leading backslash only on the classes root, empty
// components collapsed.
Parsed ParsePath(const char* sub, bool allowLeadingBackslash) {
  Parsed parsed;
  if (sub == nullptr || *sub == '\0') return parsed;
  std::string rest(sub);
  if (rest[0] == '\\') {
    if (!allowLeadingBackslash) {
      parsed.status = ERROR_BAD_PATHNAME;
      return parsed;
    }
    rest.erase(0, 1);
  }
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    if (end > start) parsed.parts.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  return parsed;
}

class Sequence {
 public:
  explicit Sequence(FuzzedDataProvider& input) : m_in(input) {}

  void Run() {
    for (int step = 0; step < 64 && m_in.remaining_bytes() > 0; ++step) {
      switch (m_in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: Create(); break;
        case 1: Open(); break;
        case 2: EnumOne(); break;
        case 3: Delete(); break;
        case 4: Close(); break;
        default: CompareListing(PickBase()); break;
      }
    }
    for (Slot& slot : m_slots) {
      if (slot.open) Expect(RegCloseKey(slot.value) == ERROR_SUCCESS, "closing at the end failed");
      slot.open = false;
    }
    CompareTree(HKEY_LOCAL_MACHINE, m_model.machine.get(), "HKLM");
    CompareTree(HKEY_CURRENT_USER, m_model.user.get(), "HKCU");
  }

 private:
  Base PickBase() {
    Base base;
    const int kind = m_in.ConsumeIntegralInRange<int>(0, 5);
    if (kind <= 3) {
      base.predefined = true;
      if (kind == 0) {
        base.value = HKEY_LOCAL_MACHINE;
        base.node = m_model.machine;
        base.label = "HKLM";
      } else if (kind == 1) {
        base.value = HKEY_CURRENT_USER;
        base.node = m_model.user;
        base.label = "HKCU";
      } else if (kind == 2) {
        base.value = HKEY_CLASSES_ROOT;
        base.node = m_model.classes;
        base.classesRoot = true;
        base.label = "HKCR";
      } else {
        base.value = HKEY_USERS;  // not a root this registry serves
        base.status = ERROR_INVALID_HANDLE;
        base.label = "HKU";
      }
      return base;
    }
    Slot& slot = m_slots[m_in.ConsumeIntegralInRange<size_t>(0, kSlots - 1)];
    base.label = "slot";
    if (!slot.open) {
      // A closed handle (or one never opened): its old value, or a made-up one.
      base.value = slot.value != nullptr ? slot.value : reinterpret_cast<HKEY>(uintptr_t{0x1234});
      base.status = ERROR_INVALID_HANDLE;
      return base;
    }
    base.value = slot.value;
    base.node = slot.node;
    if (slot.node->deleted) base.status = ERROR_KEY_DELETED;
    return base;
  }

  // A subkey argument: null, empty, or names joined by backslashes with odd separators.
  std::string PickPath(bool* isNull) {
    *isNull = false;
    const int kind = m_in.ConsumeIntegralInRange<int>(0, 15);
    if (kind == 0) {
      *isNull = true;
      return std::string();
    }
    if (kind == 1) return std::string();
    if (kind == 2) return "\\";
    std::string path;
    if (kind == 3) path += "\\";
    const int count = m_in.ConsumeIntegralInRange<int>(1, 3);
    for (int i = 0; i < count; ++i) {
      if (i > 0) path += m_in.ConsumeBool() ? "\\" : "\\\\";
      path += kNames[m_in.ConsumeIntegralInRange<size_t>(0, kNameCount - 1)];
    }
    if (kind == 4) path += "\\";
    return path;
  }

  void Store(HKEY value, const NodePtr& node) {
    for (Slot& slot : m_slots) {
      if (!slot.open) {
        slot = Slot{value, node, true};
        return;
      }
    }
    Expect(RegCloseKey(value) == ERROR_SUCCESS, "closing a new handle failed");
  }

  void Create() {
    const Base base = PickBase();
    bool isNull = false;
    const std::string path = PickPath(&isNull);
    HKEY out = reinterpret_cast<HKEY>(uintptr_t{0x5a5a});
    const LONG rc = RegCreateKeyA(base.value, isNull ? nullptr : path.c_str(), &out);
    const std::string what = "RegCreateKeyA(" + base.label + ", \"" + path + "\")";
    if (base.status != ERROR_SUCCESS) {
      Expect(rc == base.status, what + " = " + std::to_string(rc));
      Expect(out == nullptr, what + " left a result on failure");
      return;
    }
    const Parsed parsed = ParsePath(isNull ? nullptr : path.c_str(), base.predefined && base.classesRoot);
    if (parsed.status != ERROR_SUCCESS) {
      Expect(rc == parsed.status, what + " = " + std::to_string(rc));
      Expect(out == nullptr, what + " left a result on failure");
      return;
    }
    Expect(rc == ERROR_SUCCESS, what + " failed with " + std::to_string(rc));
    NodePtr node = base.node;
    for (const std::string& part : parsed.parts) {
      NodePtr child = node->Find(part);
      if (!child) child = AddChild(node.get(), part);
      node = child;
    }
    Expect(out != nullptr && out != base.value, what + " gave no new handle");
    Store(out, node);
  }

  void Open() {
    const Base base = PickBase();
    bool isNull = false;
    const std::string path = PickPath(&isNull);
    HKEY out = reinterpret_cast<HKEY>(uintptr_t{0x5a5a});
    const REGSAM access = m_in.ConsumeBool() ? KEY_READ : KEY_ALL_ACCESS;
    const LONG rc = RegOpenKeyExA(base.value, isNull ? nullptr : path.c_str(), 0, access, &out);
    const std::string what = "RegOpenKeyExA(" + base.label + ", \"" + path + "\")";
    if (base.status != ERROR_SUCCESS) {
      Expect(rc == base.status, what + " = " + std::to_string(rc));
      Expect(out == nullptr, what + " left a result on failure");
      return;
    }
    if (base.predefined && path.empty()) {
      Expect(rc == ERROR_SUCCESS && out == base.value, what + " did not give the root itself");
      return;
    }
    const Parsed parsed = ParsePath(isNull ? nullptr : path.c_str(), base.predefined && base.classesRoot);
    if (parsed.status != ERROR_SUCCESS) {
      Expect(rc == parsed.status, what + " = " + std::to_string(rc));
      return;
    }
    NodePtr node = base.node;
    for (const std::string& part : parsed.parts) {
      node = node->Find(part);
      if (!node) break;
    }
    if (!node) {
      Expect(rc == ERROR_FILE_NOT_FOUND, what + " = " + std::to_string(rc) + ", expected 2");
      Expect(out == nullptr, what + " left a result on failure");
      return;
    }
    Expect(rc == ERROR_SUCCESS, what + " failed with " + std::to_string(rc));
    Expect(out != nullptr && out != base.value, what + " gave no new handle");
    Store(out, node);
  }

  void EnumOne() {
    const Base base = PickBase();
    const DWORD indexes[] = {0, 1, 2, 3, 5, 0xFFFFFFFFu};
    const DWORD index = indexes[m_in.ConsumeIntegralInRange<size_t>(0, 5)];
    const DWORD caps[] = {0, 1, 2, 3, 4, 300};
    DWORD cap = caps[m_in.ConsumeIntegralInRange<size_t>(0, 5)];
    const DWORD capIn = cap;
    char name[300];
    std::memset(name, '#', sizeof name);
    FILETIME time{};
    const LONG rc = RegEnumKeyExA(base.value, index, name, &cap, nullptr, nullptr, nullptr, &time);
    const std::string what = "RegEnumKeyExA(" + base.label + ", " + std::to_string(index) + ")";
    if (base.status != ERROR_SUCCESS) {
      Expect(rc == base.status, what + " = " + std::to_string(rc));
      return;
    }
    const std::vector<std::string> listing = base.node->Listing();
    if (index >= listing.size()) {
      Expect(rc == ERROR_NO_MORE_ITEMS, what + " = " + std::to_string(rc) + ", expected 259");
      return;
    }
    const std::string& expected = listing[index];
    if (expected.size() + 1 > capIn) {
      Expect(rc == ERROR_MORE_DATA, what + " = " + std::to_string(rc) + ", expected 234");
      Expect(cap == capIn && name[0] == '#', what + " wrote on ERROR_MORE_DATA");
      return;
    }
    Expect(rc == ERROR_SUCCESS, what + " failed with " + std::to_string(rc));
    Expect(cap == expected.size() && expected == std::string(name, cap) && name[cap] == '\0',
           what + " gave \"" + std::string(name, std::min<DWORD>(cap, 299)) + "\", expected \"" +
               expected + "\"");
  }

  void Delete() {
    const Base base = PickBase();
    bool isNull = false;
    const std::string path = PickPath(&isNull);
    const LONG rc = RegDeleteKeyA(base.value, isNull ? nullptr : path.c_str());
    const std::string what = "RegDeleteKeyA(" + base.label + ", \"" + path + "\")";
    if (base.status != ERROR_SUCCESS) {
      Expect(rc == base.status, what + " = " + std::to_string(rc));
      return;
    }
    if (isNull) {
      Expect(rc == ERROR_INVALID_PARAMETER, what + " with NULL = " + std::to_string(rc));
      return;
    }
    const Parsed parsed = ParsePath(path.c_str(), false);
    if (parsed.status != ERROR_SUCCESS) {
      Expect(rc == parsed.status, what + " = " + std::to_string(rc));
      return;
    }
    NodePtr node = base.node;
    for (const std::string& part : parsed.parts) {
      node = node->Find(part);
      if (!node) break;
    }
    if (!node) {
      Expect(rc == ERROR_FILE_NOT_FOUND, what + " = " + std::to_string(rc) + ", expected 2");
      return;
    }
    if (!node->children.empty() || node->undeletable) {
      Expect(rc == ERROR_ACCESS_DENIED, what + " = " + std::to_string(rc) + ", expected 5");
      return;
    }
    Expect(rc == ERROR_SUCCESS, what + " failed with " + std::to_string(rc));
    node->deleted = true;
    auto& siblings = node->parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
  }

  void Close() {
    const Base base = PickBase();
    const LONG rc = RegCloseKey(base.value);
    const std::string what = "RegCloseKey(" + base.label + ")";
    if (base.predefined) {
      // Closing any value of the predefined range succeeds and changes nothing, as in Wine.
      Expect(rc == ERROR_SUCCESS, what + " = " + std::to_string(rc));
      return;
    }
    if (base.status == ERROR_INVALID_HANDLE) {
      Expect(rc == ERROR_INVALID_HANDLE, what + " of a closed handle = " + std::to_string(rc));
      return;
    }
    Expect(rc == ERROR_SUCCESS, what + " failed with " + std::to_string(rc));
    for (Slot& slot : m_slots) {
      if (slot.open && slot.value == base.value) slot.open = false;
    }
  }

  std::vector<std::string> ListAll(HKEY key, const std::string& label) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char name[300];
      DWORD cap = sizeof name;
      const LONG rc = RegEnumKeyExA(key, i, name, &cap, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      Expect(rc == ERROR_SUCCESS, "listing " + label + " failed with " + std::to_string(rc));
      names.emplace_back(name, cap);
      Expect(i < 1000, "listing " + label + " does not end");
    }
    return names;
  }

  void CompareListing(const Base& base) {
    if (base.status != ERROR_SUCCESS) return;
    const std::vector<std::string> got = ListAll(base.value, base.label);
    Expect(got == base.node->Listing(), "the listing of " + base.label + " differs from the model");
  }

  void CompareTree(HKEY key, const Node* node, const std::string& label) {
    const std::vector<std::string> got = ListAll(key, label);
    const std::vector<std::string> want = node->Listing();
    Expect(got == want, "the tree below " + label + " differs from the model");
    for (const std::string& name : want) {
      HKEY child = nullptr;
      Expect(RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &child) == ERROR_SUCCESS,
             "cannot open " + label + "\\" + name);
      CompareTree(child, node->Find(name).get(), label + "\\" + name);
      Expect(RegCloseKey(child) == ERROR_SUCCESS, "cannot close " + label + "\\" + name);
    }
  }

  FuzzedDataProvider& m_in;
  Model m_model;
  Slot m_slots[kSlots];
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  p::SetClock([] { return uint64_t{133500000000000000ULL}; });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  p::UseMemoryRegistry();
  FuzzedDataProvider input(data, size);
  Sequence sequence(input);
  sequence.Run();
  return 0;
}
