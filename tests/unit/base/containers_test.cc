// Vector, Tree and CArray: growth rules, ordering, uniqueness and bounds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/object_array.h"
#include "base/string.h"
#include "base/tree.h"
#include "base/vector.h"

namespace {

// --- Vector ----------------------------------------------------------------

TEST(VectorTest, RemoveForms) {
  Vector<int> v;
  for (int i = 0; i < 6; ++i) v.append(i * 10);
  v.remove(1);           // 0 20 30 40 50
  v.remove();            // 0 20 30 40
  v.remove(v.find(30));  // 0 20 40
  v.remove(17);          // out of range: ignored
  v.remove(-1);
  ASSERT_EQ(v.size(), 3);
  EXPECT_EQ(v[0], 0);
  EXPECT_EQ(v[1], 20);
  EXPECT_EQ(v[2], 40);
  EXPECT_EQ(v.find(99), v.end());
}

TEST(VectorTest, ResizeAndCopy) {
  Vector<int> v;
  v.append(1);
  v.resize(3);
  EXPECT_EQ(v.size(), 3);
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(v[2], 0);
  v.resize(-2);
  EXPECT_EQ(v.size(), 0);
  Vector<int> a;
  for (int i = 0; i < 4; ++i) a.append(i);
  Vector<int> b;
  b = a;
  a[0] = 99;
  ASSERT_EQ(b.size(), 4);
  EXPECT_EQ(b[0], 0);
  int sum = 0;
  for (int x : b) sum += x;
  EXPECT_EQ(sum, 6);
}

TEST(VectorTest, AppendOfOwnElementSurvivesGrowth) {
  Vector<std::string> v;
  for (int i = 0; i < 5; ++i) v.append(std::string(40, static_cast<char>('a' + i)));
  ASSERT_EQ(v.size(), v.GetCapacity());  // the next append grows
  v.append(v[0]);
  EXPECT_EQ(v[5], std::string(40, 'a'));
}

// --- Tree ------------------------------------------------------------------

TEST(TreeTest, IteratesInAscendingKeyOrder) {
  Tree<String, MapData<int>> tree;
  const char* keys[] = {"mango", "apple", "Zebra", "kiwi", "banana", "apple"};
  int value = 0;
  for (const char* key : keys) tree.append(String(key))->data = ++value;
  EXPECT_EQ(tree.size(), 5);  // "apple" once
  std::string order;
  for (auto it = tree.begin(); it != tree.end(); ++it) order += std::string(it.key().GetData()) + ",";
  EXPECT_EQ(order, "Zebra,apple,banana,kiwi,mango,");  // byte order: upper case first
  EXPECT_EQ(tree.find(String("apple"))->data, 6);  // the second append reached the same node
}

TEST(TreeTest, AppendNeverDuplicatesAndReturnsTheSameNode) {
  Tree<short, MapData<String>> tree;
  MapData<String>* first = tree.append(3);
  first->data = "three";
  EXPECT_EQ(tree.append(3), first);
  EXPECT_EQ(tree[3], first);
  EXPECT_STREQ(tree[3]->data.GetData(), "three");
  EXPECT_EQ(tree.size(), 1);
  EXPECT_EQ(tree[4]->data.GetData(), nullptr);  // new value default-constructed
  EXPECT_EQ(tree.size(), 2);
}

TEST(TreeTest, FindAndRemove) {
  Tree<short, MapData<int>> tree;
  for (short k : {50, 20, 80, 10, 30, 70, 90}) tree.append(k)->data = k * 2;
  EXPECT_EQ(tree.find(30)->data, 60);
  EXPECT_EQ(tree.find(31), tree.end());
  EXPECT_TRUE(tree.remove(20));
  EXPECT_FALSE(tree.remove(20));
  auto it = tree.remove(tree.find(70));
  EXPECT_EQ(it.key(), 80);  // the successor
  std::vector<short> left;
  for (auto i = tree.begin(); i != tree.end(); i.next()) left.push_back(i.key());
  EXPECT_EQ(left, (std::vector<short>{10, 30, 50, 80, 90}));
  tree.clear();
  EXPECT_EQ(tree.size(), 0);
  EXPECT_EQ(tree.begin(), tree.end());
}

TEST(TreeTest, ManyKeysStayOrderedAndUnique) {
  Tree<int, MapData<int>> tree;
  // A pseudo-random sequence with repeats, to exercise every rebalancing case.
  unsigned x = 12345;
  std::vector<bool> present(1000, false);
  for (int i = 0; i < 5000; ++i) {
    x = x * 1103515245u + 12345u;
    const int key = static_cast<int>((x >> 8) % 1000);
    if (i % 3 == 2) {
      tree.remove(key);
      present[key] = false;
    } else {
      tree.append(key)->data = key;
      present[key] = true;
    }
  }
  int expected_count = 0;
  for (bool p : present) expected_count += p;
  EXPECT_EQ(tree.size(), expected_count);
  int previous = -1;
  for (auto it = tree.begin(); it != tree.end(); ++it) {
    ASSERT_GT(it.key(), previous);
    ASSERT_TRUE(present[it.key()]);
    ASSERT_EQ(it->data, it.key());
    previous = it.key();
  }
}

// --- CArray ----------------------------------------------------------------

TEST(CArrayTest, AddSetAtGrowAndAccess) {
  CArray<String, const String&> a;
  EXPECT_EQ(a.Add(String("zero")), 0);
  EXPECT_EQ(a.Add(String("one")), 1);
  a.SetAtGrow(4, String("four"));
  a.SetAtGrow(-1, String("ignored"));
  ASSERT_EQ(a.GetCount(), 5);
  EXPECT_EQ(a.GetUpperBound(), 4);
  EXPECT_STREQ(a.GetAt(1).GetData(), "one");
  EXPECT_EQ(a[2].GetData(), nullptr);  // default-constructed
  EXPECT_STREQ(a.ElementAt(4).GetData(), "four");
  a.ElementAt(0) = "ZERO";
  EXPECT_STREQ(a.GetAtP(0)->GetData(), "ZERO");
  EXPECT_EQ(a.GetAtP(5), nullptr);
  EXPECT_EQ(a.GetAtP(-1), nullptr);
}

TEST(CArrayTest, AddOfOwnElementSurvivesGrowth) {
  CArray<String, const String&> a;
  a.SetSize(0, 1);
  a.Add(String("first"));
  for (int i = 0; i < 5; ++i) a.Add(a[0]);
  EXPECT_STREQ(a[5].GetData(), "first");
}

TEST(CArrayTest, RemoveAtAndInsertAt) {
  struct Case {
    int index;
    int count;
    const char* left;
  };
  const Case cases[] = {
      {1, 1, "acde"}, {1, 3, "ae"}, {3, 10, "abc"}, {0, 5, ""}, {5, 1, "abcde"}, {-1, 1, "abcde"}, {2, 0, "abcde"},
  };
  for (const Case& c : cases) {
    CArray<char, char> a;
    for (char ch : std::string("abcde")) a.Add(ch);
    a.RemoveAt(c.index, c.count);
    EXPECT_EQ(std::string(a.begin(), a.end()), c.left) << c.index << "," << c.count;
  }
  CArray<char, char> a;
  a.InsertAt(0, 'b');
  a.InsertAt(0, 'a');
  a.InsertAt(99, 'd');
  a.InsertAt(2, 'c');
  EXPECT_EQ(std::string(a.begin(), a.end()), "abcd");
}

}  // namespace
