// Tests of the "HashArray" script class (CS_Array) and ArraySink.
#include "scriptlib/lib_hash_array.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib_harness.h"

namespace lib_test {
namespace {

using Texts = std::vector<std::string>;

TEST(HashArrayTest, KeyOrderAndInsertionOrder) {
  Texts got = RunBody(
      "HashArray h = new HashArray();"
      "h.AddValueS(\"b\", \"2\"); h.AddValueS(\"a\", \"1\"); h.AddValueS(\"c\", \"3\");"
      "h.AddValueS(\"b\", \"two\");"
      "Capture(h.GetKeyByIndex(0)); Capture(h.GetIndexByKey(\"c\")); Capture(h.GetRecordCount());"
      "Capture(h.GetByIndexS(1)); Capture(h.GetKeyByIndex(3)); Capture(h.GetIndexByKey(\"z\"));"
      "Capture(h.GetByIndexS(-1)); Capture(h.GetS(\"none\"));");
  EXPECT_EQ(got, (Texts{Text("a"), Int(2), Int(3), Text("two"), Int(0), Int(-1), Text(""), Text("")}));

  CS_Array array;
  array.AddValueS("b", "2");
  array.AddValueS("a", "1");
  array.AddValueS("b", "again");  // replaced in place, not appended
  EXPECT_EQ(array.GetByIndexB(0).rawString(), "again");
  EXPECT_EQ(array.GetByIndexB(1).rawString(), "1");
  EXPECT_EQ(array.GetRecordCount(), 2);
}

TEST(HashArrayTest, NumbersAndZeroes) {
  Texts got = RunBody(
      "HashArray h = new HashArray();"
      "h.AddValueI(\"n\", 0); h.AddValueF(\"f\", 0.0); h.AddValueI(\"i\", -42); h.AddValueF(\"g\", 2.5);"
      "Capture(h.KeyExists(\"n\")); Capture(h.GetI(\"n\")); Capture(h.KeyExists(\"f\"));"
      "Capture(h.GetS(\"i\")); Capture(h.GetI(\"i\")); Capture(h.GetF(\"g\")); Capture(h.GetByIndexI(1));"
      "Capture(h.GetByIndexF(0)); Capture(h.GetRecordCount());");
  EXPECT_EQ(got, (Texts{Int(0), Int(0), Int(0), Text("-42"), Int(-42), "float: 2.5\n", Int(-42),
                        "float: 2.5\n", Int(2)}));
}

TEST(HashArrayTest, BinaryValuesAreBoundedByTheirSource) {
  const struct {
    const char* call;
    int expected_len;
  } kCases[] = {
      {"h.AddValueB(\"k\", \"abcdef\", 6);", 6},
      {"h.AddValueB(\"k\", \"abcdef\", 7);", 0},        // past the text
      {"h.AddValueB(\"k\", \"abcdef\", 100000000);", 0},  // past the limit too
      {"h.AddValueB(\"k\", \"abcdef\", 0);", 0},
      {"h.AddValueB(\"k\", 0, 4);", 0},                  // no data at all
      {"CS_Buffer b = new CS_Buffer(); b.Write(\"xyz12\", 5); h.AddValueB(\"k\", b.GetPointer(), 5);", 5},
      {"CS_Buffer b = new CS_Buffer(); b.Write(\"xyz12\", 5); h.AddValueB(\"k\", b.GetPointer(), 6);", 0},
  };
  for (const auto& c : kCases) {
    Texts got = RunBody(std::string("HashArray h = new HashArray();") + c.call +
                        "Capture(h.GetLenValue(\"k\")); Capture(h.KeyExists(\"k\"));");
    EXPECT_EQ(got, (Texts{Int(c.expected_len), Int(c.expected_len > 0 ? 1 : 0)})) << c.call;
  }
}

TEST(HashArrayTest, MergeAndReset) {
  Texts got = RunBody(
      "HashArray a = new HashArray(), b = new HashArray();"
      "a.AddValueS(\"x\", \"1\"); b.AddValueS(\"y\", \"2\"); b.AddValueB(\"bin\", \"raw\", 3);"
      "b.AddValueS(\"x\", \"over\"); a.Merge(b);"
      "Capture(a.GetRecordCount()); Capture(a.GetS(\"x\")); Capture(a.GetLenValue(\"bin\"));"
      "a.Merge(a); Capture(a.GetRecordCount());"
      "a.Reset(); Capture(a.GetRecordCount()); Capture(a.GetKeyByIndex(0));");
  EXPECT_EQ(got, (Texts{Int(3), Text("over"), Int(3), Int(3), Int(0), Int(0)}));
}

TEST(ArraySinkTest, TextAndBinaryPairs) {
  CS_Array array;
  array.AddValueS("old", "gone");
  ArraySink sink(&array);
  sink.Clear();
  sink.Add("t", "text", 4);
  sink.Add("b", "a\0b", 3);
  sink.Add(nullptr, "x", 1);
  EXPECT_EQ(array.GetRecordCount(), 2);
  EXPECT_EQ(array.KeyExists("old"), 0);
  EXPECT_EQ(array.GetLenValue("t"), 0);
  EXPECT_EQ(array.GetLenValue("b"), 3);
  EXPECT_EQ(array.GetB("b").rawString(), std::string("a\0b", 3));

  ArraySink nowhere(nullptr);  // swallows without faulting
  nowhere.Clear();
  nowhere.Add("k", "v", 1);
}

}  // namespace
}  // namespace lib_test
