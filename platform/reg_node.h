// One key of the in-memory registry tree: its name, its children in Wine's enumeration order, and
// the bookkeeping that lets its registry file be written back section by section.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace oarepair::platform {

class RegNode;
using RegNodePtr = std::shared_ptr<RegNode>;

// Children sorted by Wine's name order. Lookup by name and by index stay O(log n) while children
// are deleted: a deleted child leaves a tombstone counted in a Fenwick tree, and the list is
// compacted once tombstones outnumber live entries, so deleting every child is O(n log n).
class ChildList {
 public:
  size_t size() const { return m_entries.size() - m_dead; }
  bool empty() const { return size() == 0; }
  // The child at a position of the enumeration order; nullptr past the end.
  RegNode* At(size_t index) const;
  RegNode* Find(std::u16string_view name) const;
  RegNodePtr FindShared(std::u16string_view name) const;
  // Adds a child whose name is absent (checked by the caller).
  void Insert(RegNodePtr child);
  // Removes a child; returns false when it is not a child of this list.
  bool Erase(const RegNode* child);

  template <class F>
  void ForEach(F&& f) const {
    for (const auto& e : m_entries)
      if (e.live) f(e.node.get());
  }

 private:
  struct Entry {
    RegNodePtr node;
    bool live = true;
  };
  // Index of the first entry (live or tombstone) whose name is not below `name`.
  size_t LowerBound(std::u16string_view name) const;
  void Compact();
  void BuildFenwick() const;
  void FenwickAdd(size_t pos, int delta) const;

  std::vector<Entry> m_entries;
  size_t m_dead = 0;
  // Counts of live entries, built lazily for index lookups while tombstones exist.
  mutable std::vector<uint32_t> m_fenwick;
  mutable bool m_fenwickValid = false;
};

class RegNode {
 public:
  explicit RegNode(std::u16string name) : name(std::move(name)) {}

  std::u16string name;
  RegNode* parent = nullptr;
  ChildList children;
  uint64_t time = 0;       // last write, FILETIME ticks
  int32_t section = -1;    // first section of this key in its hive file; -1 when implied or new
  bool deleted = false;    // removed from the tree; handles to it report ERROR_KEY_DELETED
  bool link = false;       // a #link key: Wine resolves it, so we never descend into it
};

}  // namespace oarepair::platform
