// Fresh memory asked for whole: a grown buffer keeps its bytes, and arrays made present a step
// at a time are then written without a page fault per page.
#include "platform/fresh_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/huge_page_allocator.h"  // OAREPAIR_ADDRESS_SANITIZED

namespace oarepair::platform {
namespace {

TEST(FreshMemory, GrownBuffersKeepTheirBytes) {
  std::string buffer;
  ResizeBuffer(&buffer, 0);
  EXPECT_TRUE(buffer.empty());
  std::string expected;
  for (int i = 0; i < 1000; ++i) expected.push_back(static_cast<char>('a' + i % 26));
  ResizeBuffer(&buffer, expected.size());
  buffer.replace(0, expected.size(), expected);
  // Through several reallocations, and a shrink and growth within the capacity.
  size_t kept = expected.size();
  for (size_t size : {size_t{300} << 10, size_t{200}, size_t{5} << 20, size_t{1000}}) {
    ResizeBuffer(&buffer, size);
    ASSERT_EQ(buffer.size(), size);
    kept = std::min(kept, size);
    EXPECT_EQ(buffer.compare(0, kept, expected, 0, kept), 0) << size;
  }
  // The whole of it may be written.
  buffer.assign(buffer.capacity(), 'z');
  EXPECT_EQ(buffer.back(), 'z');
}

[[maybe_unused]] long MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_minflt;
}

constexpr bool kSanitized = OAREPAIR_ADDRESS_SANITIZED;

TEST(FreshMemory, ArraysMadePresentStepByStepFillWithoutFaults) {
  if (kSanitized)
    GTEST_SKIP() << "the address sanitizer's shadow memory is faulted in as the array is written";
#ifndef MADV_POPULATE_WRITE
  GTEST_SKIP() << "the system headers have no MADV_POPULATE_WRITE";
#else
  {
    void* probe = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(probe, MAP_FAILED);
    const int rc = madvise(probe, 4096, MADV_POPULATE_WRITE);
    munmap(probe, 4096);
    if (rc != 0) GTEST_SKIP() << "the kernel does not populate memory on request";
  }
  constexpr size_t kCount = size_t{1} << 20;  // 4 MiB of fresh memory: a thousand pages
  constexpr size_t kStep = 16384;
  std::vector<uint32_t> values;
  values.reserve(kCount);
  // The kernel counts the pages it makes present on request as faults too: only those of the
  // writes count here.
  long asked = 0;
  const long before = MinorFaults();
  for (uint32_t i = 0; i < kCount; ++i) {
    if (i % kStep == 0) {
      const long start = MinorFaults();
      PrefaultAhead(values, kStep);
      asked += MinorFaults() - start;
    }
    values.push_back(i);
  }
  const long faults = MinorFaults() - before - asked;
  // A page left out at either end of each step would fault once per step: 64 times.
  EXPECT_LT(faults, 16) << "page faults while filling " << kCount / 1024 << " K values";
  EXPECT_EQ(values[kCount - 1], kCount - 1);
#endif
}

}  // namespace
}  // namespace oarepair::platform
