// The child list's append path (children arriving in order, as a loaded file gives them): it must
// agree with a sorted model at every block boundary, with index lookups interleaved (so the
// block-size tree is updated in place) and with inserts and deletes anywhere afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/names.h"
#include "platform/reg_node.h"

namespace oarepair::platform {
namespace {

RegNodePtr Node(const std::u16string& name) { return MakeNode(name); }
std::u16string KeyName(const RegNode* node) { return {node->name().data(), node->name().size()}; }

// Names whose Wine order is their number order.
std::u16string Ordered(int i) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "n%07d", i);
  const std::string s = buffer;
  return std::u16string(s.begin(), s.end());
}

bool WineLess(const std::u16string& a, const std::u16string& b) { return CompareNames(a, b) < 0; }

void ExpectSameAsModel(const ChildList& list, const std::vector<std::u16string>& model) {
  ASSERT_EQ(list.size(), model.size());
  for (size_t i = 0; i < model.size(); ++i) {
    ASSERT_NE(list.At(i), nullptr) << i;
    ASSERT_EQ(KeyName(list.At(i)), model[i]) << i;
  }
  EXPECT_EQ(list.At(model.size()), nullptr);
}

TEST(ChildListAppend, AppendsAcrossBlockBoundariesKeepIndexesAndLookupsExact) {
  // Sizes on both sides of one, two and three full blocks, with index lookups after every
  // append so the block sizes are counted in place as well as rebuilt.
  for (int n : {1, 511, 512, 513, 1023, 1024, 1025, 1537}) {
    ChildList list;
    std::vector<std::u16string> model;
    for (int i = 0; i < n; ++i) {
      list.Insert(Node(Ordered(i)));
      model.push_back(Ordered(i));
      ASSERT_EQ(KeyName(list.At(static_cast<size_t>(i))), model.back()) << n << " " << i;
      ASSERT_EQ(KeyName(list.At(0)), model.front());
    }
    ExpectSameAsModel(list, model);
    for (int i = 0; i < n; ++i) ASSERT_NE(list.Find(Ordered(i)), nullptr) << i;
    EXPECT_EQ(list.Find(Ordered(n)), nullptr);
    EXPECT_EQ(list.Find(u"o"), nullptr);  // after every child
    EXPECT_EQ(list.Find(u"m"), nullptr);  // before every child
  }
}

TEST(ChildListAppend, NameEqualToTheLastIsFoundAndNotAppended) {
  ChildList list;
  list.Insert(Node(u"alpha"));
  list.Insert(Node(u"Omega"));
  // Case-insensitively equal to the last child: found, so a caller never inserts it again.
  ASSERT_NE(list.Find(u"OMEGA"), nullptr);
  EXPECT_EQ(KeyName(list.Find(u"omega")), u"Omega");
  // Longer than the last child and after it.
  EXPECT_EQ(list.Find(u"omegaa"), nullptr);
  list.Insert(Node(u"OMEGAA"));
  EXPECT_EQ(KeyName(list.At(2)), u"OMEGAA");
  EXPECT_EQ(list.size(), 3u);
}

TEST(ChildListAppend, InsertsAndDeletesAnywhereAfterAppendsMatchTheModel) {
  std::mt19937 rng(2026);
  ChildList list;
  std::vector<std::u16string> model;
  // Every even number appended in order: full blocks.
  for (int i = 0; i < 4000; i += 2) {
    list.Insert(Node(Ordered(i)));
    model.push_back(Ordered(i));
  }
  ExpectSameAsModel(list, model);
  for (int step = 0; step < 6000; ++step) {
    const int k = static_cast<int>(rng() % 4400);  // some beyond the end: appends again
    const std::u16string name = Ordered(k);
    const auto it = std::lower_bound(model.begin(), model.end(), name, WineLess);
    const bool present = it != model.end() && *it == name;
    if (rng() % 3 != 0) {
      if (!present) {
        ASSERT_EQ(list.Find(name), nullptr) << step;
        list.Insert(Node(name));
        model.insert(it, name);
      }
    } else if (present) {
      ASSERT_TRUE(list.Erase(list.Find(name))) << step;
      model.erase(it);
    }
    ASSERT_EQ(list.size(), model.size());
    if (!model.empty()) {
      const size_t i = rng() % model.size();
      ASSERT_EQ(KeyName(list.At(i)), model[i]) << step;
    }
  }
  ExpectSameAsModel(list, model);
}

TEST(ChildListAppend, AppendingAfterDeletingTheLastChildrenStaysOrdered) {
  ChildList list;
  std::vector<RegNodePtr> nodes;
  for (int i = 0; i < 600; ++i) {
    nodes.push_back(Node(Ordered(i)));
    list.Insert(nodes.back());
  }
  // Remove the whole last block and part of the first, then append again.
  for (int i = 599; i >= 400; --i) ASSERT_TRUE(list.Erase(nodes[static_cast<size_t>(i)].get()));
  std::vector<std::u16string> model;
  for (int i = 0; i < 400; ++i) model.push_back(Ordered(i));
  for (int i = 700; i < 1300; ++i) {
    list.Insert(Node(Ordered(i)));
    model.push_back(Ordered(i));
  }
  ExpectSameAsModel(list, model);
}

}  // namespace
}  // namespace oarepair::platform
