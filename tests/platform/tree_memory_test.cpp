// The key tree's allocator: blocks of every size class are aligned, never overlap, are reused
// after release, and survive concurrent use.
#include "platform/tree_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace oarepair::platform {
namespace {

struct Block {
  unsigned char* data;
  size_t size;
};

// Every byte of a block holds a value derived from the block's number, so a block that overlaps
// another one, or is shorter than asked, shows up as a changed byte.
void Fill(const Block& b, size_t id) {
  std::memset(b.data, static_cast<int>(id * 31 + 7) & 0xFF, b.size);
}

bool Intact(const Block& b, size_t id) {
  const auto want = static_cast<unsigned char>((id * 31 + 7) & 0xFF);
  for (size_t i = 0; i < b.size; ++i)
    if (b.data[i] != want) return false;
  return true;
}

TEST(TreeMemory, BlocksOfEverySizeAreAlignedAndDisjoint) {
  // Sizes at, just below and just above each class edge, up to past the largest class and into
  // the mapped range.
  std::vector<size_t> sizes;
  for (size_t s = 1; s <= 300; ++s) sizes.push_back(s);
  for (size_t edge : {512, 1024, 2048, 4096, 8192, 16384, 1 << 20, (1 << 21) + 5})
    for (size_t s : {edge - 1, edge, edge + 1}) sizes.push_back(s);
  sizes.push_back((size_t{8} << 20) + 1);  // mapped on its own
  std::vector<Block> blocks;
  for (int round = 0; round < 3; ++round)
    for (size_t size : sizes) {
      Block b{static_cast<unsigned char*>(TreeAllocate(size)), size};
      ASSERT_NE(b.data, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(b.data) % 16, 0u) << size;
      Fill(b, blocks.size());
      blocks.push_back(b);
    }
  for (size_t i = 0; i < blocks.size(); ++i) ASSERT_TRUE(Intact(blocks[i], i)) << blocks[i].size;
  for (const Block& b : blocks) TreeDeallocate(b.data, b.size);
}

TEST(TreeMemory, ReleasedBlocksAreReusedAndStillDisjoint) {
  std::vector<Block> blocks;
  for (size_t i = 0; i < 20000; ++i) {
    const size_t size = 16 + (i * 37) % 200;
    blocks.push_back({static_cast<unsigned char*>(TreeAllocate(size)), size});
  }
  // Free every other block, then allocate the same sizes again: they come back from the free
  // lists and must not alias the blocks still in use.
  std::set<unsigned char*> released;
  for (size_t i = 0; i < blocks.size(); i += 2) {
    TreeDeallocate(blocks[i].data, blocks[i].size);
    released.insert(blocks[i].data);
  }
  size_t reused = 0;
  for (size_t i = 0; i < blocks.size(); i += 2) {
    blocks[i].data = static_cast<unsigned char*>(TreeAllocate(blocks[i].size));
    reused += released.count(blocks[i].data);
  }
  for (size_t i = 0; i < blocks.size(); ++i) Fill(blocks[i], i);
  for (size_t i = 0; i < blocks.size(); ++i) ASSERT_TRUE(Intact(blocks[i], i)) << i;
  for (const Block& b : blocks) TreeDeallocate(b.data, b.size);
#if !defined(__SANITIZE_ADDRESS__)
  // Without the sanitizer the pool serves them: every block comes back from a free list.
  EXPECT_EQ(reused, blocks.size() / 2);
#endif
}

TEST(TreeMemory, ThreadsAllocatingAtOnceGetDisjointBlocks) {
  constexpr size_t kPerThread = 20000;
  std::vector<std::vector<Block>> kept(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kept.size(); ++t)
    threads.emplace_back([t, &kept] {
      std::vector<Block>& mine = kept[t];
      for (size_t i = 0; i < kPerThread; ++i) {
        const size_t size = 16 * (1 + (i + t) % 12);
        Block b{static_cast<unsigned char*>(TreeAllocate(size)), size};
        Fill(b, t * kPerThread + i);
        // Give some back straight away, so free lists are pushed and popped across threads.
        if (i % 3 == 0) {
          TreeDeallocate(b.data, b.size);
        } else {
          mine.push_back(b);
        }
      }
    });
  for (std::thread& th : threads) th.join();
  for (size_t t = 0; t < kept.size(); ++t) {
    size_t i = 0;
    for (const Block& b : kept[t]) {
      while (i % 3 == 0) ++i;  // the ids of the blocks that were kept
      ASSERT_TRUE(Intact(b, t * kPerThread + i)) << t << " " << i;
      ++i;
    }
  }
  for (auto& mine : kept)
    for (const Block& b : mine) TreeDeallocate(b.data, b.size);
}

// The helper thread faults pages in while the same pages are being filled: what is written
// must stay written (faulting in must never write to the memory), and the blocks handed out
// while it runs and after it has stopped are as sound as any.
TEST(TreeMemory, BlocksFilledWhilePagesAreFaultedInAheadStayIntact) {
  std::vector<Block> blocks;
  {
    const TreePrefault prefault(size_t{64} << 20);
    for (size_t i = 0; i < 200000; ++i) {
      const size_t size = 16 + (i * 53) % 240;
      Block b{static_cast<unsigned char*>(TreeAllocate(size)), size};
      Fill(b, i);
      blocks.push_back(b);
    }
  }
  for (size_t i = 0; i < 1000; ++i) {
    Block b{static_cast<unsigned char*>(TreeAllocate(100)), 100};
    Fill(b, blocks.size());
    blocks.push_back(b);
  }
  for (size_t i = 0; i < blocks.size(); ++i) ASSERT_TRUE(Intact(blocks[i], i)) << i;
  for (const Block& b : blocks) TreeDeallocate(b.data, b.size);
}

// Under AddressSanitizer the tree takes plain allocations and nothing is faulted in ahead.
#if defined(__SANITIZE_ADDRESS__)
#define TREE_MEMORY_IS_PLAIN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TREE_MEMORY_IS_PLAIN 1
#endif
#endif

#ifndef TREE_MEMORY_IS_PLAIN

// Pages of an anonymous mapping that are resident.
size_t ResidentPages(void* start, size_t bytes) {
  std::vector<unsigned char> flags(bytes / 4096);
  if (mincore(start, bytes, flags.data()) != 0) return 0;
  size_t n = 0;
  for (unsigned char f : flags) n += f & 1;
  return n;
}

bool KernelPopulates() {
  void* probe = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (probe == MAP_FAILED) return false;
  const bool ok = madvise(probe, 4096, MADV_POPULATE_WRITE) == 0;
  munmap(probe, 4096);
  return ok;
}

// The caller's own table is faulted in alongside the tree, and left alone once forgotten.
TEST(TreeMemory, TheCallersTableIsFaultedInUntilForgotten) {
  if (!KernelPopulates()) GTEST_SKIP() << "this kernel has no MADV_POPULATE_WRITE";
  const size_t tableBytes = size_t{8} << 20;
  auto map = [&] {
    return mmap(nullptr, tableBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  };
  void* table = map();
  ASSERT_NE(table, MAP_FAILED);
  {
    const TreePrefault prefault(size_t{16} << 20, table, tableBytes);
    // Filled from the start while the helper works further on.
    auto* words = static_cast<uint64_t*>(table);
    for (size_t i = 0; i < tableBytes / 8 / 4; ++i) words[i] = i * 7;
    for (int wait = 0; wait < 500 && ResidentPages(table, tableBytes) < tableBytes / 4096; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ResidentPages(table, tableBytes), tableBytes / 4096);
    for (size_t i = 0; i < tableBytes / 8 / 4; ++i) ASSERT_EQ(words[i], i * 7) << i;
  }
  munmap(table, tableBytes);

  void* later = map();
  ASSERT_NE(later, MAP_FAILED);
  {
    TreePrefault prefault(size_t{64} << 20, later, tableBytes);
    prefault.ForgetAlso();
    const size_t resident = ResidentPages(later, tableBytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // time to misbehave
    EXPECT_EQ(ResidentPages(later, tableBytes), resident);
  }
  munmap(later, tableBytes);
}

#endif

}  // namespace
}  // namespace oarepair::platform
