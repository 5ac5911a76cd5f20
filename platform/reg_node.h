// One key of the in-memory registry tree: its name, its children in Wine's enumeration order, and
// the bookkeeping that lets its registry file be written back section by section.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>


namespace oarepair::platform {

class RegNode;

// An owning reference to a key, counted in the key itself: a large tree holds one per key, so
// the count is not a separate control block and the reference is one pointer wide.
class RegNodePtr {
 public:
  RegNodePtr() noexcept = default;
  RegNodePtr(std::nullptr_t) noexcept {}  // NOLINT: converts like a smart pointer
  RegNodePtr(const RegNodePtr& other) noexcept;
  RegNodePtr(RegNodePtr&& other) noexcept : m_node(std::exchange(other.m_node, nullptr)) {}
  RegNodePtr& operator=(RegNodePtr other) noexcept {
    std::swap(m_node, other.m_node);
    return *this;
  }
  ~RegNodePtr();

  // Takes over a reference the caller already owns (one given up by Detach).
  static RegNodePtr Adopt(RegNode* node) noexcept {
    RegNodePtr p;
    p.m_node = node;
    return p;
  }
  // A new reference to a live key.
  static RegNodePtr Share(RegNode* node) noexcept;
  // Gives up this reference without releasing it; the caller now owns it.
  RegNode* Detach() noexcept { return std::exchange(m_node, nullptr); }

  RegNode* get() const noexcept { return m_node; }
  RegNode* operator->() const noexcept { return m_node; }
  RegNode& operator*() const noexcept { return *m_node; }
  explicit operator bool() const noexcept { return m_node != nullptr; }
  void reset() noexcept { RegNodePtr().swap(*this); }
  void swap(RegNodePtr& other) noexcept { std::swap(m_node, other.m_node); }
  // How many references the key has; 1 means this is the only one.
  uint32_t use_count() const noexcept;

  friend bool operator==(const RegNodePtr& p, std::nullptr_t) noexcept { return !p; }
  friend bool operator!=(const RegNodePtr& p, std::nullptr_t) noexcept { return !!p; }

 private:
  RegNode* m_node = nullptr;
};

// A new key, detached from any tree, allocated with its name in the same block.
RegNodePtr MakeNode(std::u16string_view name);

// Keys and child arrays allocated and not yet given back: how tests see that a tree was freed
// whole.
size_t TreeBlocksInUse();

// A key of a file's index that has no key of its own in memory yet, or a key not from a file.
constexpr uint32_t kNoIndexKey = UINT32_MAX;

// Children sorted by Wine's name order. Up to a block's worth they are one array, which is what
// nearly every key has; beyond that they are kept in blocks of a few hundred so that insertion
// and deletion anywhere cost O(block) rather than O(n), while lookup by name is a binary search
// and lookup by index walks a Fenwick tree of block sizes: O(log n) for both. Every entry owns
// one reference to its child.
class ChildList {
 public:
  ChildList() = default;
  ~ChildList();
  ChildList(const ChildList&) = delete;
  ChildList& operator=(const ChildList&) = delete;

  size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  // The child at a position of the enumeration order; nullptr past the end.
  RegNode* At(size_t index) const;
  RegNode* Find(std::u16string_view name) const;
  // Adds a child whose name is absent (checked by the caller).
  void Insert(RegNodePtr child);
  // Removes a child; returns false when it is not a child of this list.
  bool Erase(const RegNode* child);

  // Moves every child out (the list is left empty).
  void TakeAll(std::vector<RegNodePtr>* out);

  template <class F>
  void ForEach(F&& f) const {
    if (!IsBlocks()) {
      for (uint32_t i = 0; i < m_size; ++i) f(m_items[i]);
      return;
    }
    for (const Block& block : m_blocks->blocks)
      for (RegNode* node : block) f(node);
  }

 private:
  using Block = std::vector<RegNode*>;
  struct Blocks {
    std::vector<Block> blocks;
    // Over block sizes; dropped after a split or merge and rebuilt when next needed.
    mutable std::vector<uint32_t> fenwick;
  };
  static constexpr uint32_t kBlockForm = UINT32_MAX;

