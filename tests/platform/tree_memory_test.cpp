// The key tree's allocator: blocks of every size class are aligned, never overlap, are reused
// after release, and survive concurrent use.
#include "platform/tree_memory.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace oarepair::platform
