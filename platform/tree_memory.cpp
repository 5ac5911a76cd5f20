#include "platform/tree_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

// Under AddressSanitizer every block is its own allocation, so misuse of a node is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define OAREPAIR_TREE_MEMORY_PLAIN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OAREPAIR_TREE_MEMORY_PLAIN 1
#endif
#endif

namespace oarepair::platform {

#ifdef OAREPAIR_TREE_MEMORY_PLAIN

namespace {
std::atomic<size_t> g_inUse{0};
}  // namespace

void* TreeAllocate(size_t bytes) {
  void* p = ::operator new(bytes);
  g_inUse.fetch_add(1, std::memory_order_relaxed);
  return p;
}
void TreeDeallocate(void* p, size_t) noexcept {
  if (p == nullptr) return;
  g_inUse.fetch_sub(1, std::memory_order_relaxed);
  ::operator delete(p);
}
size_t TreeBlocksInUse() { return g_inUse.load(std::memory_order_relaxed); }

struct TreePrefault::State {};
TreePrefault::TreePrefault(size_t, void*, size_t) {}
TreePrefault::~TreePrefault() = default;
void TreePrefault::ForgetAlso() {}

#else

namespace {

constexpr size_t kSlabSize = size_t{2} << 20;  // one huge page
constexpr uintptr_t kPageSize = 4096;
constexpr size_t kLargestClass = 8192;          // a full block of 512 children
// Huge pages pay off for big trees only: a small one would fill a whole 2 MiB page for a few
// kilobytes. Slabs are advised from this many on, single blocks from this size on.
constexpr size_t kHugeFromSlab = 8;
constexpr size_t kHugeAllocation = size_t{8} << 20;
// 16-byte steps up to 256 bytes (nodes, names), then powers of two up to kLargestClass.
constexpr size_t kSmallClasses = 16;
constexpr size_t kClassCount = kSmallClasses + 5;

size_t ClassOf(size_t bytes) {
  if (bytes <= 256) return bytes == 0 ? 0 : (bytes - 1) / 16;
  size_t cls = kSmallClasses;
  for (size_t size = 512; size < bytes; size *= 2) ++cls;
  return cls;
}

size_t ClassSize(size_t cls) {
  return cls < kSmallClasses ? (cls + 1) * 16 : size_t{512} << (cls - kSmallClasses);
}

// Maps `bytes` (a multiple of kSlabSize) aligned to kSlabSize and, when `huge`, asks for huge
// pages; the kernel may refuse the advice, which only costs speed.
void* MapAligned(size_t bytes, bool huge) {
  void* raw = mmap(nullptr, bytes + kSlabSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kSlabSize - 1) & ~(uintptr_t{kSlabSize} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + bytes + kSlabSize;
  if (end > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
  void* p = reinterpret_cast<void*>(aligned);
  if (huge) madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

struct FreeBlock {
  FreeBlock* next;
};

class Pool {
 public:
  void* Allocate(size_t bytes) {
    if (bytes > kLargestClass) {
      void* large = AllocateLarge(bytes);
      m_liveLarge.fetch_add(1, std::memory_order_relaxed);
      return large;
    }
    const size_t cls = ClassOf(bytes);
    Lock();
    void* p = m_free[cls];
    if (p != nullptr) {
      m_free[cls] = m_free[cls]->next;
      m_freeBytes -= ClassSize(cls);
    } else {
      p = Carve(ClassSize(cls));
    }
    if (p != nullptr) ++m_live;
    Unlock();
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }

  void Deallocate(void* p, size_t bytes) noexcept {
    if (p == nullptr) return;
    if (bytes > kLargestClass) {
      m_liveLarge.fetch_sub(1, std::memory_order_relaxed);
      return DeallocateLarge(p, bytes);
    }
    const size_t cls = ClassOf(bytes);
    Lock();
    auto* block = static_cast<FreeBlock*>(p);
    block->next = m_free[cls];
    m_free[cls] = block;
    m_freeBytes += ClassSize(cls);
    if (--m_live == 0) Rewind();
    Unlock();
  }

  size_t InUse() {
    Lock();
    const size_t live = m_live;
    Unlock();
    return live + m_liveLarge.load(std::memory_order_relaxed);
  }

  // Makes sure about `bytes` are ready to carve: maps what the unused slabs and the free blocks
  // do not already cover (whole slabs), to be carved after them. Returns the new region and sets
  // *size, or returns nullptr when nothing new was needed or the mapping failed.
  char* Reserve(size_t bytes, size_t* size) {
    Lock();
    const size_t spare = (m_slabs.size() - m_slab) * kSlabSize + m_freeBytes;
    Unlock();
    if (spare >= bytes) return nullptr;
    *size = RoundToSlab(bytes - spare);
    auto* region = static_cast<char*>(MapAligned(*size, true));
    if (region == nullptr) return nullptr;
    Lock();
    for (size_t off = 0; off < *size; off += kSlabSize) m_slabs.push_back(region + off);
    Unlock();
    return region;
  }

 private:
  // Registry calls are serialized by the registry's own lock, so this is nearly always
  // uncontended; a spin lock costs one atomic exchange.
  void Lock() {
    while (m_lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  void Unlock() { m_lock.clear(std::memory_order_release); }

  // Takes `size` bytes from the current slab, moving on to the next one when it is used up.
  // What is left of the old slab (less than the largest class) stays unused.
  void* Carve(size_t size) {
    if (m_next == nullptr || static_cast<size_t>(m_end - m_next) < size) {
      if (m_slab == m_slabs.size()) {
        void* slab = MapAligned(kSlabSize, m_slabs.size() >= kHugeFromSlab);
        if (slab == nullptr) return nullptr;
        m_slabs.push_back(static_cast<char*>(slab));
      }
      m_next = m_slabs[m_slab++];
      m_end = m_next + kSlabSize;
    }
    void* p = m_next;
    m_next += size;
    return p;
  }

  // Nothing is in use: start again from the first slab, so that the next tree is laid out in
  // the order it is built rather than in the order the last one was freed.
  void Rewind() {
    m_free.fill(nullptr);
    m_freeBytes = 0;
    m_slab = 0;
    m_next = nullptr;
    m_end = nullptr;
  }

  static void* AllocateLarge(size_t bytes) {
    if (bytes < kHugeAllocation) return ::operator new(bytes);
    void* p = MapAligned(RoundToSlab(bytes), true);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }

  static void DeallocateLarge(void* p, size_t bytes) noexcept {
    if (bytes < kHugeAllocation)
      ::operator delete(p);
    else
      munmap(p, RoundToSlab(bytes));
  }

  static size_t RoundToSlab(size_t bytes) { return (bytes + kSlabSize - 1) & ~(kSlabSize - 1); }

  std::atomic_flag m_lock = ATOMIC_FLAG_INIT;
  std::array<FreeBlock*, kClassCount> m_free{};
  size_t m_live = 0;              // blocks handed out and not yet given back
  std::atomic<size_t> m_liveLarge{0};  // the same, for blocks above the largest class
  size_t m_freeBytes = 0;         // bytes on the free lists
  std::vector<char*> m_slabs;     // every slab mapped so far, in order; never unmapped
  size_t m_slab = 0;              // the next slab to carve from
  char* m_next = nullptr;
  char* m_end = nullptr;
};

// Never destroyed: nodes may be freed by other static destructors at exit.
Pool& ThePool() {
  alignas(Pool) static unsigned char storage[sizeof(Pool)];
  static Pool* pool = ::new (storage) Pool();
  return *pool;
}

}  // namespace

void* TreeAllocate(size_t bytes) { return ThePool().Allocate(bytes); }
void TreeDeallocate(void* p, size_t bytes) noexcept { ThePool().Deallocate(p, bytes); }
size_t TreeBlocksInUse() { return ThePool().InUse(); }

struct TreePrefault::State {
  std::atomic<bool> stop{false};
  std::atomic<bool> forgetAlso{false};
  std::mutex alsoInUse;  // held by the helper while it works on `also`
  std::thread helper;
};

TreePrefault::TreePrefault(size_t bytes, void* also, size_t alsoBytes) {
  // Below a few slabs the thread costs more than the faults it saves.
  if (bytes < 4 * kSlabSize) return;
  size_t size = 0;
  char* region = ThePool().Reserve(bytes, &size);
  // Only whole pages of `also` can be faulted in on their own.
  const auto alsoStart = (reinterpret_cast<uintptr_t>(also) + kPageSize - 1) & ~(kPageSize - 1);
  const uintptr_t alsoEnd = (reinterpret_cast<uintptr_t>(also) + alsoBytes) & ~(kPageSize - 1);
  const size_t alsoSize = also != nullptr && alsoEnd > alsoStart ? alsoEnd - alsoStart : 0;
  if (region == nullptr && alsoSize == 0) return;
  if (region == nullptr) size = 0;
  auto state = std::make_unique<State>();
  State* shared = state.get();
  try {
    // MADV_POPULATE_WRITE faults the pages in without writing to them, so it is safe while the
    // caller already uses the first of them; a kernel without it answers EINVAL and we stop.
    // Both are filled from their start at about the same pace, so each tree slab is followed
    // by the matching share of `also`.
    state->helper = std::thread([region, size, alsoStart, alsoSize, shared] {
      char* const other = reinterpret_cast<char*>(alsoStart);
      const size_t slabs = std::max<size_t>(size / kSlabSize, 1);
      size_t otherDone = 0;
      for (size_t slab = 0; slab < slabs && !shared->stop.load(std::memory_order_relaxed);
           ++slab) {
        if (size > 0 && madvise(region + slab * kSlabSize, kSlabSize, MADV_POPULATE_WRITE) != 0)
          break;
        const size_t target =
            slab + 1 == slabs ? alsoSize : alsoSize / slabs * (slab + 1);
        const size_t end = std::min(alsoSize, (target + kPageSize - 1) & ~(kPageSize - 1));
        if (end <= otherDone) continue;
        const std::lock_guard<std::mutex> lock(shared->alsoInUse);
        if (shared->forgetAlso.load(std::memory_order_relaxed)) continue;
        if (madvise(other + otherDone, end - otherDone, MADV_POPULATE_WRITE) != 0)
          shared->forgetAlso.store(true, std::memory_order_relaxed);
        otherDone = end;
      }
    });
  } catch (const std::system_error&) {
    return;  // no thread: the pages are faulted in as they are used
  }
  m_state = std::move(state);
}

TreePrefault::~TreePrefault() {
  if (!m_state) return;
  m_state->stop.store(true, std::memory_order_relaxed);
  m_state->helper.join();
}

void TreePrefault::ForgetAlso() {
  if (!m_state) return;
  // Once the lock is ours the helper is not inside `also`, and the flag keeps it out.
  const std::lock_guard<std::mutex> lock(m_state->alsoInUse);
  m_state->forgetAlso.store(true, std::memory_order_relaxed);
}

#endif

}  // namespace oarepair::platform
