// Tests of CKFile: open modes and refusals, positioning, and zeros from a closed or misused file.
#include "base/file.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/scratch_dir.h"

namespace {

class CKFileTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
};

// The bound is inclusive; ReadFileHead takes what lies within it of any file there is.
TEST_F(CKFileTest, ReadWholeFileWithABound) {
  const std::string big(100000, 'x');  // more than one read chunk
  const struct {
    std::optional<std::string> contents;  // none: no file
    size_t bound;
    bool ok;
  } kCases[] = {{"abc", 3, true}, {"abc", 2, false}, {big, big.size(), true}, {std::nullopt, 10, false}};
  for (const auto& c : kCases) {
    const std::string path = c.contents ? dir_.Put("f", *c.contents) : dir_.File("missing");
    std::string out = "stale";
    EXPECT_EQ(ReadWholeFile(path.c_str(), c.bound, &out), c.ok) << c.bound;
    if (c.ok) {
      EXPECT_EQ(out, *c.contents);
    }
    EXPECT_EQ(ReadFileHead(path.c_str(), c.bound, &out), c.contents.has_value()) << c.bound;
    if (c.contents) {
      EXPECT_EQ(out, c.contents->substr(0, c.bound));
    }
  }
}

// Paths up to the limit open; a longer one, a null one or unknown flags are refused.
TEST_F(CKFileTest, Refusals) {
  const std::string path = dir_.Put("f", "abc");
  const std::string prefix = dir_.path() + "/";
  ASSERT_LT(prefix.size(), CKFile::kMaxPathChars);
  const std::string longest = prefix + std::string(CKFile::kMaxPathChars - prefix.size(), 'n');
  const std::string too_long = longest + "n";
  struct Case {
    const char* name;
    const char* path;
    uint32_t flags;
    bool opens;
  } cases[] = {
      {"path at the limit", longest.c_str(), CKFile::kModeWriteCreate, true},
      {"path one past the limit", too_long.c_str(), CKFile::kModeWriteCreate, false},
      {"access 3", path.c_str(), 0x8043, false},
      {"text mode", path.c_str(), CKFile::kModeRead | CKFile::kFlagText, false},
      {"null path", nullptr, CKFile::kModeRead, false},
  };
  for (const Case& c : cases) {
    CKFile file;
    EXPECT_EQ(file.Open(c.path, c.flags), c.opens) << c.name;
    EXPECT_EQ(file.IsValid(), c.opens) << c.name;
  }
  EXPECT_EQ(ScratchDir::Contents(path), "abc");
}

// Each mode opened on a file holding `before` (or none), then "XY" written at the start.
TEST_F(CKFileTest, OpenModes) {
  struct Case {
    const char* name;
    uint32_t flags;
    std::optional<std::string> before;  // nullopt: the file does not exist
    bool opens;
    std::optional<std::string> after;  // nullopt: the file still does not exist
  } cases[] = {
      {"read existing", CKFile::kModeRead, "abc", true, "abc"},
      {"write+create truncates", CKFile::kModeWriteCreate, "abc", true, "XY"},
      {"write appends", 0x8041, "abc", true, "abcXY"},
      {"read/write existing", CKFile::kModeReadWriteExisting, "abc", true, "XYc"},
      {"read/write missing", CKFile::kModeReadWriteExisting, std::nullopt, false, std::nullopt},
      {"read/write+create makes", CKFile::kModeReadWriteCreatePlain, std::nullopt, true, "XY"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string name = "mode" + std::to_string(n++);
    std::string path = c.before ? dir_.Put(name, *c.before) : dir_.File(name);
    CKFile file;
    ASSERT_EQ(file.Open(path.c_str(), c.flags), c.opens) << c.name;
    file.Seek(0, CKFile::kSeekStart);
    file.Write("XY", 2);
    file.Close();
    if (c.after) {
      EXPECT_EQ(ScratchDir::Contents(path), *c.after) << c.name;
    } else {
      EXPECT_FALSE(std::filesystem::exists(path)) << c.name;
    }
  }
}

TEST_F(CKFileTest, SeekReportsNewPosition) {
  std::string path = dir_.Put("s", "abcdef");
  CKFile file;
  ASSERT_TRUE(file.Open(path.c_str(), CKFile::kModeRead));
  struct Case {
    int64_t offset;
    int whence;
    uint64_t position;
  } cases[] = {
      {2, CKFile::kSeekStart, 2},   {1, CKFile::kSeekCurrent, 3},
      {-1, CKFile::kSeekEnd, 5},
      {-100, CKFile::kSeekStart, 0},  // fails: before the start
      {1, 3, 0},                    // unknown whence
  };
  for (const Case& c : cases) {
    EXPECT_EQ(file.Seek(c.offset, c.whence), c.position) << c.offset << "," << c.whence;
  }
  ASSERT_EQ(file.Seek(4, CKFile::kSeekStart), 4u);
  EXPECT_EQ(file.GetLength(), 6u);  // and the position stays
  char byte = 0;
  EXPECT_EQ(file.Read(&byte, 1), 1u);
  EXPECT_EQ(byte, 'e');
}

// Reads and writes may alternate on an update stream; SetLength never shortens.
TEST_F(CKFileTest, UpdateStreamAndSetLength) {
  std::string path = dir_.Put("u", "abcdef");
  CKFile file;
  ASSERT_TRUE(file.Open(path.c_str(), CKFile::kModeReadWriteExisting));
  ASSERT_EQ(file.Write("XY", 2), 2u);
  char byte = 0;
  ASSERT_EQ(file.Read(&byte, 1), 1u);
  EXPECT_EQ(byte, 'c');
  ASSERT_EQ(file.Write("Z", 1), 1u);
  file.SetLength(2);
  EXPECT_EQ(file.GetLength(), 6u);
  EXPECT_EQ(file.GetPosition(), 6u);  // left at the end
  file.Write("g", 1);
  file.Close();
  EXPECT_EQ(ScratchDir::Contents(path), "XYcZefg");
}

TEST_F(CKFileTest, ClosedOrEmptyRequestsDoNothing) {
  CKFile closed;
  char buffer[4];
  EXPECT_FALSE(closed.IsValid());
  EXPECT_EQ(closed.Read(buffer, sizeof buffer), 0u);
  EXPECT_EQ(closed.Write("ab", 2), 0u);
  EXPECT_EQ(closed.GetLength(), 0u);

  std::string path = dir_.Put("e", "abc");
  CKFile file;
  ASSERT_TRUE(file.Open(path.c_str(), CKFile::kModeReadWriteExisting));
  EXPECT_EQ(file.Read(nullptr, 2), 0u);
  EXPECT_EQ(file.Write(nullptr, 2), 0u);
  EXPECT_EQ(file.GetPosition(), 0u);
}

TEST_F(CKFileTest, ReopenAndDestructorFlushPendingWrites) {
  std::string first = dir_.File("first");
  std::string second = dir_.File("second");
  {
    CKFile file;
    ASSERT_TRUE(file.Open(first.c_str(), CKFile::kModeWriteCreate));
    file.Write("one", 3);
    ASSERT_TRUE(file.Open(second.c_str(), CKFile::kModeWriteCreate));
    EXPECT_EQ(ScratchDir::Contents(first), "one");
    file.Write("two", 3);
    file.Flush();
    EXPECT_EQ(ScratchDir::Contents(second), "two");
    file.Write("!", 1);
  }
  EXPECT_EQ(ScratchDir::Contents(second), "two!");
}

}  // namespace
