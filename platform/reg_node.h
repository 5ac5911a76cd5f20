// One key of the in-memory registry tree: its name, its children in Wine's enumeration order, and
// the bookkeeping that lets its registry file be written back section by section.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tree_memory.h"

namespace oarepair::platform {

class RegNode;
using RegNodePtr = std::shared_ptr<RegNode>;
// A key name in UTF-16, held in the tree's memory.
using NodeName = std::basic_string<char16_t, std::char_traits<char16_t>, TreeAllocator<char16_t>>;

// A new key, detached from any tree, allocated with its reference count in the tree's memory.
RegNodePtr MakeNode(std::u16string_view name);

// Counts every change of shape of any key tree (a child added or removed, a key's sections
// dropped). A tree whose state was checked at one count is unchanged while the count stays.
uint64_t TreeShapeCount();
void CountTreeShapeChange();

// Children sorted by Wine's name order, kept in blocks of a few hundred so that insertion and
// deletion anywhere cost O(block) rather than O(n), while lookup by name is a binary search and
// lookup by index walks a Fenwick tree of block sizes: O(log n) for both.
class ChildList {
 public:
  size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  // The child at a position of the enumeration order; nullptr past the end.
  RegNode* At(size_t index) const;
  RegNode* Find(std::u16string_view name) const;
  RegNodePtr FindShared(std::u16string_view name) const;
  // Adds a child whose name is absent (checked by the caller).
  void Insert(RegNodePtr child);
  // Removes a child; returns false when it is not a child of this list.
  bool Erase(const RegNode* child);

  // Moves every child out (the list is left empty).
  void TakeAll(std::vector<RegNodePtr>* out);

  template <class F>
  void ForEach(F&& f) const {
    for (const auto& block : m_blocks)
      for (const auto& node : block) f(node.get());
  }

 private:
  using Block = std::vector<RegNodePtr, TreeAllocator<RegNodePtr>>;
  // The block a name belongs in: the first whose last name is not below it (or the last block).
  size_t BlockFor(std::u16string_view name) const;
  // Position of a live child of that name, or false.
  bool Locate(std::u16string_view name, size_t* block, size_t* pos) const;
  void BuildFenwick() const;
  void FenwickAdd(size_t block, int delta) const;

  std::vector<Block, TreeAllocator<Block>> m_blocks;
  size_t m_size = 0;
  // Over block sizes, only for lists of more than one block (most keys have a handful of
  // children or none); dropped after a split or merge and rebuilt when next needed.
  mutable std::unique_ptr<std::vector<uint32_t>> m_fenwick;
};

class RegNode {
 public:
  explicit RegNode(std::u16string_view keyName) : name(keyName) {}
  // Frees the subtree without recursion: a hostile file may nest keys very deep.
  ~RegNode();
  RegNode(const RegNode&) = delete;
  RegNode& operator=(const RegNode&) = delete;

  NodeName name;
  RegNode* parent = nullptr;
  ChildList children;
  uint64_t time = 0;       // last write, FILETIME ticks
  int32_t section = -1;    // first section of this key in its hive file; -1 when implied or new
  bool deleted = false;    // removed from the tree; handles to it report ERROR_KEY_DELETED
  bool link = false;       // a #link key: Wine resolves it, so we never descend into it
};

}  // namespace oarepair::platform
