// Tests of AtomicFile: the old contents survive every failed replacement.
#include "base/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/scratch_dir.h"

namespace {

class AtomicFileTest : public ::testing::Test {
 protected:
  void Put(const std::string& text) { scratch_.Put("data.db", text); }
  static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

  ScratchDir scratch_;
  const std::string dir_ = scratch_.path();
  const std::string path_ = dir_ + "/data.db";
};

// The new contents appear whole at the commit, with the target's permissions, which the temporary has from the start.
TEST_F(AtomicFileTest, CommitReplacesContentsKeepsPermissionsAndRemovesTemporary) {
  Put("old");
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  AtomicFile file(path_);
  ASSERT_TRUE(file.Open());
  struct stat entry;
  ASSERT_EQ(stat((path_ + ".tmp").c_str(), &entry), 0);
  EXPECT_EQ(entry.st_mode & 07777, 0600u);
  const std::string big(200 * 1024, 'x');  // larger than the gathering buffer
  EXPECT_TRUE(file.Write("new ", 4));
  EXPECT_TRUE(file.Write(big.data(), big.size()));
  EXPECT_TRUE(file.Write("contents", 8));
  EXPECT_EQ(ScratchDir::Contents(path_), "old");
  EXPECT_TRUE(file.Commit());
  EXPECT_TRUE(ScratchDir::Contents(path_) == "new " + big + "contents");
  ASSERT_EQ(stat(path_.c_str(), &entry), 0);
  EXPECT_EQ(entry.st_mode & 07777, 0600u);
  EXPECT_FALSE(Exists(path_ + ".tmp"));
}

// A relative link to a file in another directory stays; the file it leads to gets the new contents.
TEST_F(AtomicFileTest, CommitThroughASymbolicLinkReplacesTheFileItLeadsTo) {
  const std::string real_dir = dir_ + "/real";
  ASSERT_EQ(mkdir(real_dir.c_str(), 0755), 0);
  scratch_.Put("real/data.db", "old");
  ASSERT_EQ(symlink("real/data.db", path_.c_str()), 0);
  AtomicFile file(path_);
  ASSERT_TRUE(file.Open());
  EXPECT_TRUE(file.Write("new", 3));
  EXPECT_TRUE(file.Commit());
  struct stat entry;
  ASSERT_EQ(lstat(path_.c_str(), &entry), 0);
  EXPECT_TRUE(S_ISLNK(entry.st_mode));
  EXPECT_EQ(ScratchDir::Contents(real_dir + "/data.db"), "new");
  EXPECT_FALSE(Exists(real_dir + "/data.db.tmp"));
}

TEST_F(AtomicFileTest, AbandonedWriteLeavesTheOldFile) {
  Put("keep me");
  {
    AtomicFile file(path_);
    ASSERT_TRUE(file.Open());
    ASSERT_TRUE(file.Write("half", 4));
  }  // destroyed without Commit, as after an error midway
  EXPECT_EQ(ScratchDir::Contents(path_), "keep me");
  EXPECT_FALSE(Exists(path_ + ".tmp"));
}

TEST_F(AtomicFileTest, UncreatableTemporaryFailsAndKeepsTheOldFile) {
  Put("keep me");
  ASSERT_EQ(mkdir((path_ + ".tmp").c_str(), 0755), 0);  // the temporary name is taken
  AtomicFile file(path_);
  EXPECT_FALSE(file.Open());
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_FALSE(file.Commit());
  EXPECT_EQ(ScratchDir::Contents(path_), "keep me");
}

TEST_F(AtomicFileTest, FullDiskFailsTheCommitAndKeepsTheOldFile) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  // A temporary file that is really /dev/full: every write reports ENOSPC.
  Put("keep me");
  ASSERT_EQ(symlink("/dev/full", (path_ + ".tmp").c_str()), 0);
  AtomicFile file(path_);
  ASSERT_TRUE(file.Open());
  std::string big(100 * 1024, 'y');
  file.Write(big.data(), big.size());
  EXPECT_FALSE(file.Commit());
  EXPECT_EQ(ScratchDir::Contents(path_), "keep me");
}

}  // namespace
