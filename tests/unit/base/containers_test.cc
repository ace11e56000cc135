// Vector, Tree and CArray: growth rules, node identity and bounds.
#include <gtest/gtest.h>

#include <string>

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

TEST(VectorTest, ResizeClampsANegativeCount) {
  Vector<int> v;
  v.append(1);
  v.resize(3);
  EXPECT_EQ(v.size(), 3);
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(v[2], 0);
  v.resize(-2);
  EXPECT_EQ(v.size(), 0);
}

TEST(VectorTest, AppendOfOwnElementSurvivesGrowth) {
  Vector<std::string> v;
  for (int i = 0; i < 5; ++i) v.append(std::string(40, static_cast<char>('a' + i)));
  ASSERT_EQ(v.size(), v.GetCapacity());  // the next append grows
  v.append(v[0]);
  EXPECT_EQ(v[5], std::string(40, 'a'));
}

// --- Tree ------------------------------------------------------------------

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

// --- CArray ----------------------------------------------------------------

TEST(CArrayTest, AddSetAtGrowAndAccess) {
  CArray<String, const String&> a;
  EXPECT_EQ(a.Add(String("zero")), 0);
  EXPECT_EQ(a.Add(String("one")), 1);
  a.SetAtGrow(4, String("four"));
  a.SetAtGrow(-1, String("ignored"));
  ASSERT_EQ(a.GetCount(), 5);
  EXPECT_EQ(a.GetUpperBound(), 4);
  EXPECT_EQ(a[2].GetData(), nullptr);  // default-constructed
  EXPECT_STREQ(a.GetAtP(4)->GetData(), "four");
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
