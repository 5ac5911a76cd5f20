// The index arrays' allocator: arrays large enough for a mapping of their own start on a huge page
// and keep their contents as they grow past the threshold, and shrink back to the heap.
#include "platform/huge_page_allocator.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace oarepair::platform {
namespace {

// The sanitizer checks heap blocks only: there every array is one.
constexpr bool kMapped = !OAREPAIR_ADDRESS_SANITIZED;

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

TEST(HugePageAllocator, ArraysKeepTheirContentsAcrossTheThresholdAndStartOnAHugePage) {
  IndexArray<uint32_t> values;
  IndexArray<uint8_t> bytes;
  // Growing one element at a time: from the heap, then through mappings of several sizes, each
  // freed as the next takes over (a wrong trim or unmap would fault or lose values).
  for (uint32_t i = 0; i < 3000000; ++i) {
    values.push_back(i * 7);
    bytes.push_back(static_cast<uint8_t>(i));
  }
  for (uint32_t i = 0; i < 3000000; i += 997) {
    ASSERT_EQ(values[i], i * 7);
    ASSERT_EQ(bytes[i], static_cast<uint8_t>(i));
  }
  EXPECT_EQ(values.back(), 2999999u * 7);
  // Every byte of the capacity is there to be written.
  values.resize(values.capacity(), 5);
  bytes.resize(bytes.capacity(), 5);
  EXPECT_EQ(values.back() + bytes.back(), 10u);
  if (kMapped) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(values.data()) % kHugePage, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes.data()) % kHugePage, 0u);
  }
  // An array of nine tenths of a huge page is mapped too: the whole page wastes little.
  IndexArray<uint32_t> near;
  near.reserve(kHugePage / 10 * 9 / sizeof(uint32_t));
  near.assign(near.capacity(), 3);
  EXPECT_EQ(near.back(), 3u);
  if (kMapped) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(near.data()) % kHugePage, 0u);
  }
  // Shrunk below the threshold, the array is on the heap again with its values.
  values.resize(1000);
  values.shrink_to_fit();
  EXPECT_EQ(values[999], 999u * 7);
  IndexArray<uint32_t> copy = values;
  EXPECT_EQ(copy, values);
}

}  // namespace
}  // namespace oarepair::platform
