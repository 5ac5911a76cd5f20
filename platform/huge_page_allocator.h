// An allocator for the registry index's large arrays: each array of nine tenths of 2 MiB or more
// gets a mapping of its own, in transparent huge pages where the kernel has them.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#if defined(__has_feature)
#define OAREPAIR_HAS_FEATURE(x) __has_feature(x)
#else
#define OAREPAIR_HAS_FEATURE(x) 0
#endif

// 1 in a build with the address sanitizer (GCC and Clang say so differently), else 0.
#if defined(__SANITIZE_ADDRESS__) || OAREPAIR_HAS_FEATURE(address_sanitizer)
#define OAREPAIR_ADDRESS_SANITIZED 1
#else
#define OAREPAIR_ADDRESS_SANITIZED 0
#endif

namespace oarepair::platform {

// Where the machine makes every fresh 4 KiB page cost microseconds (a hypervisor keeping page
// tables of its own: about 6 us even when the page was asked for in advance), one 2 MiB page
// costs about what one small page does, so the arrays of an index of a million keys fill in a
// fraction of the time. Smaller arrays come from the heap: a huge page is faulted in whole, so
// one only partly used would add to the peak memory of a file of 30 to 50 MB more than its
// arrays' own size; an array of nine tenths of one wastes at most a tenth of its size. So does
// every array under the address sanitizer, which checks the heap's blocks only.
template <class T>
class HugePageAllocator {
 public:
  using value_type = T;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) {}  // NOLINT: rebinding converts implicitly

  T* allocate(size_t n) {
    if (!Mapped(n)) return std::allocator<T>().allocate(n);
    const size_t size = Rounded(n);
    // Mapped one huge page larger, then trimmed, so that the array starts on a huge page.
    void* const mapped = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto from = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t start = (from + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
    if (start > from) ::munmap(mapped, start - from);
    ::munmap(reinterpret_cast<void*>(start + size), kHugePage - (start - from));
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(start), size, MADV_HUGEPAGE);  // only a hint
#endif
    return reinterpret_cast<T*>(start);
  }

  void deallocate(T* p, size_t n) {
    if (!Mapped(n)) return std::allocator<T>().deallocate(p, n);
    ::munmap(p, Rounded(n));
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const { return true; }
  template <class U>
  bool operator!=(const HugePageAllocator<U>&) const { return false; }

 private:
  static constexpr size_t kHugePage = size_t{2} << 20;
  static constexpr size_t kMappedFrom = kHugePage / 10 * 9;

  static bool Mapped(size_t n) {
#if OAREPAIR_ADDRESS_SANITIZED
    (void)n;
    return false;
#else
    return n >= kMappedFrom / sizeof(T);
#endif
  }
  static size_t Rounded(size_t n) { return (n * sizeof(T) + kHugePage - 1) & ~(kHugePage - 1); }
};

// A growing array of the index.
template <class T>
using IndexArray = std::vector<T, HugePageAllocator<T>>;

}  // namespace oarepair::platform
