// Tests of CMemoryFile: reads bounded by the length, and sizes past the 32-bit limit refused without harm.
#include "base/memory_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

std::string Contents(const CMemoryFile& file) {
  const uint8_t* buffer = file.GetBuffer();
  return buffer == nullptr ? "" : std::string(reinterpret_cast<const char*>(buffer), file.GetLength());
}

TEST(CMemoryFileTest, WritesPastTheLimitFailUntouched) {
  CMemoryFile file;
  ASSERT_TRUE(file.Write("0123456789", 10));
  char byte = 'x';
  struct Case {
    const char* name;
    const void* data;
    uint32_t n;
  } cases[] = {
      {"end one past the limit", &byte, CMemoryFile::kMaxLength - 9},
      {"end wraps 32 bits", &byte, UINT32_MAX - 5},
      {"null data", nullptr, 1},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(file.Write(c.data, c.n)) << c.name;
    EXPECT_EQ(file.GetLength(), 10u) << c.name;
    EXPECT_EQ(file.GetPosition(), 10u) << c.name;
    EXPECT_EQ(file.GetCapacity(), 1024u) << c.name;
  }
  EXPECT_TRUE(file.Write(nullptr, 0));
  EXPECT_EQ(Contents(file), "0123456789");
}

TEST(CMemoryFileTest, ReadStopsAtLength) {
  CMemoryFile file;
  ASSERT_TRUE(file.Write("abc", 3));
  char out[16];
  EXPECT_EQ(file.Read(out, sizeof out), 0u);  // position is at the end
  ASSERT_TRUE(file.SetLength(7));
  memset(out, 'x', sizeof out);
  EXPECT_EQ(file.Read(out, 2), 2u);
  EXPECT_EQ(file.Read(nullptr, 2), 0u);
  EXPECT_EQ(file.Read(out + 2, sizeof out), 2u);  // only 4 bytes lay past "abc"
  EXPECT_EQ(std::string(out, 5), std::string("\0\0\0\0x", 5));
  EXPECT_EQ(file.GetPosition(), 7u);
}

TEST(CMemoryFileTest, SetLengthMovesLengthAndPosition) {
  CMemoryFile file(4);
  ASSERT_TRUE(file.Write("abcdef", 6));
  ASSERT_TRUE(file.SetLength(2));
  EXPECT_EQ(file.GetLength(), 2u);
  EXPECT_EQ(file.GetPosition(), 2u);
  ASSERT_TRUE(file.Write("X", 1));
  EXPECT_EQ(Contents(file), "abX");
  ASSERT_TRUE(file.SetLength(10));  // bytes beyond the old length read as zero
  EXPECT_EQ(Contents(file), std::string("abX\0\0\0\0\0\0\0", 10));
  EXPECT_EQ(file.GetPosition(), 3u);
}

}  // namespace
