// Tests of "CS_FileSystem", "CS_File" and "CS_MemoryFile" through scripts in a scratch directory.
#include "common/scratch_dir.h"
#include "scriptlib/lib_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/utility.h"
#include "lib_harness.h"

namespace lib_test {
namespace {

using Texts = std::vector<std::string>;

class LibFilesTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void WriteFile(const std::string& name, const std::string& contents) { scratch_.Put(name, contents); }
  std::string ReadFile(const std::string& name) { return ScratchDir::Contents(Path(name)); }
  // Script text quoting a path in the scratch directory.
  std::string Q(const std::string& name) const { return "\"" + Path(name) + "\""; }

  ScratchAppDir scratch_;
  const std::string dir_ = scratch_.path();
};

// Long(): a 5000-character path, past every path limit.
constexpr char kLongPath[] =
    "string Long() { string p = \"\"; for (int i = 0; i < 500; i++) p = p + \"xxxxxxxxxx\"; return p; }";

TEST_F(LibFilesTest, FileSystemQueries) {
  WriteFile("a.txt", "12345");
  const struct {
    std::string call;
    int expected;
  } kCases[] = {
      {"fs.FileExists(" + Q("a.txt") + ")", 1},
      {"fs.FileExists(0)", 0},  // every path goes through one null and length check
      {"fs.DirExists(\"" + dir_ + "\")", 1},
      {"fs.FileSize(" + Q("a.txt") + ")", 5},
      {"fs.FileSize(Long())", 0},
      {"fs.CopyFile(" + Q("none") + ", " + Q("b") + ")", 0},
      {"fs.Exec(\"exit 3\") / 256", 3},
  };
  for (const auto& c : kCases) {
    LibHarness h;
    EXPECT_EQ(h.LoadAndRun(std::string(kLongPath) + "int main() { CS_FileSystem fs = new CS_FileSystem(); return " + c.call + "; }"),
              c.expected)
        << c.call << h.log;
  }
}

TEST_F(LibFilesTest, CopyUnlinkAndList) {
  std::string big(5000, 'q');  // several copy blocks
  big[2500] = '\0';
  WriteFile("src", big);
  WriteFile("dst", "keep");
  Texts got = RunBody("CS_FileSystem fs = new CS_FileSystem();"
                      "Capture(fs.CopyFile(" + Q("src") + ", " + Q("dst") + ", 0));"
                      "Capture(fs.CopyFile(" + Q("src") + ", " + Q("new") + "));"
                      "HashArray h = new HashArray(); h.AddValueS(\"stale\", \"x\");"
                      "Capture(fs.ReadDir(\"" + dir_ + "\", h)); Capture(h.GetRecordCount());"
                      "Capture(h.GetKeyByIndex(2)); Capture(h.KeyExists(\"stale\"));"
                      "Capture(fs.ReadDir(" + Q("none") + ", h));"
                      "Capture(fs.UnLink(" + Q("dst") + ")); Capture(fs.FileExists(" + Q("dst") + "));");
  EXPECT_EQ(got, (Texts{Int(0), Int(1), Int(1), Int(5), Text("dst"), Int(0), Int(0), Int(1), Int(0)}));
  EXPECT_EQ(ReadFile("new"), big);
}

TEST_F(LibFilesTest, AppPathIsTheApplicationDirectory) {
  Texts got = RunBody("CS_FileSystem fs = new CS_FileSystem(); Capture(fs.AppPath());");
  EXPECT_EQ(got, Texts{Text(dir_)});
}

TEST_F(LibFilesTest, FileWriteSeekRead) {
  Texts got = RunBody("CS_File f = new CS_File();"
                      "Capture(f.Open(" + Q("f.bin") + ", 36866));"  // 0x9002: read/write, create
                      "f.Write(\"hello world\", 5); f.Write(\"xx\", 3); f.Write(\"xx\", -1);"
                      "CS_Buffer d = new CS_Buffer(); d.Write(\"!?\", 2); f.WriteB(d.GetPointer(), 2);"
                      "f.WriteB(d.GetPointer(), 99); f.Flush();"
                      "Capture(f.Seek(1, 0));"
                      "CS_Buffer b = new CS_Buffer(); Capture(f.Read(b));"  // no room
                      "b.Allocate(3); Capture(f.Read(b)); Capture(b.ToString());"
                      "b.Allocate(64); Capture(f.Read(b)); Capture(b.ToString()); f.Close();"
                      "Capture(f.Open(\"" + dir_ + "/" + std::string(300, 'p') + "\", 36866));");
  EXPECT_EQ(got, (Texts{Int(1), Int(1), Int(-1), Int(3), Text("ell"), Int(3), Text("o!?"), Int(0)}));
  EXPECT_EQ(ReadFile("f.bin"), "hello!?");
}

TEST_F(LibFilesTest, MemoryFile) {
  Texts got = RunBody("CS_MemoryFile m = new CS_MemoryFile();"
                      "m.Write(\"abcdef\", 4); m.Write(\"abc\", 4); m.WriteB(\"gh\", 2);"
                      "Capture(m.GetLength()); Capture(m.ToString());"
                      "HashArray h = new HashArray(); h.AddValueB(\"k\", m.GetPointer(), 6);"
                      "h.AddValueB(\"over\", m.GetPointer(), 7);"
                      "Capture(h.GetLenValue(\"k\")); Capture(h.KeyExists(\"over\"));"
                      "CS_Buffer b = new CS_Buffer(); b.Allocate(10); Capture(m.Read(b));"  // position at end
                      "m.Close(); Capture(m.GetLength()); Capture(m.ToString());"
                      "CS_MemoryFile odd = new CS_MemoryFile(-1); odd.Write(\"z\", 1); Capture(odd.GetLength());"
                      "CS_MemoryFile self = new CS_MemoryFile(1); self.Write(\"ab\", 2);"
                      "self.Write(self.GetPointer(), 2); self.Write(self.GetPointer(), 4); Capture(self.ToString());");
  EXPECT_EQ(got, (Texts{Int(6), Text("abcdgh"), Int(6), Int(0), Int(0), Int(0), Text(""), Int(1), Text("abababab")}));
}

}  // namespace
}  // namespace lib_test
