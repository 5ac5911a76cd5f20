// Memory for the key tree (nodes, names, child blocks, section tables): size classes with free
// lists over 2 MiB slabs, advised for transparent huge pages once the tree is large. Loading a
// large registry file then takes a few hundred page faults instead of tens of thousands.
#pragma once

#include <cstddef>
#include <memory>

namespace oarepair::platform {

// Thread-safe. Blocks are 16-byte aligned; `bytes` must be the size given to TreeAllocate.
void* TreeAllocate(size_t bytes);
void TreeDeallocate(void* p, size_t bytes) noexcept;
// Blocks handed out and not yet given back: how tests see that a tree was freed whole.
size_t TreeBlocksInUse();

// While it lives, a helper thread faults in about `bytes` of fresh tree memory ahead of the
// caller, who is about to fill it (loading a large file): the kernel zeroes those pages on the
// second core instead of in the caller's page faults. It never faults in more than `bytes`.
// `also` is memory the caller holds and fills alongside the tree (a table reserved for the
// load): it is faulted in in step with the tree's, until ForgetAlso.
class TreePrefault {
 public:
  explicit TreePrefault(size_t bytes, void* also = nullptr, size_t alsoBytes = 0);
  ~TreePrefault();  // stops the helper and waits for it
  TreePrefault(const TreePrefault&) = delete;
  TreePrefault& operator=(const TreePrefault&) = delete;

  // Leaves `also` alone from now on: the caller is about to free or move it.
  void ForgetAlso();

 private:
  struct State;
  std::unique_ptr<State> m_state;  // null when there is nothing to do
};

// A stateless allocator over TreeAllocate, for the standard containers of the tree.
template <class T>
struct TreeAllocator {
  using value_type = T;
  TreeAllocator() noexcept = default;
  template <class U>
  TreeAllocator(const TreeAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit
  T* allocate(size_t n) { return static_cast<T*>(TreeAllocate(n * sizeof(T))); }
  void deallocate(T* p, size_t n) noexcept { TreeDeallocate(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const TreeAllocator<U>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const TreeAllocator<U>&) const noexcept { return false; }
};

}  // namespace oarepair::platform
