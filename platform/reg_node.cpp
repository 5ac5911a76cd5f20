#include "platform/reg_node.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/names.h"

namespace oarepair::platform {
namespace {

constexpr size_t kMaxBlock = 512;

bool NameLess(const RegNode* node, std::u16string_view name) {
  return CompareNames(node->name(), name) < 0;
}

std::atomic<size_t> g_blocksInUse{0};

RegNode** AllocateArray(uint32_t capacity) {
  g_blocksInUse.fetch_add(1, std::memory_order_relaxed);
  return static_cast<RegNode**>(::operator new(capacity * sizeof(RegNode*)));
}

void FreeArrayOf(RegNode** items) {
  if (items == nullptr) return;
  g_blocksInUse.fetch_sub(1, std::memory_order_relaxed);
  ::operator delete(items);
}

}  // namespace

size_t TreeBlocksInUse() { return g_blocksInUse.load(std::memory_order_relaxed); }

RegNodePtr MakeNode(std::u16string_view name) {
  g_blocksInUse.fetch_add(1, std::memory_order_relaxed);
  void* memory = ::operator new(RegNode::AllocationSize(name.size()));
  RegNode* node = ::new (memory) RegNode(static_cast<uint32_t>(name.size()));
  if (!name.empty())
    std::memcpy(static_cast<void*>(node + 1), name.data(), name.size() * sizeof(char16_t));
  return RegNodePtr::Adopt(node);
}

void RegNode::Release() noexcept {
  if (m_refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  this->~RegNode();
  g_blocksInUse.fetch_sub(1, std::memory_order_relaxed);
  ::operator delete(this);
}

RegNode::~RegNode() {
  std::vector<RegNodePtr> pending;
  children.TakeAll(&pending);
  while (!pending.empty()) {
    RegNodePtr node = std::move(pending.back());
    pending.pop_back();
    // A node still held elsewhere (an open handle) keeps its own subtree; the rest is unlinked
    // here so that its destructor finds no children and does not recurse.
    if (node.use_count() == 1) node->children.TakeAll(&pending);
  }
}

ChildList::~ChildList() {
  // Releasing the children may free whole subtrees; each node's destructor does that without
  // recursion once the references are out of the list.
  std::vector<RegNodePtr> children;
  TakeAll(&children);
}

void ChildList::FreeArray() {
  if (IsBlocks()) {
    std::unique_ptr<Blocks> owned(m_blocks);
  } else {
    FreeArrayOf(m_items);
  }
  m_items = nullptr;
  m_capacity = 0;
}

uint32_t ChildList::LowerBound(std::u16string_view name) const {
  return static_cast<uint32_t>(std::lower_bound(m_items, m_items + m_size, name, NameLess) -
                               m_items);
}

RegNode* ChildList::At(size_t index) const {
  if (index >= m_size) return nullptr;
  return IsBlocks() ? AtInBlocks(index) : m_items[index];
}

RegNode* ChildList::Find(std::u16string_view name) const {
  if (m_size == 0) return nullptr;
  if (IsBlocks()) {
    size_t b = 0;
    size_t p = 0;
    return Locate(name, &b, &p) ? m_blocks->blocks[b][p] : nullptr;
  }
  // A name after the last child is absent: one comparison for each new child of a loaded file,
  // whose children come in order.
  if (CompareNames(m_items[m_size - 1]->name(), name) < 0) return nullptr;
  const uint32_t i = LowerBound(name);
  return i < m_size && NamesEqual(m_items[i]->name(), name) ? m_items[i] : nullptr;
}

void ChildList::Insert(RegNodePtr child) {
  if (!IsBlocks() && m_size == kMaxBlock) MoveToBlocks();
  RegNode* node = child.Detach();
  if (IsBlocks())
    InsertIntoBlocks(node);
  else
    InsertIntoArray(node);
  ++m_size;
}

void ChildList::InsertIntoArray(RegNode* child) {
  // Appending, as loading a file does, needs one comparison.
  const uint32_t at = m_size == 0 || CompareNames(m_items[m_size - 1]->name(), child->name()) < 0
                          ? m_size
                          : LowerBound(child->name());
  if (m_size == m_capacity) {
    const uint32_t capacity =
        m_capacity == 0 ? 1
                        : std::min<uint32_t>(m_capacity * 2, static_cast<uint32_t>(kMaxBlock));
    RegNode** grown = AllocateArray(capacity);
    if (m_size > 0) std::memcpy(grown, m_items, m_size * sizeof(RegNode*));
    FreeArrayOf(m_items);
    m_items = grown;
    m_capacity = capacity;
  }
  RegNode** items = m_items;
  std::memmove(items + at + 1, items + at, (m_size - at) * sizeof(RegNode*));
  items[at] = child;
}

void ChildList::MoveToBlocks() {
  auto blocks = std::make_unique<Blocks>();
  blocks->blocks.emplace_back(m_items, m_items + m_size);
  FreeArrayOf(m_items);
  m_blocks = blocks.release();
  m_capacity = kBlockForm;
}

void ChildList::InsertIntoBlocks(RegNode* child) {
  auto& blocks = m_blocks->blocks;
  const bool fenwick = !m_blocks->fenwick.empty();
  Block& last = blocks.back();
  if (CompareNames(last.back()->name(), child->name()) < 0) {
    // Appending: the last block fills up to the limit and then a new one starts, so appended
    // children leave full blocks with no spare capacity behind.
    if (last.size() < kMaxBlock) {
      last.push_back(child);
      if (fenwick) FenwickAdd(blocks.size() - 1, +1);
    } else {
      blocks.emplace_back();
      blocks.back().push_back(child);
      m_blocks->fenwick.clear();
    }
    return;
  }
  const size_t b = BlockFor(child->name());
  Block& blk = blocks[b];
  blk.insert(std::lower_bound(blk.begin(), blk.end(), child->name(), NameLess), child);
  if (blk.size() <= kMaxBlock) {
    if (fenwick) FenwickAdd(b, +1);
    return;
  }
  Block upper(blk.begin() + kMaxBlock / 2, blk.end());
  blk.resize(kMaxBlock / 2);
  blocks.insert(blocks.begin() + static_cast<std::ptrdiff_t>(b) + 1, std::move(upper));
  m_blocks->fenwick.clear();
}

size_t ChildList::BlockFor(std::u16string_view name) const {
  const auto& blocks = m_blocks->blocks;
  size_t lo = 0;
  size_t hi = blocks.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (CompareNames(blocks[mid].back()->name(), name) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo == blocks.size() && lo > 0 ? lo - 1 : lo;
}

bool ChildList::Locate(std::u16string_view name, size_t* block, size_t* pos) const {
  const auto& blocks = m_blocks->blocks;
  if (blocks.empty()) return false;
  if (CompareNames(blocks.back().back()->name(), name) < 0) return false;
  const size_t b = BlockFor(name);
  const Block& blk = blocks[b];
  auto it = std::lower_bound(blk.begin(), blk.end(), name, NameLess);
  if (it == blk.end() || !NamesEqual((*it)->name(), name)) return false;
  *block = b;
  *pos = static_cast<size_t>(it - blk.begin());
  return true;
}

bool ChildList::Erase(const RegNode* child) {
  if (m_size == 0) return false;
  RegNode* removed = nullptr;
  if (IsBlocks()) {
    if (!EraseFromBlocks(child)) return false;
    removed = const_cast<RegNode*>(child);
  } else {
    const uint32_t i = LowerBound(child->name());
    RegNode** items = m_items;
    if (i >= m_size || items[i] != child) return false;
    removed = items[i];
    std::memmove(items + i, items + i + 1, (m_size - i - 1) * sizeof(RegNode*));
  }
  if (--m_size == 0) FreeArray();
  // The list's reference goes last, once the list is consistent: it may free the child.
  RegNodePtr::Adopt(removed).reset();
  return true;
}

bool ChildList::EraseFromBlocks(const RegNode* child) {
  size_t b = 0;
  size_t p = 0;
  auto& blocks = m_blocks->blocks;
  if (!Locate(child->name(), &b, &p) || blocks[b][p] != child) return false;
  Block& blk = blocks[b];
  blk.erase(blk.begin() + static_cast<std::ptrdiff_t>(p));
  if (blk.empty()) {
    blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(b));
    m_blocks->fenwick.clear();
  } else if (!m_blocks->fenwick.empty()) {
    FenwickAdd(b, -1);
  }
  return true;
}

void ChildList::BuildFenwick() const {
  const auto& blocks = m_blocks->blocks;
  const size_t n = blocks.size();
  std::vector<uint32_t>& f = m_blocks->fenwick;
  f.assign(n + 1, 0);
  for (size_t i = 1; i <= n; ++i) {
    f[i] += static_cast<uint32_t>(blocks[i - 1].size());
    const size_t up = i + (i & (~i + 1));
    if (up <= n) f[up] += f[i];
  }
}

void ChildList::FenwickAdd(size_t block, int delta) const {
  std::vector<uint32_t>& f = m_blocks->fenwick;
  for (size_t i = block + 1; i < f.size(); i += i & (~i + 1))
    f[i] = static_cast<uint32_t>(static_cast<int64_t>(f[i]) + delta);
}

RegNode* ChildList::AtInBlocks(size_t index) const {
  const auto& blocks = m_blocks->blocks;
  if (blocks.size() == 1) return blocks[0][index];
  if (m_blocks->fenwick.empty()) BuildFenwick();
  const std::vector<uint32_t>& f = m_blocks->fenwick;
  // Descend the Fenwick tree to the block holding the (index+1)-th child.
  size_t pos = 0;
  size_t remaining = index + 1;
  size_t step = 1;
  while (step * 2 <= blocks.size()) step *= 2;
  for (; step > 0; step /= 2) {
    const size_t next = pos + step;
    if (next <= blocks.size() && f[next] < remaining) {
      pos = next;
      remaining -= f[next];
    }
  }
  return blocks[pos][remaining - 1];
}

void ChildList::TakeAll(std::vector<RegNodePtr>* out) {
  if (m_size == 0) return;
  ForEach([out](RegNode* node) { out->push_back(RegNodePtr::Adopt(node)); });
  m_size = 0;
  FreeArray();
}

}  // namespace oarepair::platform
