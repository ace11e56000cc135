// CArray: growth rules and bounds.
#include <gtest/gtest.h>

#include <string>

#include "base/object_array.h"
#include "base/string.h"

namespace {

TEST(CArrayTest, AddGrowAndAccess) {
  CArray<String, const String&> a;
  EXPECT_EQ(a.Add(String("zero")), 0);
  EXPECT_EQ(a.Add(String("one")), 1);
  a.SetSize(5);
  a[4] = "four";
  ASSERT_EQ(a.GetCount(), 5);
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
  const struct Case {
    int index;
    int count;
    const char* left;
  } cases[] = {
      {1, 3, "ae"}, {3, 10, "abc"}, {5, 1, "abcde"}, {-1, 1, "abcde"},
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
