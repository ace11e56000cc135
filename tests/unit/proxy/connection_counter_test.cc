// Tests of the connection id counter file.
#include "proxy/connection_counter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/scratch_dir.h"
#include "base/utility.h"

namespace {

std::string Raw(int32_t v) {
  std::string s(4, '\0');
  memcpy(s.data(), &v, 4);
  return s;
}

class CountConnTest : public ::testing::Test {
 protected:
  ScratchAppDir dir_;
};

TEST_F(CountConnTest, ReadingNormalisesStoredValues) {
  EXPECT_EQ(GetAntispamIdConnFromDisk(), 0);  // no file
  struct Case {
    std::string contents;
    int id;
  } cases[] = {
      {Raw(2147483646), 2147483646}, {Raw(2147483647), 1}, {Raw(-5), 1}, {"ab", 0},
  };
  for (const Case& c : cases) {
    dir_.Put("countconn.dat", c.contents);
    EXPECT_EQ(GetAntispamIdConnFromDisk(), c.id) << c.id;
  }
}

TEST_F(CountConnTest, WritingStoresFourBytesAndNormalises) {
  struct Case {
    int id;
    int32_t stored;
  } cases[] = {{42, 42}, {-1, 1}};  // the limits are the reading table's: one rule for both
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteAntispamIdConnToDisk(c.id));
    EXPECT_EQ(ScratchDir::Contents(dir_.File("countconn.dat")), Raw(c.stored)) << c.id;
  }
  SetAppPath(dir_.File("missing").c_str());
  EXPECT_FALSE(WriteAntispamIdConnToDisk(5));
}

}  // namespace