  bool IsBlocks() const { return m_capacity == kBlockForm; }
  // Position of the first child whose name is not below `name`, in the array form.
  uint32_t LowerBound(std::u16string_view name) const;
  void InsertIntoArray(RegNode* child);
  void MoveToBlocks();
  void InsertIntoBlocks(RegNode* child);
  bool EraseFromBlocks(const RegNode* child);
  // The block a name belongs in: the first whose last name is not below it (or the last block).
  size_t BlockFor(std::u16string_view name) const;
  // Position of a live child of that name, or false.
  bool Locate(std::u16string_view name, size_t* block, size_t* pos) const;
  RegNode* AtInBlocks(size_t index) const;
  void BuildFenwick() const;
  void FenwickAdd(size_t block, int delta) const;
  void FreeArray();

  union {
    RegNode** m_items = nullptr;  // the array form: m_capacity slots
    Blocks* m_blocks;             // the block form, owned
  };
  uint32_t m_size = 0;
  uint32_t m_capacity = 0;  // kBlockForm in the block form
};

class RegNode {
 public:
  // Frees the subtree without recursion: a hostile file may nest keys very deep.
  ~RegNode();
  RegNode(const RegNode&) = delete;
  RegNode& operator=(const RegNode&) = delete;

  // The name is stored right after the key, in the same block.
  std::u16string_view name() const {
    return {reinterpret_cast<const char16_t*>(this + 1), m_nameLength};
  }

  RegNode* parent = nullptr;
  ChildList children;
  uint64_t time = 0;       // last write, FILETIME ticks
  int32_t section = -1;    // first section of this key in its hive file; -1 when implied or new
  uint32_t key = kNoIndexKey;  // the key of the file's index this one was made from
  bool deleted = false;    // removed from the tree; handles to it report ERROR_KEY_DELETED
  bool link = false;       // a #link key: Wine resolves it, so we never descend into it
  // Every subkey is in `children`; false while some of the index's are still only in the file.
  bool expanded = true;
  // Its index subkeys are sorted by name hash, for a key looked in often (see HiveStore::Child).
  bool byHash = false;
  uint16_t scans = 0;  // lookups among its index subkeys while they were not sorted

 private:
  friend class RegNodePtr;
  friend RegNodePtr MakeNode(std::u16string_view name);

  explicit RegNode(uint32_t nameLength) : m_nameLength(nameLength) {}
  static size_t AllocationSize(size_t nameLength) {
    return sizeof(RegNode) + nameLength * sizeof(char16_t);
  }
  void Release() noexcept;

  std::atomic<uint32_t> m_refs{1};
  uint32_t m_nameLength;
};

static_assert(alignof(RegNode) >= alignof(char16_t), "the name follows the key");

// Visits every key below `root` in Wine's order (pre-order, subkeys sorted), without entering
// link keys or deleted ones and without recursion (a hostile file may nest keys very deep); stops as soon as
// `visit` returns false, and then returns false.
template <class F>
bool VisitInWineOrder(RegNode* root, F&& visit) {
  struct Frame {
    RegNode* node;
    size_t next;
  };
  std::vector<Frame> stack{Frame{root, 0}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.node->link || top.next >= top.node->children.size()) {
      stack.pop_back();
      continue;
    }
    RegNode* child = top.node->children.At(top.next++);
    if (child->deleted) continue;  // cut off with its subtree
    if (!visit(child)) return false;
    stack.push_back(Frame{child, 0});
  }
  return true;
}

inline RegNodePtr::RegNodePtr(const RegNodePtr& other) noexcept : m_node(other.m_node) {
  if (m_node != nullptr) m_node->m_refs.fetch_add(1, std::memory_order_relaxed);
}

inline RegNodePtr::~RegNodePtr() {
  if (m_node != nullptr) m_node->Release();
}

inline RegNodePtr RegNodePtr::Share(RegNode* node) noexcept {
  if (node != nullptr) node->m_refs.fetch_add(1, std::memory_order_relaxed);
  return Adopt(node);
}

inline uint32_t RegNodePtr::use_count() const noexcept {
  return m_node == nullptr ? 0 : m_node->m_refs.load(std::memory_order_acquire);
}

}  // namespace oarepair::platform
