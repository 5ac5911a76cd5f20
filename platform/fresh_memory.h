// Fresh memory made present in one call: where a machine makes every first touch of a 4 KiB page
// cost microseconds (a hypervisor that keeps page tables of its own), the buffers and arrays
// that a load or a save fills are asked for whole instead of a page fault at a time.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace oarepair::platform {

// Makes the pages of the next `count` unused slots of `v` (a vector or a string) present now.
// Only a hint: without it the pages come when they are first written.
template <class Array>
void PrefaultAhead(const Array& v, size_t count) {
#ifdef MADV_POPULATE_WRITE
  static const auto kPage = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const size_t room = std::min(count, v.capacity() - v.size());
  auto from = reinterpret_cast<uintptr_t>(v.data() + v.size());
  auto to = reinterpret_cast<uintptr_t>(v.data() + v.size() + room);
  // Whole pages, both ends included: a page the next call would skip as already begun would be
  // left to fault. Every page touched belongs to the allocation's mapping.
  from &= ~(kPage - 1);
  to = (to + kPage - 1) & ~(kPage - 1);
  if (room > 0) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)v, (void)count;
#endif
}

// Resizes a buffer about to be overwritten. Growing it zeroes the new bytes; where that needs
// fresh memory, its pages are made present first, so the zeroing does not fault them in one at
// a time.
inline void ResizeBuffer(std::string* buffer, size_t size) {
  if (size > buffer->capacity()) {
    // Present before the old bytes are copied in.
    std::string grown;
    grown.reserve(std::max(size, 2 * buffer->capacity()));
    PrefaultAhead(grown, grown.capacity());
    grown.append(*buffer);
    buffer->swap(grown);
  }
  buffer->resize(size);
}

}  // namespace oarepair::platform
