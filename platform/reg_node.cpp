#include "platform/reg_node.h"

#include "platform/names.h"

namespace oarepair::platform {

size_t ChildList::LowerBound(std::u16string_view name) const {
  size_t lo = 0;
  size_t hi = m_entries.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (CompareNames(m_entries[mid].node->name, name) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

RegNode* ChildList::Find(std::u16string_view name) const {
  const size_t pos = LowerBound(name);
  // Tombstones keep their names, so a live entry of that name, if any, is among the equal run.
  for (size_t i = pos; i < m_entries.size() && NamesEqual(m_entries[i].node->name, name); ++i)
    if (m_entries[i].live) return m_entries[i].node.get();
  return nullptr;
}

RegNodePtr ChildList::FindShared(std::u16string_view name) const {
  const size_t pos = LowerBound(name);
  for (size_t i = pos; i < m_entries.size() && NamesEqual(m_entries[i].node->name, name); ++i)
    if (m_entries[i].live) return m_entries[i].node;
  return nullptr;
}

void ChildList::Insert(RegNodePtr child) {
  const size_t pos = LowerBound(child->name);
  if (pos < m_entries.size() && !m_entries[pos].live &&
      NamesEqual(m_entries[pos].node->name, child->name)) {
    // Reuse the tombstone of the same name: the order is unchanged.
    m_entries[pos].node = std::move(child);
    m_entries[pos].live = true;
    --m_dead;
    if (m_fenwickValid) FenwickAdd(pos, +1);
    return;
  }
  m_entries.insert(m_entries.begin() + static_cast<std::ptrdiff_t>(pos),
                   Entry{std::move(child), true});
  m_fenwickValid = false;
}

bool ChildList::Erase(const RegNode* child) {
  for (size_t i = LowerBound(child->name);
       i < m_entries.size() && NamesEqual(m_entries[i].node->name, child->name); ++i) {
    if (m_entries[i].live && m_entries[i].node.get() == child) {
      m_entries[i].live = false;
      ++m_dead;
      if (m_fenwickValid) FenwickAdd(i, -1);
      if (m_dead > m_entries.size() / 2) Compact();
      return true;
    }
  }
  return false;
}

void ChildList::Compact() {
  size_t out = 0;
  for (size_t i = 0; i < m_entries.size(); ++i)
    if (m_entries[i].live) m_entries[out++] = std::move(m_entries[i]);
  m_entries.resize(out);
  m_dead = 0;
  m_fenwickValid = false;
  m_fenwick.clear();
  if (m_entries.capacity() > 2 * m_entries.size() + 16) m_entries.shrink_to_fit();
}

void ChildList::BuildFenwick() const {
  const size_t n = m_entries.size();
  m_fenwick.assign(n + 1, 0);
  for (size_t i = 1; i <= n; ++i) {
    m_fenwick[i] += m_entries[i - 1].live ? 1 : 0;
    const size_t up = i + (i & (~i + 1));
    if (up <= n) m_fenwick[up] += m_fenwick[i];
  }
  m_fenwickValid = true;
}

void ChildList::FenwickAdd(size_t pos, int delta) const {
  for (size_t i = pos + 1; i < m_fenwick.size(); i += i & (~i + 1))
    m_fenwick[i] = static_cast<uint32_t>(static_cast<int64_t>(m_fenwick[i]) + delta);
}

RegNode* ChildList::At(size_t index) const {
  if (index >= size()) return nullptr;
  if (m_dead == 0) return m_entries[index].node.get();
  if (!m_fenwickValid) BuildFenwick();
  // Descend the Fenwick tree to the entry holding the (index+1)-th live child.
  size_t pos = 0;
  size_t remaining = index + 1;
  size_t step = 1;
  while (step * 2 <= m_entries.size()) step *= 2;
  for (; step > 0; step /= 2) {
    const size_t next = pos + step;
    if (next <= m_entries.size() && m_fenwick[next] < remaining) {
      pos = next;
      remaining -= m_fenwick[next];
    }
  }
  return m_entries[pos].node.get();
}

}  // namespace oarepair::platform
