#include "platform/reg_node.h"

#include <algorithm>
#include <atomic>

#include "platform/names.h"

namespace oarepair::platform {
namespace {

constexpr size_t kMaxBlock = 512;

bool NameLess(const RegNodePtr& node, std::u16string_view name) {
  return CompareNames(node->name, name) < 0;
}

}  // namespace

namespace {
// Starts above zero, so that a count of zero never matches.
std::atomic<uint64_t> g_shapeCount{1};
}  // namespace

uint64_t TreeShapeCount() { return g_shapeCount.load(std::memory_order_relaxed); }
void CountTreeShapeChange() { g_shapeCount.fetch_add(1, std::memory_order_relaxed); }

RegNodePtr MakeNode(std::u16string_view name) {
  return std::allocate_shared<RegNode>(TreeAllocator<RegNode>(), name);
}

size_t ChildList::BlockFor(std::u16string_view name) const {
  size_t lo = 0;
  size_t hi = m_blocks.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (CompareNames(m_blocks[mid].back()->name, name) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo == m_blocks.size() && lo > 0 ? lo - 1 : lo;
}

bool ChildList::Locate(std::u16string_view name, size_t* block, size_t* pos) const {
  if (m_blocks.empty()) return false;
  // A name after the last child is absent: one comparison for each new child of a loaded file,
  // whose children come in order.
  if (CompareNames(m_blocks.back().back()->name, name) < 0) return false;
  const size_t b = BlockFor(name);
  const Block& blk = m_blocks[b];
  auto it = std::lower_bound(blk.begin(), blk.end(), name, NameLess);
  if (it == blk.end() || !NamesEqual((*it)->name, name)) return false;
  *block = b;
  *pos = static_cast<size_t>(it - blk.begin());
  return true;
}

RegNode* ChildList::Find(std::u16string_view name) const {
  size_t b = 0;
  size_t p = 0;
  return Locate(name, &b, &p) ? m_blocks[b][p].get() : nullptr;
}

RegNodePtr ChildList::FindShared(std::u16string_view name) const {
  size_t b = 0;
  size_t p = 0;
  return Locate(name, &b, &p) ? m_blocks[b][p] : nullptr;
}

void ChildList::Insert(RegNodePtr child) {
  CountTreeShapeChange();
  ++m_size;
  if (m_blocks.empty()) {
    m_blocks.emplace_back();
    m_blocks.back().push_back(std::move(child));
    m_fenwick.reset();
    return;
  }
  Block& last = m_blocks.back();
  if (CompareNames(last.back()->name, child->name) < 0) {
    // Appending, as loading a file does: the last block fills up to the limit and then a new
    // one starts, so appended children leave full blocks with no spare capacity behind.
    if (last.size() < kMaxBlock) {
      last.push_back(std::move(child));
      if (m_fenwick) FenwickAdd(m_blocks.size() - 1, +1);
    } else {
      m_blocks.emplace_back();
      m_blocks.back().push_back(std::move(child));
      m_fenwick.reset();
    }
    return;
  }
  const size_t b = BlockFor(child->name);
  Block& blk = m_blocks[b];
  auto it = std::lower_bound(blk.begin(), blk.end(), std::u16string_view(child->name), NameLess);
  blk.insert(it, std::move(child));
  if (blk.size() <= kMaxBlock) {
    if (m_fenwick) FenwickAdd(b, +1);
    return;
  }
  Block upper(std::make_move_iterator(blk.begin() + kMaxBlock / 2),
              std::make_move_iterator(blk.end()));
  blk.resize(kMaxBlock / 2);
  m_blocks.insert(m_blocks.begin() + static_cast<std::ptrdiff_t>(b) + 1, std::move(upper));
  m_fenwick.reset();
}

bool ChildList::Erase(const RegNode* child) {
  size_t b = 0;
  size_t p = 0;
  if (!Locate(child->name, &b, &p) || m_blocks[b][p].get() != child) return false;
  CountTreeShapeChange();
  Block& blk = m_blocks[b];
  blk.erase(blk.begin() + static_cast<std::ptrdiff_t>(p));
  --m_size;
  if (blk.empty()) {
    m_blocks.erase(m_blocks.begin() + static_cast<std::ptrdiff_t>(b));
    m_fenwick.reset();
    if (m_blocks.empty()) m_blocks.shrink_to_fit();
  } else if (m_fenwick) {
    FenwickAdd(b, -1);
  }
  return true;
}

void ChildList::BuildFenwick() const {
  const size_t n = m_blocks.size();
  auto tree = std::make_unique<std::vector<uint32_t>>(n + 1, 0);
  std::vector<uint32_t>& f = *tree;
  for (size_t i = 1; i <= n; ++i) {
    f[i] += static_cast<uint32_t>(m_blocks[i - 1].size());
    const size_t up = i + (i & (~i + 1));
    if (up <= n) f[up] += f[i];
  }
  m_fenwick = std::move(tree);
}

void ChildList::FenwickAdd(size_t block, int delta) const {
  std::vector<uint32_t>& f = *m_fenwick;
  for (size_t i = block + 1; i < f.size(); i += i & (~i + 1))
    f[i] = static_cast<uint32_t>(static_cast<int64_t>(f[i]) + delta);
}

RegNode* ChildList::At(size_t index) const {
  if (index >= m_size) return nullptr;
  if (m_blocks.size() == 1) return m_blocks[0][index].get();
  if (!m_fenwick) BuildFenwick();
  const std::vector<uint32_t>& f = *m_fenwick;
  // Descend the Fenwick tree to the block holding the (index+1)-th child.
  size_t pos = 0;
  size_t remaining = index + 1;
  size_t step = 1;
  while (step * 2 <= m_blocks.size()) step *= 2;
  for (; step > 0; step /= 2) {
    const size_t next = pos + step;
    if (next <= m_blocks.size() && f[next] < remaining) {
      pos = next;
      remaining -= f[next];
    }
  }
  return m_blocks[pos][remaining - 1].get();
}

void ChildList::TakeAll(std::vector<RegNodePtr>* out) {
  if (m_size > 0) CountTreeShapeChange();
  for (auto& block : m_blocks)
    for (auto& node : block) out->push_back(std::move(node));
  m_blocks.clear();
  m_blocks.shrink_to_fit();
  m_fenwick.reset();
  m_size = 0;
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

}  // namespace oarepair::platform
