// The key tree's child list against a plain sorted model: lookups by name and by index must stay
// exact through any mix of inserts and deletes, across block splits and removals.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/names.h"
#include "platform/reg_node.h"

namespace oarepair::platform {
namespace {

RegNodePtr Node(const std::u16string& name) { return MakeNode(name); }
std::u16string KeyName(const RegNode* node) { return {node->name().data(), node->name().size()}; }

std::u16string NameOf(int i) {
  std::string s = "k" + std::to_string(i);
  return std::u16string(s.begin(), s.end());
}

TEST(ChildList, OrdersLikeWine) {
  ChildList list;
  for (const char16_t* n : {u"b", u"B2", u"~Deleted", u"_x", u"Zed", u"a1", u"A", u"c"})
    list.Insert(Node(n));
  std::vector<std::u16string> seen;
  for (size_t i = 0; i < list.size(); ++i) seen.push_back(KeyName(list.At(i)));
  const std::vector<std::u16string> wine = {u"_x", u"A", u"a1", u"b", u"B2", u"c", u"Zed",
                                            u"~Deleted"};
  EXPECT_EQ(seen, wine);
  EXPECT_EQ(list.At(8), nullptr);
}

TEST(ChildList, FindsCaseInsensitivelyAndKeepsSpelling) {
  ChildList list;
  list.Insert(Node(u"MiXed"));
  ASSERT_NE(list.Find(u"mixed"), nullptr);
  EXPECT_EQ(KeyName(list.Find(u"MIXED")), u"MiXed");
  EXPECT_EQ(list.Find(u"mixe"), nullptr);
  EXPECT_EQ(list.Find(u"mixedd"), nullptr);
}

TEST(ChildList, RandomInsertsAndDeletesMatchASortedModel) {
  std::mt19937 rng(12345);
  ChildList list;
  std::vector<std::u16string> model;  // sorted by Wine order
  auto less = [](const std::u16string& a, const std::u16string& b) {
    return CompareNames(a, b) < 0;
  };
  for (int step = 0; step < 20000; ++step) {
    const int k = static_cast<int>(rng() % 3000);
    const std::u16string name = NameOf(k);
    const bool present = std::binary_search(model.begin(), model.end(), name, less);
    if (rng() % 3 != 0) {
      if (!present) {
        list.Insert(Node(name));
        model.insert(std::lower_bound(model.begin(), model.end(), name, less), name);
      }
    } else if (present) {
      ASSERT_TRUE(list.Erase(list.Find(name)));
      model.erase(std::lower_bound(model.begin(), model.end(), name, less));
    }
    ASSERT_EQ(list.size(), model.size());
    if (step % 97 == 0) {
      for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(KeyName(list.At(i)), model[i]) << i;
    } else if (!model.empty()) {
      const size_t i = rng() % model.size();
      ASSERT_EQ(KeyName(list.At(i)), model[i]);
    }
  }
}

TEST(ChildList, DeletingEveryChildFromTheFrontKeepsIndexesExact) {
  ChildList list;
  const int n = 100000;
  for (int i = 0; i < n; ++i) list.Insert(Node(NameOf(i)));
  // The index-0 loop a tree delete uses: enumerate, delete, enumerate again.
  for (int left = n; left > 0; --left) {
    RegNode* first = list.At(0);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(list.Erase(first));
    ASSERT_EQ(list.size(), static_cast<size_t>(left - 1));
  }
  EXPECT_EQ(list.At(0), nullptr);
}

TEST(ChildList, ReinsertingADeletedNameMakesANewChild) {
  ChildList list;
  auto old = Node(u"kid");
  list.Insert(old);
  list.Insert(Node(u"other"));
  ASSERT_TRUE(list.Erase(old.get()));
  EXPECT_EQ(list.Find(u"kid"), nullptr);
  EXPECT_FALSE(list.Erase(old.get()));
  auto fresh = Node(u"KID");
  list.Insert(fresh);
  EXPECT_EQ(list.Find(u"kid"), fresh.get());
  EXPECT_EQ(list.size(), 2u);
  EXPECT_EQ(list.At(0), fresh.get());
}

TEST(ChildList, EmptiedFromEitherFormItStartsAgainAndGivesItsMemoryBack) {
  const size_t before = TreeBlocksInUse();
  {
    ChildList list;
    for (int size : {3, 513, 2000}) {  // within one array, just past it, many blocks
      std::vector<RegNode*> added;
      for (int i = size - 1; i >= 0; --i) {  // backwards: every insert goes to the front
        auto node = Node(NameOf(i));
        added.push_back(node.get());
        list.Insert(std::move(node));
      }
      ASSERT_EQ(list.size(), static_cast<size_t>(size));
      for (RegNode* node : added) ASSERT_TRUE(list.Erase(node));
      EXPECT_TRUE(list.empty());
      EXPECT_EQ(list.At(0), nullptr);
      EXPECT_EQ(TreeBlocksInUse(), before) << size;
    }
    list.Insert(Node(u"b"));
    list.Insert(Node(u"a"));
    EXPECT_EQ(KeyName(list.At(0)), u"a");
    EXPECT_EQ(KeyName(list.At(1)), u"b");
  }
  EXPECT_EQ(TreeBlocksInUse(), before);  // the list's destructor releases what it still holds
}

TEST(RegNode, AVeryDeepTreeIsFreedWithoutRecursion) {
  // Deep enough to overflow the stack if each level's destructor called the next one's.
  const size_t before = TreeBlocksInUse();
  auto root = Node(u"root");
  RegNode* tip = root.get();
  for (int i = 0; i < 1000000; ++i) {
    auto child = Node(u"d");
    child->parent = tip;
    RegNode* next = child.get();
    tip->children.Insert(std::move(child));
    tip = next;
  }
  EXPECT_GT(TreeBlocksInUse(), before + 1000000);
  root.reset();
  EXPECT_EQ(TreeBlocksInUse(), before);  // every key and child array given back
}

TEST(Names, FoldLikeWineNotLikeTheCLibrary) {
  EXPECT_EQ(FoldChar(u'A'), u'a');
  EXPECT_EQ(FoldChar(u'\u00C9'), u'\u00E9');
  EXPECT_EQ(FoldChar(u'\u0410'), u'\u0430');  // Cyrillic
  // Wine leaves these as they are, so "K" (Kelvin sign) and "k" are different keys.
  EXPECT_EQ(FoldChar(u'\u212A'), u'\u212A');
  EXPECT_EQ(FoldChar(u'\u0130'), u'\u0130');
  EXPECT_FALSE(NamesEqual(u"\u212A", u"k"));
}

// Each unit is looked up on its first fold, and a large file's two parts fold names at once: the
// answers must not depend on who asked first, nor change once known. Units that earlier tests
// folded are already known; the rest are first met here, by both threads together.
TEST(Names, FoldingRacesGiveOneAnswer) {
  std::vector<char16_t> seen[2] = {std::vector<char16_t>(0x10000), std::vector<char16_t>(0x10000)};
  std::thread other([&] {
    for (uint32_t c = 0x10000; c-- > 0;) seen[1][c] = FoldChar(static_cast<char16_t>(c));
  });
  for (uint32_t c = 0; c < 0x10000; ++c) seen[0][c] = FoldChar(static_cast<char16_t>(c));
  other.join();
  size_t changed = 0;
  for (uint32_t c = 0; c < 0x10000; ++c) {
    const char16_t again = FoldChar(static_cast<char16_t>(c));
    if (seen[0][c] != again || seen[1][c] != again) ++changed;
  }
  EXPECT_EQ(changed, 0u);
  EXPECT_EQ(seen[1][0x00C4], u'\u00E4');
  EXPECT_EQ(seen[1][0x01C5], u'\u01C5');  // a title-case digraph Wine keeps
  EXPECT_EQ(seen[0][0xD800], char16_t{0xD800});  // surrogates are never folded
}

}  // namespace
}  // namespace oarepair::platform
